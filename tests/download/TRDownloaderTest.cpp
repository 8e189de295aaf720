#include "download/TRDownloader.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "download/TRDownloadDB.h"
#include "platform/HostInfo.h"
#include "platform/TransferJournal.h"
#include "platform/UserDefaults.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

// Every scenario runs in a child process of its own, with its own home: the downloader is a
// process-wide singleton whose session outlives a test. The servers run in the parent, which
// checks what the child asked them for.
namespace {

namespace P = orsa::platform;
using namespace std::chrono_literals;
using orsa::test::FaultHttpServer;
using orsa::test::randomBytes;
using DB = TRDownloadDB;
using Loop = P::MainLoop;

const std::string kSmall = randomBytes(40017, 1), kSlow = randomBytes((1 << 20) + 5, 2);
int64_t rangeStart(const std::string& range) {
  return range.rfind("bytes=", 0) == 0 ? std::atoll(range.c_str() + 6) : -1;
}
std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

struct Outcome {
  int completions = 0;
  std::optional<std::string> bytes;  // the finished file, read before it goes
  std::optional<P::Error> error;
  TRCompletionHandler handler() {
    return [this](const std::optional<std::string>& path, const std::optional<P::Error>& e) {
      ++completions;
      if (path) bytes = orsa::test::readFile(*path);
      error = e;
    };
  }
};

// The stored row of a task, once the store's queue has done what was asked before.
std::optional<TRDBRow> storedRow(const std::string& taskId) {
  DB::performBlock([] { return true; }, true);
  auto rows = DB::selectSql("select * from downloadTask where taskId == ?", {taskId});
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

ORSA_TEST_CHILD(TRDownloaderOutcomes) {
  auto d = TRDownloader::downloader();
  const std::string base = env("TR_URL");
  const auto n = static_cast<int64_t>(kSmall.size());
  // path, cache mode, stored fileSize (a stale one from an earlier answer), error code, whether
  // the stored row stays
  const std::tuple<const char*, uint64_t, int64_t, int64_t, bool> cases[] = {
      {"missing", 0, 0, 11002, false},
      {"small", 0, n + 7, 0, false},
      {"small", 0, 0, 0, false},
      {"small", 1, 0, 0, true},
      {"nolength", 0, 0, 0, false}};
  for (const auto& [path, mode, presetSize, code, rowKept] : cases) {
    d->setTaskCachekMode(mode);
    Outcome o;
    auto task = d->downloadWithUrl(base + path, {}, o.handler());
    if (presetSize) task->setFileSize(presetSize);
    CHECK(d->resumeTask(task));
    CHECK(Loop::runUntil([&] { return o.completions > 0; }, 20s));
    Loop::runFor(100ms);
    CHECK(o.completions == 1);
    CHECK(!task->downloadTask());
    CHECK((o.error ? o.error->code : 0) == code);
    CHECK(o.bytes.has_value() == (code == 0));
    if (code == 0) {
      CHECK(*o.bytes == kSmall);
      CHECK(task->downloadedSize() == n);
      CHECK(task->fileSize() == n);
    }
    if (code == 11002) {
      CHECK(o.error->domain == "http status code error");
      CHECK(!task->downloadedSize());
    }
    auto row = storedRow(task->taskId());
    CHECK(row.has_value() == rowKept);
    if (row) CHECK(TRDownloadUtils::integerOf(row->at("stid")) == -1);
  }
  // A cancelled task says nothing, now or later.
  Outcome o;
  auto task = d->downloadWithUrl(base + "slow", {}, o.handler());
  CHECK(d->resumeTask(task));
  CHECK(Loop::runUntil([&] { return task->downloadedSize() > 0; }, 20s));
  d->cancelTask(task);
  CHECK(Loop::runUntil([&] { return !task->downloadTask(); }, 5s));
  Loop::runFor(300ms);
  CHECK(o.completions == 0);
  return 0;
}

ORSA_TEST_CHILD(TRDownloaderPauseResume) {
  auto d = TRDownloader::downloader();
  Outcome o;
  int64_t lastTotal = 0;
  auto task = d->downloadWithUrl(
      env("TR_URL") + "slow", [&](const TRProgress& p, auto&) { lastTotal = p.totalUnitCount; },
      o.handler());
  CHECK(d->resumeTask(task));
  auto first = task->downloadTask();
  CHECK(first);
  CHECK(task->stid() == static_cast<int64_t>(first->taskIdentifier()));
  CHECK(d->resumeTask(task));
  CHECK(task->downloadTask() == first);
  CHECK(Loop::runUntil([&] { return task->downloadedSize() >= 65536; }, 20s));
  d->pauseTask(task);
  CHECK(Loop::runUntil([&] { return !task->resumeData().empty(); }, 5s));
  Loop::runFor(200ms);
  CHECK(o.completions == 0);
  CHECK(!task->downloadTask());
  CHECK(task->stid() == -1);
  auto row = storedRow(task->taskId());
  CHECK(row);
  CHECK(TRDownloadUtils::integerOf(row->at("stid")) == -1);
  CHECK(TRDownloadUtils::bytesOf(row->at("resumeData")) == task->resumeData());
  CHECK(d->resumeTask(task));
  CHECK(task->resumeData().empty());
  CHECK(task->isRunning());
  CHECK(Loop::runUntil([&] { return o.completions > 0; }, 20s));
  CHECK(!o.error);
  CHECK(o.bytes == kSlow);
  CHECK(task->isFinished());
  CHECK(task->fileSize() == lastTotal);
  CHECK(lastTotal == int64_t(kSlow.size()));  // the resumed leg reports the whole file
  return 0;
}

ORSA_TEST_CHILD(TRDownloaderCellular) {
  auto d = TRDownloader::downloader();
  Outcome a, b;
  auto ta = d->downloadWithUrl(env("TR_URL") + "slow", {}, a.handler());
  CHECK(!d->allowsCellularAccess());
  CHECK(d->resumeTask(ta));
  CHECK(Loop::runUntil([&] { return ta->downloadedSize() >= 65536; }, 20s));
  auto oldSession = d->session();
  auto oldTransfer = ta->downloadTask();
  d->setAllowsCellularAccess(false);
  CHECK(!d->isNeedCreateSession());
  CHECK(d->session() == oldSession);
  CHECK(ta->downloadTask() == oldTransfer);
  auto started = std::chrono::steady_clock::now();
  d->setAllowsCellularAccess(true);
  CHECK(d->isNeedCreateSession());
  // As the package loader does: a task started while the session is being rebuilt.
  auto tb = d->downloadWithUrl(env("TR_URL") + "small", {}, b.handler());
  CHECK(d->resumeTask(tb));
  CHECK(Loop::runUntil([&] { return !d->isNeedCreateSession(); }, 5s));
  // 6-50 ms here: a bound for a rebuild that waits on its transfers, not a timing figure.
  CHECK(std::chrono::steady_clock::now() - started < 1s);
  auto session = d->session();
  CHECK(session != oldSession);
  CHECK(session->configuration().allowsCellularAccess);
  CHECK(P::UserDefaults::standardUserDefaults()->boolForKey("kIsAllowCellar"));
  for (const auto& t : {ta, tb}) {
    CHECK(t->isRunning());
    CHECK(t->downloadTask()->session().lock() == session);
    CHECK(!t->needToRestart());
  }
  CHECK(Loop::runUntil([&] { return a.completions && b.completions; }, 20s));
  CHECK(a.completions == 1);
  CHECK(a.bytes == kSlow);
  CHECK(b.bytes == kSmall);
  // Background time running out: the session is handed back, then the host's handler runs.
  TRDownloader::setBackgroundTimeRemainingProvider([] { return 10.0; });
  int handled = 0;
  d->addCompletionHandler([&] { handled += 1; }, d->sessionIdentifier());
  d->addCompletionHandler([&] { handled += 10; }, "another.BGS.TRDownloader");
  CHECK(Loop::runUntil([&] { return handled; }, 5s));
  CHECK(handled == 1);
  CHECK(d->session() != session);
  return 0;
}

// Started by the SIGKILL test; killed once both downloads have bytes on disk. Task B is then
// dropped from the store, so its transfer is an orphan for the next process.
ORSA_TEST_CHILD(TRDownloaderRestartStart) {
  auto d = TRDownloader::downloader();
  auto a = d->downloadWithUrl(env("TR_A"), {}, {}), b = d->downloadWithUrl(env("TR_B"), {}, {});
  CHECK(d->resumeTask(a));
  CHECK(d->resumeTask(b));
  CHECK(
      Loop::runUntil([&] { return a->downloadedSize() >= 65536 && b->downloadedSize() > 0; }, 20s));
  CHECK(DB::removeTask(b));
  CHECK(!storedRow(b->taskId()));
  // The session journals its transfers' bytes from time to time: the next process must find
  // both with bytes to continue from.
  const std::string journalPath =
      P::TransferJournal::pathFor(P::HostInfo::get().bundleIdentifier + ".BGS.TRDownloader");
  CHECK(Loop::runUntil(
      [&] {
        std::set<uint64_t> held;
        for (const auto& entry : P::TransferJournal::load(journalPath).transfers)
          if (entry.bytesReceived > 0) held.insert(entry.taskIdentifier);
        return held == std::set<uint64_t>{static_cast<uint64_t>(a->stid()),
                                          static_cast<uint64_t>(b->stid())};
      },
      20s));
  orsa::test::writeFile(env("TR_MARK") + ".tmp",
                        fmt::format("{} {} {}", a->taskId(), a->stid(), b->stid()));
  std::rename((env("TR_MARK") + ".tmp").c_str(), env("TR_MARK").c_str());
  Loop::runFor(60s);
  return 3;
}

ORSA_TEST_CHILD(TRDownloaderRestartResume) {
  std::istringstream mark(orsa::test::readFile(env("TR_MARK")));
  std::string tid;
  uint64_t stidA = 0, stidB = 0;
  CHECK(mark >> tid >> stidA >> stidB);
  // Both transfers survived the kill; only A still has a stored task.
  auto journal = P::TransferJournal::load(
      P::TransferJournal::pathFor(P::HostInfo::get().bundleIdentifier + ".BGS.TRDownloader"));
  std::set<uint64_t> held;
  for (const auto& entry : journal.transfers) held.insert(entry.taskIdentifier);
  CHECK(held == std::set<uint64_t>({stidA, stidB}));
  auto d = TRDownloader::downloader();
  auto a = DB::taskWithTid(tid);
  CHECK(a);
  CHECK(a->downloadTask());
  CHECK(a->stid() == static_cast<int64_t>(stidA));
  // Resumed at once, as a restoring manager does: it waits for the adoption's pause to end.
  Outcome o;
  CHECK(d->resumeDownloadTaskWithTid(tid, {}, o.handler()) == a);
  CHECK(Loop::runUntil([&] { return o.completions > 0; }, 30s));
  CHECK(!o.error);
  CHECK(o.bytes == orsa::test::readFile(env("TR_FILE")));
  CHECK(d->session()->allTasks().empty());  // B was cancelled, not left suspended
  return 0;
}

class TRDownloaderTest : public ::testing::Test {
 protected:
  static FaultHttpServer::Reply serve(const FaultHttpServer::Request& r) {
    const bool small = r.target == "/small" || r.target == "/nolength";
    auto reply = FaultHttpServer::serveBytes(r, small ? kSmall : kSlow);
    reply.noLength = r.target == "/nolength";
    if (r.target == "/slow") reply.chunkBytes = 16384, reply.chunkDelayMs = 15;
    if (r.target == "/missing") reply.status = 404;
    return reply;
  }
  void runScenario(const std::string& child) {
    auto r = orsa::test::runChild(child, {"ORSA_HOME=" + home_.str(), "TR_URL=" + server_.url("/")},
                                  120);
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }
  // The Range headers of the requests for one target, in order ("" for none).
  std::vector<std::string> rangesOf(const std::string& target) {
    std::vector<std::string> ranges;
    for (const auto& r : server_.requests())
      if (r.target == target) ranges.push_back(r.header("Range").value_or(""));
    return ranges;
  }
  orsa::test::TempDir home_;
  FaultHttpServer server_{serve};
};

TEST_F(TRDownloaderTest, ErrorsCacheModesAndCancel) {
  runScenario("TRDownloaderOutcomes");
}

TEST_F(TRDownloaderTest, PauseResumesWithARangeFromTheResumeDataAndOneTransferPerResume) {
  runScenario("TRDownloaderPauseResume");
  auto ranges = rangesOf("/slow");
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0], "");
  EXPECT_GE(rangeStart(ranges[1]), 65536) << ranges[1];
  for (const auto& r : server_.requests())
    EXPECT_TRUE(!r.header("Range") || r.header("If-Range") == "\"v1\"") << r.target;
}

