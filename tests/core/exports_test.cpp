#include "kestrel/exports.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/core/parameters.h"

namespace korvane {
namespace {

TEST(ExportsTest, CreateAndReleaseHandleNullPointers) {
  IDataAPIEx* driver = CreateDriver();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->GetInterfaceVersion(), 3);
  EXPECT_TRUE(driver->IsReady());
  ReleaseDriver(&driver);
  EXPECT_EQ(driver, nullptr);
  ReleaseDriver(&driver);  // already null
  ReleaseDriver(nullptr);

  IDataAPIEx* other = CreateDriverEx();
  ASSERT_NE(other, nullptr);
  ReleaseDriverEx(&other);
  EXPECT_EQ(other, nullptr);
  ReleaseDriverEx(nullptr);

  EXPECT_EQ(DriverSupportsMultipleInstances(), 1);
  ParameterInfo info{};
  char text[256] = {};
  EXPECT_EQ(GetChannelParameterType("KestrelTcpModel", 1, &info), 0);
  EXPECT_EQ(GetChannelParameterValue("KestrelTcpModel", 1, 1, text), 0);
}

// Walks every model through the two exports the way a host builds its dialog:
// parameters from 1 until the first gap, choices from 1 until the first 0.
std::string DescribeModel(const char* model) {
  std::string out;
  for (int32_t number = 1;; ++number) {
    ParameterInfo info{};
    if (GetParameterType(model, number, &info) == 0) break;
    EXPECT_EQ(info.flag, 1) << model << " #" << number;
    out += std::to_string(number) + "|" + info.label + "|" + std::to_string(info.type) + "|" + info.defaultValue + "|";
    char text[256];
    for (int32_t choice = 1; GetParameterValue(model, number, choice, text) == 1; ++choice) {
      out += (choice > 1 ? "," : "") + std::string(text);
    }
    out += "\n";
  }
  return out;
}

TEST(ExportsTest, RegistryDescribesEveryModel) {
  const std::string validation = "5|XSD|XSD,Text,Custom,None\n";
  const std::string end = "|Send the \"End\" event after N seconds|0|0|\n";
  const std::string portTail =
      "2|Validation|" + validation + "3|Configuration file|1||\n4|Custom validator|1||\n5" + end;
  const std::pair<const char*, std::string> expected[] = {
      {"KestrelRtspModel",
       "1|Address|1|127.0.0.1|\n2|RTSP Port|0|554|\n3|Username|1||\n4|Password|3||\n"
       "5|Validation|" +
           validation +
           "6|Configuration file|1||\n7|Custom validator|1||\n"
           "8|Session Name|1||\n9" +
           end},
      {"KestrelHttpModel",
       "1|Address|1|127.0.0.1|\n2|HTTP Port|0|80|\n3|Username|1||\n4|Password|3||\n"
       "5|Authentication Scheme|5|Basic|Basic,Digest\n6|Validation|" +
           validation + "7|Configuration file|1||\n8|Custom validator|1||\n9|Uri|1|/korvane/|\n10" + end},
      {"KestrelHttpServerModel", "1|HTTP Server Port|0|8081|\n" + portTail},
      {"KestrelSerialModel",
       "1|Port number|0|1|\n2|Baudrate|0|9600|\n3|Databits|5|8|8\n4|Stopbits|5|1|0,1\n"
       "5|Parity|5|No|No,Odd,Even,Mark,Space\n6|Flow control|5|None|None,XonXoff\n"
       "7|Validation|" +
           validation + "8|Configuration file|1||\n9|Custom validator|1||\n10" + end},
      {"KestrelUdpModel", "1|UDP Port number|0|45000|\n" + portTail},
      {"KestrelTcpModel", "1|TCP Port number|0|40000|\n" + portTail},
      {"KestrelTcpClientModel",
       "1|Address (IP address or hostname)|1|127.0.0.1|\n2|TCP Port number|0|40000|\n"
       "3|Validation|" +
           validation + "4|Configuration file|1||\n5|Custom validator|1||\n6" + end},
      {"KestrelProxyModel",
       "1|Proxy Service|5|AgentViProxy|AgentViProxy,BoschIVAProxy,PaxtonProxy,CanonIVAProxy\n"
       "2|Device Address|1||\n3|Device Port|0||\n4|Username|1||\n5|Password|3||\n"
       "6|Incoming TCP Port|0||\n7|Validation|5|XSD|XSD\n8|Configuration file|1||\n9" +
           end},
      {"KestrelIntrepidProxyModel",
       "1|Network Address|1||\n2|Network Port|0||\n3|Slave Device Address|0||\n"
       "4|Incoming TCP Port|0||\n5|Validation|5|XSD|XSD\n6|Configuration file|1||\n7" +
           end},
  };
  const auto& models = drivers::CKestrelDriverParameters::Instance().GetModels();
  ASSERT_EQ(models.size(), std::size(expected));
  for (size_t i = 0; i < models.size(); ++i) {
    EXPECT_EQ(models[i].GetName(), expected[i].first) << "registry order";
    EXPECT_EQ(DescribeModel(expected[i].first), expected[i].second) << expected[i].first;
  }
}

TEST(ExportsTest, LookupIgnoresCaseAndRefusesWhatDoesNotExist) {
  ParameterInfo info{};
  ASSERT_EQ(GetParameterType("kestreltcpmodel", 1, &info), 1);
  EXPECT_STREQ(info.label, "TCP Port number");
  EXPECT_STREQ(info.defaultValue, "40000");
  EXPECT_EQ(GetParameterType("KestrelTcpModel", 0, &info), 0);
  EXPECT_EQ(GetParameterType("KestrelTcpModel", 6, &info), 0);
  EXPECT_EQ(GetParameterType("NoSuchModel", 1, &info), 0);
  EXPECT_EQ(GetParameterType(nullptr, 1, &info), 0);
  EXPECT_EQ(GetParameterType("KestrelTcpModel", 1, nullptr), 0);

  char text[256] = "unchanged";
  ASSERT_EQ(GetParameterValue("KESTRELSERIALMODEL", 5, 5, text), 1);
  EXPECT_STREQ(text, "Space");
  EXPECT_EQ(GetParameterValue("KestrelSerialModel", 5, 6, text), 0);
  EXPECT_EQ(GetParameterValue("KestrelSerialModel", 5, 0, text), 0);
  for (int32_t choice = 0; choice < 4; ++choice) {
    EXPECT_EQ(GetParameterValue("KestrelSerialModel", 8, choice, text), 0) << "text parameter has no choices";
  }
  EXPECT_EQ(GetParameterValue("KestrelSerialModel", 5, 1, nullptr), 0);
  EXPECT_EQ(GetParameterValue(nullptr, 5, 1, text), 0);
}

}  // namespace
}  // namespace korvane
