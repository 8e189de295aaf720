// Preparing packages into the content-addressed cache: first runs, cache hits, recovery from
// interrupted or damaged states, failures and their clean-up, cancellation and the callbacks
// on the main queue.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "ResourceTestPackage.h"
#include "platform/AppContainer.h"
#include "platform/Dispatch.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace orsa::test;
using orsa::platform::MainLoop;

namespace {

constexpr int kOriginFrames = 20;
constexpr int kInterpFrames = 6;

// Outcomes in arrival order: 0 for a success, else the failure code.
struct Recorder : ResourceManagerDelegate {
  void onSetResourceSuccess() override { add(0); }
  void onSetResourceFailed(int64_t code) override { add(code); }
  void add(int64_t outcome) {
    std::lock_guard l(m);
    outcomes.push_back(outcome);
    onMain = onMain && MainLoop::isMainThread();
    if (order) order->push_back(id);
  }
  size_t total() {
    std::lock_guard l(m);
    return outcomes.size();
  }
  std::mutex m;
  std::vector<int64_t> outcomes;
  bool onMain = true;
  std::vector<int>* order = nullptr;
  int id = 0;
};
const std::vector<int64_t> kSuccess = {0}, kFailure = {-200000};

// Packages are made of videos encoded once per program: encoding is the slow part here.
const PackageParts& standardParts() {
  static const PackageParts parts = [] {
    TempDir t;
    std::string json = "[";
    for (int i = 0; i < kInterpFrames; ++i)
      json += fmt::format("{}\"interpolation_{}-{}-{}\"", i ? "," : "", i, i + 10, i % 3);
    return PackageParts{
        {"origin.mp4", readFile(makeVideo(t.path() / "o.mp4", kOriginFrames, videoFormat(64, 48)))},
        {"interpolations.mp4",
         readFile(makeVideo(t.path() / "i.mp4", kInterpFrames, videoFormat(64, 48)))},
        {"interpolations.json", json + "]"},
        {"border.png", "border image bytes"}};
  }();
  return parts;
}
// Long enough for a child process or a cancel to be caught in the middle of extracting it.
const std::string& longOrigin() {
  static const std::string bytes = [] {
    TempDir t;
    return readFile(makeVideo(t.path() / "l.mp4", 400, videoFormat(160, 120)));
  }();
  return bytes;
}

class ResourcePrepareTest : public ::testing::Test {
 protected:
  fs::path package(const std::string& name, const PackageParts& parts = standardParts()) {
    writePackage(home_.path() / name, parts);
    return home_.path() / name;
  }
  static PackageParts with(const std::string& name, const std::string& content) {
    PackageParts parts = standardParts();
    if (content.empty())
      parts.erase(name);
    else
      parts[name] = content;
    return parts;
  }

  // Runs one preparation; its outcomes once its callback came (and no second one).
  std::vector<int64_t> prepare(const std::shared_ptr<ResourceManager>& m, const fs::path& zip) {
    auto d = std::make_shared<Recorder>();
    m->setResource(zip.string(), d);
    EXPECT_TRUE(MainLoop::runUntil([&] { return d->total() > 0; }, 60s)) << "no callback";
    MainLoop::runFor(20ms);
    EXPECT_TRUE(d->onMain);
    return d->outcomes;
  }

  static fs::path expectedDir(const fs::path& zip) {
    return ResourceManager::resourceDirectoryFor(orsa::platform::AppContainer::cachesDirectory(),
                                                 sha256Of(readFile(zip)));
  }

  void expectPrepared(const std::shared_ptr<ResourceManager>& m, const fs::path& zip,
                      bool withInterpolations = true) {
    fs::path dir = expectedDir(zip);
    EXPECT_EQ(m->resourceDir(), dir.string());  // where the readers look
    auto digest = sha256Of(readFile(zip));
    EXPECT_EQ(readFile(dir / "ORSA-DH-META-INFO"), std::string(digest.begin(), digest.end()));
    EXPECT_FALSE(fs::exists(dir / ".cancel_flag_v2.5"));
    EXPECT_EQ(jpegNames(dir / "frames"), expectedNames(kOriginFrames));
    EXPECT_TRUE(m->readOriginFrame(kOriginFrames - 1));
    EXPECT_EQ(m->readInterpolationWithStart(4, 14, 1) != nullptr, withInterpolations);
    EXPECT_EQ(jpegNames(dir / "interpolations"), expectedNames(withInterpolations * kInterpFrames));
    // No temporary file of an atomic write is left behind.
    for (auto& e : fs::directory_iterator(dir))
      EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }

