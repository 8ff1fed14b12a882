// What both mappers share: the message-type definition for the XML paths, the
// schema for XML validation, and the small steps of reporting.
#pragma once

#include <cstdint>
#include <string>

#include "driver/common/driver_interfaces.h"
#include "driver/validation/mapper_interface.h"

namespace korvane {

class CSearchData;
class CXMLParser;

/// The "Send the End event after N seconds" delay; 0 (no End events) when
/// unset or negative.
int32_t EndEventSeconds(IDriver& driver);

/// Lower-cases ASCII letters only, as the C locale's tolower does.
std::string AsciiLower(std::string_view text);

class CMapperBase : public IMapper {
 public:
  CMapperBase(IDataValidator& validator, IDriver& driver, IDebug& logger);

  void Uninitialize() override {}
  std::string ValidateXml(const std::string& data, std::string& error) override;
  const MessageTypeDefinition& GetMessageType() const override { return messageType_; }

 protected:
  /// Reads the message and parameter XPaths for `type` from a loaded
  /// configuration. False when no parameter is configured.
  bool ReadMessageType(CXMLParser& config, int32_t type);
  /// Reads root/validation/xsd and the schema's target namespace.
  void ReadSchema(CXMLParser& config);
  /// Channel (from 1) named by attribute "c" of korvanemetadata/video in the
  /// record's data, else the record's channel plus one.
  static int32_t MetadataChannelFromData(const ChannelData& record);
  /// The record's search data as the driver's own object, or null.
  static CSearchData* SearchDataOf(const ChannelData& record);
  enum class TagEntries { kFirst, kEvery };
  /// Attaches `value` to the record's search data under the entries of the
  /// driver's search-tag list named `tagName`, each with its 1-based position
  /// as the id: the first such entry only, or every one (expanded rules
  /// register one name several times, and a host may look up any of them).
  void AttachSearchTag(const ChannelData& record, const std::string& tagName, const std::string& value,
                       TagEntries entries);
  /// Reports the event `name` when the event storage knows it.
  void ReportNamedEvent(const std::string& name, const ChannelData& record);
  /// Sends the whole block to the host as text.
  void ReportBlock(const ChannelData& record);

  IDataValidator& validator_;
  IDriver& driver_;
  IDebug& logger_;
  MessageTypeDefinition messageType_;
  /// Number of message-type parameter entries read (also empty ones).
  int32_t messageTypeParamCount_ = 0;
  std::string schemaFile_;
  std::string targetNamespace_;
};

}  // namespace korvane
