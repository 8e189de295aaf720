#include "download/TRDownloadItem.h"

using U = TRDownloadUtils;

TRDownloadItem::TRDownloadItem(Key)
    : version_(kTRDownloaderVersion), createTime_(U::sec_timestamp()) {}

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

#define TR_GET(type, name, member)    \
  type TRDownloadItem::name() const { \
    std::lock_guard lock(mutex_);     \
    return member;                    \
  }
#define TR_SET(type, name, member)    \
  void TRDownloadItem::name(type v) { \
    std::lock_guard lock(mutex_);     \
    member = std::move(v);            \
  }

TR_GET(bool, enableSpeed, enableSpeed_)
TR_SET(bool, setEnableSpeed, enableSpeed_)
TR_GET(std::string, taskId, taskId_)
TR_SET(std::string, setTaskId, taskId_)
TR_GET(std::string, fileId, fileId_)
TR_GET(std::string, downloadURL, downloadURL_)
TR_GET(std::string, version, version_)
TR_GET(int64_t, fileSize, fileSize_)
TR_GET(int64_t, downloadedSize, downloadedSize_)
TR_GET(std::vector<uint8_t>, extraData, extraData_)
TR_SET(std::vector<uint8_t>, setExtraData, extraData_)
TR_GET(uint64_t, downloadStatus, downloadStatus_)
TR_SET(uint64_t, setDownloadStatus, downloadStatus_)
TR_GET(std::string, fileType, fileType_)
TR_SET(std::string, setFileType, fileType_)
TR_GET(std::string, uid, uid_)
TR_SET(std::string, setUid, uid_)
TR_GET(std::string, rootPath, rootPath_)
TR_SET(std::string, setRootPath, rootPath_)
TR_GET(int64_t, pid, pid_)
TR_SET(int64_t, setPid, pid_)
TR_GET(std::string, fileExtension, fileExtension_)
TR_SET(std::string, setFileExtension, fileExtension_)
TR_GET(uint64_t, createTime, createTime_)

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
