#include "net/DHWebSocketTask.h"

#include <utility>  // Asio 1.74 uses std::exchange without it

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <optional>
#include <thread>
#include <type_traits>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Every socket of the process runs on this one thread, so each socket's operations are
// serialised without a strand. Never destroyed: socket callbacks may still run at exit.
asio::io_context& socketContext() {
  static asio::io_context* const io = [] {
    auto* context = new asio::io_context(1);
    auto* guard =
        new asio::executor_work_guard<asio::io_context::executor_type>(context->get_executor());
    (void)guard;
    std::thread([context] { context->run(); }).detach();
    return context;
  }();
  return *io;
}

// TLS peers are checked against the system's certificate store.
asio::ssl::context& tlsContext() {
  static asio::ssl::context* const ctx = [] {
    auto* c = new asio::ssl::context(asio::ssl::context::tls_client);
    c->set_default_verify_paths();
    c->set_verify_mode(asio::ssl::verify_peer);
    return c;
  }();
  return *ctx;
}

struct WsUrl {
  bool secure = false;
  std::string host, port, target;
};
std::optional<WsUrl> parseWsUrl(const std::string& url) {
  WsUrl u;
  size_t rest;
  if (url.rfind("wss://", 0) == 0) {
    u.secure = true;
    rest = 6;
  } else if (url.rfind("ws://", 0) == 0) {
    rest = 5;
  } else {
    return std::nullopt;
  }
  const size_t slash = url.find('/', rest);
  std::string authority = url.substr(rest, slash == std::string::npos ? slash : slash - rest);
  u.target = slash == std::string::npos ? "/" : url.substr(slash);
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    u.port = authority.substr(colon + 1);
    authority.resize(colon);
  } else {
    u.port = u.secure ? "443" : "80";
  }
  if (authority.size() > 1 && authority.front() == '[')
    authority = authority.substr(1, authority.size() - 2);
  u.host = authority;
  if (u.host.empty()) return std::nullopt;
  return u;
}

