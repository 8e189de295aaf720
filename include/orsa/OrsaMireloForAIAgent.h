#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "orsa/OrsaExport.h"

class OrsaPreviewView;
class OrsaMireloForAIAgentPrivate;

// The host's credentials for its AI-agent service. Empty means missing: a start with a missing
// field fails before anything is sent.
class ORSA_EXPORT AuthInfo {
 public:
  AuthInfo() = default;
  AuthInfo(std::string anAppID, std::string aUserID, std::string aToken)
      : appID(std::move(anAppID)), userID(std::move(aUserID)), token(std::move(aToken)) {}

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
  // The start failed with `code` and `errorMsg`: the service's own code and message,
  // kOrsaErrorRefused (-200001) "This conversation do not support " when the meta human cannot
  // be composited, kOrsaErrorResource (-200000) when the package cannot be downloaded or
  // prepared or a credential is missing (see OrsaConstants.h).
  virtual void onMireloStartFail(int64_t /*code*/, const std::string& /*errorMsg*/) {}
  // The attached view drew its first frame, on the view's drawing thread.
  virtual void onMireloFirstFrameDraw() {}
};

// The host's connection to its AI-agent service: the front end does not talk to the service
// itself, it hands each request to the host, which sends it with its own transport and
// authentication.
//
// `body` is the request as JSON text (UTF-8, one object whose values are all strings):
//   {"AppId":…,"UserId":…,"Token":…,"Platform":"2","DeviceId":…,"MetaHumanId":…}
// The host sends it to `url` as a request of service `service` named `serviceName`, and calls
// `callback` exactly once, on any thread, with the service's result code (0 = success), its
// message, the request id and the answer's data as JSON text. The front end reads the render
// information from the data's "Data" object:
//   {"Data":{"IsSupportROI":true,"RenderMode":1,"ClientInferencePackageUrl":"https://…"}}
// Data that is empty, "null" or not JSON counts as an answer without render information (the
// start then fails with kOrsaErrorRefused). With a non-zero code the data is not read.
class ORSA_EXPORT OrsaHostConnection {
 public:
  using Callback = std::function<void(int64_t code, const std::string& message,
                                      const std::string& requestId, const std::string& data)>;

  virtual ~OrsaHostConnection() = default;
  virtual void qmxRequestSvrWithService(int32_t service, const std::string& serviceName,
                                        const std::string& url, const std::string& body,
                                        Callback callback) = 0;
};

// Starts the digital human for a host driven by an AI-agent service: asks the service (through
// the host's connection) for the render information of a meta human, downloads the package it
// names, prepares it and hands the prepared frames to the attached view. Frames then reach the
// view through OrsaPreviewView::drawFrame, which the host calls with each head picture and its
// SEI payload.
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
  // A stable identifier of this device (8-4-4-4-12 upper-case hex), kept in user defaults.
  static std::string deviceIdentifier();

  // Attach before starting: the start installs the first-frame callback on this view.
  void attach(std::shared_ptr<OrsaPreviewView> view);
  // Returns at once; the outcome reaches `delegate` (held weakly).
  void startWithAuthInfo(const AuthInfo& auth, const std::string& metaHumanID,
                         const std::shared_ptr<OrsaHostConnection>& connection,
                         const std::shared_ptr<OrsaMireloStartDelegate>& delegate);
  // Stops the view only; the front end can be started again.
  void stop();

  std::shared_ptr<OrsaPreviewView> previewView() const;

 private:
  friend class OrsaMireloForAIAgentPrivate;
  std::shared_ptr<OrsaMireloForAIAgentPrivate> d_;
};
