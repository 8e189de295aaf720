// orsa package prepare ZIP | orsa package inspect ZIP
//
// prepare: prepares a copy of the package exactly as a runtime does (the copy lives in the
// container's temporary directory, where a runtime keeps its package, so the user's own file
// survives a failed preparation, which deletes the package it was given).
// inspect: reads the package without touching the cache and says whether it can be prepared.
#include <fmt/printf.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/MediaReader.h"
#include "utils/ResourceManager.h"
#include "utils/zip/VZZipArchive.h"

namespace fs = std::filesystem;
using orsa::platform::AppContainer;

namespace orsa::tool {
namespace {

constexpr const char* kUsage = "package prepare ZIP | package inspect ZIP";

bool hasEntry(const std::vector<VZZipEntry>& entries, const std::string& name) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const VZZipEntry& e) { return e.name == name; });
}

// ---- numbers of frames a video will give ---------------------------------------------------

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Walks the boxes in [p, end) and calls fn(type, payload, payloadSize) for each.
template <typename Fn>
void forEachBox(const uint8_t* p, const uint8_t* end, Fn&& fn) {
  while (end - p >= 8) {
    uint64_t size = be32(p);
    uint32_t type = be32(p + 4);
    size_t header = 8;
    if (size == 1) {
      if (end - p < 16) return;
      size = (uint64_t{be32(p + 8)} << 32) | be32(p + 12);
      header = 16;
    } else if (size == 0) {
      size = static_cast<uint64_t>(end - p);
    }
    if (size < header || size > static_cast<uint64_t>(end - p)) return;
    fn(type, p + header, static_cast<size_t>(size - header));
    p += size;
  }
}

constexpr uint32_t fourcc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// The sample count the container declares for its first video track; the progress bar's
// total. The frame files themselves are counted from what the decoder delivers.
std::optional<uint32_t> declaredVideoFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> moov;
  // Top-level boxes are skipped by seeking: only the (small) movie box is read.
  for (;;) {
    uint8_t h[16];
    if (!in.read(reinterpret_cast<char*>(h), 8)) return std::nullopt;
    uint64_t size = be32(h);
    uint32_t type = be32(h + 4);
    uint64_t header = 8;
    if (size == 1) {
      if (!in.read(reinterpret_cast<char*>(h + 8), 8)) return std::nullopt;
      size = (uint64_t{be32(h + 8)} << 32) | be32(h + 12);
      header = 16;
    }
    if (size < header && size != 0) return std::nullopt;
    if (type == fourcc("moov")) {
      if (size == 0 || size - header > (64u << 20)) return std::nullopt;
      moov.resize(size - header);
      if (!in.read(reinterpret_cast<char*>(moov.data()), static_cast<std::streamsize>(moov.size())))
        return std::nullopt;
      break;
    }
    if (size == 0) return std::nullopt;
    in.seekg(static_cast<std::streamoff>(size - header), std::ios::cur);
  }
  std::optional<uint32_t> result;
  forEachBox(moov.data(), moov.data() + moov.size(),
             [&](uint32_t type, const uint8_t* p, size_t n) {
               if (type != fourcc("trak") || result) return;
               forEachBox(p, p + n, [&](uint32_t type, const uint8_t* p, size_t n) {
                 if (type != fourcc("mdia")) return;
                 bool video = false;
                 std::optional<uint32_t> samples;
                 forEachBox(p, p + n, [&](uint32_t type, const uint8_t* p, size_t n) {
                   if (type == fourcc("hdlr") && n >= 12) video = be32(p + 8) == fourcc("vide");
                   if (type != fourcc("minf")) return;
                   forEachBox(p, p + n, [&](uint32_t type, const uint8_t* p, size_t n) {
                     if (type != fourcc("stbl")) return;
                     forEachBox(p, p + n, [&](uint32_t type, const uint8_t* p, size_t n) {
                       if ((type == fourcc("stsz") || type == fourcc("stz2")) && n >= 12)
                         samples = be32(p + 8);
                     });
                   });
                 });
                 if (video && samples) result = samples;
               });
             });
  return result;
}

