#include "orsa/TRDownloadItem.h"

#include <fmt/printf.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "download/TRDownloadDB.h"
#include "download/TRDownloadTask.h"
#include "download/TRDownloadUtils.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

namespace fs = std::filesystem;
using U = TRDownloadUtils;
using orsa::platform::AppContainer;

namespace {

void say(const std::string& line) {
  orsa::platform::consoleWrite(line);
}

// Both paths name one directory level each, so "a" + "/b" and "a/" + "b" give the same path;
// a leading "/" of the part must not make it absolute (the root stays under the home).
std::string join(std::string base, std::string_view part) {
  while (!part.empty() && part.front() == '/') part.remove_prefix(1);
  if (part.empty()) return base;
  if (base.empty() || base.back() != '/') base += '/';
  return base.append(part);
}

// The transfer service's temporary file may live on another file system than the save
// directory, where a rename cannot reach.
bool moveFile(const std::string& from, const std::string& to, std::error_code& ec) {
  fs::rename(from, to, ec);
  if (!ec || ec != std::errc::cross_device_link) return !ec;
  ec.clear();
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) return false;
  fs::remove(from, ec);
  ec.clear();
  return true;
}

}  // namespace

TRDownloadItem::TRDownloadItem(Key)
    : version_(kTRDownloaderVersion), createTime_(U::sec_timestamp()) {}

TRDownloadItem::~TRDownloadItem() {
  if (speedTimer_) speedTimer_->cancel();
}

std::shared_ptr<TRDownloadItem> TRDownloadItem::itemWithUrl(std::string url, std::string fileId) {
  auto item = std::make_shared<TRDownloadItem>(Key{});
  item->downloadURL_ = std::move(url);
  item->fileId_ = std::move(fileId);
  return item;
}

std::shared_ptr<TRDownloadItem> TRDownloadItem::itemWithDict(const TRDBRow& row) {
  auto it = row.find("taskId");
  if (it == row.end() || U::textOf(it->second).empty()) return nullptr;
  auto item = std::make_shared<TRDownloadItem>(Key{});
  for (const auto& [column, value] : row) item->setStoredValue(column, value);
  return item;
}

TR_GET(TRDownloadItem, bool, enableSpeed, enableSpeed_)
TR_SET(TRDownloadItem, bool, setEnableSpeed, enableSpeed_)
TR_GET(TRDownloadItem, std::string, taskId, taskId_)
TR_SET(TRDownloadItem, std::string, setTaskId, taskId_)
TR_GET(TRDownloadItem, std::string, fileId, fileId_)
TR_GET(TRDownloadItem, std::string, downloadURL, downloadURL_)
TR_GET(TRDownloadItem, std::string, version, version_)
TR_GET(TRDownloadItem, int64_t, fileSize, fileSize_)
TR_GET(TRDownloadItem, int64_t, downloadedSize, downloadedSize_)
TR_GET(TRDownloadItem, std::vector<uint8_t>, extraData, extraData_)
TR_SET(TRDownloadItem, std::vector<uint8_t>, setExtraData, extraData_)
TR_GET(TRDownloadItem, uint64_t, downloadStatus, downloadStatus_)
TR_SET(TRDownloadItem, int64_t, setDownloadedSize, downloadedSize_)
TR_GET(TRDownloadItem, bool, isRemoved, isRemoved_)
TR_SET(TRDownloadItem, bool, setIsRemoved, isRemoved_)
TR_GET(TRDownloadItem, bool, noNeedStartNext, noNeedStartNext_)
TR_SET(TRDownloadItem, bool, setNoNeedStartNext, noNeedStartNext_)
TR_GET(TRDownloadItem, int64_t, lastErrorCode, lastErrorCode_)
TR_GET(TRDownloadItem, std::string, lastErrorMessage, lastErrorMessage_)
TR_GET(TRDownloadItem, std::string, fileType, fileType_)
TR_SET(TRDownloadItem, std::string, setFileType, fileType_)
TR_GET(TRDownloadItem, std::string, uid, uid_)
TR_SET(TRDownloadItem, std::string, setUid, uid_)
TR_GET(TRDownloadItem, std::string, rootPath, rootPath_)
TR_SET(TRDownloadItem, std::string, setRootPath, rootPath_)
TR_GET(TRDownloadItem, int64_t, pid, pid_)
TR_SET(TRDownloadItem, int64_t, setPid, pid_)
TR_GET(TRDownloadItem, std::string, fileExtension, fileExtension_)
TR_SET(TRDownloadItem, std::string, setFileExtension, fileExtension_)
TR_GET(TRDownloadItem, uint64_t, createTime, createTime_)

