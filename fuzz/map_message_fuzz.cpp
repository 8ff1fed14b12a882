// Maps arbitrary text as a uniform message through both mappers, on both the
// text path and the XML path, against a small rule set with every operator.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/common/event_storage.h"
#include "driver/common/search_data.h"
#include "driver/validation/mapper.h"
#include "driver/validation/mapper_old.h"
#include "tests/support/null_fakes.h"

namespace {

using namespace korvane;

constexpr const char* kRules = R"(<root><kslXmlMapper version="2">
  <messageType><message>/a/@v</message><param value="/a/b"/><param value="/a/c"/></messageType>
  <constants><array name="NN"><min>1</min><max>3</max></array></constants>
  <rules>
    <message number="1" value="Sale" alwaysShowText="yes" handleParameters="all">
      <param reference="1" operator="gt" value="NN" type="integer"><or reference="2" value="x" operator="contains"/>
        <action type="event" value="E NN"/><searchtag type="1" value="T"/></param>
      <param reference="2" operator="le" value="2.5" type="float"><action type="metadata" value=""/></param>
      <param reference="2" operator="neq" value="q"><and reference="1" operator="ge" value="0"/>
        <action type="text" value="raw"/></param>
    </message>
  </rules></kslXmlMapper></root>)";

constexpr const char* kLegacyRules = R"(<root><kslXmlMapper>
  <messageType><message>/a/@v</message><param value="/a/b"/><param value="/a/c"/></messageType>
  <rules><message number="1" value="Sale">
    <param number="1" reference="1" value="5" operator="ge"><and number="1" reference="2" value="x"/>
      <action number="1" type="event" value="E"/><action number="2" type="metadata" value=""/>
      <searchtag value="T"/></param>
    <param number="2" reference="*" value=""><searchtag value="T"/></param>
  </message></rules></kslXmlMapper></root>)";

using testing::NullDebug;
using testing::NullHost;

class Driver : public IDriver, public IDataValidator {
 public:
  IDataCallback* GetCallback() override { return &host_; }
  IDataCallback* GetCallbackEx() override { return &host_; }
  DeviceEndpoint GetDeviceEndpoint() override { return {}; }
  CEventStorage* GetEventStorage() override { return &events_; }
  SearchTagList* GetSearchTags() override { return &tags_; }
  void IsCaseSensitive(bool* out) override { *out = false; }
  void ReportMetadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* text,
                      int32_t length) override {
    host_.OnMetadata(kind, channel, format, time, text, length);
  }
  void ReportData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* text,
                  int32_t length, int32_t reserved, const char* encoding) override {
    host_.OnData(channel, searchData, source, sourceLength, text, length, reserved, encoding);
  }
  void ReportEvent(uint8_t channel, int32_t number, ISearchData* searchData, const char* source, int32_t sourceLength,
                   const char* text, int32_t length, int32_t reserved) override {
    host_.OnEvent(channel, number, searchData, source, sourceLength, text, length, reserved, "utf-8");
  }

 private:
  NullHost host_;
  CEventStorage events_;
  SearchTagList tags_;
};

struct Mappers {
  Mappers() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kestrel_map_message_fuzz";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "rules.xml", std::ios::trunc) << kRules;
    std::ofstream(dir / "legacy.xml", std::ios::trunc) << kLegacyRules;
    setenv("KESTREL_HOST_DIR", dir.c_str(), 1);
    mapper.Initialize(kValidationXsd, "rules.xml");
    legacy.Initialize(kValidationXsd, "legacy.xml");
  }
  NullDebug debug;
  Driver driver;
  CMapper mapper{driver, driver, debug};
  CMapperOld legacy{driver, driver, debug};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Mappers mappers;
  const std::string message(reinterpret_cast<const char*>(data), size);
  CSearchData searchData;
  ChannelData record;
  record.searchData = &searchData;
  record.data = message.data();
  record.dataLength = static_cast<int32_t>(message.size());
  for (const bool textPath : {true, false}) {
    mappers.mapper.MapMessage(textPath, message, record);
    mappers.legacy.MapMessage(textPath, message, record);
  }
  return 0;
}
