#include "net/DHBackendConnector.h"

#include <condition_variable>
#include <random>
#include <utility>

#include "OrsaLogClip.h"
#include "logging/QMXLogUtil.h"
#include "net/DHHttpRequestHelper.h"
#include "net/DHTaskManager.h"
#include "net/DHWebSocketTask.h"
#include "net/JsonInteger.h"
#include "orsa/OrsaConstants.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"

using json = nlohmann::json;

namespace {

constexpr const char* M = DHBackendConnector::kModule;

struct Settings {
  std::mutex mutex;
  std::string httpBase = DHBackendConnector::kDefaultHttpBaseURL;
  std::string wsBase = DHBackendConnector::kDefaultWebSocketBaseURL;
};
Settings& settings() {
  static Settings* const s = new Settings();
  return *s;
}
std::atomic<int64_t> heartBeatMs{DHBackendConnector::kHeartBeatInterval.count()};

// The process-wide model list. fetchEnded lets waiters go as soon as the one fetch is over
// without a list: nothing retries it, so waiting longer cannot help.
struct ModelList {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<json> list;
  bool fetchEnded = false;
  std::once_flag once;
};
ModelList& modelList() {
  static ModelList* const m = new ModelList();
  return *m;
}
void endFetch(std::optional<json> list) {
  auto& m = modelList();
  {
    std::lock_guard lock(m.mutex);
    if (list) m.list = std::move(list);
    m.fetchEnded = true;
  }
  m.cv.notify_all();
}

std::string text(const std::optional<std::vector<uint8_t>>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string();
}

// Create-task and destroy-task requests waiting for their answer.
std::atomic<int> inFlight{0};

}  // namespace

// What a create-task answer says, read without the connector: an answer that arrives after
// destroy, or after the connector is gone, still names a task to destroy.
struct DHBackendConnector::CreateTaskAnswer {
  int32_t errorCode = 0;  // 0: a task to take
  std::string message;
  // Set whenever the backend named a task, even one that cannot be used: it must be destroyed.
  std::string taskID;
  int32_t wsPort = -1;

  static CreateTaskAnswer read(int64_t code, const std::optional<std::string>& message,
                               const std::optional<std::vector<uint8_t>>& data);
};

namespace {}  // namespace

void DHBackendConnector::setBaseURLs(const std::string& httpBaseURL,
                                     const std::string& webSocketBaseURL) {
  std::lock_guard lock(settings().mutex);
  settings().httpBase = httpBaseURL;
  settings().wsBase = webSocketBaseURL;
}

std::string DHBackendConnector::httpBaseURL() {
  std::lock_guard lock(settings().mutex);
  return settings().httpBase;
}

std::string DHBackendConnector::webSocketBaseURL() {
  std::lock_guard lock(settings().mutex);
  return settings().wsBase;
}

void DHBackendConnector::setHeartBeatInterval(std::chrono::milliseconds interval) {
  heartBeatMs = interval.count();
}

std::shared_ptr<DHBackendConnector> DHBackendConnector::initWithAppID(
    std::string appID, std::string appSign, std::string modelID, std::string roomID,
    std::string dhStreamID, std::string aiAgentStreamID, ConnectionStateListener listener) {
  std::call_once(modelList().once, pullModelList);
  auto connector = std::make_shared<DHBackendConnector>(
      PassKey{}, std::move(appID), std::move(appSign), std::move(modelID), std::move(roomID),
      std::move(dhStreamID), std::move(aiAgentStreamID), std::move(listener));
  connector->cleanupUndestroyedTasks();
  return connector;
}

DHBackendConnector::DHBackendConnector(PassKey, std::string appID, std::string appSign,
                                       std::string modelID, std::string roomID,
                                       std::string dhStreamID, std::string aiAgentStreamID,
                                       ConnectionStateListener listener)
    : appID_(std::move(appID)),
      appSign_(std::move(appSign)),
      modelID_(std::move(modelID)),
      roomID_(std::move(roomID)),
      dhStreamID_(std::move(dhStreamID)),
      aiAgentStreamID_(std::move(aiAgentStreamID)),
      connectionStateListener_(std::move(listener)) {}

DHBackendConnector::~DHBackendConnector() {
  if (webSocketTask_) webSocketTask_->close();
}

