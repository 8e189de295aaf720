#include "orsa/TRDownloadItem.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "download/TRDownloadDB.h"
#include "download/TRDownloadItemPrivate.h"
#include "download/TRDownloadTask.h"
#include "platform/AppContainer.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using DB = TRDownloadDB;
using orsa::platform::AppContainer;
using Item = std::shared_ptr<TRDownloadItem>;

// The manager's and the transfers' side of an item.
TRDownloadItemPrivate& inner(const Item& item) {
  return TRDownloadItemPrivate::of(*item);
}

// Everything the delegate hears, in order, as text.
struct Recorder : TRDownloadItemDelegate {
  std::vector<std::string> events;
  void downloadItemStatusChanged(const Item& item) override {
    events.push_back("status " + std::to_string(item->downloadStatus()));
  }
  void downloadItem(const Item&, int64_t done, int64_t total) override {
    events.push_back("progress " + std::to_string(done) + "/" + std::to_string(total));
  }
  void downloadItem(const Item&, uint64_t speed, const std::string& text) override {
    events.push_back("speed " + std::to_string(speed) + " " + text);
  }
};

class TRDownloadItemTest : public ::testing::Test {
 protected:
  void SetUp() override { DB::close(), AppContainer::setRoot(home_.str()); }
  void TearDown() override { DB::close(); }
  Item make(const std::string& fileId, const std::string& taskId, uint64_t status = 0) {
    auto item = TRDownloadItem::itemWithUrl("http://h/a.bin", fileId);
    inner(item).setTaskId(taskId), inner(item).setUid("u"), inner(item).setDownloadStatus(status);
    item->setDelegate(recorder_);
    return item;
  }
  orsa::test::TempDir home_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
};

TEST_F(TRDownloadItemTest, SavePathRules) {
  const std::string home = AppContainer::home(), caches = AppContainer::cachesDirectory();
  struct Case {
    std::string fileId, type, ext, root, want;
  } cases[] = {
      {"f", "", "", "", caches + "/TRDownload/u/data/f.data"},
      {"", "video", "mp4", "", caches + "/TRDownload/u/video/tid.mp4"},
      {"f", "doc", "", home + "/dl", home + "/dl/u/doc/f.data"},
      // Every copy of the home path goes, so the root stays inside the home.
      {"f", "", "x", home + "/a" + home + "/b", home + "/a/b/u/data/f.x"},
  };
  for (const auto& c : cases) {
    auto item = make(c.fileId, "tid");
    item->setFileType(c.type), item->setFileExtension(c.ext), item->setSaveRootPath(c.root);
    EXPECT_EQ(item->savePath(), c.want) << c.root;
    EXPECT_TRUE(fs::is_directory(fs::path(c.want).parent_path())) << c.want;
  }
}

TEST_F(TRDownloadItemTest, FirstProgressOfAWaitingItemMakesItDownloadingFirst) {
  for (uint64_t status : {1, 3}) {
    recorder_->events.clear();
    auto item = make("f", "tid", status);
    auto handler = inner(item).progressHandler();
    handler(TRProgress{-1, 10}, nullptr);
    handler(TRProgress{100, 30}, nullptr);
    std::vector<std::string> want{"progress 10/0", "progress 30/100"};
    if (status == 1) want.insert(want.begin(), "status 2");
    EXPECT_EQ(recorder_->events, want) << status;
    EXPECT_EQ(item->downloadedSize(), 30);
    EXPECT_EQ(item->fileSize(), 100);  // the first known total
    item.reset();
    handler(TRProgress{100, 50}, nullptr);  // bound weakly: nothing left to report to
    EXPECT_EQ(recorder_->events.size(), want.size());
  }
}

TEST_F(TRDownloadItemTest, CompletionMovesReplacesOrFailsSavesAndAnnounces) {
  std::vector<Item> announced;
  auto& center = orsa::platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver("kDownloadTaskFinishedNoti", nullptr, [&](const auto& note) {
    announced.push_back(std::any_cast<Item>(note.object));
  });
  struct Case {
    bool fileArrives;
    std::optional<orsa::platform::Error> error;
    uint64_t status;
  } const cases[] = {{true, std::nullopt, 5}, {false, std::nullopt, 4}, {true, {{"d", 7, "x"}}, 4}};
  int n = 0;
  for (const auto& c : cases) {
    auto item = make("f" + std::to_string(n), "t" + std::to_string(n));
    const std::string tmp = home_.str() + "/tmp" + std::to_string(n++);
    orsa::test::writeFile(item->savePath(), "an older and longer file");
    if (c.fileArrives) orsa::test::writeFile(tmp, "new");
    inner(item).completionHandler()(tmp, c.error);
    EXPECT_EQ(item->downloadStatus(), c.status);
    ASSERT_EQ(announced.size(), size_t(n));
    EXPECT_EQ(announced.back(), item);
    const bool moved = c.fileArrives && !c.error;
    // The new file replaces the old one in one rename: a failed transfer or move leaves it.
    EXPECT_EQ(orsa::test::readFile(item->savePath()), moved ? "new" : "an older and longer file");
    EXPECT_EQ(item->fileSize(), moved ? 3 : 0);
    EXPECT_EQ(item->downloadedSize(), item->fileSize());
    EXPECT_EQ(fs::exists(tmp), c.fileArrives && !moved);
    DB::close();  // the saved row, read back by a fresh store
    auto stored = DB::itemWithFid(item->fileId(), "u");
    ASSERT_TRUE(stored);
    EXPECT_NE(stored, item);
    EXPECT_EQ(stored->downloadStatus(), c.status);
    EXPECT_EQ(stored->fileSize(), item->fileSize());
  }
  center.removeObserver(token);
}

TEST_F(TRDownloadItemTest, SpeedTicksWhileDownloadingAndStopsAfter) {
  auto item = make("f", "tid");
  item->setEnableSpeed(true), inner(item).setDownloadStatus(2);  // the first tick comes at once
  inner(item).downloadProgress(nullptr, 1536, 4096);
  inner(item).speedTimerRun(), inner(item).speedTimerRun();
  EXPECT_EQ(recorder_->events,
            (std::vector<std::string>{"status 2", "speed 0 0KB/s", "progress 1536/4096",
                                      "speed 1536 1.5KB/s", "speed 0 0KB/s"}));
  inner(item).downloadProgress(nullptr, 4096, 4096);
  ASSERT_TRUE(orsa::platform::MainLoop::runUntil([&] { return recorder_->events.size() == 7; },
                                                 std::chrono::milliseconds(3000)));
  EXPECT_EQ(recorder_->events.back(), "speed 2560 2.5KB/s");  // the ticker's own second
  inner(item).setDownloadStatus(3);
  EXPECT_EQ(recorder_->events.back(), "speed 0 0KB/s");
  // Turned on for an item already downloading, the ticker starts at once; turned off, it stops.
  auto other = make("g", "tid2", 2);
  other->setEnableSpeed(true);
  EXPECT_EQ(recorder_->events.size(), 10u);
  EXPECT_EQ(recorder_->events.back(), "speed 0 0KB/s");
  other->setEnableSpeed(false);
  orsa::platform::MainLoop::runFor(std::chrono::milliseconds(1300));
  EXPECT_EQ(recorder_->events.size(), 10u);  // both stopped
}

}  // namespace
