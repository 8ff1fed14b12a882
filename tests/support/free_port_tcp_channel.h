// The TCP model's channel listening on a free port, for tests that open a real
// driver on the TCP model: install with CKestrelDriver::SetChannelFactory, then
// wait on FreePortTcpChannel() for the port it got.
#pragma once

#include <memory>

#include "driver/channels/tcp_channel.h"

namespace korvane::testing {

namespace detail {
inline CTcpChannel* g_freePortChannel = nullptr;
}  // namespace detail

/// The channel the factory made last (owned by its driver), or null.
inline CTcpChannel* FreePortTcpChannel() { return detail::g_freePortChannel; }

inline std::unique_ptr<CChannelBase> TcpChannelOnFreePort(IDataDriver& driver, IDebug& debug,
                                                          const ChannelSettings& settings) {
  ChannelSettings copy = settings;
  copy.network.port = 0;
  auto channel = std::make_unique<CTcpChannel>(driver, debug, copy);
  detail::g_freePortChannel = channel.get();
  return channel;
}

}  // namespace korvane::testing
