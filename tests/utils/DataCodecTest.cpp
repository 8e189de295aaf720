#include "utils/DataCodec.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "support/TestSupport.h"
#include "support/VideoWriter.h"

namespace fs = std::filesystem;
using orsa::platform::kMediaPixelFormatBGRA;
using orsa::platform::MediaFrame;
using orsa::platform::MediaReader;
using orsa::test::TempDir;
using orsa::test::VideoCodec;
using orsa::test::VideoSpec;

namespace {

// Console lines are written by a thread of their own; wait for them before reading.
std::string capturedConsole() {
  orsa::platform::consoleFlush();
  return testing::internal::GetCapturedStderr();
}

// Soft shapes only, so JPEG quality is judged on picture content rather than on hard edges.
void paintSmooth(int index, uint8_t* rgba, int w, int h) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = rgba + (static_cast<size_t>(y) * w + x) * 4;
      double dx = x - (w / 2.0 + index), dy = y - h / 2.0;
      double blob = std::exp(-(dx * dx + dy * dy) / (0.1 * w * h));
      p[0] = static_cast<uint8_t>(40 + 150.0 * x / w);
      p[1] = static_cast<uint8_t>(60 + 120.0 * blob);
      p[2] = static_cast<uint8_t>(30 + 100.0 * y / h + 60.0 * blob);
      p[3] = 255;
    }
}

std::vector<std::unique_ptr<MediaFrame>> decodeAll(const std::string& path) {
  std::vector<std::unique_ptr<MediaFrame>> frames;
  auto reader = MediaReader::openFirstVideoTrack(path);
  if (!reader || !reader->addOutput(kMediaPixelFormatBGRA) || !reader->startReading())
    return frames;
  while (reader->status() == MediaReader::Status::Reading)
    if (auto f = reader->copyNextSampleBuffer()) frames.push_back(std::move(f));
  return frames;
}

std::set<std::string> jpegNames(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec))
    if (e.path().extension() == ".jpg") names.insert(e.path().filename().string());
  return names;
}

std::set<std::string> expectedNames(int count) {
  std::set<std::string> names;
  char buf[32];
  for (int i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, "%06d.jpg", i);
    names.insert(buf);
  }
  return names;
}

struct DecodedJpeg {
  int width = 0, height = 0, subsamp = -1;
  std::vector<uint8_t> bgrx;
};

bool decodeJpeg(const std::string& bytes, DecodedJpeg& out) {
  tjhandle h = tjInitDecompress();
  if (!h) return false;
  auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  int colorspace = 0;
  bool ok = tjDecompressHeader3(h, src, bytes.size(), &out.width, &out.height, &out.subsamp,
                                &colorspace) == 0;
  if (ok) {
    out.bgrx.resize(static_cast<size_t>(out.width) * out.height * 4);
    ok = tjDecompress2(h, src, bytes.size(), out.bgrx.data(), out.width, 0, out.height, TJPF_BGRX,
                       TJFLAG_ACCURATEDCT) == 0;
  }
  tjDestroy(h);
  return ok;
}

double psnr(const DecodedJpeg& jpeg, MediaFrame& frame) {
  const uint8_t* base = frame.lockBaseAddress();
  if (!base) return 0;
  double se = 0;
  for (int y = 0; y < jpeg.height; ++y) {
    const uint8_t* a = base + static_cast<size_t>(y) * frame.bytesPerRow();
    const uint8_t* b = jpeg.bgrx.data() + static_cast<size_t>(y) * jpeg.width * 4;
    for (int x = 0; x < jpeg.width * 4; ++x) {
      if (x % 4 == 3) continue;
      double d = double(a[x]) - double(b[x]);
      se += d * d;
    }
  }
  double mse = se / (3.0 * jpeg.width * jpeg.height);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

class DataCodecTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new TempDir();
    orsa::platform::AppContainer::setRoot(home_->str());
  }
  static void TearDownTestSuite() {
    delete home_;
    home_ = nullptr;
  }

  void SetUp() override {
    out_ = dir_.path() / "frames";
    fs::create_directories(out_);
  }

  std::string makeVideo(const std::string& name, VideoSpec videoSpec) {
    std::string path = (dir_.path() / name).string();
    std::string err;
    EXPECT_TRUE(orsa::test::writeVideo(path, videoSpec, orsa::test::paintTestPattern, &err)) << err;
    return path;
  }

  static VideoSpec videoSpec(int frames, int w = 64, int h = 48) {
    VideoSpec s;
    s.width = w;
    s.height = h;
    s.frames = frames;
    return s;
  }

  static TempDir* home_;
  TempDir dir_;
  fs::path out_;
};

