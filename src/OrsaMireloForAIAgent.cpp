#include "orsa/OrsaMireloForAIAgent.h"

#include <fmt/format.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "OrsaLogClip.h"
#include "OrsaMireloForAIAgentPrivate.h"
#include "logging/LogRedact.h"
#include "logging/QMXLogUtil.h"
#include "net/JsonInteger.h"
#include "net/MireloDownloader.h"
#include "orsa/OrsaClock.h"
#include "orsa/OrsaConstants.h"
#include "orsa/OrsaPreviewView.h"
#include "platform/Digest.h"
#include "platform/UserDefaults.h"
#include "render/BufferPool.h"
#include "render/OrsaPreviewViewCore.h"
#include "utils/ResourceManager.h"

namespace {

constexpr const char* M = OrsaMireloForAIAgent::kModule;
constexpr const char* kNotSupported = "This conversation do not support ";
constexpr const char* kDownloadFailed = "Failed to download meta human resource";
constexpr const char* kResolveFailed = "Failed to resolve meta human resource";

std::mutex& settingsMutex() {
  static std::mutex m;
  return m;
}

std::string& baseURL() {
  static std::string url = OrsaMireloForAIAgent::kDefaultServiceBaseURL;
  return url;
}

// Lenient readings of the answer, as a dictionary's boolValue and integerValue read them:
// anything of another type counts as absent.
bool readBool(const nlohmann::json& data, const char* key) {
  auto it = data.find(key);
  if (it == data.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() != 0;
  return false;
}

int64_t readInteger(const nlohmann::json& data, const char* key) {
  auto it = data.find(key);
  if (it == data.end()) return 0;
  // A number that is not a whole one, or does not fit, reads as absent (1e300 included).
  if (it->is_number()) return orsaJsonInteger(*it).value_or(0);
  if (it->is_string()) return std::strtoll(it->get_ref<const std::string&>().c_str(), nullptr, 10);
  return 0;
}

void reportFail(const std::shared_ptr<OrsaMireloStartDelegate>& delegate, int64_t code,
                const std::string& message) {
  if (delegate) delegate->onMireloStartFail(code, message);
}

}  // namespace

std::shared_ptr<OrsaMireloForAIAgent> OrsaMireloForAIAgent::create() {
  return std::make_shared<OrsaMireloForAIAgent>();
}

OrsaMireloForAIAgent::OrsaMireloForAIAgent()
    : d_(std::make_shared<OrsaMireloForAIAgentPrivate>()) {}

OrsaMireloForAIAgent::~OrsaMireloForAIAgent() {
  ORSA_LOG_INFO(M, "dealloc");
  std::shared_ptr<OrsaPreviewView> view;
  {
    std::lock_guard<std::mutex> lock(d_->mutex_);
    view = std::exchange(d_->previewView_, nullptr);
    d_->resourceManager_.reset();
    d_->prepareDelegate_.reset();
    d_->startDelegate_.reset();
  }
  if (view) view->stop();
  BufferPool::sharedInstance().clear();
}

void OrsaMireloForAIAgent::setServiceBaseURL(const std::string& url) {
  std::lock_guard<std::mutex> lock(settingsMutex());
  baseURL() = url;
}

std::string OrsaMireloForAIAgent::serviceBaseURL() {
  std::lock_guard<std::mutex> lock(settingsMutex());
  return baseURL();
}

std::string OrsaMireloForAIAgent::renderInfoURL() {
  return fmt::format("{}/{}", serviceBaseURL(), kRenderInfoPath);
}

std::string OrsaMireloForAIAgent::deviceIdentifier() {
  // One lock over read-or-make, so two first starts cannot store different identifiers.
  std::lock_guard<std::mutex> lock(settingsMutex());
  auto defaults = orsa::platform::UserDefaults::standardUserDefaults();
  if (auto stored = defaults->stringForKey(kDeviceIdKey); stored && stored->size() == 36)
    return *stored;
  const std::string made = orsa::platform::makeUuid();
  defaults->setString(made, kDeviceIdKey);
  defaults->synchronize();
  return made;
}

void OrsaMireloForAIAgent::attach(std::shared_ptr<OrsaPreviewView> view) {
  ORSA_LOG_INFO(M, "Attach to OrsaPreviewView %p", static_cast<const void*>(view.get()));
  std::lock_guard<std::mutex> lock(d_->mutex_);
  d_->previewView_ = std::move(view);
}

std::shared_ptr<OrsaPreviewView> OrsaMireloForAIAgent::previewView() const {
  return d_->previewView();
}

std::shared_ptr<OrsaPreviewView> OrsaMireloForAIAgentPrivate::previewView() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return previewView_;
}

