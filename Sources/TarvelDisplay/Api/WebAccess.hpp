#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Result.hpp"

// Who may use the API and the page over TCP: a secret token, kept in a 0600 file, sent as
// `Authorization: Bearer …` with every request for data (the page keeps it in its own session
// storage, which no other port or host can read; no cookie, since cookies do not tell ports
// apart); the Host header must name the address served (so a rebound DNS name gets nothing), and
// a POST from another page's Origin is refused. The page's own files hold no data and are served
// without the token; an answer address (/v1/answer/SECRET, answering only a POST) is its own
// authority and needs neither the token nor this page's Origin, only a Host this server answers
// to.
namespace tarvel::Display::WebAccess {

// The token, 64 hex digits (256 random bits).
struct Token {
  std::string text;
  bool operator==(const Token&) const = default;
};

// Reads the token at `path`, or creates it (0600, from getrandom) when there is none. Refuses,
// with the text for the user, a link, a file that is not a regular file of this user, a file
// others may read, or one that does not hold a token.
Result<Token, std::string> loadOrCreate(const std::filesystem::path& path);

// Whether `given` equals `expected`, in time that does not depend on where they differ.
bool sameSecret(std::string_view given, std::string_view expected);

// The address a phone or another machine reaches the page at (the `public_url` setting):
// "http://HOST[:PORT]" or "https://HOST[:PORT]", HOST a name, an IPv4 address or [IPv6].
struct PublicUrl {
  std::string scheme;  // "http" or "https"
  std::string host;    // lower-cased; IPv6 in brackets
  std::uint16_t port = 0;  // as written, or the scheme's own (80, 443)
  // What a browser sends as the Host header for it: the host, with ":port" unless it is the
  // scheme's own.
  std::string authority;
  // "scheme://authority", with no slash at the end.
  [[nodiscard]] std::string base() const { return scheme + "://" + authority; }
  bool operator==(const PublicUrl&) const = default;
};

// `text` as a PublicUrl (a slash at the end is allowed; no other path, no query, no user); the
// sentence for the user when it is not one.
Result<PublicUrl, std::string> parsePublicUrl(std::string_view text);

// The address served over TCP and the names a browser may use for it.
struct Served {
  std::string address;  // as given: "127.0.0.1", "::1", "192.168.1.5"
  std::uint16_t port = 0;
  bool secure = false;  // over TLS: the page's origin is https
  // The public address's Host value (PublicUrl::authority), accepted besides those above.
  std::optional<std::string> publicAuthority;
  // Host header values accepted: address:port (IPv6 in brackets), and for a loopback address
  // also 127.0.0.1:port and localhost:port. An address of every interface (0.0.0.0, ::) accepts
  // any IP address literal with the port instead, since a rebound DNS name is never one.
  [[nodiscard]] bool acceptsHost(std::string_view host) const;
  // "http://address:port", or "https://..." when secure (IPv6 in brackets; the loopback
  // address for 0.0.0.0 and ::).
  [[nodiscard]] std::string origin() const;
  // The cookie earlier versions kept the token in; a browser that still sends it is told to
  // drop it, since every other port of the host is sent it too.
  [[nodiscard]] std::string staleCookieName() const;
};

// What one request over TCP carries, as the server read it.
struct Request {
  bool secure = false;  // it came over TLS
  std::string_view method;
  std::string_view path;
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> authorization;
  // One of the page's own files (its HTML, script and style), which hold no data.
  bool pageFile = false;
  // An answer address, which carries its own authority.
  bool answerAddress = false;
};

// A certificate and its private key, as PEM text, that make the TCP server speak TLS only.
struct TlsPair {
  std::string certificate;
  std::string key;
};

// Reads `certificate` and `key` (PEM files) and checks that each is what it should be and that
// the key is the certificate's; the refusal names the file and what is wrong with it.
Result<TlsPair, std::string> loadTlsPair(const std::filesystem::path& certificate,
                                         const std::filesystem::path& key);

// What to serve over TCP: the address and port (0: any free port), the token, and TLS when given.
struct Listener {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
  Token token;
  std::optional<TlsPair> tls;
  // Where others reach it; its Host is accepted too.
  std::optional<PublicUrl> publicUrl;
};

// Why `url` cannot reach `listener` (another port; https without TLS or http with it; an address
// literal that is not the one it listens on, when it listens on one address); absent when it may. A name is taken at its word.
std::optional<std::string> publicUrlMismatch(const PublicUrl& url, const Listener& listener);

enum class Verdict {
  allowed,
  misdirectedHost,  // 421
  foreignOrigin,    // 403
  unauthorized,     // 401
};

Verdict check(const Request& request, const Served& served, const Token& token);

// Whether `address` is a loopback address (127.0.0.0/8, ::1, "localhost").
bool isLoopback(std::string_view address);

}  // namespace tarvel::Display::WebAccess
