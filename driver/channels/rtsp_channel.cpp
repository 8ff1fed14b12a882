#include "driver/channels/rtsp_channel.h"

#include <poll.h>

#include <cerrno>
#include <span>
#include <utility>

#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr const char* kConnect = "korvane::CRTSPChannel::Connect";
constexpr const char* kOpenHandlers = "korvane::CRTSPChannel::OpenHandlers";
constexpr const char* kCloseHandlers = "korvane::CRTSPChannel::CloseHandlers";

// Sets an event when a thread's body is left, however it is left.
class SetOnExit {
 public:
  explicit SetOnExit(Event& event) : event_(event) {}
  ~SetOnExit() { event_.Set(); }
  SetOnExit(const SetOnExit&) = delete;
  SetOnExit& operator=(const SetOnExit&) = delete;

 private:
  Event& event_;
};

}  // namespace

// The RTP receiver and RTCP session of one RTSP session, with what their
// threads and the worker share.
struct CRTSPChannel::Session {
  CRTPReceiver receiver;
  CRTCPSession rtcp;
  // Ends the session's threads without stopping the channel.
  Event stop;
  // Set when the thread has ended (or never started).
  Event rtpDone{Event::Mode::kManualReset, true};
  Event rtcpDone{Event::Mode::kManualReset, true};
};

// Every wait of the client and the session threads: the channel's own wait,
// which ends on the channel's stop, plus the session's stop where there is one.
class CRTSPChannel::Waiter final : public ISocketWaiter {
 public:
  Waiter(CRTSPChannel& channel, const Event* sessionStop) : channel_(channel), sessionStop_(sessionStop) {}

  /// While set (the worker's TEARDOWN during a stop), waits ignore the stop
  /// event; the caller bounds them with a short time-out.
  void SetIgnoreStop(bool ignore) { ignoreStop_ = ignore; }

  Result WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) override {
    if (ignoreStop_) return Poll(fd, events, timeout);
    pollfd set[2] = {{fd, events, 0}, {sessionStop_ != nullptr ? sessionStop_->Fd() : -1, POLLIN, 0}};
    const size_t count = sessionStop_ != nullptr ? 2 : 1;
    const WaitResult result = channel_.WaitForAny(std::span<pollfd>(set, count), timeout);
    switch (result.readiness) {
      case Readiness::kStopped:
        return Result::kStopped;
      case Readiness::kError:
        return Result::kError;
      case Readiness::kTimeout:
        return Result::kTimeout;
      case Readiness::kReady:
        break;
    }
    if (count == 2 && set[1].revents != 0) return Result::kStopped;
    return Result::kReady;
  }

 private:
  static Result Poll(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd entry{fd, events, 0};
    int n = 0;
    do {
      n = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (n < 0 && errno == EINTR);
    if (n < 0 || (entry.revents & POLLNVAL) != 0) return Result::kError;
    return n == 0 ? Result::kTimeout : Result::kReady;
  }

  CRTSPChannel& channel_;
  const Event* const sessionStop_;
  bool ignoreStop_ = false;
};

CRTSPChannel::CRTSPChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CChannelBase(driver, debug, settings), waiter_(std::make_unique<Waiter>(*this, nullptr)) {
  SetName(Format("RTSP %s:%u", settings.network.address.c_str(), static_cast<uint32_t>(settings.network.port)));
  SetKind("RTSP channel");
}

CRTSPChannel::~CRTSPChannel() = default;

bool CRTSPChannel::OpenChannel() {
  OpenWSA();
  return true;
}

void CRTSPChannel::CloseChannel() {
  CloseHandlers();
  CloseWSA();
}

int CRTSPChannel::Run() {
  while (!WaitForStop(kPassInterval)) {
    if (socketFailed_.exchange(false)) CloseHandlers();
    if (Connect()) KeepAlive();
  }
  CloseChannel();
  return 0;
}

