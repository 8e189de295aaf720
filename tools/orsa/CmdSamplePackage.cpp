// orsa sample-package OUT.zip [--frames N] [--size WxH] [--fps F] [--head WxH]: a complete
// resource package made from nothing, for demos, tests and benchmarks.
#include <fmt/format.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Command.h"
#include "SamplePackageMedia.h"
#include "SamplePackageScene.h"
#include "utils/zip/ZipWriter.h"

namespace {

namespace fs = std::filesystem;
using orsa::tool::SamplePackageScene;
using orsa::tool::SampleRect;

constexpr const char* kUsage =
    "sample-package OUT.zip [--frames N] [--size WxH] [--fps F] [--head WxH]";
constexpr int kStepsPerTransition = 6;

struct Options {
  std::string out;
  int frames = 75;
  int width = 540;
  int height = 960;
  int fps = 25;
  int headWidth = 0;  // 0: the scene's own proportions
  int headHeight = 0;
};

std::optional<int> parseInt(const std::string& s, int lo, int hi) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  int v = std::stoi(s);
  if (v < lo || v > hi) return std::nullopt;
  return v;
}

constexpr orsa::tool::Usage usage{"sample-package", kUsage};
constexpr orsa::tool::Failure failure{"sample-package"};

// Parses the arguments; returns an exit code when they are not usable.
std::optional<int> parse(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i], value;
    bool isOption = a.rfind("--", 0) == 0;
    if (isOption) {
      auto eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return usage("missing value for " + a);
      }
    }
    if (a == "--frames") {
      auto v = parseInt(value, 1, 100000);
      if (!v) return usage("--frames takes a number from 1 to 100000");
      o.frames = *v;
    } else if (a == "--fps") {
      auto v = parseInt(value, 1, 240);
      if (!v) return usage("--fps takes a number from 1 to 240");
      o.fps = *v;
    } else if (a == "--size" || a == "--head") {
      auto x = value.find('x');
      auto w = x == std::string::npos ? std::nullopt : parseInt(value.substr(0, x), 16, 8192);
      auto h = x == std::string::npos ? std::nullopt : parseInt(value.substr(x + 1), 16, 8192);
      if (!w || !h) return usage(a + " takes WxH, each from 16 to 8192");
      if (*w % 2 || *h % 2) return usage(a + " needs even numbers (the video is 4:2:0)");
      (a == "--size" ? o.width : o.headWidth) = *w;
      (a == "--size" ? o.height : o.headHeight) = *h;
    } else if (isOption) {
      return usage("unknown option " + a);
    } else if (o.out.empty()) {
      o.out = a;
    } else {
      return usage("more than one output file given");
    }
  }
  if (o.out.empty()) return usage("no output file given");
  if (o.headWidth > o.width || o.headHeight > o.height) return usage("--head larger than --size");
  return std::nullopt;
}

// A temporary folder removed with the object.
struct WorkDir {
  fs::path path;
  WorkDir() {
    std::string tmpl = (fs::temp_directory_path() / "orsa-sample-XXXXXX").string();
    if (mkdtemp(tmpl.data())) path = tmpl;
  }
  ~WorkDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

struct Transition {
  int start;
  int end;
};

std::vector<Transition> transitions(int frames) {
  std::vector<Transition> t;
  if (frames >= 2) t.push_back({frames - 1, 0});
  if (frames >= 6) {
    t.push_back({frames / 3, 2 * frames / 3});
    t.push_back({2 * frames / 3, frames / 3});
  }
  return t;
}

// Fourteen characters that a reader of the table skips; different per entry, as in real
// packages.
std::string entryPrefix(uint32_t seed) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint32_t x = seed * 2654435761u + 12345u;
  std::string s;
  for (int i = 0; i < 14; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s.push_back(kChars[x % (sizeof kChars - 1)]);
  }
  return s;
}

nlohmann::json rectJson(const SampleRect& r) {
  return {{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}};
}

std::function<void(int)> progressPrinter(const char* what, int total) {
  int step = std::max(1, total / 10);
  return [what, total, step](int done) {
    if (total >= 50 && (done % step == 0 || done == total))
      std::fprintf(stderr, "%s: %d/%d frames\n", what, done, total);
  };
}

