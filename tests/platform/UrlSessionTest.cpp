#include "platform/UrlSession.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/AppContainer.h"
#include "platform/TransferJournal.h"
#include "platform/UrlSessionPolicy.h"
#include "platform/UrlSessionResume.h"
#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

using namespace orsa::platform;
using namespace orsa::test;
using namespace std::chrono_literals;
using Reply = FaultHttpServer::Reply;
namespace fs = std::filesystem;

namespace {

// Bodies are megabytes: a mismatch says where, not what.
testing::AssertionResult sameBytes(const std::string& got, const std::string& want) {
  if (got == want) return testing::AssertionSuccess();
  const auto diverge = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return testing::AssertionFailure()
         << got.size() << " bytes where " << want.size() << " were expected, first difference at "
         << diverge.first - got.begin();
}

Reply reply(int status, HeaderList headers, std::string body) {
  Reply r;
  r.status = status, r.headers = std::move(headers), r.body = std::move(body);
  return r;
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
    bool done() const { return !events.empty() && events.back() == "complete"; }
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
    t.error = error;
    order.push_back("complete " + std::to_string(task.taskIdentifier()));
    cv.notify_all();
  }
  void didBecomeInvalid(UrlSession&, const std::optional<Error>&) override {
    std::lock_guard lock(mu);
    order.push_back("invalid");
    cv.notify_all();
  }
  bool wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 60s) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, timeout, pred);
  }
  Transfer run(UrlSessionTask& task) {
    task.resume();
    EXPECT_TRUE(wait([&] { return transfers[task.taskIdentifier()].done(); }));
    std::lock_guard lock(mu);
    return transfers[task.taskIdentifier()];
  }
};

class UrlSessionTest : public testing::Test {
 protected:
  void TearDown() override {
    if (!session) return;
    session->invalidateAndCancel();
    EXPECT_TRUE(invalidated());
  }
  void open(const std::string& identifier = "") {
    session = UrlSession::make(UrlSessionConfiguration::background(identifier), recorder, nullptr);
  }
  // Pauses for resume data; the answer lands in *out and in the session-wide order.
  void pause(UrlSessionDownloadTask& task, std::optional<Bytes>* out) {
    task.cancelByProducingResumeData([this, out](std::optional<Bytes> d) {
      std::lock_guard lock(recorder->mu);
      recorder->order.push_back(d ? "resume" : "none");
      *out = std::move(d);
    });
  }
  bool invalidated() {
    return recorder->wait(
        [&] { return !recorder->order.empty() && recorder->order.back() == "invalid"; });
  }
  // The last request nginx saw asked for the rest of the file and got it.
  // nginx logs a request once it has ended on its side, which may come after the client is done.
  static void expectRangeFrom(const NginxServer& nginx, int64_t offset) {
    const std::string asked = " 206 bytes=" + std::to_string(offset) + "- ";
    std::string last;
    waitUntil([&] {
      const auto log = nginx.accessLog();
      last = log.empty() ? "" : log.back();
      return last.find(asked) != std::string::npos;
    });
    EXPECT_NE(last.find(asked), std::string::npos) << last;
  }
  // A data transfer run to its end.
  using Fetched =
      std::tuple<std::optional<Bytes>, std::optional<UrlResponse>, std::optional<TransferError>>;
  Fetched fetch(std::string url, std::string method = "GET", HeaderList headers = {},
                const std::string& body = "") {
    UrlRequest request;
    request.url = url, request.method = method, request.headers = headers;
    request.body.assign(body.begin(), body.end());
    Fetched f;
    Semaphore done;
    auto task = session->dataTaskWithRequest(request, [&](auto& d, auto& r, auto& e) {
      f = {d, r, e};
      done.signal();
    });
    task->resume();
    EXPECT_TRUE(done.waitFor(60s));
    return f;
  }
  TempHome home;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<UrlSession> session;
};

const std::vector<std::string> kDone = {"write", "finish", "complete"},
                               kCut = {"write", "complete"};

