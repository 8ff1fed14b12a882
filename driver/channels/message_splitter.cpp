#include "driver/channels/message_splitter.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvane {
namespace {

SplitterSettings Normalised(SplitterSettings settings) {
  settings.limit = std::max<size_t>(settings.limit, 1);
  return settings;
}

}  // namespace

CMessageSplitter::CMessageSplitter(SplitterSettings settings) : settings_(Normalised(std::move(settings))) {
  size_t candidates = 0;
  auto mark = [&](uint8_t byte) {
    if (!candidate_[byte]) {
      candidate_[byte] = true;
      singleCandidate_ = byte;
      ++candidates;
    }
  };
  if (!settings_.lineFeed.empty()) mark(settings_.lineFeed.front());
  if (!settings_.clearScreen.empty()) mark(settings_.clearScreen.front());
  for (uint8_t byte : settings_.ignoredBytes) {
    ignored_[byte] = true;
    mark(byte);
  }
  anyCandidate_ = candidates > 0;
  if (candidates != 1) singleCandidate_ = -1;
  longestSequence_ = std::max(settings_.lineFeed.size(), settings_.clearScreen.size());
  buffer_.reserve(std::min<size_t>(settings_.limit, 4096));
}

void CMessageSplitter::Feed(const uint8_t* data, size_t length, IMessageSink& sink) {
  if (data == nullptr || length == 0) return;
  size_t offset = 0;
  if (!held_.empty()) {
    // Join the held bytes with just enough of the new block to decide every
    // sequence that starts inside them, then go on in the block itself.
    const size_t held = held_.size();
    const size_t take = std::min(length, longestSequence_ - 1);
    scratch_.assign(held_);
    scratch_.append(reinterpret_cast<const char*>(data), take);
    held_.clear();
    const auto* joined = reinterpret_cast<const uint8_t*>(scratch_.data());
    if (take == length) {
      Scan(joined, scratch_.size(), scratch_.size(), sink);
      if (settings_.lineFeed.empty()) Flush(sink);
      return;
    }
    offset = Scan(joined, scratch_.size(), held, sink) - held;
  }
  Scan(data + offset, length - offset, length - offset, sink);
  if (settings_.lineFeed.empty()) Flush(sink);
}

void CMessageSplitter::Flush(IMessageSink& sink) {
  if (buffer_.empty()) return;
  sink.OnMessage(buffer_);
  buffer_.clear();
}

void CMessageSplitter::Discard() {
  buffer_.clear();
  held_.clear();
  dropping_ = false;
  dropped_ = 0;
}

void CMessageSplitter::Cut() {
  if (settings_.lineFeed.empty() || dropping_ || (buffer_.empty() && held_.empty())) return;
  dropping_ = true;
  dropCause_ = IMessageSink::DropCause::kCut;
  dropped_ = buffer_.size();
  buffer_.clear();
}

// Scans positions [0, limit) of data[0, size); sequences may reach up to size.
// Returns the position after the last byte consumed (>= limit).
size_t CMessageSplitter::Scan(const uint8_t* data, size_t size, size_t limit, IMessageSink& sink) {
  size_t pos = 0;
  size_t runStart = 0;  // first byte of message data not yet appended or delivered
  while (pos < limit) {
    const uint8_t* hit = FindCandidate(data + pos, data + limit);
    if (hit == nullptr) {
      pos = limit;
      break;
    }
    const size_t at = static_cast<size_t>(hit - data);
    switch (MatchAt(data, at, size)) {
      case Match::kLineFeed:
        EndLine(data + runStart, at - runStart, sink);
        pos = runStart = at + settings_.lineFeed.size();
        break;
      case Match::kClearScreen:
        // Appending first keeps the size limit independent of block boundaries.
        Append(data + runStart, at - runStart, sink);
        buffer_.clear();
        sink.OnClearScreen();
        pos = runStart = at + settings_.clearScreen.size();
        break;
      case Match::kUndecided:
        Append(data + runStart, at - runStart, sink);
        held_.assign(reinterpret_cast<const char*>(data + at), size - at);
        return size;
      case Match::kNone:
        if (ignored_[*hit]) {
          Append(data + runStart, at - runStart, sink);
          runStart = at + 1;
        }
        pos = at + 1;
        break;
    }
  }
  Append(data + runStart, pos - runStart, sink);
  return pos;
}

