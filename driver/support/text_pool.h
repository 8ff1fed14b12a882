// Immutable texts kept once: equal texts interned in one pool share a single
// copy, so thousands of rules that repeat a text cost one pointer each.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace korvane {

class CTextPool {
 public:
  /// The pool's copy of `text`, added on first use. The address stays valid
  /// until Clear or the pool's end. Not thread-safe: fill the pool on one
  /// thread, then read the texts from any.
  const std::string* Intern(std::string_view text);
  void Clear() { texts_.clear(); }
  /// Number of distinct texts held.
  size_t Size() const { return texts_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_set<std::string, Hash, std::equal_to<>> texts_;
};

}  // namespace korvane
