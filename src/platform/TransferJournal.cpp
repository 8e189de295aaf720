#include "platform/TransferJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

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
      path, std::string_view(reinterpret_cast<const char*>(xml.data()), xml.size()), 0600);
}

std::string TransferJournal::lockPathFor(const std::string& journalPath) {
  const std::string_view suffix = ".plist";
  std::string path = journalPath;
  if (path.ends_with(suffix)) path.resize(path.size() - suffix.size());
  return path + ".lock";
}

TransferJournal::Claim TransferJournal::claim(const std::string& journalPath) {
  // Never destroyed: the descriptors are the locks, and they are kept until the process ends.
  static auto* mutex = new std::mutex;
  static auto* held = new std::map<std::string, int>;
  const std::string path = lockPathFor(journalPath);
  std::lock_guard lock(*mutex);
  if (held->count(path)) return Claim::Held;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Claim::Unavailable;
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const bool taken = errno == EWOULDBLOCK;
    ::close(fd);
    return taken ? Claim::InUse : Claim::Unavailable;
  }
  held->emplace(path, fd);
  return Claim::Held;
}

}  // namespace orsa::platform
