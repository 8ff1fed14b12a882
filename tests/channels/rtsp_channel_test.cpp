#include "driver/channels/rtsp_channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/channels/rtcp_packet.h"
#include "tests/support/fake_data_driver.h"
#include "tests/support/gst_rtsp_server.h"
#include "tests/support/manual_clock.h"
#include "tests/support/recording_debug.h"
#include "tests/support/rtsp_test_server.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeCamera;
using testing::FakeDataDriver;
using testing::GstRtspServer;
using testing::ManualClock;
using testing::RecordingDebug;
using testing::RtspTestServer;
using testing::TestUdpSocket;
using testing::Watchdog;
using Strings = std::vector<std::string>;

std::string Rtp(uint16_t sequence, std::string_view payload) {
  std::string packet = {'\x80', '\x6b', static_cast<char>(sequence >> 8), static_cast<char>(sequence & 0xFF)};
  packet.append(8, '\x01');  // timestamp, SSRC
  packet.append(payload);
  return packet;
}

// A datagram socket on 127.0.0.1 that also receives, for the RTCP exchange.
class RtcpPeer {
 public:
  RtcpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  ~RtcpPeer() { ::close(fd_); }
  void SendTo(uint16_t port, const std::string& bytes) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  std::string Receive(std::chrono::milliseconds timeout = 2s) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return {};
    char buffer[2048];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  int fd_ = -1;
};

class RtspChannelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    {
      Watchdog watchdog(5s, "stopping the RTSP channel");
      channel.reset();
    }
    if (HasFailure()) {
      for (const auto& line : debug.Lines()) std::printf("log: %s\n", line.text.c_str());
    }
  }

  void StartChannel(uint16_t serverPort, const std::string& address = "127.0.0.1") {
    settings.network.address = address;
    settings.network.port = serverPort;
    settings.network.path = "metadata";
    channel = std::make_unique<CRTSPChannel>(driver, debug, settings);
    channel->SetClock(clock);
    channel->SetPollInterval(10ms);
    if (firstPort != 0) channel->SetFirstClientPort(firstPort);
    ASSERT_TRUE(channel->Start());
  }
  void ServeCamera(FakeCamera::Options options = {}) {
    camera = std::make_unique<FakeCamera>(std::move(options));
    server = std::make_unique<RtspTestServer>(camera->Handler());
    ASSERT_TRUE(server->Start());
  }
  // One pass of the worker: once it waits on the clock, the clock moves `step`
  // on; returns when the worker waits again, its pass done.
  void Pass(std::chrono::milliseconds step = 1s) {
    ASSERT_TRUE(clock.WaitForWaits(++waits)) << "the worker never waited on the clock";
    clock.Advance(step);
    ASSERT_TRUE(clock.WaitForWaits(waits + 1)) << "the worker's pass did not end";
  }
  // Passes of the worker until `done` holds (at most `passes`).
  bool PassUntil(const std::function<bool()>& done, int passes = 8) {
    for (int i = 0; i < passes && !done(); ++i) {
      Pass();
      if (HasFatalFailure()) return false;
    }
    return done();
  }
  void SendRtp(uint16_t sequence, std::string_view payload) {
    ASSERT_TRUE(rtpSender.SendTo(channel->RtpPort(), Rtp(sequence, payload)));
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
  ManualClock clock;
  uint16_t firstPort = 0;
  std::unique_ptr<FakeCamera> camera;
  std::unique_ptr<RtspTestServer> server;
  std::unique_ptr<CRTSPChannel> channel;
  TestUdpSocket rtpSender;
  uint64_t waits = 0;

  void SetUp() override {
    driver.SetValidationType(kValidationCustom);  // payloads arrive unescaped
    ASSERT_TRUE(rtpSender.Bind());
  }
};

