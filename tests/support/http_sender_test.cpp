#include "driver/support/http_sender.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_peers.h"
#include "tests/support/socket_peers.h"

namespace korvane::Web {
namespace {

using namespace std::chrono_literals;
using korvane::testing::Lighttpd;
using korvane::testing::RawHttpServer;
using korvane::testing::TestCertificate;
using korvane::testing::TestListener;
using Result = CHttpSender::Result;

const std::string kStatus = "zone=1 state=armed\r\nzone=2 state=alarm\r\n";

struct Collector : IHttpResponseSink {
  void OnResponse(long code) override {
    status = code;
    ++responses;
  }
  bool OnBody(std::string_view piece) override {
    body.append(piece);
    return body.size() < stopAfter;
  }
  long status = 0;
  int responses = 0;
  std::string body;
  size_t stopAfter = SIZE_MAX;
};

class HttpSenderTest : public ::testing::Test {
 protected:
  void StartServer(const TestCertificate* tls = nullptr) {
    Lighttpd::Options options;
    options.files = {{"basic/status.txt", kStatus}, {"digest/status.txt", kStatus}};
    options.tls = tls;
    if (!server.Start(options)) GTEST_SKIP() << server.Error();
  }
  std::unique_ptr<CHttpSender> Sender(std::string password = Lighttpd::kPassword) {
    device.address = "127.0.0.1";
    device.port = server.Port();
    device.user = Lighttpd::kUser;
    device.password = std::move(password);
    auto sender = CHttpSender::Create(device);
    EXPECT_NE(sender, nullptr);
    return sender;
  }
  HttpRequest Get(const std::string& path, HttpAuthScheme auth) {
    HttpRequest request;
    request.path = path;
    request.auth = auth;
    return request;
  }

  Lighttpd server;
  DeviceInfo device;
};

TEST_F(HttpSenderTest, BasicAndDigestCredentialsAreAccepted) {
  StartServer();
  auto sender = Sender();
  for (auto [path, scheme] : {std::pair{"/basic/status.txt", HttpAuthScheme::kBasic},
                              std::pair{"/digest/status.txt", HttpAuthScheme::kDigest}}) {
    Collector sink;
    ASSERT_EQ(sender->Send(Get(path, scheme), sink), Result::kOk) << path << ": " << sender->ErrorText();
    EXPECT_EQ(sink.status, 200);
    EXPECT_EQ(sink.responses, 1);
    EXPECT_EQ(sink.body, kStatus);
  }
}

// The first 401 teaches the scheme; the request is repeated once, and later
// requests on the same sender go out with the learnt scheme at once.
TEST_F(HttpSenderTest, SchemeLearntFromA401IsUsedForTheRepeatAndKept) {
  StartServer();
  auto sender = Sender();
  for (int i = 0; i < 2; ++i) {
    Collector sink;
    ASSERT_EQ(sender->Send(Get("/digest/status.txt", HttpAuthScheme::kBasic), sink), Result::kOk)
        << sender->ErrorText();
    EXPECT_EQ(sink.body, kStatus);
    EXPECT_EQ(sink.responses, 1) << "the 401 is not reported as the response";
  }
  EXPECT_EQ(sender->LearntScheme(), HttpAuthScheme::kDigest);
  EXPECT_EQ(server.StopAndListRequests(), (std::vector<std::string>{"401 0", "200 1", "200 2"}))
      << "all on one connection";
}

TEST_F(HttpSenderTest, RejectedCredentialsGiveNoResponseAndNoBody) {
  StartServer();
  auto sender = Sender("wrong");
  Collector sink;
  EXPECT_EQ(sender->Send(Get("/digest/status.txt", HttpAuthScheme::kDigest), sink), Result::kNoResponse);
  EXPECT_EQ(sender->StatusCode(), 401);
  EXPECT_EQ(sink.responses, 0);
  EXPECT_EQ(sink.body, "");
}

TEST_F(HttpSenderTest, SecurePortStartsWithHttpsAndFallsBackToPlainInTheSameRequest) {
  StartServer();
  device.securePort = server.Port();
  auto sender = Sender();
  ASSERT_TRUE(sender->Secure());
  Collector sink;
  ASSERT_EQ(sender->Send(Get("/basic/status.txt", HttpAuthScheme::kBasic), sink), Result::kOk) << sender->ErrorText();
  EXPECT_EQ(sink.body, kStatus);
  EXPECT_FALSE(sender->Secure()) << "the working scheme is kept";
}

TEST_F(HttpSenderTest, PlainFallsBackToHttpsOnlyWithATrustedCertificate) {
  korvane::testing::TemporaryFolder folder;
  TestCertificate certificate;
  if (!korvane::testing::ProgramAvailable("openssl") ||
      !korvane::testing::MakeSelfSignedCertificate(folder.Path(), certificate)) {
    GTEST_SKIP() << "openssl cannot make a certificate";
  }
  StartServer(&certificate);
  {
    auto untrusting = Sender();
    Collector sink;
    EXPECT_EQ(untrusting->Send(Get("/basic/status.txt", HttpAuthScheme::kBasic), sink), Result::kNoResponse);
    EXPECT_EQ(sink.body, "");
  }
  device.caFile = certificate.certificate.string();
  auto sender = Sender();
  ASSERT_FALSE(sender->Secure());
  Collector sink;
  ASSERT_EQ(sender->Send(Get("/basic/status.txt", HttpAuthScheme::kBasic), sink), Result::kOk) << sender->ErrorText();
  EXPECT_EQ(sink.body, kStatus);
  EXPECT_TRUE(sender->Secure());
}

TEST(HttpSenderPeerTest, StopDescriptorEndsAnEndlessBody) {
  RawHttpServer server;
  ASSERT_TRUE(server.Start("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", std::string(1000, 'x')));
  DeviceInfo device;
  device.address = "127.0.0.1";
  device.port = server.Port();
  auto sender = CHttpSender::Create(device);
  const int stop = ::eventfd(0, EFD_CLOEXEC);
  sender->SetStopDescriptor(stop);

  struct Sink : IHttpResponseSink {
    void OnResponse(long) override {}
    bool OnBody(std::string_view piece) override {
      bytes += piece.size();
      return true;
    }
    std::atomic<size_t> bytes{0};
  } sink;
  std::thread stopper([&] {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (sink.bytes < 1000000 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    const uint64_t one = 1;
    EXPECT_EQ(::write(stop, &one, sizeof one), 8);
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(sender->Send(HttpRequest{}, sink), Result::kCancelled);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ::close(stop);
}

// A time-out is not a reason to try the other scheme: one connection only.
TEST(HttpSenderPeerTest, SilentServerTimesOutOnce) {
  TestListener silent;
  ASSERT_TRUE(silent.Listen());
  DeviceInfo device;
  device.address = "127.0.0.1";
  device.port = silent.Port();
  device.timeout = 200ms;
  auto sender = CHttpSender::Create(device);
  struct : IHttpResponseSink {
    void OnResponse(long) override {}
    bool OnBody(std::string_view) override { return true; }
  } sink;
  EXPECT_EQ(sender->Send(HttpRequest{}, sink), Result::kNoResponse);
  EXPECT_NE(sender->ErrorText(), "");
  EXPECT_NE(silent.Accept(0ms), nullptr);
  EXPECT_EQ(silent.Accept(0ms), nullptr);
}

}  // namespace
}  // namespace korvane::Web
