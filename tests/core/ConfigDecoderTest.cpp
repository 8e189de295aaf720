#include <gtest/gtest.h>

#include <string>

#include "OrsaMireloConfigDecoder.h"
#include "OrsaMireloConfigEncoder.h"
#include "platform/OrsaBase64.h"

namespace {

using namespace std::string_literals;

std::string decodeError(const std::string& raw) {
  std::string error = "(not set)";
  auto config = OrsaMireloConfigDecoder::decode(raw, &error);
  EXPECT_EQ(config == nullptr, !error.empty()) << error;
  return error;
}

std::string b64(const std::string& json) {
  return OrsaBase64::encode(json);
}

const std::string kNotValid = "decode error, data is not valid: ";
const std::string kParse = "decode error, json parse failed: ";
const std::string kStream = R"({"RoomId":"r","StreamId":"s"})";

// Each input with the exact line the decoder logs for it; "" for a valid configuration.
TEST(ConfigDecoderTest, EveryInputGetsItsExactOutcome) {
  const std::string good = b64(R"({"DigitalHumanId":"h","Streams":[)" + kStream + "]}");
  const std::pair<std::string, std::string> cases[] = {
      {"", "decode error, config empty"},
      {good, ""},
      {good.substr(0, 8) + "\n" + good.substr(8), "decode error, base64 decode failed"},
      {good.substr(0, 8) + " " + good.substr(8), "decode error, base64 decode failed"},
      {good.substr(0, good.size() - 1), "decode error, base64 decode failed"},
      {b64("{\"DigitalHumanId\":\"\xff\"}"), "decode error, convert to string failed"},
      {b64("\xc0\x80"), "decode error, convert to string failed"},
      {b64("{}\xed\xa0\x80"), "decode error, convert to string failed"},
      {b64(R"([{"DigitalHumanId":"h","Streams":[)" + kStream + "]}]"),
       kNotValid + "MireloConfig{DigitalHumanId=''}"},
      {b64(R"({"DigitalHumanId":"h1","Streams":[]})"),
       kNotValid + "MireloConfig{DigitalHumanId='h1'}"},
      // Values that are not strings count as absent: the fit stream has no room.
      {b64(R"({"DigitalHumanId":"h","Streams":[{"RoomId":7,"StreamId":"s","ConfigId":null}]})"),
       kNotValid + "MireloConfig{DigitalHumanId='h', Streams[0]=Stream{RoomId='', StreamId='s', "
                   "EncodeCode='', PackageUrl='', Platform=''}}"},
      {b64(R"({"DigitalHumanId":"h","Streams":[5,{"RoomId":"r","StreamId":"s","ConfigId":"mobile",
          "PackageUrl":"","EncodeCode":"e%s%d{}"}]})"),
       kNotValid + "MireloConfig{DigitalHumanId='h', Streams[0]=Stream{RoomId='r', StreamId='s', "
                   "EncodeCode='e%s%d{}', PackageUrl='', Platform='mobile'}}"},
  };
  for (const auto& [input, line] : cases) EXPECT_EQ(decodeError(input), line) << input;
  std::string error;
  EXPECT_EQ(OrsaMireloConfigDecoder::decode(static_cast<const char*>(nullptr), &error), nullptr);
  EXPECT_EQ(error, "decode error, config empty");

  for (const auto& text : {"not json"s, "{"s, "{\"a\":}"s, "{} {}"s, "\"str\""s, "42"s, "null"s}) {
    error = decodeError(b64(text));
    EXPECT_EQ(error.rfind(kParse, 0), 0u) << error;
    EXPECT_GT(error.size(), kParse.size());  // the parser's reason follows
  }
}

