#include "TarvelDisplay/Api/WebAccess.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/Random.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel::Display::WebAccess {
namespace {

constexpr std::size_t tokenBytes = 32;

bool isToken(std::string_view text) {
  return text.size() == 2 * tokenBytes && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string failure(std::string_view what, const std::filesystem::path& path) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

// A failure's description as this file's messages begin: with a capital letter.
std::string sentence(std::string description) {
  if (!description.empty()) {
    description[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(description[0])));
  }
  return description;
}

Result<Token, std::string> create(const std::filesystem::path& path) {
  auto random = Random::hexadecimal(tokenBytes);
  if (!random) {
    return std::string("Cannot make a random token: ") + std::strerror(errno);
  }
  const Token token{.text = std::move(*random)};
  // Made only where no file is yet, so that a reader never sees half a token and of two services
  // starting at once both keep the first one's.
  const auto problem = FileReplace::create(path, token.text + "\n", 0600);
  if (problem && problem->kind == FileReplace::Error::Kind::exists) {
    return loadOrCreate(path);
  }
  if (problem) {
    return sentence(problem->description());
  }
  return token;
}

}  // namespace

Result<Token, std::string> loadOrCreate(const std::filesystem::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) {
      return create(path);
    }
    if (errno == ELOOP) {
      return path.string() + " is a symbolic link; remove it and start again.";
    }
    return failure("Cannot open", path);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return failure("Cannot inspect", path);
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
    return path.string() + " is not a regular file of this user; remove it and start again.";
  }
  if ((status.st_mode & 077) != 0) {
    return path.string() +
           " may be read by others; remove it (a new token is made) and start again.";
  }
  std::array<char, 2 * tokenBytes + 2> buffer{};
  ssize_t count = 0;
  do {
    count = ::read(fd.get(), buffer.data(), buffer.size());
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    return failure("Cannot read", path);
  }
  std::string_view text(buffer.data(), static_cast<std::size_t>(count));
  if (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  if (!isToken(text)) {
    return path.string() + " does not hold a token; remove it (a new one is made) and start again.";
  }
  return Token{.text = std::string(text)};
}

bool sameSecret(std::string_view given, std::string_view expected) {
  // Every byte of the expected secret is looked at whatever the given one holds.
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t index = 0; index < expected.size(); ++index) {
    const char other = index < given.size() ? given[index] : '\0';
    difference |= static_cast<unsigned char>(other ^ expected[index]);
  }
  return difference == 0;
}

bool isLoopback(std::string_view address) {
  if (address == "localhost") {
    return true;
  }
  const std::string text(address);
  in_addr four{};
  if (::inet_pton(AF_INET, text.c_str(), &four) == 1) {
    return (ntohl(four.s_addr) >> 24) == 127;
  }
  in6_addr six{};
  return ::inet_pton(AF_INET6, text.c_str(), &six) == 1 && IN6_IS_ADDR_LOOPBACK(&six);
}

namespace {

bool isWildcard(std::string_view address) { return address == "0.0.0.0" || address == "::"; }

// The Host header's name when it is an IP address literal ("[::1]" as "::1"); absent otherwise.
std::optional<std::string> addressLiteral(std::string_view name) {
  std::string text(name);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
    in6_addr six{};
    return ::inet_pton(AF_INET6, text.c_str(), &six) == 1 ? std::optional(text) : std::nullopt;
  }
  in_addr four{};
  return ::inet_pton(AF_INET, text.c_str(), &four) == 1 ? std::optional(text) : std::nullopt;
}

}  // namespace

bool Served::acceptsHost(std::string_view host) const {
  if (publicAuthority && Text::lowercased(host) == *publicAuthority) {
    return true;
  }
  std::string suffix = ":";
  suffix += std::to_string(port);
  if (!host.ends_with(suffix)) {
    return false;
  }
  const std::string_view name = host.substr(0, host.size() - suffix.size());
  if (isWildcard(address)) {
    return name == "localhost" || addressLiteral(name).has_value();
  }
  if (isLoopback(address) && (name == "localhost" || name == "127.0.0.1" || name == "[::1]")) {
    return true;
  }
  const bool six = address.find(':') != std::string::npos;
  return name == (six ? "[" + address + "]" : address);
}

