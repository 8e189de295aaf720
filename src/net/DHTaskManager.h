#pragma once

#include <mutex>
#include <string>
#include <vector>

// The backend tasks created and not yet destroyed, kept across restarts in the user defaults so
// that the next connector can destroy what a previous process left behind.
//
// Thread-safe: HTTP callbacks and the connector's caller both use it. The lock is re-entrant and
// held while the list is saved, so the stored list never lags behind a change made before it.
class DHTaskManager {
 public:
  static constexpr const char* kModule = "DHTaskManager";
  static constexpr const char* kTaskListKey = "DHTaskListKey";

  // Made on first use from the stored list of the current home; never destroyed, since HTTP
  // callbacks may still reach it while the process exits.
  static DHTaskManager& sharedInstance();

  DHTaskManager(const DHTaskManager&) = delete;
  DHTaskManager& operator=(const DHTaskManager&) = delete;

  // An empty id is no task and changes nothing; an id already listed is not added again.
  void addTask(const std::string& taskId);
  // Removes every equal entry and saves, even when nothing was listed.
  void removeTask(const std::string& taskId);
  std::vector<std::string> getAllTasks();
  void clearAllTasks();

  // Writes the whole list and flushes the user defaults to storage.
  void saveTasksToLocal();
  // Replaces the list with the stored one, when one is stored.
  void loadTasksFromLocal();

 private:
  DHTaskManager() = default;

  std::recursive_mutex lock_;
  std::vector<std::string> taskList_;
};
