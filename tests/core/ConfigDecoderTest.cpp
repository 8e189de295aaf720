#include <gtest/gtest.h>

#include <string>

#include "platform/OrsaBase64.h"
#include "OrsaMireloConfigDecoder.h"
#include "OrsaMireloConfigEncoder.h"
#include "platform/Utf8.h"

namespace {

using namespace std::string_literals;

struct Decoded {
  std::shared_ptr<OrsaMireloConfig> config;
  std::string error;
};

Decoded decodeJson(const std::string& json) {
  Decoded d;
  d.config = OrsaMireloConfigDecoder::decode(OrsaBase64::encode(json), &d.error);
  return d;
}

Decoded decodeRaw(const std::string& text) {
  Decoded d;
  d.config = OrsaMireloConfigDecoder::decode(text, &d.error);
  return d;
}

// ---- base64 ----

TEST(OrsaBase64Test, RoundTripsEveryLengthAndByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n <= all.size(); n += (n < 8 ? 1 : 37)) {
    std::string bytes = all.substr(0, n);
    std::string text = OrsaBase64::encode(bytes);
    EXPECT_EQ(text.size() % 4, 0u);
    auto back = OrsaBase64::decode(text);
    ASSERT_TRUE(back) << n;
    EXPECT_EQ(*back, bytes) << n;
  }
}

TEST(OrsaBase64Test, KnownVectors) {
  // RFC 4648 test vectors.
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, coded] : vectors) {
    EXPECT_EQ(OrsaBase64::encode(plain), coded);
    EXPECT_EQ(OrsaBase64::decode(coded), std::optional<std::string>(plain));
  }
  EXPECT_EQ(OrsaBase64::encode("\xfb\xff"s), "+/8=");
  EXPECT_EQ(OrsaBase64::decode("+/8="), std::optional<std::string>("\xfb\xff"s));
}

TEST(OrsaBase64Test, RejectsEverythingOutsideTheStrictForm) {
  const char* bad[] = {
      "Zm9",         // length not a multiple of 4
      "Zg",          // unpadded
      "Zm9v\nYmFy",  // line break
      "Zm9v YmFy",   // blank
      " Zm9vYmFy",   // leading blank
      "Zm9vYmFy\n",  // trailing newline
      "Zm9-YmFy",    // URL-safe alphabet
      "Zm9_YmFy",
      "Zg=a",  // character after padding
      "Z===",  // three padding characters
      "====",
      "Zg==Zm9v",  // padding in the middle
      "Zm=v",
      "Zh==",  // discarded bits not zero
      "Zm9=",
      "Zm8\x80",  // byte outside ASCII
  };
  for (const char* text : bad) EXPECT_FALSE(OrsaBase64::decode(text)) << text;
  EXPECT_FALSE(OrsaBase64::decode("Zm9v\0YmF"s));  // embedded NUL
}

// ---- UTF-8 ----

TEST(OrsaUtf8Test, AcceptsWellFormedText) {
  EXPECT_TRUE(orsa::platform::isValidUtf8(""));
  EXPECT_TRUE(orsa::platform::isValidUtf8("plain ascii \x01\x7f"));
  EXPECT_TRUE(orsa::platform::isValidUtf8("\xc2\x80"));                      // U+0080
  EXPECT_TRUE(orsa::platform::isValidUtf8("\xdf\xbf\xe0\xa0\x80"));          // U+07FF U+0800
  EXPECT_TRUE(orsa::platform::isValidUtf8("\xed\x9f\xbf\xee\x80\x80"));      // U+D7FF U+E000
  EXPECT_TRUE(orsa::platform::isValidUtf8("\xef\xbf\xbf\xf0\x90\x80\x80"));  // U+FFFF U+10000
  EXPECT_TRUE(orsa::platform::isValidUtf8("\xf4\x8f\xbf\xbf"));              // U+10FFFF
  EXPECT_TRUE(orsa::platform::isValidUtf8("数字人"));
  EXPECT_TRUE(orsa::platform::isValidUtf8("a\0b"s));
}

