#include "tests/support/rtsp_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "driver/support/authentication.h"
#include "driver/support/string_utils.h"

namespace korvane::testing {
namespace {

constexpr std::chrono::milliseconds kSegmentPause{3};

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

std::string Cseq(const std::string& request) { return RtspHeader(request, "CSeq"); }

// Value of `name="..."` or `name=...` in an Authorization header.
std::string AuthParameter(const std::string& header, const std::string& name) {
  const size_t at = header.find(name + "=");
  if (at == std::string::npos) return {};
  size_t pos = at + name.size() + 1;
  if (pos < header.size() && header[pos] == '"') {
    const size_t end = header.find('"', pos + 1);
    return header.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
  }
  const size_t end = header.find_first_of(", ", pos);
  return header.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

}  // namespace

std::string RtspHeader(std::string_view request, std::string_view name) {
  const std::string lowerName = ToLower(name) + ":";
  size_t pos = request.find('\n');
  while (pos != std::string_view::npos && pos + 1 < request.size()) {
    const size_t start = pos + 1;
    const size_t end = request.find('\n', start);
    std::string_view line = request.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (ToLower(line.substr(0, lowerName.size())) == lowerName) return Trim(line.substr(lowerName.size()));
    pos = end;
  }
  return {};
}

std::string RtspMethod(std::string_view request) { return std::string(request.substr(0, request.find(' '))); }

std::string RtspUrl(std::string_view request) {
  const size_t start = request.find(' ');
  if (start == std::string_view::npos) return {};
  const size_t end = request.find(' ', start + 1);
  return std::string(
      request.substr(start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1));
}

RtspTestServer::RtspTestServer(Handler handler) : handler_(std::move(handler)) {}

RtspTestServer::~RtspTestServer() {
  stop_ = true;
  if (wake_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  CloseFd(listener_);
  CloseFd(wake_);
}

bool RtspTestServer::Start() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listener_ < 0 || wake_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0) {
    return false;
  }
  socklen_t length = sizeof address;
  if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&RtspTestServer::Serve, this);
  return true;
}

void RtspTestServer::Serve() {
  int connection = -1;
  std::string buffer;
  while (!stop_) {
    if (drop_.exchange(false) && connection >= 0) {
      linger abortive{1, 0};
      ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
      CloseFd(connection);
    }
    pollfd fds[3] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}, {connection, POLLIN, 0}};
    if (::poll(fds, connection >= 0 ? 3 : 2, 50) <= 0) continue;
    if (fds[1].revents != 0) {
      uint64_t value = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_, &value, sizeof value);
    }
    if (fds[0].revents != 0) {
      const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted >= 0) {
        // One client at a time: a new connection replaces the old one.
        CloseFd(connection);
        connection = accepted;
        buffer.clear();
        const int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
      continue;
    }
    if (connection >= 0 && fds[2].revents != 0) HandleConnection(connection, buffer);
  }
  CloseFd(connection);
}

void RtspTestServer::HandleConnection(int& connection, std::string& buffer) {
  char chunk[4096];
  const ssize_t n = ::recv(connection, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) CloseFd(connection);
    return;
  }
  buffer.append(chunk, static_cast<size_t>(n));
  size_t end = 0;
  while ((end = buffer.find("\r\n\r\n")) != std::string::npos) {
    const std::string request = buffer.substr(0, end + 4);
    buffer.erase(0, end + 4);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    const RtspReply reply = handler_(request);
    for (size_t i = 0; i < reply.segments.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(kSegmentPause);  // a slow camera: separate segments
      SendAll(connection, reply.segments[i]);
    }
    if (reply.close) {
      CloseFd(connection);
      return;
    }
  }
}

std::vector<std::string> RtspTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> RtspTestServer::Requests(std::string_view method) const {
  std::vector<std::string> result;
  for (std::string& request : Requests()) {
    if (RtspMethod(request) == method) result.push_back(std::move(request));
  }
  return result;
}

bool RtspTestServer::WaitForRequests(std::string_view method, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    size_t count = 0;
    for (const std::string& request : requests_) {
      if (method.empty() || RtspMethod(request) == method) ++count;
    }
    return count >= n;
  });
}

