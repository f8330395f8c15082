#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "Support/TemporaryHome.hpp"
#include "TarvelDisplay/Api/WebAccess.hpp"

namespace tarvel::Display::WebAccess {
namespace {

const Token token{.text = std::string(64, 'a')};

TEST(WebAccess, OnlyTheServedHostTheRightTokenAndTheOwnOriginGetThrough) {
  const Served loopback{.address = "127.0.0.1", .port = 8787};
  const Served lan{.address = "192.168.1.5", .port = 8787};
  const Served everywhere{.address = "0.0.0.0", .port = 8787};
  const std::string right = token.text;
  const std::string wrong = std::string(63, 'a') + "b";
  // Requests hold views: every text they name lives here.
  const std::string bearer = "Bearer " + right;
  const std::string wrongBearer = "Bearer " + wrong;
  const std::string basic = "Basic " + right;
  struct Case {
    const char* name;
    const Served& served;
    Request request;
    Verdict verdict;
  };
  const Case cases[] = {
      {"bearer",
       loopback,
       {.method = "GET", .path = "/v1/state", .host = "127.0.0.1:8787", .authorization = bearer},
       Verdict::allowed},
      // The page's own files hold no data: anyone who names this server may load them.
      {"page file",
       loopback,
       {.method = "GET", .path = "/", .host = "localhost:8787", .pageFile = true},
       Verdict::allowed},
      {"page file for a rebound host",
       loopback,
       {.method = "GET", .path = "/app.js", .host = "evil.example:8787", .pageFile = true},
       Verdict::misdirectedHost},
      {"page file posted from another page",
       loopback,
       {.method = "POST",
        .path = "/",
        .host = "127.0.0.1:8787",
        .origin = "http://evil.example",
        .pageFile = true},
       Verdict::foreignOrigin},
      {"no token",
       loopback,
       {.method = "GET", .path = "/v1/state", .host = "127.0.0.1:8787"},
       Verdict::unauthorized},
      {"wrong bearer",
       loopback,
       {.method = "GET",
        .path = "/v1/state",
        .host = "127.0.0.1:8787",
        .authorization = wrongBearer},
       Verdict::unauthorized},
      {"short bearer",
       loopback,
       {.method = "GET",
        .path = "/v1/state",
        .host = "127.0.0.1:8787",
        .authorization = "Bearer a"},
       Verdict::unauthorized},
      {"basic scheme",
       loopback,
       {.method = "GET", .path = "/", .host = "127.0.0.1:8787", .authorization = basic},
       Verdict::unauthorized},
      // DNS rebinding: the browser names the attacker's host, whatever the token.
      {"rebound host",
       loopback,
       {.method = "GET", .path = "/", .host = "evil.example:8787", .authorization = bearer},
       Verdict::misdirectedHost},
      {"other port",
       loopback,
       {.method = "GET", .path = "/", .host = "127.0.0.1:8788", .authorization = bearer},
       Verdict::misdirectedHost},
      {"no host",
       loopback,
       {.method = "GET", .path = "/", .authorization = bearer},
       Verdict::misdirectedHost},
      {"loopback name on a LAN address",
       lan,
       {.method = "GET", .path = "/", .host = "localhost:8787", .authorization = bearer},
       Verdict::misdirectedHost},
      {"LAN address",
       lan,
       {.method = "GET", .path = "/", .host = "192.168.1.5:8787", .authorization = bearer},
       Verdict::allowed},
      {"own origin",
       loopback,
       {.method = "POST",
        .path = "/v1/prompts/x",
        .host = "localhost:8787",
        .origin = "http://localhost:8787",
        .authorization = bearer},
       Verdict::allowed},
      {"foreign origin",
       loopback,
       {.method = "POST",
        .path = "/v1/prompts/x",
        .host = "127.0.0.1:8787",
        .origin = "http://evil.example",
        .authorization = bearer},
       Verdict::foreignOrigin},
      {"opaque origin",
       loopback,
       {.method = "POST",
        .path = "/v1/prompts/x",
        .host = "127.0.0.1:8787",
        .origin = "null",
        .authorization = bearer},
       Verdict::foreignOrigin},
      {"other served name as origin",
       loopback,
       {.method = "POST",
        .path = "/v1/prompts/x",
        .host = "127.0.0.1:8787",
        .origin = "http://localhost:8787",
        .authorization = bearer},
       Verdict::foreignOrigin},
      {"program without origin",
       loopback,
       {.method = "POST",
        .path = "/v1/prompts/x",
        .host = "127.0.0.1:8787",
        .authorization = bearer},
       Verdict::allowed},
  };
  const Case wildcard[] = {
      {"any address literal",
       everywhere,
       {.method = "GET", .path = "/", .host = "10.0.0.7:8787", .authorization = bearer},
       Verdict::allowed},
      {"IPv6 literal",
       everywhere,
       {.method = "GET", .path = "/", .host = "[fe80::1]:8787", .authorization = bearer},
       Verdict::allowed},
      {"a name",
       everywhere,
       {.method = "GET", .path = "/", .host = "evil.example:8787", .authorization = bearer},
       Verdict::misdirectedHost},
      {"a number that is no address",
       everywhere,
       {.method = "GET", .path = "/", .host = "10.0.0.777:8787", .authorization = bearer},
       Verdict::misdirectedHost},
      {"other port",
       everywhere,
       {.method = "GET", .path = "/", .host = "10.0.0.7:1", .authorization = bearer},
       Verdict::misdirectedHost},
  };
  for (const Case& entry : wildcard) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(check(entry.request, entry.served, token), entry.verdict);
  }
  EXPECT_EQ(everywhere.origin(), "http://127.0.0.1:8787");
  for (const Case& entry : cases) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(check(entry.request, entry.served, token), entry.verdict);
  }
  EXPECT_EQ(Served({.address = "::1", .port = 1}).origin(), "http://[::1]:1");
  EXPECT_TRUE(isLoopback("127.0.0.2"));
  EXPECT_TRUE(isLoopback("::1"));
  EXPECT_FALSE(isLoopback("0.0.0.0"));
  EXPECT_FALSE(isLoopback("192.168.1.5"));
}