TEST(OrsaUtf8Test, RejectsMalformedText) {
  const std::string bad[] = {
      "\x80",  // stray continuation
      "\xbf",
      "\xc2",              // truncated
      "\xe0\xa0",          // truncated
      "\xf0\x90\x80",      // truncated
      "\xc0\x80",          // overlong NUL
      "\xc1\xbf",          // overlong
      "\xe0\x9f\xbf",      // overlong three-byte
      "\xf0\x8f\xbf\xbf",  // overlong four-byte
      "\xed\xa0\x80",      // surrogate U+D800
      "\xed\xbf\xbf",      // surrogate U+DFFF
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "\xf8\x88\x80\x80\x80",
      "\xff",
      "\xc2\x41",    // lead followed by a non-continuation
      "ok\xe2\x82",  // truncated at the end
  };
  for (const auto& b : bad) EXPECT_FALSE(orsa::platform::isValidUtf8(b)) << testing::PrintToString(b);
}

// ---- decoder: failure table ----

TEST(ConfigDecoderTest, FailureTableProducesNullWithItsErrorLine) {
  EXPECT_EQ(decodeRaw("").error, "decode error, config empty");
  {
    std::string error;
    EXPECT_EQ(OrsaMireloConfigDecoder::decode(static_cast<const char*>(nullptr), &error), nullptr);
    EXPECT_EQ(error, "decode error, config empty");
  }

  const std::string good =
      OrsaBase64::encode(R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s"}]})");
  ASSERT_TRUE(decodeRaw(good).config);

  // A valid text spoiled by a line break, a blank, or a missing padding character.
  std::string wrapped = good;
  wrapped.insert(8, "\n");
  std::string blank = good;
  blank.insert(8, " ");
  for (const auto& text : {wrapped, blank, good.substr(0, good.size() - 1), "%%%%"s}) {
    auto d = decodeRaw(text);
    EXPECT_EQ(d.config, nullptr);
    EXPECT_EQ(d.error, "decode error, base64 decode failed") << text;
  }

  for (const auto& bytes : {"{\"DigitalHumanId\":\"\xff\"}"s, "\xc0\x80"s, "{}\xed\xa0\x80"s}) {
    auto d = decodeJson(bytes);
    EXPECT_EQ(d.config, nullptr);
    EXPECT_EQ(d.error, "decode error, convert to string failed");
  }

  for (const auto& text :
       {"not json"s, "{"s, "{\"a\":}"s, "{} {}"s, "\"just a string\""s, "42"s, "null"s, "true"s}) {
    auto d = decodeJson(text);
    EXPECT_EQ(d.config, nullptr) << text;
    EXPECT_EQ(d.error.rfind("decode error, json parse failed: ", 0), 0u) << d.error;
    // The parser's own reason follows the prefix.
    EXPECT_GT(d.error.size(), std::string("decode error, json parse failed: ").size());
  }

  auto invalid = decodeJson(R"({"DigitalHumanId":"h1","Streams":[]})");
  EXPECT_EQ(invalid.config, nullptr);
  EXPECT_EQ(invalid.error, "decode error, data is not valid: MireloConfig{DigitalHumanId='h1'}");
}

TEST(ConfigDecoderTest, TopLevelArrayIsAnInvalidConfiguration) {
  auto d = decodeJson(R"([{"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s"}]}])");
  EXPECT_EQ(d.config, nullptr);
  EXPECT_EQ(d.error, "decode error, data is not valid: MireloConfig{DigitalHumanId=''}");
}

