#include "download/TRDownloadTask.h"
#include "download/TRDownloadUtils.h"

#include <fmt/format.h>

using U = TRDownloadUtils;

std::string TRDownloadTask::taskIdForUrl(std::string_view url, std::string_view fileId) {
  if (fileId.empty()) return U::md5ForString(url);
  return U::md5ForString(fmt::format("{}-{}", url, fileId));
}

TRDownloadTask::TRDownloadTask(Key)
    : version_(kTRDownloaderVersion), createTime_(U::sec_timestamp()) {}

std::shared_ptr<TRDownloadTask> TRDownloadTask::make(std::string taskId, std::string downloadURL) {
  auto task = std::make_shared<TRDownloadTask>(Key{});
  task->taskId_ = std::move(taskId);
  task->downloadURL_ = std::move(downloadURL);
  return task;
}

std::shared_ptr<TRDownloadTask> TRDownloadTask::taskWithDict(const TRDBRow& row) {
  auto it = row.find("taskId");
  if (it == row.end() || U::textOf(it->second).empty()) return nullptr;
  auto task = std::make_shared<TRDownloadTask>(Key{});
  for (const auto& [column, value] : row) task->setStoredValue(column, value);
  return task;
}

TR_GET(TRDownloadTask, std::string, taskId, taskId_)
TR_GET(TRDownloadTask, std::string, downloadURL, downloadURL_)

// An attached transfer is the authority on its own identifier.
int64_t TRDownloadTask::stid() const {
  std::lock_guard lock(mutex_);
  return downloadTask_ ? static_cast<int64_t>(downloadTask_->taskIdentifier()) : stid_;
}
TR_SET(TRDownloadTask, int64_t, setStid, stid_)
TR_GET(TRDownloadTask, float, priority, priority_)
TR_SET(TRDownloadTask, float, setPriority, priority_)
TR_GET(TRDownloadTask, int64_t, fileSize, fileSize_)
TR_SET(TRDownloadTask, int64_t, setFileSize, fileSize_)
TR_GET(TRDownloadTask, int64_t, downloadedSize, downloadedSize_)
TR_SET(TRDownloadTask, int64_t, setDownloadedSize, downloadedSize_)
TR_GET(TRDownloadTask, std::string, version, version_)
TR_SET(TRDownloadTask, std::string, setVersion, version_)
TR_GET(TRDownloadTask, std::string, tmpName, tmpName_)
TR_SET(TRDownloadTask, std::string, setTmpName, tmpName_)
TR_GET(TRDownloadTask, std::vector<uint8_t>, resumeData, resumeData_)
TR_SET(TRDownloadTask, std::vector<uint8_t>, setResumeData, resumeData_)
TR_GET(TRDownloadTask, std::vector<uint8_t>, extraData, extraData_)
TR_SET(TRDownloadTask, std::vector<uint8_t>, setExtraData, extraData_)
TR_GET(TRDownloadTask, int64_t, pid, pid_)
TR_SET(TRDownloadTask, int64_t, setPid, pid_)
TR_GET(TRDownloadTask, uint64_t, createTime, createTime_)

TRDBValue TRDownloadTask::storedValue(std::string_view f) const {
  std::lock_guard lock(mutex_);
  if (f == "taskId") return U::valueOf(taskId_);
  if (f == "downloadURL") return U::valueOf(downloadURL_);
  if (f == "stid") return stid_;
  if (f == "priority") return static_cast<double>(priority_);
  if (f == "fileSize") return fileSize_;
  if (f == "downloadedSize") return downloadedSize_;
  if (f == "version") return U::valueOf(version_);
  if (f == "tmpName") return U::valueOf(tmpName_);
  if (f == "resumeData") return U::valueOf(resumeData_);
  if (f == "extraData") return U::valueOf(extraData_);
  if (f == "createTime") return static_cast<int64_t>(createTime_);
  if (f == "pid") return pid_;
  return {};
}

void TRDownloadTask::setStoredValue(std::string_view c, const TRDBValue& v) {
  std::lock_guard lock(mutex_);
  if (c == "taskId")
    taskId_ = U::textOf(v);
  else if (c == "downloadURL")
    downloadURL_ = U::textOf(v);
  else if (c == "stid")
    stid_ = U::integerOf(v);
  else if (c == "priority")
    priority_ = static_cast<float>(U::doubleOf(v));
  else if (c == "fileSize")
    fileSize_ = U::integerOf(v);
  else if (c == "downloadedSize")
    downloadedSize_ = U::integerOf(v);
  else if (c == "version")
    version_ = U::textOf(v);
  else if (c == "tmpName")
    tmpName_ = U::textOf(v);
  else if (c == "resumeData")
    resumeData_ = U::bytesOf(v);
  else if (c == "extraData")
    extraData_ = U::bytesOf(v);
  else if (c == "createTime")
    createTime_ = static_cast<uint64_t>(U::integerOf(v));
  else if (c == "pid")
    pid_ = U::integerOf(v);
}

