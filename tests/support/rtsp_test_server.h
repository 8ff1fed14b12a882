// An RTSP server written for the tests, on 127.0.0.1 with an ephemeral port:
// it answers every request through a handler, can cut an answer into
// separately sent TCP segments, and records what it received. FakeCamera is
// the usual handler: a camera with a metadata stream, with knobs for what
// GStreamer's server cannot be made to do (session time-out 0 or none, a
// nonce that changes on every challenge, malformed answers).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvane::testing {

/// What the server sends for one request.
struct RtspReply {
  /// Sent one after the other, each with its own send and a short pause, so
  /// they arrive as separate TCP segments.
  std::vector<std::string> segments;
  /// Close the connection after the reply.
  bool close = false;
};

/// The value of header `name` (any letter case) in a request; empty when absent.
std::string RtspHeader(std::string_view request, std::string_view name);
/// The request's method ("DESCRIBE", ...).
std::string RtspMethod(std::string_view request);
/// The request's URL.
std::string RtspUrl(std::string_view request);

class RtspTestServer {
 public:
  /// Called on the server's thread for every complete request.
  using Handler = std::function<RtspReply(const std::string& request)>;

  explicit RtspTestServer(Handler handler);
  ~RtspTestServer();
  RtspTestServer(const RtspTestServer&) = delete;
  RtspTestServer& operator=(const RtspTestServer&) = delete;

  /// Listens on an ephemeral port and starts serving; false when it cannot.
  bool Start();
  uint16_t Port() const { return port_; }

  std::vector<std::string> Requests() const;
  /// Requests whose method is `method`.
  std::vector<std::string> Requests(std::string_view method) const;
  /// Waits until at least `n` requests with `method` arrived ("" for any method).
  bool WaitForRequests(std::string_view method, size_t n,
                       std::chrono::milliseconds timeout = std::chrono::seconds(3)) const;
  /// Connections accepted so far.
  size_t Connections() const;
  /// Resets the open connection (the client sees ECONNRESET).
  void DropConnection();

 private:
  void Serve();
  void HandleConnection(int& connection, std::string& buffer);

  Handler handler_;
  int listener_ = -1;
  int wake_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;
  size_t connections_ = 0;
  std::thread thread_;
};

/// A camera that streams metadata: DESCRIBE gives a description with an
/// "m=application" section naming "vnd.onvif.metadata", SETUP a session,
/// PLAY, OPTIONS and TEARDOWN a plain 200. Thread-safe.
class FakeCamera {
 public:
  enum class Auth { kNone, kBasic, kDigest };

  struct Options {
    Auth auth = Auth::kNone;
    std::string user = "admin";
    std::string password = "secret";
    std::string realm = "Fake Camera Realm";
    /// A new nonce with every challenge, and a request with an older one is refused.
    bool changingNonce = false;
    /// Parameters after the session id ("" for none, ";timeout=0", ...).
    std::string sessionParameters = ";timeout=60";
    std::string control = "trackID=3";
    /// When not empty, the Content-Base header of the DESCRIBE answer.
    std::string contentBase;
    /// Cut every answer into segments of this many bytes (0: one segment).
    size_t segmentSize = 0;
  };

  explicit FakeCamera(Options options);

  RtspReply Answer(const std::string& request);
  RtspTestServer::Handler Handler() {
    return [this](const std::string& request) { return Answer(request); };
  }

  /// Client ports of the last SETUP (0 until one arrived).
  uint16_t RtpPort() const;
  uint16_t RtcpPort() const;
  /// How many requests failed authentication.
  size_t Refusals() const;
  /// Answers OPTIONS with this status line ("" for 200 OK).
  void SetOptionsStatus(std::string statusLine);

  static std::string Description(std::string_view control);

 private:
  bool Authorized(const std::string& request, const std::string& method);
  void NextNonce();
  RtspReply Reply(const std::string& text) const;

  const Options options_;
  mutable std::mutex mutex_;
  uint32_t nonceCounter_ = 0;
  std::string nonce_;
  uint16_t rtpPort_ = 0;
  uint16_t rtcpPort_ = 0;
  size_t refusals_ = 0;
  std::string optionsStatus_;
};

}  // namespace korvane::testing