struct VideoInfo {
  int width = 0;
  int height = 0;
  double fps = 0;
  uint64_t frames = 0;
  bool completed = false;
  std::string error;
};

// Decodes the whole first video track: the frame count is what extraction will produce.
std::optional<VideoInfo> probeVideo(const std::string& path) {
  auto reader = orsa::platform::MediaReader::openFirstVideoTrack(path);
  if (!reader) return std::nullopt;
  VideoInfo info;
  if (!reader->addOutput(orsa::platform::kMediaPixelFormatBGRA) || !reader->startReading()) {
    info.error = reader->error();
    return info;
  }
  info.width = reader->width();
  info.height = reader->height();
  info.fps = reader->nominalFrameRate();
  while (reader->status() == orsa::platform::MediaReader::Status::Reading)
    if (reader->copyNextSampleBuffer()) ++info.frames;
  info.completed = reader->status() == orsa::platform::MediaReader::Status::Completed;
  if (!info.completed) info.error = reader->error();
  return info;
}

// Width and height from a PNG's header chunk.
std::optional<std::pair<uint32_t, uint32_t>> pngSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint8_t h[24];
  if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return std::nullopt;
  static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (std::memcmp(h, kSig, 8) != 0 || be32(h + 12) != fourcc("IHDR")) return std::nullopt;
  return std::make_pair(be32(h + 16), be32(h + 20));
}

size_t countFiles(const std::string& dir, const char* extension) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    if (it->path().extension() == extension) ++n;
  return n;
}

uint64_t bytesBelow(const std::string& dir) {
  uint64_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code sec;
    if (it->is_regular_file(sec)) n += it->file_size(sec);
  }
  return n;
}

// ---- progress -------------------------------------------------------------------------------

// One bar per phase on stderr: redrawn in place on a terminal, a line per tenth otherwise.
class ProgressBar {
 public:
  ProgressBar() : live_(::isatty(STDERR_FILENO)) {}

  void show(const std::string& phase, uint64_t done, uint64_t total) {
    if (total > 0) done = std::min(done, total);
    int tenth = total > 0 ? static_cast<int>(done * 10 / total) : -1;
    if (!live_ && phase == phase_ && tenth == tenth_) return;
    if (phase != phase_ && live_ && !phase_.empty()) std::fputc('\n', stderr);
    phase_ = phase;
    tenth_ = tenth;
    std::string line;
    if (total > 0) {
      constexpr int kWidth = 30;
      int filled = static_cast<int>(done * kWidth / total);
      line = fmt::sprintf("%-20s [%s%s] %3d%% (%llu/%llu)", phase, std::string(filled, '#'),
                          std::string(kWidth - filled, '.'), static_cast<int>(done * 100 / total),
                          static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total));
    } else {
      line = fmt::sprintf("%-20s %llu", phase, static_cast<unsigned long long>(done));
    }
    if (live_) {
      orsa::platform::consoleFlush();
      std::fprintf(stderr, "\r%s", line.c_str());
      std::fflush(stderr);
    } else {
      // Written directly: the tool silences the library's console unless asked to be verbose.
      std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(stderr);
    }
  }

  bool reached(const std::string& phase) const { return phase_ == phase; }

  void finish() {
    if (live_ && !phase_.empty()) std::fputc('\n', stderr);
    phase_.clear();
  }

 private:
  bool live_;
  std::string phase_;
  int tenth_ = -2;
};

class PrepareDelegate : public ResourceManagerDelegate {
 public:
  void onSetResourceSuccess() override { result = 1; }
  void onSetResourceFailed(int64_t code) override {
    failureCode = code;
    result = 2;
  }
  std::atomic<int> result{0};
  int64_t failureCode = 0;
};

// Why a package the manager refused could not be prepared, told from the user's own copy.
std::string diagnose(const std::string& zip) {
  auto entries = VZZipArchive::entriesOfArchiveAtPath(zip, nullptr);
  if (!entries) return "not a readable zip archive";
  if (!hasEntry(*entries, "origin.mp4")) return "the package has no origin.mp4";
  return "the package could not be unpacked, or its videos could not be decoded into frames "
         "(details in the log)";
}

