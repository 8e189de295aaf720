#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// HTTP servers on 127.0.0.1 for transfer tests: a real nginx for what a well-behaved server
// does, and a scriptable server of our own for what nginx will not do.
namespace orsa::test {

// A private nginx (Debian's nginx-light) serving a directory, started as an ordinary user
// process with its own prefix, configuration and free port; stopped by the destructor.
// ETag, Last-Modified and byte ranges come from nginx itself.
class NginxServer {
 public:
  struct Options {
    std::filesystem::path root;  // directory served at "/"
    std::string limitRate;       // nginx limit_rate value per connection ("200k"); empty: none
    std::string limitRateAfter;  // limit_rate_after ("1m"); empty: none
  };
  // GTEST_SKIP-free: fails the calling test (ADD_FAILURE) and leaves port() 0 when nginx
  // cannot be started.
  explicit NginxServer(Options options);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  static bool available();  // /usr/sbin/nginx exists
  uint16_t port() const;
  std::string url(const std::string& path) const;  // "http://127.0.0.1:PORT/<path>"
  // Lines of the access log ("$request $status $http_range $bytes_sent"), for checking which
  // ranges a client asked for.
  std::vector<std::string> accessLog() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A scriptable HTTP/1.1 server (Boost.Beast) on a thread of its own. Each request is answered
// by the handler; the handler's Reply says how to misbehave.
class FaultHttpServer {
 public:
  struct Request {
    std::string method;
    std::string target;  // path and query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::optional<std::string> header(const std::string& name) const;  // case-insensitive
  };
  struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Send no Content-Length and close the connection after the body.
    bool noLength = false;
    // Close the connection after this many body bytes (headers announce the whole body).
    std::optional<size_t> closeAfter;
    // Stop sending after this many body bytes and keep the connection open for stallMs.
    std::optional<size_t> stallAfter;
    int stallMs = 0;
    // Pause between body chunks of chunkBytes (slow transfers).
    size_t chunkBytes = 64 * 1024;
    int chunkDelayMs = 0;
  };
  using Handler = std::function<Reply(const Request&)>;

  // Answers a range request like a real server would: 206 with Content-Range for
  // "bytes=N-" / "bytes=N-M" (If-Range compared with etag), 416 past the end, 200 otherwise.
  static Reply serveBytes(const Request& request, const std::string& content,
                          const std::string& etag = "\"v1\"",
                          const std::string& lastModified = "Sun, 06 Nov 1994 08:49:37 GMT");

  explicit FaultHttpServer(Handler handler);
  ~FaultHttpServer();  // closes every connection, joins the thread
  FaultHttpServer(const FaultHttpServer&) = delete;
  FaultHttpServer& operator=(const FaultHttpServer&) = delete;

  uint16_t port() const;
  std::string url(const std::string& target) const;  // "http://127.0.0.1:PORT" + target
  std::vector<Request> requests() const;             // every request so far, in order
  void setHandler(Handler handler);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orsa::test
