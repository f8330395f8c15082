#include "TarvelDisplay/Notifications/NtfyChannel.hpp"

#include <curl/curl.h>
#include <fcntl.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelDisplay/Notifications/FinishedSessions.hpp"

namespace tarvel::Display {
namespace {

const Log::Logger& ntfyLog() {
  static const Log::Logger logger("ntfy");
  return logger;
}

// How long the thread waits for a revision before it looks at its own deadlines again.
constexpr std::chrono::milliseconds publishFollowInterval{1000};
// After a failure the server is looked at again after this long, doubling up to the longest.
constexpr std::chrono::seconds firstRetry{2};
constexpr std::chrono::seconds longestRetry{60};
// Live prompts already handled are forgotten once they leave the list; at most this many kept.
constexpr std::size_t maximumSeen = 4096;

using SteadyClock = std::chrono::steady_clock;

// One HTTP client for the thread's whole life, so that messages reuse the server's connection.
class Client {
 public:
  Client() : handle(curl_easy_init()) {}
  ~Client() {
    if (handle != nullptr) {
      curl_easy_cleanup(handle);
    }
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // What a request came to: the HTTP status, or the reason there was none.
  struct Outcome {
    long status = 0;
    std::string problem;
  };

  // `method` "GET" or "POST" (with `body` as JSON); gives up after `timeout`, or as soon as
  // `stopping` is set.
  Outcome request(const std::string& method, const std::string& url, const std::string& body,
                  const std::optional<std::string>& token, std::chrono::milliseconds timeout,
                  const std::atomic<bool>& stopping) {
    if (handle == nullptr) {
      return {.problem = "cannot make an HTTP client"};
    }
    curl_easy_reset(handle);
    curl_slist* headers = nullptr;
    std::string authorization;
    if (token) {
      authorization = "Authorization: Bearer " + *token;
      headers = curl_slist_append(headers, authorization.c_str());
    }
    if (method == "POST") {
      headers = curl_slist_append(headers, "Content-Type: application/json");
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    } else {
      curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    const std::string agent = "Tarvel/" + std::string(version);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION,
                     +[](char*, std::size_t size, std::size_t count, void*) -> std::size_t {
                       return size * count;  // the server's answer says nothing we need
                     });
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stopping);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION,
                     +[](void* cls, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                       return static_cast<const std::atomic<bool>*>(cls)->load() ? 1 : 0;
                     });
    // Programs the service starts (a notify command) must not inherit the connection.
    curl_easy_setopt(handle, CURLOPT_SOCKOPTFUNCTION,
                     +[](void*, curl_socket_t descriptor, curlsocktype) -> int {
                       const int flags = ::fcntl(descriptor, F_GETFD);
                       if (flags >= 0) {
                         ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
                       }
                       return CURL_SOCKOPT_OK;
                     });
    const CURLcode code = curl_easy_perform(handle);
    curl_slist_free_all(headers);
    Outcome outcome;
    if (code != CURLE_OK) {
      outcome.problem = code == CURLE_OPERATION_TIMEDOUT
                            ? "no answer within " + std::to_string(timeout.count()) + " ms"
                            : curl_easy_strerror(code);
      return outcome;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.status);
    return outcome;
  }

 private:
  CURL* handle = nullptr;
};

}  // namespace

NtfyChannel::NtfyChannel(const StateHub& hub, NtfyOptions options, Answerers& answerers,
                         AnswerCapabilities& capabilities)
    : hub(hub), options(std::move(options)), answerers(answerers), capabilities(capabilities) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

NtfyChannel::~NtfyChannel() { stop(); }

void NtfyChannel::start() {
  if (!thread.joinable()) {
    thread = LabeledThread("com.tarvel.ntfy", [this] { run(); });
  }
}

void NtfyChannel::stop() {
  stopping = true;
  thread.join();
}

