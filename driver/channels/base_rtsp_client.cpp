#include "driver/channels/base_rtsp_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "driver/channels/socket_options.h"
#include "driver/support/string_utils.h"
#include "driver/support/url_join.h"

namespace korvane {
namespace {

constexpr const char* kProtocol = "RTSP/1.0\r\n";
constexpr size_t kReadSize = 4096;

std::chrono::milliseconds Remaining(const Clock& clock, Clock::TimePoint deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.Now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

}  // namespace

std::string BaseUrl(const RTSPClientParameters& parameters) {
  return Format("rtsp://%s:%d/%s", parameters.address.c_str(), parameters.serverPort, parameters.path.c_str());
}

std::string ControlUrl(const RTSPClientParameters& parameters, const CRTSPResponseParser& parser) {
  const std::string& control = parser.Control();
  if (control.empty()) return {};
  const std::string& contentBase = parser.ContentBase();
  return JoinUrl(contentBase.empty() ? BaseUrl(parameters) : contentBase, control);
}

const char* RTSPMethodName(RTSPRequestType type) {
  switch (type) {
    case RTSPRequestType::kDescribe:
      return "DESCRIBE";
    case RTSPRequestType::kSetup:
      return "SETUP";
    case RTSPRequestType::kPlay:
      return "PLAY";
    case RTSPRequestType::kTeardown:
      return "TEARDOWN";
    case RTSPRequestType::kOptions:
      return "OPTIONS";
  }
  return "";
}

std::string BuildRTSPRequest(RTSPRequestType type, const RTSPClientParameters& parameters, CRTSPResponseParser& parser,
                             RTSPFailure& failure) {
  failure = RTSPFailure::kNone;
  const std::string base = BaseUrl(parameters);
  std::string url = base;
  if (type == RTSPRequestType::kSetup) {
    url = ControlUrl(parameters, parser);
    if (url.empty()) {
      failure = RTSPFailure::kNoRequest;
      return {};
    }
  }
  const char* method = RTSPMethodName(type);
  if (*method == '\0') {
    failure = RTSPFailure::kNoRequest;
    return {};
  }

  std::string authorization;
  if (parameters.scheme == AuthScheme::kBasic) {
    if (!BasicAuthorizationLine(parameters.user, parameters.password, authorization)) {
      failure = RTSPFailure::kCredentialsTooLong;
      return {};
    }
  } else if (parameters.scheme == AuthScheme::kDigest) {
    const AuthChallenge& challenge = parser.Challenge();
    // The digest covers the base URL for every request, SETUP included.
    if (!challenge.realm.empty() && !challenge.nonce.empty() && !parameters.user.empty() &&
        !parameters.password.empty()) {
      authorization =
          DigestAuthorizationLine(parameters.user, challenge.realm, parameters.password, method, base, challenge.nonce);
    }
  }

  const uint32_t cseq = parser.CSeq() + 1;
  parser.SetCSeq(cseq);
  const std::string cseqLine = Format("CSeq: %u\r\n", cseq);
  const std::string userAgent = "User-Agent: Korvane\r\n";
  // Without a session there is nothing to name.
  const std::string session = parser.SessionId().empty() ? std::string() : "Session: " + parser.SessionId() + "\r\n";

  std::string text = std::string(method) + " " + url + " " + kProtocol + cseqLine;
  switch (type) {
    case RTSPRequestType::kDescribe:
      text += "Accept: application/sdp\r\n";
      break;
    case RTSPRequestType::kSetup:
      text += Format("Transport: RTP/AVP/UDP;unicast;client_port=%u-%u\r\n", parameters.rtpClientPort,
                     parameters.rtcpClientPort);
      break;
    case RTSPRequestType::kPlay:
      text += session + "Range: npt=0.000-\r\n";
      break;
    case RTSPRequestType::kTeardown:
    case RTSPRequestType::kOptions:
      text += session;
      break;
  }
  text += authorization + userAgent + "\r\n";
  return text;
}

CBaseRTSPClient::CBaseRTSPClient(ISocketWaiter& waiter, const Clock& clock) : waiter_(waiter), clock_(clock) {}

CBaseRTSPClient::~CBaseRTSPClient() { Close(); }

std::string CBaseRTSPClient::BaseUrl() const { return korvane::BaseUrl(parameters_); }

std::string CBaseRTSPClient::ControlUrl() const { return korvane::ControlUrl(parameters_, parser_); }

uint32_t CBaseRTSPClient::SessionTimeout() const {
  return parser_.SessionTimeout() != 0 ? parser_.SessionTimeout() : parameters_.defaultSessionTimeout;
}

std::string CBaseRTSPClient::BuildRequest(RTSPRequestType type) {
  return BuildRTSPRequest(type, parameters_, parser_, failure_);
}

bool CBaseRTSPClient::Open(const RTSPClientParameters& parameters) {
  if (IsConnected()) return true;
  parameters_ = parameters;
  parser_ = CRTSPResponseParser();
  received_.clear();
  return Connect();
}

bool CBaseRTSPClient::Connect() {
  failure_ = Failure::kNone;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(parameters_.serverPort);
  if (parameters_.resolvedAddress) {
    server.sin_addr = *parameters_.resolvedAddress;
  } else if (!ParseIPv4(parameters_.address, server.sin_addr)) {
    return Fail(Failure::kNotConnected);
  }
  socket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_) return Fail(Failure::kNotConnected);
  SetSocketOption(socket_.Get(), SOL_SOCKET, SO_RCVBUF, parameters_.receiveBuffer);
  if (::connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) return true;
  if (errno != EINPROGRESS) return Fail(Failure::kNotConnected);
  switch (waiter_.WaitForSocket(socket_.Get(), POLLOUT, parameters_.connectTimeout)) {
    case ISocketWaiter::Result::kReady:
      break;
    case ISocketWaiter::Result::kStopped:
      return Fail(Failure::kStopped);
    default:
      return Fail(Failure::kNotConnected);
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return Fail(Failure::kNotConnected);
  }
  return true;
}

void CBaseRTSPClient::Close() { socket_.Reset(); }

bool CBaseRTSPClient::Fail(Failure failure) {
  failure_ = failure;
  if (failure == Failure::kNotConnected || failure == Failure::kStopped) Close();
  return false;
}

bool CBaseRTSPClient::SendRequest(RTSPRequestType type) {
  if (!IsConnected()) return Fail(Failure::kNotConnected);
  const std::string text = BuildRequest(type);
  if (text.empty()) return false;  // BuildRequest said why
  if (!SendAll(text)) return false;
  std::string answer;
  if (!ReadAnswer(answer)) return false;
  if (!parser_.Parse(answer, type)) return Fail(Failure::kRefused);
  failure_ = Failure::kNone;
  return true;
}

bool CBaseRTSPClient::SendRequestWithAuth(RTSPRequestType type) {
  const bool answered = SendRequest(type);
  if (!answered || parser_.StatusCode() != 401) return answered;
  const AuthScheme challenged = parser_.Challenge().scheme;
  if (challenged != parameters_.scheme) {
    parameters_.scheme = challenged;
    return SendRequest(type);
  }
  if (challenged == AuthScheme::kDigest) return SendRequest(type);
  return true;
}

bool CBaseRTSPClient::SendAll(const std::string& text) {
  const auto deadline = clock_.Now() + parameters_.receiveTimeout;
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(socket_.Get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Fail(Failure::kSendFailed);
    const auto left = Remaining(clock_, deadline);
    if (left.count() == 0) return Fail(Failure::kSendFailed);
    const auto result = waiter_.WaitForSocket(socket_.Get(), POLLOUT, left);
    if (result == ISocketWaiter::Result::kStopped) return Fail(Failure::kStopped);
    if (result != ISocketWaiter::Result::kReady) return Fail(Failure::kSendFailed);
  }
  return true;
}

bool CBaseRTSPClient::ReadAnswer(std::string& answer) {
  const auto deadline = clock_.Now() + parameters_.receiveTimeout;
  char buffer[kReadSize];
  while (true) {
    size_t length = 0;
    switch (CRTSPResponseParser::FrameAnswer(received_, length)) {
      case AnswerFrame::kComplete:
        answer = received_.substr(0, length);
        received_.erase(0, length);
        return true;
      case AnswerFrame::kInvalid:
        received_.clear();
        return Fail(Failure::kMalformedAnswer);
      case AnswerFrame::kIncomplete:
        break;
    }
    const ssize_t n = ::recv(socket_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return Fail(Failure::kNoAnswer);  // closed before a whole answer arrived
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(Failure::kNoAnswer);
    const auto left = Remaining(clock_, deadline);
    if (left.count() == 0) return Fail(Failure::kNoAnswer);
    // A wait that times out has waited all the time that was left.
    const auto result = waiter_.WaitForSocket(socket_.Get(), POLLIN, left);
    if (result == ISocketWaiter::Result::kStopped) {
      // The request went out whole, so the connection is still sound: a
      // stopping channel says TEARDOWN on it (a late answer is read first).
      failure_ = Failure::kStopped;
      return false;
    }
    if (result != ISocketWaiter::Result::kReady) return Fail(Failure::kNoAnswer);
  }
}

}  // namespace korvane
