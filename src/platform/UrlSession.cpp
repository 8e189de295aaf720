#include "platform/UrlSession.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>

#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Digest.h"
#include "platform/TransferJournal.h"
#include "platform/UrlSessionResume.h"

namespace orsa::platform {
namespace {

// Progress events are merged to this rate: a loopback transfer delivers thousands of chunks a
// second, and the delegate queue is usually the host's main queue.
constexpr int64_t kProgressIntervalMs = 25;
// Byte counts reach the journal (with an fsync of the partial file) at most this often.
constexpr int64_t kJournalIntervalMs = 250;
constexpr long kReceiveBuffer = 512 * 1024;
constexpr size_t kWriteBuffer = 1 << 20;
constexpr int64_t kUrlErrorUnknown = -1;
constexpr int64_t kUrlErrorTooManyRedirects = -1007;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return value;
  }
  return std::nullopt;
}

std::string trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

std::string suggestedName(const HeaderList& headers, const std::string& url) {
  if (auto disposition = findHeader(headers, "Content-Disposition")) {
    const size_t at = disposition->find("filename=");
    if (at != std::string::npos) {
      std::string name = trim(std::string_view(*disposition).substr(at + 9));
      name = name.substr(0, name.find(';'));
      if (name.size() >= 2 && name.front() == '"') name = name.substr(1, name.find('"', 1) - 1);
      name = name.substr(name.find_last_of('/') + 1);
      if (!name.empty()) return name;
    }
  }
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "" : path.substr(slash);
  }
  std::string last = path.substr(path.find_last_of('/') + 1);
  return last.empty() ? "Unknown" : last;
}

// "bytes N-M/T" or "bytes */T"; first is -1 for the unsatisfied form, total -1 for "*".
struct ContentRange {
  int64_t first = -1;
  int64_t total = -1;
};
std::optional<ContentRange> parseContentRange(const std::string& text) {
  long long first = 0, last = 0, total = 0;
  char star = 0;
  if (std::sscanf(text.c_str(), "bytes %lld-%lld/%lld", &first, &last, &total) == 3) {
    return ContentRange{first, total};
  }
  if (std::sscanf(text.c_str(), "bytes %lld-%lld/%c", &first, &last, &star) == 3 && star == '*') {
    return ContentRange{first, -1};
  }
  if (std::sscanf(text.c_str(), "bytes */%lld", &total) == 1) return ContentRange{-1, total};
  return std::nullopt;
}

TransferError transferError(int64_t code, std::string description) {
  TransferError error;
  error.domain = kUrlErrorDomain;
  error.code = code;
  error.description = std::move(description);
  return error;
}

int64_t errorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return kUrlErrorTimedOut;
    case CURLE_COULDNT_CONNECT:
      return kUrlErrorCannotConnectToHost;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return kUrlErrorNetworkConnectionLost;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kUrlErrorCannotFindHost;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kUrlErrorSecureConnectionFailed;
    case CURLE_WRITE_ERROR:
      return kUrlErrorCannotWriteToFile;
    case CURLE_URL_MALFORMAT:
      return kUrlErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kUrlErrorUnsupportedURL;
    case CURLE_TOO_MANY_REDIRECTS:
      return kUrlErrorTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY:
      return kUrlErrorBadServerResponse;
    default:
      return kUrlErrorUnknown;
  }
}

// The open partial file. Shared with the journal writer, which fsyncs it: the descriptor must
// not close (and its number be reused) under that fsync.
struct PartialFile {
  explicit PartialFile(int descriptor) : fd(descriptor) {}
  ~PartialFile() { ::close(fd); }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  const int fd;
};

