#include "driver/support/http_sender.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

namespace korvane::Web {
namespace {

// Longest wait between two looks at the cancel check.
constexpr std::chrono::milliseconds kCancelCheckInterval{100};
// Without a cancel check the stop descriptor alone ends a wait; the slice only bounds it.
constexpr std::chrono::milliseconds kLongestWait{1000};

bool StartsWithIgnoreCase(std::string_view text, std::string_view lower) {
  if (text.size() < lower.size()) return false;
  for (size_t i = 0; i < lower.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The scheme a challenge ("WWW-Authenticate: Digest realm=...") starts with.
HttpAuthScheme ChallengeScheme(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  const size_t end = value.find_first_of(" \t\r\n,");
  const std::string_view token = value.substr(0, end);
  const struct {
    std::string_view name;
    HttpAuthScheme scheme;
  } schemes[] = {{"basic", HttpAuthScheme::kBasic},
                 {"digest", HttpAuthScheme::kDigest},
                 {"ntlm", HttpAuthScheme::kNtlm},
                 {"negotiate", HttpAuthScheme::kNegotiate}};
  for (const auto& s : schemes) {
    if (token.size() == s.name.size() && StartsWithIgnoreCase(token, s.name)) return s.scheme;
  }
  return HttpAuthScheme::kNone;
}

unsigned long CurlAuth(HttpAuthScheme scheme) {
  switch (scheme) {
    case HttpAuthScheme::kDigest:
      return CURLAUTH_DIGEST;
    case HttpAuthScheme::kNtlm:
      return CURLAUTH_NTLM;
    case HttpAuthScheme::kNegotiate:
      return CURLAUTH_NEGOTIATE;
    case HttpAuthScheme::kAny:
      return CURLAUTH_ANY;
    case HttpAuthScheme::kNone:
    case HttpAuthScheme::kBasic:
      break;
  }
  return CURLAUTH_BASIC;
}

// Failures that the other scheme (HTTPS or plain) cannot mend.
bool SchemeIndependent(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_URL_MALFORMAT:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_FAILED_INIT:
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
      return true;
    default:
      return false;
  }
}

}  // namespace

struct CHttpSender::Handles {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  char error[CURL_ERROR_SIZE] = {};

  ~Handles() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
  }
};

std::unique_ptr<CHttpSender> CHttpSender::Create(DeviceInfo device, const Clock& clock) {
  static std::once_flag globalInit;
  static CURLcode globalResult = CURLE_OK;
  std::call_once(globalInit, [] { globalResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (globalResult != CURLE_OK) return nullptr;
  auto handles = std::make_unique<Handles>();
  handles->multi = curl_multi_init();
  handles->easy = curl_easy_init();
  if (handles->multi == nullptr || handles->easy == nullptr) return nullptr;
  std::unique_ptr<CHttpSender> sender(new CHttpSender(std::move(device), clock, std::move(handles)));

  CURL* easy = sender->handles_->easy;
  const DeviceInfo& info = sender->device_;
  bool ok = curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_USERAGENT, "Korvane::HttpSender") == CURLE_OK;
  // No proxy, whatever the environment says: devices sit on the local network.
  ok = ok && curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (!info.caFile.empty()) ok = ok && curl_easy_setopt(easy, CURLOPT_CAINFO, info.caFile.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(info.timeout.count())) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, sender->handles_->error) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CHttpSender::OnHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERDATA, sender.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CHttpSender::OnWrite) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, sender.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CHttpSender::OnProgress) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_XFERINFODATA, sender.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  if (!ok) return nullptr;
  return sender;
}

CHttpSender::CHttpSender(DeviceInfo device, const Clock& clock, std::unique_ptr<Handles> handles)
    : device_(std::move(device)),
      clock_(clock),
      handles_(std::move(handles)),
      secure_(device_.port == device_.securePort) {}

CHttpSender::~CHttpSender() = default;

