#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "download/TRDownloadUtils.h"

// The user-visible side of a queued download, as the store keeps it. Shared between the
// manager, the downloader's callbacks and the store's queue: every field is read and written
// under the object's own lock.
class TRDownloadItem {
  struct Key {
    explicit Key() = default;
  };

 public:
  // A new item: creation time now, version set, then the URL and the file id (may be empty).
  static std::shared_ptr<TRDownloadItem> itemWithUrl(std::string url, std::string fileId);
  // An item built from a stored row, the row's values assigned by column name; none without
  // a task id.
  static std::shared_ptr<TRDownloadItem> itemWithDict(const TRDBRow& row);

  explicit TRDownloadItem(Key);
  TRDownloadItem(const TRDownloadItem&) = delete;
  TRDownloadItem& operator=(const TRDownloadItem&) = delete;

  bool enableSpeed() const;
  void setEnableSpeed(bool enable);
  std::string taskId() const;
  void setTaskId(std::string taskId);
  std::string fileId() const;
  std::string downloadURL() const;
  std::string version() const;
  int64_t fileSize() const;
  int64_t downloadedSize() const;
  std::vector<uint8_t> extraData() const;
  void setExtraData(std::vector<uint8_t> data);
  uint64_t downloadStatus() const;
  void setDownloadStatus(uint64_t status);
  std::string fileType() const;
  void setFileType(std::string type);
  std::string uid() const;
  void setUid(std::string uid);
  std::string rootPath() const;
  void setRootPath(std::string path);
  int64_t pid() const;
  void setPid(int64_t pid);
  std::string fileExtension() const;
  void setFileExtension(std::string extension);
  uint64_t createTime() const;

  // The stored field of that name (absent for an unknown name), and the assignment of a
  // stored column to its field (unknown columns are ignored).
  TRDBValue storedValue(std::string_view field) const;
  void setStoredValue(std::string_view column, const TRDBValue& value);

 private:
  mutable std::mutex mutex_;
  bool enableSpeed_ = false;
  std::string taskId_;
  std::string fileId_;
  std::string downloadURL_;
  std::string version_;
  int64_t fileSize_ = 0;
  int64_t downloadedSize_ = 0;
  std::vector<uint8_t> extraData_;
  uint64_t downloadStatus_ = 0;
  std::string fileType_;
  std::string uid_;
  std::string rootPath_;
  int64_t pid_ = 0;
  std::string fileExtension_;
  uint64_t createTime_ = 0;
};
