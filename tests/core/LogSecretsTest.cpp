// Credentials stay out of every log line, and the files that hold lines are the user's alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "logging/LogRedact.h"
#include "logging/OrsaLogReader.h"
#include "logging/OrsaLogger.h"
#include "logging/QMXLogUtil.h"
#include "net/DHBackendConnector.h"
#include "net/DHTaskManager.h"
#include "orsa/OrsaMireloForAIAgent.h"
#include "orsa/OrsaMireloForWebDemo.h"
#include "platform/Dispatch.h"
#include "support/ScriptedBackend.h"
#include "support/StartRecorder.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kToken = "tok-Q7f2xZ";
constexpr const char* kAppSign = "sig-K9w4pL";

// Answers every request to the AI-agent service with a failure, after the start logged its
// request.
class FailingConnection : public OrsaHostConnection {
 public:
  void qmxRequestSvrWithService(int32_t, const std::string&, const std::string& url,
                                const std::string& body, Callback callback) override {
    QMXLogUtil::sharedInstance().logTraceMsg(QMXLogLevelInfo, "host request " + url + " " + body);
    callback(40001, "bad token", "req-1", "");
  }
};

// A web-demo start through the connector (create-task carries the app sign), a failed
// destroy-task that keeps a task in the registry, and an AI-agent start with a token.
ORSA_TEST_CHILD(RunWithCredentials) {
  orsa::test::ScriptedBackend backend(nlohmann::json::array());
  backend.script("/api/destroy_task", [](const auto&) {
    return orsa::test::ScriptedBackend::reply(R"({"success":false})", 500);
  });
  OrsaMireloForWebDemo::setBackendBaseURLs(backend.httpBase(), backend.wsBase());
  auto connector =
      DHBackendConnector::initWithAppID("app", kAppSign, "m", "room", "out", "in", nullptr);
  connector->connect();
  CHECK(orsa::test::waitUntil([&] { return !backend.socketPaths().empty(); }));
  connector->destroy();
  CHECK(orsa::test::waitUntil([] { return DHBackendConnector::requestsInFlight() == 0; }));
  CHECK(!DHTaskManager::sharedInstance().getAllTasks().empty());

  auto agent = OrsaMireloForAIAgent::create();
  auto delegate = std::make_shared<orsa::test::StartRecorder>();
  agent->startWithAuthInfo(AuthInfo("app", "user", kToken), "mh",
                           std::make_shared<FailingConnection>(), delegate);
  CHECK(delegate->count() == 1);
  ORSA_LOG_INFO("Test", "GET https://h/p?key=%s&x=1 Cookie: sid=%s", kToken, kAppSign);
  return 0;
}

TEST(LogSecrets, ARunWithATokenAndAnAppSignLeavesNeitherInItsFiles) {
  orsa::test::TempHome home;
  const auto r = orsa::test::runChild("RunWithCredentials", {"ORSA_HOME=" + home.str()}, 120);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err.find(kToken), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(kAppSign), std::string::npos) << r.err;

  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(home.path()))
    if (e.is_regular_file()) files.push_back(e.path());
  size_t logs = 0, defaults = 0;
  for (const auto& file : files) {
    const std::string name = file.filename().string();
    const bool log = file.parent_path().filename() == "logs";
    const bool prefs = file.parent_path().filename() == "Preferences";
    if (!log && !prefs) continue;
    SCOPED_TRACE(file.string());
    logs += log;
    defaults += prefs;
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = orsa::test::readFile(file);
    if (name.rfind("OrsaLog", 0) == 0) text = orsaUnscrambleLog(text, kOrsaLogScrambleKey);
    EXPECT_EQ(text.find(kToken), std::string::npos);
    EXPECT_EQ(text.find(kAppSign), std::string::npos);
    // The lines are there, only their secrets are not.
    if (name == "OrsaLog1.txt") {
      EXPECT_NE(text.find(R"("app_sign":"***")"), std::string::npos);
      EXPECT_NE(text.find("token: ***"), std::string::npos);
    }
  }
  EXPECT_GE(logs, 1u);
  EXPECT_EQ(defaults, 1u);
}

}  // namespace
