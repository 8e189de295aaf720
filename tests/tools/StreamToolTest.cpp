// orsa stream send and orsa demo --input: a real H.264 stream with our SEI records reaches the
// engine over loopback RTP and from recordings, every picture with its own record, also when
// packets are lost; inputs that are not our kind of stream fail with a reason.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "SeiNal.h"
#include "orsa/OrsaSEIRecord.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace orsa::test;
using namespace orsa::tool;

namespace {

constexpr int kPackageFrames = 8;

int64_t steadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// An even UDP port whose neighbour (RTCP) is free too.
int freeRtpPort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    const int port = ntohs(a.sin_port) & ~1;
    bool free = true;
    for (int p : {port, port + 1}) {
      int t = socket(AF_INET, SOCK_DGRAM, 0);
      a.sin_port = htons(static_cast<uint16_t>(p));
      free = free && bind(t, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
      close(t);
    }
    if (free && port > 1024) return port;
  }
  return 0;
}

nlohmann::json jsonIn(const std::string& text) {
  const size_t begin = text.find('{'), end = text.rfind('}');
  if (begin == std::string::npos || end == std::string::npos) return nullptr;
  return nlohmann::json::parse(text.substr(begin, end - begin + 1), nullptr, false);
}

class StreamTool : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (orsaToolPath().empty()) return;
    suite_ = new TempDir();
    CommandResult r =
        runOrsa(home(), {"sample-package", package(), "--frames", std::to_string(kPackageFrames),
                         "--size", "192x320", "--head", "96x120"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete suite_;
    suite_ = nullptr;
  }
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
  }
  static std::string home() { return (suite_->path() / "home").string(); }
  static std::string package() { return (suite_->path() / "small.zip").string(); }
  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }
  CommandResult run(std::vector<std::string> args) { return runOrsa(home(), args); }
  std::vector<std::string> demo(const std::string& input, const std::string& out) const {
    return {"demo",  "--package", package(), "--input",   input,
            "--out", out,         "--layer", "192x320@1", "--no-record"};
  }

  static TempDir* suite_;
  TempDir dir_;
};
TempDir* StreamTool::suite_ = nullptr;

TEST_F(StreamTool, OverLoopbackRtpEveryPictureKeepsItsRecordAndLossOnlyHoldsPicturesBack) {
  struct Row {
    double loss;
    const char* seconds;
  };
  for (const Row row : {Row{0, "2"}, Row{5, "3"}}) {
    SCOPED_TRACE(row.loss);
    const int port = freeRtpPort();
    ASSERT_GT(port, 0);
    const std::string to = "rtp://127.0.0.1:" + std::to_string(port), sdp = path("s.sdp");
    // A first short run writes the SDP the receiver opens before the real one begins.
    ASSERT_EQ(run({"stream", "send", "--package", package(), "--to", to, "--sdp", sdp, "--seconds",
                   "0.2"})
                  .exitCode,
              0);
    EXPECT_NE(readFile(sdp).find("H264/90000"), std::string::npos) << readFile(sdp);

    const std::string out = path("out"), err = path("demo.err");
    std::vector<std::string> argv = {orsaToolPath(), "--home", home()};
    for (const auto& a : demo(sdp, out)) argv.push_back(a);
    const pid_t pid = spawnProgram(argv, {}, path("demo.out"), err);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([&] { return readFile(err).find("receiving") != std::string::npos; },
                          std::chrono::seconds(120)))
        << readFile(err);

    std::vector<std::string> send = {"stream", "send",      "--package", package(), "--to",
                                     to,       "--seconds", row.seconds, "--fps",   "25"};
    if (row.loss > 0) send.insert(send.end(), {"--loss", "5", "--seed", "3"});
    const CommandResult sender = run(send);
    ASSERT_EQ(sender.exitCode, 0) << sender.err;
    const auto sent = jsonIn(sender.out);
    ASSERT_TRUE(sent.is_object()) << sender.out;

    // The receiver notices the silence by itself.
    int status = -1;
    ASSERT_TRUE(
        waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(60)))
        << readFile(err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(err);
    EXPECT_NE(readFile(err).find("the stream stopped: no packet for"), std::string::npos)
        << readFile(err);

    const auto stats = nlohmann::json::parse(readFile(out + "/stats.json"), nullptr, false);
    ASSERT_TRUE(stats.is_object());
    const double framesSent = sent["framesSent"];
    const double received = stats["framesReceived"], handed = stats["framesHandedOver"];
    EXPECT_EQ(stats["framesMispaired"], 0) << stats;
    // Only a lost packet can take a message away; a whole one is never misread.
    EXPECT_EQ(stats["seiSkipped"]["truncated"], 0) << stats;
    EXPECT_EQ(stats["seiSkipped"]["otherUuid"], 0) << stats;
    EXPECT_GT(stats["framesDrawn"].get<int>(), 0);
    // The send time travelled in the SEI too: presentation follows it, and not by ages.
    ASSERT_TRUE(stats["glassToGlassMs"].is_object()) << stats;
    EXPECT_GE(stats["glassToGlassMs"]["p50"].get<int64_t>(), 0);
    EXPECT_LT(stats["glassToGlassMs"]["p99"].get<int64_t>(), 60000);
    if (row.loss == 0) {
      EXPECT_GE(received, 0.95 * framesSent) << stats;
      EXPECT_GE(handed, 0.95 * framesSent) << stats;
      EXPECT_EQ(stats["framesLost"], 0) << stats;
      EXPECT_EQ(stats["seiSkipped"]["missing"], 0) << stats;
    } else {
      EXPECT_GT(sent["packetsDropped"].get<int>(), 0) << sent;
      // Damage holds pictures back until a clean key frame; some come through all the same.
      EXPECT_GT(stats["framesLost"].get<int>() + stats["framesHeldBack"].get<int>(), 0) << stats;
      EXPECT_GT(handed, 0) << stats;
    }
    fs::remove_all(out);
  }
}

