#include "net/DHBackendConnector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "net/DHTaskManager.h"
#include "orsa/OrsaConstants.h"
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

// A destroy while connect waits for the model list ends the wait, and no task is created: not
// then, and not once the list arrives.
ORSA_TEST_CHILD(DestroyDuringTheModelListWait) {
  ScriptedBackend backend(kModels);
  std::promise<void> release;
  auto gate = std::make_shared<std::shared_future<void>>(release.get_future().share());
  backend.script("/api/model_list", [gate](const Request&) {
    gate->wait_for(20s);
    return ScriptedBackend::reply(json{{"success", true}, {"data", kModels}}.dump());
  });
  DHBackendConnector::setBaseURLs(backend.httpBase(), backend.wsBase());
  auto states = std::make_shared<States>();
  auto connector = make("m-found", states);
  std::atomic<bool> connected{false};
  std::thread connecting([&] {
    connector->connect();
    connected = true;
  });
  CHECK(waitUntil([&] { return !backend.bodies("/api/model_list").empty(); }));
  CHECK(waitUntil([&] { return states->get().size() == 1; }));
  connector->destroy();
  CHECK(waitUntil([&] { return connected.load(); }));
  release.set_value();
  connecting.join();
  // The list's answer and anything it could still set off, well within this time.
  std::this_thread::sleep_for(500ms);
  CHECK(backend.bodies("/api/create_task").empty());
  CHECK(DHBackendConnector::requestsInFlight() == 0);
  CHECK((states->get() == Seen{{1, 0, ""}, {4, 0, ""}}));
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

// A create-task answer that arrives after destroy names a task nobody will use: it is destroyed
// at once, whether the connector is still held or already gone, and before the process's
// requests in flight reach 0 (what a host waits for before it exits).
TEST_F(DHBackendConnectorTest, ALateCreateTaskAnswerIsDestroyedAtOnce) {
  for (bool released : {false, true}) {
    SCOPED_TRACE(released);
    backend_->reset();
    std::promise<void> destroyed;
    auto gate = std::make_shared<std::shared_future<void>>(destroyed.get_future().share());
    backend_->script("/api/create_task", [gate](const Request&) {
      gate->wait_for(10s);
      return ScriptedBackend::reply(R"({"success":true,"data":{"task_id":"t-late","ws_port":7}})");
    });
    auto states = std::make_shared<States>();
    auto connector = make("m-found", states);
    connector->connect();
    ASSERT_TRUE(waitUntil([&] { return backend_->bodies("/api/create_task").size() == 1; }));
    EXPECT_GT(DHBackendConnector::requestsInFlight(), 0);
    connector->destroy();
    if (released) connector.reset();
    destroyed.set_value();
    ASSERT_TRUE(waitUntil([] { return DHBackendConnector::requestsInFlight() == 0; }));
    EXPECT_EQ(backend_->bodies("/api/destroy_task"), (std::vector<json>{{{"task_id", "t-late"}}}));
    EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{});
    EXPECT_TRUE(backend_->socketPaths().empty());
    EXPECT_EQ(states->get(), (Seen{{1, 0, ""}, {4, 0, ""}}));
  }
}

// A destroy-task that fails or meets a server error may have left the task running: the
// registry keeps its id and the next connector's clean-up sends it again.
TEST_F(DHBackendConnectorTest, AFailedDestroyKeepsTheIdForTheNextConnector) {
  struct Case {
    ScriptedBackend::Reply reply;
    bool kept;
  };
  for (const Case& c : {Case{ScriptedBackend::reply("{}", 500), true},
                        Case{ScriptedBackend::reply("<h1>busy</h1>", 503), true},
                        Case{ScriptedBackend::reply("{}", 200, 0), true},  // cut before the answer
                        Case{ScriptedBackend::reply(R"({"success":true})"), false},
                        Case{ScriptedBackend::reply(R"({"success":false})", 404), false}}) {
    SCOPED_TRACE(testing::Message() << c.reply.status << " kept " << c.kept);
    backend_->reset();
    DHTaskManager::sharedInstance().clearAllTasks();
    DHTaskManager::sharedInstance().addTask("old");
    backend_->script("/api/destroy_task", [reply = c.reply](const Request&) { return reply; });
    make("m-found", states_);
    ASSERT_TRUE(waitUntil([&] { return backend_->bodies("/api/destroy_task").size() == 1; }));
    ASSERT_TRUE(waitUntil([] { return DHBackendConnector::requestsInFlight() == 0; }));
    EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), c.kept ? Ids{"old"} : Ids{});
    if (!c.kept) continue;
    backend_->reset();
    make("m-found", states_);
    ASSERT_TRUE(waitUntil([] { return DHTaskManager::sharedInstance().getAllTasks().empty(); }));
    EXPECT_EQ(backend_->bodies("/api/destroy_task"), (std::vector<json>{{{"task_id", "old"}}}));
  }
  EXPECT_TRUE(states_->get().empty());
}

