#include "download/TRDownloader.h"

#include <fmt/format.h>
#include <fmt/printf.h>

#include <algorithm>
#include <cfloat>

#include "download/TRDownloadDB.h"
#include "download/TRResumeData.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Digest.h"
#include "platform/HostInfo.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

namespace P = orsa::platform;
using DB = TRDownloadDB;
using U = TRDownloadUtils;

namespace {

constexpr const char* kCellularKey = "kIsAllowCellar";
// Less background time than this left: give the session back before the system ends the app.
constexpr double kBackgroundTimeReserve = 15.0;

void say(const std::string& line) {
  P::consoleWrite(line);
}

P::Error makeError(std::string message, int64_t code) {
  return P::Error{message, code, message};
}

std::string describe(const P::Error& e) {
  return fmt::format("Error Domain={} Code={} \"{}\"", e.domain, e.code, e.description);
}

bool isDownloadStatus(long status) {
  return status == 200 || status == 206;
}

long statusOf(const P::UrlSessionTask& transfer) {
  auto response = transfer.response();
  return response && response->isHttp ? response->statusCode : -1;
}

// A resumed transfer's response announces only the remaining range; the transfer knows the
// whole file's size, which is what the finished file is compared with. kTransferSizeUnknown
// when the server did not say (a chunked answer, or one ended by closing the connection).
int64_t expectedWholeSize(const P::UrlSessionTask& transfer) {
  int64_t whole = transfer.countOfBytesExpectedToReceive();
  if (whole > 0) return whole;
  auto response = transfer.response();
  return response && response->expectedContentLength >= 0 ? response->expectedContentLength
                                                          : P::kTransferSizeUnknown;
}

// The transfer service's partial file that resume data names, inside its temporary folder.
void removePartialFile(const std::vector<uint8_t>& resumeData) {
  if (resumeData.empty()) return;
  const std::string name = TRResumeData(resumeData).tempName();
  if (!U::isSafeName(name)) return;
  const std::string dir = orsa::platform::AppContainer::temporaryDirectory();
  U::removeInside(dir, dir + "/" + name);
}

std::mutex gProviderMutex;
std::function<double()> gBackgroundTimeRemaining;

}  // namespace

std::shared_ptr<TRDownloader> TRDownloader::downloader() {
  // Never destroyed: the session's threads and the host's callbacks may outlive static
  // destruction at exit.
  static const auto* instance = [] {
    auto* created = new std::shared_ptr<TRDownloader>(std::make_shared<TRDownloader>());
    (*created)->setUp();
    return created;
  }();
  return *instance;
}

void TRDownloader::setUp() {
  say("[TRDownloader init]");
  createSession();
  memCache_.clear();
  bgRCSTasks_.clear();
  recoveryExceptionTasks();
  std::weak_ptr<TRDownloader> weak = shared_from_this();
  auto& center = P::NotificationCenter::defaultCenter();
  center.addObserver(P::kDidBecomeActive, P::mainQueue(), [weak](const P::Notification&) {
    if (auto self = weak.lock()) self->appWillBecomActive();
  });
  center.addObserver(P::kWillResignActive, P::mainQueue(),
                     [](const P::Notification&) { DB::saveAllData(); });
}

std::string TRDownloader::sessionIdentifier() const {
  return P::HostInfo::get().bundleIdentifier + ".BGS.TRDownloader";
}

std::shared_ptr<P::UrlSession> TRDownloader::session() const {
  return session_;
}

bool TRDownloader::isNeedCreateSession() const {
  return isNeedCreateSession_;
}

void TRDownloader::createSession() {
  // Another process holds the background identifier (and with it the journal of its
  // transfers): this one must not adopt, finish or delete anything of them.
  if (auto refused = P::UrlSession::claimBackgroundIdentifier(sessionIdentifier())) {
    session_ = nullptr;
    sessionInUse_ = true;
    say("[createSession] " + describe(*refused));
    return;
  }
  auto configuration = P::UrlSessionConfiguration::background(sessionIdentifier());
  configuration.allowsCellularAccess = allowsCellularAccess();
  session_ = P::UrlSession::make(std::move(configuration), shared_from_this(), P::mainQueue());
}