TempDir* DataCodecTest::home_ = nullptr;

#define REQUIRE_H264() \
  if (!orsa::test::canEncode(VideoCodec::H264)) GTEST_SKIP() << "no H.264 encoder"

}  // namespace

TEST_F(DataCodecTest, ThreeFramesGiveThreeFilesAndTheSummaryCountsTheEmptyRead) {
  REQUIRE_H264();
  std::string video = makeVideo("three.mp4", videoSpec(3));
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  testing::internal::CaptureStderr();
  OrsaMirelo::ExtractStats stats;
  bool ok = OrsaMirelo::extractVideoFramesToDirectory(video, out_.string(), {}, &stats);
  std::string err = capturedConsole();
  EXPECT_TRUE(ok);
  EXPECT_EQ(jpegNames(out_), expectedNames(3));
  EXPECT_EQ(stats.readCount, 4u);
  EXPECT_EQ(stats.dispatchedCount, 3u);
  EXPECT_EQ(stats.writtenCount, 3u);
  EXPECT_NE(err.find("Extract 4 frames, encode 3 frames"), std::string::npos) << err;
  // Fewer than 16 frames: no checkpoint was reached.
  EXPECT_EQ(err.find("Extracting frame"), std::string::npos);
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before + 1);
}

// Frames of each codec, extracted by one and by several encoders.
class DataCodecQualityTest : public DataCodecTest,
                             public ::testing::WithParamInterface<std::tuple<VideoCodec, int>> {};

