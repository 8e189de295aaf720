#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orsa::test {

enum class VideoCodec { H264, MPEG4 };

struct VideoSpec {
  VideoCodec codec = VideoCodec::H264;
  int width = 64;
  int height = 48;
  int fps = 25;
  int frames = 10;
  // 4:4:4 chroma (H.264 only) allows odd sizes.
  bool yuv444 = false;
  // B-frames make the decoder reorder, as real packages do.
  int maxBFrames = 2;
};

// Paints frame `index` into packed RGBA rows (stride width * 4).
using PaintFn = std::function<void(int index, uint8_t* rgba, int width, int height)>;

// Moving bars and a moving square over a gradient: every frame differs from its neighbours.
void paintTestPattern(int index, uint8_t* rgba, int width, int height);

// Encodes a video with libavcodec into a container chosen by the file extension (.mp4, .avi,
// .mkv). False with error set when the encoder is missing or encoding fails.
bool writeVideo(const std::string& path, const VideoSpec& videoSpec, const PaintFn& paint,
                std::string* error = nullptr);

// True when this FFmpeg build can encode the codec.
bool canEncode(VideoCodec codec);

// A WAV file of silence: media without any video track.
void writeSilentWav(const std::string& path, int milliseconds);

}  // namespace orsa::test
