// orsa stream send: the simulated sender's heads and records as a real H.264 stream, over RTP
// or into a recording, for `orsa demo --input` (or any host) to receive.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "FrontEndHost.h"
#include "SimulatedSender.h"
#include "StreamEncoder.h"
#include "orsa/IOrsaMirelo.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
using orsa::platform::AppContainer;
using orsa::platform::MainLoop;

namespace orsa::tool {
namespace {

constexpr const char* kUsage =
    "stream send --package ZIP --to rtp://HOST:PORT|FILE.mp4|FILE.h264 [--sdp FILE] [--fps F] "
    "[--seconds S] [--bitrate BITS] [--loss PERCENT] [--seed N]";
constexpr Usage usage{"stream", kUsage};
constexpr Failure fail{"stream"};
constexpr auto kPrepareTimeout = std::chrono::seconds(120);

std::atomic<bool> interrupted{false};

struct Options {
  std::string package, to, sdp;
  int32_t fps = 0;
  double seconds = 10;
  int64_t bitrate = 1500000;
  double loss = 0;
  uint64_t seed = 1;
};

std::optional<int> parse(const std::vector<std::string>& args, Options& o) {
  if (args.empty() || args[0] != "send") return usage("the only subcommand is 'send'");
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return usage("unknown argument or missing value: " + a);
    const std::string& v = args[++i];
    if (a == "--package") {
      o.package = v;
    } else if (a == "--to") {
      o.to = v;
    } else if (a == "--sdp") {
      o.sdp = v;
    } else if (a == "--fps") {
      auto f = parseNumber(v, 1, 120);
      if (!f || *f != static_cast<int32_t>(*f)) return usage("--fps takes a whole number 1-120");
      o.fps = static_cast<int32_t>(*f);
    } else if (a == "--seconds") {
      auto s = parseNumber(v, 0.1, 86400);
      if (!s) return usage("--seconds takes a number from 0.1 to 86400");
      o.seconds = *s;
    } else if (a == "--bitrate") {
      auto b = parseNumber(v, 50000, 100000000);
      if (!b) return usage("--bitrate takes bits per second, 50000 to 100000000");
      o.bitrate = static_cast<int64_t>(*b);
    } else if (a == "--loss") {
      auto l = parseNumber(v, 0, 100);
      if (!l) return usage("--loss takes a percentage 0-100");
      o.loss = *l;
    } else if (a == "--seed") {
      auto s = parseNumber(v, 0, 4294967295.0);
      if (!s || *s != static_cast<uint64_t>(*s)) return usage("--seed takes a whole number");
      o.seed = static_cast<uint64_t>(*s);
    } else {
      return usage("unknown argument " + a);
    }
  }
  if (o.package.empty()) return usage("--package is required");
  if (o.to.empty()) return usage("--to is required");
  const bool rtp = o.to.rfind("rtp://", 0) == 0;
  if (!rtp && (!o.sdp.empty() || o.loss > 0))
    return usage("--sdp and --loss are for rtp:// outputs");
  return std::nullopt;
}

class PrepareResult : public ResourceManagerDelegate {
 public:
  void onSetResourceSuccess() override { result = 1; }
  void onSetResourceFailed(int64_t) override { result = 2; }
  std::atomic<int> result{0};
};

std::shared_ptr<ResourceManager> prepare(const std::string& package, std::string& error) {
  std::error_code ec;
  const std::string dir = AppContainer::temporaryDirectory();
  fs::create_directories(dir, ec);
  const std::string local = dir + "/" + fs::path(package).filename().string();
  if (!fs::equivalent(package, local, ec)) {
    const std::string partial = local + ".copying";
    if (!fs::copy_file(package, partial, fs::copy_options::overwrite_existing, ec) ||
        (fs::rename(partial, local, ec), ec)) {
      fs::remove(partial, ec);
      error = "cannot copy the package to " + local;
      return nullptr;
    }
  }
  auto manager = ResourceManager::create();
  auto delegate = std::make_shared<PrepareResult>();
  manager->setResource(local, delegate);
  if (!MainLoop::runUntil([&] { return delegate->result != 0; }, kPrepareTimeout) ||
      delegate->result != 1) {
    manager->cancel();
    error = "the package cannot be prepared (see 'orsa package inspect')";
    return nullptr;
  }
  return manager;
}

// Stands where the engine would: takes each record and picture from the simulated sender, on
// its thread, and encodes them. The encoder opens with the first picture, when the head's size
// is known.
class EncodingIntake : public IOrsaMirelo {
 public:
  explicit EncodingIntake(StreamEncoder::Options options) : options_(std::move(options)) {}

