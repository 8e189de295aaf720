#include "net/DHBackendConnector.h"

#include <utility>  // Asio 1.74 uses std::exchange without it

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <condition_variable>
#include <deque>
#include <random>
#include <thread>
#include <type_traits>

#include "logging/QMXLogUtil.h"
#include "net/DHHttpRequestHelper.h"
#include "net/DHTaskManager.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
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

// Every socket of the process runs on this one thread, so each socket's operations are
// serialised without a strand. Never destroyed: socket callbacks may still run at exit.
asio::io_context& socketContext() {
  static asio::io_context* const io = [] {
    auto* context = new asio::io_context(1);
    auto* guard =
        new asio::executor_work_guard<asio::io_context::executor_type>(context->get_executor());
    (void)guard;
    std::thread([context] { context->run(); }).detach();
    return context;
  }();
  return *io;
}

// TLS peers are checked against the system's certificate store.
asio::ssl::context& tlsContext() {
  static asio::ssl::context* const ctx = [] {
    auto* c = new asio::ssl::context(asio::ssl::context::tls_client);
    c->set_default_verify_paths();
    c->set_verify_mode(asio::ssl::verify_peer);
    return c;
  }();
  return *ctx;
}

struct WsUrl {
  bool secure = false;
  std::string host, port, target;
};
std::optional<WsUrl> parseWsUrl(const std::string& url) {
  WsUrl u;
  size_t rest;
  if (url.rfind("wss://", 0) == 0) {
    u.secure = true;
    rest = 6;
  } else if (url.rfind("ws://", 0) == 0) {
    rest = 5;
  } else {
    return std::nullopt;
  }
  const size_t slash = url.find('/', rest);
  std::string authority = url.substr(rest, slash == std::string::npos ? slash : slash - rest);
  u.target = slash == std::string::npos ? "/" : url.substr(slash);
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    u.port = authority.substr(colon + 1);
    authority.resize(colon);
  } else {
    u.port = u.secure ? "443" : "80";
  }
  if (authority.size() > 1 && authority.front() == '[')
    authority = authority.substr(1, authority.size() - 2);
  u.host = authority;
  if (u.host.empty()) return std::nullopt;
  return u;
}

}  // namespace

// A WebSocket client on the socket thread. Events reach the delegate from that thread; once
// close() is called the socket reports nothing more.
class DHBackendConnector::WebSocketTask {
 public:
  struct Delegate {
    std::function<void(const std::string& protocol)> didOpen;
    std::function<void(const std::string& text)> didReceive;
    std::function<void(int32_t code, const std::string& description)> didFailReceive;
    std::function<void(const std::string& description)> didFailSend;
    std::function<void(int32_t code, const std::string& reason)> didClose;
  };
  virtual ~WebSocketTask() = default;
  virtual void resume() = 0;
  virtual void send(std::string text) = 0;
  virtual void close() = 0;
};

