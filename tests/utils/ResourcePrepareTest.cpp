// Preparing packages into the content-addressed cache: first runs, cache hits, recovery from
// every kind of interrupted or damaged state, failures and their clean-up, cancellation and
// the callbacks on the main queue.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "ResourceTestPackage.h"
#include "platform/AppContainer.h"
#include "platform/Dispatch.h"
#include "utils/ResourceManager.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace orsa::test;
using orsa::platform::MainLoop;

namespace {

constexpr int kOriginFrames = 20;
constexpr int kInterpFrames = 6;

class RecordingDelegate : public ResourceManagerDelegate {
 public:
  void onSetResourceSuccess() override {
    std::lock_guard l(m);
    ++successes;
    onMain = onMain && MainLoop::isMainThread();
  }
  void onSetResourceFailed(int64_t code) override {
    std::lock_guard l(m);
    failures.push_back(code);
    onMain = onMain && MainLoop::isMainThread();
  }
  int total() {
    std::lock_guard l(m);
    return successes + static_cast<int>(failures.size());
  }
  std::mutex m;
  int successes = 0;
  std::vector<int64_t> failures;
  bool onMain = true;
};

// Videos are made once: encoding them is the slow part of these tests.
struct Media {
  TempDir dir;
  std::string origin, interpolations, longOrigin;
  std::string json;
};
Media& media() {
  static Media* m = [] {
    auto* x = new Media;
    makeVideo(x->dir.path() / "o.mp4", kOriginFrames, 64, 48);
    makeVideo(x->dir.path() / "i.mp4", kInterpFrames, 64, 48);
    x->origin = readFile(x->dir.path() / "o.mp4");
    x->interpolations = readFile(x->dir.path() / "i.mp4");
    x->json = R"([)";
    for (int i = 0; i < kInterpFrames; ++i)
      x->json += std::string(i ? "," : "") + "\"interpolation_" + std::to_string(i) + "-" +
                 std::to_string(i + 10) + "-" + std::to_string(i % 3) + "\"";
    x->json += "]";
    return x;
  }();
  return *m;
}

class ResourcePrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orsa::platform::AppContainer::setRoot(home_.str());
    parts_.origin = media().origin;
    parts_.interpolations = media().interpolations;
    parts_.interpolationsJson = media().json;
    parts_.border = "border image bytes";
  }

  fs::path package(const std::string& name, const PackageParts& parts) {
    fs::path p = home_.path() / name;
    writePackage(p, parts);
    return p;
  }

  // Runs one preparation and waits for its callback.
  std::shared_ptr<RecordingDelegate> prepare(const std::shared_ptr<ResourceManager>& m,
                                             const fs::path& zip) {
    auto d = std::make_shared<RecordingDelegate>();
    m->setResource(zip.string(), d);
    EXPECT_TRUE(MainLoop::runUntil([&] { return d->total() > 0; }, 60s)) << "no callback";
    // Anything more would be a second callback for one run.
    MainLoop::runFor(20ms);
    EXPECT_EQ(d->total(), 1);
    EXPECT_TRUE(d->onMain);
    return d;
  }

  fs::path expectedDir(const fs::path& zip) {
    auto digest = sha256Of(readFile(zip));
    return fs::path(ResourceManager::resourceDirectoryFor(
        orsa::platform::AppContainer::cachesDirectory(), digest));
  }

  void expectPrepared(const std::shared_ptr<ResourceManager>& m, const fs::path& zip,
                      bool withInterpolations = true) {
    fs::path dir = expectedDir(zip);
    EXPECT_EQ(m->resourceDir(), dir.string());
    EXPECT_EQ(m->originFramesDir(), (dir / "frames").string());
    EXPECT_EQ(m->interpolationDir(), (dir / "interpolations").string());
    EXPECT_EQ(m->borderImagePath(), (dir / "border.png").string());
    EXPECT_EQ(m->metaInfoPath(), (dir / "ORSA-DH-META-INFO").string());
    auto digest = sha256Of(readFile(zip));
    EXPECT_EQ(readFile(dir / "ORSA-DH-META-INFO"),
              std::string(reinterpret_cast<const char*>(digest.data()), digest.size()));
    EXPECT_FALSE(fs::exists(dir / ".cancel_flag_v2.5"));
    EXPECT_EQ(countJpegs(dir / "frames"), size_t(kOriginFrames));
    EXPECT_TRUE(m->readOriginFrame(0));
    EXPECT_TRUE(m->readOriginFrame(kOriginFrames - 1));
    EXPECT_FALSE(m->readOriginFrame(kOriginFrames));
    if (withInterpolations) {
      EXPECT_EQ(countJpegs(dir / "interpolations"), size_t(kInterpFrames));
      auto img = m->readInterpolationWithStart(4, 14, 1);
      ASSERT_TRUE(img);
      EXPECT_EQ(img->width(), 64);
      EXPECT_EQ(img->height(), 48);
    }
    // No temporary file of an atomic write is left behind.
    for (auto& e : fs::directory_iterator(dir))
      EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }

  TempDir home_;
  PackageParts parts_;
};

