#include "OrsaMireloImpl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "OrsaNormalRuntime.h"
#include "OrsaROIRuntime.h"
#include "OrsaRuntimeFactory.h"
#include "orsa/OrsaClock.h"
#include "orsa/OrsaMirelo.h"
#include "platform/HostInfo.h"
#include "platform/OrsaBase64.h"
#include "support/TestSupport.h"

namespace {

using Events = std::vector<std::string>;
using Error = std::pair<int32_t, std::string>;

std::string configFor(const std::string& platform, const std::string& id = "h1",
                      const std::string& packageUrl = "u") {
  return OrsaBase64::encode(R"({"DigitalHumanId":")" + id +
                            R"(","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":")" + platform +
                            R"(","PackageUrl":")" + packageUrl + R"("}]})");
}

// Kept outside the runtimes, so that it can still be read once they are gone.
struct Ledger {
  std::atomic<int> alive{0}, destroyCalls{0}, intakeCalls{0}, callsIntoFreedRuntime{0};
};

// Writes down every call. Intake calls pause so that a racing stop() could free the runtime
// mid-call; only locals are touched after the pause, where `life` tells whether it happened.
class RecordingRuntime : public IOrsaMireloRuntime {
 public:
  RecordingRuntime(OrsaRuntimeKind kind, Ledger& ledger) : kind_(kind), ledger_(ledger) {
    ledger_.alive++;
  }
  ~RecordingRuntime() override {
    *life_ = false;
    ledger_.alive--;
  }
  void initWithConfig(std::shared_ptr<OrsaMireloConfig> c,
                      std::weak_ptr<OrsaMireloDelegate> d) override {
    delegate = std::move(d);
    record(std::string("init ") + orsaRuntimeKindName(kind_) + " " + *c->digitalHumanId());
  }
  void attach(const std::shared_ptr<OrsaView>& v) override { record("attach " + v->description()); }
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data, std::span<const uint32_t> n,
                                 const QMXVideoFrameParam& p, const std::string& stream) override {
    intake("frame " + stream + " " + std::to_string(p.width()) + "x" + std::to_string(p.height()) +
           " " + std::string(data[0], data[0] + n[0]));
  }
  void onPlayerSyncRecvSEI(const std::string& stream, std::span<const uint8_t> data) override {
    intake("sei " + stream + " " + std::string(data.begin(), data.end()));
  }
  void destroy() override {
    ledger_.destroyCalls++;
    record("destroy");
  }
  std::weak_ptr<OrsaMireloDelegate> delegate;
  Events events;  // read once the calls are over

 private:
  void record(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back(std::move(event));
  }
  void intake(std::string event) {
    record(std::move(event));
    auto life = life_;
    Ledger& ledger = ledger_;
    ledger.intakeCalls++;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!*life) ledger.callsIntoFreedRuntime++;
  }

  const OrsaRuntimeKind kind_;
  Ledger& ledger_;
  std::shared_ptr<std::atomic<bool>> life_ = std::make_shared<std::atomic<bool>>(true);
  std::mutex mutex_;
};

struct RecordingDelegate : OrsaMireloDelegate {
  void onError(int32_t code, const std::string& errorMsg) override {
    errors.emplace_back(code, errorMsg);
    if (auto hook = std::exchange(onErrorHook, nullptr)) hook();
  }
  std::vector<Error> errors;
  std::function<void()> onErrorHook;
};

class FacadeTest : public testing::Test {
 protected:
  // The factory keeps no runtime alive: only the facade (and a test that asks) holds one.
  void SetUp() override {
    setOrsaRuntimeFactory([this](OrsaRuntimeKind kind, const std::shared_ptr<OrsaMireloConfig>&) {
      auto r = std::make_shared<RecordingRuntime>(kind, ledger);
      made.push_back(r);
      return r;
    });
  }
  void TearDown() override { setOrsaRuntimeFactory(nullptr); }
  std::shared_ptr<RecordingRuntime> last() { return made.empty() ? nullptr : made.back().lock(); }

  static void sendIntake(IOrsaMirelo& engine, const std::string& stream) {
    static const uint8_t bytes[] = "SEIBGRAbgra";
    const uint8_t* planes[] = {bytes + 3};
    const uint32_t lengths[] = {8};
    QMXVideoFrameParam param;
    param.setWidth(2), param.setHeight(1);
    engine.onPlayerSyncRecvSEI(stream, std::span(bytes, 3));
    engine.onRemoteVideoFrameRawData(planes, lengths, param, stream);
  }

