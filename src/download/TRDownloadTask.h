#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/TRDownloadUtils.h"
#include "platform/Error.h"
#include "platform/UrlSession.h"

class TRDownloadTask;

// Byte counts of a download; the total is -1 while unknown.
struct TRProgress {
  int64_t totalUnitCount = orsa::platform::kTransferSizeUnknown;
  int64_t completedUnitCount = 0;
  // 0 while the total is unknown or 0.
  double fractionCompleted() const;
};

using TRProgressHandler =
    std::function<void(const TRProgress& progress, const std::shared_ptr<TRDownloadTask>& task)>;
// (path of the finished file, none) or (none, error). The file exists only until the callback
// returns.
using TRCompletionHandler = std::function<void(const std::optional<std::string>& localPath,
                                               const std::optional<orsa::platform::Error>& error)>;
using TRInterruptionHandler = std::function<void(const orsa::platform::Error& error)>;

// One download job as the store keeps it. The store hands out one live object per task id, so
// the downloader, the manager and the items share it across threads: every field is read and
// written under the object's own lock (the store writes it back on its queue while the main
// thread updates sizes).
class TRDownloadTask {
  struct Key {
    explicit Key() = default;
  };

 public:
  // The MD5 of "url-fileId", or of the URL alone when the file id is empty.
  static std::string taskIdForUrl(std::string_view url, std::string_view fileId);
  // A task with this id and URL, its creation time and version set.
  static std::shared_ptr<TRDownloadTask> make(std::string taskId, std::string downloadURL);
  // A task built from a stored row, the row's values assigned by column name; none without
  // a task id.
  static std::shared_ptr<TRDownloadTask> taskWithDict(const TRDBRow& row);

  explicit TRDownloadTask(Key);
  TRDownloadTask(const TRDownloadTask&) = delete;
  TRDownloadTask& operator=(const TRDownloadTask&) = delete;

  std::string taskId() const;
  std::string downloadURL() const;
  int64_t stid() const;
  void setStid(int64_t stid);
  float priority() const;
  void setPriority(float priority);
  int64_t fileSize() const;
  void setFileSize(int64_t size);
  int64_t downloadedSize() const;
  void setDownloadedSize(int64_t size);
  std::string version() const;
  void setVersion(std::string version);
  std::string tmpName() const;
  void setTmpName(std::string name);
  std::vector<uint8_t> resumeData() const;
  void setResumeData(std::vector<uint8_t> data);
  std::vector<uint8_t> extraData() const;
  void setExtraData(std::vector<uint8_t> data);
  int64_t pid() const;
  void setPid(int64_t pid);
  uint64_t createTime() const;

  // ---- not stored: what the downloader keeps while the process runs ----
  bool needToRestart() const;
  void setNeedToRestart(bool value);
  bool isDeleted() const;
  // The error of the last transfer that ended with resume data (cut by the network), if any.
  std::optional<orsa::platform::Error> lastError() const;
  void setLastError(std::optional<orsa::platform::Error> error);
  void setIsDeleted(bool value);
  // Created on first use with an unknown total.
  TRProgress progress() const;
  void setProgress(const TRProgress& progress);
  TRProgressHandler progressHandler() const;
  void setProgressHandler(TRProgressHandler handler);
  TRCompletionHandler completionHandler() const;
  void setCompletionHandler(TRCompletionHandler handler);
  // Told when the transfer broke off and its resume data was kept for a later resume: the
  // completion handler then stays silent until the task ends for good.
  TRInterruptionHandler interruptionHandler() const;
  void setInterruptionHandler(TRInterruptionHandler handler);
  // Rebuilt from downloadURL when none was set.
  orsa::platform::UrlRequest request() const;
  void setRequest(std::optional<orsa::platform::UrlRequest> request);
  std::shared_ptr<orsa::platform::UrlSessionDownloadTask> downloadTask() const;
  // Also applies the task's priority to the transfer.
  void setDownloadTask(std::shared_ptr<orsa::platform::UrlSessionDownloadTask> transfer);

  // The attached transfer's state (running 0 ... completed 3), -1 without one.
  int state() const;
  bool isRunning() const;
  bool isFinished() const;
  bool isSupportRange() const;
  // fileSize from the attached response's expected content length.
  void updateTask();
  std::string description() const;

  // The stored field of that name (absent for an unknown name), and the assignment of a
  // stored column to its field (unknown columns are ignored).
  TRDBValue storedValue(std::string_view field) const;
  void setStoredValue(std::string_view column, const TRDBValue& value);

 private:
  mutable std::mutex mutex_;
  std::string taskId_;
  std::string downloadURL_;
  int64_t stid_ = -1;
  float priority_ = 0;
  int64_t fileSize_ = 0;
  int64_t downloadedSize_ = 0;
  std::string version_;
  std::string tmpName_;
  std::vector<uint8_t> resumeData_;
  std::vector<uint8_t> extraData_;
  int64_t pid_ = 0;
  uint64_t createTime_ = 0;

  bool needToRestart_ = false;
  bool isDeleted_ = false;
  std::optional<orsa::platform::Error> lastError_;
  TRProgress progress_;
  TRProgressHandler progressHandler_;
  TRCompletionHandler completionHandler_;
  TRInterruptionHandler interruptionHandler_;
  std::optional<orsa::platform::UrlRequest> request_;
  std::shared_ptr<orsa::platform::UrlSessionDownloadTask> downloadTask_;
};