size_t RtspTestServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void RtspTestServer::DropConnection() {
  drop_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

// --- FakeCamera ----------------------------------------------------------------

FakeCamera::FakeCamera(Options options) : options_(std::move(options)) { nonce_ = "n0"; }

std::string FakeCamera::Description(std::string_view control) {
  std::string sdp =
      "v=0\r\n"
      "o=- 1 1 IN IP4 127.0.0.1\r\n"
      "s=Fake Camera\r\n"
      "t=0 0\r\n"
      "a=control:*\r\n"
      "m=video 0 RTP/AVP 96\r\n"
      "a=rtpmap:96 H264/90000\r\n"
      "a=control:trackID=1\r\n"
      "m=application 0 RTP/AVP 107\r\n"
      "a=control:";
  sdp.append(control);
  sdp += "\r\na=rtpmap:107 vnd.onvif.metadata/90000\r\n";
  return sdp;
}

RtspReply FakeCamera::Reply(const std::string& text) const {
  RtspReply reply;
  if (options_.segmentSize == 0) {
    reply.segments.push_back(text);
    return reply;
  }
  for (size_t pos = 0; pos < text.size(); pos += options_.segmentSize) {
    reply.segments.push_back(text.substr(pos, options_.segmentSize));
  }
  return reply;
}

void FakeCamera::NextNonce() { nonce_ = Format("n%u", ++nonceCounter_); }

bool FakeCamera::Authorized(const std::string& request, const std::string& method) {
  const std::string header = RtspHeader(request, "Authorization");
  switch (options_.auth) {
    case Auth::kNone:
      return true;
    case Auth::kBasic: {
      std::string credentials;
      BasicCredentials(options_.user, options_.password, credentials);
      return header == "Basic " + credentials;
    }
    case Auth::kDigest: {
      if (header.rfind("Digest ", 0) != 0) return false;
      const std::string uri = AuthParameter(header, "uri");
      const bool valid = AuthParameter(header, "username") == options_.user &&
                         AuthParameter(header, "nonce") == nonce_ &&
                         AuthParameter(header, "response") ==
                             DigestResponse(options_.user, options_.realm, options_.password, method, uri, nonce_);
      // With a changing nonce every nonce serves one request.
      if (valid && options_.changingNonce) NextNonce();
      return valid;
    }
  }
  return false;
}

RtspReply FakeCamera::Answer(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string method = RtspMethod(request);
  const std::string cseq = "CSeq: " + Cseq(request) + "\r\n";
  if (!Authorized(request, method)) {
    ++refusals_;
    if (options_.changingNonce) NextNonce();
    const std::string challenge =
        options_.auth == Auth::kBasic
            ? "WWW-Authenticate: Basic realm=\"" + options_.realm + "\"\r\n"
            : "WWW-Authenticate: Digest realm=\"" + options_.realm + "\", nonce=\"" + nonce_ + "\"\r\n";
    return Reply("RTSP/1.0 401 Unauthorized\r\n" + cseq + challenge + "\r\n");
  }
  const std::string session = "Session: 4D45544144415441" + options_.sessionParameters + "\r\n";
  if (method == "DESCRIBE") {
    const std::string body = Description(options_.control);
    std::string base;
    if (!options_.contentBase.empty()) base = "Content-Base: " + options_.contentBase + "\r\n";
    return Reply("RTSP/1.0 200 OK\r\n" + cseq + "Content-Type: application/sdp\r\n" + base +
                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  if (method == "SETUP") {
    const std::string transport = RtspHeader(request, "Transport");
    const size_t at = transport.find("client_port=");
    unsigned rtp = 0;
    unsigned rtcp = 0;
    if (at != std::string::npos) std::sscanf(transport.c_str() + at, "client_port=%u-%u", &rtp, &rtcp);
    rtpPort_ = static_cast<uint16_t>(rtp);
    rtcpPort_ = static_cast<uint16_t>(rtcp);
    return Reply("RTSP/1.0 200 OK\r\n" + cseq + session + "Transport: " + transport + ";server_port=5000-5001\r\n\r\n");
  }
  if (method == "OPTIONS" && !optionsStatus_.empty()) return Reply(optionsStatus_ + "\r\n" + cseq + "\r\n");
  return Reply("RTSP/1.0 200 OK\r\n" + cseq + session + "\r\n");
}

uint16_t FakeCamera::RtpPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rtpPort_;
}

uint16_t FakeCamera::RtcpPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rtcpPort_;
}

size_t FakeCamera::Refusals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusals_;
}

void FakeCamera::SetOptionsStatus(std::string statusLine) {
  std::lock_guard<std::mutex> lock(mutex_);
  optionsStatus_ = std::move(statusLine);
}

}  // namespace korvane::testing
