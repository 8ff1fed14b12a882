// The TCP and UDP models' channels on a free port, for tests that open a real
// driver: install with CKestrelDriver::SetChannelFactory, then ask
// FreePortTcpChannel() or FreePortUdpChannel() for the port it got.
#pragma once

#include <memory>

#include "driver/channels/tcp_channel.h"
#include "driver/channels/udp_channel.h"

namespace korvane::testing {

namespace detail {
inline CTcpChannel* g_freePortChannel = nullptr;
inline CUdpChannel* g_freePortUdpChannel = nullptr;

template <class Channel>
std::unique_ptr<CChannelBase> MakeOnFreePort(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings,
                                             Channel*& made) {
  ChannelSettings copy = settings;
  copy.network.port = 0;
  auto channel = std::make_unique<Channel>(driver, debug, copy);
  made = channel.get();
  return channel;
}
}  // namespace detail

/// The channel the factory made last (owned by its driver), or null.
inline CTcpChannel* FreePortTcpChannel() { return detail::g_freePortChannel; }
inline CUdpChannel* FreePortUdpChannel() { return detail::g_freePortUdpChannel; }

inline std::unique_ptr<CChannelBase> TcpChannelOnFreePort(IDataDriver& driver, IDebug& debug,
                                                          const ChannelSettings& settings) {
  return detail::MakeOnFreePort(driver, debug, settings, detail::g_freePortChannel);
}

/// Binds when the channel starts: BoundPort() is known once StartChannel returned.
inline std::unique_ptr<CChannelBase> UdpChannelOnFreePort(IDataDriver& driver, IDebug& debug,
                                                          const ChannelSettings& settings) {
  return detail::MakeOnFreePort(driver, debug, settings, detail::g_freePortUdpChannel);
}

}  // namespace korvane::testing
