// Loads a validator plug-in library from the host directory and looks up its
// factory and release exports.
#pragma once

#include <string>

#include "plugins/common/validator_api.h"

namespace korvane {

class CDynamicDLL {
 public:
  CDynamicDLL() = default;
  /// Frees a library that is still loaded.
  virtual ~CDynamicDLL();
  CDynamicDLL(const CDynamicDLL&) = delete;
  CDynamicDLL& operator=(const CDynamicDLL&) = delete;

  /// Loads `name` from the host directory. A name without ".so" or ".dll" gets
  /// ".so" appended; a trailing ".dll" is replaced by ".so", so configurations
  /// written for Windows keep working. `message` receives a status text in
  /// both outcomes (empty for an empty name).
  bool ConnectDLL(const std::string& name, std::string& message);
  /// Frees the library; true when nothing was loaded or freeing succeeded.
  bool DisconnectDLL();
  bool IsLoaded() const { return module_ != nullptr; }

  /// The export "CreateDriver". Throws std::runtime_error when no library is
  /// loaded or the export is missing.
  CreateValidatorFn GetCreateFunction();
  /// The export "ReleaseDriver"; throws like GetCreateFunction.
  ReleaseValidatorFn GetReleaseFunction();

  const std::string& GetPath() const { return path_; }
  const std::string& GetName() const { return name_; }
  const std::string& GetVersion() const { return version_; }

  /// The file name that is loaded for a configured plug-in name.
  static std::string CompleteName(const std::string& name);

 private:
  void* Lookup(const char* function);

  void* module_ = nullptr;
  std::string path_;
  std::string name_;
  std::string version_;
};

}  // namespace korvane
