// DoorLine: a minimal Kestrel validator plug-in. A door controller sends one
// line per change, "DOOR <number> OPEN" or "DOOR <number> CLOSED"; each becomes
//   <Door><Number>3</Number><State>OPEN</State></Door>
// for the driver's mapper. Anything else is refused with a reason.
#include <kestrel/validator_api.h>

#include <cstring>
#include <new>
#include <string>

namespace {

class DoorLine final : public korvane::IKSLDataValidatorAPI {
 public:
  bool Open(korvane::IKSLDataValidatorAPIUser* user, const korvane::DeviceEndpoint*) override {
    user_ = user;
    if (user_ != nullptr) user_->Log(0, "DoorLine ready");
    return true;
  }
  bool Close() override {
    user_ = nullptr;
    return true;
  }
  bool Validate(const uint8_t* data, uint32_t length, char* output, uint32_t* outputLength, uint32_t* count) override {
    if (output == nullptr || outputLength == nullptr || count == nullptr) return false;
    *count = 0;
    std::string number;
    std::string state;
    const std::string line(reinterpret_cast<const char*>(data), data != nullptr ? length : 0);
    if (!Parse(line, number, state)) {
      // The failure text the driver logs.
      Answer("not a DOOR <number> OPEN|CLOSED line", output, outputLength);
      return false;
    }
    if (!Answer("<Door><Number>" + number + "</Number><State>" + state + "</State></Door>", output, outputLength)) {
      return false;
    }
    *count = 1;
    return true;
  }
  void Reset() override {}

 private:
  // "DOOR", a number of one to four digits, "OPEN" or "CLOSED", single spaces.
  static bool Parse(const std::string& line, std::string& number, std::string& state) {
    if (line.rfind("DOOR ", 0) != 0) return false;
    const size_t space = line.find(' ', 5);
    if (space == std::string::npos) return false;
    number = line.substr(5, space - 5);
    state = line.substr(space + 1);
    if (number.empty() || number.size() > 4) return false;
    for (const char c : number) {
      if (c < '0' || c > '9') return false;
    }
    return state == "OPEN" || state == "CLOSED";
  }

  // Writes `text` and its zero byte when they fit the driver's buffer.
  static bool Answer(const std::string& text, char* output, uint32_t* outputLength) {
    if (text.size() >= *outputLength) {
      *outputLength = 0;
      if (output != nullptr) *output = '\0';
      return false;
    }
    std::memcpy(output, text.c_str(), text.size() + 1);
    *outputLength = static_cast<uint32_t>(text.size());
    return true;
  }

  korvane::IKSLDataValidatorAPIUser* user_ = nullptr;
};

}  // namespace

// No exception may leave the library: new(std::nothrow) answers null instead.
extern "C" __attribute__((visibility("default"))) korvane::IKSLDataValidatorAPI* CreateDriver() {
  return new (std::nothrow) DoorLine();
}

extern "C" __attribute__((visibility("default"))) bool ReleaseDriver(korvane::IKSLDataValidatorAPI** api) {
  if (api == nullptr || *api == nullptr) return false;
  delete *api;
  *api = nullptr;
  return true;
}

extern "C" __attribute__((visibility("default"))) const char* KestrelProductVersion() { return DOOR_LINE_VERSION; }
