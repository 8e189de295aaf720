#include "utils/DataCodec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "ResourceTestPackage.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"

ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()

namespace fs = std::filesystem;
using namespace orsa::test;
using orsa::platform::MediaFrame;
using orsa::platform::VideoCodec;
using OrsaMirelo::ExtractOptions;
using OrsaMirelo::ExtractStats;

namespace {

// Console lines while it lives; the test main keeps the echo off otherwise.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    orsa::platform::consoleSetEnabled(true);
    testing::internal::CaptureStderr();
  }
  ~ConsoleCapture() { text(); }
  std::string text() {
    if (!capturing_) return text_;
    // Lines are written by a thread of their own; wait for them before reading.
    orsa::platform::consoleFlush();
    text_ = testing::internal::GetCapturedStderr();
    orsa::platform::consoleSetEnabled(false);
    capturing_ = false;
    return text_;
  }

 private:
  bool capturing_ = true;
  std::string text_;
};

struct DecodedJpeg {
  int width = 0, height = 0, subsamp = -1;
  std::vector<uint8_t> bgrx;
};

DecodedJpeg decodeJpeg(const std::string& bytes) {
  DecodedJpeg out;
  tjhandle h = tjInitDecompress();
  auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  int colorspace = 0;
  if (tjDecompressHeader3(h, src, bytes.size(), &out.width, &out.height, &out.subsamp,
                          &colorspace) == 0) {
    out.bgrx.resize(static_cast<size_t>(out.width) * out.height * 4);
    if (tjDecompress2(h, src, bytes.size(), out.bgrx.data(), out.width, 0, out.height, TJPF_BGRX,
                      TJFLAG_ACCURATEDCT) != 0)
      out.width = 0;
  }
  tjDestroy(h);
  return out;
}

double psnr(const DecodedJpeg& jpeg, MediaFrame& frame) {
  if (jpeg.width != frame.width() || jpeg.height != frame.height()) return 0;
  return orsa::test::psnr(frame, jpeg.bgrx.data());
}

class DataCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orsa::platform::AppContainer::setRoot(dir_.str());
    out_ = dir_.path() / "frames";
    fs::create_directories(out_);
  }

  std::string video(const std::string& name, int frames, int w = 64, int h = 48,
                    VideoCodec codec = VideoCodec::MPEG4) {
    return makeVideo(dir_.path() / name, frames, videoSpec(w, h, codec));
  }

  fs::path outDir(const std::string& name) {
    fs::create_directories(dir_.path() / name);
    return dir_.path() / name;
  }

  static bool extract(const std::string& video, const fs::path& out,
                      const ExtractOptions& options = {}, ExtractStats* stats = nullptr) {
    return OrsaMirelo::extractVideoFramesToDirectory(video, out.string(), options, stats);
  }

  TempDir dir_;
  fs::path out_;
};

}  // namespace

TEST_F(DataCodecTest, ThreeFramesGiveThreeFilesAndTheSummaryCountsTheEmptyRead) {
  std::string three = video("three.mp4", 3);
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  ConsoleCapture console;
  ExtractStats stats;
  EXPECT_TRUE(extract(three, out_, {}, &stats));
  std::string err = console.text();
  EXPECT_EQ(jpegNames(out_), expectedNames(3));
  EXPECT_EQ(stats.readCount, 4u);
  EXPECT_EQ(stats.dispatchedCount, 3u);
  EXPECT_EQ(stats.writtenCount, 3u);
  EXPECT_NE(err.find("Extract 4 frames, encode 3 frames"), std::string::npos) << err;
  // Fewer than 16 frames: no checkpoint was reached.
  EXPECT_EQ(err.find("Extracting frame"), std::string::npos);
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before + 1);
}

// Each codec, odd sizes included, with one and with several encoders: the same bytes either
// way, every frame a faithful 4:4:4 JPEG of its decoded picture.
TEST_F(DataCodecTest, EveryFrameBecomesTheSameFaithful444JpegWithAnyNumberOfEncoders) {
  struct Case {
    VideoCodec codec;
    const char* name;
    int w, h;
  };
  for (const Case& c :
       {Case{VideoCodec::H264, "q.mp4", 96, 80}, Case{VideoCodec::MPEG4, "q4.mp4", 96, 80},
        Case{VideoCodec::MJPEG, "odd.mov", 35, 21}}) {
    SCOPED_TRACE(c.name);
    if (!orsa::platform::VideoWriter::canEncode(c.codec)) continue;
    std::string path = video(c.name, 40, c.w, c.h, c.codec);
    fs::path one = outDir(std::string(c.name) + "1"), three = outDir(std::string(c.name) + "3");
    ExtractOptions options;
    options.encoders = 1;
    ConsoleCapture console;
    ASSERT_TRUE(extract(path, one, options));
    // Checkpoints at read counts 15 and 31.
    std::string err = console.text();
    EXPECT_NE(err.find("Extracting frame 15"), std::string::npos);
    EXPECT_NE(err.find("Extracting frame 31"), std::string::npos);
    options.encoders = 3;
    options.maxFramesInFlight = 5;
    ExtractStats stats;
    ASSERT_TRUE(extract(path, three, options, &stats));
    EXPECT_EQ(stats.encoders, 3);

    auto frames = decodeAll(path);
    ASSERT_EQ(frames.size(), 40u);
    ASSERT_EQ(jpegNames(one), expectedNames(40));
    ASSERT_EQ(jpegNames(three), expectedNames(40));
    for (const std::string& name : expectedNames(40)) {
      std::string bytes = readFile(one / name);
      EXPECT_EQ(bytes, readFile(three / name)) << name;
      DecodedJpeg jpeg = decodeJpeg(bytes);
      EXPECT_EQ(jpeg.subsamp, TJSAMP_444) << name;
      EXPECT_GT(psnr(jpeg, *frames[std::stoi(name)]), 30.0) << name;
    }
  }
}

