// Fuzzes the readers of the frame store on hostile bytes: JPEG decoding, the interpolation
// table and the raw RGBA frame format. The first byte picks the reader.
#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "render/BufferPool.h"
#include "utils/ResourceManager.h"

#include "FuzzQuiet.h"

namespace {

void checkImage(const std::shared_ptr<Image>& img) {
  if (!img) return;
  // A returned picture always holds exactly its declared pixels.
  if (img->width() <= 0 || img->height() <= 0 || !img->data() ||
      img->data()->size() != static_cast<size_t>(img->width()) * img->height() * 4)
    std::abort();
  volatile uint8_t sink = img->bytes()[img->data()->size() - 1];
  (void)sink;
  BufferPool::sharedInstance().giveBack(img->data());
}

// Big pictures are legal but decoding them on every run would make the fuzzer crawl; only
// those the decoder refuses anyway (over the size limit) still go through.
bool worthDecoding(std::span<const uint8_t> bytes) {
  tjhandle h = tjInitDecompress();
  if (!h) return false;
  int w = 0, hgt = 0, ss = 0, cs = 0;
  int rc = tjDecompressHeader3(h, bytes.data(), bytes.size(), &w, &hgt, &ss, &cs);
  tjDestroy(h);
  if (rc != 0) return true;
  const int64_t pixels = int64_t{w} * hgt;
  return pixels <= 2048 * 2048 || pixels * 4 > ResourceManager::kMaxImageBytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 3;
  std::span<const uint8_t> rest(data + 1, size - 1);
  switch (mode) {
    case 0:
      if (worthDecoding(rest)) checkImage(ResourceManager::decodeJpeg(rest));
      break;
    case 1: {
      std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
      auto table = ResourceManager::parseInterpolationInfo(text);
      if (table) {
        for (const auto& [key, position] : *table)
          if (position < 0) std::abort();
      }
      break;
    }
    case 2:
      checkImage(ResourceManager::decodeRawRGBA(rest));
      break;
  }
  return 0;
}
