#include "driver/channels/http_server_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_data_driver.h"
#include "tests/support/program_peers.h"
#include "tests/support/recording_debug.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataDriver;
using testing::RecordingDebug;
using testing::RunProgram;
using testing::TestListener;
using testing::TestStream;
using testing::Watchdog;
using Strings = std::vector<std::string>;

const std::string kAnswerOk =
    "HTTP/1.1 200 OK\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 2\r\n\r\nOK";

class HttpServerChannelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }

  void Start(std::chrono::milliseconds pollInterval = CChannelBase::kDefaultPollInterval) {
    channel = std::make_unique<CHttpServerChannel>(driver, debug, settings);
    channel->SetPollInterval(pollInterval);
    if (limits != nullptr) channel->SetRequestLimits(*limits);
    ASSERT_TRUE(channel->Start());
    ASSERT_TRUE(channel->WaitListening(2s));
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(channel->BoundPort()) + path;
  }
  // curl with the options every call shares; further arguments follow.
  testing::ProgramResult Curl(std::vector<std::string> args) {
    if (!testing::ProgramAvailable("curl")) return {};
    std::vector<std::string> all = {"curl", "-sS", "--noproxy", "*", "--max-time", "5"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all);
  }
  std::unique_ptr<TestStream> Connect() {
    auto stream = TestStream::Connect(channel->BoundPort());
    EXPECT_NE(stream, nullptr);
    return stream;
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
  const HttpRequestLimits* limits = nullptr;
  std::unique_ptr<CHttpServerChannel> channel;
};

TEST_F(HttpServerChannelTest, CurlSendsSeveralRequestsOnOneConnectionEachAnsweredAndDelivered) {
  if (!testing::ProgramAvailable("curl")) GTEST_SKIP() << "curl is not installed";
  settings.responseText = "OK";
  Start();
  const auto curl = Curl({"-w", "|%{num_connects}\\n", "--data-binary", "zone=1", Url("/alarm"), "--next", "-w",
                          "|%{num_connects}\\n", "--data-binary", "zone=2", Url("/alarm"), "--next", "-w",
                          "|%{num_connects}\\n", "--data-binary", "zone=3", Url("/alarm")});
  ASSERT_EQ(curl.exitCode, 0) << curl.errors;
  EXPECT_EQ(curl.output, "OK|1\nOK|0\nOK|0\n") << "one connection, three answers";
  ASSERT_TRUE(driver.WaitForMessages(3));
  EXPECT_EQ(driver.Texts(), (Strings{"zone=1", "zone=2", "zone=3"}));
  EXPECT_EQ(driver.Messages()[0].source, "HTTP Channel");
  EXPECT_TRUE(debug.Contains("KSL (HTTP Server 0) channel 0 was opened"));
}

TEST_F(HttpServerChannelTest, ProcessingTypeChoosesThePartOfTheRequestDelivered) {
  if (!testing::ProgramAvailable("curl")) GTEST_SKIP() << "curl is not installed";
  const std::string head = "POST /alarm?cam=7 HTTP/1.1\r\n";
  size_t delivered = 0;
  for (const std::string type : {"Content", "Uri", "Headers", "All"}) {
    settings.processingType = type;
    Start();
    const auto curl = Curl({"-H", "Content-Type: text/plain", "--data-binary", "door=open", Url("/alarm?cam=7")});
    ASSERT_EQ(curl.exitCode, 0) << type << ": " << curl.errors;
    ASSERT_TRUE(driver.WaitForMessages(++delivered)) << type;
    const std::string text = driver.Texts().back();
    if (type == "Content") {
      EXPECT_EQ(text, "door=open");
    } else if (type == "Uri") {
      EXPECT_EQ(text, "/alarm?cam=7");
    } else {
      EXPECT_EQ(text.rfind(head, 0), 0u) << text;
      EXPECT_NE(text.find("\r\nContent-Type: text/plain\r\n"), std::string::npos) << text;
      EXPECT_EQ(text.substr(text.size() - (type == "All" ? 13 : 4)), type == "All" ? "\r\n\r\ndoor=open" : "\r\n\r\n");
    }
    channel.reset();
  }
}