  Ledger ledger;
  std::vector<std::weak_ptr<RecordingRuntime>> made;  // start() runs on this thread only
};

// The runtime follows the platform; views and intake reach it only while it runs; the delegate
// and the views are held weakly.
TEST_F(FacadeTest, StartPicksTheRuntimeAndForwardsOnlyWhileStarted) {
  for (const std::string platform : {"mobile", "web", "Mobile", ""}) {
    auto engine = OrsaMireloFactory::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    auto early = std::make_shared<OrsaView>(), later = std::make_shared<OrsaView>();
    engine->attach(early);
    sendIntake(*engine, "s");
    engine->start(configFor(platform, "id-" + platform), delegate);
    auto r = last();
    ASSERT_TRUE(r) << platform;
    EXPECT_EQ(r->delegate.lock(), delegate);
    EXPECT_EQ(delegate.use_count(), 1);
    engine->attach(later);
    sendIntake(*engine, "other");  // stream filtering is the runtime's business
    engine->stop();
    sendIntake(*engine, "s");
    const std::string kind = platform == "mobile" ? "OrsaROIRuntime " : "OrsaNormalRuntime ";
    EXPECT_EQ(r->events, (Events{"init " + kind + "id-" + platform,
                                 "attach " + early->description(), "attach " + later->description(),
                                 "sei other SEI", "frame other 2x1 BGRAbgra", "destroy"}));
    EXPECT_TRUE(delegate->errors.empty());
    later.reset();
    engine->start(configFor(platform), nullptr);
    EXPECT_EQ(last()->events, Events{"init " + kind + "h1"});
  }
}

TEST_F(FacadeTest, DuplicateStartIsRefusedAndStopDestroysOnce) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto delegate = std::make_shared<RecordingDelegate>();
  engine->stop();  // unstarted: only logs
  engine->start(configFor("mobile"), delegate);
  auto first = last();
  // Refused as a duplicate before the configuration is even looked at.
  for (const std::string& config : {configFor("web"), std::string()}) {
    engine->start(config, delegate);
    engine->start(config, nullptr);
  }
  EXPECT_EQ(delegate->errors, std::vector(2, Error{-200006, "start duplicated, call stop first"}));
  EXPECT_EQ(made.size(), 1u);
  EXPECT_EQ(engine->currentRuntime(), first);
  engine->stop();
  engine->stop();
  EXPECT_EQ(first->events, (Events{"init OrsaROIRuntime h1", "destroy"}));
  EXPECT_EQ(engine->currentRuntime(), nullptr);

  // On a duplicate start the host may stop and start again from inside the callback.
  engine->start(configFor("web"), delegate);
  delegate->onErrorHook = [&] {
    engine->stop();
    engine->start(configFor("mobile", "h2"), delegate);
  };
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(last()->events, Events{"init OrsaROIRuntime h2"});
  // Dropping the engine releases its runtime without destroy(): the host stops first.
  first.reset();
  engine.reset();
  EXPECT_EQ(ledger.alive, 0);
  EXPECT_EQ(ledger.destroyCalls, 2);
}

TEST_F(FacadeTest, FailedStartsReportTheirErrorAndLeaveTheEngineIdle) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto delegate = std::make_shared<RecordingDelegate>();
  for (const auto& config : {std::string(), std::string("not base64!"), OrsaBase64::encode("[]"),
                             configFor("mobile", "h", "")}) {
    engine->start(config, delegate);
    engine->start(config, nullptr);
  }
  EXPECT_EQ(delegate->errors, std::vector(4, Error{-200000, "config decode error"}));
  EXPECT_TRUE(made.empty());

  // A factory that makes nothing or throws.
  delegate->errors.clear();
  using Config = std::shared_ptr<OrsaMireloConfig>;
  using Runtime = std::shared_ptr<IOrsaMireloRuntime>;
  setOrsaRuntimeFactory([](OrsaRuntimeKind, const Config&) { return Runtime(); });
  engine->start(configFor("mobile"), delegate);
  setOrsaRuntimeFactory([](OrsaRuntimeKind, const Config&) -> Runtime { throw std::bad_alloc(); });
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate->errors, std::vector(2, Error{-200000, "create runtime failed"}));
  EXPECT_EQ(engine->currentRuntime(), nullptr);
  // The built-in factory makes the runtime the platform calls for.
  setOrsaRuntimeFactory(nullptr);
  engine->start(configFor("web"), delegate);
  EXPECT_TRUE(std::dynamic_pointer_cast<OrsaNormalRuntime>(engine->currentRuntime()));
  engine->stop();
  engine->start(configFor("mobile"), delegate);
  EXPECT_TRUE(std::dynamic_pointer_cast<OrsaROIRuntime>(engine->currentRuntime()));
  engine->stop();
  EXPECT_EQ(delegate->errors.size(), 2u);
}

