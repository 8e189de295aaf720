#include "orsa/TRDownloadItem.h"

#include <fmt/printf.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "download/TRDownloadDB.h"
#include "download/TRDownloadItemPrivate.h"
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

// Puts the finished file at `to` in one step: a rename over whatever is there, so the path
// holds either the old file or the new one, never nothing. The transfer service's temporary
// file may live on another file system than the save directory, where a rename cannot reach:
// it is copied next to `to` first and renamed from there.
bool moveFile(const std::string& from, const std::string& to, std::error_code& ec) {
  fs::rename(from, to, ec);
  if (!ec || ec != std::errc::cross_device_link) return !ec;
  ec.clear();
  const std::string staged = to + ".moving";
  if (!fs::copy_file(from, staged, fs::copy_options::overwrite_existing, ec)) {
    std::error_code ignored;
    fs::remove(staged, ignored);
    return false;
  }
  fs::rename(staged, to, ec);
  std::error_code ignored;
  if (ec) {
    fs::remove(staged, ignored);
    return false;
  }
  fs::remove(from, ignored);
  return true;
}

}  // namespace

// The public accessors reach the fields through the private part, under its lock.
#define ITEM_GET(type, name, member)  \
  type TRDownloadItem::name() const { \
    std::lock_guard lock(d_->mutex_); \
    return d_->member;                \
  }
#define ITEM_SET(type, name, member)  \
  void TRDownloadItem::name(type v) { \
    std::lock_guard lock(d_->mutex_); \
    d_->member = std::move(v);        \
  }

TRDownloadItem::TRDownloadItem(Key) : d_(std::make_unique<TRDownloadItemPrivate>(*this)) {}

TRDownloadItem::~TRDownloadItem() = default;

TRDownloadItemPrivate::TRDownloadItemPrivate(TRDownloadItem& owner)
    : q_(owner), version_(kTRDownloaderVersion), createTime_(U::sec_timestamp()) {}

TRDownloadItemPrivate::~TRDownloadItemPrivate() {
  if (speedTimer_) speedTimer_->cancel();
}

std::shared_ptr<TRDownloadItem> TRDownloadItem::itemWithUrl(std::string url, std::string fileId) {
  auto item = std::make_shared<TRDownloadItem>(Key{});
  item->d_->downloadURL_ = std::move(url);
  item->d_->fileId_ = std::move(fileId);
  return item;
}

std::shared_ptr<TRDownloadItem> TRDownloadItemPrivate::itemWithDict(const TRDBRow& row) {
  auto it = row.find("taskId");
  if (it == row.end() || U::textOf(it->second).empty()) return nullptr;
  auto item = std::make_shared<TRDownloadItem>(TRDownloadItem::Key{});
  for (const auto& [column, value] : row) item->d_->setStoredValue(column, value);
  return item;
}

ITEM_GET(bool, enableSpeed, enableSpeed_)
ITEM_GET(std::string, taskId, taskId_)
ITEM_GET(std::string, fileId, fileId_)
ITEM_GET(std::string, downloadURL, downloadURL_)
ITEM_GET(std::string, version, version_)
ITEM_GET(int64_t, fileSize, fileSize_)
ITEM_GET(int64_t, downloadedSize, downloadedSize_)
ITEM_GET(std::vector<uint8_t>, extraData, extraData_)
ITEM_SET(std::vector<uint8_t>, setExtraData, extraData_)
ITEM_GET(uint64_t, downloadStatus, downloadStatus_)
ITEM_GET(bool, isRemoved, isRemoved_)
ITEM_GET(bool, noNeedStartNext, noNeedStartNext_)
ITEM_SET(bool, setNoNeedStartNext, noNeedStartNext_)
ITEM_GET(int64_t, lastErrorCode, lastErrorCode_)
ITEM_GET(std::string, lastErrorMessage, lastErrorMessage_)
ITEM_GET(std::string, fileType, fileType_)
ITEM_SET(std::string, setFileType, fileType_)
ITEM_GET(std::string, uid, uid_)
ITEM_GET(std::string, rootPath, rootPath_)
ITEM_SET(std::string, setRootPath, rootPath_)
ITEM_GET(int64_t, pid, pid_)
ITEM_GET(std::string, fileExtension, fileExtension_)
ITEM_SET(std::string, setFileExtension, fileExtension_)
ITEM_GET(uint64_t, createTime, createTime_)

