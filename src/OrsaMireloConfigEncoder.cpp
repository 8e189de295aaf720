#include "OrsaMireloConfigEncoder.h"

#include <nlohmann/json.hpp>

#include "platform/OrsaBase64.h"

namespace {

using ojson = nlohmann::ordered_json;

void put(ojson& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

}  // namespace

std::string OrsaMireloConfigEncoder::encode(const OrsaMireloConfig& config) {
  ojson doc = ojson::object();
  put(doc, "DigitalHumanId", config.digitalHumanId());
  if (config.streams()) {
    ojson list = ojson::array();
    for (const auto& s : *config.streams()) {
      ojson entry = ojson::object();
      put(entry, "RoomId", s.roomId());
      put(entry, "StreamId", s.streamId());
      put(entry, "EncodeCode", s.encodeCode());
      put(entry, "PackageUrl", s.packageUrl());
      put(entry, "ConfigId", s.configId());
      list.push_back(std::move(entry));
    }
    doc["Streams"] = std::move(list);
  }
  // Invalid UTF-8 in a field is replaced rather than thrown about: the result must decode.
  return OrsaBase64::encode(doc.dump(-1, ' ', false, ojson::error_handler_t::replace));
}
