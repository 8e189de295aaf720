// orsa download: the download manager's queue from the command line, with a progress bar per
// item; orsa downloads list|clear: what the queue holds.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Command.h"
#include "download/TRDownloadDB.h"
#include "download/TRDownloadItemPrivate.h"
#include "download/TRDownloadTask.h"
#include "download/TRDownloadUtils.h"
#include "download/TRDownloader.h"
#include "orsa/TRDownloadItem.h"
#include "orsa/TRDownloadManager.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

namespace orsa::tool {
namespace {

using orsa::platform::MainLoop;
using Item = std::shared_ptr<TRDownloadItem>;

constexpr const char* kDownloadUsage = "download URL... [--uid U] [--file-id ID] [--max N]";
constexpr const char* kDownloadsUsage = "downloads list [--uid U] | downloads clear [--uid U]";
// Transfers cut by the network continue from their resume data this many times.
constexpr int kNetworkRetries = 3;
constexpr auto kRetryPause = std::chrono::milliseconds(500);
constexpr auto kRedraw = std::chrono::milliseconds(200);
// Non-terminal output gets a bar line per item this often, not at every redraw.
constexpr auto kPlainRedraw = std::chrono::seconds(2);
// How long a stop waits for the paused transfers' resume data.
constexpr auto kPauseDrain = std::chrono::seconds(3);

enum Status : uint64_t { kNew, kWaiting, kDownloading, kPaused, kFailed, kFinished };

const char* statusName(uint64_t status) {
  static const char* const names[] = {"new",    "waiting", "downloading",
                                      "paused", "failed",  "finished"};
  return status <= kFinished ? names[status] : "unknown";
}

std::atomic<int> gSignal{0};

void onSignal(int sig) {
  gSignal.store(sig);
}

constexpr Usage downloadUsage{"download", kDownloadUsage};
constexpr Usage downloadsUsage{"downloads", kDownloadsUsage};
constexpr Failure downloadFailure{"download"};
constexpr Failure downloadsFailure{"downloads"};
constexpr const char* kInUse =
    "the downloads of this home are in use by another process; try again when it has ended";

// The id as it can be shown on a terminal: control characters escaped.
std::string printable(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return "\"" + shown + "\"";
}

// Uids and file ids name folders and files under the save root.
std::optional<std::string> refusedId(const std::string& option, const std::string& value) {
  if (TRDownloadUtils::isSafeName(value)) return std::nullopt;
  return option + " " + printable(value) +
         " is no plain file name (it is empty, \".\" or \"..\", or holds \"/\", \"\\\", NUL or "
         "control characters)";
}

// Speed texts the items report once a second while they download.
class SpeedBoard : public TRDownloadItemDelegate {
 public:
  using TRDownloadItemDelegate::downloadItem;
  void downloadItem(const Item& item, uint64_t speed, const std::string& speedDesc) override {
    speeds_[item->taskId()] = speedDesc;
  }
  std::string speedOf(const Item& item) const {
    auto it = speeds_.find(item->taskId());
    return it == speeds_.end() ? "0KB/s" : it->second;
  }

 private:
  std::map<std::string, std::string> speeds_;
};

std::string bar(const Item& item, const SpeedBoard& speeds) {
  const int64_t size = item->fileSize();
  const int64_t done = item->downloadedSize();
  const double fraction = size > 0 ? std::min(1.0, static_cast<double>(done) / size) : 0.0;
  constexpr int kWidth = 24;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string line = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
  char numbers[160];
  // An unknown total (a server that did not say) shows the bytes so far and "?".
  const std::string percent = size > 0 ? std::to_string(static_cast<int>(fraction * 100)) : "?";
  std::snprintf(numbers, sizeof numbers, "%3s%% %9s / %-9s %10s %-11s ", percent.c_str(),
                TRDownloadUtils::fileSizeStringFromBytes(done).c_str(),
                size > 0 ? TRDownloadUtils::fileSizeStringFromBytes(size).c_str() : "?",
                item->downloadStatus() == kDownloading ? speeds.speedOf(item).c_str() : "",
                statusName(item->downloadStatus()));
  std::string url = item->downloadURL();
  if (url.size() > 60) url = "..." + url.substr(url.size() - 57);
  return line + numbers + url;
}

// Every item of the uid, oldest first.
std::vector<Item> itemsOfUid() {
  std::vector<Item> items = TRDownloadManager::downloadList();
  for (auto& item : TRDownloadManager::finishList()) items.push_back(item);
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    // Creation times are whole seconds; the row id keeps the queue's order.
    return std::pair(a->createTime(), a->pid()) < std::pair(b->createTime(), b->pid());
  });
  return items;
}

struct DownloadOptions {
  std::vector<std::string> urls;
  std::string uid;
  std::string fileId;
  uint64_t max = 2;
};