TEST_F(ResourcePrepareTest, FirstRunUnpacksExtractsAndRecordsTheDigest) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  auto d = prepare(m, zip);
  EXPECT_EQ(d->successes, 1);
  expectPrepared(m, zip);
  // The unpacked files stay beside the frames, and the package itself is left alone.
  fs::path dir = m->resourceDir();
  EXPECT_EQ(readFile(dir / "border.png"), "border image bytes");
  EXPECT_TRUE(fs::exists(dir / "origin.mp4"));
  EXPECT_TRUE(fs::exists(zip));
  EXPECT_EQ(fs::path(m->resourceDir())
                .parent_path()
                .string()
                .find(orsa::platform::AppContainer::cachesDirectory() + "/OrsaMirelo/dh-resource"),
            0u);
}

TEST_F(ResourcePrepareTest, SameContentUnderAnotherNameIsNotUnpackedAgain) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  prepare(m, zip);
  fs::path dir = m->resourceDir();
  // A frame removed behind the cache's back stays removed when nothing is re-extracted.
  fs::remove(dir / "frames" / "000003.jpg");
  fs::path copy = home_.path() / "renamed-package.bin";
  fs::copy_file(zip, copy);

  auto other = ResourceManager::create();
  auto d = prepare(other, copy);
  EXPECT_EQ(d->successes, 1);
  EXPECT_EQ(other->resourceDir(), dir.string());
  EXPECT_FALSE(fs::exists(dir / "frames" / "000003.jpg"));
  // The table is loaded on a cache hit too.
  EXPECT_TRUE(other->readInterpolationWithStart(5, 15, 2));
}

TEST_F(ResourcePrepareTest, DamagedMetaInfoMeansUnpackingAgain) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  prepare(m, zip);
  fs::path dir = m->resourceDir();
  fs::path meta = dir / "ORSA-DH-META-INFO";
  std::string good = readFile(meta);
  ASSERT_EQ(good.size(), 32u);

  std::string foreign = good;
  foreign[5] ^= 0x40;
  for (const std::string& damaged : {std::string(), good.substr(0, 31), foreign, good + "\n"}) {
    fs::remove(dir / "frames" / "000003.jpg");
    if (damaged.empty())
      fs::remove(meta);
    else
      writeFile(meta, damaged);
    auto d = prepare(m, zip);
    EXPECT_EQ(d->successes, 1);
    EXPECT_TRUE(fs::exists(dir / "frames" / "000003.jpg")) << "not re-extracted";
    EXPECT_EQ(readFile(meta), good);
  }
  expectPrepared(m, zip);
}

