#include "support/HttpTestServers.h"

#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/string_body.hpp>
#include <charconv>
#include <chrono>
#include <iomanip>
#include <limits>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace orsa::test {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

// The kernel picks a free port; nginx gets it a moment later, so a start can lose the race.
uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

bool accepts(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in addr = loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

// ---- NginxServer ----

struct NginxServer::Impl {
  Options options;
  TempDir prefix;
  pid_t pid = -1;
  uint16_t port = 0;

  std::filesystem::path at(const char* name) const { return prefix.path() / name; }

  void writeConfig(uint16_t listenPort) const {
    auto q = [](const std::filesystem::path& p) {
      std::ostringstream quoted;
      quoted << std::quoted(p.string());
      return quoted.str();
    };
    std::ostringstream c;
    c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
      << (::geteuid() == 0 ? "user root;\n" : "") << "pid " << q(at("nginx.pid")) << ";\n"
      << "lock_file " << q(at("nginx.lock")) << ";\n"
      << "error_log " << q(at("error.log")) << " warn;\n"
      << "events { worker_connections 256; }\nhttp {\n"
      << "  default_type application/octet-stream;\n"
      << "  log_format orsa '$request $status $http_range $bytes_sent';\n"
      << "  access_log " << q(at("access.log")) << " orsa;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      c << "  " << temp << "_temp_path " << q(at(temp)) << ";\n";
    c << "  sendfile on;\n  keepalive_timeout 5;\n  server {\n"
      << "    listen 127.0.0.1:" << listenPort << ";\n    root " << q(options.root) << ";\n"
      << "    etag on;\n";
    if (!options.limitRate.empty()) c << "    limit_rate " << options.limitRate << ";\n";
    if (!options.limitRateAfter.empty())
      c << "    limit_rate_after " << options.limitRateAfter << ";\n";
    c << "  }\n}\n";
    writeFile(at("nginx.conf"), c.str());
  }

  // True once nginx accepts connections on the port; false when it exited or never listened.
  bool startOn(uint16_t listenPort) {
    writeConfig(listenPort);
    std::vector<std::string> argv = {"/usr/sbin/nginx", "-p", prefix.str() + "/", "-c",
                                     at("nginx.conf"),  "-e", at("error.log")};
    // A crashed test program takes its nginx with it instead of leaving it listening. The
    // signal comes when the thread that made the server ends, so make it on a thread that
    // lives as long as the server.
    if (std::filesystem::exists("/usr/bin/setpriv"))
      argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL"});
    pid = spawnProgram(argv, {}, at("stdout.log"), at("stderr.log"));
    if (pid < 0) return false;
    bool exited = false;
    const bool answered = waitUntil([&] {
      exited = ::waitpid(pid, nullptr, WNOHANG) == pid;
      return exited || accepts(listenPort);
    });
    if (answered && !exited) return true;
    if (exited) pid = -1;
    stop();
    return false;
  }

  void stop() {
    if (pid < 0) return;
    // TERM, not QUIT: a graceful stop would wait for a stalled client to finish.
    ::kill(pid, SIGTERM);
    if (!waitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) != 0; },
                   std::chrono::seconds(10))) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
  }
};

NginxServer::NginxServer(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  for (int attempt = 0; attempt < 5; ++attempt) {
    uint16_t candidate = freePort();
    if (candidate != 0 && impl_->startOn(candidate)) {
      impl_->port = candidate;
      return;
    }
  }
  ADD_FAILURE() << "nginx did not start: " << readFile(impl_->at("error.log"))
                << readFile(impl_->at("stderr.log"));
}

NginxServer::~NginxServer() {
  impl_->stop();
}

bool NginxServer::available() {
  return std::filesystem::exists("/usr/sbin/nginx");
}

uint16_t NginxServer::port() const {
  return impl_->port;
}

std::string NginxServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/" +
         (path.starts_with("/") ? path.substr(1) : path);
}