TEST_F(RtspChannelTest, StreamsFromGStreamerWithDigestAndAnswersItsReports) {
  GstRtspServer gst({"--auth", "digest", "--user", "operator", "--password", "pa ss", "--interval-ms", "20",
                     "--rtcp-interval-ms", "100"});
  if (!gst.Start()) GTEST_SKIP() << "GStreamer's RTSP server is not available: " << gst.Error();
  settings.network.user = "operator";
  settings.network.password = "pa ss";
  StartChannel(gst.Port());
  Pass();
  ASSERT_TRUE(debug.Contains("korvane::CRTSPChannel::Connect: RTSP handlers is opened"));
  ASSERT_TRUE(driver.WaitForMessages(5, 3s));
  EXPECT_EQ(driver.Texts()[0], "<tt:MetadataStream n=\"0\"/>");
  EXPECT_EQ(driver.Messages()[0].source, "RTSP channel");
  // Its sender reports are answered with a receiver report and our source description.
  ASSERT_TRUE(gst.WaitForOutput("RTCP 81c90007", 1, 5s));
  const std::string report = gst.Lines("RTCP 81c90007").at(0);
  EXPECT_NE(report.find("81ca"), std::string::npos) << report;
  EXPECT_EQ(debug.Count("Invalid RTP packet sequence"), 0u);

  channel.reset();
  EXPECT_TRUE(gst.WaitForOutput("REQUEST TEARDOWN"));
  const auto requests = gst.Lines("REQUEST");
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(gst.Port()) + "/metadata";
  EXPECT_EQ(requests.front(), "REQUEST DESCRIBE " + base);
  EXPECT_NE(std::find(requests.begin(), requests.end(), "REQUEST SETUP " + base + "/stream=0"), requests.end());
  EXPECT_NE(std::find(requests.begin(), requests.end(), "REQUEST OPTIONS " + base), requests.end());
}

TEST_F(RtspChannelTest, StreamsFromGStreamerWithBasic) {
  GstRtspServer gst({"--auth", "basic", "--user", "viewer", "--password", "secret", "--interval-ms", "20"});
  if (!gst.Start()) GTEST_SKIP() << "GStreamer's RTSP server is not available: " << gst.Error();
  settings.network.user = "viewer";
  settings.network.password = "secret";
  StartChannel(gst.Port());
  Pass();
  EXPECT_TRUE(driver.WaitForMessages(3, 3s)) << (gst.WaitForOutput("never", 1, 100ms), gst.Output());
  EXPECT_TRUE(debug.Contains("channel 0 was opened"));
}

TEST_F(RtspChannelTest, SequenceGapResetsTheValidatorOnceAndWrapAroundIsInOrder) {
  ServeCamera();
  StartChannel(server->Port());
  Pass();
  ASSERT_NE(channel->RtpPort(), 0);
  EXPECT_EQ(camera->RtpPort(), channel->RtpPort());
  EXPECT_EQ(camera->RtcpPort(), channel->RtpPort() + 1);
  for (uint16_t sequence : {65534, 65535, 0, 1, 3}) SendRtp(sequence, "m" + std::to_string(sequence));
  ASSERT_TRUE(driver.WaitForMessages(5));
  EXPECT_EQ(driver.Sequence(), (Strings{"m65534", "m65535", "m0", "m1", "<reset>", "m3"}));
  EXPECT_EQ(debug.Count("korvane::CRTSPChannel::PacketReceived: Invalid RTP packet sequence - reset validator"), 1u);
  // Malformed and empty datagrams are dropped and do not end the stream.
  ASSERT_TRUE(rtpSender.SendTo(channel->RtpPort(), ""));
  ASSERT_TRUE(rtpSender.SendTo(channel->RtpPort(), std::string("\x80\x6b\x00\x04", 4)));
  SendRtp(4, "m4");
  ASSERT_TRUE(driver.WaitForMessages(6));
  EXPECT_EQ(driver.Texts().back(), "m4");
}

// A burst far larger than the RTP socket's buffer while the driver is busy:
// every packet is either delivered or counted in an error line.
TEST_F(RtspChannelTest, PacketsTheKernelDropsAreCountedAtErrorLevel) {
  ServeCamera();
  StartChannel(server->Port());
  Pass();
  ASSERT_NE(channel->RtpPort(), 0);
  driver.SetKeepMessages(false);
  driver.BlockDeliveries();
  SendRtp(0, "first");
  ASSERT_TRUE(driver.WaitForBlockedDelivery());
  constexpr uint16_t kBurst = 600;
  const std::string payload(1000, 'x');
  for (uint16_t sequence = 1; sequence <= kBurst; ++sequence) SendRtp(sequence, payload);
  driver.Release();

  const auto lost = [&] { return debug.SumOfCounts(" RTP packets lost: ", kCatRtspChannel); };
  ASSERT_TRUE(debug.WaitForCount(" RTP packets lost: the receive buffer of "));
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (driver.MessageCount() + lost() < kBurst + 1u && std::chrono::steady_clock::now() < deadline) {
    driver.WaitForMessages(driver.MessageCount() + 1, 20ms);
  }
  EXPECT_EQ(driver.MessageCount() + lost(), kBurst + 1u);
  EXPECT_GT(lost(), 0u);
}

