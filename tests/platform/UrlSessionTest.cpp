#include "platform/UrlSession.h"

#include <signal.h>
#include <sys/wait.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "platform/AppContainer.h"
#include "platform/TransferJournal.h"
#include "platform/UrlSessionResume.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

using namespace orsa::platform;
using namespace orsa::test;
using namespace std::chrono_literals;
using Reply = FaultHttpServer::Reply;
namespace fs = std::filesystem;

namespace {

Reply reply(int status, std::vector<std::pair<std::string, std::string>> headers,
            std::string body) {
  Reply r;
  r.status = status, r.headers = std::move(headers), r.body = std::move(body);
  return r;
}

UrlRequest request(std::string url, std::string method = "GET") {
  UrlRequest r;
  r.url = std::move(url), r.method = std::move(method);
  return r;
}

std::string randomBytes(size_t n, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Everything the delegate saw, in order, per task.
struct Recorder : UrlSessionDelegate {
  struct Transfer {
    std::vector<std::string> events;
    int64_t lastTotal = -1, expected = -2, firstTotal = -1;
    bool totalsAddUp = true, fileOutlivedCallback = false;
    std::string content, path;
    long status = 0;
    std::optional<TransferError> error;
    bool done = false;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::map<uint64_t, Transfer> transfers;
  std::vector<std::string> order;  // session-wide: "complete N", "resume N", "invalid"

  void didWriteData(UrlSession&, UrlSessionDownloadTask& task, int64_t bytes, int64_t total,
                    int64_t expected) override {
    std::lock_guard lock(mu);
    auto& t = transfers[task.taskIdentifier()];
    if (t.events.empty() || t.events.back() != "write") t.events.push_back("write");
    if (t.lastTotal >= 0 && total != t.lastTotal + bytes) t.totalsAddUp = false;
    if (t.firstTotal < 0) t.firstTotal = total - bytes;
    t.lastTotal = total, t.expected = expected;
    cv.notify_all();
  }
  void didFinishDownloadingToURL(UrlSession&, UrlSessionDownloadTask& task,
                                 const std::string& location) override {
    std::lock_guard lock(mu);
    auto& t = transfers[task.taskIdentifier()];
    t.events.push_back("finish");
    t.content = readFile(location), t.path = location;
    t.status = task.response() ? task.response()->statusCode : -1;
  }
  void didComplete(UrlSession&, UrlSessionTask& task,
                   const std::optional<TransferError>& error) override {
    std::lock_guard lock(mu);
    auto& t = transfers[task.taskIdentifier()];
    t.events.push_back("complete");
    t.fileOutlivedCallback = !t.path.empty() && fs::exists(t.path);
    t.error = error, t.done = true;
    order.push_back("complete " + std::to_string(task.taskIdentifier()));
    cv.notify_all();
  }
  void didBecomeInvalid(UrlSession&, const std::optional<Error>&) override {
    std::lock_guard lock(mu);
    order.push_back("invalid");
    cv.notify_all();
  }
  bool wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, timeout, pred);
  }
  Transfer run(UrlSessionTask& task) {
    task.resume();
    EXPECT_TRUE(wait([&] { return transfers[task.taskIdentifier()].done; }));
    std::lock_guard lock(mu);
    return transfers[task.taskIdentifier()];
  }
};

class UrlSessionTest : public testing::Test {
 protected:
  void SetUp() override { AppContainer::setRoot(home.str()); }
  void TearDown() override {
    if (!session) return;
    session->invalidateAndCancel();
    EXPECT_TRUE(recorder->wait(
        [&] { return !recorder->order.empty() && recorder->order.back() == "invalid"; }));
  }
  void open(const std::string& identifier = "") {
    session = UrlSession::make(UrlSessionConfiguration::background(identifier), recorder, nullptr);
  }
  Bytes pause(UrlSessionDownloadTask& task) {
    std::optional<Bytes> data;
    std::atomic<bool> answered = false;
    task.cancelByProducingResumeData([&](std::optional<Bytes> d) {
      std::lock_guard lock(recorder->mu);
      data = std::move(d), answered = true;
      recorder->order.push_back("resume " + std::to_string(task.taskIdentifier()));
      recorder->cv.notify_all();
    });
    EXPECT_TRUE(recorder->wait([&] { return answered.load(); }));
    return data.value_or(Bytes{});
  }
  TempDir home;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<UrlSession> session;
};

const std::vector<std::string> kDone = {"write", "finish", "complete"};

TEST_F(UrlSessionTest, NginxDownloadPausedAndContinuedWithRangeIsIdentical) {
  const std::string content = randomBytes(3 << 20);
  writeFile(home.path() / "blob", content);
  NginxServer fast({home.path(), "", ""}), slow({home.path(), "2m", ""});
  open();

  auto plain = session->downloadTaskWithURL(fast.url("blob"));
  auto t = recorder->run(*plain);
  EXPECT_EQ(t.events, kDone);
  EXPECT_TRUE(t.content == content && t.totalsAddUp && !t.error && !t.fileOutlivedCallback);
  EXPECT_EQ(t.lastTotal, int64_t(content.size()));
  EXPECT_EQ(t.expected, int64_t(content.size()));
  EXPECT_EQ(plain->state(), TransferState::Completed);
  EXPECT_EQ(plain->response()->header("accept-ranges"), "bytes");

  auto first = session->downloadTaskWithURL(slow.url("blob"));
  first->resume();
  ASSERT_TRUE(recorder->wait(
      [&] { return recorder->transfers[first->taskIdentifier()].lastTotal > 300000; }));
  const Bytes data = pause(*first);
  ASSERT_TRUE(recorder->wait([&] { return recorder->transfers[first->taskIdentifier()].done; }));
  const auto resume = UrlSessionResume::fromResumeData(data);
  ASSERT_TRUE(resume);
  EXPECT_GT(resume->bytesReceived, 300000);
  EXPECT_EQ(resume->entityTag, first->response()->header("ETag"));
  EXPECT_EQ(fs::file_size(AppContainer::temporaryDirectory() + "/" + resume->tempFileName),
            uint64_t(resume->bytesReceived));
  // The completion carries the same resume data, as the platform's does.
  EXPECT_EQ(recorder->transfers[first->taskIdentifier()].error->code, kUrlErrorCancelled);
  EXPECT_EQ(recorder->transfers[first->taskIdentifier()].error->resumeData, data);

  auto second = session->downloadTaskWithResumeData(data);
  EXPECT_EQ(second->countOfBytesReceived(), resume->bytesReceived);
  t = recorder->run(*second);
  EXPECT_EQ(t.events, kDone);
  EXPECT_TRUE(t.content == content && t.totalsAddUp && !t.fileOutlivedCallback);
  EXPECT_EQ(t.firstTotal, resume->bytesReceived);
  EXPECT_EQ(t.expected, int64_t(content.size()));
  EXPECT_EQ(second->currentRequest().header("If-Range"), resume->entityTag);
  const auto log = slow.accessLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find(" 206 bytes=" + std::to_string(resume->bytesReceived) + "- "),
            std::string::npos)
      << log[1];
}