TEST_P(DataCodecQualityTest, EveryFrameBecomesAFaithful444Jpeg) {
  auto [codec, encoders] = GetParam();
  if (!orsa::test::canEncode(codec)) GTEST_SKIP() << "encoder missing";
  VideoSpec s = videoSpec(40, 96, 80);
  s.codec = codec;
  std::string video = makeVideo(codec == VideoCodec::H264 ? "q.mp4" : "q.avi", s);
  OrsaMirelo::ExtractOptions options;
  options.encoders = encoders;
  OrsaMirelo::ExtractStats stats;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(OrsaMirelo::extractVideoFramesToDirectory(video, out_.string(), options, &stats));
  std::string err = capturedConsole();
  EXPECT_EQ(stats.encoders, encoders);
  // Checkpoints at read counts 15 and 31.
  EXPECT_NE(err.find("Extracting frame 15"), std::string::npos);
  EXPECT_NE(err.find("Extracting frame 31"), std::string::npos);

  auto frames = decodeAll(video);
  ASSERT_EQ(frames.size(), 40u);
  EXPECT_EQ(jpegNames(out_), expectedNames(static_cast<int>(frames.size())));
  char name[32];
  for (size_t i = 0; i < frames.size(); ++i) {
    std::snprintf(name, sizeof name, "%06zu.jpg", i);
    DecodedJpeg jpeg;
    ASSERT_TRUE(decodeJpeg(orsa::test::readFile(out_ / name), jpeg)) << name;
    EXPECT_EQ(jpeg.width, 96);
    EXPECT_EQ(jpeg.height, 80);
    EXPECT_EQ(jpeg.subsamp, TJSAMP_444) << name;
    EXPECT_GT(psnr(jpeg, *frames[i]), 35.0) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, DataCodecQualityTest,
                         ::testing::Combine(::testing::Values(VideoCodec::H264, VideoCodec::MPEG4),
                                            ::testing::Values(1, 3)));

TEST_F(DataCodecTest, SeveralEncodersWriteTheSameBytesAsOne) {
  REQUIRE_H264();
  std::string video = makeVideo("same.mp4", videoSpec(25, 72, 40));
  fs::path one = dir_.path() / "one", four = dir_.path() / "four";
  fs::create_directories(one);
  fs::create_directories(four);
  OrsaMirelo::ExtractOptions o1, o4;
  o1.encoders = 1;
  o4.encoders = 4;
  o4.maxFramesInFlight = 5;
  ASSERT_TRUE(OrsaMirelo::extractVideoFramesToDirectory(video, one.string(), o1, nullptr));
  ASSERT_TRUE(OrsaMirelo::extractVideoFramesToDirectory(video, four.string(), o4, nullptr));
  auto names = jpegNames(one);
  ASSERT_EQ(names, expectedNames(25));
  ASSERT_EQ(jpegNames(four), names);
  for (auto& n : names) EXPECT_EQ(orsa::test::readFile(one / n), orsa::test::readFile(four / n));
}

TEST_F(DataCodecTest, OddSizedFramesKeepTheirOwnStride) {
  REQUIRE_H264();
  VideoSpec s = videoSpec(4, 35, 21);
  s.yuv444 = true;
  std::string video = (dir_.path() / "odd.mkv").string();
  ASSERT_TRUE(orsa::test::writeVideo(video, s, paintSmooth));
  ASSERT_TRUE(OrsaMirelo::extractVideoFramesToDirectory(video, out_.string()));
  auto frames = decodeAll(video);
  ASSERT_EQ(frames.size(), 4u);
  for (size_t i = 0; i < frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06zu.jpg", i);
    DecodedJpeg jpeg;
    ASSERT_TRUE(decodeJpeg(orsa::test::readFile(out_ / name), jpeg));
    ASSERT_EQ(jpeg.width, 35);
    EXPECT_GT(psnr(jpeg, *frames[i]), 35.0);
  }
}

TEST_F(DataCodecTest, StopMarkerPresentFromTheStartDropsEverythingAndIsRemoved) {
  REQUIRE_H264();
  std::string video = makeVideo("stop.mp4", videoSpec(40));
  fs::path marker = out_ / ".cancel_flag";
  orsa::test::writeFile(marker, "");
  OrsaMirelo::ExtractStats stats;
  testing::internal::CaptureStderr();
  bool ok = OrsaMirelo::extractVideoFramesToDirectory(video, out_.string(), {}, &stats);
  std::string err = capturedConsole();
  EXPECT_FALSE(ok);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(jpegNames(out_).empty());
  // The first checkpoint comes before the sixteenth frame is read.
  EXPECT_EQ(stats.readCount, 15u);
  EXPECT_EQ(stats.dispatchedCount, 15u);
  EXPECT_EQ(stats.droppedCount, 15u);
  EXPECT_NE(err.find("Extracting frame 15"), std::string::npos);
  EXPECT_NE(err.find("Cancel flag detected, stopping extraction"), std::string::npos);
  EXPECT_NE(err.find("Extract 15 frames, encode 15 frames"), std::string::npos);
}

TEST_F(DataCodecTest, StopMarkerMidWayLeavesExactlyTheFramesWrittenBefore) {
  REQUIRE_H264();
  std::string video = makeVideo("mid.mp4", videoSpec(60));
  for (int encoders : {1, 3}) {
    fs::path out = dir_.path() / ("mid" + std::to_string(encoders));
    fs::create_directories(out);
    OrsaMirelo::ExtractOptions options;
    options.encoders = encoders;
    options.maxFramesInFlight = 6;
    options.beforeCommit = [&](uint64_t index) {
      if (index == 20) orsa::test::writeFile(out / ".cancel_flag", "");
    };
    OrsaMirelo::ExtractStats stats;
    EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(video, out.string(), options, &stats));
    // Frames before the marker are all there, none after it: no holes, whatever the number of
    // encoders.
    EXPECT_EQ(jpegNames(out), expectedNames(20)) << encoders << " encoders";
    // The reader was at most six frames ahead of frame 20, so it stopped at read count 31.
    EXPECT_EQ(stats.readCount, 31u);
    EXPECT_EQ(stats.writtenCount, 20u);
    EXPECT_EQ(stats.droppedCount, 11u);
    EXPECT_FALSE(fs::exists(out / ".cancel_flag"));
  }
}