std::shared_ptr<ResourceManager> OrsaMireloForAIAgentPrivate::resourceManager() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resourceManager_;
}

std::shared_ptr<OrsaMireloStartDelegate> OrsaMireloForAIAgentPrivate::startDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return startDelegate_.lock();
}

void OrsaMireloForAIAgent::startWithAuthInfo(
    const AuthInfo& auth, const std::string& metaHumanID,
    const std::shared_ptr<OrsaHostConnection>& connection,
    const std::shared_ptr<OrsaMireloStartDelegate>& delegate) {
  // The token is a credential: the line says whether one came, never what it is.
  ORSA_LOG_INFO(M, "start, appID: %s, userID: %s, token: %s, metaHumanID: %s",
                orsaLogClip(auth.appID), orsaLogClip(auth.userID),
                auth.token.empty() ? "" : kOrsaRedacted, orsaLogClip(metaHumanID));
  std::shared_ptr<OrsaPreviewView> view;
  {
    std::lock_guard<std::mutex> lock(d_->mutex_);
    d_->startDelegate_ = delegate;
    view = d_->previewView_;
  }
  std::weak_ptr<OrsaMireloStartDelegate> weakDelegate = delegate;
  if (view) {
    OrsaPreviewViewCore::of(*view).setFirstFrameCallback([weakDelegate] {
      ORSA_LOG_INFO(M, "First Frame");
      if (auto d = weakDelegate.lock()) d->onMireloFirstFrameDraw();
    });
  }
  // A field the service would need cannot be sent empty: the start fails before any request.
  for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"AppId", &auth.appID},
                                   {"UserId", &auth.userID},
                                   {"Token", &auth.token},
                                   {"MetaHumanId", &metaHumanID}}) {
    if (value->empty()) {
      ORSA_LOG_INFO(M, "start refused, %s is missing", key);
      reportFail(delegate, kOrsaErrorResource, fmt::format("Missing {}", key));
      return;
    }
  }
  if (!connection) {
    reportFail(delegate, kOrsaErrorResource, "Missing host connection");
    return;
  }
  const std::string url = renderInfoURL();
  const nlohmann::json body = {
      {"AppId", auth.appID}, {"UserId", auth.userID},          {"Token", auth.token},
      {"Platform", "2"},     {"DeviceId", deviceIdentifier()}, {"MetaHumanId", metaHumanID}};
  std::weak_ptr<OrsaMireloForAIAgent> weakSelf = weak_from_this();
  // Invalid UTF-8 in a credential is replaced rather than thrown out of the start.
  connection->qmxRequestSvrWithService(
      kService, kServiceName, url,
      body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
      [weakSelf, weakDelegate, url](int64_t code, const std::string& message,
                                    const std::string& requestId, const std::string& data) {
        ORSA_LOG_INFO(M, "response, url: %s, code: %lld, msg: %s, requestId: %s", url,
                      static_cast<long long>(code), orsaLogClip(message), orsaLogClip(requestId));
        auto self = weakSelf.lock();
        if (!self) {
          ORSA_LOG_INFO(M, "self is nil after pulling MetaHumanConfig, do not set resource");
          return;
        }
        self->d_->onResponse(self, url, code, message, data, weakDelegate.lock());
      });
}