struct KeepAliveCase {
  const char* sessionParameters;
  int seconds;  // between two OPTIONS
};

class RtspKeepAliveTest : public RtspChannelTest, public ::testing::WithParamInterface<KeepAliveCase> {};

TEST_P(RtspKeepAliveTest, OptionsGoOutEveryHalfSessionTimeOut) {
  FakeCamera::Options options;
  options.sessionParameters = GetParam().sessionParameters;
  ServeCamera(options);
  StartChannel(server->Port());
  Pass();  // set-up, and the first keep-alive at once
  ASSERT_EQ(server->Requests("OPTIONS").size(), 1u);
  const int interval = GetParam().seconds;
  for (int second = 1; second <= interval; ++second) Pass();
  EXPECT_EQ(server->Requests("OPTIONS").size(), 1u) << "after " << interval << " s";
  Pass();
  EXPECT_EQ(server->Requests("OPTIONS").size(), 2u) << "after " << interval + 1 << " s";
}

INSTANTIATE_TEST_SUITE_P(SessionTimeOuts, RtspKeepAliveTest,
                         ::testing::Values(KeepAliveCase{";timeout=60", 30}, KeepAliveCase{"", 30},
                                           KeepAliveCase{";timeout=0", 15}, KeepAliveCase{"; timeout=8", 4}));

TEST_F(RtspChannelTest, LostSessionIsReportedAndReopened) {
  FakeCamera::Options options;
  options.sessionParameters = ";timeout=4";
  ServeCamera(options);
  StartChannel(server->Port());
  Pass();
  SendRtp(1, "before");
  ASSERT_TRUE(driver.WaitForMessages(1));
  const std::string lost = "KSL (RTSP 127.0.0.1:" + std::to_string(server->Port()) +
                           ") channel 0 connection lost (Unable to send RTSP KEEPALIVE).";
  // The camera forgets the session: the next keep-alive is refused.
  camera->SetOptionsStatus("RTSP/1.0 454 Session Not Found");
  ASSERT_TRUE(PassUntil([&] { return debug.Count(lost) == 1; }));
  EXPECT_TRUE(server->WaitForRequests("TEARDOWN", 1, 5s));
  camera->SetOptionsStatus("");
  ASSERT_TRUE(PassUntil([&] { return server->Requests("DESCRIBE").size() == 2; }));
  // The camera resets the connection: the next keep-alive finds it gone.
  server->DropConnection();
  ASSERT_TRUE(PassUntil([&] { return debug.Count(lost) == 2; }));
  ASSERT_TRUE(PassUntil([&] { return server->Requests("DESCRIBE").size() == 3; }));
  EXPECT_EQ(server->Connections(), 3u);
  SendRtp(2, "after");
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts().back(), "after");
}

TEST_F(RtspChannelTest, BusyPortsAreSkippedInPairs) {
  TestUdpSocket first;
  TestUdpSocket thirdOfNext;
  ASSERT_TRUE(first.Bind(0, true));
  firstPort = first.Port();
  // The next pair's RTCP port is taken too: its RTP port must be given back.
  if (!thirdOfNext.Bind(static_cast<uint16_t>(firstPort + 3), true)) GTEST_SKIP() << "port in use by another program";
  ServeCamera();
  StartChannel(server->Port());
  Pass();
  const uint16_t rtp = channel->RtpPort();
  EXPECT_GE(rtp, firstPort + 4);
  EXPECT_EQ((rtp - firstPort) % 2, 0);
  EXPECT_EQ(camera->RtpPort(), rtp);
  TestUdpSocket released;
  EXPECT_TRUE(released.Bind(static_cast<uint16_t>(firstPort + 2), true));
}

