#include "orsa/TRDownloadManager.h"

#include <fmt/printf.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "download/TRDownloadDB.h"
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
  created->initManager();
  return created;
}

std::shared_ptr<TRDownloadManager> TRDownloadManager::manager() {
  std::lock_guard lock(gInstanceMutex);
  return gInstance;
}

TRDownloadManager::TRDownloadManager(Key, TRDConfig config) : config_(std::move(config)) {
  auto& center = orsa::platform::NotificationCenter::defaultCenter();
  // The manager lives for the rest of the process; the observers reach it through the
  // instance so they never hold it.
  observers_.push_back(center.addObserver(kDownloadTaskFinishedNoti, nullptr, [](const auto& note) {
    auto item = std::any_cast<ItemPtr>(&note.object);
    if (auto mgr = manager(); mgr && item && *item) mgr->downloadTaskFinishNoti(*item);
  }));
  observers_.push_back(center.addObserver(orsa::platform::kWillTerminate, nullptr, [](const auto&) {
    if (auto mgr = manager()) mgr->appWillTerminate();
  }));
}

TRDownloadManager::~TRDownloadManager() {
  for (auto token : observers_)
    orsa::platform::NotificationCenter::defaultCenter().removeObserver(token);
}

void TRDownloadManager::initManager() {
  setUid(config_.uid);
  TRDownloader::downloader()->setTaskCachekMode(config_.taskCachekMode);
  restore();
}

