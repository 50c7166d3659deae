#include "server/run_subscribers.h"

#include <gtest/gtest.h>

#include "api_fixture.h"

namespace vqflow {
namespace {

using test::request;

// Keeps what it is sent.
class Recorder : public ClientConnection {
 public:
  void send(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

TEST(RunSubscribers, WatchersGetTheRunsMessagesWithinTheirBounds) {
  RunSubscribers watchers(2, 2);
  auto a = std::make_shared<Recorder>();
  auto b = std::make_shared<Recorder>();
  auto c = std::make_shared<Recorder>();
  using Outcome = RunSubscribers::Outcome;
  EXPECT_EQ(watchers.subscribe("r1", a), Outcome::subscribed);
  EXPECT_EQ(watchers.subscribe("r1", a), Outcome::already);
  EXPECT_EQ(watchers.subscribe("r1", b), Outcome::subscribed);
  EXPECT_EQ(watchers.subscribe("r1", c), Outcome::run_full);
  EXPECT_EQ(watchers.subscribe("r2", a), Outcome::subscribed);
  EXPECT_EQ(watchers.subscribe("r3", a), Outcome::client_full);
  EXPECT_EQ(watchers.watchers("r3"), 0u);
  watchers.publish("r1", "m1");
  watchers.publish("r2", "m2");
  watchers.publish("r9", "nobody");
  EXPECT_EQ(a->texts, (std::vector<std::string>{"m1", "m2"}));
  EXPECT_EQ(b->texts, (std::vector<std::string>{"m1"}));
  EXPECT_TRUE(c->texts.empty());

  watchers.unsubscribe_all(a.get());
  EXPECT_EQ(watchers.watchers("r1"), 1u);
  EXPECT_EQ(watchers.watchers("r2"), 0u);
  EXPECT_EQ(watchers.subscribe("r1", c), Outcome::subscribed);
  // A client gone without unsubscribing is skipped.
  b.reset();
  watchers.publish("r1", "m3");
  EXPECT_EQ(c->texts, (std::vector<std::string>{"m3"}));
}

class WatchedRunsTest : public test::ApiTest {
 protected:
  void SetUp() override {
    make_api();
    auto watchers = std::make_shared<RunSubscribers>();
    ApiOptions options;
    options.watchers = watchers;
    api_ = std::make_unique<Api>(services_, &rpc_,
                                 watched_run_starter(starter_->starter(), watchers), options);
  }
  Value reply_to(const std::string& text, const std::shared_ptr<Recorder>& client) {
    client->texts.clear();
    api_->ws_message(text, client);
    EXPECT_EQ(client->texts.size(), 1u);
    return client->texts.empty() ? Value() : parse_json(client->texts.back());
  }
};

TEST_F(WatchedRunsTest, SubscriberGetsTheLiveMessagesOfARunStartedElsewhere) {
  auto watcher = std::make_shared<Recorder>();
  // A run started over HTTP, watched from a WebSocket.
  HttpResponse started = answer(request("POST", "/api/runs", R"({"uuid": "wf"})"));
  ASSERT_EQ(started.status, 202);
  EXPECT_EQ(reply_to(R"({"method": "subscribe", "data": {"only_id": "fake000000"}})", watcher),
            parse_json(R"({"method": "subscribed",
                           "data": {"only_id": "fake000000", "running_here": true}})"));
  EXPECT_EQ(reply_to(R"({"method": "subscribe", "data": {"only_id": "elsewhere"}})", watcher),
            parse_json(R"({"method": "subscribed",
                           "data": {"only_id": "elsewhere", "running_here": false}})"));
  // Another run, started by another client, is not watched.
  auto starter_client = std::make_shared<Recorder>();
  api_->ws_message(R"({"method": "run", "data": {"uuid": "wf"}})", starter_client);
  watcher->texts.clear();
  ioc_.run();
  std::vector<std::string> expected;
  for (int i = 0; i < 3; ++i) expected.push_back(test::FakeRunStarter::message("fake000000", i));
  EXPECT_EQ(watcher->texts, expected);
  // The client that started the second run still gets it first-hand.
  ASSERT_EQ(starter_client->texts.size(), 4u);
  EXPECT_EQ(starter_client->texts[1], test::FakeRunStarter::message("fake000001", 0));
}

TEST_F(WatchedRunsTest, ClosedClientsWatchNothingAndBadSubscriptionsAreRefused) {
  auto watcher = std::make_shared<Recorder>();
  reply_to(R"({"method": "subscribe", "data": {"only_id": "fake000000"}})", watcher);
  api_->ws_closed(watcher.get());
  watcher->texts.clear();
  ASSERT_EQ(answer(request("POST", "/api/runs", R"({"uuid": "wf"})")).status, 202);
  ioc_.run();
  EXPECT_TRUE(watcher->texts.empty());
  for (const char* bad : {R"({"method": "subscribe"})", R"({"method": "subscribe", "data": 1})",
                          R"({"method": "subscribe", "data": {"only_id": "a b"}})",
                          R"({"method": "watch", "data": {"only_id": "x"}})"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(reply_to(bad, watcher)["method"], "error");
  }
}

}  // namespace
}  // namespace vqflow