// Driver threads of sessions nobody invalidated still run while the process exits, so what they
// reach through statics is never destroyed.
std::shared_ptr<DispatchQueue> journalQueue() {
  static const auto* queue =
      new std::shared_ptr<DispatchQueue>(makeSerialQueue("UrlSession.journal", QoS::Utility));
  return *queue;
}

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

  void submit(std::shared_ptr<JournalWriter> self, Snapshot snapshot) {
    std::lock_guard lock(mu);
    snapshot.generation = ++generations;
    pending = std::move(snapshot);
    if (scheduled) return;
    scheduled = true;
    journalQueue()->async([self] { self->drain(); });
  }
  // On the calling thread, replacing whatever waits.
  void writeNow(Snapshot snapshot) {
    {
      std::lock_guard lock(mu);
      snapshot.generation = ++generations;
      pending.reset();
    }
    write(snapshot);
  }
  void drain() {
    while (true) {
      std::optional<Snapshot> next;
      {
        std::lock_guard lock(mu);
        if (!pending) {
          scheduled = false;
          return;
        }
        next.swap(pending);
      }
      write(*next);
    }
  }
  void write(const Snapshot& snapshot) {
    // The bytes a journal entry claims must be on disk before the entry is.
    for (const auto& file : snapshot.files) ::fdatasync(file->fd);
    std::lock_guard lock(writeMu);
    if (snapshot.generation <= written) return;
    written = snapshot.generation;
    if (!TransferJournal::write(path, snapshot.contents) && !warned) {
      warned = true;  // a container removed under a live session would say it four times a second
      consoleWrite(fmt::format("[UrlSession] cannot write the transfer journal {}", path),
                   kConsoleWarning);
    }
  }
};

// Background identifiers with a live session in this process.
std::mutex registryMutex;
std::map<std::string, const void*>& liveIdentifiers() {
  static auto* identifiers = new std::map<std::string, const void*>;
  return *identifiers;
}

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
  HeaderList headers_;  // of the response now arriving
  bool responseSeen_ = false;
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
  bool resumeHandedOut_ = false;
  std::optional<TransferError> abortError_;
  int64_t unreportedBytes_ = 0;
  int64_t lastProgress_ = 0;  // currentMillis()
};

class CurlSession final : public UrlSession {
 public:
  CurlSession(UrlSessionConfiguration configuration, std::shared_ptr<UrlSessionDelegate> delegate,
              std::shared_ptr<DispatchQueue> queue)
      : configuration_(std::move(configuration)),
        queue_(std::move(queue)),
        delegate_(std::move(delegate)),
        multi_(curl_multi_init()) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                      static_cast<long>(std::max(1, configuration_.httpMaximumConnectionsPerHost)));
  }

  ~CurlSession() override { curl_multi_cleanup(multi_); }

  void start() {
    if (!configuration_.identifier.empty()) loadJournal();
    std::thread([self = std::static_pointer_cast<CurlSession>(shared_from_this())] {
      self->driverLoop();
    }).detach();
  }

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

  std::vector<std::shared_ptr<UrlSessionTask>> allTasks() const override {
    std::lock_guard lock(mu_);
    std::vector<std::shared_ptr<UrlSessionTask>> tasks;
    for (const auto& [id, task] : tasks_) {
      if (task->state() != TransferState::Completed) tasks.push_back(task);
    }
    return tasks;
  }

  void invalidateAndCancel() override { invalidate(true); }
  void finishTasksAndInvalidate() override { invalidate(false); }

  // Runs command on the driver thread, after the commands posted before it.
  void post(std::function<void()> command) {
    {
      std::lock_guard lock(mu_);
      if (exited_) return;
      commands_.push_back(std::move(command));
    }
    curl_multi_wakeup(multi_);
  }

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

 private:
  std::shared_ptr<CurlSession> self() {
    return std::static_pointer_cast<CurlSession>(shared_from_this());
  }
  // A partial file to continue from is set before the driver can see the task.
  std::shared_ptr<CurlTask> addTask(UrlRequest request, bool download, DataCompletion completion,
                                    const UrlSessionResume* partial = nullptr);
  void invalidate(bool cancel);
  void loadJournal();
  void driverLoop();
  void finishTransfer(CURL* easy, CURLcode result);
  void releaseHandle(CurlTask& task);
  void settle(const std::shared_ptr<CurlTask>& task);
  void checkFinishing();
  void becomeInvalid();

  // Delivers an event on the delegate queue; the delegate is read when the event runs, so
  // nothing reaches it after it was released.
  void deliver(std::function<void(UrlSessionDelegate*)> event) {
    queue_->async([self = self(), event = std::move(event)] {
      std::shared_ptr<UrlSessionDelegate> delegate;
      {
        std::lock_guard lock(self->mu_);
        delegate = self->delegate_;
      }
      event(delegate.get());
    });
  }

 public:
  // curl callbacks, on the driver thread.
  static size_t onHeader(char* data, size_t size, size_t count, void* context);
  static size_t onBody(char* data, size_t size, size_t count, void* context);
  void onResponse(CurlTask& task);
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

 private:
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

