// The web-demo front end: what ends a start, which connector states reach the host, and what a
// stop silences. The backend is an unreachable loopback port, so every connect fails with the
// transport's own error.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "OrsaMireloForWebDemoPrivate.h"
#include "net/DHBackendConnector.h"
#include "orsa/OrsaMireloForWebDemo.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "support/StartRecorder.h"
#include "support/TestSupport.h"

using namespace orsa::test;
using orsa::platform::MainLoop;
using namespace std::chrono_literals;
using Outcomes = StartRecorder::Outcomes;

namespace {

// Runs the main queue until everything queued on it so far has run.
void drainMainQueue() {
  bool reached = false;
  orsa::platform::mainQueue()->async([&] { reached = true; });
  ASSERT_TRUE(MainLoop::runUntil([&] { return reached; }, 30s));
}

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
  // The console while `calls` run and until every start task they queued has ended; `d` may
  // outlive the front end for that.
  std::string console(const std::function<void()>& calls) {
    auto d = OrsaMireloForWebDemoPrivate::of(*demo).shared_from_this();
    return consoleOf([&] {
      calls();
      EXPECT_TRUE(MainLoop::runUntil([&] { return d->startTasks() == 0; }, 30s));
    });
  }

  static inline TempHome* home_ = nullptr;
  std::shared_ptr<OrsaMireloForWebDemo> demo = OrsaMireloForWebDemo::create();
  std::shared_ptr<StartRecorder> delegate = std::make_shared<StartRecorder>();
};

TEST_F(WebDemo, StartBeforeSetResourceFailsAtOnce) {
  demo->startWithAppID("app", "sign", OrsaRTCOptions("room", "voice", "out"), "m-1", delegate);
  // Still stopped, with a delegate: a notification is not delivered.
  demo->notifyInitListener(0, "");
  drainMainQueue();
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
  auto& d = OrsaMireloForWebDemoPrivate::of(*demo);
  start();
  demo->stop();
  d.onSetResourceSuccess();
  ASSERT_TRUE(MainLoop::runUntil([&] { return d.startTasks() == 0; }, 30s));
  drainMainQueue();
  EXPECT_EQ(d.dhBackendConnector(), nullptr);
  EXPECT_TRUE(delegate->seen().empty());
}

TEST_F(WebDemo, AFailedPreparationIsReportedWithItsNegativeCode) {
  const std::string log = console([&] { start(); });
  ASSERT_TRUE(MainLoop::runUntil([&] { return delegate->count() > 0; }, 30s));
  EXPECT_NE(log.find("Set resource finished, result: -200000"), std::string::npos) << log;
  EXPECT_EQ(OrsaMireloForWebDemoPrivate::of(*demo).dhBackendConnector(), nullptr);
  ASSERT_EQ(delegate->count(), 1u);
  EXPECT_EQ(delegate->seen()[0].first, -200000);
  EXPECT_NE(delegate->seen()[0].second.find("code -200000"), std::string::npos)
      << delegate->seen()[0].second;
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
  // Queued before the real (failed) result.
  OrsaMireloForWebDemoPrivate::of(*demo).onSetResourceSuccess();
  ASSERT_TRUE(MainLoop::runUntil([&] { return delegate->count() > 0; }, 30s));
  demo->notifyInitListener(7, "init failed");
  ASSERT_TRUE(MainLoop::runUntil([&] { return delegate->count() > 1; }, 30s));
  demo->stop();
  for (int32_t code : {0, 9}) demo->notifyInitListener(code, "after stop");
  drainMainQueue();
  std::lock_guard<std::mutex> lock(m);
  // Connecting and destroyed pass silently; the failure becomes -200001.
  EXPECT_EQ(states, (std::vector<uint64_t>{1, 3, 4}));
  EXPECT_EQ(delegate->seen(), (Outcomes{{-200001, failure}, {7, "init failed"}}));
  EXPECT_FALSE(failure.empty());
}

}  // namespace
