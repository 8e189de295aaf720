#include "download/TRDownloadDB.h"

#include <gtest/gtest.h>

#include <thread>

#include "download/TRDownloadItemPrivate.h"
#include "download/TRDownloadTask.h"
#include "orsa/TRDownloadItem.h"
#include "platform/AppContainer.h"
#include "platform/Digest.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;
using U = TRDownloadUtils;
using DB = TRDownloadDB;
using Defaults = orsa::platform::UserDefaults;
using orsa::platform::AppContainer;
using orsa::platform::Digest;
using Bytes = std::vector<uint8_t>;
using Items = std::vector<std::shared_ptr<TRDownloadItem>>;
constexpr const char* kKey = "TRDownloadVersionKey";
// Quotes, LIKE and printf wildcards, SQL, a NUL and non-ASCII text.
const std::string kHostile = "it's \"x\" 100%s _%_ '; DROP TABLE downloadItem;-- \0é漢😀"s;
const auto H = [](const std::string& field) { return field + kHostile; };
// The store's side of an item.
TRDownloadItemPrivate& fields(const std::shared_ptr<TRDownloadItem>& item) {
  return TRDownloadItemPrivate::of(*item);
}

class TRDownloadDBTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(home_.str()); }
  void TearDown() override { DB::close(); }
  static void reopen(const std::string& home) { DB::close(), AppContainer::setRoot(home); }
  static std::shared_ptr<TRDownloadItem> item(const std::string& fid, uint64_t status = 0) {
    auto it = TRDownloadItem::itemWithUrl(H("url"), fid);
    fields(it).setTaskId(TRDownloadTask::taskIdForUrl(H("url"), fid));
    fields(it).setUid(H("uid"));
    fields(it).setDownloadStatus(status);
    return it;
  }
  orsa::test::TempDir home_;
};

