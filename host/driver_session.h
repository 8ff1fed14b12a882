// One driver object through its life: create, open, start, stop, close, release,
// printing the lifecycle lines of kestrel-host's output.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/driver_loader.h"
#include "host/host_callback.h"

namespace korvane::host {

/// Every parameter default of `model` (GetParameterType), by number.
std::map<int32_t, std::string> ParameterDefaults(const DriverLibrary& library, const std::string& model);

/// The defaults of `model` with the command line's values over them; empty
/// for a model the driver does not know.
std::map<int32_t, std::string> ParameterValues(const DriverLibrary& library, const std::string& model,
                                               const std::map<int32_t, std::string>& given);

/// The event names (by id from 1) and search tags an opened driver registered.
void ReadRegisteredNames(IDataAPI& driver, std::vector<std::string>& events, std::vector<RegisteredTag>& tags);

class DriverSession {
 public:
  DriverSession(const DriverLibrary& library, LineOutput& output, OutputFormat& format)
      : library_(library), output_(output), format_(format) {}
  /// Releases a driver that Shutdown did not.
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  /// CreateDriver; false when the library gives no driver object.
  bool Create();
  /// Opens with OpenEx (Open when `plainOpen`) and prints the "opened" line,
  /// with the event names and search tags when it succeeded.
  bool Open(HostCallback& callback, HostSettings& settings, bool plainOpen);
  /// Starts channel 0 and prints the "started" line.
  bool Start();
  /// Create, Open and Start, saying on standard error what failed; the exit
  /// status of a command that cannot go on, or kExitOk when the channel runs.
  int Begin(HostCallback& callback, HostSettings& settings, bool plainOpen);
  /// Stops the channel if it was started, closes and releases the driver,
  /// and prints the "closed" line when `printClosed`.
  void Shutdown(bool printClosed);

 private:
  const DriverLibrary& library_;
  LineOutput& output_;
  OutputFormat& format_;
  IDataAPIEx* driver_ = nullptr;
  bool started_ = false;
};

}  // namespace korvane::host
