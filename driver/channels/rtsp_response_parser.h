// Reads a camera's RTSP answers: where each one ends in the received bytes,
// its status, the headers the client acts on, and the metadata control of a
// DESCRIBE answer's session description. Pure: bytes in, results out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "driver/support/authentication.h"

namespace korvane {

/// The requests the client sends.
enum class RTSPRequestType : int { kDescribe = 1, kSetup = 2, kPlay = 3, kTeardown = 4, kOptions = 5 };

/// Where the first answer in the received bytes ends.
enum class AnswerFrame {
  kIncomplete,  ///< more bytes are needed
  kComplete,    ///< the answer is the first `length` bytes
  kInvalid,     ///< no answer can follow: headers too long, Content-Length unreadable or too large
};

/// Keeps the session state that answers carry from one request to the next
/// (CSeq, Session, challenge, metadata control). One owner thread.
class CRTSPResponseParser {
 public:
  /// Longest header block, status line included.
  static constexpr size_t kMaxHeaderBytes = 65536;
  /// Largest body (a session description).
  static constexpr size_t kMaxBodyBytes = 1 << 20;
  /// A session time-out of 0 or one that cannot be read counts as this many seconds.
  static constexpr uint32_t kFallbackSessionTimeout = 30;

  /// Frames the first answer of `received`: header block up to the first
  /// empty line (lines end in CR LF or LF), then Content-Length body bytes.
  static AnswerFrame FrameAnswer(std::string_view received, size_t& length);

  /// Parses one framed answer to a request of `type`. True when the status is
  /// 200 or 401 and every header acted on (and, for DESCRIBE, the session
  /// description) could be read.
  bool Parse(std::string_view answer, RTSPRequestType type);

  const std::string& Protocol() const { return protocol_; }
  int StatusCode() const { return statusCode_; }
  const std::string& Reason() const { return reason_; }
  /// The last CSeq: the server's, or the client's last request number.
  uint32_t CSeq() const { return cseq_; }
  void SetCSeq(uint32_t cseq) { cseq_ = cseq; }
  const std::string& ContentType() const { return contentType_; }
  size_t ContentLength() const { return contentLength_; }
  /// Content-Base of the last DESCRIBE answer (empty when it had none).
  const std::string& ContentBase() const { return contentBase_; }
  const std::string& SessionId() const { return sessionId_; }
  /// Seconds from the last Session header that gave one; 0 when none did.
  uint32_t SessionTimeout() const { return sessionTimeout_; }
  /// Control of the metadata stream from the last DESCRIBE answer.
  const std::string& Control() const { return control_; }
  /// The last challenge (scheme kNone until a 401 brought one).
  const AuthChallenge& Challenge() const { return challenge_; }

 private:
  bool ParseStatusLine(std::string_view line);
  bool ParseHeader(std::string_view line);
  bool ParseSession(std::string_view value);

  std::string protocol_;
  std::string reason_;
  int statusCode_ = 0;
  uint32_t cseq_ = 0;
  std::string contentType_;
  size_t contentLength_ = 0;
  std::string contentBase_;
  std::string sessionId_;
  uint32_t sessionTimeout_ = 0;
  std::string control_;
  AuthChallenge challenge_;
};

}  // namespace korvane