int32_t DHBackendConnector::wsPort() const {
  std::lock_guard lock(mutex_);
  return wsPort_;
}

std::string DHBackendConnector::taskID() const {
  std::lock_guard lock(mutex_);
  return taskID_;
}

int DHBackendConnector::requestsInFlight() {
  return inFlight.load();
}

void DHBackendConnector::pullModelList() {
  DHHttpRequestHelper::post(
      httpBaseURL() + "/api/model_list", [](int64_t code, const std::optional<std::string>& message,
                                            const std::optional<std::vector<uint8_t>>& data) {
        if (code != 0) {
          ORSA_LOG_INFO(M, "pull model list failed, code: %ld, msg: %s", code,
                        orsaLogClip(message.value_or("")));
          return endFetch(std::nullopt);
        }
        const std::string body = text(data);
        orsa::platform::consoleWrite(orsaLogClip(body));
        json parsed = json::parse(body, nullptr, false);
        if (body.empty() || parsed.is_discarded()) {
          ORSA_LOG_INFO(M,
                        "pull model list failed, parse response json error: %s, response data: %s",
                        body.empty() ? "no data" : "invalid JSON", orsaLogClip(body));
          return endFetch(std::nullopt);
        }
        // Compared as JSON: a "success" of another type must not throw out of this callback,
        // which would leave every connect waiting out the fetch's time-out.
        if (parsed.is_object() && parsed.value("success", json(false)) == json(true)) {
          json list =
              parsed.contains("data") && parsed["data"].is_array() ? parsed["data"] : json::array();
          orsa::platform::consoleWrite(fmt::sprintf("[DHBackendConnector] modelList.count: %ld",
                                                    static_cast<long>(list.size())));
          return endFetch(std::move(list));
        }
        const json msg = parsed.is_object() ? parsed.value("msg", json("")) : json("");
        ORSA_LOG_ERROR(M, "pull model list failed, backend respond 'success: false', %s",
                       orsaLogClip(msg.is_string() ? msg.get<std::string>() : msg.dump()));
        endFetch(std::nullopt);
      });
}

json DHBackendConnector::waitModelList() {
  auto& m = modelList();
  std::call_once(m.once, pullModelList);
  std::unique_lock lock(m.mutex);
  // The fetch's own time-out bounds it; the margin covers the answer's trip to us.
  m.cv.wait_for(lock, DHHttpRequestHelper::kDefaultTimeout + std::chrono::seconds(5),
                [&] { return m.list.has_value() || m.fetchEnded; });
  return m.list.value_or(json::array());
}

void DHBackendConnector::connect() {
  if (connectionState_ == kStateDestroyed) {
    ORSA_LOG_INFO(M, "connect after destroy, nothing to do");
    return;
  }
  ORSA_LOG_INFO(M, "start connect, modelID: %s, roomID: %s, dhStreamID: %s, aiAgentStreamID: %s",
                orsaLogClip(modelID_), orsaLogClip(roomID_), orsaLogClip(dhStreamID_),
                orsaLogClip(aiAgentStreamID_));
  notifyStateChange(kStateConnecting, 0, "");
  json models;
  {
    // As waitModelList, but a destroy ends the wait too: it wakes this condition variable.
    auto& m = modelList();
    std::call_once(m.once, pullModelList);
    std::unique_lock lock(m.mutex);
    m.cv.wait_for(lock, DHHttpRequestHelper::kDefaultTimeout + std::chrono::seconds(5), [&] {
      return m.list.has_value() || m.fetchEnded || connectionState_ == kStateDestroyed;
    });
    models = m.list.value_or(json::array());
  }
  const uint32_t r = std::random_device()();
  {
    // Under the lock destroy takes: a destroy from here on finds the request counted and its
    // answer is destroyed as a late one.
    std::lock_guard lock(mutex_);
    if (connectionState_ == kStateDestroyed) {
      ORSA_LOG_INFO(M, "destroyed while waiting for the model list, no task is created");
      return;
    }
    ++inFlight;
  }
  DHHttpRequestHelper::postJson(
      httpBaseURL() + "/api/create_task", createTaskBody(models, r),
      [weak = weak_from_this()](int64_t code, const std::optional<std::string>& message,
                                const std::optional<std::vector<uint8_t>>& data) {
        const CreateTaskAnswer answer = CreateTaskAnswer::read(code, message, data);
        if (auto self = weak.lock()) {
          self->onCreateTaskAnswer(answer);
        } else if (!answer.taskID.empty()) {
          ORSA_LOG_INFO(M, "create task answered after the connector ended, destroy task: %s",
                        orsaLogClip(answer.taskID));
          DHTaskManager::sharedInstance().addTask(answer.taskID);
          destroyTask(answer.taskID);
        }
        --inFlight;  // after any destroy it started, so that waiters see that one counted
      });
}

