#include "support/VideoWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <fstream>
#include <memory>
#include <vector>

namespace orsa::test {

namespace {

const AVCodec* findEncoder(VideoCodec codec) {
  if (codec == VideoCodec::H264) return avcodec_find_encoder_by_name("libx264");
  return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
}

std::string errText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

struct Cleanup {
  AVFormatContext* oc = nullptr;
  AVCodecContext* enc = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  bool opened = false;
  ~Cleanup() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (oc) {
      if (opened) avio_closep(&oc->pb);
      avformat_free_context(oc);
    }
  }
};

int drain(AVCodecContext* enc, AVFormatContext* oc, AVStream* st, AVPacket* pkt) {
  while (true) {
    int ret = avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return ret;
    // Without a duration the MP4 muxer gives the last frame none, and its edit list then
    // hides that frame from readers.
    if (pkt->duration <= 0) pkt->duration = 1;
    av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
    pkt->stream_index = st->index;
    ret = av_interleaved_write_frame(oc, pkt);
    if (ret < 0) return ret;
  }
}

}  // namespace

void paintTestPattern(int index, uint8_t* rgba, int width, int height) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = rgba + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
      p[1] = static_cast<uint8_t>(y * 255 / std::max(1, height - 1));
      p[2] = static_cast<uint8_t>((index * 67) & 0xFF);
      p[3] = 255;
      // A vertical bar moving right.
      if (((x + index * 3) / 8) % 4 == 0) {
        p[0] = static_cast<uint8_t>(255 - p[0]);
      }
    }
  }
  // A bright square moving diagonally.
  int size = std::max(4, std::min(width, height) / 4);
  int ox = (index * 5) % std::max(1, width - size);
  int oy = (index * 3) % std::max(1, height - size);
  for (int y = oy; y < oy + size && y < height; ++y)
    for (int x = ox; x < ox + size && x < width; ++x) {
      uint8_t* p = rgba + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = 250;
      p[1] = 240;
      p[2] = 30;
    }
}

bool canEncode(VideoCodec codec) {
  return findEncoder(codec) != nullptr;
}

bool writeVideo(const std::string& path, const VideoSpec& videoSpec, const PaintFn& paint,
                std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const AVCodec* codec = findEncoder(videoSpec.codec);
  if (!codec) return fail("encoder not available");
  av_log_set_level(AV_LOG_ERROR);
  Cleanup c;
  if (avformat_alloc_output_context2(&c.oc, nullptr, nullptr, path.c_str()) < 0 || !c.oc)
    return fail("no container for " + path);
  AVStream* st = avformat_new_stream(c.oc, nullptr);
  c.enc = avcodec_alloc_context3(codec);
  if (!st || !c.enc) return fail("out of memory");
  AVPixelFormat pix = videoSpec.yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
  c.enc->width = videoSpec.width;
  c.enc->height = videoSpec.height;
  c.enc->time_base = AVRational{1, videoSpec.fps};
  c.enc->framerate = AVRational{videoSpec.fps, 1};
  c.enc->pix_fmt = pix;
  c.enc->gop_size = 12;
  c.enc->max_b_frames = videoSpec.maxBFrames;
  c.enc->thread_count = 1;
  if (videoSpec.codec == VideoCodec::H264) {
    av_opt_set(c.enc->priv_data, "preset", "veryfast", 0);
    av_opt_set(c.enc->priv_data, "crf", "16", 0);
  } else {
    c.enc->bit_rate = static_cast<int64_t>(videoSpec.width) * videoSpec.height * videoSpec.fps * 2;
    c.enc->qmax = 4;
  }
  if (c.oc->oformat->flags & AVFMT_GLOBALHEADER) c.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int ret = avcodec_open2(c.enc, codec, nullptr);
  if (ret < 0) return fail("cannot open encoder: " + errText(ret));
  ret = avcodec_parameters_from_context(st->codecpar, c.enc);
  if (ret < 0) return fail("encoder parameters: " + errText(ret));
  st->time_base = c.enc->time_base;
  if (!(c.oc->oformat->flags & AVFMT_NOFILE)) {
    ret = avio_open(&c.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) return fail("cannot create " + path + ": " + errText(ret));
    c.opened = true;
  }
  ret = avformat_write_header(c.oc, nullptr);
  if (ret < 0) return fail("cannot write header: " + errText(ret));

  c.frame = av_frame_alloc();
  c.pkt = av_packet_alloc();
  if (!c.frame || !c.pkt) return fail("out of memory");
  c.frame->format = pix;
  c.frame->width = videoSpec.width;
  c.frame->height = videoSpec.height;
  if (av_frame_get_buffer(c.frame, 0) < 0) return fail("out of memory");
  c.sws = sws_getContext(videoSpec.width, videoSpec.height, AV_PIX_FMT_RGBA, videoSpec.width,
                         videoSpec.height, pix, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!c.sws) return fail("no converter");
  std::vector<uint8_t> rgba(static_cast<size_t>(videoSpec.width) * videoSpec.height * 4);
  for (int i = 0; i < videoSpec.frames; ++i) {
    paint(i, rgba.data(), videoSpec.width, videoSpec.height);
    if (av_frame_make_writable(c.frame) < 0) return fail("frame not writable");
    const uint8_t* src[1] = {rgba.data()};
    int srcStride[1] = {videoSpec.width * 4};
    sws_scale(c.sws, src, srcStride, 0, videoSpec.height, c.frame->data, c.frame->linesize);
    c.frame->pts = i;
    ret = avcodec_send_frame(c.enc, c.frame);
    if (ret < 0) return fail("encode: " + errText(ret));
    if ((ret = drain(c.enc, c.oc, st, c.pkt)) < 0) return fail("write: " + errText(ret));
  }
  avcodec_send_frame(c.enc, nullptr);
  if ((ret = drain(c.enc, c.oc, st, c.pkt)) < 0) return fail("write: " + errText(ret));
  ret = av_write_trailer(c.oc);
  if (ret < 0) return fail("trailer: " + errText(ret));
  return true;
}

void writeSilentWav(const std::string& path, int milliseconds) {
  const uint32_t rate = 8000;
  const uint32_t samples = rate * static_cast<uint32_t>(milliseconds) / 1000;
  const uint32_t dataBytes = samples * 2;
  std::string out;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  auto put16 = [&](uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
  };
  out += "RIFF";
  put32(36 + dataBytes);
  out += "WAVEfmt ";
  put32(16);
  put16(1);  // PCM
  put16(1);  // mono
  put32(rate);
  put32(rate * 2);
  put16(2);
  put16(16);
  out += "data";
  put32(dataBytes);
  out.append(dataBytes, '\0');
  std::ofstream(path, std::ios::binary) << out;
}

}  // namespace orsa::test
