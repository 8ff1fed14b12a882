#include "driver/common/search_data.h"

#include "driver/support/clock.h"

namespace korvane {

CSearchData::CSearchData() : CSearchData(CurrentUtcSystemTime()) {}

CSearchData::CSearchData(const SYSTEMTIME& time) : time_(time), hasTime_(true) {}

void CSearchData::AddSearchTag(const char* text, int32_t id) {
  if (text == nullptr) return;
  RecursiveLockGuard guard(lock_);
  tags_.push_back(Tag{text, id});
}

const SYSTEMTIME* CSearchData::GetTime() { return hasTime_ ? &time_ : nullptr; }

int32_t CSearchData::GetCount() {
  RecursiveLockGuard guard(lock_);
  return static_cast<int32_t>(tags_.size());
}

bool CSearchData::First(SearchTagEntry* entry) {
  RecursiveLockGuard guard(lock_);
  cursor_ = 0;
  return Next(entry);
}

bool CSearchData::Next(SearchTagEntry* entry) {
  RecursiveLockGuard guard(lock_);
  if (entry == nullptr || cursor_ >= tags_.size()) return false;
  const Tag& tag = tags_[cursor_++];
  entry->id = tag.id;
  entry->text = tag.text.c_str();
  entry->length = static_cast<int32_t>(tag.text.size());
  return true;
}

}  // namespace korvane
