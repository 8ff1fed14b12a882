// The driver's HTTP client over libcurl: one request at a time on a handle
// that keeps its connection, TLS session and learnt authentication between
// requests; the response body is handed over piece by piece as it arrives,
// and a transfer can be cancelled at any point.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/support/clock.h"

namespace korvane::Web {

enum class HttpAuthScheme { kNone, kBasic, kDigest, kNtlm, kNegotiate, kAny };

/// Where and as whom the sender connects.
struct DeviceInfo {
  std::string address;  ///< host name or IP address
  uint16_t port = 80;
  std::string user;  ///< no credentials are sent while empty
  std::string password;
  /// Connect time-out, and the longest silence while a request is sent or its answer received.
  std::chrono::milliseconds timeout{10000};
  /// The first attempt on this port is HTTPS, on any other plain HTTP.
  uint16_t securePort = 443;
  /// Certificates to trust instead of the system's store (empty: the system's).
  std::string caFile;
};

struct HttpRequest {
  std::string path = "/";
  std::string method = "GET";
  std::string body;                  ///< sent as is (methods other than GET)
  std::vector<std::string> headers;  ///< extra "Name: value" lines
  /// Scheme of the first attempt; a 401 may teach the sender another.
  HttpAuthScheme auth = HttpAuthScheme::kBasic;
};

/// What the sender reports while a request runs. Called on the sending thread.
class IHttpResponseSink {
 public:
  /// The response whose body follows has arrived with `status`; once per request at most.
  virtual void OnResponse(long status) = 0;
  /// The next piece of the body, valid during the call. False cancels the transfer.
  virtual bool OnBody(std::string_view piece) = 0;

 protected:
  ~IHttpResponseSink() = default;
};

/// Redirects are never followed and server certificates are always verified.
/// A request that gets no answer over the first scheme (HTTPS or plain) is
/// tried once more over the other, and the sender keeps the scheme that
/// worked. A 401 whose first challenge names another scheme than the one
/// tried is repeated once with that scheme, which the sender then keeps.
///
/// Not thread-safe: one thread uses a sender; only the stop descriptor may be
/// signalled from elsewhere.
class CHttpSender {
 public:
  enum class Result {
    kOk,          ///< a response arrived and its body was read to the end
    kNoResponse,  ///< no usable response (connection, TLS, time-out, unanswered 401)
    kBodyFailed,  ///< a response arrived, but its body broke off
    kCancelled,   ///< stopped through the stop descriptor, the cancel check or the sink
  };

  /// Null when libcurl cannot provide a handle.
  static std::unique_ptr<CHttpSender> Create(DeviceInfo device, const Clock& clock = SystemClock());
  ~CHttpSender();
  CHttpSender(const CHttpSender&) = delete;
  CHttpSender& operator=(const CHttpSender&) = delete;

  /// A descriptor that polls readable when the transfer must end (-1: none).
  void SetStopDescriptor(int fd) { stopFd_ = fd; }
  /// Asked between waits (at least every 100 ms); true cancels the transfer.
  void SetCancelCheck(std::function<bool()> check) { cancelCheck_ = std::move(check); }

  /// Sends `request` and streams the answer to `sink`; blocks until the
  /// body has ended, the transfer failed or it was cancelled.
  Result Send(const HttpRequest& request, IHttpResponseSink& sink);

  /// Status of the last response (0 when none).
  long StatusCode() const { return status_; }
  /// Content length the last response announced (-1 when it did not).
  int64_t ContentLength() const { return contentLength_; }
  /// Whether the next request starts with HTTPS.
  bool Secure() const { return secure_; }
  HttpAuthScheme LearntScheme() const { return learnt_; }
  /// Why the last request failed ("" after success).
  const std::string& ErrorText() const { return errorText_; }
  /// System error code behind the last failure (0 when none).
  int SystemError() const { return systemError_; }

 private:
  struct Handles;
  enum class Attempt { kOk, kBodyFailed, kOtherSchemeMayWork, kFailed, kCancelled, kRepeatWithLearntScheme };

  CHttpSender(DeviceInfo device, const Clock& clock, std::unique_ptr<Handles> handles);
  Result SendOnce(const HttpRequest& request);
  Attempt RunAttempt(const HttpRequest& request);
  bool Configure(const HttpRequest& request);
  int Transfer();
  void DecideResponse();
  std::string Url(const HttpRequest& request) const;

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnWrite(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, int64_t, int64_t, int64_t, int64_t uploaded);

  const DeviceInfo device_;
  const Clock& clock_;
  std::unique_ptr<Handles> handles_;
  int stopFd_ = -1;
  std::function<bool()> cancelCheck_;
  bool secure_;
  HttpAuthScheme learnt_ = HttpAuthScheme::kNone;
  HttpAuthScheme tried_ = HttpAuthScheme::kNone;

  // State of the transfer in progress.
  IHttpResponseSink* sink_ = nullptr;
  bool learning_ = false;    // a 401 may still teach a scheme
  bool decided_ = false;     // the final response is known
  bool delivering_ = false;  // its body goes to the sink
  bool cancelled_ = false;
  HttpAuthScheme challenge_ = HttpAuthScheme::kNone;  // first scheme the current response offers
  bool challengeSeen_ = false;
  Clock::TimePoint lastActivity_{};
  int64_t uploaded_ = 0;

  long status_ = 0;
  int64_t contentLength_ = -1;
  std::string errorText_;
  int systemError_ = 0;
};

}  // namespace korvane::Web
