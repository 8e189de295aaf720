#include "platform/MediaReader.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

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
    return makeVideo(dir_.path() / name, frames, videoSpec(w, h, codec));
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
    if (!orsa::platform::VideoWriter::canEncode(c.codec)) continue;
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

TEST_F(MediaReaderTest, ReadingNeedsAnOutputAndAStart) {
  std::string path = video("v.mov", 2);
  auto reader = MediaReader::openFirstVideoTrack(path);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->copyNextSampleBuffer(), nullptr);
  EXPECT_EQ(reader->status(), MediaReader::Status::Unknown);
  EXPECT_FALSE(reader->addOutput(0x52474241));  // only BGRA is offered
  EXPECT_FALSE(reader->error().empty());
  EXPECT_FALSE(reader->startReading());
  EXPECT_EQ(reader->status(), MediaReader::Status::Failed);

  auto good = MediaReader::openFirstVideoTrack(path);
  ASSERT_TRUE(good && good->addOutput(kMediaPixelFormatBGRA) && good->startReading());
  EXPECT_FALSE(good->startReading());
  EXPECT_EQ(readAll(*good).size(), 2u);
}

// Package videos are untrusted: nothing but the MP4 family is parsed, nothing but the file
// itself is opened, and a track whose pictures would take gigabytes is refused.
TEST_F(MediaReaderTest, RefusesHostileFilesWithoutOpeningAnythingElse) {
  std::string segment = video("segment.mp4", 3, 64, 48, VideoCodec::MPEG4);
  // A declared picture of 16384 x 16384 (1 GiB as BGRA) in the sample description.
  std::string huge = readFile(video("huge.mov", 2));
  size_t entry = huge.find("stsd") + 16;
  ASSERT_EQ(huge.substr(entry, 4), "jpeg");
  huge.replace(entry + 28, 4, "\x40\x00\x40\x00", 4);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::atomic<int> connections{0};
  std::thread server([&] {
    for (int c; (c = ::accept(listener, nullptr, nullptr)) >= 0; ::close(c)) ++connections;
  });
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, segment.c_str(), IN_OPEN), 0);

  auto playlist = [](const std::string& target) {
    return "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + target + "\n#EXT-X-ENDLIST\n";
  };
  const std::pair<const char*, std::string> cases[] = {
      {"garbage.mp4", std::string(4096, '\x5a')},
      {"local.mp4", playlist(segment)},
      {"remote.mp4",
       playlist("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/segment.mp4")},
      {"huge.mp4", huge},
  };
  for (const auto& [name, bytes] : cases) {
    writeFile(dir_.path() / name, bytes);
    EXPECT_EQ(MediaReader::openFirstVideoTrack((dir_.path() / name).string()), nullptr) << name;
  }
  EXPECT_EQ(MediaReader::openFirstVideoTrack((dir_.path() / "absent.mp4").string()), nullptr);
  char event[256];
  EXPECT_LT(::read(watch, event, sizeof event), 0) << "the playlist's segment was opened";
  ::close(watch);
  ::shutdown(listener, SHUT_RDWR);
  server.join();
  ::close(listener);
  EXPECT_EQ(connections.load(), 0);
}

TEST_F(MediaReaderTest, TruncatedVideoEndsWithoutHanging) {
  std::string path = video("cut.mp4", 30, 64, 48, VideoCodec::MPEG4);
  std::string bytes = readFile(path);
  writeFile(path, bytes.substr(0, bytes.size() / 2));
  auto reader = startReader(path);
  if (!reader) return;  // refusing the damaged file outright is a clean failure too
  Frames frames = readAll(*reader);
  EXPECT_LT(frames.size(), 30u);
  EXPECT_NE(reader->status(), MediaReader::Status::Reading);
  for (auto& f : frames) EXPECT_NE(f->lockBaseAddress(), nullptr);
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
    for (auto& f : frames) {
      EXPECT_EQ(f->width(), 64);
      ASSERT_NE(f->lockBaseAddress(), nullptr);
    }
    MediaFrame& after = *frames[damaged ? 4 : 5];
    EXPECT_EQ(after.index(), 5u);
    MediaFrame& expected = *reference[5];
    ASSERT_NE(expected.lockBaseAddress(), nullptr);
    for (int y = 0; y < 48; ++y)
      ASSERT_EQ(0, std::memcmp(after.lockBaseAddress() + y * after.bytesPerRow(),
                               expected.lockBaseAddress() + y * expected.bytesPerRow(), 64 * 4))
          << "row " << y;
  }
}