namespace {

template <class Stream>
class WebSocketTaskImpl final : public DHBackendConnector::WebSocketTask,
                                public std::enable_shared_from_this<WebSocketTaskImpl<Stream>> {
 public:
  using Delegate = DHBackendConnector::WebSocketTask::Delegate;

  template <class... Args>
  WebSocketTaskImpl(WsUrl url, Delegate delegate, Args&&... args)
      : url_(std::move(url)), delegate_(std::move(delegate)), ws_(std::forward<Args>(args)...) {}

  void resume() override {
    asio::co_spawn(socketContext(), run(this->shared_from_this()), asio::detached);
  }

  void send(std::string text) override {
    asio::post(socketContext(),
               [self = this->shared_from_this(), text = std::move(text)]() mutable {
                 if (self->closing_) return;
                 self->outbox_.push_back(std::move(text));
                 self->pump();
               });
  }

  void close() override {
    asio::post(socketContext(), [self = this->shared_from_this()] {
      if (self->closing_) return;
      self->closing_ = true;
      // The frame being written stays until its write completes: the write reads from it.
      const size_t keep = self->writing_ && !self->outbox_.empty() ? 1 : 0;
      self->outbox_.erase(self->outbox_.begin() + keep, self->outbox_.end());
      if (!self->open_) {
        // Still connecting: cut the attempt short.
        beast::get_lowest_layer(self->ws_).close();
        return;
      }
      self->pump();
    });
  }

 private:
  static asio::awaitable<void> run(std::shared_ptr<WebSocketTaskImpl> self) {
    beast::error_code ec;
    auto& lowest = beast::get_lowest_layer(self->ws_);
    tcp::resolver resolver(socketContext());
    auto results = co_await resolver.async_resolve(self->url_.host, self->url_.port,
                                                   asio::redirect_error(asio::use_awaitable, ec));
    if (!ec && !self->closing_) {
      lowest.expires_after(std::chrono::seconds(30));
      co_await lowest.async_connect(results, asio::redirect_error(asio::use_awaitable, ec));
    }
    if constexpr (!std::is_same_v<Stream, websocket::stream<beast::tcp_stream>>) {
      if (!ec && !self->closing_) {
        auto& tls = self->ws_.next_layer();
        if (!SSL_set_tlsext_host_name(tls.native_handle(), self->url_.host.c_str()))
          ec.assign(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category());
        tls.set_verify_callback(asio::ssl::host_name_verification(self->url_.host));
        if (!ec)
          co_await tls.async_handshake(asio::ssl::stream_base::client,
                                       asio::redirect_error(asio::use_awaitable, ec));
      }
    }
    if (!ec && !self->closing_) {
      lowest.expires_never();
      auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
      timeouts.idle_timeout = std::chrono::seconds(90);
      timeouts.keep_alive_pings = true;
      self->ws_.set_option(timeouts);
      self->ws_.text(true);
      co_await self->ws_.async_handshake(self->url_.host + ":" + self->url_.port, self->url_.target,
                                         asio::redirect_error(asio::use_awaitable, ec));
    }
    if (self->closing_) co_return;
    if (ec) {
      self->failReceive(ec);
      co_return;
    }
    self->open_ = true;
    if (self->delegate_.didOpen) self->delegate_.didOpen("");
    self->pump();
    for (;;) {
      beast::flat_buffer buffer;
      co_await self->ws_.async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
      if (self->closing_) co_return;
      if (ec == websocket::error::closed) {
        const auto& reason = self->ws_.reason();
        if (self->delegate_.didClose) self->delegate_.didClose(reason.code, reason.reason.c_str());
      }
      if (ec) {
        self->failReceive(ec);
        co_return;
      }
      if (self->delegate_.didReceive)
        self->delegate_.didReceive(beast::buffers_to_string(buffer.data()));
    }
  }

  void failReceive(const beast::error_code& ec) {
    if (delegate_.didFailReceive) delegate_.didFailReceive(ec.value(), ec.message());
  }

  // One write at a time (a close frame counts as one); the close goes out after what was
  // being written.
  void pump() {
    if (writing_ || !open_) return;
    if (closing_) {
      if (closeSent_) return;
      closeSent_ = true;
      writing_ = true;
      ws_.async_close(websocket::close_code::normal,
                      [self = this->shared_from_this()](beast::error_code) {
                        self->writing_ = false;
                        beast::error_code ignored;
                        beast::get_lowest_layer(self->ws_).socket().close(ignored);
                      });
      return;
    }
    if (outbox_.empty()) return;
    writing_ = true;
    ws_.async_write(asio::buffer(outbox_.front()),
                    [self = this->shared_from_this()](beast::error_code ec, size_t) {
                      self->writing_ = false;
                      self->outbox_.pop_front();
                      if (ec && !self->closing_ && self->delegate_.didFailSend)
                        self->delegate_.didFailSend(ec.message());
                      if (ec && !self->closing_) self->outbox_.clear();
                      self->pump();
                    });
  }

  const WsUrl url_;
  const Delegate delegate_;
  Stream ws_;
  std::deque<std::string> outbox_;
  bool open_ = false;
  bool writing_ = false;
  bool closing_ = false;
  bool closeSent_ = false;
};

std::shared_ptr<DHBackendConnector::WebSocketTask> makeWebSocketTask(
    const WsUrl& url, DHBackendConnector::WebSocketTask::Delegate delegate) {
  if (url.secure) {
    using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;
    return std::make_shared<WebSocketTaskImpl<Stream>>(url, std::move(delegate), socketContext(),
                                                       tlsContext());
  }
  using Stream = websocket::stream<beast::tcp_stream>;
  return std::make_shared<WebSocketTaskImpl<Stream>>(url, std::move(delegate), socketContext());
}

}  // namespace

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

