#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/TRDBValue.h"
#include "download/TRDownloadTask.h"
#include "orsa/TRDownloadItem.h"

namespace orsa::platform {
class RepeatingTimer;
}

// An item's fields and what the manager, the store and the transfers do with it. Reached with
// of(); hosts never see it. Every field is guarded by `mutex`.
class TRDownloadItemPrivate {
 public:
  static TRDownloadItemPrivate& of(const TRDownloadItem& item) { return *item.d_; }

  // An item built from a stored row, the row's values assigned by column name; none without
  // a task id.
  static std::shared_ptr<TRDownloadItem> itemWithDict(const TRDBRow& row);

  explicit TRDownloadItemPrivate(TRDownloadItem& owner);
  ~TRDownloadItemPrivate();

  // The bookkeeping a host only reads.
  void setTaskId(std::string taskId);
  void setUid(std::string uid);
  void setPid(int64_t pid);
  void setIsRemoved(bool removed);
  // The manager's, when it finds the finished file on disk.
  void setDownloadedSize(int64_t size);
  // Tells the delegate and starts or stops the speed ticker; neither saves nor announces.
  void setDownloadStatus(uint64_t status);

  // ---- the downloader's side ----
  // Progress bound weakly to the item: a waiting item becomes downloading first.
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
  // Starts the ticker while downloading with speed on, else stops it and reports 0.
  void calculaterSpeedWithStatus(uint64_t status);

  // False when the uid, file type or file id (those that are set) is not a plain folder
  // entry name: such an item's paths could lead outside its save root.
  bool namesAreSafe() const;

  // The stored field of that name (absent for an unknown name), and the assignment of a
  // stored column to its field (unknown columns are ignored).
  TRDBValue storedValue(std::string_view field) const;
  void setStoredValue(std::string_view column, const TRDBValue& value);

 private:
  friend class TRDownloadItem;

  void reportSpeed(uint64_t speed, const std::string& text);

  TRDownloadItem& q_;
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