TEST_F(DataCodecTest, RemovedOutputDirectoryEndsTheExtraction) {
  REQUIRE_H264();
  std::string video = makeVideo("gone.mp4", videoSpec(50));
  OrsaMirelo::ExtractOptions options;
  options.maxFramesInFlight = 4;
  options.beforeCommit = [&](uint64_t index) {
    if (index == 3) fs::remove_all(out_);
  };
  OrsaMirelo::ExtractStats stats;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(video, out_.string(), options, &stats));
  std::string err = capturedConsole();
  EXPECT_NE(err.find("Output directory removed, cancelling extraction"), std::string::npos);
  EXPECT_EQ(stats.readCount, 15u);
  EXPECT_EQ(stats.writtenCount, 3u);
  EXPECT_FALSE(fs::exists(out_));
}

TEST_F(DataCodecTest, ReadAheadIsBoundedWhenTheEncoderIsSlow) {
  REQUIRE_H264();
  std::string video = makeVideo("slow.mp4", videoSpec(48));
  for (int window : {1, 3, 7}) {
    fs::path out = dir_.path() / ("w" + std::to_string(window));
    fs::create_directories(out);
    OrsaMirelo::ExtractOptions options;
    options.encoders = 2;
    options.maxFramesInFlight = window;
    options.beforeCommit = [](uint64_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    OrsaMirelo::ExtractStats stats;
    ASSERT_TRUE(OrsaMirelo::extractVideoFramesToDirectory(video, out.string(), options, &stats));
    EXPECT_EQ(jpegNames(out), expectedNames(48));
    EXPECT_LE(stats.peakFramesInFlight, window);
    // The decoder outruns a writer this slow, so the window fills up.
    EXPECT_EQ(stats.peakFramesInFlight, window);
  }
}

TEST_F(DataCodecTest, UnreadableInputsFailCleanly) {
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  std::string missing = (dir_.path() / "missing.mp4").string();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(missing, out_.string()));
  std::string err = capturedConsole();
  EXPECT_NE(err.find("No video track found in " + missing), std::string::npos) << err;

  std::string garbage = (dir_.path() / "garbage.mp4").string();
  orsa::test::writeFile(garbage, std::string(10000, '\x01'));
  EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(garbage, out_.string()));

  std::string wav = (dir_.path() / "audio.wav").string();
  orsa::test::writeSilentWav(wav, 500);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(wav, out_.string()));
  err = capturedConsole();
  EXPECT_NE(err.find("No video track found in " + wav), std::string::npos);

  EXPECT_TRUE(jpegNames(out_).empty());
  // Calls that never started reading do not count.
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before);
}

TEST_F(DataCodecTest, MissingOutputDirectoryWritesNothingAndFails) {
  REQUIRE_H264();
  std::string video = makeVideo("nodir.mp4", videoSpec(5));
  fs::path nowhere = dir_.path() / "nowhere";
  EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(video, nowhere.string()));
  EXPECT_FALSE(fs::exists(nowhere));
}

TEST_F(DataCodecTest, ConcurrentExtractionsStayApart) {
  REQUIRE_H264();
  std::string a = makeVideo("ca.mp4", videoSpec(20));
  std::string b = makeVideo("cb.mp4", videoSpec(33, 48, 32));
  fs::path outA = dir_.path() / "ca", outB = dir_.path() / "cb";
  fs::create_directories(outA);
  fs::create_directories(outB);
  bool okA = false, okB = false;
  std::thread t1([&] { okA = OrsaMirelo::extractVideoFramesToDirectory(a, outA.string()); });
  std::thread t2([&] { okB = OrsaMirelo::extractVideoFramesToDirectory(b, outB.string()); });
  t1.join();
  t2.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
  EXPECT_EQ(jpegNames(outA), expectedNames(20));
  EXPECT_EQ(jpegNames(outB), expectedNames(33));
  DecodedJpeg jpeg;
  ASSERT_TRUE(decodeJpeg(orsa::test::readFile(outB / "000032.jpg"), jpeg));
  EXPECT_EQ(jpeg.width, 48);
}

