#include "platform/UserDefaults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/AppContainer.h"
#include "support/TestSupport.h"

using namespace orsa::platform;
using orsa::test::readFile;
using orsa::test::TempDir;
using orsa::test::writeFile;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> leftovers(const fs::path& dir, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    auto name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) out.push_back(name);
  }
  return out;
}

// A process id that belongs to no running process.
pid_t deadPid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

// Sends standard error to a file for the object's life. The console may write from a thread
// of its own, so waitFor polls until the text shows up.
class StderrCapture {
 public:
  explicit StderrCapture(const fs::path& file) : file_(file) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  std::string waitFor(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string got = readFile(file_);
    while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      got = readFile(file_);
    }
    return got;
  }

 private:
  fs::path file_;
  int saved_ = -1;
};

}  // namespace

TEST(UserDefaults, EveryTypeSurvivesARestart) {
  TempDir dir;
  auto path = (dir.path() / "Prefs" / "store.json").string();
  std::vector<uint8_t> allBytes(256);
  for (int i = 0; i < 256; ++i) allBytes[i] = static_cast<uint8_t>(i);
  {
    UserDefaults d(path);
    d.setString("hello \"world\"\n", "s");
    d.setInteger(-9007199254740993LL, "i");  // not representable as a double
    d.setObject(nlohmann::json(uint64_t{18446744073709551615ULL}), "u");
    d.setBool(true, "kIsAllowCellar");
    d.setDouble(0.1, "d");
    d.setData(allBytes, "data");
    d.setData({}, "empty");
    d.setStringArray({"task-1", "", "task-3"}, "DHTaskListKey");
    d.setObject(nlohmann::json{{"a", 1}, {"b", {1, 2, 3}}}, "obj");
    d.setString("gone", "removed");
    d.removeObjectForKey("removed");
    ASSERT_TRUE(d.synchronize());
  }
  UserDefaults r(path);
  EXPECT_EQ(r.stringForKey("s"), "hello \"world\"\n");
  EXPECT_EQ(r.integerForKey("i"), -9007199254740993LL);
  EXPECT_EQ(r.objectForKey("u")->get<uint64_t>(), 18446744073709551615ULL);
  EXPECT_EQ(r.integerForKey("u"), INT64_MAX);  // clamped, not wrapped to -1
  EXPECT_TRUE(r.boolForKey("kIsAllowCellar"));
  EXPECT_DOUBLE_EQ(r.doubleForKey("d"), 0.1);
  EXPECT_EQ(r.dataForKey("data"), allBytes);
  EXPECT_EQ(r.dataForKey("empty"), std::vector<uint8_t>{});
  EXPECT_EQ(r.stringArrayForKey("DHTaskListKey"),
            (std::vector<std::string>{"task-1", "", "task-3"}));
  EXPECT_EQ(r.objectForKey("obj"), (nlohmann::json{{"a", 1}, {"b", {1, 2, 3}}}));
  EXPECT_FALSE(r.hasKey("removed"));
  EXPECT_EQ(r.stringForKey("removed"), std::nullopt);
  // The file is one JSON object with the data as base64 text.
  auto doc = nlohmann::json::parse(readFile(path));
  EXPECT_EQ(doc["data"].get<std::string>(), base64Encode(allBytes.data(), allBytes.size()));
}

TEST(UserDefaults, MissingAndMistypedValues) {
  TempDir dir;
  UserDefaults d((dir.path() / "x.json").string());
  EXPECT_EQ(d.integerForKey("nope"), 0);
  EXPECT_FALSE(d.boolForKey("nope"));
  EXPECT_EQ(d.doubleForKey("nope"), 0.0);
  EXPECT_EQ(d.stringForKey("nope"), std::nullopt);
  EXPECT_EQ(d.dataForKey("nope"), std::nullopt);
  EXPECT_EQ(d.objectForKey("nope"), std::nullopt);

  d.setString("42 apples", "n");
  EXPECT_EQ(d.integerForKey("n"), 42);
  EXPECT_TRUE(d.boolForKey("n"));
  d.setString("YES", "y");
  EXPECT_TRUE(d.boolForKey("y"));
  d.setString("no", "no");
  EXPECT_FALSE(d.boolForKey("no"));
  d.setString("99999999999999999999999", "huge");
  EXPECT_EQ(d.integerForKey("huge"), INT64_MAX);
  d.setDouble(-2.75, "neg");
  EXPECT_EQ(d.integerForKey("neg"), -2);
  EXPECT_EQ(d.stringForKey("neg"), "-2.75");
  d.setObject(nlohmann::json::array({"a", 1}), "mixed");
  EXPECT_EQ(d.stringArrayForKey("mixed"), std::nullopt);
  d.setString("not base64!", "bad");
  EXPECT_EQ(d.dataForKey("bad"), std::nullopt);
  d.setInteger(5, "five");
  EXPECT_EQ(d.dataForKey("five"), std::nullopt);
  EXPECT_EQ(d.stringArrayForKey("five"), std::nullopt);
}

