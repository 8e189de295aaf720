#include "platform/UserDefaults.h"

#include "platform/FileIO.h"
#include "platform/OrsaBase64.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "platform/AppContainer.h"
#include "platform/Console.h"

namespace orsa::platform {
namespace {

constexpr const char* kStandardName = "orsa.defaults";

std::string errnoText(int err) {
  return std::strerror(err);
}

// Reads a whole file; nullopt with errno kept when it cannot be opened or read.
std::optional<std::string> readAll(const std::string& path, int& err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return std::nullopt;
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  return s;
}

// Leading integer of a text, as a number-to-text conversion would read it back ("42abc" is 42).
int64_t leadingInteger(std::string_view s) {
  s = trimmed(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec == std::errc::result_out_of_range)
    return (!s.empty() && s.front() == '-') ? std::numeric_limits<int64_t>::min()
                                            : std::numeric_limits<int64_t>::max();
  return ec == std::errc() ? v : 0;
}

double leadingDouble(std::string_view s) {
  s = trimmed(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() ? v : 0.0;
}

int64_t doubleToInteger(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

}  // namespace

// ---- base64 ----

std::string base64Encode(const uint8_t* data, size_t size) {
  return OrsaBase64::encode(std::string_view(reinterpret_cast<const char*>(data), size));
}

std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  auto bytes = OrsaBase64::decode(text);
  if (!bytes) return std::nullopt;
  return std::vector<uint8_t>(bytes->begin(), bytes->end());
}

// ---- the store ----

std::string UserDefaults::pathForName(const std::string& name) {
  return AppContainer::home() + "/Library/Preferences/" + name + ".json";
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
  struct Holder {
    std::mutex mutex;
    std::shared_ptr<UserDefaults> current;
  };
  // The holder is never destroyed (threads may still ask for the store during exit); what it
  // holds is written back by the flusher below when static objects go away.
  static Holder* holder = new Holder();
  struct Flusher {
    ~Flusher() {
      std::lock_guard lock(holder->mutex);
      if (holder->current) holder->current->synchronize();
    }
  };
  static Flusher flusher;

  std::string path = pathForName(kStandardName);
  std::lock_guard lock(holder->mutex);
  if (!holder->current || holder->current->filePath() != path) {
    if (holder->current) holder->current->synchronize();
    holder->current = std::make_shared<UserDefaults>(path);
  }
  return holder->current;
}

UserDefaults::UserDefaults(std::string filePath)
    : path_(std::move(filePath)), doc_(nlohmann::json::object()) {
  load();
}

UserDefaults::~UserDefaults() {
  std::lock_guard lock(mutex_);
  writeLocked();
}

void UserDefaults::load() {
  std::lock_guard lock(mutex_);
  removeStaleAtomicWriteTemporaries(path_);
  int err = 0;
  auto text = readAll(path_, err);
  if (!text) {
    if (err != ENOENT)
      consoleWrite(
          "UserDefaults: cannot read " + path_ + ": " + errnoText(err) + "; starting empty",
          kConsoleWarning);
    return;
  }
  auto parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    // Kept aside rather than overwritten by the next write, so it can still be looked at.
    std::string aside = path_ + ".corrupt";
    ::rename(path_.c_str(), aside.c_str());
    consoleWrite("UserDefaults: " + path_ +
                     " is not a readable document; starting empty (moved to " + aside + ")",
                 kConsoleWarning);
    return;
  }
  doc_ = std::move(parsed);
}

bool UserDefaults::writeLocked() {
  if (!dirty_) return true;
  std::filesystem::path target(path_);
  std::string dir = target.parent_path().empty() ? "." : target.parent_path().string();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);

  std::string text;
  try {
    // Text that is not valid UTF-8 cannot be written as JSON; such characters are replaced
    // rather than losing the whole document.
    text = doc_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception& e) {
    consoleWrite("UserDefaults: cannot encode " + path_ + ": " + e.what(), kConsoleWarning);
    return false;
  }
  text.push_back('\n');

  std::string writeError;
  if (!writeFileAtomically(path_, text, 0600, &writeError)) {
    consoleWrite("UserDefaults: cannot write " + path_ + ": " + writeError, kConsoleWarning);
    return false;
  }
  dirty_ = false;
  return true;
}

bool UserDefaults::synchronize() {
  std::lock_guard lock(mutex_);
  return writeLocked();
}

nlohmann::json UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  return doc_;
}

bool UserDefaults::hasKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return doc_.contains(key);
}

std::optional<nlohmann::json> UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end()) return std::nullopt;
  return *it;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end()) return std::nullopt;
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer() || it->is_number_unsigned() || it->is_number_float())
    return it->dump();
  if (it->is_boolean()) return it->get<bool>() ? "1" : "0";
  return std::nullopt;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end()) return 0;
  if (it->is_number_unsigned()) {
    auto u = it->get<uint64_t>();
    return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
               ? std::numeric_limits<int64_t>::max()
               : static_cast<int64_t>(u);
  }
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_float()) return doubleToInteger(it->get<double>());
  if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
  if (it->is_string()) return leadingInteger(it->get_ref<const std::string&>());
  return 0;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer() || it->is_number_unsigned()) return it->get<int64_t>() != 0;
  if (it->is_number_float()) return it->get<double>() != 0.0;
  if (it->is_string()) {
    std::string_view s = trimmed(it->get_ref<const std::string&>());
    if (!s.empty() &&
        (s.front() == 'Y' || s.front() == 'y' || s.front() == 'T' || s.front() == 't'))
      return true;
    return leadingInteger(s) != 0;
  }
  return false;
}

double UserDefaults::doubleForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end()) return 0.0;
  if (it->is_number()) return it->get<double>();
  if (it->is_boolean()) return it->get<bool>() ? 1.0 : 0.0;
  if (it->is_string()) return leadingDouble(it->get_ref<const std::string&>());
  return 0.0;
}

std::optional<std::vector<uint8_t>> UserDefaults::dataForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end() || !it->is_string()) return std::nullopt;
  return base64Decode(it->get_ref<const std::string&>());
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(
    const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = doc_.find(key);
  if (it == doc_.end() || !it->is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(it->size());
  for (const auto& v : *it) {
    if (!v.is_string()) return std::nullopt;
    out.push_back(v.get<std::string>());
  }
  return out;
}

void UserDefaults::setObject(const nlohmann::json& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (value.is_null()) {
    if (doc_.erase(key) > 0) dirty_ = true;
    return;
  }
  doc_[key] = value;
  dirty_ = true;
}

void UserDefaults::setString(const std::string& value, const std::string& key) {
  setObject(nlohmann::json(value), key);
}

void UserDefaults::setInteger(int64_t value, const std::string& key) {
  setObject(nlohmann::json(value), key);
}

void UserDefaults::setBool(bool value, const std::string& key) {
  setObject(nlohmann::json(value), key);
}

void UserDefaults::setDouble(double value, const std::string& key) {
  // JSON has no NaN or infinity; they would come back as null.
  if (!std::isfinite(value)) {
    consoleWrite("UserDefaults: not storing a non-finite number for " + key, kConsoleWarning);
    return;
  }
  setObject(nlohmann::json(value), key);
}

void UserDefaults::setData(const std::vector<uint8_t>& value, const std::string& key) {
  setObject(nlohmann::json(base64Encode(value.data(), value.size())), key);
}

void UserDefaults::setStringArray(const std::vector<std::string>& value, const std::string& key) {
  setObject(nlohmann::json(value), key);
}

void UserDefaults::removeObjectForKey(const std::string& key) {
  setObject(nlohmann::json(), key);
}

}  // namespace orsa::platform
