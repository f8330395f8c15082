#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Result.hpp"

// A client of the service's local API over its Unix socket, through libcurl.
namespace tarvel::Display::ApiClient {

struct Response {
  long status = 0;
  std::string body;
};

// One request; the reason when no HTTP answer came (no service, time-out).
Result<Response, std::string> request(const std::filesystem::path& socket, std::string_view method,
                                      std::string_view path, std::string_view body = {},
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The messages of the event stream, as they arrive: the event's name and its data.
using MessageHandler = std::function<void(std::string_view event, std::string_view data)>;

// Reads GET /v1/events until the connection ends, an error happens or `stop` becomes true
// (checked every 100 ms). Returns why it ended. With `answerer` ("terminal", "web") the reader
// counts as a surface that answers prompts while it reads.
std::string readEvents(const std::filesystem::path& socket, const MessageHandler& onMessage,
                       const std::atomic<bool>& stop, std::string_view answerer = {});

// Splits an event stream into messages; feed it bytes in any pieces. Comment lines are skipped.
class EventStreamParser {
 public:
  explicit EventStreamParser(MessageHandler onMessage) : onMessage(std::move(onMessage)) {}
  void feed(std::string_view bytes);

 private:
  void line(std::string_view text);
  MessageHandler onMessage;
  std::string buffer;
  std::string event;
  std::string data;
};

}  // namespace tarvel::Display::ApiClient
