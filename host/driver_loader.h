// Loads libKestrelDriver.so with dlopen and binds the exports a host calls.
#pragma once

#include <string>

#include "kestrel/exports.h"

namespace korvane::host {

/// The driver library and its exports. Never unloaded: a driver thread that
/// outlived its join must not run into unmapped code while the process ends.
class DriverLibrary {
 public:
  /// Loads `path` (RTLD_NOW | RTLD_LOCAL) and binds the exports. False with
  /// the loader's message in `error` when the library or an export is missing.
  bool Load(const std::string& path, std::string& error);

  CreateDriverFn createDriver = nullptr;
  ReleaseDriverFn releaseDriver = nullptr;
  GetParameterTypeFn getParameterType = nullptr;
  GetParameterValueFn getParameterValue = nullptr;
  /// Null for a driver library without it (check --sample then cannot run).
  CheckSampleFn checkSample = nullptr;

 private:
  void* handle_ = nullptr;
};

/// Directory of the running kestrel-host (from /proc/self/exe), without a
/// trailing '/'; empty when it cannot be read.
std::string ExecutableDirectory();

}  // namespace korvane::host