void CurlTask::resume() {
  {
    std::lock_guard lock(mu_);
    if (state_ != TransferState::Suspended) return;
    state_ = TransferState::Running;
  }
  if (auto session = session_.lock()) {
    session->post([session, self = shared_from_this()] { session->startOrContinue(self); });
  }
}

void CurlTask::suspend() {
  {
    std::lock_guard lock(mu_);
    if (state_ != TransferState::Running) return;
    state_ = TransferState::Suspended;
  }
  if (auto session = session_.lock()) {
    session->post([session, self = shared_from_this()] { session->pause(self); });
  }
}

void CurlTask::cancel() {
  if (!beginCancel()) return;
  if (auto session = session_.lock()) {
    session->post([session, self = shared_from_this()] { session->cancelTask(self, nullptr); });
  }
}

void CurlTask::cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> completion) {
  auto session = session_.lock();
  if (!session) return;
  if (!completion) completion = [](std::optional<Bytes>) {};
  if (!beginCancel()) {
    // Already ending: the answer still comes in order, after the events before it.
    session->post([session, completion = std::move(completion)]() mutable {
      session->answerWithoutResumeData(std::move(completion));
    });
    return;
  }
  session->post([session, self = shared_from_this(), completion = std::move(completion)]() mutable {
    session->cancelTask(self, std::move(completion));
  });
}

std::weak_ptr<UrlSession> CurlTask::session() const {
  return session_;
}

std::shared_ptr<CurlTask> CurlSession::addTask(UrlRequest request, bool download,
                                               DataCompletion completion,
                                               const UrlSessionResume* partial) {
  if (request.timeout == UrlRequest{}.timeout) {
    request.timeout = configuration_.timeoutIntervalForRequest;
  }
  std::lock_guard lock(mu_);
  const uint64_t id = nextIdentifier_++;
  auto task = std::make_shared<CurlTask>(std::static_pointer_cast<CurlSession>(shared_from_this()),
                                         id, std::move(request), download, std::move(completion));
  if (partial) task->continueFrom(*partial);
  tasks_.emplace(id, task);
  return task;
}

std::shared_ptr<UrlSessionDownloadTask> CurlSession::downloadTaskWithResumeData(
    const Bytes& resumeData) {
  auto resume = UrlSessionResume::fromResumeData(resumeData);
  if (!resume) throw std::invalid_argument("resume data without a URL or partial file name");
  const std::string path = tempPath(resume->tempFileName);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw std::invalid_argument("the partial file of the resume data is gone: " + path);
  }
  if (info.st_size < resume->bytesReceived) {
    throw std::invalid_argument(fmt::format("the partial file {} holds {} of {} bytes", path,
                                            info.st_size, resume->bytesReceived));
  }
  // Bytes past the recorded count were never confirmed by a validator; they go.
  if (info.st_size > resume->bytesReceived && ::truncate(path.c_str(), resume->bytesReceived)) {
    throw std::invalid_argument("the partial file cannot be cut to its recorded size: " + path);
  }
  return addTask(resume->originalRequest, true, nullptr, &*resume);
}

void CurlSession::loadJournal() {
  {
    std::lock_guard lock(registryMutex);
    auto [it, added] = liveIdentifiers().emplace(configuration_.identifier, this);
    if (!added) {
      consoleWrite(
          fmt::format(
              "[UrlSession] a session with identifier {} is still live; this one keeps no journal",
              configuration_.identifier),
          kConsoleWarning);
      return;
    }
  }
  journal_ = std::make_shared<JournalWriter>();
  journal_->path = TransferJournal::pathFor(configuration_.identifier);
  TransferJournal::ensureFolder(journal_->path);
  // A session of this identifier invalidated before wrote its last journal before it said so.
  const TransferJournal::Contents contents = TransferJournal::load(journal_->path);
  std::lock_guard lock(mu_);
  nextIdentifier_ = std::max<uint64_t>(1, contents.nextTaskIdentifier);
  for (auto entry : contents.transfers) {
    struct stat info {};
    const std::string path = tempPath(entry.tempFileName);
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    // A crash of the machine can lose bytes the journal had seen written; they come again.
    entry.bytesReceived = std::min<int64_t>(info.st_size, entry.bytesReceived);
    if (info.st_size > entry.bytesReceived && ::truncate(path.c_str(), entry.bytesReceived) != 0) {
      continue;
    }
    if (tasks_.count(entry.taskIdentifier)) continue;
    auto task =
        std::make_shared<CurlTask>(std::static_pointer_cast<CurlSession>(shared_from_this()),
                                   entry.taskIdentifier, entry.originalRequest, true, nullptr);
    task->continueFrom(entry);
    task->started_ = true;
    task->current_ = entry.currentRequest;
    tasks_.emplace(entry.taskIdentifier, task);
    nextIdentifier_ = std::max(nextIdentifier_, entry.taskIdentifier + 1);
  }
  journalDirty_ = true;
}

