#include "host/driver_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace korvane::host {
namespace {

template <typename Fn>
bool Bind(void* handle, const char* name, Fn& target, std::string& error) {
  dlerror();  // a null symbol is only an error when dlerror says so
  void* symbol = dlsym(handle, name);
  if (const char* message = dlerror(); message != nullptr || symbol == nullptr) {
    error = message != nullptr ? message : std::string(name) + " resolves to null";
    return false;
  }
  target = reinterpret_cast<Fn>(symbol);
  return true;
}

}  // namespace

bool DriverLibrary::Load(const std::string& path, std::string& error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error = message != nullptr ? message : "cannot load " + path;
    return false;
  }
  checkSample = reinterpret_cast<CheckSampleFn>(dlsym(handle_, "KestrelCheckSample"));
  return Bind(handle_, "CreateDriver", createDriver, error) && Bind(handle_, "ReleaseDriver", releaseDriver, error) &&
         Bind(handle_, "GetParameterType", getParameterType, error) &&
         Bind(handle_, "GetParameterValue", getParameterValue, error);
}

std::string ExecutableDirectory() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

}  // namespace korvane::host
