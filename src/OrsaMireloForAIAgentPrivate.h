#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "orsa/OrsaMireloForAIAgent.h"

class ResourceManager;
class ResourceManagerDelegate;

// The state of an AI-agent front end and the steps of its start. The library, the tool and the
// tests reach it through of(); hosts never see it.
class OrsaMireloForAIAgentPrivate
    : public std::enable_shared_from_this<OrsaMireloForAIAgentPrivate> {
 public:
  static OrsaMireloForAIAgentPrivate& of(const OrsaMireloForAIAgent& agent) { return *agent.d_; }

  // The prepared package; none before the first preparation of a start.
  std::shared_ptr<ResourceManager> resourceManager() const;

  // The preparation's outcome, on the main queue.
  void onSetResourceSuccess();
  void onSetResourceFailed(int64_t result);

 private:
  friend class OrsaMireloForAIAgent;

  // `self` keeps the front end alive while its package downloads.
  void onResponse(const std::shared_ptr<OrsaMireloForAIAgent>& self, const std::string& url,
                  int64_t code, const std::string& message, const std::string& data,
                  const std::shared_ptr<OrsaMireloStartDelegate>& delegate);
  void onDownloaded(const std::string& packageUrl, int64_t t0, const std::string* file,
                    const std::shared_ptr<OrsaMireloStartDelegate>& delegate);
  std::shared_ptr<OrsaMireloStartDelegate> startDelegate() const;
  std::shared_ptr<OrsaPreviewView> previewView() const;

  // The response, the download and the preparation each arrive on a thread of their own.
  mutable std::mutex mutex_;
  std::shared_ptr<OrsaPreviewView> previewView_;
  std::shared_ptr<ResourceManager> resourceManager_;
  std::shared_ptr<ResourceManagerDelegate> prepareDelegate_;
  std::weak_ptr<OrsaMireloStartDelegate> startDelegate_;
};
