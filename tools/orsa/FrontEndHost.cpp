#include "FrontEndHost.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "Command.h"
#include "DemoRecorder.h"
#include "SimulatedSender.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/gl/GlRenderBackend.h"
#include "utils/ResourceManager.h"

extern char** environ;

namespace fs = std::filesystem;
using orsa::platform::MainLoop;

namespace orsa::tool {
namespace {

// The sizes at which a two-core machine without a GPU draws every frame.
constexpr const char* kSampleName = "demo-sample-package.zip";
constexpr const char* kSampleSize = "360x640";
constexpr const char* kSampleFrames = "50";

}  // namespace

std::optional<double> parseNumber(const std::string& s, double lo, double hi) {
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !(v >= lo && v <= hi)) return std::nullopt;
  return v;
}

std::optional<uint16_t> parsePort(const std::string& s) {
  const auto v = parseNumber(s, 0, 65535);
  if (!v || *v != std::floor(*v)) return std::nullopt;
  return static_cast<uint16_t>(*v);
}

int serveOnLoopback(const char* command, uint16_t port, const std::function<void(uint16_t)>& ready,
                    std::function<void(boost::asio::ip::tcp::socket)> serve) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io);
  boost::system::error_code ec;
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::fprintf(stderr, "orsa %s: cannot listen on 127.0.0.1:%u: %s\n", command, port,
                 ec.message().c_str());
    return 1;
  }
  ready(acceptor.local_endpoint().port());
  std::function<void()> accept = [&] {
    acceptor.async_accept([&](boost::system::error_code error, asio::ip::tcp::socket socket) {
      if (error) return;
      std::thread(serve, std::move(socket)).detach();
      accept();
    });
  };
  accept();
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](boost::system::error_code, int) {
    acceptor.close();
    io.stop();
  });
  io.run();
  std::fflush(stdout);
  std::_Exit(0);
}

std::optional<std::string> samplePackage(std::string& error) {
  const std::string dir = orsa::platform::AppContainer::documentsDirectory();
  const std::string path = dir + "/" + kSampleName;
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) return path;
  fs::create_directories(dir, ec);
  const std::string partial = path + ".making";
  std::fprintf(stderr, "making the sample package %s\n", path.c_str());
  std::vector<std::string> args = {"/proc/self/exe", "sample-package", partial,    "--frames",
                                   kSampleFrames,    "--size",         kSampleSize};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Its summary line is not the caller's: standard output stays the caller's own.
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = -1;
  int status = -1;
  const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    fs::remove(partial, ec);
    error = "cannot make the sample package";
    return std::nullopt;
  }
  fs::rename(partial, path, ec);
  if (ec) {
    error = "cannot keep the sample package at " + path + ": " + ec.message();
    return std::nullopt;
  }
  return path;
}

void ViewFeeder::onPlayerSyncRecvSEI(const std::string&, std::span<const uint8_t> data) {
  pendingSEI_.assign(data.begin(), data.end());
}

// What a host of a front end does with each picture its RTC library decodes.
void ViewFeeder::onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                           std::span<const uint32_t> dataLength,
                                           const QMXVideoFrameParam& param, const std::string&) {
  view_->drawFrame(pendingSEI_, data, dataLength, param);
  pendingSEI_.clear();
}

void StartOutcome::onMireloFirstFrameDraw() {
  int64_t expected = 0;
  firstFrameAt.compare_exchange_strong(expected, orsa::platform::currentMillis());
}

bool StartOutcome::finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

void StartOutcome::set(int64_t c, const std::string& m) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (done_) return;
  code = c, message = m, done_ = true;
}

int awaitStart(StartOutcome& outcome, double timeoutSeconds) {
  const bool ended =
      MainLoop::runUntil([&] { return outcome.finished(); },
                         std::chrono::milliseconds(std::lround(timeoutSeconds * 1000)));
  if (!ended) {
    std::fprintf(stderr, "start timed out\n");
    return 1;
  }
  if (outcome.code != 0) {
    std::fprintf(stderr, "start failed: %lld %s\n", static_cast<long long>(outcome.code),
                 outcome.message.c_str());
    return 1;
  }
  std::printf("started\n");
  std::fflush(stdout);
  return 0;
}

int feedAndRecord(const char* command, const std::shared_ptr<OrsaPreviewView>& view,
                  const std::shared_ptr<ResourceManager>& resources, const std::string& streamId,
                  double seconds, const std::string& out, int64_t startedAt,
                  const StartOutcome& outcome, const std::function<void()>& stop) {
  const Failure fail{command};
  auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(
      OrsaPreviewViewCore::of(*view).renderBackend().get());
  std::string error;
  auto sender = resources ? SimulatedSender::create(*resources, std::make_shared<ViewFeeder>(view),
                                                    streamId, 0, error)
                          : nullptr;
  if (!sender || !gl ||
      !MainLoop::runUntil([&] { return gl->hasMaskTexture(); }, std::chrono::seconds(10))) {
    stop();
    return fail(sender ? "the view did not load the package's mask" : "no sender: " + error);
  }
  DemoRecorder recorder((fs::path(out) / "composite.mp4").string(),
                        (fs::path(out) / "contact-sheet.png").string(), sender->fps());
  view->setPresentationSink([&recorder](const OrsaPicture& p) { recorder.onPicture(p); });
  const int64_t sendStart = orsa::platform::currentMillis();
  sender->start();
  MainLoop::runFor(std::chrono::milliseconds(std::lround(seconds * 1000)));
  sender->stop();
  // Frames still on their way through the background reads and the queue.
  MainLoop::runUntil(
      [&] {
        return view->receivedFrameCount() >= sender->framesSent() && view->queuedFrameCount() == 0;
      },
      std::chrono::seconds(3));
  MainLoop::runFor(std::chrono::milliseconds(300));
  const int64_t sendEnd = orsa::platform::currentMillis();
  stop();
  const DemoRecorder::Summary s = recorder.finish();

  const int64_t firstFrameAt = outcome.firstFrameAt.load();
  nlohmann::json stats;
  stats["framesSent"] = sender->framesSent();
  stats["framesReceived"] = view->receivedFrameCount();
  stats["framesDrawn"] = view->renderFrameCount();
  stats["framesDropped"] = view->droppedFrameCount();
  stats["framesRecorded"] = s.recorded;
  stats["framesNotRecorded"] = s.notRecorded;
  stats["firstFrameMs"] = firstFrameAt > 0 ? nlohmann::json(firstFrameAt - startedAt) : nullptr;
  stats["sentFps"] = sender->fps();
  stats["seconds"] = (sendEnd - sendStart) / 1000.0;
  const std::string statsPath = (fs::path(out) / "stats.json").string();
  std::ofstream(statsPath) << stats.dump(2) << "\n";
  std::printf("%s\noutputs: %s/{composite.mp4,contact-sheet.png,stats.json}\n",
              stats.dump(2).c_str(), out.c_str());
  if (!s.error.empty()) return fail(s.error);
  if (view->renderFrameCount() == 0) return fail("the view drew no frame (see 'orsa logs read')");
  return 0;
}

}  // namespace orsa::tool
