#include "net/DHBackendConnector.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "net/DHTaskManager.h"
#include "platform/AppContainer.h"
#include "support/ScriptedBackend.h"
#include "support/TestSupport.h"

namespace {

using json = nlohmann::json;
using Reply = orsa::test::FaultHttpServer::Reply;
using Request = orsa::test::FaultHttpServer::Request;
using Ids = std::vector<std::string>;
using namespace std::chrono_literals;

const json kModels = json::parse(R"([
  {"model_id": "m-found", "decoraterConfig": {"layout": {"bg_color": "#000", "layers": []},
                                              "output": {"type": "cdn", "fps": 30, "bitrate": 123}}},
  {"model_id": "m-partial", "decoraterConfig": {"output": {"fps": 15}}}])");
const json kDefaultLayout = json::parse(
    R"({"bg_color": "#545454", "layers": [{"type": "stream", "index": 1, "rect": [0, 0, 1080, 1920]}]})");

Reply answer(std::string body, int status = 200, std::optional<size_t> closeAfter = std::nullopt) {
  Reply r;
  r.body = std::move(body);
  r.status = status;
  r.closeAfter = closeAfter;
  return r;
}

struct States {
  std::mutex mutex;
  std::vector<std::pair<uint64_t, int32_t>> seen;
  std::vector<std::string> messages;
  std::vector<std::pair<uint64_t, int32_t>> get() {
    std::lock_guard lock(mutex);
    return seen;
  }
};

class DHBackendConnectorTest : public testing::Test {
 protected:
  // One backend for the suite: the model list is fetched once per process.
  static void SetUpTestSuite() {
    home_ = new orsa::test::TempDir();
    backend_ = new orsa::test::ScriptedBackend(route);
    DHBackendConnector::setBaseURLs(backend_->httpBase(), backend_->wsBase());
  }
  static void TearDownTestSuite() {
    delete backend_;
    delete home_;
  }
  static Reply route(const Request& r) {
    if (r.target == "/api/model_list")
      return answer(json{{"success", true}, {"data", kModels}}.dump());
    if (r.target == "/api/destroy_task") return answer(R"({"success":true})");
    return answer(R"({"success":true,"data":{"task_id":"t1","ws_port":4242}})");
  }
  void SetUp() override {
    orsa::platform::AppContainer::setRoot(home_->str());
    DHTaskManager::sharedInstance().clearAllTasks();
    backend_->http().setHandler(route);
    firstRequest_ = backend_->http().requests().size();
    firstSocket_ = backend_->socketPaths().size();
  }
  void TearDown() override { backend_->http().setHandler(route); }

  std::shared_ptr<DHBackendConnector> make(const std::string& model) {
    return DHBackendConnector::initWithAppID(
        "app", "sign", model, "room", "dh-stream", "agent-stream",
        [states = states_](uint64_t state, int32_t code, const std::string& msg) {
          std::lock_guard lock(states->mutex);
          states->seen.emplace_back(state, code);
          states->messages.push_back(msg);
        });
  }
  // Bodies this test sent to one path, in order.
  std::vector<json> bodies(const std::string& path) const {
    std::vector<json> out;
    const auto all = backend_->http().requests();
    for (size_t i = firstRequest_; i < all.size(); ++i)
      if (all[i].target == path) out.push_back(json::parse(all[i].body, nullptr, false));
    return out;
  }
  size_t socketsOpened() const { return backend_->socketPaths().size() - firstSocket_; }
  static bool waitFor(const std::function<bool()>& pred) { return backend_->waitUntil(pred, 10s); }

  static inline orsa::test::TempDir* home_ = nullptr;
  static inline orsa::test::ScriptedBackend* backend_ = nullptr;
  std::shared_ptr<States> states_ = std::make_shared<States>();
  size_t firstRequest_ = 0;
  size_t firstSocket_ = 0;
};

TEST_F(DHBackendConnectorTest, CreateTaskBodyTakesTheModelEntryOrTheDefaults) {
  struct Case {
    std::string model;
    json layout, type, fps, bitrate;
  };
  for (const Case& c : {Case{"m-found", kModels[0]["decoraterConfig"]["layout"], "cdn", 30, 123},
                        Case{"m-unknown", kDefaultLayout, "rtc", 25, 8000000},
                        Case{"m-partial", kDefaultLayout, "rtc", 15, 8000000}}) {
    SCOPED_TRACE(c.model);
    const size_t before = bodies("/api/create_task").size();
    backend_->http().setHandler([](const Request& r) {
      return r.target == "/api/create_task" ? answer(R"({"success":false,"msg":"x"})") : route(r);
    });
    auto connector = make(c.model);
    connector->connect();
    ASSERT_TRUE(waitFor([&] { return bodies("/api/create_task").size() > before; }));
    json body = bodies("/api/create_task").back();
    json& rtc = body["decorater_config"]["output"]["rtc_config"];
    const std::string user = rtc.value("user_id", ""), name = rtc.value("user_name", "");
    ASSERT_EQ(user.rfind("ios_", 0), 0u) << user;
    EXPECT_EQ(name, "Digital Human " + user.substr(4));
    rtc.erase("user_id");
    rtc.erase("user_name");
    const json rtcConfig = {
        {"app_id", "app"}, {"app_sign", "sign"}, {"room_id", "room"}, {"stream_id", "dh-stream"}};
    const json expected = {{"model_id", c.model},
                           {"app_id", "app"},
                           {"app_sign", "sign"},
                           {"decorater_config",
                            {{"layout", c.layout},
                             {"mode", "roi"},
                             {"output",
                              {{"type", c.type},
                               {"width", 512},
                               {"height", 640},
                               {"fps", c.fps},
                               {"bitrate", c.bitrate},
                               {"rtc_config", rtcConfig}}}}}};
    EXPECT_EQ(body, expected) << body.dump();
  }
}

TEST_F(DHBackendConnectorTest, EachCreateTaskFailureAnnouncesItsCode) {
  struct Case {
    Reply reply;
    int32_t code;         // 0: a negative transport code
    std::string message;  // empty: any description
  };
  for (const Case& c :
       {Case{answer(""), 97800001, "respond no data"}, Case{answer("<h1>bad", 502), 97800002, ""},
        Case{answer(R"({"success":false,"msg":"no capacity"})"), 97800003, "no capacity"},
        Case{answer(R"({"success":true})", 200, 0), 0, ""}}) {
    SCOPED_TRACE(c.code);
    auto states = states_ = std::make_shared<States>();
    backend_->http().setHandler([reply = c.reply](const Request& r) {
      return r.target == "/api/create_task" ? reply : route(r);
    });
    auto connector = make("m-found");
    connector->connect();
    ASSERT_TRUE(waitFor([&] { return states->get().size() == 2; }));
    const auto seen = states->get();
    EXPECT_EQ(seen[0], std::make_pair(uint64_t{1}, 0));
    EXPECT_EQ(seen[1].first, 3u);
    EXPECT_TRUE(c.code ? seen[1].second == c.code : seen[1].second < 0) << seen[1].second;
    std::lock_guard lock(states->mutex);
    EXPECT_EQ(c.message.empty() ? "" : states->messages[1], c.message);
    EXPECT_FALSE(states->messages[1].empty());
  }
  EXPECT_EQ(socketsOpened(), 0u);
  EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{});
}

