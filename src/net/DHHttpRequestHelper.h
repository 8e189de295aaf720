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
// description, none) when the transport failed.
namespace DHHttpRequestHelper {

using Bytes = std::vector<uint8_t>;
using Callback = std::function<void(int64_t code, const std::optional<std::string>& message,
                                    const std::optional<Bytes>& data)>;

inline constexpr const char* kModule = "DHBackendConnector";
// A silent backend never holds a caller forever: no answer for this long fails the request.
inline constexpr std::chrono::milliseconds kDefaultTimeout{60000};

// POSTs `map` as compact JSON with Content-Type "application/json".
void postJson(const std::string& url, const nlohmann::json& map, Callback callback,
              std::chrono::milliseconds timeout = kDefaultTimeout);
// POSTs without a body or Content-Type.
void post(const std::string& url, Callback callback,
          std::chrono::milliseconds timeout = kDefaultTimeout);

}  // namespace DHHttpRequestHelper
