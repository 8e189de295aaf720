#include "OrsaMireloImpl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "OrsaRuntimeFactory.h"
#include "orsa/OrsaMirelo.h"
#include "platform/OrsaBase64.h"

namespace {

using Events = std::vector<std::string>;

std::string configFor(const std::string& platform, const std::string& id = "h1",
                      const std::string& packageUrl = "https://x/p.zip") {
  return OrsaBase64::encode(R"({"DigitalHumanId":")" + id +
                            R"(","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":")" + platform +
                            R"(","PackageUrl":")" + packageUrl + R"("}]})");
}

// Kept outside the runtimes, so that it can still be read once they are gone.
struct Ledger {
  std::atomic<int> alive{0};
  std::atomic<int> destroyCalls{0};
  std::atomic<int> callsIntoFreedRuntime{0};
  std::atomic<int> intakeCalls{0};
};

// Writes down every call; the intake calls pause so that a racing stop() could free the runtime
// mid-call. After the pause only locals are touched: a facade that does not hold the runtime for
// the whole call makes `life` fall there.
class RecordingRuntime : public IOrsaMireloRuntime {
 public:
  RecordingRuntime(OrsaRuntimeKind kind, Ledger& ledger) : kind(kind), ledger_(ledger) {
    ledger_.alive++;
  }
  ~RecordingRuntime() override {
    *life_ = false;
    ledger_.alive--;
  }
  void initWithConfig(std::shared_ptr<OrsaMireloConfig> c,
                      std::weak_ptr<OrsaMireloDelegate> d) override {
    delegate = std::move(d);
    record("init " + *c->digitalHumanId());
  }
  void attach(const std::shared_ptr<OrsaView>& view) override {
    record("attach " + view->description());
  }
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> dataLength,
                                 const QMXVideoFrameParam& param,
                                 const std::string& streamID) override {
    uint32_t sum = 0;  // reads the caller's bytes the way a runtime copies them
    for (uint32_t i = 0; i < dataLength[0]; ++i) sum += data[0][i];
    record("frame " + streamID + " " + std::to_string(param.width()) + "x" +
           std::to_string(param.height()) + " sum " + std::to_string(sum));
    pause();
  }
  void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) override {
    record("sei " + streamID + " " + std::to_string(data.size()));
    pause();
  }
  void destroy() override {
    ledger_.destroyCalls++;
    record("destroy");
  }
  Events events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  const OrsaRuntimeKind kind;
  std::weak_ptr<OrsaMireloDelegate> delegate;

 private:
  void record(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  void pause() {
    auto life = life_;
    Ledger& ledger = ledger_;
    ledger.intakeCalls++;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!*life) ledger.callsIntoFreedRuntime++;
  }

  Ledger& ledger_;
  std::shared_ptr<std::atomic<bool>> life_ = std::make_shared<std::atomic<bool>>(true);
  std::mutex mutex_;
  Events events_;
};

class RecordingDelegate : public OrsaMireloDelegate {
 public:
  void onError(int32_t code, const std::string& errorMsg) override {
    errors.emplace_back(code, errorMsg);
    if (auto hook = std::exchange(onErrorHook, nullptr)) hook();
  }
  std::vector<std::pair<int32_t, std::string>> errors;
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