TEST_F(UrlSessionTest, ContinuationsAcceptOnlyTheRangeAskedFor) {
  const std::string v1 = randomBytes(400000), v2 = randomBytes(300000, 9);
  const size_t cut = 150000;
  struct Case {
    const char* name;
    std::function<Reply(const FaultHttpServer::Request&)> second;
    std::string content;
    int64_t code;  // 0: success
  } cases[] = {
      {"206", [&](const auto& r) { return FaultHttpServer::serveBytes(r, v1); }, v1, 0},
      {"200 ignoring the range",
       [&](const auto&) {
         return reply(200, {{"ETag", "\"v1\""}}, v1);
       },
       v1, 0},
      {"new ETag", [&](const auto& r) { return FaultHttpServer::serveBytes(r, v2, "\"v2\""); }, v2,
       0},
      {"206 elsewhere",
       [&](const auto&) {
         return reply(206, {{"Content-Range", "bytes 0-9/400000"}}, v1.substr(0, 10));
       },
       "", kUrlErrorCannotResumeDownload},
  };
  FaultHttpServer server(nullptr);
  open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.setHandler([&](const auto& r) {
      Reply reply = FaultHttpServer::serveBytes(r, v1);
      reply.closeAfter = cut;
      return reply;
    });
    auto first = session->downloadTaskWithURL(server.url("/f"));
    auto t = recorder->run(*first);
    ASSERT_TRUE(t.error && t.error->resumeData);
    EXPECT_EQ(t.error->code, kUrlErrorNetworkConnectionLost);
    EXPECT_EQ(t.events, (std::vector<std::string>{"write", "complete"}));
    server.setHandler(c.second);
    auto second = session->downloadTaskWithResumeData(*t.error->resumeData);
    t = recorder->run(*second);
    const auto request = server.requests().back();
    EXPECT_EQ(request.header("Range"), "bytes=" + std::to_string(cut) + "-");
    EXPECT_EQ(request.header("If-Range"), "\"v1\"");
    EXPECT_EQ(t.content, c.content);
    EXPECT_EQ(t.error ? t.error->code : 0, c.code);
    EXPECT_TRUE(t.totalsAddUp);
  }
  // A partial file already whole: the server's 416 finishes it.
  const std::string name = "CFNetworkDownload_whole1.tmp";
  writeFile(AppContainer::temporaryDirectory() + "/" + name, v1 + "trailing");
  UrlSessionResume whole;
  whole.originalRequest.url = whole.currentRequest.url = server.url("/f");
  whole.tempFileName = name, whole.entityTag = "\"v1\"";
  whole.bytesReceived = whole.totalBytes = int64_t(v1.size());
  server.setHandler([&](const auto& r) { return FaultHttpServer::serveBytes(r, v1); });
  auto t = recorder->run(*session->downloadTaskWithResumeData(whole.toResumeData()));
  EXPECT_EQ(t.content, v1);
  EXPECT_EQ(t.status, 200);
  // Resume data that cannot be continued is refused before any transfer.
  whole.bytesReceived = int64_t(v1.size()) + 100;
  writeFile(AppContainer::temporaryDirectory() + "/" + name, v1);
  for (const Bytes& bad : {whole.toResumeData(), Bytes{'x'}, Bytes{}}) {
    EXPECT_THROW(session->downloadTaskWithResumeData(bad), std::invalid_argument);
  }
  whole.tempFileName = "../../x";
  EXPECT_THROW(session->downloadTaskWithResumeData(whole.toResumeData()), std::invalid_argument);
}