void CurlSession::invalidate(bool cancel) {
  {
    std::lock_guard lock(mu_);
    if (invalidating_) return;
    invalidating_ = true;
  }
  post([self = self(), cancel] {
    if (cancel) {
      std::vector<std::shared_ptr<CurlTask>> tasks;
      {
        std::lock_guard lock(self->mu_);
        for (const auto& [id, task] : self->tasks_) tasks.push_back(task);
      }
      for (const auto& task : tasks) {
        task->beginCancel();
        self->cancelTask(task, nullptr);
      }
      self->becomeInvalid();
    } else {
      self->finishing_ = true;
      self->checkFinishing();
    }
  });
}

void CurlSession::checkFinishing() {
  if (!finishing_ || invalid_) return;
  std::vector<std::shared_ptr<CurlTask>> rest;
  {
    std::lock_guard lock(mu_);
    for (const auto& [id, task] : tasks_) {
      if (task->state() == TransferState::Running) return;
      rest.push_back(task);
    }
  }
  // Transfers nobody resumed would wait for ever.
  for (const auto& task : rest) {
    task->beginCancel();
    cancelTask(task, nullptr);
  }
  becomeInvalid();
}

void CurlSession::becomeInvalid() {
  invalid_ = true;
  // The journal is final before anyone hears of the end: the next session reads it at once,
  // and a host may exit right after.
  writeJournal(true);
  if (journal_) {
    std::lock_guard lock(registryMutex);
    auto it = liveIdentifiers().find(configuration_.identifier);
    if (it != liveIdentifiers().end() && it->second == this) liveIdentifiers().erase(it);
  }
  queue_->async([self = self()] {
    std::shared_ptr<UrlSessionDelegate> delegate;
    {
      std::lock_guard lock(self->mu_);
      delegate = std::move(self->delegate_);
    }
    if (delegate) delegate->didBecomeInvalid(*self, std::nullopt);
  });
}

