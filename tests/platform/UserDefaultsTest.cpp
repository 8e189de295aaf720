#include "platform/UserDefaults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/Console.h"
#include "support/TestSupport.h"

using namespace orsa::platform;
using orsa::test::readFile;
using orsa::test::TempDir;
using orsa::test::writeFile;
namespace fs = std::filesystem;

namespace {

bool noTemporaries(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".tmp-") != std::string::npos) return false;
  return true;
}

}  // namespace

TEST(UserDefaults, EveryTypeAndConcurrentWritesSurviveARestartUnsynchronised) {
  TempDir dir;
  auto path = (dir.path() / "Prefs" / "store.json").string();
  std::vector<uint8_t> allBytes(256);
  for (int i = 0; i < 256; ++i) allBytes[i] = static_cast<uint8_t>(i);
  const nlohmann::json obj{{"a", 1}, {"b", {1, 2, 3}}};
  {
    UserDefaults d(path);  // never synchronised: going away writes the changes
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&d, t] {
        for (int i = 0; i < 50; ++i) {
          d.setInteger(i, std::to_string(t) + "." + std::to_string(i));
          if (i % 10 == 0) d.synchronize();
        }
      });
    d.setString("hello \"world\"\n", "s");
    d.setString("bad\xff\xfe", "utf8");      // invalid UTF-8 must not cost the document
    d.setInteger(-9007199254740993LL, "i");  // not representable as a double
    d.setObject(nlohmann::json(UINT64_MAX), "u");
    d.setBool(true, "b");
    d.setData(allBytes, "data");
    d.setStringArray({"task-1", "", "task-3"}, "DHTaskListKey");
    d.setObject(obj, "obj");
    d.setString("gone", "removed");
    d.removeObjectForKey("removed");
    for (auto& th : threads) th.join();
  }
  UserDefaults r(path);
  EXPECT_EQ(r.stringForKey("s"), "hello \"world\"\n");
  EXPECT_EQ(r.stringForKey("utf8").value_or("").rfind("bad", 0), 0u);
  EXPECT_EQ(r.integerForKey("i"), -9007199254740993LL);
  EXPECT_EQ(r.objectForKey("u")->get<uint64_t>(), UINT64_MAX);
  EXPECT_EQ(r.integerForKey("u"), INT64_MAX);  // clamped, not wrapped to -1
  EXPECT_TRUE(r.boolForKey("b"));
  EXPECT_EQ(r.dataForKey("data"), allBytes);
  EXPECT_EQ(r.stringArrayForKey("DHTaskListKey"),
            (std::vector<std::string>{"task-1", "", "task-3"}));
  EXPECT_EQ(r.objectForKey("obj"), obj);
  EXPECT_FALSE(r.hasKey("removed"));
  EXPECT_EQ(r.dictionaryRepresentation().size(), 208u);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 50; ++i)
      EXPECT_EQ(r.integerForKey(std::to_string(t) + "." + std::to_string(i)), i);
  // The file is one JSON object with the data as base64 text.
  EXPECT_EQ(nlohmann::json::parse(readFile(path))["data"].get<std::string>().substr(0, 8),
            "AAECAwQF");
}

// Writes under a tiny file-size limit, so the write runs out of room half-way. The exit code
// tells the parent what synchronize answered.
ORSA_TEST_CHILD(DefaultsWriteUnderAFileSizeLimit) {
  const std::string path = std::getenv("ORSA_DEFAULTS_PATH");
  signal(SIGXFSZ, SIG_IGN);
  const std::string before = readFile(path);
  UserDefaults d(path);
  rlimit lim{};
  getrlimit(RLIMIT_FSIZE, &lim);
  const rlim_t hard = lim.rlim_max;
  lim.rlim_cur = 64;  // only the soft limit, so that it can be raised again
  setrlimit(RLIMIT_FSIZE, &lim);
  d.setString(std::string(4096, 'x'), "k");
  if (d.synchronize()) return 10;
  if (readFile(path) != before) return 13;
  lim = {hard, hard};
  // Raising the limit back is refused without privileges; then the retry cannot be checked.
  if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 12;
  return d.synchronize() ? 20 : 11;
}

TEST(UserDefaults, AFailedWriteKeepsThePreviousDocumentAndTheChanges) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  UserDefaults(path).setString("small", "k");
  const std::string before = readFile(path);
  auto r =
      orsa::test::runChild("DefaultsWriteUnderAFileSizeLimit", {"ORSA_DEFAULTS_PATH=" + path}, 30);
  ASSERT_NE(r.exitCode, 10) << "a write that ran out of room was reported as done";
  ASSERT_NE(r.exitCode, 13) << "a failed write damaged the previous document";
  EXPECT_TRUE(noTemporaries(dir.path()));
  if (r.exitCode == 12) {
    EXPECT_EQ(readFile(path), before);
  } else {  // the changes stayed in memory and the retry with room wrote them
    ASSERT_EQ(r.exitCode, 20) << r.err;
    EXPECT_EQ(UserDefaults(path).stringForKey("k"), std::string(4096, 'x'));
  }
}

// Writes the document over and over until killed.
ORSA_TEST_CHILD(DefaultsWriteForever) {
  UserDefaults d(std::getenv("ORSA_DEFAULTS_PATH"));
  const std::string payload(64 * 1024, 'p');
  for (int64_t i = 0;; ++i) {
    d.setInteger(i, "counter");
    d.setString(payload + std::to_string(i), "payload");
    d.synchronize();
  }
}

TEST(UserDefaults, KilledMidWriteLeavesAWholeDocumentAndTheTemporariesGo) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  const std::string payload(64 * 1024, 'p');
  for (int round = 0; round < 4; ++round) {
    const std::string before = readFile(path);
    const pid_t child =
        orsa::test::spawnChild("DefaultsWriteForever", {"ORSA_DEFAULTS_PATH=" + path});
    ASSERT_GT(child, 0);
    // The kill comes once a write of this writer's has landed, so every round has a document
    // to check, and a little later each round, so it cuts into a later write at a new point.
    const bool wrote = orsa::test::waitUntil([&] { return readFile(path) != before; });
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * round));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(wrote) << "round " << round << ": the writer never finished a write";
    // Beside what the writer left, a half-written temporary of the dead writer's.
    writeFile(dir.path() / ("store.json.tmp-" + std::to_string(child) + "-99"), "{\"counter\": tr");
    UserDefaults d(path);
    EXPECT_TRUE(noTemporaries(dir.path())) << "round " << round;
    EXPECT_TRUE(d.hasKey("counter")) << "round " << round;
    EXPECT_EQ(d.stringForKey("payload"), payload + std::to_string(d.integerForKey("counter")));
    EXPECT_FALSE(fs::exists(path + ".corrupt"));
  }
}

TEST(UserDefaults, ACorruptDocumentReadsAsEmptyAndIsKeptAside) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  const std::string bad[] = {"{\"a\": ", "[1, 2, 3]", "\"just text\"", std::string("\x00\xff{", 3),
                             ""};
  for (const auto& bytes : bad) {
    writeFile(path, bytes);
    std::unique_ptr<UserDefaults> d;
    EXPECT_NE(orsa::test::consoleOf([&] {
                d = std::make_unique<UserDefaults>(path);
              }).find("UserDefaults: " + path),
              std::string::npos);
    EXPECT_TRUE(d->dictionaryRepresentation().empty());
    EXPECT_EQ(readFile(path + ".corrupt"), bytes);
    d->setBool(true, "ok");
    ASSERT_TRUE(d->synchronize());
    EXPECT_TRUE(UserDefaults(path).boolForKey("ok"));
  }
}
