#include "driver/validation/dll_version.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

#include "plugins/common/validator_api.h"

namespace korvane {

CDllVersion::CDllVersion(const std::string& fileName) : fileName_(fileName) {
  if (fileName.empty()) return;
  // Normally the library is already loaded; loading it just for this look-up is the exception.
  void* module = dlopen(fileName.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (module == nullptr) module = dlopen(fileName.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (module == nullptr) return;
  if (auto version = reinterpret_cast<ProductVersionFn>(dlsym(module, "KestrelProductVersion"))) {
    if (const char* text = version()) versionText_ = text;
  }
  dlclose(module);
  Parse(versionText_);
}

void CDllVersion::Parse(const std::string& text) {
  major_ = minor_ = build_ = revision_ = 0;
  char separator = 0;
  if (text.find(',') != std::string::npos) {
    separator = ',';
  } else if (text.find('.') != std::string::npos) {
    separator = '.';
  } else {
    return;
  }
  int32_t* const fields[] = {&major_, &minor_, &build_, &revision_};
  size_t start = 0;
  for (int32_t* field : fields) {
    const size_t end = text.find(separator, start);
    *field = std::atoi(text.substr(start, end == std::string::npos ? std::string::npos : end - start).c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

}  // namespace korvane