bool CRTSPChannel::Connect() {
  if (handlersOpen_) return true;
  // A thread of the last session that has not ended yet still delivers.
  if (lingering_ && !(lingering_->rtpDone.IsSet() && lingering_->rtcpDone.IsSet())) return false;
  lingering_.reset();
  if (!OpenHandlers()) {
    Log(kLogError, kCatRtspChannel, "%s: Unable to open RTSP handlers", kConnect);
    CloseHandlers();
    return false;
  }
  Log(kLogInfo, kCatRtspChannel, "%s: RTSP handlers is opened", kConnect);
  SetState({}, ConnectionState::Opened);
  handlersOpen_ = true;
  // Packets that came since PLAY wait in the socket; delivering them only now
  // keeps "opened" ahead of "restored".
  delivering_ = true;
  if (!StartRtpThread(session_)) {
    CloseHandlers();
    return false;
  }
  return true;
}

bool CRTSPChannel::OpenHandlers() {
  auto session = std::make_shared<Session>();
  session_ = session;
  client_ = std::make_unique<CBaseRTSPClient>(*waiter_, GetClock());
  if (!OpenPortPair(*session)) {
    if (!StopRequested()) Log(kLogError, kCatRtspChannel, "%s: Unable to open RTCP ports", kOpenHandlers);
    return false;
  }
  if (!StartRtcpThread(session)) return false;

  const NetworkSettings& network = Settings().network;
  RTSPClientParameters parameters;
  parameters.address = network.address;
  parameters.user = network.user;
  parameters.password = network.password;
  parameters.serverPort = static_cast<uint16_t>(network.port);
  parameters.path = network.path;
  parameters.rtpClientPort = rtpPort_;
  parameters.rtcpClientPort = rtcpPort_;
  parameters.connectTimeout = kConnectTimeout;
  in_addr address{};
  const Resolution resolution = ResolveHost(network.address, kConnectTimeout, address);
  if (resolution == Resolution::kStopped) return false;
  if (resolution == Resolution::kResolved) parameters.resolvedAddress = address;
  if (resolution == Resolution::kFailed || !client_->Open(parameters) || StopRequested()) {
    Log(kLogError, kCatRtspChannel, "%s: Unable to open RTSP client", kOpenHandlers);
    return false;
  }
  if (!Request(RTSPRequestType::kDescribe, "%s: Unable to send RTSP DESCRIBE") || StopRequested()) return false;
  if (!Request(RTSPRequestType::kSetup, "%s: Unable to send RTSP SETUP") || StopRequested()) return false;
  return Request(RTSPRequestType::kPlay, "%s: Unable to send RTSP PLAY");
}

bool CRTSPChannel::OpenPortPair(Session& session) {
  const uint32_t end = uint32_t{firstClientPort_} + kClientPortRange;
  for (uint32_t port = firstClientPort_; port < end && port < UINT16_MAX; port += 2) {
    if (StopRequested()) return false;
    if (session.receiver.Port().Open(static_cast<uint16_t>(port)) != CUDPPort::kOpened) continue;
    if (!session.rtcp.Open(static_cast<uint16_t>(port + 1))) {
      session.receiver.Port().Close();
      continue;
    }
    rtpPort_ = static_cast<uint16_t>(port);
    rtcpPort_ = static_cast<uint16_t>(port + 1);
    return true;
  }
  return false;
}

bool CRTSPChannel::StartRtcpThread(const std::shared_ptr<Session>& session) {
  session->rtcpDone.Reset();
  const bool started = StartHelper([this, session] {
    const SetOnExit done(session->rtcpDone);
    Waiter waiter(*this, &session->stop);
    session->rtcp.Run(waiter, PollInterval());
  });
  if (!started) session->rtcpDone.Set();
  return started;
}

bool CRTSPChannel::StartRtpThread(const std::shared_ptr<Session>& session) {
  session->rtpDone.Reset();
  const bool started = StartHelper([this, session] {
    const SetOnExit done(session->rtpDone);
    Waiter waiter(*this, &session->stop);
    session->receiver.ReceiveLoop(*this, waiter, GetClock(), kSilenceLimit, PollInterval());
  });
  if (!started) session->rtpDone.Set();
  return started;
}

