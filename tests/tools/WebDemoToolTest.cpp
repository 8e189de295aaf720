// orsa webdemo against orsa backend serve: the whole web-demo road over loopback, from the task's
// creation through its start message and the drive request to its destruction and the outputs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <regex>
#include <string>

#include "platform/Dispatch.h"
#include "support/TestSupport.h"

using namespace orsa::test;

namespace {

TEST(WebDemoTool, StartsAgainstTheStandInBackendAndDestroysItsTask) {
  if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
  TempDir dir;
  const std::string log = (dir.path() / "backend.log").string();
  const std::string home = (dir.path() / "home").string();
  const pid_t server = spawnProgram(
      {orsaToolPath(), "--home", home, "backend", "serve", "--port", "0"}, {}, log, log);
  std::smatch port;
  std::string text;
  orsa::platform::MainLoop::runUntil(
      [&] { return std::regex_search(text = readFile(log), port, std::regex(":(\\d+) ")); },
      std::chrono::seconds(20));
  const std::string base = "http://127.0.0.1:" + port[1].str();
  const std::string out = (dir.path() / "out").string();
  CommandResult r = runOrsa(home, {"webdemo", "--backend", base, "--app-id", "A", "--app-sign", "S",
                                   "--room", "R", "--input-stream", "I", "--output-stream", "O",
                                   "--model", "demo-model", "--seconds", "1", "--out", out});
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  const std::string served = readFile(log);
  ASSERT_EQ(r.exitCode, 0) << r.err << served;
  EXPECT_EQ(r.out.rfind("started\n", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("state 1 0 \nstate 2 0 \nstate 4 0 \n"), std::string::npos) << r.err;
  // The drive names the room and the input stream, as the first message of the socket.
  EXPECT_NE(served.find("task-1 received rtc_stream_drive: "
                        R"({"Payload":{"RTCOptions":{"RoomId":"R","StreamId":"I"},)"
                        R"("Type":"rtc_stream_drive"},"SequenceID":"0","Type":"request"})"),
            std::string::npos)
      << served;
  EXPECT_NE(served.find("POST /api/destroy_task 200 task-1 destroyed"), std::string::npos);
  for (const char* name : {"composite.mp4", "contact-sheet.png", "stats.json"})
    EXPECT_GT(readFile(out + "/" + name).size(), 100u) << name;

  // A backend that is gone ends the start with the connector's failure.
  r = runOrsa(home, {"webdemo", "--backend", base, "--app-id", "A", "--app-sign", "S", "--room",
                     "R", "--input-stream", "I", "--output-stream", "O", "--model", "demo-model",
                     "--timeout", "20", "--out", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("start failed: -200001 "), std::string::npos) << r.err;
}

}  // namespace
