#include "net/DHTaskManager.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "OrsaLogClip.h"
#include "logging/QMXLogUtil.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* M = DHTaskManager::kModule;

// Ids come from the backend: a long one is clipped like any text from outside.
std::string describe(const std::vector<std::string>& list) {
  return orsaLogClip(
      nlohmann::json(list).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace

DHTaskManager& DHTaskManager::sharedInstance() {
  static DHTaskManager* const instance = [] {
    auto* manager = new DHTaskManager();
    manager->loadTasksFromLocal();
    return manager;
  }();
  return *instance;
}

void DHTaskManager::addTask(const std::string& taskId) {
  ORSA_LOG_INFO(M, "Try to add task: %s", orsaLogClip(taskId));
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!taskId.empty() &&
        std::find(taskList_.begin(), taskList_.end(), taskId) == taskList_.end()) {
      taskList_.push_back(taskId);
      saveTasksToLocal();
    }
  }
  ORSA_LOG_INFO(M, "Task %s added", orsaLogClip(taskId));
}

void DHTaskManager::removeTask(const std::string& taskId) {
  ORSA_LOG_INFO(M, "Try to remove task: %s", orsaLogClip(taskId));
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!taskId.empty()) {
      std::erase(taskList_, taskId);
      saveTasksToLocal();
    }
  }
  ORSA_LOG_INFO(M, "Task removed: %s", orsaLogClip(taskId));
}

std::vector<std::string> DHTaskManager::getAllTasks() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return taskList_;
}

void DHTaskManager::clearAllTasks() {
  ORSA_LOG_INFO(M, "Try to clear all tasks");
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    taskList_.clear();
    saveTasksToLocal();
  }
  ORSA_LOG_INFO(M, "All tasks cleared");
}

void DHTaskManager::saveTasksToLocal() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto defaults = orsa::platform::UserDefaults::standardUserDefaults();
  defaults->setStringArray(taskList_, kTaskListKey);
  if (!defaults->synchronize()) ORSA_LOG_WARN(M, "Tasks not written to storage yet");
  ORSA_LOG_INFO(M, "Save tasks to local: %s", describe(taskList_));
}

void DHTaskManager::loadTasksFromLocal() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto stored =
      orsa::platform::UserDefaults::standardUserDefaults()->stringArrayForKey(kTaskListKey);
  if (!stored) return;
  // The stored file is outside our control: keep the first of equal ids and drop empty ones.
  taskList_.clear();
  for (auto& id : *stored) {
    if (!id.empty() && std::find(taskList_.begin(), taskList_.end(), id) == taskList_.end())
      taskList_.push_back(std::move(id));
  }
  ORSA_LOG_INFO(M, "Load tasks from local: %s", describe(taskList_));
}
