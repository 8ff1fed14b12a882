// ProcessData with random framing settings, code page and block splits. With
// a line-feed sequence set, the same byte stream must yield the same messages
// however it is cut into blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/channels/channel_base.h"
#include "tests/support/null_fakes.h"

namespace {

using namespace korvane;

class Recorder final : public testing::NullDataDriver {
 public:
  void OnChannelData(const ChannelData* record) override { events.emplace_back(record->data, record->dataLength); }
  void OnClearScreen(const ChannelData*) override { events.emplace_back("<clear>"); }

  std::vector<std::string> events;
};

struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t Take() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::vector<uint8_t> Bytes(size_t n) {
    std::vector<uint8_t> bytes;
    while (n-- > 0 && size > 0) bytes.push_back(Take());
    return bytes;
  }
};

std::vector<std::string> Run(const ChannelSettings& settings, size_t limit, int32_t validationType,
                             const std::string& stream, const std::vector<size_t>& cuts) {
  Recorder recorder;
  recorder.validationType = validationType;
  testing::SocketlessChannel channel(recorder, recorder, settings);
  channel.SetMessageLimit(limit);
  size_t begin = 0;
  for (size_t cut : cuts) {
    channel.ProcessData(stream.data() + begin, cut - begin);
    begin = cut;
  }
  channel.ProcessData(stream.data() + begin, stream.size() - begin);
  return recorder.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint32_t kCodePages[] = {65001, 1252, 932, 437, 28605, 12345};
  Input input{data, size};
  const uint8_t flags = input.Take();
  ChannelSettings settings;
  settings.lineFeedBytes = input.Bytes(flags & 3);
  settings.clearScreenBytes = input.Bytes((flags >> 2) & 3);
  settings.ignoredBytes = input.Bytes((flags >> 4) & 3);
  settings.validationRequired = (flags & 0x40) != 0;
  settings.codePage = kCodePages[input.Take() % (sizeof kCodePages / sizeof kCodePages[0])];
  const size_t limit = (flags & 0x80) != 0 ? input.Take() % 64 + 1 : CChannelBase::kDefaultMessageLimit;
  const int32_t validationType = (input.Take() & 1) != 0 ? kValidationCustom : kValidationText;
  uint32_t seed = input.Take() | (static_cast<uint32_t>(input.Take()) << 8);
  const std::string stream(reinterpret_cast<const char*>(input.data), input.size);

  std::vector<size_t> cuts;
  for (size_t pos = 0; !stream.empty();) {
    seed = seed * 1103515245u + 12345u;
    pos += 1 + (seed >> 16) % 9;
    if (pos >= stream.size()) break;
    cuts.push_back(pos);
  }
  const auto split = Run(settings, limit, validationType, stream, cuts);
  if (!settings.lineFeedBytes.empty() && split != Run(settings, limit, validationType, stream, {})) abort();
  return 0;
}
