#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/OrsaBase64.h"
#include "OrsaMireloImpl.h"
#include "OrsaRuntimeFactory.h"
#include "orsa/OrsaMirelo.h"
#include "platform/Console.h"

namespace {

std::string configFor(const std::string& platform, const std::string& id = "h1") {
  return OrsaBase64::encode(R"({"DigitalHumanId":")" + id +
                            R"(","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":")" + platform +
                            R"(","PackageUrl":"https://x/p.zip"}]})");
}

// A runtime that writes down every call it gets.
class RecordingRuntime : public IOrsaMireloRuntime {
 public:
  static constexpr uint64_t kAlive = 0x600dF00dCafeBeefull;

  explicit RecordingRuntime(OrsaRuntimeKind kind) : kind(kind) {}
  ~RecordingRuntime() override { canary = 0; }

  void initWithConfig(std::shared_ptr<OrsaMireloConfig> c,
                      std::weak_ptr<OrsaMireloDelegate> d) override {
    std::lock_guard<std::mutex> lock(mutex);
    config = std::move(c);
    delegate = std::move(d);
    events.push_back("init");
  }
  void attach(const std::shared_ptr<OrsaView>& view) override {
    std::lock_guard<std::mutex> lock(mutex);
    attached.push_back(view);
    events.push_back("attach");
  }
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> dataLength,
                                 const QMXVideoFrameParam& param,
                                 const std::string& streamID) override {
    if (canary != kAlive) brokenCalls++;
    if (destroyed) callsAfterDestroy++;
    // Touch the caller's bytes the way a real runtime copies them.
    uint32_t sum = 0;
    if (!data.empty() && !dataLength.empty()) {
      for (uint32_t i = 0; i < dataLength[0]; ++i) sum += data[0][i];
    }
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(Frame{streamID, param.width(), param.height(), sum});
  }
  void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) override {
    if (canary != kAlive) brokenCalls++;
    if (destroyed) callsAfterDestroy++;
    std::lock_guard<std::mutex> lock(mutex);
    seis.emplace_back(streamID, std::vector<uint8_t>(data.begin(), data.end()));
  }
  void destroy() override {
    destroyed = true;
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back("destroy");
  }

  struct Frame {
    std::string stream;
    int32_t width;
    int32_t height;
    uint32_t sum;
  };

  std::vector<std::string> eventsCopy() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }

  const OrsaRuntimeKind kind;
  std::atomic<uint64_t> canary{kAlive};
  std::atomic<bool> destroyed{false};
  std::atomic<int> brokenCalls{0};
  std::atomic<int> callsAfterDestroy{0};
  std::mutex mutex;
  std::vector<std::string> events;
  std::shared_ptr<OrsaMireloConfig> config;
  std::weak_ptr<OrsaMireloDelegate> delegate;
  std::vector<std::shared_ptr<OrsaView>> attached;
  std::vector<Frame> frames;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seis;
};

class RecordingDelegate : public OrsaMireloDelegate {
 public:
  void onError(int32_t code, const std::string& errorMsg) override {
    errors.emplace_back(code, errorMsg);
    if (onErrorHook) onErrorHook();
  }
  std::vector<std::pair<int32_t, std::string>> errors;
  std::function<void()> onErrorHook;
};

class FacadeTest : public testing::Test {
 protected:
  void SetUp() override {
    setOrsaRuntimeFactory([this](OrsaRuntimeKind kind, const std::shared_ptr<OrsaMireloConfig>&) {
      std::lock_guard<std::mutex> lock(made_mutex);
      if (failCreation) return std::shared_ptr<IOrsaMireloRuntime>();
      auto r = std::make_shared<RecordingRuntime>(kind);
      made.push_back(r);
      return std::static_pointer_cast<IOrsaMireloRuntime>(r);
    });
  }
  void TearDown() override { setOrsaRuntimeFactory(nullptr); }

  std::shared_ptr<RecordingRuntime> last() {
    std::lock_guard<std::mutex> lock(made_mutex);
    return made.empty() ? nullptr : made.back();
  }
  size_t madeCount() {
    std::lock_guard<std::mutex> lock(made_mutex);
    return made.size();
  }