  TempHome home_;
};

}  // namespace

TEST_F(ResourcePrepareTest, FirstRunExtractsThenTheSameContentIsACacheHit) {
  PackageParts plain = with("interpolations.mp4", "");
  plain.erase("interpolations.json");
  for (bool withInterpolations : {false, true}) {
    auto zip = package(withInterpolations ? "a.zip" : "plain.zip",
                       withInterpolations ? standardParts() : plain);
    auto m = ResourceManager::create();
    EXPECT_EQ(prepare(m, zip), kSuccess);
    expectPrepared(m, zip, withInterpolations);
    // The unpacked files stay beside the frames, and the package itself is left alone.
    EXPECT_EQ(readFile(fs::path(m->resourceDir()) / "border.png"), "border image bytes");
    EXPECT_TRUE(fs::exists(zip));
  }
  // Under another name the same content is not unpacked again: a frame removed behind the
  // cache's back stays removed, and the table is loaded on the hit too.
  fs::path dir = expectedDir(home_.path() / "a.zip");
  fs::remove(dir / "frames" / "000003.jpg");
  fs::copy_file(home_.path() / "a.zip", home_.path() / "renamed-package.bin");
  auto other = ResourceManager::create();
  EXPECT_EQ(prepare(other, home_.path() / "renamed-package.bin"), kSuccess);
  EXPECT_EQ(other->resourceDir(), dir.string());
  EXPECT_FALSE(fs::exists(dir / "frames" / "000003.jpg"));
  EXPECT_TRUE(other->readInterpolationWithStart(5, 15, 2));
}

// Anything but a complete meta-info file without the cancel flag means unpacking again; a
// flag beside a good meta-info means clearing the folder first.
TEST_F(ResourcePrepareTest, DamagedOrInterruptedStatesAreExtractedAgain) {
  auto zip = package("a.zip");
  fs::path dir = expectedDir(zip), meta = dir / "ORSA-DH-META-INFO";
  // What a run killed half-way leaves: the flag, some files, no meta-info.
  fs::create_directories(dir / "frames");
  writeFile(dir / ".cancel_flag_v2.5", "extracting");
  writeFile(dir / "frames" / "000000.jpg", "half-written");
  writeFile(dir / "origin.mp4", "truncated");
  auto m = ResourceManager::create();
  EXPECT_EQ(prepare(m, zip), kSuccess);
  expectPrepared(m, zip);
  EXPECT_EQ(readFile(dir / "origin.mp4"), standardParts().at("origin.mp4"));

  const std::string good = readFile(meta);
  std::string foreign = good;
  foreign[5] ^= 0x40;
  for (const std::string& state :
       {std::string(), good.substr(0, 31), foreign, good + "\n", std::string("flag")}) {
    SCOPED_TRACE(state.size());
    fs::remove(dir / "frames" / "000003.jpg");
    writeFile(dir / "stale-leftover", "from an interrupted run");
    if (state == "flag")
      writeFile(dir / ".cancel_flag_v2.5", "extracting");
    else if (state.empty())
      fs::remove(meta);
    else
      writeFile(meta, state);
    EXPECT_EQ(prepare(m, zip), kSuccess);
    EXPECT_TRUE(fs::exists(dir / "frames" / "000003.jpg")) << "not re-extracted";
    EXPECT_EQ(fs::exists(dir / "stale-leftover"), state != "flag");
    EXPECT_EQ(readFile(meta), good);
  }
  expectPrepared(m, zip);
}

