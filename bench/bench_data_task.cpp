// Memory of a data task answered with a 400 MB body over loopback: the process's peak resident
// size above its baseline, with the session's default body limit and with the limit turned off
// (what the whole body costs a caller that opts out). The server is a plain socket thread that
// writes the announced (or chunked) body until the client goes away.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/UrlSession.h"

namespace {

using namespace orsa::platform;
constexpr int64_t kBody = int64_t{400} << 20;

long long statusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + std::strlen(key));
  return -1;
}

bool sendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w, n -= static_cast<size_t>(w);
  }
  return true;
}

// Answers every connection with kBody bytes, announced or chunked by the request's path.
class BodyServer {
 public:
  BodyServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::perror("bench_data_task: listen");
      std::exit(1);
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~BodyServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::string url(const char* path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void serve() {
    const std::vector<char> block(256 << 10, 'x');
    while (!stop_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::string head;
      char c;
      while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
      const bool chunked = head.rfind("GET /chunked", 0) == 0;
      const std::string answer =
          chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                  : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
      bool open = sendAll(fd, answer.data(), answer.size());
      char size[32];
      const int sizeLength = std::snprintf(size, sizeof size, "%zx\r\n", block.size());
      for (int64_t sent = 0; open && sent < kBody; sent += static_cast<int64_t>(block.size())) {
        if (chunked) open = sendAll(fd, size, static_cast<size_t>(sizeLength));
        open = open && sendAll(fd, block.data(), block.size());
        if (chunked) open = open && sendAll(fd, "\r\n", 2);
      }
      if (open && chunked) sendAll(fd, "0\r\n\r\n", 5);
      ::close(fd);
    }
  }
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Outcome {
  long long peakKiB = 0;
  size_t bytes = 0;
  std::string error;
  double seconds = 0;
};

Outcome fetch(const std::string& url, int64_t limit) {
  auto configuration = UrlSessionConfiguration::defaultConfiguration();
  configuration.maximumDataTaskBodyBytes = limit;
  auto session = UrlSession::make(configuration, std::make_shared<UrlSessionDelegate>(), nullptr);
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long long baseline = statusKiB("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  Outcome o;
  {
    Semaphore done;
    UrlRequest request;
    request.url = url;
    auto task = session->dataTaskWithRequest(request, [&](auto& data, auto&, auto& error) {
      o.bytes = data ? data->size() : 0;
      o.error = error ? std::to_string(error->code) : "none";
      done.signal();
    });
    task->resume();
    done.wait();
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.peakKiB = statusKiB("VmHWM:") - baseline;
  session->invalidateAndCancel();
  return o;
}

}  // namespace

int main() {
  BodyServer server;
  std::printf("%-28s %-10s %14s %10s %10s\n", "400 MB answer to a data task", "limit",
              "peak above MB", "body MB", "error");
  for (const char* path : {"/announced", "/chunked"}) {
    for (int64_t limit : {UrlSessionConfiguration{}.maximumDataTaskBodyBytes, int64_t{0}}) {
      const Outcome o = fetch(server.url(path), limit);
      std::printf("%-28s %-10s %14.1f %10.1f %10s\n", path + 1, limit ? "8 MiB" : "none",
                  o.peakKiB / 1024.0, o.bytes / 1048576.0, o.error.c_str());
    }
  }
  return 0;
}
