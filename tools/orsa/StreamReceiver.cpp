#include "StreamReceiver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "DemoRecorder.h"
#include "FramePattern.h"
#include "SeiNal.h"
#include "orsa/OrsaSEIRecord.h"
#include "platform/Clock.h"
#include "platform/Console.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace orsa::tool {
namespace {

constexpr const char* kProtocols = "file,udp,rtp";
constexpr const char* kDemuxers = "sdp,h264,mov";
// RTC decoders hand out rows aligned for their vector units.
constexpr size_t kRowAlignment = 64;
// Access units in the decoder at once, at most; ours decode one in, one out.
constexpr size_t kInFlight = 16;

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

}  // namespace

struct StreamReceiver::Impl {
  std::string input;
  Limits limits;
  AVFormatContext* format = nullptr;
  int videoStream = -1;
  AVBSFContext* bsf = nullptr;  // length-prefixed (MP4) units to Annex B
  AVCodecContext* decoder = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  std::vector<uint8_t> bgra;
  size_t stride = 0;

  std::shared_ptr<IOrsaMirelo> engine;
  std::string streamId;

  // The deadline the interrupt callback enforces; moved on by every packet.
  std::atomic<int64_t> startedAt{0}, lastPacketAt{0};
  std::atomic<bool>* stopping = nullptr;

  struct Pending {
    int64_t number = -1;
    sei::Status status = sei::Status::Missing;
    std::vector<uint8_t> payload;  // escaped, as it stood after our UUID
  };
  std::array<Pending, kInFlight> pending;
  int64_t units = 0;
  int64_t lastPts = AV_NOPTS_VALUE;
  bool needKey = true;
  int64_t pacedFrom = 0;

  // Figures (receiver thread; read after it ended).
  uint64_t received = 0, lost = 0, heldBack = 0, mispaired = 0, handedOver = 0;
  uint64_t seiMissing = 0, seiTruncated = 0, seiOtherUuid = 0;
  std::string endLine;
  bool failed = false;

  ~Impl() { close(); }

  void close() {
    avformat_close_input(&format);
    av_bsf_free(&bsf);
    avcodec_free_context(&decoder);
    av_packet_free(&packet);
    av_frame_free(&frame);
    sws_freeContext(sws);
    sws = nullptr;
  }

  static int interrupt(void* opaque) {
    auto* self = static_cast<Impl*>(opaque);
    if (self->stopping && self->stopping->load()) return 1;
    const int64_t now = orsa::platform::currentMillis();
    if (self->limits.totalMs > 0 && now - self->startedAt.load() > self->limits.totalMs) return 1;
    const int64_t last = self->lastPacketAt.load();
    if (last == 0) return now - self->startedAt.load() > self->limits.firstPacketMs;
    return now - last > self->limits.idleMs;
  }

