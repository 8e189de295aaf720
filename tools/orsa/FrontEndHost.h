#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaMireloForAIAgent.h"
#include "orsa/OrsaPreviewView.h"

class ResourceManager;

// What the tool's hosts share: the demo and the two front ends (orsa agent, orsa webdemo).
namespace orsa::tool {

// A number in [lo, hi] and nothing else.
std::optional<double> parseNumber(const std::string& s, double lo, double hi);
// A whole number 0-65535.
std::optional<uint16_t> parsePort(const std::string& s);

// The stand-in services: serves 127.0.0.1:port (0 takes any free port), each connection on a
// thread of its own, until SIGINT or SIGTERM, and then ends the process at once, since connection
// threads may still be writing. `ready` learns the bound port before the first connection.
// Answers 1, with "orsa <command>: cannot listen on ..." on standard error, when the port cannot
// be had.
int serveOnLoopback(const char* command, uint16_t port, const std::function<void(uint16_t)>& ready,
                    std::function<void(boost::asio::ip::tcp::socket)> serve);

// The sample package, made once by this same program and kept in the container's documents.
std::optional<std::string> samplePackage(std::string& error);

// The engine's frame intake reduced to what the front-end roads need: each SEI record and head
// picture become a frame record that goes to the view's drawFrame.
class ViewFeeder : public IOrsaMirelo {
 public:
  explicit ViewFeeder(std::shared_ptr<OrsaPreviewView> view) : view_(std::move(view)) {}
  void start(const std::string&, const std::shared_ptr<OrsaMireloDelegate>&) override {}
  void attach(const std::shared_ptr<OrsaView>&) override {}
  void stop() override {}
  void onPlayerSyncRecvSEI(const std::string&, std::span<const uint8_t> data) override;
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> dataLength,
                                 const QMXVideoFrameParam& param, const std::string&) override;

 private:
  std::shared_ptr<OrsaPreviewView> view_;
  // The sender's thread only.
  std::vector<uint8_t> pendingSEI_;
};

// The first outcome a front end reports, and when the view drew its first frame.
class StartOutcome : public OrsaMireloStartDelegate {
 public:
  void onMireloStartSuccess() override { set(0, ""); }
  void onMireloStartFail(int64_t code, const std::string& message) override { set(code, message); }
  void onMireloFirstFrameDraw() override;
  bool finished();
  // Final once finished() is true.
  int64_t code = 0;
  std::string message;
  std::atomic<int64_t> firstFrameAt{0};

 private:
  void set(int64_t c, const std::string& m);
  std::mutex mutex_;
  bool done_ = false;
};

// Waits up to timeoutSeconds for the outcome. Prints "started" and answers 0, or prints
// "start timed out" / "start failed: CODE MESSAGE" on standard error and answers 1.
int awaitStart(StartOutcome& outcome, double timeoutSeconds);

// After a started front end: the simulated sender feeds the view from the prepared package for
// `seconds`, the presented pictures are recorded into `out` as `orsa demo` records them, and
// stats.json is written and printed. `stop` ends the front end and the view once the frames are
// through. Answers the exit code; failures are printed as "orsa <command>: why".
int feedAndRecord(const char* command, const std::shared_ptr<OrsaPreviewView>& view,
                  const std::shared_ptr<ResourceManager>& resources, const std::string& streamId,
                  double seconds, const std::string& out, int64_t startedAt,
                  const StartOutcome& outcome, const std::function<void()>& stop);

}  // namespace orsa::tool
