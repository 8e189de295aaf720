#include "download/TRDownloadDB.h"

#include <fmt/format.h>
#include <fmt/printf.h>
#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <unordered_map>

#include "download/TRDownloadItemPrivate.h"
#include "download/TRDownloadTask.h"
#include "orsa/TRDownloadItem.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"

using U = TRDownloadUtils;

namespace {

// What the store reads and writes of an object: a task keeps its stored fields itself, an item
// in its private part.
TRDownloadTask& fieldsOf(TRDownloadTask& task) {
  return task;
}
TRDownloadItemPrivate& fieldsOf(const TRDownloadItem& item) {
  return TRDownloadItemPrivate::of(item);
}

constexpr const char* kVersionKey = "TRDownloadVersionKey";
constexpr uint64_t kStatusFinished = 5;
// Statements are kept prepared by their text; updates name only the changed columns, so the
// variety is small, but a bound keeps a pathological caller from growing the cache for ever.
constexpr size_t kStatementCacheSize = 64;

const std::string kSchema =
    "CREATE TABLE IF NOT EXISTS downloadItem (pid integer PRIMARY KEY AUTOINCREMENT,taskId text "
    "not null unique,fileId text, downloadURL text,uid text,fileType text,fileExtension "
    "text,rootPath text,fileSize integer,downloadedSize integer,downloadStatus integer,extraData "
    "BLOB, version text not null, createTime integer);"
    " \n"
    "CREATE TABLE IF NOT EXISTS downloadTask (pid integer PRIMARY KEY AUTOINCREMENT,taskId text "
    "not null unique, downloadURL text, stid integer, priority float, enableSpeed integer, "
    "fileSize INTEGER, downloadedSize INTEGER, version text not null, tmpName text, resumeData "
    "BLOB, extraData BLOB, createTime integer);";

// Every lookup of the store names these columns; without indexes each one scans the table, and
// reading a list of thousands of items one by one takes quadratic time.
const std::string kIndexes =
    "CREATE INDEX IF NOT EXISTS downloadItem_uid ON downloadItem(uid, createTime);"
    "CREATE INDEX IF NOT EXISTS downloadItem_fileId ON downloadItem(fileId, uid);"
    "CREATE INDEX IF NOT EXISTS downloadItem_url ON downloadItem(downloadURL, uid);"
    "CREATE INDEX IF NOT EXISTS downloadTask_stid ON downloadTask(stid);"
    "CREATE INDEX IF NOT EXISTS downloadTask_url ON downloadTask(downloadURL);";

std::atomic<uint64_t> gStatements{0};

void say(const std::string& line) {
  orsa::platform::consoleWrite(line);
}

// Dotted versions compared as numbers part by part ("2.0.10" > "2.0.9"); an absent version is
// smaller than any other.
int compareVersions(std::string_view a, const std::optional<std::string>& other) {
  if (!other) return 1;
  std::string_view b = *other;
  size_t i = 0, j = 0;
  auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      while (i < a.size() - 1 && a[i] == '0' && isDigit(a[i + 1])) ++i;
      while (j < b.size() - 1 && b[j] == '0' && isDigit(b[j + 1])) ++j;
      size_t ie = i, je = j;
      while (ie < a.size() && isDigit(a[ie])) ++ie;
      while (je < b.size() && isDigit(b[je])) ++je;
      std::string_view na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      if (na.size() != nb.size()) return na.size() < nb.size() ? -1 : 1;
      if (int c = na.compare(nb); c != 0) return c < 0 ? -1 : 1;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
      ++i;
      ++j;
    }
  }
  return (i < a.size()) - (j < b.size());
}

bool sameNumber(const TRDBValue& a, const TRDBValue& b) {
  if (std::holds_alternative<int64_t>(a) && std::holds_alternative<int64_t>(b))
    return std::get<int64_t>(a) == std::get<int64_t>(b);
  return U::doubleOf(a) == U::doubleOf(b);
}