TEST_F(ResourcePrepareTest, CancelFlagBesideMetaInfoMeansAFullReExtraction) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  prepare(m, zip);
  fs::path dir = m->resourceDir();
  writeFile(dir / "stale-leftover", "from an interrupted run");
  writeFile(dir / ".cancel_flag_v2.5", "extracting");
  fs::remove(dir / "frames" / "000001.jpg");

  auto d = prepare(m, zip);
  EXPECT_EQ(d->successes, 1);
  EXPECT_FALSE(fs::exists(dir / "stale-leftover")) << "the directory was not removed first";
  EXPECT_TRUE(fs::exists(dir / "frames" / "000001.jpg"));
  expectPrepared(m, zip);
}

TEST_F(ResourcePrepareTest, InterruptedExtractionWithoutMetaInfoIsRedone) {
  auto zip = package("a.zip", parts_);
  fs::path dir = expectedDir(zip);
  // What a run killed half-way leaves: the flag, some files, no meta-info.
  fs::create_directories(dir / "frames");
  writeFile(dir / ".cancel_flag_v2.5", "extracting");
  writeFile(dir / "frames" / "000000.jpg", "half-written");
  writeFile(dir / "origin.mp4", "truncated");

  auto m = ResourceManager::create();
  auto d = prepare(m, zip);
  EXPECT_EQ(d->successes, 1);
  expectPrepared(m, zip);
  EXPECT_EQ(readFile(dir / "origin.mp4"), media().origin);
}

TEST_F(ResourcePrepareTest, PackageWithoutInterpolationsPrepares) {
  parts_.interpolations.clear();
  parts_.interpolationsJson.clear();
  auto zip = package("plain.zip", parts_);
  auto m = ResourceManager::create();
  auto d = prepare(m, zip);
  EXPECT_EQ(d->successes, 1);
  expectPrepared(m, zip, false);
  EXPECT_FALSE(fs::exists(fs::path(m->resourceDir()) / "interpolations"));
  EXPECT_FALSE(m->interpolationMap());
  EXPECT_FALSE(m->readInterpolationWithStart(4, 14, 1));
}

TEST_F(ResourcePrepareTest, FailuresReportOnceAndRemoveThePackageAndTheDirectory) {
  // No origin video.
  parts_.origin.clear();
  auto zip = package("no-origin.zip", parts_);
  fs::path dir = expectedDir(zip);
  auto m = ResourceManager::create();
  auto d = prepare(m, zip);
  EXPECT_EQ(d->failures, std::vector<int64_t>{-200000});
  EXPECT_FALSE(fs::exists(zip));
  EXPECT_FALSE(fs::exists(dir));

  // Not a zip at all.
  fs::path junk = home_.path() / "junk.zip";
  writeFile(junk, std::string(4096, 'j'));
  fs::path junkDir = expectedDir(junk);
  d = prepare(m, junk);
  EXPECT_EQ(d->failures, std::vector<int64_t>{-200000});
  EXPECT_FALSE(fs::exists(junk));
  EXPECT_FALSE(fs::exists(junkDir));

  // An origin video that is no video.
  parts_.origin = "this is not an mp4";
  auto bad = package("bad-video.zip", parts_);
  fs::path badDir = expectedDir(bad);
  d = prepare(m, bad);
  EXPECT_EQ(d->failures, std::vector<int64_t>{-200000});
  EXPECT_FALSE(fs::exists(bad));
  EXPECT_FALSE(fs::exists(badDir));

  // No package file: nothing to remove, still one failure.
  d = prepare(m, home_.path() / "absent.zip");
  EXPECT_EQ(d->failures, std::vector<int64_t>{-200000});
  d = prepare(m, home_.path());  // a directory cannot be read as a package
  EXPECT_EQ(d->failures, std::vector<int64_t>{-200000});
}

TEST_F(ResourcePrepareTest, CancelBeforeTheTaskRunsReportsAndTouchesNothing) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  orsa::platform::Semaphore gate;
  auto queue = m->processingQueue();
  queue->async([&] { gate.wait(); });
  auto d = std::make_shared<RecordingDelegate>();
  m->setResource(zip.string(), d);
  m->cancel();
  gate.signal();
  queue->sync([] {});
  MainLoop::runFor(50ms);
  EXPECT_EQ(d->total(), 0);
  EXPECT_FALSE(fs::exists(expectedDir(zip)));
  EXPECT_TRUE(fs::exists(zip));

  // A new request clears the cancel and runs to its end.
  auto d2 = prepare(m, zip);
  EXPECT_EQ(d2->successes, 1);
}

