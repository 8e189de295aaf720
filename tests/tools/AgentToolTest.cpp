// orsa agent against orsa agent serve: the whole AI-agent road, and the package fetched once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "support/TestSupport.h"

using namespace orsa::test;

TEST(AgentTool, StartsThroughTheStandInServiceAndFetchesThePackageOnce) {
  if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
  TempDir dir;
  const auto path = [&](const std::string& name) { return (dir.path() / name).string(); };
  ASSERT_EQ(
      runOrsa(path("home"), {"sample-package", path("p.zip"), "--frames", "8", "--size", "192x320"})
          .exitCode,
      0);
  const pid_t server =
      spawnProgram({orsaToolPath(), "agent", "serve", "--port", "0", "--package", path("p.zip")},
                   {}, path("serve.out"), path("serve.err"));
  std::smatch port;
  std::string served;
  for (int i = 0; i < 600 && !std::regex_search(served, port, std::regex("127\\.0\\.0\\.1:(\\d+)"));
       ++i, served = readFile(path("serve.out")))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_FALSE(port.empty()) << readFile(path("serve.err"));
  const std::string service = "http://127.0.0.1:" + port[1].str();
  for (const std::string out : {"out1", "out2"}) {
    CommandResult r = runOrsa(
        path("home"), {"agent", "--service", service, "--meta-human", "mh-1", "--app-id", "a",
                       "--user-id", "u", "--token", "t", "--seconds", "1", "--out", path(out)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("started\n", 0), 0u) << r.out;
    const auto stats = nlohmann::json::parse(readFile(path(out + "/stats.json")), nullptr, false);
    // Pictures came through; how many depends on the machine's load (rates and drops are the
    // benchmarks' business).
    EXPECT_GT(stats.value("framesSent", 0), 0) << stats.dump();
    EXPECT_GT(stats.value("framesDrawn", 0), 0) << stats.dump();
    EXPECT_LE(stats.value("framesDrawn", 0), stats.value("framesSent", 0)) << stats.dump();
    EXPECT_GT(readFile(path(out + "/composite.mp4")).size(), 1000u);
    EXPECT_GT(readFile(path(out + "/contact-sheet.png")).size(), 1000u);
  }
  CommandResult refused =
      runOrsa(path("home"), {"agent", "--service", service, "--meta-human", "mh-1", "--app-id", "a",
                             "--user-id", "u", "--token", "", "--out", path("out3")});
  EXPECT_EQ(std::tie(refused.exitCode, refused.err),
            std::make_tuple(1, "start failed: -200000 Missing Token\n"));
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  const std::string log = readFile(path("serve.out"));
  // Two starts asked for render information; only the first fetched the package.
  EXPECT_EQ(log.substr(log.find('\n') + 1),
            "POST //aigc/v1/meta_human/render_info 200\nGET /package.zip 200\n"
            "POST //aigc/v1/meta_human/render_info 200\n");
}
