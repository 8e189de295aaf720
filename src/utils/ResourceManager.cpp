#include "utils/ResourceManager.h"

#include <cstring>
#include <filesystem>

#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Digest.h"
#include "platform/FileIO.h"
#include "platform/OrsaBase64.h"
#include "utils/DataCodec.h"
#include "utils/ResourceFiles.h"
#include "utils/zip/VZZipArchive.h"

// Preparation: from a downloaded package to a frame store in the cache. The reading side is in
// ResourceManagerFrameStore.cpp.

namespace fs = std::filesystem;
using orsa::platform::AppContainer;
using orsa::resource::fileExists;
using orsa::resource::readWholeFile;

namespace {

constexpr const char* M = ResourceManager::kModule;

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
