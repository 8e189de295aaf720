// Preparing a package that is already in the cache: what a runtime pays on every start once
// the package was prepared (one digest of the file, the meta-info check, the table load).
//
// usage: bench_prepare ZIP [RUNS]
// Prepares ZIP once in a private app container (untimed), then times RUNS cached
// preparations from setResource to the success callback and prints
//   cached-prepare-median-ms <ms>
// on stdout (bench/compare-prepare.sh reads it).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/AppContainer.h"
#include "platform/Dispatch.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
using orsa::platform::MainLoop;

namespace {

class Waiter : public ResourceManagerDelegate {
 public:
  void onSetResourceSuccess() override { result = 1; }
  void onSetResourceFailed(int64_t) override { result = 2; }
  int result = 0;
};

int prepareOnce(const std::shared_ptr<ResourceManager>& m, const std::string& zip) {
  auto w = std::make_shared<Waiter>();
  m->setResource(zip, w);
  MainLoop::runUntil([&] { return w->result != 0; }, std::chrono::minutes(30));
  return w->result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ZIP [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string zip = fs::absolute(argv[1]).string();
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
  char templ[] = "/tmp/orsa-bench-prepare-XXXXXX";
  if (!::mkdtemp(templ)) return 1;
  orsa::platform::AppContainer::setRoot(templ);

  auto manager = ResourceManager::create();
  if (prepareOnce(manager, zip) != 1) {
    std::fprintf(stderr, "the package could not be prepared\n");
    return 1;
  }
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    if (prepareOnce(manager, zip) != 1) return 1;
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("cached-prepare-median-ms %.3f\n", ms[ms.size() / 2]);
  std::error_code ec;
  fs::remove_all(templ, ec);
  return 0;
}
