// The UDP channel: receives datagrams from any sender on one local port; with
// no line-feed sequence each datagram is one message. Transport of the UDP model.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "driver/channels/channel_base.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CUdpChannel : public CChannelBase {
 public:
  static constexpr size_t kReceiveBufferSize = 65536;

  /// Receives on settings.network.port (0 picks a free port: tests only).
  CUdpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CUdpChannel() override;

  /// Port the socket is bound to; 0 while it is not.
  uint16_t BoundPort() const { return boundPort_.load(); }

 protected:
  bool OpenChannel() override;
  void CloseChannel() override;
  int Run() override;

 private:
  bool Bind();
  bool FailOpen(int error, const char* reason);

  UniqueFd socket_;
  std::atomic<uint16_t> boundPort_{0};
  int bindError_ = 0;
};

/// Channel factory of the UDP model.
std::unique_ptr<CChannelBase> CreateUdpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

}  // namespace korvane
