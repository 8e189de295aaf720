#include "platform/UrlSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include <fmt/format.h>

#include "platform/Digest.h"
#include "platform/UrlSessionCurl.h"
#include "platform/UrlSessionPolicy.h"

namespace orsa::platform {
namespace detail {

CurlSession::CurlSession(UrlSessionConfiguration configuration,
                         std::shared_ptr<UrlSessionDelegate> delegate,
                         std::shared_ptr<DispatchQueue> queue)
    : configuration_(std::move(configuration)),
      queue_(std::move(queue)),
      delegate_(std::move(delegate)),
      multi_(curl_multi_init()) {
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(std::max(1, configuration_.httpMaximumConnectionsPerHost)));
}

CurlSession::~CurlSession() {
  curl_multi_cleanup(multi_);
}

void CurlSession::start() {
  if (!configuration_.identifier.empty()) loadJournal();
  std::thread([self = self()] { self->driverLoop(); }).detach();
}

std::vector<std::shared_ptr<UrlSessionTask>> CurlSession::allTasks() const {
  std::lock_guard lock(mu_);
  std::vector<std::shared_ptr<UrlSessionTask>> tasks;
  for (const auto& [id, task] : tasks_) {
    if (task->state() != TransferState::Completed) tasks.push_back(task);
  }
  return tasks;
}

void CurlSession::post(std::function<void()> command) {
  {
    std::lock_guard lock(mu_);
    if (exited_) return;
    commands_.push_back(std::move(command));
  }
  curl_multi_wakeup(multi_);
}

void CurlSession::deliver(std::function<void(UrlSessionDelegate*)> event) {
  queue_->async([self = self(), event = std::move(event)] {
    std::shared_ptr<UrlSessionDelegate> delegate;
    {
      std::lock_guard lock(self->mu_);
      delegate = self->delegate_;
    }
    event(delegate.get());
  });
}

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
  releaseJournal();
  queue_->async([self = self()] {
    std::shared_ptr<UrlSessionDelegate> delegate;
    {
      std::lock_guard lock(self->mu_);
      delegate = std::move(self->delegate_);
    }
    if (delegate) delegate->didBecomeInvalid(*self, std::nullopt);
  });
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
  TransferError error =
      task->abortError_.value_or(policy::transferError(kUrlErrorCancelled, "cancelled"));
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

}  // namespace detail

std::optional<std::string> UrlRequest::header(std::string_view name) const {
  return policy::findHeader(headers, name);
}

void UrlRequest::setHeader(std::string name, std::string value) {
  for (auto it = headers.begin(); it != headers.end();) {
    it = policy::equalsIgnoreCase(it->first, name) ? headers.erase(it) : it + 1;
  }
  headers.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> UrlResponse::header(std::string_view name) const {
  return policy::findHeader(headers, name);
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
  auto session = std::make_shared<detail::CurlSession>(
      std::move(configuration), std::move(delegate), std::move(delegateQueue));
  session->start();
  return session;
}

std::shared_ptr<UrlSession> UrlSession::shared() {
  static const std::shared_ptr<UrlSession> session =
      make(UrlSessionConfiguration::defaultConfiguration(), nullptr,
           makeSerialQueue("UrlSession.shared", QoS::Utility));
  return session;
}

std::optional<Error> UrlSession::claimBackgroundIdentifier(const std::string& identifier) {
  if (identifier.empty()) return std::nullopt;
  const std::string path = TransferJournal::pathFor(identifier);
  TransferJournal::ensureFolder(path);
  if (TransferJournal::claim(path) != TransferJournal::Claim::InUse) return std::nullopt;
  return Error{kUrlSessionErrorDomain, kUrlSessionErrorIdentifierInUse,
               kUrlSessionIdentifierInUseMessage};
}

std::shared_ptr<UrlSession> UrlSession::tryMake(UrlSessionConfiguration configuration,
                                                std::shared_ptr<UrlSessionDelegate> delegate,
                                                std::shared_ptr<DispatchQueue> delegateQueue,
                                                Error* error) {
  if (auto refusal = claimBackgroundIdentifier(configuration.identifier)) {
    if (error) *error = std::move(*refusal);
    return nullptr;
  }
  return make(std::move(configuration), std::move(delegate), std::move(delegateQueue));
}

}  // namespace orsa::platform
