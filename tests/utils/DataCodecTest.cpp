#include "utils/DataCodec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ResourceTestPackage.h"

ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()

namespace fs = std::filesystem;
using namespace orsa::test;
using orsa::platform::MediaFrame;
using orsa::platform::VideoCodec;
using OrsaMirelo::ExtractOptions;
using OrsaMirelo::ExtractStats;

namespace {

// Decoded pixels (BGRX) of a JPEG file, with its chroma subsampling.
struct DecodedJpeg {
  int width = 0, height = 0, subsamp = -1, colorspace = 0;
  std::vector<uint8_t> bgrx;
  explicit DecodedJpeg(const std::string& bytes) {
    tjhandle h = tjInitDecompress();
    auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    if (!tjDecompressHeader3(h, src, bytes.size(), &width, &height, &subsamp, &colorspace)) {
      bgrx.resize(static_cast<size_t>(width) * height * 4);
      tjDecompress2(h, src, bytes.size(), bgrx.data(), width, 0, height, TJPF_BGRX, 0);
    }
    tjDestroy(h);
  }
  double psnr(MediaFrame& f) const {
    return f.width() == width && f.height() == height ? orsa::test::psnr(f, bgrx.data()) : 0;
  }
};

class DataCodecTest : public ::testing::Test {
 protected:
  std::string video(const std::string& name, int frames, int w = 64, int h = 48,
                    VideoCodec codec = VideoCodec::MPEG4) {
    return makeVideo(dir_.path() / name, frames, videoFormat(w, h, codec));
  }
  fs::path outDir(const std::string& name) {
    fs::create_directories(dir_.path() / name);
    return dir_.path() / name;
  }
  static bool extract(const std::string& video, const fs::path& out,
                      const ExtractOptions& options = {}, ExtractStats* stats = nullptr) {
    return OrsaMirelo::extractVideoFramesToDirectory(video, out.string(), options, stats);
  }

  TempHome dir_;
};

}  // namespace

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
    ASSERT_TRUE(orsa::platform::VideoWriter::canEncode(c.codec))
        << "this FFmpeg cannot write " << c.name
        << "; scripts/install-deps.sh installs one that can";
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
      DecodedJpeg jpeg(bytes);
      EXPECT_EQ(jpeg.subsamp, TJSAMP_444) << name;
      EXPECT_GT(jpeg.psnr(*frames[std::stoi(name)]), 30.0) << name;
    }
  }
}

// A picture the decoder rejects uses up its number: the files after it keep their positions.
// The read that finds the end counts too, as the summary line shows.
TEST_F(DataCodecTest, DamagedPictureLeavesAGapInsteadOfRenumbering) {
  std::string clean = video("clean.mov", 8, 64, 48, VideoCodec::MJPEG);
  writeFile(dir_.path() / "damaged.mov", replacePicture(readFile(clean), 4, ""));
  fs::path reference = outDir("reference"), out = outDir("out");
  ASSERT_TRUE(extract(clean, reference));
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  ExtractStats stats;
  std::string err = consoleOf(
      [&] { EXPECT_TRUE(extract((dir_.path() / "damaged.mov").string(), out, {}, &stats)); });
  EXPECT_EQ(jpegNames(out), expectedNames(8, {4}));
  for (const char* name : {"000003.jpg", "000005.jpg", "000007.jpg"})
    EXPECT_EQ(readFile(out / name), readFile(reference / name)) << name;
  EXPECT_EQ(stats.readCount, 9u);
  EXPECT_EQ(stats.dispatchedCount, 7u);
  EXPECT_NE(err.find("Extract 9 frames, encode 7 frames"), std::string::npos) << err;
  EXPECT_EQ(err.find("Extracting frame"), std::string::npos);  // no checkpoint under 16 reads
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before + 1);
}

