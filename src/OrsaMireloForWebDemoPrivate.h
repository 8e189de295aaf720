#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "orsa/OrsaMireloForWebDemo.h"

class DHBackendConnector;
class ResourceManager;
class ResourceManagerDelegate;

// The state of a web-demo front end and the steps of its start. The library, the tool and the
// tests reach it through of(); hosts never see it.
class OrsaMireloForWebDemoPrivate
    : public std::enable_shared_from_this<OrsaMireloForWebDemoPrivate> {
 public:
  static OrsaMireloForWebDemoPrivate& of(const OrsaMireloForWebDemo& demo) { return *demo.d_; }

  OrsaMireloForWebDemoPrivate();

  std::shared_ptr<ResourceManager> resourceManager() const;
  std::shared_ptr<DHBackendConnector> dhBackendConnector() const;
  // Starts that are waiting for a preparation result or connecting; their tasks may outlive
  // the front end.
  int startTasks() const;

  // The preparation's outcome, on the main queue. Each one lets one waiting start go on.
  void onSetResourceSuccess();
  void onSetResourceFailed(int64_t code);

 private:
  friend class OrsaMireloForWebDemo;
  struct Results;

  void runStart(const std::string& appID, const std::string& appSign,
                const OrsaRTCOptions& rtcOptions);
  // Tells the delegate, on the main queue, that the start's preparation failed, unless a stop
  // came since the start of that generation.
  void reportPreparationFailed(int64_t result, uint64_t generation);
  void onConnectionState(uint64_t state, int32_t errorCode, const std::string& msg);
  std::shared_ptr<OrsaMireloStartDelegate> delegate() const;

  mutable std::mutex mutex_;
  std::atomic<bool> stopped_{true};
  // Held while the host's observer and delegate hear of a connection state; recursive, so an
  // observer may stop the front end. After a stop has announced the end of its connection,
  // the host hears nothing more from it (silenced_), not even from a thread that was racing.
  std::recursive_mutex observerGate_;
  bool silenced_ = false;
  std::string modelID_;
  std::shared_ptr<ResourceManager> resourceManager_;
  std::shared_ptr<ResourceManagerDelegate> prepareDelegate_;
  std::shared_ptr<DHBackendConnector> dhBackendConnector_;
  std::shared_ptr<OrsaPreviewView> digitalHumanView_;
  // Preparation results not yet consumed by a start; outlives the front end for a waiting task.
  std::shared_ptr<Results> results_;
  std::weak_ptr<OrsaMireloStartDelegate> delegate_;
  OrsaMireloForWebDemo::ConnectionStateObserver observer_;
};
