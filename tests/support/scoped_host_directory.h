// A temporary host directory for one test: created empty, made the driver's
// host directory through KESTREL_HOST_DIR, removed again (and the previous
// setting restored) when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

namespace korvane::testing {

class ScopedHostDirectory {
 public:
  explicit ScopedHostDirectory(const std::string& prefix = "kestrel") {
    if (const char* old = getenv("KESTREL_HOST_DIR")) previous_ = old;
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    setenv("KESTREL_HOST_DIR", pattern.c_str(), 1);
  }
  ~ScopedHostDirectory() {
    if (previous_) {
      setenv("KESTREL_HOST_DIR", previous_->c_str(), 1);
    } else {
      unsetenv("KESTREL_HOST_DIR");
    }
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScopedHostDirectory(const ScopedHostDirectory&) = delete;
  ScopedHostDirectory& operator=(const ScopedHostDirectory&) = delete;

  /// False when the directory could not be created.
  bool Valid() const { return !path_.empty(); }
  const std::filesystem::path& Path() const { return path_; }
  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << content;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace korvane::testing
