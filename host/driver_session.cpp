#include "host/driver_session.h"

#include <cstdio>
#include <vector>

#include "host/commands.h"

namespace korvane::host {
namespace {

// Upper bounds for the numbered queries, so a driver that never answers
// "no more" cannot keep the host looping.
constexpr int32_t kMaxParameters = 1000;
constexpr int32_t kMaxNames = 100000;

}  // namespace

std::map<int32_t, std::string> ParameterDefaults(const DriverLibrary& library, const std::string& model) {
  std::map<int32_t, std::string> defaults;
  for (int32_t number = 1; number <= kMaxParameters; ++number) {
    ParameterInfo info{};
    if (library.getParameterType(model.c_str(), number, &info) == 0) break;
    info.defaultValue[sizeof info.defaultValue - 1] = '\0';
    defaults[number] = info.defaultValue;
  }
  return defaults;
}

void ReadRegisteredNames(IDataAPI& driver, std::vector<std::string>& events, std::vector<RegisteredTag>& tags) {
  for (int32_t id = 1; id <= kMaxNames; ++id) {
    const char* name = driver.GetEventName(id);
    if (name == nullptr) break;
    events.emplace_back(name);
  }
  for (int32_t index = 1; index <= kMaxNames; ++index) {
    int32_t id = 0;
    const char* name = driver.GetSearchTagName(index, &id);
    if (name == nullptr) break;
    tags.push_back({id, name});
  }
}

std::map<int32_t, std::string> ParameterValues(const DriverLibrary& library, const std::string& model,
                                               const std::map<int32_t, std::string>& given) {
  std::map<int32_t, std::string> values = ParameterDefaults(library, model);
  if (values.empty()) return values;  // a model the driver does not know
  for (const auto& [number, value] : given) values[number] = value;
  return values;
}

DriverSession::~DriverSession() {
  if (driver_ != nullptr) Shutdown(false);
}

bool DriverSession::Create() {
  driver_ = library_.createDriver();
  return driver_ != nullptr;
}

bool DriverSession::Open(HostCallback& callback, HostSettings& settings, bool plainOpen) {
  IDataCallback* face = &callback;
  const bool opened = plainOpen ? driver_->Open(face, &settings) : driver_->OpenEx(face, &settings);
  std::vector<std::string> events;
  std::vector<RegisteredTag> tags;
  if (opened) ReadRegisteredNames(*driver_, events, tags);
  output_.Write(format_.Opened(opened, events, tags));
  return opened;
}

bool DriverSession::Start() {
  started_ = true;
  const bool ok = driver_->StartChannel(0, 0);
  output_.Write(format_.Started(ok));
  return ok;
}

int DriverSession::Begin(HostCallback& callback, HostSettings& settings, bool plainOpen) {
  if (!Create()) {
    std::fprintf(stderr, "kestrel-host: the driver library gave no driver object\n");
    return kExitFailure;
  }
  if (!Open(callback, settings, plainOpen)) {
    Shutdown(false);
    return kExitOpenFailed;
  }
  if (!Start()) {
    Shutdown(true);
    return kExitOpenFailed;
  }
  return kExitOk;
}

void DriverSession::Shutdown(bool printClosed) {
  if (driver_ == nullptr) return;
  if (started_) driver_->StopChannel(0);
  started_ = false;
  driver_->Close();
  library_.releaseDriver(&driver_);
  driver_ = nullptr;
  if (printClosed) output_.Write(format_.Closed());
}

}  // namespace korvane::host
