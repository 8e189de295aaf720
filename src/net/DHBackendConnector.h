#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

class DHWebSocketTask;

// Starts a rendering task for a model on the web-demo backend and keeps the task's WebSocket:
// creates the task over HTTP, tells it which RTC room and stream to drive once it reports
// "start", sends heartbeats, and destroys tasks over HTTP (also those a previous run left in
// the task registry).
//
// One connector per start; it is not reused. The listener is called on the caller's thread for
// states 1 and 4 and on a background thread for 2 and 3.
class DHBackendConnector : public std::enable_shared_from_this<DHBackendConnector> {
 public:
  using ConnectionStateListener =
      std::function<void(uint64_t state, int32_t errorCode, const std::string& msg)>;

  static constexpr const char* kModule = "DHBackendConnector";

  enum State : uint64_t {
    kStateIdle = 0,
    kStateConnecting = 1,
    kStateConnected = 2,
    kStateFailed = 3,
    kStateDestroyed = 4,
  };

  static constexpr int32_t kErrorRespondNoData = 97800001;
  static constexpr int32_t kErrorParseResponse = 97800002;
  static constexpr int32_t kErrorBackend = 97800003;
  // An answer without a usable task id or WebSocket port fails with kOrsaErrorBackendTaskInvalid
  // (orsa/OrsaConstants.h): a host sees that one.

  // Deployment settings. The host may point the connector at its own backend with
  // setBaseURLs before the first connector is made (the model list is fetched once per
  // process, from the HTTP base URL current at that moment). The HTTP base has no path; the
  // WebSocket base ends in "/ws" and gets the task's port appended as the last segment.
  static constexpr const char* kDefaultHttpBaseURL = "https://dh-demo.orsamirelo.com";
  static constexpr const char* kDefaultWebSocketBaseURL = "wss://dh-demo.orsamirelo.com/ws";
  static void setBaseURLs(const std::string& httpBaseURL, const std::string& webSocketBaseURL);
  static std::string httpBaseURL();
  static std::string webSocketBaseURL();

  // Time between heartbeats; tests shorten it.
  static constexpr std::chrono::milliseconds kHeartBeatInterval{30000};
  static void setHeartBeatInterval(std::chrono::milliseconds interval);

  // initWithAppID:appSign:modelID:roomID:dhStreamID:aiAgentStreamID:connectionStateListener:
  // Starts the process-wide model-list fetch on first use and destroys the registry's leftover
  // tasks.
  static std::shared_ptr<DHBackendConnector> initWithAppID(std::string appID, std::string appSign,
                                                           std::string modelID, std::string roomID,
                                                           std::string dhStreamID,
                                                           std::string aiAgentStreamID,
                                                           ConnectionStateListener listener);
  ~DHBackendConnector();

  DHBackendConnector(const DHBackendConnector&) = delete;
  DHBackendConnector& operator=(const DHBackendConnector&) = delete;

  // Announces 1, waits for the model list (at most the HTTP time-out; an empty list then), and
  // sends the create-task request. What follows runs on background threads. After destroy it
  // does nothing, and a destroy during the wait ends the wait: no task is created then.
  void connect();
  // Announces 4 (a final state: nothing is announced after it), destroys the held task on the
  // backend, closes the WebSocket and ends the heartbeats. A create-task answer arriving
  // afterwards is destroyed at once, even when the connector itself is gone by then.
  void destroy();

  // The model list, fetched once per process.
  static void pullModelList();
  // Starts the fetch when needed and waits for it; an empty list when it brought none or took
  // longer than an HTTP request may.
  static nlohmann::json waitModelList();
  // Sends destroy-task for id; the registry forgets the id once the backend answered with a
  // status below 500. A failed request or a server error keeps it for the next clean-up.
  static void destroyTask(const std::string& taskID);

  // Create-task and destroy-task requests of the process still waiting for their answer (each
  // ends within the HTTP time-out). A host that ends the process waits for them to reach 0, so
  // that no task is left behind at the backend.
  static int requestsInFlight();

  uint64_t connectionState() const { return connectionState_.load(); }
  int32_t wsPort() const;
  std::string taskID() const;

 private:
  struct PassKey {};

 public:
  DHBackendConnector(PassKey, std::string appID, std::string appSign, std::string modelID,
                     std::string roomID, std::string dhStreamID, std::string aiAgentStreamID,
                     ConnectionStateListener listener);

 private:
  nlohmann::json createTaskBody(const nlohmann::json& modelList, uint32_t r) const;
  struct CreateTaskAnswer;
  void onCreateTaskAnswer(const CreateTaskAnswer& answer);
  void connectWebSocket(const std::string& url);
  void sendMessageWithSequenceID(const std::string& sequenceID, const nlohmann::json& payload);
  void sendRequest(const nlohmann::json& payload);
  void startHeartBeat();
  void rtcDriveWithRoomID(const std::string& roomID, const std::string& streamID);
  void receiveMessage(const std::string& text);
  void cleanupUndestroyedTasks();
  void notifyStateChange(uint64_t state, int32_t errorCode, const std::string& msg);

  const std::string appID_;
  const std::string appSign_;
  const std::string modelID_;
  const std::string roomID_;
  const std::string dhStreamID_;
  const std::string aiAgentStreamID_;
  const ConnectionStateListener connectionStateListener_;

  std::atomic<uint64_t> connectionState_{kStateIdle};
  std::atomic<int64_t> sequenceID_{0};
  // The start message counts once: later ones start no second heartbeat chain.
  std::atomic<bool> started_{false};
  // Guards the task's id, port and socket: the create-task answer and destroy may race.
  mutable std::mutex mutex_;
  int32_t wsPort_ = -1;
  std::string taskID_;
  std::shared_ptr<DHWebSocketTask> webSocketTask_;
};