std::string Served::origin() const {
  const std::string shown =
      address == "0.0.0.0" ? "127.0.0.1" : (address == "::" ? "::1" : address);
  const bool six = shown.find(':') != std::string::npos;
  return (secure ? "https://" : "http://") + (six ? "[" + shown + "]" : shown) + ":" +
         std::to_string(port);
}

std::string Served::staleCookieName() const { return "tarvel_" + std::to_string(port); }

Result<PublicUrl, std::string> parsePublicUrl(std::string_view text) {
  const std::string problem =
      "public_url takes \"http://HOST[:PORT]\" or \"https://HOST[:PORT]\", the address a phone "
      "reaches this machine's page at";
  PublicUrl url;
  std::string_view rest = text;
  if (rest.starts_with("http://")) {
    url.scheme = "http";
    rest.remove_prefix(7);
  } else if (rest.starts_with("https://")) {
    url.scheme = "https";
    rest.remove_prefix(8);
  } else {
    return problem;
  }
  if (rest.ends_with('/')) {
    rest.remove_suffix(1);
  }
  if (rest.empty() || rest.find_first_of("/?#@\\ ") != std::string_view::npos) {
    return problem;
  }
  std::string_view host = rest;
  std::string_view port;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) {
      return problem;
    }
    host = rest.substr(0, close + 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (!after.starts_with(':')) {
        return problem;
      }
      port = after.substr(1);
    }
    if (!addressLiteral(host)) {
      return problem;
    }
  } else if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  const bool bracketed = host.starts_with('[');
  const bool nameLike = bracketed || (!host.empty() && host.front() != '.' && host.front() != '-' &&
                                      std::all_of(host.begin(), host.end(), [](char c) {
                                        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                                               c == '.' || c == '-';
                                      }));
  if (!nameLike) {
    return problem;
  }
  url.host = Text::lowercased(host);
  url.port = url.scheme == "https" ? 443 : 80;
  if (!port.empty() || rest.ends_with(':')) {
    unsigned value = 0;
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return problem;
    }
    value = static_cast<unsigned>(std::stoul(std::string(port)));
    if (value == 0 || value > 65535) {
      return problem;
    }
    url.port = static_cast<std::uint16_t>(value);
  }
  const bool ownPort = url.port == (url.scheme == "https" ? 443 : 80);
  url.authority = ownPort ? url.host : url.host + ":" + std::to_string(url.port);
  return url;
}

std::optional<std::string> publicUrlMismatch(const PublicUrl& url, const Listener& listener) {
  if (listener.port != 0 && url.port != listener.port) {
    return "public_url " + url.base() + " names port " + std::to_string(url.port) +
           ", but the page is served on port " + std::to_string(listener.port);
  }
  // The same port speaks one of the two: TLS alone once a certificate is given, else plain HTTP.
  if ((url.scheme == "https") != listener.tls.has_value()) {
    return "public_url " + url.base() +
           (listener.tls ? " is plain http, but the page is served over HTTPS alone"
                         : " is https, but the page is served without TLS (--tls-cert and "
                           "--tls-key give it)");
  }
  const auto literal = addressLiteral(url.host);
  if (!literal || isWildcard(listener.address)) {
    return std::nullopt;
  }
  const std::string served = listener.address == "localhost" ? "127.0.0.1" : listener.address;
  if (*literal == served || (isLoopback(*literal) && isLoopback(served))) {
    return std::nullopt;
  }
  return "public_url " + url.base() + " names " + *literal + ", but the page listens on " +
         listener.address + " only";
}

Verdict check(const Request& request, const Served& served, const Token& token) {
  if (!request.host || !served.acceptsHost(*request.host)) {
    return Verdict::misdirectedHost;
  }
  const bool reading = request.method == "GET" || request.method == "HEAD";
  // An answer address's secret is its authority, whichever page or program sends it (the push
  // service's own web app sends its Origin). Only a POST answers: the route tells any other
  // method (a link preview's GET) to use POST.
  if (request.answerAddress) {
    return Verdict::allowed;
  }
  // A browser names the page a request comes from; only this server's own page may change
  // anything. Programs that send no Origin are judged by their token alone.
  if (!reading && request.origin &&
      *request.origin != (request.secure ? "https://" : "http://") + std::string(*request.host)) {
    return Verdict::foreignOrigin;
  }
  if (request.pageFile) {
    return Verdict::allowed;
  }
  constexpr std::string_view bearer = "Bearer ";
  if (request.authorization && request.authorization->starts_with(bearer)) {
    return sameSecret(request.authorization->substr(bearer.size()), token.text)
               ? Verdict::allowed
               : Verdict::unauthorized;
  }
  return Verdict::unauthorized;
}

