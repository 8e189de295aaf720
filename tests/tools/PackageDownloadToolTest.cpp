// The engine's package downloads through orsa demo --package-url: a package is kept under its
// whole URL, and a download cut by the end of the process continues from its partial file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/TransferJournal.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"
#include "utils/ResourceTestPackage.h"

namespace fs = std::filesystem;
using namespace orsa::test;
using namespace std::chrono_literals;

namespace {

class PackageDownload : public testing::Test {
 protected:
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
    ASSERT_EQ(runOrsa(path("home"),
                      {"sample-package", path("small.zip"), "--frames", "8", "--size", "192x320"})
                  .exitCode,
              0);
  }
  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }
  std::vector<std::string> demo(const std::string& url) const {
    return {"demo",      "--seconds", "1",         "--fps",         "10", "--no-record", "--out",
            path("out"), "--layer",   "192x320@1", "--package-url", url};
  }
  std::vector<std::string> targets() const {
    std::vector<std::string> all;
    for (const auto& r : server_.requests()) all.push_back(r.target);
    return all;
  }

  TempDir dir_;
  FaultHttpServer server_{[](const FaultHttpServer::Request&) { return FaultHttpServer::Reply{}; }};
};

TEST_F(PackageDownload, TwoUrlsWithTheSameFileNameAreTwoPackages) {
  const std::string package = readFile(path("small.zip"));
  server_.setHandler([package](const FaultHttpServer::Request& q) {
    return FaultHttpServer::serveBytes(q, package);
  });
  for (const char* target : {"/v1/pkg.zip", "/v2/pkg.zip", "/v1/pkg.zip"}) {
    CommandResult r = runOrsa(path("home"), demo(server_.url(target)));
    ASSERT_EQ(r.exitCode, 0) << target << "\n" << r.err;
  }
  EXPECT_EQ(targets(), (std::vector<std::string>{"/v1/pkg.zip", "/v2/pkg.zip"}));
}

TEST_F(PackageDownload, AKilledDownloadContinuesFromItsPartialFile) {
  // Past the transfer service's first write (a megabyte), so bytes are on disk when it stalls.
  TempDir parts;
  ASSERT_EQ(runOrsa(path("home"), {"unzip", path("small.zip"), parts.str()}).exitCode, 0);
  PackageParts contents;
  for (const auto& e : fs::directory_iterator(parts.path()))
    contents[e.path().filename().string()] = readFile(e.path());
  contents["padding.mp4"] = randomBytes(3 << 20, 11);  // stored, not compressed
  writePackage(path("big.zip"), contents);
  const std::string package = readFile(path("big.zip"));
  const size_t stall = 2 << 20;
  server_.setHandler([&](const FaultHttpServer::Request& q) {
    auto reply = FaultHttpServer::serveBytes(q, package);
    if (!q.header("Range")) reply.stallAfter = stall, reply.stallMs = 60000;
    return reply;
  });
  const auto journalled = [&] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(path("home/Library/OrsaTransfers"), ec))
      for (const auto& t : orsa::platform::TransferJournal::load(e.path().string()).transfers)
        if (t.bytesReceived >= int64_t(1 << 20)) return true;
    return false;
  };
  std::vector<std::string> argv = {orsaToolPath(), "--home", path("home")};
  for (const auto& a : demo(server_.url("/pkg.zip"))) argv.push_back(a);
  const pid_t pid = spawnProgram(argv, {}, path("first.out"), path("first.err"));
  for (int i = 0; i < 1200 && !journalled(); ++i) std::this_thread::sleep_for(50ms);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(journalled()) << readFile(path("first.err"));

  CommandResult r = runOrsa(path("home"), demo(server_.url("/pkg.zip")));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string range = requests[1].header("Range").value_or("");
  ASSERT_EQ(range.rfind("bytes=", 0), 0u) << range;
  EXPECT_GE(std::stoll(range.substr(6)), int64_t(1 << 20)) << range;
  // What the first run had received was used, not left behind beside a fresh copy.
  size_t partials = 0;
  for (const auto& e : fs::directory_iterator(path("home/tmp")))
    partials += e.path().extension() == ".tmp";
  EXPECT_EQ(partials, 0u);
}

}  // namespace
