#include "TarvelDisplay/Api/ApiServer.hpp"

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Api/ConnectionShares.hpp"
#include "TarvelDisplay/Api/EventStream.hpp"
#include "TarvelDisplay/Api/HeaderDeadlines.hpp"
#include "TarvelDisplay/Api/StalledReaders.hpp"
#include "TarvelDisplay/Api/WebNames.hpp"
#include "TarvelDisplay/Api/WebPageFiles.hpp"

namespace tarvel::Display {

struct ApiServer::Context {
  // What one daemon serves: the Unix socket, or TCP with the access rules.
  struct Door {
    Context* context = nullptr;
    bool overTcp = false;
    HeaderDeadlines* deadlines = nullptr;
    ConnectionShares* shares = nullptr;  // over TCP
  };
  std::filesystem::path socketPath;
  Handlers handlers;
  const StateHub& hub;
  std::optional<WebAccess::Listener> http;
  MHD_Daemon* daemon = nullptr;
  MHD_Daemon* httpDaemon = nullptr;
  std::optional<WebAccess::Served> served;
  std::optional<std::uint64_t> inode;
  Door unixDoor;  // set once the context has its final address
  Door tcpDoor;
  // One per door, so that each daemon's connections are ended before its daemon stops.
  std::unique_ptr<HeaderDeadlines> unixDeadlines;
  std::unique_ptr<HeaderDeadlines> tcpDeadlines;
  std::unique_ptr<ConnectionShares> tcpShares;
  // Every event stream, through either door.
  std::unique_ptr<StalledReaders> stalls;
};

namespace {

const Log::Logger& apiLog() {
  static const Log::Logger logger("api");
  return logger;
}

// One request's state across the handler's calls.
struct Request {
  std::string body;
  bool tooLarge = false;
};

// The page loads only its own script and style and talks only to this server; nothing may frame
// it, sniff a type or learn its address from a referrer.
constexpr const char* contentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

void decorate(MHD_Response* response, const char* type) {
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "Content-Security-Policy", contentSecurityPolicy);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
}

MHD_Result send(MHD_Connection* connection, unsigned status, std::string body,
                const char* type = "application/json", bool closing = false) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  decorate(response, type);
  if (closing) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  }
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result sendError(MHD_Connection* connection, unsigned status, std::string_view text) {
  return send(connection, status, Coding::encode(Json{{"error", text}}));
}

// A refusal of a client without the right to ask: answered, and the connection closed, so that
// it holds no room the token's holder may need.
MHD_Result sendRefusal(MHD_Connection* connection, unsigned status, std::string_view text) {
  return send(connection, status, Coding::encode(Json{{"error", text}}), "application/json", true);
}

// The whole state without copying it: the response keeps the published revision alive.
MHD_Result sendState(MHD_Connection* connection, std::shared_ptr<const PublishedState> state) {
  if (!state) {
    return sendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the service is starting");
  }
  auto* holder = new std::shared_ptr<const PublishedState>(
      std::move(state));  // NOLINT(cppcoreguidelines-owning-memory): freed by the response
  const std::string& text = (*holder)->whole();
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      text.size(), const_cast<char*>(text.data()),
      [](void* cls) {
        delete static_cast<std::shared_ptr<const PublishedState>*>(cls);
      },  // NOLINT(cppcoreguidelines-owning-memory)
      holder);
  if (response == nullptr) {
    delete holder;  // NOLINT(cppcoreguidelines-owning-memory)
    return MHD_NO;
  }
  decorate(response, "application/json");
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result sendStream(MHD_Connection* connection, const StateHub& hub, Answerers* answerers,
                      StalledReaders& stalls) {
  std::optional<Answerers::Kind> kind;
  if (const char* word =
          MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "answerer")) {
    kind = Answerers::kindNamed(word);
    if (!kind || (*kind != Answerers::Kind::terminal && *kind != Answerers::Kind::web)) {
      return sendError(connection, MHD_HTTP_BAD_REQUEST, "answerer is \"terminal\" or \"web\"");
    }
  }
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  auto stream =
      std::make_unique<EventStream>(hub, info != nullptr ? info->connect_fd : -1, answerers, kind);
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 64 * 1024, &EventStream::read, stream.get(), [](void* cls) {
        delete static_cast<EventStream*>(cls);
      });  // NOLINT(cppcoreguidelines-owning-memory)
  if (response == nullptr) {
    return MHD_NO;
  }
  stream.release();  // owned by the response now
  if (info != nullptr) {
    stalls.watch(connection, info->connect_fd);
  }
  decorate(response, "text/event-stream");
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