TEST_F(ResourcePrepareTest, CancelAfterSuccessWasPostedSuppressesItButNotAFailure) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  auto d = std::make_shared<RecordingDelegate>();
  m->setResource(zip.string(), d);
  // The main queue is not pumped, so the outcome waits there while we cancel.
  m->processingQueue()->sync([] {});
  m->cancel();
  MainLoop::runFor(100ms);
  EXPECT_EQ(d->total(), 0);
  EXPECT_TRUE(fs::exists(m->metaInfoPath()));

  parts_.origin.clear();
  auto broken = package("broken.zip", parts_);
  auto d2 = std::make_shared<RecordingDelegate>();
  m->setResource(broken.string(), d2);
  m->processingQueue()->sync([] {});
  m->cancel();
  EXPECT_TRUE(MainLoop::runUntil([&] { return d2->total() > 0; }, 10s));
  EXPECT_EQ(d2->failures, std::vector<int64_t>{-200000});
}

TEST_F(ResourcePrepareTest, CancelDuringExtractionRemovesTheDirectoryAndReportsNothing) {
  auto zip = package("a.zip", parts_);
  fs::path dir = expectedDir(zip);
  auto m = ResourceManager::create();
  auto d = std::make_shared<RecordingDelegate>();
  std::atomic<bool> stop{false}, cancelled{false};
  // The cancel flag appears just before unpacking starts; cancelling then lets the
  // unpacking and extraction run on and be thrown away.
  std::thread watcher([&] {
    while (!stop) {
      if (fs::exists(dir / ".cancel_flag_v2.5")) {
        m->cancel();
        cancelled = true;
        return;
      }
      std::this_thread::yield();
    }
  });
  m->setResource(zip.string(), d);
  m->processingQueue()->sync([] {});
  stop = true;
  watcher.join();
  MainLoop::runFor(50ms);
  EXPECT_EQ(d->total(), 0);
  if (cancelled) {
    EXPECT_FALSE(fs::exists(dir));
  } else {
    // The run finished before the watcher saw the flag; the result must still be whole.
    expectPrepared(m, zip);
  }
}

TEST_F(ResourcePrepareTest, ReleasedManagerOrDelegateGetsNoCallback) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  auto queue = m->processingQueue();
  orsa::platform::Semaphore gate;
  queue->async([&] { gate.wait(); });
  auto d = std::make_shared<RecordingDelegate>();
  m->setResource(zip.string(), d);
  m.reset();  // the queued task only holds the manager weakly
  gate.signal();
  queue->sync([] {});
  MainLoop::runFor(50ms);
  EXPECT_EQ(d->total(), 0);
  EXPECT_FALSE(fs::exists(expectedDir(zip)));

  // A delegate that is gone, or none at all.
  auto m2 = ResourceManager::create();
  auto queue2 = m2->processingQueue();
  queue2->async([&] { gate.wait(); });
  {
    auto gone = std::make_shared<RecordingDelegate>();
    m2->setResource(zip.string(), gone);
  }
  m2->setResource(zip.string(), std::shared_ptr<ResourceManagerDelegate>());
  gate.signal();
  queue2->sync([] {});
  EXPECT_FALSE(fs::exists(expectedDir(zip)));
}

