#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using orsa::test::CommandResult;
using orsa::test::runCommand;
using orsa::test::TempDir;

std::string hexOf(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0xF]);
  }
  return out;
}

std::vector<uint8_t> wordsLE(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> out;
  for (uint32_t w : words)
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(w >> (8 * k)));
  return out;
}

class SeiToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (orsa::test::orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
  }

  CommandResult sei(const std::string& quotedArgs) {
    return runCommand(
        orsa::test::orsaToolPath() + " --home '" + home_.str() + "' sei " + quotedArgs, 30);
  }

  TempDir home_;
};

TEST_F(SeiToolTest, PrintsTheStoredRecordOnOneLine) {
  // type 1 with a negative start and a rectangle, then a tenth word that must be ignored.
  std::vector<uint8_t> payload =
      wordsLE({25, 1, 0xFFFFFFFF, 0x80000000, 4096, 704, 100, 1216, 612, 0xAABBCCDD});
  CommandResult r = sei("parse " + hexOf(payload));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "fps=25 type=1 startIndex=-1 endIndex=-2147483648 frameIndex=4096 left=704 top=100 "
            "right=1216 bottom=612\n");
}

TEST_F(SeiToolTest, RemovesEmulationPreventionBytesFirst) {
  // frameIndex = 0x00000100 = 256 sits in a zero run: on the wire 00 00 03 guards each 00 00 01
  // and 00 00 00; the words are 30, 0, 0, 0, 256, 0, 0, 2, 3.
  std::vector<uint8_t> raw = wordsLE({30, 0, 0, 0, 256, 0, 0, 2, 3});
  std::vector<uint8_t> wire;
  int zeros = 0;
  for (uint8_t b : raw) {
    if (zeros >= 2 && b <= 3) {
      wire.push_back(0x03);
      zeros = 0;
    }
    wire.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  ASSERT_GT(wire.size(), raw.size() + 4);
  // Upper-case digits and spaces between bytes are accepted too.
  std::string hex;
  for (uint8_t b : wire) {
    char buf[4];
    std::snprintf(buf, sizeof(buf), "%02X ", b);
    hex += buf;
  }
  CommandResult r = sei("parse '" + hex + "'");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "fps=30 type=0 startIndex=0 endIndex=0 frameIndex=256 left=0 top=0 right=2 "
            "bottom=3\n");
}

TEST_F(SeiToolTest, RefusedPayloadsExitOneWithTheRefusalText) {
  // 36 bytes on the wire, 35 once the 0x03 is gone.
  std::vector<uint8_t> shrinking = {0x00, 0x00, 0x03, 0x01};
  shrinking.insert(shrinking.end(), 32, 0x22);
  CommandResult r = sei("parse " + hexOf(shrinking));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("updateSEI failed, data size not fit!"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("fps="), std::string::npos);

  // Whole words, but fewer than nine.
  r = sei("parse " + hexOf(wordsLE({1, 2, 3, 4, 5, 6, 7, 8})));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("updateSEI failed, data size not fit!"), std::string::npos) << r.err;

  r = sei("parse ''");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("updateSEI failed, data empty!"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("fps="), std::string::npos);
}

TEST_F(SeiToolTest, BadHexAndBadUsage) {
  // No 0x03 anywhere, so nothing is unescaped.
  const std::string valid = hexOf(wordsLE({25, 16, 32, 48, 64, 80, 96, 112, 128}));
  for (const std::string& bad :
       {valid + "0", valid.substr(0, 10) + "zz" + valid.substr(12), std::string("0x") + valid,
        valid.substr(0, 1) + " " + valid.substr(1)}) {
    CommandResult r = sei("parse '" + bad + "'");
    EXPECT_EQ(r.exitCode, 1) << bad;
    EXPECT_FALSE(r.err.empty()) << bad;
    EXPECT_EQ(r.out.find("fps="), std::string::npos) << bad;
  }
  CommandResult ok = sei("parse " + valid);
  EXPECT_EQ(ok.exitCode, 0);

  EXPECT_NE(sei("").exitCode, 0);
  EXPECT_NE(sei("parse").exitCode, 0);
  EXPECT_NE(sei("dump " + valid).exitCode, 0);
  EXPECT_NE(sei("parse " + valid + " extra").exitCode, 0);
}

}  // namespace
