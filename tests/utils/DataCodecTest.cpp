#include "utils/DataCodec.h"

#include <gtest/gtest.h>

#include <chrono>
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

// Console lines written during `run`; the test main keeps the echo off otherwise.
template <typename Fn>
std::string consoleOf(Fn run) {
  orsa::platform::consoleSetEnabled(true);
  testing::internal::CaptureStderr();
  run();
  orsa::platform::consoleFlush();  // lines are written by a thread of their own
  orsa::platform::consoleSetEnabled(false);
  return testing::internal::GetCapturedStderr();
}

// Decoded pixels (BGRX) of a JPEG file, with its chroma subsampling.
struct DecodedJpeg {
  int width = 0, height = 0, subsamp = -1;
  std::vector<uint8_t> bgrx;
  double psnr(MediaFrame& f) const {
    return f.width() == width && f.height() == height ? orsa::test::psnr(f, bgrx.data()) : 0;
  }
};
DecodedJpeg decodeJpeg(const std::string& bytes) {
  DecodedJpeg out;
  tjhandle h = tjInitDecompress();
  auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  int colorspace = 0;
  if (tjDecompressHeader3(h, src, bytes.size(), &out.width, &out.height, &out.subsamp,
                          &colorspace) == 0) {
    out.bgrx.resize(static_cast<size_t>(out.width) * out.height * 4);
    tjDecompress2(h, src, bytes.size(), out.bgrx.data(), out.width, 0, out.height, TJPF_BGRX,
                  TJFLAG_ACCURATEDCT);
  }
  tjDestroy(h);
  return out;
}

class DataCodecTest : public ::testing::Test {
 protected:
  void SetUp() override { orsa::platform::AppContainer::setRoot(dir_.str()); }

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
};

}  // namespace

TEST_F(DataCodecTest, ThreeFramesGiveThreeFilesAndTheSummaryCountsTheEmptyRead) {
  std::string three = video("three.mp4", 3);
  fs::path out = outDir("out");
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  ExtractStats stats;
  std::string err = consoleOf([&] { EXPECT_TRUE(extract(three, out, {}, &stats)); });
  EXPECT_EQ(jpegNames(out), expectedNames(3));
  EXPECT_EQ(stats.readCount, 4u);
  EXPECT_EQ(stats.dispatchedCount, 3u);
  EXPECT_NE(err.find("Extract 4 frames, encode 3 frames"), std::string::npos) << err;
  // Fewer than 16 frames: no checkpoint was reached.
  EXPECT_EQ(err.find("Extracting frame"), std::string::npos);
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before + 1);
}

// Each codec, odd sizes included, extracted at the same time by one and by three encoders: the
// same bytes either way, every frame a faithful 4:4:4 JPEG of its decoded picture.
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
    ExtractOptions o1, o3;
    o1.encoders = 1;
    o3.encoders = 3;
    o3.maxFramesInFlight = 5;
    ExtractStats stats;
    std::string err = consoleOf([&] {
      std::thread other([&] { EXPECT_TRUE(extract(path, three, o3, &stats)); });
      EXPECT_TRUE(extract(path, one, o1));
      other.join();
    });
    EXPECT_EQ(stats.encoders, 3);
    // Checkpoints at read counts 15 and 31.
    EXPECT_NE(err.find("Extracting frame 15"), std::string::npos);
    EXPECT_NE(err.find("Extracting frame 31"), std::string::npos);
    auto frames = decodeAll(path);
    ASSERT_EQ(frames.size(), 40u);
    ASSERT_EQ(jpegNames(one), expectedNames(40));
    ASSERT_EQ(jpegNames(three), expectedNames(40));
    for (const std::string& name : expectedNames(40)) {
      std::string bytes = readFile(one / name);
      EXPECT_EQ(bytes, readFile(three / name)) << name;
      DecodedJpeg jpeg = decodeJpeg(bytes);
      EXPECT_EQ(jpeg.subsamp, TJSAMP_444) << name;
      EXPECT_GT(jpeg.psnr(*frames[std::stoi(name)]), 30.0) << name;
    }
  }
}