// The field walk's "unchanged" rule; old is null on insert.
bool unchanged(const TRDBValue& cur, const TRDBValue* old) {
  const bool oldAbsent = !old || std::holds_alternative<std::monostate>(*old);
  switch (TRDownloadDB::getTypeWithValue(cur)) {
    case TRDownloadDB::kText:
      return !oldAbsent && std::holds_alternative<std::string>(*old) && *old == cur;
    case TRDownloadDB::kNumber:
      if (oldAbsent) return sameNumber(cur, TRDBValue{int64_t{0}});
      return TRDownloadDB::getTypeWithValue(*old) == TRDownloadDB::kNumber && sameNumber(cur, *old);
    case TRDownloadDB::kBytes:
      return !oldAbsent && *old == cur;
    default:
      return oldAbsent;
  }
}

void bindAll(sqlite3_stmt* st, const std::vector<TRDBValue>& binds) {
  for (size_t n = 0; n < binds.size(); ++n) {
    const int i = static_cast<int>(n) + 1;
    const TRDBValue& v = binds[n];
    // The values outlive the step: the statement's bindings are cleared before they go.
    if (auto* s = std::get_if<std::string>(&v))
      sqlite3_bind_text64(st, i, s->data(), s->size(), SQLITE_STATIC, SQLITE_UTF8);
    else if (auto* x = std::get_if<int64_t>(&v))
      sqlite3_bind_int64(st, i, *x);
    else if (auto* d = std::get_if<double>(&v))
      sqlite3_bind_double(st, i, *d);
    else if (auto* b = std::get_if<std::vector<uint8_t>>(&v); b && !b->empty())
      sqlite3_bind_blob64(st, i, b->data(), b->size(), SQLITE_STATIC);
    else
      sqlite3_bind_null(st, i);
  }
}

// One open connection with its queue, its prepared statements and the live objects.
struct Store {
  std::shared_ptr<orsa::platform::DispatchQueue> queue;
  sqlite3* db = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> statements;  // queue only
  std::mutex mapMutex;                                        // the maps are read off the queue
  std::unordered_map<std::string, std::shared_ptr<TRDownloadTask>> tasks;
  std::unordered_map<std::string, std::shared_ptr<TRDownloadItem>> items;

  ~Store() { shutdown(); }

  void shutdown() {
    for (auto& [sql, st] : statements) sqlite3_finalize(st);
    statements.clear();
    if (db) sqlite3_close(db);
    db = nullptr;
    std::lock_guard lock(mapMutex);
    tasks.clear();
    items.clear();
  }

  std::string errorText() const { return db ? sqlite3_errmsg(db) : "database is not open"; }

