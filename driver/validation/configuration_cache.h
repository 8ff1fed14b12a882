// The parts of the configuration file the validator reads for every block
// (validation expression, text-path message types), parsed and compiled once
// and reused while the file is unchanged.
#pragma once

#include <sys/types.h>

#include <boost/regex.hpp>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "driver/validation/message_builder.h"

namespace korvane {

struct ValidationConfig {
  /// root/validation/regex "value"; empty when not configured.
  std::string validationExpression;
  /// Compiled in POSIX basic syntax; null when empty or invalid.
  std::shared_ptr<const boost::wregex> validationRegex;
  /// Why the validation expression did not compile.
  std::string validationError;
  TextPathDefinition textPath;
};

class CConfigurationCache {
 public:
  /// `compileTextPath`: also read and compile the text-path definitions.
  explicit CConfigurationCache(bool compileTextPath) : compileTextPath_(compileTextPath) {}

  /// The configuration of `fileName` (resolved against the host directory);
  /// read again when the file's identity, size or times changed. Null when the
  /// file is missing or not a readable XML document. Thread-safe.
  std::shared_ptr<const ValidationConfig> Get(const std::string& fileName);

  /// Number of times a file was actually parsed.
  uint64_t LoadCount() const;

 private:
  struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileStamp& other) const;
  };

  static bool Stamp(const std::string& path, FileStamp& stamp);
  std::shared_ptr<const ValidationConfig> Load(const std::string& fileName) const;

  const bool compileTextPath_;
  mutable std::mutex mutex_;  // guards the members below
  std::string fileName_;
  FileStamp stamp_;
  bool cached_ = false;
  std::shared_ptr<const ValidationConfig> config_;
  uint64_t loads_ = 0;
};

}  // namespace korvane
