#include "driver/validation/text_regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <re2/re2.h>

#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr uint32_t kPcreDepthLimit = 10000;

// Characters boost.regex treats as line separators (for ^ $ and .) or which
// the engines read differently in classes; lines holding one go to boost.
bool Separator(uint32_t c) {
  return c == 0 || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// One match buffer per thread, grown to the largest group count seen.
struct MatchData {
  pcre2_match_data* data = nullptr;
  uint32_t pairs = 0;
  ~MatchData() { pcre2_match_data_free(data); }
  pcre2_match_data* For(uint32_t groups) {
    if (groups + 1 > pairs) {
      pcre2_match_data_free(data);
      pairs = std::max<uint32_t>(groups + 1, 16);
      data = pcre2_match_data_create(pairs, nullptr);
    }
    return data;
  }
};

}  // namespace

struct CTextRegex::Engines {
  TranslatedRegex translated;
  pcre2_code* whole = nullptr;   // anchored at both ends
  pcre2_code* search = nullptr;  // leftmost-first search
  pcre2_match_context* context = nullptr;
  std::unique_ptr<re2::RE2> re2;

  ~Engines() {
    pcre2_code_free(whole);
    pcre2_code_free(search);
    pcre2_match_context_free(context);
  }
};

CTextSubject::CTextSubject(std::string_view utf8) : utf8_(utf8) {
  for (size_t pos = 0; pos < utf8.size() && direct_;) {
    if (static_cast<unsigned char>(utf8[pos]) < 0x80) {
      if (Separator(static_cast<unsigned char>(utf8[pos]))) direct_ = false;
      ++pos;
      continue;
    }
    ascii_ = false;
    uint32_t cp = 0;
    if (!NextCodePoint(utf8, pos, cp) || Separator(cp)) direct_ = false;
  }
}

const std::wstring& CTextSubject::Wide() const {
  if (!wide_) wide_ = Utf8ToWide(utf8_);
  return *wide_;
}

CTextRegex::CTextRegex(std::string_view expression, RegexSyntax syntax, uint32_t stepLimit)
    : boost_(Utf8ToWide(expression), syntax == RegexSyntax::kBasic ? boost::regex::basic : boost::regex::normal) {
  std::optional<TranslatedRegex> translated = TranslateRegex(expression, syntax);
  if (!translated || translated->groups != boost_.mark_count()) return;
  auto engines = std::make_unique<Engines>();
  engines->translated = std::move(*translated);
  const std::string& pattern = engines->translated.pattern;
  uint32_t options = PCRE2_UTF | PCRE2_DOTALL | PCRE2_NEVER_BACKSLASH_C;
  if (engines->translated.caseless) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE offset = 0;
  const std::string whole = "(?:" + pattern + ")\\z";
  engines->whole = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(whole.data()), whole.size(), options | PCRE2_ANCHORED,
                                 &error, &offset, nullptr);
  engines->search =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error, &offset, nullptr);
  engines->context = pcre2_match_context_create(nullptr);
  if (engines->whole == nullptr || engines->search == nullptr || engines->context == nullptr) return;
  // Without the JIT PCRE2 interprets: slower, same results, same limits.
  pcre2_jit_compile(engines->whole, PCRE2_JIT_COMPLETE);
  pcre2_jit_compile(engines->search, PCRE2_JIT_COMPLETE);
  pcre2_set_match_limit(engines->context, stepLimit);
  pcre2_set_depth_limit(engines->context, kPcreDepthLimit);
  RE2::Options re2Options;
  re2Options.set_encoding(RE2::Options::EncodingUTF8);
  re2Options.set_case_sensitive(!engines->translated.caseless);
  re2Options.set_dot_nl(true);
  re2Options.set_log_errors(false);
  engines->re2 = std::make_unique<re2::RE2>(pattern, re2Options);
  if (!engines->re2->ok() || engines->re2->NumberOfCapturingGroups() != static_cast<int>(boost_.mark_count())) {
    return;
  }
  compiled_ = std::move(engines);
}

CTextRegex::~CTextRegex() = default;

