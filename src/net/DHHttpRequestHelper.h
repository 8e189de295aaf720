#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// The backend connector's only HTTP client: one POST, its outcome handed on as a triple.
//
// The callback runs on the shared transfer session's background queue, never on the caller's
// thread. It gets (0, none, body) whenever the exchange completed, whatever the HTTP status
// (an error page is a body the caller parses), and (the transfer error's negative code, its
// description, none) when the transport failed, a body over the transfer session's size limit
// included.
namespace DHHttpRequestHelper {

using Bytes = std::vector<uint8_t>;
using Callback = std::function<void(int64_t code, const std::optional<std::string>& message,
                                    const std::optional<Bytes>& data)>;

inline constexpr const char* kModule = "DHBackendConnector";
// A silent backend never holds a caller forever: no answer for this long fails the request.
inline constexpr std::chrono::milliseconds kDefaultTimeout{60000};

// As Callback, with the HTTP status of a completed exchange (0 when the transport failed).
using StatusCallback =
    std::function<void(int64_t code, long status, const std::optional<std::string>& message,
                       const std::optional<Bytes>& data)>;

// A JSON value as a log line shows it: members named as credentials (token, app_sign, ...)
// read "***", and the text is clipped to a few kilobytes.
std::string describeForLog(const nlohmann::json& value);

// POSTs `map` as compact JSON with Content-Type "application/json". The body is logged clipped
// and with its credentials masked.
void postJson(const std::string& url, const nlohmann::json& map, Callback callback,
              std::chrono::milliseconds timeout = kDefaultTimeout);
void postJson(const std::string& url, const nlohmann::json& map, StatusCallback callback,
              std::chrono::milliseconds timeout = kDefaultTimeout);
// POSTs without a body or Content-Type.
void post(const std::string& url, Callback callback,
          std::chrono::milliseconds timeout = kDefaultTimeout);

}  // namespace DHHttpRequestHelper