constexpr std::string_view answerPrefix = "/v1/answer/";

// An answer address: its secret gives the one answer it stands for, from the phone. Any page may
// send it (the push service's web app does), so the answer is readable by any origin; it says
// nothing but whether the answer was given.
MHD_Result answerByAddress(ApiServer::Context& context, MHD_Connection* connection,
                           std::string_view secret, bool post) {
  AnswerOutcome outcome{
      .status = MHD_HTTP_METHOD_NOT_ALLOWED,
      .body = Coding::encode(Json{{"error", "use POST: this address gives one answer to a prompt"}})};
  if (post && context.handlers.capabilities != nullptr) {
    outcome = context.handlers.capabilities->redeem(secret, context.handlers.answer, "phone");
  } else if (post) {
    outcome = {.status = MHD_HTTP_NOT_FOUND,
               .body = Coding::encode(Json{{"error", "no answer has this address"}})};
  }
  MHD_Response* response = MHD_create_response_from_buffer(
      outcome.body.size(), outcome.body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  decorate(response, "application/json");
  MHD_add_response_header(response, "Access-Control-Allow-Origin", "*");
  if (!post) {
    MHD_add_response_header(response, "Allow", "POST");
  }
  const MHD_Result result =
      MHD_queue_response(connection, static_cast<unsigned>(outcome.status), response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result route(ApiServer::Context& context, MHD_Connection* connection, std::string_view url,
                 std::string_view method, const std::string& body) {
  const bool get = method == "GET" || method == "HEAD";
  const bool post = method == "POST";
  if (url == "/v1/health") {
    if (!get) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use GET");
    }
    Json health{{"ok", true}, {"version", std::string(version)}};
    if (context.served) {
      health["web"] = context.served->origin() + "/";
      // The address other devices use (public_url), when it is set.
      if (context.http->publicUrl) {
        health["publicWeb"] = context.http->publicUrl->base() + "/";
      }
    }
    return send(connection, MHD_HTTP_OK, Coding::encode(health));
  }
  if (url == "/v1/state") {
    if (!get) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use GET");
    }
    return sendState(connection, context.hub.latest());
  }
  if (url == "/v1/status") {
    if (!get) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use GET");
    }
    const auto state = context.hub.latest();
    return send(connection, MHD_HTTP_OK,
                Coding::encode(encodeStatus(state ? state->counts : StatusCounts{})));
  }
  if (url == "/v1/events") {
    if (!get) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use GET");
    }
    return sendStream(connection, context.hub, context.handlers.answerers, *context.stalls);
  }
  if (url == "/v1/sessions/clear-finished") {
    if (!post) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use POST");
    }
    if (!context.handlers.clearFinished()) {
      return sendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the service did not answer");
    }
    return send(connection, MHD_HTTP_OK, "{\"cleared\":true}");
  }
  constexpr std::string_view sessionsPrefix = "/v1/sessions/";
  if (url.starts_with(sessionsPrefix)) {
    if (!get) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use GET");
    }
    const auto state = context.hub.latest();
    if (!state) {
      return sendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the service is starting");
    }
    auto text = encodeSessionDetail(*state, url.substr(sessionsPrefix.size()));
    if (!text) {
      return sendError(connection, MHD_HTTP_NOT_FOUND, "no session with this id");
    }
    return send(connection, MHD_HTTP_OK, std::move(*text));
  }
  if (url.starts_with(answerPrefix)) {
    return answerByAddress(context, connection, url.substr(answerPrefix.size()), post);
  }
  constexpr std::string_view promptsPrefix = "/v1/prompts/";
  if (url.starts_with(promptsPrefix)) {
    if (!post) {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use POST");
    }
    const auto replyId = UUID::parse(url.substr(promptsPrefix.size()));
    if (!replyId) {
      return sendError(connection, MHD_HTTP_NOT_FOUND, "no prompt with this replyId");
    }
    auto parsed = Coding::parse(body);
    if (!parsed || !parsed->is_object()) {
      return sendError(connection, MHD_HTTP_BAD_REQUEST, "the body is not a JSON object");
    }
    Json& value = *parsed;
    if (const auto given = value.find("replyId"); given != value.end()) {
      const auto givenId =
          given->is_string() ? UUID::parse(given->get<std::string>()) : std::nullopt;
      if (!givenId || *givenId != *replyId) {
        return sendError(connection, MHD_HTTP_BAD_REQUEST,
                         "the body's replyId is not the one in the path");
      }
    } else {
      value["replyId"] = replyId->uuidString();
    }
    auto reply = decodeJSON<AgentReply>(value);
    if (!reply) {
      return sendError(connection, MHD_HTTP_BAD_REQUEST,
                       "the body is not an answer: " + reply.error().description);
    }
    const char* from = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "from");
    const std::string_view source = from == nullptr ? "api" : std::string_view(from);
    if (source != "api" && source != "terminal" && source != "web") {
      return sendError(connection, MHD_HTTP_BAD_REQUEST, "from is \"terminal\" or \"web\"");
    }
    const AnswerOutcome outcome = context.handlers.answer(*replyId, *reply, source);
    return send(connection, static_cast<unsigned>(outcome.status), outcome.body);
  }
  return sendError(connection, MHD_HTTP_NOT_FOUND, "no such path");
}

