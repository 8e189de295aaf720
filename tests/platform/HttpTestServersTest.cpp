#include "support/HttpTestServers.h"
#include "support/TestSupport.h"

using namespace orsa::test;
using Reply = FaultHttpServer::Reply;

// -i: the head stays in out, the body follows the blank line. Only a transfer meant to stall
// gets a short time limit.
static CommandResult curl(std::vector<std::string> args, const std::string& url,
                          int maxSeconds = 60) {
  args.insert(args.begin(), {"curl", "-s", "-i", "--max-time", std::to_string(maxSeconds)});
  args.push_back(url);
  return runProgram(args, {}, maxSeconds + 30);
}

TEST(HttpTestServers, ServeRangesAndMisbehaveAsTold) {
  auto bodyOf = [](const std::string& s) { return s.substr(s.find("\r\n\r\n") + 4); };
  std::string data(1000, '\0');  // no repeats, so a body from a wrong offset cannot match
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * i * 7919 >> 3);
  const std::string lm = "Sun, 06 Nov 1994 08:49:37 GMT";
  const struct {
    std::vector<std::string> args;
    std::function<void(Reply&)> tweak;
    int exitCode;  // curl's: 18 partial body, 28 time-out (after 2 s)
    std::string head, body;
  } cases[] = {
      {{"-r", "10-19"}, {}, 0, "Content-Range: bytes 10-19/1000", data.substr(10, 10)},
      {{"-r", "990-2000"}, {}, 0, "Content-Range: bytes 990-999/1000", data.substr(990)},
      {{"-r", "10-", "-H", "If-Range: \"v0\""}, {}, 0, "200 OK", data},
      {{"-r", "10-", "-H", "If-Range: " + lm}, {}, 0, "206 Partial Content", data.substr(10)},
      {{"-r", "1000-"}, {}, 0, "Content-Range: bytes */1000", ""},
      {{}, [](Reply& r) { r.closeAfter = 300; }, 18, "Content-Length: 1000", data.substr(0, 300)},
      {{}, [](Reply& r) { r.noLength = true; }, 0, "bytes\r\nConnection: close\r\n\r\n", data},
      // Still stalled when the server goes away: its destructor must end the wait.
      {{}, [](Reply& r) { r.stallAfter = 100, r.stallMs = 60000; }, 28, "v1", data.substr(0, 100)},
      {{}, [](Reply& r) { r.chunkBytes = 100, r.chunkDelayMs = 20; }, 0, "200 OK", data},
  };
  FaultHttpServer server(nullptr);
  for (const auto& c : cases) {
    server.setHandler([&](const FaultHttpServer::Request& request) {
      Reply reply = FaultHttpServer::serveBytes(request, data);
      if (c.tweak) c.tweak(reply);
      return reply;
    });
    auto r = curl(c.args, server.url("/f"), c.exitCode == 28 ? 2 : 60);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.head;
    EXPECT_NE(r.out.find(c.head), std::string::npos) << r.out.substr(0, 300);
    EXPECT_EQ(bodyOf(r.out), c.body) << c.head;
  }
  auto r = curl({"-o", "/dev/null", "-o", "/dev/null", "-w", "%{num_connects},", server.url("/a")},
                server.url("/b"));
  EXPECT_EQ(r.out, "1,0,");  // keep-alive: one connection for both
  EXPECT_EQ(server.requests().size(), std::size(cases) + 2);
  EXPECT_EQ(server.requests().at(2).header("if-range"), "\"v0\"");
  TempDir root;
  writeFile(root.path() / "f.bin", data);
  NginxServer nginx({root.path(), "", ""});
  EXPECT_EQ(bodyOf(curl({"-r", "100-199"}, nginx.url("f.bin")).out), data.substr(100, 100));
  // nginx logs a request once it has ended on its side, which may come after curl is done.
  waitUntil([&] { return !nginx.accessLog().empty(); });
  const auto log = nginx.accessLog();
  ASSERT_EQ(log.size(), 1u) << testing::PrintToString(log);
  EXPECT_TRUE(log[0].starts_with("GET /f.bin HTTP/1.1 206 bytes=100-199 ")) << log[0];
}
