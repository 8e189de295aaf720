// The curl side of a session: one thread per session drives a multi handle, turns requests into
// easy handles, and turns what arrives (header lines, body bytes, ends) into partial files,
// bodies and delegate events.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "platform/Clock.h"
#include "platform/UrlSessionCurl.h"
#include "platform/UrlSessionPolicy.h"

namespace orsa::platform::detail {
namespace {

// Progress events are merged to this rate: a loopback transfer delivers thousands of chunks a
// second, and the delegate queue is usually the host's main queue.
constexpr int64_t kProgressIntervalMs = 25;
// Byte counts reach the journal (with an fsync of the partial file) at most this often.
constexpr int64_t kJournalIntervalMs = 250;
constexpr long kReceiveBuffer = 512 * 1024;
constexpr size_t kWriteBuffer = 1 << 20;

using policy::transferError;

TransferError bodyLimitError(int64_t limit) {
  return transferError(
      kUrlErrorDataLengthExceedsMaximum,
      fmt::format("the response body exceeds the data task limit of {} bytes", limit));
}

}  // namespace

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
      task->file_->discard();
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
  task->lineStatus_ = 0;
  task->headers_.clear();
  task->headersEnded_ = false;
  task->bodyBytes_ = 0;
  task->responseLength_ = kTransferSizeUnknown;
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, task.get());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, task->errorText_);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // Every hop is checked in onHeader too: a chain may reach https first and leave it later.
  const bool secure = policy::equalsIgnoreCase(request.url.substr(0, 6), "https:");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
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

size_t CurlSession::onHeader(char* data, size_t size, size_t count, void* context) {
  auto* task = static_cast<CurlTask*>(context);
  const size_t n = size * count;
  const std::string_view line(data, n);
  if (line.substr(0, 5) == "HTTP/") {
    // A new response (after a 1xx or a redirect): what came before is not its header.
    task->headers_.clear();
    task->headersEnded_ = false;
    task->bodyBytes_ = 0;
    const size_t blank = line.find(' ');
    task->lineStatus_ =
        blank == std::string_view::npos
            ? 0
            : std::strtol(std::string(line.substr(blank + 1, 3)).c_str(), nullptr, 10);
  } else if (line == "\r\n" || line == "\n") {
    task->headersEnded_ = true;
  } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string name = policy::trim(line.substr(0, colon));
    std::string value = policy::trim(line.substr(colon + 1));
    if (task->lineStatus_ / 100 == 3 && policy::equalsIgnoreCase(name, "Location")) {
      char* from = nullptr;
      curl_easy_getinfo(task->easy_, CURLINFO_EFFECTIVE_URL, &from);
      if (from && !policy::redirectAllowed(from, value)) {
        task->abortError_ = transferError(
            kUrlErrorAppTransportSecurityRequiresSecureConnection,
            fmt::format("refused the redirect from {} to {}: it leaves https", from, value));
        return 0;
      }
    }
    task->headers_.emplace_back(std::move(name), std::move(value));
  }
  return n;
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
  response.suggestedFilename = policy::suggestedName(response.headers, response.url);
  if (auto type = response.header("Content-Type")) {
    response.mimeType = policy::trim(type->substr(0, type->find(';')));
    std::transform(response.mimeType.begin(), response.mimeType.end(), response.mimeType.begin(),
                   [](unsigned char c) { return std::tolower(c); });
  }
  task.status_ = status;
  task.responseLength_ = response.expectedContentLength;
  int64_t expected = response.expectedContentLength;

  if (!task.download_) {
    const int64_t limit = configuration_.maximumDataTaskBodyBytes;
    if (limit > 0 && expected > limit) {
      task.abortError_ = bodyLimitError(limit);
    } else if (expected > 0) {
      task.body_.reserve(static_cast<size_t>(expected));
    }
  } else {
    using policy::Verdict;
    const policy::AskedFor asked{task.offset_, task.entityTag_, task.lastModified_,
                                 task.totalOnRecord_};
    const Verdict verdict =
        policy::judgeDownloadResponse(asked, status, response.headers, expected);
    if (verdict.kind == Verdict::StartOver) {
      task.startOver_ = true;
      return;
    }
    expected = verdict.expectedTotal;
    if (verdict.kind == Verdict::Continue) {
      task.written_ = task.offset_;
    } else if (verdict.kind == Verdict::AlreadyWhole) {
      // The partial file is already whole: it finishes as the complete answer it is.
      task.discardBody_ = true;
      task.written_ = task.offset_;
      response.statusCode = 200;
      response.expectedContentLength = task.offset_;
    } else {
      // Anything but the continuation asked for starts the file over; appending would corrupt.
      task.offset_ = task.written_ = 0;
      task.pending_.clear();
      if (task.file_) task.file_->discard();
    }
    if (verdict.kind == Verdict::Refuse) {
      task.abortError_ = transferError(kUrlErrorBadServerResponse, verdict.why);
      task.rangesSupported_ = false;
    } else if (status == 200 || status == 206) {
      const bool continued = verdict.kind == Verdict::Continue;
      auto tag = response.header("ETag");
      auto modified = response.header("Last-Modified");
      if (tag || !continued) task.entityTag_ = tag.value_or("");
      if (modified || !continued) task.lastModified_ = modified.value_or("");
      task.rangesSupported_ =
          continued ||
          policy::equalsIgnoreCase(response.header("Accept-Ranges").value_or(""), "bytes");
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
    task.received_ = task.download_ ? task.written_ : 0;
  }
  writeJournal();
}