// Intake on an RTC thread while the main thread starts and stops over and over: every call must
// find its runtime alive until it returns, each runtime is destroyed once, and none is leaked.
TEST_F(FacadeTest, IntakeOverlappingStopKeepsTheRuntimeAlive) {
  auto engine = OrsaMireloFactory::create();
  std::atomic<bool> done{false};
  std::thread rtc([&] {
    while (!done.load()) sendIntake(*engine, "s");
  });
  int cycles = 0;
  for (; cycles < 300; ++cycles) {
    const int before = ledger.intakeCalls;
    engine->start(configFor(cycles % 2 ? "mobile" : "web"), nullptr);
    if (cycles % 3 == 0) engine->attach(std::make_shared<OrsaView>());
    // Mostly stop at once; now and then once the RTC thread is inside the runtime.
    while (cycles % 4 == 0 && ledger.intakeCalls == before) std::this_thread::yield();
    engine->stop();
  }
  done = true;
  rtc.join();
  EXPECT_GT(ledger.intakeCalls, 0);
  EXPECT_EQ(ledger.callsIntoFreedRuntime, 0);
  EXPECT_EQ(ledger.destroyCalls, cycles);
  EXPECT_EQ(ledger.alive, 0);
}

TEST(OrsaClockTest, SleepUntilReachesTheDeadlineAndSkipsPastOnes) {
  const int64_t deadline = currentMillis() + 15;
  sleepUntil(deadline);
  EXPECT_GE(currentMillis(), deadline);
  // A negative remainder taken as a long sleep would hang here; the bound only catches that.
  auto returned = std::make_shared<std::atomic<bool>>(false);
  std::thread([deadline, returned] {
    for (int64_t past : {deadline - 1000000, deadline, INT64_MIN}) sleepUntil(past);
    *returned = true;
  }).detach();
  EXPECT_TRUE(orsa::test::waitUntil([&] { return returned->load(); }));
}

// The tree refuses cycles and moves a view out of its old parent; subviews follow their
// parent's size through their masks; the contents scale is the host's screen scale at creation.
TEST(OrsaViewTest, TreeMovesRefusesCyclesAndFollowsParentSizes) {
  orsa::platform::HostInfo::setScreenScale(3);
  auto root = std::make_shared<OrsaView>(OrsaRect{5, 5, 100, 200});
  orsa::platform::HostInfo::setScreenScale(1);
  auto fill = std::make_shared<OrsaView>(OrsaRect{0, 0, 100, 200}),
       wide = std::make_shared<OrsaView>(OrsaRect{1, 2, 50, 60}),
       fixed = std::make_shared<OrsaView>(OrsaRect{0, 0, 10, 10});
  ASSERT_TRUE(root->addSubview(fill));
  ASSERT_TRUE(fill->addSubview(wide));
  ASSERT_TRUE(fill->addSubview(fixed));
  for (const auto& v : {root, fill, wide, std::shared_ptr<OrsaView>()})
    EXPECT_FALSE(wide->addSubview(v));
  ASSERT_TRUE(root->addSubview(fixed));  // taken out of fill
  EXPECT_EQ(fill->subviews().size(), 1u);
  EXPECT_EQ(fixed->superview(), root);
  fill->setAutoresizingMask(OrsaAutoresizingFlexibleWidth | OrsaAutoresizingFlexibleHeight);
  wide->setAutoresizingMask(OrsaAutoresizingFlexibleWidth);
  root->setFrame(OrsaRect{0, 0, 150, 180});
  EXPECT_EQ(fill->frame(), (OrsaRect{0, 0, 150, 180}));
  EXPECT_EQ(wide->frame(), (OrsaRect{1, 2, 100, 60}));  // its parent's change, width only
  EXPECT_EQ(fixed->frame(), (OrsaRect{0, 0, 10, 10}));
  EXPECT_EQ(fill->layerSize(), (OrsaSize{150, 180}));
  EXPECT_EQ(root->contentsScale(), 3);
  EXPECT_EQ(fill->contentsScale(), 1);
}

}  // namespace