TEST(ConfigDecoderTest, HostileSizesAndDepthsFailWithoutCrashing) {
  // 100000 nested arrays, then the same depth of objects.
  {
    auto d = decodeJson(std::string(100000, '[') + std::string(100000, ']'));
    EXPECT_EQ(d.config, nullptr);
    EXPECT_EQ(d.error.rfind("decode error, json parse failed: ", 0), 0u) << d.error.substr(0, 200);
  }
  {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
    deep += "1";
    deep += std::string(100000, '}');
    auto d = decodeJson(deep);
    EXPECT_EQ(d.config, nullptr);
    EXPECT_EQ(d.error.rfind("decode error, json parse failed: ", 0), 0u);
  }
  // Unterminated nesting.
  EXPECT_EQ(decodeJson(std::string(100000, '[')).config, nullptr);

  // Nesting a real configuration might plausibly use still decodes.
  {
    std::string nested = R"({"DigitalHumanId":"h","Extra":)" + std::string(30, '[') +
                         std::string(30, ']') + R"(,"Streams":[{"RoomId":"r","StreamId":"s"}]})";
    EXPECT_NE(decodeJson(nested).config, nullptr);
  }

  // A configuration with a 10 MB id: more than the decoder takes.
  {
    std::string json = R"({"DigitalHumanId":")" + std::string(10 * 1024 * 1024, 'x') +
                       R"(","Streams":[{"RoomId":"r","StreamId":"s"}]})";
    auto d = decodeJson(json);
    EXPECT_EQ(d.config, nullptr);
    EXPECT_EQ(d.error.rfind("decode error, json parse failed: ", 0), 0u);
    EXPECT_LT(d.error.size(), 10000u);
  }
  // 10 MB of base64 garbage and 10 MB of letters.
  EXPECT_EQ(decodeRaw(std::string(10 * 1024 * 1024, '!')).error,
            "decode error, base64 decode failed");
  EXPECT_EQ(decodeRaw(std::string(10 * 1024 * 1024, 'A'))
                .error.rfind("decode error, json parse failed: ", 0),
            0u);
}

TEST(ConfigDecoderTest, InvalidDescriptionsInTheErrorLineAreBounded) {
  std::string json = R"({"DigitalHumanId":")" + std::string(100000, 'y') + R"("})";
  auto d = decodeJson(json);
  EXPECT_EQ(d.config, nullptr);
  EXPECT_EQ(d.error.rfind("decode error, data is not valid: MireloConfig{DigitalHumanId='yyy", 0),
            0u);
  EXPECT_LT(d.error.size(), 5000u);
  EXPECT_NE(d.error.find("bytes)"), std::string::npos);
}

// ---- decoder: fields, fit stream, validity ----

TEST(ConfigDecoderTest, CopiesEveryFieldInOrder) {
  auto d = decodeJson(R"({
    "DigitalHumanId": "human-7",
    "Ignored": {"x": [1, 2]},
    "Streams": [
      {"RoomId": "room-a", "StreamId": "s-a", "EncodeCode": "h264", "PackageUrl": "https://x/a.zip",
       "ConfigId": "web", "roomid": "lowercase keys do not count"},
      {"RoomId": "room-b", "StreamId": "s-b", "ConfigId": "mobile", "PackageUrl": "https://x/b.zip"}
    ]})");
  ASSERT_TRUE(d.config) << d.error;
  EXPECT_EQ(d.error, "");
  const auto& c = *d.config;
  EXPECT_EQ(c.digitalHumanId(), "human-7");
  ASSERT_TRUE(c.streams());
  ASSERT_EQ(c.streams()->size(), 2u);
  const auto& a = (*c.streams())[0];
  EXPECT_EQ(a.roomId(), "room-a");
  EXPECT_EQ(a.streamId(), "s-a");
  EXPECT_EQ(a.encodeCode(), "h264");
  EXPECT_EQ(a.packageUrl(), "https://x/a.zip");
  EXPECT_EQ(a.configId(), "web");
  const auto& b = (*c.streams())[1];
  EXPECT_EQ(b.roomId(), "room-b");
  EXPECT_FALSE(b.encodeCode());
  // Web first, mobile second: the mobile stream is the one this device uses.
  ASSERT_TRUE(c.getFitStream());
  EXPECT_EQ(*c.getFitStream(), b);
}