template <class Stream>
class WebSocketTaskImpl final : public DHWebSocketTask,
                                public std::enable_shared_from_this<WebSocketTaskImpl<Stream>> {
 public:
  template <class... Args>
  WebSocketTaskImpl(WsUrl url, Delegate delegate, Args&&... args)
      : url_(std::move(url)), delegate_(std::move(delegate)), ws_(std::forward<Args>(args)...) {}

  void resume() override {
    asio::co_spawn(socketContext(), run(this->shared_from_this()), asio::detached);
  }

  void send(std::string text) override {
    asio::post(socketContext(),
               [self = this->shared_from_this(), text = std::move(text)]() mutable {
                 if (self->closing_) return;
                 self->outbox_.push_back(std::move(text));
                 self->pump();
               });
  }

  void close() override {
    asio::post(socketContext(), [self = this->shared_from_this()] {
      if (self->closing_) return;
      self->closing_ = true;
      // The frame being written stays until its write completes: the write reads from it.
      const size_t keep = self->writing_ && !self->outbox_.empty() ? 1 : 0;
      self->outbox_.erase(self->outbox_.begin() + keep, self->outbox_.end());
      if (!self->open_) {
        // Still connecting: cut the attempt short.
        beast::get_lowest_layer(self->ws_).close();
        return;
      }
      self->pump();
    });
  }

 private:
  static asio::awaitable<void> run(std::shared_ptr<WebSocketTaskImpl> self) {
    beast::error_code ec;
    auto& lowest = beast::get_lowest_layer(self->ws_);
    tcp::resolver resolver(socketContext());
    auto results = co_await resolver.async_resolve(self->url_.host, self->url_.port,
                                                   asio::redirect_error(asio::use_awaitable, ec));
    if (!ec && !self->closing_) {
      lowest.expires_after(std::chrono::seconds(30));
      co_await lowest.async_connect(results, asio::redirect_error(asio::use_awaitable, ec));
    }
    if constexpr (!std::is_same_v<Stream, websocket::stream<beast::tcp_stream>>) {
      if (!ec && !self->closing_) {
        auto& tls = self->ws_.next_layer();
        if (!SSL_set_tlsext_host_name(tls.native_handle(), self->url_.host.c_str()))
          ec.assign(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category());
        tls.set_verify_callback(asio::ssl::host_name_verification(self->url_.host));
        if (!ec)
          co_await tls.async_handshake(asio::ssl::stream_base::client,
                                       asio::redirect_error(asio::use_awaitable, ec));
      }
    }
    if (!ec && !self->closing_) {
      lowest.expires_never();
      auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
      timeouts.idle_timeout = std::chrono::seconds(90);
      timeouts.keep_alive_pings = true;
      self->ws_.set_option(timeouts);
      self->ws_.text(true);
      self->ws_.read_message_max(kMaxMessageBytes);
      co_await self->ws_.async_handshake(self->url_.host + ":" + self->url_.port, self->url_.target,
                                         asio::redirect_error(asio::use_awaitable, ec));
    }
    if (self->closing_) co_return;
    if (ec) {
      self->failReceive(ec);
      co_return;
    }
    self->open_ = true;
    if (self->delegate_.didOpen) self->delegate_.didOpen("");
    self->pump();
    for (;;) {
      beast::flat_buffer buffer;
      co_await self->ws_.async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
      if (self->closing_) co_return;
      if (ec == websocket::error::closed) {
        const auto& reason = self->ws_.reason();
        if (self->delegate_.didClose) self->delegate_.didClose(reason.code, reason.reason.c_str());
      }
      if (ec) {
        self->failReceive(ec);
        co_return;
      }
      if (!self->ws_.got_text()) continue;
      if (self->delegate_.didReceive)
        self->delegate_.didReceive(beast::buffers_to_string(buffer.data()));
    }
  }

  void failReceive(const beast::error_code& ec) {
    if (delegate_.didFailReceive) delegate_.didFailReceive(ec.value(), ec.message());
  }

  // One write at a time (a close frame counts as one); the close goes out after what was
  // being written.
  void pump() {
    if (writing_ || !open_) return;
    if (closing_) {
      if (closeSent_) return;
      closeSent_ = true;
      writing_ = true;
      ws_.async_close(websocket::close_code::normal,
                      [self = this->shared_from_this()](beast::error_code) {
                        self->writing_ = false;
                        beast::error_code ignored;
                        beast::get_lowest_layer(self->ws_).socket().close(ignored);
                      });
      return;
    }
    if (outbox_.empty()) return;
    writing_ = true;
    ws_.async_write(asio::buffer(outbox_.front()),
                    [self = this->shared_from_this()](beast::error_code ec, size_t) {
                      self->writing_ = false;
                      self->outbox_.pop_front();
                      if (ec && !self->closing_ && self->delegate_.didFailSend)
                        self->delegate_.didFailSend(ec.message());
                      if (ec && !self->closing_) self->outbox_.clear();
                      self->pump();
                    });
  }

  const WsUrl url_;
  const Delegate delegate_;
  Stream ws_;
  std::deque<std::string> outbox_;
  bool open_ = false;
  bool writing_ = false;
  bool closing_ = false;
  bool closeSent_ = false;
};

std::shared_ptr<DHWebSocketTask> makeWebSocketTask(const WsUrl& url,
                                                   DHWebSocketTask::Delegate delegate) {
  if (url.secure) {
    using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;
    return std::make_shared<WebSocketTaskImpl<Stream>>(url, std::move(delegate), socketContext(),
                                                       tlsContext());
  }
  using Stream = websocket::stream<beast::tcp_stream>;
  return std::make_shared<WebSocketTaskImpl<Stream>>(url, std::move(delegate), socketContext());
}

}  // namespace

std::shared_ptr<DHWebSocketTask> DHWebSocketTask::create(const std::string& url,
                                                         Delegate delegate) {
  const auto parsed = parseWsUrl(url);
  if (!parsed) return nullptr;
  return makeWebSocketTask(*parsed, std::move(delegate));
}