TEST_F(HttpServerChannelTest, AnswersAreExactAndAClientAskingToCloseIsClosed) {
  settings.responseText = "OK";
  Start();
  auto client = Connect();
  // Two requests in one block (pipelined): two answers.
  ASSERT_TRUE(client->Send("POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhelloGET /b HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(client->Receive(2 * kAnswerOk.size()), kAnswerOk + kAnswerOk);
  ASSERT_TRUE(client->Send("POST /a HTTP/1.1\r\nConnection: close\r\nContent-Length: 2\r\n\r\nhi"));
  EXPECT_EQ(client->Receive(1000),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: 2\r\n\r\nOK");
  EXPECT_TRUE(client->WaitClosed());
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts(), (Strings{"hello", "hi"})) << "a request without a body delivers no content";

  channel.reset();
  settings.responseText.clear();
  Start();
  client = Connect();
  ASSERT_TRUE(client->Send("GET /status HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(client->Receive(1000, 300ms), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(HttpServerChannelTest, WithTheResponseOffNothingIsSentAndTheNextRequestIsStillRead) {
  settings.sendResponse = false;
  Start(50ms);
  auto client = Connect();
  ASSERT_TRUE(client->Send("POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\none"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  ASSERT_TRUE(client->Send("POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\ntwo"));
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_TRUE(client->WaitClosed()) << "silence ends the connection";
  EXPECT_EQ(driver.Texts(), (Strings{"one", "two"}));

  if (!testing::ProgramAvailable("curl")) return;
  const auto curl = Curl({"--data-binary", "three", Url("/a")});
  EXPECT_EQ(curl.exitCode, 52) << "curl sees an empty reply: " << curl.errors;
  ASSERT_TRUE(driver.WaitForMessages(3));
  EXPECT_EQ(driver.Texts().back(), "three");
}

// Silence before a request or within its header ends the connection after one
// receive time-out; a body may pause for up to three.
TEST_F(HttpServerChannelTest, SilenceEndsTheConnectionExceptBrieflyWithinABody) {
  Start(50ms);
  auto silent = Connect();
  EXPECT_TRUE(silent->WaitClosed(1s));
  auto halfHeader = Connect();
  ASSERT_TRUE(halfHeader->Send("POST /a HTTP/1.1\r\nContent-"));
  EXPECT_TRUE(halfHeader->WaitClosed(1s));

  auto pausing = Connect();
  ASSERT_TRUE(pausing->Send("POST /a HTTP/1.1\r\nContent-Length: 6\r\n\r\nabc"));
  std::this_thread::sleep_for(120ms);  // a slow device: two receive time-outs within the body
  ASSERT_TRUE(pausing->Send("def"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(driver.Texts(), (Strings{"abcdef"}));
}

TEST_F(HttpServerChannelTest, ChunkedBodyFromCurlIsDeliveredDecoded) {
  if (!testing::ProgramAvailable("curl")) GTEST_SKIP() << "curl is not installed";
  Start();
  const std::string body(3000, 'c');
  testing::TemporaryFolder folder;
  const auto file = folder.Write("body", body);
  const auto curl =
      Curl({"-H", "Transfer-Encoding: chunked", "-H", "Expect:", "--data-binary", "@" + file.string(), Url("/push")});
  ASSERT_EQ(curl.exitCode, 0) << curl.errors;
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(driver.Texts(), (Strings{body}));
}

TEST_F(HttpServerChannelTest, RequestsThatCannotBeReadSafelyAreRefusedWithALogLine) {
  HttpRequestLimits small;
  small.headerBlock = 1024;
  small.body = 100;
  limits = &small;
  Start();
  const std::string refused[] = {
      "GET / HTTP/1.1\r\nX: " + std::string(2000, 'x') + "\r\n\r\n",
      "POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n",
      "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
      "POST / HTTP/1.1\r\nContent-Length: ten\r\n\r\n",
      "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5x\r\n",
  };
  size_t count = 0;
  for (const std::string& request : refused) {
    auto client = Connect();
    ASSERT_TRUE(client->Send(request));
    EXPECT_TRUE(client->WaitClosed()) << request.substr(0, 60);
    EXPECT_TRUE(debug.WaitForCount("korvane::CHttpServerChannel::HandleConnection: Request from 127.0.0.1:", ++count))
        << request.substr(0, 60);
  }
  EXPECT_EQ(debug.Count("refused after"), count);
  EXPECT_EQ(driver.MessageCount(), 0u);
}

TEST_F(HttpServerChannelTest, OverLongUriIsCutWithALogLine) {
  settings.processingType = "Uri";
  Start();
  auto client = Connect();
  const std::string uri = "/" + std::string(400, 'u');
  ASSERT_TRUE(client->Send("GET " + uri + " HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(driver.Texts(), (Strings{uri.substr(0, 255)}));
  EXPECT_TRUE(debug.Contains("URI of 401 bytes cut to 255 bytes"));
}

// Each line comes within the receive time-out, but the whole header takes
// longer than the network time-out: a client holding the server this way is dropped.
TEST_F(HttpServerChannelTest, HeaderTrickledSlowerThanTheNetworkTimeoutEndsTheConnection) {
  settings.network.timeout = 300;
  Start(200ms);
  auto client = Connect();
  bool closed = false;
  ASSERT_TRUE(client->Send("POST / HTTP/1.1\r\n"));
  for (int line = 0; line < 30 && !closed; ++line) {
    std::this_thread::sleep_for(50ms);  // a slowloris client
    closed = !client->Send("X-Line: " + std::to_string(line) + "\r\n", 100ms) || client->WaitClosed(0ms);
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(debug.WaitForCount("Request header from 127.0.0.1:"));
  EXPECT_TRUE(debug.Contains("not complete within 300 ms"));
}

TEST_F(HttpServerChannelTest, StopsWithinHalfASecondWhileAClientSendsRequests) {
  driver.SetKeepMessages(false);
  settings.sendResponse = false;
  Start();
  auto client = Connect();
  std::atomic<bool> sending{true};
  std::thread flood([&] {
    std::string batch;
    for (int i = 0; i < 200; ++i) batch += "POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody";
    while (sending && client->Send(batch, 200ms)) {
    }
  });
  ASSERT_TRUE(driver.WaitForMessages(2000, 5s));
  const auto started = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(2s, "Stop under a flood of requests");
    channel->Stop();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  sending = false;
  flood.join();
}

TEST_F(HttpServerChannelTest, PortInUseFailsTheStartAtTheBind) {
  TestListener occupier;
  ASSERT_TRUE(occupier.Listen(0, true));
  settings.network.port = occupier.Port();
  channel = std::make_unique<CHttpServerChannel>(driver, debug, settings);
  EXPECT_FALSE(channel->Start());
  EXPECT_TRUE(debug.Contains("korvane::CHttpServerChannel::OpenChannel: Failed to bind socket"));
  EXPECT_TRUE(debug.Contains("Unable to start channel"));
}

}  // namespace
}  // namespace korvane
