// The UDP channel: receives datagrams from any sender on one local port; with
// no line-feed sequence each datagram is one message. Transport of the UDP model.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "driver/channels/channel_base.h"
#include "driver/channels/datagram_drops.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CUdpChannel : public CChannelBase {
 public:
  static constexpr size_t kReceiveBufferSize = 65536;
  /// Shortest pause between two reports of datagrams the kernel dropped.
  static constexpr std::chrono::milliseconds kDropReportInterval = CDatagramDrops::kReportInterval;

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
  /// Asks for the configured kernel buffer; false when the socket refuses.
  bool SetKernelBuffer(int fd);
  /// Reads one datagram and the kernel's drop counter that came with it.
  ssize_t Receive(char* buffer, size_t size, int& error);
  /// Notes the kernel's drop counter; reports new drops at error level, at
  /// most once per kDropReportInterval (later drops wait for the next note).
  void NoteDrops(std::optional<uint32_t> counter);

  UniqueFd socket_;
  std::atomic<uint16_t> boundPort_{0};
  int bindError_ = 0;
  // Datagrams the kernel dropped for want of buffer space.
  CDatagramDrops drops_;
};

/// Channel factory of the UDP model.
std::unique_ptr<CChannelBase> CreateUdpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

}  // namespace korvane
