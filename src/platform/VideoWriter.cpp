#include "platform/VideoWriter.h"

#include "platform/AvError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace orsa::platform {

namespace {

const AVCodec* findEncoder(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::H264:
      if (const AVCodec* x264 = avcodec_find_encoder_by_name("libx264")) return x264;
      return avcodec_find_encoder(AV_CODEC_ID_H264);
    case VideoCodec::MPEG4:
      return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    case VideoCodec::MJPEG:
      return avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  }
  return nullptr;
}

}  // namespace

struct VideoWriter::Impl {
  AVFormatContext* oc = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* sws = nullptr;
  bool fileOpen = false;
  int64_t nextPts = 0;

  ~Impl() {
    sws_freeContext(sws);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (oc) {
      if (fileOpen) avio_closep(&oc->pb);
      avformat_free_context(oc);
    }
  }

  // Moves every packet the encoder has ready into the file.
  int drain() {
    while (true) {
      int ret = avcodec_receive_packet(enc, packet);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
      if (ret < 0) return ret;
      // Without a duration the MP4 muxer gives the last sample none, and its edit list then
      // hides that frame from readers.
      if (packet->duration <= 0) packet->duration = 1;
      av_packet_rescale_ts(packet, enc->time_base, stream->time_base);
      packet->stream_index = stream->index;
      ret = av_interleaved_write_frame(oc, packet);
      if (ret < 0) return ret;
    }
  }
};

VideoWriter::VideoWriter() = default;
VideoWriter::~VideoWriter() = default;

bool VideoWriter::canEncode(VideoCodec codec) {
  return findEncoder(codec) != nullptr;
}

bool VideoWriter::fail(const std::string& why) {
  error_ = why;
  impl_.reset();
  return false;
}

bool VideoWriter::open(const std::string& path, const VideoFormat& format) {
  impl_.reset();
  error_.clear();
  if (format.width <= 0 || format.height <= 0 || format.fps <= 0) return fail("invalid video size");
  const AVCodec* codec = findEncoder(format.codec);
  if (!codec) return fail("this FFmpeg build has no encoder for the codec");
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  impl_ = std::make_unique<Impl>();
  Impl& s = *impl_;
  if (avformat_alloc_output_context2(&s.oc, nullptr, nullptr, path.c_str()) < 0 || !s.oc)
    return fail("no container for " + path);
  s.stream = avformat_new_stream(s.oc, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!s.stream || !s.enc) return fail("out of memory");

  const bool jpeg = format.codec == VideoCodec::MJPEG;
  AVPixelFormat pix = format.yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
  // The JPEG encoder takes only full-range pictures.
  if (jpeg) pix = format.yuv444 ? AV_PIX_FMT_YUVJ444P : AV_PIX_FMT_YUVJ420P;
  s.enc->width = format.width;
  s.enc->height = format.height;
  s.enc->time_base = AVRational{1, format.fps};
  s.enc->framerate = AVRational{format.fps, 1};
  s.enc->pix_fmt = pix;
  s.enc->gop_size = format.keyFrameInterval > 0 ? format.keyFrameInterval : format.fps * 2;
  s.enc->max_b_frames = jpeg ? 0 : format.maxBFrames;
  s.enc->thread_count = format.threads;
  s.enc->color_range = jpeg ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  s.enc->colorspace = AVCOL_SPC_SMPTE170M;
  s.enc->color_primaries = AVCOL_PRI_SMPTE170M;
  s.enc->color_trc = AVCOL_TRC_SMPTE170M;
  if (format.codec == VideoCodec::H264) {
    av_opt_set(s.enc->priv_data, "preset", "veryfast", 0);
    av_opt_set_int(s.enc->priv_data, "crf", format.crf, 0);
  } else {
    // Quantiser-bound rather than rate-bound: small test pictures stay faithful.
    s.enc->bit_rate = int64_t{format.width} * format.height * format.fps * 2;
    s.enc->qmax = 4;
  }
  if (s.oc->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int ret = avcodec_open2(s.enc, codec, nullptr);
  if (ret < 0) return fail("cannot open the encoder: " + avErrorText(ret));
  if ((ret = avcodec_parameters_from_context(s.stream->codecpar, s.enc)) < 0)
    return fail("encoder parameters: " + avErrorText(ret));
  s.stream->time_base = s.enc->time_base;
  s.stream->avg_frame_rate = AVRational{format.fps, 1};
  if (!(s.oc->oformat->flags & AVFMT_NOFILE)) {
    if ((ret = avio_open(&s.oc->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
      return fail("cannot create " + path + ": " + avErrorText(ret));
    s.fileOpen = true;
  }
  if ((ret = avformat_write_header(s.oc, nullptr)) < 0)
    return fail("cannot write the header: " + avErrorText(ret));

  s.frame = av_frame_alloc();
  s.packet = av_packet_alloc();
  if (!s.frame || !s.packet) return fail("out of memory");
  s.frame->format = pix;
  s.frame->width = format.width;
  s.frame->height = format.height;
  s.frame->color_range = s.enc->color_range;
  s.frame->colorspace = s.enc->colorspace;
  if (av_frame_get_buffer(s.frame, 0) < 0) return fail("out of memory");
  return true;
}

bool VideoWriter::write(const uint8_t* pixels, size_t bytesPerRow, VideoPixelOrder order) {
  if (!impl_) return fail(error_.empty() ? "the writer is not open" : error_);
  Impl& s = *impl_;
  const int w = s.enc->width, h = s.enc->height;
  if (!pixels || bytesPerRow < static_cast<size_t>(w) * 4 || bytesPerRow > INT32_MAX)
    return fail("invalid picture rows");
  AVPixelFormat source = order == VideoPixelOrder::RGBA ? AV_PIX_FMT_RGBA : AV_PIX_FMT_BGRA;
  s.sws = sws_getCachedContext(s.sws, w, h, source, w, h, s.enc->pix_fmt, SWS_BICUBIC, nullptr,
                               nullptr, nullptr);
  if (!s.sws) return fail("no colour converter");
  if (av_frame_make_writable(s.frame) < 0) return fail("out of memory");
  const uint8_t* src[4] = {pixels, nullptr, nullptr, nullptr};
  int stride[4] = {static_cast<int>(bytesPerRow), 0, 0, 0};
  sws_scale(s.sws, src, stride, 0, h, s.frame->data, s.frame->linesize);
  s.frame->pts = s.nextPts++;
  int ret = avcodec_send_frame(s.enc, s.frame);
  if (ret < 0) return fail("encoding: " + avErrorText(ret));
  if ((ret = s.drain()) < 0) return fail("writing: " + avErrorText(ret));
  return true;
}

bool VideoWriter::finish() {
  if (!impl_) return fail(error_.empty() ? "the writer is not open" : error_);
  Impl& s = *impl_;
  avcodec_send_frame(s.enc, nullptr);
  int ret = s.drain();
  if (ret < 0) return fail("writing: " + avErrorText(ret));
  if ((ret = av_write_trailer(s.oc)) < 0) return fail("finishing the file: " + avErrorText(ret));
  impl_.reset();
  return true;
}

}  // namespace orsa::platform