TRDBValue TRDownloadItem::storedValue(std::string_view f) const {
  std::lock_guard lock(mutex_);
  if (f == "fileId") return U::valueOf(fileId_);
  if (f == "taskId") return U::valueOf(taskId_);
  if (f == "downloadURL") return U::valueOf(downloadURL_);
  if (f == "uid") return U::valueOf(uid_);
  if (f == "fileType") return U::valueOf(fileType_);
  if (f == "fileExtension") return U::valueOf(fileExtension_);
  if (f == "rootPath") return U::valueOf(rootPath_);
  if (f == "fileSize") return fileSize_;
  if (f == "downloadedSize") return downloadedSize_;
  if (f == "downloadStatus") return static_cast<int64_t>(downloadStatus_);
  if (f == "extraData") return U::valueOf(extraData_);
  if (f == "version") return U::valueOf(version_);
  if (f == "createTime") return static_cast<int64_t>(createTime_);
  if (f == "enableSpeed") return static_cast<int64_t>(enableSpeed_);
  if (f == "pid") return pid_;
  return {};
}

void TRDownloadItem::setStoredValue(std::string_view c, const TRDBValue& v) {
  std::lock_guard lock(mutex_);
  if (c == "fileId")
    fileId_ = U::textOf(v);
  else if (c == "taskId")
    taskId_ = U::textOf(v);
  else if (c == "downloadURL")
    downloadURL_ = U::textOf(v);
  else if (c == "uid")
    uid_ = U::textOf(v);
  else if (c == "fileType")
    fileType_ = U::textOf(v);
  else if (c == "fileExtension")
    fileExtension_ = U::textOf(v);
  else if (c == "rootPath")
    rootPath_ = U::textOf(v);
  else if (c == "fileSize")
    fileSize_ = U::integerOf(v);
  else if (c == "downloadedSize")
    downloadedSize_ = U::integerOf(v);
  else if (c == "downloadStatus")
    downloadStatus_ = static_cast<uint64_t>(U::integerOf(v));
  else if (c == "extraData")
    extraData_ = U::bytesOf(v);
  else if (c == "version")
    version_ = U::textOf(v);
  else if (c == "createTime")
    createTime_ = static_cast<uint64_t>(U::integerOf(v));
  else if (c == "enableSpeed")
    enableSpeed_ = U::integerOf(v) != 0;
  else if (c == "pid")
    pid_ = U::integerOf(v);
}

std::shared_ptr<TRDownloadItemDelegate> TRDownloadItem::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void TRDownloadItem::setDelegate(std::weak_ptr<TRDownloadItemDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

// ---- save location ----

std::string TRDownloadItem::saveRootPath() const {
  const std::string root = rootPath();
  if (root.empty()) return join(AppContainer::cachesDirectory(), "TRDownload");
  return join(AppContainer::home(), root);
}

void TRDownloadItem::setSaveRootPath(const std::string& path) {
  const std::string home = AppContainer::home();
  std::string relative = path;
  for (size_t at; !home.empty() && (at = relative.find(home)) != std::string::npos;)
    relative.erase(at, home.size());
  setRootPath(std::move(relative));
}

std::string TRDownloadItem::saveUidDirectory() const {
  return join(saveRootPath(), uid());
}

std::string TRDownloadItem::saveDirectory() const {
  const std::string type = fileType();
  std::string dir = join(saveUidDirectory(), type.empty() ? "data" : type);
  U::createPathIfNotExist(dir);
  return dir;
}

std::string TRDownloadItem::saveName() const {
  std::lock_guard lock(mutex_);
  return (fileId_.empty() ? taskId_ : fileId_) + "." +
         (fileExtension_.empty() ? "data" : fileExtension_);
}

std::string TRDownloadItem::savePath() const {
  return join(saveDirectory(), saveName());
}

// ---- status, progress and speed ----

void TRDownloadItem::setDownloadStatus(uint64_t status) {
  {
    std::lock_guard lock(mutex_);
    downloadStatus_ = status;
  }
  if (auto d = delegate()) d->downloadItemStatusChanged(shared_from_this());
  calculaterSpeedWithStatus(status);
}

void TRDownloadItem::downloadStatusChanged(uint64_t status,
                                           const std::shared_ptr<TRDownloadTask>& task) {
  {
    std::lock_guard lock(mutex_);
    downloadStatus_ = status;
  }
  auto self = shared_from_this();
  if (auto d = delegate()) d->downloadItemStatusChanged(self);
  if (status == 4 || status == 5) {
    TRDownloadDB::saveItem(self);
    orsa::platform::NotificationCenter::defaultCenter().post(kDownloadTaskFinishedNoti, self);
  }
  calculaterSpeedWithStatus(status);
}

void TRDownloadItem::downloadProgress(const std::shared_ptr<TRDownloadTask>& task,
                                      int64_t downloadedSize, int64_t fileSize) {
  bool learnExtension = false;
  {
    std::lock_guard lock(mutex_);
    if (fileSize_ == 0) fileSize_ = fileSize;
    learnExtension = fileExtension_.empty();
  }
  if (learnExtension) setFileExtensionWithTask(task);
  {
    std::lock_guard lock(mutex_);
    downloadedSize_ = downloadedSize;
  }
  if (auto d = delegate()) d->downloadItem(shared_from_this(), downloadedSize, fileSize);
}

void TRDownloadItem::setFileExtensionWithTask(const std::shared_ptr<TRDownloadTask>& task) {
  auto transfer = task ? task->downloadTask() : nullptr;
  auto response = transfer ? transfer->response() : std::nullopt;
  if (!response || !response->isHttp) {
    say(fmt::sprintf("[warning] downloadTask response class type error: %s",
                     response ? response->url : "(null)"));
    return;
  }
  std::string ext = response->header("Content-Type").value_or("");
  if (auto slash = ext.rfind('/'); slash != std::string::npos) ext.erase(0, slash + 1);
  if (auto semi = ext.find(';'); semi != std::string::npos) ext.erase(semi);
  if (ext.empty()) {
    const std::string name = fs::path(response->suggestedFilename).filename().string();
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) ext = name.substr(dot + 1);
  }
  setFileExtension(std::move(ext));
}

