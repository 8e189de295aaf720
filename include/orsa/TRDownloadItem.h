#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orsa/OrsaExport.h"
#include "orsa/TRDownloadTypes.h"

class TRDownloadItem;
class TRDownloadItemPrivate;

// What a host hears about an item. Every method has an empty default body, so a host overrides
// only what it needs. Items hold their delegate weakly. Calls come on the main queue.
class ORSA_EXPORT TRDownloadItemDelegate {
 public:
  virtual ~TRDownloadItemDelegate() = default;
  // The item's status changed; 4 (failed) and 5 (finished) end it.
  virtual void downloadItemStatusChanged(const std::shared_ptr<TRDownloadItem>& /*item*/) {}
  // Bytes received so far and the total (0 while unknown).
  virtual void downloadItem(const std::shared_ptr<TRDownloadItem>& /*item*/,
                            int64_t /*downloadedSize*/, int64_t /*totalSize*/) {}
  // Bytes received during the last second, and the same as text ("1.5MB/s", "0KB/s"); only
  // while the item's enableSpeed is on.
  virtual void downloadItem(const std::shared_ptr<TRDownloadItem>& /*item*/, uint64_t /*speed*/,
                            const std::string& /*speedDesc*/) {}
};

// One download queued by the download manager: where its file goes, its status (0 new,
// 1 waiting, 2 downloading, 3 paused, 4 failed, 5 finished), progress and speed for the
// delegate. The manager and the store own the queue's bookkeeping (task id, status, sizes, uid,
// row id); a host reads those and sets only what shapes the download before it is started
// (file type, extension, root, extra data) and how it is observed (delegate, speed).
//
// Items are shared between the manager, the transfers' callbacks and the store's queue, so
// every field is read and written under the item's own lock; the delegate is called with the
// lock released.
class ORSA_EXPORT TRDownloadItem : public std::enable_shared_from_this<TRDownloadItem> {
  struct Key {
    explicit Key() = default;
  };

 public:
  // A new item: creation time now, version set, then the URL and the file id (may be empty).
  static std::shared_ptr<TRDownloadItem> itemWithUrl(std::string url, std::string fileId);
  // The version files saved by items are laid out for.
  static std::string compatibleKey() { return kTRDownloaderVersion; }

  explicit TRDownloadItem(Key);
  ~TRDownloadItem();
  TRDownloadItem(const TRDownloadItem&) = delete;
  TRDownloadItem& operator=(const TRDownloadItem&) = delete;

  std::shared_ptr<TRDownloadItemDelegate> delegate() const;
  void setDelegate(std::weak_ptr<TRDownloadItemDelegate> delegate);

  // Once a second while the item downloads, the delegate hears its speed. Turned on for an
  // item already downloading, the first report comes at once.
  bool enableSpeed() const;
  void setEnableSpeed(bool enable);
  // Set once the item was stopped (its file and records deleted).
  bool isRemoved() const;
  // When set, pausing or stopping this item does not start the next waiting one. The manager
  // sets it on the items a pause-all or remove-all touches.
  bool noNeedStartNext() const;
  void setNoNeedStartNext(bool value);
  // Why the item last failed (code and message of the transfer's error); 0 and empty while
  // it has not. Not stored.
  int64_t lastErrorCode() const;
  std::string lastErrorMessage() const;
  // The MD5 of "url-fileId" (of the URL alone without a file id); empty until started.
  std::string taskId() const;
  std::string fileId() const;
  std::string downloadURL() const;
  std::string version() const;
  // The total size once known, else 0.
  int64_t fileSize() const;
  int64_t downloadedSize() const;
  // The host's own bytes, stored with the item.
  std::vector<uint8_t> extraData() const;
  void setExtraData(std::vector<uint8_t> data);
  uint64_t downloadStatus() const;
  // The folder under the uid directory; the manager sets "video" when it is empty at start.
  std::string fileType() const;
  void setFileType(std::string type);
  std::string uid() const;
  std::string rootPath() const;
  void setRootPath(std::string path);
  // The item's row in the store (keeps the queue's order within one second of creation).
  int64_t pid() const;
  // Learnt from the transfer (Content-Type, else the suggested file name) while empty.
  std::string fileExtension() const;
  void setFileExtension(std::string extension);
  // Whole seconds since 1970.
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

 private:
  friend class TRDownloadItemPrivate;
  std::unique_ptr<TRDownloadItemPrivate> d_;
};