std::optional<std::string_view> header(MHD_Connection* connection, MHD_ValueKind kind,
                                       const char* name) {
  const char* value = MHD_lookup_connection_value(connection, kind, name);
  return value == nullptr ? std::nullopt : std::optional<std::string_view>(value);
}

// The page's own files; absent for any other path.
std::optional<std::pair<std::string_view, const char*>> pageFile(std::string_view url) {
  if (url == "/") {
    return std::pair{WebPageFiles::indexHtml, "text/html; charset=utf-8"};
  }
  if (url == "/app.js") {
    return std::pair{WebPageFiles::appJs, "text/javascript; charset=utf-8"};
  }
  if (url == "/app.css") {
    return std::pair{WebPageFiles::appCss, "text/css; charset=utf-8"};
  }
  if (url == "/names.js") {
    return std::pair{WebNames::script(), "text/javascript; charset=utf-8"};
  }
  // What a phone needs to keep the page on its home screen.
  if (url == "/manifest.webmanifest") {
    return std::pair{WebPageFiles::manifest, "application/manifest+json"};
  }
  if (url == "/icon-192.png") {
    return std::pair{WebPageFiles::icon192, "image/png"};
  }
  if (url == "/icon-512.png") {
    return std::pair{WebPageFiles::icon512, "image/png"};
  }
  return std::nullopt;
}