TEST(ConfigDecoderTest, NonStringValuesCountAsAbsent) {
  auto d = decodeJson(
      R"({"DigitalHumanId":"h","Streams":[{"RoomId":7,"StreamId":"s","ConfigId":null}]})");
  EXPECT_EQ(d.config, nullptr);  // the fit stream has no room
  EXPECT_EQ(d.error,
            "decode error, data is not valid: MireloConfig{DigitalHumanId='h', "
            "Streams[0]=Stream{RoomId='', StreamId='s', EncodeCode='', PackageUrl='', "
            "Platform=''}}");
  EXPECT_EQ(decodeJson(R"({"DigitalHumanId":1,"Streams":[{"RoomId":"r","StreamId":"s"}]})").config,
            nullptr);
  EXPECT_EQ(
      decodeJson(R"({"DigitalHumanId":null,"Streams":[{"RoomId":"r","StreamId":"s"}]})").config,
      nullptr);
  // A platform that is not a string is not "mobile": no package needed.
  auto web = decodeJson(
      R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":["mobile"]}]})");
  ASSERT_TRUE(web.config);
  EXPECT_FALSE(web.config->getFitStream()->configId());
}

TEST(ConfigDecoderTest, ValidityRules) {
  struct Case {
    const char* json;
    bool valid;
  };
  const Case cases[] = {
      // Only web streams: the first is used, no package needed.
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"web"},
          {"ConfigId":"web"}]})",
       true},
      // Mobile needs a non-empty package URL.
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"mobile",
          "PackageUrl":""}]})",
       false},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"mobile"}]})",
       false},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"mobile",
          "PackageUrl":"u"}]})",
       true},
      // "Mobile" is not "mobile".
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":"Mobile"}]})",
       true},
      // A broken mobile stream is chosen over a good web one, and fails.
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s"},
          {"StreamId":"s","ConfigId":"mobile","PackageUrl":"u"}]})",
       false},
      // No usable streams.
      {R"({"DigitalHumanId":"h","Streams":[]})", false},
      {R"({"DigitalHumanId":"h"})", false},
      {R"({"DigitalHumanId":"h","Streams":"r,s"})", false},
      {R"({"DigitalHumanId":"h","Streams":[1,"x",null,[]]})", false},
      // Empty strings pass where presence is all that is asked.
      {R"({"DigitalHumanId":"","Streams":[{"RoomId":"","StreamId":""}]})", true},
      {R"({"Streams":[{"RoomId":"r","StreamId":"s"}]})", false},
      {R"({"DigitalHumanId":"h","Streams":[{"StreamId":"s"}]})", false},
      {R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r"}]})", false},
      // Keys are case-sensitive.
      {R"({"digitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s"}]})", false},
  };
  for (const auto& c : cases) {
    auto d = decodeJson(c.json);
    EXPECT_EQ(d.config != nullptr, c.valid) << c.json << "\n" << d.error;
    if (!c.valid) {
      EXPECT_EQ(d.error.rfind("decode error, data is not valid: ", 0), 0u);
    }
  }
}

TEST(ConfigDecoderTest, NonObjectStreamEntriesAreSkipped) {
  auto d = decodeJson(
      R"({"DigitalHumanId":"h","Streams":[5,{"RoomId":"r","StreamId":"s","ConfigId":"web"}]})");
  ASSERT_TRUE(d.config);
  ASSERT_EQ(d.config->streams()->size(), 1u);
  EXPECT_EQ(d.config->getFitStream()->roomId(), "r");
}