TEST_F(DHBackendConnectorTest, StartMessageDrivesTheTaskHeartbeatsFollowUntilDestroy) {
  DHBackendConnector::setHeartBeatInterval(50ms);
  auto connector = make("m-found");
  connector->connect();
  ASSERT_TRUE(waitFor([&] { return socketsOpened() == 1; }));
  EXPECT_EQ(backend_->socketPaths().back(), "/ws/4242");
  EXPECT_EQ(connector->taskID(), "t1");
  EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{"t1"});
  const size_t firstFrame = backend_->received().size();
  backend_->sendText(R"({"Type":"start"})");  // no blank after the colon: not the start message
  backend_->sendText(R"({"Seq": 3, "Type": "start"})");
  ASSERT_TRUE(waitFor([&] { return backend_->received().size() >= firstFrame + 3; }));
  const auto frames = backend_->received();
  const json drive = {{"Type", "rtc_stream_drive"},
                      {"RTCOptions", {{"RoomId", "room"}, {"StreamId", "agent-stream"}}}};
  EXPECT_EQ(json::parse(frames[firstFrame]),
            (json{{"SequenceID", "0"}, {"Type", "request"}, {"Payload", drive}}));
  for (size_t i = 1; i < 3; ++i)
    EXPECT_EQ(json::parse(frames[firstFrame + i]), (json{{"SequenceID", std::to_string(i)},
                                                         {"Type", "request"},
                                                         {"Payload", {{"Type", "heartbeat"}}}}));
  EXPECT_EQ(states_->get(), (std::vector<std::pair<uint64_t, int32_t>>{{1, 0}, {2, 0}}));

  connector->destroy();
  EXPECT_EQ(connector->wsPort(), -1);
  ASSERT_TRUE(waitFor(
      [&] { return backend_->closesReceived() == 1 && bodies("/api/destroy_task").size() == 1; }));
  EXPECT_EQ(bodies("/api/destroy_task")[0], (json{{"task_id", "t1"}}));
  ASSERT_TRUE(waitFor([] { return DHTaskManager::sharedInstance().getAllTasks().empty(); }));
  // Four heartbeat intervals after destroy: no frame, no state.
  const size_t framesAtDestroy = backend_->received().size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(backend_->received().size(), framesAtDestroy);
  EXPECT_EQ(states_->get().back(), std::make_pair(uint64_t{4}, 0));
  EXPECT_EQ(states_->get().size(), 3u);
  DHBackendConnector::setHeartBeatInterval(DHBackendConnector::kHeartBeatInterval);
}