json DHBackendConnector::createTaskBody(const json& modelList, uint32_t r) const {
  const json* entry = nullptr;
  if (modelList.is_array()) {
    for (const auto& model : modelList) {
      if (model.is_object() && model.value("model_id", json()) == json(modelID_)) {
        entry = &model;
        break;
      }
    }
  }
  // A found entry that lacks a value gets the built-in default for it.
  const json none = json::object();
  const json& config =
      entry && entry->contains("decoraterConfig") && (*entry)["decoraterConfig"].is_object()
          ? (*entry)["decoraterConfig"]
          : none;
  const json& output =
      config.contains("output") && config["output"].is_object() ? config["output"] : none;
  auto pick = [](const json& from, const char* key, json fallback) {
    return from.contains(key) ? from[key] : std::move(fallback);
  };
  const json defaultLayout = {
      {"bg_color", "#545454"},
      {"layers", json::array({{{"type", "stream"}, {"index", 1}, {"rect", {0, 0, 1080, 1920}}}})}};
  return {{"model_id", modelID_},
          {"app_id", appID_},
          {"app_sign", appSign_},
          {"decorater_config",
           {{"layout", pick(config, "layout", defaultLayout)},
            {"mode", "roi"},
            {"output",
             {{"type", pick(output, "type", "rtc")},
              {"width", 512},
              {"height", 640},
              {"fps", pick(output, "fps", 25)},
              {"bitrate", pick(output, "bitrate", 8000000)},
              {"rtc_config",
               {{"app_id", appID_},
                {"app_sign", appSign_},
                {"user_id", fmt::sprintf("ios_%u", r)},
                {"user_name", fmt::sprintf("Digital Human %u", r)},
                {"room_id", roomID_},
                {"stream_id", dhStreamID_}}}}}}}};
}

DHBackendConnector::CreateTaskAnswer DHBackendConnector::CreateTaskAnswer::read(
    int64_t code, const std::optional<std::string>& message,
    const std::optional<std::vector<uint8_t>>& data) {
  CreateTaskAnswer out;
  if (code != 0) {
    ORSA_LOG_INFO(M, "request failed, url: %s, msg: %s",
                  orsaLogClip(httpBaseURL() + "/api/create_task"),
                  orsaLogClip(message.value_or("")));
    out.errorCode = static_cast<int32_t>(code);
    out.message = message.value_or("");
    return out;
  }
  const std::string body = text(data);
  if (body.empty()) {
    ORSA_LOG_INFO(M, "request failed, respond no data");
    out.errorCode = kErrorRespondNoData;
    out.message = "respond no data";
    return out;
  }
  json answer;
  try {
    answer = json::parse(body);
  } catch (const json::exception& e) {
    ORSA_LOG_INFO(M, "create task failed, parse response json error: %s, response data: %s",
                  e.what(), orsaLogClip(body));
    out.errorCode = kErrorParseResponse;
    out.message = e.what();
    return out;
  }
  const json empty = json::object();
  const json& fields = answer.is_object() ? answer : empty;
  if (fields.value("success", json(false)) != json(true)) {
    const json msg = fields.value("msg", json(""));
    out.message = msg.is_string() ? msg.get<std::string>() : msg.dump();
    ORSA_LOG_INFO(M, "create task failed, backend error: %s", orsaLogClip(out.message));
    out.errorCode = kErrorBackend;
    return out;
  }
  const json taskData = fields.value("data", json::object());
  const json id = taskData.is_object() ? taskData.value("task_id", json()) : json();
  const json port = taskData.is_object() ? taskData.value("ws_port", json()) : json();
  if (id.is_string()) out.taskID = id.get<std::string>();
  const std::optional<int64_t> portNumber = orsaJsonInteger(port);
  if (portNumber && *portNumber >= 1 && *portNumber <= 65535)
    out.wsPort = static_cast<int32_t>(*portNumber);
  if (out.taskID.empty() || out.wsPort < 0) {
    out.errorCode = kOrsaErrorBackendTaskInvalid;
    out.message = out.taskID.empty() ? "create task answer has no task_id"
                                     : "create task answer has no usable ws_port";
    ORSA_LOG_INFO(M, "create task failed, %s, response data: %s", out.message, orsaLogClip(body));
  }
  return out;
}