TEST_F(UrlSessionTest, StatusesLengthsAndTransportErrors) {
  const std::string body = randomBytes(100000);
  FaultHttpServer server([&](const FaultHttpServer::Request& r) {
    if (r.target == "/missing") return reply(404, {}, "gone");
    Reply all = reply(200, {}, body);
    all.noLength = true;
    return all;
  });
  open();
  auto t = recorder->run(*session->downloadTaskWithURL(server.url("/missing")));
  EXPECT_EQ(t.events, kDone);
  EXPECT_EQ(t.status, 404);
  EXPECT_EQ(t.content, "gone");
  auto unknown = session->downloadTaskWithURL(server.url("/nolength"));
  t = recorder->run(*unknown);
  EXPECT_EQ(t.content, body);
  EXPECT_EQ(t.expected, kTransferSizeUnknown);
  EXPECT_EQ(unknown->response()->expectedContentLength, kTransferSizeUnknown);

  // A port nobody listens on: bind one, note it, close it.
  uint16_t port = 0;
  {
    FaultHttpServer gone(nullptr);
    port = gone.port();
  }
  struct Case {
    std::string url;
    int64_t code;
  } cases[] = {{"http://127.0.0.1:" + std::to_string(port) + "/x", kUrlErrorCannotConnectToHost},
               {"gopher://127.0.0.1/x", kUrlErrorUnsupportedURL},
               {"http://[::1/x", kUrlErrorBadURL}};
  for (const auto& c : cases) {
    std::optional<TransferError> error;
    Semaphore done;
    const auto start = std::chrono::steady_clock::now();
    session
        ->dataTaskWithRequest(request(c.url),
                              [&](auto& data, auto&, auto& e) {
                                error = e;
                                done.signal();
                              })
        ->resume();
    ASSERT_TRUE(done.waitFor(10s)) << c.url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_TRUE(error) << c.url;
    EXPECT_EQ(error->code, c.code) << c.url << ": " << error->description;
    EXPECT_FALSE(error->description.empty());
  }
}

TEST_F(UrlSessionTest, DataTaskSendsBodyAndHeaders) {
  FaultHttpServer server([](const FaultHttpServer::Request& r) {
    return reply(201, {{"Content-Type", "application/json; charset=utf-8"}},
                 "{\"ok\":" + r.body + "}");
  });
  open();
  UrlRequest post = request(server.url("/api?q=1"), "POST");
  post.setHeader("Content-Type", "application/json");
  post.setHeader("X-Token", "a b");
  const std::string json = R"({"n":[1,2,3]})";
  post.body.assign(json.begin(), json.end());
  std::optional<Bytes> data;
  std::optional<UrlResponse> response;
  Semaphore done;
  session
      ->dataTaskWithRequest(post,
                            [&](auto& d, auto& r, auto& e) {
                              data = d, response = r;
                              done.signal();
                            })
      ->resume();
  ASSERT_TRUE(done.waitFor(10s));
  const auto got = server.requests().at(0);
  EXPECT_EQ(got.method, "POST");
  EXPECT_EQ(got.target, "/api?q=1");
  EXPECT_EQ(got.body, json);
  EXPECT_EQ(got.header("Content-Type"), "application/json");
  EXPECT_EQ(got.header("X-Token"), "a b");
  EXPECT_FALSE(got.header("Expect"));
  ASSERT_TRUE(data && response);
  EXPECT_EQ(std::string(data->begin(), data->end()), "{\"ok\":" + json + "}");
  EXPECT_EQ(response->statusCode, 201);
  EXPECT_EQ(response->mimeType, "application/json");
}