bool TRDownloader::sessionInUse() const {
  return sessionInUse_;
}

void TRDownloader::recoveryExceptionTasks() {
  if (!session_) return;
  for (const auto& held : session_->allTasks()) {
    auto transfer = std::dynamic_pointer_cast<Transfer>(held);
    auto stored = DB::taskWithStid(static_cast<int64_t>(held->taskIdentifier()));
    if (!transfer || stored.empty()) {
      quietEndings_[held.get()] = {held, nullptr};
      held->cancel();
      continue;
    }
    const auto& task = stored.front();
    memCacheDownloadTask(transfer, task);
    if (!task->isRunning()) pauseTask(task);
  }
}

void TRDownloader::memCacheDownloadTask(const TransferPtr& transfer, const TaskPtr& task) {
  task->setDownloadTask(transfer);
  task->setStid(static_cast<int64_t>(transfer->taskIdentifier()));
  memCache_[transfer.get()] = {transfer, task};
  DB::saveTask(task);
}

void TRDownloader::removeMembCacheTask(const P::UrlSessionTask* transfer, const TaskPtr& task) {
  task->setStid(-1);
  memCache_.erase(transfer);
}

std::shared_ptr<TRDownloadTask> TRDownloader::downloadWithUrl(const std::string& url,
                                                              TRProgressHandler progress,
                                                              TRCompletionHandler completion) {
  P::UrlRequest request;
  request.url = url;
  return downloadWithRequest(request, std::move(progress), std::move(completion));
}

std::shared_ptr<TRDownloadTask> TRDownloader::downloadWithRequest(const P::UrlRequest& request,
                                                                  TRProgressHandler progress,
                                                                  TRCompletionHandler completion,
                                                                  float priority) {
  // A fresh file id per request: the same URL asked for twice makes two tasks.
  auto task = TRDownloadTask::make(
      TRDownloadTask::taskIdForUrl(request.url, orsa::platform::makeUuid()), request.url);
  task->setRequest(request);
  task->setProgressHandler(std::move(progress));
  task->setCompletionHandler(std::move(completion));
  task->setPriority(priority == 0 ? P::kTaskPriorityDefault : priority);
  DB::saveTask(task);
  return task;
}

std::shared_ptr<TRDownloadTask> TRDownloader::resumeDownloadTaskWithTid(
    const std::string& taskId, TRProgressHandler progress, TRCompletionHandler completion) {
  auto task = DB::taskWithTid(taskId);
  if (!task) return nullptr;
  task->setProgressHandler(std::move(progress));
  task->setCompletionHandler(std::move(completion));
  resumeTask(task);
  return task;
}

bool TRDownloader::failResume(const TaskPtr& task, P::Error error) {
  completionDownloadTask(task, std::nullopt, error);
  say("[resumeTask] task resume failed: " + describe(error));
  return false;
}

