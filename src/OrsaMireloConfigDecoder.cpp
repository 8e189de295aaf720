#include "OrsaMireloConfigDecoder.h"

#include <nlohmann/json.hpp>

#include <exception>

#include "OrsaLogClip.h"
#include "logging/QMXLogUtil.h"
#include "platform/OrsaBase64.h"
#include "platform/Utf8.h"

namespace {

constexpr char kModule[] = "OrsaMireloConfigDecoder";

using json = nlohmann::json;

struct TooDeep : std::exception {
  const char* what() const noexcept override { return "nesting too deep"; }
};

// Values of any type other than string count as absent.
std::optional<std::string> stringValue(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// Parses the JSON text with the size and depth limits applied. On failure returns false and
// describes the reason in `error`.
bool parseJson(const std::string& text, json& out, std::string& error) {
  if (text.size() > OrsaMireloConfigDecoder::kMaxJsonBytes) {
    error = "text of " + std::to_string(text.size()) + " bytes exceeds the limit of " +
            std::to_string(OrsaMireloConfigDecoder::kMaxJsonBytes) + " bytes";
    return false;
  }
  // The parser builds values without recursion, but the depth is still bounded so that a
  // hostile document cannot make it build a huge chain of nested containers.
  json::parser_callback_t limitDepth = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= OrsaMireloConfigDecoder::kMaxJsonDepth) {
      throw TooDeep();
    }
    return true;
  };
  try {
    out = json::parse(text, limitDepth);
  } catch (const TooDeep&) {
    error =
        "nesting deeper than " + std::to_string(OrsaMireloConfigDecoder::kMaxJsonDepth) + " levels";
    return false;
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  } catch (const std::exception& e) {  // allocation failure and the like
    error = e.what();
    return false;
  }
  if (!out.is_object() && !out.is_array()) {
    error = "JSON text did not start with array or object";
    return false;
  }
  return true;
}

std::shared_ptr<OrsaMireloConfig> fail(std::string* errorOut, std::string line) {
  ORSA_LOG_ERROR(kModule, "%s", line);
  if (errorOut) *errorOut = std::move(line);
  return nullptr;
}

}  // namespace

std::shared_ptr<OrsaMireloConfig> OrsaMireloConfigDecoder::decode(const char* config,
                                                                  std::string* error) {
  return decode(config ? std::string_view(config) : std::string_view(), error);
}

std::shared_ptr<OrsaMireloConfig> OrsaMireloConfigDecoder::decode(std::string_view config,
                                                                  std::string* error) {
  try {
    ORSA_LOG_INFO(kModule, "start decode: %s", orsaLogClip(config));
    if (config.empty()) return fail(error, "decode error, config empty");

    auto bytes = OrsaBase64::decode(config);
    if (!bytes) return fail(error, "decode error, base64 decode failed");

    if (!orsa::platform::isValidUtf8(*bytes))
      return fail(error, "decode error, convert to string failed");

    json doc;
    std::string parseError;
    if (!parseJson(*bytes, doc, parseError)) {
      return fail(error, "decode error, json parse failed: " + orsaLogClip(parseError));
    }

    auto result = std::make_shared<OrsaMireloConfig>();
    if (doc.is_object()) {
      result->setDigitalHumanId(stringValue(doc, "DigitalHumanId"));
      auto streams = doc.find("Streams");
      if (streams != doc.end() && streams->is_array()) {
        OrsaMireloConfig::Streams list;
        for (const auto& entry : *streams) {
          if (!entry.is_object()) continue;
          OrsaMireloStream s;
          s.setRoomId(stringValue(entry, "RoomId"));
          s.setStreamId(stringValue(entry, "StreamId"));
          s.setEncodeCode(stringValue(entry, "EncodeCode"));
          s.setPackageUrl(stringValue(entry, "PackageUrl"));
          s.setConfigId(stringValue(entry, "ConfigId"));
          list.push_back(std::move(s));
        }
        result->setStreams(std::move(list));
      }
    }
    // A top-level array names nothing, so it fails the validity rule below like any other
    // configuration without an id.

    if (result->isValid()) {
      ORSA_LOG_INFO(kModule, "decode success, config: %s", orsaLogClip(result->string()));
      if (error) error->clear();
      return result;
    }
    return fail(error, "decode error, data is not valid: " + orsaLogClip(result->string()));
  } catch (const std::exception& e) {
    // Only allocation failures get here; they must not cross into the host.
    if (error) *error = std::string("decode error, ") + e.what();
    return nullptr;
  }
}
