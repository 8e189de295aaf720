#include "platform/MediaReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "support/TestSupport.h"
#include "support/VideoWriter.h"

using orsa::platform::kMediaPixelFormatBGRA;
using orsa::platform::MediaFrame;
using orsa::platform::MediaReader;
using orsa::test::TempDir;
using orsa::test::VideoCodec;
using orsa::test::VideoSpec;

#if defined(__SANITIZE_THREAD__)
#define ORSA_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORSA_TEST_TSAN 1
#endif
#endif

#ifdef ORSA_TEST_TSAN
// FFmpeg's frame threads hand pictures over through reference counts whose atomics live in
// the uninstrumented FFmpeg libraries, so the sanitizer sees the frees as races. Our own code
// takes its locks outside those libraries and stays fully checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavutil.so\n"
         "race:libavcodec.so\n"
         "race:libswscale.so\n";
}
#endif

namespace {

std::unique_ptr<MediaReader> startReader(const std::string& path) {
  auto reader = MediaReader::openFirstVideoTrack(path);
  if (!reader) return nullptr;
  if (!reader->addOutput(kMediaPixelFormatBGRA) || !reader->startReading()) return nullptr;
  return reader;
}

std::vector<std::unique_ptr<MediaFrame>> readAll(MediaReader& reader) {
  std::vector<std::unique_ptr<MediaFrame>> frames;
  while (reader.status() == MediaReader::Status::Reading) {
    auto f = reader.copyNextSampleBuffer();
    if (f) frames.push_back(std::move(f));
  }
  return frames;
}

// PSNR of a BGRA frame against the RGBA picture it was made from (colour channels only).
double psnrAgainstPainted(MediaFrame& frame, int index) {
  const int w = frame.width(), h = frame.height();
  std::vector<uint8_t> painted(static_cast<size_t>(w) * h * 4);
  orsa::test::paintTestPattern(index, painted.data(), w, h);
  const uint8_t* base = frame.lockBaseAddress();
  if (!base) return 0;
  double se = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = base + static_cast<size_t>(y) * frame.bytesPerRow();
    for (int x = 0; x < w; ++x) {
      const uint8_t* bgra = row + x * 4;
      const uint8_t* rgba = painted.data() + (static_cast<size_t>(y) * w + x) * 4;
      double db = bgra[0] - rgba[2], dg = bgra[1] - rgba[1], dr = bgra[2] - rgba[0];
      se += db * db + dg * dg + dr * dr;
    }
  }
  double mse = se / (3.0 * w * h);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

class MediaReaderTest : public ::testing::Test {
 protected:
  std::string makeVideo(const std::string& name, const VideoSpec& videoSpec) {
    std::string path = (dir_.path() / name).string();
    std::string err;
    EXPECT_TRUE(orsa::test::writeVideo(path, videoSpec, orsa::test::paintTestPattern, &err)) << err;
    return path;
  }
  TempDir dir_;
};

}  // namespace

TEST_F(MediaReaderTest, ReadsEveryFrameInOrderAsBGRA) {
  for (VideoCodec codec : {VideoCodec::H264, VideoCodec::MPEG4}) {
    if (!orsa::test::canEncode(codec)) continue;
    VideoSpec videoSpec;
    videoSpec.codec = codec;
    videoSpec.width = 96;
    videoSpec.height = 64;
    videoSpec.frames = 17;
    std::string path = makeVideo(codec == VideoCodec::H264 ? "a.mp4" : "b.avi", videoSpec);
    auto reader = startReader(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->width(), 96);
    EXPECT_EQ(reader->height(), 64);
    EXPECT_NEAR(reader->nominalFrameRate(), 25.0, 0.01);
    auto frames = readAll(*reader);
    EXPECT_EQ(reader->status(), MediaReader::Status::Completed);
    ASSERT_EQ(frames.size(), 17u);
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i]->index(), i);
      EXPECT_EQ(frames[i]->width(), 96);
      // Each frame must be the picture painted for its position, with blue first. (4:2:0
      // blurs the sharp bar edges, hence the modest bound; a neighbouring frame or swapped
      // channels score far below it.)
      EXPECT_GT(psnrAgainstPainted(*frames[i], static_cast<int>(i)), 20.0) << "frame " << i;
      if (i > 0) {
        EXPECT_LT(psnrAgainstPainted(*frames[i], static_cast<int>(i) - 1), 18.0);
      }
      EXPECT_GE(frames[i]->bytesPerRow(), 96u * 4);
    }
    // Past the end nothing more comes and the status stays put.
    EXPECT_EQ(reader->copyNextSampleBuffer(), nullptr);
    EXPECT_EQ(reader->status(), MediaReader::Status::Completed);
  }
}

TEST_F(MediaReaderTest, OddSizesGetPaddedRowsWithCorrectPixels) {
  if (!orsa::test::canEncode(VideoCodec::H264)) GTEST_SKIP() << "no H.264 encoder";
  VideoSpec videoSpec;
  videoSpec.width = 35;
  videoSpec.height = 21;
  videoSpec.frames = 5;
  videoSpec.yuv444 = true;
  auto reader = startReader(makeVideo("odd.mkv", videoSpec));
  ASSERT_TRUE(reader);
  auto frames = readAll(*reader);
  ASSERT_EQ(frames.size(), 5u);
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_NE(frames[i]->lockBaseAddress(), nullptr);
    EXPECT_EQ(frames[i]->width(), 35);
    EXPECT_EQ(frames[i]->height(), 21);
    EXPECT_GT(frames[i]->bytesPerRow(), 35u * 4);
    EXPECT_GT(psnrAgainstPainted(*frames[i], static_cast<int>(i)), 28.0);
  }
}