// A picture the decoder rejects uses up its number: the files after it keep their positions.
TEST_F(DataCodecTest, DamagedPictureLeavesAGapInsteadOfRenumbering) {
  std::string clean = readFile(video("clean.mov", 8, 64, 48, VideoCodec::MJPEG));
  writeFile(dir_.path() / "damaged.mov", replacePicture(clean, 4, ""));
  fs::path reference = outDir("reference");
  ASSERT_TRUE(extract((dir_.path() / "clean.mov").string(), reference));
  EXPECT_TRUE(extract((dir_.path() / "damaged.mov").string(), out_));
  EXPECT_EQ(jpegNames(out_), expectedNames(8, {4}));
  for (const char* name : {"000003.jpg", "000005.jpg", "000007.jpg"})
    EXPECT_EQ(readFile(out_ / name), readFile(reference / name)) << name;
}

// A frame that cannot be written is a failed extraction, never a store with a hole in it.
TEST_F(DataCodecTest, FrameThatCannotBeWrittenFailsTheExtraction) {
  std::string path = video("w.mp4", 20);
  // Opening a directory for writing fails even for root.
  fs::create_directories(out_ / "000005.jpg");
  ConsoleCapture console;
  ExtractStats stats;
  EXPECT_FALSE(extract(path, out_, {}, &stats));
  EXPECT_NE(console.text().find("Failed to write file: " + (out_ / "000005.jpg").string()),
            std::string::npos);
  EXPECT_EQ(stats.writtenCount, 19u);
  EXPECT_EQ(stats.failedCount, 1u);
  EXPECT_TRUE(fs::exists(out_ / "000019.jpg"));
}

TEST_F(DataCodecTest, StopMarkerEndsAtACheckpointLeavingExactlyThePrefixWritten) {
  std::string path = video("stop.mp4", 60);
  // Present from the start: the first checkpoint comes before the sixteenth frame is read.
  writeFile(out_ / ".cancel_flag", "");
  ConsoleCapture console;
  ExtractStats stats;
  EXPECT_FALSE(extract(path, out_, {}, &stats));
  std::string err = console.text();
  EXPECT_FALSE(fs::exists(out_ / ".cancel_flag"));
  EXPECT_TRUE(jpegNames(out_).empty());
  EXPECT_EQ(stats.readCount, 15u);
  EXPECT_EQ(stats.droppedCount, 15u);
  EXPECT_NE(err.find("Cancel flag detected, stopping extraction"), std::string::npos);
  EXPECT_NE(err.find("Extract 15 frames, encode 15 frames"), std::string::npos);

  // Appearing before frame 20 is written: frames before it are all there and none after it,
  // whatever the number of encoders.
  for (int encoders : {1, 3}) {
    fs::path out = outDir("mid" + std::to_string(encoders));
    ExtractOptions options;
    options.encoders = encoders;
    options.maxFramesInFlight = 6;
    options.beforeCommit = [&](uint64_t index) {
      if (index == 20) writeFile(out / ".cancel_flag", "");
    };
    EXPECT_FALSE(extract(path, out, options, &stats));
    EXPECT_EQ(jpegNames(out), expectedNames(20)) << encoders << " encoders";
    // The reader was at most six frames ahead of frame 20, so it stopped at read count 31.
    EXPECT_EQ(stats.readCount, 31u);
    EXPECT_EQ(stats.writtenCount, 20u);
    EXPECT_EQ(stats.droppedCount, 11u);
    EXPECT_FALSE(fs::exists(out / ".cancel_flag"));
  }
}

TEST_F(DataCodecTest, RemovedOutputDirectoryEndsTheExtraction) {
  std::string path = video("gone.mp4", 50);
  ExtractOptions options;
  options.maxFramesInFlight = 4;
  options.beforeCommit = [&](uint64_t index) {
    if (index == 3) fs::remove_all(out_);
  };
  ExtractStats stats;
  ConsoleCapture console;
  EXPECT_FALSE(extract(path, out_, options, &stats));
  EXPECT_NE(console.text().find("Output directory removed, cancelling extraction"),
            std::string::npos);
  EXPECT_EQ(stats.readCount, 15u);
  EXPECT_EQ(stats.writtenCount, 3u);
  EXPECT_FALSE(fs::exists(out_));
}

