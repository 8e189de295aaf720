#include "platform/MediaReader.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "utils/ResourceTestPackage.h"

ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()

using namespace orsa::test;
using orsa::platform::kMediaPixelFormatBGRA;
using orsa::platform::MediaFrame;
using orsa::platform::MediaReader;
using orsa::platform::VideoCodec;
using Frames = std::vector<std::unique_ptr<MediaFrame>>;

namespace {

std::unique_ptr<MediaReader> startReader(const std::string& path) {
  auto reader = MediaReader::openFirstVideoTrack(path);
  if (!reader || !reader->addOutput(kMediaPixelFormatBGRA) || !reader->startReading())
    return nullptr;
  return reader;
}

Frames readAll(MediaReader& reader) {
  Frames frames;
  while (reader.status() == MediaReader::Status::Reading)
    if (auto f = reader.copyNextSampleBuffer()) frames.push_back(std::move(f));
  return frames;
}

double psnr(MediaFrame& frame, int seed) {
  return orsa::test::psnr(frame, patternRGBA(frame.width(), frame.height(), seed).data(), true);
}

class MediaReaderTest : public ::testing::Test {
 protected:
  std::string video(const std::string& name, int frames, int w = 64, int h = 48,
                    VideoCodec codec = VideoCodec::MJPEG) {
    return makeVideo(dir_.path() / name, frames, videoFormat(w, h, codec));
  }
  TempDir dir_;
};

}  // namespace

TEST_F(MediaReaderTest, ReadsEveryFrameInOrderAsBGRAThatOutlivesTheReader) {
  struct Case {
    VideoCodec codec;
    const char* name;
    int w, h;
    double minPsnr;
  };
  for (const Case& c :
       {Case{VideoCodec::H264, "a.mp4", 96, 64, 20}, Case{VideoCodec::MPEG4, "b.mp4", 96, 64, 20},
        Case{VideoCodec::MJPEG, "odd.mov", 35, 21, 32}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(orsa::platform::VideoWriter::canEncode(c.codec))
        << "this FFmpeg cannot write " << c.name
        << "; scripts/install-deps.sh installs one that can";
    auto reader = startReader(video(c.name, 17, c.w, c.h, c.codec));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->width(), c.w);
    EXPECT_EQ(reader->height(), c.h);
    EXPECT_NEAR(reader->nominalFrameRate(), 25.0, 0.01);
    Frames frames = readAll(*reader);
    EXPECT_EQ(reader->status(), MediaReader::Status::Completed);
    EXPECT_EQ(reader->copyNextSampleBuffer(), nullptr);
    EXPECT_EQ(reader->status(), MediaReader::Status::Completed);
    // Pixels are converted only when locked, here after the reader and its decoder are gone.
    reader.reset();
    ASSERT_EQ(frames.size(), 17u);
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i]->index(), i);
      // Each frame must be the picture painted for its position, with blue first; a
      // neighbouring frame or swapped channels score far below the bound.
      EXPECT_GT(psnr(*frames[i], static_cast<int>(i)), c.minPsnr) << "frame " << i;
      if (i > 0) {
        EXPECT_LT(psnr(*frames[i], static_cast<int>(i) - 1), 18.0) << "frame " << i;
      }
      // Rows start on 64-byte boundaries, so odd widths get padded rows.
      EXPECT_EQ(frames[i]->bytesPerRow() % 64, 0u);
      EXPECT_GE(frames[i]->bytesPerRow(), c.w * 4u);
    }
  }
}

// Package videos are untrusted: nothing but the MP4 family is parsed, nothing but the file
// itself is opened (no playlist segment, local or remote), and a track whose pictures would
// take gigabytes is refused.
TEST_F(MediaReaderTest, RefusesHostileFilesWithoutOpeningAnythingElse) {
  std::string segment = video("segment.mp4", 3, 64, 48, VideoCodec::MPEG4);
  std::string cut = readFile(segment);
  cut.resize(cut.size() / 2);
  // A declared picture of 16384 x 16384 (1 GiB as BGRA) in the sample description.
  std::string huge = readFile(video("huge.mov", 2));
  size_t entry = huge.find("stsd") + 16;
  ASSERT_EQ(huge.substr(entry, 4), "jpeg");
  huge.replace(entry + 28, 4, "\x40\x00\x40\x00", 4);
  auto playlist = [](const std::string& target) {
    return "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + target + "\n#EXT-X-ENDLIST\n";
  };
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, segment.c_str(), IN_OPEN), 0);
  for (const std::string& bytes : {std::string(4096, '\x5a'), cut, huge, playlist(segment),
                                   playlist("http://127.0.0.1:1/segment.mp4")}) {
    writeFile(dir_.path() / "origin.mp4", bytes);
    EXPECT_EQ(MediaReader::openFirstVideoTrack((dir_.path() / "origin.mp4").string()), nullptr)
        << bytes.substr(0, 60);
  }
  EXPECT_EQ(MediaReader::openFirstVideoTrack((dir_.path() / "absent.mp4").string()), nullptr);
  char event[256];
  EXPECT_LT(::read(watch, event, sizeof event), 0) << "the playlist's segment was opened";
  ::close(watch);
}

// A rejected picture uses up its position, and a picture of another size is scaled to the
// track's size: either way every later frame keeps its index and its picture.
TEST_F(MediaReaderTest, DamagedOrResizedPicturesKeepLaterFramesInPlace) {
  std::string clean = readFile(video("clean.mov", 8));
  Frames reference = decodeAll((dir_.path() / "clean.mov").string());
  ASSERT_EQ(reference.size(), 8u);
  const std::string small = encodeJpeg(patternRGBA(32, 24, 4), 32, 24, 30);
  for (bool damaged : {true, false}) {
    SCOPED_TRACE(damaged ? "damaged" : "resized");
    writeFile(dir_.path() / "edited.mov", replacePicture(clean, 4, damaged ? "" : small));
    auto reader = startReader((dir_.path() / "edited.mov").string());
    ASSERT_TRUE(reader);
    Frames frames = readAll(*reader);
    EXPECT_EQ(reader->status(), MediaReader::Status::Completed);
    ASSERT_EQ(frames.size(), damaged ? 7u : 8u);
    for (auto& f : frames) EXPECT_EQ(f->width(), 64);
    MediaFrame& after = *frames[damaged ? 4 : 5];
    EXPECT_EQ(after.index(), 5u);
    ASSERT_TRUE(after.lockBaseAddress());
    ASSERT_TRUE(reference[5]->lockBaseAddress());
    for (int y = 0; y < 48; ++y)
      ASSERT_EQ(
          0, std::memcmp(after.lockBaseAddress() + y * after.bytesPerRow(),
                         reference[5]->lockBaseAddress() + y * reference[5]->bytesPerRow(), 64 * 4))
          << "row " << y;
  }
}