// The downloader's session rebuild: pause some transfers, invalidate, continue in a new session.
TEST_F(UrlSessionTest, PausedNginxTransfersContinueWithRangeInTheNextSession) {
  const std::string content = randomBytes(3 << 20);
  writeFile(home.path() / "blob", content);
  NginxServer slow({home.path(), "2m", ""});
  open("orsa.test.rebuild");
  std::vector<std::shared_ptr<UrlSessionDownloadTask>> tasks;
  for (int i = 0; i < 3; ++i) {
    tasks.push_back(session->downloadTaskWithURL(slow.url("blob")));
    tasks.back()->resume();
  }
  for (auto& t : tasks)
    ASSERT_TRUE(
        recorder->wait([&] { return recorder->transfers[t->taskIdentifier()].lastTotal > 3e5; }));
  std::optional<Bytes> kept[2];
  pause(*tasks[0], &kept[0]);
  pause(*tasks[1], &kept[1]);
  session->invalidateAndCancel();
  ASSERT_TRUE(invalidated());
  const auto id = [&](int i) { return "complete " + std::to_string(tasks[i]->taskIdentifier()); };
  EXPECT_EQ(recorder->order,
            (std::vector<std::string>{"resume", id(0), "resume", id(1), id(2), "invalid"}));
  // The completion carries the resume data too; a plain cancel has none.
  const auto& paused = recorder->transfers[tasks[0]->taskIdentifier()];
  ASSERT_TRUE(paused.error);
  EXPECT_EQ(paused.error->code, kUrlErrorCancelled);
  EXPECT_TRUE(paused.error->resumeData == kept[0]);
  EXPECT_FALSE(recorder->transfers[tasks[2]->taskIdentifier()].error->resumeData);
  // Only the partial files that resume data refers to are left, and the journal is empty.
  std::set<std::string> left, named;
  for (const auto& e : fs::directory_iterator(AppContainer::temporaryDirectory()))
    left.insert(e.path().filename());
  for (const auto& d : kept)
    named.insert(UrlSessionResume::fromResumeData(d.value())->tempFileName);
  EXPECT_EQ(left, named);
  EXPECT_TRUE(
      TransferJournal::load(TransferJournal::pathFor("orsa.test.rebuild")).transfers.empty());
  const auto resume = UrlSessionResume::fromResumeData(*kept[0]);
  EXPECT_GE(resume->bytesReceived, 300000);
  EXPECT_EQ(resume->entityTag, tasks[0]->response()->header("ETag"));
  EXPECT_EQ(fs::file_size(AppContainer::temporaryDirectory() + "/" + resume->tempFileName),
            uint64_t(resume->bytesReceived));
  open("orsa.test.rebuild");
  auto second = session->downloadTaskWithResumeData(*kept[0]);
  EXPECT_GT(second->taskIdentifier(), tasks[2]->taskIdentifier());
  const auto t = recorder->run(*second);
  EXPECT_EQ(t.events, kDone);
  EXPECT_TRUE(sameBytes(t.content, content));
  EXPECT_TRUE(t.totalsAddUp);
  EXPECT_FALSE(t.error) << t.error->description;
  EXPECT_FALSE(t.fileOutlivedCallback);
  EXPECT_EQ(t.firstTotal, resume->bytesReceived);
  EXPECT_EQ(t.expected, int64_t(content.size()));
  expectRangeFrom(slow, resume->bytesReceived);
}