void NtfyChannel::run() {
  Client client;
  const NtfyMessage::Settings settings{
      .topic = options.topic, .detail = options.detail, .publicBase = options.publicBase};
  std::optional<FinishedSessions> finished;
  if (options.finishedAfter) {
    finished.emplace(*options.finishedAfter);
  }
  std::optional<std::uint64_t> attachment;
  const auto setAttached = [&](bool attached) {
    if (attached && !attachment) {
      attachment = answerers.attach(Answerers::Kind::phone);
    } else if (!attached && attachment) {
      answerers.detach(*std::exchange(attachment, std::nullopt));
    }
  };
  // An outage lasts from a failed message to the next one taken; it is logged once.
  bool outage = false;
  std::chrono::seconds retry = firstRetry;
  std::optional<SteadyClock::time_point> nextLook = SteadyClock::now();
  const auto publish = [&](const Json& document) {
    const auto outcome =
        client.request("POST", options.topic.root, document.dump(), options.token,
                       options.timeout, stopping);
    if (stopping) {
      return;
    }
    const bool taken = outcome.problem.empty() && outcome.status >= 200 && outcome.status < 300;
    if (taken) {
      if (outage) {
        ntfyLog().info("Messages reach %s again", {Log::value(options.topic.root)});
      }
      outage = false;
      retry = firstRetry;
      nextLook.reset();
      setAttached(true);
      return;
    }
    if (!outage) {
      outage = true;
      const std::string reason = outcome.problem.empty()
                                     ? "HTTP status " + std::to_string(outcome.status)
                                     : outcome.problem;
      ntfyLog().error(
          "A message to %s failed (%s): prompts wait for the phone again once a message is "
          "taken; said once until then",
          {Log::value(options.topic.root), Log::value(reason)});
    }
    setAttached(false);
    if (!nextLook) {
      nextLook = SteadyClock::now() + retry;
      retry = std::min(retry * 2, longestRetry);
    }
  };
  // Whether the server answers at all; any HTTP answer short of a server error will do.
  const auto look = [&] {
    const auto outcome = client.request("GET", options.topic.root + "v1/health", {}, std::nullopt,
                                        options.timeout, stopping);
    if (outcome.problem.empty() && outcome.status > 0 && outcome.status < 500) {
      nextLook.reset();
      setAttached(true);
      return;
    }
    if (!outage && !attachment && retry == firstRetry) {
      ntfyLog().error("The ntfy server at %s does not answer (%s): asking again",
                      {Log::value(options.topic.root),
                       Log::value(outcome.problem.empty()
                                      ? "HTTP status " + std::to_string(outcome.status)
                                      : outcome.problem)});
      outage = true;
    }
    nextLook = SteadyClock::now() + retry;
    retry = std::min(retry * 2, longestRetry);
  };

  std::set<UUID> seen;
  std::uint64_t revision = 0;
  while (!stopping) {
    if (nextLook && SteadyClock::now() >= *nextLook) {
      look();
    }
    auto wait = publishFollowInterval;
    if (nextLook) {
      wait =
          std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*nextLook - SteadyClock::now()),
                     std::chrono::milliseconds(1), publishFollowInterval);
    }
    const auto state = hub.waitForNewer(revision, wait);
    if (hub.isClosed() && (!state || state->revision == revision)) {
      break;
    }
    if (!state || state->revision == revision) {
      continue;
    }
    revision = state->revision;
    std::set<UUID> live;
    for (const LivePrompt& prompt : state->prompts) {
      live.insert(prompt.replyId);
      if (stopping || !seen.insert(prompt.replyId).second) {
        continue;
      }
      NtfyMessage::AnswerLinks links;
      if (options.answers && options.publicBase) {
        const auto offer = NtfyMessage::answersFor(prompt, options.detail);
        const auto address = [&](AgentReplyDecision decision) -> std::optional<std::string> {
          const auto secret = capabilities.issue(prompt.replyId, decision);
          return secret ? std::optional(*options.publicBase + "/v1/answer/" + *secret)
                        : std::nullopt;
        };
        if (offer.allow) {
          links.allow = address(AgentReplyDecision::allow);
        }
        if (offer.deny) {
          links.deny = address(AgentReplyDecision::deny);
        }
      }
      // Held for the phone alone, an agent without a dialog of its own is let go after a while.
      std::optional<std::chrono::seconds> heldFor;
      if (!AgentCatalogue::showsDialogWhileHookWaits(prompt.provider) &&
          answerers.count() == answerers.count(Answerers::Kind::phone)) {
        heldFor = options.phoneHold;
      }
      publish(NtfyMessage::forPrompt(prompt, settings, links, heldFor));
    }
    std::erase_if(seen, [&](const UUID& id) { return live.count(id) == 0; });
    while (seen.size() > maximumSeen) {
      seen.erase(seen.begin());
    }
    if (finished) {
      for (const auto& session : finished->follow(hub, *state)) {
        if (!stopping) {
          publish(NtfyMessage::forFinishedSession(session, settings));
        }
      }
    }
  }
  setAttached(false);
}

}  // namespace tarvel::Display
