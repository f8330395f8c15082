#include "TarvelDisplay/Client/ApiClient.hpp"

#include <curl/curl.h>
#include <fcntl.h>

#include <mutex>

namespace tarvel::Display::ApiClient {
namespace {

void initializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Easy {
  CURL* handle = curl_easy_init();
  curl_slist* headers = nullptr;
  Easy() = default;
  Easy(const Easy&) = delete;
  Easy& operator=(const Easy&) = delete;
  ~Easy() {
    curl_slist_free_all(headers);
    if (handle != nullptr) {
      curl_easy_cleanup(handle);
    }
  }
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* cls) {
  static_cast<std::string*>(cls)->append(data, size * count);
  return size * count;
}

void prepare(Easy& easy, const std::filesystem::path& socket, std::string_view path) {
  const std::string url = "http://localhost" + std::string(path);
  curl_easy_setopt(easy.handle, CURLOPT_UNIX_SOCKET_PATH, socket.c_str());
  curl_easy_setopt(easy.handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.handle, CURLOPT_PROXY, "");
  // The connection must not live on in programs this process starts: a display's stream would
  // then outlast the display, and the service would think someone could still answer.
  curl_easy_setopt(easy.handle, CURLOPT_SOCKOPTFUNCTION,
                   +[](void*, curl_socket_t descriptor, curlsocktype) -> int {
                     const int flags = ::fcntl(descriptor, F_GETFD);
                     if (flags >= 0) {
                       ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
                     }
                     return CURL_SOCKOPT_OK;
                   });
}

}  // namespace

Result<Response, std::string> request(const std::filesystem::path& socket, std::string_view method,
                                      std::string_view path, std::string_view body,
                                      std::chrono::milliseconds timeout) {
  initializeOnce();
  Easy easy;
  if (easy.handle == nullptr) {
    return std::string("cannot make an HTTP client");
  }
  prepare(easy, socket, path);
  Response response;
  const std::string methodText(method);
  const std::string bodyText(body);
  curl_easy_setopt(easy.handle, CURLOPT_CUSTOMREQUEST, methodText.c_str());
  if (method == "POST") {
    easy.headers = curl_slist_append(easy.headers, "Content-Type: application/json");
    curl_easy_setopt(easy.handle, CURLOPT_HTTPHEADER, easy.headers);
    curl_easy_setopt(easy.handle, CURLOPT_POSTFIELDS, bodyText.c_str());
    curl_easy_setopt(easy.handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(bodyText.size()));
  }
  curl_easy_setopt(easy.handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy.handle, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(easy.handle, CURLOPT_WRITEDATA, &response.body);
  const CURLcode code = curl_easy_perform(easy.handle);
  if (code != CURLE_OK) {
    return std::string(curl_easy_strerror(code));
  }
  curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

std::string readEvents(const std::filesystem::path& socket, const MessageHandler& onMessage,
                       const std::atomic<bool>& stop, std::string_view answerer) {
  initializeOnce();
  Easy easy;
  if (easy.handle == nullptr) {
    return "cannot make an HTTP client";
  }
  const std::string path =
      answerer.empty() ? "/v1/events" : "/v1/events?answerer=" + std::string(answerer);
  prepare(easy, socket, path);
  EventStreamParser parser(onMessage);
  struct Sink {
    EventStreamParser* parser;
    const std::atomic<bool>* stop;
  } sink{&parser, &stop};
  curl_easy_setopt(
      easy.handle, CURLOPT_WRITEFUNCTION,
      +[](char* data, std::size_t size, std::size_t count, void* cls) -> std::size_t {
        auto& target = *static_cast<Sink*>(cls);
        if (target.stop->load()) {
          return 0;  // ends the transfer
        }
        target.parser->feed(std::string_view(data, size * count));
        return size * count;
      });
  curl_easy_setopt(easy.handle, CURLOPT_WRITEDATA, &sink);
  // A stream is quiet for at most its keep-alive interval; 40 s of silence means it is gone.
  curl_easy_setopt(easy.handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy.handle, CURLOPT_LOW_SPEED_TIME, 40L);
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) {
    return "cannot make an HTTP client";
  }
  curl_multi_add_handle(multi, easy.handle);
  std::string reason = "the service ended the stream";
  int running = 1;
  while (running != 0 && !stop.load()) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      reason = "the HTTP client failed";
      break;
    }
    if (running != 0) {
      curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->data.result != CURLE_OK) {
      reason = curl_easy_strerror(message->data.result);
    }
  }
  curl_multi_remove_handle(multi, easy.handle);
  curl_multi_cleanup(multi);
  return stop.load() ? "stopped" : reason;
}

void EventStreamParser::feed(std::string_view bytes) {
  buffer.append(bytes);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = buffer.find('\n', start);
    if (end == std::string::npos) {
      break;
    }
    std::string_view text(buffer.data() + start, end - start);
    if (!text.empty() && text.back() == '\r') {
      text.remove_suffix(1);
    }
    line(text);
    start = end + 1;
  }
  buffer.erase(0, start);
}

void EventStreamParser::line(std::string_view text) {
  if (text.empty()) {
    if (!data.empty() || !event.empty()) {
      if (!data.empty() && data.back() == '\n') {
        data.pop_back();
      }
      onMessage(event.empty() ? std::string_view("message") : std::string_view(event), data);
    }
    event.clear();
    data.clear();
    return;
  }
  if (text.front() == ':') {
    return;
  }
  const std::size_t colon = text.find(':');
  const std::string_view field = text.substr(0, colon);
  std::string_view value =
      colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  if (!value.empty() && value.front() == ' ') {
    value.remove_prefix(1);
  }
  if (field == "event") {
    event = value;
  } else if (field == "data") {
    data.append(value);
    data += '\n';
  }
}

}  // namespace tarvel::Display::ApiClient