void OrsaMireloForAIAgentPrivate::onResponse(
    const std::shared_ptr<OrsaMireloForAIAgent>& self, const std::string& url, int64_t code,
    const std::string& message, const std::string& dataText,
    const std::shared_ptr<OrsaMireloStartDelegate>& delegate) {
  if (code != 0) {
    ORSA_LOG_INFO(M, "Mirelo start failed, code: %lld, msg: %s", static_cast<long long>(code),
                  orsaLogClip(message));
    reportFail(delegate, code, message);
    return;
  }
  // Text that is not JSON is an answer without render information, as "null" is.
  const nlohmann::json data = nlohmann::json::parse(dataText, nullptr, false);
  static const nlohmann::json kNone = nlohmann::json::object();
  const nlohmann::json* info = &kNone;
  if (data.is_object()) {
    auto it = data.find("Data");
    if (it != data.end() && it->is_object()) info = &*it;
  }
  if (!readBool(*info, "IsSupportROI") || readInteger(*info, "RenderMode") != 1) {
    reportFail(delegate, kOrsaErrorRefused, kNotSupported);
    return;
  }
  std::string packageUrl;
  if (auto it = info->find("ClientInferencePackageUrl"); it != info->end() && it->is_string())
    packageUrl = it->get<std::string>();
  if (packageUrl.empty()) {
    ORSA_LOG_INFO(M, "no ClientInferencePackageUrl in the answer of %s", url);
    reportFail(delegate, kOrsaErrorResource, kDownloadFailed);
    return;
  }
  const int64_t t0 = currentMillis();
  MireloDownloader::sharedInstance()->download(
      packageUrl,
      [self, delegate, packageUrl, t0](const std::optional<std::string>& file) {
        self->d_->onDownloaded(packageUrl, t0, file ? &*file : nullptr, delegate);
      },
      [](float) {});
}

void OrsaMireloForAIAgentPrivate::onDownloaded(
    const std::string& packageUrl, int64_t t0, const std::string* file,
    const std::shared_ptr<OrsaMireloStartDelegate>& delegate) {
  if (!file) {
    reportFail(delegate, kOrsaErrorResource, kDownloadFailed);
    return;
  }
  ORSA_LOG_INFO(M, "Download %s, time consumption: %lld ms", orsaLogClip(packageUrl),
                static_cast<long long>(currentMillis() - t0));
  auto manager = ResourceManager::create();
  std::shared_ptr<ResourceManagerDelegate> prepare;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resourceManager_ = manager;
    if (!prepareDelegate_)
      prepareDelegate_ = std::make_shared<ForwardingResourceDelegate<OrsaMireloForAIAgentPrivate>>(
          weak_from_this());
    prepare = prepareDelegate_;
  }
  manager->setResource(*file, prepare);
}

void OrsaMireloForAIAgentPrivate::onSetResourceSuccess() {
  ORSA_LOG_INFO(M, "Set resource successfully");
  std::shared_ptr<OrsaPreviewView> view;
  std::shared_ptr<ResourceManager> manager;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view = previewView_;
    manager = resourceManager_;
  }
  if (view && manager) {
    OrsaPreviewViewCore::of(*view).setResourceManager(manager);
    if (auto border = manager->getBorderPath()) view->loadMaskTexture(*border);
  }
  if (auto delegate = startDelegate()) delegate->onMireloStartSuccess();
}

void OrsaMireloForAIAgentPrivate::onSetResourceFailed(int64_t result) {
  ORSA_LOG_INFO(M, "Set resource failed, result: %ld", result);
  reportFail(startDelegate(), kOrsaErrorResource, kResolveFailed);
}

void OrsaMireloForAIAgent::stop() {
  if (auto view = d_->previewView()) view->stop();
}
