// orsa webdemo: the web-demo road end to end. The tool is the host: it prepares a package, the
// front end asks the backend for a rendering task and waits for the task's start message on its
// WebSocket, and the simulated sender then feeds the attached view through drawFrame, recorded
// as `orsa demo` records. `orsa backend serve` stands in for the web-demo backend.
#include <unistd.h>

// Asio's awaitable header uses std::exchange without including it.
#include <utility>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "FrontEndHost.h"
#include "OrsaMireloForWebDemoPrivate.h"
#include "net/DHBackendConnector.h"
#include "net/DHHttpRequestHelper.h"
#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaMireloForWebDemo.h"
#include "orsa/OrsaPreviewView.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/gl/GlRenderBackend.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using orsa::platform::MainLoop;

namespace orsa::tool {
namespace {

constexpr const char* kUsage =
    "webdemo --backend HTTP_BASE [--ws WS_BASE] --app-id A --app-sign S --room R --input-stream I "
    "--output-stream O --model M [--package ZIP] [--seconds S] [--timeout T] [--out DIR]";
constexpr const char* kBackendUsage = "backend serve --port P";
constexpr const char* kStreamId = "webdemo-stream";
// The sample `orsa demo` makes and keeps; either command reuses the other's.
constexpr const char* kServeModel = "demo-model";
// The longest a create-task and then the destroy-task for its answer may take, with a margin.
constexpr auto kRequestsWait = 2 * DHHttpRequestHelper::kDefaultTimeout + std::chrono::seconds(5);

constexpr Usage usage{"webdemo", kUsage};
constexpr Usage backendUsage{"backend", kBackendUsage};
constexpr Failure fail{"webdemo"};

// "http://h:p" -> "ws://h:p/ws", "https://h" -> "wss://h/ws".
std::optional<std::string> webSocketBaseFor(std::string httpBase) {
  while (!httpBase.empty() && httpBase.back() == '/') httpBase.pop_back();
  for (const auto& [from, to] : {std::pair{"https://", "wss://"}, std::pair{"http://", "ws://"}}) {
    const std::string prefix = from;
    if (httpBase.rfind(prefix, 0) == 0) return to + httpBase.substr(prefix.size()) + "/ws";
  }
  return std::nullopt;
}

int runWebDemo(const std::vector<std::string>& args) {
  std::map<std::string, std::string> v;
  double seconds = 4, timeout = 30;
  for (size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage("missing value for " + args[i]);
    const std::string& a = args[i];
    if (a == "--seconds" || a == "--timeout") {
      auto n = parseNumber(args[i + 1], 0.1, 3600);
      if (!n) return usage(a + " takes a number from 0.1 to 3600");
      (a == "--seconds" ? seconds : timeout) = *n;
    } else if (a == "--backend" || a == "--ws" || a == "--app-id" || a == "--app-sign" ||
               a == "--room" || a == "--input-stream" || a == "--output-stream" || a == "--model" ||
               a == "--package" || a == "--out") {
      v[a] = args[i + 1];
    } else {
      return usage("unknown argument " + a);
    }
  }
  for (const char* required : {"--backend", "--app-id", "--app-sign", "--room", "--input-stream",
                               "--output-stream", "--model"})
    if (v[required].empty()) return usage(std::string(required) + " is required");
  std::string ws = v["--ws"];
  if (ws.empty()) {
    auto made = webSocketBaseFor(v["--backend"]);
    if (!made) return usage("--backend takes an http:// or https:// URL");
    ws = *made;
  }
  const std::string out = v["--out"].empty() ? "orsa-webdemo-out" : v["--out"];
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) return fail("cannot create the output folder " + out);
  std::string package = v["--package"];
  if (package.empty()) {
    std::string error;
    auto made = samplePackage(error);
    if (!made) return fail(error);
    package = *made;
  } else if (!fs::is_regular_file(package, ec)) {
    return fail(package + ": no such package file");
  }