TEST_F(ResourcePrepareTest, RequestsRunInOrderAndReadersMayReadMeanwhile) {
  auto zip = package("a.zip", parts_);
  auto m = ResourceManager::create();
  prepare(m, zip);
  // Re-running a prepared package while other threads read frames and the table.
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      while (!stop) {
        if (m->readOriginFrame(t)) ++reads;
        m->readInterpolationWithStart(4, 14, 1);
        (void)m->getBorderPath();
      }
    });
  std::vector<std::shared_ptr<RecordingDelegate>> ds;
  for (int i = 0; i < 5; ++i) {
    ds.push_back(std::make_shared<RecordingDelegate>());
    m->setResource(zip.string(), ds.back());
  }
  EXPECT_TRUE(MainLoop::runUntil(
      [&] {
        for (auto& d : ds)
          if (d->total() == 0) return false;
        return true;
      },
      60s));
  stop = true;
  for (auto& r : readers) r.join();
  for (auto& d : ds) EXPECT_EQ(d->successes, 1);
  EXPECT_GT(reads.load(), 0);
}

// ---- a process killed in the middle of extraction -----------------------------------------

// Runs in a child process started by the test below: prepares the package and never returns
// normally, because it is killed first.
TEST(ResourceKillChild, PrepareUntilKilled) {
  const char* home = std::getenv("ORSA_RESOURCE_KILL_HOME");
  const char* zip = std::getenv("ORSA_RESOURCE_KILL_ZIP");
  if (!home || !zip) GTEST_SKIP() << "only runs as the child of the kill test";
  orsa::platform::AppContainer::setRoot(home);
  auto m = ResourceManager::create();
  auto d = std::make_shared<RecordingDelegate>();
  m->setResource(zip, d);
  MainLoop::runUntil([&] { return d->total() > 0; }, 120s);
  std::_Exit(d->successes == 1 ? 0 : 3);
}

TEST_F(ResourcePrepareTest, KilledRunLeavesAStateTheNextRunRecoversFrom) {
  // A longer video gives the child time to be caught in the middle of extraction.
  static const std::string longVideo = [] {
    TempDir t;
    makeVideo(t.path() / "long.mp4", 400, 160, 120);
    return readFile(t.path() / "long.mp4");
  }();
  parts_.origin = longVideo;
  auto zip = package("long.zip", parts_);
  fs::path dir = expectedDir(zip);

  bool caughtMidway = false;
  for (int attempt = 0; attempt < 3 && !caughtMidway; ++attempt) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    std::string homeEnv = "ORSA_RESOURCE_KILL_HOME=" + home_.str();
    std::string zipEnv = "ORSA_RESOURCE_KILL_ZIP=" + zip.string();
    std::string filter = "--gtest_filter=ResourceKillChild.PrepareUntilKilled";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(homeEnv);
    env.push_back(zipEnv);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);

    // Kill it once a few frames exist.
    auto deadline = std::chrono::steady_clock::now() + 60s;
    bool exited = false;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (countJpegs(dir / "frames") >= 8) break;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        break;
      }
      std::this_thread::sleep_for(1ms);
    }
    if (!exited) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    caughtMidway = !exited && !fs::exists(dir / "ORSA-DH-META-INFO");
  }
  ASSERT_TRUE(caughtMidway) << "the child was never caught mid-extraction";
  EXPECT_TRUE(fs::exists(dir / ".cancel_flag_v2.5"));
  EXPECT_LT(countJpegs(dir / "frames"), 400u);

  auto m = ResourceManager::create();
  auto d = prepare(m, zip);
  EXPECT_EQ(d->successes, 1);
  EXPECT_EQ(countJpegs(dir / "frames"), 400u);
  EXPECT_FALSE(fs::exists(dir / ".cancel_flag_v2.5"));
  EXPECT_TRUE(m->isPrepared(sha256Of(readFile(zip))));
  EXPECT_TRUE(m->readOriginFrame(399));
}

// ---- digest and name helpers --------------------------------------------------------------

