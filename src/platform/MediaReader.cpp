#include "platform/MediaReader.h"

#include "platform/AvError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

namespace orsa::platform {

namespace {

// Rows of converted pictures start on 64-byte boundaries so SIMD loads in the encoder and in
// swscale stay aligned; odd widths therefore get padded rows.
constexpr size_t kRowAlignment = 64;

// A colour converter per thread: swscale contexts are not safe to share, and frames are
// converted on whichever thread locks them first. The converter is keyed on everything it was
// set up with. swscale's own cache is not used: it rebuilds a context whose flags it adjusted
// itself (4:4:4 sources), and a rebuilt context at a reused address would then lose the colour
// settings made on the old one.
struct ThreadConverter {
  SwsContext* ctx = nullptr;
  int srcW = 0, srcH = 0, dstW = 0, dstH = 0;
  AVPixelFormat srcFmt = AV_PIX_FMT_NONE;
  int colorspace = -1;
  int range = -1;
  ~ThreadConverter() { sws_freeContext(ctx); }
};

ThreadConverter& threadConverter() {
  thread_local ThreadConverter converter;
  return converter;
}

AVPixelFormat normalisedFormat(AVPixelFormat fmt, bool* fullRange) {
  // The deprecated "J" formats are the plain ones with full-range samples.
  switch (fmt) {
    case AV_PIX_FMT_YUVJ420P:
      *fullRange = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      *fullRange = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      *fullRange = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      *fullRange = true;
      return AV_PIX_FMT_YUV440P;
    default:
      return fmt;
  }
}

// FFmpeg chats on stderr at its default level (damaged packets, probing guesses). Quiet it to
// real errors unless the host already chose a level.
void quietLibraryLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  });
}

bool pictureFits(int width, int height) {
  return width > 0 && height > 0 && int64_t{width} * int64_t{height} * 4 <= kMaxDecodedPictureBytes;
}

// The demuxer family of MP4 and QuickTime files, the only containers packages use.
constexpr const char* kAllowedFormats = "mov,mp4,m4a,3gp,3g2,mj2";

}  // namespace

// What the frames of one reader share: the pool their BGRA pixels come from. Frames may outlive
// the reader; the pool goes away with the last of them.
struct MediaFrameShared {
  AVBufferPool* pool = nullptr;
  size_t bytesPerRow = 0;
  size_t bufferSize = 0;
  ~MediaFrameShared() { av_buffer_pool_uninit(&pool); }
};

MediaFrame::~MediaFrame() {
  av_frame_free(&source_);
  av_buffer_unref(&pixels_);
}

const uint8_t* MediaFrame::lockBaseAddress() {
  if (base_) return base_;
  if (!source_ || width_ <= 0 || height_ <= 0) return nullptr;
  auto fmt = static_cast<AVPixelFormat>(source_->format);
  if (fmt == AV_PIX_FMT_BGRA && source_->width == width_ && source_->height == height_ &&
      source_->linesize[0] >= width_ * 4) {
    // The decoder already gives packed BGRA: use its picture as it is.
    base_ = source_->data[0];
    bytesPerRow_ = static_cast<size_t>(source_->linesize[0]);
    return base_;
  }
  if (!shared_ || !shared_->pool) return nullptr;
  AVBufferRef* buf = av_buffer_pool_get(shared_->pool);
  if (!buf) return nullptr;

  bool fullRange = source_->color_range == AVCOL_RANGE_JPEG;
  AVPixelFormat srcFmt = normalisedFormat(fmt, &fullRange);
  int colorspace = source_->colorspace;
  if (colorspace == AVCOL_SPC_UNSPECIFIED || colorspace == AVCOL_SPC_RGB ||
      colorspace == AVCOL_SPC_RESERVED)
    colorspace = SWS_CS_DEFAULT;
  const int range = fullRange ? 1 : 0;
  ThreadConverter& conv = threadConverter();
  if (!conv.ctx || conv.srcW != source_->width || conv.srcH != source_->height ||
      conv.srcFmt != srcFmt || conv.dstW != width_ || conv.dstH != height_ ||
      conv.colorspace != colorspace || conv.range != range) {
    sws_freeContext(conv.ctx);
    // A picture whose size changed mid-stream is scaled to the track's size, so every frame
    // keeps its place in the sequence with the buffers' fixed size.
    conv.ctx = sws_getContext(source_->width, source_->height, srcFmt, width_, height_,
                              AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!conv.ctx) {
      av_buffer_unref(&buf);
      return nullptr;
    }
    // Output is full-range RGB whatever the source range is.
    sws_setColorspaceDetails(conv.ctx, sws_getCoefficients(colorspace), range,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    conv.srcW = source_->width;
    conv.srcH = source_->height;
    conv.srcFmt = srcFmt;
    conv.dstW = width_;
    conv.dstH = height_;
    conv.colorspace = colorspace;
    conv.range = range;
  }
  SwsContext* ctx = conv.ctx;

  uint8_t* dst[4] = {buf->data, nullptr, nullptr, nullptr};
  int dstStride[4] = {static_cast<int>(shared_->bytesPerRow), 0, 0, 0};
  int rows = sws_scale(ctx, source_->data, source_->linesize, 0, source_->height, dst, dstStride);
  if (rows != height_) {
    av_buffer_unref(&buf);
    return nullptr;
  }
  pixels_ = buf;
  base_ = buf->data;
  bytesPerRow_ = shared_->bytesPerRow;
  // The decoder's picture is no longer needed; give its memory back early.
  av_frame_free(&source_);
  return base_;
}

struct MediaReader::Impl {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;
  int width = 0;  // of every frame handed out: the size when decoding started
  int height = 0;
  bool inputDrained = false;
  bool inputError = false;
  int consecutiveDecodeErrors = 0;
  uint64_t framesOut = 0;
  std::shared_ptr<MediaFrameShared> shared;

  ~Impl() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&fmt);
  }
};

