#include "driver/validation/mapper_base.h"

#include "driver/common/event_storage.h"
#include "driver/common/search_data.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {

int32_t EndEventSeconds(IDriver& driver) {
  CEventStorage* storage = driver.GetEventStorage();
  if (storage == nullptr) return 0;
  const int32_t seconds = storage->GetEndEventSeconds();
  return seconds > 0 ? seconds : 0;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

CMapperBase::CMapperBase(IDataValidator& validator, IDriver& driver, IDebug& logger)
    : validator_(validator), driver_(driver), logger_(logger) {}

std::string CMapperBase::ValidateXml(const std::string& data, std::string& error) {
  return CXMLParser::XSDValidateW(data, schemaFile_, targetNamespace_, error);
}

bool CMapperBase::ReadMessageType(CXMLParser& config, int32_t type) {
  messageType_ = MessageTypeDefinition{};
  std::vector<std::string> params;
  if (type == kValidationXsd || type == kValidationCustom) {
    messageType_.messageXPath = config.GetNodeTextW("root/kslXmlMapper/messageType/message");
    params = config.GetAttributeListW("root/kslXmlMapper/messageType/param", "value");
  } else if (type == kValidationText) {
    // Only checked for presence: the text path reads its definitions itself.
    params = config.GetAttributeListW("root/kslXmlMapper/messageType/message/param", "value");
  } else {
    params = config.GetAttributeListW("root/kslXmlMapper/messageType/param", "value");
  }
  messageTypeParamCount_ = static_cast<int32_t>(params.size());
  int32_t number = 0;
  for (std::string& xpath : params) {
    ++number;
    if (!xpath.empty()) messageType_.paramXPaths[number] = std::move(xpath);
  }
  return !messageType_.paramXPaths.empty();
}

void CMapperBase::ReadSchema(CXMLParser& config) {
  schemaFile_ = config.GetAttributeW("root/validation/xsd", "value");
  targetNamespace_.clear();
  if (schemaFile_.empty()) return;
  CXMLParser schema;
  if (schema.LoadFile(schemaFile_, "xmlns:xs='http://www.w3.org/2001/XMLSchema'")) {
    targetNamespace_ = schema.GetAttributeW("xs:schema", "targetNamespace");
    schema.Close();
  }
}

int32_t CMapperBase::MetadataChannelFromData(const ChannelData& record) {
  if (record.data != nullptr && record.dataLength > 0) {
    CXMLParser document;
    // Decoding and encoding again turns invalid UTF-8 into replacement characters.
    const std::string text = CleanUtf8(std::string_view(record.data, static_cast<size_t>(record.dataLength)));
    if (document.LoadXml(text)) {
      int32_t channel = 0;
      if (ParseInt(document.GetAttributeW("korvanemetadata/video", "c"), channel)) return channel;
    }
  }
  return static_cast<int32_t>(record.channel) + 1;
}

CSearchData* CMapperBase::SearchDataOf(const ChannelData& record) {
  return dynamic_cast<CSearchData*>(record.searchData);
}

void CMapperBase::AttachSearchTag(const ChannelData& record, const std::string& tagName, const std::string& value,
                                  TagEntries entries) {
  if (tagName.empty()) return;
  CSearchData* searchData = SearchDataOf(record);
  if (searchData == nullptr) return;
  const SearchTagList& tags = *driver_.GetSearchTags();
  for (size_t k = 0; k < tags.size(); ++k) {
    if (tags[k].name != tagName) continue;
    searchData->AddSearchTag(value.c_str(), static_cast<int32_t>(k + 1));
    if (entries == TagEntries::kFirst) return;
  }
}

void CMapperBase::ReportNamedEvent(const std::string& name, const ChannelData& record) {
  CEventStorage* storage = driver_.GetEventStorage();
  if (storage == nullptr) return;
  const int32_t number = storage->FindEvent(name);
  const char* text = storage->GetEventText(number);
  if (text == nullptr) return;
  validator_.ReportEvent(record.channel, number, record.searchData, record.source, record.sourceLength, text,
                         storage->GetEventTextSize(number) - 1, record.reserved);
}

void CMapperBase::ReportBlock(const ChannelData& record) {
  validator_.ReportData(record.channel, record.searchData, record.source, record.sourceLength, record.data,
                        record.dataLength, record.reserved, "utf-8");
}

}  // namespace korvane
