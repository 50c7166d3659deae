// The run queue's own Redis connection: URLs it refuses before connecting, and
// a live round trip (commands, a pipeline with a failing step, pub/sub ends).
#include "stores/redis_link.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/errors.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

TEST(RedisLink, MalformedUrlsAreRefusedWithTheReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://127.0.0.1:6379", "not a redis:// URL"},
      {"redis://", "no host"},
      {"redis://127.0.0.1:0", "port"},
      {"redis://127.0.0.1:70000", "port"},
      {"redis://127.0.0.1:63x9", "port"},
      {"redis://127.0.0.1:6379/x", "database"},
      {"redis://[::1", "unclosed ["},
      {"redis://h:1/0?timeout=1", "query"},
  };
  for (auto [url, why] : cases) {
    SCOPED_TRACE(url);
    try {
      RedisLink link(url, std::chrono::seconds(1));
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(is_redis_url("redis://h"));
  EXPECT_FALSE(is_redis_url("memory://"));
}

TEST(RedisLink, AnUnreachableServerIsAStoreError) {
  EXPECT_THROW(RedisLink("redis://127.0.0.1:1/0", std::chrono::seconds(1)), StoreError);
}

TEST(RedisLinkLive, CommandsPipelinesAndAnInterruptedSubscriber) {
  auto url = test::live_redis_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_REDIS not set";
  const std::string db = url->substr(0, url->rfind('/')) + "/2";
  RedisLink link(db, std::chrono::seconds(5));
  link.command({"DEL", "link-test"});
  // A failing step is logged; the steps after it are still carried out.
  link.pipeline({{"SET", "link-test", "1"}, {"INCR", "no", "such"}, {"INCR", "link-test"}});
  EXPECT_EQ(std::string(link.command({"GET", "link-test"})->str), "2");
  EXPECT_THROW(link.command({"INCRBY", "link-test", "x"}), StoreError);
  EXPECT_EQ(link.command({"PING"})->type, REDIS_REPLY_STATUS);  // still usable

  RedisLink subscriber(db, std::chrono::milliseconds(0));
  subscriber.command({"SUBSCRIBE", "link-test-channel"});
  link.command({"PUBLISH", "link-test-channel", "hello"});
  RedisReply message = subscriber.next_reply();
  ASSERT_EQ(message->type, REDIS_REPLY_ARRAY);
  EXPECT_EQ(std::string(message->element[2]->str), "hello");
  // Before or during the wait alike: the shut connection ends it.
  std::thread waiting([&] { EXPECT_THROW(subscriber.next_reply(), StoreError); });
  subscriber.interrupt();
  waiting.join();
}

}  // namespace
}  // namespace vqflow
