#include "driver/validation/configuration_cache.h"

#include <sys/stat.h>

#include <exception>

#include "driver/support/host_directory.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {

bool CConfigurationCache::FileStamp::operator==(const FileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

bool CConfigurationCache::Stamp(const std::string& path, FileStamp& stamp) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.modified = st.st_mtim;
  stamp.changed = st.st_ctim;
  return true;
}

std::shared_ptr<const ValidationConfig> CConfigurationCache::Load(const std::string& fileName) const {
  CXMLParser parser;
  if (!parser.LoadFile(fileName)) return nullptr;
  auto config = std::make_shared<ValidationConfig>();
  if (compileTextPath_) {
    config->validationExpression = parser.GetAttributeW("root/validation/regex", "value");
    if (!config->validationExpression.empty()) {
      try {
        // POSIX basic syntax with collation, backslashes literal inside brackets.
        config->validationRegex =
            std::make_shared<const boost::wregex>(Utf8ToWide(config->validationExpression), boost::regex::basic);
      } catch (const std::exception& e) {
        config->validationError = e.what();
      }
    }
    config->textPath = ReadTextPathDefinition(parser);
  }
  parser.Close();
  return config;
}

std::shared_ptr<const ValidationConfig> CConfigurationCache::Get(const std::string& fileName) {
  const std::string path = ResolveHostPath(fileName);
  FileStamp before;
  if (!Stamp(path, before)) return nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (cached_ && fileName_ == fileName && stamp_ == before) return config_;
  }
  auto config = Load(fileName);
  FileStamp after;
  const bool stable = Stamp(path, after) && after == before;
  std::lock_guard<std::mutex> guard(mutex_);
  ++loads_;
  // A file that changed while it was read is read again for the next block.
  cached_ = stable;
  fileName_ = fileName;
  stamp_ = before;
  config_ = config;
  return config;
}

uint64_t CConfigurationCache::LoadCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return loads_;
}

}  // namespace korvane