// A request over TCP: the access rules first, then the page or the API.
MHD_Result routeTcp(ApiServer::Context& context, MHD_Connection* connection, std::string_view url,
                    std::string_view method, const std::string& body) {
  const WebAccess::Served& served = *context.served;
  const auto file = pageFile(url);
  const WebAccess::Request request{
      .secure = served.secure,
      .method = method,
      .path = url,
      .host = header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST),
      .origin = header(connection, MHD_HEADER_KIND, "Origin"),
      .authorization = header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION),
      .pageFile = file.has_value(),
      .answerAddress = url.starts_with(answerPrefix)};
  switch (WebAccess::check(request, served, context.http->token)) {
    case WebAccess::Verdict::misdirectedHost:
      return sendRefusal(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                         "this server does not serve that host name");
    case WebAccess::Verdict::foreignOrigin:
      return sendRefusal(connection, MHD_HTTP_FORBIDDEN, "requests from other pages are refused");
    case WebAccess::Verdict::unauthorized:
      return sendRefusal(connection, MHD_HTTP_UNAUTHORIZED,
                       "a valid token is needed: open the address `tarvel web` prints");
    case WebAccess::Verdict::allowed:
      break;
  }
  if (file) {
    if (method != "GET" && method != "HEAD") {
      return sendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "use GET");
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        file->first.size(), const_cast<char*>(file->first.data()), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) {
      return MHD_NO;
    }
    decorate(response, file->second);
    // A browser that still holds the token in an earlier version's cookie sends it to every port
    // of this host: it is told to forget it.
    const std::string stale = served.staleCookieName();
    if (header(connection, MHD_COOKIE_KIND, stale.c_str())) {
      const std::string expired = stale + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
      MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE, expired.c_str());
    }
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
  }
  return route(context, connection, url, method, body);
}

// How many Content-Length headers the request carries.
unsigned contentLengthHeaders(MHD_Connection* connection) {
  unsigned count = 0;
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* counter, MHD_ValueKind, const char* key, const char*) {
        if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
          ++*static_cast<unsigned*>(counter);
        }
        return MHD_YES;
      },
      &count);
  return count;
}

MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* uploadData, std::size_t* uploadDataSize,
                  void** requestContext) {
  const auto& door = *static_cast<ApiServer::Context::Door*>(cls);
  auto& context = *door.context;
  if (*requestContext == nullptr) {
    door.deadlines->forget(connection);  // its headers are in
    if (!door.overTcp) {
      // The socket file's mode keeps others out only while the directory stays ours; the peer's
      // credentials say for certain who asks.
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info == nullptr || !UnixSocketSupport::isPeerThisUser(info->connect_fd)) {
        return sendError(connection, MHD_HTTP_FORBIDDEN,
                         "this service answers only the user it runs as");
      }
    }
    // Two lengths leave it to each reader which one ends the body, so a proxy in front and this
    // server could cut the stream differently: such a request is refused whole.
    if (contentLengthHeaders(connection) > 1) {
      return sendError(connection, MHD_HTTP_BAD_REQUEST, "a request has one Content-Length");
    }
    auto request = std::make_unique<Request>();
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && std::strtoull(length, nullptr, 10) > ApiServer::maximumBodyBytes) {
      request->tooLarge = true;
    }
    *requestContext = request.release();
    return MHD_YES;
  }
  auto& request = *static_cast<Request*>(*requestContext);
  if (*uploadDataSize != 0) {
    if (!request.tooLarge && request.body.size() + *uploadDataSize <= ApiServer::maximumBodyBytes) {
      request.body.append(uploadData, *uploadDataSize);
    } else {
      request.tooLarge = true;
      request.body.clear();
    }
    *uploadDataSize = 0;
    return MHD_YES;
  }
  if (request.tooLarge) {
    return sendError(connection, MHD_HTTP_CONTENT_TOO_LARGE, "the body is larger than 1 MiB");
  }
  try {
    return door.overTcp ? routeTcp(context, connection, url, method, request.body)
                        : route(context, connection, url, method, request.body);
  } catch (const std::exception& error) {
    apiLog().error("Request failed: %s", {Log::value(error.what())});
    return sendError(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "internal error");
  }
}

void completed(void* cls, MHD_Connection* connection, void** requestContext,
               MHD_RequestTerminationCode) {
  delete static_cast<Request*>(*requestContext);  // NOLINT(cppcoreguidelines-owning-memory)
  *requestContext = nullptr;
  // A connection kept alive waits for its next request's headers, under the same deadline.
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) {
    static_cast<ApiServer::Context::Door*>(cls)->deadlines->await(connection, info->connect_fd);
  }
}

