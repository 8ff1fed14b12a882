// The RTSP model opened by name through the driver, as a host opens it: its
// parameters reach the channel, the session is set up with Digest, and RTP
// payloads reach the host.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "driver/core/kestrel_driver.h"
#include "tests/core/core_test_util.h"
#include "tests/support/fake_host.h"
#include "tests/support/rtsp_test_server.h"
#include "tests/support/socket_peers.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
using Kind = HostCall::Kind;

class RtspModelTest : public HostDirTest {};

TEST_F(RtspModelTest, PayloadsOfTheNamedStreamReachTheHost) {
  FakeCamera::Options options;
  options.auth = FakeCamera::Auth::kDigest;
  FakeCamera camera(options);
  RtspTestServer server(camera.Handler());
  ASSERT_TRUE(server.Start());
  RecordingHost host;
  {
    FakeSettings settings("KestrelRtspModel", {{1, "127.0.0.1"},
                                               {2, std::to_string(server.Port())},
                                               {3, options.user},
                                               {4, options.password},
                                               {5, "None"},
                                               {8, "cam/metadata"}});
    CKestrelDriver driver;
    ASSERT_TRUE(driver.OpenEx(&host, &settings));
    ASSERT_TRUE(driver.StartChannel(0, 0));
    // The channel sets the session up on its first pass, a second after the start.
    ASSERT_TRUE(server.WaitForRequests("PLAY", 1, 5s));
    EXPECT_EQ(RtspUrl(server.Requests("DESCRIBE").at(0)),
              "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/cam/metadata");
    TestUdpSocket camera_rtp;
    ASSERT_TRUE(camera_rtp.Bind());
    ASSERT_TRUE(camera_rtp.SendTo(camera.RtpPort(),
                                  std::string("\x80\x6b\x00\x01", 4) + std::string(8, '\1') + "<tt:MetadataStream/>"));
    ASSERT_TRUE(host.WaitForCount(Kind::kData, 1));
    EXPECT_EQ(host.Texts(Kind::kData)[0], "&lt;tt:MetadataStream/&gt;");
    driver.StopChannel(0);
    driver.Close();
  }
  EXPECT_TRUE(server.WaitForRequests("TEARDOWN", 1, 5s));
}

}  // namespace
}  // namespace korvane::testing
