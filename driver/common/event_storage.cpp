#include "driver/common/event_storage.h"

namespace korvane {

bool CEventStorage::AddEvent(std::string_view name) {
  if (name.empty()) return false;
  RecursiveLockGuard guard(lock_);
  entries_.push_back(std::make_unique<std::string>(name));
  return true;
}

int32_t CEventStorage::FindEvent(std::string_view name) {
  RecursiveLockGuard guard(lock_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (*entries_[i] == name) return static_cast<int32_t>(i + 1);
  }
  return 0;
}

const char* CEventStorage::GetEventText(int32_t number) {
  RecursiveLockGuard guard(lock_);
  if (number <= 0 || static_cast<size_t>(number) > entries_.size()) return nullptr;
  return entries_[static_cast<size_t>(number) - 1]->c_str();
}

int32_t CEventStorage::GetEventTextSize(int32_t number) {
  RecursiveLockGuard guard(lock_);
  if (number <= 0 || static_cast<size_t>(number) > entries_.size()) return 0;
  return static_cast<int32_t>(entries_[static_cast<size_t>(number) - 1]->size() + 1);
}

int32_t CEventStorage::GetCount() {
  RecursiveLockGuard guard(lock_);
  return static_cast<int32_t>(entries_.size());
}

void CEventStorage::Clear() {
  RecursiveLockGuard guard(lock_);
  entries_.clear();
}

}  // namespace korvane