// Connections begin waiting for headers when accepted and stop when closed (before MHD closes
// their descriptor).
void connectionChanged(void* cls, MHD_Connection* connection, void**,
                       MHD_ConnectionNotificationCode code) {
  const auto& door = *static_cast<ApiServer::Context::Door*>(cls);
  HeaderDeadlines& deadlines = *door.deadlines;
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    deadlines.forget(connection);
    door.context->stalls->forget(connection);
    if (door.shares != nullptr) {
      door.shares->closed(connection);
    }
    return;
  }
  if (door.shares != nullptr) {
    if (const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        peer != nullptr && peer->client_addr != nullptr) {
      door.shares->opened(connection, peer->client_addr);
    }
  }
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) {
    deadlines.await(connection, info->connect_fd);
  }
}

// Browsers keep idle connections open, each holding a thread: over TCP they are closed after this
// long without traffic (a stream sends at least a keep-alive line well within it).
constexpr unsigned idleTcpSeconds = 60;
// The same on the Unix socket, where clients are programs of this user.
constexpr unsigned idleUnixSeconds = 30;
// Time for a request's headers, however they trickle in.
constexpr std::chrono::seconds headerDeadline{10};
// Connections over TCP from one address of another machine, and from one other user of this
// machine; the service's own user is bound only by the total.
constexpr unsigned connectionsPerAddress = 32;
constexpr unsigned connectionsPerOtherUser = 8;

// Accepts a TCP connection while its peer's share has room.
MHD_Result admit(void* cls, const sockaddr* peer, socklen_t) {
  return static_cast<ConnectionShares*>(cls)->admits(peer) ? MHD_YES : MHD_NO;
}

// A listening TCP socket at `address`:`port`, and the port it got.
Result<std::pair<UniqueFd, std::uint16_t>, std::string> listenTcp(const std::string& address,
                                                                  std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int problem = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
      problem != 0) {
    return "Cannot use the address " + address + ": " + ::gai_strerror(problem);
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  std::string failure = "Cannot listen at " + address + ":" + service;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
    if (!fd) {
      continue;
    }
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (entry->ai_family == AF_INET6) {
      ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    }
    if (::bind(fd.get(), entry->ai_addr, entry->ai_addrlen) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
      failure += std::string(": ") + std::strerror(errno);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    const std::uint16_t chosen = bound.ss_family == AF_INET6
                                     ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return std::pair{std::move(fd), chosen};
  }
  return failure;
}

}  // namespace

ApiServer::ApiServer(std::filesystem::path socketPath, Handlers handlers, const StateHub& hub,
                     std::optional<WebAccess::Listener> http)
    : context(std::make_unique<Context>(Context{.socketPath = std::move(socketPath),
                                                .handlers = std::move(handlers),
                                                .hub = hub,
                                                .http = std::move(http)})) {
  context->unixDeadlines = std::make_unique<HeaderDeadlines>(headerDeadline);
  context->tcpDeadlines = std::make_unique<HeaderDeadlines>(headerDeadline);
  context->unixDoor = {
      .context = context.get(), .overTcp = false, .deadlines = context->unixDeadlines.get()};
  context->stalls = std::make_unique<StalledReaders>(EventStream::stallLimit);
  context->tcpShares =
      std::make_unique<ConnectionShares>(connectionsPerAddress, connectionsPerOtherUser);
  context->tcpDoor = {.context = context.get(),
                      .overTcp = true,
                      .deadlines = context->tcpDeadlines.get(),
                      .shares = context->tcpShares.get()};
}

std::optional<WebAccess::Served> ApiServer::served() const { return context->served; }

ApiServer::~ApiServer() { stop(); }

