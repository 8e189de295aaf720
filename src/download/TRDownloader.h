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

// A resume refused because another process holds the downloads of this home.
inline constexpr int64_t kTRDownloadErrorInUse = 10007;

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
  // The one task of a URL and a fixed file id: the stored one (with what it has received so
  // far, which its next resume continues from) when there is one, else a new one, stored;
  // given these handlers, not started.
  std::shared_ptr<TRDownloadTask> downloadTaskForUrl(const std::string& url,
                                                     const std::string& fileId,
                                                     TRProgressHandler progress,
                                                     TRCompletionHandler completion);
  std::shared_ptr<TRDownloadTask> resumeDownloadTaskWithTid(const std::string& taskId,
                                                            TRProgressHandler progress,
                                                            TRCompletionHandler completion);
  bool resumeTask(const std::shared_ptr<TRDownloadTask>& task);
  void pauseTask(const std::shared_ptr<TRDownloadTask>& task);
  void cancelTask(const std::shared_ptr<TRDownloadTask>& task);
  // Deletes the partial file the task's resume data names and drops the data (not stored).
  void discardResumeData(const std::shared_ptr<TRDownloadTask>& task);
  // True when another process holds this home's background session: nothing can be
  // downloaded, and every resume fails with kTRDownloadErrorInUse.
  bool sessionInUse() const;

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

  // ---- the session's events (main queue) ----
  void didWriteData(orsa::platform::UrlSession& session,
                    orsa::platform::UrlSessionDownloadTask& transfer, int64_t bytesWritten,
                    int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloadingToURL(orsa::platform::UrlSession& session,
                                 orsa::platform::UrlSessionDownloadTask& transfer,
                                 const std::string& location) override;
  void didComplete(orsa::platform::UrlSession& session, orsa::platform::UrlSessionTask& transfer,
                   const std::optional<orsa::platform::TransferError>& error) override;
  void didBecomeInvalid(orsa::platform::UrlSession& session,
                        const std::optional<orsa::platform::Error>& error) override;

 private:
  using Transfer = orsa::platform::UrlSessionDownloadTask;
  using TransferPtr = std::shared_ptr<Transfer>;
  using TaskPtr = std::shared_ptr<TRDownloadTask>;

  void setUp();
  void createSession();
  void recoveryExceptionTasks();
  void memCacheDownloadTask(const TransferPtr& transfer, const TaskPtr& task);
  void removeMembCacheTask(const orsa::platform::UrlSessionTask* transfer, const TaskPtr& task);
  TaskPtr taskWithSessionTask(orsa::platform::UrlSessionTask& transfer);
  bool checkDownloadTaskState(const TransferPtr& transfer, const TaskPtr& task,
                              std::optional<orsa::platform::Error>& error);
  void completionDownloadTask(const TaskPtr& task, const std::optional<std::string>& localPath,
                              const std::optional<orsa::platform::Error>& error);
  bool failResume(const TaskPtr& task, orsa::platform::Error error);
  void keepResumeData(const TaskPtr& task, std::vector<uint8_t> data);
  void prepareRecreateSession();
  void recreateSession();
  void startParkedTasks();
  void callTimer();
  void appWillBecomActive();
  void stopTimer();

  std::shared_ptr<orsa::platform::UrlSession> session_;
  // Keyed by the transfer's address; the entry holds the transfer, so the address stays its.
  std::unordered_map<const orsa::platform::UrlSessionTask*, std::pair<TransferPtr, TaskPtr>>
      memCache_;
  // Transfers whose ending was asked for here: a pause (with its task, which takes the resume
  // data and reports nothing), an orphan found at start-up or a transfer whose task already
  // has its answer (no task: the ending reaches nobody).
  std::unordered_map<const orsa::platform::UrlSessionTask*,
                     std::pair<std::shared_ptr<orsa::platform::UrlSessionTask>, TaskPtr>>
      quietEndings_;
  std::vector<TaskPtr> bgRCSTasks_;
  std::vector<TaskPtr> restartTasks_;
  // Tasks asked to resume while their pause was still under way; resumed once it ends.
  std::vector<TaskPtr> resumeAfterPause_;
  std::function<void()> bgRCSBlock_;
  std::shared_ptr<orsa::platform::RepeatingTimer> timerSource_;
  bool isNeedCreateSession_ = false;
  bool sessionInUse_ = false;
  uint64_t taskCachekMode_ = 0;
  std::function<void()> completedHandler_;
};
