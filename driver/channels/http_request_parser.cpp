#include "driver/channels/http_request_parser.h"

#include <algorithm>
#include <cstring>

namespace korvane {
namespace {

// A chunk-size line is a hex number with optional extensions; nothing a
// client sends needs more.
constexpr size_t kChunkSizeLineLimit = 4096;
constexpr size_t kMaxChunkSizeDigits = 15;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The line without its LF and an optional CR in front of it.
std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool EqualsIgnoreCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits off the next white-space separated word, as a "%s" conversion reads it.
std::string_view NextWord(std::string_view& text) {
  size_t begin = 0;
  while (begin < text.size() && IsSpace(text[begin])) ++begin;
  size_t end = begin;
  while (end < text.size() && !IsSpace(text[end])) ++end;
  const std::string_view word = text.substr(begin, end - begin);
  text.remove_prefix(end);
  return word;
}

}  // namespace

CHttpRequestParser::CHttpRequestParser(HttpRequestLimits limits) : limits_(limits) {}

void CHttpRequestParser::Reset() {
  status_ = Status::kIncomplete;
  error_ = Error::kNone;
  state_ = State::kHeader;
  started_ = false;
  headerComplete_ = false;
  seen_ = 0;
  skipped_ = 0;
  header_.clear();
  lineStart_ = 0;
  method_.clear();
  uri_.clear();
  version_.clear();
  cutFields_ = 0;
  std::fill(std::begin(fieldLengths_), std::end(fieldLengths_), 0);
  headers_.clear();
  hasContentLength_ = false;
  contentLength_ = 0;
  chunked_ = false;
  connectionClose_ = false;
  connectionKeepAlive_ = false;
  body_.clear();
  line_.clear();
  trailerBytes_ = 0;
  chunkLeft_ = 0;
  chunkEndCr_ = false;
}

size_t CHttpRequestParser::RequestLineFieldLength(CutField field) const {
  switch (field) {
    case kCutMethod:
      return fieldLengths_[0];
    case kCutUri:
      return fieldLengths_[1];
    case kCutVersion:
      return fieldLengths_[2];
  }
  return 0;
}

bool CHttpRequestParser::KeepAlive() const {
  if (connectionClose_) return false;
  return version_ != "HTTP/1.0" || connectionKeepAlive_;
}

void CHttpRequestParser::Fail(Error error) {
  status_ = Status::kFailed;
  error_ = error;
  // A body over the bound is not delivered in part.
  if (error == Error::kBodyTooLarge) body_.clear();
}

CHttpRequestParser::Status CHttpRequestParser::Feed(const char* data, size_t size, size_t& consumed) {
  consumed = 0;
  if (status_ != Status::kIncomplete || data == nullptr || size == 0) return status_;
  started_ = true;
  size_t pos = 0;
  while (pos < size && status_ == Status::kIncomplete) {
    const char* at = data + pos;
    const size_t left = size - pos;
    switch (state_) {
      case State::kHeader:
        pos += FeedHeader(at, left);
        break;
      case State::kBody: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(left, contentLength_ - body_.size()));
        body_.append(at, take);
        pos += take;
        if (body_.size() == contentLength_) Complete();
        break;
      }
      case State::kChunkSize:
        pos += FeedChunkSize(at, left);
        break;
      case State::kChunkData: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(left, chunkLeft_));
        body_.append(at, take);
        chunkLeft_ -= take;
        pos += take;
        if (chunkLeft_ == 0) state_ = State::kChunkDataEnd;
        break;
      }
      case State::kChunkDataEnd:
        pos += FeedChunkEnd(at, left);
        break;
      case State::kTrailer:
        pos += FeedTrailer(at, left);
        break;
    }
  }
  seen_ += pos;
  consumed = pos;
  return status_;
}

size_t CHttpRequestParser::FeedHeader(const char* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    const void* lineFeed = std::memchr(data + pos, '\n', size - pos);
    const size_t take = lineFeed != nullptr ? static_cast<const char*>(lineFeed) - (data + pos) + 1 : size - pos;
    if (skipped_ + header_.size() + take > limits_.headerBlock) {
      Fail(Error::kHeaderTooLarge);
      return pos;
    }
    header_.append(data + pos, take);
    pos += take;
    if (lineFeed == nullptr) break;

    const std::string_view line = std::string_view(header_).substr(lineStart_);
    if (!WithoutLineEnd(line).empty()) {
      lineStart_ = header_.size();
      continue;
    }
    if (lineStart_ == 0) {
      // An empty line in front of the request line (left over from a previous message).
      skipped_ += header_.size();
      header_.clear();
      continue;
    }
    headerComplete_ = true;
    if (!ParseHeader()) return pos;
    if (chunked_) {
      state_ = State::kChunkSize;
    } else if (contentLength_ > limits_.body) {
      Fail(Error::kBodyTooLarge);
    } else if (contentLength_ > 0) {
      body_.reserve(static_cast<size_t>(std::min<uint64_t>(contentLength_, 64 * 1024)));
      state_ = State::kBody;
    } else {
      Complete();
    }
    return pos;
  }
  return pos;
}

bool CHttpRequestParser::ParseHeader() {
  std::string_view rest = header_;
  bool first = true;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = WithoutLineEnd(rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (first) {
      ParseRequestLine(line);
      first = false;
      continue;
    }
    if (line.empty()) break;
    if (!ParseHeaderLine(line)) return false;
  }
  return true;
}

