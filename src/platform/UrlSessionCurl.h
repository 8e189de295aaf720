#pragma once

// The transfer service's inside: the session and task classes behind UrlSession, shared by the
// files that implement them. UrlSession.cpp holds the tasks' and sessions' lifecycle,
// UrlSessionDriver.cpp the curl thread (handles, callbacks, responses, files), and
// UrlSessionJournal.cpp what a background session keeps on disk.

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AppContainer.h"
#include "platform/TransferJournal.h"
#include "platform/UrlSession.h"
#include "platform/UrlSessionResume.h"

namespace orsa::platform::detail {

// The open partial file. Shared with the journal writer, which fsyncs it: the descriptor must
// not close (and its number be reused) under that fsync.
struct PartialFile {
  explicit PartialFile(int descriptor) : fd(descriptor) {}
  ~PartialFile() { ::close(fd); }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  // Drops what the file holds. An empty file is left alone: on ext4 a truncation to zero marks
  // the file as "replaced", its close then starts writing the whole download out, and the next
  // fsync of anything on that file system (the journal's) waits for all of it.
  void discard() const {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size > 0) ::ftruncate(fd, 0);
  }
  const int fd;
};

// Journal snapshots replace each other; only the latest still waiting is written, so a slow
// disk never piles up writes behind the transfer. Each snapshot has a generation and an older
// one never overwrites a newer one, so the last write can skip the queue (and the fsyncs of
// partial files in flight there) without being undone by them.
struct JournalWriter {
  struct Snapshot {
    TransferJournal::Contents contents;
    std::vector<std::shared_ptr<PartialFile>> files;
    uint64_t generation = 0;
  };
  std::string path;
  std::mutex mu;
  std::optional<Snapshot> pending;
  bool scheduled = false;
  uint64_t generations = 0;
  std::mutex writeMu;
  uint64_t written = 0;
  bool warned = false;

  void submit(std::shared_ptr<JournalWriter> self, Snapshot snapshot);
  // On the calling thread, replacing whatever waits.
  void writeNow(Snapshot snapshot);
  void drain();
  void write(const Snapshot& snapshot);
};

class CurlSession;

class CurlTask final : public UrlSessionDownloadTask,
                       public std::enable_shared_from_this<CurlTask> {
 public:
  CurlTask(std::weak_ptr<CurlSession> session, uint64_t identifier, UrlRequest request,
           bool download, DataCompletion completion)
      : session_(std::move(session)),
        identifier_(identifier),
        download_(download),
        original_(request),
        current_(std::move(request)),
        completion_(std::move(completion)) {}

  uint64_t taskIdentifier() const override { return identifier_; }
  TransferState state() const override {
    std::lock_guard lock(mu_);
    return state_;
  }
  UrlRequest originalRequest() const override {
    std::lock_guard lock(mu_);
    return original_;
  }
  UrlRequest currentRequest() const override {
    std::lock_guard lock(mu_);
    return current_;
  }
  std::optional<UrlResponse> response() const override {
    std::lock_guard lock(mu_);
    return response_;
  }
  float priority() const override {
    std::lock_guard lock(mu_);
    return priority_;
  }
  void setPriority(float priority) override {
    std::lock_guard lock(mu_);
    priority_ = std::clamp(priority, 0.0f, 1.0f);
  }
  int64_t countOfBytesReceived() const override {
    std::lock_guard lock(mu_);
    return received_;
  }
  int64_t countOfBytesExpectedToReceive() const override {
    std::lock_guard lock(mu_);
    return expected_;
  }
  void resume() override;
  void suspend() override;
  void cancel() override;
  void cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> completion) override;
  std::weak_ptr<UrlSession> session() const override;

 private:
  friend class CurlSession;

  // The state of a partial download, for a task nobody else sees yet.
  void continueFrom(const UrlSessionResume& partial) {
    tempName_ = partial.tempFileName;
    offset_ = written_ = partial.bytesReceived;
    totalOnRecord_ = partial.totalBytes;
    entityTag_ = partial.entityTag;
    lastModified_ = partial.lastModified;
    rangesSupported_ = true;
    received_ = partial.bytesReceived;
    expected_ = partial.totalBytes;
  }

  // Moves from Running or Suspended to Canceling; false when already ending.
  bool beginCancel() {
    std::lock_guard lock(mu_);
    if (state_ == TransferState::Canceling || state_ == TransferState::Completed) return false;
    state_ = TransferState::Canceling;
    return true;
  }

  const std::weak_ptr<CurlSession> session_;
  const uint64_t identifier_;
  const bool download_;

  mutable std::mutex mu_;
  TransferState state_ = TransferState::Suspended;
  UrlRequest original_;
  UrlRequest current_;
  std::optional<UrlResponse> response_;
  float priority_ = kTaskPriorityDefault;
  int64_t received_ = 0;
  int64_t expected_ = kTransferSizeUnknown;

  // Everything below belongs to the session's driver thread.
  DataCompletion completion_;
  CURL* easy_ = nullptr;
  curl_slist* requestHeaders_ = nullptr;
  char errorText_[CURL_ERROR_SIZE] = {};
  bool started_ = false;
  bool paused_ = false;
  bool finished_ = false;
  // The response now arriving: its status line, header fields, whether its header block ended
  // and how much of its body came.
  long lineStatus_ = 0;
  HeaderList headers_;
  bool headersEnded_ = false;
  int64_t bodyBytes_ = 0;
  bool responseSeen_ = false;
  int64_t responseLength_ = kTransferSizeUnknown;  // its Content-Length
  long status_ = 0;
  Bytes body_;
  std::string tempName_;
  std::shared_ptr<PartialFile> file_;
  int64_t offset_ = 0;   // bytes of the partial file this transfer asks to continue from
  int64_t written_ = 0;  // bytes of the partial file that are good, with those in pending_
  Bytes pending_;        // received, not yet written: one write per megabyte, not per chunk
  int64_t totalOnRecord_ = kTransferSizeUnknown;
  std::string entityTag_;
  std::string lastModified_;
  bool rangesSupported_ = false;
  bool discardBody_ = false;  // a 416 for a file already whole
  bool startOver_ = false;    // the answer refused the continuation: ask for the whole file
  bool resumeHandedOut_ = false;
  std::optional<TransferError> abortError_;
  int64_t unreportedBytes_ = 0;
  int64_t lastProgress_ = 0;  // currentMillis()
};

