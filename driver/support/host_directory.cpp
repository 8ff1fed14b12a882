#include "driver/support/host_directory.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace korvane {
namespace {

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (path.empty() || realpath(path.c_str(), buffer) == nullptr) return {};
  return buffer;
}

}  // namespace

std::string HostDirectory() {
  std::string dir;
  if (const char* env = std::getenv("KESTREL_HOST_DIR"); env != nullptr && *env != '\0') {
    dir = env;
  } else {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    dir.assign(buffer, static_cast<size_t>(n));
    const auto slash = dir.rfind('/');
    if (slash == std::string::npos) return {};
    dir.resize(slash + 1);
  }
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string ResolveHostPath(const std::string& name) {
  if (name.empty()) return {};
  const std::string dir = HostDirectory();
  if (dir.empty()) return {};
  return dir + name;
}

bool IsInsideHostDirectory(const std::string& path) {
  std::string dir = RealPath(HostDirectory());
  const std::string real = RealPath(path);
  if (dir.empty() || real.empty()) return false;
  if (dir.back() != '/') dir += '/';
  return real.size() > dir.size() && real.compare(0, dir.size(), dir) == 0;
}

}  // namespace korvane