void CHttpRequestParser::ParseRequestLine(std::string_view line) {
  struct Field {
    std::string* target;
    size_t limit;
    CutField flag;
    size_t index;
  };
  const Field fields[] = {{&method_, limits_.method, kCutMethod, 0},
                          {&uri_, limits_.uri, kCutUri, 1},
                          {&version_, limits_.version, kCutVersion, 2}};
  for (const Field& field : fields) {
    const std::string_view word = NextWord(line);
    fieldLengths_[field.index] = word.size();
    if (word.size() > field.limit) cutFields_ |= field.flag;
    field.target->assign(word.substr(0, field.limit));
  }
}

bool CHttpRequestParser::ParseHeaderLine(std::string_view line) {
  const size_t colon = line.find(':');
  const std::string_view name =
      colon == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(0, colon));
  const std::string_view value =
      colon == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(colon + 1));
  if (EqualsIgnoreCase(name, "content-length")) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
      Fail(Error::kBadContentLength);
      return false;
    }
    uint64_t length = 0;
    for (char c : value) {
      const uint64_t digit = static_cast<uint64_t>(c - '0');
      if (length > (UINT64_MAX - digit) / 10) {
        Fail(Error::kBodyTooLarge);
        return false;
      }
      length = length * 10 + digit;
    }
    if (hasContentLength_ && length != contentLength_) {
      Fail(Error::kBadContentLength);
      return false;
    }
    hasContentLength_ = true;
    contentLength_ = length;
    return true;
  }
  headers_.push_back(line);
  if (EqualsIgnoreCase(name, "connection")) {
    for (std::string_view rest = value; !rest.empty();) {
      const size_t comma = rest.find(',');
      const std::string_view option = TrimBlanks(rest.substr(0, comma));
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
      if (EqualsIgnoreCase(option, "close")) connectionClose_ = true;
      if (EqualsIgnoreCase(option, "keep-alive")) connectionKeepAlive_ = true;
    }
  } else if (EqualsIgnoreCase(name, "transfer-encoding")) {
    // Only the last coding decides how the body ends; "chunked" is the one we can read.
    std::string_view last = value;
    const size_t comma = last.rfind(',');
    if (comma != std::string_view::npos) last = TrimBlanks(last.substr(comma + 1));
    if (!EqualsIgnoreCase(last, "chunked")) {
      Fail(Error::kBadTransferEncoding);
      return false;
    }
    chunked_ = true;
  }
  return true;
}

bool CHttpRequestParser::FeedLine(const char* data, size_t size, size_t bound, size_t& taken, bool& lineDone) {
  const void* lineFeed = std::memchr(data, '\n', size);
  taken = lineFeed != nullptr ? static_cast<const char*>(lineFeed) - data + 1 : size;
  lineDone = lineFeed != nullptr;
  if (line_.size() + taken > bound) return false;
  line_.append(data, taken);
  return true;
}

size_t CHttpRequestParser::FeedChunkSize(const char* data, size_t size) {
  size_t taken = 0;
  bool lineDone = false;
  if (!FeedLine(data, size, kChunkSizeLineLimit, taken, lineDone)) {
    Fail(Error::kBadChunk);
    return 0;
  }
  if (!lineDone) return taken;
  const bool parsed = ParseChunkSize(WithoutLineEnd(line_));
  line_.clear();
  if (!parsed) return taken;
  if (chunkLeft_ == 0) {
    state_ = State::kTrailer;
  } else if (chunkLeft_ > limits_.body - body_.size()) {
    Fail(Error::kBodyTooLarge);
  } else {
    state_ = State::kChunkData;
  }
  return taken;
}

bool CHttpRequestParser::ParseChunkSize(std::string_view line) {
  size_t digits = 0;
  uint64_t size = 0;
  while (digits < line.size() && HexValue(line[digits]) >= 0) {
    if (digits == kMaxChunkSizeDigits) {
      Fail(Error::kBodyTooLarge);
      return false;
    }
    size = size * 16 + static_cast<uint64_t>(HexValue(line[digits]));
    ++digits;
  }
  const std::string_view rest = TrimBlanks(line.substr(digits));
  if (digits == 0 || (!rest.empty() && rest.front() != ';')) {
    Fail(Error::kBadChunk);
    return false;
  }
  chunkLeft_ = size;
  return true;
}

size_t CHttpRequestParser::FeedChunkEnd(const char* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    const char c = data[pos++];
    if (c == '\n') {
      chunkEndCr_ = false;
      state_ = State::kChunkSize;
      return pos;
    }
    if (c != '\r' || chunkEndCr_) {
      Fail(Error::kBadChunk);
      return pos;
    }
    chunkEndCr_ = true;
  }
  return pos;
}

size_t CHttpRequestParser::FeedTrailer(const char* data, size_t size) {
  size_t taken = 0;
  bool lineDone = false;
  if (!FeedLine(data, size, limits_.headerBlock - std::min(trailerBytes_, limits_.headerBlock), taken, lineDone)) {
    Fail(Error::kHeaderTooLarge);
    return 0;
  }
  if (!lineDone) return taken;
  trailerBytes_ += line_.size();
  const bool empty = WithoutLineEnd(line_).empty();
  line_.clear();
  if (empty) Complete();
  return taken;
}

}  // namespace korvane
