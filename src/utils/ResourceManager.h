#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "orsa/OrsaConstants.h"
#include "platform/Dispatch.h"
#include "platform/MediaReader.h"
#include "render/OrsaFrameSource.h"
#include "utils/Image.h"

// Receives the outcome of one preparation run, on the main queue; a failure always reports
// kOrsaErrorResource. Both operations have empty default bodies, so a delegate implements only
// what it cares about.
class ResourceManagerDelegate {
 public:
  virtual ~ResourceManagerDelegate() = default;
  virtual void onSetResourceSuccess() {}
  virtual void onSetResourceFailed(int64_t errorCode) {}
};

// The delegate of an owner that keeps ResourceManagerDelegate out of its own (public) interface:
// it forwards both outcomes while the owner lives. The manager holds delegates weakly, so the
// owner keeps this one.
template <class Owner>
class ForwardingResourceDelegate : public ResourceManagerDelegate {
 public:
  explicit ForwardingResourceDelegate(std::weak_ptr<Owner> owner) : owner_(std::move(owner)) {}
  void onSetResourceSuccess() override {
    if (auto owner = owner_.lock()) owner->onSetResourceSuccess();
  }
  void onSetResourceFailed(int64_t errorCode) override {
    if (auto owner = owner_.lock()) owner->onSetResourceFailed(errorCode);
  }

 private:
  std::weak_ptr<Owner> owner_;
};

// Turns a downloaded resource package (a zip archive) into a prepared frame store in the
// content-addressed cache, and serves background frames out of it.
//
// Create it with ResourceManager::create(): preparation tasks hold the manager weakly.
class ResourceManager : public std::enable_shared_from_this<ResourceManager>,
                        public OrsaFrameSource {
 public:
  using Digest = std::array<uint8_t, 32>;
  using InterpolationMap = std::unordered_map<uint64_t, int32_t>;

  static constexpr const char* kModule = "ResourceManager";
  static constexpr const char* kVersionSuffix = "_v2.5";
  static constexpr const char* kMetaInfoName = "ORSA-DH-META-INFO";
  static constexpr const char* kCancelFlagName = ".cancel_flag_v2.5";
  static constexpr const char* kCancelFlagContent = "extracting";
  static constexpr const char* kCacheSubdirectory = "OrsaMirelo/dh-resource";
  // Decoded pictures larger than this are refused; the media reader holds package videos to the
  // same bound.
  static constexpr int64_t kMaxImageBytes = orsa::platform::kMaxDecodedPictureBytes;

  static std::shared_ptr<ResourceManager> create();

  ResourceManager();
  ~ResourceManager();
  ResourceManager(const ResourceManager&) = delete;
  ResourceManager& operator=(const ResourceManager&) = delete;

  // Prepares the package at `path` on the processing queue and reports to `delegate` on the
  // main queue. Returns at once.
  void setResource(const std::string& path, std::weak_ptr<ResourceManagerDelegate> delegate);
  void cancel();
  void reset();
  // True when the meta-info file holds exactly `digest`.
  bool isPrepared(std::span<const uint8_t> digest) const;
  // Unpacks the package into `destination` and extracts the frames of its videos.
  bool extract(const std::string& zipPath, const std::string& destination);
  // Why the last preparation run failed, in words for the host; empty before one failed.
  std::string lastFailureReason() const;

  // Frame store readers. Each returns nothing when the frame cannot be produced.
  std::shared_ptr<Image> readOriginFrame(int32_t frameNumber) const override;
  std::shared_ptr<Image> readInterpolationWithStart(int32_t start, int32_t end,
                                                    int32_t index) const override;
  void readInterpolationInfo();
  std::shared_ptr<Image> readJPEGFrameAtPath(const std::string& path) const;
  std::shared_ptr<Image> readRGBAFrameAtPath(const std::string& path) const;
  static std::shared_ptr<Image> decodeJpeg(std::span<const uint8_t> bytes);
  // The content of a raw RGBA frame file: little-endian width and height, then the pixels.
  static std::shared_ptr<Image> decodeRawRGBA(std::span<const uint8_t> file);
  // TurboJPEG decompressors the readers have made in this process: each reading thread makes
  // one and keeps it, together with its read buffer, for every frame it reads.
  static uint64_t decompressorsCreated();
  // resourceDir + "border.png", computed now; nothing before the first preparation run.
  std::optional<std::string> getBorderPath() const;

  // Fields. Paths are empty until a preparation run has set them.
  bool isCancelled() const { return isCancelled_.load(); }
  void setIsCancelled(bool v) { isCancelled_.store(v); }
  std::string resourceDir() const;
  void setResourceDir(const std::string& v);
  std::string originFramesDir() const;
  void setOriginFramesDir(const std::string& v);
  std::string interpolationDir() const;
  void setInterpolationDir(const std::string& v);
  std::string borderImagePath() const;
  void setBorderImagePath(const std::string& v);
  std::string metaInfoPath() const;
  void setMetaInfoPath(const std::string& v);
  // A copy of the interpolation table; nothing while none was loaded.
  std::optional<InterpolationMap> interpolationMap() const;
  void setInterpolationMap(std::optional<InterpolationMap> map);
  std::shared_ptr<orsa::platform::DispatchQueue> processingQueue() const {
    return processingQueue_;
  }
  void setProcessingQueue(std::shared_ptr<orsa::platform::DispatchQueue> q) {
    processingQueue_ = std::move(q);
  }

  // Helpers shared with the tool and tests.

  // SHA-256 of a whole file, streamed in fixed-size blocks. Nothing when the file cannot be
  // read; `error` then says why.
  static std::optional<Digest> digestOfFile(const std::string& path, std::string* error = nullptr);
  // Standard Base64 of the digest followed by the version suffix.
  static std::string digestName(const Digest& digest);
  // The cache folder a package with this digest is prepared in.
  static std::string resourceDirectoryFor(const std::string& cachesDirectory, const Digest& digest);
  static uint64_t interpolationKey(int32_t start, int32_t end, int32_t index);
  // Parses an interpolation info document; nothing when it is not a JSON array.
  static std::optional<InterpolationMap> parseInterpolationInfo(std::string_view json);

 private:
  void prepare(const std::string& path, const std::shared_ptr<ResourceManagerDelegate>& delegate);
  void reportFailure(const std::shared_ptr<ResourceManagerDelegate>& delegate,
                     const std::string& reason);
  void reportSuccess(const std::shared_ptr<ResourceManagerDelegate>& delegate);
  std::shared_ptr<Image> readFrameIn(const std::string& dir, int32_t frameNumber) const;

  std::atomic<bool> isCancelled_{false};
  // Paths are written by the preparation task and read by the render side.
  mutable std::mutex pathsMutex_;
  std::string resourceDir_;
  std::string originFramesDir_;
  std::string interpolationDir_;
  std::string borderImagePath_;
  std::string metaInfoPath_;
  std::string failureReason_;
  std::string extractError_;  // what extract() found wrong, for the failure reason
  // The table is swapped whole under the writer lock; lookups take the reader lock.
  mutable std::shared_mutex mapMutex_;
  std::unique_ptr<InterpolationMap> interpolationMap_;
  std::shared_ptr<orsa::platform::DispatchQueue> processingQueue_;
};
