// Shared by the validator benchmarks: a driver face with a host that only
// counts, and the example configurations read in place from examples/.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "driver/common/driver_interfaces.h"
#include "driver/common/event_storage.h"
#include "kestrel/data_callback.h"
#include "tests/support/null_fakes.h"

namespace korvane::bench {

/// The repository root (examples/ is read where it stands).
inline std::filesystem::path Repository() { return std::filesystem::path(KESTREL_SOURCE_DIR); }

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Resident set size in KiB.
inline long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class CountingHost : public testing::NullHost {
 public:
  void OnData(uint8_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t, const char*) override {
    ++data;
  }
  void OnEvent(uint8_t, int32_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t,
               const char*) override {
    ++events;
  }
  void OnMetadata(int32_t, int32_t, int32_t, const SYSTEMTIME*, const char*, int32_t) override { ++metadata; }

  std::atomic<uint64_t> data{0};
  std::atomic<uint64_t> events{0};
  std::atomic<uint64_t> metadata{0};
};

class BenchDriver : public IDriver, public IDebug {
 public:
  IDataCallback* GetCallback() override { return &host; }
  IDataCallback* GetCallbackEx() override { return &host; }
  DeviceEndpoint GetDeviceEndpoint() override { return {}; }
  CEventStorage* GetEventStorage() override { return &events; }
  SearchTagList* GetSearchTags() override { return &tags; }
  void IsCaseSensitive(bool* out) override { *out = false; }
  void Log(int32_t, int32_t, const char*, ...) override { ++logLines; }
  void LogPacket(const char*, int32_t) override {}

  CountingHost host;
  CEventStorage events;
  SearchTagList tags;
  std::atomic<uint64_t> logLines{0};
};

/// Points the host directory at the repository, where the examples' file names resolve.
inline void UseRepositoryAsHost() { setenv("KESTREL_HOST_DIR", Repository().c_str(), 1); }

}  // namespace korvane::bench