void CurlSession::startOrContinue(const std::shared_ptr<CurlTask>& task) {
  if (task->finished_ || task->state() != TransferState::Running) return;
  if (invalid_) return;
  if (task->easy_) {
    if (task->paused_) {
      task->paused_ = false;
      curl_easy_pause(task->easy_, CURLPAUSE_CONT);
    }
    return;
  }
  UrlRequest request = task->originalRequest();
  if (task->download_) {
    if (task->tempName_.empty()) {
      std::string pattern = AppContainer::temporaryDirectory() + "/CFNetworkDownload_XXXXXX.tmp";
      const int fd = ::mkstemps(pattern.data(), 4);
      if (fd < 0) {
        task->abortError_ =
            transferError(kUrlErrorCannotCreateFile,
                          fmt::format("cannot create {}: {}", pattern, std::strerror(errno)));
      } else {
        task->file_ = std::make_shared<PartialFile>(fd);
        task->tempName_ = pattern.substr(pattern.find_last_of('/') + 1);
      }
    } else if (!task->file_) {
      const int fd = ::open(tempPath(task->tempName_).c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) {
        task->abortError_ = transferError(
            kUrlErrorCannotResumeDownload,
            fmt::format("the partial file {} is gone: {}", task->tempName_, std::strerror(errno)));
      } else {
        task->file_ = std::make_shared<PartialFile>(fd);
      }
    }
    if (task->abortError_) {
      {
        std::lock_guard lock(task->mu_);
        task->state_ = TransferState::Canceling;
      }
      cancelTask(task, nullptr);
      return;
    }
    if (task->offset_ > 0 && task->entityTag_.empty() && task->lastModified_.empty()) {
      // A continuation without a validator could splice two versions: start over.
      task->offset_ = task->written_ = 0;
      ::ftruncate(task->file_->fd, 0);
    }
    if (task->offset_ > 0) {
      request.setHeader("Range", fmt::format("bytes={}-", task->offset_));
      request.setHeader("If-Range",
                        task->entityTag_.empty() ? task->lastModified_ : task->entityTag_);
    }
  }
  {
    std::lock_guard lock(task->mu_);
    task->current_ = request;
  }

  CURL* easy = curl_easy_init();
  task->easy_ = easy;
  task->started_ = true;
  task->responseSeen_ = false;
  task->headers_.clear();
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, task.get());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, task->errorText_);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlSession::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, task.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlSession::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, task.get());
  // The request's time-out counts silence, not the whole transfer.
  const long timeoutMs = static_cast<long>(std::max<int64_t>(1, request.timeout.count()));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, std::max(1L, timeoutMs / 1000));
  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.method != "GET" || !request.body.empty()) {
    if (request.method != "POST")
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(
        easy, CURLOPT_COPYPOSTFIELDS,
        request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
    // "Name:" removes a header curl would add on its own; the request says what it sends.
    if (!request.header("Expect")) {
      task->requestHeaders_ = curl_slist_append(task->requestHeaders_, "Expect:");
    }
    if (!request.header("Content-Type")) {
      task->requestHeaders_ = curl_slist_append(task->requestHeaders_, "Content-Type:");
    }
  }
  for (const auto& [name, value] : request.headers) {
    // Headers come back from resume data and journals too: none may smuggle in another line.
    if (name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      continue;
    }
    // "Name;" is curl's way to send a header with an empty value.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    task->requestHeaders_ = curl_slist_append(task->requestHeaders_, line.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, task->requestHeaders_);
  active_.emplace(easy, task);
  curl_multi_add_handle(multi_, easy);
  writeJournal();
}

void CurlSession::pause(const std::shared_ptr<CurlTask>& task) {
  if (task->finished_ || !task->easy_ || task->paused_) return;
  if (task->state() != TransferState::Suspended) return;
  task->paused_ = true;
  curl_easy_pause(task->easy_, CURLPAUSE_ALL);
}

void CurlSession::recycleBuffer(CurlTask& task) {
  constexpr size_t kSpares = 8;
  if (task.pending_.empty() && task.pending_.capacity() >= kWriteBuffer &&
      spareBuffers_.size() < kSpares)
    spareBuffers_.push_back(std::move(task.pending_));
  task.pending_ = Bytes();
}

void CurlSession::releaseHandle(CurlTask& task) {
  if (task.easy_) {
    curl_multi_remove_handle(multi_, task.easy_);
    active_.erase(task.easy_);
    curl_easy_cleanup(task.easy_);
    task.easy_ = nullptr;
  }
  curl_slist_free_all(task.requestHeaders_);
  task.requestHeaders_ = nullptr;
}

// Marks the task completed and out of the session; what remains is the events.
void CurlSession::settle(const std::shared_ptr<CurlTask>& task) {
  task->finished_ = true;
  task->file_.reset();
  {
    std::lock_guard lock(task->mu_);
    task->state_ = TransferState::Completed;
  }
  {
    std::lock_guard lock(mu_);
    tasks_.erase(task->identifier_);
  }
  // Once its resume data is out, the transfer must be gone from the journal before anyone hears
  // of it: a process that ends soon after would leave it listed, and the next one would cancel it
  // as an orphan, deleting the partial file that the resume data needs.
  writeJournal(task->resumeHandedOut_);
}

void CurlSession::cancelTask(const std::shared_ptr<CurlTask>& task,
                             std::function<void(std::optional<Bytes>)> resumeCompletion) {
  if (task->finished_) {
    if (resumeCompletion) answerWithoutResumeData(std::move(resumeCompletion));
    return;
  }
  releaseHandle(*task);
  flushFile(*task);
  recycleBuffer(*task);
  reportProgress(task);
  std::optional<Bytes> resumeData;
  if (resumeCompletion && !task->abortError_ && canResume(*task)) {
    resumeData = resumeState(*task).toResumeData();
    task->resumeHandedOut_ = true;
  }
  if (task->download_ && !task->tempName_.empty() && !task->resumeHandedOut_) {
    ::unlink(tempPath(task->tempName_).c_str());
  }
  TransferError error = task->abortError_.value_or(transferError(kUrlErrorCancelled, "cancelled"));
  error.resumeData = resumeData;
  settle(task);
  if (resumeCompletion) {
    queue_->async(
        [completion = std::move(resumeCompletion), resumeData] { completion(resumeData); });
  }
  if (task->download_) {
    deliver([self = self(), task, error](UrlSessionDelegate* delegate) {
      if (delegate) delegate->didComplete(*self, *task, error);
    });
  } else if (task->completion_) {
    queue_->async([task, error, response = task->response()] {
      task->completion_(std::nullopt, response, error);
    });
  }
}

UrlSessionResume CurlSession::resumeState(const CurlTask& task) const {
  UrlSessionResume state;
  state.taskIdentifier = task.identifier_;
  state.originalRequest = task.originalRequest();
  state.currentRequest = task.currentRequest();
  state.tempFileName = task.tempName_;
  state.bytesReceived = task.written_;
  state.totalBytes = task.totalOnRecord_;
  state.entityTag = task.entityTag_;
  state.lastModified = task.lastModified_;
  return state;
}

void CurlSession::writeJournal(bool now) {
  if (!journal_) return;
  JournalWriter::Snapshot snapshot;
  std::vector<std::shared_ptr<CurlTask>> tasks;
  {
    std::lock_guard lock(mu_);
    snapshot.contents.nextTaskIdentifier = nextIdentifier_;
    for (const auto& [id, task] : tasks_) tasks.push_back(task);
  }
  for (const auto& task : tasks) {
    if (!task->download_ || task->finished_ || task->tempName_.empty() || !task->started_) continue;
    flushFile(*task);
    snapshot.contents.transfers.push_back(resumeState(*task));
    if (task->file_) snapshot.files.push_back(task->file_);
  }
  if (now) {
    journal_->writeNow(std::move(snapshot));
  } else {
    journal_->submit(journal_, std::move(snapshot));
  }
  journalDirty_ = false;
  lastJournal_ = currentMillis();
}

size_t CurlSession::onHeader(char* data, size_t size, size_t count, void* context) {
  auto* task = static_cast<CurlTask*>(context);
  const std::string_view line(data, size * count);
  if (line.substr(0, 5) == "HTTP/") {
    task->headers_.clear();
  } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
    task->headers_.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  return size * count;
}

void CurlSession::onResponse(CurlTask& task) {
  task.responseSeen_ = true;
  CURL* easy = task.easy_;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  char* effective = nullptr;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
  curl_off_t length = -1;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  UrlResponse response;
  response.url = effective ? effective : task.currentRequest().url;
  response.isHttp = response.url.rfind("http", 0) == 0;
  response.statusCode = status;
  response.headers = task.headers_;
  response.expectedContentLength = length >= 0 ? length : kTransferSizeUnknown;
  response.suggestedFilename = suggestedName(response.headers, response.url);
  if (auto type = response.header("Content-Type")) {
    response.mimeType = trim(type->substr(0, type->find(';')));
    std::transform(response.mimeType.begin(), response.mimeType.end(), response.mimeType.begin(),
                   [](unsigned char c) { return std::tolower(c); });
  }
  task.status_ = status;
  int64_t expected = response.expectedContentLength;

  if (task.download_) {
    const auto range = parseContentRange(response.header("Content-Range").value_or(""));
    if (task.offset_ > 0 && status == 206) {
      if (!range || range->first != task.offset_) {
        task.abortError_ = transferError(
            kUrlErrorCannotResumeDownload,
            fmt::format("the server answered the continuation at {} with range {}", task.offset_,
                        response.header("Content-Range").value_or("(none)")));
        return;
      }
      task.written_ = task.offset_;
      expected = range->total >= 0 ? range->total
                 : length >= 0     ? task.offset_ + length
                                   : kTransferSizeUnknown;
    } else if (task.offset_ > 0 && status == 416 &&
               ((range && range->total == task.offset_) || task.totalOnRecord_ == task.offset_)) {
      // The partial file is already whole: it finishes as the complete answer it is.
      task.discardBody_ = true;
      task.written_ = task.offset_;
      expected = task.offset_;
      response.statusCode = 200;
      response.expectedContentLength = task.offset_;
    } else {
      // Anything but the continuation asked for starts the file over; appending would corrupt.
      task.offset_ = task.written_ = 0;
      task.pending_.clear();
      if (task.file_) ::ftruncate(task.file_->fd, 0);
    }
    if (status == 200 || status == 206) {
      const bool continued = status == 206;
      auto tag = response.header("ETag");
      auto modified = response.header("Last-Modified");
      if (tag || !continued) task.entityTag_ = tag.value_or("");
      if (modified || !continued) task.lastModified_ = modified.value_or("");
      task.rangesSupported_ =
          continued || equalsIgnoreCase(response.header("Accept-Ranges").value_or(""), "bytes");
      task.totalOnRecord_ = expected;
    } else if (!task.discardBody_) {
      task.rangesSupported_ = false;
    }
  }
  {
    std::lock_guard lock(task.mu_);
    task.current_.url = response.url;
    task.response_ = std::move(response);
    task.expected_ = expected;
    task.received_ = task.written_;
  }
  writeJournal();
}

size_t CurlSession::onBody(char* data, size_t size, size_t count, void* context) {
  auto* task = static_cast<CurlTask*>(context);
  auto session = task->session_.lock();
  const size_t n = size * count;
  if (!session) return 0;
  if (!task->responseSeen_) session->onResponse(*task);
  if (task->abortError_) return 0;
  // As bytes, so the insert is one memmove rather than a per-character conversion.
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if (!task->download_) {
    task->body_.insert(task->body_.end(), bytes, bytes + n);
    std::lock_guard lock(task->mu_);
    task->received_ += static_cast<int64_t>(n);
    return n;
  }
  if (task->discardBody_) return n;
  if (task->pending_.capacity() < kWriteBuffer) {
    if (!session->spareBuffers_.empty()) {
      task->pending_ = std::move(session->spareBuffers_.back());
      session->spareBuffers_.pop_back();
    }
    task->pending_.reserve(kWriteBuffer);
  }
  task->pending_.insert(task->pending_.end(), bytes, bytes + n);
  task->written_ += static_cast<int64_t>(n);
  if (task->pending_.size() >= kWriteBuffer && !flushFile(*task)) return 0;
  task->unreportedBytes_ += static_cast<int64_t>(n);
  {
    std::lock_guard lock(task->mu_);
    task->received_ = task->written_;
  }
  session->journalDirty_ = true;
  if (currentMillis() - task->lastProgress_ >= kProgressIntervalMs) {
    auto it = session->active_.find(task->easy_);
    if (it != session->active_.end()) session->reportProgress(it->second);
  }
  return n;
}

bool CurlSession::flushFile(CurlTask& task) {
  const size_t size = task.pending_.size();
  if (size == 0 || !task.file_) return true;
  const int64_t start = task.written_ - static_cast<int64_t>(size);
  for (size_t done = 0; done < size;) {
    const ssize_t wrote = ::pwrite(task.file_->fd, task.pending_.data() + done, size - done,
                                   static_cast<off_t>(start + static_cast<int64_t>(done)));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      task.abortError_ =
          transferError(kUrlErrorCannotWriteToFile,
                        fmt::format("cannot write {}: {}", task.tempName_, std::strerror(errno)));
      task.written_ = start + static_cast<int64_t>(done);
      task.pending_.clear();
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  task.pending_.clear();
  return true;
}

void CurlSession::reportProgress(const std::shared_ptr<CurlTask>& task) {
  task->lastProgress_ = currentMillis();
  if (!task->download_ || task->unreportedBytes_ == 0) return;
  const int64_t delta = std::exchange(task->unreportedBytes_, 0);
  const int64_t total = task->written_;
  const int64_t expected = task->countOfBytesExpectedToReceive();
  deliver([self = self(), task, delta, total, expected](UrlSessionDelegate* delegate) {
    if (delegate) delegate->didWriteData(*self, *task, delta, total, expected);
  });
}

void CurlSession::finishTransfer(CURL* easy, CURLcode result) {
  auto it = active_.find(easy);
  if (it == active_.end()) return;
  const std::shared_ptr<CurlTask> task = it->second;
  if (result == CURLE_OK && !task->responseSeen_) onResponse(*task);
  flushFile(*task);
  recycleBuffer(*task);
  std::optional<TransferError> error = task->abortError_;
  if (!error && result != CURLE_OK) {
    error = transferError(errorCodeFor(result),
                          task->errorText_[0] ? task->errorText_ : curl_easy_strerror(result));
  }
  releaseHandle(*task);
  reportProgress(task);
  {
    std::lock_guard lock(task->mu_);
    if (task->state_ != TransferState::Running && task->state_ != TransferState::Suspended) {
      return;  // a cancel is on its way and reports the end
    }
    task->state_ = TransferState::Canceling;
  }
  if (!task->download_) {
    Bytes body = std::move(task->body_);
    settle(task);
    if (task->completion_) {
      queue_->async([task, body = std::move(body), error, response = task->response()] {
        if (error) {
          task->completion_(std::nullopt, response, error);
        } else {
          task->completion_(body, response, std::nullopt);
        }
      });
    }
    checkFinishing();
    return;
  }
  const std::string path = tempPath(task->tempName_);
  if (error) {
    // A transfer cut short keeps its bytes when the server can continue it, as resume data.
    if (task->written_ > 0 && canResume(*task) && error->code != kUrlErrorCannotResumeDownload &&
        error->code != kUrlErrorCannotWriteToFile) {
      error->resumeData = resumeState(*task).toResumeData();
      task->resumeHandedOut_ = true;
    } else if (!task->tempName_.empty()) {
      ::unlink(path.c_str());
    }
    settle(task);
    deliver([self = self(), task, error](UrlSessionDelegate* delegate) {
      if (delegate) delegate->didComplete(*self, *task, error);
    });
  } else {
    settle(task);
    // One block: the file must exist for exactly as long as the callback runs.
    deliver([self = self(), task, path](UrlSessionDelegate* delegate) {
      if (delegate) delegate->didFinishDownloadingToURL(*self, *task, path);
      ::unlink(path.c_str());
      if (delegate) delegate->didComplete(*self, *task, std::nullopt);
    });
  }
  checkFinishing();
}

void CurlSession::driverLoop() {
  while (true) {
    std::vector<std::function<void()>> commands;
    {
      std::lock_guard lock(mu_);
      commands.swap(commands_);
      if (commands.empty() && invalid_ && active_.empty()) {
        exited_ = true;
        break;
      }
    }
    for (auto& command : commands) command();
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) finishTransfer(message->easy_handle, message->data.result);
    }
    const int64_t now = currentMillis();
    bool waiting = false;
    for (const auto& [easy, task] : active_) {
      if (task->unreportedBytes_ == 0) continue;
      if (now - task->lastProgress_ >= kProgressIntervalMs) {
        reportProgress(task);
      } else {
        waiting = true;
      }
    }
    if (journalDirty_ && journal_) {
      if (now - lastJournal_ >= kJournalIntervalMs) {
        writeJournal();
      } else {
        waiting = true;
      }
    }
    // curl shortens the wait to its own next timer; commands wake it at once.
    curl_multi_poll(multi_, nullptr, 0, waiting ? 25 : active_.empty() ? 10000 : 1000, nullptr);
  }
  // The transfers are gone; the session lives on only in its holders' references.
  std::lock_guard lock(mu_);
  tasks_.clear();
}

}  // namespace

