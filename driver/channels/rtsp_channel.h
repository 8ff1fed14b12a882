// The RTSP metadata channel: opens an RTSP session for a camera's metadata
// stream, receives its RTP packets on a local port pair (RTCP on the odd
// port), keeps the session alive and feeds every payload to the channel
// base. Transport of the RTSP model.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "driver/channels/base_rtsp_client.h"
#include "driver/channels/channel_base.h"
#include "driver/channels/rtcp_session.h"
#include "driver/channels/rtp_receiver.h"
#include "driver/support/annotated_mutex.h"
#include "driver/support/event.h"
#include "driver/support/thread_annotations.h"

namespace korvane {

class CRTSPChannel : public CChannelBase, private IRTPReceiverUser {
 public:
  /// The client port pair is searched from here, in steps of two, over kClientPortRange ports.
  static constexpr uint16_t kFirstClientPort = 6000;
  static constexpr uint16_t kClientPortRange = 2000;
  /// Pause between passes of the worker: session set-up retries, keep-alive checks.
  static constexpr std::chrono::milliseconds kPassInterval{1000};
  /// RTP silence after which "RTP packet receive timeout" is logged (again).
  static constexpr std::chrono::milliseconds kSilenceLimit{5000};
  /// Longest wait for the answer to TEARDOWN, which goes out even while stopping.
  static constexpr std::chrono::milliseconds kTeardownTimeout{1000};
  /// Longest wait for the RTP and RTCP threads of a session to end.
  static constexpr std::chrono::milliseconds kSessionThreadLimit{10000};
  static constexpr std::chrono::milliseconds kConnectTimeout{5000};

  CRTSPChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CRTSPChannel() override;

  /// Where the client port-pair search begins (kFirstClientPort). Before Start.
  void SetFirstClientPort(uint16_t port) { firstClientPort_ = port; }
  /// The client port pair of the open session; 0 while there is none.
  uint16_t RtpPort() const { return rtpPort_.load(); }
  uint16_t RtcpPort() const { return rtcpPort_.load(); }

 protected:
  bool OpenChannel() override;
  void CloseChannel() override;
  int Run() override;

 private:
  class Waiter;
  struct Session;

  bool Connect();
  bool OpenHandlers();
  bool OpenPortPair(Session& session);
  bool StartRtcpThread(const std::shared_ptr<Session>& session);
  bool StartRtpThread(const std::shared_ptr<Session>& session);
  bool Request(RTSPRequestType type, const char* failure);
  void KeepAlive();
  void CloseHandlers();
  void SetState(const std::string& reason, ConnectionState state);

  void PacketReceived(CRTPReceiver& receiver, const sockaddr_in& sender, const RTPPacket& packet) override;
  void ReceiveTimeout() override;
  void SocketClosed(CRTPReceiver& receiver) override;
  void PacketsDropped(CRTPReceiver& receiver, uint32_t lost, uint32_t total) override;

  std::unique_ptr<Waiter> waiter_;
  std::unique_ptr<CBaseRTSPClient> client_;
  // The RTP receiver and the RTCP session with their threads; shared with
  // those threads, so a thread that outlives the tear-down keeps what it uses.
  std::shared_ptr<Session> session_;
  // A session whose threads had not ended when it was torn down.
  std::shared_ptr<Session> lingering_;
  // Cleared when a tear-down begins: packets after it are not delivered.
  std::atomic<bool> delivering_{false};
  std::atomic<uint16_t> rtpPort_{0};
  std::atomic<uint16_t> rtcpPort_{0};
  bool handlersOpen_ = false;
  // Set by the RTP thread when its socket failed: the worker tears the session down.
  std::atomic<bool> socketFailed_{false};
  std::optional<Clock::TimePoint> lastKeepAlive_;
  uint16_t firstClientPort_ = kFirstClientPort;
  // RTP thread only (one session's thread after the other).
  uint16_t lastSequence_ = 0;
  bool firstPacket_ = true;
  // The connection state is changed by the worker and by the RTP thread.
  AnnotatedMutex stateMutex_;
};

/// Channel factory of the RTSP model.
std::unique_ptr<CChannelBase> CreateRtspChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

}  // namespace korvane
