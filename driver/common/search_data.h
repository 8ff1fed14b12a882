// Search data of one delivery: reception time and the search tags the mapper
// attached. Lives on the delivering thread for the duration of one delivery.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/support/recursive_lock.h"
#include "kestrel/search_data.h"

namespace korvane {

class CSearchData final : public ISearchData {
 public:
  /// Stamped with the current UTC time.
  CSearchData();
  /// Stamped with `time`.
  explicit CSearchData(const SYSTEMTIME& time);

  /// Appends a tag; ignored when `text` is null.
  void AddSearchTag(const char* text, int32_t id);

  const SYSTEMTIME* GetTime() override;
  int32_t GetCount() override;
  bool First(SearchTagEntry* entry) override;
  bool Next(SearchTagEntry* entry) override;

 private:
  struct Tag {
    std::string text;
    int32_t id;
  };

  RecursiveLock lock_;
  SYSTEMTIME time_{};
  bool hasTime_ = false;
  std::vector<Tag> tags_;
  uint32_t cursor_ = 0;
};

}  // namespace korvane