const uint8_t* CMessageSplitter::FindCandidate(const uint8_t* from, const uint8_t* end) const {
  if (!anyCandidate_ || from >= end) return nullptr;
  if (singleCandidate_ >= 0) {
    return static_cast<const uint8_t*>(std::memchr(from, singleCandidate_, static_cast<size_t>(end - from)));
  }
  for (; from < end; ++from) {
    if (candidate_[*from]) return from;
  }
  return nullptr;
}

CMessageSplitter::Match CMessageSplitter::MatchAt(const uint8_t* data, size_t pos, size_t size) const {
  const size_t available = size - pos;
  const auto& lineFeed = settings_.lineFeed;
  if (!lineFeed.empty()) {
    if (available >= lineFeed.size()) {
      if (std::memcmp(data + pos, lineFeed.data(), lineFeed.size()) == 0) return Match::kLineFeed;
    } else if (std::memcmp(data + pos, lineFeed.data(), available) == 0) {
      return Match::kUndecided;
    }
  }
  const auto& clearScreen = settings_.clearScreen;
  if (!clearScreen.empty()) {
    if (available >= clearScreen.size()) {
      if (std::memcmp(data + pos, clearScreen.data(), clearScreen.size()) == 0) return Match::kClearScreen;
    } else if (!lineFeed.empty() && std::memcmp(data + pos, clearScreen.data(), available) == 0) {
      // Only a stream with a line-feed sequence carries partial sequences over;
      // without one every block stands alone.
      return Match::kUndecided;
    }
  }
  return Match::kNone;
}

// The line feed after `data`: delivers the line, or ends dropping it.
void CMessageSplitter::EndLine(const uint8_t* data, size_t length, IMessageSink& sink) {
  if (!dropping_ && buffer_.empty() && length < settings_.limit) {
    Deliver(data, length, sink);
    return;
  }
  Append(data, length, sink);
  if (!dropping_) {
    Flush(sink);
    return;
  }
  const size_t dropped = dropped_;
  dropping_ = false;
  dropped_ = 0;
  sink.OnDropped(dropCause_, dropped);
}

void CMessageSplitter::Append(const uint8_t* data, size_t length, IMessageSink& sink) {
  const size_t limit = settings_.limit;
  while (length > 0) {
    if (dropping_) {
      dropped_ += length;
      return;
    }
    const size_t take = std::min(limit - buffer_.size(), length);
    const size_t old = buffer_.size();
    buffer_.append(reinterpret_cast<const char*>(data), take);
    if (!settings_.keepZeroBytes) {
      char* p = buffer_.data() + old;
      char* const end = buffer_.data() + buffer_.size();
      while ((p = static_cast<char*>(std::memchr(p, 0, static_cast<size_t>(end - p)))) != nullptr) *p++ = '?';
    }
    data += take;
    length -= take;
    if (buffer_.size() >= limit) {
      sink.OnLimitReached(limit);
      Flush(sink);
      // The rest of the line is no message of its own. Without a line feed
      // every block is a message, and a long one goes out in pieces.
      if (!settings_.lineFeed.empty()) {
        dropping_ = true;
        dropCause_ = IMessageSink::DropCause::kLimit;
        dropped_ = 0;
      }
    }
  }
}

// A message that lies whole inside the block goes out without a copy.
void CMessageSplitter::Deliver(const uint8_t* data, size_t length, IMessageSink& sink) {
  if (length == 0) return;
  if (!settings_.keepZeroBytes && std::memchr(data, 0, length) != nullptr) {
    Append(data, length, sink);
    Flush(sink);
    return;
  }
  sink.OnMessage(std::string_view(reinterpret_cast<const char*>(data), length));
}

}  // namespace korvane