MediaReader::MediaReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MediaReader::~MediaReader() = default;

std::unique_ptr<MediaReader> MediaReader::openFirstVideoTrack(const std::string& path) {
  quietLibraryLogs();
  auto impl = std::make_unique<Impl>();
  // No probing: a playlist or another demuxer's file disguised as .mp4 must not make FFmpeg
  // open further files or URLs. The whitelists also bind every nested open.
  const AVInputFormat* mov = av_find_input_format("mov");
  if (!mov) return nullptr;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kAllowedFormats, 0);
  av_dict_set(&options, "enable_drefs", "0", 0);
  int err = avformat_open_input(&impl->fmt, path.c_str(), mov, &options);
  av_dict_free(&options);
  if (err < 0) {
    impl->fmt = nullptr;
    return nullptr;
  }
  auto firstVideo = [&]() -> int {
    for (unsigned i = 0; i < impl->fmt->nb_streams; ++i) {
      const AVCodecParameters* par = impl->fmt->streams[i]->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO &&
          !(impl->fmt->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) && par->width > 0 &&
          par->height > 0)
        return static_cast<int>(i);
    }
    return -1;
  };
  // The declared size is checked before anything is decoded, and the probing decoders are held
  // to the same bound.
  int declared = firstVideo();
  if (declared >= 0) {
    const AVCodecParameters* par = impl->fmt->streams[declared]->codecpar;
    if (!pictureFits(par->width, par->height)) return nullptr;
  }
  std::vector<AVDictionary*> streamOptions(impl->fmt->nb_streams, nullptr);
  for (auto& o : streamOptions) av_dict_set_int(&o, "max_pixels", kMaxDecodedPictureBytes / 4, 0);
  err = avformat_find_stream_info(impl->fmt, streamOptions.data());
  for (auto& o : streamOptions) av_dict_free(&o);
  if (err < 0) return nullptr;
  impl->streamIndex = firstVideo();
  if (impl->streamIndex >= 0) {
    const AVCodecParameters* par = impl->fmt->streams[impl->streamIndex]->codecpar;
    if (!pictureFits(par->width, par->height)) return nullptr;
  }
  if (impl->streamIndex < 0) return nullptr;
  for (unsigned i = 0; i < impl->fmt->nb_streams; ++i)
    if (static_cast<int>(i) != impl->streamIndex) impl->fmt->streams[i]->discard = AVDISCARD_ALL;
  return std::unique_ptr<MediaReader>(new MediaReader(std::move(impl)));
}

bool MediaReader::addOutput(uint32_t pixelFormat) {
  if (pixelFormat != kMediaPixelFormatBGRA) {
    error_ = "unsupported output pixel format";
    return false;
  }
  if (impl_->codec) {
    error_ = "output already added";
    return false;
  }
  const AVStream* stream = impl_->fmt->streams[impl_->streamIndex];
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!decoder) {
    error_ = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
    return false;
  }
  AVCodecContext* ctx = avcodec_alloc_context3(decoder);
  if (!ctx) {
    error_ = "cannot allocate a decoder";
    return false;
  }
  impl_->codec = ctx;
  int err = avcodec_parameters_to_context(ctx, stream->codecpar);
  if (err < 0) {
    error_ = "decoder parameters: " + avErrorText(err);
    return false;
  }
  ctx->pkt_timebase = stream->time_base;
  // Frame threading delays output by one frame per thread, which costs nothing for batch
  // reading and keeps every core busy; slice threading covers decoders without it.
  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  ctx->thread_count = static_cast<int>(std::min(cores, 16u));
  ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  // A picture size changed mid-stream to something huge is refused by the decoder itself.
  ctx->max_pixels = kMaxDecodedPictureBytes / 4;
  err = avcodec_open2(ctx, decoder, nullptr);
  if (err < 0) {
    error_ = "cannot open the decoder: " + avErrorText(err);
    return false;
  }
  int w = ctx->width, h = ctx->height;
  if (w <= 0 || h <= 0) {
    error_ = "the video track has no picture size";
    return false;
  }
  if (!pictureFits(w, h)) {
    error_ = "picture too large";
    return false;
  }
  auto shared = std::make_shared<MediaFrameShared>();
  size_t row = (static_cast<size_t>(w) * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  shared->bytesPerRow = row;
  shared->bufferSize = row * static_cast<size_t>(h);
  shared->pool = av_buffer_pool_init(shared->bufferSize, av_buffer_alloc);
  if (!shared->pool) {
    error_ = "cannot allocate frame buffers";
    return false;
  }
  impl_->shared = std::move(shared);
  impl_->width = w;
  impl_->height = h;
  impl_->packet = av_packet_alloc();
  impl_->frame = av_frame_alloc();
  if (!impl_->packet || !impl_->frame) {
    error_ = "out of memory";
    return false;
  }
  return true;
}

