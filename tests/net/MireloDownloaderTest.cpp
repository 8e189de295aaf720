#include "net/MireloDownloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/AppContainer.h"
#include "platform/Digest.h"
#include "platform/UserDefaults.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

namespace {

namespace P = orsa::platform;
using namespace std::chrono_literals;
using orsa::test::FaultHttpServer;
using Reply = FaultHttpServer::Reply;

// What one request saw: its completion (thread, target) and every progress value.
struct Probe {
  std::mutex mu;
  std::atomic<bool> done{false};
  std::optional<std::string> target, fileAtCompletion;
  bool onCallerThread = false, progressOffMain = false;
  std::vector<float> progress;
  int rank = 0;  // order among all completions
  static inline std::atomic<int> completed{0};

  MireloDownloader::Completion completion() {
    return [this, caller = std::this_thread::get_id()](const auto& t) {
      target = t, onCallerThread = std::this_thread::get_id() == caller, rank = ++completed;
      if (t) fileAtCompletion = orsa::test::readFile(*t);
      done = true;  // publishes the rest; last touch, as the test may drop the probe after it
    };
  }
  MireloDownloader::Progress progressFn() {
    return [this](float v) {
      std::lock_guard lock(mu);
      progress.push_back(v), progressOffMain |= !P::MainLoop::isMainThread();
    };
  }
};

class MireloDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    P::AppContainer::setRoot(home.str());
    downloader = std::make_shared<MireloDownloader>();
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
    slow.body = body, slow.chunkBytes = 16 * 1024, slow.chunkDelayMs = 3;
  }
  bool wait(Probe& p) {
    return P::MainLoop::runUntil([&p] { return p.done.load(); }, 20s);
  }
  // The whole body reached the target before its completion ran, and its size is on record.
  void expectFetched(const Probe& p, const std::string& url) {
    EXPECT_EQ(p.target, downloader->downloadDirectory() + "/" + P::Digest::sha256Hex(url));
    EXPECT_TRUE(p.fileAtCompletion == body) << p.fileAtCompletion.value_or("").size();
    EXPECT_EQ(record(url), static_cast<int64_t>(body.size()));
  }
  std::optional<int64_t> record(const std::string& url) {
    auto defaults = P::UserDefaults::standardUserDefaults();
    const std::string hash = P::Digest::sha256Hex(url);
    return defaults->hasKey(hash) ? std::optional(defaults->integerForKey(hash)) : std::nullopt;
  }

  orsa::test::TempDir home;
  std::shared_ptr<MireloDownloader> downloader;
  std::string body = std::string(200 * 1024, '\0');
  Reply slow;  // the whole body in small, paced chunks
};

TEST_F(MireloDownloaderTest, JoinsOneTransferThenAnswersFromCacheThenRefetchesTruncatedFile) {
  std::promise<void> joined;  // the reply waits until both requests are in
  auto gate = joined.get_future().share();
  FaultHttpServer server([&](const auto&) { return gate.wait_for(10s), slow; });
  const std::string url = server.url("/pkg.zip?v=1");
  const std::string target = downloader->getDownloadTarget(url);
  Probe a, b;
  downloader->download(url, a.completion(), a.progressFn());
  downloader->download(url, b.completion(), b.progressFn());
  joined.set_value();
  ASSERT_TRUE(wait(a));
  ASSERT_TRUE(wait(b));
  P::MainLoop::poll();  // progress is posted before the completion runs
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_LT(a.rank, b.rank);
  expectFetched(a, url);
  expectFetched(b, url);
  EXPECT_EQ(a.progress, b.progress);
  ASSERT_FALSE(a.progress.empty());
  EXPECT_EQ(a.progress.back(), 1.0f);
  EXPECT_TRUE(std::ranges::is_sorted(a.progress));
  EXPECT_FALSE(a.onCallerThread);
  EXPECT_FALSE(a.progressOffMain);
  EXPECT_FALSE(b.progressOffMain);
  EXPECT_EQ(downloader->getDownloadProgress(target), 1.0f);

  // A new instance finds the file by its record and answers before download() returns.
  auto again = std::make_shared<MireloDownloader>();
  Probe c;
  again->download(url, c.completion(), c.progressFn());
  EXPECT_TRUE(c.done);
  EXPECT_TRUE(c.onCallerThread);
  EXPECT_EQ(c.target, target);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(c.progress, std::vector<float>{1.0f});
  // Truncated: fetched again, and the new file replaces the old one.
  std::filesystem::resize_file(target, 1000);
  Probe d;
  again->download(url, d.completion());
  ASSERT_TRUE(wait(d));
  EXPECT_EQ(server.requests().size(), 2u);
  expectFetched(d, url);
}

// Each first reply fails (or succeeds without a length); the next request must fetch again.
TEST_F(MireloDownloaderTest, FailedOrLengthlessTransfersThenFetchAgain) {
  // name, status, no length, close after, delivers
  const std::tuple<const char*, int, bool, std::optional<size_t>, bool> cases[] = {
      {"no-length", 200, true, {}, true},
      {"404", 404, false, {}, false},
      {"dropped", 200, false, 70000, false}};
  for (const auto& [name, status, noLength, closeAfter, delivers] : cases) {
    SCOPED_TRACE(name);
    std::atomic<int> served{0};
    // Copies: clang 14 cannot capture structured bindings.
    const auto firstStatus = status;
    const bool firstNoLength = noLength;
    const auto firstCloseAfter = closeAfter;
    FaultHttpServer server([&](const auto&) {
      Reply r = slow;
      if (served++ == 0)
        r.status = firstStatus, r.noLength = firstNoLength, r.closeAfter = firstCloseAfter;
      return r;
    });
    const std::string url = server.url(std::string("/") + name);
    Probe first;
    downloader->download(url, first.completion(), first.progressFn());
    ASSERT_TRUE(wait(first));
    P::MainLoop::poll();
    if (delivers) {
      expectFetched(first, url);
      EXPECT_TRUE(first.progress.empty());
      continue;
    }
    EXPECT_EQ(first.target, std::nullopt);
    EXPECT_EQ(record(url), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(downloader->getDownloadTarget(url)));
    Probe second;
    downloader->download(url, second.completion());
    ASSERT_TRUE(wait(second));
    EXPECT_EQ(served.load(), 2);
    expectFetched(second, url);
  }
}

}  // namespace