// Only a non-empty string task_id and a ws_port that is a whole number from 1 to 65535 make a
// task to connect to; anything else fails the connect with a code of its own, and a task that
// did get an id is given back.
TEST_F(DHBackendConnectorTest, ACreateTaskAnswerWithoutAUsableTaskFails) {
  struct Case {
    std::string data;       // the answer's "data" member
    std::string destroyed;  // the id given back, if any
  };
  for (const Case& c :
       {Case{R"({"ws_port":80})", ""}, Case{R"({"task_id":"","ws_port":80})", ""},
        Case{R"({"task_id":7,"ws_port":80})", ""}, Case{R"({"task_id":"x","ws_port":1e300})", "x"},
        Case{R"({"task_id":"x","ws_port":-1e300})", "x"},
        Case{R"({"task_id":"x","ws_port":0})", "x"},
        Case{R"({"task_id":"x","ws_port":65536})", "x"},
        Case{R"({"task_id":"x","ws_port":18446744073709551615})", "x"},
        Case{R"({"task_id":"x","ws_port":80.5})", "x"},
        Case{R"({"task_id":"x","ws_port":"80"})", "x"}, Case{R"({"task_id":"x"})", "x"}}) {
    SCOPED_TRACE(c.data);
    backend_->reset();
    const std::string answer = R"({"success":true,"data":)" + c.data + "}";
    backend_->script("/api/create_task",
                     [answer](const Request&) { return ScriptedBackend::reply(answer); });
    auto states = std::make_shared<States>();
    auto connector = make("m-found", states);
    connector->connect();
    ASSERT_TRUE(waitUntil([&] { return states->get().size() == 2; }));
    ASSERT_TRUE(waitUntil([] { return DHBackendConnector::requestsInFlight() == 0; }));
    EXPECT_EQ(std::get<0>(states->get()[1]), 3u);
    EXPECT_EQ(std::get<1>(states->get()[1]), kOrsaErrorBackendTaskInvalid);
    EXPECT_EQ(connector->taskID(), "");
    EXPECT_TRUE(backend_->socketPaths().empty());
    const auto destroys = backend_->bodies("/api/destroy_task");
    const std::vector<json> expected =
        c.destroyed.empty() ? std::vector<json>{} : std::vector<json>{{{"task_id", c.destroyed}}};
    EXPECT_EQ(destroys, expected);
    EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{});
  }
  // The edges that are fine, 65535 and a whole number written as a fraction, connect.
  for (const std::string port : {"65535", "1.0"}) {
    backend_->reset();
    const std::string answer = R"({"success":true,"data":{"task_id":"ok","ws_port":)" + port + "}}";
    backend_->script("/api/create_task",
                     [answer](const Request&) { return ScriptedBackend::reply(answer); });
    auto connector = make("m-found", states_);
    connector->connect();
    const Ids expected{"/ws/" + std::to_string(std::stoi(port))};
    EXPECT_TRUE(waitUntil([&] { return backend_->socketPaths() == expected; })) << port;
    connector->destroy();
    ASSERT_TRUE(waitUntil([] { return DHTaskManager::sharedInstance().getAllTasks().empty(); }));
  }
}

// The start counts once per connection: twenty start messages drive the room once and start
// one heartbeat chain; a binary frame is no message at all.
TEST_F(DHBackendConnectorTest, OnlyTheFirstTextStartMessageCounts) {
  DHBackendConnector::setHeartBeatInterval(50ms);
  auto connector = make("m-found", states_);
  connector->connect();
  ASSERT_TRUE(waitUntil([&] { return backend_->socketPaths() == Ids{"/ws/4242"}; }));
  const std::string start = R"({"Seq": 3, "Type": "start"})";
  backend_->sendBinary(start);
  std::this_thread::sleep_for(300ms);  // six heartbeat intervals for a wrong start to show
  EXPECT_TRUE(backend_->received().empty());
  EXPECT_EQ(states_->get(), (Seen{{1, 0, ""}}));
  for (int i = 0; i < 20; ++i) backend_->sendText(start);
  // Enough heartbeats that every start message has long been read.
  ASSERT_TRUE(waitUntil([&] { return backend_->received().size() >= 6; }));
  connector->destroy();
  const auto frames = backend_->received();
  size_t drives = 0;
  std::vector<std::string> sequence;
  for (const auto& frame : frames) {
    const json j = json::parse(frame);
    drives += j["Payload"]["Type"] == "rtc_stream_drive";
    sequence.push_back(j["SequenceID"]);
  }
  EXPECT_EQ(drives, 1u);
  // One chain: each heartbeat follows the one before, none twice.
  for (size_t i = 0; i < sequence.size(); ++i) EXPECT_EQ(sequence[i], std::to_string(i));
  EXPECT_EQ(states_->get(), (Seen{{1, 0, ""}, {2, 0, ""}, {4, 0, ""}}));
  DHBackendConnector::setHeartBeatInterval(DHBackendConnector::kHeartBeatInterval);
}

TEST_F(DHBackendConnectorTest, DestroyDuringTheModelListWaitCreatesNothing) {
  const auto r =
      orsa::test::runChild("DestroyDuringTheModelListWait", {"ORSA_HOME=" + home_->str()}, 60);
  EXPECT_EQ(r.exitCode, 0) << r.err;
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