bool TRDownloader::resumeTask(const TaskPtr& task) {
  if (!task) return false;
  if (!session_)
    return failResume(task, makeError("the downloads of this home are in use by another process",
                                      kTRDownloadErrorInUse));
  if (isNeedCreateSession_) {
    bgRCSTasks_.push_back(task);
    return true;
  }
  auto transfer = task->downloadTask();
  if (auto pausing = transfer ? quietEndings_.find(transfer.get()) : quietEndings_.end();
      pausing != quietEndings_.end() && pausing->second.second == task) {
    // Its resume data is on the way; starting now would find neither it nor a live transfer.
    if (std::find(resumeAfterPause_.begin(), resumeAfterPause_.end(), task) ==
        resumeAfterPause_.end())
      resumeAfterPause_.push_back(task);
    return true;
  }
  auto resumeData = task->resumeData();
  std::optional<P::Error> error;
  if (resumeData.empty() && transfer && transfer->state() == P::TransferState::Suspended) {
    transfer->resume();
    if (checkDownloadTaskState(transfer, task, error)) return true;
    say("[resumeTask] task resume failed: " + describe(*error));
    return false;
  }
  if (transfer && memCache_.count(transfer.get()) && task->isRunning()) return true;
  if (resumeData.empty() && transfer)
    return failResume(task, makeError("resume NSURLSessionDownloadTask error state", 10004));

  if (!resumeData.empty()) {
    try {
      auto repaired = TRResumeData::correctResumeData(resumeData);
      transfer = session_->downloadTaskWithResumeData(repaired ? *repaired : resumeData);
    } catch (const std::exception& e) {
      return failResume(task, makeError(e.what(), 10002));
    }
    if (!transfer)
      return failResume(task, makeError("resume NSURLSessionDownloadTask nil!", 10003));
  } else {
    transfer = session_->downloadTaskWithRequest(task->request());
    if (!transfer)
      return failResume(task, makeError("resume NSURLSessionDownloadTask nil!", 10003));
  }
  memCacheDownloadTask(transfer, task);
  transfer->resume();
  if (!checkDownloadTaskState(transfer, task, error)) {
    say("[resumeTask] task resume failed: " + describe(*error));
    return false;
  }
  if (!resumeData.empty()) {
    say("[resumeTask] task resume success");
    task->setResumeData({});
    DB::saveTask(task);
  }
  return true;
}

bool TRDownloader::checkDownloadTaskState(const TransferPtr& transfer, const TaskPtr& task,
                                          std::optional<P::Error>& error) {
  if (!transfer) return true;
  // A short transfer on a fast link can be over before this check runs: it started, and its
  // completion is already queued to the delegate, which answers the task with the real outcome.
  const auto state = transfer->state();
  if (state == P::TransferState::Running || state == P::TransferState::Completed) return true;
  error = makeError(
      fmt::format("task resume failed, downloadTask.state error : {}", static_cast<int>(state)),
      10006);
  // The task has its answer; whatever the transfer does later must not answer again.
  quietEndings_[transfer.get()] = {transfer, nullptr};
  transfer->cancel();
  completionDownloadTask(task, std::nullopt, error);
  return false;
}

void TRDownloader::completionDownloadTask(const TaskPtr& task,
                                          const std::optional<std::string>& localPath,
                                          const std::optional<P::Error>& error) {
  auto transfer = task->downloadTask();
  if (transfer) removeMembCacheTask(transfer.get(), task);
  auto handler = task->completionHandler();
  if (handler) handler(localPath, error);
  if (taskCachekMode_ == 0 && handler) {
    DB::removeTask(task);
  } else {
    task->setStid(-1);
    DB::saveTask(task);
  }
  // The handler may have started the task again on a new transfer; that one stays.
  if (task->downloadTask() == transfer) task->setDownloadTask(nullptr);
}

void TRDownloader::pauseTask(const TaskPtr& task) {
  if (!task) return;
  auto transfer = task->downloadTask();
  if (!transfer) return;
  quietEndings_[transfer.get()] = {transfer, task};
  // The resume data comes again with the transfer's completion, which is where it is kept.
  transfer->cancelByProducingResumeData([](std::optional<P::Bytes>) {});
}

void TRDownloader::keepResumeData(const TaskPtr& task, std::vector<uint8_t> data) {
  double version = TRResumeData::systemVersion();
  if (version >= 11.0 && version < 11.2) {
    if (auto cleaned = TRResumeData::cleanResumeData(data)) data = std::move(*cleaned);
  }
  TRResumeData view(data);
  if (!view.tempName().empty()) task->setTmpName(view.tempName());
  task->setResumeData(std::move(data));
  // Detached before it is saved, so the stored record reads as paused (no transfer id).
  if (auto transfer = task->downloadTask()) removeMembCacheTask(transfer.get(), task);
  task->setStid(-1);
  task->setDownloadTask(nullptr);
  DB::saveTask(task);
}

