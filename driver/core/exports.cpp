// C exports of libKestrelDriver.so. The library is linked with
// --exclude-libs, so these are its only visible symbols.
#include "kestrel/exports.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "driver/core/exception_firewall.h"
#include "driver/core/kestrel_driver.h"
#include "driver/core/parameters.h"
#include "driver/support/message_trace.h"

#define KESTREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using korvane::drivers::CKestrelDriverParameters;
using korvane::drivers::ParameterDescriptor;

// A lambda keeps the guard's instantiations local to this file, so nothing
// but the exports below becomes visible.
constexpr auto IgnoreError = [](const char*) {};

/// Copies at most `capacity - 1` bytes of `text` and terminates.
void CopyCut(char* target, size_t capacity, const std::string& text) {
  const size_t length = text.size() < capacity ? text.size() : capacity - 1;
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

const ParameterDescriptor* FindParameter(const char* model, int32_t number) {
  if (model == nullptr) return nullptr;
  const auto* parameters = CKestrelDriverParameters::Instance().FindModel(model);
  return parameters != nullptr ? parameters->Find(number) : nullptr;
}

/// Hands a message trace to a host's note function as C strings.
class SampleNotes final : public korvane::MessageTrace {
 public:
  SampleNotes(KestrelSampleNote note, void* context) : note_(note), context_(context) {}
  void Message(std::string_view text) override { Note(0, text); }
  void Step(std::string_view text) override { Note(1, text); }

 private:
  void Note(int32_t kind, std::string_view text) {
    text_.assign(text);
    note_(context_, kind, text_.c_str());
  }
  KestrelSampleNote note_;
  void* context_;
  std::string text_;
};

korvane::IDataAPIEx* NewDriver() {
  return korvane::CallGuarded(
      static_cast<korvane::IDataAPIEx*>(nullptr),
      []() -> korvane::IDataAPIEx* { return new (std::nothrow) korvane::CKestrelDriver(); }, IgnoreError);
}

void DeleteDriver(korvane::IDataAPIEx** driver) {
  korvane::CallGuardedVoid(
      [driver] {
        if (driver == nullptr) return;
        korvane::IDataAPIEx* object = *driver;
        *driver = nullptr;
        delete object;
      },
      IgnoreError);
}

}  // namespace

KESTREL_EXPORT korvane::IDataAPIEx* CreateDriver() { return NewDriver(); }

KESTREL_EXPORT korvane::IDataAPIEx* CreateDriverEx() { return NewDriver(); }

KESTREL_EXPORT void ReleaseDriver(korvane::IDataAPIEx** driver) { DeleteDriver(driver); }

KESTREL_EXPORT void ReleaseDriverEx(korvane::IDataAPIEx** driver) { DeleteDriver(driver); }

KESTREL_EXPORT int32_t DriverSupportsMultipleInstances() { return 1; }

KESTREL_EXPORT int32_t GetParameterType(const char* model, int32_t number, korvane::ParameterInfo* info) {
  return korvane::CallGuarded(
      0,
      [&] {
        const ParameterDescriptor* parameter = FindParameter(model, number);
        if (parameter == nullptr || info == nullptr) return 0;
        CopyCut(info->label, sizeof info->label, parameter->label);
        info->type = parameter->type;
        info->flag = parameter->flag;
        CopyCut(info->defaultValue, sizeof info->defaultValue, parameter->defaultValue);
        return 1;
      },
      IgnoreError);
}

KESTREL_EXPORT int32_t GetParameterValue(const char* model, int32_t number, int32_t choice, char* text) {
  return korvane::CallGuarded(
      0,
      [&] {
        const ParameterDescriptor* parameter = FindParameter(model, number);
        if (parameter == nullptr || text == nullptr) return 0;
        const auto it = parameter->values.find(choice);
        if (it == parameter->values.end()) return 0;
        CopyCut(text, 256, it->second);
        return 1;
      },
      IgnoreError);
}

KESTREL_EXPORT int32_t KestrelCheckSample(korvane::IDataAPIEx* driver, const char* data, int32_t length,
                                          KestrelSampleNote note, void* context) {
  return korvane::CallGuarded(
      0,
      [&] {
        auto* kestrel = dynamic_cast<korvane::CKestrelDriver*>(driver);
        if (kestrel == nullptr || note == nullptr || (data == nullptr && length > 0) || length < 0) return 0;
        SampleNotes notes(note, context);
        return kestrel->PlaySample(std::string_view(data != nullptr ? data : "", static_cast<size_t>(length)), notes)
                   ? 1
                   : 0;
      },
      IgnoreError);
}

KESTREL_EXPORT int32_t GetChannelParameterType(const char*, int32_t, korvane::ParameterInfo*) { return 0; }

KESTREL_EXPORT int32_t GetChannelParameterValue(const char*, int32_t, int32_t, char*) { return 0; }