namespace {

// Reads a PEM file into `text`; what went wrong, naming the file, otherwise.
std::optional<std::string> readPem(const std::filesystem::path& file, std::string_view what,
                                   std::string& text) {
  constexpr std::uintmax_t maximumBytes = 1024 * 1024;  // a long chain is a few kilobytes
  std::error_code error;
  const auto status = std::filesystem::status(file, error);
  if (error || !std::filesystem::exists(status)) {
    return file.string() + ": there is no such file (the " + std::string(what) + ")";
  }
  if (!std::filesystem::is_regular_file(status)) {
    return file.string() + ": not a file (the " + std::string(what) + ")";
  }
  if (std::filesystem::file_size(file, error) > maximumBytes) {
    return file.string() + ": too large for the " + std::string(what) + " (over 1 MiB)";
  }
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream read;
  read << stream.rdbuf();
  if (!stream) {
    return file.string() + ": cannot be read (" + std::strerror(errno) + ")";
  }
  text = std::move(read).str();
  return std::nullopt;
}

gnutls_datum_t datum(const std::string& text) {
  // GnuTLS reads the data only; it takes no ownership.
  return gnutls_datum_t{.data = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                        .size = static_cast<unsigned>(text.size())};
}

}  // namespace

Result<TlsPair, std::string> loadTlsPair(const std::filesystem::path& certificate,
                                         const std::filesystem::path& key) {
  using Loaded = Result<TlsPair, std::string>;
  TlsPair pair;
  if (auto problem = readPem(certificate, "TLS certificate", pair.certificate)) {
    return Loaded(std::move(*problem));
  }
  if (auto problem = readPem(key, "TLS key", pair.key)) {
    return Loaded(std::move(*problem));
  }
  const gnutls_datum_t certificateData = datum(pair.certificate);
  const gnutls_datum_t keyData = datum(pair.key);
  {
    gnutls_x509_crt_t parsed = nullptr;
    gnutls_x509_crt_init(&parsed);
    const std::unique_ptr<gnutls_x509_crt_int, decltype(&gnutls_x509_crt_deinit)> held(
        parsed, &gnutls_x509_crt_deinit);
    if (gnutls_x509_crt_import(parsed, &certificateData, GNUTLS_X509_FMT_PEM) < 0) {
      return Loaded(certificate.string() +
                    ": not a certificate in PEM form (\"-----BEGIN CERTIFICATE-----\")");
    }
  }
  {
    gnutls_x509_privkey_t parsed = nullptr;
    gnutls_x509_privkey_init(&parsed);
    const std::unique_ptr<gnutls_x509_privkey_int, decltype(&gnutls_x509_privkey_deinit)> held(
        parsed, &gnutls_x509_privkey_deinit);
    const int status =
        gnutls_x509_privkey_import2(parsed, &keyData, GNUTLS_X509_FMT_PEM, nullptr, 0);
    if (status == GNUTLS_E_DECRYPTION_FAILED) {
      return Loaded(key.string() + ": the key is encrypted; the service needs it without a "
                                   "passphrase (readable by you alone)");
    }
    if (status < 0) {
      return Loaded(key.string() + ": not a private key in PEM form (\"-----BEGIN PRIVATE "
                                   "KEY-----\")");
    }
  }
  gnutls_certificate_credentials_t credentials = nullptr;
  if (gnutls_certificate_allocate_credentials(&credentials) < 0) {
    return Loaded(std::string("cannot check the TLS files: out of memory"));
  }
  const std::unique_ptr<gnutls_certificate_credentials_st,
                        decltype(&gnutls_certificate_free_credentials)>
      held(credentials, &gnutls_certificate_free_credentials);
  const int status = gnutls_certificate_set_x509_key_mem2(credentials, &certificateData, &keyData,
                                                          GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (status == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
    return Loaded(key.string() + ": not the key of the certificate in " + certificate.string());
  }
  if (status < 0) {
    return Loaded(certificate.string() + " and " + key.string() + ": " + gnutls_strerror(status));
  }
  return Loaded(std::move(pair));
}

}  // namespace tarvel::Display::WebAccess
