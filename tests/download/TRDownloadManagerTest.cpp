#include "orsa/TRDownloadManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "download/TRDownloadDB.h"
#include "download/TRDownloadItemPrivate.h"
#include "platform/AppContainer.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

// Every scenario needs a manager of its own, so each runs in a child process with its own home
// (TR_HOME) against the parent's server (TR_BASE). "/slow/<n>" files (2 MB) take about a second.
namespace {

using M = TRDownloadManager;
using Item = std::shared_ptr<TRDownloadItem>;
using Items = std::vector<Item>;
using orsa::test::FaultHttpServer;
using Loop = orsa::platform::MainLoop;
using namespace std::chrono_literals;

std::string content(const std::string& target) {
  std::string bytes(target.find("/slow/") == 0 ? 2 << 20 : 40000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 131 + target.back());
  return bytes;
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}
std::shared_ptr<M> begin(uint64_t max, std::string uid = "", bool autoResume = false) {
  orsa::platform::AppContainer::setRoot(env("TR_HOME"));
  return M::mgrWithConfig(TRDConfig{autoResume, std::move(uid), "", max, 0});
}
Item start(const std::string& target) {
  return M::startDownloadWithUrl(env("TR_BASE") + target);
}
bool finished(const Item& item, const std::string& target) {
  return item->downloadStatus() == 5 && orsa::test::readFile(item->savePath()) == content(target);
}

// The queue, pausing, uid scoping and removal, one step after the other.
ORSA_TEST_CHILD(ManagerQueue) {
  auto m = begin(0, "u1");  // 0 counts as 1
  Items done;
  std::vector<size_t> running, waiting;  // as each finish leaves them
  orsa::platform::NotificationCenter::defaultCenter().addObserver(
      "kDownloadTaskFinishedNoti", nullptr, [&](const auto& note) {
        done.push_back(std::any_cast<Item>(note.object));
        running.push_back(m->runItems().size()), waiting.push_back(m->waitItems().size());
      });
  Items items{start("/x"), start("/y"), start("/z")};
  CHECK(m->runItems() == Items{items[0]});
  CHECK(m->waitItems() == (Items{items[1], items[2]}));
  CHECK(items[0]->downloadStatus() == 2);
  CHECK(items[2]->downloadStatus() == 1);
  CHECK(Loop::runUntil([&] { return done.size() == 3; }, 30s));
  CHECK(done == items);
  CHECK(running == (std::vector<size_t>{1, 1, 0}));
  CHECK(waiting == (std::vector<size_t>{1, 0, 0}));
  for (auto [item, t] : {std::pair{items[0], "/x"}, {items[1], "/y"}, {items[2], "/z"}}) {
    CHECK(finished(item, t));
    CHECK(item->savePath().ends_with(".mp4"));  // "video/mp4; codecs=x"
  }
  CHECK(M::finishList() == items);
  CHECK(M::downloadList().empty());
  CHECK(M::videoCacheSize() == 120000);
  auto a = start("/slow/a"), b = start("/slow/b");
  CHECK(m->runItems() == Items{a});
  CHECK(m->waitItems() == Items{b});
  CHECK(Loop::runUntil([&] { return a->downloadedSize() > 0; }, 30s));
  M::updateUid("u1");  // the same uid: nothing to pause
  CHECK(a->downloadStatus() == 2);
  CHECK(m->runItems() == Items{a});
  M::pauseAllDownloadTask();
  CHECK(a->downloadStatus() == 3);
  CHECK(b->downloadStatus() == 3);
  CHECK(m->runItems().empty());
  CHECK(m->waitItems().empty());
  CHECK(a->noNeedStartNext());
  CHECK(b->noNeedStartNext());
  M::resumeDownloadWithItem(a);  // its pause has not settled yet
  auto d = start("/slow/d");
  CHECK(m->runItems() == Items{a});
  CHECK(a->downloadStatus() == 2);
  CHECK(d->downloadStatus() == 1);
  M::pauseDownloadWithItem(a);  // still flagged: d must go on waiting
  CHECK(m->runItems().empty());
  CHECK(m->waitItems() == Items{d});
  CHECK(d->downloadStatus() == 1);
  M::startDownloadWithItem(items[0]);  // complete on disk: not fetched again, d takes the slot
  CHECK(finished(items[0], "/x"));
  CHECK(m->runItems() == Items{d});
  CHECK(d->downloadStatus() == 2);
  M::updateUid("u2");  // u1's active items pause; u2 sees none of them
  CHECK(d->downloadStatus() == 3);
  CHECK(m->runItems().empty());
  CHECK(M::downloadList().empty());
  CHECK(M::videoCacheSize() == 0);
  CHECK(M::itemsWithDownloadUrl(a->downloadURL()).empty());
  M::updateUid("u1");
  CHECK(Loop::runUntil([] { return !M::hasPausesInFlight(); }, 30s));
  const int64_t partial = a->downloadedSize() + d->downloadedSize();
  CHECK(a->downloadedSize() > 0);
  CHECK(M::videoCacheSize() == partial + 120000);
  CHECK(M::itemsWithDownloadUrl(a->downloadURL()) == Items{a});
  M::removeAllCache();
  CHECK(M::downloadList().empty());
  CHECK(M::finishList().empty());
  CHECK(m->runItems().empty());
  CHECK(!std::filesystem::exists(items[0]->savePath()));
  CHECK(TRDownloadDB::fetchAllDownloadTasks().empty());
  return 0;
}

// First run: two items get under way, then the process ends: killed after the write-back a
// host makes when it goes to the background (stored as downloading), or told it terminates.
// Second run: both continue from their partial files.
ORSA_TEST_CHILD(ManagerRestore) {
  const bool second = env("TR_RUN") == "2", kill = env("TR_END") == "kill";
  if (begin(2, "", true) && !second) {
    Items items{start("/slow/a"), start("/slow/b")};
    // Past the first megabyte, which the transfer service writes and journals as one.
    auto half = [](const Item& item) { return item->downloadedSize() >= (5 << 20) / 4; };
    CHECK(Loop::runUntil([&] { return half(items[0]) && half(items[1]); }, 30s));
    if (kill) TRDownloadDB::saveAllData(), TRDownloadDB::fetchAllDownloadTasks(), raise(SIGKILL);
    orsa::platform::NotificationCenter::defaultCenter().post(orsa::platform::kWillTerminate);
    CHECK(Loop::runUntil([] { return !M::hasPausesInFlight(); }, 30s));
    CHECK(items[0]->downloadStatus() == 3);
    return items[1]->downloadStatus() == 3 ? 0 : 1;
  }
  if (!kill) M::resumeAllDownloadTask();  // a clean stop leaves them paused
  const auto items = M::downloadList();
  CHECK(items.size() == 2);
  CHECK(Loop::runUntil(
      [&] { return finished(items[0], "/slow/a") && finished(items[1], "/slow/b"); }, 30s));
  return 0;
}

bool under(const std::filesystem::path& path, const std::string& root) {
  return path.lexically_normal().string().rfind(root + "/", 0) == 0;
}

// Every path under the home, and every file's size.
std::map<std::string, uintmax_t> tree(const std::string& home) {
  std::map<std::string, uintmax_t> all;
  std::error_code ec;  // files that come and go meanwhile are no concern here
  for (std::filesystem::recursive_directory_iterator it(home, ec), end; !ec && it != end;
       it.increment(ec))
    all[it->path().string()] = it->is_regular_file(ec) ? it->file_size(ec) : 0;
  return all;
}

// Ids become path components: those that are no plain names are refused, and nothing outside
// the save root is written or deleted, not even for an item whose stored ids lead outside.
ORSA_TEST_CHILD(ManagerRefusesIdsThatArePaths) {
  const std::string home = env("TR_HOME");
  orsa::platform::AppContainer::setRoot(home);
  const std::string root = orsa::platform::AppContainer::cachesDirectory() + "/TRDownload";
  // A stored finished item whose file id climbs out of the root, onto a file of that size:
  // restoring it must neither take the file for its own nor delete it.
  auto stored = TRDownloadItem::itemWithUrl(env("TR_BASE") + "/ids", "../../../victim");
  auto& part = TRDownloadItemPrivate::of(*stored);
  part.setTaskId("tampered"), part.setUid("u1"), stored->setFileType("video");
  part.setDownloadStatus(5);
  const auto victim = std::filesystem::path(stored->savePath()).lexically_normal();
  CHECK(!under(victim, root));
  orsa::test::writeFile(victim, "not the manager's");
  TRDownloadDB::saveItem(stored);
  TRDownloadDB::performBlock([] { return true; }, true);
  auto m = begin(1, "u1");
  CHECK(orsa::test::readFile(victim) == "not the manager's");
  const auto before = tree(home);
  const std::string refused[] = {
      ".",    "..",    "a/b", "../../../x", "/abs", "a\\b", std::string("a\0b", 3),
      "a\nb", "tab\t", "\x7f"};
  for (const auto& id : refused) {
    CHECK(M::startDownloadWithUrl(env("TR_BASE") + "/ids", id, 0.5f, std::nullopt) == nullptr);
    auto item = TRDownloadItem::itemWithUrl(env("TR_BASE") + "/ids", "");
    item->setFileType(id);
    M::startDownloadWithItem(item);
    CHECK(item->downloadStatus() == 0);
    CHECK(item->taskId().empty());
    M::updateUid(id);
    CHECK(m->uid() == "u1");
  }
  M::updateUid("");  // empty: the default uid
  CHECK(m->uid() == kTRDefaultDownloadUid);
  CHECK(m->runItems().empty());
  CHECK(m->waitItems().empty());
  TRDownloadDB::performBlock([] { return true; }, true);
  constexpr auto npos = std::string::npos;
  for (const auto& [path, size] : tree(home)) {
    // The transfer service journals its session beside the home's other libraries.
    if (before.count(path) || under(path, root) || path.find("/Library/OrsaTransfers/") != npos)
      continue;
    std::fprintf(stderr, "written outside the save root: %s\n", path.c_str());
    return 1;
  }
  CHECK(orsa::test::readFile(victim) == "not the manager's");
  return 0;
}

class TRDownloadManagerTest : public ::testing::Test {
 protected:
  // Entries given first win over the defaults (getenv finds the first).
  void run(const std::string& child, std::vector<std::string> env, int want = 0) {
    env.insert(env.end(), {"TR_HOME=" + home_.str(), "TR_BASE=" + server_.url("")});
    auto r = orsa::test::runChild(child, env, 90);
    EXPECT_EQ(r.exitCode, want) << child << testing::PrintToString(env) << "\n" << r.err;
  }
  long fetched(const std::string& target, bool ranged) {
    const auto all = server_.requests();
    return std::count_if(all.begin(), all.end(), [&](const auto& r) {
      return r.target == target && !!r.header("Range") == ranged;
    });
  }
  orsa::test::TempDir home_;
  FaultHttpServer server_{[](const FaultHttpServer::Request& request) {
    auto reply = FaultHttpServer::serveBytes(request, content(request.target));
    reply.headers.emplace_back("Content-Type", "video/mp4; codecs=x");
    if (request.target.find("/slow/") == 0) reply.chunkBytes = 128 << 10, reply.chunkDelayMs = 60;
    return reply;
  }};
};

TEST_F(TRDownloadManagerTest, QueueSlotsPausesUidScopesAndRemoval) {
  run("ManagerQueue", {});
  EXPECT_EQ(fetched("/x", false), 1);
}

TEST_F(TRDownloadManagerTest, IdsThatArePathsAreRefusedAndNothingOutsideTheRootIsTouched) {
  run("ManagerRefusesIdsThatArePaths", {});
  EXPECT_EQ(fetched("/ids", false), 0);
}

TEST_F(TRDownloadManagerTest, RestoreContinuesFromPartialFilesAfterKillOrTerminate) {
  for (std::string end : {"kill", "terminate"}) {
    orsa::test::TempDir home;
    const std::vector<std::string> env{"TR_END=" + end, "TR_HOME=" + home.str()};
    run("ManagerRestore", env, end == "kill" ? -1 : 0);
    run("ManagerRestore", {env[0], env[1], "TR_RUN=2"});
  }
  for (auto t : {"/slow/a", "/slow/b"}) EXPECT_EQ(fetched(t, true), 2) << t;
}

}  // namespace