void TRDownloader::discardResumeData(const TaskPtr& task) {
  if (!task) return;
  removePartialFile(task->resumeData());
  task->setResumeData({});
}

std::shared_ptr<TRDownloadTask> TRDownloader::downloadTaskForUrl(const std::string& url,
                                                                 const std::string& fileId,
                                                                 TRProgressHandler progress,
                                                                 TRCompletionHandler completion) {
  const std::string taskId = TRDownloadTask::taskIdForUrl(url, fileId);
  auto task = DB::taskWithTid(taskId);
  if (!task) {
    task = TRDownloadTask::make(taskId, url);
    task->setPriority(P::kTaskPriorityDefault);
  }
  // A cancelled run of the same task left the flag; this one wants to hear the outcome.
  task->setIsDeleted(false);
  if (!task->downloadTask() && task->resumeData().empty()) {
    // Nothing to continue from: the file is fetched whole, and may have changed meanwhile.
    task->setFileSize(0);
    task->setDownloadedSize(0);
  }
  task->setProgressHandler(std::move(progress));
  task->setCompletionHandler(std::move(completion));
  DB::saveTask(task);
  return task;
}

void TRDownloader::cancelTask(const TaskPtr& task) {
  if (!task) return;
  task->setIsDeleted(true);
  if (auto transfer = task->downloadTask()) transfer->cancel();
}

std::shared_ptr<TRDownloadTask> TRDownloader::taskWithSessionTask(P::UrlSessionTask& transfer) {
  if (auto it = memCache_.find(&transfer); it != memCache_.end()) return it->second.second;
  auto id = static_cast<int64_t>(transfer.taskIdentifier());
  auto url =
      U::urlStrWithDownloadTask(transfer.originalRequest().url, transfer.currentRequest().url);
  for (const auto& task : DB::taskWithStid(id))
    if (task->downloadURL() == url) return task;
  auto byUrl = DB::taskWithUrl(url);
  for (const auto& task : byUrl)
    if (!task->downloadTask() && task->stid() == id) return task;
  return byUrl.empty() ? nullptr : byUrl.front();
}

void TRDownloader::didWriteData(P::UrlSession&, P::UrlSessionDownloadTask& transfer, int64_t,
                                int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
  if (!isDownloadStatus(statusOf(transfer))) return;
  auto task = taskWithSessionTask(transfer);
  if (!task) {
    transfer.cancel();
    return;
  }
  task->setDownloadedSize(totalBytesWritten);
  // The transfer's answer decides the size: a file that changed on the server since the pause
  // came back whole under a fresh 200, and its new size is the one to check.
  const int64_t whole = expectedWholeSize(transfer);
  if (task->fileSize() == 0 || (whole > 0 && whole != task->fileSize())) {
    task->setFileSize(whole);
    // Stored once known, so a task found again after a restart can check its finished file.
    DB::saveTask(task);
  }
  TRProgress progress;
  progress.totalUnitCount =
      totalBytesExpectedToWrite >= 1 ? totalBytesExpectedToWrite : task->fileSize();
  progress.completedUnitCount = totalBytesWritten;
  task->setProgress(progress);
  if (auto handler = task->progressHandler()) handler(progress, task);
}

