#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelDisplay/Api/EventStream.hpp"
#include "TarvelDisplay/Api/WebAccess.hpp"
#include "TarvelDisplay/Shared/AnswerCapabilities.hpp"
#include "TarvelDisplay/Shared/AnswerOutcome.hpp"
#include "TarvelDisplay/Shared/Answerers.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

// The local API: HTTP/1.1 with JSON bodies on a Unix socket (0600, so the file's permissions
// decide who may use it), served by libmicrohttpd with one thread per connection.
//   GET  /v1/health, /v1/state, /v1/status, /v1/sessions/{id}, /v1/events (text/event-stream;
//        with ?answerer=terminal or ?answerer=web the reader counts as a surface that answers
//        prompts for as long as its connection stays open)
//   POST /v1/prompts/{replyId} (?from=terminal|web names the surface that answers; else "api"),
//        /v1/sessions/clear-finished,
//        /v1/answer/{secret} (an answer address a phone's push carries: AnswerCapabilities.hpp;
//        over TCP it needs no token)
// Optionally the same routes over TCP too, plus the web page at "/", for whoever holds the token
// (WebAccess.hpp).
// Thread: start() and stop() from one thread; handlers and the hub are used from the server's
// connection threads, so both must outlive stop().
class ApiServer {
 public:
  struct Handlers {
    std::function<AnswerOutcome(const UUID&, const AgentReply&, std::string_view from)> answer;
    std::function<bool()> clearFinished;
    // Where streams that answer attach; absent: the query is accepted and nobody is counted.
    Answerers* answerers = nullptr;
    // The answer addresses handed out; absent: every one is not found.
    AnswerCapabilities* capabilities = nullptr;
  };

  static constexpr std::size_t maximumBodyBytes = 1 << 20;
  static constexpr unsigned maximumConnections = 64;
  // A stream sends a comment line after this long without a message (EventStream.hpp).
  static constexpr std::chrono::seconds keepAliveInterval = EventStream::keepAliveInterval;

  ApiServer(std::filesystem::path socketPath, Handlers handlers, const StateHub& hub,
            std::optional<WebAccess::Listener> http = std::nullopt);
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Creates the socket (refusing a path another process accepts on) and starts serving; the text
  // for the user on failure.
  [[nodiscard]] std::optional<std::string> start();
  // Ends every connection (streams end once the hub is closed or within their keep-alive wait)
  // and removes the socket file when it is still the one this server made.
  void stop();
  // The TCP address served (with the port chosen when 0 was asked for); absent when not serving
  // over TCP.
  std::optional<WebAccess::Served> served() const;

  struct Context;

 private:
  std::optional<std::string> startTcp();
  std::unique_ptr<Context> context;
};

}  // namespace tarvel::Display