CHttpSender::Result CHttpSender::Send(const HttpRequest& request, IHttpResponseSink& sink) {
  cancelled_ = false;
  sink_ = &sink;
  const Result result = SendOnce(request);
  sink_ = nullptr;
  return result;
}

CHttpSender::Result CHttpSender::SendOnce(const HttpRequest& request) {
  Attempt attempt = RunAttempt(request);
  if (attempt == Attempt::kOtherSchemeMayWork) {
    secure_ = !secure_;
    attempt = RunAttempt(request);
    // Keep the scheme that worked; after two failures the port decides again.
    if (attempt == Attempt::kOtherSchemeMayWork || attempt == Attempt::kFailed) secure_ = !secure_;
  }
  switch (attempt) {
    case Attempt::kOk:
      return Result::kOk;
    case Attempt::kBodyFailed:
      return Result::kBodyFailed;
    case Attempt::kCancelled:
      return Result::kCancelled;
    case Attempt::kRepeatWithLearntScheme:
      // The learnt scheme is set now, so a second 401 is not repeated again.
      return SendOnce(request);
    case Attempt::kOtherSchemeMayWork:
    case Attempt::kFailed:
      break;
  }
  return Result::kNoResponse;
}

CHttpSender::Attempt CHttpSender::RunAttempt(const HttpRequest& request) {
  status_ = 0;
  contentLength_ = -1;
  errorText_.clear();
  systemError_ = 0;
  decided_ = false;
  delivering_ = false;
  challenge_ = HttpAuthScheme::kNone;
  challengeSeen_ = false;
  uploaded_ = 0;
  handles_->error[0] = '\0';
  tried_ = learnt_ != HttpAuthScheme::kNone ? learnt_ : request.auth;
  learning_ = learnt_ == HttpAuthScheme::kNone;
  if (!Configure(request)) {
    errorText_ = "the request could not be set up";
    return Attempt::kFailed;
  }

  const auto code = static_cast<CURLcode>(Transfer());
  if (cancelled_) {
    errorText_ = "cancelled";
    return Attempt::kCancelled;
  }
  CURL* easy = handles_->easy;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  // A response whose body never started (or was empty) is decided here.
  if (!decided_ && status > 0) DecideResponse();
  status_ = status;
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) contentLength_ = length;
  if (code != CURLE_OK) {
    errorText_ = handles_->error[0] != '\0' ? handles_->error : curl_easy_strerror(code);
    long osError = 0;
    if (curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError) == CURLE_OK) systemError_ = static_cast<int>(osError);
  }

  if (decided_ && delivering_) return code == CURLE_OK ? Attempt::kOk : Attempt::kBodyFailed;
  if (decided_) {
    // A 401 before any scheme was learnt: its body is not the answer.
    learnt_ = challenge_;
    if (errorText_.empty()) errorText_ = "HTTP status 401";
    const bool canRepeat = !device_.user.empty() && learnt_ != HttpAuthScheme::kNone && learnt_ != tried_;
    return canRepeat ? Attempt::kRepeatWithLearntScheme : Attempt::kFailed;
  }
  return SchemeIndependent(code) ? Attempt::kFailed : Attempt::kOtherSchemeMayWork;
}

bool CHttpSender::Configure(const HttpRequest& request) {
  CURL* easy = handles_->easy;
  curl_slist_free_all(handles_->headers);
  handles_->headers = nullptr;
  for (const std::string& line : request.headers) {
    curl_slist* extended = curl_slist_append(handles_->headers, line.c_str());
    if (extended == nullptr) return false;
    handles_->headers = extended;
  }
  const std::string url = Url(request);
  bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, handles_->headers) == CURLE_OK;
  if (request.method == "GET") {
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr) == CURLE_OK;
  } else {
    ok = ok &&
         curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.body.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST,
                                request.method == "POST" ? nullptr : request.method.c_str()) == CURLE_OK;
  }
  if (device_.user.empty()) {
    ok = ok && curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr) == CURLE_OK;
  } else {
    ok = ok && curl_easy_setopt(easy, CURLOPT_USERNAME, device_.user.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PASSWORD, device_.password.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CurlAuth(tried_)) == CURLE_OK;
  }
  return ok;
}

