// Reads HTTP/1.x requests out of a byte stream: a pure, incremental object
// with no socket, fed block by block by the HTTP server channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

/// Bounds of one request. A request that exceeds the header or body bound
/// fails; request-line fields longer than theirs are cut.
struct HttpRequestLimits {
  size_t headerBlock = 64 * 1024;  ///< request line, header lines and the empty line (also trailers)
  size_t body = 16 * 1024 * 1024;  ///< the body as delivered (chunked bodies decoded)
  size_t method = 127;
  size_t uri = 255;
  size_t version = 127;
};

/// One request at a time: Feed bytes until the request is complete or has
/// failed, read its parts, Reset, feed the bytes that followed it. The result
/// depends only on the byte stream, not on how it is cut into blocks.
///
/// Lines end with LF, CR LF being the usual form; empty lines in front of a
/// request line are skipped. The header ends at the first empty line; the body
/// is then read by Content-Length, or decoded when the last transfer coding is
/// "chunked" (which takes precedence over a Content-Length). Trailer lines of a
/// chunked body are read and dropped.
///
/// Not thread-safe; one owner thread.
class CHttpRequestParser {
 public:
  enum class Status { kIncomplete, kComplete, kFailed };
  enum class Error {
    kNone,
    kHeaderTooLarge,       ///< no empty line within the header bound
    kBadContentLength,     ///< not a plain decimal number, or two different values
    kBodyTooLarge,         ///< announced or decoded body over the body bound
    kBadTransferEncoding,  ///< a transfer coding other than chunked last
    kBadChunk,             ///< a chunk-size line or chunk end that does not read
  };
  /// Request-line fields that were cut to their bound (bit mask of CutFields()).
  enum CutField : unsigned { kCutMethod = 1, kCutUri = 2, kCutVersion = 4 };

  explicit CHttpRequestParser(HttpRequestLimits limits = {});

  /// Consumes the bytes that belong to the current request and sets `consumed`
  /// to their count; bytes after a complete request belong to the next one.
  /// Once complete or failed, further calls consume nothing until Reset.
  Status Feed(const char* data, size_t size, size_t& consumed);
  Status Feed(std::string_view bytes, size_t& consumed) { return Feed(bytes.data(), bytes.size(), consumed); }
  /// Forgets the request (keeps the buffers' capacity).
  void Reset();

  Status GetStatus() const { return status_; }
  Error GetError() const { return error_; }
  /// True once a byte of this request has arrived (skipped empty lines count).
  bool Started() const { return started_; }
  /// True while the body is being read: the header is complete, the body is not.
  bool InBody() const { return status_ == Status::kIncomplete && state_ != State::kHeader; }
  /// Bytes consumed for this request so far.
  uint64_t BytesSeen() const { return seen_; }

  /// Request-line fields; empty while the header is incomplete or when missing.
  std::string_view Method() const { return method_; }
  std::string_view Uri() const { return uri_; }
  std::string_view Version() const { return version_; }
  /// Which request-line fields were cut, and their lengths before the cut.
  unsigned CutFields() const { return cutFields_; }
  size_t RequestLineFieldLength(CutField field) const;
  /// The header text as received (request line and empty line included);
  /// empty until the empty line has arrived.
  std::string_view HeaderBlock() const { return headerComplete_ ? std::string_view(header_) : std::string_view(); }
  /// Header lines other than Content-Length, without their line ends; views into HeaderBlock().
  const std::vector<std::string_view>& Headers() const { return headers_; }
  bool HasContentLength() const { return hasContentLength_; }
  uint64_t ContentLength() const { return contentLength_; }
  bool Chunked() const { return chunked_; }
  /// Whether the client means to send further requests on the connection:
  /// not after "Connection: close", and for HTTP/1.0 only with "Connection: keep-alive".
  bool KeepAlive() const;
  /// The body received so far (decoded); the whole body once complete.
  /// Dropped when the body bound is exceeded.
  std::string_view Body() const { return body_; }

  const HttpRequestLimits& Limits() const { return limits_; }

 private:
  enum class State { kHeader, kBody, kChunkSize, kChunkData, kChunkDataEnd, kTrailer };

  size_t FeedHeader(const char* data, size_t size);
  size_t FeedChunkSize(const char* data, size_t size);
  size_t FeedChunkEnd(const char* data, size_t size);
  size_t FeedTrailer(const char* data, size_t size);
  // Appends to line_ up to and including a line feed; false when line_ would exceed `bound`.
  bool FeedLine(const char* data, size_t size, size_t bound, size_t& taken, bool& lineDone);
  bool ParseHeader();
  void ParseRequestLine(std::string_view line);
  bool ParseHeaderLine(std::string_view line);
  bool ParseChunkSize(std::string_view line);
  void Complete() { status_ = Status::kComplete; }
  void Fail(Error error);

  HttpRequestLimits limits_;
  Status status_ = Status::kIncomplete;
  Error error_ = Error::kNone;
  State state_ = State::kHeader;
  bool started_ = false;
  bool headerComplete_ = false;
  uint64_t seen_ = 0;
  // Bytes of the empty lines skipped in front of the request line (count against the header bound).
  size_t skipped_ = 0;
  std::string header_;
  size_t lineStart_ = 0;  // where the header line being read starts in header_
  std::string method_;
  std::string uri_;
  std::string version_;
  unsigned cutFields_ = 0;
  size_t fieldLengths_[3] = {};
  std::vector<std::string_view> headers_;
  bool hasContentLength_ = false;
  uint64_t contentLength_ = 0;
  bool chunked_ = false;
  bool connectionClose_ = false;
  bool connectionKeepAlive_ = false;
  std::string body_;
  // A chunk-size or trailer line being assembled, and what is left of the current chunk.
  std::string line_;
  size_t trailerBytes_ = 0;
  uint64_t chunkLeft_ = 0;
  bool chunkEndCr_ = false;
};

}  // namespace korvane
