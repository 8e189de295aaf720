#include "utils/ResourceManager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "logging/QMXLogUtil.h"
#include "render/BufferPool.h"
#include "utils/ResourceFiles.h"

// Reading a prepared frame store: the interpolation table and the frame decoders. Readers run
// on the render side, often on several threads at once.

using orsa::resource::errnoText;
using orsa::resource::fileExists;
using orsa::resource::readWholeFile;

namespace {

constexpr const char* M = ResourceManager::kModule;

// One "%d" of sscanf: optional white space, an optional sign, at least one digit. Values
// that do not fit 32 bits make the entry unreadable rather than wrapping silently.
bool scanInt(std::string_view s, size_t& pos, int32_t& out) {
  while (pos < s.size() && (s[pos] == ' ' || (s[pos] >= '\t' && s[pos] <= '\r'))) ++pos;
  bool negative = false;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    negative = s[pos] == '-';
    ++pos;
  }
  size_t start = pos;
  int64_t v = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    v = v * 10 + (s[pos] - '0');
    if (v > int64_t{INT32_MAX} + 1) return false;
    ++pos;
  }
  if (pos == start) return false;
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  out = static_cast<int32_t>(v);
  return true;
}

// "%d-%d-%d" after the 14 leading bytes that carry no meaning.
bool parseTriple(std::string_view entry, int32_t& start, int32_t& end, int32_t& index) {
  if (entry.size() < 14) return false;
  std::string_view s = entry.substr(14);
  size_t pos = 0;
  if (!scanInt(s, pos, start)) return false;
  if (pos >= s.size() || s[pos] != '-') return false;
  ++pos;
  if (!scanInt(s, pos, end)) return false;
  if (pos >= s.size() || s[pos] != '-') return false;
  ++pos;
  return scanInt(s, pos, index);
}

// Frame files are named by at least six digits.
std::string framePath(const std::string& dir, int32_t number) {
  return dir + fmt::sprintf("/%06d.jpg", number);
}

// A read-only mapping of a whole file. Mapping an empty file is not possible, so it is read
// as zero bytes instead.
class MappedFile {
 public:
  ~MappedFile() {
    if (data_) ::munmap(data_, size_);
  }
  bool open(const std::string& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = errnoText(errno);
      return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      *error = errnoText(errno);
      ::close(fd);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *error = errnoText(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
      ::close(fd);
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
      void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        *error = errnoText(errno);
        ::close(fd);
        return false;
      }
      data_ = p;
    }
    ::close(fd);
    return true;
  }
  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(data_), data_ ? size_ : 0};
  }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

std::atomic<uint64_t> gDecompressorsCreated{0};

// Read buffers above this size are let go after use, so one odd file does not pin its size
// on a thread for good.
constexpr size_t kKeptReadBuffer = size_t{8} << 20;

// What a reading thread keeps from frame to frame: its TurboJPEG decompressor and the buffer
// frame files are read into. Readers run on several threads at once, each with its own.
struct ThreadDecoder {
  tjhandle handle = nullptr;
  std::vector<uint8_t> file;
  ~ThreadDecoder() {
    if (handle) tjDestroy(handle);
  }
  // Null when TurboJPEG cannot make one; the next frame asks again.
  tjhandle decompressor() {
    if (!handle) {
      handle = tjInitDecompress();
      if (handle) gDecompressorsCreated.fetch_add(1, std::memory_order_relaxed);
    }
    return handle;
  }
  void trim() {
    if (file.capacity() > kKeptReadBuffer) std::vector<uint8_t>().swap(file);
  }
};

ThreadDecoder& threadDecoder() {
  thread_local ThreadDecoder decoder;
  return decoder;
}

