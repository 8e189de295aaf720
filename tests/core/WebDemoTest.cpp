// The web-demo front end: what ends a start, which connector states reach the host, and what a
// stop silences. The backend is an unreachable loopback port, so every connect fails with the
// transport's own error.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "net/DHBackendConnector.h"
#include "orsa/OrsaMireloForWebDemo.h"
#include "platform/Dispatch.h"
#include "support/TestSupport.h"

using namespace orsa::test;
using orsa::platform::MainLoop;
using namespace std::chrono_literals;
using Outcomes = std::vector<std::pair<int64_t, std::string>>;

namespace {

struct Recorder : OrsaMireloStartDelegate {
  void onMireloStartSuccess() override { onMireloStartFail(0, "success"); }
  void onMireloStartFail(int64_t code, const std::string& msg) override {
    std::lock_guard<std::mutex> lock(m);
    outcomes.emplace_back(code, msg);
  }
  Outcomes seen() {
    std::lock_guard<std::mutex> lock(m);
    return outcomes;
  }
  std::mutex m;
  Outcomes outcomes;
};

class WebDemo : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new TempHome;
    DHBackendConnector::setBaseURLs("http://127.0.0.1:1", "ws://127.0.0.1:1/ws");
  }
  static void TearDownTestSuite() { delete home_; }

  // A start whose real preparation fails (no such file), reported once the test pumps.
  void start() {
    demo->setResource((home_->path() / "missing.zip").string());
    demo->startWithAppID("app", "sign", OrsaRTCOptions("room", "voice", "out"), "m-1", delegate);
  }
  std::string console(const std::function<void()>& calls) {
    return consoleOf([&] { calls(), MainLoop::runFor(400ms); });
  }

  static inline TempHome* home_ = nullptr;
  std::shared_ptr<OrsaMireloForWebDemo> demo = OrsaMireloForWebDemo::create();
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
};

TEST_F(WebDemo, StartBeforeSetResourceFailsAtOnce) {
  demo->startWithAppID("app", "sign", OrsaRTCOptions("room", "voice", "out"), "m-1", delegate);
  // Still stopped, with a delegate: a notification is not delivered.
  demo->notifyInitListener(0, "");
  EXPECT_FALSE(MainLoop::runUntil([&] { return delegate->seen().size() > 1; }, 100ms));
  EXPECT_EQ(delegate->seen(), (Outcomes{{-200000, "You should call `setResource` before start"}}));
}

TEST_F(WebDemo, StopOrTheEndOfTheFrontEndEndsAWaitingStart) {
  for (bool destroy : {false, true}) {
    demo = OrsaMireloForWebDemo::create();
    const std::string log = console([&] {
      start();
      destroy ? demo.reset() : demo->stop();
    });
    EXPECT_NE(log.find("Start ended before the resource was set"), std::string::npos) << log;
    EXPECT_EQ(log.find("Set resource finished"), std::string::npos) << log;
  }
  // A result that comes after the stop starts nothing either.
  demo = OrsaMireloForWebDemo::create();
  start();
  demo->stop();
  demo->onSetResourceSuccess();
  MainLoop::runFor(300ms);
  EXPECT_EQ(demo->dhBackendConnector(), nullptr);
  EXPECT_TRUE(delegate->seen().empty());
}

TEST_F(WebDemo, AFailedPreparationIsOnlyLogged) {
  const std::string log = console([&] { start(); });
  EXPECT_NE(log.find("Set resource failed"), std::string::npos) << log;
  EXPECT_EQ(demo->dhBackendConnector(), nullptr);
  EXPECT_TRUE(delegate->seen().empty());
}

TEST_F(WebDemo, OnlyTheFailedStateReachesTheHostAndStopSilencesNotifications) {
  std::mutex m;
  std::vector<uint64_t> states;
  std::string failure;
  demo->setConnectionStateObserver([&](uint64_t s, int32_t code, const std::string& msg) {
    std::lock_guard<std::mutex> lock(m);
    states.push_back(s);
    if (s == 3 && code < 0) failure = msg;  // the transport's negative code
  });
  start();
  demo->onSetResourceSuccess();  // queued before the real (failed) result
  ASSERT_TRUE(
      MainLoop::runUntil([&] { return !delegate->seen().empty(); }, std::chrono::seconds(30)));
  demo->notifyInitListener(7, "init failed");
  MainLoop::runFor(100ms);
  demo->stop();
  for (int32_t code : {0, 9}) demo->notifyInitListener(code, "after stop");
  MainLoop::runFor(200ms);
  std::lock_guard<std::mutex> lock(m);
  // Connecting and destroyed pass silently; the failure becomes -200001.
  EXPECT_EQ(states, (std::vector<uint64_t>{1, 3, 4}));
  EXPECT_EQ(delegate->seen(), (Outcomes{{-200001, failure}, {7, "init failed"}}));
  EXPECT_FALSE(failure.empty());
}

}  // namespace