TEST_F(StreamTool, ARecordingHoldsEveryRecordIntactAndPlaysBackFrameForFrame) {
  const int64_t before = steadyMillis();
  for (const char* name : {"rec.h264", "rec.mp4"}) {
    SCOPED_TRACE(name);
    const CommandResult sender = run({"stream", "send", "--package", package(), "--to", path(name),
                                      "--seconds", "1.2", "--fps", "10"});
    ASSERT_EQ(sender.exitCode, 0) << sender.err;
    const int framesSent = jsonIn(sender.out)["framesSent"];
    EXPECT_GE(framesSent, 10);

    if (std::string(name) == "rec.h264") {
      // Every access unit's record, read straight from the bitstream.
      const std::string bytes = readFile(path(name));
      std::vector<OrsaSEIRecord> records;
      std::vector<int64_t> sentAt;
      sei::forEachNal(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                      [&](std::span<const uint8_t> nal) {
                        if ((nal[0] & 0x1F) != 6) return;
                        std::vector<uint8_t> unit = {0, 0, 1};
                        unit.insert(unit.end(), nal.begin(), nal.end());
                        const sei::Found f = sei::find(unit);
                        if (f.status != sei::Status::Found) return;
                        records.push_back(*OrsaSEIRecord::parse(f.payload));
                        const auto raw = OrsaSEIRecord::unescape(f.payload);
                        ASSERT_EQ(raw.size(), 44u);
                        int64_t t = 0;
                        for (int i = 7; i >= 0; --i) t = (t << 8) | raw[36 + i];
                        sentAt.push_back(t);
                      });
      ASSERT_EQ(static_cast<int>(records.size()), framesSent);
      for (size_t k = 0; k < records.size(); ++k) {
        const OrsaSEIRecord& r = records[k];
        // Forward through the package's frames, then back.
        const int period = 2 * kPackageFrames - 2, i = static_cast<int>(k) % period;
        EXPECT_EQ(r.frameIndex, i < kPackageFrames ? i : period - i) << k;
        EXPECT_EQ(r.fps, 10);
        EXPECT_EQ(r.type, 0);
        EXPECT_EQ(r.right - r.left, 96);
        EXPECT_EQ(r.bottom - r.top, 120);
        EXPECT_GE(sentAt[k], before);
        EXPECT_LE(sentAt[k], steadyMillis());
        if (k > 0) {
          EXPECT_GE(sentAt[k], sentAt[k - 1]);
        }
      }
    }

    const std::string out = path(std::string("out-") + name);
    const CommandResult r = run(demo(path(name), out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("the recording ended after " + std::to_string(framesSent)),
              std::string::npos)
        << r.err;
    const auto stats = nlohmann::json::parse(readFile(out + "/stats.json"), nullptr, false);
    EXPECT_EQ(stats["framesReceived"], framesSent) << stats;
    EXPECT_EQ(stats["framesHandedOver"], framesSent) << stats;
    EXPECT_EQ(stats["framesLost"], 0);
    EXPECT_EQ(stats["framesMispaired"], 0);
    EXPECT_EQ(stats["framesDrawn"].get<int>() + stats["framesDropped"].get<int>(), framesSent);
    // A recording's send times are from another day.
    EXPECT_TRUE(stats["glassToGlassMs"].is_null());
  }
}

TEST_F(StreamTool, InputsThatAreNotOurStreamFailWithTheirReason) {
  const int port = freeRtpPort();
  ASSERT_GT(port, 0);
  const auto sdp = [&](const std::string& address, const std::string& media) {
    return "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 " + address + "\nt=0 0\n" + media;
  };
  const std::string video =
      "m=video " + std::to_string(port) + " RTP/AVP 96\na=rtpmap:96 H264/90000\n";
  writeFile(path("garbage.mp4"), randomBytes(4000));
  writeFile(path("empty.h264"), "");
  writeFile(path("nowhere.sdp"), sdp("192.0.2.1", video));
  writeFile(path("file.sdp"), sdp("file:///etc/passwd", video));
  writeFile(path("audio.sdp"),
            sdp("127.0.0.1", "m=audio " + std::to_string(port) + " RTP/AVP 0\n"));
  ASSERT_EQ(
      run({"stream", "send", "--package", package(), "--to", path("whole.mp4"), "--seconds", "0.5"})
          .exitCode,
      0);
  const std::string whole = readFile(path("whole.mp4"));
  writeFile(path("truncated.mp4"), whole.substr(0, whole.size() / 2));

  struct Row {
    std::string input, err;
  };
  const std::vector<Row> rows = {
      {path("garbage.mp4"), "cannot open"},
      {path("empty.h264"), "no H.264 access unit arrived"},
      {path("truncated.mp4"), "cannot open"},
      {path("absent.sdp"), "No such file"},
      {path("audio.sdp"), "holds no H.264 video"},
      {path("file.sdp"), "cannot open"},
      {"http://127.0.0.1:9/s.sdp", "cannot open"},
      {path("nowhere.sdp"), "no H.264 access unit arrived"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = demo(row.input, path("out"));
    args.insert(args.end(), {"--seconds", "3"});
    const CommandResult r = run(args);
    EXPECT_EQ(r.exitCode, 1) << row.input << "\n" << r.err;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << row.input << "\n" << r.err;
  }
}

}  // namespace