void TRDownloader::didFinishDownloadingToURL(P::UrlSession&, P::UrlSessionDownloadTask& transfer,
                                             const std::string& location) {
  auto task = taskWithSessionTask(transfer);
  if (!task) return;
  long status = statusOf(transfer);
  if (!isDownloadStatus(status)) {
    task->setDownloadedSize(0);
    say(fmt::format("[didFinishDownloadingToURL] http status code error: {}", status));
    completionDownloadTask(task, std::nullopt, makeError("http status code error", 11002));
    return;
  }
  int64_t size = U::fileSizeWithPath(location);
  // This transfer's answer decides the size, not one stored from an earlier answer: a file that
  // changed on the server since the pause comes back whole under a fresh 200. An unknown length
  // is no length to compare with: the transfer ended cleanly, so what arrived is the file.
  const int64_t whole = expectedWholeSize(transfer);
  task->setFileSize(whole >= 0 ? whole : size);
  if (size >= 1 && size != task->fileSize()) {
    auto message = fmt::format(
        "[TRDownloader didFinishDownloadingToURL] fileSize Error, task fileSize: {} tmp "
        "fileSize: {}",
        task->fileSize(), size);
    say(message);
    completionDownloadTask(task, std::nullopt, makeError(message, 11001));
    return;
  }
  task->setDownloadedSize(size);
  completionDownloadTask(task, location, std::nullopt);
}

void TRDownloader::didComplete(P::UrlSession&, P::UrlSessionTask& transfer,
                               const std::optional<P::TransferError>& error) {
  if (auto quiet = quietEndings_.find(&transfer); quiet != quietEndings_.end()) {
    auto [held, task] = std::move(quiet->second);
    quietEndings_.erase(quiet);
    if (!task) return;
    auto waiting = std::find(resumeAfterPause_.begin(), resumeAfterPause_.end(), task);
    bool resumeNow = waiting != resumeAfterPause_.end();
    if (resumeNow) resumeAfterPause_.erase(waiting);
    auto current = task->downloadTask();
    // Finished before the pause took (its completion is delivered), or started again meanwhile.
    if (!error || (current && current.get() != &transfer)) return;
    if (task->isDeleted()) {
      // Removed while its pause was under way: nothing of it is kept.
      if (error->resumeData) removePartialFile(*error->resumeData);
      if (current) removeMembCacheTask(&transfer, task);
      task->setDownloadTask(nullptr);
      return;
    }
    if (error->resumeData) {
      keepResumeData(task, *error->resumeData);
    } else if (current) {
      // Paused where nothing can be continued: the next resume starts over.
      removeMembCacheTask(&transfer, task);
      task->setDownloadTask(nullptr);
      DB::saveTask(task);
    }
    if (resumeNow && !task->isDeleted()) resumeTask(task);
    return;
  }
  if (!error) return;
  auto task = taskWithSessionTask(transfer);
  if (!task) return;
  if (task->isDeleted()) {
    auto attached = task->downloadTask();
    if (attached && static_cast<P::UrlSessionTask*>(attached.get()) == &transfer) {
      removeMembCacheTask(&transfer, task);
      task->setDownloadTask(nullptr);
    }
    return;
  }
  if (error->resumeData) {
    task->setLastError(static_cast<const P::Error&>(*error));
    keepResumeData(task, *error->resumeData);
    if (auto interrupted = task->interruptionHandler()) interrupted(*error);
    return;
  }
  say("[didCompleteWithError] : " + describe(*error));
  completionDownloadTask(task, std::nullopt, static_cast<const P::Error&>(*error));
}

void TRDownloader::didBecomeInvalid(P::UrlSession& session, const std::optional<P::Error>&) {
  if (&session != session_.get() || !isNeedCreateSession_) return;
  isNeedCreateSession_ = false;
  recreateSession();
  // Started here rather than left for the background-events handler: hosts without background
  // events never call it, and the package loader starts its task while the rebuild runs.
  startParkedTasks();
  if (bgRCSBlock_) {
    auto block = std::move(bgRCSBlock_);
    bgRCSBlock_ = nullptr;
    block();
  }
}

bool TRDownloader::allowsCellularAccess() const {
  return P::UserDefaults::standardUserDefaults()->boolForKey(kCellularKey);
}

