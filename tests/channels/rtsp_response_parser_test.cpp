#include "driver/channels/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "driver/channels/sdp_parser.h"

namespace korvane {
namespace {

std::string Capture(const std::string& name) {
  std::ifstream in(KESTREL_SOURCE_DIR "/../shared/vectors/rtsp_captures/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#define CAPTURE_OR_SKIP(var, name)       \
  const std::string var = Capture(name); \
  if (var.empty()) GTEST_SKIP() << "camera capture " << name << " absent"

bool ParseAll(CRTSPResponseParser& parser, const std::string& answer, RTSPRequestType type) {
  size_t length = 0;
  if (CRTSPResponseParser::FrameAnswer(answer, length) != AnswerFrame::kComplete || length != answer.size()) {
    return false;
  }
  return parser.Parse(answer, type);
}

TEST(RtspAnswerFramingTest, AnAnswerIsCompleteExactlyWhenItsLastByteArrived) {
  CAPTURE_OR_SKIP(answer, "hikvision_describe.txt");
  // Whatever TCP segments the answer came in, it is framed by its header end and Content-Length.
  for (size_t cut = 0; cut < answer.size(); ++cut) {
    size_t length = 0;
    ASSERT_EQ(CRTSPResponseParser::FrameAnswer(std::string_view(answer).substr(0, cut), length),
              AnswerFrame::kIncomplete)
        << cut;
  }
  size_t length = 0;
  const std::string twoAnswers = answer + Capture("dahua_options.txt");
  EXPECT_EQ(CRTSPResponseParser::FrameAnswer(twoAnswers, length), AnswerFrame::kComplete);
  EXPECT_EQ(length, answer.size());
}

TEST(RtspAnswerFramingTest, UnframeableAnswersAreInvalidNotAwaited) {
  size_t length = 0;
  for (const char* contentLength : {"-5", "huge", "99999999999999999999999", "2000000"}) {
    const std::string answer = std::string("RTSP/1.0 200 OK\r\nContent-Length: ") + contentLength + "\r\n\r\n";
    EXPECT_EQ(CRTSPResponseParser::FrameAnswer(answer, length), AnswerFrame::kInvalid) << contentLength;
  }
  const std::string endless = "RTSP/1.0 200 OK\r\nX: " + std::string(CRTSPResponseParser::kMaxHeaderBytes, 'a');
  EXPECT_EQ(CRTSPResponseParser::FrameAnswer(endless, length), AnswerFrame::kInvalid);
  // Lines may end in a lone LF.
  EXPECT_EQ(CRTSPResponseParser::FrameAnswer("RTSP/1.0 200 OK\nCSeq: 1\nContent-Length: 2\n\nab", length),
            AnswerFrame::kComplete);
  EXPECT_EQ(length, 45u);
}

TEST(RtspResponseParserTest, CameraDescriptionsGiveTheMetadataControl) {
  CAPTURE_OR_SKIP(hikvision, "hikvision_describe.txt");
  CRTSPResponseParser parser;
  ASSERT_TRUE(ParseAll(parser, hikvision, RTSPRequestType::kDescribe));
  EXPECT_EQ(parser.StatusCode(), 200);
  EXPECT_EQ(parser.CSeq(), 1u);
  EXPECT_EQ(parser.ContentType(), "application/sdp");
  EXPECT_EQ(parser.ContentLength(), 902u);
  EXPECT_EQ(parser.ContentBase(), "rtsp://192.168.5.106:554/Streaming/Channels/101/");
  EXPECT_EQ(parser.Control(),
            "rtsp://192.168.5.106:554/Streaming/Channels/101/trackID=3?transportmode=unicast&profile=Profile_1");

  ASSERT_TRUE(ParseAll(parser, Capture("dahua_describe_h264_aac_onvif.txt"), RTSPRequestType::kDescribe));
  EXPECT_EQ(parser.Control(), "trackID=4");
  // A description without a metadata stream gives no control, even after one that had it.
  for (const char* name : {"bunny_describe.txt", "reolink_describe.txt", "foscam_describe.txt"}) {
    ASSERT_TRUE(ParseAll(parser, Capture(name), RTSPRequestType::kDescribe)) << name;
    EXPECT_EQ(parser.Control(), "") << name;
    EXPECT_EQ(parser.ContentBase().empty(), false) << name;
  }
  // The session description of a SETUP or PLAY answer is not read.
  ASSERT_TRUE(ParseAll(parser, hikvision, RTSPRequestType::kPlay));
  EXPECT_EQ(parser.Control(), "");
}

TEST(SdpParserTest, MetadataSectionWinsOverTheApplicationFallBack) {
  CAPTURE_OR_SKIP(geovision, "geovision_sdp.txt");
  EXPECT_EQ(ParseSdpMetadata(geovision).control, "rtsp://192.168.5.237/media/video1/metadata");
  // An application section of another encoding is not metadata.
  EXPECT_EQ(ParseSdpMetadata(Capture("tplink_sdp.txt")).control, "");

  const std::string both =
      "v=0\r\nm=application 0 RTP/AVP 107\r\na=rtpmap:107 VND.ONVIF.METADATA/90000\r\na=control:app\r\n"
      "m=metadata 0 RTP/AVP 108\r\na=control:first\r\na=control:meta\r\nm=video 0 RTP/AVP 96\r\na=control:video\r\n";
  EXPECT_EQ(ParseSdpMetadata(both).control, "meta");
  // The first application section naming the encoding wins; its rtpmap may follow its control.
  const std::string twoApplications =
      "m=application 0 RTP/AVP 107\r\na=control:one\r\na=rtpmap:107 vnd.onvif.metadata/90000\r\n"
      "m=application 0 RTP/AVP 108\r\na=control:two\r\na=rtpmap:108 vnd.onvif.metadata/90000\r\n";
  EXPECT_EQ(ParseSdpMetadata(twoApplications).control, "one");
  // A control whose text merely contains a media line does not switch sections.
  EXPECT_EQ(ParseSdpMetadata("m=metadata 0 RTP/AVP 1\na=control:stream=video\n").control, "stream=video");
  // The description ends at the first empty line.
  EXPECT_EQ(ParseSdpMetadata("v=0\r\n\r\nm=metadata 0 RTP/AVP 1\r\na=control:late\r\n").control, "");
  const SdpMetadata empty = ParseSdpMetadata("m=metadata 0 RTP/AVP 1\r\na=control:\r\n");
  EXPECT_FALSE(empty.valid);
}

TEST(RtspResponseParserTest, SessionIdentifiersAndTimeOutsOfRealCameras) {
  CAPTURE_OR_SKIP(hikvisionSetup, "hikvision_setup.txt");
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.SessionTimeout(), 0u);
  ASSERT_TRUE(ParseAll(parser, hikvisionSetup, RTSPRequestType::kSetup));
  EXPECT_EQ(parser.SessionId(), "708345999");
  EXPECT_EQ(parser.SessionTimeout(), 60u);
  ASSERT_TRUE(ParseAll(parser, Capture("gw_main_play.txt"), RTSPRequestType::kPlay));
  EXPECT_EQ(parser.SessionId(), "9a90de54");
  EXPECT_EQ(parser.SessionTimeout(), 120u);
  // An identifier alone keeps the last time-out.
  ASSERT_TRUE(ParseAll(parser, Capture("dahua_play.txt"), RTSPRequestType::kPlay));
  EXPECT_EQ(parser.SessionId(), "634214684047");
  EXPECT_EQ(parser.SessionTimeout(), 120u);
  EXPECT_EQ(parser.CSeq(), 7u);

  auto session = [&](const std::string& value) {
    return parser.Parse("RTSP/1.0 200 OK\r\nSession: " + value + "\r\n\r\n", RTSPRequestType::kSetup);
  };
  ASSERT_TRUE(session("abc;timeout=0"));
  EXPECT_EQ(parser.SessionTimeout(), 30u);
  ASSERT_TRUE(session("abc;timeout=x"));
  EXPECT_EQ(parser.SessionTimeout(), 30u);
  ASSERT_TRUE(session("abc;Timeout = 45"));
  EXPECT_EQ(parser.SessionTimeout(), 45u);
  EXPECT_FALSE(session(""));
  EXPECT_FALSE(session(" ;timeout=60"));
  EXPECT_FALSE(session("abc;mode=play"));
}

TEST(RtspResponseParserTest, ChallengeOfARealCameraKeepsItsRealmWhole) {
  CAPTURE_OR_SKIP(unauthorized, "longse_unauthorized.txt");
  CRTSPResponseParser parser;
  ASSERT_TRUE(ParseAll(parser, unauthorized, RTSPRequestType::kDescribe));
  EXPECT_EQ(parser.StatusCode(), 401);
  EXPECT_EQ(parser.CSeq(), 1u);
  EXPECT_EQ(parser.Challenge().scheme, AuthScheme::kDigest);
  EXPECT_EQ(parser.Challenge().realm, "Surveillance Server");
  EXPECT_EQ(parser.Challenge().nonce, "98481030");
  // A Digest challenge without its nonce cannot be answered.
  EXPECT_FALSE(parser.Parse("RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\"\r\n\r\n",
                            RTSPRequestType::kDescribe));
}

TEST(RtspResponseParserTest, MalformedAnswersFailWithoutHarm) {
  CRTSPResponseParser parser;
  for (const char* answer : {
           "RTSP/1.0 404 Not Found\r\nCSeq: 2\r\n\r\n",  // only 200 and 401 are answers to go on with
           "RTSP/1.0 200\r\n\r\n", "RTSP/1.0\r\n\r\n", "\r\n\r\n", "RTSP/1.0 abc OK\r\n\r\n",
           "RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n", "RTSP/1.0 200 OK\r\nContent-Type:\r\n\r\n",
           "RTSP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", "RTSP/1.0 200 OK\r\nSession:\r\n\r\n",
           "RTSP/1.0 200 OK\r\nCSeq: 1\r\n",                      // no header end
           "RTSP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort",  // body cut short
       }) {
    EXPECT_FALSE(parser.Parse(answer, RTSPRequestType::kDescribe)) << answer;
  }
  // Lines without a colon and unknown headers are ignored.
  EXPECT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\ngarbage\r\nX-Whatever: 1\r\n\r\n", RTSPRequestType::kOptions));
}

}  // namespace
}  // namespace korvane
