#include "driver/validation/configuration_snapshot.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/support/event.h"
#include "tests/validation/validation_test_util.h"

namespace korvane::testing {
namespace {

// Wall-clock time set by the test; the source reads nothing else from it.
class WallClock : public Clock {
 public:
  TimePoint Now() const override { return TimePoint(); }
  uint64_t UtcFileTime() const override { return now; }
  bool WaitUntil(Event& stop, TimePoint) const override { return stop.IsSet(); }
  uint64_t now = 0;
};

uint64_t FileTimeOf(int64_t unixNs) { return static_cast<uint64_t>(unixNs / 100) + 116444736000000000ULL; }

class ConfigurationSourceTest : public ValidationTest {
 protected:
  CConfigurationSource MakeSource() {
    return CConfigurationSource(debug, clock,
                                [this](CXMLParser& config, bool, ConfigurationSnapshot&, std::string& reason) {
                                  ++built;
                                  if (config.GetAttributeW("root", "usable") == "no") {
                                    reason = "not usable";
                                    return false;
                                  }
                                  return true;
                                });
  }

  WallClock clock;
  int built = 0;
};

TEST_F(ConfigurationSourceTest, AVersionReadWhileItsFileWasFreshIsReadOnceMoreWhenItSettles) {
  WriteFile("config.xml", "<root/>");
  const int64_t changed = StampOf((Dir() / "config.xml").string()).changedNs;
  clock.now = FileTimeOf(changed);  // the file changed just now: a rewrite in the same clock tick may follow
  CConfigurationSource source = MakeSource();
  std::string reason;
  ASSERT_EQ(source.Load("config.xml", reason), CConfigurationSource::LoadOutcome::kLoaded) << reason;
  const auto first = source.Current();
  EXPECT_EQ(source.LoadCount(), 1u);
  clock.now = FileTimeOf(changed) + 2000000;  // 200 ms later
  const auto second = source.Current();
  EXPECT_NE(second, first);
  EXPECT_EQ(source.Current(), second);
  EXPECT_EQ(source.LoadCount(), 2u);

  // The same for a version that did not load: it is tried once more, then left alone, and said once.
  WriteFile("config.xml", "<root usable='no'/>");
  clock.now = FileTimeOf(StampOf((Dir() / "config.xml").string()).changedNs);
  EXPECT_EQ(source.Current(), second);
  EXPECT_EQ(source.Current(), second);
  EXPECT_EQ(built, 3);
  clock.now += 2000000;
  EXPECT_EQ(source.Current(), second);
  EXPECT_EQ(source.Current(), second);
  EXPECT_EQ(built, 4);
  EXPECT_EQ(debug.Count("Unable to reload the changed XML configuration file (not usable)"), 1u);
}

}  // namespace
}  // namespace korvane::testing
