#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orsa::platform {

enum class VideoCodec { H264, MPEG4, MJPEG };

// Byte order of the 32-bit pixels handed to VideoWriter::write.
enum class VideoPixelOrder { RGBA, BGRA };

struct VideoFormat {
  int width = 0;
  int height = 0;
  int fps = 25;
  VideoCodec codec = VideoCodec::H264;
  // 4:4:4 chroma (H.264 and MJPEG) keeps odd sizes and sharp colour edges.
  bool yuv444 = false;
  // B-frames make a decoder reorder its output, as the pictures of real packages do (MJPEG has
  // none).
  int maxBFrames = 2;
  // Pictures between key frames; 0 picks two seconds.
  int keyFrameInterval = 0;
  // H.264 constant rate factor: lower is better.
  int crf = 20;
  // Encoder threads; 0 lets the encoder choose.
  int threads = 0;
};

// Encodes pictures, one call per frame, into a video file whose container follows the file
// name's extension (".mp4", ".mov", ".mkv", ".h264", ...). Pictures are tagged BT.601 with
// limited range, which is what the media reader assumes for untagged video as well.
class VideoWriter {
 public:
  VideoWriter();
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // True when this FFmpeg build can encode the codec.
  static bool canEncode(VideoCodec codec);

  // Creates the file and writes the container header. False with error() telling why.
  bool open(const std::string& path, const VideoFormat& format);
  // Encodes one picture of the opened size; rows are bytesPerRow apart (>= width * 4).
  bool write(const uint8_t* pixels, size_t bytesPerRow, VideoPixelOrder order);
  // Flushes the encoder and completes the file. Without it the file is left incomplete.
  bool finish();
  const std::string& error() const { return error_; }

 private:
  struct Impl;
  bool fail(const std::string& why);

  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace orsa::platform
