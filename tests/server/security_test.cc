#include "server/security.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "base/errors.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

TEST(Security, ConstantTimeEqualsComparesWholeTexts) {
  EXPECT_TRUE(constant_time_equals("s3cret", "s3cret"));
  EXPECT_TRUE(constant_time_equals("", ""));
  EXPECT_FALSE(constant_time_equals("s3cret", "s3creT"));
  EXPECT_FALSE(constant_time_equals("s3cre", "s3cret"));
  EXPECT_FALSE(constant_time_equals("s3cretX", "s3cret"));
  EXPECT_FALSE(constant_time_equals("", "s3cret"));
  EXPECT_FALSE(constant_time_equals(std::string("s3cret\0", 7), "s3cret"));
}

TEST(Security, ListenAddressesParseOrNameTheFault) {
  struct Case {
    const char* text;
    const char* host;  // nullptr: refused
    unsigned short port;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1:8080", "127.0.0.1", 8080},
      {"localhost:0", "127.0.0.1", 0},
      {"0.0.0.0:80", "0.0.0.0", 80},
      {"[::1]:9000", "::1", 9000},
      {"[::]:1", "::", 1},
      {"127.0.0.1", nullptr, 0},
      {"127.0.0.1:", nullptr, 0},
      {"127.0.0.1:65536", nullptr, 0},
      {"127.0.0.1:-1", nullptr, 0},
      {"::1:80", nullptr, 0},
      {"example.com:80", nullptr, 0},
      {"[::1]80", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.host == nullptr) {
      EXPECT_THROW(parse_listen_address(c.text), ConfigError);
      continue;
    }
    ListenAddress address = parse_listen_address(c.text);
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
  }
}

TEST(Security, LoopbackAddresses) {
  for (const char* ip : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1"}) {
    EXPECT_TRUE(is_loopback_ip(ip)) << ip;
  }
  for (const char* ip : {"0.0.0.0", "10.0.0.1", "::", "::ffff:10.0.0.1", "localhost", ""}) {
    EXPECT_FALSE(is_loopback_ip(ip)) << ip;
  }
}

TEST(Security, HostHeadersMustNameThisMachineByIpOrLocalhost) {
  for (const char* host : {"localhost", "LOCALHOST:8080", "127.0.0.1:8080", "127.0.0.1",
                           "[::1]:8080", "[::1]", "192.168.1.5:80"}) {
    EXPECT_TRUE(is_local_host_header(host)) << host;
  }
  for (const char* host : {"evil.example", "evil.example:8080", "127.0.0.1.nip.io:80",
                           "localhost.evil.example", "[::1", "[::1]x", "127.0.0.1:http", ""}) {
    EXPECT_FALSE(is_local_host_header(host)) << host;
  }
}

TEST(Security, SameOriginMeansTheHostAndPortTheRequestNames) {
  struct Case {
    const char* origin;
    const char* host;
    bool same;
  };
  for (const Case& c : std::vector<Case>{
           {"http://127.0.0.1:8080", "127.0.0.1:8080", true},
           {"http://LOCALHOST:8080", "localhost:8080", true},
           {"http://localhost", "localhost:80", true},
           {"https://soc.example.com", "soc.example.com", true},
           {"https://soc.example.com:443", "soc.example.com", true},
           {"http://[::1]:8080", "[::1]:8080", true},
           {"http://127.0.0.1:8081", "127.0.0.1:8080", false},
           {"https://127.0.0.1", "127.0.0.1:80", false},
           {"http://evil.example", "127.0.0.1:8080", false},
           {"http://127.0.0.1:8080.evil.example", "127.0.0.1:8080", false},
           {"http://user@127.0.0.1:8080", "127.0.0.1:8080", false},
           {"http://127.0.0.1:8080/", "127.0.0.1:8080", false},
           {"null", "127.0.0.1:8080", false},
           {"file://127.0.0.1:8080", "127.0.0.1:8080", false},
           {"http://127.0.0.1:8080", "", false},
           {"http://", "", false},
       }) {
    EXPECT_EQ(is_same_origin(c.origin, c.host), c.same) << c.origin << " on " << c.host;
  }
}

TEST(Security, AccessTokenIsReadFromTheQuery) {
  EXPECT_EQ(query_access_token("/api/ws?access_token=a%2Bb"), "a+b");
  EXPECT_EQ(query_access_token("/api/ws?x=1&access_token="), "");
  EXPECT_FALSE(query_access_token("/api/ws"));
  EXPECT_FALSE(query_access_token("/api/ws?token=a"));
}

TEST(Security, TokenFileHoldsOneTokenLine) {
  test::TempDir dir;
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir.file(name), std::ios::binary) << text;
    return dir.file(name);
  };
  EXPECT_EQ(read_token_file(write("ok", "abc123\n")), "abc123");
  EXPECT_EQ(read_token_file(write("crlf", "  abc123\r\n")), "abc123");
  EXPECT_THROW(read_token_file(write("empty", " \n")), ConfigError);
  EXPECT_THROW(read_token_file(write("two", "abc\ndef\n")), ConfigError);
  EXPECT_THROW(read_token_file(write("space", "abc def")), ConfigError);
  EXPECT_THROW(read_token_file(dir.file("missing")), ConfigError);
}

}  // namespace
}  // namespace vqflow
