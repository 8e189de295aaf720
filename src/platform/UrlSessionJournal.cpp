// What a background session keeps on disk: its transfers' journal, written behind the driver
// thread, and the claim on its identifier.

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/UrlSessionCurl.h"

namespace orsa::platform::detail {
namespace {

// Driver threads of sessions nobody invalidated still run while the process exits, so what they
// reach through statics is never destroyed.
std::shared_ptr<DispatchQueue> journalQueue() {
  static const auto* queue =
      new std::shared_ptr<DispatchQueue>(makeSerialQueue("UrlSession.journal", QoS::Utility));
  return *queue;
}

// Journals with a live session in this process.
std::mutex registryMutex;
std::map<std::string, const void*>& liveJournals() {
  static auto* journals = new std::map<std::string, const void*>;
  return *journals;
}

}  // namespace

void JournalWriter::submit(std::shared_ptr<JournalWriter> self, Snapshot snapshot) {
  std::lock_guard lock(mu);
  snapshot.generation = ++generations;
  pending = std::move(snapshot);
  if (scheduled) return;
  scheduled = true;
  journalQueue()->async([self] { self->drain(); });
}

void JournalWriter::writeNow(Snapshot snapshot) {
  {
    std::lock_guard lock(mu);
    snapshot.generation = ++generations;
    pending.reset();
  }
  write(snapshot);
}

void JournalWriter::drain() {
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

void JournalWriter::write(const Snapshot& snapshot) {
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

void CurlSession::loadJournal() {
  const std::string path = TransferJournal::pathFor(configuration_.identifier);
  TransferJournal::ensureFolder(path);
  if (TransferJournal::claim(path) == TransferJournal::Claim::InUse) {
    consoleWrite(fmt::format("[UrlSession] the transfers of identifier {} belong to another "
                             "process; this session keeps no journal",
                             configuration_.identifier),
                 kConsoleWarning);
    return;
  }
  {
    std::lock_guard lock(registryMutex);
    auto [it, added] = liveJournals().emplace(path, this);
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
  journal_->path = path;
  // A session of this identifier invalidated before wrote its last journal before it said so.
  const TransferJournal::Contents contents = TransferJournal::load(journal_->path);
  std::lock_guard lock(mu_);
  nextIdentifier_ = std::max<uint64_t>(1, contents.nextTaskIdentifier);
  for (auto entry : contents.transfers) {
    struct stat info {};
    const std::string partial = tempPath(entry.tempFileName);
    if (::stat(partial.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    // A crash of the machine can lose bytes the journal had seen written; they come again.
    entry.bytesReceived = std::min<int64_t>(info.st_size, entry.bytesReceived);
    if (info.st_size > entry.bytesReceived &&
        ::truncate(partial.c_str(), entry.bytesReceived) != 0) {
      continue;
    }
    if (tasks_.count(entry.taskIdentifier)) continue;
    auto task = std::make_shared<CurlTask>(self(), entry.taskIdentifier, entry.originalRequest,
                                           true, nullptr);
    task->continueFrom(entry);
    task->started_ = true;
    task->current_ = entry.currentRequest;
    tasks_.emplace(entry.taskIdentifier, task);
    nextIdentifier_ = std::max(nextIdentifier_, entry.taskIdentifier + 1);
  }
  journalDirty_ = true;
}

void CurlSession::releaseJournal() {
  if (!journal_) return;
  std::lock_guard lock(registryMutex);
  auto it = liveJournals().find(journal_->path);
  if (it != liveJournals().end() && it->second == this) liveJournals().erase(it);
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

}  // namespace orsa::platform::detail
