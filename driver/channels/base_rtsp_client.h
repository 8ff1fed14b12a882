// RTSP/1.0 over one TCP connection to a camera: the five requests of a
// metadata session, Basic and Digest authorization with one retry after a
// 401, and the answers read through CRTSPResponseParser. One request at a
// time: send, then read its answer. Used on the RTSP channel's worker thread.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "driver/channels/rtsp_response_parser.h"
#include "driver/channels/socket_waiter.h"
#include "driver/support/authentication.h"
#include "driver/support/clock.h"
#include "driver/support/unique_fd.h"

namespace korvane {

struct RTSPClientParameters {
  uint16_t serverPort = 554;
  uint16_t rtpClientPort = 0;  ///< announced in SETUP
  uint16_t rtcpClientPort = 0;
  std::string address;  ///< host name or dotted address, as the URLs name the server
  /// Where to connect when `address` is a name the caller has looked up;
  /// without it `address` must be a dotted IPv4 address.
  std::optional<in_addr> resolvedAddress;
  std::string user;
  std::string password;
  std::chrono::milliseconds connectTimeout{5000};
  /// Longest wait for one whole answer.
  std::chrono::milliseconds receiveTimeout{5000};
  int receiveBuffer = 65536;
  /// Used when the server's Session header gives no time-out.
  uint32_t defaultSessionTimeout = 60;
  AuthScheme scheme = AuthScheme::kNone;
  std::string path;  ///< path of the stream URL
};

/// Why a request failed.
enum class RTSPFailure {
  kNone,
  kNotConnected,
  kNoRequest,           ///< nothing to send (SETUP without a metadata control)
  kCredentialsTooLong,  ///< user and password do not fit the Basic credential buffer
  kSendFailed,
  kStopped,
  kNoAnswer,         ///< the time-out passed or the server closed first
  kMalformedAnswer,  ///< no answer can be framed from what arrived
  kRefused,          ///< the answer was read but is not a success (status, headers, description)
};

/// The text of one request from the parameters and the session state the
/// answers so far left in `parser`; takes the next CSeq from it. Empty when
/// the request cannot be built (`failure` says why).
std::string BuildRTSPRequest(RTSPRequestType type, const RTSPClientParameters& parameters, CRTSPResponseParser& parser,
                             RTSPFailure& failure);

class CBaseRTSPClient {
 public:
  using Failure = RTSPFailure;

  CBaseRTSPClient(ISocketWaiter& waiter, const Clock& clock);
  virtual ~CBaseRTSPClient();
  CBaseRTSPClient(const CBaseRTSPClient&) = delete;
  CBaseRTSPClient& operator=(const CBaseRTSPClient&) = delete;

  /// The text of one request with the current session state; empty when it
  /// cannot be built (LastFailure says why).
  virtual std::string BuildRequest(RTSPRequestType type);

  /// Copies the parameters and connects within the connect time-out. True at
  /// once when already connected.
  bool Open(const RTSPClientParameters& parameters);
  /// Builds, sends and reads one exchange; true when the answer parsed (a 401 included).
  bool SendRequest(RTSPRequestType type);
  /// SendRequest, and once more when it was answered 401 with a scheme other
  /// than ours (which we adopt) or with Digest again (a fresh nonce).
  bool SendRequestWithAuth(RTSPRequestType type);
  void Close();
  /// Longest wait for one answer from now on (tear-down uses a short one).
  void SetReceiveTimeout(std::chrono::milliseconds timeout) { parameters_.receiveTimeout = timeout; }

  bool IsConnected() const { return socket_.Valid(); }
  Failure LastFailure() const { return failure_; }
  const CRTSPResponseParser& Parser() const { return parser_; }
  const RTSPClientParameters& Parameters() const { return parameters_; }
  std::string BaseUrl() const;
  std::string ControlUrl() const;
  /// Session time-out in seconds: the server's, or the default.
  uint32_t SessionTimeout() const;

 private:
  bool Connect();
  bool SendAll(const std::string& text);
  bool ReadAnswer(std::string& answer);
  bool Fail(Failure failure);

  ISocketWaiter& waiter_;
  const Clock& clock_;
  RTSPClientParameters parameters_;
  CRTSPResponseParser parser_;
  UniqueFd socket_;
  Failure failure_ = Failure::kNone;
  // Bytes received after the last answer.
  std::string received_;
};

/// "rtsp://address:port/path".
std::string BaseUrl(const RTSPClientParameters& parameters);
/// Where SETUP goes: the metadata control, joined to Content-Base when the
/// description had one, else to the base URL; empty without a control.
std::string ControlUrl(const RTSPClientParameters& parameters, const CRTSPResponseParser& parser);
/// The request's method name ("DESCRIBE", ...).
const char* RTSPMethodName(RTSPRequestType type);

}  // namespace korvane