TEST_F(DHBackendConnectorTest, DestroyBeforeTheCreateTaskAnswerIgnoresIt) {
  std::promise<void> release;
  auto answered = std::make_shared<std::atomic<bool>>(false);
  backend_->http().setHandler([answered, go = release.get_future().share()](const Request& r) {
    if (r.target != "/api/create_task") return route(r);
    go.wait_for(10s);
    *answered = true;
    return answer(R"({"success":true,"data":{"task_id":"t-late","ws_port":7}})");
  });
  auto connector = make("m-found");
  connector->connect();
  connector->destroy();
  release.set_value();
  ASSERT_TRUE(waitFor([&] { return answered->load(); }));
  std::this_thread::sleep_for(300ms);  // the answer's trip back to the connector
  EXPECT_EQ(socketsOpened(), 0u);
  EXPECT_TRUE(bodies("/api/destroy_task").empty());
  EXPECT_EQ(DHTaskManager::sharedInstance().getAllTasks(), Ids{});
  EXPECT_EQ(states_->get(), (std::vector<std::pair<uint64_t, int32_t>>{{1, 0}, {4, 0}}));
}

TEST_F(DHBackendConnectorTest, LeftoverTasksAreDestroyedAtConstruction) {
  for (const char* id : {"old1", "old2", "old3"}) DHTaskManager::sharedInstance().addTask(id);
  backend_->http().setHandler([](const Request& r) {
    // old2's destroy never reaches the backend, so the registry keeps it for the next run.
    if (r.body.find("old2") != std::string::npos) return answer("{}", 200, 0);
    return route(r);
  });
  auto connector = make("m-found");
  ASSERT_TRUE(waitFor([] { return DHTaskManager::sharedInstance().getAllTasks() == Ids{"old2"}; }));
  std::vector<json> sent = bodies("/api/destroy_task");
  EXPECT_EQ(sent.size(), 3u);
  for (const char* id : {"old1", "old2", "old3"})
    EXPECT_NE(std::find(sent.begin(), sent.end(), json{{"task_id", id}}), sent.end()) << id;
  EXPECT_TRUE(states_->get().empty());
}

}  // namespace