void TRDownloadItem::calculaterSpeedWithStatus(uint64_t status) {
  std::shared_ptr<orsa::platform::RepeatingTimer> stopped;
  {
    std::lock_guard lock(mutex_);
    if (!enableSpeed_) return;
    if (status != 2) {
      stopped = std::move(speedTimer_);
    } else if (!speedTimer_) {
      std::weak_ptr<TRDownloadItem> weak = weak_from_this();
      speedTimer_ = orsa::platform::RepeatingTimer::start(orsa::platform::mainQueue(),
                                                          std::chrono::milliseconds(1000), [weak] {
                                                            if (auto item = weak.lock())
                                                              item->speedTimerRun();
                                                          });
    }
  }
  if (status != 2) {
    if (stopped) stopped->cancel();
    reportSpeed(0, "0KB/s");
  } else {
    speedTimerRun();
  }
}

void TRDownloadItem::speedTimerRun() {
  uint64_t delta = 0;
  {
    std::lock_guard lock(mutex_);
    const auto now = static_cast<uint64_t>(std::max<int64_t>(downloadedSize_, 0));
    if (now > preDSize_) delta = now - preDSize_;
    preDSize_ = now;
  }
  if (delta > 0)
    reportSpeed(delta, U::fileSizeStringFromBytes(static_cast<int64_t>(delta)) + "/s");
  else
    reportSpeed(0, "0KB/s");
}

void TRDownloadItem::reportSpeed(uint64_t speed, const std::string& text) {
  if (auto d = delegate()) d->downloadItem(shared_from_this(), speed, text);
}

// ---- the downloader's callbacks ----

TRProgressHandler TRDownloadItem::progressHandler() {
  std::weak_ptr<TRDownloadItem> weak = weak_from_this();
  return [weak](const TRProgress& progress, const std::shared_ptr<TRDownloadTask>& task) {
    auto item = weak.lock();
    if (!item) return;
    if (item->downloadStatus() == 1) item->setDownloadStatus(2);
    const int64_t total = progress.totalUnitCount < 1 ? 0 : progress.totalUnitCount;
    item->downloadProgress(task, progress.completedUnitCount, total);
  };
}

TRCompletionHandler TRDownloadItem::completionHandler() {
  // Held strongly: a finished transfer must reach its item even when nobody else holds it.
  auto item = shared_from_this();
  return [item](const std::optional<std::string>& localPath,
                const std::optional<orsa::platform::Error>& error) {
    auto task = TRDownloadDB::taskWithTid(item->taskId());
    if (error || !localPath) {
      say(fmt::sprintf("[Item completionHandler] error : %s",
                       error ? fmt::sprintf("%s %lld %s", error->domain,
                                            static_cast<long long>(error->code), error->description)
                             : "(null)"));
      {
        std::lock_guard lock(item->mutex_);
        item->lastErrorCode_ = error ? error->code : 0;
        item->lastErrorMessage_ = error ? error->domain : "no file";
      }
      item->downloadStatusChanged(4, task);
      return;
    }
    if (item->fileExtension().empty()) item->setFileExtensionWithTask(task);
    const std::string savePath = item->savePath();
    std::error_code ec;
    if (fs::exists(savePath, ec)) {
      say(fmt::sprintf("[Item completionHandler] Warning file Exist at path: %s and replaced it!",
                       savePath));
      fs::remove(savePath, ec);
    }
    if (moveFile(*localPath, savePath, ec)) {
      const int64_t size = U::fileSizeWithPath(savePath);
      {
        std::lock_guard lock(item->mutex_);
        item->downloadedSize_ = size;
        item->fileSize_ = size;
      }
      item->downloadStatusChanged(5, task);
    } else {
      {
        std::lock_guard lock(item->mutex_);
        item->lastErrorCode_ = ec.value();
        item->lastErrorMessage_ = ec.message();
      }
      item->downloadStatusChanged(4, task);
      say(fmt::sprintf(
          "[Item completionHandler] move file failed error: %s \nlocalPath: %s \nsavePath:%s",
          ec.message(), *localPath, savePath));
    }
  };
}