  sqlite3_stmt* take(const std::string& sql) {
    // Taken out while in use, so a statement that runs inside another's results gets its own.
    if (auto it = statements.find(sql); it != statements.end()) {
      sqlite3_stmt* st = it->second;
      statements.erase(it);
      return st;
    }
    sqlite3_stmt* st = nullptr;
    if (!db || sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) !=
                   SQLITE_OK) {
      sqlite3_finalize(st);
      return nullptr;
    }
    return st;
  }

  void giveBack(const std::string& sql, sqlite3_stmt* st) {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (statements.size() < kStatementCacheSize && statements.emplace(sql, st).second) return;
    sqlite3_finalize(st);
  }

  bool exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = db ? sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) : SQLITE_MISUSE;
    ++gStatements;
    if (rc != SQLITE_OK) say(fmt::sprintf("[execSql error] %s", message ? message : errorText()));
    sqlite3_free(message);
    return rc == SQLITE_OK;
  }

  bool run(const std::string& sql, const std::vector<TRDBValue>& binds) {
    sqlite3_stmt* st = take(sql);
    if (!st) {
      say(fmt::sprintf("[execSql error] %s", errorText()));
      return false;
    }
    bindAll(st, binds);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    }
    ++gStatements;
    if (rc != SQLITE_DONE) say(fmt::sprintf("[execSql error] %s", errorText()));
    giveBack(sql, st);
    return rc == SQLITE_DONE;
  }

  bool query(const std::string& sql, const std::vector<TRDBValue>& binds,
             const std::function<void(sqlite3_stmt*)>& results) {
    sqlite3_stmt* st = take(sql);
    if (!st) return false;
    bindAll(st, binds);
    results(st);
    ++gStatements;
    giveBack(sql, st);
    return true;
  }

  std::optional<std::vector<TRDBRow>> select(const std::string& sql,
                                             const std::vector<TRDBValue>& binds) {
    std::vector<TRDBRow> rows;
    const bool prepared = query(sql, binds, [&rows](sqlite3_stmt* st) {
      const int n = sqlite3_column_count(st);
      std::vector<std::string> names;
      for (int i = 0; i < n; ++i) names.emplace_back(sqlite3_column_name(st, i));
      while (sqlite3_step(st) == SQLITE_ROW) {
        TRDBRow& row = rows.emplace_back();
        for (int i = 0; i < n; ++i) {
          TRDBValue v = TRDownloadDB::objectWithStmt(st, i);
          if (!std::holds_alternative<std::monostate>(v)) row.emplace(names[i], std::move(v));
        }
      }
    });
    if (!prepared) return std::nullopt;
    return rows;
  }

  bool hasColumn(const std::string& table, const std::string& column) {
    auto rows = select("PRAGMA table_info(" + table + ")", {});
    if (!rows) return false;
    for (const auto& row : *rows)
      if (auto it = row.find("name"); it != row.end() && U::textOf(it->second) == column)
        return true;
    return false;
  }

  void open() {
    const std::string dir = orsa::platform::AppContainer::documentsDirectory() + "/TRDownload";
    U::createPathIfNotExist(dir);
    if (sqlite3_open((dir + "/TRDownload.db").c_str(), &db) != SQLITE_OK) {
      say("[db error]");
      sqlite3_close(db);
      db = nullptr;
      return;
    }
    // Another process (a second tool run) may hold the write lock for a moment.
    sqlite3_busy_timeout(db, 5000);
    // WAL with NORMAL keeps the file consistent across crashes without a sync per statement.
    exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    if (exec(kSchema)) say("[init db success]");
    exec(kIndexes);

    auto defaults = orsa::platform::UserDefaults::standardUserDefaults();
    const auto stored = defaults->stringForKey(kVersionKey);
    if (compareVersions(kTRDownloaderVersion, stored) > 0) {
      defaults->setString(kTRDownloaderVersion, kVersionKey);
      defaults->synchronize();
    }
    // The version key and the database live in different files and either can be lost alone,
    // so a store older than the column is recognised by the column itself.
    if (!hasColumn("downloadItem", "enableSpeed") &&
        exec("ALTER table downloadItem add enableSpeed integer;"))
      say("[compatible db success]");
  }

  template <typename Object>
  bool insertRecord(const char* table, const std::vector<std::string>& fields, const Object& obj) {
    std::string columns, values;
    std::vector<TRDBValue> binds;
    TRDownloadDB::getSqlWithKeys(
        fields, [&obj](std::string_view f) { return fieldsOf(*obj).storedValue(f); }, nullptr,
        [&](int kind, const std::string& name, const TRDBValue& value, size_t) {
          if (kind == TRDownloadDB::kOther) return;
          const char* sep = binds.empty() ? "" : ", ";
          columns += sep + name;
          values += sep + std::string("?");
          binds.push_back(value);
        });
    if (!run(fmt::format("insert into {}({}) VALUES({})", table, columns, values), binds))
      return false;
    // The row id orders records made within the same second.
    fieldsOf(*obj).setPid(sqlite3_last_insert_rowid(db));
    return true;
  }

  template <typename Object>
  bool updateRecord(const char* table, const std::vector<std::string>& fields, const Object& obj,
                    const TRDBRow& old, const std::string& taskId) {
    std::string sets;
    std::vector<TRDBValue> binds;
    TRDownloadDB::getSqlWithKeys(
        fields, [&obj](std::string_view f) { return fieldsOf(*obj).storedValue(f); }, &old,
        [&](int kind, const std::string& name, const TRDBValue& value, size_t) {
          if (kind == TRDownloadDB::kBytes && name != "extraData" && name != "resumeData") {
            say(fmt::sprintf("[Warn] new data key for task : %s", name));
            return;
          }
          sets += (sets.empty() ? "" : ", ") + name;
          if (kind == TRDownloadDB::kOther) {
            sets += "=null";
          } else {
            sets += "=?";
            binds.push_back(value);
          }
        });
    if (sets.empty()) return true;
    binds.emplace_back(taskId);
    return run(fmt::format("update {} set {} where taskId == ?", table, sets), binds);
  }

  bool saveItem(const std::shared_ptr<TRDownloadItem>& item) {
    const std::string tid = item->taskId();
    auto rows = select("select * from downloadItem WHERE taskId == ?", {tid});
    if (rows && !rows->empty())
      return updateRecord("downloadItem", TRDownloadDB::itemFields(), item, rows->front(), tid);
    {
      std::lock_guard lock(mapMutex);
      items[tid] = item;
    }
    return insertRecord("downloadItem", TRDownloadDB::itemFields(), item);
  }

  bool saveTask(const std::shared_ptr<TRDownloadTask>& task) {
    const std::string tid = task->taskId();
    auto rows = select("select * from downloadTask WHERE taskId == ?", {tid});
    if (rows && !rows->empty())
      return updateRecord("downloadTask", TRDownloadDB::taskFields(), task, rows->front(), tid);
    {
      std::lock_guard lock(mapMutex);
      tasks[tid] = task;
    }
    return insertRecord("downloadTask", TRDownloadDB::taskFields(), task);
  }
};