TEST(ConfigDecoderTest, ValidityRules) {
  const std::pair<std::string, bool> cases[] = {
      // Only web streams: the first is used, no package needed.
      {R"({"DigitalHumanId":"h","Streams":[)" + kStream + R"(,{"ConfigId":"web"}]})", true},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"mobile"}]})",
       false},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"mobile",
          "PackageUrl":"u"}]})",
       true},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"Mobile"}]})",
       true},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":["mobile"]}]})",
       true},
      // A broken mobile stream is chosen over a good web one, and fails.
      {R"({"DigitalHumanId":"h","Streams":[)" + kStream +
           R"(,{"StreamId":"s","ConfigId":"mobile","PackageUrl":"u"}]})",
       false},
      {R"({"DigitalHumanId":"h"})", false},
      {R"({"DigitalHumanId":"h","Streams":"r,s"})", false},
      {R"({"DigitalHumanId":"h","Streams":[1,"x",null,[]]})", false},
      {R"({"DigitalHumanId":"","Streams":[{"RoomId":"","StreamId":""}]})", true},
      {R"({"Streams":[)" + kStream + "]}", false},
      {R"({"DigitalHumanId":null,"Streams":[)" + kStream + "]}", false},
      {R"({"digitalHumanId":"h","Streams":[)" + kStream + "]}", false},
      {R"({"DigitalHumanId":"h","Streams":[{"StreamId":"s"}]})", false},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r"}]})", false},
  };
  for (const auto& [json, valid] : cases) {
    const std::string error = decodeError(b64(json));
    EXPECT_EQ(error.empty(), valid) << json << "\n" << error;
    EXPECT_EQ(error.rfind(valid ? "" : kNotValid, 0), 0u) << error;
  }
}

TEST(ConfigDecoderTest, HostileSizesAndDepthsFailBoundedly) {
  std::string deepObjects;
  for (int i = 0; i < 100000; ++i) deepObjects += "{\"a\":";
  deepObjects += "1" + std::string(100000, '}');
  const std::string tenMegabytes(10 * 1024 * 1024, 'x');
  for (const auto& json :
       {std::string(100000, '[') + std::string(100000, ']'), deepObjects, std::string(100000, '['),
        R"({"DigitalHumanId":")" + tenMegabytes + R"(","Streams":[]})"}) {
    const std::string error = decodeError(b64(json));
    EXPECT_EQ(error.rfind(kParse, 0), 0u) << error.substr(0, 200);
    EXPECT_LT(error.size(), 10000u);
  }
  EXPECT_EQ(decodeError(std::string(10 * 1024 * 1024, '!')), "decode error, base64 decode failed");
  // The description of an invalid configuration is clipped in the error line.
  const std::string error =
      decodeError(b64(R"({"DigitalHumanId":")" + std::string(100000, 'y') + "\"}"));
  EXPECT_EQ(error.rfind(kNotValid + "MireloConfig{DigitalHumanId='yyy", 0), 0u);
  EXPECT_LT(error.size(), 5000u);
  // Nesting a real configuration might plausibly use still decodes.
  EXPECT_EQ(decodeError(b64(R"({"DigitalHumanId":"h","X":)" + std::string(30, '[') +
                            std::string(30, ']') + R"(,"Streams":[)" + kStream + "]}")),
            "");
}

TEST(ConfigDecoderTest, FieldsRoundTripThroughTheEncoderAndTheFitStreamIsKept) {
  OrsaMireloConfig c;
  c.setDigitalHumanId("数字人 \"quoted\" \\ id");
  OrsaMireloStream web, mobile;
  web.setRoomId("");
  web.setStreamId("w");
  web.setConfigId("web");
  mobile.setRoomId("r");
  mobile.setStreamId("m");
  mobile.setEncodeCode("h264");
  mobile.setPackageUrl("https://example.com/p.zip?a=1,b=2");
  mobile.setConfigId("mobile");
  c.setStreams(OrsaMireloConfig::Streams{web, mobile});

  const std::string text = OrsaMireloConfigEncoder::encode(c);
  auto back = OrsaMireloConfigDecoder::decode(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->digitalHumanId(), c.digitalHumanId());
  EXPECT_EQ(back->streams(), c.streams());  // absent fields stay absent
  EXPECT_EQ(back->string(), c.string());
  EXPECT_EQ(OrsaBase64::decode(text)->find("null"), std::string::npos);

  // Web first, mobile second: the mobile stream is chosen, once; a later list changes nothing.
  ASSERT_EQ(back->getFitStream()->streamId(), "m");
  back->setStreams(OrsaMireloConfig::Streams{web});
  EXPECT_EQ(back->getFitStream()->streamId(), "m");
  OrsaMireloConfig empty;
  empty.setStreams(OrsaMireloConfig::Streams{});
  EXPECT_EQ(empty.getFitStream(), nullptr);  // nothing remembered for an empty list
  empty.setStreams(OrsaMireloConfig::Streams{web});
  EXPECT_EQ(empty.getFitStream()->streamId(), "w");
}

}  // namespace
