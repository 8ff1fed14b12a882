#include "driver/support/clock.h"

#include <ctime>

#include "driver/support/event.h"

namespace korvane {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDifferenceSeconds = 11644473600ULL;

SYSTEMTIME FromTm(const std::tm& tm, long nanoseconds) {
  SYSTEMTIME st{};
  st.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
  st.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
  st.wDay = static_cast<uint16_t>(tm.tm_mday);
  st.wHour = static_cast<uint16_t>(tm.tm_hour);
  st.wMinute = static_cast<uint16_t>(tm.tm_min);
  st.wSecond = static_cast<uint16_t>(tm.tm_sec);
  st.wMilliseconds = static_cast<uint16_t>(nanoseconds / 1000000);
  return st;
}

class RealClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  uint64_t UtcFileTime() const override { return CurrentUtcFileTime(); }
  bool WaitUntil(Event& stop, TimePoint deadline) const override {
    auto now = Now();
    if (deadline <= now) return stop.IsSet();
    return stop.Wait(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
};

}  // namespace

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

SYSTEMTIME CurrentUtcSystemTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // Every delivered message is stamped; the calendar fields change once a
  // second, so each thread keeps the last second's breakdown.
  thread_local time_t cachedSecond = -1;
  thread_local std::tm cachedTm{};
  if (ts.tv_sec != cachedSecond) {
    gmtime_r(&ts.tv_sec, &cachedTm);
    cachedSecond = ts.tv_sec;
  }
  return FromTm(cachedTm, ts.tv_nsec);
}

SYSTEMTIME CurrentLocalSystemTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, ts.tv_nsec);
}

uint64_t CurrentUtcFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<uint64_t>(ts.tv_sec) + kEpochDifferenceSeconds) * 10000000ULL +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

SYSTEMTIME FileTimeToSystemTime(uint64_t fileTime) {
  const uint64_t seconds = fileTime / 10000000ULL;
  const auto remainder = static_cast<long>(fileTime % 10000000ULL);
  const time_t unixSeconds = static_cast<time_t>(seconds) - static_cast<time_t>(kEpochDifferenceSeconds);
  std::tm tm{};
  gmtime_r(&unixSeconds, &tm);
  return FromTm(tm, remainder * 100);
}

}  // namespace korvane