bool CRTSPChannel::Request(RTSPRequestType type, const char* failure) {
  if (client_->SendRequestWithAuth(type)) {
    // A second refusal counts as an answer; say so, or the failure that follows is a riddle.
    if (client_->Parser().StatusCode() == 401) {
      Log(kLogWarn, kCatRtspChannel, "%s: RTSP %s refused the credentials (401 Unauthorized)", kOpenHandlers,
          RTSPMethodName(type));
    }
    return true;
  }
  if (StopRequested()) return false;
  switch (client_->LastFailure()) {
    case RTSPFailure::kCredentialsTooLong:
      Log(kLogError, kCatRtspChannel, "%s: User name and password are too long for Basic authorization", kOpenHandlers);
      break;
    case RTSPFailure::kNoRequest:
      Log(kLogError, kCatRtspChannel, "%s: The stream description has no metadata stream", kOpenHandlers);
      break;
    default:
      break;
  }
  Log(kLogError, kCatRtspChannel, failure, kOpenHandlers);
  return false;
}

void CRTSPChannel::KeepAlive() {
  const auto half = std::chrono::milliseconds(static_cast<int64_t>(client_->SessionTimeout()) * 1000 / 2);
  if (lastKeepAlive_ && GetClock().Now() - *lastKeepAlive_ <= half) return;
  if (!client_->SendRequestWithAuth(RTSPRequestType::kOptions)) {
    SetState("Unable to send RTSP KEEPALIVE", ConnectionState::Lost);
    CloseHandlers();
  }
  lastKeepAlive_ = GetClock().Now();
}

void CRTSPChannel::CloseHandlers() {
  handlersOpen_ = false;
  delivering_ = false;
  SetState({}, ConnectionState::Closed);
  if (client_) {
    // The camera should hear that we leave, even while the channel stops.
    waiter_->SetIgnoreStop(true);
    client_->SetReceiveTimeout(kTeardownTimeout);
    client_->SendRequestWithAuth(RTSPRequestType::kTeardown);
    waiter_->SetIgnoreStop(false);
    client_->Close();
    client_.reset();
  }
  if (session_) {
    session_->stop.Set();
    const bool ended = session_->rtpDone.Wait(kSessionThreadLimit) && session_->rtcpDone.Wait(kSessionThreadLimit);
    if (!ended) {
      Log(kLogWarn, kCatRtspChannel, "%s: A thread of the RTSP session did not end; it finishes on its own",
          kCloseHandlers);
      lingering_ = session_;
    }
    session_.reset();
  }
  rtpPort_ = 0;
  rtcpPort_ = 0;
}

void CRTSPChannel::SetState(const std::string& reason, ConnectionState state) {
  AnnotatedLock lock(stateMutex_);
  SetConnectionState(reason, state);
}

void CRTSPChannel::PacketReceived(CRTPReceiver&, const sockaddr_in&, const RTPPacket& packet) {
  if (!delivering_.load(std::memory_order_relaxed)) return;
  SetState({}, ConnectionState::Restored);
  if (firstPacket_) {
    firstPacket_ = false;
  } else if (packet.sequence != static_cast<uint16_t>(lastSequence_ + 1)) {
    Log(kLogError, kCatRtspChannel, "%s: Invalid RTP packet sequence - reset validator",
        "korvane::CRTSPChannel::PacketReceived");
    ResetCustomValidator();
  }
  lastSequence_ = packet.sequence;
  ProcessData(reinterpret_cast<const char*>(packet.payload), packet.payloadLength);
}

void CRTSPChannel::ReceiveTimeout() {
  Log(kLogError, kCatRtspChannel, "%s: RTP packet receive timeout", "korvane::CRTSPChannel::ReceiveTimeout");
}

void CRTSPChannel::SocketClosed(CRTPReceiver&) {
  Log(kLogInfo, kCatRtspChannel, "%s: RTP socket closed", "korvane::CRTSPChannel::SocketClosed");
  socketFailed_ = true;
}

void CRTSPChannel::PacketsDropped(CRTPReceiver& receiver, uint32_t lost, uint32_t total) {
  Log(kLogError, kCatRtspChannel,
      "%s: %u RTP packets lost: the receive buffer of %d bytes overflowed (%u lost since the session started)",
      "korvane::CRTSPChannel::PacketsDropped", lost, receiver.Port().BufferBytes(), total);
}

std::unique_ptr<CChannelBase> CreateRtspChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CRTSPChannel>(driver, debug, settings);
}

}  // namespace korvane
