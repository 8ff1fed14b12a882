// The TCP server channel: listens on one port of all local interfaces and
// serves one client at a time. Transport of the TCP model and both proxy models.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "driver/channels/tcp_channel_base.h"
#include "driver/support/annotated_mutex.h"
#include "driver/support/thread_annotations.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CTcpChannel : public CTcpChannelBase {
 public:
  /// Listens on settings.network.port (0 picks a free port: tests only).
  CTcpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CTcpChannel() override;

  /// Port of the listening socket; 0 while the channel does not listen.
  uint16_t BoundPort() const { return boundPort_.load(); }
  /// Waits until the channel listens (true) or, unless `untilListening`, until
  /// an attempt to open its port since the last Start failed (false); false
  /// also after `timeout`.
  bool WaitListening(std::chrono::milliseconds timeout, bool untilListening = false) const;

 protected:
  bool OpenChannel() override;
  void CloseChannel() override;
  int Run() override;

  bool OpenPort();
  bool WaitForConnection();
  /// False when no client was accepted; `retry` tells whether the listener is still usable.
  bool AcceptConnection(bool& retry);

 private:
  enum class ListenState { kPending, kListening, kFailed };
  void SetListenState(ListenState state);
  bool FailOpenPort(int error, const char* reason);

  UniqueFd listenSocket_;
  UniqueFd clientSocket_;
  sockaddr_in peer_{};
  std::atomic<uint16_t> boundPort_{0};
  mutable AnnotatedMutex listenMutex_;
  mutable AnnotatedCondition listenChanged_;
  ListenState listenState_ GUARDED_BY(listenMutex_) = ListenState::kPending;
};

/// Channel factory of the TCP model and the proxy models.
std::unique_ptr<CChannelBase> CreateTcpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

}  // namespace korvane
