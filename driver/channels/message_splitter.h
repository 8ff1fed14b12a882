// Cuts a received byte stream into messages: a pure framing object with no
// socket, fed block by block by the channels' receive loops.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

/// What the splitter reports while it consumes a block. Called synchronously
/// from CMessageSplitter::Feed/Flush on the feeding thread.
class IMessageSink {
 public:
  /// One message. `message` is valid during the call only and never empty.
  virtual void OnMessage(std::string_view message) = 0;
  /// The clear-screen sequence arrived; the partial message has been dropped.
  virtual void OnClearScreen() = 0;
  /// The message reached `limit` bytes without a line-feed sequence; it is
  /// delivered through OnMessage right after this call, as it stands, and the
  /// rest of the line is dropped (see OnDropped).
  virtual void OnLimitReached(size_t limit) = 0;
  /// Why the splitter dropped the bytes up to a line feed.
  enum class DropCause { kCut, kLimit };
  /// The next line-feed sequence arrived after a cut (CMessageSplitter::Cut)
  /// or a message at the limit: `bytes` of that line were dropped.
  virtual void OnDropped(DropCause cause, size_t bytes) = 0;

 protected:
  ~IMessageSink() = default;
};

/// Framing settings of one channel.
struct SplitterSettings {
  std::vector<uint8_t> lineFeed;     ///< message terminator; empty: every block is one message
  std::vector<uint8_t> clearScreen;  ///< drops the partial message and reports a clear screen
  std::vector<uint8_t> ignoredBytes;
  bool keepZeroBytes = false;  ///< false: a zero byte is stored as '?'
  size_t limit = 1 << 20;      ///< largest message; reaching it delivers the message as it stands
};

/// Incremental splitter. At every stream position the line-feed sequence is
/// tried first, then the clear-screen sequence, then the ignored set; any
/// other byte belongs to the message. With a line-feed sequence set, the
/// result depends only on the byte stream, not on how it is cut into blocks:
/// a sequence that a block boundary splits is held back until the next block
/// decides it. Without one, each block is a message of its own and sequences
/// are only recognised inside a block.
///
/// Not thread-safe; one owner thread.
class CMessageSplitter {
 public:
  explicit CMessageSplitter(SplitterSettings settings);

  /// Consumes one received block. An empty block does nothing.
  void Feed(const uint8_t* data, size_t length, IMessageSink& sink);
  void Feed(std::string_view block, IMessageSink& sink) {
    Feed(reinterpret_cast<const uint8_t*>(block.data()), block.size(), sink);
  }
  /// Delivers the partial message, if any. Held sequence bytes stay held.
  void Flush(IMessageSink& sink);
  /// Drops the partial message and any held sequence bytes, and forgets a
  /// line being dropped (a new stream begins).
  void Discard();
  /// The stream was cut inside a message (a receive time-out): with a
  /// line-feed sequence set, drops the partial message and everything up to
  /// the next line feed, which is reported through OnDropped. Between
  /// messages it does nothing.
  void Cut();

  /// Bytes of the partial message (held sequence bytes not counted).
  size_t Buffered() const { return buffer_.size(); }
  /// True while the rest of a cut line is being dropped.
  bool Dropping() const { return dropping_; }
  const SplitterSettings& Settings() const { return settings_; }

 private:
  enum class Match { kNone, kLineFeed, kClearScreen, kUndecided };

  size_t Scan(const uint8_t* data, size_t size, size_t limit, IMessageSink& sink);
  const uint8_t* FindCandidate(const uint8_t* from, const uint8_t* end) const;
  Match MatchAt(const uint8_t* data, size_t pos, size_t size) const;
  void Append(const uint8_t* data, size_t length, IMessageSink& sink);
  void Deliver(const uint8_t* data, size_t length, IMessageSink& sink);
  void EndLine(const uint8_t* data, size_t length, IMessageSink& sink);

  SplitterSettings settings_;
  // Bytes that may start a sequence or are ignored; the scan stops only at these.
  std::array<bool, 256> candidate_{};
  std::array<bool, 256> ignored_{};
  int singleCandidate_ = -1;  // the only candidate byte, when there is exactly one
  bool anyCandidate_ = false;
  size_t longestSequence_ = 0;
  std::string buffer_;
  // Dropping the rest of a line after a cut or at the limit, and how much so far.
  bool dropping_ = false;
  IMessageSink::DropCause dropCause_ = IMessageSink::DropCause::kCut;
  size_t dropped_ = 0;
  // A possible sequence cut by the end of the last block (shorter than the longest sequence).
  std::string held_;
  std::string scratch_;
};

}  // namespace korvane