bool MediaReader::startReading() {
  if (status_ != Status::Unknown) {
    error_ = "reading was already started";
    return false;
  }
  if (!impl_->codec || !impl_->shared) {
    if (error_.empty()) error_ = "no output was added";
    status_ = Status::Failed;
    return false;
  }
  status_ = Status::Reading;
  return true;
}

void MediaReader::fail(const std::string& why) {
  error_ = why;
  status_ = Status::Failed;
}

void MediaReader::lostPicture(int averror) {
  // A stream whose every packet fails to decode is not a video we can read.
  constexpr int kMaxConsecutiveErrors = 64;
  ++impl_->framesOut;
  if (++impl_->consecutiveDecodeErrors > kMaxConsecutiveErrors)
    fail("decoding failed: " + avErrorText(averror));
}

std::unique_ptr<MediaFrame> MediaReader::copyNextSampleBuffer() {
  if (status_ != Status::Reading) return nullptr;
  Impl& s = *impl_;
  while (true) {
    int ret = avcodec_receive_frame(s.codec, s.frame);
    if (ret == 0) {
      s.consecutiveDecodeErrors = 0;
      if (s.frame->width <= 0 || s.frame->height <= 0) {
        av_frame_unref(s.frame);
        ++s.framesOut;
        return nullptr;
      }
      std::unique_ptr<MediaFrame> out(new MediaFrame());
      out->width_ = s.width;
      out->height_ = s.height;
      out->index_ = s.framesOut++;
      int64_t ts = s.frame->best_effort_timestamp;
      if (ts != AV_NOPTS_VALUE)
        out->ptsMicros_ = av_rescale_q(ts, s.fmt->streams[s.streamIndex]->time_base, {1, 1000000});
      out->source_ = av_frame_alloc();
      if (!out->source_) {
        av_frame_unref(s.frame);
        fail("out of memory");
        return nullptr;
      }
      av_frame_move_ref(out->source_, s.frame);
      out->shared_ = s.shared;
      return out;
    }
    if (ret == AVERROR_EOF) {
      if (s.inputError)
        fail("the media file could not be read to its end");
      else
        status_ = Status::Completed;
      return nullptr;
    }
    if (ret != AVERROR(EAGAIN)) {
      // A damaged picture: it keeps its place in the sequence, unless nothing decodes at all.
      lostPicture(ret);
      return nullptr;
    }
    if (s.inputDrained) {
      // The decoder wants input after the flush packet: nothing more will come.
      status_ = s.inputError ? Status::Failed : Status::Completed;
      return nullptr;
    }
    ret = av_read_frame(s.fmt, s.packet);
    if (ret < 0) {
      if (ret != AVERROR_EOF) {
        s.inputError = true;
        error_ = "reading the media file failed: " + avErrorText(ret);
      }
      s.inputDrained = true;
      avcodec_send_packet(s.codec, nullptr);
      continue;
    }
    if (s.packet->stream_index != s.streamIndex) {
      av_packet_unref(s.packet);
      continue;
    }
    ret = avcodec_send_packet(s.codec, s.packet);
    av_packet_unref(s.packet);
    // The decoder took the packet and rejected its picture.
    if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
      lostPicture(ret);
      return nullptr;
    }
  }
}

int MediaReader::width() const {
  if (impl_->width > 0) return impl_->width;
  return impl_->fmt->streams[impl_->streamIndex]->codecpar->width;
}

int MediaReader::height() const {
  if (impl_->height > 0) return impl_->height;
  return impl_->fmt->streams[impl_->streamIndex]->codecpar->height;
}

double MediaReader::nominalFrameRate() const {
  const AVStream* st = impl_->fmt->streams[impl_->streamIndex];
  AVRational r = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  return r.num > 0 && r.den > 0 ? av_q2d(r) : 0.0;
}

int MediaReader::decoderThreads() const {
  return impl_->codec ? impl_->codec->thread_count : 0;
}

}  // namespace orsa::platform