// public_url: the address a phone uses is parsed strictly, must be one the server serves, and
// its Host is accepted besides the served address's; an answer address needs no token and no
// own Origin, but still a Host the server answers to.
TEST(WebAccess, APublicAddressIsOneTheServerServesAndItsHostIsAccepted) {
  struct Parsed {
    const char* text;
    const char* base;  // empty: refused
  };
  for (const Parsed& entry : {Parsed{"https://Devbox.Example.org", "https://devbox.example.org"},
                              Parsed{"http://192.168.1.5:8787/", "http://192.168.1.5:8787"},
                              Parsed{"https://devbox:443", "https://devbox"},
                              Parsed{"http://[::1]:8787", "http://[::1]:8787"},
                              Parsed{"ftp://devbox", ""},
                              Parsed{"devbox:8787", ""},
                              Parsed{"https://devbox/path", ""},
                              Parsed{"https://user@devbox", ""},
                              Parsed{"https://devbox:0", ""},
                              Parsed{"https://devbox:65536", ""},
                              Parsed{"https://devbox:", ""},
                              Parsed{"https://-devbox", ""},
                              Parsed{"https://[zz]:1", ""},
                              Parsed{"https://", ""}}) {
    SCOPED_TRACE(entry.text);
    const auto url = parsePublicUrl(entry.text);
    if (*entry.base == '\0') {
      ASSERT_FALSE(url);
      EXPECT_NE(url.error().find("public_url takes"), std::string::npos);
    } else {
      ASSERT_TRUE(url) << url.error();
      EXPECT_EQ(url->base(), entry.base);
    }
  }

  const auto lan = *parsePublicUrl("http://192.168.1.5:8787");
  const auto name = *parsePublicUrl("http://devbox.example.org:8787");
  EXPECT_FALSE(publicUrlMismatch(lan, {.address = "192.168.1.5", .port = 8787}));
  EXPECT_FALSE(publicUrlMismatch(lan, {.address = "0.0.0.0", .port = 8787}));
  EXPECT_FALSE(publicUrlMismatch(name, {.address = "127.0.0.1", .port = 8787}));
  EXPECT_TRUE(publicUrlMismatch(lan, {.address = "192.168.1.5", .port = 8788}));
  EXPECT_TRUE(publicUrlMismatch(lan, {.address = "127.0.0.1", .port = 8787}));
  // One port speaks either TLS or plain HTTP, and public_url's scheme must be the one it speaks.
  EXPECT_TRUE(publicUrlMismatch(lan, {.address = "0.0.0.0", .port = 8787, .tls = TlsPair{}}));
  const auto secure = *parsePublicUrl("https://devbox.example.org:8787");
  EXPECT_TRUE(publicUrlMismatch(secure, {.address = "0.0.0.0", .port = 8787}));
  EXPECT_FALSE(publicUrlMismatch(secure, {.address = "0.0.0.0", .port = 8787, .tls = TlsPair{}}));

  const Served served{.address = "127.0.0.1", .port = 8787, .publicAuthority = name.authority};
  const std::string bearer = "Bearer " + token.text;
  EXPECT_EQ(check({.method = "GET", .path = "/", .host = "DevBox.example.org:8787",
                   .authorization = bearer},
                  served, token),
            Verdict::allowed);
  EXPECT_EQ(check({.method = "GET", .path = "/", .host = "devbox.example.org:8788",
                   .authorization = bearer},
                  served, token),
            Verdict::misdirectedHost);
  EXPECT_EQ(check({.method = "GET", .path = "/v1/state", .host = "devbox.example.org:8787"},
                  served, token),
            Verdict::unauthorized);
  // The push service's app posts from its own page, with no token: the address is enough.
  EXPECT_EQ(check({.method = "POST", .path = "/v1/answer/ab", .host = "devbox.example.org:8787",
                   .origin = "https://ntfy.example.org", .answerAddress = true},
                  served, token),
            Verdict::allowed);
  EXPECT_EQ(check({.method = "POST", .path = "/v1/answer/ab", .host = "evil.example:8787",
                   .answerAddress = true},
                  served, token),
            Verdict::misdirectedHost);
}

