// The contract between the driver and a validator plug-in library.
//
// A plug-in library exports, with C linkage, "CreateDriver" (returns a new
// IKSLDataValidatorAPI, or null) and "ReleaseDriver" (destroys *api and sets
// it to null; false for a null argument or object), and optionally
// "KestrelProductVersion" (a version text). Driver and plug-ins pass C++
// objects across this boundary, so both must be built by compilers of the
// same C++ ABI. No exception may cross it.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

/// Connection record of the opened device, as the driver knows it.
struct DeviceEndpoint {
  std::string address;
  int32_t port = 80;
  std::string user;
  std::string password;
};

/// The driver's face offered to a plug-in (implemented by the data validator).
class IKSLDataValidatorAPIUser {
 public:
  virtual ~IKSLDataValidatorAPIUser() = default;
  /// Writes `text` to the driver's log: error level when `isError` is 1, information otherwise.
  virtual void Log(uint8_t isError, const char* text) = 0;
};

/// One plug-in object. Open/Close arrive on the thread that opens or closes the
/// driver, Validate/Reset on the channel thread; calls never overlap.
class IKSLDataValidatorAPI {
 public:
  virtual ~IKSLDataValidatorAPI() = default;
  /// Prepares the plug-in; `user` and `endpoint` stay the driver's.
  virtual bool Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) = 0;
  /// Releases what Open built; safe after a failed Open.
  virtual bool Close() = 0;
  /// Turns one block into XML text written to `output` (capacity in *outputLength
  /// on entry, bytes written on return, zero-terminated). *count is the number of
  /// documents joined by "[FF]". On false the output holds the failure text.
  virtual bool Validate(const uint8_t* data, uint32_t length, char* output, uint32_t* outputLength,
                        uint32_t* count) = 0;
  /// Forgets any stream state (the channel saw a gap in the data).
  virtual void Reset() = 0;
};

using CreateValidatorFn = IKSLDataValidatorAPI* (*)();
using ReleaseValidatorFn = bool (*)(IKSLDataValidatorAPI**);
using ProductVersionFn = const char* (*)();

}  // namespace korvane