  static void sendFrame(IOrsaMirelo& engine, const std::string& stream) {
    const uint8_t pixels[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t* planes[] = {pixels, nullptr};
    const uint32_t lengths[] = {8, 0};
    QMXVideoFrameParam param;
    param.setWidth(2);
    param.setHeight(1);
    engine.onRemoteVideoFrameRawData(planes, lengths, param, stream);
  }

  Ledger ledger;
  std::vector<std::weak_ptr<RecordingRuntime>> made;  // start() runs on this thread only
};

TEST_F(FacadeTest, StartPicksTheRuntimeByPlatformAndHoldsTheDelegateWeakly) {
  const std::pair<const char*, OrsaRuntimeKind> cases[] = {{"mobile", OrsaRuntimeKind::ROI},
                                                           {"web", OrsaRuntimeKind::Normal},
                                                           {"Mobile", OrsaRuntimeKind::Normal},
                                                           {"", OrsaRuntimeKind::Normal}};
  for (auto [platform, kind] : cases) {
    auto engine = OrsaMireloFactory::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    engine->start(configFor(platform, std::string("id-") + platform), delegate);
    auto r = last();
    ASSERT_TRUE(r) << platform;
    EXPECT_EQ(r->kind, kind) << platform;
    EXPECT_EQ(r->events(), Events{std::string("init id-") + platform});
    EXPECT_TRUE(delegate->errors.empty());
    EXPECT_EQ(r->delegate.lock(), delegate);
    EXPECT_EQ(delegate.use_count(), 1);
    engine->stop();
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
  const std::pair<int32_t, std::string> duplicate{-200006, "start duplicated, call stop first"};
  EXPECT_EQ(delegate->errors, (std::vector{duplicate, duplicate}));
  EXPECT_EQ(made.size(), 1u);
  EXPECT_EQ(engine->currentRuntime(), first);

  engine->stop();
  engine->stop();
  EXPECT_EQ(first->events(), (Events{"init h1", "destroy"}));
  EXPECT_EQ(engine->currentRuntime(), nullptr);
  // On a duplicate start the host may stop and start again from inside the callback.
  engine->start(configFor("web"), delegate);
  delegate->onErrorHook = [&] {
    engine->stop();
    engine->start(configFor("mobile", "h2"), delegate);
  };
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(made.size(), 3u);
  EXPECT_EQ(last()->events(), Events{"init h2"});
  EXPECT_EQ(last()->kind, OrsaRuntimeKind::ROI);
  // Dropping the engine releases its runtime without destroy(): the host stops first.
  first.reset();
  engine.reset();
  EXPECT_EQ(ledger.alive, 0);
  EXPECT_EQ(ledger.destroyCalls, 2);
}

TEST_F(FacadeTest, FailedStartsReportTheirErrorAndLeaveTheEngineIdle) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto delegate = std::make_shared<RecordingDelegate>();
  const std::string bad[] = {"", "not base64!", OrsaBase64::encode("[]"),
                             OrsaBase64::encode(std::string(100000, '[')),
                             configFor("mobile", "h", "")};
  for (const auto& config : bad) {
    engine->start(config, delegate);
    engine->start(config, nullptr);
  }
  const std::pair<int32_t, std::string> decodeError{-200000, "config decode error"};
  EXPECT_EQ(delegate->errors, std::vector(std::size(bad), decodeError));
  EXPECT_EQ(made.size(), 0u);

  // A factory that makes nothing or throws, and the built-in factory, which has no runtimes yet.
  delegate->errors.clear();
  setOrsaRuntimeFactory([](OrsaRuntimeKind, const std::shared_ptr<OrsaMireloConfig>&) {
    return std::shared_ptr<IOrsaMireloRuntime>();
  });
  engine->start(configFor("mobile"), delegate);
  setOrsaRuntimeFactory(
      [](OrsaRuntimeKind,
         const std::shared_ptr<OrsaMireloConfig>&) -> std::shared_ptr<IOrsaMireloRuntime> {
        throw std::runtime_error("x");
      });
  engine->start(configFor("web"), delegate);
  setOrsaRuntimeFactory(nullptr);
  engine->start(configFor("web"), delegate);
  const std::pair<int32_t, std::string> noRuntime{-200000, "create runtime failed"};
  EXPECT_EQ(delegate->errors, std::vector(3, noRuntime));
  EXPECT_EQ(engine->currentRuntime(), nullptr);

  SetUp();  // a working factory again: the idle engine starts
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate->errors.size(), 3u);
  EXPECT_NE(engine->currentRuntime(), nullptr);
  engine->stop();
}

TEST_F(FacadeTest, ViewsAndIntakeReachOnlyTheStartedRuntime) {
  auto engine = OrsaMireloFactory::create();
  auto early = std::make_shared<OrsaView>(OrsaRect{0, 0, 10, 20});
  auto later = std::make_shared<OrsaView>();
  const uint8_t sei[] = {1, 2, 3};
  engine->attach(early);
  engine->onPlayerSyncRecvSEI("s", sei);
  sendFrame(*engine, "s");
  engine->start(configFor("mobile"), nullptr);
  auto r = last();
  engine->attach(later);
  engine->onPlayerSyncRecvSEI("s", sei);
  sendFrame(*engine, "other");  // stream filtering is the runtime's business
  engine->stop();
  engine->onPlayerSyncRecvSEI("s", sei);
  sendFrame(*engine, "s");
  EXPECT_EQ(r->events(),
            (Events{"init h1", "attach " + early->description(), "attach " + later->description(),
                    "sei s 3", "frame other 2x1 sum 36", "destroy"}));
  // Views are held weakly: one the host dropped is not handed to the next runtime.
  later.reset();
  engine->start(configFor("mobile"), nullptr);
  EXPECT_EQ(last()->events(), Events{"init h1"});
  engine->stop();
}

// Intake on an RTC thread while the main thread starts and stops over and over: every call must
// find its runtime alive until it returns, each runtime is destroyed once, and none is leaked.
TEST_F(FacadeTest, IntakeOverlappingStopKeepsTheRuntimeAlive) {
  auto engine = OrsaMireloFactory::create();
  std::atomic<bool> done{false};
  std::thread rtc([&] {
    const uint8_t sei[] = {0, 0, 3, 1};
    while (!done.load()) {
      engine->onPlayerSyncRecvSEI("s", sei);
      sendFrame(*engine, "s");
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int cycles = 0;
  for (; cycles < 300 && std::chrono::steady_clock::now() < deadline; ++cycles) {
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

}  // namespace