void DHBackendConnector::onCreateTaskAnswer(const CreateTaskAnswer& answer) {
  std::string url;
  {
    // Checked under the lock that destroy takes after announcing 4: either destroy finds this
    // task and destroys it, or the task is destroyed here as a late one.
    std::lock_guard lock(mutex_);
    if (connectionState_ == kStateDestroyed) {
      if (!answer.taskID.empty()) {
        ORSA_LOG_INFO(M, "create task answered after destroy, destroy task: %s",
                      orsaLogClip(answer.taskID));
        DHTaskManager::sharedInstance().addTask(answer.taskID);
        destroyTask(answer.taskID);
      }
      return;
    }
    if (answer.errorCode == 0) {
      taskID_ = answer.taskID;
      wsPort_ = answer.wsPort;
      DHTaskManager::sharedInstance().addTask(taskID_);
      ORSA_LOG_INFO(M, "create task success, task id: %s, ws_port: %d", orsaLogClip(taskID_),
                    wsPort_);
      url = fmt::sprintf("%s/%d", webSocketBaseURL(), wsPort_);
      connectWebSocket(url);
      return;
    }
  }
  // A task the backend did make, though it cannot be used, is given back.
  if (!answer.taskID.empty()) {
    DHTaskManager::sharedInstance().addTask(answer.taskID);
    destroyTask(answer.taskID);
  }
  notifyStateChange(kStateFailed, answer.errorCode, answer.message);
}

void DHBackendConnector::connectWebSocket(const std::string& url) {
  ORSA_LOG_INFO(M, "Connect websocket, url: %s", orsaLogClip(url));
  std::weak_ptr<DHBackendConnector> weak = weak_from_this();
  DHWebSocketTask::Delegate delegate;
  delegate.didOpen = [](const std::string& protocol) {
    ORSA_LOG_INFO(M, "WebSocket opened with protocol %s", orsaLogClip(protocol));
  };
  delegate.didReceive = [weak](const std::string& text) {
    if (auto self = weak.lock()) self->receiveMessage(text);
  };
  delegate.didFailReceive = [weak](int32_t code, const std::string& description) {
    ORSA_LOG_INFO(M, "WebSocket receive error: %s", orsaLogClip(description));
    auto self = weak.lock();
    if (self && self->connectionState_ != kStateDestroyed)
      self->notifyStateChange(kStateFailed, code, description);
  };
  delegate.didFailSend = [](const std::string& description) {
    ORSA_LOG_INFO(M, "WebSocket send error: %s", orsaLogClip(description));
  };
  delegate.didClose = [](int32_t code, const std::string& reason) {
    ORSA_LOG_INFO(M, "WebSocket closed with code: %d, reason: %s", code, orsaLogClip(reason));
  };
  webSocketTask_ = DHWebSocketTask::create(url, std::move(delegate));
  if (!webSocketTask_) {
    ORSA_LOG_INFO(M, "WebSocket receive error: %s", "unsupported URL " + orsaLogClip(url));
    orsa::platform::globalQueue()->async([weak] {
      if (auto self = weak.lock(); self && self->connectionState_ != kStateDestroyed)
        self->notifyStateChange(kStateFailed, -1002, "unsupported URL");
    });
    return;
  }
  webSocketTask_->resume();
}

void DHBackendConnector::receiveMessage(const std::string& text) {
  ORSA_LOG_INFO(M, "Websocket received: %s", orsaLogClip(text));
  if (connectionState_ == kStateDestroyed) return;
  // The raw text decides, exactly as the backend writes it: no JSON parse.
  if (text.find("\"Type\": \"start\"") == std::string::npos) return;
  if (started_.exchange(true)) {
    ORSA_LOG_INFO(M, "Task already started, start message ignored");
    return;
  }
  rtcDriveWithRoomID(roomID_, aiAgentStreamID_);
  startHeartBeat();
  notifyStateChange(kStateConnected, 0, "");
}