size_t CurlSession::onBody(char* data, size_t size, size_t count, void* context) {
  auto* task = static_cast<CurlTask*>(context);
  auto session = task->session_.lock();
  const size_t n = size * count;
  if (!session) return 0;
  if (!task->responseSeen_) session->onResponse(*task);
  if (task->abortError_ || task->startOver_) return 0;
  task->bodyBytes_ += static_cast<int64_t>(n);
  // As bytes, so the insert is one memmove rather than a per-character conversion.
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if (!task->download_) {
    const int64_t limit = session->configuration_.maximumDataTaskBodyBytes;
    if (limit > 0 && static_cast<int64_t>(task->body_.size() + n) > limit) {
      task->abortError_ = bodyLimitError(limit);
      return 0;
    }
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

std::optional<TransferError> CurlSession::cutShort(const CurlTask& task) const {
  if (!task.headersEnded_) {
    return transferError(kUrlErrorNetworkConnectionLost,
                         "the connection closed inside the response's header block");
  }
  if (task.responseLength_ >= 0 && task.bodyBytes_ < task.responseLength_ &&
      policy::answerHasBody(task.currentRequest().method, task.status_)) {
    return transferError(kUrlErrorNetworkConnectionLost,
                         fmt::format("the connection closed after {} of {} body bytes",
                                     task.bodyBytes_, task.responseLength_));
  }
  return std::nullopt;
}

void CurlSession::startOver(const std::shared_ptr<CurlTask>& task) {
  releaseHandle(*task);
  task->startOver_ = false;
  task->offset_ = task->written_ = 0;
  task->pending_.clear();
  task->entityTag_.clear();
  task->lastModified_.clear();
  task->totalOnRecord_ = kTransferSizeUnknown;
  task->rangesSupported_ = false;
  if (task->file_) task->file_->discard();
  {
    std::lock_guard lock(task->mu_);
    task->received_ = 0;
    task->expected_ = kTransferSizeUnknown;
  }
  // A task paused meanwhile asks again when it is resumed; one cancelled ends as cancelled.
  startOrContinue(task);
}

void CurlSession::finishTransfer(CURL* easy, CURLcode result) {
  auto it = active_.find(easy);
  if (it == active_.end()) return;
  const std::shared_ptr<CurlTask> task = it->second;
  // curl calls a header block cut by a closed connection, or a body shorter than its length,
  // a success; a file made of either is not the file.
  std::optional<TransferError> cut;
  if (result == CURLE_OK) {
    if (task->headersEnded_ && !task->responseSeen_) onResponse(*task);
    if (!task->abortError_ && !task->startOver_) cut = cutShort(*task);
  }
  if (task->startOver_ && !task->abortError_) {
    startOver(task);
    return;
  }
  flushFile(*task);
  recycleBuffer(*task);
  std::optional<TransferError> error = task->abortError_ ? task->abortError_ : cut;
  if (!error && result != CURLE_OK) {
    error = transferError(policy::errorCodeForCurl(result),
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

}  // namespace orsa::platform::detail