int runPrepare(const std::string& zip) {
  std::error_code ec;
  if (!fs::is_regular_file(zip, ec)) {
    std::fprintf(stderr, "package prepare: %s: no such package file\n", zip.c_str());
    return 1;
  }
  // The copy goes in under a temporary name and is renamed into place whole.
  const std::string tmpDir = AppContainer::temporaryDirectory();
  fs::create_directories(tmpDir, ec);
  const std::string local = tmpDir + "/" + fs::path(zip).filename().string();
  const std::string partial = local + ".copying";
  bool copied = fs::copy_file(zip, partial, fs::copy_options::overwrite_existing, ec);
  if (copied) fs::rename(partial, local, ec);
  if (!copied || ec) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    std::fprintf(stderr, "package prepare: cannot copy the package to %s: %s\n", local.c_str(),
                 ec.message().c_str());
    return 1;
  }

  const uint64_t payload = VZZipArchive::payloadSizeForArchiveAtPath(local, nullptr);
  auto manager = ResourceManager::create();
  auto delegate = std::make_shared<PrepareDelegate>();
  manager->setResource(local, delegate);

  ProgressBar bar;
  std::optional<uint32_t> originTotal, interpTotal;
  bool probedOrigin = false, probedInterp = false;
  while (delegate->result == 0) {
    orsa::platform::MainLoop::runUntil([&] { return delegate->result != 0; },
                                       std::chrono::milliseconds(100));
    if (delegate->result != 0) break;
    const std::string dir = manager->resourceDir();
    if (dir.empty()) continue;
    const std::string frames = manager->originFramesDir();
    const std::string interps = manager->interpolationDir();
    if (fs::exists(interps, ec)) {
      if (!probedInterp) {
        interpTotal = declaredVideoFrames(dir + "/interpolations.mp4");
        probedInterp = true;
        // The origin frames are all written once the next video starts.
        const size_t origin = countFiles(frames, ".jpg");
        if (!probedOrigin) originTotal = declaredVideoFrames(dir + "/origin.mp4");
        probedOrigin = true;
        bar.show("origin frames", origin, originTotal.value_or(origin));
      }
      bar.show("interpolation frames", countFiles(interps, ".jpg"), interpTotal.value_or(0));
    } else if (fs::exists(frames, ec)) {
      if (!probedOrigin) {
        originTotal = declaredVideoFrames(dir + "/origin.mp4");
        probedOrigin = true;
      }
      bar.show("origin frames", countFiles(frames, ".jpg"), originTotal.value_or(0));
    } else if (fs::exists(dir, ec)) {
      bar.show("unpacking", bytesBelow(dir), payload);
    }
  }
  if (delegate->result == 1) {
    // The bars end full even when a phase finished between two looks (or was cached).
    const size_t origin = countFiles(manager->originFramesDir(), ".jpg");
    if (!bar.reached("interpolation frames"))
      bar.show("origin frames", origin, originTotal.value_or(origin));
    if (fs::exists(manager->interpolationDir(), ec)) {
      const size_t interp = countFiles(manager->interpolationDir(), ".jpg");
      bar.show("interpolation frames", interp, interpTotal.value_or(interp));
    }
  }
  bar.finish();

  if (delegate->result != 1) {
    std::fprintf(stderr, "package prepare: failed (%lld): %s\n",
                 static_cast<long long>(delegate->failureCode), diagnose(zip).c_str());
    return 1;
  }
  const std::string dir = manager->resourceDir();
  std::printf("resource directory: %s\n", dir.c_str());
  std::printf("origin frames: %zu\n", countFiles(manager->originFramesDir(), ".jpg"));
  std::printf("interpolation frames: %zu\n", countFiles(manager->interpolationDir(), ".jpg"));
  return 0;
}

// A scratch folder for inspecting, removed with the object.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    std::error_code ec;
    fs::create_directories(AppContainer::temporaryDirectory(), ec);
    std::string templ = AppContainer::temporaryDirectory() + "/package-inspect-XXXXXX";
    if (::mkdtemp(templ.data())) path = templ;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