class CurlSession final : public UrlSession {
 public:
  CurlSession(UrlSessionConfiguration configuration, std::shared_ptr<UrlSessionDelegate> delegate,
              std::shared_ptr<DispatchQueue> queue);
  ~CurlSession() override;

  void start();

  const UrlSessionConfiguration& configuration() const override { return configuration_; }

  std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithRequest(UrlRequest request) override {
    return addTask(std::move(request), true, nullptr);
  }
  std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithURL(const std::string& url) override {
    UrlRequest request;
    request.url = url;
    return downloadTaskWithRequest(std::move(request));
  }
  std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithResumeData(
      const Bytes& resumeData) override;
  std::shared_ptr<UrlSessionTask> dataTaskWithRequest(UrlRequest request,
                                                      DataCompletion completion) override {
    return addTask(std::move(request), false, std::move(completion));
  }

  std::vector<std::shared_ptr<UrlSessionTask>> allTasks() const override;

  void invalidateAndCancel() override { invalidate(true); }
  void finishTasksAndInvalidate() override { invalidate(false); }

  // Runs command on the driver thread, after the commands posted before it.
  void post(std::function<void()> command);

  // Driver-thread operations the tasks ask for.
  void startOrContinue(const std::shared_ptr<CurlTask>& task);
  void pause(const std::shared_ptr<CurlTask>& task);
  void answerWithoutResumeData(std::function<void(std::optional<Bytes>)> completion) {
    queue_->async([completion = std::move(completion)] { completion(std::nullopt); });
  }
  // Ends the task (its Canceling state already set) with kUrlErrorCancelled, or its abort
  // error; with resumeCompletion, hands that the resume data first.
  void cancelTask(const std::shared_ptr<CurlTask>& task,
                  std::function<void(std::optional<Bytes>)> resumeCompletion);

  // curl callbacks, on the driver thread.
  static size_t onHeader(char* data, size_t size, size_t count, void* context);
  static size_t onBody(char* data, size_t size, size_t count, void* context);

 private:
  std::shared_ptr<CurlSession> self() {
    return std::static_pointer_cast<CurlSession>(shared_from_this());
  }
  // A partial file to continue from is set before the driver can see the task.
  std::shared_ptr<CurlTask> addTask(UrlRequest request, bool download, DataCompletion completion,
                                    const UrlSessionResume* partial = nullptr);
  void invalidate(bool cancel);
  void loadJournal();
  void releaseJournal();
  void driverLoop();
  void finishTransfer(CURL* easy, CURLcode result);
  // Drops the partial file and asks again for the whole file, on the task's own handle.
  void startOver(const std::shared_ptr<CurlTask>& task);
  void releaseHandle(CurlTask& task);
  void settle(const std::shared_ptr<CurlTask>& task);
  void checkFinishing();
  void becomeInvalid();

  // Delivers an event on the delegate queue; the delegate is read when the event runs, so
  // nothing reaches it after it was released.
  void deliver(std::function<void(UrlSessionDelegate*)> event);

  void onResponse(CurlTask& task);
  // The failure of a transfer curl saw end well: a header block or a body cut short.
  std::optional<TransferError> cutShort(const CurlTask& task) const;
  void reportProgress(const std::shared_ptr<CurlTask>& task);
  // Writes what is buffered; false (with the task's abort error set) when the disk refuses.
  static bool flushFile(CurlTask& task);
  void recycleBuffer(CurlTask& task);
  void writeJournal(bool now = false);
  bool canResume(const CurlTask& task) const {
    return task.download_ && !task.tempName_.empty() && task.rangesSupported_ &&
           (!task.entityTag_.empty() || !task.lastModified_.empty());
  }
  UrlSessionResume resumeState(const CurlTask& task) const;
  std::string tempPath(const std::string& name) const {
    return AppContainer::temporaryDirectory() + "/" + name;
  }

  const UrlSessionConfiguration configuration_;
  const std::shared_ptr<DispatchQueue> queue_;

  mutable std::mutex mu_;
  std::shared_ptr<UrlSessionDelegate> delegate_;
  std::map<uint64_t, std::shared_ptr<CurlTask>> tasks_;
  uint64_t nextIdentifier_ = 1;
  std::vector<std::function<void()>> commands_;
  bool invalidating_ = false;
  bool exited_ = false;

  // Driver thread only.
  CURLM* const multi_;
  std::map<CURL*, std::shared_ptr<CurlTask>> active_;
  // Write buffers of ended transfers, for the next ones: a fresh megabyte costs a mapping and
  // a page fault per page, which is most of what a short transfer costs. Driver thread only.
  std::vector<Bytes> spareBuffers_;
  bool finishing_ = false;
  bool invalid_ = false;
  std::shared_ptr<JournalWriter> journal_;
  bool journalDirty_ = false;
  int64_t lastJournal_ = 0;
};

}  // namespace orsa::platform::detail