std::mutex gStoreMutex;
std::shared_ptr<Store> gStore;

std::shared_ptr<Store> store() {
  std::lock_guard lock(gStoreMutex);
  if (!gStore) {
    auto s = std::make_shared<Store>();
    s->queue = orsa::platform::makeSerialQueue("TRDownloadDB_Queue");
    s->queue->sync([&s] { s->open(); });
    gStore = std::move(s);
  }
  return gStore;
}

// Runs f(store) on the store's queue and answers its result.
template <typename F>
auto onQueue(F&& f) {
  auto s = store();
  decltype(f(*s)) result{};
  s->queue->sync([&] { result = f(*s); });
  return result;
}

template <typename Object>
std::shared_ptr<Object> liveObject(Store& s,
                                   std::unordered_map<std::string, std::shared_ptr<Object>>& map,
                                   const TRDBRow& row,
                                   std::shared_ptr<Object> (*make)(const TRDBRow&)) {
  auto it = row.find("taskId");
  const std::string tid = it == row.end() ? std::string() : U::textOf(it->second);
  if (tid.empty()) return nullptr;
  std::lock_guard lock(s.mapMutex);
  if (auto found = map.find(tid); found != map.end()) {
    if (found->second->taskId() == tid) return found->second;
    map.erase(found);
    return nullptr;
  }
  auto object = make(row);
  if (object) map.emplace(tid, object);
  return object;
}

std::vector<std::shared_ptr<TRDownloadItem>> itemsOf(Store& s, const std::string& sql,
                                                     const std::vector<TRDBValue>& binds) {
  std::vector<std::shared_ptr<TRDownloadItem>> out;
  for (const auto& row : s.select(sql, binds).value_or(std::vector<TRDBRow>{}))
    if (auto item = liveObject(s, s.items, row, &TRDownloadItemPrivate::itemWithDict))
      out.push_back(item);
  return out;
}

std::vector<std::shared_ptr<TRDownloadTask>> tasksOf(Store& s, const std::string& sql,
                                                     const std::vector<TRDBValue>& binds) {
  std::vector<std::shared_ptr<TRDownloadTask>> out;
  for (const auto& row : s.select(sql, binds).value_or(std::vector<TRDBRow>{}))
    if (auto task = liveObject(s, s.tasks, row, &TRDownloadTask::taskWithDict)) out.push_back(task);
  return out;
}

}  // namespace

void TRDownloadDB::close() {
  std::shared_ptr<Store> s;
  {
    std::lock_guard lock(gStoreMutex);
    s = std::move(gStore);
  }
  if (s) s->queue->sync([&s] { s->shutdown(); });
}

