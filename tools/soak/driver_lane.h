// One driver object of one model as the host holds it: its numbered
// parameters, the callback object that checks every message it delivers, its
// configuration file, and the host's calls on it, timed.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/driver_loader.h"
#include "kestrel/data_api.h"
#include "kestrel/data_callback.h"
#include "kestrel/driver_settings.h"
#include "tools/soak/accounting.h"
#include "tools/soak/message_text.h"

namespace korvane::soak {

struct LaneSetup {
  std::string label;  ///< the lane's name in messages and in the report (no spaces)
  std::string model;
  std::map<int32_t, std::string> parameters;
  Wire wire = Wire::kLine;
  /// Two equivalent versions of the configuration file (`label`.xml in the
  /// host directory), which the chaos thread swaps while data flows.
  std::array<std::string, 2> configText;
  /// Only delivered and garbled messages are checked (a transport whose
  /// peer numbers the messages itself and may drop them).
  bool countOnly = false;
  /// For countOnly lanes: whether a delivered text is valid.
  std::function<bool(std::string_view)> validText;
  /// How long a stop waits for what was sent to arrive (shorter where losses are expected).
  std::chrono::milliseconds drainLimit{10000};
};

/// Longest a stop or close may take: the driver's stated bound and a margin.
inline constexpr std::chrono::milliseconds kCallBound{5500};

class Lane final : public IDataCallbackEx, public IDriverSettings {
 public:
  Lane(const host::DriverLibrary& library, LaneSetup setup, const std::filesystem::path& hostDirectory);
  ~Lane() override;
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  // --- the host's calls (one thread at a time: main or chaos) ---
  bool Open();
  bool Start();
  /// Closes the run window, waits until what was sent has arrived, stops.
  void Stop();
  void Close();
  /// Writes version `variant` (0 or 1) of the configuration file.
  void WriteConfiguration(int variant);
  /// Closes the run window and waits until what was sent has arrived; false after the wait limit.
  bool Quiet();
  /// Called in Stop once the window is quiet, before the channel stops.
  void BeforeStop(std::function<void()> hook) { beforeStop_ = std::move(hook); }

  const LaneSetup& Setup() const { return setup_; }
  Accounting& Books() { return accounting_; }
  RunWindow& Window() { return window_; }
  bool Running() const { return running_; }

  struct Calls {
    uint64_t opens = 0, openFailures = 0, starts = 0, startFailures = 0, stops = 0, closes = 0;
    uint64_t drainTimeouts = 0, errorLogs = 0, openFailedCallbacks = 0, countOnlyDelivered = 0;
    std::chrono::milliseconds longestStop{0}, longestClose{0};
  };
  Calls CallFigures() const;
  /// The first distinct error lines the driver logged.
  std::vector<std::string> ErrorSamples() const;

  // --- IDriverSettings ---
  const char* GetParameter(int32_t index) override;
  const char* GetModel() override { return setup_.model.c_str(); }

  // --- IDataCallbackEx: driver threads ---
  void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
              int32_t dataLength, int32_t reserved, const char* encoding) override;
  void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source, int32_t sourceLength,
               const char* eventText, int32_t eventTextLength, int32_t reserved, const char* encoding) override;
  void OnClearScreen(uint8_t, ISearchData*, const char*, int32_t, int32_t) override {}
  void OnNotify(int32_t) override {}
  void OnLog(int32_t severity, const char* text) override;
  void OnOpenFailed(int32_t) override { ++openFailedCallbacks_; }
  void OnMetadata(int32_t, int32_t, int32_t, const SYSTEMTIME*, const char*, int32_t) override {}

 private:
  void Receive(std::string_view text);

  const host::DriverLibrary& library_;
  const LaneSetup setup_;
  const std::filesystem::path configPath_;
  IDataAPIEx* driver_ = nullptr;
  bool open_ = false;
  bool running_ = false;
  Accounting accounting_;
  RunWindow window_;
  Calls calls_;
  std::function<void()> beforeStop_;
  std::atomic<uint64_t> errorLogs_{0};
  std::atomic<uint64_t> openFailedCallbacks_{0};
  std::atomic<uint64_t> countOnlyDelivered_{0};
  mutable std::mutex logMutex_;
  std::vector<std::string> errorSamples_;
};

}  // namespace korvane::soak
