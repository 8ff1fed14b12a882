#include "driver/support/text_pool.h"

namespace korvane {

const std::string* CTextPool::Intern(std::string_view text) {
  const auto found = texts_.find(text);
  if (found != texts_.end()) return &*found;
  return &*texts_.emplace(text).first;
}

}  // namespace korvane
