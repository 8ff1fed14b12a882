#include "driver/channels/base_rtsp_client.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "tests/support/rtsp_test_server.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeCamera;
using testing::RtspHeader;
using testing::RtspReply;
using testing::RtspTestServer;
using testing::RtspUrl;
using testing::Watchdog;

class PollWaiter final : public ISocketWaiter {
 public:
  Result WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) override {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (n < 0) return Result::kError;
    return n == 0 ? Result::kTimeout : Result::kReady;
  }
};

// Says "stopped" to every wait while `stopped` is set.
class StoppableWaiter final : public ISocketWaiter {
 public:
  Result WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) override {
    if (stopped) return Result::kStopped;
    return PollWaiter().WaitForSocket(fd, events, timeout);
  }
  bool stopped = false;
};

class BaseRtspClientTest : public ::testing::Test {
 protected:
  void Serve(FakeCamera::Options options) {
    camera = std::make_unique<FakeCamera>(std::move(options));
    Serve(camera->Handler());
  }
  void Serve(RtspTestServer::Handler handler) {
    server = std::make_unique<RtspTestServer>(std::move(handler));
    ASSERT_TRUE(server->Start());
    parameters.address = "127.0.0.1";
    parameters.serverPort = server->Port();
  }
  bool Open() { return client.Open(parameters); }

  PollWaiter waiter;
  CBaseRTSPClient client{waiter, SystemClock()};
  RTSPClientParameters parameters;
  std::unique_ptr<FakeCamera> camera;
  std::unique_ptr<RtspTestServer> server;
};

TEST_F(BaseRtspClientTest, RequestTextsOfAWholeSession) {
  FakeCamera::Options options;
  options.sessionParameters = ";timeout=60";
  Serve(options);
  parameters.path = "live";
  parameters.rtpClientPort = 6002;
  parameters.rtcpClientPort = 6003;
  ASSERT_TRUE(Open());
  for (auto type : {RTSPRequestType::kDescribe, RTSPRequestType::kSetup, RTSPRequestType::kPlay,
                    RTSPRequestType::kOptions, RTSPRequestType::kTeardown}) {
    ASSERT_TRUE(client.SendRequestWithAuth(type)) << RTSPMethodName(type);
  }
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(server->Port()) + "/live";
  const std::vector<std::string> expected = {
      "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\nUser-Agent: Korvane\r\n\r\n",
      "SETUP " + base +
          "/trackID=3 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/UDP;unicast;client_port=6002-6003\r\n"
          "User-Agent: Korvane\r\n\r\n",
      "PLAY " + base +
          " RTSP/1.0\r\nCSeq: 3\r\nSession: 4D45544144415441\r\nRange: npt=0.000-\r\n"
          "User-Agent: Korvane\r\n\r\n",
      "OPTIONS " + base + " RTSP/1.0\r\nCSeq: 4\r\nSession: 4D45544144415441\r\nUser-Agent: Korvane\r\n\r\n",
      "TEARDOWN " + base + " RTSP/1.0\r\nCSeq: 5\r\nSession: 4D45544144415441\r\nUser-Agent: Korvane\r\n\r\n",
  };
  EXPECT_EQ(server->Requests(), expected);
  EXPECT_EQ(client.SessionTimeout(), 60u);
}

TEST_F(BaseRtspClientTest, DigestChallengeIsAnsweredOnceForTheBaseUrl) {
  FakeCamera::Options options;
  options.auth = FakeCamera::Auth::kDigest;
  options.realm = "Surveillance Server";
  options.changingNonce = true;  // every request after the first is challenged again
  Serve(options);
  parameters.user = options.user;
  parameters.password = options.password;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  EXPECT_EQ(client.Parser().StatusCode(), 200);
  ASSERT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kSetup));
  EXPECT_EQ(client.Parser().StatusCode(), 200);

  const auto requests = server->Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(RtspHeader(requests[0], "Authorization"), "");
  for (size_t i : {1, 3}) {
    // The retry answers the fresh challenge for the base URL, SETUP included.
    const std::string authorization = RtspHeader(requests[i], "Authorization");
    EXPECT_NE(authorization.find("realm=\"Surveillance Server\""), std::string::npos) << authorization;
    EXPECT_NE(authorization.find("uri=\"rtsp://127.0.0.1:" + std::to_string(server->Port()) + "/\""), std::string::npos)
        << authorization;
  }
  EXPECT_NE(RtspHeader(requests[1], "Authorization"), RtspHeader(requests[3], "Authorization"));
  EXPECT_EQ(camera->Refusals(), 2u);
  // The CSeq of a retry follows the server's.
  EXPECT_EQ(RtspHeader(requests[1], "CSeq"), "2");
}

TEST_F(BaseRtspClientTest, SecondRefusalOfTheSameBasicSchemeIsNotRetried) {
  FakeCamera::Options options;
  options.auth = FakeCamera::Auth::kBasic;
  Serve(options);
  parameters.user = "admin";
  parameters.password = "wrong";
  ASSERT_TRUE(Open());
  // Adopting Basic is one retry; that it is refused again counts as the answer.
  EXPECT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  EXPECT_EQ(client.Parser().StatusCode(), 401);
  EXPECT_EQ(server->Requests().size(), 2u);
  EXPECT_EQ(client.Parameters().scheme, AuthScheme::kBasic);
  EXPECT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  EXPECT_EQ(server->Requests().size(), 3u);
}

