#include "net/DHHttpRequestHelper.h"

#include <memory>
#include <utility>

#include "OrsaLogClip.h"
#include "logging/LogRedact.h"
#include "logging/QMXLogUtil.h"
#include "platform/UrlSession.h"

namespace DHHttpRequestHelper {

namespace {

using orsa::platform::TransferError;
using orsa::platform::UrlRequest;
using orsa::platform::UrlResponse;
using orsa::platform::UrlSession;

// errorLogFormat names the request kind in the failure line, which differs between the two.
void send(UrlRequest request, const char* errorLogFormat, StatusCallback callback) {
  auto task = UrlSession::shared()->dataTaskWithRequest(
      request, [url = request.url, errorLogFormat, callback = std::move(callback)](
                   const std::optional<Bytes>& data, const std::optional<UrlResponse>& response,
                   const std::optional<TransferError>& error) {
        if (error) {
          ORSA_LOG_INFO(kModule, errorLogFormat, url, static_cast<long>(error->code),
                        orsaLogClip(error->description));
          if (callback) callback(error->code, 0, error->description, std::nullopt);
          return;
        }
        if (callback)
          callback(0, response ? response->statusCode : 0, std::nullopt, data.value_or(Bytes{}));
      });
  task->resume();
}

StatusCallback withoutStatus(Callback callback) {
  return [callback = std::move(callback)](int64_t code, long, const std::optional<std::string>& m,
                                          const std::optional<Bytes>& data) {
    if (callback) callback(code, m, data);
  };
}

void redact(nlohmann::json& value) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (orsaIsSecretName(it.key()))
        it.value() = std::string(kOrsaRedacted);
      else
        redact(it.value());
    }
  } else if (value.is_array()) {
    for (auto& item : value) redact(item);
  }
}

}  // namespace

std::string describeForLog(const nlohmann::json& value) {
  nlohmann::json copy = value;
  redact(copy);
  return orsaLogClip(copy.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void postJson(const std::string& url, const nlohmann::json& map, StatusCallback callback,
              std::chrono::milliseconds timeout) {
  UrlRequest request;
  request.url = url;
  request.method = "POST";
  request.timeout = timeout;
  request.setHeader("Content-Type", "application/json");
  // Texts that are not UTF-8 are replaced rather than thrown about: no exception leaves here.
  const std::string body = map.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  request.body.assign(body.begin(), body.end());
  ORSA_LOG_INFO(kModule, "DHHttpRequestHelper postJson url=%s, params=%s", orsaLogClip(url),
                describeForLog(map));
  send(std::move(request), "DHHttpRequestHelper postJson url=%s, code=%ld, message=%s",
       std::move(callback));
}

void postJson(const std::string& url, const nlohmann::json& map, Callback callback,
              std::chrono::milliseconds timeout) {
  postJson(url, map, withoutStatus(std::move(callback)), timeout);
}

void post(const std::string& url, Callback callback, std::chrono::milliseconds timeout) {
  UrlRequest request;
  request.url = url;
  request.method = "POST";
  request.timeout = timeout;
  ORSA_LOG_INFO(kModule, "DHHttpRequestHelper post url=%s", orsaLogClip(url));
  send(std::move(request), "DHHttpRequestHelper rsp url=%s, code=%ld, message=%s",
       withoutStatus(std::move(callback)));
}

}  // namespace DHHttpRequestHelper
