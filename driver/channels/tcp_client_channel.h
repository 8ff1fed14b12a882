// The TCP client channel: connects to a device's TCP server and reconnects
// whenever the stream ends. Transport of the TCP client model.
#pragma once

#include <netinet/in.h>

#include <memory>

#include "driver/channels/tcp_channel_base.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CTcpClientChannel : public CTcpChannelBase {
 public:
  /// Connects to settings.network.address (name or dotted IPv4) and port.
  CTcpClientChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CTcpClientChannel() override;

  /// Pause between failed connection attempts, and after a connection that
  /// delivered nothing (a server that accepts and closes at once).
  static constexpr std::chrono::milliseconds kRetryInterval{500};

 protected:
  bool OpenChannel() override;
  void CloseChannel() override;
  int Run() override;

  bool Connect();

 private:
  /// Limit of a connection attempt and of a name lookup (settings.network.timeout).
  std::chrono::milliseconds NetworkTimeout() const;
  bool FailConnect(int error, const char* reason);

  UniqueFd socket_;
  // The connection failure is reported once per channel object.
  bool connectFailureReported_ = false;
};

/// Channel factory of the TCP client model.
std::unique_ptr<CChannelBase> CreateTcpClientChannel(IDataDriver& driver, IDebug& debug,
                                                     const ChannelSettings& settings);

}  // namespace korvane
