#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "download/TRDownloadTask.h"
#include "platform/Dispatch.h"
#include "platform/UrlSession.h"

// The one background transfer session of the process, turning stored tasks into transfers.
// Everything here runs on the main queue: callers use it from the main thread, and the
// session delivers its events there.
class TRDownloader : public orsa::platform::UrlSessionDelegate,
                     public std::enable_shared_from_this<TRDownloader> {
 public:
  // The shared instance, created on first use.
  static std::shared_ptr<TRDownloader> downloader();

  // A new task for the URL (a fresh file id, so a fresh task id), stored; not started.
  std::shared_ptr<TRDownloadTask> downloadWithUrl(const std::string& url,
                                                  TRProgressHandler progress,
                                                  TRCompletionHandler completion);
  std::shared_ptr<TRDownloadTask> downloadWithRequest(const orsa::platform::UrlRequest& request,
                                                      TRProgressHandler progress,
                                                      TRCompletionHandler completion,
                                                      float priority = 0);
  std::shared_ptr<TRDownloadTask> resumeDownloadTaskWithTid(const std::string& taskId,
                                                            TRProgressHandler progress,
                                                            TRCompletionHandler completion);
  bool resumeTask(const std::shared_ptr<TRDownloadTask>& task);
  void pauseTask(const std::shared_ptr<TRDownloadTask>& task);
  void cancelTask(const std::shared_ptr<TRDownloadTask>& task);

  bool allowsCellularAccess() const;
  void setAllowsCellularAccess(bool allow);

  // The host's background-events completion handler for a session identifier.
  void addCompletionHandler(std::function<void()> handler, const std::string& identifier);
  void endBGCompletedHandler();

  uint64_t taskCachekMode() const;
  void setTaskCachekMode(uint64_t mode);

  // "<bundle identifier>.BGS.TRDownloader".
  std::string sessionIdentifier() const;
  std::shared_ptr<orsa::platform::UrlSession> session() const;
  // True while a session rebuild is in progress.
  bool isNeedCreateSession() const;

  // Remaining background time a host reports (seconds); none while the application is in the
  // foreground, which is the default on hosts that have no background notion.
  static void setBackgroundTimeRemainingProvider(std::function<double()> provider);
};