bool CTextRegex::UsesEngines(const CTextSubject& line) const {
  return compiled_ != nullptr && line.Direct() && (line.Ascii() || !compiled_->translated.asciiOnlyClasses);
}

CTextRegex::Outcome CTextRegex::EngineMatch(const CTextSubject& line, bool whole, int32_t group,
                                            std::string& value) const {
  thread_local MatchData matchData;
  const std::string_view text = line.Utf8();
  pcre2_match_data* data = matchData.For(compiled_->translated.groups);
  if (data == nullptr) return Outcome::kUndecided;
  const int rc = pcre2_match(whole ? compiled_->whole : compiled_->search, reinterpret_cast<PCRE2_SPTR>(text.data()),
                             text.size(), 0, PCRE2_NO_UTF_CHECK, data, compiled_->context);
  if (rc == PCRE2_ERROR_NOMATCH) return Outcome::kNoMatch;
  // With a repeat that can match nothing, which match a search finds differs
  // between the engines (PCRE2 and RE2 alike); only "no match" is certain.
  const bool matchUncertain = !whole && compiled_->translated.emptyRepeat;
  if (rc > 0) {
    if (whole) return Outcome::kMatch;
    if (matchUncertain) return Outcome::kUndecided;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    const PCRE2_SIZE begin = ovector[2 * group];
    const PCRE2_SIZE end = ovector[2 * group + 1];
    if (begin == PCRE2_UNSET || end <= begin) return Outcome::kNoMatch;
    value.assign(text.data() + begin, end - begin);
    return Outcome::kMatch;
  }
  // PCRE2 reached its limit: RE2 decides in linear time.
  const re2::RE2& re2 = *compiled_->re2;
  const re2::StringPiece subject(text.data(), text.size());
  if (whole)
    return re2.Match(subject, 0, text.size(), re2::RE2::ANCHOR_BOTH, nullptr, 0) ? Outcome::kMatch : Outcome::kNoMatch;
  if (matchUncertain) {
    return re2.Match(subject, 0, text.size(), re2::RE2::UNANCHORED, nullptr, 0) ? Outcome::kUndecided
                                                                                : Outcome::kNoMatch;
  }
  re2::StringPiece groups[64];
  const int count = group + 1;
  if (count > 64) return Outcome::kUndecided;
  if (!re2.Match(subject, 0, text.size(), re2::RE2::UNANCHORED, groups, count)) return Outcome::kNoMatch;
  if (groups[group].data() == nullptr || groups[group].empty()) return Outcome::kNoMatch;
  value.assign(groups[group].data(), groups[group].size());
  return Outcome::kMatch;
}

bool CTextRegex::FullMatch(const CTextSubject& line) const {
  std::string unused;
  if (UsesEngines(line)) {
    const Outcome outcome = EngineMatch(line, true, 0, unused);
    if (outcome != Outcome::kUndecided) return outcome == Outcome::kMatch;
  }
  return boost::regex_match(line.Wide(), boost_);
}

bool CTextRegex::Search(const CTextSubject& line, int32_t group, std::string& value) const {
  value.clear();
  if (group < 0 || static_cast<uint32_t>(group) > Groups()) return false;
  if (UsesEngines(line)) {
    const Outcome outcome = EngineMatch(line, false, group, value);
    if (outcome != Outcome::kUndecided) return outcome == Outcome::kMatch;
  }
  const std::wstring& wide = line.Wide();
  boost::wsmatch match;
  if (!boost::regex_search(wide, match, boost_)) return false;
  const auto& found = match[group];
  if (!found.matched || found.first == found.second) return false;
  value = WideToUtf8(std::wstring_view(&*found.first, static_cast<size_t>(found.second - found.first)));
  return true;
}

std::shared_ptr<const CTextRegex> CompileTextRegex(std::string_view expression, RegexSyntax syntax,
                                                   std::string& error) {
  error.clear();
  try {
    return std::make_shared<const CTextRegex>(expression, syntax);
  } catch (const boost::regex_error& e) {
    error = Format("at position %td: %s", e.position(), e.what());
  } catch (const std::exception& e) {
    error = e.what();
  }
  return nullptr;
}

}  // namespace korvane