TEST_F(MediaReaderTest, FramesOutliveTheirReader) {
  if (!orsa::test::canEncode(VideoCodec::H264)) GTEST_SKIP() << "no H.264 encoder";
  VideoSpec videoSpec;
  videoSpec.frames = 6;
  std::vector<std::unique_ptr<MediaFrame>> frames;
  {
    auto reader = startReader(makeVideo("keep.mp4", videoSpec));
    ASSERT_TRUE(reader);
    frames = readAll(*reader);
  }
  ASSERT_EQ(frames.size(), 6u);
  // Converted only now, after the reader and its decoder are gone.
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_GT(psnrAgainstPainted(*frames[i], static_cast<int>(i)), 20.0);
}

TEST_F(MediaReaderTest, RefusesFilesWithoutVideo) {
  EXPECT_EQ(MediaReader::openFirstVideoTrack((dir_.path() / "missing.mp4").string()), nullptr);
  std::string garbage = (dir_.path() / "garbage.mp4").string();
  orsa::test::writeFile(garbage, std::string(4096, '\x5a'));
  EXPECT_EQ(MediaReader::openFirstVideoTrack(garbage), nullptr);
  std::string wav = (dir_.path() / "sound.wav").string();
  orsa::test::writeSilentWav(wav, 300);
  EXPECT_EQ(MediaReader::openFirstVideoTrack(wav), nullptr);
}

TEST_F(MediaReaderTest, ReadingNeedsAnOutputAndAStart) {
  if (!orsa::test::canEncode(VideoCodec::H264)) GTEST_SKIP() << "no H.264 encoder";
  VideoSpec videoSpec;
  videoSpec.frames = 2;
  std::string path = makeVideo("v.mp4", videoSpec);
  auto reader = MediaReader::openFirstVideoTrack(path);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->copyNextSampleBuffer(), nullptr);
  EXPECT_EQ(reader->status(), MediaReader::Status::Unknown);
  EXPECT_FALSE(reader->addOutput(0x52474241));  // only BGRA is offered
  EXPECT_FALSE(reader->error().empty());
  EXPECT_FALSE(reader->startReading());
  EXPECT_EQ(reader->status(), MediaReader::Status::Failed);

  auto good = MediaReader::openFirstVideoTrack(path);
  ASSERT_TRUE(good);
  ASSERT_TRUE(good->addOutput(kMediaPixelFormatBGRA));
  ASSERT_TRUE(good->startReading());
  EXPECT_FALSE(good->startReading());
  EXPECT_EQ(readAll(*good).size(), 2u);
}

TEST_F(MediaReaderTest, TruncatedVideoEndsWithoutHanging) {
  if (!orsa::test::canEncode(VideoCodec::H264)) GTEST_SKIP() << "no H.264 encoder";
  VideoSpec videoSpec;
  videoSpec.frames = 30;
  std::string path = makeVideo("cut.mkv", videoSpec);
  std::string bytes = orsa::test::readFile(path);
  ASSERT_GT(bytes.size(), 1000u);
  orsa::test::writeFile(path, bytes.substr(0, bytes.size() / 2));
  auto reader = startReader(path);
  if (!reader) return;  // refusing the damaged file outright is a clean failure too
  auto frames = readAll(*reader);
  EXPECT_LT(frames.size(), 30u);
  EXPECT_NE(reader->status(), MediaReader::Status::Reading);
  for (auto& f : frames) EXPECT_NE(f->lockBaseAddress(), nullptr);
}

TEST_F(MediaReaderTest, SizeChangeMidStreamKeepsEveryFrameAtTheTrackSize) {
  if (!orsa::test::canEncode(VideoCodec::H264)) GTEST_SKIP() << "no H.264 encoder";
  VideoSpec small;
  small.width = 64;
  small.height = 48;
  small.frames = 5;
  VideoSpec large = small;
  large.width = 96;
  large.height = 80;
  large.frames = 4;
  // Raw H.264 streams concatenate: the second part starts with its own parameter sets.
  std::string a = makeVideo("a.h264", small), b = makeVideo("b.h264", large);
  std::string joined = (dir_.path() / "joined.h264").string();
  orsa::test::writeFile(joined, orsa::test::readFile(a) + orsa::test::readFile(b));
  auto reader = startReader(joined);
  ASSERT_TRUE(reader);
  auto frames = readAll(*reader);
  ASSERT_EQ(frames.size(), 9u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i]->index(), i);
    EXPECT_EQ(frames[i]->width(), 64);
    EXPECT_EQ(frames[i]->height(), 48);
    ASSERT_NE(frames[i]->lockBaseAddress(), nullptr);
  }
  // The first part is untouched by the scaling of the second.
  EXPECT_GT(psnrAgainstPainted(*frames[2], 2), 20.0);
}
