#include "download/TRDownloadTask.h"

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

#define TR_GET(type, name, member)    \
  type TRDownloadTask::name() const { \
    std::lock_guard lock(mutex_);     \
    return member;                    \
  }
#define TR_SET(type, name, member)    \
  void TRDownloadTask::name(type v) { \
    std::lock_guard lock(mutex_);     \
    member = std::move(v);            \
  }

TR_GET(std::string, taskId, taskId_)
TR_GET(std::string, downloadURL, downloadURL_)
TR_GET(int64_t, stid, stid_)
TR_SET(int64_t, setStid, stid_)
TR_GET(float, priority, priority_)
TR_SET(float, setPriority, priority_)
TR_GET(int64_t, fileSize, fileSize_)
TR_SET(int64_t, setFileSize, fileSize_)
TR_GET(int64_t, downloadedSize, downloadedSize_)
TR_SET(int64_t, setDownloadedSize, downloadedSize_)
TR_GET(std::string, version, version_)
TR_SET(std::string, setVersion, version_)
TR_GET(std::string, tmpName, tmpName_)
TR_SET(std::string, setTmpName, tmpName_)
TR_GET(std::vector<uint8_t>, resumeData, resumeData_)
TR_SET(std::vector<uint8_t>, setResumeData, resumeData_)
TR_GET(std::vector<uint8_t>, extraData, extraData_)
TR_SET(std::vector<uint8_t>, setExtraData, extraData_)
TR_GET(int64_t, pid, pid_)
TR_SET(int64_t, setPid, pid_)
TR_GET(uint64_t, createTime, createTime_)

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
