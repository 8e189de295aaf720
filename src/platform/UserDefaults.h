#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace orsa::platform {

// A small persistent key-value store: one JSON object in one file. Reads and writes work on
// the copy in memory; synchronize() puts it on disk atomically (a temporary file in the same
// folder, fsync, rename, fsync of the folder), so a crash mid-write leaves the previous
// document whole. Unsaved changes are also written when the instance goes away.
//
// Values keep their JSON types; data is stored as a base64 string. Getters of scalars answer
// 0 / false for a missing key (numbers, booleans and numeric strings convert); getters of
// strings, data, arrays and objects answer nullopt.
//
// Thread-safe: every operation takes the instance's lock.
class UserDefaults {
 public:
  // The process-wide store at <home>/Library/Preferences/orsa.defaults.json. When the app
  // container's root changes, the next call opens the store of the new home (after writing
  // back the old one).
  static std::shared_ptr<UserDefaults> standardUserDefaults();
  // Path of the store named `name` under the current home's preferences folder.
  static std::string pathForName(const std::string& name);

  // A store in the given file (read now; a missing file is an empty store).
  explicit UserDefaults(std::string filePath);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& filePath() const { return path_; }

  std::optional<std::string> stringForKey(const std::string& key) const;
  int64_t integerForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  std::optional<std::vector<uint8_t>> dataForKey(const std::string& key) const;
  // nullopt unless the value is an array of strings only.
  std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key) const;
  std::optional<nlohmann::json> objectForKey(const std::string& key) const;
  bool hasKey(const std::string& key) const;

  void setString(const std::string& value, const std::string& key);
  void setInteger(int64_t value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setData(const std::vector<uint8_t>& value, const std::string& key);
  void setStringArray(const std::vector<std::string>& value, const std::string& key);
  // A null value removes the key.
  void setObject(const nlohmann::json& value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Writes the document when it changed since the last write; false when writing failed (the
  // previous document stays, the changes stay in memory for the next try).
  bool synchronize();

  // A copy of the whole document.
  nlohmann::json dictionaryRepresentation() const;

 private:
  void load();
  bool writeLocked();

  std::string path_;
  mutable std::mutex mutex_;
  nlohmann::json doc_;
  bool dirty_ = false;
};

// Base64 (standard alphabet, padded), the encoding of data values in the store.
std::string base64Encode(const uint8_t* data, size_t size);
// nullopt when the text is not valid base64.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);

}  // namespace orsa::platform
