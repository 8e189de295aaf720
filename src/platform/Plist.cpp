#include "platform/Plist.h"

#include <cstdlib>

namespace orsa::platform::plist {

bool isType(plist_t node, plist_type type) {
  return node && plist_get_node_type(node) == type;
}

std::string stringOf(plist_t node) {
  if (!isType(node, PLIST_STRING)) return {};
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  std::free(value);
  return text;
}

std::vector<uint8_t> dataOf(plist_t node) {
  if (!isType(node, PLIST_DATA)) return {};
  char* value = nullptr;
  uint64_t length = 0;
  plist_get_data_val(node, &value, &length);
  std::vector<uint8_t> bytes(value, value + (value ? length : 0));
  std::free(value);
  return bytes;
}

std::optional<int64_t> integerOf(plist_t node) {
  if (!isType(node, PLIST_UINT)) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return static_cast<int64_t>(value);
}

void setString(plist_t dict, const char* key, const std::string& value) {
  plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

void setInteger(plist_t dict, const char* key, int64_t value) {
  plist_dict_set_item(dict, key, plist_new_uint(static_cast<uint64_t>(value)));
}

void setData(plist_t dict, const char* key, const std::vector<uint8_t>& bytes) {
  plist_dict_set_item(dict, key,
                      plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<uint8_t> serialize(plist_t node, bool xml) {
  char* out = nullptr;
  uint32_t length = 0;
  xml ? plist_to_xml(node, &out, &length) : plist_to_bin(node, &out, &length);
  std::vector<uint8_t> bytes(out, out + (out ? length : 0));
  xml ? plist_to_xml_free(out) : plist_to_bin_free(out);
  return bytes;
}

bool xmlWithinLimits(std::string_view text, size_t maxContainers) {
  if (text.find('\0') != std::string_view::npos) return false;
  size_t containers = 0;
  for (std::string_view tag : {"<array", "<dict"}) {
    for (size_t at = text.find(tag); at != std::string_view::npos; at = text.find(tag, at + 1)) {
      if (++containers > maxContainers) return false;
    }
  }
  return true;
}

}  // namespace orsa::platform::plist