std::optional<std::string> UrlRequest::header(std::string_view name) const {
  return findHeader(headers, name);
}

void UrlRequest::setHeader(std::string name, std::string value) {
  for (auto it = headers.begin(); it != headers.end();) {
    it = equalsIgnoreCase(it->first, name) ? headers.erase(it) : it + 1;
  }
  headers.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> UrlResponse::header(std::string_view name) const {
  return findHeader(headers, name);
}

std::shared_ptr<UrlSession> UrlSession::make(UrlSessionConfiguration configuration,
                                             std::shared_ptr<UrlSessionDelegate> delegate,
                                             std::shared_ptr<DispatchQueue> delegateQueue) {
  static const bool curlReady = [] {
    const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    // The first session may be made on a pool thread that outlives OpenSSL's exit handler.
    orsa::platform::releaseThreadCryptoState();
    return ok;
  }();
  (void)curlReady;
  if (!delegateQueue) delegateQueue = makeSerialQueue("UrlSession.delegate");
  auto session = std::make_shared<CurlSession>(std::move(configuration), std::move(delegate),
                                               std::move(delegateQueue));
  session->start();
  return session;
}

std::shared_ptr<UrlSession> UrlSession::shared() {
  static const std::shared_ptr<UrlSession> session =
      make(UrlSessionConfiguration::defaultConfiguration(), nullptr,
           makeSerialQueue("UrlSession.shared", QoS::Utility));
  return session;
}

}  // namespace orsa::platform
