#include "platform/TransferJournal.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "platform/AppContainer.h"
#include "platform/FileIO.h"

namespace orsa::platform {
std::string TransferJournal::pathFor(const std::string& identifier) {
  // Identifiers are reverse-DNS texts; anything that could leave the folder is replaced.
  std::string name = identifier;
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name == "." || name == "..") name = "_" + name;
  return AppContainer::home() + "/Library/OrsaTransfers/" + name + ".plist";
}

TransferJournal::Contents TransferJournal::load(const std::string& path) {
  Contents contents;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size == 0 || size > (size_t{4} << 20)) return contents;
  std::string bytes(size, '\0');
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return contents;
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  PlistPtr root(UrlSessionResume::parseXml(bytes.data(), got));
  plist_t map = static_cast<plist_t>(root.get());
  if (!map || plist_get_node_type(map) != PLIST_DICT) return contents;
  plist_t next = plist_dict_get_item(map, "NextTaskIdentifier");
  if (next && plist_get_node_type(next) == PLIST_UINT) {
    plist_get_uint_val(next, &contents.nextTaskIdentifier);
  }
  plist_t list = plist_dict_get_item(map, "Transfers");
  if (list && plist_get_node_type(list) == PLIST_ARRAY) {
    for (uint32_t i = 0, n = plist_array_get_size(list); i < n; ++i) {
      auto entry = UrlSessionResume::fromNode(plist_array_get_item(list, i));
      if (entry && entry->taskIdentifier != 0) contents.transfers.push_back(std::move(*entry));
    }
  }
  for (const auto& entry : contents.transfers) {
    contents.nextTaskIdentifier = std::max(contents.nextTaskIdentifier, entry.taskIdentifier + 1);
  }
  return contents;
}

bool TransferJournal::ensureFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  return !ec;
}

bool TransferJournal::write(const std::string& path, const Contents& contents) {
  PlistPtr root(plist_new_dict());
  plist_t map = static_cast<plist_t>(root.get());
  plist_dict_set_item(map, "NextTaskIdentifier", plist_new_uint(contents.nextTaskIdentifier));
  plist_t list = plist_new_array();
  for (const auto& entry : contents.transfers) plist_array_append_item(list, entry.toNode());
  plist_dict_set_item(map, "Transfers", list);
  const Bytes xml = UrlSessionResume::toXml(map);
  return writeFileAtomically(
      path, std::string_view(reinterpret_cast<const char*>(xml.data()), xml.size()));
}

}  // namespace orsa::platform
