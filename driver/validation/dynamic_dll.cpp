#include "driver/validation/dynamic_dll.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <stdexcept>

#include "driver/support/host_directory.h"
#include "driver/validation/dll_version.h"

namespace korvane {
namespace {

std::string LastError() {
  const char* text = dlerror();
  return text != nullptr ? text : "";
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

CDynamicDLL::~CDynamicDLL() { DisconnectDLL(); }

std::string CDynamicDLL::CompleteName(const std::string& name) {
  if (EndsWith(name, ".dll")) return name.substr(0, name.size() - 4) + ".so";
  if (name.find(".so") == std::string::npos && name.find(".dll") == std::string::npos) return name + ".so";
  return name;
}

bool CDynamicDLL::ConnectDLL(const std::string& name, std::string& message) {
  message.clear();
  if (name.empty()) {
    message = "CDynamicDLL::ConnectDLL: no validator plug-in named (the model's custom validator parameter is empty)";
    return false;
  }
  DisconnectDLL();
  name_ = CompleteName(name);
  path_ = HostDirectory() + name_;
  // dlopen would wait forever on a FIFO; a missing file is left to dlopen's own message.
  if (struct stat st{}; stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    message = "CDynamicDLL::ConnectDLL: cannot load library \"" + path_ + "\" : 'not a regular file'";
    return false;
  }
  dlerror();
  module_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    message = "CDynamicDLL::ConnectDLL: cannot load library \"" + path_ + "\" : '" + LastError() + "'";
    return false;
  }
  version_ = CDllVersion(path_).GetVersionText();
  message = "Loaded library \"" + name_ + "\": version " + version_;
  return true;
}

bool CDynamicDLL::DisconnectDLL() {
  if (module_ == nullptr) return true;
  const bool ok = dlclose(module_) == 0;
  module_ = nullptr;
  return ok;
}

void* CDynamicDLL::Lookup(const char* function) {
  if (module_ == nullptr) {
    throw std::runtime_error(std::string("Could not load function '") + function + "' from DLL. DLL is not loaded.");
  }
  dlerror();
  void* address = dlsym(module_, function);
  if (address == nullptr) {
    throw std::runtime_error(std::string("Could not find function '") + function + "' from DLL " + name_ + ". '" +
                             LastError() + "'");
  }
  return address;
}

CreateValidatorFn CDynamicDLL::GetCreateFunction() {
  return reinterpret_cast<CreateValidatorFn>(Lookup("CreateDriver"));
}

ReleaseValidatorFn CDynamicDLL::GetReleaseFunction() {
  return reinterpret_cast<ReleaseValidatorFn>(Lookup("ReleaseDriver"));
}

}  // namespace korvane