// A failure is reported once and removes the package and the folder. A frame that cannot be
// written (a folder in its place) is a failure too: no meta-info marks the package prepared
// with a frame missing, so the next run extracts it again.
TEST_F(ResourcePrepareTest, FailuresReportOnceAndLeaveNothingPrepared) {
  std::vector<fs::path> zips = {package("no-origin.zip", with("origin.mp4", "")),
                                package("bad-video.zip", with("origin.mp4", "no mp4")),
                                package("unwritable.zip"), home_.path() / "junk.zip"};
  writeFile(zips.back(), std::string(4096, 'j'));
  fs::create_directories(expectedDir(zips[2]) / "frames" / "000005.jpg");
  auto m = ResourceManager::create();
  for (const fs::path& zip : zips) {
    fs::path dir = expectedDir(zip);
    EXPECT_EQ(prepare(m, zip), kFailure) << zip;
    EXPECT_FALSE(fs::exists(zip));
    EXPECT_FALSE(fs::exists(dir));
  }
  auto zip = package("unwritable.zip");
  EXPECT_EQ(prepare(m, zip), kSuccess);
  expectPrepared(m, zip);
  // No package file, or a folder: nothing to remove, still one failure.
  EXPECT_EQ(prepare(m, home_.path() / "absent.zip"), kFailure);
  EXPECT_EQ(prepare(m, home_.path()), kFailure);
}

// Cancelled, released or without a delegate before the task runs: nothing is touched and
// nothing reported. Cancelled after the task posted its outcome: a success is suppressed, a
// failure is not. A new request clears the cancel.
TEST_F(ResourcePrepareTest, CancelAndReleaseSuppressWhatIsNotDoneYet) {
  auto zip = package("a.zip"), broken = package("broken.zip", with("origin.mp4", ""));
  const fs::path dir = expectedDir(zip);
  for (int variant : {1, 2, 0, 3, 4}) {
    SCOPED_TRACE(variant);
    auto m = ResourceManager::create();
    auto queue = m->processingQueue();
    orsa::platform::Semaphore gate;
    queue->async([&] { gate.wait(); });
    auto d = std::make_shared<Recorder>();
    m->setResource((variant == 4 ? broken : zip).string(),
                   variant == 2 ? std::make_shared<Recorder>() : d);
    if (variant == 0) m->cancel();
    if (variant == 1) m.reset();  // the task holds the manager weakly
    gate.signal();                // variant 2: the delegate is gone already
    queue->sync([] {});
    if (variant >= 3) m->cancel();  // the outcome waits on the main queue, not pumped yet
    MainLoop::runFor(50ms);
    EXPECT_EQ(d->outcomes, variant == 4 ? kFailure : std::vector<int64_t>{});
    if (variant < 3) {
      EXPECT_FALSE(fs::exists(dir)) << "touched";
    }
    if (variant == 0) {
      EXPECT_EQ(prepare(m, zip), kSuccess);
    }
  }
}

TEST_F(ResourcePrepareTest, CancelDuringExtractionRemovesTheDirectoryAndReportsNothing) {
  auto zip = package("long.zip", with("origin.mp4", longOrigin()));
  fs::path dir = expectedDir(zip);
  auto m = ResourceManager::create();
  auto d = std::make_shared<Recorder>();
  std::atomic<bool> stop{false}, cancelled{false};
  // The cancel flag appears just before unpacking; the 400 frames take far longer than the
  // watcher needs to see it, and the work done after the cancel is thrown away.
  std::thread watcher([&] {
    for (; !stop && !cancelled; std::this_thread::yield())
      if (fs::exists(dir / ".cancel_flag_v2.5")) m->cancel(), cancelled = true;
  });
  m->setResource(zip.string(), d);
  m->processingQueue()->sync([] {});
  stop = true;
  watcher.join();
  MainLoop::runFor(50ms);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(d->total(), 0u);
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(ResourcePrepareTest, RequestsRunInOrderWhileReadersRead) {
  auto zip = package("a.zip");
  auto m = ResourceManager::create();
  prepare(m, zip);
  // Re-running a prepared package while other threads read frames and the table.
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      for (; !stop; (void)m->getBorderPath())
        if (m->readOriginFrame(t) && m->readInterpolationWithStart(4, 14, 1)) ++reads;
    });
  ASSERT_TRUE(MainLoop::runUntil([&] { return reads > 0; }, 10s));
  std::vector<int> order;
  std::vector<std::shared_ptr<Recorder>> ds(5);
  for (int i = 0; i < 5; ++i) {
    ds[i] = std::make_shared<Recorder>();
    ds[i]->order = &order;
    ds[i]->id = i;
    m->setResource(zip.string(), ds[i]);
  }
  EXPECT_TRUE(MainLoop::runUntil([&] { return order.size() == 5; }, 60s));
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  for (auto& d : ds) EXPECT_EQ(d->outcomes, kSuccess);
}