TEST_F(UrlSessionTest, InvalidateHandsOutResumeDataFirstAndDropsTheRest) {
  writeFile(home.path() / "blob", randomBytes(2 << 20));
  NginxServer slow({home.path(), "200k", ""});
  open("orsa.test.invalidate");
  std::vector<std::shared_ptr<UrlSessionDownloadTask>> tasks;
  for (int i = 0; i < 3; ++i) {
    tasks.push_back(session->downloadTaskWithURL(slow.url("blob")));
    tasks.back()->resume();
  }
  ASSERT_TRUE(recorder->wait([&] {
    for (auto& t : tasks)
      if (recorder->transfers[t->taskIdentifier()].lastTotal < 10000) return false;
    return true;
  }));
  std::vector<std::string> kept;
  for (int i = 0; i < 2; ++i) {
    tasks[i]->cancelByProducingResumeData([&](std::optional<Bytes> d) {
      std::lock_guard lock(recorder->mu);
      recorder->order.push_back(d ? "resume" : "none");
      if (d) kept.push_back(UrlSessionResume::fromResumeData(*d)->tempFileName);
    });
  }
  session->invalidateAndCancel();
  ASSERT_TRUE(recorder->wait(
      [&] { return !recorder->order.empty() && recorder->order.back() == "invalid"; }));
  std::vector<std::string> order(recorder->order.begin(), recorder->order.end());
  const auto id = [&](int i) { return "complete " + std::to_string(tasks[i]->taskIdentifier()); };
  EXPECT_EQ(order, (std::vector<std::string>{"resume", id(0), "resume", id(1), id(2), "invalid"}));
  EXPECT_EQ(recorder->transfers[tasks[2]->taskIdentifier()].error->code, kUrlErrorCancelled);
  // Only the partial files that resume data refers to are left, and the journal is empty.
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(AppContainer::temporaryDirectory()))
    left.push_back(e.path().filename());
  std::sort(left.begin(), left.end()), std::sort(kept.begin(), kept.end());
  EXPECT_EQ(left, kept);
  EXPECT_TRUE(
      TransferJournal::load(TransferJournal::pathFor("orsa.test.invalidate")).transfers.empty());
  session.reset();
}

ORSA_TEST_CHILD(UrlSessionBackgroundChild) {
  AppContainer::setRoot(std::getenv("TEST_HOME"));
  auto session =
      UrlSession::make(UrlSessionConfiguration::background("orsa.test.bg"), nullptr, nullptr);
  session->downloadTaskWithURL(std::getenv("TEST_URL"))->resume();
  std::this_thread::sleep_for(60s);  // killed long before
  return 3;
}

TEST_F(UrlSessionTest, BackgroundTransferSurvivesSigkill) {
  const std::string content = randomBytes(2 << 20);
  writeFile(home.path() / "blob", content);
  NginxServer slow({home.path(), "1m", ""});
  const std::string journal = TransferJournal::pathFor("orsa.test.bg");
  const pid_t child = spawnChild("UrlSessionBackgroundChild",
                                 {"TEST_HOME=" + home.str(), "TEST_URL=" + slow.url("blob")});
  ASSERT_GT(child, 0);
  int64_t journalled = 0;
  for (int i = 0; i < 200 && journalled < 200000; ++i) {
    std::this_thread::sleep_for(50ms);
    const auto contents = TransferJournal::load(journal);
    if (!contents.transfers.empty()) journalled = contents.transfers[0].bytesReceived;
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_GE(journalled, 200000);
  const auto entry = TransferJournal::load(journal).transfers.at(0);

  open("orsa.test.bg");
  auto tasks = session->allTasks();
  ASSERT_EQ(tasks.size(), 1u);
  auto task = std::dynamic_pointer_cast<UrlSessionDownloadTask>(tasks[0]);
  ASSERT_TRUE(task);
  EXPECT_EQ(task->taskIdentifier(), entry.taskIdentifier);
  EXPECT_EQ(task->state(), TransferState::Suspended);
  EXPECT_EQ(task->countOfBytesReceived(), entry.bytesReceived);
  EXPECT_GT(session->downloadTaskWithURL("http://127.0.0.1:1/")->taskIdentifier(),
            entry.taskIdentifier);
  const auto t = recorder->run(*task);
  EXPECT_EQ(t.events, kDone);
  EXPECT_TRUE(t.content == content);
  EXPECT_EQ(t.firstTotal, entry.bytesReceived);
  const auto log = slow.accessLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find(" 206 bytes=" + std::to_string(entry.bytesReceived) + "- "),
            std::string::npos)
      << log[1];
}

}  // namespace