// Reads a whole file into `buffer`, reusing its capacity; `size` gets the length. One byte of
// room beyond the length the file had when opened tells a file that grew meanwhile.
bool readFileInto(const std::string& path, std::vector<uint8_t>& buffer, size_t& size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size >= 0 &&
      buffer.size() < static_cast<size_t>(st.st_size) + 1)
    buffer.resize(static_cast<size_t>(st.st_size) + 1);
  if (buffer.empty()) buffer.resize(4096);
  size = 0;
  for (;;) {
    if (size == buffer.size()) buffer.resize(buffer.size() * 2);
    ssize_t n = ::read(fd, buffer.data() + size, buffer.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  return true;
}

// Shared by both JPEG readers: refuses sizes that overflow or exceed the limit before taking
// a buffer, so a hostile header never decides how much we allocate.
std::shared_ptr<Image> decodeWith(tjhandle handle, const uint8_t* bytes, size_t length, int flags,
                                  bool log) {
  if (length > ULONG_MAX) return nullptr;
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(handle, bytes, static_cast<unsigned long>(length), &width, &height,
                          &subsamp, &colorspace) != 0) {
    if (log)
      ORSA_LOG_ERROR(M, "Failed to read JPEG header: %s", std::string(tjGetErrorStr2(handle)));
    return nullptr;
  }
  int64_t size = 0;
  if (width <= 0 || height <= 0 || __builtin_mul_overflow(int64_t{width}, int64_t{height}, &size) ||
      __builtin_mul_overflow(size, int64_t{4}, &size) || size > ResourceManager::kMaxImageBytes ||
      size > INT32_MAX) {
    if (log) ORSA_LOG_ERROR(M, "Refusing JPEG of %dx%d pixels", width, height);
    return nullptr;
  }
  OrsaBuffer buffer = BufferPool::sharedInstance().poll(static_cast<uint64_t>(size));
  if (tjDecompress2(handle, bytes, static_cast<unsigned long>(length), buffer->data(), width, 0,
                    height, TJPF_RGBA, flags) != 0) {
    if (log)
      ORSA_LOG_ERROR(M, "JPEG decompression failed: %s", std::string(tjGetErrorStr2(handle)));
    return nullptr;
  }
  return std::make_shared<Image>(std::move(buffer), width, height);
}

}  // namespace

std::optional<std::string> ResourceManager::getBorderPath() const {
  std::string dir = resourceDir();
  if (dir.empty()) return std::nullopt;
  return dir + "/border.png";
}

uint64_t ResourceManager::interpolationKey(int32_t start, int32_t end, int32_t index) {
  uint64_t s = static_cast<uint32_t>(start);
  uint64_t e = static_cast<uint64_t>(static_cast<int64_t>(end));
  uint64_t i = static_cast<uint64_t>(static_cast<int64_t>(index));
  return (s << 48) | (e << 24) | i;
}

std::optional<ResourceManager::InterpolationMap> ResourceManager::parseInterpolationInfo(
    std::string_view json) {
  nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
  if (doc.is_discarded() || !doc.is_array()) return std::nullopt;
  InterpolationMap map;
  map.max_load_factor(1.0f);
  map.reserve(doc.size());
  int32_t position = 0;
  for (const auto& entry : doc) {
    int32_t start, end, index;
    if (entry.is_string() && parseTriple(entry.get_ref<const std::string&>(), start, end, index))
      map.insert_or_assign(interpolationKey(start, end, index), position);
    if (position == INT32_MAX) break;
    ++position;
  }
  return map;
}

// ---- frame store --------------------------------------------------------------------------

void ResourceManager::readInterpolationInfo() {
  std::string dir = resourceDir();
  if (dir.empty()) return;
  const std::string path = dir + "/interpolations.json";
  if (!fileExists(path)) return;
  std::string bytes;
  std::optional<InterpolationMap> table;
  if (readWholeFile(path, bytes, nullptr)) table = parseInterpolationInfo(bytes);
  if (!table) {
    ORSA_LOG_ERROR(M, "Failed to resolve %s", path);
    return;
  }
  auto next = std::make_unique<InterpolationMap>(std::move(*table));
  std::unique_lock lock(mapMutex_);
  interpolationMap_.swap(next);
}

std::shared_ptr<Image> ResourceManager::readFrameIn(const std::string& dir,
                                                    int32_t frameNumber) const {
  if (dir.empty()) return nullptr;
  return readJPEGFrameAtPath(framePath(dir, frameNumber));
}

std::shared_ptr<Image> ResourceManager::readOriginFrame(int32_t frameNumber) const {
  return readFrameIn(originFramesDir(), frameNumber);
}

