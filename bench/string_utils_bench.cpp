// Per-message text work on the channel thread: XML escaping and code-page
// conversion of received blocks.
#include <benchmark/benchmark.h>

#include <string>

#include "driver/support/code_page.h"
#include "driver/support/string_utils.h"

namespace {

std::string PosLine(size_t length, size_t specialEvery) {
  std::string text;
  const std::string words = "TOTAL 1,650 CASH 2,000 CHANGE 350 ITEM Bread 220 ";
  while (text.size() < length) text += words;
  text.resize(length);
  if (specialEvery > 0) {
    for (size_t i = specialEvery / 2; i < text.size(); i += specialEvery) text[i] = "<>&\"'"[i % 5];
  }
  return text;
}

// Byte-by-byte escaping, kept as the reference point.
std::string NaiveEscape(const std::string& in) {
  std::string out;
  for (const char c : in) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

void BM_XmlEscape(benchmark::State& state) {
  const std::string text = PosLine(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(korvane::XmlEscape(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_XmlEscape)->Args({80, 0})->Args({80, 20})->Args({4096, 0})->Args({4096, 64})->Args({4096, 4});

void BM_XmlEscapeNaive(benchmark::State& state) {
  const std::string text = PosLine(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(NaiveEscape(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_XmlEscapeNaive)->Args({80, 0})->Args({80, 20})->Args({4096, 0})->Args({4096, 64})->Args({4096, 4});

void BM_ConvertToUtf8(benchmark::State& state) {
  std::string text = PosLine(static_cast<size_t>(state.range(1)), 0);
  for (size_t i = 3; i < text.size(); i += 11) text[i] = '\xE9';
  const auto codePage = static_cast<uint32_t>(state.range(0));
  std::string out;
  for (auto _ : state) {
    korvane::ConvertToUtf8(codePage, text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ConvertToUtf8)->Args({1252, 80})->Args({1252, 4096})->Args({65001, 80});

}  // namespace
