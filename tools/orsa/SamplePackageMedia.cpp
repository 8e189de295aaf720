#include "SamplePackageMedia.h"

#include <minizip/zip.h>
#include <png.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/VideoWriter.h"

namespace orsa::tool {

bool writeSampleH264(const std::string& path, int width, int height, int fps, int frames,
                     const std::function<void(int, uint8_t*)>& paint,
                     const std::function<void(int)>& progress, std::string* error) {
  platform::VideoWriterSpec spec;
  spec.width = width;
  spec.height = height;
  spec.fps = fps;
  platform::VideoWriter writer;
  bool ok = writer.open(path, spec);
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (int i = 0; ok && i < frames; ++i) {
    paint(i, rgba.data());
    ok = writer.write(rgba.data(), static_cast<size_t>(width) * 4, platform::VideoPixelOrder::RGBA);
    if (ok && progress) progress(i + 1);
  }
  if (ok) ok = writer.finish();
  if (!ok && error) *error = writer.error();
  return ok;
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
