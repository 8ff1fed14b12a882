// The HTTP polling channel: fetches a URL of the device about once a second
// and feeds the response body to the framing as it streams in. Transport of
// the HTTP model.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/channels/tcp_channel_base.h"
#include "driver/support/http_sender.h"

namespace korvane {

class CHttpChannel : public CTcpChannelBase {
 public:
  /// Pause between the end of one poll and the next request.
  static constexpr std::chrono::milliseconds kPollPeriod{1000};
  /// Largest block of the body handed to the framing at once.
  static constexpr size_t kPieceSize = 128;

  CHttpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CHttpChannel() override;

  /// The port on which polls start with HTTPS (443) and certificates to trust
  /// instead of the system's (empty: the system's). Before Start.
  void SetTls(uint16_t securePort, std::string caFile);

 protected:
  bool OpenChannel() override { return true; }
  void CloseChannel() override;
  int Run() override;

  /// One poll: sends the GET and reads the answer's body to its end. False
  /// when no answer came (the next poll starts with a new HTTP client).
  bool Connect();

 private:
  class BodyReader;

  Web::HttpRequest Request() const;

  std::unique_ptr<Web::CHttpSender> sender_;
  uint16_t securePort_ = 443;
  std::string caFile_;
};

/// Channel factory of the HTTP model.
std::unique_ptr<CChannelBase> CreateHttpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

}  // namespace korvane
