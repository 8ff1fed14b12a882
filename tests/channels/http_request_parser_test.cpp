#include "driver/channels/http_request_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

using Status = CHttpRequestParser::Status;
using Error = CHttpRequestParser::Error;

struct Parsed {
  Status status;
  Error error;
  std::string method, uri, version, header, body;
  std::vector<std::string> headers;
  bool operator==(const Parsed&) const = default;
};

// Reads every request of `stream`, fed in blocks of `block` bytes (0: whole).
std::vector<Parsed> ReadRequests(const std::string& stream, size_t block = 0, HttpRequestLimits limits = {}) {
  CHttpRequestParser parser(limits);
  std::vector<Parsed> result;
  size_t pos = 0;
  while (pos < stream.size()) {
    const size_t end = block == 0 ? stream.size() : std::min(stream.size(), pos + block);
    size_t consumed = 0;
    const Status status = parser.Feed(stream.data() + pos, end - pos, consumed);
    pos += consumed;
    if (status == Status::kIncomplete) continue;
    Parsed parsed{status,
                  parser.GetError(),
                  std::string(parser.Method()),
                  std::string(parser.Uri()),
                  std::string(parser.Version()),
                  std::string(parser.HeaderBlock()),
                  std::string(parser.Body()),
                  {}};
    for (auto line : parser.Headers()) parsed.headers.emplace_back(line);
    result.push_back(parsed);
    if (status == Status::kFailed) break;
    parser.Reset();
  }
  return result;
}

const std::string kPipelined =
    "\r\nPOST /alarm HTTP/1.1\r\nHost: cam\r\nContent-Length: 5\r\n\r\nhello"
    "POST /chunks HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4;name=x\r\nWiki\r\n5\r\npedia\r\n0\r\nX-Sum: 1\r\n\r\n"
    "GET /status?x=1 HTTP/1.0\n\n";

TEST(HttpRequestParserTest, ReadsPipelinedRequestsTheSameHoweverTheStreamIsCut) {
  const auto whole = ReadRequests(kPipelined);
  ASSERT_EQ(whole.size(), 3u);
  EXPECT_EQ(whole[0].method, "POST");
  EXPECT_EQ(whole[0].uri, "/alarm");
  EXPECT_EQ(whole[0].version, "HTTP/1.1");
  EXPECT_EQ(whole[0].header, "POST /alarm HTTP/1.1\r\nHost: cam\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(whole[0].headers, std::vector<std::string>{"Host: cam"}) << "Content-Length is not a listed header";
  EXPECT_EQ(whole[0].body, "hello");
  EXPECT_EQ(whole[1].body, "Wikipedia");
  EXPECT_EQ(whole[1].status, Status::kComplete);
  EXPECT_EQ(whole[2].uri, "/status?x=1");
  EXPECT_EQ(whole[2].header, "GET /status?x=1 HTTP/1.0\n\n");
  EXPECT_EQ(whole[2].body, "");
  for (size_t block = 1; block < 40; ++block) EXPECT_EQ(ReadRequests(kPipelined, block), whole) << block;
}

TEST(HttpRequestParserTest, RefusesWhatCannotBeFramedOrExceedsItsBound) {
  HttpRequestLimits limits;
  limits.body = 100;
  const struct {
    std::string request;
    Error error;
  } cases[] = {
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", Error::kBadContentLength},
      {"POST / HTTP/1.1\r\nContent-Length: 5abc\r\n\r\n", Error::kBadContentLength},
      {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", Error::kBadContentLength},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\n", Error::kBadContentLength},
      {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", Error::kBodyTooLarge},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", Error::kBodyTooLarge},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", Error::kBadTransferEncoding},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", Error::kBadChunk},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX", Error::kBadChunk},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n" + std::string(64, 'a') + "\r\n40\r\n",
       Error::kBodyTooLarge},
      {"GET / HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n", Error::kHeaderTooLarge},
      {std::string(70000, '\n'), Error::kHeaderTooLarge},
  };
  for (const auto& c : cases) {
    const auto requests = ReadRequests(c.request, 7, limits);
    ASSERT_EQ(requests.size(), 1u) << c.request.substr(0, 80);
    EXPECT_EQ(requests[0].status, Status::kFailed) << c.request.substr(0, 80);
    EXPECT_EQ(requests[0].error, c.error) << c.request.substr(0, 80);
    if (c.error == Error::kBodyTooLarge) {
      EXPECT_EQ(requests[0].body, "") << "no part of an oversized body is kept";
    }
  }
}

TEST(HttpRequestParserTest, HeaderBlockOfExactlyTheBoundIsAccepted) {
  const std::string head = "GET / HTTP/1.1\r\nX: ";
  const std::string request = head + std::string(64 * 1024 - head.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(request.size(), 64u * 1024);
  const auto requests = ReadRequests(request, 1000);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].status, Status::kComplete);
}

TEST(HttpRequestParserTest, CutsOverLongRequestLineFieldsAndSaysWhich) {
  CHttpRequestParser parser;
  const std::string uri = "/" + std::string(1000, 'u');
  const std::string request = std::string(200, 'M') + " " + uri + " HTTP/1.1\r\n\r\n";
  size_t consumed = 0;
  ASSERT_EQ(parser.Feed(request, consumed), Status::kComplete);
  EXPECT_EQ(parser.Method(), std::string(127, 'M'));
  EXPECT_EQ(parser.Uri(), uri.substr(0, 255));
  EXPECT_EQ(parser.Version(), "HTTP/1.1");
  EXPECT_EQ(parser.CutFields(), CHttpRequestParser::kCutMethod | CHttpRequestParser::kCutUri);
  EXPECT_EQ(parser.RequestLineFieldLength(CHttpRequestParser::kCutUri), 1001u);
  EXPECT_EQ(parser.HeaderBlock(), request) << "the header block keeps the request line as received";
}

TEST(HttpRequestParserTest, KeepAliveFollowsVersionAndConnectionHeader) {
  const struct {
    std::string request;
    bool keepAlive;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: Keep-Alive, Close\r\n\r\n", false},
      {"GET / HTTP/1.0\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n", true},
  };
  for (const auto& c : cases) {
    CHttpRequestParser parser;
    size_t consumed = 0;
    ASSERT_EQ(parser.Feed(c.request, consumed), Status::kComplete);
    EXPECT_EQ(parser.KeepAlive(), c.keepAlive) << c.request;
  }
}

TEST(HttpRequestParserTest, ShortBodyStaysIncompleteWithWhatArrived) {
  CHttpRequestParser parser;
  size_t consumed = 0;
  EXPECT_EQ(parser.Feed("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", consumed), Status::kIncomplete);
  EXPECT_TRUE(parser.InBody());
  EXPECT_EQ(parser.Body(), "abc");
  EXPECT_EQ(parser.Feed("defghijklmn", consumed), Status::kComplete);
  EXPECT_EQ(consumed, 7u) << "bytes after the body belong to the next request";
  EXPECT_EQ(parser.Body(), "abcdefghij");
}

}  // namespace
}  // namespace korvane
