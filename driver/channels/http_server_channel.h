// The HTTP server channel: devices push data with HTTP requests. Listens on
// one port, reads the requests of one client connection at a time, answers
// each with "200 OK" unless switched off, and feeds the configured part of
// each request to the framing. Transport of the HTTP server model.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/channels/http_request_parser.h"
#include "driver/channels/tcp_channel.h"

namespace korvane {

class CHttpServerChannel : public CTcpChannel {
 public:
  /// Receive time-outs in a row that a body may take before the request fails.
  static constexpr int kBodyTimeoutsTolerated = 3;

  /// Listens on settings.network.port (0 picks a free port: tests only).
  CHttpServerChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CHttpServerChannel() override;

  /// Bounds of one request (64 KiB header block, 16 MiB body). Before Start.
  void SetRequestLimits(const HttpRequestLimits& limits) { parser_ = CHttpRequestParser(limits); }

 protected:
  bool OpenChannel() override;
  int Run() override;

  /// Serves the accepted client until a request fails, it leaves or the stop event.
  void HandleConnection();

 private:
  enum class Part { kAll, kHeaders, kUri, kContent };

  bool FailOpenChannel(int error, const char* reason);
  bool ReadRequest();
  bool SendResponse();
  void Deliver();
  void LogRefusal();
  void LogCutFields();

  const Part part_;
  // What every handled request is answered with (when the response switch is on),
  // and the same answer for a client that closes the connection after it.
  const std::string response_;
  const std::string closingResponse_;
  CHttpRequestParser parser_;
  // Bytes received from the client and not yet consumed by the parser.
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  std::string peerText_;
  std::string scratch_;
};

/// Channel factory of the HTTP server model.
std::unique_ptr<CChannelBase> CreateHttpServerChannel(IDataDriver& driver, IDebug& debug,
                                                      const ChannelSettings& settings);

}  // namespace korvane
