#include "net/DHTaskManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/AppContainer.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using Ids = std::vector<std::string>;

// What reached storage, read through a store of its own rather than the process's cached one.
Ids stored() {
  orsa::platform::UserDefaults fresh(orsa::platform::UserDefaults::pathForName("orsa.defaults"));
  return fresh.stringArrayForKey(DHTaskManager::kTaskListKey).value_or(Ids{"<none>"});
}

ORSA_TEST_CHILD(PrintStoredTasks) {
  std::printf("%s", nlohmann::json(DHTaskManager::sharedInstance().getAllTasks()).dump().c_str());
  return 0;
}

class DHTaskManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    orsa::platform::AppContainer::setRoot(home_.str());
    tasks_.clearAllTasks();
  }
  orsa::test::TempDir home_;
  DHTaskManager& tasks_ = DHTaskManager::sharedInstance();
};

TEST_F(DHTaskManagerTest, ListSurvivesARestartWithoutDuplicates) {
  for (const char* id : {"t1", "t2", "t1", "", "t3", "t2"}) tasks_.addTask(id);
  tasks_.removeTask("t2");
  EXPECT_EQ(tasks_.getAllTasks(), (Ids{"t1", "t3"}));
  const auto r = orsa::test::runChild("PrintStoredTasks", {"ORSA_HOME=" + home_.str()}, 30);
  EXPECT_EQ(r.out, R"(["t1","t3"])") << r.exitCode << r.err;
}

TEST_F(DHTaskManagerTest, RemovingAnUnknownIdRewritesTheStoredList) {
  tasks_.addTask("kept");
  auto defaults = orsa::platform::UserDefaults::standardUserDefaults();
  defaults->setStringArray({"stale", "kept"}, DHTaskManager::kTaskListKey);
  defaults->synchronize();
  const std::string console = orsa::test::consoleOf([&] { tasks_.removeTask("unknown"); });
  EXPECT_EQ(stored(), Ids{"kept"});
  EXPECT_NE(console.find("[DHTaskManager] Task removed: unknown"), std::string::npos) << console;
  // A hand-edited store with repeats loads as a list without them.
  defaults->setStringArray({"a", "b", "a", ""}, DHTaskManager::kTaskListKey);
  tasks_.loadTasksFromLocal();
  EXPECT_EQ(tasks_.getAllTasks(), (Ids{"a", "b"}));
  tasks_.clearAllTasks();  // written now, not later into a home that is gone
}

TEST_F(DHTaskManagerTest, ConcurrentChangesLoseNothing) {
  std::vector<std::thread> threads;
  Ids expected;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 10; ++i) expected.push_back("k" + std::to_string(t) + std::to_string(i));
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        tasks_.addTask("k" + std::to_string(t) + std::to_string(i));
        tasks_.addTask("gone" + std::to_string(i));
        tasks_.removeTask("gone" + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (Ids ids : {tasks_.getAllTasks(), stored()}) {
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, expected);
  }
}

}  // namespace
