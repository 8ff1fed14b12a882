#include "driver/channels/sdp_parser.h"

#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr std::string_view kControl = "a=control:";
constexpr std::string_view kRtpmap = "a=rtpmap:";
constexpr std::string_view kOnvifMetadata = "vnd.onvif.metadata";

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Blanks, tabs and control characters end a word.
bool IsSeparator(char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }

// The first word of `text`.
std::string_view FirstWord(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  size_t end = start;
  while (end < text.size() && !IsSeparator(text[end])) ++end;
  return text.substr(start, end - start);
}

enum class Section { kOther, kMetadata, kApplication };

struct SectionState {
  Section kind = Section::kOther;
  bool onvifMetadata = false;  // an application section whose rtpmap names the metadata encoding
  bool controlValid = true;
  bool hasControl = false;
  std::string control;
};

}  // namespace

SdpMetadata ParseSdpMetadata(std::string_view description) {
  SdpMetadata result;
  bool metadataFound = false;    // an "m=metadata" section with a control
  bool metadataInvalid = false;  // ... whose control line had no value
  bool applicationDone = false;  // the fall-back has been decided
  SdpMetadata application;
  SectionState section;

  // Closing an application section decides the fall-back once: the first
  // section naming the metadata encoding wins.
  auto closeSection = [&] {
    if (section.kind == Section::kApplication && section.onvifMetadata && !applicationDone) {
      applicationDone = true;
      application.valid = section.controlValid;
      application.control = section.control;
    }
  };

  size_t pos = 0;
  while (pos < description.size()) {
    size_t end = description.find('\n', pos);
    if (end == std::string_view::npos) end = description.size();
    std::string_view line = description.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    const std::string lower = ToLower(line);

    if (StartsWith(lower, "m=")) {
      closeSection();
      section = SectionState{};
      const std::string_view media = FirstWord(std::string_view(lower).substr(2));
      if (media == "metadata") {
        section.kind = Section::kMetadata;
      } else if (media == "application") {
        section.kind = Section::kApplication;
      }
      continue;
    }
    if (section.kind == Section::kOther) continue;
    if (StartsWith(lower, kControl)) {
      const std::string_view value = FirstWord(line.substr(kControl.size()));
      if (section.kind == Section::kMetadata) {
        // A later control replaces an earlier one.
        metadataFound = true;
        metadataInvalid = value.empty();
        result.control = std::string(value);
      } else {
        section.controlValid = !value.empty();
        section.control = std::string(value);
      }
    } else if (section.kind == Section::kApplication && StartsWith(lower, kRtpmap)) {
      // "a=rtpmap:<payload type> <encoding>/<clock rate>[/<parameters>]"
      const std::string_view rest = std::string_view(lower).substr(kRtpmap.size());
      const size_t blank = rest.find_first_of(" \t");
      if (blank != std::string_view::npos) {
        const std::string_view encoding = FirstWord(rest.substr(blank));
        if (encoding.substr(0, encoding.find('/')) == kOnvifMetadata) section.onvifMetadata = true;
      }
    }
  }
  closeSection();

  if (metadataFound) {
    result.valid = !metadataInvalid;
    if (!result.valid) result.control.clear();
    return result;
  }
  if (applicationDone) {
    if (!application.valid) application.control.clear();
    return application;
  }
  return SdpMetadata{};
}

}  // namespace korvane
