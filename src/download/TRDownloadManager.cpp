#include "orsa/TRDownloadManager.h"

#include <fmt/printf.h>

#include <algorithm>
#include <any>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "download/TRDownloadDB.h"
#include "download/TRDownloadItemPrivate.h"
#include "download/TRDownloadTask.h"
#include "download/TRDownloadUtils.h"
#include "download/TRDownloader.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "platform/UrlSession.h"

namespace fs = std::filesystem;
using U = TRDownloadUtils;
using DB = TRDownloadDB;
using ItemPtr = std::shared_ptr<TRDownloadItem>;
using Items = std::vector<ItemPtr>;

namespace {

// How long a resume waits for a pause of the same task to settle: 5 s in 20 ms steps.
constexpr auto kPauseSettleStep = std::chrono::milliseconds(20);
constexpr int kPauseSettleAttempts = 250;
enum : uint64_t { kWaiting = 1, kDownloading = 2, kPaused = 3, kFailed = 4, kFinished = 5 };

std::mutex gInstanceMutex;
std::shared_ptr<TRDownloadManager> gInstance;

void say(const std::string& line) {
  orsa::platform::consoleWrite(line);
}

std::string describe(const ItemPtr& item) {
  return fmt::sprintf("<TRDownloadItem: %p>{ taskId: %s, url: %s, status: %lu}",
                      static_cast<const void*>(item.get()), item->taskId(), item->downloadURL(),
                      item->downloadStatus());
}

// The task's transfer was cancelled or has ended, and the downloader has not yet heard how
// (its completion, with any resume data, is still on its way to the main queue).
bool endingUnheard(const std::shared_ptr<TRDownloadTask>& task) {
  using orsa::platform::TransferState;
  const int state = task ? task->state() : -1;
  return state == static_cast<int>(TransferState::Canceling) ||
         state == static_cast<int>(TransferState::Completed);
}

template <typename List>
void dropFrom(List& list, const ItemPtr& item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

template <typename List>
void append(List& list, const ItemPtr& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

TRDownloadItemPrivate& part(const ItemPtr& item) {
  return TRDownloadItemPrivate::of(*item);
}

}  // namespace

// The queue's state and the manager's steps. Main thread only, as the manager.
class TRDownloadManagerPrivate {
 public:
  static TRDownloadManagerPrivate* of(const std::shared_ptr<TRDownloadManager>& m) {
    return m ? m->d_.get() : nullptr;
  }

  explicit TRDownloadManagerPrivate(TRDConfig config) : config_(std::move(config)) {}

  std::string uid() const;
  void setUid(const std::string& uid);
  bool canResumeDownload() const;
  // True when the file at the item's save path is complete (the item becomes finished); a
  // finished item whose file is gone or wrong fails, and a partial file is deleted.
  bool downloadFinishedWithItem(const ItemPtr& item);
  // Resumes the first waiting item, if any.
  void startNextDownload();
  std::shared_ptr<TRDownloadTask> taskWithItem(const ItemPtr& item) const;
  void downloadTaskFinishNoti(const ItemPtr& item);
  void initManager();
  void restore();
  void startItem(const ItemPtr& item, float priority);
  void pauseItem(const ItemPtr& item);
  void resumeItem(const ItemPtr& item, int attempt = 0);
  void stopItem(const ItemPtr& item);
  void pauseAll();
  void resumeAll();
  void removeAll();
  void forget(const ItemPtr& item);

  TRDConfig config_;
  std::optional<std::string> uid_;
  std::deque<ItemPtr> waitItems_;
  Items runItems_;
  std::vector<uint64_t> observers_;
};

namespace {

// The instance's private part; none before mgrWithConfig. The instance lives for the rest of
// the process once made, so the pointer stays valid.
TRDownloadManagerPrivate* current() {
  return TRDownloadManagerPrivate::of(TRDownloadManager::manager());
}

}  // namespace

// ---- creation ----

std::shared_ptr<TRDownloadManager> TRDownloadManager::mgrWithConfig(const TRDConfig& config) {
  std::shared_ptr<TRDownloadManager> created;
  {
    std::lock_guard lock(gInstanceMutex);
    if (gInstance) return gInstance;
    created = gInstance = std::make_shared<TRDownloadManager>(Key{}, config);
  }
  // Outside the lock: restoring may end in callbacks that ask for the instance.
  created->d_->initManager();
  return created;
}

std::shared_ptr<TRDownloadManager> TRDownloadManager::manager() {
  std::lock_guard lock(gInstanceMutex);
  return gInstance;
}

TRDownloadManager::TRDownloadManager(Key, TRDConfig config)
    : d_(std::make_unique<TRDownloadManagerPrivate>(std::move(config))) {
  auto& center = orsa::platform::NotificationCenter::defaultCenter();
  // The manager lives for the rest of the process; the observers reach it through the
  // instance so they never hold it.
  d_->observers_.push_back(
      center.addObserver(kDownloadTaskFinishedNoti, nullptr, [](const auto& note) {
        auto item = std::any_cast<ItemPtr>(&note.object);
        if (auto* m = current(); m && item && *item) m->downloadTaskFinishNoti(*item);
      }));
  d_->observers_.push_back(
      center.addObserver(orsa::platform::kWillTerminate, nullptr, [](const auto&) {
        if (auto* m = current()) m->pauseAll();
      }));
}

TRDownloadManager::~TRDownloadManager() {
  for (auto token : d_->observers_)
    orsa::platform::NotificationCenter::defaultCenter().removeObserver(token);
}

void TRDownloadManagerPrivate::initManager() {
  setUid(config_.uid);
  auto downloader = TRDownloader::downloader();
  downloader->setTaskCachekMode(config_.taskCachekMode);
  // The queue is another process's while it holds the transfers: restoring would judge its
  // items by a stale store and could delete files it has just put in place.
  if (downloader->sessionInUse()) {
    say("[initManager] the downloads of this home are in use by another process; not restored");
    return;
  }
  restore();
}

void TRDownloadManagerPrivate::restore() {
  const bool autoResume = config_.launchAutoResumeDownload;
  for (const auto& item : DB::fetchAllDownloadItemWithUid(uid())) {
    downloadFinishedWithItem(item);
    auto task = taskWithItem(item);
    const bool running = task && task->isRunning();
    if (item->downloadStatus() == kDownloading || (running && autoResume)) {
      part(item).setDownloadStatus(kDownloading);
      if (task) {
        task->setProgressHandler(part(item).progressHandler());
        task->setCompletionHandler(part(item).completionHandler());
      }
      if (running) {
        append(runItems_, item);
      } else {
        // A transfer that did not survive holds no slot: paused, or queued again so it
        // continues from its partial file.
        part(item).setDownloadStatus(autoResume ? kWaiting : kPaused);
      }
    }
    const auto status = item->downloadStatus();
    if (autoResume && status == kWaiting)
      append(waitItems_, item);
    else if (!autoResume && (status == kWaiting || status == kDownloading))
      pauseItem(item);
  }
  // Every free slot, not only the first, so a restored queue runs as wide as a fresh one.
  while (autoResume && !waitItems_.empty() && canResumeDownload()) startNextDownload();
  DB::saveAllData();
}

// ---- class-level entries ----

void TRDownloadManager::updateUid(const std::string& uid) {
  if (auto* m = current()) m->setUid(uid);
}

ItemPtr TRDownloadManager::startDownloadWithUrl(const std::string& url) {
  return startDownloadWithUrl(url, "", orsa::platform::kTaskPriorityDefault, std::nullopt);
}

ItemPtr TRDownloadManager::startDownloadWithUrl(
    const std::string& url, const std::string& fileId, float priority,
    const std::optional<std::vector<uint8_t>>& extraData) {
  auto* m = current();
  if (!m) return nullptr;
  if (!fileId.empty() && !U::isSafeName(fileId)) {
    say("[startDownloadWithUrl] file id refused, it is no plain file name: " + fileId);
    return nullptr;
  }
  auto item = TRDownloadItem::itemWithUrl(url, fileId);
  if (extraData) item->setExtraData(*extraData);
  m->startItem(item, priority);
  return item;
}

void TRDownloadManager::startDownloadWithItem(const ItemPtr& item) {
  startDownloadWithItem(item, orsa::platform::kTaskPriorityDefault);
}

void TRDownloadManager::startDownloadWithItem(const ItemPtr& item, float priority) {
  if (auto* m = current()) m->startItem(item, priority);
}

void TRDownloadManager::pauseDownloadWithItem(const ItemPtr& item) {
  if (auto* m = current(); m && item) m->pauseItem(item);
}

void TRDownloadManager::resumeDownloadWithItem(const ItemPtr& item) {
  if (auto* m = current(); m && item) m->resumeItem(item);
}

void TRDownloadManager::stopDownloadWithItem(const ItemPtr& item) {
  if (auto* m = current()) m->stopItem(item);
}

void TRDownloadManager::pauseAllDownloadTask() {
  if (auto* m = current()) m->pauseAll();
}

void TRDownloadManager::resumeAllDownloadTask() {
  if (auto* m = current()) m->resumeAll();
}

void TRDownloadManager::removeAllCache() {
  if (auto* m = current()) m->removeAll();
}

ItemPtr TRDownloadManager::itemWithFileId(const std::string& fileId) {
  auto m = manager();
  return m ? DB::itemWithFid(fileId, m->uid()) : nullptr;
}

Items TRDownloadManager::itemsWithDownloadUrl(const std::string& url) {
  auto m = manager();
  return m ? DB::itemsWithUrl(url, m->uid()) : Items{};
}

Items TRDownloadManager::downloadList() {
  auto m = manager();
  return m ? DB::fetchAllDownloadingItemWithUid(m->uid()) : Items{};
}

Items TRDownloadManager::finishList() {
  auto m = manager();
  return m ? DB::fetchAllDownloadedItemWithUid(m->uid()) : Items{};
}

bool TRDownloadManager::isAllowsCellularAccess() {
  return manager() && TRDownloader::downloader()->allowsCellularAccess();
}

void TRDownloadManager::allowsCellularAccess(bool allow) {
  if (manager()) TRDownloader::downloader()->setAllowsCellularAccess(allow);
}

bool TRDownloadManager::hasPausesInFlight() {
  auto* m = current();
  if (!m) return false;
  const Items items = downloadList();
  return std::any_of(items.begin(), items.end(),
                     [&](const ItemPtr& item) { return endingUnheard(m->taskWithItem(item)); });
}

int64_t TRDownloadManager::videoCacheSize() {
  int64_t total = 0;
  for (const auto& item : downloadList()) total += item->downloadedSize();
  for (const auto& item : finishList()) total += item->fileSize();
  return total;
}

// ---- instance ----

const TRDConfig& TRDownloadManager::config() const {
  return d_->config_;
}

std::string TRDownloadManager::uid() const {
  return d_->uid();
}

void TRDownloadManager::setUid(const std::string& uid) {
  d_->setUid(uid);
}

Items TRDownloadManager::waitItems() const {
  return {d_->waitItems_.begin(), d_->waitItems_.end()};
}

Items TRDownloadManager::runItems() const {
  return d_->runItems_;
}

std::string TRDownloadManagerPrivate::uid() const {
  return uid_ && !uid_->empty() ? *uid_ : kTRDefaultDownloadUid;
}

void TRDownloadManagerPrivate::setUid(const std::string& uid) {
  if (uid_ && *uid_ == uid) return;
  // The uid names the folder of its items' files.
  if (!uid.empty() && !U::isSafeName(uid)) {
    say("[setUid] uid refused, it is no plain folder name: " + uid);
    return;
  }
  // The first uid is set while the manager is created, before anything of this process runs:
  // pausing then would only keep restore from queueing the stored items again.
  if (uid_) pauseAll();
  uid_ = uid;
}

bool TRDownloadManagerPrivate::canResumeDownload() const {
  return runItems_.size() < std::max<uint64_t>(config_.maxTaskCount, 1);
}

bool TRDownloadManagerPrivate::downloadFinishedWithItem(const ItemPtr& item) {
  const std::string path = item->savePath();
  const int64_t size = U::fileSizeWithPath(path);
  if (size >= 1 && size == item->fileSize()) {
    part(item).setDownloadedSize(size);
    part(item).setDownloadStatus(kFinished);
    return true;
  }
  if (item->downloadStatus() == kFinished) {
    say(fmt::sprintf(
        "[downloadFinishedWithItem] status finished to failed, reason: savePath error! %s", path));
    part(item).setDownloadStatus(kFailed);
  }
  U::removeInside(item->saveRootPath(), path);
  return false;
}

void TRDownloadManagerPrivate::startNextDownload() {
  if (waitItems_.empty()) return;
  auto item = waitItems_.front();
  waitItems_.pop_front();
  resumeItem(item);
}

std::shared_ptr<TRDownloadTask> TRDownloadManagerPrivate::taskWithItem(const ItemPtr& item) const {
  return item ? DB::taskWithTid(item->taskId()) : nullptr;
}

void TRDownloadManagerPrivate::downloadTaskFinishNoti(const ItemPtr& item) {
  dropFrom(runItems_, item);
  startNextDownload();
  if (runItems_.empty() && waitItems_.empty()) {
    say("[startNextDownload] all download task finished");
    TRDownloader::downloader()->endBGCompletedHandler();
  }
}

void TRDownloadManagerPrivate::startItem(const ItemPtr& item, float priority) {
  if (!item) return;
  for (const std::string& name : {item->fileId(), item->fileType()}) {
    if (!name.empty() && !U::isSafeName(name)) {
      say("[startDownloadWithItem] item refused, its file id or type is no plain name: " + name);
      return;
    }
  }
  if (auto stored = DB::itemWithTaskId(item->taskId());
      stored && downloadFinishedWithItem(stored)) {
    say("[startDownloadWithItem] detect item finished!");
    startNextDownload();
    return;
  }
  part(item).setDownloadStatus(kWaiting);
  part(item).setUid(uid());
  item->setSaveRootPath(config_.saveRootPath);
  if (item->fileType().empty()) item->setFileType("video");
  orsa::platform::UrlRequest request;
  request.url = item->downloadURL();
  auto task = TRDownloader::downloader()->downloadWithRequest(
      request, part(item).progressHandler(), part(item).completionHandler(), priority);
  if (!task) {
    part(item).downloadStatusChanged(kFailed, nullptr);
    return;
  }
  part(item).setTaskId(task->taskId());
  DB::saveItem(item);
  resumeItem(item);
}

void TRDownloadManagerPrivate::resumeItem(const ItemPtr& item, int attempt) {
  if (downloadFinishedWithItem(item)) {
    say(fmt::sprintf("[resumeDownloadWithItem] detect item finished : %s", describe(item)));
    startNextDownload();
    return;
  }
  if (!canResumeDownload()) {
    part(item).setDownloadStatus(kWaiting);
    append(waitItems_, item);
    return;
  }
  dropFrom(waitItems_, item);
  part(item).setDownloadStatus(kDownloading);
  auto task = taskWithItem(item);
  if (!task) {
    // Nothing to transfer with (its record is gone): fail it rather than hold a slot.
    part(item).downloadStatusChanged(kFailed, nullptr);
    return;
  }
  task->setCompletionHandler(part(item).completionHandler());
  task->setProgressHandler(part(item).progressHandler());
  if (endingUnheard(task) && attempt < kPauseSettleAttempts) {
    // A pause is still handing its resume data over (it comes on the main queue): resumed now,
    // the task would have neither a live transfer nor the data and fail. The slot is held
    // meanwhile.
    append(runItems_, item);
    orsa::platform::mainQueue()->asyncAfter(kPauseSettleStep, [item, attempt] {
      auto* m = current();
      if (!m || item->isRemoved() || item->downloadStatus() != kDownloading) return;
      if (std::find(m->runItems_.begin(), m->runItems_.end(), item) == m->runItems_.end()) return;
      dropFrom(m->runItems_, item);
      m->resumeItem(item, attempt + 1);
    });
    return;
  }
  if (TRDownloader::downloader()->resumeTask(task)) append(runItems_, item);
}

void TRDownloadManagerPrivate::pauseItem(const ItemPtr& item) {
  part(item).setDownloadStatus(kPaused);
  if (auto task = taskWithItem(item)) TRDownloader::downloader()->pauseTask(task);
  DB::saveItem(item);
  forget(item);
  if (!item->noNeedStartNext()) startNextDownload();
}

void TRDownloadManagerPrivate::stopItem(const ItemPtr& item) {
  if (!item) return;
  part(item).setIsRemoved(true);
  auto task = taskWithItem(item);
  if (task) TRDownloader::downloader()->cancelTask(task);
  const std::string path = item->savePath();
  std::error_code ec;
  say(fmt::sprintf("[remove item] isExist : %d path: %s", fs::exists(path, ec) ? 1 : 0, path));
  U::removeInside(item->saveRootPath(), path);
  DB::removeItemWithTaskId(item->taskId());
  if (task) {
    // A paused item's bytes so far lie in the transfer service's partial file, named by the
    // resume data: both go with the item.
    TRDownloader::downloader()->discardResumeData(task);
    DB::removeTask(task);
  }
  forget(item);
  if (!item->noNeedStartNext()) startNextDownload();
}

void TRDownloadManagerPrivate::pauseAll() {
  for (const auto& item : DB::fetchAllDownloadingItemWithUid(uid())) {
    const auto status = item->downloadStatus();
    if (status != kWaiting && status != kDownloading) continue;
    item->setNoNeedStartNext(true);
    pauseItem(item);
  }
}

void TRDownloadManagerPrivate::resumeAll() {
  for (const auto& item : DB::fetchAllDownloadingItemWithUid(uid())) {
    const auto status = item->downloadStatus();
    if (status == kPaused || status == kFailed) resumeItem(item);
  }
  DB::saveAllData();
}

void TRDownloadManagerPrivate::removeAll() {
  for (const auto& item : DB::fetchAllDownloadItemWithUid(uid())) {
    item->setNoNeedStartNext(true);
    stopItem(item);
  }
}

void TRDownloadManagerPrivate::forget(const ItemPtr& item) {
  dropFrom(runItems_, item);
  dropFrom(waitItems_, item);
}