void DHBackendConnector::rtcDriveWithRoomID(const std::string& roomID,
                                            const std::string& streamID) {
  ORSA_LOG_INFO(M, "rtcDrive, roomID: %s, streamID: %s", orsaLogClip(roomID),
                orsaLogClip(streamID));
  sendRequest(
      {{"Type", "rtc_stream_drive"}, {"RTCOptions", {{"RoomId", roomID}, {"StreamId", streamID}}}});
}

void DHBackendConnector::sendRequest(const json& payload) {
  sendMessageWithSequenceID(std::to_string(sequenceID_.fetch_add(1)), payload);
}

void DHBackendConnector::sendMessageWithSequenceID(const std::string& sequenceID,
                                                   const json& payload) {
  const std::string text =
      json{{"SequenceID", sequenceID}, {"Type", "request"}, {"Payload", payload}}.dump(
          -1, ' ', false, json::error_handler_t::replace);
  ORSA_LOG_INFO(M, "WebSocket send message: %s", orsaLogClip(text));
  std::shared_ptr<DHWebSocketTask> socket;
  {
    std::lock_guard lock(mutex_);
    socket = webSocketTask_;
  }
  if (socket) socket->send(text);
}

void DHBackendConnector::startHeartBeat() {
  orsa::platform::globalQueue()->asyncAfter(
      std::chrono::milliseconds(heartBeatMs.load()), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->connectionState_ != kStateConnected) return;
        self->sendRequest({{"Type", "heartbeat"}});
        self->startHeartBeat();
      });
}

void DHBackendConnector::destroy() {
  notifyStateChange(kStateDestroyed, 0, "");
  {
    // Wakes a connect waiting for the model list, which then creates nothing.
    std::lock_guard lock(modelList().mutex);
  }
  modelList().cv.notify_all();
  std::string id;
  std::shared_ptr<DHWebSocketTask> socket;
  {
    std::lock_guard lock(mutex_);
    id = std::exchange(taskID_, {});
    wsPort_ = -1;
    socket = std::exchange(webSocketTask_, nullptr);
  }
  if (socket) socket->close();
  if (!id.empty()) destroyTask(id);
}

void DHBackendConnector::destroyTask(const std::string& taskID) {
  ORSA_LOG_INFO(M, "try to destroy task, id: %s", orsaLogClip(taskID));
  ++inFlight;
  DHHttpRequestHelper::postJson(
      httpBaseURL() + "/api/destroy_task", {{"task_id", taskID}},
      DHHttpRequestHelper::StatusCallback([taskID](int64_t code, long status,
                                                   const std::optional<std::string>& message,
                                                   const std::optional<std::vector<uint8_t>>&) {
        // A server error may have left the task running: only an answer the backend
        // stands by lets the registry forget it.
        if (code != 0 || status >= 500) {
          ORSA_LOG_INFO(M, "destroy task failed, id: %s, error code: %ld, status: %ld, msg: %s",
                        orsaLogClip(taskID), code, status, orsaLogClip(message.value_or("")));
        } else {
          DHTaskManager::sharedInstance().removeTask(taskID);
          ORSA_LOG_INFO(M, "destroy task, id: %s", orsaLogClip(taskID));
        }
        --inFlight;
      }));
}

void DHBackendConnector::cleanupUndestroyedTasks() {
  for (const auto& id : DHTaskManager::sharedInstance().getAllTasks()) destroyTask(id);
}

void DHBackendConnector::notifyStateChange(uint64_t state, int32_t errorCode,
                                           const std::string& msg) {
  uint64_t old = connectionState_.load();
  do {
    // Destroyed is final: a connect or a socket failure racing with destroy announces nothing.
    if (old == kStateDestroyed && state != kStateDestroyed) return;
  } while (!connectionState_.compare_exchange_weak(old, state));
  ORSA_LOG_INFO(M, "notifyStateChange, old state: %lu, new state: %lu", old, state);
  if (connectionStateListener_) connectionStateListener_(state, errorCode, msg);
}
