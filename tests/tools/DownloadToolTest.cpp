// orsa download's contract against real servers: results per item, a queue that survives Ctrl-C
// and SIGKILL and continues with a range request for the rest, retries after network cuts, and
// the stored queue listed and cleared.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/TRDownloader.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace orsa::test;
using namespace std::chrono_literals;

namespace {

class DownloadTool : public testing::Test {
 protected:
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
    fs::create_directories(path("www"));
  }
  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }
  CommandResult run(std::vector<std::string> args) { return runOrsa(path("home"), args); }
  std::string content(const std::string& name, size_t size) {
    const std::string bytes = randomBytes(size, uint32_t(name[0]));
    writeFile(path("www/" + name), bytes);
    return bytes;
  }
  // The last word of each "finished SIZE PATH" line.
  static std::vector<std::string> finishedPaths(const std::string& out) {
    std::vector<std::string> paths;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("finished ", 0) == 0) paths.push_back(line.substr(line.rfind(' ') + 1));
    return paths;
  }

  TempDir dir_;
};

TEST_F(DownloadTool, ReportsEveryItemQueuesAUrlOnceAndListsAndClearsTheQueue) {
  const std::string a = content("a.bin", 300000), b = content("b.bin", 1);
  NginxServer nginx({path("www"), "", ""});
  const std::vector<std::string> urls = {nginx.url("a.bin"), nginx.url("b.bin"),
                                         nginx.url("gone.bin")};
  std::vector<std::string> paths;
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<std::string> args = {"download"};
    args.insert(args.end(), urls.begin(), urls.end());
    CommandResult r = run(args);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    paths = finishedPaths(r.out);
    ASSERT_EQ(paths.size(), 2u) << r.out;
    EXPECT_EQ(r.out.find("finished 300000 " + paths[0] + "\nfinished 1 " + paths[1] +
                         "\nfailed 11002 http status code error " + urls[2] + "\n"),
              0u)
        << r.out;
    EXPECT_EQ(readFile(paths[0]), a);
    EXPECT_EQ(readFile(paths[1]), b);
  }
  // The second run found the finished URLs stored and asked again only for the failed one.
  const auto log = nginx.accessLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3].rfind("GET /gone.bin ", 0), 0u) << log[3];

  CommandResult list = run({"downloads", "list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.out.find("finished 300000/300000 " + urls[0] + " "), std::string::npos);
  EXPECT_NE(list.out.find("failed 0/0 " + urls[2] + " "), std::string::npos) << list.out;
  EXPECT_EQ(run({"downloads", "list", "--uid", "other"}).out, "");
  EXPECT_EQ(run({"downloads", "clear"}).out, "removed 3 items\n");
  EXPECT_EQ(run({"downloads", "list"}).out, "");
  EXPECT_FALSE(fs::exists(paths[0])) << paths[0];
  EXPECT_FALSE(fs::exists(paths[1])) << paths[1];
}

TEST_F(DownloadTool, StoppedOrKilledRunsContinueFromTheirPartialFiles) {
  const std::string big = content("big.bin", 6 << 20);
  NginxServer nginx({path("www"), "1m", ""});
  const std::string url = nginx.url("big.bin");
  const auto received = [&] {
    uintmax_t bytes = 0;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(path("home/tmp"), ec)) bytes += e.file_size(ec);
    return bytes;
  };
  // Ctrl-C first, then SIGKILL, each once some megabytes are on disk.
  for (int sig : {SIGINT, SIGKILL}) {
    const uintmax_t before = received();
    const pid_t pid = spawnProgram({orsaToolPath(), "--home", path("home"), "download", url}, {},
                                   path("out"), path("err"));
    for (int i = 0; i < 200 && received() < before + (3 << 20) / 2; ++i)
      std::this_thread::sleep_for(50ms);
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    if (sig == SIGINT) {
      EXPECT_TRUE(WIFEXITED(status)) << readFile(path("err"));
      EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT) << readFile(path("err"));
      EXPECT_NE(readFile(path("err")).find("stopped; run it again to continue"), std::string::npos);
    }
  }
  CommandResult r = run({"download", url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto paths = finishedPaths(r.out);
  ASSERT_EQ(paths.size(), 1u) << r.out;
  EXPECT_TRUE(readFile(paths[0]) == big);
  // One full request, then each run asked only for what it did not have.
  const auto log = nginx.accessLog();
  ASSERT_EQ(log.size(), 3u) << testing::PrintToString(log);
  EXPECT_NE(log[0].find(" 200 - "), std::string::npos);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_NE(log[i].find(" 206 bytes="), std::string::npos);
  EXPECT_LT(std::stoull(log[1].substr(log[1].find("bytes=") + 6)),
            std::stoull(log[2].substr(log[2].find("bytes=") + 6)));
}

TEST_F(DownloadTool, NetworkCutsAreResumedThreeTimesBeforeTheItemFails) {
  const std::string bytes = content("c.bin", 400000);
  int cutsLeft = 3;
  FaultHttpServer server([&](const FaultHttpServer::Request& q) {
    auto reply = FaultHttpServer::serveBytes(q, bytes);
    if (q.target == "/always" || cutsLeft-- > 0) reply.closeAfter = 1000;
    return reply;
  });
  CommandResult r = run({"download", server.url("/c.bin")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(finishedPaths(r.out).size(), 1u) << r.out;
  EXPECT_TRUE(readFile(finishedPaths(r.out)[0]) == bytes);
  EXPECT_EQ(server.requests().size(), 4u);
  EXPECT_EQ(server.requests()[3].header("Range"), "bytes=3000-");

  r = run({"download", server.url("/always")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("failed -1005 "), std::string::npos) << r.out;
  EXPECT_EQ(server.requests().size(), 8u);
}

TEST_F(DownloadTool, IdsThatArePathsAreRefusedBeforeAnythingIsTouched) {
  FaultHttpServer server(
      [](const FaultHttpServer::Request& q) { return FaultHttpServer::serveBytes(q, "x"); });
  const std::string url = server.url("/f.bin");
  const std::vector<std::vector<std::string>> rows = {
      {"download", "--file-id", "../../../../../../x", url},
      {"download", "--file-id", "..", url},
      {"download", "--file-id", "a\\b", url},
      {"download", "--file-id", "a\nb", url},
      {"download", "--file-id", "", url},
      {"download", "--uid", "../../../../y", url},
      {"download", "--uid", ".", url},
      {"downloads", "clear", "--uid", "a/b"},
      {"downloads", "list", "--uid", ""}};
  for (const auto& args : rows) {
    CommandResult r = run(args);
    EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("is no plain file name"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(server.requests().empty());
  // Only the home may have been made; "x.data" would have landed beside it.
  for (const auto& e : fs::directory_iterator(dir_.path()))
    EXPECT_TRUE(e.path().filename() == "www" || e.path().filename() == "home") << e.path();
}

// An answer without a length completes with what arrived; the exit status speaks of the URLs
// named in this run, and an earlier run's failure is not reported again.
TEST_F(DownloadTool, UnknownLengthsCompleteAndOnlyThisRunsUrlsDecideTheExitStatus) {
  const std::string bytes = randomBytes(40017, 5);
  FaultHttpServer server([&](const FaultHttpServer::Request& q) {
    auto reply = FaultHttpServer::serveBytes(q, bytes);
    reply.noLength = q.target == "/nolength";
    if (q.target == "/gone") reply.status = 404;
    return reply;
  });
  CommandResult r = run({"download", server.url("/gone")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("failed 11002 "), std::string::npos) << r.out;
  r = run({"download", server.url("/nolength")});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
  ASSERT_EQ(finishedPaths(r.out).size(), 1u) << r.out;
  EXPECT_EQ(r.out.find("finished 40017 "), 0u) << r.out;
  EXPECT_TRUE(readFile(finishedPaths(r.out)[0]) == bytes);
  EXPECT_NE(run({"downloads", "list"}).out.find("failed 0/0 " + server.url("/gone")),
            std::string::npos);
}

TEST_F(DownloadTool, ClearDeletesThePartialFilesOfPausedAndAdoptedItems) {
  const std::string big = randomBytes(8 << 20, 9);
  FaultHttpServer server([&](const FaultHttpServer::Request& q) {
    auto reply = FaultHttpServer::serveBytes(q, big);
    reply.chunkBytes = 256 << 10, reply.chunkDelayMs = 100;
    return reply;
  });
  const auto partialBytes = [&] {
    uintmax_t bytes = 0;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(path("home/tmp"), ec)) bytes += e.file_size(ec);
    return bytes;
  };
  // Stopped with Ctrl-C (paused with resume data), or killed (its transfer left in the journal).
  for (int sig : {SIGINT, SIGKILL}) {
    const uintmax_t before = partialBytes();
    const pid_t pid = spawnProgram({orsaToolPath(), "--home", path("home"), "download",
                                    server.url("/big-" + std::to_string(sig))},
                                   {}, path("out"), path("err"));
    for (int i = 0; i < 400 && partialBytes() < before + (3 << 20) / 2; ++i)
      std::this_thread::sleep_for(50ms);
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  ASSERT_GT(partialBytes(), uintmax_t(1 << 20)) << readFile(path("err"));
  CommandResult r = run({"downloads", "clear"});
  EXPECT_EQ(r.out, "removed 2 items\n") << r.err;
  EXPECT_EQ(partialBytes(), 0u);
}

TEST_F(DownloadTool, ASecondProcessOnTheSameHomeIsToldAndTouchesNothing) {
  const std::string big = randomBytes(4 << 20, 3);
  FaultHttpServer server([&](const FaultHttpServer::Request& q) {
    auto reply = FaultHttpServer::serveBytes(q, big);
    reply.chunkBytes = 128 << 10, reply.chunkDelayMs = 50;
    return reply;
  });
  const pid_t pid =
      spawnProgram({orsaToolPath(), "--home", path("home"), "download", server.url("/first")}, {},
                   path("out"), path("err"));
  for (int i = 0; i < 400 && server.requests().empty(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(server.requests().size(), 1u);
  for (const auto& args : std::vector<std::vector<std::string>>{{"download", server.url("/first")},
                                                                {"download", server.url("/second")},
                                                                {"downloads", "clear"}}) {
    CommandResult r = run(args);
    EXPECT_EQ(r.exitCode, 1) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("the downloads of this home are in use by another process"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(path("err"));
  const auto paths = finishedPaths(readFile(path("out")));
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_TRUE(readFile(paths[0]) == big);
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
