#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelDisplay/Notifications/PromptOpener.hpp"
#include "TarvelDisplay/Shared/Answerers.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

struct NotifierOptions {
  // A session that finishes or fails after running longer than this gets a plain notification;
  // absent: none.
  std::optional<std::chrono::seconds> finishedAfter;
  // Where "Open" shows all of a prompt that a notification cannot show; absent: no "Open".
  std::optional<PromptOpener> opener;
};

// Desktop notifications through the freedesktop notification service on the user's session bus:
// one per live prompt, with the actions its grants allow; an action answers the prompt through
// `answer` (the service's own answer, returning its HTTP-like status); a notification is
// withdrawn once its prompt is no longer live. Without a bus, a notification service or actions
// it says so once in the log ("notifications") and goes on with what it can. It follows the
// notification service as it comes, goes and is replaced, asking each new one for its
// capabilities; while one that shows actions is there, the notifier is attached to `answerers`
// (when given). Notification ids belong to one service: a new one starts with none of them.
// Thread: start() and stop() from one thread; the notifier runs on two threads of its own (one
// follows `hub`, one owns the bus connection). `hub`, `answer`'s target and `answerers` must
// outlive it.
// stop() returns at once when the hub is closed, otherwise within about a second.
class Notifier {
 public:
  using AnswerFunction = std::function<int(const UUID&, const AgentReply&)>;

  Notifier(const StateHub& hub, AnswerFunction answer, NotifierOptions options,
           Answerers* answerers = nullptr);
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;
  Notifier(Notifier&&) = delete;
  Notifier& operator=(Notifier&&) = delete;

  void start();
  // Withdraws every notification still shown and ends both threads.
  void stop();

 private:
  void follow();
  void serve();

  const StateHub& hub;
  AnswerFunction answer;
  NotifierOptions options;
  Answerers* answerers = nullptr;
  UniqueFd wake;  // eventfd: a newer state or the stop
  std::atomic<bool> stopping{false};
  std::thread follower;
  std::thread busThread;
};

}  // namespace tarvel::Display
