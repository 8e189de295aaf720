// orsa agent: the AI-agent road end to end. The tool plays the host: its connection sends the
// render-information request as a JSON POST, the front end downloads and prepares the package
// it names, and the simulated sender then feeds the attached view through drawFrame, recorded
// as `orsa demo` records. `orsa agent serve` stands in for the AI-agent service.

// Asio's awaitable header uses std::exchange without including it.
#include <utility>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "FrontEndHost.h"
#include "OrsaMireloForAIAgentPrivate.h"
#include "net/JsonInteger.h"
#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaMireloForAIAgent.h"
#include "orsa/OrsaPreviewView.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/UrlSession.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/gl/GlRenderBackend.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace http = boost::beast::http;
using orsa::platform::MainLoop;

namespace orsa::tool {
namespace {

constexpr const char* kUsage =
    "agent --service BASE_URL --meta-human ID --app-id A --user-id U --token T [--seconds S] "
    "[--out DIR] [--timeout T] | agent serve --port P --package ZIP";
constexpr const char* kStreamId = "agent-stream";
constexpr const char* kPackagePath = "/package.zip";

constexpr Usage usage{"agent", kUsage};
constexpr Failure fail{"agent"};

// The tool as the host's connection: a JSON POST naming the service in two headers, and the
// answer's "Code", "Message" and "RequestId" read out of the JSON object it returns, which goes
// back whole as the data.
class HttpConnection : public OrsaHostConnection {
 public:
  void qmxRequestSvrWithService(int32_t service, const std::string& serviceName,
                                const std::string& url, const std::string& body,
                                Callback callback) override {
    orsa::platform::UrlRequest request;
    request.url = url;
    request.method = "POST";
    request.setHeader("Content-Type", "application/json");
    request.setHeader("X-Service", std::to_string(service));
    request.setHeader("X-Service-Name", serviceName);
    request.body.assign(body.begin(), body.end());
    auto task = orsa::platform::UrlSession::shared()->dataTaskWithRequest(
        std::move(request), [callback](const std::optional<orsa::platform::Bytes>& data,
                                       const std::optional<orsa::platform::UrlResponse>& response,
                                       const std::optional<orsa::platform::TransferError>& error) {
          if (error) return callback(error->code, error->description, "", "");
          auto answer = data ? nlohmann::json::parse(data->begin(), data->end(), nullptr, false)
                             : nlohmann::json();
          const long status = response ? response->statusCode : 0;
          const std::optional<int64_t> code = answer.is_object() && answer.contains("Code")
                                                  ? orsaJsonInteger(answer["Code"])
                                                  : std::nullopt;
          if (!code)
            return callback(-1,
                            "the service's answer (HTTP " + std::to_string(status) +
                                ") is not a JSON object with a whole-number Code",
                            "", "");
          const auto text = [&](const char* key) {
            auto it = answer.find(key);
            return it != answer.end() && it->is_string() ? it->get<std::string>() : "";
          };
          callback(*code, text("Message"), text("RequestId"),
                   std::string(data->begin(), data->end()));
        });
    task->resume();
  }
};

int runStart(const std::vector<std::string>& args) {
  std::string service, human, appId, userId, token, out = "orsa-agent-out";
  double seconds = 4, timeout = 60;
  for (size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage("missing value for " + args[i]);
    const std::string& a = args[i];
    const std::string& v = args[i + 1];
    if (a == "--service") {
      service = v;
    } else if (a == "--meta-human") {
      human = v;
    } else if (a == "--app-id") {
      appId = v;
    } else if (a == "--user-id") {
      userId = v;
    } else if (a == "--token") {
      token = v;
    } else if (a == "--out") {
      out = v;
    } else if (a == "--seconds" || a == "--timeout") {
      auto n = parseNumber(v, 0.1, 3600);
      if (!n) return usage(a + " takes a number from 0.1 to 3600");
      (a == "--seconds" ? seconds : timeout) = *n;
    } else {
      return usage("unknown argument " + a);
    }
  }
  if (service.empty()) return usage("--service is required");
  std::error_code ec;
  fs::create_directories(out, ec);
  if (out.empty() || !fs::is_directory(out, ec)) return fail("cannot create the output folder");

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
  OrsaMireloForAIAgent::setServiceBaseURL(service);
  auto agent = OrsaMireloForAIAgent::create();
  auto outcome = std::make_shared<StartOutcome>();
  agent->attach(view);
  const int64_t startedAt = orsa::platform::currentMillis();
  agent->startWithAuthInfo(AuthInfo(appId, userId, token), human,
                           std::make_shared<HttpConnection>(), outcome);
  if (awaitStart(*outcome, timeout) != 0) {
    agent->stop();
    stopView();
    return 1;
  }
  return feedAndRecord("agent", view, OrsaMireloForAIAgentPrivate::of(*agent).resourceManager(),
                       kStreamId, seconds, out, startedAt, *outcome, [&] {
                         agent->stop();
                         stopView();
                       });
}

// One connection of the stand-in service, answered request by request until the client closes.
void serveConnection(asio::ip::tcp::socket socket, const std::string& package, uint16_t port,
                     std::atomic<uint64_t>& requests) {
  boost::beast::flat_buffer buffer;
  boost::system::error_code ec;
  for (;;) {
    http::request<http::string_body> request;
    http::read(socket, buffer, request, ec);
    if (ec) return;
    std::string path(request.target());
    path = path.substr(0, path.find('?'));
    http::response<http::string_body> response{http::status::ok, request.version()};
    response.keep_alive(request.keep_alive());
    const std::string renderInfo = OrsaMireloForAIAgent::kRenderInfoPath;
    if (path.size() >= renderInfo.size() &&
        path.compare(path.size() - renderInfo.size(), renderInfo.size(), renderInfo) == 0) {
      // A request the AI-agent service would not take is refused as the service refuses.
      const auto body = nlohmann::json::parse(request.body(), nullptr, false);
      const bool valid = request[http::field::content_type] == "application/json" &&
                         request["X-Service"] == "34" && request["X-Service-Name"] == "aigc" &&
                         body.is_object() && body.contains("MetaHumanId");
      nlohmann::json answer = {{"Code", valid ? 0 : 40001},
                               {"Message", valid ? "ok" : "not a render-information request"},
                               {"RequestId", "req-" + std::to_string(++requests)}};
      if (valid)
        answer["Data"] = {{"IsSupportROI", true},
                          {"RenderMode", 1},
                          {"ClientInferencePackageUrl",
                           "http://127.0.0.1:" + std::to_string(port) + kPackagePath}};
      response.set(http::field::content_type, "application/json");
      response.body() = answer.dump();
    } else if (path == kPackagePath && request.method() == http::verb::get) {
      response.set(http::field::content_type, "application/zip");
      response.body() = package;
    } else {
      response.result(http::status::not_found);
      response.body() = "not found\n";
    }
    response.prepare_payload();
    std::printf("%s %s %d\n", std::string(request.method_string()).c_str(), path.c_str(),
                response.result_int());
    std::fflush(stdout);
    http::write(socket, response, ec);
    if (ec || !response.keep_alive()) return;
  }
}

int runServe(const std::vector<std::string>& args) {
  std::optional<uint16_t> port;
  std::string packagePath;
  for (size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage("missing value for " + args[i]);
    if (args[i] == "--port") {
      port = parsePort(args[i + 1]);
      if (!port) return usage("--port takes a whole number 0-65535");
    } else if (args[i] == "--package") {
      packagePath = args[i + 1];
    } else {
      return usage("unknown argument " + args[i]);
    }
  }
  if (!port || packagePath.empty()) return usage("serve needs --port and --package");
  auto package = readWholeFile(packagePath);
  if (!package) return fail(packagePath + ": cannot read the package");

  // Connection threads may use these until the process ends: serveOnLoopback never returns once
  // it serves.
  std::atomic<uint64_t> requests{0};
  uint16_t bound = 0;
  return serveOnLoopback(
      "agent", *port,
      [&](uint16_t p) {
        bound = p;
        std::printf("serving on http://127.0.0.1:%u (package %s, %zu bytes)\n", p,
                    packagePath.c_str(), package->size());
        std::fflush(stdout);
      },
      [&](asio::ip::tcp::socket socket) {
        serveConnection(std::move(socket), *package, bound, requests);
      });
}

int runAgent(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "serve")
    return runServe(std::vector<std::string>(args.begin() + 1, args.end()));
  return runStart(args);
}

}  // namespace

ORSA_TOOL_COMMAND("agent", kUsage, runAgent);

}  // namespace orsa::tool