TEST_F(DataCodecTest, EncodeSampleBufferReportsCompressionNotTheWrite) {
  REQUIRE_H264();
  auto frames = decodeAll(makeVideo("enc.mp4", videoSpec(2)));
  ASSERT_EQ(frames.size(), 2u);
  fs::path good = dir_.path() / "one.jpg";
  ASSERT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(std::move(frames[0]), good.string()));
  DecodedJpeg jpeg;
  ASSERT_TRUE(decodeJpeg(orsa::test::readFile(good), jpeg));
  EXPECT_EQ(jpeg.subsamp, TJSAMP_444);
  EXPECT_EQ(jpeg.width, 64);

  std::string bad = (dir_.path() / "no" / "such" / "dir.jpg").string();
  testing::internal::CaptureStderr();
  EXPECT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(std::move(frames[1]), bad));
  std::string err = capturedConsole();
  EXPECT_NE(err.find("Failed to write file: " + bad), std::string::npos);
  EXPECT_FALSE(fs::exists(bad));

  EXPECT_FALSE(OrsaMirelo::encodeSampleBufferToJpeg(nullptr, good.string()));
}

TEST_F(DataCodecTest, SaveRGBAWritesHeaderAndSwappedPackedRows) {
  REQUIRE_H264();
  VideoSpec s = videoSpec(1, 35, 21);
  s.yuv444 = true;
  std::string video = makeVideo("raw.mkv", s);
  auto reference = decodeAll(video);
  auto frames = decodeAll(video);
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(reference.size(), 1u);
  fs::path path = dir_.path() / "frame.rgba";
  ASSERT_TRUE(OrsaMirelo::saveRGBAToFile(std::move(frames[0]), path.string()));
  std::string bytes = orsa::test::readFile(path);
  ASSERT_EQ(bytes.size(), 8u + 35 * 21 * 4);
  auto u8 = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  EXPECT_EQ(u8(0) | u8(1) << 8 | u8(2) << 16 | u8(3) << 24, 35u);
  EXPECT_EQ(u8(4) | u8(5) << 8 | u8(6) << 16 | u8(7) << 24, 21u);
  const uint8_t* bgra = reference[0]->lockBaseAddress();
  ASSERT_NE(bgra, nullptr);
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 35; ++x) {
      const uint8_t* src = bgra + y * reference[0]->bytesPerRow() + x * 4;
      size_t at = 8 + (static_cast<size_t>(y) * 35 + x) * 4;
      ASSERT_EQ(u8(at), src[2]) << x << "," << y;
      ASSERT_EQ(u8(at + 1), src[1]);
      ASSERT_EQ(u8(at + 2), src[0]);
      ASSERT_EQ(u8(at + 3), 255);
    }
  EXPECT_FALSE(
      OrsaMirelo::saveRGBAToFile(std::move(reference[0]), (dir_.path() / "x" / "y").string()));
}

TEST(DataCodecHexTest, UpperCaseTwoDigitsPerByte) {
  const uint8_t pair[] = {0x00, 0xAB};
  EXPECT_EQ(OrsaMirelo::dataToHexString(pair), "00AB");
  EXPECT_EQ(OrsaMirelo::dataToHexString({}), "");
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string hex = OrsaMirelo::dataToHexString(all);
  ASSERT_EQ(hex.size(), 512u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(std::stoi(hex.substr(i * 2, 2), nullptr, 16), i);
  EXPECT_EQ(hex.find_first_of("abcdef"), std::string::npos);
}
