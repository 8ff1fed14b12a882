#include "driver/support/url_join.h"

namespace korvane {
namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool IsAbsoluteUrl(std::string_view reference) {
  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
  if (reference.empty() || !IsAlpha(reference[0])) return false;
  for (size_t i = 1; i < reference.size(); ++i) {
    const char c = reference[i];
    if (c == ':') return true;
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

std::string JoinUrl(std::string_view base, std::string_view reference) {
  if (IsAbsoluteUrl(reference)) return std::string(reference);
  std::string url(base);
  if (url.empty() || url.back() != '/') url.push_back('/');
  url.append(reference);
  return url;
}

}  // namespace korvane
