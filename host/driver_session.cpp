#include "host/driver_session.h"

#include <vector>

#include "host/json_writer.h"

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
  JsonObject line;
  line.AddText("type", "opened").AddBool("ok", opened);
  if (opened) {
    std::vector<std::string> events;
    for (int32_t id = 1; id <= kMaxNames; ++id) {
      const char* name = driver_->GetEventName(id);
      if (name == nullptr) break;
      events.emplace_back(name);
    }
    line.AddTextArray("events", events);
    JsonArray tags;
    for (int32_t index = 1; index <= kMaxNames; ++index) {
      int32_t id = 0;
      const char* name = driver_->GetSearchTagName(index, &id);
      if (name == nullptr) break;
      tags.Add(JsonObject().AddInt("id", id).AddText("name", name));
    }
    line.AddArray("searchTags", tags);
  }
  output_.Write(line.str());
  return opened;
}

bool DriverSession::Start() {
  started_ = true;
  const bool ok = driver_->StartChannel(0, 0);
  output_.Write(JsonObject().AddText("type", "started").AddBool("ok", ok).str());
  return ok;
}

void DriverSession::Shutdown(bool printClosed) {
  if (driver_ == nullptr) return;
  if (started_) driver_->StopChannel(0);
  started_ = false;
  driver_->Close();
  library_.releaseDriver(&driver_);
  driver_ = nullptr;
  if (printClosed) output_.Write(JsonObject().AddText("type", "closed").str());
}

}  // namespace korvane::host