bool TRDownloadDB::performBlock(std::function<bool()> block, bool sync) {
  auto s = store();
  if (!sync) {
    s->queue->async([s, block = std::move(block)] { block(); });
    return true;
  }
  bool result = false;
  s->queue->sync([&] { result = block(); });
  return result;
}

bool TRDownloadDB::execSql(const std::string& sql) {
  return onQueue([&](Store& s) { return s.exec(sql); });
}

bool TRDownloadDB::execSql(const std::string& sql, const std::vector<TRDBValue>& binds) {
  return onQueue([&](Store& s) { return s.run(sql, binds); });
}

std::optional<std::vector<TRDBRow>> TRDownloadDB::selectSql(const std::string& sql,
                                                            const std::vector<TRDBValue>& binds) {
  return onQueue([&](Store& s) { return s.select(sql, binds); });
}

bool TRDownloadDB::selectSql(const std::string& sql, const std::vector<TRDBValue>& binds,
                             const std::function<void(sqlite3_stmt*)>& results) {
  return onQueue([&](Store& s) { return s.query(sql, binds, results); });
}

bool TRDownloadDB::execTransactionSql(const std::vector<std::string>& sqls) {
  return onQueue([&](Store& s) {
    if (!s.exec("BEGIN")) return false;
    say("启动事务成功");
    for (const auto& sql : sqls) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(s.db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
        }
      sqlite3_finalize(st);
      ++gStatements;
    }
    if (s.exec("COMMIT")) {
      say("提交事务成功");
      return true;
    }
    if (s.exec("ROLLBACK")) say("回滚事务成功");
    return false;
  });
}

int TRDownloadDB::getTypeWithValue(const TRDBValue& value) {
  if (std::holds_alternative<std::string>(value)) return kText;
  if (std::holds_alternative<int64_t>(value) || std::holds_alternative<double>(value))
    return kNumber;
  if (std::holds_alternative<std::vector<uint8_t>>(value)) return kBytes;
  return kOther;
}

TRDBValue TRDownloadDB::objectWithStmt(sqlite3_stmt* st, int idx) {
  switch (sqlite3_column_type(st, idx)) {
    case SQLITE_INTEGER:
      return static_cast<int64_t>(sqlite3_column_int64(st, idx));
    case SQLITE_FLOAT:
      return sqlite3_column_double(st, idx);
    case SQLITE_BLOB: {
      auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, idx));
      return std::vector<uint8_t>(p, p + sqlite3_column_bytes(st, idx));
    }
    case SQLITE_NULL:
      return {};
    default: {
      auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, idx));
      return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st, idx))) : std::string();
    }
  }
}

uint64_t TRDownloadDB::executedStatements() {
  return gStatements.load();
}

// ---- items ----

std::vector<std::shared_ptr<TRDownloadItem>> TRDownloadDB::fetchAllDownloadItemWithUid(
    const std::string& uid) {
  return onQueue([&](Store& s) {
    return itemsOf(s, "select * from downloadItem where uid IS ? ORDER BY createTime",
                   {U::valueOf(uid)});
  });
}

std::vector<std::shared_ptr<TRDownloadItem>> TRDownloadDB::fetchAllDownloadedItemWithUid(
    const std::string& uid) {
  return onQueue([&](Store& s) {
    return itemsOf(s,
                   "select * from downloadItem where downloadStatus == ? and uid IS ? ORDER BY "
                   "createTime",
                   {int64_t{kStatusFinished}, U::valueOf(uid)});
  });
}

std::vector<std::shared_ptr<TRDownloadItem>> TRDownloadDB::fetchAllDownloadingItemWithUid(
    const std::string& uid) {
  return onQueue([&](Store& s) {
    return itemsOf(s,
                   "select * from downloadItem where downloadStatus IS NOT ? and uid IS ? ORDER "
                   "BY createTime",
                   {int64_t{kStatusFinished}, U::valueOf(uid)});
  });
}