TEST_F(RtspChannelTest, SenderReportsAreAnsweredUntilTheSenderSaysBye) {
  ServeCamera();
  StartChannel(server->Port());
  Pass();
  RtcpPeer sender;
  const std::string report(
      "\x80\xc8\x00\x06\x90\x2f\x9e\x2e\xda\x8b\xd1\xfc\xdd\xdd\xa0\x5a"
      "\xaa\xf4\xed\xd5\x00\x00\x00\x01\x00\x00\x00\x02",
      28);
  sender.SendTo(channel->RtcpPort(), report);
  const std::string answer = sender.Receive();
  ASSERT_GE(answer.size(), 44u);
  EXPECT_EQ(answer.substr(0, 4), std::string("\x81\xc9\x00\x07", 4));
  EXPECT_EQ(answer.substr(8, 4), std::string("\x90\x2f\x9e\x2e", 4));
  EXPECT_EQ(answer.substr(24, 4), std::string("\xd1\xfc\xdd\xdd", 4));
  EXPECT_EQ(answer.substr(32, 2), std::string("\x81\xca", 2));

  // The sender leaves: no more answers, but the session goes on.
  sender.SendTo(channel->RtcpPort(), std::string("\x81\xcb\x00\x01\x90\x2f\x9e\x2e", 8));
  const std::string bye = sender.Receive();
  EXPECT_EQ(bye.substr(0, 4), std::string("\x81\xcb\x00\x01", 4));
  sender.SendTo(channel->RtcpPort(), report);
  EXPECT_EQ(sender.Receive(100ms), "");
  SendRtp(7, "still streaming");
  EXPECT_TRUE(driver.WaitForMessages(1));
}

TEST_F(RtspChannelTest, StopTearsTheSessionDownUnderAFlood) {
  ServeCamera();
  StartChannel(server->Port());
  Pass();
  RtcpPeer sender;
  sender.SendTo(channel->RtcpPort(), std::string("\x80\xc8\x00\x06\x01\x02\x03\x04", 8) + std::string(20, '\0'));
  ASSERT_FALSE(sender.Receive().empty());
  std::atomic<bool> flooding{true};
  const uint16_t port = channel->RtpPort();
  std::thread flood([&] {
    TestUdpSocket socket;
    socket.Bind();
    for (uint16_t sequence = 0; flooding; ++sequence) socket.SendTo(port, Rtp(sequence, "flood"));
  });
  ASSERT_TRUE(driver.WaitForMessages(100));
  {
    Watchdog watchdog(2s, "stopping under a flood");
    channel->Stop();
  }
  flooding = false;
  flood.join();
  EXPECT_TRUE(server->WaitForRequests("TEARDOWN", 1, 5s));
  EXPECT_EQ(sender.Receive().substr(0, 4), std::string("\x81\xcb\x00\x01", 4));  // our BYE
  EXPECT_TRUE(debug.Contains("channel 0 was closed"));
  channel->Stop();  // twice is harmless
}

TEST_F(RtspChannelTest, SetUpFailuresAreLoggedAndRetriedEverySecond) {
  RtspTestServer garbage([](const std::string&) { return testing::RtspReply{{"HTTP/1.1 400 Bad Request\r\n\r\n"}}; });
  ASSERT_TRUE(garbage.Start());
  StartChannel(garbage.Port());
  Pass();
  Pass();
  EXPECT_EQ(debug.Count("korvane::CRTSPChannel::OpenHandlers: Unable to send RTSP DESCRIBE"), 2u);
  EXPECT_EQ(debug.Count("korvane::CRTSPChannel::Connect: Unable to open RTSP handlers"), 2u);
  EXPECT_EQ(channel->RtpPort(), 0);  // the ports were given back
  EXPECT_EQ(garbage.Requests("DESCRIBE").size(), 2u);
}

TEST_F(RtspChannelTest, TooLongCredentialsAndMissingMetadataSayWhy) {
  FakeCamera::Options options;
  options.auth = FakeCamera::Auth::kBasic;
  ServeCamera(options);
  settings.network.user = std::string(50, 'u');
  settings.network.password = std::string(50, 'p');
  StartChannel(server->Port());
  Pass();
  EXPECT_TRUE(debug.Contains("User name and password are too long for Basic authorization"));
  EXPECT_TRUE(debug.Contains("Unable to send RTSP DESCRIBE"));
}

TEST_F(RtspChannelTest, SilenceIsLoggedButKeepsTheSession) {
  ServeCamera();
  StartChannel(server->Port(), "localhost");
  Pass();
  ASSERT_NE(channel->RtpPort(), 0);  // the name was looked up
  // The RTP thread may still be starting: move the clock on until it has measured the silence.
  const std::string timeout = "korvane::CRTSPChannel::ReceiveTimeout: RTP packet receive timeout";
  for (int i = 0; i < 100 && !debug.Contains(timeout); ++i) {
    clock.Advance(6s);
    debug.WaitForCount(timeout, 1, 20ms);
  }
  EXPECT_TRUE(debug.Contains(timeout));
  SendRtp(1, "late");
  EXPECT_TRUE(driver.WaitForMessages(1));
}

}  // namespace
}  // namespace korvane