TEST(ConfigTest, FitStreamIsChosenOnceAndKept) {
  OrsaMireloConfig c;
  EXPECT_EQ(c.getFitStream(), nullptr);
  c.setStreams(OrsaMireloConfig::Streams{});
  EXPECT_EQ(c.getFitStream(), nullptr);  // nothing remembered for an empty list

  OrsaMireloStream web;
  web.setStreamId("w");
  web.setConfigId("web");
  OrsaMireloStream mobile;
  mobile.setStreamId("m");
  mobile.setConfigId("mobile");
  c.setStreams(OrsaMireloConfig::Streams{web});
  auto first = c.getFitStream();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->streamId(), "w");

  // Replacing the list afterwards changes nothing.
  c.setStreams(OrsaMireloConfig::Streams{mobile});
  EXPECT_EQ(c.getFitStream(), first);
  EXPECT_EQ(c.getFitStream()->streamId(), "w");
  c.setStreams(std::nullopt);
  EXPECT_EQ(c.getFitStream()->streamId(), "w");

  // A copy keeps the choice too.
  OrsaMireloConfig copy = c;
  EXPECT_EQ(copy.getFitStream()->streamId(), "w");
}

TEST(ConfigTest, DescriptionsAreFormedExactly) {
  OrsaMireloConfig c;
  EXPECT_EQ(c.string(), "MireloConfig{DigitalHumanId=''}");
  c.setDigitalHumanId("h1");
  EXPECT_EQ(c.string(), "MireloConfig{DigitalHumanId='h1'}");
  c.setStreams(OrsaMireloConfig::Streams{});
  EXPECT_EQ(c.string(), "MireloConfig{DigitalHumanId='h1'}");

  OrsaMireloStream s;
  s.setRoomId("r");
  s.setStreamId("s");
  s.setPackageUrl("u");
  s.setConfigId("mobile");
  c.setStreams(OrsaMireloConfig::Streams{s});
  EXPECT_EQ(c.string(),
            "MireloConfig{DigitalHumanId='h1', Streams[0]=Stream{RoomId='r', StreamId='s', "
            "EncodeCode='', PackageUrl='u', Platform='mobile'}}");

  OrsaMireloStream t;
  t.setEncodeCode("e%s%d{}");  // format characters are printed as they are
  c.setStreams(OrsaMireloConfig::Streams{s, t});
  EXPECT_EQ(c.string(),
            "MireloConfig{DigitalHumanId='h1', Streams[0]=Stream{RoomId='r', StreamId='s', "
            "EncodeCode='', PackageUrl='u', Platform='mobile'}, Streams[1]=Stream{RoomId='', "
            "StreamId='', EncodeCode='e%s%d{}', PackageUrl='', Platform=''}}");
}

TEST(ConfigEncoderTest, RoundTripsThroughTheDecoder) {
  OrsaMireloConfig c;
  c.setDigitalHumanId("数字人 \"quoted\" \\ id");
  OrsaMireloStream web;
  web.setRoomId("");
  web.setStreamId("w");
  web.setConfigId("web");
  OrsaMireloStream mobile;
  mobile.setRoomId("r");
  mobile.setStreamId("m");
  mobile.setEncodeCode("h264");
  mobile.setPackageUrl("https://example.com/p.zip?a=1,b=2");
  mobile.setConfigId("mobile");
  c.setStreams(OrsaMireloConfig::Streams{web, mobile});

  std::string text = OrsaMireloConfigEncoder::encode(c);
  std::string error;
  auto back = OrsaMireloConfigDecoder::decode(text, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->digitalHumanId(), c.digitalHumanId());
  EXPECT_EQ(back->streams(), c.streams());
  EXPECT_EQ(back->string(), c.string());
  EXPECT_EQ(*back->getFitStream(), mobile);

  // Absent fields stay absent (the JSON leaves them out).
  auto json = OrsaBase64::decode(text);
  ASSERT_TRUE(json);
  EXPECT_EQ(json->find("PackageUrl\":null"), std::string::npos);
  auto count = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t at = json->find(needle); at != std::string::npos; at = json->find(needle, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("\"RoomId\""), 2u);      // an empty room id is kept
  EXPECT_EQ(count("\"EncodeCode\""), 1u);  // only the mobile stream has one
  EXPECT_EQ(count("\"PackageUrl\""), 1u);
}

}  // namespace
