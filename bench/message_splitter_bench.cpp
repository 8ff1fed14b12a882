// Framing throughput on 80-byte lines (78 characters and CR LF): the bare
// splitter, and ProcessData as a channel runs it, with conversion, escaping
// and one delivery record per message.
#include <benchmark/benchmark.h>

#include <string>

#include "driver/channels/channel_base.h"
#include "driver/channels/message_splitter.h"
#include "tests/support/null_fakes.h"

namespace {

using namespace korvane;

constexpr size_t kBlockSize = 65536;

std::string LinesBlock() {
  const std::string line = std::string(78, 'x').replace(0, 20, "0123456789 RECEIPT  ") + "\r\n";
  std::string block;
  while (block.size() + line.size() <= kBlockSize) block += line;
  return block;
}

class CountingSink final : public IMessageSink {
 public:
  void OnMessage(std::string_view message) override {
    ++messages;
    bytes += message.size();
  }
  void OnClearScreen() override {}
  void OnLimitReached(size_t) override {}
  void OnDropped(DropCause, size_t) override {}
  size_t messages = 0;
  size_t bytes = 0;
};

void BM_SplitterLines(benchmark::State& state) {
  SplitterSettings settings;
  settings.lineFeed = {'\r', '\n'};
  CMessageSplitter splitter(settings);
  CountingSink sink;
  const std::string block = LinesBlock();
  for (auto _ : state) splitter.Feed(block, sink);
  benchmark::DoNotOptimize(sink.bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
  state.SetItemsProcessed(static_cast<int64_t>(sink.messages));
}
BENCHMARK(BM_SplitterLines);

class NullDriver final : public testing::NullDataDriver {
 public:
  void OnChannelData(const ChannelData* record) override { bytes += static_cast<size_t>(record->dataLength); }
  size_t bytes = 0;
};

// Arg: validation type (0 none: escaped; 4 custom: raw bytes).
void BM_ProcessDataLines(benchmark::State& state) {
  NullDriver driver;
  driver.validationType = static_cast<int32_t>(state.range(0));
  ChannelSettings settings;
  settings.lineFeedBytes = {'\r', '\n'};
  testing::SocketlessChannel channel(driver, driver, settings);
  const std::string block = LinesBlock();
  for (auto _ : state) channel.ProcessData(block.data(), block.size());
  benchmark::DoNotOptimize(driver.bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (block.size() / 80)));
}
BENCHMARK(BM_ProcessDataLines)->Arg(kValidationNone)->Arg(kValidationCustom);

}  // namespace
