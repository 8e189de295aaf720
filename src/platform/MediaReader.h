#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct AVFrame;
struct AVBufferRef;

namespace orsa::platform {

// The four characters "BGRA": 8-bit blue, green, red, alpha per pixel.
inline constexpr uint32_t kMediaPixelFormatBGRA = 0x42475241;

// The largest decoded picture, in bytes of 32-bit pixels, that the frame readers accept: no
// frame of a package comes near it, and a hostile header must not make us allocate gigabytes.
inline constexpr int64_t kMaxDecodedPictureBytes = int64_t{1} << 28;

struct MediaFrameShared;

// One decoded picture of a video track, handed out as 32-bit BGRA. Rows may be padded: always
// use bytesPerRow() rather than width() * 4.
//
// The conversion from the decoder's own format happens when the pixels are first locked, on
// the locking thread, so a reader thread that only decodes can hand the colour conversion to
// the threads that consume the frames. A frame has one owner at a time and is not shared
// between threads concurrently.
class MediaFrame {
 public:
  ~MediaFrame();
  MediaFrame(const MediaFrame&) = delete;
  MediaFrame& operator=(const MediaFrame&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // Position of the frame in decoding-output order, counting from 0; pictures that could not
  // be decoded keep their positions.
  uint64_t index() const { return index_; }
  // Presentation time in microseconds (0 when the stream gives none).
  int64_t presentationTimeMicros() const { return ptsMicros_; }

  // Makes the BGRA pixels available; null when the conversion failed. Cheap after the first
  // call. The pointer stays valid for the life of the frame.
  const uint8_t* lockBaseAddress();
  // Bytes per row of the locked pixels (>= width * 4); 0 before a successful lock.
  size_t bytesPerRow() const { return bytesPerRow_; }

 private:
  friend class MediaReader;
  MediaFrame() = default;

  int width_ = 0;
  int height_ = 0;
  uint64_t index_ = 0;
  int64_t ptsMicros_ = 0;
  AVFrame* source_ = nullptr;      // the decoder's picture until converted
  AVBufferRef* pixels_ = nullptr;  // BGRA pixels once converted
  std::shared_ptr<MediaFrameShared> shared_;
  const uint8_t* base_ = nullptr;
  size_t bytesPerRow_ = 0;
};

// Reads the first video track of an MP4/QuickTime file as BGRA frames in decoding-output order,
// with a threaded decoder. Files are untrusted: no other container is probed, nothing but the
// local file is opened (no references to other files or URLs), and tracks whose pictures would
// exceed kMaxDecodedPictureBytes are refused. Use from one thread.
class MediaReader {
 public:
  enum class Status { Unknown, Reading, Completed, Failed };

  ~MediaReader();
  MediaReader(const MediaReader&) = delete;
  MediaReader& operator=(const MediaReader&) = delete;

  // Opens the file and selects its first video track. Null when the file is no MP4/QuickTime
  // file, holds no video track, or its track's pictures are too large.
  static std::unique_ptr<MediaReader> openFirstVideoTrack(const std::string& path);

  // Sets up the decoder for the requested output format (only kMediaPixelFormatBGRA is
  // offered). False with error() describing why.
  bool addOutput(uint32_t pixelFormat);
  // Starts reading; status becomes Reading. False with error() when it cannot start.
  bool startReading();
  // The next decoded frame, or null. Null with the status still Reading stands for a picture
  // the decoder rejected: its position is used up, so the frames after it keep their indices.
  // Otherwise a null result leaves the Reading status: Completed at the end of the track,
  // Failed on an error (also after many rejected pictures in a row).
  std::unique_ptr<MediaFrame> copyNextSampleBuffer();

  Status status() const { return status_; }
  const std::string& error() const { return error_; }
  int width() const;
  int height() const;
  // Nominal frames per second of the track (0 when unknown).
  double nominalFrameRate() const;
  // Decoder threads in use (after addOutput).
  int decoderThreads() const;

 private:
  struct Impl;
  explicit MediaReader(std::unique_ptr<Impl> impl);
  void fail(const std::string& why);
  // Uses up the position of a picture the decoder rejected.
  void lostPicture(int averror);

  std::unique_ptr<Impl> impl_;
  Status status_ = Status::Unknown;
  std::string error_;
};

}  // namespace orsa::platform
