#include "driver/channels/rtsp_response_parser.h"

#include <limits>

#include "driver/channels/sdp_parser.h"
#include "driver/support/string_utils.h"

namespace korvane {
namespace {

// Generous but finite: a camera time-out this long means "never expires".
constexpr uint32_t kMaxSessionTimeout = 24 * 60 * 60;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Next line of `text` from `pos` without its CR LF (or LF); false at the end
// of the text when no line feed closes the line.
bool NextLine(std::string_view text, size_t& pos, std::string_view& line) {
  const size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return false;
  line = text.substr(pos, end - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos = end + 1;
  return true;
}

// Leading decimal digits of `text` (after blanks), saturating at `limit`;
// false when there are none.
bool ReadUnsigned(std::string_view text, uint64_t limit, uint64_t& value) {
  text = TrimBlanks(text);
  size_t i = 0;
  value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > limit) value = limit + 1;  // stays above the limit without overflowing
  }
  return i > 0;
}

bool HasControlCharacter(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
  }
  return false;
}

bool EqualsLower(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && ToLower(text) == lower;
}

// Splits "Name: value" (blanks trimmed); false for a line without a colon.
bool SplitHeader(std::string_view line, std::string_view& name, std::string_view& value) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name = TrimBlanks(line.substr(0, colon));
  value = TrimBlanks(line.substr(colon + 1));
  return true;
}

}  // namespace

AnswerFrame CRTSPResponseParser::FrameAnswer(std::string_view received, size_t& length) {
  length = 0;
  size_t pos = 0;
  std::string_view line;
  bool first = true;
  uint64_t contentLength = 0;
  while (true) {
    if (!NextLine(received, pos, line)) {
      return received.size() > kMaxHeaderBytes ? AnswerFrame::kInvalid : AnswerFrame::kIncomplete;
    }
    if (pos > kMaxHeaderBytes) return AnswerFrame::kInvalid;
    if (line.empty()) break;
    std::string_view name;
    std::string_view value;
    if (!first && SplitHeader(line, name, value) && EqualsLower(name, "content-length")) {
      if (!ReadUnsigned(value, kMaxBodyBytes, contentLength) || contentLength > kMaxBodyBytes) {
        return AnswerFrame::kInvalid;
      }
    }
    first = false;
  }
  const size_t total = pos + static_cast<size_t>(contentLength);
  if (received.size() < total) return AnswerFrame::kIncomplete;
  length = total;
  return AnswerFrame::kComplete;
}

bool CRTSPResponseParser::Parse(std::string_view answer, RTSPRequestType type) {
  statusCode_ = 0;
  contentLength_ = 0;
  if (type == RTSPRequestType::kDescribe) {
    control_.clear();
    contentBase_.clear();
  }
  size_t pos = 0;
  std::string_view line;
  if (!NextLine(answer, pos, line) || !ParseStatusLine(line)) return false;
  if (statusCode_ != 200 && statusCode_ != 401) return false;
  while (true) {
    if (!NextLine(answer, pos, line)) return false;  // the header block never ended
    if (line.empty()) break;
    if (!ParseHeader(line)) return false;
  }
  if (contentLength_ == 0) return true;
  if (answer.size() - pos < contentLength_) return false;
  if (type != RTSPRequestType::kDescribe) return true;
  const SdpMetadata metadata = ParseSdpMetadata(answer.substr(pos, contentLength_));
  control_ = metadata.control;
  return metadata.valid;
}

bool CRTSPResponseParser::ParseStatusLine(std::string_view line) {
  // "<protocol> <code> <reason>": three fields, the reason may hold blanks.
  line = TrimBlanks(line);
  const size_t protocolEnd = line.find_first_of(" \t");
  if (protocolEnd == std::string_view::npos) return false;
  protocol_ = std::string(line.substr(0, protocolEnd));
  std::string_view rest = TrimBlanks(line.substr(protocolEnd));
  size_t digits = 0;
  while (digits < rest.size() && IsDigit(rest[digits])) ++digits;
  uint64_t code = 0;
  if (digits == 0 || digits > 3 || !ReadUnsigned(rest.substr(0, digits), 999, code)) return false;
  const std::string_view reason = TrimBlanks(rest.substr(digits));
  if (reason.empty()) return false;
  statusCode_ = static_cast<int>(code);
  reason_ = std::string(reason);
  return true;
}

bool CRTSPResponseParser::ParseHeader(std::string_view line) {
  // Values end up in our own requests; a control character in one would let
  // the camera write header lines into them.
  if (HasControlCharacter(line)) return false;
  std::string_view name;
  std::string_view value;
  if (!SplitHeader(line, name, value)) return true;  // not a header: ignored
  const std::string lowerName = ToLower(name);
  if (lowerName == "cseq") {
    uint64_t cseq = 0;
    if (!ReadUnsigned(value, std::numeric_limits<uint32_t>::max(), cseq) ||
        cseq > std::numeric_limits<uint32_t>::max()) {
      return false;
    }
    cseq_ = static_cast<uint32_t>(cseq);
  } else if (lowerName == "content-type") {
    const std::string_view type = value.substr(0, value.find_first_of(" \t"));
    if (type.empty()) return false;
    contentType_ = std::string(type);
  } else if (lowerName == "content-length") {
    uint64_t length = 0;
    if (!ReadUnsigned(value, kMaxBodyBytes, length) || length > kMaxBodyBytes) return false;
    contentLength_ = static_cast<size_t>(length);
  } else if (lowerName == "content-base") {
    contentBase_ = std::string(value);
  } else if (lowerName == "session") {
    return ParseSession(value);
  } else if (lowerName == "www-authenticate") {
    AuthChallenge challenge;
    if (!ParseAuthChallenge(value, challenge)) return true;  // a scheme we do not speak
    if (challenge.scheme == AuthScheme::kDigest && (challenge.realm.empty() || challenge.nonce.empty())) return false;
    challenge_ = std::move(challenge);
  }
  return true;
}

bool CRTSPResponseParser::ParseSession(std::string_view value) {
  // "<id>[;timeout=<seconds>]"
  const size_t semicolon = value.find(';');
  const std::string_view id = TrimBlanks(value.substr(0, semicolon));
  if (id.empty()) return false;
  sessionId_ = std::string(id);
  if (semicolon == std::string_view::npos) return true;
  const std::string parameters = ToLower(value.substr(semicolon + 1));
  const size_t timeout = parameters.find("timeout");
  if (timeout == std::string::npos) return false;
  std::string_view rest = TrimBlanks(std::string_view(parameters).substr(timeout + 7));
  if (rest.empty() || rest.front() != '=') return false;
  uint64_t seconds = 0;
  if (!ReadUnsigned(rest.substr(1), kMaxSessionTimeout, seconds) || seconds == 0) {
    seconds = kFallbackSessionTimeout;
  }
  sessionTimeout_ = static_cast<uint32_t>(seconds > kMaxSessionTimeout ? kMaxSessionTimeout : seconds);
  return true;
}

}  // namespace korvane