void printVideo(const char* name, const std::optional<VideoInfo>& v) {
  if (!v) {
    std::printf("%s: no video track\n", name);
    return;
  }
  std::printf("%s: %dx%d, %.3g fps, %llu frames%s%s\n", name, v->width, v->height, v->fps,
              static_cast<unsigned long long>(v->frames),
              v->completed ? "" : ", decoding failed: ", v->completed ? "" : v->error.c_str());
}

int runInspect(const std::string& zip) {
  auto entries = VZZipArchive::entriesOfArchiveAtPath(zip, nullptr);
  if (!entries) {
    std::fprintf(stderr, "package inspect: %s: not a readable zip archive\n", zip.c_str());
    return 1;
  }
  std::printf("entries: %zu\n", entries->size());
  for (const auto& e : *entries)
    std::printf("  %12llu  %12llu  %s\n", static_cast<unsigned long long>(e.info.uncompressedSize),
                static_cast<unsigned long long>(e.info.compressedSize), e.name.c_str());

  std::vector<std::string> problems;
  std::vector<std::string> notes;
  ScratchDir scratch;
  if (scratch.path.empty() || !VZZipArchive::unzipFileAtPath(zip, scratch.path)) {
    problems.push_back("the archive cannot be unpacked");
  } else {
    const std::string origin = scratch.path + "/origin.mp4";
    const std::string interp = scratch.path + "/interpolations.mp4";
    std::optional<VideoInfo> originInfo, interpInfo;
    if (!fs::exists(origin)) {
      problems.push_back("origin.mp4 is missing");
    } else {
      originInfo = probeVideo(origin);
      printVideo("origin.mp4", originInfo);
      if (!originInfo || !originInfo->completed || originInfo->frames == 0)
        problems.push_back("origin.mp4 cannot be decoded into frames");
    }
    if (fs::exists(interp)) {
      interpInfo = probeVideo(interp);
      printVideo("interpolations.mp4", interpInfo);
      if (!interpInfo || !interpInfo->completed)
        problems.push_back("interpolations.mp4 cannot be decoded into frames");
    } else {
      std::printf("interpolations.mp4: none\n");
    }
    const std::string json = scratch.path + "/interpolations.json";
    if (fs::exists(json)) {
      auto table =
          ResourceManager::parseInterpolationInfo(orsa::tool::readWholeFile(json).value_or(""));
      if (!table) {
        std::printf("interpolations.json: not a JSON array\n");
        notes.push_back("interpolations.json will be ignored");
      } else {
        std::printf("interpolations.json: %zu interpolation keys\n", table->size());
        if (interpInfo && interpInfo->completed) {
          int32_t highest = -1;
          for (const auto& [key, frame] : *table) highest = std::max(highest, frame);
          if (highest >= 0 && static_cast<uint64_t>(highest) >= interpInfo->frames)
            notes.push_back(
                "interpolations.json names frames beyond the end of interpolations.mp4");
        }
      }
    } else {
      std::printf("interpolations.json: none\n");
      if (interpInfo) notes.push_back("interpolations.mp4 has no interpolations.json to index it");
    }
    if (auto size = pngSize(scratch.path + "/border.png")) {
      std::printf("border.png: %ux%u\n", size->first, size->second);
    } else if (fs::exists(scratch.path + "/border.png")) {
      std::printf("border.png: not a PNG image\n");
      notes.push_back("border.png cannot be used as the mask");
    } else {
      std::printf("border.png: none\n");
      notes.push_back("no border.png: the renderer has no mask");
    }
  }
  for (const auto& n : notes) std::printf("note: %s\n", n.c_str());
  if (problems.empty()) {
    std::printf("ready for preparation: yes\n");
    return 0;
  }
  std::printf("ready for preparation: no\n");
  for (const auto& p : problems) std::printf("problem: %s\n", p.c_str());
  return 1;
}

int runPackage(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[0] != "prepare" && args[0] != "inspect")) {
    return Usage{"package", kUsage}();
  }
  return args[0] == "prepare" ? runPrepare(args[1]) : runInspect(args[1]);
}

}  // namespace

ORSA_TOOL_COMMAND("package", kUsage, runPackage);

}  // namespace orsa::tool