TEST_F(DataCodecTest, ReadAheadIsBoundedWhenTheEncoderIsSlow) {
  std::string path = video("slow.mp4", 48);
  for (int window : {1, 3, 7}) {
    fs::path out = outDir("w" + std::to_string(window));
    ExtractOptions options;
    options.encoders = 2;
    options.maxFramesInFlight = window;
    options.beforeCommit = [](uint64_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    ExtractStats stats;
    ASSERT_TRUE(extract(path, out, options, &stats));
    EXPECT_EQ(jpegNames(out), expectedNames(48));
    // The decoder outruns a writer this slow, so the window fills up, and no further.
    EXPECT_EQ(stats.peakFramesInFlight, window);
  }
}

TEST_F(DataCodecTest, UnreadableInputsAndAMissingOutputDirectoryFailCleanly) {
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  std::string garbage = (dir_.path() / "garbage.mp4").string();
  writeFile(garbage, std::string(10000, '\x01'));
  for (const std::string& path : {(dir_.path() / "missing.mp4").string(), garbage}) {
    ConsoleCapture console;
    EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(path, out_.string()));
    EXPECT_NE(console.text().find("No video track found in " + path), std::string::npos);
  }
  EXPECT_TRUE(jpegNames(out_).empty());
  // Calls that never started reading do not count.
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before);

  fs::path nowhere = dir_.path() / "nowhere";
  EXPECT_FALSE(OrsaMirelo::extractVideoFramesToDirectory(video("v.mp4", 5), nowhere.string()));
  EXPECT_FALSE(fs::exists(nowhere));
}

TEST_F(DataCodecTest, ConcurrentExtractionsStayApart) {
  std::string a = video("ca.mp4", 20), b = video("cb.mp4", 33, 48, 32);
  fs::path outA = outDir("ca"), outB = outDir("cb");
  bool okA = false, okB = false;
  std::thread t1([&] { okA = OrsaMirelo::extractVideoFramesToDirectory(a, outA.string()); });
  std::thread t2([&] { okB = OrsaMirelo::extractVideoFramesToDirectory(b, outB.string()); });
  t1.join();
  t2.join();
  EXPECT_TRUE(okA && okB);
  EXPECT_EQ(jpegNames(outA), expectedNames(20));
  EXPECT_EQ(jpegNames(outB), expectedNames(33));
  EXPECT_EQ(decodeJpeg(readFile(outB / "000032.jpg")).width, 48);
}

TEST_F(DataCodecTest, SingleFrameWritersKeepTheirFormats) {
  std::string path = video("one.mov", 1, 35, 21, VideoCodec::MJPEG);
  auto frame = [&] { return std::move(decodeAll(path).at(0)); };
  auto reference = frame();

  // The JPEG writer reports the compression; a failed write is only logged.
  fs::path jpegPath = dir_.path() / "one.jpg";
  ASSERT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(frame(), jpegPath.string()));
  DecodedJpeg jpeg = decodeJpeg(readFile(jpegPath));
  EXPECT_EQ(jpeg.subsamp, TJSAMP_444);
  EXPECT_GT(psnr(jpeg, *reference), 35.0);
  std::string bad = (dir_.path() / "no" / "such" / "dir.jpg").string();
  ConsoleCapture console;
  EXPECT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(frame(), bad));
  EXPECT_NE(console.text().find("Failed to write file: " + bad), std::string::npos);
  EXPECT_FALSE(OrsaMirelo::encodeSampleBufferToJpeg(nullptr, jpegPath.string()));

  // Raw RGBA: little-endian width and height, then packed rows with red first and alpha 255.
  fs::path raw = dir_.path() / "frame.rgba";
  ASSERT_TRUE(OrsaMirelo::saveRGBAToFile(frame(), raw.string()));
  std::string bytes = readFile(raw);
  ASSERT_EQ(bytes.size(), 8u + 35 * 21 * 4);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x23\0\0\0\x15\0\0\0", 8));
  const uint8_t* bgra = reference->lockBaseAddress();
  for (size_t y = 0; y < 21; ++y)
    for (size_t x = 0; x < 35; ++x) {
      const uint8_t* src = bgra + y * reference->bytesPerRow() + x * 4;
      const char expected[4] = {char(src[2]), char(src[1]), char(src[0]), char(255)};
      ASSERT_EQ(bytes.substr(8 + (y * 35 + x) * 4, 4), std::string(expected, 4)) << x << "," << y;
    }
  EXPECT_FALSE(OrsaMirelo::saveRGBAToFile(frame(), (dir_.path() / "x/y").string()));
}