  void sendFrame(IOrsaMirelo& engine, const std::string& stream, int32_t w, int32_t h,
                 std::vector<uint8_t> bytes) {
    const uint8_t* planes[] = {bytes.data(), nullptr};
    const uint32_t lengths[] = {static_cast<uint32_t>(bytes.size()), 0};
    QMXVideoFrameParam param;
    param.setWidth(w);
    param.setHeight(h);
    engine.onRemoteVideoFrameRawData(planes, lengths, param, stream);
  }

  std::mutex made_mutex;
  bool failCreation = false;
  std::vector<std::shared_ptr<RecordingRuntime>> made;
};

TEST_F(FacadeTest, StartCreatesTheRuntimeItsPlatformCallsFor) {
  struct Case {
    const char* platform;
    OrsaRuntimeKind kind;
  };
  for (auto [platform, kind] :
       {Case{"mobile", OrsaRuntimeKind::ROI}, Case{"web", OrsaRuntimeKind::Normal},
        Case{"Mobile", OrsaRuntimeKind::Normal}, Case{"", OrsaRuntimeKind::Normal}}) {
    auto engine = OrsaMireloFactory::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    engine->start(configFor(platform, std::string("id-") + platform), delegate);
    auto r = last();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, kind) << platform;
    EXPECT_TRUE(delegate->errors.empty());
    EXPECT_EQ(r->eventsCopy(), std::vector<std::string>{"init"});
    ASSERT_TRUE(r->config);
    EXPECT_EQ(r->config->digitalHumanId(), std::string("id-") + platform);
    EXPECT_EQ(r->delegate.lock(), delegate);
    engine->stop();
  }
}

TEST_F(FacadeTest, DelegateIsHeldWeakly) {
  auto engine = OrsaMireloFactory::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate.use_count(), 1);
  std::weak_ptr<OrsaMireloDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(last()->delegate.expired());
  engine->stop();
}

TEST_F(FacadeTest, DuplicateStartIsRefusedAndLeavesTheFirstRuntimeRunning) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto delegate = std::make_shared<RecordingDelegate>();
  engine->start(configFor("mobile"), delegate);
  auto first = last();
  ASSERT_TRUE(first);

  engine->start(configFor("web"), delegate);
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0],
            std::make_pair(-200006, std::string("start duplicated, call stop first")));
  EXPECT_EQ(madeCount(), 1u);  // no second runtime was even made
  EXPECT_EQ(engine->currentRuntime(), first);
  EXPECT_EQ(first->eventsCopy(), std::vector<std::string>{"init"});

  // Even an undecodable configuration is refused as a duplicate first.
  engine->start("", delegate);
  EXPECT_EQ(delegate->errors.back().first, -200006);
  // And with no delegate nothing but a log line happens.
  engine->start(configFor("web"), nullptr);
  EXPECT_EQ(engine->currentRuntime(), first);

  engine->stop();
  EXPECT_EQ(first->eventsCopy(), (std::vector<std::string>{"init", "destroy"}));
  EXPECT_EQ(engine->currentRuntime(), nullptr);

  // Stopped: a start works again and makes a new runtime.
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate->errors.size(), 2u);
  ASSERT_EQ(madeCount(), 2u);
  EXPECT_NE(last(), first);
  engine->stop();
}

TEST_F(FacadeTest, BadConfigurationsReportTheDecodeErrorAndStayIdle) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto delegate = std::make_shared<RecordingDelegate>();
  const std::string bad[] = {
      "",
      "not base64!",
      OrsaBase64::encode("\xff\xfe"),
      OrsaBase64::encode("{\"DigitalHumanId\":"),
      OrsaBase64::encode("[]"),
      OrsaBase64::encode(std::string(100000, '[')),
      OrsaBase64::encode(R"({"DigitalHumanId":"h","Streams":[{"RoomId":"r","StreamId":"s",
                             "ConfigId":"mobile"}]})"),
  };
  for (const auto& config : bad) {
    engine->start(config, delegate);
    engine->start(config, nullptr);
  }
  ASSERT_EQ(delegate->errors.size(), std::size(bad));
  for (const auto& e : delegate->errors) {
    EXPECT_EQ(e, std::make_pair(-200000, std::string("config decode error")));
  }
  EXPECT_EQ(madeCount(), 0u);
  EXPECT_EQ(engine->currentRuntime(), nullptr);

  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate->errors.size(), std::size(bad));
  EXPECT_NE(engine->currentRuntime(), nullptr);
  engine->stop();
}

