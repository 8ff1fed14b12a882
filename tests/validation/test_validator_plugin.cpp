// A validator plug-in for the tests: its answer is chosen by the block it is
// given. Built twice, once without the "ReleaseDriver" export.
#include <cstring>
#include <string>

#include "plugins/common/validator_api.h"

namespace {

using korvane::DeviceEndpoint;
using korvane::IKSLDataValidatorAPI;
using korvane::IKSLDataValidatorAPIUser;

int g_resets = 0;
int g_closes = 0;
int g_alive = 0;

class TestValidator final : public IKSLDataValidatorAPI {
 public:
  TestValidator() { ++g_alive; }
  ~TestValidator() override { --g_alive; }

  bool Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) override {
    user_ = user;
    endpoint_ = endpoint;
    return endpoint == nullptr || endpoint->address != "refuse";
  }
  bool Close() override {
    ++g_closes;
    return true;
  }
  void Reset() override { ++g_resets; }

  bool Validate(const uint8_t* data, uint32_t length, char* output, uint32_t* outputLength, uint32_t* count) override {
    const std::string block(reinterpret_cast<const char*>(data), length);
    std::string answer;
    bool ok = true;
    *count = 1;
    if (block == "multi") {
      answer = "<alarm><zone>1</zone></alarm>[FF][FF]<alarm><zone>2</zone></alarm>";
      *count = 2;
    } else if (block == "empty") {
      answer.clear();
    } else if (block == "fail") {
      answer = "TestValidator: checksum mismatch";
      ok = false;
    } else if (block == "log") {
      user_->Log(1, "device said %s %n");
      answer = "<alarm><zone>9</zone></alarm>";
    } else if (block == "overlong") {
      // Claims more than it was given; the driver must not read past its buffer.
      std::memset(output, 'x', *outputLength);
      *outputLength = 100000;
      return true;
    } else if (block == "endpoint") {
      const std::string seen =
          endpoint_ != nullptr ? endpoint_->address + "," + endpoint_->user + "," + endpoint_->password : "none";
      answer = "<alarm><zone>" + seen + "</zone></alarm>";
    } else {
      answer = "<alarm><zone>" + block + "</zone></alarm>";
    }
    if (answer.size() + 1 > *outputLength) return false;
    std::memcpy(output, answer.c_str(), answer.size() + 1);
    *outputLength = static_cast<uint32_t>(answer.size());
    return ok;
  }

 private:
  IKSLDataValidatorAPIUser* user_ = nullptr;
  const DeviceEndpoint* endpoint_ = nullptr;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) IKSLDataValidatorAPI* CreateDriver() { return new TestValidator(); }

#ifndef KESTREL_TEST_NO_RELEASE
__attribute__((visibility("default"))) bool ReleaseDriver(IKSLDataValidatorAPI** api) {
  if (api == nullptr || *api == nullptr) return false;
  delete *api;
  *api = nullptr;
  return true;
}
#endif

__attribute__((visibility("default"))) const char* KestrelProductVersion() { return "1.2.3.4"; }

// Counters the tests read through dlsym.
__attribute__((visibility("default"))) int TestValidatorResets() { return g_resets; }
__attribute__((visibility("default"))) int TestValidatorCloses() { return g_closes; }
__attribute__((visibility("default"))) int TestValidatorAlive() { return g_alive; }

}  // extern "C"
