#include "utils/ResourceManager.h"

#include "platform/Digest.h"
#include "platform/FileIO.h"
#include "platform/OrsaBase64.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "utils/DataCodec.h"
#include "utils/zip/VZZipArchive.h"

namespace fs = std::filesystem;
using orsa::platform::AppContainer;

namespace {

constexpr const char* M = ResourceManager::kModule;

std::string errnoText(int err) {
  return std::strerror(err);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Reads a whole file; false with errno's text when it cannot.
bool readWholeFile(const std::string& path, std::string& out, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errnoText(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = errnoText(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

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

struct TjHandle {
  tjhandle h = nullptr;
  ~TjHandle() {
    if (h) tjDestroy(h);
  }
};

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

// ---- construction -------------------------------------------------------------------------

std::shared_ptr<ResourceManager> ResourceManager::create() {
  return std::make_shared<ResourceManager>();
}

ResourceManager::ResourceManager()
    : processingQueue_(orsa::platform::makeSerialQueue("com.orsamirelo.resource.processing")) {}

ResourceManager::~ResourceManager() {
  cancel();
}

void ResourceManager::cancel() {
  isCancelled_.store(true);
  ORSA_LOG_INFO(M, "ResourceManager operations cancelled");
}

void ResourceManager::reset() {
  isCancelled_.store(false);
  ORSA_LOG_INFO(M, "ResourceManager state reset");
}

// ---- fields -------------------------------------------------------------------------------

#define ORSA_RM_PATH_ACCESSORS(getter, setter, field)  \
  std::string ResourceManager::getter() const {        \
    std::lock_guard lock(pathsMutex_);                 \
    return field;                                      \
  }                                                    \
  void ResourceManager::setter(const std::string& v) { \
    std::lock_guard lock(pathsMutex_);                 \
    field = v;                                         \
  }
ORSA_RM_PATH_ACCESSORS(resourceDir, setResourceDir, resourceDir_)
ORSA_RM_PATH_ACCESSORS(originFramesDir, setOriginFramesDir, originFramesDir_)
ORSA_RM_PATH_ACCESSORS(interpolationDir, setInterpolationDir, interpolationDir_)
ORSA_RM_PATH_ACCESSORS(borderImagePath, setBorderImagePath, borderImagePath_)
ORSA_RM_PATH_ACCESSORS(metaInfoPath, setMetaInfoPath, metaInfoPath_)
#undef ORSA_RM_PATH_ACCESSORS

std::optional<ResourceManager::InterpolationMap> ResourceManager::interpolationMap() const {
  std::shared_lock lock(mapMutex_);
  if (!interpolationMap_) return std::nullopt;
  return *interpolationMap_;
}

void ResourceManager::setInterpolationMap(std::optional<InterpolationMap> map) {
  std::unique_ptr<InterpolationMap> next;
  if (map) next = std::make_unique<InterpolationMap>(std::move(*map));
  std::unique_lock lock(mapMutex_);
  interpolationMap_.swap(next);
}

std::optional<std::string> ResourceManager::getBorderPath() const {
  std::string dir = resourceDir();
  if (dir.empty()) return std::nullopt;
  return dir + "/border.png";
}

// ---- helpers ------------------------------------------------------------------------------

std::optional<ResourceManager::Digest> ResourceManager::digestOfFile(const std::string& path,
                                                                     std::string* error) {
  using orsa::platform::Digest;
  auto bytes = Digest::ofFile(Digest::Algorithm::SHA256, path, error);
  if (!bytes || bytes->size() != sizeof(ResourceManager::Digest)) return std::nullopt;
  ResourceManager::Digest digest{};
  std::memcpy(digest.data(), bytes->data(), digest.size());
  return digest;
}

std::string ResourceManager::digestName(const Digest& digest) {
  return OrsaBase64::encode(
             std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size())) +
         kVersionSuffix;
}

std::string ResourceManager::resourceDirectoryFor(const std::string& cachesDirectory,
                                                  const Digest& digest) {
  // The name is appended as one string: a "/" inside the Base64 text nests one more folder.
  return cachesDirectory + "/" + kCacheSubdirectory + "/" + digestName(digest);
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

// ---- preparation --------------------------------------------------------------------------

void ResourceManager::setResource(const std::string& path,
                                  std::weak_ptr<ResourceManagerDelegate> delegate) {
  reset();
  std::weak_ptr<ResourceManager> weakSelf = weak_from_this();
  auto queue = processingQueue_;
  // The task keeps the queue object alive so that a manager released inside its own task
  // does not destroy the queue that is running it.
  queue->async([weakSelf, delegate = std::move(delegate), path, queue]() {
    auto self = weakSelf.lock();
    auto strongDelegate = delegate.lock();
    if (!self || !strongDelegate || self->isCancelled()) {
      ORSA_LOG_WARN(M, "Operation cancelled or delegate is nil");
      return;
    }
    self->prepare(path, strongDelegate);
  });
}

void ResourceManager::reportFailure(const std::shared_ptr<ResourceManagerDelegate>& delegate,
                                    const std::string& reason) {
  {
    // Set before the delegate hears of the failure, so it can ask why.
    std::lock_guard lock(pathsMutex_);
    failureReason_ = reason;
  }
  orsa::platform::mainQueue()->async([delegate]() {
    if (delegate) delegate->onSetResourceFailed(kOrsaErrorResource);
  });
}

void ResourceManager::reportSuccess(const std::shared_ptr<ResourceManagerDelegate>& delegate) {
  auto self = shared_from_this();
  orsa::platform::mainQueue()->async([delegate, self]() {
    if (delegate && !self->isCancelled()) delegate->onSetResourceSuccess();
  });
}

bool ResourceManager::isPrepared(std::span<const uint8_t> digest) const {
  std::string path = metaInfoPath();
  if (path.empty()) return false;
  std::string content;
  if (!readWholeFile(path, content, nullptr)) return false;
  return content.size() == digest.size() &&
         std::memcmp(content.data(), digest.data(), digest.size()) == 0;
}

void ResourceManager::prepare(const std::string& path,
                              const std::shared_ptr<ResourceManagerDelegate>& delegate) {
  if (!fileExists(path)) {
    ORSA_LOG_ERROR(M, "Resource file not found: %s", path);
    reportFailure(delegate, "Resource file not found: " + path);
    return;
  }
  // The digest is streamed: the package is read once, never held whole in memory.
  std::string readError;
  std::optional<Digest> digest = digestOfFile(path, &readError);
  if (!digest) {
    ORSA_LOG_ERROR(M, "Failed to read resource file: %s", path);
    reportFailure(delegate, "Failed to read resource file: " + path +
                                (readError.empty() ? "" : " (" + readError + ")"));
    return;
  }
  if (isCancelled()) {
    ORSA_LOG_INFO(M, "Operation cancelled during file reading");
    return;
  }
  std::string name = digestName(*digest);
  if (name.empty()) {
    ORSA_LOG_ERROR(M, "Failed to generate base64 digest");
    reportFailure(delegate, "Failed to generate base64 digest");
    return;
  }

  std::string caches = AppContainer::cachesDirectory();
  std::error_code ec;
  fs::create_directories(caches, ec);
  if (ec || !fs::is_directory(caches)) {
    const std::string why = ec ? ec.message() : std::string("not a directory");
    ORSA_LOG_ERROR(M, "Failed to get cache directory: %s", why);
    reportFailure(delegate, "Failed to get cache directory " + caches + ": " + why);
    return;
  }
  const std::string dir = resourceDirectoryFor(caches, *digest);
  {
    std::lock_guard lock(pathsMutex_);
    resourceDir_ = dir;
    originFramesDir_ = dir + "/frames";
    interpolationDir_ = dir + "/interpolations";
    borderImagePath_ = dir + "/border.png";
    metaInfoPath_ = dir + "/" + kMetaInfoName;
  }
  if (isCancelled()) {
    ORSA_LOG_INFO(M, "Operation cancelled during path setup");
    return;
  }

  const std::string cancelFlag = dir + "/" + kCancelFlagName;
  const std::string metaPath = dir + "/" + kMetaInfoName;
  if (isPrepared(*digest)) {
    if (!fileExists(cancelFlag)) {
      readInterpolationInfo();
      ORSA_LOG_INFO(M, "Package had been extracted successfully");
      reportSuccess(delegate);
      return;
    }
    ORSA_LOG_INFO(M, "Previous extraction was cancelled, re-extracting package");
    // The meta-info goes first: if this removal is itself interrupted, what is left must not
    // look prepared once the flag is gone.
    std::error_code rmEc;
    fs::remove(metaPath, rmEc);
    if (!rmEc) fs::remove_all(dir, rmEc);
    if (rmEc)
      ORSA_LOG_WARN(M, "Failed to cleanup previous incomplete extraction: %s", rmEc.message());
  }
  if (isCancelled()) {
    ORSA_LOG_INFO(M, "Operation cancelled before extraction");
    return;
  }

  std::error_code mkEc;
  fs::create_directories(dir, mkEc);
  if (!mkEc) orsa::platform::writeFileAtomically(cancelFlag, kCancelFlagContent);

  bool extracted = extract(path, dir);

  if (isCancelled()) {
    ORSA_LOG_INFO(M, "Operation cancelled after extraction");
    std::error_code rmEc;
    fs::remove_all(dir, rmEc);
    if (rmEc) ORSA_LOG_WARN(M, "Failed to cleanup intermediate files: %s", rmEc.message());
    return;
  }
  if (extracted) {
    if (isCancelled()) {
      ORSA_LOG_INFO(M, "Operation cancelled before finalization");
      return;
    }
    readInterpolationInfo();
    std::string writeError;
    if (!orsa::platform::writeFileAtomically(
            metaPath,
            std::string_view(reinterpret_cast<const char*>(digest->data()), digest->size()), 0644,
            &writeError))
      ORSA_LOG_WARN(M, "Failed to write meta info: %s", writeError);
    std::error_code rmEc;
    if (!fs::remove(cancelFlag, rmEc) || rmEc)
      ORSA_LOG_WARN(M, "Failed to remove cancel flag: %s",
                    rmEc ? rmEc.message() : std::string("no such file"));
    reportSuccess(delegate);
    return;
  }

  ORSA_LOG_ERROR(M, "Failed to extract resource package");
  std::string extractError;
  {
    std::lock_guard lock(pathsMutex_);
    extractError = extractError_;
  }
  std::error_code fileEc, dirEc;
  fs::remove(path, fileEc);
  fs::remove_all(dir, dirEc);
  if (fileEc) ORSA_LOG_WARN(M, "Failed to remove original file: %s", fileEc.message());
  if (dirEc) ORSA_LOG_WARN(M, "Failed to remove resource directory: %s", dirEc.message());
  reportFailure(delegate, "Failed to extract resource package " + path +
                              (extractError.empty() ? "" : ": " + extractError));
}

bool ResourceManager::extract(const std::string& zipPath, const std::string& destination) {
  const auto failed = [this](const std::string& why) {
    std::lock_guard lock(pathsMutex_);
    extractError_ = why;
    return false;
  };
  {
    std::lock_guard lock(pathsMutex_);
    extractError_.clear();
  }
  if (!VZZipArchive::unzipFileAtPath(zipPath, destination)) return failed("it cannot be unzipped");
  ORSA_LOG_INFO(M, "Unzip success");

  const std::string origin = destination + "/origin.mp4";
  if (!fileExists(origin)) {
    ORSA_LOG_ERROR(M, "%s not found", origin);
    return failed("it holds no origin.mp4");
  }
  const std::string framesDir = originFramesDir();
  std::error_code ec;
  fs::create_directories(framesDir, ec);
  int64_t startMs = orsa::platform::currentMillis();
  if (!OrsaMirelo::extractVideoFramesToDirectory(origin, framesDir)) {
    ORSA_LOG_ERROR(M, "failed to extract frames in %s", origin);
    return failed("no frames could be extracted from origin.mp4");
  }
  ORSA_LOG_INFO(M, "Extract origin.mp4 consumption: %lld ms",
                static_cast<long long>(orsa::platform::currentMillis() - startMs));

  const std::string interpolations = destination + "/interpolations.mp4";
  if (!fileExists(interpolations)) {
    ORSA_LOG_INFO(M, "%s not found", interpolations);
    return true;
  }
  const std::string interpDir = interpolationDir();
  fs::create_directories(interpDir, ec);
  bool ok = OrsaMirelo::extractVideoFramesToDirectory(interpolations, interpDir);
  ORSA_LOG_INFO(M, "Extract interpolations.mp4 consumption: %lld ms",
                static_cast<long long>(orsa::platform::currentMillis() - startMs));
  return ok || failed("no frames could be extracted from interpolations.mp4");
}

std::string ResourceManager::lastFailureReason() const {
  std::lock_guard lock(pathsMutex_);
  return failureReason_;
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
  std::string bytes;
  if (!readWholeFile(path, bytes, nullptr)) {
    ORSA_LOG_ERROR(M, "Failed to read JPEG file: %s", path);
    return nullptr;
  }
  TjHandle handle;
  handle.h = tjInitDecompress();
  if (!handle.h) {
    ORSA_LOG_ERROR(M, "TurboJPEG decompress init failed: %s", std::string(tjGetErrorStr2(nullptr)));
    return nullptr;
  }
  return decodeWith(handle.h, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                    TJFLAG_ACCURATEDCT, true);
}

std::shared_ptr<Image> ResourceManager::decodeJpeg(std::span<const uint8_t> bytes) {
  TjHandle handle;
  handle.h = tjInitDecompress();
  if (!handle.h) return nullptr;
  return decodeWith(handle.h, bytes.data(), bytes.size(), TJFLAG_FASTDCT, false);
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
