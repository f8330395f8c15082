#include "TarvelDisplay/ApiServer.hpp"

#include <microhttpd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelCore/Protocol/UnixSocketSupport.hpp"
#include "TarvelDisplay/DisplayService.hpp"

namespace tarvel::Display {

struct ApiServer::Context {
  std::filesystem::path socketPath;
  Handlers handlers;
  const StateHub& hub;
  MHD_Daemon* daemon = nullptr;
  std::optional<std::uint64_t> inode;
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

MHD_Result send(MHD_Connection* connection, unsigned status, std::string body,
                const char* type = "application/json") {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result sendError(MHD_Connection* connection, unsigned status, std::string_view text) {
  return send(connection, status, Coding::encode(Json{{"error", text}}));
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
  MHD_add_response_header(response, "Content-Type", "application/json");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

// The event stream of one connection. Messages are made only when the connection can take
// more, from the newest state: a slow reader never makes anything queue up for it.
struct Stream {
  const StateHub& hub;
  std::uint64_t revision = 0;  // the last revision sent; 0 before the first message
  std::string pending;
  std::size_t offset = 0;

  void wholeState(const std::shared_ptr<const PublishedState>& state) {
    pending = "event: state\nid: " + std::to_string(state->revision) + "\ndata: ";
    pending += state->whole();
    pending += "\n\n";
    revision = state->revision;
  }

  // Fills `pending` with what to send next; false at the end of the stream.
  bool next() {
    pending.clear();
    offset = 0;
    while (pending.empty()) {
      if (hub.isClosed()) {
        return false;
      }
      if (revision == 0) {
        const auto state = hub.waitForNewer(0, std::chrono::seconds(1));
        if (state) {
          wholeState(state);
        }
        continue;
      }
      const auto changes = hub.since(revision);
      if (!changes) {
        // Too far behind for the changes kept: start again from the whole state.
        wholeState(hub.latest());
        continue;
      }
      for (const StateHub::Change& change : *changes) {
        pending += "event: change\nid: " + std::to_string(change.revision) + "\ndata: ";
        pending += *change.data;
        pending += "\n\n";
        revision = change.revision;
      }
      if (!pending.empty()) {
        break;
      }
      const auto state = hub.waitForNewer(revision, ApiServer::keepAliveInterval);
      if (!hub.isClosed() && (!state || state->revision <= revision)) {
        pending = ": keep-alive\n\n";
      }
    }
    return true;
  }

  static ssize_t read(void* cls, std::uint64_t, char* buffer, std::size_t maximum) {
    auto& stream = *static_cast<Stream*>(cls);
    if (stream.offset >= stream.pending.size() && !stream.next()) {
      return MHD_CONTENT_READER_END_OF_STREAM;
    }
    const std::size_t count = std::min(maximum, stream.pending.size() - stream.offset);
    std::memcpy(buffer, stream.pending.data() + stream.offset, count);
    stream.offset += count;
    return static_cast<ssize_t>(count);
  }
};

MHD_Result sendStream(MHD_Connection* connection, const StateHub& hub) {
  auto stream = std::make_unique<Stream>(Stream{.hub = hub});
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 64 * 1024, &Stream::read, stream.get(), [](void* cls) {
        delete static_cast<Stream*>(cls);
      });  // NOLINT(cppcoreguidelines-owning-memory)
  if (response == nullptr) {
    return MHD_NO;
  }
  stream.release();  // owned by the response now
  MHD_add_response_header(response, "Content-Type", "text/event-stream");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
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
    return send(connection, MHD_HTTP_OK,
                Coding::encode(Json{{"ok", true}, {"version", std::string(version)}}));
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
    return sendStream(connection, context.hub);
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
    const AnswerOutcome outcome = context.handlers.answer(*replyId, *reply);
    return send(connection, static_cast<unsigned>(outcome.status), outcome.body);
  }
  return sendError(connection, MHD_HTTP_NOT_FOUND, "no such path");
}

MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* uploadData, std::size_t* uploadDataSize,
                  void** requestContext) {
  auto& context = *static_cast<ApiServer::Context*>(cls);
  if (*requestContext == nullptr) {
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
    return route(context, connection, url, method, request.body);
  } catch (const std::exception& error) {
    apiLog().error("Request failed: %s", {Log::value(error.what())});
    return sendError(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "internal error");
  }
}

void completed(void*, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode) {
  delete static_cast<Request*>(*requestContext);  // NOLINT(cppcoreguidelines-owning-memory)
  *requestContext = nullptr;
}

}  // namespace

ApiServer::ApiServer(std::filesystem::path socketPath, Handlers handlers, const StateHub& hub)
    : context(std::make_unique<Context>(Context{
          .socketPath = std::move(socketPath), .handlers = std::move(handlers), .hub = hub})) {}

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
  context->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC | MHD_USE_POLL,
      0, nullptr, nullptr, &handle, context.get(), MHD_OPTION_LISTEN_SOCKET, descriptor,
      MHD_OPTION_CONNECTION_LIMIT, maximumConnections, MHD_OPTION_NOTIFY_COMPLETED, &completed,
      nullptr, MHD_OPTION_END);
  if (context->daemon == nullptr) {
    listener->descriptor.reset();
    ::unlink(context->socketPath.c_str());
    return "Cannot serve the API at " + context->socketPath.string();
  }
  static_cast<void>(listener->descriptor.release());  // the daemon closes it when it stops
  context->inode = listener->inode;
  return std::nullopt;
}

void ApiServer::stop() {
  if (context->daemon == nullptr) {
    return;
  }
  MHD_stop_daemon(context->daemon);
  context->daemon = nullptr;
  struct stat status {};
  if (context->inode && ::lstat(context->socketPath.c_str(), &status) == 0 &&
      S_ISSOCK(status.st_mode) && status.st_ino == *context->inode) {
    ::unlink(context->socketPath.c_str());
  }
  context->inode.reset();
}

}  // namespace tarvel::Display
