// Fuzzes the text work done on every received block: code-page conversion,
// XML escaping and UTF-8 decoding. The first byte picks the code page.
// Escaping must round-trip, decoded text must re-encode to valid UTF-8, and
// nothing may crash or lose bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/support/code_page.h"
#include "driver/support/string_utils.h"

namespace {

constexpr uint32_t kCodePages[] = {65001, 1250, 1251, 1252, 1253, 1254, 1255, 1256,  1257,  1258,  437,   850,
                                   852,   866,  874,  932,  936,  949,  950,  20127, 28591, 28595, 28605, 12345};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
  const std::string_view block(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string utf8;
  if (korvane::ConvertToUtf8(codePage, block, utf8)) {
    // Every input byte yields at least one output byte.
    if (utf8.size() < block.size() && codePage != 65001) std::abort();
    if (codePage != 65001 && korvane::WideToUtf8(korvane::Utf8ToWide(utf8)) != utf8) std::abort();
  } else if (codePage != 12345 || !utf8.empty()) {
    std::abort();
  }

  const std::string escaped = korvane::XmlEscape(block.data(), block.size());
  if (escaped.find_first_of("<>\"'") != std::string::npos) std::abort();
  if (korvane::XmlUnescape(std::string_view(escaped)) != block) std::abort();

  const std::string reencoded = korvane::WideToUtf8(korvane::Utf8ToWide(block));
  if (korvane::WideToUtf8(korvane::Utf8ToWide(reencoded)) != reencoded) std::abort();
  if (korvane::Utf8ToWide(reencoded).find(L'\uFFFD') == std::wstring::npos && reencoded != block) std::abort();

  int32_t number = 0;
  korvane::ParseInt(block, number);
  float real = 0;
  korvane::ParseFloat(block, real);
  return 0;
}