TR_SET(TRDownloadItemPrivate, std::string, setTaskId, taskId_)
TR_SET(TRDownloadItemPrivate, std::string, setUid, uid_)
TR_SET(TRDownloadItemPrivate, int64_t, setPid, pid_)
TR_SET(TRDownloadItemPrivate, bool, setIsRemoved, isRemoved_)
TR_SET(TRDownloadItemPrivate, int64_t, setDownloadedSize, downloadedSize_)

void TRDownloadItem::setEnableSpeed(bool enable) {
  bool startTicker = false;
  std::shared_ptr<orsa::platform::RepeatingTimer> stopped;
  {
    std::lock_guard lock(d_->mutex_);
    d_->enableSpeed_ = enable;
    if (!enable)
      stopped = std::move(d_->speedTimer_);
    else
      startTicker = d_->downloadStatus_ == 2 && !d_->speedTimer_;
  }
  // The ticker otherwise follows status changes only: an item already downloading (one restored
  // from the store, say) starts its own now.
  if (startTicker) d_->calculaterSpeedWithStatus(2);
  if (stopped) stopped->cancel();
}

TRDBValue TRDownloadItemPrivate::storedValue(std::string_view f) const {
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

void TRDownloadItemPrivate::setStoredValue(std::string_view c, const TRDBValue& v) {
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
  std::lock_guard lock(d_->mutex_);
  return d_->delegate_.lock();
}

void TRDownloadItem::setDelegate(std::weak_ptr<TRDownloadItemDelegate> delegate) {
  std::lock_guard lock(d_->mutex_);
  d_->delegate_ = std::move(delegate);
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
  // Names that are no plain folder names could reach outside the save root: nothing is made.
  if (d_->namesAreSafe()) U::createPathIfNotExist(dir);
  return dir;
}

std::string TRDownloadItem::saveName() const {
  std::lock_guard lock(d_->mutex_);
  return (d_->fileId_.empty() ? d_->taskId_ : d_->fileId_) + "." +
         (d_->fileExtension_.empty() ? "data" : d_->fileExtension_);
}

std::string TRDownloadItem::savePath() const {
  return join(saveDirectory(), saveName());
}

bool TRDownloadItemPrivate::namesAreSafe() const {
  std::lock_guard lock(mutex_);
  for (const std::string* name : {&uid_, &fileType_, &fileId_})
    if (!name->empty() && !U::isSafeName(*name)) return false;
  return true;
}

// ---- status, progress and speed ----

void TRDownloadItemPrivate::setDownloadStatus(uint64_t status) {
  {
    std::lock_guard lock(mutex_);
    downloadStatus_ = status;
  }
  if (auto d = q_.delegate()) d->downloadItemStatusChanged(q_.shared_from_this());
  calculaterSpeedWithStatus(status);
}

void TRDownloadItemPrivate::downloadStatusChanged(uint64_t status,
                                                  const std::shared_ptr<TRDownloadTask>&) {
  {
    std::lock_guard lock(mutex_);
    downloadStatus_ = status;
  }
  auto self = q_.shared_from_this();
  if (auto d = q_.delegate()) d->downloadItemStatusChanged(self);
  if (status == 4 || status == 5) {
    TRDownloadDB::saveItem(self);
    orsa::platform::NotificationCenter::defaultCenter().post(kDownloadTaskFinishedNoti, self);
  }
  calculaterSpeedWithStatus(status);
}

void TRDownloadItemPrivate::downloadProgress(const std::shared_ptr<TRDownloadTask>& task,
                                             int64_t downloadedSize, int64_t fileSize) {
  bool learnExtension = false;
  {
    std::lock_guard lock(mutex_);
    if (fileSize_ == 0 || fileSize > 0) fileSize_ = fileSize;
    learnExtension = fileExtension_.empty();
  }
  if (learnExtension) setFileExtensionWithTask(task);
  {
    std::lock_guard lock(mutex_);
    downloadedSize_ = downloadedSize;
  }
  if (auto d = q_.delegate()) d->downloadItem(q_.shared_from_this(), downloadedSize, fileSize);
}

void TRDownloadItemPrivate::setFileExtensionWithTask(const std::shared_ptr<TRDownloadTask>& task) {
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
  q_.setFileExtension(std::move(ext));
}

void TRDownloadItemPrivate::calculaterSpeedWithStatus(uint64_t status) {
  std::shared_ptr<orsa::platform::RepeatingTimer> stopped;
  {
    std::lock_guard lock(mutex_);
    if (!enableSpeed_) return;
    if (status != 2) {
      stopped = std::move(speedTimer_);
    } else if (!speedTimer_) {
      std::weak_ptr<TRDownloadItem> weak = q_.weak_from_this();
      speedTimer_ = orsa::platform::RepeatingTimer::start(orsa::platform::mainQueue(),
                                                          std::chrono::milliseconds(1000), [weak] {
                                                            if (auto item = weak.lock())
                                                              item->d_->speedTimerRun();
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

void TRDownloadItemPrivate::speedTimerRun() {
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

void TRDownloadItemPrivate::reportSpeed(uint64_t speed, const std::string& text) {
  if (auto d = q_.delegate()) d->downloadItem(q_.shared_from_this(), speed, text);
}

// ---- the downloader's callbacks ----

TRProgressHandler TRDownloadItemPrivate::progressHandler() {
  std::weak_ptr<TRDownloadItem> weak = q_.weak_from_this();
  return [weak](const TRProgress& progress, const std::shared_ptr<TRDownloadTask>& task) {
    auto item = weak.lock();
    if (!item) return;
    if (item->downloadStatus() == 1) item->d_->setDownloadStatus(2);
    const int64_t total = progress.totalUnitCount < 1 ? 0 : progress.totalUnitCount;
    item->d_->downloadProgress(task, progress.completedUnitCount, total);
  };
}

TRCompletionHandler TRDownloadItemPrivate::completionHandler() {
  // Held strongly: a finished transfer must reach its item even when nobody else holds it.
  auto item = q_.shared_from_this();
  return [item](const std::optional<std::string>& localPath,
                const std::optional<orsa::platform::Error>& error) {
    TRDownloadItemPrivate& d = *item->d_;
    auto task = TRDownloadDB::taskWithTid(item->taskId());
    if (error || !localPath) {
      say(fmt::sprintf("[Item completionHandler] error : %s",
                       error ? fmt::sprintf("%s %lld %s", error->domain,
                                            static_cast<long long>(error->code), error->description)
                             : "(null)"));
      {
        std::lock_guard lock(d.mutex_);
        d.lastErrorCode_ = error ? error->code : 0;
        d.lastErrorMessage_ = error ? error->domain : "no file";
      }
      d.downloadStatusChanged(4, task);
      return;
    }
    if (item->fileExtension().empty()) d.setFileExtensionWithTask(task);
    const std::string savePath = item->savePath();
    std::error_code ec;
    if (!d.namesAreSafe() || !U::isInside(item->saveRootPath(), savePath)) {
      say(fmt::sprintf("[Item completionHandler] save path outside the save root refused: %s",
                       savePath));
      {
        std::lock_guard lock(d.mutex_);
        d.lastErrorCode_ = static_cast<int64_t>(std::errc::permission_denied);
        d.lastErrorMessage_ = "save path outside the save root";
      }
      d.downloadStatusChanged(4, task);
      return;
    }
    if (fs::exists(savePath, ec))
      say(fmt::sprintf("[Item completionHandler] Warning file Exist at path: %s and replaced it!",
                       savePath));
    if (moveFile(*localPath, savePath, ec)) {
      const int64_t size = U::fileSizeWithPath(savePath);
      {
        std::lock_guard lock(d.mutex_);
        d.downloadedSize_ = size;
        d.fileSize_ = size;
      }
      d.downloadStatusChanged(5, task);
    } else {
      {
        std::lock_guard lock(d.mutex_);
        d.lastErrorCode_ = ec.value();
        d.lastErrorMessage_ = ec.message();
      }
      d.downloadStatusChanged(4, task);
      say(fmt::sprintf(
          "[Item completionHandler] move file failed error: %s \nlocalPath: %s \nsavePath:%s",
          ec.message(), *localPath, savePath));
    }
  };
}
