#include "net/DHBackendConnector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "net/DHTaskManager.h"
#include "support/ScriptedBackend.h"
#include "support/TestSupport.h"

namespace {

using json = nlohmann::json;
using orsa::test::ScriptedBackend;
using orsa::test::waitUntil;
using Request = ScriptedBackend::Request;
using Ids = std::vector<std::string>;
using Seen = std::vector<std::tuple<uint64_t, int32_t, std::string>>;
using namespace std::chrono_literals;

const json kModels = json::parse(R"([
  {"model_id": "m-found", "decoraterConfig": {"layout": {"bg_color": "#000", "layers": []},
                                              "output": {"type": "cdn", "fps": 30, "bitrate": 123}}},
  {"model_id": "m-partial", "decoraterConfig": {"output": {"fps": 15}}}])");
const json kDefaultLayout = json::parse(
    R"({"bg_color": "#545454", "layers": [{"type": "stream", "index": 1, "rect": [0, 0, 1080, 1920]}]})");

struct States {
  std::mutex mutex;
  Seen seen;
  Seen get() {
    std::lock_guard lock(mutex);
    return seen;
  }
};

std::shared_ptr<DHBackendConnector> make(const std::string& model, std::shared_ptr<States> states) {
  return DHBackendConnector::initWithAppID(
      "app", "sign", model, "room", "dh-stream", "agent-stream",
      [states](uint64_t state, int32_t code, const std::string& msg) {
        std::lock_guard lock(states->mutex);
        states->seen.emplace_back(state, code, msg);
      });
}

// The process's one model-list fetch brings nothing usable (the answer is in
// ORSA_TEST_MODEL_LIST): connect goes on at once, with the defaults.
ORSA_TEST_CHILD(ConnectWithoutModelList) {
  ScriptedBackend backend(kModels);
  const std::string answer = std::getenv("ORSA_TEST_MODEL_LIST");
  backend.script("/api/model_list",
                 [answer](const Request&) { return ScriptedBackend::reply(answer); });
  DHBackendConnector::setBaseURLs(backend.httpBase(), backend.wsBase());
  auto connector = make("m-found", std::make_shared<States>());
  connector->connect();
  waitUntil([&] { return !backend.bodies("/api/create_task").empty(); });
  const auto sent = backend.bodies("/api/create_task");
  CHECK(sent.size() == 1);
  CHECK(sent[0]["decorater_config"]["layout"] == kDefaultLayout);
  return 0;
}

class DHBackendConnectorTest : public testing::Test {
 protected:
  // One backend for the suite: the model list is fetched once per process.
  static void SetUpTestSuite() {
    home_ = new orsa::test::TempHome();
    backend_ = new ScriptedBackend(kModels);
    DHBackendConnector::setBaseURLs(backend_->httpBase(), backend_->wsBase());
  }
  static void TearDownTestSuite() { delete backend_, delete home_; }
  void SetUp() override {
    DHTaskManager::sharedInstance().clearAllTasks();
    backend_->reset();
  }

  static inline orsa::test::TempHome* home_ = nullptr;
  static inline ScriptedBackend* backend_ = nullptr;
  std::shared_ptr<States> states_ = std::make_shared<States>();
};

// Each failure announces 3 with its code; the body takes the model entry's values or defaults.
TEST_F(DHBackendConnectorTest, CreateTaskBodyAndEachFailureCode) {
  struct Case {
    std::string model;
    json layout, type, fps, bitrate;
    ScriptedBackend::Reply reply;
    int32_t code;         // 0: a negative transport code
    std::string message;  // empty: any description
  };
  const json found = kModels[0]["decoraterConfig"]["layout"];
  for (const Case& c :
       {Case{"m-found", found, "cdn", 30, 123, ScriptedBackend::reply(""), 97800001,
             "respond no data"},
        Case{"m-unknown", kDefaultLayout, "rtc", 25, 8000000, ScriptedBackend::reply("<h1>", 502),
             97800002, ""},
        Case{"m-partial", kDefaultLayout, "rtc", 15, 8000000,
             ScriptedBackend::reply(R"({"success":false,"msg":"no capacity"})"), 97800003,
             "no capacity"},
        Case{"m-found", found, "cdn", 30, 123, ScriptedBackend::reply("{}", 200, 0), 0, ""}}) {
    SCOPED_TRACE(c.code);
    backend_->reset();
    backend_->script("/api/create_task", [reply = c.reply](const Request&) { return reply; });
    auto states = std::make_shared<States>();
    auto connector = make(c.model, states);
    connector->connect();
    ASSERT_TRUE(waitUntil([&] { return states->get().size() == 2; }));
    auto [state, code, message] = states->get()[1];
    EXPECT_EQ(states->get()[0], Seen::value_type(1, 0, ""));
    EXPECT_EQ(state, 3u);
    EXPECT_TRUE(c.code ? code == c.code : code < 0) << code;
    if (c.message.empty())
      EXPECT_FALSE(message.empty());
    else
      EXPECT_EQ(message, c.message);

    const json body = backend_->bodies("/api/create_task").at(0);
    const json& rtc = body["decorater_config"]["output"]["rtc_config"];
    const std::string r = rtc.value("user_id", "????").substr(4);  // one number in both texts
    EXPECT_FALSE(r.empty());
    const json rtcConfig = {{"app_id", "app"},       {"app_sign", "sign"},
                            {"room_id", "room"},     {"stream_id", "dh-stream"},
                            {"user_id", "ios_" + r}, {"user_name", "Digital Human " + r}};
    const json output = {{"type", c.type}, {"width", 512},         {"height", 640},
                         {"fps", c.fps},   {"bitrate", c.bitrate}, {"rtc_config", rtcConfig}};
    const json config = {{"layout", c.layout}, {"mode", "roi"}, {"output", output}};
    json expected = {{"model_id", c.model}, {"app_id", "app"}, {"app_sign", "sign"}};
    expected["decorater_config"] = config;
    EXPECT_EQ(body, expected);
    EXPECT_TRUE(backend_->socketPaths().empty());
    EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{});
  }
}

