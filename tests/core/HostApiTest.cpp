// What a host builds on besides the engine itself: the SEI helper a sender uses, the console
// switch and where the library's data is found.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "orsa/OrsaHost.h"
#include "orsa/OrsaSEIRecord.h"
#include "platform/Console.h"
#include "platform/HostInfo.h"
#include "render/OrsaFrameData.h"
#include "support/TestSupport.h"

namespace {

// Values whose bytes need escaping (runs of zeros followed by 0-3) and the extremes.
const OrsaSEIRecord kRecords[] = {
    {25, 0, 0, 0, 0, 0, 0, 0, 0},
    {25, 0, 0, 0, 3, 1, 2, 3, 0},
    {-1, 1, 2, 3, 256, 0x00000300, 0x00030000, INT_MAX, INT_MIN},
    {120, 0, 0, 0, 65536, 190, 150, 350, 350},
};

}  // namespace

TEST(OrsaSEIRecord, PayloadIsEscapedAndReadsBackAsTheEngineReadsIt) {
  for (const auto& record : kRecords) {
    const auto payload = record.payload();
    // No start-code look-alike survives: two zeros are never followed by 0x00-0x02, and a
    // 0x03 after them is always an inserted one.
    for (size_t i = 2; i < payload.size(); ++i) {
      if (payload[i - 2] == 0 && payload[i - 1] == 0) {
        EXPECT_GE(payload[i], 0x03) << "at " << i;
      }
    }
    EXPECT_EQ(OrsaSEIRecord::unescape(payload).size(), OrsaSEIRecord::kSize);
    EXPECT_EQ(OrsaSEIRecord::parse(payload), record);

    OrsaFrameData frame;
    ASSERT_EQ(frame.updateSEI(payload), OrsaFrameData::SEIStatus::Ok);
    EXPECT_EQ(frame.fps(), record.fps);
    EXPECT_EQ(frame.frameIndex(), record.frameIndex);
    EXPECT_EQ(frame.left(), record.left);
    EXPECT_EQ(frame.bottom(), record.bottom);
  }
  // The little-endian layout itself, for a host writing its own sender.
  const OrsaSEIRecord r{0x01020304, 0, 0, 0, 0, 0, 0, 0, -2};
  const std::vector<uint8_t> raw = OrsaSEIRecord::unescape(r.payload());
  ASSERT_EQ(raw.size(), 36u);
  EXPECT_EQ((std::vector<uint8_t>(raw.begin(), raw.begin() + 4)),
            (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ((std::vector<uint8_t>(raw.end() - 4, raw.end())),
            (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(OrsaSEIRecord, ExtraWordsAreIgnoredAndIncompleteRecordsRefused) {
  const OrsaSEIRecord record = kRecords[3];
  const int32_t sendTime[] = {123456, 0};
  EXPECT_EQ(OrsaSEIRecord::parse(record.payload(sendTime)), record);

  auto raw = OrsaSEIRecord::unescape(record.payload());
  for (size_t size : {size_t{0}, size_t{32}, size_t{35}}) {
    const std::vector<uint8_t> cut(raw.begin(), raw.begin() + static_cast<long>(size));
    EXPECT_FALSE(OrsaSEIRecord::parse(OrsaSEIRecord::escape(cut))) << size << " bytes";
  }
}

TEST(OrsaHostConsole, WarningsByDefaultNothingWhenOffAndNeverOnStandardOutput) {
  namespace P = orsa::platform;
  const int saved = P::consoleLevel();
  testing::internal::CaptureStdout();
  OrsaHost::setConsoleLogLevel(OrsaLogLevel::Warning);
  const std::string atWarning = orsa::test::consoleOf([] {
    P::consoleWrite("chatter");
    P::consoleWrite("a warning", P::kConsoleWarning);
  });
  OrsaHost::setConsoleLogLevel(OrsaLogLevel::Off);
  const std::string whenOff =
      orsa::test::consoleOf([] { P::consoleWrite("an error", P::kConsoleError); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  P::consoleSetLevel(saved);
  EXPECT_EQ(atWarning, "a warning\n");
  EXPECT_EQ(whenOff, "");
}

TEST(OrsaHostResources, EnvironmentFirstThenTheHostsFolderThenTheInstallation) {
  using orsa::platform::HostInfo;
  orsa::test::TempDir fromEnv, fromHost;
  orsa::test::writeFile(fromEnv.path() / "a.txt", "env");
  orsa::test::writeFile(fromHost.path() / "a.txt", "host");
  orsa::test::writeFile(fromHost.path() / "b.txt", "host");
  setenv("ORSA_RESOURCE_DIR", fromEnv.str().c_str(), 1);
  OrsaHost::setResourceDirectory(fromHost.str());
  EXPECT_EQ(HostInfo::findResource("a.txt"), (fromEnv.path() / "a.txt").string());
  EXPECT_EQ(HostInfo::findResource("b.txt"), (fromHost.path() / "b.txt").string());
  EXPECT_EQ(HostInfo::findResource("none.txt"), std::nullopt);
  unsetenv("ORSA_RESOURCE_DIR");
  OrsaHost::setResourceDirectory("");
  // This test program lives in the build tree, so the sources' copy is in reach.
  EXPECT_TRUE(HostInfo::findResource("OrsaDigitalHumanShader.glsl").has_value());
}