double TRProgress::fractionCompleted() const {
  if (totalUnitCount <= 0) return 0;
  return static_cast<double>(completedUnitCount) / static_cast<double>(totalUnitCount);
}

TR_GET(TRDownloadTask, bool, needToRestart, needToRestart_)
TR_SET(TRDownloadTask, bool, setNeedToRestart, needToRestart_)
TR_GET(TRDownloadTask, bool, isDeleted, isDeleted_)
TR_SET(TRDownloadTask, bool, setIsDeleted, isDeleted_)
TR_GET(TRDownloadTask, std::optional<orsa::platform::Error>, lastError, lastError_)
TR_SET(TRDownloadTask, std::optional<orsa::platform::Error>, setLastError, lastError_)
TR_GET(TRDownloadTask, TRProgress, progress, progress_)
TR_GET(TRDownloadTask, TRProgressHandler, progressHandler, progressHandler_)
TR_SET(TRDownloadTask, TRProgressHandler, setProgressHandler, progressHandler_)
TR_GET(TRDownloadTask, TRCompletionHandler, completionHandler, completionHandler_)
TR_SET(TRDownloadTask, TRCompletionHandler, setCompletionHandler, completionHandler_)
TR_GET(TRDownloadTask, TRInterruptionHandler, interruptionHandler, interruptionHandler_)
TR_SET(TRDownloadTask, TRInterruptionHandler, setInterruptionHandler, interruptionHandler_)
TR_GET(TRDownloadTask, std::shared_ptr<orsa::platform::UrlSessionDownloadTask>, downloadTask,
       downloadTask_)

void TRDownloadTask::setProgress(const TRProgress& progress) {
  std::lock_guard lock(mutex_);
  progress_ = progress;
}

orsa::platform::UrlRequest TRDownloadTask::request() const {
  std::lock_guard lock(mutex_);
  if (request_) return *request_;
  orsa::platform::UrlRequest rebuilt;
  rebuilt.url = downloadURL_;
  return rebuilt;
}

void TRDownloadTask::setRequest(std::optional<orsa::platform::UrlRequest> request) {
  std::lock_guard lock(mutex_);
  request_ = std::move(request);
}

void TRDownloadTask::setDownloadTask(
    std::shared_ptr<orsa::platform::UrlSessionDownloadTask> transfer) {
  std::lock_guard lock(mutex_);
  downloadTask_ = std::move(transfer);
  if (downloadTask_)
    downloadTask_->setPriority(priority_ == 0 ? orsa::platform::kTaskPriorityDefault : priority_);
}

int TRDownloadTask::state() const {
  auto transfer = downloadTask();
  return transfer ? static_cast<int>(transfer->state()) : -1;
}

bool TRDownloadTask::isRunning() const {
  return state() == static_cast<int>(orsa::platform::TransferState::Running);
}

bool TRDownloadTask::isFinished() const {
  std::lock_guard lock(mutex_);
  return fileSize_ != 0 && fileSize_ == downloadedSize_;
}

bool TRDownloadTask::isSupportRange() const {
  auto transfer = downloadTask();
  auto response = transfer ? transfer->response() : std::nullopt;
  if (!response || !response->isHttp) return true;
  auto nonEmpty = [&](std::string_view name) {
    auto value = response->header(name);
    return value && !value->empty();
  };
  return nonEmpty("Accept-Ranges") && nonEmpty("ETag");
}

void TRDownloadTask::updateTask() {
  auto transfer = downloadTask();
  auto response = transfer ? transfer->response() : std::nullopt;
  if (!response) return;
  // A resumed transfer's response announces only the remaining range; the transfer knows the
  // whole file's size, which is what fileSize is compared with when the file is finished.
  int64_t whole = transfer->countOfBytesExpectedToReceive();
  setFileSize(whole > 0 ? whole : response->expectedContentLength);
}

std::string TRDownloadTask::description() const {
  return fmt::format("<TRDownloadTask: {}>{{ taskId: {}, url: {}, stid: {}}}",
                     static_cast<const void*>(this), taskId(), downloadURL(), stid());
}
