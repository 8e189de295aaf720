// The download store with 10,000 items: saves of new items, saves of changed items, reads by
// file id (one select each) and one read of the whole list, in statements per second. The store
// runs on a fresh container under the system's temporary directory, removed at the end.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "download/TRDownloadDB.h"
#include "download/TRDownloadItemPrivate.h"
#include "download/TRDownloadTask.h"
#include "orsa/TRDownloadItem.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"

namespace {

constexpr int kItems = 10000;
const std::string kUid = "bench-uid";

std::string gHome;

std::string fileIdOf(int i) {
  return "file-" + std::to_string(i);
}

std::shared_ptr<TRDownloadItem> newItem(int i) {
  const std::string url = "https://example.invalid/packages/it's-" + std::to_string(i) + ".zip";
  auto item = TRDownloadItem::itemWithUrl(url, fileIdOf(i));
  auto& fields = TRDownloadItemPrivate::of(*item);
  fields.setTaskId(TRDownloadTask::taskIdForUrl(url, fileIdOf(i)));
  fields.setUid(kUid);
  item->setFileType("video");
  fields.setDownloadStatus(1);
  item->setExtraData(std::vector<uint8_t>(64, 0xab));
  return item;
}

// A store holding kItems items, reopened so no object is live.
void freshStore(bool filled) {
  TRDownloadDB::close();
  std::filesystem::remove_all(gHome + "/Documents");
  orsa::platform::AppContainer::setRoot(gHome);
  if (filled) {
    for (int i = 0; i < kItems; ++i) TRDownloadDB::saveItem(newItem(i));
    TRDownloadDB::close();
  }
}

void report(benchmark::State& state, uint64_t statements) {
  state.SetItemsProcessed(state.iterations() * kItems);
  state.counters["statements/s"] =
      benchmark::Counter(static_cast<double>(statements), benchmark::Counter::kIsRate);
}

void BM_SaveNewItems(benchmark::State& state) {
  uint64_t statements = 0;
  for (auto _ : state) {
    state.PauseTiming();
    freshStore(false);
    std::vector<std::shared_ptr<TRDownloadItem>> items;
    for (int i = 0; i < kItems; ++i) items.push_back(newItem(i));
    const uint64_t before = TRDownloadDB::executedStatements();
    state.ResumeTiming();
    for (const auto& item : items)
      if (!TRDownloadDB::saveItem(item)) state.SkipWithError("save failed");
    statements += TRDownloadDB::executedStatements() - before;
  }
  report(state, statements);
}
BENCHMARK(BM_SaveNewItems)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveChangedItems(benchmark::State& state) {
  freshStore(true);
  auto items = TRDownloadDB::fetchAllDownloadItemWithUid(kUid);
  uint64_t statements = 0;
  int64_t status = 2;
  for (auto _ : state) {
    const uint64_t before = TRDownloadDB::executedStatements();
    for (const auto& item : items) {
      TRDownloadItemPrivate::of(*item).setDownloadStatus(status);
      if (!TRDownloadDB::saveItem(item)) state.SkipWithError("save failed");
    }
    statements += TRDownloadDB::executedStatements() - before;
    status = status == 2 ? 3 : 2;
  }
  report(state, statements);
}
BENCHMARK(BM_SaveChangedItems)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadItemsByFileId(benchmark::State& state) {
  freshStore(true);
  uint64_t statements = 0;
  for (auto _ : state) {
    const uint64_t before = TRDownloadDB::executedStatements();
    for (int i = 0; i < kItems; ++i)
      if (!TRDownloadDB::itemWithFid(fileIdOf(i), kUid)) state.SkipWithError("item missing");
    statements += TRDownloadDB::executedStatements() - before;
  }
  report(state, statements);
}
BENCHMARK(BM_ReadItemsByFileId)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FetchAllItems(benchmark::State& state) {
  freshStore(true);
  uint64_t statements = 0;
  for (auto _ : state) {
    const uint64_t before = TRDownloadDB::executedStatements();
    if (TRDownloadDB::fetchAllDownloadItemWithUid(kUid).size() != kItems)
      state.SkipWithError("items missing");
    statements += TRDownloadDB::executedStatements() - before;
  }
  report(state, statements);
}
BENCHMARK(BM_FetchAllItems)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = (std::filesystem::temp_directory_path() / "orsa-bench-db-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  gHome = pattern;
  orsa::platform::consoleSetEnabled(false);  // the store's open lines, once per fresh store
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TRDownloadDB::close();
  std::filesystem::remove_all(gHome);
  return 0;
}