std::optional<std::string> ApiServer::start() {
  if (context->daemon != nullptr) {
    return std::nullopt;
  }
  auto listener = UnixSocketSupport::bindListener(context->socketPath, false);
  if (!listener) {
    return listener.error().kind == AgentSocketError::Kind::alreadyInUse
               ? listener.error().description() + " (" + context->socketPath.string() + ")"
               : "Cannot listen at " + context->socketPath.string() + ": " +
                     listener.error().description();
  }
  const int descriptor = listener->descriptor.get();
  if (!context->unixDeadlines->start() || !context->stalls->start()) {
    return "Cannot serve the API at " + context->socketPath.string();
  }
  context->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC | MHD_USE_POLL,
      0, nullptr, nullptr, &handle, &context->unixDoor, MHD_OPTION_LISTEN_SOCKET, descriptor,
      MHD_OPTION_CONNECTION_LIMIT, maximumConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      idleUnixSeconds, MHD_OPTION_NOTIFY_COMPLETED, &completed, &context->unixDoor,
      MHD_OPTION_NOTIFY_CONNECTION, &connectionChanged, &context->unixDoor, MHD_OPTION_END);
  if (context->daemon == nullptr) {
    context->unixDeadlines->stop();
    listener->descriptor.reset();
    ::unlink(context->socketPath.c_str());
    return "Cannot serve the API at " + context->socketPath.string();
  }
  static_cast<void>(listener->descriptor.release());  // the daemon closes it when it stops
  context->inode = listener->inode;
  if (context->http) {
    if (auto problem = startTcp()) {
      stop();
      return problem;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ApiServer::startTcp() {
  auto listener = listenTcp(context->http->address, context->http->port);
  if (!listener) {
    return listener.error();
  }
  auto& [fd, port] = *listener;
  if (!context->tcpDeadlines->start()) {
    return "Cannot serve over TCP at " + context->http->address;
  }
  // With a certificate the port speaks TLS alone: a plain HTTP request gets no answer there.
  const auto& tls = context->http->tls;
  if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    context->tcpDeadlines->stop();
    return std::string("This libmicrohttpd is built without TLS: serve without tls_cert and "
                       "tls_key, or reach the page through an SSH tunnel");
  }
  std::vector<MHD_OptionItem> tlsOptions;
  if (tls) {
    tlsOptions.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tls->certificate.c_str())});
    tlsOptions.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tls->key.c_str())});
  }
  tlsOptions.push_back({MHD_OPTION_END, 0, nullptr});
  context->httpDaemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC | MHD_USE_POLL |
          (tls ? MHD_USE_TLS : 0),
      0, &admit, context->tcpShares.get(), &handle, &context->tcpDoor, MHD_OPTION_LISTEN_SOCKET,
      fd.get(), MHD_OPTION_CONNECTION_LIMIT, maximumConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      idleTcpSeconds,
      MHD_OPTION_NOTIFY_COMPLETED, &completed, &context->tcpDoor, MHD_OPTION_NOTIFY_CONNECTION,
      &connectionChanged, &context->tcpDoor, MHD_OPTION_ARRAY, tlsOptions.data(), MHD_OPTION_END);
  if (context->httpDaemon == nullptr) {
    context->tcpDeadlines->stop();
    return "Cannot serve over TCP at " + context->http->address;
  }
  static_cast<void>(fd.release());  // the daemon closes it when it stops
  context->served = WebAccess::Served{
      .address = context->http->address,
      .port = port,
      .secure = tls.has_value(),
      .publicAuthority = context->http->publicUrl
                             ? std::optional<std::string>(context->http->publicUrl->authority)
                             : std::nullopt};
  return std::nullopt;
}

void ApiServer::stop() {
  if (context->httpDaemon != nullptr) {
    MHD_stop_daemon(context->httpDaemon);
    context->httpDaemon = nullptr;
    context->tcpDeadlines->stop();
    context->served.reset();
  }
  if (context->daemon == nullptr) {
    return;
  }
  MHD_stop_daemon(context->daemon);
  context->daemon = nullptr;
  context->unixDeadlines->stop();
  context->stalls->stop();
  struct stat status {};
  if (context->inode && ::lstat(context->socketPath.c_str(), &status) == 0 &&
      S_ISSOCK(status.st_mode) && status.st_ino == *context->inode) {
    ::unlink(context->socketPath.c_str());
  }
  context->inode.reset();
}

}  // namespace tarvel::Display