  void start(const std::string&, const std::shared_ptr<OrsaMireloDelegate>&) override {}
  void attach(const std::shared_ptr<OrsaView>&) override {}
  void stop() override {}
  void onPlayerSyncRecvSEI(const std::string&, std::span<const uint8_t> data) override {
    record_ = OrsaSEIRecord::parse(data);
  }
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> lengths, const QMXVideoFrameParam& param,
                                 const std::string&) override {
    // The picture's moment at the sender: what the receiver's latency is measured from.
    const int64_t sentAt = orsa::platform::currentMillis();
    std::lock_guard<std::mutex> lock(lock_);
    auto record = std::exchange(record_, std::nullopt);
    if (!record || data.empty() || lengths.empty() || !error_.empty()) return;
    if (!encoder_) {
      options_.width = param.width();
      options_.height = param.height();
      options_.fps = record->fps;
      encoder_ = StreamEncoder::open(options_, error_);
      if (!encoder_) return;
    }
    const size_t stride = param.strideAtIndex(0) > 0 ? static_cast<size_t>(param.strideAtIndex(0))
                                                     : static_cast<size_t>(param.width()) * 4;
    if (!encoder_->encode(data[0], stride, *record, sentAt)) error_ = encoder_->error();
  }

  // Main thread, after the sender stopped.
  bool finish(std::string& error) {
    std::lock_guard<std::mutex> lock(lock_);
    if (encoder_ && !encoder_->finish() && error_.empty()) error_ = encoder_->error();
    error = error_;
    return error_.empty();
  }
  std::string error() {
    std::lock_guard<std::mutex> lock(lock_);
    return error_;
  }
  nlohmann::json summary() {
    std::lock_guard<std::mutex> lock(lock_);
    nlohmann::json j;
    j["framesSent"] = encoder_ ? encoder_->framesEncoded() : 0;
    if (encoder_ && encoder_->isRtp()) {
      j["packetsSent"] = encoder_->packetsSent();
      j["packetsDropped"] = encoder_->packetsDropped();
    }
    j["width"] = options_.width;
    j["height"] = options_.height;
    j["fps"] = options_.fps;
    return j;
  }

 private:
  StreamEncoder::Options options_;
  std::optional<OrsaSEIRecord> record_;  // sender thread only
  std::mutex lock_;
  std::unique_ptr<StreamEncoder> encoder_;
  std::string error_;
};

int runStream(const std::vector<std::string>& args) {
  Options o;
  if (auto code = parse(args, o)) return *code;
  if (std::error_code ec; !fs::is_regular_file(o.package, ec))
    return fail(o.package + ": no such package file");
  std::string error;
  auto resources = prepare(o.package, error);
  if (!resources) return fail(o.package + ": " + error);

  StreamEncoder::Options eo;
  eo.to = o.to;
  eo.sdpPath = o.sdp;
  eo.bitrate = o.bitrate;
  eo.lossPercent = o.loss;
  eo.seed = o.seed;
  auto intake = std::make_shared<EncodingIntake>(eo);
  auto sender = SimulatedSender::create(*resources, intake, "stream", o.fps, error);
  if (!sender) return fail(o.package + ": " + error);

  std::signal(SIGINT, [](int) { interrupted = true; });
  std::signal(SIGTERM, [](int) { interrupted = true; });
  std::fprintf(stderr, "sending %.3g s at %d fps to %s", o.seconds, sender->fps(), o.to.c_str());
  if (o.loss > 0) std::fprintf(stderr, ", losing %.3g %% of the packets", o.loss);
  std::fprintf(stderr, "\n");
  const int64_t until = orsa::platform::currentMillis() + static_cast<int64_t>(o.seconds * 1000);
  sender->start();
  while (!interrupted && orsa::platform::currentMillis() < until && intake->error().empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sender->stop();
  if (!intake->finish(error)) return fail(error);
  std::printf("%s\n", intake->summary().dump(2).c_str());
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("stream", kUsage, runStream);

}  // namespace orsa::tool