std::shared_ptr<TRDownloadItem> TRDownloadDB::itemWithTaskId(const std::string& taskId) {
  if (taskId.empty()) return nullptr;
  auto s = store();
  {
    std::lock_guard lock(s->mapMutex);
    if (auto it = s->items.find(taskId); it != s->items.end()) return it->second;
  }
  auto items = onQueue([&](Store& st) {
    return itemsOf(st, "select * from downloadItem where taskId == ?", {taskId});
  });
  return items.empty() ? nullptr : items.front();
}

std::vector<std::shared_ptr<TRDownloadItem>> TRDownloadDB::itemsWithUrl(const std::string& url,
                                                                        const std::string& uid) {
  return onQueue([&](Store& s) {
    return itemsOf(s, "select * from downloadItem where downloadURL IS ? and uid IS ?",
                   {U::valueOf(url), U::valueOf(uid)});
  });
}

std::shared_ptr<TRDownloadItem> TRDownloadDB::itemWithFid(const std::string& fileId,
                                                          const std::string& uid) {
  auto items = onQueue([&](Store& s) {
    return itemsOf(s, "select * from downloadItem where fileId IS ? and uid IS ?",
                   {U::valueOf(fileId), U::valueOf(uid)});
  });
  return items.empty() ? nullptr : items.front();
}

bool TRDownloadDB::removeAllItemsWithUid(const std::string& uid) {
  auto s = store();
  return performBlock(
      [s, uid] {
        if (!s->run("delete from downloadItem where uid IS ?", {U::valueOf(uid)})) return false;
        std::lock_guard lock(s->mapMutex);
        s->items.clear();
        return true;
      },
      false);
}

bool TRDownloadDB::removeItemWithTaskId(const std::string& taskId) {
  if (taskId.empty()) return true;
  return onQueue([&](Store& s) {
    if (!s.run("delete from downloadItem where taskId == ?", {taskId})) return false;
    std::lock_guard lock(s.mapMutex);
    s.items.erase(taskId);
    return true;
  });
}

bool TRDownloadDB::saveItem(const std::shared_ptr<TRDownloadItem>& item) {
  return item && onQueue([&](Store& s) { return s.saveItem(item); });
}

bool TRDownloadDB::updateItemExtraData(const std::shared_ptr<TRDownloadItem>& item) {
  return item && onQueue([&](Store& s) {
           return s.run("update downloadItem set extraData=? where taskId == ?",
                        {U::valueOf(item->extraData()), item->taskId()});
         });
}

// ---- tasks ----

std::shared_ptr<TRDownloadTask> TRDownloadDB::taskWithTid(const std::string& taskId) {
  if (taskId.empty()) return nullptr;
  auto s = store();
  {
    std::lock_guard lock(s->mapMutex);
    if (auto it = s->tasks.find(taskId); it != s->tasks.end()) return it->second;
  }
  auto tasks = onQueue([&](Store& st) {
    return tasksOf(st, "select * from downloadTask where taskId == ?", {taskId});
  });
  return tasks.empty() ? nullptr : tasks.front();
}

std::vector<std::shared_ptr<TRDownloadTask>> TRDownloadDB::taskWithUrl(const std::string& url) {
  return onQueue([&](Store& s) {
    return tasksOf(s, "select * from downloadTask where downloadURL IS ?", {U::valueOf(url)});
  });
}

std::vector<std::shared_ptr<TRDownloadTask>> TRDownloadDB::taskWithStid(int64_t stid) {
  return onQueue(
      [&](Store& s) { return tasksOf(s, "select * from downloadTask where stid == ?", {stid}); });
}

std::vector<std::shared_ptr<TRDownloadTask>> TRDownloadDB::fetchAllDownloadTasks() {
  return onQueue([&](Store& s) { return tasksOf(s, "select * from downloadTask", {}); });
}

bool TRDownloadDB::removeAllTasks() {
  auto s = store();
  return performBlock(
      [s] {
        if (!s->run("delete from downloadTask", {})) return false;
        std::lock_guard lock(s->mapMutex);
        s->tasks.clear();
        return true;
      },
      false);
}

