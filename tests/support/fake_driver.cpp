#include "tests/support/fake_driver.h"

namespace korvane::testing {

std::vector<std::string> FakeDriver::EventNames() {
  std::vector<std::string> names;
  for (int32_t i = 1; i <= events.GetCount(); ++i) names.emplace_back(events.GetEventText(i));
  return names;
}

std::vector<std::string> FakeDriver::SearchTagNames() const {
  std::vector<std::string> names;
  for (const SearchTag& tag : searchTags) names.push_back(tag.name);
  return names;
}

}  // namespace korvane::testing