class WebAccessTokenTest : public ::testing::Test {
 protected:
  Testing::TemporaryFolder temporary{"token"};
  const std::filesystem::path directory = temporary.path;
  const std::filesystem::path path = directory / "token";
};

TEST_F(WebAccessTokenTest, IsMadeOnceAsAPrivateFileAndKept) {
  const auto made = loadOrCreate(path);
  ASSERT_TRUE(made) << made.error();
  EXPECT_EQ(made->text.size(), 64U);
  struct stat status {};
  ASSERT_EQ(::lstat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600U);
  const auto again = loadOrCreate(path);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *made);
  // Nothing but the token is left in its folder.
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    EXPECT_EQ(entry.path(), path);
  }
  // Another home gets another token.
  std::filesystem::create_directory(directory / "other");
  EXPECT_NE(loadOrCreate(directory / "other" / "token")->text, made->text);
}

TEST_F(WebAccessTokenTest, RefusesLinksFilesOthersMayReadAndWhatIsNoToken) {
  const auto made = loadOrCreate(directory / "real");
  ASSERT_TRUE(made);
  ASSERT_EQ(::symlink((directory / "real").c_str(), path.c_str()), 0);
  EXPECT_FALSE(loadOrCreate(path));
  std::filesystem::remove(path);

  std::filesystem::copy_file(directory / "real", path);
  ::chmod(path.c_str(), 0644);
  EXPECT_FALSE(loadOrCreate(path));
  ::chmod(path.c_str(), 0600);
  EXPECT_TRUE(loadOrCreate(path));

  std::ofstream(path, std::ios::trunc) << "not a token\n";
  EXPECT_FALSE(loadOrCreate(path));
  std::ofstream(path, std::ios::trunc) << "";
  EXPECT_FALSE(loadOrCreate(path));
}

}  // namespace
}  // namespace tarvel::Display::WebAccess
