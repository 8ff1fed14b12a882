// The contract between the data validator and its mapper: the validator's
// outlets to the host (IDataValidator) and the mapper's operations (IMapper).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "driver/common/channel_data.h"
#include "driver/validation/uniform_message.h"
#include "kestrel/search_data.h"
#include "kestrel/system_time.h"

namespace korvane {

class CXMLParser;

/// The mapper's route to the host. Called on the thread that maps the message;
/// texts and `searchData` are only read during the call.
class IDataValidator {
 public:
  /// Metadata for the host's metadata face; dropped when the host has none.
  virtual void ReportMetadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* text,
                              int32_t textLength) = 0;
  /// Raw or mapped text for the host's OnData.
  virtual void ReportData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                          const char* text, int32_t textLength, int32_t reserved, const char* encoding) = 0;
  /// A named event for the host's OnEvent; also schedules its "End of" event.
  virtual void ReportEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                           int32_t sourceLength, const char* text, int32_t textLength, int32_t reserved) = 0;

 protected:
  ~IDataValidator() = default;
};

/// Where the XML paths find the message value and its parameters in a device document.
struct MessageTypeDefinition {
  /// XPath of the node whose text is the message value; empty: the root element's name.
  std::string messageXPath;
  /// Parameter number (from 1) to the XPath of the node whose text is its value.
  std::map<int32_t, std::string> paramXPaths;
};

/// Turns uniform messages into events, raw text, metadata and search tags.
/// Built and initialised on the thread that opens the driver; mapping runs on
/// the delivering channel thread, one message at a time.
class IMapper {
 public:
  /// Reads the rules of `configFile` (resolved against the host directory) and
  /// registers event and search-tag names with the driver. `type` is a ValidationType.
  virtual bool Initialize(int32_t type, const std::string& configFile) = 0;
  /// The same from a configuration that is loaded already, so that the caller
  /// can read its other parts from the same version of the file.
  virtual bool InitializeFrom(int32_t type, CXMLParser& config) = 0;
  virtual void Uninitialize() = 0;
  /// `data` when it is well-formed and valid against the configured schema; else empty with `error` set.
  virtual std::string ValidateXml(const std::string& data, std::string& error) = 0;
  /// The message and parameter XPaths used to build messages from device XML.
  virtual const MessageTypeDefinition& GetMessageType() const = 0;
  /// Maps one uniform message given as XML text (Shape A when `textPath`, else
  /// Shape B). False only when the text is not a readable XML document.
  virtual bool MapMessage(bool textPath, const std::string& message, const ChannelData& record) = 0;
  /// Maps a message the validator has just built, without a round trip
  /// through XML text; same results as MapMessage on RenderUniformMessage(message).
  virtual bool MapUniformMessage(const UniformMessage& message, const ChannelData& record) = 0;
  virtual ~IMapper() = default;
};

}  // namespace korvane
