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

const auto b64 = &OrsaBase64::encode;

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
      {b64("{\"DigitalHumanId\":\"\xff\"}"), "decode error, convert to string failed"},
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
  auto with = [](const std::string& streams) {
    return R"({"DigitalHumanId":"h","Streams":)" + streams + "}";
  };
  const std::string mobile = R"({"RoomId":"r","StreamId":"s","ConfigId":"mobile")";
  const std::pair<std::string, bool> cases[] = {
      {with("[" + kStream + R"(,{"ConfigId":"web"}])"), true},  // web only: no package needed
      {with("[" + mobile + "}]"), false},
      {with("[" + mobile + R"(,"PackageUrl":"u"}])"), true},
      {with(R"([{"RoomId":"r","StreamId":"s","ConfigId":["mobile"]}])"), true},
      // A broken mobile stream is chosen over a good web one, and fails.
      {with("[" + kStream + R"(,{"StreamId":"s","ConfigId":"mobile","PackageUrl":"u"}])"), false},
      {with(R"("r,s")"), false},
      {with(R"([1,"x",null,[]])"), false},
      {with(R"([{"StreamId":"s"}])"), false},
      {with(R"([{"RoomId":"r"}])"), false},
      {R"({"DigitalHumanId":"h"})", false},
      {with("[" + kStream + R"(],"X":)" + std::string(30, '[') + std::string(30, ']')), true},
      {R"({"DigitalHumanId":"","Streams":[{"RoomId":"","StreamId":""}]})", true},
      {R"({"Streams":[)" + kStream + "]}", false},
      {R"({"DigitalHumanId":null,"Streams":[)" + kStream + "]}", false},
      {R"({"digitalHumanId":"h","Streams":[)" + kStream + "]}", false}};
  for (const auto& [json, valid] : cases) {
    const std::string error = decodeError(b64(json));
    EXPECT_EQ(error.empty(), valid) << json << "\n" << error;
    EXPECT_EQ(error.rfind(valid ? "" : kNotValid, 0), 0u) << error;
  }
}

TEST(ConfigDecoderTest, HostileSizesAndDepthsFailBoundedly) {
  const std::string big(10 * 1024 * 1024, 'x');
  for (const auto& json : {std::string(100000, '[') + std::string(100000, ']'),
                           std::string(100000, '['), R"({"DigitalHumanId":")" + big + "\"}"}) {
    const std::string error = decodeError(b64(json));
    EXPECT_EQ(error.rfind(kParse, 0), 0u) << error.substr(0, 200);
    EXPECT_LT(error.size(), 10000u);
  }
  EXPECT_EQ(decodeError(big + "!"), "decode error, base64 decode failed");
  // The description of an invalid configuration is clipped in the error line.
  const auto error = decodeError(b64(R"({"DigitalHumanId":")" + big.substr(0, 100000) + "\"}"));
  EXPECT_EQ(error.rfind(kNotValid + "MireloConfig{DigitalHumanId='xxx", 0), 0u);
  EXPECT_LT(error.size(), 5000u);
}

TEST(ConfigDecoderTest, FieldsSurviveTheEncoderAndTheFitStreamIsChosenOnce) {
  auto config = OrsaMireloConfigDecoder::decode(b64(R"({"DigitalHumanId":"数字人 \"q\" \\ id",
      "Streams":[{"RoomId":"","StreamId":"w","ConfigId":"web"},{"RoomId":"r","StreamId":"m",
      "EncodeCode":"h264","PackageUrl":"https://x/p.zip?a=1,b=2","ConfigId":"mobile"}]})"));
  ASSERT_TRUE(config);
  auto back = OrsaMireloConfigDecoder::decode(OrsaMireloConfigEncoder::encode(*config));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->digitalHumanId(), "数字人 \"q\" \\ id");
  EXPECT_EQ(back->streams(), config->streams());
  EXPECT_EQ(back->string(), config->string());
  // Web first, mobile second: the mobile stream is chosen, once; a later list changes nothing.
  ASSERT_EQ(back->getFitStream()->streamId(), "m");
  back->setStreams(OrsaMireloConfig::Streams{(*back->streams())[0]});
  EXPECT_EQ(back->getFitStream()->streamId(), "m");
}

}  // namespace
