// Reads a stream of HTTP requests with small random bounds, once whole and
// once cut into random blocks: the requests, their parts and the point of
// failure must not depend on the cuts, and no part may exceed its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/channels/http_request_parser.h"

namespace {

using korvane::CHttpRequestParser;
using Status = CHttpRequestParser::Status;

std::vector<std::string> ReadAll(const korvane::HttpRequestLimits& limits, const std::string& stream,
                                 const std::vector<size_t>& cuts) {
  CHttpRequestParser parser(limits);
  std::vector<std::string> results;
  auto record = [&](Status status) {
    std::string r = status == Status::kComplete ? "ok" : "failed " + std::to_string(int(parser.GetError()));
    r += '|' + std::string(parser.Method()) + '|' + std::string(parser.Uri()) + '|' + std::string(parser.Version());
    r += '|' + std::to_string(parser.CutFields()) + '|' + std::string(parser.HeaderBlock());
    r += '|' + std::to_string(parser.Headers().size()) + '|' + std::to_string(parser.KeepAlive());
    r += '|' + std::string(parser.Body());
    results.push_back(r);
    if (parser.HeaderBlock().size() > limits.headerBlock || parser.Body().size() > limits.body ||
        parser.Method().size() > limits.method || parser.Uri().size() > limits.uri ||
        parser.Version().size() > limits.version) {
      std::abort();
    }
  };
  size_t begin = 0;
  bool failed = false;
  auto feed = [&](size_t end) {
    while (!failed && begin < end) {
      size_t consumed = 0;
      const Status status = parser.Feed(stream.data() + begin, end - begin, consumed);
      if (consumed > end - begin) std::abort();
      begin += consumed;
      if (status == Status::kIncomplete) {
        if (begin != end) std::abort();  // an incomplete request takes everything offered
        return;
      }
      record(status);
      if (status == Status::kFailed) failed = true;
      parser.Reset();
    }
  };
  for (size_t cut : cuts) feed(cut);
  feed(stream.size());
  // The unfinished request at the end, as the server would see it when the client leaves.
  if (!failed && parser.Started()) results.push_back("partial|" + std::string(parser.Body()));
  return results;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  korvane::HttpRequestLimits limits;
  limits.headerBlock = 16 + data[0] % 240;
  limits.body = data[1] % 200;
  limits.method = 1 + data[2] % 8;
  limits.uri = 1 + data[2] / 8 % 32;
  limits.version = 8;
  uint32_t seed = data[3];
  const std::string stream(reinterpret_cast<const char*>(data + 4), size - 4);

  std::vector<size_t> cuts;
  for (size_t pos = 0;;) {
    seed = seed * 1103515245u + 12345u;
    pos += 1 + (seed >> 16) % 13;
    if (pos >= stream.size()) break;
    cuts.push_back(pos);
  }
  if (ReadAll(limits, stream, cuts) != ReadAll(limits, stream, {})) std::abort();
  return 0;
}
