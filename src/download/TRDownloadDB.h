#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/TRDownloadUtils.h"

struct sqlite3_stmt;
class TRDownloadItem;
class TRDownloadTask;

// The download store: items and tasks in one SQLite file ("TRDownload/TRDownload.db" under the
// documents directory), every statement on the serial queue "TRDownloadDB_Queue", and one live
// object per task id for each kind, so every download class works on the same object.
//
// Opens itself on first use. Values are always bound, never written into statement text.
// Nothing throws: failures are logged on the console and answered as false, none or empty.
//
// Synchronous operations may be called from anywhere, the store's own queue included (they
// then run inline). The low-level statement functions run on the queue too.
class TRDownloadDB {
 public:
  // Kinds of stored values (getTypeWithValue).
  enum Kind : int { kOther = 0, kText = 1, kNumber = 2, kBytes = 3 };

  // Writes nothing back; finishes what is queued, then closes the file and forgets the live
  // objects. The next use opens the store again under the container's current home (a host
  // that moves its container, a test that reopens the file).
  static void close();

  // ---- low level ----
  // Runs block on the queue. Synchronous: waits and answers the block's result; asynchronous:
  // answers true at once.
  static bool performBlock(std::function<bool()> block, bool sync);
  // A statement script without values (sqlite3_exec).
  static bool execSql(const std::string& sql);
  // One statement with its "?" values bound, stepped to its end.
  static bool execSql(const std::string& sql, const std::vector<TRDBValue>& binds);
  // All rows of one statement; none when it does not prepare.
  static std::optional<std::vector<TRDBRow>> selectSql(const std::string& sql,
                                                       const std::vector<TRDBValue>& binds = {});
  // Hands the prepared, bound statement to results; false when it does not prepare.
  static bool selectSql(const std::string& sql, const std::vector<TRDBValue>& binds,
                        const std::function<void(sqlite3_stmt*)>& results);
  // Whole statements between BEGIN and COMMIT; one that does not finish is skipped.
  static bool execTransactionSql(const std::vector<std::string>& sqls);
  static int getTypeWithValue(const TRDBValue& value);
  static TRDBValue objectWithStmt(sqlite3_stmt* stmt, int idx);
  // Statements stepped since the process started (benchmarks, diagnostics).
  static uint64_t executedStatements();

  // ---- items ----
  static std::vector<std::shared_ptr<TRDownloadItem>> fetchAllDownloadItemWithUid(
      const std::string& uid);
  static std::vector<std::shared_ptr<TRDownloadItem>> fetchAllDownloadedItemWithUid(
      const std::string& uid);
  static std::vector<std::shared_ptr<TRDownloadItem>> fetchAllDownloadingItemWithUid(
      const std::string& uid);
  static std::shared_ptr<TRDownloadItem> itemWithTaskId(const std::string& taskId);
  static std::vector<std::shared_ptr<TRDownloadItem>> itemsWithUrl(const std::string& url,
                                                                   const std::string& uid);
  static std::shared_ptr<TRDownloadItem> itemWithFid(const std::string& fileId,
                                                     const std::string& uid);
  // Asynchronous; on success every live item is forgotten, whatever its uid.
  static bool removeAllItemsWithUid(const std::string& uid);
  static bool removeItemWithTaskId(const std::string& taskId);
  static bool saveItem(const std::shared_ptr<TRDownloadItem>& item);
  static bool updateItemExtraData(const std::shared_ptr<TRDownloadItem>& item);

  // ---- tasks ----
  static std::shared_ptr<TRDownloadTask> taskWithTid(const std::string& taskId);
  static std::vector<std::shared_ptr<TRDownloadTask>> taskWithUrl(const std::string& url);
  static std::vector<std::shared_ptr<TRDownloadTask>> taskWithStid(int64_t stid);
  static std::vector<std::shared_ptr<TRDownloadTask>> fetchAllDownloadTasks();
  static bool removeAllTasks();                                         // asynchronous
  static bool removeTask(const std::shared_ptr<TRDownloadTask>& task);  // asynchronous
  static bool saveTask(const std::shared_ptr<TRDownloadTask>& task);
  // Writes bytes (none: NULL) into the task's blob column "resumeData" or "extraData".
  static bool updateTaskDataWithTid(const std::string& taskId, const std::vector<uint8_t>& data,
                                    const std::string& dataKey);
  // Writes every live task, then every live item, back (asynchronous).
  static void saveAllData();

  // ---- rows and objects ----
  // The live object for the row's task id, else a new one made live; none without a task id
  // or when the live object's own task id no longer matches (the entry is dropped).
  static std::shared_ptr<TRDownloadItem> itemWithDict(const TRDBRow& row);
  static std::shared_ptr<TRDownloadTask> taskWithDict(const TRDBRow& row);
  // Stored fields in the order generated statements name them.
  static const std::vector<std::string>& itemFields();
  static const std::vector<std::string>& taskFields();

  // The generic field walk: for each field that differs from the old row (or, without one,
  // from nothing), block gets (kind, name, current value, index). An absent current value
  // takes the old value's kind, so a cleared field is written as NULL.
  using FieldBlock =
      std::function<void(int kind, const std::string& name, const TRDBValue& value, size_t idx)>;
  static void getSqlWithKeys(const std::vector<std::string>& keys,
                             const std::function<TRDBValue(std::string_view)>& valueOf,
                             const TRDBRow* oldItem, const FieldBlock& enumerateBlock);

  // The savers; they must run on the store's queue (saveItem and saveTask put them there).
  static bool saveDownloadItem(const std::shared_ptr<TRDownloadItem>& item);
  static bool saveDownloadTask(const std::shared_ptr<TRDownloadTask>& task);
};
