#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/OrsaBase64.h"
#include "OrsaMireloConfigDecoder.h"
#include "support/TestSupport.h"

namespace {

using orsa::test::CommandResult;
using orsa::test::orsaToolPath;
using orsa::test::runCommand;
using orsa::test::TempDir;

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

class ConfigToolTest : public testing::Test {
 protected:
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "orsa tool not built";
  }
  CommandResult orsa(const std::vector<std::string>& args) {
    std::string line = quote(orsaToolPath()) + " --home " + quote(home.str());
    for (const auto& a : args) line += " " + quote(a);
    return runCommand(line, 60);
  }
  TempDir home;
};

TEST_F(ConfigToolTest, EncodeThenDecodeRoundTrips) {
  auto enc = orsa({"config", "encode", "--id", "h1", "--stream", "r,s,,u,mobile"});
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  ASSERT_FALSE(enc.out.empty());
  ASSERT_EQ(enc.out.back(), '\n');
  std::string encoded = enc.out.substr(0, enc.out.size() - 1);
  // Nothing but the configuration on stdout.
  EXPECT_TRUE(OrsaBase64::decode(encoded)) << enc.out;

  auto dec = orsa({"config", "decode", encoded});
  ASSERT_EQ(dec.exitCode, 0) << dec.err;
  EXPECT_EQ(dec.out,
            "MireloConfig{DigitalHumanId='h1', Streams[0]=Stream{RoomId='r', StreamId='s', "
            "EncodeCode='', PackageUrl='u', Platform='mobile'}}\n");

  // The library reads the same thing.
  auto config = OrsaMireloConfigDecoder::decode(encoded);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->getFitStream()->packageUrl(), "u");
  EXPECT_FALSE(config->getFitStream()->encodeCode());
}

TEST_F(ConfigToolTest, SeveralStreamsShortFormsAndCommasInUrls) {
  auto enc =
      orsa({"config", "encode", "--id", "数字人", "--stream", "room-w,stream-w", "--stream",
            "room-m,stream-m,h264,https://cdn.example/a,b.zip?x=1,mobile", "--stream", ",s3,enc"});
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  auto dec = orsa({"config", "decode", enc.out.substr(0, enc.out.size() - 1)});
  ASSERT_EQ(dec.exitCode, 0) << dec.err;
  EXPECT_EQ(dec.out,
            "MireloConfig{DigitalHumanId='数字人', "
            "Streams[0]=Stream{RoomId='room-w', StreamId='stream-w', EncodeCode='', PackageUrl='', "
            "Platform=''}, "
            "Streams[1]=Stream{RoomId='room-m', StreamId='stream-m', EncodeCode='h264', "
            "PackageUrl='https://cdn.example/a,b.zip?x=1', Platform='mobile'}, "
            "Streams[2]=Stream{RoomId='', StreamId='s3', EncodeCode='enc', PackageUrl='', "
            "Platform=''}}\n");
}

TEST_F(ConfigToolTest, DecodeFailuresExitOneWithTheDecoderError) {
  struct Case {
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {"", "decode error, config empty"},
      {"abc", "decode error, base64 decode failed"},
      {"Zm9v\nYmFy", "decode error, base64 decode failed"},
      {OrsaBase64::encode("\xff"), "decode error, convert to string failed"},
      {OrsaBase64::encode("{oops"), "decode error, json parse failed: "},
      {OrsaBase64::encode(R"({"DigitalHumanId":"h","Streams":[]})"),
       "decode error, data is not valid: MireloConfig{DigitalHumanId='h'}"},
  };
  for (const auto& c : cases) {
    auto r = orsa({"config", "decode", c.input});
    EXPECT_EQ(r.exitCode, 1) << c.input;
    EXPECT_EQ(r.out, "") << c.input;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.input << "\n" << r.err;
  }
}

TEST_F(ConfigToolTest, EncodingAnInvalidMobileStreamStillEncodesButDoesNotDecode) {
  auto enc = orsa({"config", "encode", "--id", "h", "--stream", "r,s,,,mobile"});
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  auto dec = orsa({"config", "decode", enc.out.substr(0, enc.out.size() - 1)});
  EXPECT_EQ(dec.exitCode, 1);
  EXPECT_NE(dec.err.find("decode error, data is not valid: MireloConfig{DigitalHumanId='h', "
                         "Streams[0]=Stream{RoomId='r', StreamId='s', EncodeCode='', "
                         "PackageUrl='', Platform='mobile'}}"),
            std::string::npos)
      << dec.err;
}

TEST_F(ConfigToolTest, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"config"},
      {"config", "frobnicate"},
      {"config", "decode"},
      {"config", "decode", "a", "b"},
      {"config", "encode", "--stream", "r,s"},  // no id
      {"config", "encode", "--id", "h"},        // no stream
      {"config", "encode", "--id", "h", "--stream", "only-room"},
      {"config", "encode", "--id", "h", "--stream"},
      {"config", "encode", "--id", "h", "--stream", "r,s", "--bogus"},
  };
  for (const auto& args : bad) {
    auto r = orsa(args);
    EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.out, "") << testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: orsa config"), std::string::npos) << r.err;
  }
}

}  // namespace