TEST_F(TRDownloaderTest, CellularSwitchRebuildsTheSessionAndRestartsTheRunningTask) {
  runScenario("TRDownloaderCellular");
  auto ranges = rangesOf("/slow");
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_GE(rangeStart(ranges[1]), 65536) << ranges[1];
  EXPECT_EQ(rangesOf("/small").size(), 1u);
}

TEST(TRDownloaderRestartTest, SigkillMidDownloadAdoptsByStidAndResumesToTheSameBytes) {
  orsa::test::TempDir home, root;
  const std::string big = randomBytes(512 * 1024 + 123, 3);
  orsa::test::writeFile(root.path() / "big.bin", big);
  orsa::test::writeFile(root.path() / "other.bin", randomBytes(512 * 1024, 4));
  orsa::test::NginxServer nginx({root.path(), "128k", ""});
  ASSERT_NE(nginx.port(), 0);
  const std::string mark = (home.path() / "mark").string();
  const std::vector<std::string> env = {"ORSA_HOME=" + home.str(), "TR_A=" + nginx.url("big.bin"),
                                        "TR_B=" + nginx.url("other.bin"), "TR_MARK=" + mark,
                                        "TR_FILE=" + (root.path() / "big.bin").string()};
  const std::string errPath = (home.path() / "start.err").string();
  pid_t pid = orsa::test::spawnChild("TRDownloaderRestartStart", env, "", errPath);
  ASSERT_GT(pid, 0);
  int status = 0;
  for (int i = 0; i < 1000 && !std::filesystem::exists(mark); ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) FAIL() << orsa::test::readFile(errPath);
    std::this_thread::sleep_for(20ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ASSERT_TRUE(std::filesystem::exists(mark)) << orsa::test::readFile(errPath);
  auto r = orsa::test::runChild("TRDownloaderRestartResume", env, 90);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // "$request $status $http_range $bytes_sent": the last request for big.bin asks for the rest.
  std::vector<std::string> bigLines;
  for (const auto& line : nginx.accessLog())
    if (line.find("/big.bin ") != std::string::npos) bigLines.push_back(line);
  ASSERT_GE(bigLines.size(), 2u);
  std::istringstream last(bigLines.back());
  std::string method, path, proto, range;
  int64_t code = 0, sent = 0;
  last >> method >> path >> proto >> code >> range >> sent;
  EXPECT_EQ(code, 206) << bigLines.back();
  int64_t from = rangeStart(range);
  EXPECT_GE(from, 65536) << bigLines.back();
  EXPECT_LT(sent, static_cast<int64_t>(big.size()) - from + 1024) << bigLines.back();
}

}  // namespace
