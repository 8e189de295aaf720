#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orsa/OrsaExport.h"
#include "orsa/TRDownloadItem.h"

class TRDownloadManagerPrivate;

// How the download manager runs, fixed by the first mgrWithConfig.
struct ORSA_EXPORT TRDConfig {
  // At start-up, queue the stored items that were waiting or downloading again (they continue
  // from their partial files) instead of pausing them.
  bool launchAutoResumeDownload = false;
  // The user id that scopes every item; empty: "TRDownloadUID".
  std::string uid;
  // Root of the finished files; empty: the caches directory's "TRDownload".
  std::string saveRootPath;
  // Most items downloading at once; 0 counts as 1.
  uint64_t maxTaskCount = 0;
  // 0: a task's record is deleted once its completion was delivered; otherwise it stays.
  uint64_t taskCachekMode = 0;
};

// The process's persistent download queue: URLs become items, at most maxTaskCount of them
// download at once, the rest wait in arrival order, everything is stored and comes back when
// the process starts again. Every list and query is scoped to the current uid.
//
// Use it from the main thread (the thread draining the main queue): the downloader's
// callbacks arrive there, and the manager has no lock. The class-level operations forward to
// the instance and do nothing before mgrWithConfig. An item's delegate hears it finish or fail.
// OrsaHost::applicationWillTerminate(), on the main thread, pauses every active item; a pause
// hands its resume data over on the main queue, so a host that is about to exit drains the
// main loop while hasPausesInFlight() (a second or so at most).
class ORSA_EXPORT TRDownloadManager {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Creates the instance and restores the stored queue the first time; later calls return the
  // instance and drop their configuration.
  static std::shared_ptr<TRDownloadManager> mgrWithConfig(const TRDConfig& config);
  // None before mgrWithConfig.
  static std::shared_ptr<TRDownloadManager> manager();

  static void updateUid(const std::string& uid);
  // The new item (none before mgrWithConfig). Priority only hints the transfer's scheduling;
  // waiting items start in arrival order.
  static std::shared_ptr<TRDownloadItem> startDownloadWithUrl(const std::string& url);
  static std::shared_ptr<TRDownloadItem> startDownloadWithUrl(
      const std::string& url, const std::string& fileId, float priority,
      const std::optional<std::vector<uint8_t>>& extraData);
  static void startDownloadWithItem(const std::shared_ptr<TRDownloadItem>& item);
  static void startDownloadWithItem(const std::shared_ptr<TRDownloadItem>& item, float priority);
  static void pauseDownloadWithItem(const std::shared_ptr<TRDownloadItem>& item);
  static void resumeDownloadWithItem(const std::shared_ptr<TRDownloadItem>& item);
  // Cancels the transfer and deletes the item, its task and its file.
  static void stopDownloadWithItem(const std::shared_ptr<TRDownloadItem>& item);
  static void pauseAllDownloadTask();
  static void resumeAllDownloadTask();
  static void removeAllCache();
  static std::shared_ptr<TRDownloadItem> itemWithFileId(const std::string& fileId);
  static std::vector<std::shared_ptr<TRDownloadItem>> itemsWithDownloadUrl(const std::string& url);
  // Unfinished items of the uid, then finished ones, by creation time.
  static std::vector<std::shared_ptr<TRDownloadItem>> downloadList();
  static std::vector<std::shared_ptr<TRDownloadItem>> finishList();
  static bool isAllowsCellularAccess();
  static void allowsCellularAccess(bool allow);
  // True while a pause of an item of the uid has not yet handed its resume data over.
  static bool hasPausesInFlight();
  // Bytes on disk: received bytes of unfinished items plus sizes of finished ones.
  static int64_t videoCacheSize();

  explicit TRDownloadManager(Key, TRDConfig config);
  ~TRDownloadManager();
  TRDownloadManager(const TRDownloadManager&) = delete;
  TRDownloadManager& operator=(const TRDownloadManager&) = delete;

  const TRDConfig& config() const;
  // "TRDownloadUID" while unset.
  std::string uid() const;
  // Pauses the active items of the current uid first when the uid changes.
  void setUid(const std::string& uid);
  // The items waiting for a slot, in the order they will start, and those holding one.
  std::vector<std::shared_ptr<TRDownloadItem>> waitItems() const;
  std::vector<std::shared_ptr<TRDownloadItem>> runItems() const;

 private:
  friend class TRDownloadManagerPrivate;
  std::unique_ptr<TRDownloadManagerPrivate> d_;
};