bool TRDownloadDB::removeTask(const std::shared_ptr<TRDownloadTask>& task) {
  if (!task) return true;
  auto s = store();
  return performBlock(
      [s, tid = task->taskId()] {
        if (!s->run("delete from downloadTask where taskId == ?", {tid})) return false;
        std::lock_guard lock(s->mapMutex);
        s->tasks.erase(tid);
        return true;
      },
      false);
}

bool TRDownloadDB::saveTask(const std::shared_ptr<TRDownloadTask>& task) {
  return task && onQueue([&](Store& s) { return s.saveTask(task); });
}

bool TRDownloadDB::updateTaskDataWithTid(const std::string& taskId,
                                         const std::vector<uint8_t>& data,
                                         const std::string& dataKey) {
  // The column name is part of the statement text, so only the two blob columns are accepted.
  if (dataKey != "resumeData" && dataKey != "extraData") {
    say(fmt::sprintf("[Warn] new data key for task : %s", dataKey));
    return false;
  }
  return onQueue([&](Store& s) {
    return s.run(fmt::format("update downloadTask set {}=? where taskId == ?", dataKey),
                 {U::valueOf(data), taskId});
  });
}

void TRDownloadDB::saveAllData() {
  auto s = store();
  performBlock(
      [s] {
        std::vector<std::shared_ptr<TRDownloadTask>> tasks;
        std::vector<std::shared_ptr<TRDownloadItem>> items;
        {
          std::lock_guard lock(s->mapMutex);
          for (const auto& [tid, task] : s->tasks) tasks.push_back(task);
          for (const auto& [tid, item] : s->items) items.push_back(item);
        }
        for (const auto& task : tasks) s->saveTask(task);
        for (const auto& item : items) s->saveItem(item);
        return true;
      },
      false);
}

// ---- rows and objects ----

std::shared_ptr<TRDownloadItem> TRDownloadDB::itemWithDict(const TRDBRow& row) {
  return onQueue(
      [&](Store& s) { return liveObject(s, s.items, row, &TRDownloadItemPrivate::itemWithDict); });
}

std::shared_ptr<TRDownloadTask> TRDownloadDB::taskWithDict(const TRDBRow& row) {
  return onQueue(
      [&](Store& s) { return liveObject(s, s.tasks, row, &TRDownloadTask::taskWithDict); });
}

const std::vector<std::string>& TRDownloadDB::itemFields() {
  static const std::vector<std::string> fields{
      "fileId",         "taskId",         "downloadURL", "uid",
      "fileType",       "fileExtension",  "rootPath",    "fileSize",
      "downloadedSize", "downloadStatus", "extraData",   "version",
      "createTime",     "enableSpeed"};
  return fields;
}

const std::vector<std::string>& TRDownloadDB::taskFields() {
  static const std::vector<std::string> fields{
      "taskId",  "downloadURL", "stid",       "priority",  "fileSize",  "downloadedSize",
      "version", "tmpName",     "resumeData", "extraData", "createTime"};
  return fields;
}

void TRDownloadDB::getSqlWithKeys(const std::vector<std::string>& keys,
                                  const std::function<TRDBValue(std::string_view)>& valueOf,
                                  const TRDBRow* oldItem, const FieldBlock& enumerateBlock) {
  for (size_t idx = 0; idx < keys.size(); ++idx) {
    const std::string& name = keys[idx];
    const TRDBValue cur = valueOf(name);
    const TRDBValue* old = nullptr;
    if (oldItem)
      if (auto it = oldItem->find(name); it != oldItem->end()) old = &it->second;
    if (unchanged(cur, old)) continue;
    int kind = getTypeWithValue(cur);
    if (kind == kOther) kind = old ? getTypeWithValue(*old) : kOther;
    enumerateBlock(kind, name, cur, idx);
  }
}

bool TRDownloadDB::saveDownloadItem(const std::shared_ptr<TRDownloadItem>& item) {
  return saveItem(item);
}

bool TRDownloadDB::saveDownloadTask(const std::shared_ptr<TRDownloadTask>& task) {
  return saveTask(task);
}