// A process killed in the middle of extraction leaves a state the next run recovers from.
ORSA_TEST_CHILD(PrepareUntilKilled) {
  orsa::platform::AppContainer::setRoot(std::getenv("ORSA_KILL_HOME"));
  auto m = ResourceManager::create();
  auto d = std::make_shared<Recorder>();
  m->setResource(std::getenv("ORSA_KILL_ZIP"), d);
  MainLoop::runUntil([&] { return d->total() > 0; }, 120s);
  return d->outcomes == kSuccess ? 0 : 3;
}

TEST_F(ResourcePrepareTest, KilledRunLeavesAStateTheNextRunRecoversFrom) {
  auto zip = package("long.zip", with("origin.mp4", longOrigin()));
  fs::path dir = expectedDir(zip);
  bool caughtMidway = false;
  for (int attempt = 0; attempt < 3 && !caughtMidway; ++attempt) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    pid_t pid = spawnChild("PrepareUntilKilled",
                           {"ORSA_KILL_HOME=" + home_.str(), "ORSA_KILL_ZIP=" + zip.string()}, "",
                           (home_.path() / "child.err").string());
    ASSERT_GT(pid, 0);
    // Kill it once a few frames exist.
    bool exited = false;
    waitUntil([&] {
      exited = waitpid(pid, nullptr, WNOHANG) == pid;
      return exited || jpegNames(dir / "frames").size() >= 8;
    });
    if (!exited) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    caughtMidway = !exited && !fs::exists(dir / "ORSA-DH-META-INFO");
  }
  ASSERT_TRUE(caughtMidway) << "the child was never caught mid-extraction";
  EXPECT_TRUE(fs::exists(dir / ".cancel_flag_v2.5"));
  EXPECT_LT(jpegNames(dir / "frames").size(), 400u);
  auto m = ResourceManager::create();
  EXPECT_EQ(prepare(m, zip), kSuccess);
  EXPECT_EQ(jpegNames(dir / "frames"), expectedNames(400));
  EXPECT_FALSE(fs::exists(dir / ".cancel_flag_v2.5"));
  EXPECT_TRUE(m->isPrepared(sha256Of(readFile(zip))));
}

// Sizes around the streaming block size catch a lost or repeated block.
TEST(ResourceDigest, StreamedDigestEqualsTheDigestOfTheWholeFile) {
  TempDir t;
  for (size_t size : {size_t(0), size_t(1 << 20) - 1, size_t(1 << 20), size_t(3 << 20) + 17}) {
    const std::string bytes = randomBytes(size);
    writeFile(t.path() / "f", bytes);
    EXPECT_EQ(ResourceManager::digestOfFile((t.path() / "f").string()), sha256Of(bytes)) << size;
  }
  std::string err;
  EXPECT_FALSE(ResourceManager::digestOfFile((t.path() / "absent").string(), &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(ResourceManager::digestOfFile(t.str()));
}

// The cache name is standard Base64 of the digest plus "_v2.5", appended as one string: a "/"
// in it nests one more folder, and every derived path must still agree.
TEST_F(ResourcePrepareTest, NamesAreBase64WithVersionSuffixAndSlashesNest) {
  auto digest = sha256Of("content 3");
  std::string name = ResourceManager::digestName(digest);
  unsigned char decoded[33] = {};
  ASSERT_EQ(EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(name.data()), 44), 33);
  EXPECT_EQ(0, std::memcmp(decoded, digest.data(), 32));
  EXPECT_EQ(name.substr(43), "=_v2.5");
  EXPECT_EQ(ResourceManager::resourceDirectoryFor("/c", digest),
            "/c/OrsaMirelo/dh-resource/" + name);
  // Extra entries change the content until the digest's Base64 holds a "/".
  fs::path zip;
  for (int i = 0;
       zip.empty() || (i < 200 && ResourceManager::digestName(sha256Of(readFile(zip))).find('/') ==
                                      std::string::npos);
       ++i)
    zip = package("nested.zip", with("salt.txt", std::to_string(i)));
  auto m = ResourceManager::create();
  EXPECT_EQ(prepare(m, zip), kSuccess);
  expectPrepared(m, zip);
}
