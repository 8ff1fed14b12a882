// VCA metadata documents as a device sends them, and the messages Sparrow
// answers read back into fields, for the Sparrow tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "driver/support/xml_parser.h"

namespace korvane::testing {

struct VcaEvent {
  std::string id;
  std::string status = "1";
  std::string type = "zone";
  std::string ruleId = "0";
  std::string ruleName;
  std::string ruleType;
  std::string zoneName = "Entrance";
  std::string objectClass = "person";
};

struct VcaCount {
  std::string id, name, value;
};

/// A document with the device's header blocks, so it is well over 256 characters.
inline std::string VcaDocument(const std::vector<VcaEvent>& events, const std::vector<VcaCount>& counts,
                               const std::string& startTag = "<vca>") {
  std::string doc = startTag +
                    "\n<vca_hdr>\n<frame_id>325299</frame_id>\n<vca_status>0</vca_status>\n"
                    "<trk_mode>0</trk_mode>\n</vca_hdr>\n<vca_cfg>\n<meaunits>metric</meaunits>\n"
                    "<cfg_update></cfg_update>\n<detection_point></detection_point>\n</vca_cfg>\n"
                    "<channel_id>2</channel_id>\n<events>\n";
  for (const VcaEvent& e : events) {
    doc += "<event>\n<id>" + e.id + "</id>\n<type>" + e.type + "</type>\n<zone_id>1</zone_id>\n<zone_name>" +
           e.zoneName + "</zone_name>\n<rule_id>" + e.ruleId + "</rule_id>\n";
    if (!e.ruleName.empty()) doc += "<rule_name>" + e.ruleName + "</rule_name>\n";
    if (!e.ruleType.empty()) doc += "<rule_type>" + e.ruleType + "</rule_type>\n";
    doc += "<status>" + e.status + "</status>\n<obj_id>17</obj_id>\n<obj_cls_name>" + e.objectClass +
           "</obj_cls_name>\n<bb><x>100</x><y>200</y><w>30</w><h>60</h></bb>\n"
           "<start_time><s>1700000000</s><ms>250</ms></start_time>\n"
           "<end_time><s>1700000001</s><ms>500</ms></end_time>\n</event>\n";
  }
  doc += "</events>\n<counts>\n";
  for (const VcaCount& c : counts) {
    doc += "<count>\n<id>" + c.id + "</id>\n<name>" + c.name + "</name>\n<val>" + c.value + "</val>\n</count>\n";
  }
  doc += "</counts>\n</vca>";
  return doc;
}

/// One answered message: the text of each element under root by name ("bb" as its inner markup's texts).
using VcaMessage = std::map<std::string, std::string>;

/// The messages of an answer, split at "[FF]"; a piece that is no document becomes {"error": piece}.
inline std::vector<VcaMessage> VcaMessages(const std::string& text) {
  std::vector<VcaMessage> messages;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("[FF]", start);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(start, end - start);
    start = end + 4;
    CXMLParser parser;
    if (!parser.LoadXml(piece)) {
      messages.push_back({{"error", piece}});
      continue;
    }
    VcaMessage message;
    for (const auto& child : parser.SelectNodes("/root/*")) {
      std::string value;
      const auto parts = parser.GetChildElements(child);
      if (parts.empty()) {
        value = parser.GetNodeText(child);
      } else {
        for (const auto& part : parts) value += part.name + "=" + parser.GetNodeText(part) + " ";
      }
      message[child.name] = value;
    }
    messages.push_back(std::move(message));
  }
  return messages;
}

}  // namespace korvane::testing
