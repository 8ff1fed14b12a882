#include "driver/channels/http_channel.h"

#include <algorithm>
#include <string>
#include <utility>

namespace korvane {
namespace {

constexpr const char* kConnect = "korvane::CHttpChannel::Connect";
constexpr const char* kReadData = "korvane::CHttpChannel::ReadData";

}  // namespace

// Hands the body to the framing in pieces of at most kPieceSize bytes as it
// streams in, and ends the transfer when the channel is stopped.
class CHttpChannel::BodyReader final : public Web::IHttpResponseSink {
 public:
  explicit BodyReader(CHttpChannel& channel) : channel_(channel) {}

  void OnResponse(long status) override {
    channel_.SetConnectionState({}, ConnectionState::Opened);
    if (status >= 400) {
      channel_.Log(kLogWarn, kCatHttpChannel, "%s: The device answered with HTTP status %ld", kReadData, status);
    }
  }

  bool OnBody(std::string_view piece) override {
    while (!piece.empty()) {
      if (channel_.StopRequested()) return false;
      const size_t size = std::min(piece.size(), kPieceSize);
      channel_.SetConnectionState({}, ConnectionState::Restored);
      channel_.ProcessData(piece.data(), size);
      piece.remove_prefix(size);
    }
    return !channel_.StopRequested();
  }

 private:
  CHttpChannel& channel_;
};

CHttpChannel::CHttpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CTcpChannelBase(driver, debug, settings) {
  SetName("HTTP " + settings.network.address);
  SetKind("HTTP Channel");
}

CHttpChannel::~CHttpChannel() = default;

void CHttpChannel::SetTls(uint16_t securePort, std::string caFile) {
  securePort_ = securePort;
  caFile_ = std::move(caFile);
}

void CHttpChannel::CloseChannel() {
  // Also closes the connection the client keeps open between polls.
  sender_.reset();
}

int CHttpChannel::Run() {
  while (!WaitForStop(kPollPeriod)) {
    if (!Connect()) SetConnectionState({}, ConnectionState::Lost);
  }
  SetConnectionState({}, ConnectionState::Closed);
  CloseChannel();
  return 0;
}

Web::HttpRequest CHttpChannel::Request() const {
  Web::HttpRequest request;
  request.method = "GET";
  request.path = Settings().network.path;
  request.auth = Settings().network.authScheme == "Digest" ? Web::HttpAuthScheme::kDigest : Web::HttpAuthScheme::kBasic;
  return request;
}

bool CHttpChannel::Connect() {
  // The client, with its connection and what it learnt, serves poll after
  // poll; after a failed poll the next one starts afresh.
  if (sender_ == nullptr) {
    const NetworkSettings& network = Settings().network;
    Web::DeviceInfo device;
    device.address = network.address;
    device.port = static_cast<uint16_t>(network.port);
    device.user = network.user;
    device.password = network.password;
    device.timeout = std::chrono::milliseconds(network.timeout);
    device.securePort = securePort_;
    device.caFile = caFile_;
    sender_ = Web::CHttpSender::Create(std::move(device));
    if (sender_ == nullptr) {
      Log(kLogError, kCatHttpChannel, "%s: Unable to create HTTP client", kConnect);
      return false;
    }
    sender_->SetStopDescriptor(StopFd());
  }

  const Web::HttpRequest request = Request();
  BodyReader reader(*this);
  switch (sender_->Send(request, reader)) {
    case Web::CHttpSender::Result::kOk:
      // The body has ended: reading further gives nothing, which is reported like every end.
      Log(kLogError, kCatHttpChannel, "%s: Unable to read response (code %d)", kReadData, 0);
      return true;
    case Web::CHttpSender::Result::kBodyFailed:
      Log(kLogWarn, kCatHttpChannel, "%s: The response body broke off: %s", kReadData, sender_->ErrorText().c_str());
      Log(kLogError, kCatHttpChannel, "%s: Unable to read response (code %d)", kReadData, sender_->SystemError());
      sender_.reset();
      return true;
    case Web::CHttpSender::Result::kCancelled:
      sender_.reset();
      return true;
    case Web::CHttpSender::Result::kNoResponse:
      break;
  }
  Log(kLogError, kCatHttpChannel, "%s: Unable to send HTTP request", kConnect);
  Log(kLogWarn, kCatHttpChannel, "%s: GET %s from %s:%d failed: %s", kConnect, request.path.c_str(),
      Settings().network.address.c_str(), Settings().network.port, sender_->ErrorText().c_str());
  sender_.reset();
  return false;
}

std::unique_ptr<CChannelBase> CreateHttpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CHttpChannel>(driver, debug, settings);
}

}  // namespace korvane
