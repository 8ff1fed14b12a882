// A camera's byte stream as the RTSP client reads it: answers framed one
// after the other, each parsed as the answer to the request the first byte
// picks (DESCRIBE answers with their session description). Framing must not
// depend on how much has arrived, and every request built from what the
// answers left behind must stay one well-formed request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/channels/base_rtsp_client.h"
#include "driver/channels/rtsp_response_parser.h"

namespace {

using namespace korvane;

constexpr RTSPRequestType kTypes[] = {RTSPRequestType::kDescribe, RTSPRequestType::kSetup, RTSPRequestType::kPlay,
                                      RTSPRequestType::kTeardown, RTSPRequestType::kOptions};

// Only CR LF pairs, and the empty line only at the end.
void CheckRequest(const std::string& request) {
  if (request.empty()) return;
  if (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) std::abort();
  if (request.find("\r\n\r\n") != request.size() - 4) std::abort();
  for (size_t i = 0; i < request.size(); ++i) {
    if (request[i] == '\r' && request[i + 1] != '\n') std::abort();
    if (request[i] == '\n' && (i == 0 || request[i - 1] != '\r')) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  CRTSPResponseParser parser;
  RTSPClientParameters parameters;
  parameters.address = "127.0.0.1";
  parameters.path = (flags & 0x40) != 0 ? "live" : "";
  parameters.user = "user";
  parameters.password = "password";
  for (int answer = 0; answer < 8 && !stream.empty(); ++answer) {
    size_t length = 0;
    const AnswerFrame frame = CRTSPResponseParser::FrameAnswer(stream, length);
    if (frame != AnswerFrame::kComplete) {
      // With nothing more to come, a bounded parse of the rest must still be harmless.
      parser.Parse(stream, kTypes[(flags + answer) % 5]);
      break;
    }
    if (length == 0 || length > stream.size()) std::abort();
    // The answer alone frames the same; any shorter part of it is incomplete.
    size_t again = 0;
    if (CRTSPResponseParser::FrameAnswer(stream.substr(0, length), again) != AnswerFrame::kComplete ||
        again != length) {
      std::abort();
    }
    if (CRTSPResponseParser::FrameAnswer(stream.substr(0, length - 1 - (flags % length)), again) !=
        AnswerFrame::kIncomplete) {
      std::abort();
    }
    parser.Parse(stream.substr(0, length), kTypes[(flags + answer) % 5]);
    stream.remove_prefix(length);

    parameters.scheme = static_cast<AuthScheme>((flags >> 3) % 3);
    for (RTSPRequestType type : kTypes) {
      RTSPFailure failure = RTSPFailure::kNone;
      CheckRequest(BuildRTSPRequest(type, parameters, parser, failure));
    }
  }
  return 0;
}