TEST(UserDefaults, UnsavedChangesAreWrittenWhenTheStoreGoesAway) {
  TempDir dir;
  auto path = (dir.path() / "x.json").string();
  { UserDefaults(path).setString("1.2.0", "TRDownloadVersionKey"); }
  EXPECT_EQ(UserDefaults(path).stringForKey("TRDownloadVersionKey"), "1.2.0");
}

TEST(UserDefaults, LeftoverTemporariesNeverReplaceTheDocument) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  {
    UserDefaults d(path);
    d.setString("v1", "version");
    ASSERT_TRUE(d.synchronize());
  }
  std::string good = readFile(path);
  // What writers that died mid-write leave: a half-written and a truncated temporary.
  std::string half = std::string("store.json.tmp-") + std::to_string(deadPid()) + "-0";
  std::string cut = std::string("store.json.tmp-") + std::to_string(deadPid()) + "-7";
  writeFile(dir.path() / half, "{\n  \"version\": \"v2\",\n  \"other\": tr");
  writeFile(dir.path() / cut, "");

  UserDefaults d(path);
  EXPECT_EQ(d.stringForKey("version"), "v1");
  EXPECT_FALSE(d.hasKey("other"));
  EXPECT_EQ(readFile(path), good);
  EXPECT_TRUE(leftovers(dir.path(), "store.json.tmp-").empty());

  d.setString("v3", "version");
  ASSERT_TRUE(d.synchronize());
  EXPECT_EQ(UserDefaults(path).stringForKey("version"), "v3");
  EXPECT_TRUE(leftovers(dir.path(), "store.json.tmp-").empty());
}

// Run as a child process: writes under a tiny file-size limit, so the write runs out of room
// half-way. The exit code tells the parent what synchronize answered.
TEST(UserDefaultsChild, WriteUnderAFileSizeLimit) {
  const char* path = std::getenv("ORSA_DEFAULTS_CHILD_PATH");
  if (!path) GTEST_SKIP() << "runs as a child process only";
  signal(SIGXFSZ, SIG_IGN);
  std::string before = readFile(path);
  UserDefaults d(path);
  rlimit lim{};
  getrlimit(RLIMIT_FSIZE, &lim);
  rlim_t hard = lim.rlim_max;
  lim.rlim_cur = 64;  // only the soft limit, so that it can be raised again
  setrlimit(RLIMIT_FSIZE, &lim);
  d.setString(std::string(4096, 'x'), "k");
  bool wrote = d.synchronize();
  if (!wrote && readFile(path) != before) _exit(13);
  lim = {hard, hard};
  // Raising the limit back is refused without privileges; then the retry cannot be checked.
  bool raised = setrlimit(RLIMIT_FSIZE, &lim) == 0;
  bool retried = raised ? d.synchronize() : true;
  _exit(wrote ? 10 : (raised ? (retried ? 20 : 11) : 12));
}

TEST(UserDefaults, AFailedWriteKeepsThePreviousDocumentAndTheChanges) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  {
    UserDefaults d(path);
    d.setString("small", "k");
    ASSERT_TRUE(d.synchronize());
  }
  std::string before = readFile(path);
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  auto result = orsa::test::runCommand(
      "ORSA_DEFAULTS_CHILD_PATH='" + path + "' '" + self + "' --gtest_filter=UserDefaultsChild.*",
      30);
  int code = result.exitCode;
  ASSERT_NE(code, 10) << "a write that ran out of room was reported as done";
  ASSERT_NE(code, 13) << "a failed write damaged the previous document";
  EXPECT_TRUE(leftovers(dir.path(), "store.json.tmp-").empty());
  if (code == 12) {
    EXPECT_EQ(readFile(path), before);
  } else {
    // The changes stayed in memory and the retry with room wrote them.
    ASSERT_EQ(code, 20) << result.out << result.err;
    EXPECT_TRUE(UserDefaults(path).stringForKey("k") == std::string(4096, 'x'));
  }
}