std::shared_ptr<Image> ResourceManager::readInterpolationWithStart(int32_t start, int32_t end,
                                                                   int32_t index) const {
  int32_t frame;
  {
    std::shared_lock lock(mapMutex_);
    if (!interpolationMap_) return nullptr;
    auto it = interpolationMap_->find(interpolationKey(start, end, index));
    if (it == interpolationMap_->end()) return nullptr;
    frame = it->second;
  }
  return readFrameIn(interpolationDir(), frame);
}

std::shared_ptr<Image> ResourceManager::readJPEGFrameAtPath(const std::string& path) const {
  if (!fileExists(path)) return nullptr;
  ThreadDecoder& decoder = threadDecoder();
  size_t length = 0;
  if (!readFileInto(path, decoder.file, length)) {
    ORSA_LOG_ERROR(M, "Failed to read JPEG file: %s", path);
    decoder.trim();
    return nullptr;
  }
  tjhandle handle = decoder.decompressor();
  if (!handle) {
    ORSA_LOG_ERROR(M, "TurboJPEG decompress init failed: %s", std::string(tjGetErrorStr2(nullptr)));
    return nullptr;
  }
  auto image = decodeWith(handle, decoder.file.data(), length, TJFLAG_ACCURATEDCT, true);
  decoder.trim();
  return image;
}

std::shared_ptr<Image> ResourceManager::decodeJpeg(std::span<const uint8_t> bytes) {
  tjhandle handle = threadDecoder().decompressor();
  if (!handle) return nullptr;
  return decodeWith(handle, bytes.data(), bytes.size(), TJFLAG_FASTDCT, false);
}

uint64_t ResourceManager::decompressorsCreated() {
  return gDecompressorsCreated.load(std::memory_order_relaxed);
}

std::shared_ptr<Image> ResourceManager::readRGBAFrameAtPath(const std::string& path) const {
  if (!fileExists(path)) return nullptr;
  MappedFile file;
  std::string error;
  if (!file.open(path, &error)) {
    ORSA_LOG_ERROR(M, "Failed to memory map RGBA file: %s, error: %s", path, error);
    return nullptr;
  }
  return decodeRawRGBA(file.bytes());
}

std::shared_ptr<Image> ResourceManager::decodeRawRGBA(std::span<const uint8_t> file) {
  if (file.size() <= 7) return nullptr;
  auto le32 = [&](size_t at) {
    return uint32_t{file[at]} | (uint32_t{file[at + 1]} << 8) | (uint32_t{file[at + 2]} << 16) |
           (uint32_t{file[at + 3]} << 24);
  };
  const uint32_t width = le32(0);
  const uint32_t height = le32(4);
  uint64_t pixelBytes = 0;
  if (__builtin_mul_overflow(uint64_t{width}, uint64_t{height}, &pixelBytes) ||
      __builtin_mul_overflow(pixelBytes, uint64_t{4}, &pixelBytes) ||
      pixelBytes > static_cast<uint64_t>(INT32_MAX)) {
    ORSA_LOG_ERROR(M, "Invalid RGBA file format: %ux%u pixels do not fit in memory", width, height);
    return nullptr;
  }
  const size_t expected = static_cast<size_t>(pixelBytes) + 8;
  if (file.size() != expected) {
    ORSA_LOG_ERROR(M, "Invalid RGBA file format: expected %zu bytes, got %zu bytes", expected,
                   file.size());
    return nullptr;
  }
  // An empty picture cannot be drawn; refusing it here spares every caller the check.
  if (width == 0 || height == 0 || static_cast<int64_t>(pixelBytes) > kMaxImageBytes) {
    ORSA_LOG_ERROR(M, "Refusing RGBA frame of %ux%u pixels", width, height);
    return nullptr;
  }
  OrsaBuffer buffer = BufferPool::sharedInstance().poll(pixelBytes);
  std::memcpy(buffer->data(), file.data() + 8, static_cast<size_t>(pixelBytes));
  return std::make_shared<Image>(std::move(buffer), static_cast<int32_t>(width),
                                 static_cast<int32_t>(height));
}
