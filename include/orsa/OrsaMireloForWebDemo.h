#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaMireloForAIAgent.h"

class OrsaPreviewView;
class OrsaMireloForWebDemoPrivate;

// The RTC room and streams of a web-demo start.
class ORSA_EXPORT OrsaRTCOptions {
 public:
  OrsaRTCOptions() = default;
  OrsaRTCOptions(std::string aRoomID, std::string anInputVoiceStreamID,
                 std::string anOutputStreamID)
      : roomID(std::move(aRoomID)),
        inputVoiceStreamID(std::move(anInputVoiceStreamID)),
        outputStreamID(std::move(anOutputStreamID)) {}

  std::string roomID;
  // The stream the backend task takes its driving voice from.
  std::string inputVoiceStreamID;
  // The stream the backend publishes the digital human on.
  std::string outputStreamID;
};

// Starts the digital human for a demonstration set-up: the host hands over a package it
// downloaded, attaches a view and starts; once the package is prepared, a backend connector
// asks the web-demo backend to drive the RTC room, and its connection state becomes the start's
// outcome. Frames then reach the view through OrsaPreviewView::drawFrame, which the host calls with
// each head picture and its SEI payload.
//
// Failures reach the delegate as kOrsaErrorResource (-200000) with kNoResourceMessage for a
// start before setResource, kOrsaErrorResource with a message naming the preparation's code when
// the package cannot be prepared, and kOrsaErrorRefused (-200001) with the connector's message
// when the backend cannot be reached or refuses (see OrsaConstants.h).
//
// Create it with create(): the start task holds it weakly.
class ORSA_EXPORT OrsaMireloForWebDemo : public std::enable_shared_from_this<OrsaMireloForWebDemo> {
 public:
  static constexpr const char* kModule = "OrsaMirelo";
  static constexpr const char* kNoResourceMessage = "You should call `setResource` before start";

  // Every connection state the connector announces, on the connector's threads: 1 connecting,
  // 2 connected, 3 failed (with the error code and message), 4 destroyed by stop.
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
  // Reports the outcome of an initialisation step to the delegate, on the main queue unless
  // stopped by then: 0 as a success, anything else as a failure with `msg`.
  void notifyInitListener(int32_t errorCode, const std::string& msg);

  // For a host that shows the connection as it goes (the start's outcome comes regardless).
  void setConnectionStateObserver(ConnectionStateObserver observer);

  // True before the first start and after stop.
  bool stopped() const;
  std::string modelID() const;
  std::shared_ptr<OrsaPreviewView> digitalHumanView() const;

 private:
  friend class OrsaMireloForWebDemoPrivate;
  std::shared_ptr<OrsaMireloForWebDemoPrivate> d_;
};
