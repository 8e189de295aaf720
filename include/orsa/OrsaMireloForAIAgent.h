#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "orsa/OrsaExport.h"

class OrsaPreviewView;
class ResourceManager;
class ResourceManagerDelegate;

// The host's credentials for its AI-agent service. Empty means missing: a start with a missing
// field fails before anything is sent.
class ORSA_EXPORT AuthInfo {
 public:
  AuthInfo() = default;
  AuthInfo(std::string appID, std::string userID, std::string token)
      : appID(std::move(appID)), userID(std::move(userID)), token(std::move(token)) {}

  std::string appID;
  std::string userID;
  std::string token;
};

// What the AI-agent and web-demo front ends tell their host. Every method has an empty default
// body, so a host overrides only the ones it needs. Held weakly (std::weak_ptr).
class ORSA_EXPORT OrsaMireloStartDelegate {
 public:
  virtual ~OrsaMireloStartDelegate() = default;

  // The package is prepared and the attached view has it.
  virtual void onMireloStartSuccess() {}
  // The start failed: the service's own code and message, -200001 "This conversation do not
  // support " when the meta human cannot be composited, -200000 when the package cannot be
  // downloaded or prepared or a credential is missing.
  virtual void onMireloStartFail(int64_t code, const std::string& errorMsg) {}
  // The attached view drew its first frame, on the view's drawing thread.
  virtual void onMireloFirstFrameDraw() {}
};

// The host's connection to its AI-agent service (in a phone host, the RTC library's connection
// object). The host sends `body` to `url` as a request of the named service with its own
// authentication, and calls `callback` exactly once, on any thread, with the service's result
// code (0 = success), its message, the request id and the answer as a JSON object.
class ORSA_EXPORT OrsaHostConnection {
 public:
  using Callback = std::function<void(int64_t code, const std::string& message,
                                      const std::string& requestId, const nlohmann::json& data)>;

  virtual ~OrsaHostConnection() = default;
  virtual void qmxRequestSvrWithService(int32_t service, const std::string& serviceName,
                                        const std::string& url, const nlohmann::json& body,
                                        Callback callback) = 0;
};

// Starts the digital human for a host driven by an AI-agent service: asks the service (through
// the host's connection) for the render information of a meta human, downloads the package it
// names, prepares it and hands the prepared frames to the attached view. Frames then reach the
// view through OrsaPreviewView::drawFrame.
//
// Create it with create(): the request and the preparation hold it weakly.
class ORSA_EXPORT OrsaMireloForAIAgent : public std::enable_shared_from_this<OrsaMireloForAIAgent> {
 public:
  static constexpr const char* kModule = "OrsaMireloForAIAgent";
  // The service's backend; a host pointing at another deployment calls setServiceBaseURL.
  static constexpr const char* kDefaultServiceBaseURL = "https://aigc.orsamirelo.com";
  static constexpr const char* kRenderInfoPath = "/aigc/v1/meta_human/render_info";
  static constexpr int32_t kService = 34;
  static constexpr const char* kServiceName = "aigc";
  // User-defaults key of the device identifier sent as "DeviceId", made on first use.
  static constexpr const char* kDeviceIdKey = "OrsaMirelo.DeviceId";

  static std::shared_ptr<OrsaMireloForAIAgent> create();
  OrsaMireloForAIAgent();
  ~OrsaMireloForAIAgent();
  OrsaMireloForAIAgent(const OrsaMireloForAIAgent&) = delete;
  OrsaMireloForAIAgent& operator=(const OrsaMireloForAIAgent&) = delete;

  static void setServiceBaseURL(const std::string& url);
  static std::string serviceBaseURL();
  // The render-information URL: the base URL, "/", then kRenderInfoPath.
  static std::string renderInfoURL();
  // A stable identifier of this device (8-4-4-4-12 lower-case hex), kept in user defaults.
  static std::string deviceIdentifier();

  // Attach before starting: the start installs the first-frame callback on this view.
  void attach(std::shared_ptr<OrsaPreviewView> view);
  // Returns at once; the outcome reaches `delegate` (held weakly).
  void startWithAuthInfo(const AuthInfo& auth, const std::string& metaHumanID,
                         const std::shared_ptr<OrsaHostConnection>& connection,
                         const std::shared_ptr<OrsaMireloStartDelegate>& delegate);
  // Stops the view only; the front end can be started again.
  void stop();

  // The preparation's outcome, on the main queue.
  void onSetResourceSuccess();
  void onSetResourceFailed(int64_t result);

  std::shared_ptr<OrsaPreviewView> previewView() const;
  std::shared_ptr<ResourceManager> resourceManager() const;

 private:
  void onResponse(const std::string& url, int64_t code, const std::string& message,
                  const nlohmann::json& data, const std::shared_ptr<OrsaMireloStartDelegate>& d);
  void onDownloaded(const std::string& packageUrl, int64_t t0, const std::string* file,
                    const std::shared_ptr<OrsaMireloStartDelegate>& delegate);
  std::shared_ptr<OrsaMireloStartDelegate> startDelegate() const;

  // The response, the download and the preparation each arrive on a thread of their own.
  mutable std::mutex mutex_;
  std::shared_ptr<OrsaPreviewView> previewView_;
  std::shared_ptr<ResourceManager> resourceManager_;
  std::shared_ptr<ResourceManagerDelegate> prepareDelegate_;
  std::weak_ptr<OrsaMireloStartDelegate> startDelegate_;
};