std::vector<std::string> NginxServer::accessLog() const {
  std::vector<std::string> lines;
  std::istringstream in(readFile(impl_->at("access.log")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---- FaultHttpServer ----

std::optional<std::string> FaultHttpServer::Request::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

FaultHttpServer::Reply FaultHttpServer::serveBytes(const Request& request,
                                                   const std::string& content,
                                                   const std::string& etag,
                                                   const std::string& lastModified) {
  Reply reply;
  reply.headers = {{"ETag", etag}, {"Last-Modified", lastModified}, {"Accept-Ranges", "bytes"}};
  reply.body = content;
  const auto range = request.header("Range");
  const auto ifRange = request.header("If-Range");
  if (!range || (ifRange && *ifRange != etag && *ifRange != lastModified)) return reply;
  // Only "bytes=N-" and "bytes=N-M"; anything else is ignored the way servers ignore it.
  auto number = [](std::string_view text, unsigned long long& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
  };
  std::string_view rangeText = *range;
  const size_t dash = rangeText.find('-');
  unsigned long long first = 0, last = 0;
  const size_t size = content.size();
  if (!rangeText.starts_with("bytes=") || dash == std::string_view::npos ||
      !number(rangeText.substr(6, dash - 6), first))
    return reply;
  if (dash + 1 == rangeText.size())
    last = size ? size - 1 : 0;
  else if (!number(rangeText.substr(dash + 1), last) || last < first)
    return reply;
  if (first >= size) {
    reply.status = 416;
    reply.body.clear();
    reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return reply;
  }
  last = std::min<unsigned long long>(last, size - 1);
  reply.status = 206;
  reply.body = content.substr(first, last - first + 1);
  reply.headers.emplace_back(
      "Content-Range",
      "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
  return reply;
}

namespace {

class Session;

struct FaultServerState {
  mutable std::mutex mutex;
  FaultHttpServer::Handler handler;
  std::vector<FaultHttpServer::Request> requests;
  std::set<Session*> sessions;  // io thread only; outlives io so late session teardown is safe
  asio::io_context io;
  tcp::acceptor acceptor{io};
  uint16_t port = 0;
  std::thread thread;

  void accept();
};

// One connection: read a request, answer it as the Reply says, repeat while kept alive.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(FaultServerState& server, tcp::socket socket)
      : server_(server), socket_(std::move(socket)), timer_(server.io) {
    server_.sessions.insert(this);
  }
  ~Session() { server_.sessions.erase(this); }

  void close() {
    boost::system::error_code ec;
    socket_.close(ec);
    timer_.cancel();
  }

  // Header first, so a client that sends "Expect: 100-continue" is told to go on as real
  // servers do, instead of waiting out its own timer.
  void readRequest() {
    parser_.emplace();
    // Not boost::none: this Beast compares a length with an unset limit as exceeding it.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](boost::system::error_code ec, size_t) {
          if (ec) return self->close();
          const auto& header = self->parser_->get();
          if (!equalsIgnoringCase(std::string(header[http::field::expect]), "100-continue"))
            return self->readBody();
          asio::async_write(self->socket_, asio::buffer(kContinue, sizeof kContinue - 1),
                            [self](boost::system::error_code ec, size_t) {
                              if (ec) return self->close();
                              self->readBody();
                            });
        });
  }

 private:
  static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
  static constexpr char kChunkEnd[] = "\r\n";
  static constexpr char kLastChunk[] = "0\r\n\r\n";

  void readBody() {
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](boost::system::error_code ec, size_t) {
                       if (ec) return self->close();
                       self->request_ = self->parser_->release();
                       self->respond();
                     });
  }

  void respond() {
    FaultHttpServer::Request request{
        std::string(request_.method_string()), std::string(request_.target()), {}, request_.body()};
    for (const auto& field : request_)
      request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    FaultHttpServer::Handler handler;
    {
      std::lock_guard lock(server_.mutex);
      server_.requests.push_back(request);
      handler = server_.handler;
    }
    reply_ = {};
    reply_.status = 404;
    try {
      if (handler) reply_ = handler(request);
    } catch (const std::exception& e) {
      reply_ = {};
      reply_.status = 500;
      reply_.body = e.what();
    }

    if (reply_.rawHead) {
      head_ = *reply_.rawHead;
      return asio::async_write(socket_, asio::buffer(head_),
                               [self = shared_from_this()](boost::system::error_code, size_t) {
                                 boost::system::error_code ec;
                                 self->socket_.shutdown(tcp::socket::shutdown_send, ec);
                                 self->close();
                               });
    }
    const bool bodyless = reply_.status / 100 == 1 || reply_.status == 204 || reply_.status == 304;
    const uint64_t total = reply_.generatedBytes.value_or(reply_.body.size());
    if (reply_.generatedBytes) generated_.assign(std::max<size_t>(reply_.chunkBytes, 1), 'g');
    closeAfterReply_ = reply_.noLength || reply_.closeAfter || !request_.keep_alive();
    head_ = "HTTP/1.1 " + std::to_string(reply_.status) + " " +
            std::string(http::obsolete_reason(static_cast<http::status>(reply_.status))) + "\r\n";
    bool hasLength = false, saysClose = false;
    for (const auto& [name, value] : reply_.headers) {
      head_ += name + ": " + value + "\r\n";
      hasLength = hasLength || equalsIgnoringCase(name, "Content-Length");
      saysClose = saysClose ||
                  (equalsIgnoringCase(name, "Connection") && equalsIgnoringCase(value, "close"));
    }
    if (reply_.chunked && !bodyless)
      head_ += "Transfer-Encoding: chunked\r\n";
    else if (!hasLength && !reply_.noLength && !bodyless)
      head_ += "Content-Length: " + std::to_string(total) + "\r\n";
    if (closeAfterReply_ && !saysClose) head_ += "Connection: close\r\n";
    closeAfterReply_ = closeAfterReply_ || saysClose;
    head_ += "\r\n";

    sent_ = 0;
    total_ = end_ = request_.method() == http::verb::head || bodyless ? 0 : total;
    if (reply_.closeAfter) end_ = std::min(end_, *reply_.closeAfter);
    if (reply_.stallAfter) end_ = std::min(end_, *reply_.stallAfter);
    asio::async_write(socket_, asio::buffer(head_),
                      [self = shared_from_this()](boost::system::error_code ec, size_t) {
                        if (ec) return self->close();
                        self->sendBody();
                      });
  }

  void sendBody() {
    if (sent_ == end_) return endBody();
    const size_t n = std::min<uint64_t>(std::max<size_t>(reply_.chunkBytes, 1), end_ - sent_);
    const char* data = reply_.generatedBytes ? generated_.data() : reply_.body.data() + sent_;
    chunkHead_.clear();
    if (reply_.chunked) chunkHead_ = toHex(n) + "\r\n";
    const std::array<asio::const_buffer, 3> pieces = {
        asio::buffer(chunkHead_), asio::buffer(data, n),
        asio::buffer(kChunkEnd, reply_.chunked ? 2 : 0)};
    asio::async_write(socket_, pieces,
                      [self = shared_from_this(), n](boost::system::error_code ec, size_t) {
                        if (ec) return self->close();
                        self->sent_ += n;
                        if (self->reply_.chunkDelayMs <= 0 || self->sent_ == self->end_)
                          return self->sendBody();
                        self->wait(self->reply_.chunkDelayMs, [self] { self->sendBody(); });
                      });
  }

  static std::string toHex(size_t n) {
    std::ostringstream out;
    out << std::hex << n;
    return out.str();
  }

  // A chunked body that was not cut short ends with its last chunk.
  void endBody() {
    if (!reply_.chunked || end_ < total_) return afterBody();
    asio::async_write(socket_, asio::buffer(kLastChunk, sizeof kLastChunk - 1),
                      [self = shared_from_this()](boost::system::error_code ec, size_t) {
                        if (ec) return self->close();
                        self->afterBody();
                      });
  }

  void afterBody() {
    if (reply_.stallAfter)
      return wait(reply_.stallMs, [self = shared_from_this()] { self->close(); });
    if (reply_.noLength) {
      boost::system::error_code ec;
      socket_.shutdown(tcp::socket::shutdown_send, ec);
    }
    if (closeAfterReply_) return close();
    readRequest();
  }

  // A timer, not a sleep, so the server's destructor can cancel a stalled connection.
  template <class Next>
  void wait(int ms, Next next) {
    timer_.expires_after(std::chrono::milliseconds(ms));
    timer_.async_wait([self = shared_from_this(), next](boost::system::error_code ec) {
      if (ec || !self->socket_.is_open()) return self->close();
      next();
    });
  }

  FaultServerState& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;  // one per request
  http::request<http::string_body> request_;
  FaultHttpServer::Reply reply_;
  std::string head_;
  uint64_t sent_ = 0, end_ = 0, total_ = 0;
  std::string chunkHead_, generated_;
  bool closeAfterReply_ = false;
};

void FaultServerState::accept() {
  acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (!ec) std::make_shared<Session>(*this, std::move(socket))->readRequest();
    accept();
  });
}

}  // namespace

struct FaultHttpServer::Impl : FaultServerState {};

FaultHttpServer::FaultHttpServer(Handler handler) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  impl_->port = impl_->acceptor.local_endpoint().port();
  impl_->accept();
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

FaultHttpServer::~FaultHttpServer() {
  // Once nothing is open, every pending operation ends with an error and run() returns.
  asio::post(impl_->io, [impl = impl_.get()] {
    boost::system::error_code ec;
    impl->acceptor.close(ec);
    for (Session* session : impl->sessions) session->close();
  });
  impl_->thread.join();
}

uint16_t FaultHttpServer::port() const {
  return impl_->port;
}

std::string FaultHttpServer::url(const std::string& target) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + target;
}

std::vector<FaultHttpServer::Request> FaultHttpServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void FaultHttpServer::setHandler(Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

}  // namespace orsa::test