// A stop marker or a removed output folder ends the loop at a checkpoint (every 16 reads):
// whatever the number of encoders, the frames before the stop are all written and none after
// it, and the marker is gone afterwards. A frame that cannot be written (a folder in its
// place, which even root cannot open for writing) fails the extraction: a store with a hole.
TEST_F(DataCodecTest, StopsAndWriteFailuresLeaveExactlyWhatWasWritten) {
  std::string path = video("stop.mp4", 60), twenty = video("twenty.mp4", 20);
  enum Stop { Flag, RemoveFolder, Obstacle };
  struct Case {
    const char* name;
    Stop how;
    int encoders, window;
    int64_t at;  // frame before whose commit the stop happens; -1: before the start
    uint64_t read, written, failed;
    const char* line;
  };
  for (const Case& c :
       {Case{"flag first", Flag, 0, 0, -1, 15, 0, 0, "Cancel flag detected, stopping extraction"},
        Case{"flag 1", Flag, 1, 6, 20, 31, 20, 0, "Extract 31 frames, encode 31"},
        Case{"flag 3", Flag, 3, 6, 20, 31, 20, 0, "Extract 31 frames, encode 31"},
        Case{"rm", RemoveFolder, 0, 4, 3, 15, 3, 0, "Output directory removed, cancelling"},
        Case{"obstacle", Obstacle, 3, 0, -1, 21, 19, 1, "Failed to write file: "}}) {
    SCOPED_TRACE(c.name);
    fs::path out = outDir(c.name);
    auto stop = [&] {
      if (c.how == RemoveFolder) fs::remove_all(out);
      if (c.how == Flag) writeFile(out / ".cancel_flag", "");
      if (c.how == Obstacle) fs::create_directories(out / "000005.jpg");
    };
    if (c.at < 0) stop();
    ExtractOptions options;
    options.encoders = c.encoders;
    options.maxFramesInFlight = c.window;
    options.beforeCommit = [&](uint64_t index) {
      if (static_cast<int64_t>(index) == c.at) stop();
    };
    ExtractStats stats;
    std::string err = consoleOf(
        [&] { EXPECT_FALSE(extract(c.how == Obstacle ? twenty : path, out, options, &stats)); });
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
    EXPECT_EQ(jpegNames(out), expectedNames(c.how == RemoveFolder ? 0 : c.written + c.failed));
    EXPECT_EQ(stats.readCount, c.read);
    EXPECT_EQ(stats.writtenCount, c.written);
    EXPECT_EQ(stats.failedCount, c.failed);
    EXPECT_EQ(stats.dispatchedCount - stats.writtenCount - stats.failedCount, stats.droppedCount);
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
    // The first write stalls long enough for even a sanitized decoder on a busy machine to
    // fill the window behind it; the window must then hold, however long the stall lasts.
    options.beforeCommit = [window](uint64_t index) {
      std::this_thread::sleep_for(std::chrono::milliseconds(index == 0 && window > 1 ? 1500 : 2));
    };
    ExtractStats stats;
    ASSERT_TRUE(extract(path, out, options, &stats));
    EXPECT_EQ(jpegNames(out), expectedNames(48));
    EXPECT_EQ(stats.peakFramesInFlight, window);
  }
  // However many encoders a machine offers, big pictures in flight stay within a fixed budget.
  ExtractOptions many;
  many.encoders = 64;
  ExtractStats stats;
  ASSERT_TRUE(extract(video("big.mp4", 3, 1536, 1536), outDir("big"), many, &stats));
  EXPECT_EQ(jpegNames(outDir("big")), expectedNames(3));
  EXPECT_LE(int64_t{stats.maxFramesInFlight} * 1536 * 1536 * 4, int64_t{256} << 20);
}

TEST_F(DataCodecTest, UnreadableInputsAndAMissingOutputDirectoryFailCleanly) {
  fs::path out = outDir("out"), garbage = dir_.path() / "garbage.mp4";
  writeFile(garbage, std::string(10000, '\x01'));
  uint32_t before = OrsaMirelo::videoExtractCount.load();
  for (const fs::path& path : {dir_.path() / "missing.mp4", garbage}) {
    std::string err = consoleOf([&] { EXPECT_FALSE(extract(path, out)); });
    EXPECT_NE(err.find("No video track found in " + path.string()), std::string::npos);
  }
  EXPECT_EQ(OrsaMirelo::videoExtractCount.load(), before);  // calls that never started reading
  EXPECT_FALSE(extract(video("v.mp4", 5), dir_.path() / "nowhere"));
  EXPECT_FALSE(fs::exists(dir_.path() / "nowhere"));
  EXPECT_TRUE(jpegNames(out).empty());
}

TEST_F(DataCodecTest, SingleFrameWritersKeepTheirFormats) {
  std::string path = video("one.mov", 1, 35, 21, VideoCodec::MJPEG), bad = path + "/no.jpg";
  auto frame = [&] { return std::move(decodeAll(path).at(0)); };
  auto reference = frame();
  // The JPEG writer reports the compression; a failed write is only logged.
  fs::path jpegPath = dir_.path() / "one.jpg";
  ASSERT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(frame(), jpegPath.string()));
  DecodedJpeg jpeg(readFile(jpegPath));
  EXPECT_EQ(jpeg.subsamp, TJSAMP_444);
  EXPECT_GT(jpeg.psnr(*reference), 35.0);
  std::string err =
      consoleOf([&] { EXPECT_TRUE(OrsaMirelo::encodeSampleBufferToJpeg(frame(), bad)); });
  EXPECT_NE(err.find("Failed to write file: " + bad), std::string::npos);
  EXPECT_FALSE(OrsaMirelo::encodeSampleBufferToJpeg(nullptr, jpegPath.string()));
  EXPECT_FALSE(OrsaMirelo::saveRGBAToFile(frame(), bad));

  // Raw RGBA: little-endian width and height, then packed rows with red first and alpha 255.
  ASSERT_TRUE(OrsaMirelo::saveRGBAToFile(frame(), (dir_.path() / "raw").string()));
  std::string expected("\x23\0\0\0\x15\0\0\0", 8);
  for (size_t y = 0; y < 21; ++y)
    for (size_t x = 0; x < 35; ++x) {
      const uint8_t* p = reference->lockBaseAddress() + y * reference->bytesPerRow() + x * 4;
      expected += {char(p[2]), char(p[1]), char(p[0]), char(255)};
    }
  EXPECT_EQ(readFile(dir_.path() / "raw"), expected);
}