std::optional<int> parseDownload(const std::vector<std::string>& args, DownloadOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      o.urls.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) return downloadUsage("missing value for " + a);
    const std::string& v = args[++i];
    if (a == "--uid" || a == "--file-id") {
      if (auto why = refusedId(a, v)) return downloadUsage(*why);
      (a == "--uid" ? o.uid : o.fileId) = v;
    } else if (a == "--max") {
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 64)
        return downloadUsage("--max takes a whole number 1-64");
      o.max = static_cast<uint64_t>(n);
    } else {
      return downloadUsage("unknown argument " + a);
    }
  }
  if (o.urls.empty()) return downloadUsage("no URL given");
  // One file id names one file: with several URLs their files would overwrite each other.
  if (!o.fileId.empty() && o.urls.size() > 1)
    return downloadUsage("--file-id names one file; give it with one URL");
  return std::nullopt;
}

std::optional<int> parseUid(const std::vector<std::string>& args, size_t from, std::string& uid) {
  for (size_t i = from; i < args.size(); ++i) {
    if (args[i] == "--uid" && i + 1 < args.size()) {
      uid = args[++i];
      if (auto why = refusedId("--uid", uid)) return downloadsUsage(*why);
    } else {
      return downloadsUsage("unknown argument " + args[i]);
    }
  }
  return std::nullopt;
}

// Another process holding this home's transfers: nothing here may adopt, finish or delete any
// of them.
bool downloadsInUse() {
  return TRDownloader::downloader()->sessionInUse();
}

void startManager(const std::string& uid, bool autoResume, uint64_t max) {
  TRDConfig config;
  config.launchAutoResumeDownload = autoResume;
  config.uid = uid;
  config.maxTaskCount = max;
  // Finished tasks keep no record: the items carry what the tool reports.
  config.taskCachekMode = 0;
  TRDownloadManager::mgrWithConfig(config);
}

// Lets pauses hand their resume data over (it arrives on the main queue): the transfers a
// killed run left behind, which the downloader pauses when it adopts them, and a stop's.
void settle() {
  MainLoop::poll();
  MainLoop::runUntil([] { return !TRDownloadManager::hasPausesInFlight(); }, kPauseDrain);
}

// Transfers the network cut leave their item downloading with resume data and no transfer;
// they continue from there, a few times, before the item counts as failed.
class Retrier {
 public:
  void check(const Item& item) {
    if (item->downloadStatus() != kDownloading) return;
    auto task = TRDownloadDB::taskWithTid(item->taskId());
    if (!task || task->downloadTask() || task->resumeData().empty()) return;
    auto now = std::chrono::steady_clock::now();
    auto& state = states_[item->taskId()];
    if (state.waitUntil && now < *state.waitUntil) return;
    if (!state.waitUntil) {
      state.waitUntil = now + kRetryPause;
      return;
    }
    state.waitUntil.reset();
    if (state.retries >= kNetworkRetries) {
      lastErrors_[item->taskId()] = task->lastError();
      TRDownloadItemPrivate::of(*item).downloadStatusChanged(kFailed, task);
      return;
    }
    ++state.retries;
    std::fprintf(stderr, "resuming %s (retry %d of %d)\n", item->downloadURL().c_str(),
                 state.retries, kNetworkRetries);
    TRDownloader::downloader()->resumeTask(task);
  }
  // Code and message of the item's failure.
  std::pair<int64_t, std::string> failure(const Item& item) const {
    auto it = lastErrors_.find(item->taskId());
    if (it != lastErrors_.end() && it->second) return {it->second->code, it->second->domain};
    if (item->lastErrorCode() != 0 || !item->lastErrorMessage().empty())
      return {item->lastErrorCode(), item->lastErrorMessage()};
    return {0, "failed in an earlier run"};
  }

 private:
  struct State {
    int retries = 0;
    std::optional<std::chrono::steady_clock::time_point> waitUntil;
  };
  std::map<std::string, State> states_;
  std::map<std::string, std::optional<orsa::platform::Error>> lastErrors_;
};

void drawBars(const std::vector<Item>& items, const SpeedBoard& speeds, bool terminal,
              size_t& drawnLines) {
  if (terminal && drawnLines > 0) std::fprintf(stderr, "\x1b[%zuA", drawnLines);
  for (const auto& item : items)
    std::fprintf(stderr, terminal ? "\x1b[K%s\n" : "%s\n", bar(item, speeds).c_str());
  drawnLines = items.size();
  std::fflush(stderr);
}

