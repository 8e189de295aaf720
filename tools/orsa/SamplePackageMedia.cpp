#include "SamplePackageMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}
#include <minizip/zip.h>
#include <png.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace orsa::tool {

namespace {

std::string avErr(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

struct EncoderState {
  AVFormatContext* oc = nullptr;
  AVCodecContext* enc = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  bool fileOpen = false;
  ~EncoderState() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (oc) {
      if (fileOpen) avio_closep(&oc->pb);
      avformat_free_context(oc);
    }
  }
};

int drainPackets(EncoderState& s, AVStream* st) {
  while (true) {
    int ret = avcodec_receive_packet(s.enc, s.pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return ret;
    // The MP4 muxer needs each sample's duration, or the last frame falls outside the edit list.
    if (s.pkt->duration <= 0) s.pkt->duration = 1;
    av_packet_rescale_ts(s.pkt, s.enc->time_base, st->time_base);
    s.pkt->stream_index = st->index;
    ret = av_interleaved_write_frame(s.oc, s.pkt);
    if (ret < 0) return ret;
  }
}

}  // namespace

bool writeSampleH264(const std::string& path, int width, int height, int fps, int frames,
                     const std::function<void(int, uint8_t*)>& paint,
                     const std::function<void(int)>& progress, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) return fail("this FFmpeg build has no H.264 encoder");
  EncoderState s;
  if (avformat_alloc_output_context2(&s.oc, nullptr, "mp4", path.c_str()) < 0 || !s.oc)
    return fail("no MP4 muxer");
  AVStream* st = avformat_new_stream(s.oc, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!st || !s.enc) return fail("out of memory");
  s.enc->width = width;
  s.enc->height = height;
  s.enc->time_base = AVRational{1, fps};
  s.enc->framerate = AVRational{fps, 1};
  s.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  s.enc->gop_size = fps * 2;
  s.enc->max_b_frames = 2;
  s.enc->color_range = AVCOL_RANGE_MPEG;
  s.enc->colorspace = AVCOL_SPC_SMPTE170M;
  s.enc->color_primaries = AVCOL_PRI_SMPTE170M;
  s.enc->color_trc = AVCOL_TRC_SMPTE170M;
  s.enc->thread_count = 0;
  av_opt_set(s.enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(s.enc->priv_data, "crf", "20", 0);
  if (s.oc->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int ret = avcodec_open2(s.enc, codec, nullptr);
  if (ret < 0) return fail("cannot open the H.264 encoder: " + avErr(ret));
  if ((ret = avcodec_parameters_from_context(st->codecpar, s.enc)) < 0)
    return fail("encoder parameters: " + avErr(ret));
  st->time_base = s.enc->time_base;
  st->avg_frame_rate = AVRational{fps, 1};
  if ((ret = avio_open(&s.oc->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
    return fail("cannot create " + path + ": " + avErr(ret));
  s.fileOpen = true;
  if ((ret = avformat_write_header(s.oc, nullptr)) < 0)
    return fail("cannot write the MP4 header: " + avErr(ret));

  s.frame = av_frame_alloc();
  s.pkt = av_packet_alloc();
  if (!s.frame || !s.pkt) return fail("out of memory");
  s.frame->format = AV_PIX_FMT_YUV420P;
  s.frame->width = width;
  s.frame->height = height;
  s.frame->color_range = AVCOL_RANGE_MPEG;
  s.frame->colorspace = AVCOL_SPC_SMPTE170M;
  if (av_frame_get_buffer(s.frame, 0) < 0) return fail("out of memory");
  s.sws = sws_getContext(width, height, AV_PIX_FMT_RGBA, width, height, AV_PIX_FMT_YUV420P,
                         SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!s.sws) return fail("no colour converter");
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (int i = 0; i < frames; ++i) {
    paint(i, rgba.data());
    if (av_frame_make_writable(s.frame) < 0) return fail("frame not writable");
    const uint8_t* src[1] = {rgba.data()};
    int stride[1] = {width * 4};
    sws_scale(s.sws, src, stride, 0, height, s.frame->data, s.frame->linesize);
    s.frame->pts = i;
    if ((ret = avcodec_send_frame(s.enc, s.frame)) < 0) return fail("encoding: " + avErr(ret));
    if ((ret = drainPackets(s, st)) < 0) return fail("writing: " + avErr(ret));
    if (progress) progress(i + 1);
  }
  avcodec_send_frame(s.enc, nullptr);
  if ((ret = drainPackets(s, st)) < 0) return fail("writing: " + avErr(ret));
  if ((ret = av_write_trailer(s.oc)) < 0) return fail("finishing the MP4: " + avErr(ret));
  return true;
}

bool writeSampleMaskPng(const std::string& path, int width, int height,
                        const std::vector<uint8_t>& mask, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (mask.size() != static_cast<size_t>(width) * height) return fail("mask size mismatch");
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) return fail("cannot create " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
  bool ok = png && info;
  if (ok && setjmp(png_jmpbuf(png))) ok = false;
  if (ok) {
    png_init_io(png, fp);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        uint8_t m = mask[static_cast<size_t>(y) * width + x];
        row[x * 4 + 0] = row[x * 4 + 1] = row[x * 4 + 2] = row[x * 4 + 3] = m;
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
  }
  png_destroy_write_struct(&png, &info);
  if (std::fclose(fp) != 0) ok = false;
  return ok ? true : fail("cannot write " + path);
}

bool writeSampleZip(const std::string& path, const std::vector<SampleZipEntry>& entries,
                    std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const std::string tmp = path + ".partial";
  zipFile zf = zipOpen64(tmp.c_str(), APPEND_STATUS_CREATE);
  if (!zf) return fail("cannot create " + path);
  bool ok = true;
  std::string why;
  std::vector<char> buf(1 << 20);
  std::time_t now = std::time(nullptr);
  std::tm tmNow{};
  localtime_r(&now, &tmNow);
  for (const auto& e : entries) {
    std::ifstream in(e.sourcePath, std::ios::binary);
    if (!in) {
      ok = false;
      why = "cannot read " + e.sourcePath;
      break;
    }
    std::error_code ec;
    auto size = std::filesystem::file_size(e.sourcePath, ec);
    zip_fileinfo zi{};
    zi.tmz_date.tm_sec = static_cast<uInt>(tmNow.tm_sec);
    zi.tmz_date.tm_min = static_cast<uInt>(tmNow.tm_min);
    zi.tmz_date.tm_hour = static_cast<uInt>(tmNow.tm_hour);
    zi.tmz_date.tm_mday = static_cast<uInt>(tmNow.tm_mday);
    zi.tmz_date.tm_mon = static_cast<uInt>(tmNow.tm_mon);
    zi.tmz_date.tm_year = static_cast<uInt>(tmNow.tm_year + 1900);
    zi.external_fa = 0644u << 16;
    int method = e.store ? 0 : Z_DEFLATED;
    int level = e.store ? 0 : Z_DEFAULT_COMPRESSION;
    int zip64 = (!ec && size >= 0xFFFFFFFFull) ? 1 : 0;
    if (zipOpenNewFileInZip64(zf, e.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                              level, zip64) != ZIP_OK) {
      ok = false;
      why = "cannot add " + e.name;
      break;
    }
    while (in) {
      in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
      std::streamsize n = in.gcount();
      if (n > 0 && zipWriteInFileInZip(zf, buf.data(), static_cast<unsigned>(n)) != ZIP_OK) {
        ok = false;
        why = "cannot write " + e.name;
        break;
      }
    }
    if (zipCloseFileInZip(zf) != ZIP_OK && ok) {
      ok = false;
      why = "cannot finish " + e.name;
    }
    if (!ok) break;
  }
  if (zipClose(zf, nullptr) != ZIP_OK && ok) {
    ok = false;
    why = "cannot finish " + path;
  }
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
      ok = false;
      why = "cannot move the archive into place: " + ec.message();
    }
  }
  if (!ok) {
    std::filesystem::remove(tmp, ec);
    return fail(why);
  }
  return true;
}

}  // namespace orsa::tool
