// The AI-agent front end against a scripted host connection: the request and every outcome.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "OrsaMireloForAIAgentPrivate.h"
#include "orsa/OrsaMireloForAIAgent.h"
#include "platform/Dispatch.h"
#include "support/HttpTestServers.h"
#include "support/StartRecorder.h"
#include "support/TestSupport.h"
#include "utils/ResourceManager.h"

using namespace orsa::test;
using orsa::platform::MainLoop;
using Json = nlohmann::json;

namespace {

struct FakeConnection : OrsaHostConnection {
  void qmxRequestSvrWithService(int32_t s, const std::string& name, const std::string& u,
                                const std::string& b, Callback cb) override {
    service = s, serviceName = name, url = u, callback = std::move(cb), ++calls;
    body = Json::parse(b, nullptr, false);
  }
  int32_t service = 0, calls = 0;
  std::string serviceName, url;
  Json body;
  Callback callback;
};

Json package(const std::string& url) {
  return {
      {"Data", {{"IsSupportROI", true}, {"RenderMode", 1}, {"ClientInferencePackageUrl", url}}}};
}

class AIAgent : public testing::Test {
 protected:
  // One container for the suite: the process-wide downloader keeps the caches folder it found.
  static void SetUpTestSuite() { home_ = new TempHome; }
  static void TearDownTestSuite() { delete home_; }

  std::shared_ptr<FakeConnection> start(const AuthInfo& auth, const std::string& human = "mh-7") {
    auto connection = std::make_shared<FakeConnection>();
    agent->startWithAuthInfo(auth, human, connection, delegate);
    return connection;
  }
  StartRecorder::Outcomes outcome() {
    MainLoop::runUntil([&] { return delegate->count() > 0; }, std::chrono::seconds(30));
    MainLoop::runFor(std::chrono::milliseconds(20));  // a second report would come now
    return delegate->seen();
  }