TEST_F(UrlSessionTest, ContinuationsAcceptOnlyTheRangeAskedFor) {
  const std::string v1 = randomBytes(400000), v2 = randomBytes(300000, 9);
  const size_t cut = 150000;
  const HeaderList tagged = {{"ETag", "\"v1\""}};
  // Servers that continue whatever they hold now, whatever was asked.
  const auto range = [](size_t first, const std::string& v) {
    return "bytes " + std::to_string(first) + "-" + std::to_string(v.size() - 1) + "/" +
           std::to_string(v.size());
  };
  const auto splice = [&](const FaultHttpServer::Request& r) {
    if (!r.header("Range")) return reply(200, {{"ETag", "\"v2\""}}, v2);
    return reply(206, {{"ETag", "\"v2\""}, {"Content-Range", range(cut, v2)}}, v2.substr(cut));
  };
  const auto elsewhere = [&](const FaultHttpServer::Request& r) {
    if (!r.header("Range")) return FaultHttpServer::serveBytes(r, v1);
    return reply(206, {{"ETag", "\"v1\""}, {"Content-Range", range(0, v1)}}, v1);
  };
  Reply cutHead;
  // Cut before its length is known: curl takes the close for the end of an empty body.
  cutHead.rawHead = "HTTP/1.1 206 Partial Content\r\nContent-Range: " + range(cut, v1) +
                    "\r\nETag: \"v1\"\r\nContent-Le";
  struct Case {
    const char* name;
    std::function<Reply(const FaultHttpServer::Request&)> second;
    std::string content;
    int64_t code;  // 0: success
    size_t asked;  // requests: the continuation, then the whole file when it was refused
  } cases[] = {
      {"206", [&](auto& r) { return FaultHttpServer::serveBytes(r, v1); }, v1, 0, 1},
      {"200", [&](auto&) { return reply(200, tagged, v1); }, v1, 0, 1},
      {"new size", [&](auto& r) { return FaultHttpServer::serveBytes(r, v2, "\"v2\""); }, v2, 0, 1},
      {"206 under a new ETag", splice, v2, 0, 2},
      {"206 elsewhere", elsewhere, v1, 0, 2},
      {"cut headers", [&](auto&) { return cutHead; }, "", kUrlErrorNetworkConnectionLost, 1},
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
    auto t = recorder->run(*session->downloadTaskWithURL(server.url("/f")));
    ASSERT_TRUE(t.error);
    ASSERT_TRUE(t.error->resumeData);
    EXPECT_EQ(t.error->code, kUrlErrorNetworkConnectionLost);
    EXPECT_EQ(t.events, kCut);
    server.setHandler(c.second);
    const size_t before = server.requests().size();
    auto task = session->downloadTaskWithResumeData(*t.error->resumeData);
    t = recorder->run(*task);
    const auto asked = server.requests();
    ASSERT_EQ(asked.size() - before, c.asked);
    EXPECT_EQ(
        asked[before].header("Range").value_or("") + asked[before].header("If-Range").value_or(""),
        "bytes=" + std::to_string(cut) + "-\"v1\"");
    EXPECT_FALSE(asked.back().header("Range") && c.asked > 1) << "the whole file was not asked";
    EXPECT_TRUE(sameBytes(t.content, c.content));
    EXPECT_TRUE(t.totalsAddUp);
    EXPECT_EQ(t.error ? t.error->code : 0, c.code);
    if (c.code == 0) {
      EXPECT_EQ(t.expected, int64_t(c.content.size()));
      EXPECT_EQ(task->countOfBytesExpectedToReceive(), int64_t(c.content.size()));
    } else {
      ASSERT_TRUE(t.error->resumeData) << "a resume was possible";
      EXPECT_EQ(UrlSessionResume::fromResumeData(*t.error->resumeData)->bytesReceived,
                int64_t(cut));
    }
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
  EXPECT_TRUE(sameBytes(t.content, v1));
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

TEST_F(UrlSessionTest, StatusesLengthsErrorsAndDataTransfers) {
  const std::string body = randomBytes(100000);
  FaultHttpServer server([&](const FaultHttpServer::Request& r) {
    if (r.method == "POST")
      return reply(201, {{"Content-Type", "text/json; charset=x"}}, "=" + r.body);
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
  // A port nobody listens on: bind one, note it, close it.
  const uint16_t port = FaultHttpServer(nullptr).port();
  const std::pair<std::string, int64_t> cases[] = {
      {"http://127.0.0.1:" + std::to_string(port) + "/x", kUrlErrorCannotConnectToHost},
      {"gopher://127.0.0.1/x", kUrlErrorUnsupportedURL},
      {"http://[::1/x", kUrlErrorBadURL}};
  for (const auto& [url, code] : cases) {
    const auto start = std::chrono::steady_clock::now();
    const auto error = std::get<2>(fetch(url));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "it waited for the time-out";
    ASSERT_TRUE(error) << url;
    EXPECT_EQ(error->code, code) << url << ": " << error->description;
    EXPECT_FALSE(error->description.empty());
  }
  const std::string json = R"({"n":[1,2,3]})";
  const auto [data, response, error] =
      fetch(server.url("/api?q=1"), "POST",
            {{"Content-Type", "application/json"}, {"X-Token", "a b"}}, json);
  const auto got = server.requests().back();
  EXPECT_EQ(got.method + " " + got.target + " " + got.body, "POST /api?q=1 " + json);
  EXPECT_EQ(got.header("Content-Type"), "application/json");
  EXPECT_EQ(got.header("X-Token"), "a b");
  ASSERT_TRUE(data) << (error ? error->description : "");
  ASSERT_TRUE(response);
  EXPECT_EQ(std::string(data->begin(), data->end()), "=" + json);
  EXPECT_EQ(response->statusCode, 201);
  EXPECT_EQ(response->mimeType, "text/json");
}

// One row per answer a download must not take for a whole file, and per answer it must.
TEST_F(UrlSessionTest, DownloadsOfAnswersWithoutLengthOrCutShort) {
  const std::string body = randomBytes(200000);
  const HeaderList tagged = {{"ETag", "\"v1\""}, {"Accept-Ranges", "bytes"}};
  Reply closeDelimited = reply(200, tagged, body), chunked = closeDelimited,
        shortBody = closeDelimited, cutHead, unasked = reply(206, tagged, body.substr(0, 100000)),
        whole = reply(206, tagged, body);
  closeDelimited.noLength = true;
  chunked.chunked = true;
  shortBody.closeAfter = 120000;
  cutHead.rawHead = "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Le";
  unasked.headers.emplace_back("Content-Range", "bytes 0-99999/200000");
  whole.headers.emplace_back("Content-Range", "bytes 0-199999/200000");
  struct Case {
    const char* name;
    Reply answer;
    int64_t code;         // 0: finished with the whole body
    int64_t expected;     // the expected size the transfer reports
    int64_t resumableAt;  // -1: no resume data
  } cases[] = {
      {"close-delimited", closeDelimited, 0, kTransferSizeUnknown, -1},
      {"chunked", chunked, 0, kTransferSizeUnknown, -1},
      {"short body", shortBody, kUrlErrorNetworkConnectionLost, 200000, 120000},
      {"cut headers", cutHead, kUrlErrorNetworkConnectionLost, kTransferSizeUnknown, -1},
      {"206 to no range", unasked, kUrlErrorBadServerResponse, kTransferSizeUnknown, -1},
      {"206 of the whole file", whole, 0, 200000, -1},
  };
  FaultHttpServer server(nullptr);
  open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.setHandler([&](const auto&) { return c.answer; });
    auto task = session->downloadTaskWithURL(server.url("/f"));
    const auto t = recorder->run(*task);
    EXPECT_EQ(t.error ? t.error->code : 0, c.code) << (t.error ? t.error->description : "");
    EXPECT_EQ(task->countOfBytesExpectedToReceive(), c.expected);
    if (c.code == 0) {
      EXPECT_EQ(t.events, kDone);
      EXPECT_TRUE(sameBytes(t.content, body));
      EXPECT_EQ(task->countOfBytesReceived(), int64_t(body.size()));
      EXPECT_EQ(t.expected, c.expected) << "the total progress reported";
      continue;
    }
    EXPECT_NE(t.events, kDone) << "a cut answer became a file";
    const auto& resume = t.error->resumeData;
    EXPECT_EQ(resume ? UrlSessionResume::fromResumeData(*resume)->bytesReceived : -1,
              c.resumableAt);
    // Only a partial file that resume data names is left.
    EXPECT_EQ(fs::is_empty(AppContainer::temporaryDirectory()), !resume);
    fs::remove_all(AppContainer::temporaryDirectory());
    fs::create_directories(AppContainer::temporaryDirectory());
  }
}

// Data tasks hold their body in memory: an answer past the limit ends with its own error
// before the process's memory follows it.
TEST_F(UrlSessionTest, DataTasksStopAtTheBodyLimit) {
  constexpr uint64_t kHuge = uint64_t{400} << 20;
  const int64_t limit = UrlSessionConfiguration{}.maximumDataTaskBodyBytes;
  FaultHttpServer server([&](const FaultHttpServer::Request& r) {
    Reply endless;
    endless.generatedBytes = r.target == "/at-limit" ? uint64_t(limit) : kHuge;
    endless.chunked = r.target != "/announced";
    return endless;
  });
  open();
  const auto memory = [](const char* key) {  // kB, from /proc/self/status
    std::istringstream status(readFile("/proc/self/status"));
    for (std::string line; std::getline(status, line);)
      if (line.rfind(key, 0) == 0) return std::stoll(line.substr(std::strlen(key)));
    return -1LL;
  };
  writeFile("/proc/self/clear_refs", "5");  // the peak starts again from here
  const long long baseline = memory("VmRSS:");
  for (const char* target : {"/endless", "/announced"}) {
    const auto [data, response, error] = fetch(server.url(target));
    ASSERT_TRUE(error) << target;
    EXPECT_EQ(error->code, kUrlErrorDataLengthExceedsMaximum) << target;
    EXPECT_FALSE(data);
  }
  const long long peak = memory("VmHWM:") - baseline;
  RecordProperty("peakKiBAboveBaseline", std::to_string(peak));
  EXPECT_LT(peak, 100 << 10) << "kB above the baseline at the peak";
  const auto [data, response, error] = fetch(server.url("/at-limit"));
  ASSERT_TRUE(data) << error->description;
  EXPECT_EQ(int64_t(data->size()), limit);
}

TEST(UrlSessionPolicyTest, RedirectsNeverLeaveHttps) {
  const struct {
    const char* from;
    const char* location;
    bool allowed;
  } cases[] = {
      {"https://a.example/x", "http://b.example/y", false},
      {"HTTPS://a.example/x", " HTTP://a.example/y", false},
      {"https://a.example/x", "ftp://a.example/y", false},
      {"https://a.example/x", "https://b.example/y", true},
      {"https://a.example/x", "/y:z", true},
      {"https://a.example/x", "//b.example/y", true},
      {"http://a.example/x", "http://b.example/y", true},
      {"http://a.example/x", "https://b.example/y", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(policy::redirectAllowed(c.from, c.location), c.allowed)
        << c.from << " " << c.location;
}

ORSA_TEST_CHILD(UrlSessionClaimChild) {
  AppContainer::setRoot(std::getenv("TEST_HOME"));
  Error error;
  auto session = UrlSession::tryMake(UrlSessionConfiguration::background(std::getenv("TEST_ID")),
                                     nullptr, nullptr, &error);
  if (session) return 0;
  CHECK(error.domain == kUrlSessionErrorDomain);
  CHECK(error.description == kUrlSessionIdentifierInUseMessage);
  return error.code == kUrlSessionErrorIdentifierInUse ? 7 : 1;
}

// Two processes on one home: the second is told at once that the identifier is taken.
TEST_F(UrlSessionTest, ABackgroundIdentifierBelongsToOneProcess) {
  open("orsa.test.claim");
  const std::string journal = TransferJournal::pathFor("orsa.test.claim");
  const auto claimedBy = [&](const char* id) {
    return runChild("UrlSessionClaimChild",
                    {"TEST_HOME=" + home.str(), std::string("TEST_ID=") + id})
        .exitCode;
  };
  EXPECT_EQ(claimedBy("orsa.test.claim"), 7);
  EXPECT_EQ(claimedBy("orsa.test.other"), 0);
  // Within the process the claim stays: a session made after the old one is invalid is whole.
  session->invalidateAndCancel();
  ASSERT_TRUE(invalidated());
  Error error;
  session = UrlSession::tryMake(UrlSessionConfiguration::background("orsa.test.claim"), recorder,
                                nullptr, &error);
  ASSERT_TRUE(session) << error.description;
  EXPECT_EQ(claimedBy("orsa.test.claim"), 7);
  // What the journal and its lock hold (the requests of transfers) is the user's alone.
  for (const auto& path : {journal, TransferJournal::lockPathFor(journal)})
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << path;
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
  waitUntil([&] {
    const auto contents = TransferJournal::load(journal);
    if (!contents.transfers.empty()) journalled = contents.transfers[0].bytesReceived;
    return journalled >= 200000;
  });
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_GE(journalled, 200000);
  const auto entry = TransferJournal::load(journal).transfers.at(0);

  open("orsa.test.bg");
  auto tasks = session->allTasks();
  ASSERT_EQ(tasks.size(), 1u);
  auto& task = tasks[0];
  EXPECT_EQ(task->taskIdentifier(), entry.taskIdentifier);
  EXPECT_EQ(task->state(), TransferState::Suspended);
  EXPECT_EQ(task->countOfBytesReceived(), entry.bytesReceived);
  EXPECT_GT(session->downloadTaskWithURL("http://127.0.0.1:1/")->taskIdentifier(),
            entry.taskIdentifier);
  const auto t = recorder->run(*task);
  EXPECT_EQ(t.events, kDone);
  EXPECT_TRUE(sameBytes(t.content, content));
  EXPECT_EQ(t.firstTotal, entry.bytesReceived);
  expectRangeFrom(slow, entry.bytesReceived);
}

}  // namespace