TEST_F(FacadeTest, ARuntimeThatCannotBeMadeLeavesTheEngineIdle) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto delegate = std::make_shared<RecordingDelegate>();
  failCreation = true;
  engine->start(configFor("mobile"), delegate);
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0], std::make_pair(-200000, std::string("create runtime failed")));
  EXPECT_EQ(engine->currentRuntime(), nullptr);

  failCreation = false;
  engine->start(configFor("mobile"), delegate);
  EXPECT_EQ(delegate->errors.size(), 1u);
  EXPECT_NE(engine->currentRuntime(), nullptr);
  engine->stop();

  // A factory that throws counts as one that made nothing.
  setOrsaRuntimeFactory(
      [](OrsaRuntimeKind,
         const std::shared_ptr<OrsaMireloConfig>&) -> std::shared_ptr<IOrsaMireloRuntime> {
        throw std::runtime_error("x");
      });
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate->errors.size(), 2u);
  EXPECT_EQ(engine->currentRuntime(), nullptr);

  // The built-in factory has no runtimes to offer.
  setOrsaRuntimeFactory(nullptr);
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(delegate->errors.size(), 3u);
  EXPECT_EQ(engine->currentRuntime(), nullptr);
}

TEST_F(FacadeTest, ViewsReachTheRuntimeBeforeAndAfterStart) {
  auto engine = OrsaMireloFactory::create();
  auto early = std::make_shared<OrsaView>(OrsaRect{0, 0, 10, 20});
  engine->attach(early);
  engine->start(configFor("mobile"), nullptr);
  auto r = last();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->eventsCopy(), (std::vector<std::string>{"init", "attach"}));
  ASSERT_EQ(r->attached.size(), 1u);
  EXPECT_EQ(r->attached[0], early);

  auto later = std::make_shared<OrsaView>();
  engine->attach(later);
  ASSERT_EQ(r->attached.size(), 2u);
  EXPECT_EQ(r->attached[1], later);
  engine->stop();

  // The facade holds its view weakly: a view the host dropped is not handed to the next runtime.
  r->attached.clear();
  later.reset();
  engine->start(configFor("mobile"), nullptr);
  EXPECT_EQ(last()->eventsCopy(), std::vector<std::string>{"init"});
  engine->stop();

  // Attaching again replaces the stored view.
  engine->attach(early);
  auto other = std::make_shared<OrsaView>();
  engine->attach(other);
  engine->start(configFor("web"), nullptr);
  ASSERT_EQ(last()->attached.size(), 1u);
  EXPECT_EQ(last()->attached[0], other);
  engine->stop();
}