  static inline TempHome* home_ = nullptr;
  std::shared_ptr<OrsaMireloForAIAgent> agent = OrsaMireloForAIAgent::create();
  std::shared_ptr<StartRecorder> delegate = std::make_shared<StartRecorder>();
  AuthInfo auth{"app-1", "user-2", "tok-3"};
};

TEST_F(AIAgent, AsksTheServiceForTheRenderInformationWithTheSixKeys) {
  OrsaMireloForAIAgent::setServiceBaseURL("https://agent.test");
  auto c = start(auth);
  OrsaMireloForAIAgent::setServiceBaseURL(OrsaMireloForAIAgent::kDefaultServiceBaseURL);
  EXPECT_EQ(std::tie(c->calls, c->service, c->serviceName), std::make_tuple(1, 34, "aigc"));
  EXPECT_EQ(c->url, "https://agent.test//aigc/v1/meta_human/render_info");
  const std::string device = c->body.value("DeviceId", "");
  Json expected = Json::parse(
      R"({"AppId":"app-1","UserId":"user-2","Token":"tok-3","Platform":"2","MetaHumanId":"mh-7"})");
  expected["DeviceId"] = device;
  EXPECT_EQ(c->body, expected);
  EXPECT_TRUE(std::regex_match(device, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
      << device;
  // Stable: the next start, and the stored setting, carry the same identifier.
  EXPECT_EQ(start(auth)->body["DeviceId"], device);
  EXPECT_EQ(OrsaMireloForAIAgent::deviceIdentifier(), device);
}

TEST_F(AIAgent, AMissingCredentialFailsBeforeAnythingIsSent) {
  const std::vector<std::tuple<AuthInfo, std::string, std::string>> cases = {
      {{"", "u", "t"}, "h", "AppId"},
      {{"a", "", "t"}, "h", "UserId"},
      {{"a", "u", ""}, "h", "Token"},
      {{"a", "u", "t"}, "", "MetaHumanId"}};
  for (const auto& [credentials, human, field] : cases) {
    delegate = std::make_shared<StartRecorder>();
    EXPECT_EQ(start(credentials, human)->calls, 0) << field;
    EXPECT_EQ(delegate->seen(), (StartRecorder::Outcomes{{-200000, "Missing " + field}}));
  }
}

TEST_F(AIAgent, EachAnswerEndsTheStartAsItShould) {
  FaultHttpServer server([](const FaultHttpServer::Request& r) {
    FaultHttpServer::Reply reply;
    reply.status = r.target == "/gone.zip" ? 404 : 200;
    reply.body = "these bytes are not a zip archive";
    return reply;
  });
  const std::string notSupported = "This conversation do not support ";
  const std::string noDownload = "Failed to download meta human resource";
  using Outcome = StartRecorder::Outcome;
  // The data as the host hands it over: JSON text, or nothing at all.
  const std::vector<std::tuple<int64_t, std::string, std::string, Outcome>> cases = {
      {40017,
       "token expired",
       package("http://127.0.0.1:9/p.zip").dump(),
       {40017, "token expired"}},
      {0, "ok", R"({"Data":{"IsSupportROI":true,"RenderMode":2}})", {-200001, notSupported}},
      {0, "ok", R"({"Data":{"IsSupportROI":false,"RenderMode":1}})", {-200001, notSupported}},
      {0, "ok", R"({"IsSupportROI":true,"RenderMode":1})", {-200001, notSupported}},
      {0, "ok", "[]", {-200001, notSupported}},
      {0, "ok", "", {-200001, notSupported}},
      {0, "ok", "null", {-200001, notSupported}},
      {0, "ok", R"({"Data":{"IsSupportROI":true,)", {-200001, notSupported}},
      {0, "", package(server.url("/gone.zip")).dump(), {-200000, noDownload}},
      {0,
       "",
       package(server.url("/junk.zip")).dump(),
       {-200000, "Failed to resolve meta human resource"}},
  };
  for (const auto& [code, message, data, expected] : cases) {
    delegate = std::make_shared<StartRecorder>();
    start(auth)->callback(code, message, "req-1", data);
    EXPECT_EQ(outcome(), std::vector<Outcome>{expected}) << data;
  }
}

TEST_F(AIAgent, ADelegateThatOverridesNothingStillLetsTheStartRunToItsEnd) {
  FaultHttpServer server([](const FaultHttpServer::Request&) {
    FaultHttpServer::Reply reply;
    reply.body = "these bytes are not a zip archive";
    return reply;
  });
  auto connection = std::make_shared<FakeConnection>();
  const std::string log = consoleOf([&] {
    agent->startWithAuthInfo(auth, "mh", connection, std::make_shared<OrsaMireloStartDelegate>());
    connection->callback(0, "ok", "req-2", package(server.url("/junk.zip")).dump());
    // The download ends in a preparation, which names its folder first; once its queue is
    // through, its result waits on the main queue.
    auto& d = OrsaMireloForAIAgentPrivate::of(*agent);
    ASSERT_TRUE(MainLoop::runUntil(
        [&] { return d.resourceManager() && !d.resourceManager()->resourceDir().empty(); },
        std::chrono::seconds(30)));
    d.resourceManager()->processingQueue()->sync([] {});
    MainLoop::poll();
  });
  EXPECT_NE(log.find("Set resource failed, result: -200000"), std::string::npos) << log;
}

TEST_F(AIAgent, AnAnswerAfterTheFrontEndIsGoneIsDropped) {
  auto c = start(auth);
  agent.reset();
  const std::string console = consoleOf(
      [&] { c->callback(0, "ok", "req-9", package("http://127.0.0.1:9/never.zip").dump()); });
  EXPECT_NE(console.find("self is nil after pulling MetaHumanConfig, do not set resource"),
            std::string::npos)
      << console;
  MainLoop::poll();  // nothing was started that could still report
  EXPECT_TRUE(delegate->seen().empty());
}

}  // namespace
