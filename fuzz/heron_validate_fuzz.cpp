// Heron's Validate on arbitrary blocks: every answer is well formed (see
// plugin_fuzz_check.h); an accepted block is a Contact ID message whose
// document reads back, through the escaping, to the block's own fields.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/support/xml_parser.h"
#include "fuzz/plugin_fuzz_check.h"
#include "plugins/heron/heron.h"

namespace {

using namespace korvane;
using fuzzing::Check;

/// Heron opened on a table with names that need escaping, from a host directory made for it.
CHeron& OpenedHeron() {
  static CHeron* heron = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "heron_fuzz_XXXXXX").string();
    Check(mkdtemp(dir.data()) != nullptr, "no temporary host directory");
    std::ofstream(std::filesystem::path(dir) / CHeron::kEventTableFile)
        << R"(<ContactID><Events><Event number="130" text="Burglary"/><Event number="110" text="Fire &amp; smoke"/>)"
           R"(<Event number="401" text="Open/Close &lt;user&gt;"/><Event number="602" text=""/></Events></ContactID>)";
    setenv("KESTREL_HOST_DIR", dir.c_str(), 1);
    auto* opened = new CHeron();
    Check(opened->Open(nullptr, nullptr), "the event table did not load");
    unsetenv("KESTREL_HOST_DIR");
    std::filesystem::remove_all(dir);
    return opened;
  }();
  return *heron;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzing::PluginAnswer answer = fuzzing::ValidateChecked(OpenedHeron(), data, size);
  if (!answer.ok) return 0;
  Check(size >= 17 && data[0] == '2', "accepted a block that is no Contact ID message");
  if (fuzzing::Printable(data, size)) {
    CXMLParser parser;
    Check(parser.LoadXml(answer.text), "document is not readable XML");
    const std::string block(reinterpret_cast<const char*>(data), size);
    Check(parser.GetNodeTextW("/TexecomEvent/AccountNumber") == block.substr(1, 4), "account number differs");
    Check(parser.GetNodeTextW("/TexecomEvent/EventNumber") == block.substr(8, 3), "event number differs");
    Check(parser.GetNodeTextW("/TexecomEvent/Zone") == block.substr(13, 3), "zone differs");
  }
  return 0;
}