int runDownload(const std::vector<std::string>& args) {
  DownloadOptions o;
  if (auto code = parseDownload(args, o)) return *code;
  if (downloadsInUse()) return downloadFailure(kInUse);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  startManager(o.uid, true, o.max);
  settle();
  // Items a stopped or killed run left paused continue first, in their order. Restored ones
  // whose transfer did not survive hold a run slot while paused: they leave it first.
  std::vector<Item> paused;
  for (const auto& item : TRDownloadManager::downloadList()) {
    if (item->downloadStatus() != kPaused) continue;
    item->setNoNeedStartNext(true);
    TRDownloadManager::pauseDownloadWithItem(item);
    paused.push_back(item);
  }
  for (const auto& item : paused) TRDownloadManager::resumeDownloadWithItem(item);
  for (const auto& url : o.urls) {
    bool queued = false;
    for (const auto& item : TRDownloadManager::itemsWithDownloadUrl(url)) {
      // A failure of an earlier run has nothing left to continue from: asked for again, the
      // URL starts over.
      if (item->downloadStatus() == kFailed) {
        TRDownloadManager::stopDownloadWithItem(item);
      } else {
        queued = true;
      }
    }
    if (queued) continue;
    TRDownloadManager::startDownloadWithUrl(url, o.fileId, orsa::platform::kTaskPriorityDefault,
                                            std::nullopt);
  }

  bool finished = false;
  const auto observer = orsa::platform::NotificationCenter::defaultCenter().addObserver(
      kDownloadTaskFinishedNoti, nullptr,
      [&](const orsa::platform::Notification&) { finished = true; });
  auto speeds = std::make_shared<SpeedBoard>();
  Retrier retrier;
  const bool terminal = isatty(STDERR_FILENO) != 0;
  size_t drawnLines = 0;
  auto lastPlain = std::chrono::steady_clock::time_point{};
  // The store hands out one live object per item, so this list follows every change. A
  // failure of an earlier run that this run does not name again is no news of this run
  // (`orsa downloads list` shows it).
  const std::set<std::string> named(o.urls.begin(), o.urls.end());
  std::vector<Item> items;
  for (const auto& item : itemsOfUid())
    if (named.count(item->downloadURL()) || item->downloadStatus() != kFailed)
      items.push_back(item);
  for (const auto& item : items) {
    item->setDelegate(speeds);
    // Items already downloading start their speed ticker now.
    item->setEnableSpeed(true);
  }
  for (;;) {
    bool done = true;
    for (const auto& item : items) {
      retrier.check(item);
      const uint64_t status = item->downloadStatus();
      done = done && (status == kFinished || status == kFailed);
    }
    const auto now = std::chrono::steady_clock::now();
    if (terminal || done || now - lastPlain >= kPlainRedraw) {
      drawBars(items, *speeds, terminal, drawnLines);
      lastPlain = now;
    }
    if (done) break;
    if (const int sig = gSignal.load()) {
      // As a host's application ends: every transfer is paused with its resume data.
      orsa::platform::NotificationCenter::defaultCenter().post(orsa::platform::kWillTerminate);
      settle();
      TRDownloadDB::saveAllData();
      TRDownloadDB::close();
      orsa::platform::NotificationCenter::defaultCenter().removeObserver(observer);
      std::fprintf(stderr, "orsa download: stopped; run it again to continue\n");
      return 128 + sig;
    }
    // A finished item ends the wait at once: the last one ends the run.
    finished = false;
    MainLoop::runUntil([&] { return finished; }, kRedraw);
  }

  orsa::platform::NotificationCenter::defaultCenter().removeObserver(observer);
  // Only the URLs this run names decide its outcome; items of earlier runs are shown.
  bool allFinished = true;
  for (const auto& item : items) {
    if (item->downloadStatus() == kFinished) {
      std::printf("finished %lld %s\n", static_cast<long long>(item->fileSize()),
                  item->savePath().c_str());
      continue;
    }
    if (named.count(item->downloadURL())) allFinished = false;
    const auto [code, message] = retrier.failure(item);
    std::printf("failed %lld %s %s\n", static_cast<long long>(code), message.c_str(),
                item->downloadURL().c_str());
  }
  TRDownloadDB::saveAllData();
  TRDownloadDB::close();
  return allFinished ? 0 : 1;
}

int runDownloads(const std::vector<std::string>& args) {
  if (args.empty() || (args[0] != "list" && args[0] != "clear"))
    return downloadsUsage("list or clear?");
  std::string uid;
  if (auto code = parseUid(args, 1, uid)) return *code;
  if (args[0] == "list") {
    for (const auto& item : TRDownloadDB::fetchAllDownloadItemWithUid(
             uid.empty() ? std::string(kTRDefaultDownloadUid) : uid)) {
      std::printf("%s %lld/%lld %s %s\n", statusName(item->downloadStatus()),
                  static_cast<long long>(item->downloadedSize()),
                  static_cast<long long>(item->fileSize()), item->downloadURL().c_str(),
                  item->savePath().c_str());
    }
    TRDownloadDB::close();
    return 0;
  }
  if (downloadsInUse()) return downloadsFailure(kInUse);
  startManager(uid, false, 1);
  settle();
  const size_t count = itemsOfUid().size();
  TRDownloadManager::removeAllCache();
  settle();
  TRDownloadDB::close();
  std::printf("removed %zu items\n", count);
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("download", kDownloadUsage, runDownload);
ORSA_TOOL_COMMAND("downloads", kDownloadsUsage, runDownloads);

}  // namespace orsa::tool