  bool open(std::string& error) {
    // A plain path is a file, whatever characters it holds; anything else names its protocol
    // and meets the whitelist.
    const std::string url = input.find("://") == std::string::npos ? "file:" + input : input;
    // Damaged units are counted here; the decoder's own complaints about them are noise.
    if (av_log_get_level() == AV_LOG_INFO)
      av_log_set_level(orsa::platform::consoleEnabled() ? AV_LOG_WARNING : AV_LOG_FATAL);
    format = avformat_alloc_context();
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!format || !packet || !frame) {
      error = "out of memory";
      return false;
    }
    format->interrupt_callback = AVIOInterruptCB{&Impl::interrupt, this};
    startedAt = orsa::platform::currentMillis();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
    av_dict_set(&options, "format_whitelist", kDemuxers, 0);
    // Late packets are waited for briefly: a live picture is worth more than a complete one.
    av_dict_set(&options, "max_delay", "20000", 0);
    av_dict_set(&options, "buffer_size", "4194304", 0);
    const int rc = avformat_open_input(&format, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0) {
      error = "cannot open " + input + ": " + averror(rc) +
              " (it takes an .sdp file or an .mp4 or .h264 recording, over file, UDP or RTP)";
      return false;
    }
    const bool sdp = std::strcmp(format->iformat->name, "sdp") == 0;
    // An SDP says what the stream is; probing it would wait for packets.
    if (!sdp) {
      if (int r = avformat_find_stream_info(format, nullptr); r < 0) {
        error = "cannot read " + input + ": " + averror(r);
        return false;
      }
    }
    videoStream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoStream < 0 || format->streams[videoStream]->codecpar->codec_id != AV_CODEC_ID_H264) {
      error = input + " holds no H.264 video";
      return false;
    }
    const AVCodecParameters* par = format->streams[videoStream]->codecpar;
    if (par->extradata_size > 0 && par->extradata[0] == 1) {
      const AVBitStreamFilter* filter = av_bsf_get_by_name("h264_mp4toannexb");
      if (!filter || av_bsf_alloc(filter, &bsf) < 0 ||
          avcodec_parameters_copy(bsf->par_in, par) < 0 ||
          (bsf->time_base_in = format->streams[videoStream]->time_base, av_bsf_init(bsf)) < 0) {
        error = "cannot read the H.264 units of " + input;
        return false;
      }
      par = bsf->par_out;
    }
    const AVCodec* h264 = avcodec_find_decoder(AV_CODEC_ID_H264);
    decoder = h264 ? avcodec_alloc_context3(h264) : nullptr;
    if (!decoder || avcodec_parameters_to_context(decoder, par) < 0) {
      error = "no H.264 decoder";
      return false;
    }
    // One thread: frame threads would hold pictures back, and slice threads turn off the error
    // concealment whose flags say a picture is damaged.
    decoder->thread_count = 1;
    decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
    decoder->err_recognition |= AV_EF_EXPLODE;
    if (int r = avcodec_open2(decoder, h264, nullptr); r < 0) {
      error = "cannot open the H.264 decoder: " + averror(r);
      return false;
    }
    return true;
  }
};

std::unique_ptr<StreamReceiver> StreamReceiver::open(const std::string& input, const Limits& limits,
                                                     std::string& error) {
  std::unique_ptr<StreamReceiver> r(new StreamReceiver());
  r->impl_ = std::make_unique<Impl>();
  r->impl_->input = input;
  r->impl_->limits = limits;
  r->impl_->stopping = &r->stopping_;
  if (!r->impl_->open(error)) return nullptr;
  r->live_ = std::strcmp(r->impl_->format->iformat->name, "sdp") == 0;
  return r;
}

StreamReceiver::~StreamReceiver() {
  stop();
}

bool StreamReceiver::start(std::shared_ptr<IOrsaMirelo> engine, std::string streamId,
                           std::string& error) {
  if (thread_.joinable()) return true;
  if (live_) {
    // Opened anew: what queued up in the socket while the engine got ready is old news.
    impl_->close();
    if (!impl_->open(error)) return false;
  }
  impl_->engine = std::move(engine);
  impl_->streamId = std::move(streamId);
  impl_->startedAt = orsa::platform::currentMillis();
  thread_ = std::thread([this] { run(); });
  return true;
}

void StreamReceiver::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string StreamReceiver::endLine() const {
  return finished_ ? impl_->endLine : std::string();
}

bool StreamReceiver::failed() const {
  return finished_ && impl_->failed;
}

void StreamReceiver::onPresented(const OrsaPicture& p) {
  if (!live_ || p.sequence == 0) return;
  std::lock_guard<std::mutex> lock(lock_);
  if (p.sequence <= sendTimes_.size())
    glassToGlass_.push_back(p.presentationTime - sendTimes_[p.sequence - 1]);
}

void StreamReceiver::addStats(nlohmann::json& stats) const {
  const Impl& d = *impl_;
  stats["input"] = d.input;
  stats["framesReceived"] = d.received;
  stats["framesLost"] = d.lost;
  stats["framesHeldBack"] = d.heldBack;
  stats["framesMispaired"] = d.mispaired;
  stats["framesHandedOver"] = d.handedOver;
  stats["seiSkipped"] = {
      {"missing", d.seiMissing}, {"truncated", d.seiTruncated}, {"otherUuid", d.seiOtherUuid}};
  std::vector<int64_t> sorted;
  {
    std::lock_guard<std::mutex> lock(lock_);
    sorted = glassToGlass_;
  }
  std::sort(sorted.begin(), sorted.end());
  stats["glassToGlassMs"] = sorted.empty()
                                ? nlohmann::json(nullptr)
                                : nlohmann::json{{"p50", DemoRecorder::percentile(sorted, 0.50)},
                                                 {"p95", DemoRecorder::percentile(sorted, 0.95)},
                                                 {"p99", DemoRecorder::percentile(sorted, 0.99)}};
}

