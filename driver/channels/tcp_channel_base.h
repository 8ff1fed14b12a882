// What the stream-based channels share: the receive loop over one connected
// TCP socket, with acknowledge, keep-alive query and silence detection.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/channels/channel_base.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CTcpChannelBase : public CChannelBase {
 public:
  static constexpr size_t kReceiveBufferSize = 65536;
  /// Silence after which a connection with a keep-alive query counts as lost once.
  static constexpr std::chrono::milliseconds kSilenceLimit{30000};
  /// Idle receive time-outs that pass before the keep-alive query goes out again.
  static constexpr uint32_t kIdleTimeoutsPerQuery = 10;

 protected:
  CTcpChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

  /// Receives from `socket` until the peer closes, an error or the stop event;
  /// then closes it. Worker thread.
  void ReceiveStream(UniqueFd& socket);

 private:
  void OnIdleTimeout(int socket);

  bool timeoutReported_ = false;
  Clock::TimePoint lastDataTime_{};
  uint32_t keepAliveCounter_ = 0;
};

}  // namespace korvane
