// The contract between the Kestrel driver and a validator plug-in library.
// This is the one header a plug-in is built against; it needs nothing else.
//
// A plug-in library exports, with C linkage and default visibility:
//   "CreateDriver"          IKSLDataValidatorAPI* (void): a new plug-in object, ready for Open; null when
//                           it cannot be allocated. The library that allocates the object also frees it.
//   "ReleaseDriver"         bool (IKSLDataValidatorAPI** api): false when api or *api is null; otherwise
//                           destroys *api through its virtual destructor, sets *api to null, true.
//   "KestrelProductVersion" const char* (void), optional: the version text the driver logs
//                           ("1.2.3.4"); a library without it has an empty version.
//
// The driver loads the library from the host directory by its configured name
// ("Heron", "Heron.so" and "Heron.dll" all load Heron.so), calls CreateDriver,
// Open once, Validate for every received block (Reset in between when a
// channel asks for it), and on unload Close, ReleaseDriver and dlclose. Close
// and ReleaseDriver also follow a failed Open.
//
// Driver and plug-ins pass C++ objects across this boundary: the slot order
// below is part of the contract, and both sides must be built by compilers of
// the same C++ ABI (under the Itanium ABI each virtual destructor takes two
// vtable entries). No exception may cross the boundary in either direction.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

/// Connection record of the opened device, as the driver knows it. The plug-in
/// receives a pointer to the driver's copy and copies what it keeps.
struct DeviceEndpoint {
  std::string address;   ///< host name or IP address of the device
  int32_t port = 80;     ///< TCP port of the device
  std::string user;      ///< user name for the device's web interface; empty when none
  std::string password;  ///< password for the device's web interface
};

/// The driver's face offered to a plug-in (implemented by the driver's data validator).
class IKSLDataValidatorAPIUser {
 public:
  virtual ~IKSLDataValidatorAPIUser() = default;
  /// Writes `text` (zero-terminated UTF-8, taken as plain text, never as a
  /// format) to the driver's log: error level when `isError` is 1, information
  /// otherwise. Any thread that is inside a call from the driver; does not block
  /// beyond the log file write; the driver does not keep the pointer.
  virtual void Log(uint8_t isError, const char* text) = 0;
};

/// One plug-in object. Open and Close arrive on the thread that opens or closes
/// the driver, Validate and Reset on the channel thread; the driver never lets
/// two calls on one object overlap, so a plug-in needs no lock of its own.
class IKSLDataValidatorAPI {
 public:
  /// Slot 0. Called by the plug-in library's own ReleaseDriver only.
  virtual ~IKSLDataValidatorAPI() = default;
  /// Slot 1. Prepares the plug-in (may read files from the host directory).
  /// `user` and `endpoint` stay the driver's and live until ReleaseDriver.
  /// False: the driver logs "Cannot open custom data validator" and unloads.
  virtual bool Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) = 0;
  /// Slot 2. Releases what Open built; must accept an object whose Open failed.
  virtual bool Close() = 0;
  /// Slot 3. Turns one received block into XML text for the driver.
  ///
  /// `data`/`length`: the block, owned by the driver, valid during the call.
  /// `output`: the driver's buffer; `*outputLength` holds its capacity in bytes
  /// on entry. The plug-in writes its text followed by a zero byte and sets
  /// `*outputLength` to the text's length (without the zero); it never keeps
  /// the pointer. A text must be shorter than the capacity to fit.
  /// `*count`: the number of XML documents in the text; several are joined by "[FF]".
  ///
  /// True: the block was understood and the output holds the XML. False: the
  /// output holds the failure text the driver logs ("Validation failed (...)").
  /// A result that does not fit the capacity is answered with false and a
  /// failure text that says so (or an empty output when even that cannot fit).
  virtual bool Validate(const uint8_t* data, uint32_t length, char* output, uint32_t* outputLength,
                        uint32_t* count) = 0;
  /// Slot 4. Forgets any stream state (the channel saw a gap in the data).
  virtual void Reset() = 0;
};

using CreateValidatorFn = IKSLDataValidatorAPI* (*)();
using ReleaseValidatorFn = bool (*)(IKSLDataValidatorAPI**);
using ProductVersionFn = const char* (*)();

}  // namespace korvane