TEST(ResourceDigest, StreamedDigestEqualsTheDigestOfTheWholeFile) {
  TempDir t;
  // Sizes around the streaming block size catch a lost or repeated block.
  for (size_t size : {size_t(0), size_t(1), size_t(65535), size_t(1 << 20) - 1, size_t(1 << 20),
                      size_t(1 << 20) + 1, size_t(3 << 20) + 17}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(t.path() / "f", bytes);
    auto d = ResourceManager::digestOfFile((t.path() / "f").string());
    ASSERT_TRUE(d) << size;
    EXPECT_EQ(*d, sha256Of(bytes)) << size;
  }
  std::string err;
  EXPECT_FALSE(ResourceManager::digestOfFile((t.path() / "absent").string(), &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(ResourceManager::digestOfFile(t.str()));
}

TEST(ResourceDigest, NameIsStandardBase64WithVersionSuffixAndSlashesNest) {
  bool sawSlash = false, sawPlus = false;
  for (int i = 0; i < 400 && !(sawSlash && sawPlus); ++i) {
    auto digest = sha256Of("content " + std::to_string(i));
    std::string name = ResourceManager::digestName(digest);
    ASSERT_EQ(name.size(), 44u + 5);
    EXPECT_EQ(name.substr(44), "_v2.5");
    EXPECT_EQ(name[43], '=');
    // Decoding the text gives the digest back.
    unsigned char decoded[33] = {};
    ASSERT_EQ(EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(name.data()), 44),
              33);
    EXPECT_EQ(0, std::memcmp(decoded, digest.data(), 32));
    sawPlus = sawPlus || name.find('+') != std::string::npos;
    if (name.find('/') != std::string::npos) {
      sawSlash = true;
      std::string dir = ResourceManager::resourceDirectoryFor("/c", digest);
      EXPECT_EQ(dir, "/c/OrsaMirelo/dh-resource/" + name);
      // One more folder level per slash ("//" counts once, as the file system sees it).
      size_t levels = 0;
      for (size_t i = 0; i < name.size(); ++i)
        if (name[i] != '/' && (i == 0 || name[i - 1] == '/')) ++levels;
      fs::path asPath(dir);
      EXPECT_EQ(static_cast<size_t>(std::distance(asPath.begin(), asPath.end())), 4 + levels);
      EXPECT_EQ(asPath.filename().string(), name.substr(name.rfind('/') + 1));
    }
  }
  EXPECT_TRUE(sawSlash);
  EXPECT_TRUE(sawPlus);
}

TEST_F(ResourcePrepareTest, NestedNamesKeepEveryDerivedPathConsistent) {
  // Extra entries change the content until the digest's Base64 holds a "/".
  fs::path zip;
  for (int i = 0; i < 200; ++i) {
    parts_.extra = {{"salt.txt", std::to_string(i)}};
    zip = package("nested.zip", parts_);
    if (ResourceManager::digestName(sha256Of(readFile(zip))).find('/') != std::string::npos) break;
    fs::remove(zip);
  }
  ASSERT_TRUE(fs::exists(zip));
  auto m = ResourceManager::create();
  auto d = prepare(m, zip);
  EXPECT_EQ(d->successes, 1);
  expectPrepared(m, zip);
  EXPECT_EQ(*m->getBorderPath(), m->borderImagePath());
}

TEST(ResourceAtomicWrite, ReplacesWholeAndLeavesNoTemporaryFiles) {
  TempDir t;
  fs::path p = t.path() / "meta";
  ASSERT_TRUE(ResourceManager::writeFileAtomically(p.string(), "first content"));
  ASSERT_TRUE(ResourceManager::writeFileAtomically(p.string(), "2nd"));
  EXPECT_EQ(readFile(p), "2nd");
  EXPECT_EQ(std::distance(fs::directory_iterator(t.path()), fs::directory_iterator()), 1);
  std::string err;
  EXPECT_FALSE(ResourceManager::writeFileAtomically((t.path() / "no" / "dir").string(), "x", &err));
  EXPECT_FALSE(err.empty());
  // A target that is a directory is not replaced, and nothing is left over.
  fs::create_directories(t.path() / "d" / "inner");
  EXPECT_FALSE(ResourceManager::writeFileAtomically((t.path() / "d").string(), "x"));
  EXPECT_TRUE(fs::is_directory(t.path() / "d" / "inner"));
  EXPECT_EQ(std::distance(fs::directory_iterator(t.path()), fs::directory_iterator()), 2);
}

}  // namespace
