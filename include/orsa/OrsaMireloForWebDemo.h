#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaMireloForAIAgent.h"

class DHBackendConnector;
class OrsaPreviewView;
class ResourceManager;
class ResourceManagerDelegate;

// The RTC room and streams of a web-demo start.
class ORSA_EXPORT OrsaRTCOptions {
 public:
  OrsaRTCOptions() = default;
  // initWithRoomID:inputVoiceStreamID:outputStreamID:
  OrsaRTCOptions(std::string roomID, std::string inputVoiceStreamID, std::string outputStreamID)
      : roomID(std::move(roomID)),
        inputVoiceStreamID(std::move(inputVoiceStreamID)),
        outputStreamID(std::move(outputStreamID)) {}

  std::string roomID;
  // The stream the backend task takes its driving voice from.
  std::string inputVoiceStreamID;
  // The stream the backend publishes the digital human on.
  std::string outputStreamID;
};

// Starts the digital human for a demonstration set-up: the host hands over a package it
// downloaded, attaches a view and starts; once the package is prepared, a backend connector
// asks the web-demo backend to drive the RTC room, and its connection state becomes the start's
// outcome. Frames then reach the view through OrsaPreviewView::drawFrame.
//
// Create it with create(): the start task holds it weakly.
class ORSA_EXPORT OrsaMireloForWebDemo : public std::enable_shared_from_this<OrsaMireloForWebDemo> {
 public:
  static constexpr const char* kModule = "OrsaMirelo";
  static constexpr int64_t kResourceCode = -200000;
  static constexpr int64_t kRefusedCode = -200001;
  static constexpr const char* kNoResourceMessage = "You should call `setResource` before start";

  // Every connection state the connector announces (state, error code, message), on the
  // connector's threads.
  using ConnectionStateObserver =
      std::function<void(uint64_t state, int32_t errorCode, const std::string& msg)>;

  static std::shared_ptr<OrsaMireloForWebDemo> create();
  // Where the web-demo backend is: its HTTP base URL (no path) and its WebSocket base (ending
  // in "/ws"). Defaults: "https://dh-demo.orsamirelo.com" and "wss://dh-demo.orsamirelo.com/ws".
  // Set before the first start: the model list is fetched once per process.
  static void setBackendBaseURLs(const std::string& httpBaseURL,
                                 const std::string& webSocketBaseURL);
  OrsaMireloForWebDemo();
  ~OrsaMireloForWebDemo();
  OrsaMireloForWebDemo(const OrsaMireloForWebDemo&) = delete;
  OrsaMireloForWebDemo& operator=(const OrsaMireloForWebDemo&) = delete;

  // Prepares the package at `path`; each preparation result lets one start go on.
  void setResource(const std::string& path);
  void attach(std::shared_ptr<OrsaPreviewView> view);
  // Returns at once. The start waits for a preparation result (or for stop, or for the front
  // end's end), then connects; the outcome reaches `delegate` (held weakly) on the main queue.
  void startWithAppID(const std::string& appID, const std::string& appSign,
                      const OrsaRTCOptions& rtcOptions, const std::string& modelID,
                      const std::shared_ptr<OrsaMireloStartDelegate>& delegate);
  // Destroys the backend task, stops and releases the view, and ends a start still waiting.
  void stop();
  // The outcome of an initialisation step, delivered on the main queue unless stopped.
  void notifyInitListener(int32_t errorCode, const std::string& msg);

  // The preparation's outcome, on the main queue.
  void onSetResourceSuccess();
  void onSetResourceFailed(int64_t code);

  // For a host that shows the connection as it goes (the start's outcome comes regardless).
  void setConnectionStateObserver(ConnectionStateObserver observer);

  bool stopped() const { return stopped_.load(); }
  std::string modelID() const;
  std::shared_ptr<OrsaPreviewView> digitalHumanView() const;
  std::shared_ptr<ResourceManager> resourceManager() const;
  std::shared_ptr<DHBackendConnector> dhBackendConnector() const;

 private:
  struct Results;

  void runStart(const std::string& appID, const std::string& appSign,
                const OrsaRTCOptions& rtcOptions);
  void onConnectionState(uint64_t state, int32_t errorCode, const std::string& msg);
  std::shared_ptr<OrsaMireloStartDelegate> delegate() const;

  mutable std::mutex mutex_;
  std::atomic<bool> stopped_{true};
  std::string modelID_;
  std::shared_ptr<ResourceManager> resourceManager_;
  std::shared_ptr<ResourceManagerDelegate> prepareDelegate_;
  std::shared_ptr<DHBackendConnector> dhBackendConnector_;
  std::shared_ptr<OrsaPreviewView> digitalHumanView_;
  // Preparation results not yet consumed by a start; outlives the front end for a waiting task.
  std::shared_ptr<Results> results_;
  std::weak_ptr<OrsaMireloStartDelegate> delegate_;
  ConnectionStateObserver observer_;
};
