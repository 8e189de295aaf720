// A complete host of the digital human, using only the installed public API.
//
//   orsa-host-example --home DIR --package PACKAGE.zip --config BASE64 --stream STREAM_ID
//                     [--seconds S] [--frames N] [--attach-late] [--out PICTURE.png]
//
// The start configuration's stream names the package by URL; a host that already has the
// package puts it where the engine looks first: OrsaHost::packagePath(configuration).
// A sender thread plays the RTC library's part: for every head picture, first its SEI record,
// then the picture. The head is a plain magenta block, so what the view presents can be checked
// for it. The program writes nothing on standard output (neither does the library); its report
// goes to standard error, and it exits 0 when heads were presented and nothing failed.
#include <orsa/OrsaMirelo.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
  std::string home, package, config, stream, out;
  double seconds = 2;
  int32_t frames = 75;  // background frames in the package
  bool attachLate = false;
};

// The engine's callbacks arrive on the main loop.
class Delegate : public OrsaMireloDelegate {
 public:
  void onError(int32_t code, const std::string& errorMsg) override {
    std::fprintf(stderr, "engine error %d: %s\n", code, errorMsg.c_str());
    errors++;
  }
  void onSurfaceFirstFrameDraw() override { firstFrame = true; }

  std::atomic<int> errors{0};
  std::atomic<bool> firstFrame{false};
};

constexpr int32_t kHeadWidth = 160, kHeadHeight = 200;
constexpr int32_t kFps = 25;

// Sends head pictures with padded rows, as decoders hand them out, until told to stop.
void sendHeads(IOrsaMirelo& engine, const Options& o, const std::atomic<bool>& running) {
  const int32_t stride = kHeadWidth * 4 + 64;
  std::vector<uint8_t> picture(static_cast<size_t>(stride) * kHeadHeight, 0);
  for (int32_t y = 0; y < kHeadHeight; ++y)
    for (int32_t x = 0; x < kHeadWidth; ++x) {
      uint8_t* p = &picture[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4];
      p[0] = 255, p[1] = 0, p[2] = 255, p[3] = 255;  // B, G, R, A: magenta
    }
  OrsaSEIRecord record;
  record.fps = kFps;
  record.left = 190, record.top = 150;
  record.right = record.left + kHeadWidth, record.bottom = record.top + kHeadHeight;
  QMXVideoFrameParam param;
  param.setWidth(kHeadWidth);
  param.setHeight(kHeadHeight);
  param.setStride(stride, 0);
  const uint8_t* planes[1] = {picture.data()};
  const uint32_t lengths[1] = {static_cast<uint32_t>(picture.size())};

  auto next = std::chrono::steady_clock::now();
  for (int32_t k = 0; running; ++k) {
    record.frameIndex = k % o.frames;
    engine.onPlayerSyncRecvSEI(o.stream, record.payload());
    engine.onRemoteVideoFrameRawData(planes, lengths, param, o.stream);
    next += std::chrono::milliseconds(1000 / kFps);
    std::this_thread::sleep_until(next);
  }
}

void drainFor(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    OrsaMainLoop::runFor(std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()));
  }
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--attach-late") {
      o.attachLate = true;
    } else if (hasValue && a == "--home") {
      o.home = argv[++i];
    } else if (hasValue && a == "--package") {
      o.package = argv[++i];
    } else if (hasValue && a == "--config") {
      o.config = argv[++i];
    } else if (hasValue && a == "--stream") {
      o.stream = argv[++i];
    } else if (hasValue && a == "--out") {
      o.out = argv[++i];
    } else if (hasValue && a == "--seconds") {
      o.seconds = std::stod(argv[++i]);
    } else if (hasValue && a == "--frames") {
      o.frames = std::stoi(argv[++i]);
    } else {
      return false;
    }
  }
  return !o.home.empty() && !o.package.empty() && !o.config.empty() && !o.stream.empty() &&
         o.frames > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: orsa-host-example --home DIR --package ZIP --config BASE64 --stream ID "
                 "[--seconds S] [--frames N] [--attach-late] [--out PICTURE.png]\n");
    return 2;
  }
  namespace fs = std::filesystem;
  OrsaHost::setHomeDirectory(o.home);
  std::error_code ec;
  const std::string placed = OrsaHost::packagePath(o.config);
  if (placed.empty()) {
    std::fprintf(stderr, "the start configuration cannot be read\n");
    return 2;
  }
  fs::create_directories(fs::path(placed).parent_path(), ec);
  // Whole or not at all: the engine takes whatever file it finds there for the package.
  if (fs::copy_file(o.package, placed + ".copying", fs::copy_options::overwrite_existing, ec))
    fs::rename(placed + ".copying", placed, ec);
  if (ec) {
    std::fprintf(stderr, "cannot place the package: %s\n", ec.message().c_str());
    return 1;
  }

  // Pictures arrive on the view's drawing thread.
  std::atomic<uint64_t> pictures{0}, headPictures{0};
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 270, 480});
  view->setPresentationSink([&](const OrsaPicture& p) {
    uint64_t magenta = 0;
    for (int32_t y = 0; y < p.height; ++y) {
      const uint8_t* row = p.rgba + static_cast<size_t>(y) * static_cast<size_t>(p.stride);
      for (int32_t x = 0; x < p.width; ++x, row += 4)
        magenta += row[0] > 200 && row[1] < 60 && row[2] > 200;
    }
    pictures++;
    // A head through the mask covers thousands of pixels even at this size.
    if (magenta > 500) headPictures++;
  });

  auto engine = OrsaMireloFactory::create();
  auto delegate = std::make_shared<Delegate>();
  if (!o.attachLate) engine->attach(view);
  engine->start(o.config, delegate);

  std::atomic<bool> sending{true};
  std::thread sender([&] { sendHeads(*engine, o, sending); });
  const auto run = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.seconds));
  if (o.attachLate) {
    // A host with an event loop of its own drains the engine's queue from it; here, half the
    // run passes before the view is attached, on the main thread as attach wants.
    drainFor(run / 2);
    engine->attach(view);
    drainFor(run / 2);
  } else {
    // A program of its own runs the main loop, and ends it itself: the engine never does.
    std::thread timer([run] {
      std::this_thread::sleep_for(run);
      OrsaMainLoop::stop();
    });
    OrsaMainLoop::run();
    timer.join();
  }
  sending = false;
  sender.join();
  engine->stop();
  if (!o.out.empty()) view->snapshot(o.out);
  view->stopAndWait(std::chrono::seconds(2));

  std::fprintf(stderr, "pictures %llu, with the head %llu, first frame reported %s, errors %d\n",
               static_cast<unsigned long long>(pictures.load()),
               static_cast<unsigned long long>(headPictures.load()),
               delegate->firstFrame ? "yes" : "no", delegate->errors.load());
  return headPictures > 0 && delegate->firstFrame && delegate->errors == 0 ? 0 : 1;
}