TEST_F(DHBackendConnectorTest, StartMessageDrivesTheTaskHeartbeatsFollowUntilDestroy) {
  DHBackendConnector::setHeartBeatInterval(50ms);
  auto connector = make("m-found", states_);
  connector->connect();
  ASSERT_TRUE(waitUntil([&] { return backend_->socketPaths() == Ids{"/ws/4242"}; }));
  EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{"t1"});
  backend_->sendText(R"({"Type":"start"})");  // no blank after the colon: not the start message
  backend_->sendText(R"({"Seq": 3, "Type": "start"})");
  ASSERT_TRUE(waitUntil([&] { return backend_->received().size() >= 3; }));
  const auto frames = backend_->received();
  const json drive = {{"Type", "rtc_stream_drive"},
                      {"RTCOptions", {{"RoomId", "room"}, {"StreamId", "agent-stream"}}}};
  EXPECT_EQ(json::parse(frames[0]),
            (json{{"SequenceID", "0"}, {"Type", "request"}, {"Payload", drive}}));
  const json beat = {{"Type", "heartbeat"}};
  for (int i : {1, 2})
    EXPECT_EQ(json::parse(frames[i]),
              (json{{"SequenceID", std::to_string(i)}, {"Type", "request"}, {"Payload", beat}}));
  EXPECT_EQ(states_->get(), (Seen{{1, 0, ""}, {2, 0, ""}}));

  connector->destroy();
  ASSERT_TRUE(waitUntil([&] {
    return backend_->closesReceived() == 1 && backend_->bodies("/api/destroy_task").size() == 1;
  }));
  EXPECT_EQ(backend_->bodies("/api/destroy_task")[0], (json{{"task_id", "t1"}}));
  ASSERT_TRUE(waitUntil([] { return DHTaskManager::sharedInstance().getAllTasks().empty(); }));
  // Four heartbeat intervals after destroy: no frame, no state.
  const size_t framesAtDestroy = backend_->received().size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(backend_->received().size(), framesAtDestroy);
  EXPECT_EQ(states_->get(), (Seen{{1, 0, ""}, {2, 0, ""}, {4, 0, ""}}));
  DHBackendConnector::setHeartBeatInterval(DHBackendConnector::kHeartBeatInterval);
}

TEST_F(DHBackendConnectorTest, DestroyBeforeTheCreateTaskAnswerIgnoresIt) {
  // The answer leaves the backend only once destroy has run.
  std::promise<void> destroyed;
  auto gate = std::make_shared<std::shared_future<void>>(destroyed.get_future().share());
  auto answered = std::make_shared<std::atomic<bool>>(false);
  backend_->script("/api/create_task", [gate, answered](const Request&) {
    gate->wait_for(10s);
    *answered = true;
    return ScriptedBackend::reply(R"({"success":true,"data":{"task_id":"t-late","ws_port":7}})");
  });
  auto connector = make("m-found", states_);
  connector->connect();
  ASSERT_TRUE(waitUntil([&] { return backend_->bodies("/api/create_task").size() == 1; }));
  EXPECT_EQ(backend_->bodies("/api/create_task")[0].value("model_id", ""), "m-found");
  connector->destroy();
  destroyed.set_value();
  ASSERT_TRUE(waitUntil([&] { return answered->load(); }));
  std::this_thread::sleep_for(500ms);  // the answer's trip back to the connector
  EXPECT_TRUE(backend_->socketPaths().empty());
  EXPECT_TRUE(backend_->bodies("/api/destroy_task").empty());
  EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{});
  EXPECT_EQ(states_->get(), (Seen{{1, 0, ""}, {4, 0, ""}}));
}

TEST_F(DHBackendConnectorTest, LeftoverTasksAreDestroyedAtConstruction) {
  for (const char* id : {"old1", "old2", "old3"}) DHTaskManager::sharedInstance().addTask(id);
  // old2's destroy never reaches the backend, so the registry keeps it for the next run.
  backend_->script("/api/destroy_task", [](const Request& r) {
    const bool old2 = r.body.find("old2") != std::string::npos;
    return ScriptedBackend::reply("{}", 200, old2 ? std::optional<size_t>(0) : std::nullopt);
  });
  auto connector = make("m-found", states_);
  ASSERT_TRUE(
      waitUntil([] { return DHTaskManager::sharedInstance().getAllTasks() == Ids{"old2"}; }));
  std::vector<json> sent = backend_->bodies("/api/destroy_task");
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<json>{
                      {{"task_id", "old1"}}, {{"task_id", "old2"}}, {{"task_id", "old3"}}}));
  EXPECT_TRUE(states_->get().empty());
}

TEST_F(DHBackendConnectorTest, AModelListThatNeverComesLeavesTheDefaults) {
  for (const char* answer : {"<html>", R"({"success": "yes", "data": []})"}) {
    const auto r = orsa::test::runChild(
        "ConnectWithoutModelList",
        {"ORSA_HOME=" + home_->str(), std::string("ORSA_TEST_MODEL_LIST=") + answer}, 30);
    EXPECT_EQ(r.exitCode, 0) << answer << "\n" << r.err;
  }
}

}  // namespace