std::string CHttpSender::Url(const HttpRequest& request) const {
  std::string url = secure_ ? "https://" : "http://";
  const bool ipv6 = device_.address.find(':') != std::string::npos && device_.address.front() != '[';
  url += ipv6 ? "[" + device_.address + "]" : device_.address;
  url += ':' + std::to_string(device_.port);
  if (request.path.empty() || request.path.front() != '/') url += '/';
  url += request.path;
  return url;
}

int CHttpSender::Transfer() {
  CURLM* multi = handles_->multi;
  CURL* easy = handles_->easy;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_FAILED_INIT;
  lastActivity_ = clock_.Now();
  CURLcode result = CURLE_OK;
  while (true) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    bool finished = false;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        result = message->data.result;
        finished = true;
      }
    }
    if (finished || running == 0 || cancelled_) break;
    if (cancelCheck_ && cancelCheck_()) {
      cancelled_ = true;
      break;
    }
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - lastActivity_);
    if (idle >= device_.timeout) {
      result = CURLE_OPERATION_TIMEDOUT;
      std::snprintf(handles_->error, sizeof handles_->error, "nothing received for %lld ms",
                    static_cast<long long>(idle.count()));
      break;
    }
    const auto slice = cancelCheck_ ? kCancelCheckInterval : kLongestWait;
    const auto wait = std::min<std::chrono::milliseconds>(device_.timeout - idle, slice);
    curl_waitfd stop{stopFd_, CURL_WAIT_POLLIN, 0};
    const unsigned extra = stopFd_ >= 0 ? 1 : 0;
    curl_multi_poll(multi, extra != 0 ? &stop : nullptr, extra, static_cast<int>(wait.count()), nullptr);
    if (extra != 0 && (stop.revents & CURL_WAIT_POLLIN) != 0) {
      cancelled_ = true;
      break;
    }
  }
  // Removing an unfinished transfer aborts it and drops its connection.
  curl_multi_remove_handle(multi, easy);
  return result;
}

void CHttpSender::DecideResponse() {
  decided_ = true;
  long status = 0;
  curl_easy_getinfo(handles_->easy, CURLINFO_RESPONSE_CODE, &status);
  if (status == 401 && learning_) return;
  delivering_ = true;
  if (sink_ != nullptr) sink_->OnResponse(status);
}

size_t CHttpSender::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* sender = static_cast<CHttpSender*>(self);
  const std::string_view line(data, size * count);
  sender->lastActivity_ = sender->clock_.Now();
  if (StartsWithIgnoreCase(line, "http/")) {
    // A new response (after a 100 Continue or an answered challenge): its own challenges count.
    sender->challengeSeen_ = false;
    sender->challenge_ = HttpAuthScheme::kNone;
  } else if (!sender->challengeSeen_ && StartsWithIgnoreCase(line, "www-authenticate:")) {
    sender->challengeSeen_ = true;
    sender->challenge_ = ChallengeScheme(line.substr(17));
  }
  return size * count;
}

size_t CHttpSender::OnWrite(char* data, size_t size, size_t count, void* self) {
  auto* sender = static_cast<CHttpSender*>(self);
  const size_t length = size * count;
  sender->lastActivity_ = sender->clock_.Now();
  if (!sender->decided_) sender->DecideResponse();
  if (!sender->delivering_ || sender->sink_ == nullptr) return length;
  if (!sender->sink_->OnBody(std::string_view(data, length))) {
    sender->cancelled_ = true;
    return 0;
  }
  return length;
}

int CHttpSender::OnProgress(void* self, int64_t, int64_t, int64_t, int64_t uploaded) {
  auto* sender = static_cast<CHttpSender*>(self);
  if (uploaded != sender->uploaded_) {
    sender->uploaded_ = uploaded;
    sender->lastActivity_ = sender->clock_.Now();
  }
  return 0;
}

}  // namespace korvane::Web