TEST(UserDefaults, KilledMidWriteLeavesAWholeDocument) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  std::string payload(64 * 1024, 'p');
  for (int round = 0; round < 4; ++round) {
    pid_t child = fork();
    if (child == 0) {
      UserDefaults d(path);
      for (int64_t i = 0;; ++i) {
        d.setInteger(i, "counter");
        d.setString(payload + std::to_string(i), "payload");
        d.synchronize();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (!fs::exists(path)) continue;  // killed before the first write finished
    UserDefaults d(path);
    auto counter = d.integerForKey("counter");
    EXPECT_TRUE(d.hasKey("counter")) << "round " << round;
    EXPECT_EQ(d.stringForKey("payload"), payload + std::to_string(counter)) << "round " << round;
    EXPECT_FALSE(fs::exists(path + ".corrupt"));
  }
}

TEST(UserDefaults, ACorruptDocumentReadsAsEmpty) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  const std::string bad[] = {"{\"a\": ", "[1, 2, 3]", "\"just text\"", std::string("\x00\xff{", 3),
                             ""};
  for (const auto& bytes : bad) {
    writeFile(path, bytes);
    StderrCapture capture(dir.path() / "stderr.txt");
    UserDefaults d(path);
    std::string err = capture.waitFor("UserDefaults");
    EXPECT_TRUE(d.dictionaryRepresentation().empty());
    EXPECT_NE(err.find("UserDefaults"), std::string::npos);
    // The unreadable bytes are kept aside, and the store works normally afterwards.
    EXPECT_EQ(readFile(path + ".corrupt"), bytes);
    d.setBool(true, "ok");
    ASSERT_TRUE(d.synchronize());
    EXPECT_TRUE(UserDefaults(path).boolForKey("ok"));
  }
}

TEST(UserDefaults, InvalidUtf8DoesNotLoseTheDocument) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  UserDefaults d(path);
  d.setString("keep", "a");
  d.setString(std::string("bad\xff\xfe"), "b");
  ASSERT_TRUE(d.synchronize());
  UserDefaults r(path);
  EXPECT_EQ(r.stringForKey("a"), "keep");
  ASSERT_TRUE(r.stringForKey("b").has_value());
  EXPECT_EQ(r.stringForKey("b")->rfind("bad", 0), 0u);
}

TEST(UserDefaults, ConcurrentWritersLoseNothing) {
  TempDir dir;
  auto path = (dir.path() / "store.json").string();
  {
    UserDefaults d(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&d, t] {
        for (int i = 0; i < 50; ++i) {
          d.setInteger(i, "t" + std::to_string(t) + "." + std::to_string(i));
          if (i % 10 == 0) d.synchronize();
          d.integerForKey("t0.0");
        }
      });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(d.synchronize());
  }
  UserDefaults r(path);
  EXPECT_EQ(r.dictionaryRepresentation().size(), 200u);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 50; ++i)
      EXPECT_EQ(r.integerForKey("t" + std::to_string(t) + "." + std::to_string(i)), i);
}

TEST(UserDefaults, StandardStoreFollowsTheHome) {
  TempDir a, b;
  AppContainer::setRoot(a.str());
  auto first = UserDefaults::standardUserDefaults();
  EXPECT_EQ(first->filePath(), a.str() + "/Library/Preferences/orsa.defaults.json");
  EXPECT_EQ(UserDefaults::standardUserDefaults(), first);
  first->setString("in a", "where");  // not synchronized: switching homes writes it back

  AppContainer::setRoot(b.str());
  auto second = UserDefaults::standardUserDefaults();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->stringForKey("where"), std::nullopt);

  AppContainer::setRoot(a.str());
  EXPECT_EQ(UserDefaults::standardUserDefaults()->stringForKey("where"), "in a");
  AppContainer::setRoot("");
}

TEST(Base64, RoundTripsAndRejectsMalformedText) {
  EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>("foobar"), 6), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>("fo"), 2), "Zm8=");
  std::mt19937 rng(7);
  for (size_t len = 0; len < 40; ++len) {
    std::vector<uint8_t> bytes(len);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    auto text = base64Encode(bytes.data(), bytes.size());
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(base64Decode(text), bytes) << len;
  }
  EXPECT_EQ(base64Decode("Zm8"), std::nullopt);  // strict: padding is part of the text
  for (const char* bad :
       {"Z", "Zm9vY", "Zm=8", "Zm8==", "Zm8===", "Zm 8", "Zm9v\n", "Zm9=", "Zh=="}) {
    EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
  }
}