void TRDownloader::setAllowsCellularAccess(bool allow) {
  if (allow == allowsCellularAccess()) return;
  auto defaults = P::UserDefaults::standardUserDefaults();
  defaults->setBool(allow, kCellularKey);
  defaults->synchronize();
  prepareRecreateSession();
}

void TRDownloader::prepareRecreateSession() {
  // No session of ours to rebuild while another process holds it.
  if (isNeedCreateSession_ || !session_) return;
  isNeedCreateSession_ = true;
  restartTasks_.clear();
  std::vector<TaskPtr> attached;
  for (const auto& [key, entry] : memCache_) attached.push_back(entry.second);
  for (const auto& task : attached) {
    if (!task->isRunning()) continue;
    task->setNeedToRestart(true);
    restartTasks_.push_back(task);
    pauseTask(task);
  }
  session_->invalidateAndCancel();
}

void TRDownloader::recreateSession() {
  createSession();
  auto tasks = DB::fetchAllDownloadTasks();
  for (const auto& task : restartTasks_)
    if (std::find(tasks.begin(), tasks.end(), task) == tasks.end()) tasks.push_back(task);
  restartTasks_.clear();
  // The old session's transfers are gone with it.
  for (const auto& [key, entry] : memCache_) entry.second->setStid(-1);
  memCache_.clear();
  for (const auto& task : tasks) task->setDownloadTask(nullptr);
  for (const auto& task : tasks) {
    if (!task->needToRestart()) continue;
    task->setNeedToRestart(false);
    resumeTask(task);
  }
  say("[recreateSession] recreate Session success");
}

void TRDownloader::startParkedTasks() {
  auto parked = std::move(bgRCSTasks_);
  bgRCSTasks_.clear();
  for (const auto& task : parked) {
    say("[session invalidated] fix pass!");
    resumeTask(task);
  }
}

void TRDownloader::addCompletionHandler(std::function<void()> handler,
                                        const std::string& identifier) {
  if (identifier != sessionIdentifier()) return;
  completedHandler_ = std::move(handler);
  stopTimer();
  std::weak_ptr<TRDownloader> weak = shared_from_this();
  timerSource_ = P::RepeatingTimer::start(P::mainQueue(), std::chrono::seconds(1), [weak] {
    if (auto self = weak.lock()) self->callTimer();
  });
}

void TRDownloader::callTimer() {
  std::function<double()> provider;
  {
    std::lock_guard lock(gProviderMutex);
    provider = gBackgroundTimeRemaining;
  }
  double remaining = provider ? provider() : DBL_MAX;
  say(fmt::sprintf("[callTimer] background time remain: %f", remaining));
  if (remaining >= kBackgroundTimeReserve || bgRCSBlock_) return;
  say("[callTimer] background time will up, need to call completed hander!");
  std::weak_ptr<TRDownloader> weak = shared_from_this();
  bgRCSBlock_ = [weak] {
    if (auto self = weak.lock()) self->endBGCompletedHandler();
  };
  prepareRecreateSession();
}

void TRDownloader::endBGCompletedHandler() {
  startParkedTasks();
  stopTimer();
  if (auto handler = std::move(completedHandler_)) {
    completedHandler_ = nullptr;
    handler();
  }
}

void TRDownloader::appWillBecomActive() {
  stopTimer();
  if (auto handler = std::move(completedHandler_)) {
    completedHandler_ = nullptr;
    handler();
  }
  bgRCSBlock_ = nullptr;
}

void TRDownloader::stopTimer() {
  if (timerSource_) timerSource_->cancel();
  timerSource_.reset();
}

uint64_t TRDownloader::taskCachekMode() const {
  return taskCachekMode_;
}

void TRDownloader::setTaskCachekMode(uint64_t mode) {
  taskCachekMode_ = mode;
}

void TRDownloader::setBackgroundTimeRemainingProvider(std::function<double()> provider) {
  std::lock_guard lock(gProviderMutex);
  gBackgroundTimeRemaining = std::move(provider);
}
