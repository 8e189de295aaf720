#include "support/ScriptedBackend.h"

#include <utility>  // Asio 1.74 uses std::exchange without it

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace orsa::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Socket = websocket::stream<beast::tcp_stream>;

struct ScriptedBackend::Impl {
  explicit Impl(nlohmann::json models)
      : models(std::move(models)), http([this](const Request& r) { return answer(r); }) {}

  Reply answer(const Request& r) {
    Handler handler;
    {
      std::lock_guard lock(mutex);
      posted.emplace_back(r.target, r.body);
      if (auto it = scripts.find(r.target); it != scripts.end()) handler = it->second;
    }
    if (handler) return handler(r);
    if (r.target == "/api/model_list")
      return reply(nlohmann::json{{"success", true}, {"data", models}}.dump());
    if (r.target == "/api/create_task")
      return reply(R"({"success":true,"data":{"task_id":"t1","ws_port":4242}})");
    return reply(R"({"success":true})");
  }

  const nlohmann::json models;
  // Everything below the lock is shared between the servers' threads and the test.
  mutable std::mutex mutex;
  std::vector<std::string> paths;
  std::vector<std::string> received;
  size_t closes = 0;
  std::map<std::string, Handler> scripts;
  std::vector<std::pair<std::string, std::string>> posted;
  FaultHttpServer http;
  asio::io_context io;
  tcp::acceptor acceptor{io, {asio::ip::address_v4::loopback(), 0}};
  std::vector<std::shared_ptr<Socket>> sockets;  // io thread only
  std::thread thread;

  template <class F>
  void record(F&& f) {
    std::lock_guard lock(mutex);
    f();
  }

  asio::awaitable<void> accept() {
    for (;;) {
      beast::error_code ec;
      tcp::socket socket =
          co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      asio::co_spawn(io, session(std::make_shared<Socket>(std::move(socket))), asio::detached);
    }
  }

  asio::awaitable<void> session(std::shared_ptr<Socket> ws) {
    beast::error_code ec;
    beast::flat_buffer buffer;
    beast::http::request<beast::http::string_body> request;
    co_await beast::http::async_read(ws->next_layer(), buffer, request,
                                     asio::redirect_error(asio::use_awaitable, ec));
    if (ec || !websocket::is_upgrade(request)) co_return;
    co_await ws->async_accept(request, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    ws->text(true);
    sockets.push_back(ws);
    record([&] { paths.emplace_back(request.target()); });
    for (;;) {
      beast::flat_buffer frame;
      co_await ws->async_read(frame, asio::redirect_error(asio::use_awaitable, ec));
      if (ec == websocket::error::closed) record([&] { ++closes; });
      if (ec) break;
      record([&] { received.push_back(beast::buffers_to_string(frame.data())); });
    }
    std::erase(sockets, ws);
  }
};

ScriptedBackend::Reply ScriptedBackend::reply(std::string body, int status,
                                              std::optional<size_t> closeAfter) {
  Reply r;
  r.body = std::move(body);
  r.status = status;
  r.closeAfter = closeAfter;
  return r;
}

ScriptedBackend::ScriptedBackend(nlohmann::json models)
    : impl_(std::make_unique<Impl>(std::move(models))) {
  asio::co_spawn(impl_->io, impl_->accept(), asio::detached);
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

ScriptedBackend::~ScriptedBackend() {
  impl_->io.stop();
  impl_->thread.join();
}

std::string ScriptedBackend::httpBase() const {
  return impl_->http.url("");
}

std::string ScriptedBackend::wsBase() const {
  return "ws://127.0.0.1:" + std::to_string(impl_->acceptor.local_endpoint().port()) + "/ws";
}

std::vector<std::string> ScriptedBackend::socketPaths() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->paths;
}

std::vector<std::string> ScriptedBackend::received() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

size_t ScriptedBackend::closesReceived() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->closes;
}

void ScriptedBackend::sendText(const std::string& text) {
  send(text, false);
}

void ScriptedBackend::sendBinary(const std::string& bytes) {
  send(bytes, true);
}

void ScriptedBackend::send(const std::string& text, bool binary) {
  auto written = std::make_shared<std::promise<void>>();
  auto done = written->get_future();
  asio::co_spawn(
      impl_->io,
      [this, text, binary, written]() -> asio::awaitable<void> {
        const auto sockets = impl_->sockets;  // sessions may end meanwhile
        for (const auto& ws : sockets) {
          beast::error_code ec;
          ws->binary(binary);
          co_await ws->async_write(asio::buffer(text),
                                   asio::redirect_error(asio::use_awaitable, ec));
        }
        written->set_value();
      },
      asio::detached);
  done.wait_for(std::chrono::seconds(10));
}

void ScriptedBackend::script(const std::string& path, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->scripts[path] = std::move(handler);
}

void ScriptedBackend::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->scripts.clear();
  impl_->posted.clear();
  impl_->paths.clear();
  impl_->received.clear();
  impl_->closes = 0;
}

std::vector<nlohmann::json> ScriptedBackend::bodies(const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<nlohmann::json> out;
  for (const auto& [target, body] : impl_->posted)
    if (target == path) out.push_back(nlohmann::json::parse(body, nullptr, false));
  return out;
}

}  // namespace orsa::test