void DHBackendConnector::pullModelList() {
  DHHttpRequestHelper::post(
      httpBaseURL() + "/api/model_list", [](int64_t code, const std::optional<std::string>& message,
                                            const std::optional<std::vector<uint8_t>>& data) {
        if (code != 0) {
          ORSA_LOG_INFO(M, "pull model list failed, code: %ld, msg: %s", code,
                        message.value_or(""));
          return endFetch(std::nullopt);
        }
        const std::string body = text(data);
        orsa::platform::consoleWrite(body);
        json parsed = json::parse(body, nullptr, false);
        if (body.empty() || parsed.is_discarded()) {
          ORSA_LOG_INFO(M,
                        "pull model list failed, parse response json error: %s, response data: %s",
                        body.empty() ? "no data" : "invalid JSON", body);
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
                       msg.is_string() ? msg.get<std::string>() : msg.dump());
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
  ORSA_LOG_INFO(M, "start connect, modelID: %s, roomID: %s, dhStreamID: %s, aiAgentStreamID: %s",
                modelID_, roomID_, dhStreamID_, aiAgentStreamID_);
  notifyStateChange(kStateConnecting, 0, "");
  const json models = waitModelList();
  const uint32_t r = std::random_device()();
  DHHttpRequestHelper::postJson(
      httpBaseURL() + "/api/create_task", createTaskBody(models, r),
      [weak = weak_from_this()](int64_t code, const std::optional<std::string>& message,
                                const std::optional<std::vector<uint8_t>>& data) {
        if (auto self = weak.lock()) self->onCreateTaskAnswer(code, message, data);
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

void DHBackendConnector::onCreateTaskAnswer(int64_t code, const std::optional<std::string>& message,
                                            const std::optional<std::vector<uint8_t>>& data) {
  if (connectionState_ == kStateDestroyed) return;
  if (code != 0) {
    ORSA_LOG_INFO(M, "request failed, url: %s, msg: %s", httpBaseURL() + "/api/create_task",
                  message.value_or(""));
    return notifyStateChange(kStateFailed, static_cast<int32_t>(code), message.value_or(""));
  }
  const std::string body = text(data);
  if (body.empty()) {
    ORSA_LOG_INFO(M, "request failed, respond no data");
    return notifyStateChange(kStateFailed, kErrorRespondNoData, "respond no data");
  }
  json answer;
  try {
    answer = json::parse(body);
  } catch (const json::exception& e) {
    ORSA_LOG_INFO(M, "create task failed, parse response json error: %s, response data: %s",
                  e.what(), body);
    return notifyStateChange(kStateFailed, kErrorParseResponse, e.what());
  }
  const json empty = json::object();
  const json& fields = answer.is_object() ? answer : empty;
  if (fields.value("success", json(false)) != json(true)) {
    const json msg = fields.value("msg", json(""));
    const std::string text = msg.is_string() ? msg.get<std::string>() : msg.dump();
    ORSA_LOG_INFO(M, "create task failed, backend error: %s", text);
    return notifyStateChange(kStateFailed, kErrorBackend, text);
  }
  const json taskData = fields.value("data", json::object());
  const json id = taskData.is_object() ? taskData.value("task_id", json("")) : json("");
  const json port = taskData.is_object() ? taskData.value("ws_port", json(-1)) : json(-1);
  std::string url;
  {
    // Checked under the lock that destroy takes after announcing 4: either destroy finds this
    // task and destroys it, or the task is never taken.
    std::lock_guard lock(mutex_);
    if (connectionState_ == kStateDestroyed) return;
    taskID_ = id.is_string() ? id.get<std::string>() : id.dump();
    wsPort_ = port.is_number() ? port.get<int32_t>() : -1;
    DHTaskManager::sharedInstance().addTask(taskID_);
    ORSA_LOG_INFO(M, "create task success, task id: %s, ws_port: %d", taskID_, wsPort_);
    url = fmt::sprintf("%s/%d", webSocketBaseURL(), wsPort_);
    connectWebSocket(url);
  }
}

void DHBackendConnector::connectWebSocket(const std::string& url) {
  ORSA_LOG_INFO(M, "Connect websocket, url: %s", url);
  const auto parsed = parseWsUrl(url);
  std::weak_ptr<DHBackendConnector> weak = weak_from_this();
  if (!parsed) {
    ORSA_LOG_INFO(M, "WebSocket receive error: %s", "unsupported URL " + url);
    orsa::platform::globalQueue()->async([weak] {
      if (auto self = weak.lock(); self && self->connectionState_ != kStateDestroyed)
        self->notifyStateChange(kStateFailed, -1002, "unsupported URL");
    });
    return;
  }
  WebSocketTask::Delegate delegate;
  delegate.didOpen = [](const std::string& protocol) {
    ORSA_LOG_INFO(M, "WebSocket opened with protocol %s", protocol);
  };
  delegate.didReceive = [weak](const std::string& text) {
    if (auto self = weak.lock()) self->receiveMessage(text);
  };
  delegate.didFailReceive = [weak](int32_t code, const std::string& description) {
    ORSA_LOG_INFO(M, "WebSocket receive error: %s", description);
    auto self = weak.lock();
    if (self && self->connectionState_ != kStateDestroyed)
      self->notifyStateChange(kStateFailed, code, description);
  };
  delegate.didFailSend = [](const std::string& description) {
    ORSA_LOG_INFO(M, "WebSocket send error: %s", description);
  };
  delegate.didClose = [](int32_t code, const std::string& reason) {
    ORSA_LOG_INFO(M, "WebSocket closed with code: %d, reason: %s", code, reason);
  };
  webSocketTask_ = makeWebSocketTask(*parsed, std::move(delegate));
  webSocketTask_->resume();
}

void DHBackendConnector::receiveMessage(const std::string& text) {
  ORSA_LOG_INFO(M, "Websocket received: %s", text);
  if (connectionState_ == kStateDestroyed) return;
  // The raw text decides, exactly as the backend writes it: no JSON parse.
  if (text.find("\"Type\": \"start\"") == std::string::npos) return;
  rtcDriveWithRoomID(roomID_, aiAgentStreamID_);
  startHeartBeat();
  notifyStateChange(kStateConnected, 0, "");
}

void DHBackendConnector::rtcDriveWithRoomID(const std::string& roomID,
                                            const std::string& streamID) {
  ORSA_LOG_INFO(M, "rtcDrive, roomID: %s, streamID: %s", roomID, streamID);
  sendRequest(
      {{"Type", "rtc_stream_drive"}, {"RTCOptions", {{"RoomId", roomID}, {"StreamId", streamID}}}});
}

void DHBackendConnector::sendRequest(const json& payload) {
  sendMessageWithSequenceID(std::to_string(sequenceID_.fetch_add(1)), payload);
}

void DHBackendConnector::sendMessageWithSequenceID(const std::string& sequenceID,
                                                   const json& payload) {
  const std::string text =
      json{{"SequenceID", sequenceID}, {"Type", "request"}, {"Payload", payload}}.dump();
  ORSA_LOG_INFO(M, "WebSocket send message: %s", text);
  std::shared_ptr<WebSocketTask> socket;
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
  std::string id;
  std::shared_ptr<WebSocketTask> socket;
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
  ORSA_LOG_INFO(M, "try to destroy task, id: %s", taskID);
  DHHttpRequestHelper::postJson(httpBaseURL() + "/api/destroy_task", {{"task_id", taskID}},
                                [taskID](int64_t code, const std::optional<std::string>& message,
                                         const std::optional<std::vector<uint8_t>>&) {
                                  if (code != 0) {
                                    ORSA_LOG_INFO(
                                        M, "destroy task failed, id: %s, error code: %ld, msg: %s",
                                        taskID, code, message.value_or(""));
                                    return;
                                  }
                                  DHTaskManager::sharedInstance().removeTask(taskID);
                                  ORSA_LOG_INFO(M, "destroy task, id: %s", taskID);
                                });
}

void DHBackendConnector::cleanupUndestroyedTasks() {
  for (const auto& id : DHTaskManager::sharedInstance().getAllTasks()) destroyTask(id);
}

void DHBackendConnector::notifyStateChange(uint64_t state, int32_t errorCode,
                                           const std::string& msg) {
  const uint64_t old = connectionState_.exchange(state);
  ORSA_LOG_INFO(M, "notifyStateChange, old state: %lu, new state: %lu", old, state);
  if (connectionStateListener_) connectionStateListener_(state, errorCode, msg);
}
