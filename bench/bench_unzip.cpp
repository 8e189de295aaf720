// Unpacking speed of the zip facade on a package shaped like ours: two large videos (one
// deflated, one stored; both incompressible), PNG-like pictures and an interpolation table.
//
//   bench_unzip                     Google Benchmark run (makes the package on first use)
//   bench_unzip --make ARCHIVE      writes the package
//   bench_unzip --once ARCHIVE DEST one unpacking, for timing against a peer program
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "utils/zip/VZZipArchive.h"
#include "utils/zip/ZipWriter.h"

namespace fs = std::filesystem;

namespace {

const fs::path kWorkDir = "/tmp/orsa-bench-unzip";

std::string noise(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t v = rng();
    std::memcpy(&s[i], &v, 8);
  }
  return s;
}

bool addEntry(orsa::zip::ZipWriter& z, const std::string& name, const std::string& data,
              bool deflate) {
  orsa::zip::ZipEntry e;
  e.name = name;
  e.data = data;
  e.deflate = deflate;
  e.level = Z_DEFAULT_COMPRESSION;
  return z.add(e).ok();
}

// About 200 MB of payload.
bool makePackage(const fs::path& path) {
  fs::create_directories(path.parent_path());
  orsa::zip::ZipWriter z(path.string());
  bool ok = addEntry(z, "origin.mp4", noise(100u << 20, 1), true) &&
            addEntry(z, "interpolations.mp4", noise(56u << 20, 2), false);
  std::string json = "{\"interpolations\":[";
  for (int i = 0; i < 60000; ++i)
    json += "[" + std::to_string(i) + "," + std::to_string(i + 7) + "],";
  json += "[0,0]]}";
  ok = ok && addEntry(z, "interpolations.json", json, true);
  // PNG pictures are deflate streams already: a signature, then bytes that do not compress.
  for (int i = 0; i < 40 && ok; ++i) {
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + noise((1u << 20) + i * 977, 100 + i);
    ok = addEntry(z, "masks/border_" + std::to_string(i) + ".png", png, i % 2 == 0);
  }
  ok = addEntry(z, "border.png", std::string("\x89PNG\r\n\x1a\n", 8) + noise(300000, 99), true) &&
       ok;
  return z.close() && ok;
}

fs::path packagePath() {
  fs::path p = kWorkDir / "package-v1.zip";
  if (!fs::exists(p) && !makePackage(p)) std::fprintf(stderr, "cannot write %s\n", p.c_str());
  return p;
}

void BM_UnzipPackage(benchmark::State& state) {
  const fs::path zip = packagePath();
  const fs::path dest = kWorkDir / "bench-out";
  uint64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(dest);
    state.ResumeTiming();
    if (!VZZipArchive::unzipFileAtPath(zip.string(), dest.string())) {
      state.SkipWithError("unzip failed");
      break;
    }
    bytes += VZZipArchive::payloadSizeForArchiveAtPath(zip.string(), nullptr);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  fs::remove_all(dest);
}
BENCHMARK(BM_UnzipPackage)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--make") return makePackage(argv[2]) ? 0 : 1;
  if (argc == 4 && std::string(argv[1]) == "--once")
    return VZZipArchive::unzipFileAtPath(argv[2], argv[3]) ? 0 : 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
