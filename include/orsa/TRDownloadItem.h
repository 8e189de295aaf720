#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "orsa/OrsaExport.h"
#include "orsa/TRDownloadTypes.h"

class TRDownloadItem;
namespace orsa::platform {
class RepeatingTimer;
}

// What a host hears about an item. Every method has an empty default body, so a host overrides
// only what it needs. Items hold their delegate weakly. Calls come on the main queue.
class ORSA_EXPORT TRDownloadItemDelegate {
 public:
  virtual ~TRDownloadItemDelegate() = default;
  virtual void downloadItemStatusChanged(const std::shared_ptr<TRDownloadItem>& item) {}
  virtual void downloadItem(const std::shared_ptr<TRDownloadItem>& item, int64_t downloadedSize,
                            int64_t totalSize) {}
  // Bytes received during the last second, and the same as text ("1.5MB/s", "0KB/s").
  virtual void downloadItem(const std::shared_ptr<TRDownloadItem>& item, uint64_t speed,
                            const std::string& speedDesc) {}
};

// One download queued by the download manager: where its file goes, its status (0 new,
// 1 waiting, 2 downloading, 3 paused, 4 failed, 5 finished), progress and speed for the
// delegate. Items are shared between the manager, the downloader's callbacks and the store's
// queue, so every field is read and written under the item's own lock; the delegate is called
// with the lock released.
class ORSA_EXPORT TRDownloadItem : public std::enable_shared_from_this<TRDownloadItem> {
  struct Key {
    explicit Key() = default;
  };

 public:
  // A new item: creation time now, version set, then the URL and the file id (may be empty).
  static std::shared_ptr<TRDownloadItem> itemWithUrl(std::string url, std::string fileId);
  // An item built from a stored row, the row's values assigned by column name; none without
  // a task id.
  static std::shared_ptr<TRDownloadItem> itemWithDict(const TRDBRow& row);
  // The version files saved by items are laid out for.
  static std::string compatibleKey() { return kTRDownloaderVersion; }

  explicit TRDownloadItem(Key);
  ~TRDownloadItem();
  TRDownloadItem(const TRDownloadItem&) = delete;
  TRDownloadItem& operator=(const TRDownloadItem&) = delete;

  std::shared_ptr<TRDownloadItemDelegate> delegate() const;
  void setDelegate(std::weak_ptr<TRDownloadItemDelegate> delegate);

  bool enableSpeed() const;
  void setEnableSpeed(bool enable);
  bool isRemoved() const;
  void setIsRemoved(bool removed);
  bool noNeedStartNext() const;
  void setNoNeedStartNext(bool value);
  // Why the item last failed (code and message of the transfer's error); 0 and empty while
  // it has not. Not stored.
  int64_t lastErrorCode() const;
  std::string lastErrorMessage() const;
  std::string taskId() const;
  void setTaskId(std::string taskId);
  std::string fileId() const;
  std::string downloadURL() const;
  std::string version() const;
  int64_t fileSize() const;
  int64_t downloadedSize() const;
  // The manager's, when it finds the finished file on disk.
  void setDownloadedSize(int64_t size);
  std::vector<uint8_t> extraData() const;
  void setExtraData(std::vector<uint8_t> data);
  uint64_t downloadStatus() const;
  // Tells the delegate and starts or stops the speed ticker; neither saves nor announces.
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

  // ---- where the finished file goes ----
  // <home>/<rootPath> when a root is set, else <caches>/TRDownload.
  std::string saveRootPath() const;
  // Keeps the path relative to the home directory (every occurrence of the home path is
  // removed), so saved files are found again after the container moves.
  void setSaveRootPath(const std::string& path);
  std::string saveUidDirectory() const;
  // <uid directory>/<fileType, else "data">, created when read.
  std::string saveDirectory() const;
  // <fileId, else taskId>.<fileExtension, else "data">.
  std::string saveName() const;
  std::string savePath() const;

  // ---- the downloader's side ----
  // Progress bound weakly to this item: a waiting item becomes downloading first.
  TRProgressHandler progressHandler();
  // Moves the finished file to savePath (status 5) or fails the item (status 4).
  TRCompletionHandler completionHandler();
  void downloadProgress(const std::shared_ptr<TRDownloadTask>& task, int64_t downloadedSize,
                        int64_t fileSize);
  // Sets the status and tells the delegate; a failed or finished item is also saved and
  // announced with "kDownloadTaskFinishedNoti".
  void downloadStatusChanged(uint64_t status, const std::shared_ptr<TRDownloadTask>& task);
  // The extension from the transfer's Content-Type ("video/mp4; codecs=x" gives "mp4"), else
  // from its suggested file name.
  void setFileExtensionWithTask(const std::shared_ptr<TRDownloadTask>& task);
  // One tick of the speed ticker: what arrived since the previous tick.
  void speedTimerRun();

  // The stored field of that name (absent for an unknown name), and the assignment of a
  // stored column to its field (unknown columns are ignored).
  TRDBValue storedValue(std::string_view field) const;
  void setStoredValue(std::string_view column, const TRDBValue& value);

 private:
  void calculaterSpeedWithStatus(uint64_t status);
  void reportSpeed(uint64_t speed, const std::string& text);

  mutable std::mutex mutex_;
  bool enableSpeed_ = false;
  bool isRemoved_ = false;
  bool noNeedStartNext_ = false;
  int64_t lastErrorCode_ = 0;
  std::string lastErrorMessage_;
  std::string taskId_;
  std::string fileId_;
  std::string downloadURL_;
  std::string version_;
  int64_t fileSize_ = 0;
  int64_t downloadedSize_ = 0;
  std::weak_ptr<TRDownloadItemDelegate> delegate_;
  std::vector<uint8_t> extraData_;
  uint64_t downloadStatus_ = 0;
  std::string fileType_;
  std::string uid_;
  std::string rootPath_;
  int64_t pid_ = 0;
  std::string fileExtension_;
  uint64_t createTime_ = 0;
  uint64_t preDSize_ = 0;
  std::shared_ptr<orsa::platform::RepeatingTimer> speedTimer_;
};
