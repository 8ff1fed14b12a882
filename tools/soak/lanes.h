// Every model the driver knows, each as one lane: its driver object, its
// configuration, its generator or peer, and what the chaos thread may do to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/driver_loader.h"
#include "tests/support/gst_rtsp_server.h"
#include "tests/support/pty_peers.h"
#include "tools/soak/chaos.h"
#include "tools/soak/driver_lane.h"
#include "tools/soak/generators.h"
#include "tools/soak/poll_peer.h"
#include "tools/soak/process_usage.h"

namespace korvane::soak {

class LaneSet {
 public:
  LaneSet(const host::DriverLibrary& library, std::filesystem::path hostDirectory);
  ~LaneSet();
  LaneSet(const LaneSet&) = delete;
  LaneSet& operator=(const LaneSet&) = delete;

  /// Opens and starts every lane and starts its generator or peer; false
  /// (with a line on standard error) when one does not come up.
  bool Begin();
  /// Generators stop sending (connections stay) and everything sent arrives;
  /// false (with a line naming the lane) when something had not arrived in time.
  bool Quiesce();
  void Resume();
  /// Stops generators and peers and closes every driver.
  void End();

  std::vector<ChaosTarget>& Targets() { return targets_; }
  const std::vector<std::unique_ptr<Lane>>& Lanes() const { return lanes_; }
  /// Datagrams the kernel dropped at the UDP lane's sockets so far.
  uint64_t UdpKernelDrops();
  const Lane* UdpLane() const { return udpLane_; }

 private:
  Lane& Add(LaneSetup setup);
  /// Feeds `lane` from `generator`, which the chaos thread may ask to reset.
  void Drive(Lane& lane, std::unique_ptr<Generator> generator);
  void AddTcpLanes();
  void AddUdpLane();
  void AddProxyLanes();
  void AddHttpLanes();
  void AddSerialLane();
  void AddRtspLane();
  bool StartRtspPeer();

  const host::DriverLibrary& library_;
  const std::filesystem::path hostDirectory_;
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::vector<std::unique_ptr<Generator>> generators_;
  std::vector<ChaosTarget> targets_;
  std::unique_ptr<PollPeer> pollPeer_;
  std::unique_ptr<testing::TestPty> pty_;
  Lane* udpLane_ = nullptr;
  std::unique_ptr<UdpDropCounter> udpDrops_;
  std::mutex udpMutex_;
  uint16_t rtspPort_ = 0;
  std::unique_ptr<testing::GstRtspServer> rtspPeer_;
  bool begun_ = false;
};

}  // namespace korvane::soak
