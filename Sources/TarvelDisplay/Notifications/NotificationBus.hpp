#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelDisplay/Notifications/FinishedSessions.hpp"
#include "TarvelDisplay/Notifications/NotificationContent.hpp"
#include "TarvelDisplay/Notifications/PromptOpener.hpp"
#include "TarvelDisplay/Shared/Answerers.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

#include <systemd/sd-bus.h>

namespace tarvel::Display {

// Where the notifier logs: "notifications".
const Log::Logger& notificationLog();

// The notifier's link to the freedesktop notification service: a connection to the user's
// session bus (sd-bus), the service's owner and capabilities as last seen, and the notifications
// shown on it for live prompts (and for finished sessions). An action answers its prompt through
// `answer`; while a service that shows actions is there, the link is attached to `answerers`.
// Thread: confined to the notifier's bus thread. `answer`, `opener` and `answerers` must outlive
// it.
class NotificationBus {
 public:
  // The service's own answer; returns its HTTP-like status.
  using AnswerFunction = std::function<int(const UUID&, const AgentReply&)>;

  // `finishedAfter`: a session that finishes or fails after running longer gets a plain
  // notification (none when absent); `opener`: where "Open" shows all of a prompt.
  NotificationBus(AnswerFunction& answer, std::optional<std::chrono::seconds> finishedAfter,
                  const std::optional<PromptOpener>& opener, Answerers* answerers)
      : answer(answer), opener(opener), answerers(answerers) {
    if (finishedAfter) {
      finishedSessions.emplace(*finishedAfter);
    }
  }
  ~NotificationBus() { setAnswering(false); }
  NotificationBus(const NotificationBus&) = delete;
  NotificationBus& operator=(const NotificationBus&) = delete;
  NotificationBus(NotificationBus&&) = delete;
  NotificationBus& operator=(NotificationBus&&) = delete;

  // False (with the reason logged) when there is no session bus.
  bool connect();

  // Takes up a change of the notification service's owner seen since the last call: the ids of
  // the old one mean nothing any more, and the new one is asked for its capabilities. True when
  // the live prompts are to be shown again.
  bool followOwner();

  sd_bus* get() const { return bus.get(); }
  bool ownerChangePending() const { return newOwner.has_value(); }

  // Shows what is new in `state`, withdraws what is over.
  void update(const StateHub& hub, const PublishedState& state);

  // Withdraws everything still shown.
  void closeAll();

 private:
  struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
  };
  struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
  };
  using Bus = std::unique_ptr<sd_bus, BusDeleter>;
  using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;

  struct Shown {
    std::uint32_t id = 0;
    LivePrompt prompt;
  };

  // Whether the session runs in a tmux pane that is active in an attached client.
  static bool agentOnScreen(const PublishedState& state, const std::string& sessionId);

  // The service's capabilities, asked again until they are known (the service may start later).
  bool knowsCapabilities();

  // Sends Notify; the id the service gave, or absent.
  std::optional<std::uint32_t> notify(const NotificationContent::Notification& content,
                                      bool withActions);

  void show(const LivePrompt& prompt);
  void close(std::uint32_t id);
  const Shown* byNotification(std::uint32_t id) const;

  // Signal handlers; `userData` is the link.
  static int onAction(sd_bus_message* message, void* userData, sd_bus_error*);
  static int onOwnerChanged(sd_bus_message* message, void* userData, sd_bus_error*);
  static int onClosed(sd_bus_message* message, void* userData, sd_bus_error*);

  // Attached to the answerers while a service that shows actions is there.
  void setAnswering(bool answering);

  // Notifies of the sessions that finished after a long run since the revision last looked at.
  void tellFinished(const StateHub& hub, const PublishedState& state);

  AnswerFunction& answer;
  std::optional<FinishedSessions> finishedSessions;
  const std::optional<PromptOpener>& opener;
  Answerers* answerers = nullptr;
  std::optional<std::uint64_t> attachment;  // while attached to `answerers`
  Bus bus;
  Slot actionSlot;
  Slot closedSlot;
  Slot ownerSlot;
  std::optional<std::string> owner;     // the service's unique name; empty: none; absent: unknown
  std::optional<std::string> newOwner;  // seen in a signal, not yet taken up
  std::optional<std::set<std::string>> capabilities;
  bool reportedNoService = false;
  bool reportedRefusal = false;
  std::map<UUID, Shown> shown;  // by replyId; only prompts whose notification is up
  std::set<UUID> seen;          // live prompts already handled (shown, refused or dismissed)
};

}  // namespace tarvel::Display