  auto view = OrsaPreviewView::create();
  view->setFrame(OrsaRect{0, 0, 360, 640});
  auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(
      OrsaPreviewViewCore::of(*view).renderBackend().get());
  const auto stopView = [&] {
    view->setPresentationSink(nullptr);
    view->stopAndWait(std::chrono::seconds(2));
  };
  if (!gl || !gl->hasPipeline()) {
    stopView();
    return fail("no GL ES 3 context with the shader library could be made on this machine (EGL)");
  }
  OrsaMireloForWebDemo::setBackendBaseURLs(v["--backend"], ws);
  auto demo = OrsaMireloForWebDemo::create();
  demo->setConnectionStateObserver([](uint64_t state, int32_t code, const std::string& msg) {
    std::fprintf(stderr, "state %llu %d %s\n", static_cast<unsigned long long>(state), code,
                 msg.c_str());
  });
  auto outcome = std::make_shared<StartOutcome>();
  demo->setResource(package);
  demo->attach(view);
  const int64_t startedAt = orsa::platform::currentMillis();
  demo->startWithAppID(v["--app-id"], v["--app-sign"],
                       OrsaRTCOptions(v["--room"], v["--input-stream"], v["--output-stream"]),
                       v["--model"], outcome);
  // Ends the backend task and waits until the backend has heard of it. A create-task still
  // in flight is waited for too: its answer names a task that is then destroyed at once, and
  // leaving before that would leave the task running at the backend. Each request ends within
  // the HTTP time-out, which bounds the wait.
  const auto stopDemo = [&] {
    demo->stop();
    stopView();
    MainLoop::runUntil([] { return DHBackendConnector::requestsInFlight() == 0; }, kRequestsWait);
  };
  if (awaitStart(*outcome, timeout) != 0) {
    stopDemo();
    return 1;
  }
  return feedAndRecord("webdemo", view, OrsaMireloForWebDemoPrivate::of(*demo).resourceManager(),
                       kStreamId, seconds, out, startedAt, *outcome, stopDemo);
}

// The stand-in backend's tasks: WebSocket port number -> task id.
struct Tasks {
  std::mutex mutex;
  std::map<int32_t, std::string> byPort;
  int32_t next = 1;
};

void say(const std::string& line) {
  static std::mutex m;
  std::lock_guard<std::mutex> lock(m);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string answer(bool success, const std::string& msg, nlohmann::json data) {
  return nlohmann::json{{"success", success}, {"msg", msg}, {"data", std::move(data)}}.dump();
}

// A task's socket: the start message once it opens, then every message it receives, logged.
void serveSocket(asio::ip::tcp::socket socket, const http::request<http::string_body>& request,
                 const std::string& task) {
  websocket::stream<asio::ip::tcp::socket> ws(std::move(socket));
  boost::system::error_code ec;
  ws.accept(request, ec);
  if (ec) return;
  say(task + " websocket opened");
  ws.text(true);
  // The blank after the colon is what makes it the start message for the connector.
  const std::string start = "{\"Type\": \"start\", \"TaskId\": \"" + task + "\"}";
  ws.write(asio::buffer(start), ec);
  for (beast::flat_buffer buffer; !ec; buffer.clear()) {
    ws.read(buffer, ec);
    if (ec) break;
    const std::string text = beast::buffers_to_string(buffer.data());
    const auto j = nlohmann::json::parse(text, nullptr, false);
    std::string type = "?";
    if (j.is_object() && j.contains("Payload") && j["Payload"].is_object() &&
        j["Payload"].contains("Type") && j["Payload"]["Type"].is_string())
      type = j["Payload"]["Type"].get<std::string>();
    say(task + " received " + type + ": " + text);
  }
  say(task + " websocket closed: " + ec.message());
}

void serveConnection(asio::ip::tcp::socket socket, Tasks& tasks) {
  beast::flat_buffer buffer;
  boost::system::error_code ec;
  for (;;) {
    http::request<http::string_body> request;
    http::read(socket, buffer, request, ec);
    if (ec) return;
    const std::string path(request.target());
    if (websocket::is_upgrade(request) && path.rfind("/ws/", 0) == 0) {
      std::string task;
      {
        std::lock_guard<std::mutex> lock(tasks.mutex);
        auto it = tasks.byPort.find(std::atoi(path.c_str() + 4));
        if (it != tasks.byPort.end()) task = it->second;
      }
      if (!task.empty()) return serveSocket(std::move(socket), request, task);
    }
    http::response<http::string_body> response{http::status::ok, request.version()};
    response.keep_alive(request.keep_alive());
    response.set(http::field::content_type, "application/json");
    const auto body = nlohmann::json::parse(request.body(), nullptr, false);
    std::string note;
    if (path == "/api/model_list") {
      const nlohmann::json model = {
          {"model_id", kServeModel},
          {"decoraterConfig",
           {{"layout",
             {{"bg_color", "#545454"},
              {"layers", {{{"type", "stream"}, {"index", 1}, {"rect", {0, 0, 1080, 1920}}}}}}},
            {"output", {{"type", "rtc"}, {"fps", 25}, {"bitrate", 8000000}}}}}};
      response.body() = answer(true, "ok", nlohmann::json::array({model}));
    } else if (path == "/api/create_task") {
      if (!body.is_object() || !body.contains("model_id")) {
        response.body() = answer(false, "a create-task body names a model_id", nullptr);
      } else {
        std::lock_guard<std::mutex> lock(tasks.mutex);
        const int32_t port = tasks.next++;
        const std::string id = "task-" + std::to_string(port);
        tasks.byPort[port] = id;
        response.body() = answer(true, "ok", {{"task_id", id}, {"ws_port", port}});
        note = " " + id + " for model " + body["model_id"].dump() + ", websocket /ws/" +
               std::to_string(port);
      }
    } else if (path == "/api/destroy_task") {
      const std::string id =
          body.is_object() && body.contains("task_id") && body["task_id"].is_string()
              ? body["task_id"].get<std::string>()
              : "";
      bool found = false;
      {
        std::lock_guard<std::mutex> lock(tasks.mutex);
        for (auto it = tasks.byPort.begin(); it != tasks.byPort.end(); ++it) {
          if (it->second != id) continue;
          tasks.byPort.erase(it);
          found = true;
          break;
        }
      }
      response.body() = answer(found, found ? "ok" : "no such task", nullptr);
      note = " " + id + (found ? " destroyed" : " unknown");
    } else {
      response.result(http::status::not_found);
      response.body() = answer(false, "not found", nullptr);
    }
    response.prepare_payload();
    say(std::string(request.method_string()) + " " + path + " " +
        std::to_string(response.result_int()) + note);
    http::write(socket, response, ec);
    if (ec || !response.keep_alive()) return;
  }
}

int runServe(const std::vector<std::string>& args) {
  std::optional<uint16_t> port;
  for (size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size() || args[i] != "--port") return backendUsage("serve takes --port P");
    port = parsePort(args[i + 1]);
    if (!port) return backendUsage("--port takes a whole number 0-65535");
  }
  if (!port) return backendUsage("serve needs --port");
  auto* tasks = new Tasks();  // connection threads use it until the process ends
  return serveOnLoopback(
      "backend", *port,
      [](uint16_t p) {
        say("serving on http://127.0.0.1:" + std::to_string(p) + " (model " + kServeModel + ")");
      },
      [tasks](asio::ip::tcp::socket socket) { serveConnection(std::move(socket), *tasks); });
}

int runBackend(const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "serve") return backendUsage("unknown subcommand");
  return runServe(std::vector<std::string>(args.begin() + 1, args.end()));
}

}  // namespace

ORSA_TOOL_COMMAND("webdemo", kUsage, runWebDemo);
ORSA_TOOL_COMMAND("backend", kBackendUsage, runBackend);

}  // namespace orsa::tool