TEST_F(FacadeTest, IntakeIsForwardedOnlyWhileStarted) {
  auto engine = OrsaMireloFactory::create();
  const uint8_t sei[] = {1, 2, 3};
  engine->onPlayerSyncRecvSEI("s", sei);
  sendFrame(*engine, "s", 2, 1, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(madeCount(), 0u);

  engine->start(configFor("mobile"), nullptr);
  auto r = last();
  engine->onPlayerSyncRecvSEI("s", sei);
  sendFrame(*engine, "other", 2, 1, {1, 2, 3, 4, 5, 6, 7, 8});
  {
    std::lock_guard<std::mutex> lock(r->mutex);
    ASSERT_EQ(r->seis.size(), 1u);
    EXPECT_EQ(r->seis[0].first, "s");
    EXPECT_EQ(r->seis[0].second, (std::vector<uint8_t>{1, 2, 3}));
    // Forwarded unchanged: stream filtering is the runtime's business.
    ASSERT_EQ(r->frames.size(), 1u);
    EXPECT_EQ(r->frames[0].stream, "other");
    EXPECT_EQ(r->frames[0].width, 2);
    EXPECT_EQ(r->frames[0].height, 1);
    EXPECT_EQ(r->frames[0].sum, 36u);
  }

  engine->stop();
  engine->onPlayerSyncRecvSEI("s", sei);
  sendFrame(*engine, "s", 2, 1, {1, 2, 3, 4, 5, 6, 7, 8});
  std::lock_guard<std::mutex> lock(r->mutex);
  EXPECT_EQ(r->seis.size(), 1u);
  EXPECT_EQ(r->frames.size(), 1u);
  EXPECT_EQ(r->callsAfterDestroy, 0);
}

TEST_F(FacadeTest, StopWithoutStartOnlyLogsAndStopTwiceDestroysOnce) {
  auto engine = OrsaMireloFactory::create();
  engine->stop();
  engine->start(configFor("web"), nullptr);
  auto r = last();
  engine->stop();
  engine->stop();
  EXPECT_EQ(r->eventsCopy(), (std::vector<std::string>{"init", "destroy"}));
}

TEST_F(FacadeTest, DelegateMayCallBackIntoTheEngine) {
  auto engine = OrsaMireloFactory::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  engine->start(configFor("web"), delegate);
  auto first = last();
  // On the duplicate-start error the host stops and restarts from inside the callback.
  delegate->onErrorHook = [&] {
    delegate->onErrorHook = nullptr;
    engine->stop();
    engine->start(configFor("mobile"), delegate);
  };
  engine->start(configFor("web"), delegate);
  EXPECT_EQ(first->eventsCopy(), (std::vector<std::string>{"init", "destroy"}));
  ASSERT_EQ(madeCount(), 2u);
  EXPECT_EQ(last()->kind, OrsaRuntimeKind::ROI);
  engine->stop();
}

TEST_F(FacadeTest, DestructionDoesNotDestroyTheRuntime) {
  auto engine = OrsaMireloFactory::create();
  engine->start(configFor("web"), nullptr);
  std::weak_ptr<RecordingRuntime> weak = last();
  made.clear();
  testing::internal::CaptureStderr();
  engine.reset();
  orsa::platform::consoleFlush();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("OrsaMireloImpl dealloc ... "), std::string::npos) << err;
  // Released without destroy().
  EXPECT_TRUE(weak.expired());
}

// Intake on an RTC thread while the main thread starts and stops over and over. Every call
// must land on a runtime that is still alive (the canary), and ThreadSanitizer must see no
// race on the facade's runtime reference.
TEST_F(FacadeTest, IntakeOverlappingStopIsSafe) {
  auto engine = OrsaMireloFactory::create();
  std::atomic<bool> done{false};
  std::atomic<uint64_t> sent{0};
  std::thread rtc([&] {
    std::vector<uint8_t> pixels(64 * 4, 7);
    const uint8_t sei[] = {0, 0, 3, 1, 0, 0, 0};
    QMXVideoFrameParam param;
    param.setWidth(8);
    param.setHeight(8);
    const uint8_t* planes[] = {pixels.data()};
    const uint32_t lengths[] = {static_cast<uint32_t>(pixels.size())};
    while (!done.load()) {
      engine->onPlayerSyncRecvSEI("s", sei);
      engine->onRemoteVideoFrameRawData(planes, lengths, param, "s");
      sent++;
    }
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int cycles = 0;
  // Enough cycles to interleave, and at least some intake reaching runtimes.
  while (cycles < 300 && std::chrono::steady_clock::now() < deadline) {
    engine->start(configFor(cycles % 2 ? "mobile" : "web"), nullptr);
    if (cycles % 3 == 0) engine->attach(std::make_shared<OrsaView>());
    if (cycles % 10 == 0) {
      // Now and then let the RTC thread reach the runtime before stopping it.
      auto r = last();
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (std::chrono::steady_clock::now() < until) {
        {
          std::lock_guard<std::mutex> lock(r->mutex);
          if (!r->frames.empty()) break;
        }
        std::this_thread::yield();
      }
    }
    engine->stop();
    ++cycles;
  }
  done = true;
  rtc.join();
  EXPECT_GT(sent.load(), 0u);
  size_t reached = 0;
  std::lock_guard<std::mutex> lock(made_mutex);
  ASSERT_EQ(made.size(), static_cast<size_t>(cycles));
  for (const auto& r : made) {
    EXPECT_EQ(r->brokenCalls, 0);
    auto ev = r->eventsCopy();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev.front(), "init");
    EXPECT_EQ(ev.back(), "destroy");
    std::lock_guard<std::mutex> rl(r->mutex);
    reached += r->frames.size();
    for (const auto& f : r->frames) EXPECT_EQ(f.sum, 7u * 256u);
  }
  EXPECT_GT(reached, 0u);
}

}  // namespace