TEST_F(BaseRtspClientTest, CredentialsTooLongForBasicSendNothing) {
  FakeCamera::Options options;
  options.auth = FakeCamera::Auth::kBasic;
  Serve(options);
  parameters.user = std::string(60, 'u');
  parameters.password = std::string(60, 'p');
  ASSERT_TRUE(Open());
  EXPECT_FALSE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  EXPECT_EQ(client.LastFailure(), CBaseRTSPClient::Failure::kCredentialsTooLong);
  EXPECT_EQ(server->Requests().size(), 1u);  // the unauthenticated first try only
}

TEST_F(BaseRtspClientTest, AnswersOfAnySizeAndSegmentationAreReadWithoutWaiting) {
  // Sizes around the old 256-byte read unit, sent whole or a few bytes per segment.
  std::vector<std::string> answers;
  for (size_t size : {255, 256, 257, 512, 4096, 5000}) {
    std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nSession: 1;timeout=60\r\nX-Pad: ";
    answer += std::string(size - answer.size() - 4, 'x') + "\r\n\r\n";
    answers.push_back(answer);
  }
  size_t next = 0;
  bool segmented = false;
  Serve([&](const std::string&) {
    RtspReply reply;
    const std::string& answer = answers[next++ % answers.size()];
    if (!segmented) {
      reply.segments.push_back(answer);
    } else {
      for (size_t pos = 0; pos < answer.size(); pos += 97) reply.segments.push_back(answer.substr(pos, 97));
    }
    return reply;
  });
  parameters.receiveTimeout = 20s;  // a read that waits for it trips the watchdog instead
  ASSERT_TRUE(Open());
  Watchdog watchdog(5s, "reading answers");
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < answers.size(); ++i) {
      ASSERT_TRUE(client.SendRequest(RTSPRequestType::kOptions)) << answers[i].size();
      EXPECT_EQ(client.Parser().SessionId(), "1");
    }
    segmented = true;
  }
}

TEST_F(BaseRtspClientTest, ControlUrlTakesContentBaseAndAbsoluteControls) {
  FakeCamera::Options options;
  options.contentBase = "rtsp://127.0.0.1/cam/realmonitor?channel=1&proto=Onvif/";
  Serve(options);
  parameters.path = "ignored";
  ASSERT_TRUE(Open());
  ASSERT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  ASSERT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kSetup));
  EXPECT_EQ(RtspUrl(server->Requests("SETUP").at(0)),
            "rtsp://127.0.0.1/cam/realmonitor?channel=1&proto=Onvif/trackID=3");
}

TEST_F(BaseRtspClientTest, SetupWithoutMetadataControlIsNotSent) {
  Serve([](const std::string& request) {
    const std::string body = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
    return RtspReply{{"RTSP/1.0 200 OK\r\nCSeq: " + RtspHeader(request, "CSeq") +
                      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body}};
  });
  ASSERT_TRUE(Open());
  ASSERT_TRUE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  EXPECT_FALSE(client.SendRequestWithAuth(RTSPRequestType::kSetup));
  EXPECT_EQ(client.LastFailure(), CBaseRTSPClient::Failure::kNoRequest);
  EXPECT_EQ(server->Requests().size(), 1u);
}

TEST_F(BaseRtspClientTest, ServerThatClosesOrRefusesFails) {
  Serve([](const std::string&) { return RtspReply{{"RTSP/1.0 404 Not Found\r\nCSeq: 1\r\n\r\n"}, true}; });
  ASSERT_TRUE(Open());
  EXPECT_FALSE(client.SendRequestWithAuth(RTSPRequestType::kDescribe));
  EXPECT_EQ(client.LastFailure(), CBaseRTSPClient::Failure::kRefused);
  EXPECT_FALSE(client.SendRequestWithAuth(RTSPRequestType::kOptions));
  EXPECT_NE(client.LastFailure(), CBaseRTSPClient::Failure::kNone);

  CBaseRTSPClient other(waiter, SystemClock());
  RTSPClientParameters nowhere = parameters;
  server.reset();
  EXPECT_FALSE(other.Open(nowhere));
  EXPECT_FALSE(other.IsConnected());
}

TEST_F(BaseRtspClientTest, StopWhileAwaitingAnAnswerKeepsTheConnectionForTheGoodbye) {
  // The camera is slow with its first answer; the channel stops meanwhile and
  // still has to say TEARDOWN on the same connection.
  int seen = 0;
  Serve([&seen](const std::string& request) {
    if (++seen == 1) return RtspReply{};
    return RtspReply{{"RTSP/1.0 200 OK\r\nCSeq: " + RtspHeader(request, "CSeq") + "\r\n\r\n"}};
  });
  StoppableWaiter stoppable;
  CBaseRTSPClient stopping(stoppable, SystemClock());
  ASSERT_TRUE(stopping.Open(parameters));
  stoppable.stopped = true;
  EXPECT_FALSE(stopping.SendRequestWithAuth(RTSPRequestType::kOptions));
  EXPECT_EQ(stopping.LastFailure(), CBaseRTSPClient::Failure::kStopped);
  EXPECT_TRUE(stopping.IsConnected());
  stoppable.stopped = false;
  EXPECT_TRUE(stopping.SendRequestWithAuth(RTSPRequestType::kOptions));
  EXPECT_TRUE(server->WaitForRequests("OPTIONS", 2, 5s));
}

}  // namespace
}  // namespace korvane