TEST(TRDownloadUtilsTest, DigestsSizeAndNumberTextsAndTaskIds) {
  EXPECT_EQ(U::md5ForString(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(U::md5ForString("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Digest::sha256Hex("") + Digest::sha256Hex("abc"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::pair<int64_t, const char*> sizes[] = {
      {512, "512B"}, {1023, "1023B"}, {1536, "1.5KB"}, {1048576, "1MB"}, {1073741824, "1GB"}};
  for (auto [b, text] : sizes) EXPECT_EQ(U::fileSizeStringFromBytes(b), text) << b;
  const std::pair<double, const char*> numbers[] = {
      {1.999, "2.0"}, {1.004, "1"}, {1.25, "1.25"}, {0.5, "0.5"}, {2.995, "3.0"}};
  for (auto [x, text] : numbers) EXPECT_EQ(U::numberStringFromDouble(x), text) << x;
  EXPECT_EQ(TRDownloadTask::taskIdForUrl("u", "f"), U::md5ForString("u-f"));
  EXPECT_EQ(TRDownloadTask::taskIdForUrl("u", ""), "7b774effe4a349c6dd82ad4f4f21d34c");
}

TEST_F(TRDownloadDBTest, HostileValuesSurviveSaveReopenUpdateAndDelete) {
  auto a = item(H("fid"), 2);
  for (auto f : {"fileType", "fileExtension", "rootPath"}) fields(a).setStoredValue(f, H(f));
  a->setExtraData({0, 0xff, '\'', 0});
  a->setEnableSpeed(true);
  auto t = TRDownloadTask::make(TRDownloadTask::taskIdForUrl(H("u"), ""), H("u"));
  const TRDBRow taskFields{{"tmpName", H("tmp")},
                           {"resumeData", Bytes{1, 0, 2}},
                           {"extraData", Bytes{'\'', 0}},
                           {"stid", int64_t{7}},
                           {"priority", 0.25},
                           {"fileSize", int64_t{1} << 40}};
  for (const auto& [k, v] : taskFields) t->setStoredValue(k, v);
  ASSERT_TRUE(DB::saveItem(a));
  ASSERT_TRUE(DB::saveTask(t));
  EXPECT_EQ(DB::itemWithTaskId(a->taskId()), a);  // the live objects
  EXPECT_EQ(DB::itemWithFid(H("fid"), H("uid")), a);
  EXPECT_EQ(DB::taskWithStid(7), std::vector{t});
  EXPECT_EQ(DB::itemWithFid("%", H("uid")), nullptr);
  reopen(home_.str());
  auto b = DB::itemWithFid(H("fid"), H("uid"));
  auto r = DB::taskWithUrl(H("u"));
  ASSERT_TRUE(b);
  EXPECT_NE(b, a);  // read back, not the forgotten live object
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0], t);
  for (const auto& f : DB::itemFields())
    EXPECT_EQ(fields(b).storedValue(f), fields(a).storedValue(f)) << f;
  for (const auto& f : DB::taskFields()) EXPECT_EQ(r[0]->storedValue(f), t->storedValue(f)) << f;
  fields(b).setDownloadStatus(5);
  b->setExtraData({});
  b->setFileType("");
  r[0]->setResumeData({});  // as after a successful resume
  r[0]->setDownloadedSize(99);
  ASSERT_TRUE(DB::saveItem(b));
  ASSERT_TRUE(DB::saveTask(r[0]));
  reopen(home_.str());
  auto c = DB::itemWithTaskId(a->taskId());
  auto u = DB::taskWithTid(t->taskId());
  ASSERT_TRUE(c);
  ASSERT_TRUE(u);
  EXPECT_EQ(c->downloadStatus(), 5u);
  EXPECT_TRUE(c->extraData().empty());
  EXPECT_TRUE(c->fileType().empty());
  EXPECT_TRUE(u->resumeData().empty());
  EXPECT_EQ(c->fileExtension(), H("fileExtension"));
  EXPECT_EQ(u->downloadedSize(), 99);
  EXPECT_EQ(u->extraData(), (Bytes{'\'', 0}));
  EXPECT_TRUE(DB::removeItemWithTaskId(c->taskId()));
  DB::removeTask(u);
  EXPECT_TRUE(DB::fetchAllDownloadTasks().empty());
  EXPECT_EQ(DB::itemWithTaskId(c->taskId()), nullptr);
  EXPECT_EQ(DB::taskWithTid(u->taskId()), nullptr);
}

TEST_F(TRDownloadDBTest, ZerosStayNullUnchangedSavesWriteNothingQueriesFilterAndOrder) {
  Items items;
  for (int i = 0; i < 4; ++i) {
    items.push_back(item(std::to_string(i), i == 2 ? 5 : 0));
    fields(items.back())
        .setStoredValue("createTime", int64_t{100 - i});  // saved against time order
    ASSERT_TRUE(DB::saveItem(items.back()));
  }
  auto row = DB::selectSql("select * from downloadItem where fileId == ?", {"0"s}).value().at(0);
  EXPECT_EQ(row.count("downloadStatus"), 0u);
  EXPECT_EQ(row.count("fileSize"), 0u);
  const uint64_t before = DB::executedStatements();
  ASSERT_TRUE(DB::saveItem(items[0]));
  EXPECT_EQ(DB::executedStatements() - before, 1u);  // the select only
  EXPECT_EQ(DB::fetchAllDownloadItemWithUid(H("uid")),
            (Items{items[3], items[2], items[1], items[0]}));
  EXPECT_EQ(DB::fetchAllDownloadingItemWithUid(H("uid")), (Items{items[3], items[1], items[0]}));
  EXPECT_EQ(DB::fetchAllDownloadedItemWithUid(H("uid")), Items{items[2]});
  EXPECT_EQ(DB::itemsWithUrl(H("url"), H("uid")), items);  // row order, the live objects
  DB::removeAllItemsWithUid(H("uid"));
  EXPECT_TRUE(DB::fetchAllDownloadItemWithUid(H("uid")).empty());
}

TEST_F(TRDownloadDBTest, ConcurrentSavesKeepEveryRow) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 25; ++i) {
        auto it = item(std::to_string(t * 100 + i));
        DB::saveItem(it);
        fields(it).setDownloadStatus(2);  // while other threads' saveAllData write it
        DB::saveAllData();
      }
    });
  threads.clear();
  reopen(home_.str());  // after what saveAllData queued
  auto all = DB::fetchAllDownloadingItemWithUid(H("uid"));
  EXPECT_EQ(all.size(), 100u);
  for (const auto& it : all) EXPECT_EQ(it->downloadStatus(), 2u);
}

// A store made before the item table had enableSpeed, whatever its version key says.
TEST_F(TRDownloadDBTest, OldItemTableGainsEnableSpeedAndTheStoreRunsInWal) {
  for (std::string version : {"", "2.0.1", "2.0.3"}) {
    const std::string home = (home_.path() / ("v" + version)).string();
    reopen(home);
    ASSERT_TRUE(
        DB::execSql("ALTER TABLE downloadItem DROP COLUMN enableSpeed; INSERT INTO "
                    "downloadItem(taskId, version, fileSize) VALUES('old', '2.0.1', 42)"));
    reopen(home);  // the key is set while the store is closed, as an older library left it
    auto defaults = Defaults::standardUserDefaults();
    version.empty() ? defaults->removeObjectForKey(kKey) : defaults->setString(version, kKey);
    defaults->synchronize();  // nothing left to write into the home after it is removed
    auto old = DB::itemWithTaskId("old");
    ASSERT_TRUE(old) << version;
    EXPECT_EQ(old->fileSize(), 42);
    old->setEnableSpeed(true);
    ASSERT_TRUE(DB::saveItem(old)) << version;
    reopen(home);
    EXPECT_TRUE(DB::itemWithTaskId("old")->enableSpeed());
    EXPECT_EQ(Defaults::standardUserDefaults()->stringForKey(kKey), "2.0.3");
    EXPECT_EQ(U::textOf(DB::selectSql("PRAGMA journal_mode")->at(0).at("journal_mode")), "wal");
  }
}

}  // namespace