int runSamplePackage(const std::vector<std::string>& args) {
  Options o;
  if (auto code = parse(args, o)) return *code;
  WorkDir work;
  if (work.path.empty()) return failure("cannot create a temporary folder");

  const SamplePackageScene scene(o.width, o.height, o.headWidth, o.headHeight);
  const double fps = o.fps;
  std::string err;

  // origin.mp4: the presenter at rest, breathing and swaying.
  const fs::path origin = work.path / "origin.mp4";
  if (!orsa::tool::writeSampleH264(
          origin.string(), o.width, o.height, o.fps, o.frames,
          [&](int i, uint8_t* rgba) { scene.paint(i / fps, rgba); },
          progressPrinter("origin.mp4", o.frames), &err))
    return failure(err);

  // interpolations.mp4: cross-fades between pairs of origin frames, one clip frame per table
  // entry, in table order.
  const auto trans = transitions(o.frames);
  nlohmann::json table = nlohmann::json::array();
  nlohmann::json interpManifest = nlohmann::json::array();
  struct Step {
    Transition t;
    int index;
  };
  std::vector<Step> steps;
  for (const auto& t : trans)
    for (int k = 0; k < kStepsPerTransition; ++k) {
      steps.push_back({t, k});
      table.push_back(entryPrefix(static_cast<uint32_t>(table.size())) +
                      fmt::format("{}-{}-{}", t.start, t.end, k));
    }
  std::vector<uint8_t> a(static_cast<size_t>(o.width) * o.height * 4), b(a.size());
  auto mixOf = [](int k) { return (k + 1.0) / (kStepsPerTransition + 1.0); };
  const fs::path interp = work.path / "interpolations.mp4";
  if (!steps.empty()) {
    if (!orsa::tool::writeSampleH264(
            interp.string(), o.width, o.height, o.fps, static_cast<int>(steps.size()),
            [&](int i, uint8_t* rgba) {
              const Step& s = steps[static_cast<size_t>(i)];
              scene.paint(s.t.start / fps, a.data());
              scene.paint(s.t.end / fps, b.data());
              double m = mixOf(s.index);
              for (size_t p = 0; p < a.size(); ++p)
                rgba[p] = static_cast<uint8_t>(a[p] + (b[p] - a[p]) * m + 0.5);
            },
            progressPrinter("interpolations.mp4", static_cast<int>(steps.size())), &err))
      return failure(err);
    for (size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      SampleRect ra = scene.headRect(s.t.start / fps), rb = scene.headRect(s.t.end / fps);
      double m = mixOf(s.index);
      SampleRect r = ra;
      r.x = static_cast<int>(ra.x + (rb.x - ra.x) * m) & ~1;
      r.y = static_cast<int>(ra.y + (rb.y - ra.y) * m) & ~1;
      interpManifest.push_back({{"entry", i},
                                {"start", s.t.start},
                                {"end", s.t.end},
                                {"index", s.index},
                                {"head", rectJson(r)}});
    }
  }
  const fs::path tableFile = work.path / "interpolations.json";
  std::ofstream(tableFile) << table.dump(2) << "\n";

  const fs::path border = work.path / "border.png";
  if (!orsa::tool::writeSampleMaskPng(border.string(), scene.headWidth(), scene.headHeight(),
                                      scene.borderMask(), &err))
    return failure(err);

  nlohmann::json manifest;
  manifest["width"] = o.width;
  manifest["height"] = o.height;
  manifest["fps"] = o.fps;
  manifest["frameCount"] = o.frames;
  manifest["headWidth"] = scene.headWidth();
  manifest["headHeight"] = scene.headHeight();
  nlohmann::json heads = nlohmann::json::array();
  for (int i = 0; i < o.frames; ++i) {
    nlohmann::json h = rectJson(scene.headRect(i / fps));
    h["frame"] = i;
    heads.push_back(h);
  }
  manifest["frames"] = heads;
  manifest["interpolations"] = interpManifest;
  const fs::path manifestFile = work.path / "manifest.json";
  std::ofstream(manifestFile) << manifest.dump(2) << "\n";
  if (!fs::exists(tableFile) || !fs::exists(manifestFile))
    return failure("cannot write the JSON files");

  orsa::zip::ZipWriter zip(o.out);
  for (const auto& [name, path, store] : {std::tuple{"origin.mp4", origin, true},
                                          {"interpolations.mp4", interp, true},
                                          {"interpolations.json", tableFile, false},
                                          {"border.png", border, false},
                                          {"manifest.json", manifestFile, false}}) {
    if (auto bytes = orsa::tool::readWholeFile(path)) zip.file(name, *bytes, !store);
  }
  if (!zip.close()) return failure("cannot write " + o.out);

  std::printf(
      "%s: origin.mp4 %d frames %dx%d at %d fps, interpolations.mp4 %zu frames, head %dx%d\n",
      o.out.c_str(), o.frames, o.width, o.height, o.fps, steps.size(), scene.headWidth(),
      scene.headHeight());
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("sample-package", kUsage, runSamplePackage);
