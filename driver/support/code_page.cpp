#include "driver/support/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <map>

namespace korvane {
namespace {

constexpr uint32_t kUtf8CodePage = 65001;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Converters opened by this thread, one per code page, closed when it ends.
// Conversion runs on every received message, so opening one each time would
// cost more than the conversion itself.
class ThreadConverters {
 public:
  ThreadConverters() = default;
  ThreadConverters(const ThreadConverters&) = delete;
  ThreadConverters& operator=(const ThreadConverters&) = delete;
  ~ThreadConverters() {
    for (auto& [codePage, converter] : converters_) {
      if (converter != kNoConverter) iconv_close(converter);
    }
  }

  iconv_t Get(uint32_t codePage, const char* charset) {
    const auto found = converters_.find(codePage);
    if (found != converters_.end()) return found->second;
    const iconv_t converter = iconv_open("UTF-8", charset);
    // A failed open is remembered too, so an unsupported page is not retried per message.
    converters_.emplace(codePage, converter);
    return converter;
  }

 private:
  std::map<uint32_t, iconv_t> converters_;
};

void AppendReplacement(std::string& out) { out.append("\xEF\xBF\xBD"); }

}  // namespace

const char* CodePageCharset(uint32_t codePage) {
  switch (codePage) {
    case 437:
      return "CP437";
    case 850:
      return "CP850";
    case 852:
      return "CP852";
    case 866:
      return "CP866";
    case 874:
      return "CP874";
    case 932:
      return "CP932";
    case 936:
      return "GBK";
    case 949:
      return "CP949";
    case 950:
      return "BIG5";
    case 1250:
      return "CP1250";
    case 1251:
      return "CP1251";
    case 1252:
      return "CP1252";
    case 1253:
      return "CP1253";
    case 1254:
      return "CP1254";
    case 1255:
      return "CP1255";
    case 1256:
      return "CP1256";
    case 1257:
      return "CP1257";
    case 1258:
      return "CP1258";
    case 20127:
      return "ASCII";
    case 28591:
      return "ISO-8859-1";
    case 28592:
      return "ISO-8859-2";
    case 28593:
      return "ISO-8859-3";
    case 28594:
      return "ISO-8859-4";
    case 28595:
      return "ISO-8859-5";
    case 28596:
      return "ISO-8859-6";
    case 28597:
      return "ISO-8859-7";
    case 28598:
      return "ISO-8859-8";
    case 28599:
      return "ISO-8859-9";
    case 28600:
      return "ISO-8859-10";
    case 28601:
      return "ISO-8859-11";
    case 28603:
      return "ISO-8859-13";
    case 28604:
      return "ISO-8859-14";
    case 28605:
      return "ISO-8859-15";
    case 28606:
      return "ISO-8859-16";
    default:
      return nullptr;
  }
}

bool ConvertToUtf8(uint32_t codePage, std::string_view in, std::string& out) {
  out.clear();
  if (codePage == kUtf8CodePage) {
    out.assign(in);
    return true;
  }
  const char* charset = CodePageCharset(codePage);
  if (charset == nullptr) return false;
  thread_local ThreadConverters converters;
  const iconv_t converter = converters.Get(codePage, charset);
  if (converter == kNoConverter) return false;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);

  // Each code-page byte gives at most three UTF-8 bytes (everything maps into the BMP).
  out.resize(in.size() * 3 + 4);
  char* input = const_cast<char*>(in.data());
  size_t inputLeft = in.size();
  size_t written = 0;
  while (inputLeft > 0) {
    char* output = out.data() + written;
    size_t outputLeft = out.size() - written;
    const size_t rc = iconv(converter, &input, &inputLeft, &output, &outputLeft);
    written = out.size() - outputLeft;
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // An undefined or truncated sequence: one replacement for its first byte, then go on.
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    out.resize(written);
    AppendReplacement(out);
    written = out.size();
    out.resize(written + inputLeft * 3 + 4);
    ++input;
    --inputLeft;
  }
  // Flush any shift state the converter still holds.
  for (;;) {
    char* output = out.data() + written;
    size_t outputLeft = out.size() - written;
    const size_t rc = iconv(converter, nullptr, nullptr, &output, &outputLeft);
    written = out.size() - outputLeft;
    if (rc != static_cast<size_t>(-1) || errno != E2BIG) break;
    out.resize(out.size() * 2);
  }
  out.resize(written);
  return true;
}

}  // namespace korvane
