#include "driver/channels/http_server_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "driver/channels/socket_options.h"

namespace korvane {
namespace {

constexpr const char* kOpenChannel = "korvane::CHttpServerChannel::OpenChannel";
constexpr const char* kHandleConnection = "korvane::CHttpServerChannel::HandleConnection";

// `closing`: the client asked to close the connection after this answer.
std::string ResponseFor(const ChannelSettings& settings, bool closing) {
  const std::string& text = settings.responseText;
  const char* connection = closing ? "Connection: close\r\n" : "";
  // An empty answer still says where it ends, so the client can send its next request.
  if (text.empty()) return std::string("HTTP/1.1 200 OK\r\n") + connection + "Content-Length: 0\r\n\r\n";
  return std::string("HTTP/1.1 200 OK\r\n") + connection +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(static_cast<uint32_t>(text.size())) + "\r\n\r\n" + text;
}

std::string PeerText(const sockaddr_in& peer) {
  char address[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace

CHttpServerChannel::CHttpServerChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CTcpChannel(driver, debug, settings, "korvane::CHttpServerChannel"),
      part_(settings.processingType == "All"       ? Part::kAll
            : settings.processingType == "Headers" ? Part::kHeaders
            : settings.processingType == "Uri"     ? Part::kUri
                                                   : Part::kContent),
      response_(ResponseFor(settings, false)),
      closingResponse_(ResponseFor(settings, true)) {
  SetName("HTTP Server " + std::to_string(static_cast<uint32_t>(settings.network.port)));
  SetKind("HTTP Channel");
}

CHttpServerChannel::~CHttpServerChannel() = default;

bool CHttpServerChannel::FailOpenChannel(int error, const char* reason) {
  ReportLoss(error, kOpenChannel, "%s", reason);
  CloseChannel();
  SetListenState(ListenState::kFailed);
  return false;
}

bool CHttpServerChannel::OpenChannel() {
  SetListenState(ListenState::kPending);
  OpenWSA();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FailOpenChannel(errno, "Failed to create socket");
  listenSocket_.Reset(fd);
  // Lets a restarted channel bind while connections it closed are in TIME_WAIT
  // (a second listener on the port is still refused).
  SetSocketOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return FailOpenChannel(errno, "Failed to bind socket");
  }
  if (::listen(fd, SOMAXCONN) != 0) return FailOpenChannel(errno, "Failed to start listening");
  boundPort_ = LocalPort(fd);
  SetListenState(ListenState::kListening);
  return true;
}

int CHttpServerChannel::Run() {
  SetConnectionState({}, ConnectionState::Opened);
  while (!StopRequested()) {
    if (!WaitForConnection()) break;
    bool retry = false;
    if (AcceptConnection(retry)) {
      HandleConnection();
      continue;
    }
    if (!retry) break;
  }
  CloseChannel();
  return 0;
}

void CHttpServerChannel::HandleConnection() {
  BeginConnection();
  if (buffer_.empty()) buffer_.resize(kReceiveBufferSize);
  begin_ = end_ = 0;
  peerText_ = PeerText(peer_);
  // Every answer goes out at once: with pipelined requests, an answer held back
  // until the client acknowledges the one before would stall the connection.
  SetSocketOption(clientSocket_.Get(), IPPROTO_TCP, TCP_NODELAY, 1);
  while (!StopRequested()) {
    parser_.Reset();
    bool handled = ReadRequest();
    if (handled && !StopRequested() && Settings().sendResponse) handled = SendResponse();
    // The part goes to the framing also when the request failed, as far as it arrived.
    Deliver();
    if (!handled || !parser_.KeepAlive()) break;
  }
  clientSocket_.Reset();
}

// Reads until the parser has a complete request (true) or the request fails:
// the client is silent for a receive time-out before its body (up to
// kBodyTimeoutsTolerated in a row within the body), leaves, sends what cannot
// be read, takes longer than the network time-out over its header, or the
// channel stops.
bool CHttpServerChannel::ReadRequest() {
  const int fd = clientSocket_.Get();
  const auto headerTimeout = std::chrono::milliseconds(Settings().network.timeout);
  int bodyTimeouts = 0;
  bool timing = false;
  Clock::TimePoint started{};
  while (true) {
    if (begin_ < end_) {
      size_t consumed = 0;
      const auto status = parser_.Feed(buffer_.data() + begin_, end_ - begin_, consumed);
      begin_ += consumed;
      if (begin_ == end_) begin_ = end_ = 0;
      if (status == CHttpRequestParser::Status::kComplete) {
        LogCutFields();
        return true;
      }
      if (status == CHttpRequestParser::Status::kFailed) {
        LogRefusal();
        return false;
      }
    }
    if (!timing && parser_.Started()) {
      started = GetClock().Now();
      timing = true;
    }
    if (timing && !parser_.InBody() && GetClock().Now() - started > headerTimeout) {
      Log(kLogWarn, kCatHttpChannel,
          "%s: Request header from %s not complete within %d ms (%llu bytes); connection closed", kHandleConnection,
          peerText_.c_str(), Settings().network.timeout, static_cast<unsigned long long>(parser_.BytesSeen()));
      return false;
    }

    const WaitResult wait = WaitForSocket(fd, POLLIN, PollInterval());
    if (wait.readiness == Readiness::kStopped || wait.readiness == Readiness::kError) return false;
    if (wait.readiness == Readiness::kTimeout) {
      if (parser_.InBody() && ++bodyTimeouts <= kBodyTimeoutsTolerated) continue;
      return false;
    }
    const ssize_t received = ::recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (received > 0) {
      end_ = static_cast<size_t>(received);
      bodyTimeouts = 0;
      continue;
    }
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    return false;  // closed by the client, or reset
  }
}

bool CHttpServerChannel::SendResponse() {
  const int fd = clientSocket_.Get();
  const std::string& response = parser_.KeepAlive() ? response_ : closingResponse_;
  const auto limit = std::chrono::milliseconds(Settings().network.timeout);
  const auto started = GetClock().Now();
  size_t sent = 0;
  while (sent < response.size()) {
    const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    // A client that does not read its answers gets the network time-out to start again.
    if (GetClock().Now() - started > limit) return false;
    if (WaitForSocket(fd, POLLOUT, PollInterval()).readiness == Readiness::kStopped) return false;
  }
  return true;
}

void CHttpServerChannel::Deliver() {
  switch (part_) {
    case Part::kAll:
      scratch_.assign(parser_.HeaderBlock());
      scratch_.append(parser_.Body());
      ProcessData(scratch_.data(), scratch_.size());
      return;
    case Part::kHeaders:
      ProcessData(parser_.HeaderBlock().data(), parser_.HeaderBlock().size());
      return;
    case Part::kUri:
      ProcessData(parser_.Uri().data(), parser_.Uri().size());
      return;
    case Part::kContent:
      ProcessData(parser_.Body().data(), parser_.Body().size());
      return;
  }
}

void CHttpServerChannel::LogRefusal() {
  using Error = CHttpRequestParser::Error;
  const HttpRequestLimits& limits = parser_.Limits();
  std::string why;
  switch (parser_.GetError()) {
    case Error::kHeaderTooLarge:
      why = "header larger than " + std::to_string(limits.headerBlock) + " bytes";
      break;
    case Error::kBodyTooLarge:
      why = "body larger than " + std::to_string(limits.body) + " bytes";
      break;
    case Error::kBadContentLength:
      why = "Content-Length is not one decimal number";
      break;
    case Error::kBadTransferEncoding:
      why = "transfer coding other than chunked";
      break;
    case Error::kBadChunk:
      why = "malformed chunked body";
      break;
    case Error::kNone:
      why = "unreadable";
      break;
  }
  Log(kLogWarn, kCatHttpChannel, "%s: Request from %s refused after %llu bytes: %s; connection closed",
      kHandleConnection, peerText_.c_str(), static_cast<unsigned long long>(parser_.BytesSeen()), why.c_str());
}

void CHttpServerChannel::LogCutFields() {
  const unsigned cut = parser_.CutFields();
  if (cut == 0) return;
  const HttpRequestLimits& limits = parser_.Limits();
  const struct {
    CHttpRequestParser::CutField field;
    const char* name;
    size_t limit;
  } fields[] = {{CHttpRequestParser::kCutMethod, "method", limits.method},
                {CHttpRequestParser::kCutUri, "URI", limits.uri},
                {CHttpRequestParser::kCutVersion, "version", limits.version}};
  for (const auto& f : fields) {
    if ((cut & f.field) == 0) continue;
    Log(kLogWarn, kCatHttpChannel, "%s: Request from %s: %s of %zu bytes cut to %zu bytes", kHandleConnection,
        peerText_.c_str(), f.name, parser_.RequestLineFieldLength(f.field), f.limit);
  }
}

std::unique_ptr<CChannelBase> CreateHttpServerChannel(IDataDriver& driver, IDebug& debug,
                                                      const ChannelSettings& settings) {
  return std::make_unique<CHttpServerChannel>(driver, debug, settings);
}

}  // namespace korvane
