#include "net/DHHttpRequestHelper.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/UrlSession.h"
#include "support/HttpTestServers.h"

namespace {

// A loopback port nobody listens on any more.
uint16_t closedPort() {
  return orsa::test::FaultHttpServer(
             [](const auto&) { return orsa::test::FaultHttpServer::Reply{}; })
      .port();
}

// Any completed exchange is a success with its body, whatever the status; a transport failure
// gives the transfer's NSURLErrorDomain code and description, no data. Never called back on the
// caller's thread.
TEST(DHHttpRequestHelperTest, OutcomeTriples) {
  struct Case {
    bool json, reachable;
    int status;
    std::string reply;
  };
  const nlohmann::json map = {{"model_id", "m1"}, {"n", 2}, {"rtc", {{"room", "r"}}}};
  for (const Case& c :
       {Case{true, true, 200, R"({"success":true})"}, Case{true, true, 500, "<h1>x</h1>"},
        Case{false, true, 404, "not here"}, Case{false, true, 200, ""}, Case{true, false, 0, ""},
        Case{false, false, 0, ""}}) {
    SCOPED_TRACE(testing::Message() << c.json << c.reachable << c.status);
    orsa::test::FaultHttpServer server([&](const auto&) {
      orsa::test::FaultHttpServer::Reply reply;
      reply.status = c.status;
      reply.body = c.reply;
      return reply;
    });
    const std::string path = "/api/create_task";
    const std::string url =
        c.reachable ? server.url(path) : "http://127.0.0.1:" + std::to_string(closedPort()) + path;
    std::promise<std::tuple<int64_t, std::optional<std::string>, std::optional<std::string>>> done;
    auto future = done.get_future();
    const auto caller = std::this_thread::get_id();
    auto cb = [&](int64_t code, const auto& message, const auto& data) {
      EXPECT_NE(std::this_thread::get_id(), caller);
      done.set_value(
          {code, message,
           data ? std::optional<std::string>({data->begin(), data->end()}) : std::nullopt});
    };
    c.json ? DHHttpRequestHelper::postJson(url, map, cb) : DHHttpRequestHelper::post(url, cb);
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto [code, message, data] = future.get();
    EXPECT_EQ(code, c.reachable ? 0 : orsa::platform::kUrlErrorCannotConnectToHost);
    EXPECT_EQ(message.value_or("").empty(), c.reachable);
    EXPECT_EQ(data, c.reachable ? std::optional<std::string>(c.reply) : std::nullopt);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), c.reachable ? 1u : 0u);
    if (!c.reachable) continue;
    EXPECT_EQ(requests[0].method + " " + requests[0].target, "POST " + path);
    EXPECT_EQ(requests[0].body, c.json ? R"({"model_id":"m1","n":2,"rtc":{"room":"r"}})" : "");
    EXPECT_EQ(requests[0].header("Content-Type"),
              c.json ? std::optional<std::string>("application/json") : std::nullopt);
  }
}

}  // namespace