void TRDownloadManager::restore() {
  const bool autoResume = config_.launchAutoResumeDownload;
  for (const auto& item : DB::fetchAllDownloadItemWithUid(uid())) {
    downloadFinishedWithItem(item);
    auto task = taskWithItem(item);
    const bool running = task && task->isRunning();
    if (item->downloadStatus() == kDownloading || (running && autoResume)) {
      item->setDownloadStatus(kDownloading);
      if (task) {
        task->setProgressHandler(item->progressHandler());
        task->setCompletionHandler(item->completionHandler());
      }
      if (running) {
        append(runItems_, item);
      } else {
        // A transfer that did not survive holds no slot: paused, or queued again so it
        // continues from its partial file.
        item->setDownloadStatus(autoResume ? kWaiting : kPaused);
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
  if (auto m = manager()) m->setUid(uid);
}

ItemPtr TRDownloadManager::startDownloadWithUrl(const std::string& url) {
  return startDownloadWithUrl(url, "", orsa::platform::kTaskPriorityDefault, std::nullopt);
}

ItemPtr TRDownloadManager::startDownloadWithUrl(
    const std::string& url, const std::string& fileId, float priority,
    const std::optional<std::vector<uint8_t>>& extraData) {
  auto m = manager();
  if (!m) return nullptr;
  auto item = TRDownloadItem::itemWithUrl(url, fileId);
  if (extraData) item->setExtraData(*extraData);
  m->startItem(item, priority);
  return item;
}

void TRDownloadManager::startDownloadWithItem(const ItemPtr& item) {
  startDownloadWithItem(item, orsa::platform::kTaskPriorityDefault);
}

void TRDownloadManager::startDownloadWithItem(const ItemPtr& item, float priority) {
  if (auto m = manager()) m->startItem(item, priority);
}

void TRDownloadManager::pauseDownloadWithItem(const ItemPtr& item) {
  if (auto m = manager(); m && item) m->pauseItem(item);
}

void TRDownloadManager::resumeDownloadWithItem(const ItemPtr& item) {
  if (auto m = manager(); m && item) m->resumeItem(item);
}

void TRDownloadManager::stopDownloadWithItem(const ItemPtr& item) {
  if (auto m = manager()) m->stopItem(item);
}

void TRDownloadManager::pauseAllDownloadTask() {
  if (auto m = manager()) m->pauseAll();
}

void TRDownloadManager::resumeAllDownloadTask() {
  if (auto m = manager()) m->resumeAll();
}

void TRDownloadManager::removeAllCache() {
  if (auto m = manager()) m->removeAll();
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
  auto m = manager();
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

std::string TRDownloadManager::uid() const {
  return uid_ && !uid_->empty() ? *uid_ : kTRDefaultDownloadUid;
}

void TRDownloadManager::setUid(const std::string& uid) {
  if (uid_ && *uid_ == uid) return;
  // The first uid is set while the manager is created, before anything of this process runs:
  // pausing then would only keep restore from queueing the stored items again.
  if (uid_) pauseAll();
  uid_ = uid;
}

Items TRDownloadManager::waitItems() const {
  return {waitItems_.begin(), waitItems_.end()};
}

Items TRDownloadManager::runItems() const {
  return runItems_;
}

bool TRDownloadManager::canResumeDownload() const {
  return runItems_.size() < std::max<uint64_t>(config_.maxTaskCount, 1);
}

bool TRDownloadManager::downloadFinishedWithItem(const ItemPtr& item) {
  const std::string path = item->savePath();
  const int64_t size = U::fileSizeWithPath(path);
  if (size >= 1 && size == item->fileSize()) {
    item->setDownloadedSize(size);
    item->setDownloadStatus(kFinished);
    return true;
  }
  if (item->downloadStatus() == kFinished) {
    say(fmt::sprintf(
        "[downloadFinishedWithItem] status finished to failed, reason: savePath error! %s", path));
    item->setDownloadStatus(kFailed);
  }
  std::error_code ec;
  fs::remove(path, ec);
  return false;
}

void TRDownloadManager::startNextDownload() {
  if (waitItems_.empty()) return;
  auto item = waitItems_.front();
  waitItems_.pop_front();
  resumeItem(item);
}

std::shared_ptr<TRDownloadTask> TRDownloadManager::taskWithItem(const ItemPtr& item) const {
  return item ? DB::taskWithTid(item->taskId()) : nullptr;
}

ItemPtr TRDownloadManager::itemWithTaskId(const std::string& taskId) const {
  return DB::itemWithTaskId(taskId);
}

bool TRDownloadManager::removeItemWithTaskId(const std::string& taskId) const {
  return DB::removeItemWithTaskId(taskId);
}

bool TRDownloadManager::saveDownloadItem(const ItemPtr& item) const {
  return DB::saveItem(item);
}

void TRDownloadManager::appWillTerminate() {
  pauseAll();
}

void TRDownloadManager::downloadTaskFinishNoti(const ItemPtr& item) {
  dropFrom(runItems_, item);
  startNextDownload();
  if (runItems_.empty() && waitItems_.empty()) {
    say("[startNextDownload] all download task finished");
    TRDownloader::downloader()->endBGCompletedHandler();
  }
}

void TRDownloadManager::startItem(const ItemPtr& item, float priority) {
  if (!item) return;
  if (auto stored = DB::itemWithTaskId(item->taskId());
      stored && downloadFinishedWithItem(stored)) {
    say("[startDownloadWithItem] detect item finished!");
    startNextDownload();
    return;
  }
  item->setDownloadStatus(kWaiting);
  item->setUid(uid());
  item->setSaveRootPath(config_.saveRootPath);
  if (item->fileType().empty()) item->setFileType("video");
  orsa::platform::UrlRequest request;
  request.url = item->downloadURL();
  auto task = TRDownloader::downloader()->downloadWithRequest(request, item->progressHandler(),
                                                              item->completionHandler(), priority);
  if (!task) {
    item->downloadStatusChanged(kFailed, nullptr);
    return;
  }
  item->setTaskId(task->taskId());
  DB::saveItem(item);
  resumeItem(item);
}

void TRDownloadManager::resumeItem(const ItemPtr& item, int attempt) {
  if (downloadFinishedWithItem(item)) {
    say(fmt::sprintf("[resumeDownloadWithItem] detect item finished : %s", describe(item)));
    startNextDownload();
    return;
  }
  if (!canResumeDownload()) {
    item->setDownloadStatus(kWaiting);
    append(waitItems_, item);
    return;
  }
  dropFrom(waitItems_, item);
  item->setDownloadStatus(kDownloading);
  auto task = taskWithItem(item);
  if (!task) {
    // Nothing to transfer with (its record is gone): fail it rather than hold a slot.
    item->downloadStatusChanged(kFailed, nullptr);
    return;
  }
  task->setCompletionHandler(item->completionHandler());
  task->setProgressHandler(item->progressHandler());
  if (endingUnheard(task) && attempt < kPauseSettleAttempts) {
    // A pause is still handing its resume data over (it comes on the main queue): resumed now,
    // the task would have neither a live transfer nor the data and fail. The slot is held
    // meanwhile.
    append(runItems_, item);
    orsa::platform::mainQueue()->asyncAfter(kPauseSettleStep, [item, attempt] {
      auto m = manager();
      if (!m || item->isRemoved() || item->downloadStatus() != kDownloading) return;
      if (std::find(m->runItems_.begin(), m->runItems_.end(), item) == m->runItems_.end()) return;
      dropFrom(m->runItems_, item);
      m->resumeItem(item, attempt + 1);
    });
    return;
  }
  if (TRDownloader::downloader()->resumeTask(task)) append(runItems_, item);
}

void TRDownloadManager::pauseItem(const ItemPtr& item) {
  item->setDownloadStatus(kPaused);
  if (auto task = taskWithItem(item)) TRDownloader::downloader()->pauseTask(task);
  DB::saveItem(item);
  forget(item);
  if (!item->noNeedStartNext()) startNextDownload();
}

void TRDownloadManager::stopItem(const ItemPtr& item) {
  if (!item) return;
  item->setIsRemoved(true);
  auto task = taskWithItem(item);
  if (task) TRDownloader::downloader()->cancelTask(task);
  const std::string path = item->savePath();
  std::error_code ec;
  say(fmt::sprintf("[remove item] isExist : %d path: %s", fs::exists(path, ec) ? 1 : 0, path));
  fs::remove(path, ec);
  DB::removeItemWithTaskId(item->taskId());
  if (task) DB::removeTask(task);
  forget(item);
  if (!item->noNeedStartNext()) startNextDownload();
}

void TRDownloadManager::pauseAll() {
  for (const auto& item : DB::fetchAllDownloadingItemWithUid(uid())) {
    const auto status = item->downloadStatus();
    if (status != kWaiting && status != kDownloading) continue;
    item->setNoNeedStartNext(true);
    pauseItem(item);
  }
}

void TRDownloadManager::resumeAll() {
  for (const auto& item : DB::fetchAllDownloadingItemWithUid(uid())) {
    const auto status = item->downloadStatus();
    if (status == kPaused || status == kFailed) resumeItem(item);
  }
  DB::saveAllData();
}

void TRDownloadManager::removeAll() {
  for (const auto& item : DB::fetchAllDownloadItemWithUid(uid())) {
    item->setNoNeedStartNext(true);
    stopItem(item);
  }
}

void TRDownloadManager::forget(const ItemPtr& item) {
  dropFrom(runItems_, item);
  dropFrom(waitItems_, item);
}
