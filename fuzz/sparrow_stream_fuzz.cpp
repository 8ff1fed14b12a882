// Sparrow's stream parser on arbitrary streams cut into random blocks: the
// first 8 bytes seed the cuts, the rest is the stream. Whatever the stream,
// every block succeeds, every answer is "[FF]"-joined well-formed messages
// whose number is the count, the parser keeps no more than its document cap,
// and the messages do not depend on where the blocks were cut.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "driver/support/clock.h"
#include "driver/support/xml_parser.h"
#include "fuzz/plugin_fuzz_check.h"
#include "plugins/sparrow/vca_stream_parser.h"

namespace {

using namespace korvane;
using fuzzing::Check;

/// Time stands still: the 3-second rule then depends on the order of readings only.
class StillClock final : public Clock {
 public:
  TimePoint Now() const override { return TimePoint(std::chrono::hours(1)); }
  uint64_t UtcFileTime() const override { return 134000000000000000ull; }
  bool WaitUntil(Event& /*stop*/, TimePoint /*deadline*/) const override { return false; }
};

/// An empty host directory, so no "Sparrow.xml" lying about changes the rule
/// types; removed when the program ends.
class EmptyHostDirectory {
 public:
  EmptyHostDirectory() {
    std::string dir = (std::filesystem::temp_directory_path() / "sparrow_fuzz_XXXXXX").string();
    Check(mkdtemp(dir.data()) != nullptr, "no temporary host directory");
    path_ = dir;
    setenv("KESTREL_HOST_DIR", dir.c_str(), 1);
  }
  ~EmptyHostDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path path_;
};

void UseEmptyHostDirectory() { static const EmptyHostDirectory dir; }

/// Feeds `blocks` and returns the messages, each checked to be one readable document.
std::vector<std::string> Feed(CVCAXMLStreamParser& parser, const std::vector<std::string_view>& blocks) {
  std::vector<std::string> messages;
  for (const std::string_view block : blocks) {
    std::string text;
    uint32_t count = 99;
    Check(parser.Parse(reinterpret_cast<const uint8_t*>(block.data()), block.size(), text, count), "a block failed");
    Check(parser.BufferedBytes() <= CVCAXMLStreamParser::kMaxDocumentBytes + block.size(), "buffer beyond its cap");
    size_t pieces = 0;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("[FF]", start);
      if (end == std::string::npos) end = text.size();
      const std::string piece = text.substr(start, end - start);
      CXMLParser xml;
      Check(xml.LoadXml(piece), "a message is not well-formed");
      const std::string kind = xml.GetNodeTextW("/root/message");
      Check(kind == "VCA Alarm" || kind == "VCA Counter", "a message of no known kind");
      messages.push_back(piece);
      ++pieces;
      start = end + 4;
    }
    Check(pieces == count, "count differs from the messages");
  }
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  UseEmptyHostDirectory();
  uint64_t seed = 0;
  std::memcpy(&seed, data, 8);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 8, size - 8);

  std::vector<std::string_view> blocks;
  for (size_t at = 0; at < stream.size();) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    const size_t length = std::min<size_t>(stream.size() - at, 1 + seed % 97);
    blocks.push_back(stream.substr(at, length));
    at += length;
  }

  static const StillClock clock;
  CVCAXMLStreamParser cut(DeviceEndpoint{}, nullptr, clock);
  CVCAXMLStreamParser whole(DeviceEndpoint{}, nullptr, clock);
  auto fromBlocks = Feed(cut, blocks);
  auto fromWhole = Feed(whole, {stream});
  // A block's alarms precede its counters, so only the order may differ.
  std::sort(fromBlocks.begin(), fromBlocks.end());
  std::sort(fromWhole.begin(), fromWhole.end());
  Check(fromBlocks == fromWhole, "messages depend on where the stream was cut");
  return 0;
}
