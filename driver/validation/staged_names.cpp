#include "driver/validation/staged_names.h"

#include <algorithm>
#include <string>

namespace korvane {

CStagedNames::CStagedNames(IDriver& driver, bool staged) : driver_(driver), staged_(staged) {
  // The mapper registers "End of" companions only when End events are on.
  if (const CEventStorage* events = driver.GetEventStorage()) events_.SetEndEventSeconds(events->GetEndEventSeconds());
}

void CStagedNames::Commit(IDebug& logger) {
  if (!staged_) return;
  staged_ = false;
  CEventStorage& target = *driver_.GetEventStorage();
  const bool companions = events_.GetEndEventSeconds() > 0;
  const int32_t count = events_.GetCount();
  for (int32_t number = 1; number <= count; ++number) {
    const std::string name = events_.GetEventText(number);
    const char* next = number < count ? events_.GetEventText(number + 1) : nullptr;
    const bool paired = companions && next != nullptr && next == "End of " + name;
    if (target.FindEvent(name) == 0) {
      target.AddEvent(name);
      if (paired) target.AddEvent(next);
    }
    if (paired) ++number;
  }

  const SearchTagList& known = *driver_.GetSearchTags();
  std::vector<std::string> reported;
  for (const SearchTag& tag : searchTags_) {
    const auto sameName = [&tag](const SearchTag& other) { return other.name == tag.name; };
    if (std::any_of(known.begin(), known.end(), sameName)) continue;
    if (std::find(reported.begin(), reported.end(), tag.name) != reported.end()) continue;
    reported.push_back(tag.name);
    logger.Log(kLogError, kCatValidation,
               "%s: Search tag '%s' of the changed configuration file is unknown to the host until the driver is "
               "opened again; its values are dropped",
               "korvane::CStagedNames::Commit", tag.name.c_str());
  }
  events_.Clear();
  searchTags_.clear();
}

}  // namespace korvane
