#include "StreamEncoder.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "FramePattern.h"
#include "SeiNal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace orsa::tool {
namespace {

constexpr int kRtpPacketSize = 1400;
// An access unit delimiter sent at the end of each access unit: a receiver's parser learns
// at once that the unit is complete instead of waiting for the next one.
constexpr uint8_t kDelimiter[] = {0, 0, 0, 1, 0x09, 0xF0};

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

bool endsWith(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

struct StreamEncoder::Impl {
  Options options;
  bool rtp = false;
  AVCodecContext* codec = nullptr;
  AVFormatContext* format = nullptr;
  AVStream* stream = nullptr;
  SwsContext* sws = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  // RTP: the socket behind our own output, which is where packets are lost on purpose.
  int socket = -1;
  AVIOContext* io = nullptr;
  std::mt19937_64 loss;
  uint64_t sent = 0, dropped = 0, encoded = 0;
  int64_t nextPts = 0;
  // The SEI payload of each picture in the encoder, by its pts.
  std::vector<std::vector<uint8_t>> seiByPts;
  std::string error;
  bool headerWritten = false, finished = false;

  ~Impl() {
    if (format) {
      if (!rtp && format->pb) avio_closep(&format->pb);
      avformat_free_context(format);
    }
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    if (socket >= 0) ::close(socket);
    avcodec_free_context(&codec);
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
  }

  static int writePacket(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<Impl*>(opaque);
    // RTCP sender reports share the output; the receiver does without them.
    if (size >= 2 && data[1] >= 200 && data[1] <= 204) return size;
    if (self->options.lossPercent > 0 &&
        std::uniform_real_distribution<double>(0, 100)(self->loss) < self->options.lossPercent) {
      ++self->dropped;
      return size;
    }
    // A receiver that is not there yet is no reason to stop sending.
    (void)::send(self->socket, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    ++self->sent;
    return size;
  }

  bool openRtp() {
    // rtp://HOST:PORT
    char host[256] = {}, proto[16] = {};
    int port = -1;
    av_url_split(proto, sizeof(proto), nullptr, 0, host, sizeof(host), &port, nullptr, 0,
                 options.to.c_str());
    if (std::strcmp(proto, "rtp") != 0 || !host[0] || port <= 0 || port > 65535) {
      error = "--to takes rtp://HOST:PORT or a .mp4 or .h264 file";
      return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
      error = std::string("cannot resolve ") + host;
      return false;
    }
    socket = ::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool connected = socket >= 0 && ::connect(socket, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
      error = "cannot open a UDP socket to " + options.to;
      return false;
    }
    loss.seed(options.seed);
    auto* buffer = static_cast<uint8_t*>(av_malloc(kRtpPacketSize + 100));
    io = avio_alloc_context(buffer, kRtpPacketSize + 100, 1, this, nullptr, &Impl::writePacket,
                            nullptr);
    if (!io) {
      av_free(buffer);
      error = "out of memory";
      return false;
    }
    io->max_packet_size = kRtpPacketSize;
    io->seekable = 0;
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    return true;
  }

  bool open() {
    rtp = options.to.rfind("rtp://", 0) == 0;
    const char* muxer = rtp                                                             ? "rtp"
                        : endsWith(options.to, ".mp4")                                  ? "mp4"
                        : endsWith(options.to, ".h264") || endsWith(options.to, ".264") ? "h264"
                                                                                        : nullptr;
    if (!muxer) {
      error = "--to takes rtp://HOST:PORT or a .mp4 or .h264 file";
      return false;
    }
    if (options.width % 2 || options.height % 2 ||
        !FramePattern::fits(options.width, options.height)) {
      error = "the head (" + std::to_string(options.width) + "x" + std::to_string(options.height) +
              ") must be even-sized and at least " + std::to_string(FramePattern::kWidth) + "x" +
              std::to_string(FramePattern::kHeight);
      return false;
    }
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    if (!x264) {
      error = "this FFmpeg has no libx264 encoder";
      return false;
    }
    codec = avcodec_alloc_context3(x264);
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (!codec || !frame || !packet) {
      error = "out of memory";
      return false;
    }
    codec->width = options.width;
    codec->height = options.height;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    codec->time_base = AVRational{1, options.fps};
    codec->framerate = AVRational{options.fps, 1};
    codec->gop_size = 2 * options.fps;
    codec->keyint_min = 2 * options.fps;
    codec->max_b_frames = 0;
    codec->bit_rate = options.bitrate;
    codec->rc_max_rate = options.bitrate;
    codec->rc_buffer_size = static_cast<int>(options.bitrate / 2);
    av_opt_set(codec->priv_data, "preset", "veryfast", 0);
    av_opt_set(codec->priv_data, "tune", "zerolatency", 0);
    // Key frames on the clock only, each with its parameter sets.
    av_opt_set(codec->priv_data, "x264-params", "scenecut=0:repeat-headers=1:annexb=1", 0);
    if (int rc = avcodec_open2(codec, x264, nullptr); rc < 0) {
      error = "cannot open libx264: " + averror(rc);
      return false;
    }

    if (avformat_alloc_output_context2(&format, nullptr, muxer, options.to.c_str()) < 0 ||
        !format) {
      error = "cannot make a " + std::string(muxer) + " output";
      return false;
    }
    stream = avformat_new_stream(format, nullptr);
    if (!stream || avcodec_parameters_from_context(stream->codecpar, codec) < 0) {
      error = "out of memory";
      return false;
    }
    stream->time_base = codec->time_base;
    stream->avg_frame_rate = codec->framerate;
    if (rtp) {
      if (!openRtp()) return false;
    } else if (int rc = avio_open(&format->pb, ("file:" + options.to).c_str(), AVIO_FLAG_WRITE);
               rc < 0) {
      error = "cannot write " + options.to + ": " + averror(rc);
      return false;
    }
    if (int rc = avformat_write_header(format, nullptr); rc < 0) {
      error = "cannot start the " + std::string(muxer) + " output: " + averror(rc);
      return false;
    }
    headerWritten = true;
    if (rtp && !writeSdp()) return false;

    sws =
        sws_getContext(options.width, options.height, AV_PIX_FMT_BGRA, options.width,
                       options.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = options.width;
    frame->height = options.height;
    if (!sws || av_frame_get_buffer(frame, 0) < 0) {
      error = "out of memory";
      return false;
    }
    return true;
  }

  bool writeSdp() {
    char sdp[4096] = {};
    if (av_sdp_create(&format, 1, sdp, sizeof(sdp)) < 0) {
      error = "cannot make the SDP";
      return false;
    }
    if (options.sdpPath.empty()) {
      std::printf("%s\n", sdp);
      std::fflush(stdout);
      return true;
    }
    // Written whole under another name first, so a receiver never reads half of it.
    const std::string partial = options.sdpPath + ".partial";
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out << sdp << "\n";
      if (!out.flush()) {
        error = "cannot write " + options.sdpPath;
        return false;
      }
    }
    if (std::rename(partial.c_str(), options.sdpPath.c_str()) != 0) {
      error = "cannot write " + options.sdpPath;
      return false;
    }
    return true;
  }

  bool drain() {
    for (;;) {
      int rc = avcodec_receive_packet(codec, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) {
        error = "the encoder failed: " + averror(rc);
        return false;
      }
      const size_t slot = static_cast<size_t>(packet->pts) % seiByPts.size();
      const auto nal = sei::buildNal(seiByPts[slot]);
      std::vector<uint8_t> unit =
          sei::insertBeforeFirstSlice(std::span<const uint8_t>(packet->data, packet->size), nal);
      if (rtp) unit.insert(unit.end(), std::begin(kDelimiter), std::end(kDelimiter));
      AVPacket* out = av_packet_alloc();
      if (!out || av_new_packet(out, static_cast<int>(unit.size())) < 0) {
        av_packet_free(&out);
        error = "out of memory";
        return false;
      }
      std::memcpy(out->data, unit.data(), unit.size());
      out->pts = packet->pts;
      out->dts = packet->dts;
      out->flags = packet->flags;
      out->stream_index = 0;
      av_packet_rescale_ts(out, codec->time_base, stream->time_base);
      av_packet_unref(packet);
      rc = av_write_frame(format, out);
      av_packet_free(&out);
      if (rc < 0) {
        error = "cannot write to " + options.to + ": " + averror(rc);
        return false;
      }
      ++encoded;
    }
  }
};

StreamEncoder::~StreamEncoder() {
  if (impl_ && !impl_->finished) finish();
}

std::unique_ptr<StreamEncoder> StreamEncoder::open(const Options& options, std::string& error) {
  std::unique_ptr<StreamEncoder> encoder(new StreamEncoder());
  encoder->impl_ = std::make_unique<Impl>();
  encoder->impl_->options = options;
  // The encoder holds no picture back (no B-frames, no look-ahead), but keep a few records in
  // case a build of it does.
  encoder->impl_->seiByPts.resize(16);
  if (!encoder->impl_->open()) {
    error = encoder->impl_->error;
    return nullptr;
  }
  return encoder;
}

std::vector<uint8_t> StreamEncoder::seiPayload(const OrsaSEIRecord& r, int64_t sendTimeMs) {
  std::vector<uint8_t> raw;
  const auto put = [&raw](uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) raw.push_back(static_cast<uint8_t>(v >> shift));
  };
  for (int32_t v :
       {r.fps, r.type, r.startIndex, r.endIndex, r.frameIndex, r.left, r.top, r.right, r.bottom})
    put(static_cast<uint32_t>(v));
  const auto t = static_cast<uint64_t>(sendTimeMs);
  put(static_cast<uint32_t>(t));
  put(static_cast<uint32_t>(t >> 32));
  return raw;
}

bool StreamEncoder::encode(const uint8_t* bgra, size_t stride, const OrsaSEIRecord& record,
                           int64_t sendTimeMs) {
  Impl& d = *impl_;
  if (!d.error.empty() || d.finished) return false;
  if (av_frame_make_writable(d.frame) < 0) {
    d.error = "out of memory";
    return false;
  }
  const uint8_t* src[1] = {bgra};
  const int srcStride[1] = {static_cast<int>(stride)};
  sws_scale(d.sws, src, srcStride, 0, d.options.height, d.frame->data, d.frame->linesize);
  FramePattern::draw(static_cast<uint32_t>(record.frameIndex), d.frame->data[0],
                     static_cast<size_t>(d.frame->linesize[0]), d.frame->data[1], d.frame->data[2],
                     static_cast<size_t>(d.frame->linesize[1]));
  d.frame->pts = d.nextPts++;
  d.seiByPts[static_cast<size_t>(d.frame->pts) % d.seiByPts.size()] =
      seiPayload(record, sendTimeMs);
  const int rc = avcodec_send_frame(d.codec, d.frame);
  if (rc < 0) {
    d.error = "the encoder refused a picture: " + averror(rc);
    return false;
  }
  return d.drain();
}

bool StreamEncoder::finish() {
  Impl& d = *impl_;
  if (d.finished) return d.error.empty();
  d.finished = true;
  if (d.codec && d.error.empty() && avcodec_send_frame(d.codec, nullptr) >= 0) d.drain();
  if (d.headerWritten) {
    if (int rc = av_write_trailer(d.format); rc < 0 && d.error.empty())
      d.error = "cannot complete " + d.options.to + ": " + averror(rc);
  }
  if (d.io) avio_flush(d.io);
  return d.error.empty();
}

const std::string& StreamEncoder::error() const {
  return impl_->error;
}
uint64_t StreamEncoder::framesEncoded() const {
  return impl_->encoded;
}
uint64_t StreamEncoder::packetsSent() const {
  return impl_->sent;
}
uint64_t StreamEncoder::packetsDropped() const {
  return impl_->dropped;
}
bool StreamEncoder::isRtp() const {
  return impl_->rtp;
}

}  // namespace orsa::tool