void StreamReceiver::run() {
  Impl& d = *impl_;
  const AVStream* stream = d.format->streams[d.videoStream];
  const auto handOver = [&](const Impl::Pending& p, const AVFrame* f) {
    auto record = OrsaSEIRecord::parse(p.payload);
    if (!record) {
      ++d.seiTruncated;
      return;
    }
    fps_ = record->fps;
    if (!d.sws || f->width * 4 > static_cast<int>(d.stride) ||
        d.bgra.size() != d.stride * static_cast<size_t>(f->height)) {
      sws_freeContext(d.sws);
      d.sws = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                             f->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
      const size_t row = static_cast<size_t>(f->width) * 4;
      d.stride = (row + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
      d.bgra.assign(d.stride * static_cast<size_t>(f->height), 0);
    }
    if (!d.sws) {
      ++d.lost;
      return;
    }
    uint8_t* dst[1] = {d.bgra.data()};
    const int dstStride[1] = {static_cast<int>(d.stride)};
    sws_scale(d.sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    const auto index = FramePattern::read(d.bgra.data(), d.stride, f->width, f->height);
    if (!index || *index != (static_cast<uint32_t>(record->frameIndex) & 0xFFFF)) {
      ++d.mispaired;
      return;
    }
    const std::vector<uint8_t> words = OrsaSEIRecord::unescape(p.payload);
    int64_t sentAt = 0;
    if (words.size() >= OrsaSEIRecord::kSize + 8) {
      uint64_t t = 0;
      for (int i = 7; i >= 0; --i) t = (t << 8) | words[OrsaSEIRecord::kSize + i];
      sentAt = static_cast<int64_t>(t);
    }
    d.engine->onPlayerSyncRecvSEI(d.streamId, p.payload);
    QMXVideoFrameParam param;
    param.setWidth(f->width);
    param.setHeight(f->height);
    param.setFormat(AV_PIX_FMT_BGRA);
    param.setStride(static_cast<int32_t>(d.stride), 0);
    const uint8_t* planes[1] = {d.bgra.data()};
    const uint32_t lengths[1] = {static_cast<uint32_t>(d.bgra.size())};
    {
      std::lock_guard<std::mutex> lock(lock_);
      sendTimes_.push_back(sentAt);
    }
    d.engine->onRemoteVideoFrameRawData(planes, lengths, param, d.streamId);
    ++d.handedOver;
  };

  // Every picture the decoder gives; false when it gave none for the unit just sent.
  const auto receive = [&]() {
    bool any = false;
    while (avcodec_receive_frame(d.decoder, d.frame) >= 0) {
      any = true;
      const Impl::Pending& p = d.pending[static_cast<size_t>(d.frame->pts) % kInFlight];
      const bool damaged = d.frame->decode_error_flags != 0 ||
                           (d.frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
                           p.number != d.frame->pts;
      if (damaged) {
        // Everything until the next clean key frame may rest on what was damaged.
        ++d.lost;
        d.needKey = true;
      } else if (d.needKey && !d.frame->key_frame) {
        ++d.heldBack;
      } else {
        d.needKey = false;
        switch (p.status) {
          case sei::Status::Found:
            handOver(p, d.frame);
            break;
          case sei::Status::Missing:
            ++d.seiMissing;
            break;
          case sei::Status::OtherUuid:
            ++d.seiOtherUuid;
            break;
          case sei::Status::Truncated:
            ++d.seiTruncated;
            break;
        }
      }
      av_frame_unref(d.frame);
    }
    return any;
  };

  const auto unit = [&](AVPacket* pkt) {
    const std::span<const uint8_t> bytes(pkt->data, static_cast<size_t>(pkt->size));
    if (!sei::hasSlice(bytes)) return;
    ++d.received;
    const int32_t fps = fps_.load();
    // A whole unit missing shows as a gap in the timestamps; the decoder would go on from
    // the last picture it has and never say so.
    if (pkt->pts != AV_NOPTS_VALUE && d.lastPts != AV_NOPTS_VALUE && fps > 0) {
      const double gap = static_cast<double>(pkt->pts - d.lastPts) * av_q2d(stream->time_base);
      if (gap > 1.5 / fps) d.needKey = true;
    }
    if (pkt->pts != AV_NOPTS_VALUE) d.lastPts = pkt->pts;
    if (!live_) {
      // A recording plays at its records' rate, so the view draws every picture.
      const int64_t due = d.pacedFrom + d.units * 1000 / std::max(1, fps > 0 ? fps : 25);
      while (!stopping_ && orsa::platform::currentMillis() < due)
        std::this_thread::sleep_for(std::chrono::milliseconds(
            std::min<int64_t>(20, due - orsa::platform::currentMillis())));
    }
    Impl::Pending& p = d.pending[static_cast<size_t>(d.units) % kInFlight];
    const auto found = sei::find(bytes);
    p.number = d.units;
    p.status = found.status;
    p.payload.assign(found.payload.begin(), found.payload.end());
    // Our own numbers travel through the decoder and say which unit a picture came from.
    pkt->pts = pkt->dts = d.units++;
    const int rc = avcodec_send_packet(d.decoder, pkt);
    const bool gotPicture = receive();
    if (rc < 0 || !gotPicture) {
      if (!gotPicture) ++d.lost;
      d.needKey = true;
    }
  };

  d.pacedFrom = orsa::platform::currentMillis();
  AVPacket* filtered = av_packet_alloc();
  int rc = 0;
  for (;;) {
    rc = av_read_frame(d.format, d.packet);
    if (rc < 0) break;
    if (d.packet->stream_index != d.videoStream) {
      av_packet_unref(d.packet);
      continue;
    }
    d.lastPacketAt = orsa::platform::currentMillis();
    if (!d.bsf) {
      unit(d.packet);
      av_packet_unref(d.packet);
    } else if (av_bsf_send_packet(d.bsf, d.packet) >= 0) {
      while (filtered && av_bsf_receive_packet(d.bsf, filtered) >= 0) {
        unit(filtered);
        av_packet_unref(filtered);
      }
    } else {
      av_packet_unref(d.packet);
      ++d.received;
      ++d.lost;
      d.needKey = true;
    }
    d.lastPacketAt = orsa::platform::currentMillis();
    if (d.limits.totalMs > 0 && d.lastPacketAt - d.startedAt > d.limits.totalMs) {
      rc = AVERROR_EXIT;
      break;
    }
  }
  av_packet_free(&filtered);
  // Pictures still in the decoder at the end of a recording.
  if (!stopping_ && avcodec_send_packet(d.decoder, nullptr) >= 0) receive();

  const int64_t now = orsa::platform::currentMillis();
  const std::string units = std::to_string(d.received) + " access units";
  // The network demuxers report an interrupted wait in their own words.
  const bool quiet = rc == AVERROR_EXIT || rc == AVERROR(ETIMEDOUT);
  const bool atLimit = d.limits.totalMs > 0 && now - d.startedAt > d.limits.totalMs;
  if (d.received == 0) {
    d.failed = true;
    d.endLine = "no H.264 access unit arrived from " + d.input + " within " +
                std::to_string((now - d.startedAt) / 1000) + " s" +
                (rc == AVERROR_EOF || quiet ? "" : " (" + averror(rc) + ")");
  } else if (rc == AVERROR_EOF) {
    d.endLine = "the recording ended after " + units;
  } else if (quiet && stopping_) {
    d.endLine = "stopped after " + units;
  } else if (quiet && atLimit) {
    d.endLine = "receiving ended at the time limit after " + units;
  } else if (quiet) {
    d.endLine = "the stream stopped: no packet for " + std::to_string(d.limits.idleMs) +
                " ms after " + units;
  } else {
    d.failed = true;
    d.endLine = "cannot read " + d.input + " after " + units + ": " + averror(rc);
  }
  finished_ = true;
}

}  // namespace orsa::tool