// A picture the decoder rejects uses up its number: the files after it keep their positions.
TEST_F(DataCodecTest, DamagedPictureLeavesAGapInsteadOfRenumbering) {
  std::string clean = video("clean.mov", 8, 64, 48, VideoCodec::MJPEG);
  writeFile(dir_.path() / "damaged.mov", replacePicture(readFile(clean), 4, ""));
  fs::path reference = outDir("reference"), out = outDir("out");
  ASSERT_TRUE(extract(clean, reference));
  EXPECT_TRUE(extract((dir_.path() / "damaged.mov").string(), out));
  EXPECT_EQ(jpegNames(out), expectedNames(8, {4}));
  for (const char* name : {"000003.jpg", "000005.jpg", "000007.jpg"})
    EXPECT_EQ(readFile(out / name), readFile(reference / name)) << name;
}

// A frame that cannot be written is a failed extraction, never a store with a hole in it.
TEST_F(DataCodecTest, FrameThatCannotBeWrittenFailsTheExtraction) {
  std::string path = video("w.mp4", 20);
  fs::path out = outDir("out");
  // Opening a folder for writing fails even for root.
  fs::create_directories(out / "000005.jpg");
  ExtractStats stats;
  std::string err = consoleOf([&] { EXPECT_FALSE(extract(path, out, {}, &stats)); });
  EXPECT_NE(err.find("Failed to write file: " + (out / "000005.jpg").string()), std::string::npos);
  EXPECT_EQ(stats.writtenCount, 19u);
  EXPECT_EQ(stats.failedCount, 1u);
  EXPECT_TRUE(fs::exists(out / "000019.jpg"));
}

// A stop marker or a removed output folder ends the loop at a checkpoint (every 16 reads).
// Whatever the number of encoders, the frames before the stop are all written and none after
// it, and the marker is gone afterwards.
TEST_F(DataCodecTest, StopEndsAtACheckpointLeavingExactlyThePrefixWritten) {
  std::string path = video("stop.mp4", 60);
  struct Case {
    const char* name;
    int encoders, window;
    int64_t at;  // frame before whose commit the stop happens; -1: before the start
    bool removeFolder;
    uint64_t read, written;
    const char* line;
  };
  for (const Case& c :
       {Case{"flag first", 0, 0, -1, false, 15, 0, "Cancel flag detected, stopping extraction"},
        Case{"flag 1", 1, 6, 20, false, 31, 20, "Extract 31 frames, encode 31"},
        Case{"flag 3", 3, 6, 20, false, 31, 20, "Extract 31 frames, encode 31"},
        Case{"rm", 0, 4, 3, true, 15, 3, "Output directory removed, cancelling extraction"}}) {
    SCOPED_TRACE(c.name);
    fs::path out = outDir(c.name);
    auto stop = [&] {
      if (c.removeFolder)
        fs::remove_all(out);
      else
        writeFile(out / ".cancel_flag", "");
    };
    if (c.at < 0) stop();
    ExtractOptions options;
    options.encoders = c.encoders;
    options.maxFramesInFlight = c.window;
    options.beforeCommit = [&](uint64_t index) {
      if (static_cast<int64_t>(index) == c.at) stop();
    };
    ExtractStats stats;
    std::string err = consoleOf([&] { EXPECT_FALSE(extract(path, out, options, &stats)); });
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
    EXPECT_EQ(jpegNames(out), expectedNames(c.removeFolder ? 0 : c.written));
    EXPECT_EQ(stats.readCount, c.read);
    EXPECT_EQ(stats.writtenCount, c.written);
    EXPECT_EQ(stats.droppedCount, c.read - c.written);
    EXPECT_FALSE(fs::exists(out / ".cancel_flag"));
  }
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
  fs::path out = outDir("out"), nowhere = dir_.path() / "nowhere";
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  std::string garbage = (dir_.path() / "garbage.mp4").string();
  writeFile(garbage, std::string(10000, '\x01'));
  for (const std::string& path : {(dir_.path() / "missing.mp4").string(), garbage}) {
    std::string err = consoleOf([&] { EXPECT_FALSE(extract(path, out)); });
    EXPECT_NE(err.find("No video track found in " + path), std::string::npos);
  }
  EXPECT_TRUE(jpegNames(out).empty());
  // Calls that never started reading do not count.
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before);
  EXPECT_FALSE(extract(video("v.mp4", 5), nowhere));
  EXPECT_FALSE(fs::exists(nowhere));
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
  EXPECT_GT(jpeg.psnr(*reference), 35.0);
  std::string bad = (dir_.path() / "no" / "such" / "dir.jpg").string();
  std::string err =
      consoleOf([&] { EXPECT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(frame(), bad)); });
  EXPECT_NE(err.find("Failed to write file: " + bad), std::string::npos);
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
