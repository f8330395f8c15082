#include "TarvelDisplay/Notifications/NotificationBus.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentOrigin.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelDisplay/Notifications/TmuxPane.hpp"

namespace tarvel::Display {
namespace {

constexpr const char* serviceName = "org.freedesktop.Notifications";
constexpr const char* objectPath = "/org/freedesktop/Notifications";
constexpr const char* interfaceName = "org.freedesktop.Notifications";
constexpr const char* applicationName = "Tarvel";
// A notification service that does not answer within this long is taken as absent for this call.
constexpr std::uint64_t callTimeoutMicroseconds = 3'000'000;

struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// Frees an sd_bus_error's strings when it goes out of scope.
class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  BusError(BusError&&) = delete;
  BusError& operator=(BusError&&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
  sd_bus_error* get() { return &error; }
  // The error's text, or the errno's when the bus gave none.
  [[nodiscard]] std::string text(int result) const {
    if (error.message != nullptr) {
      return error.message;
    }
    return std::strerror(-result);  // NOLINT(concurrency-mt-unsafe): read at once, and only here
  }

 private:
  sd_bus_error error = SD_BUS_ERROR_NULL;
};

}  // namespace

const Log::Logger& notificationLog() {
  static const Log::Logger logger("notifications");
  return logger;
}

bool NotificationBus::connect() {
  sd_bus* opened = nullptr;
  const int result = sd_bus_open_user(&opened);
  if (result < 0) {
    notificationLog().error(
        "No session bus (%s): desktop notifications are off; prompts are answered in the "
        "displays",
        {Log::value(std::strerror(-result))});  // NOLINT(concurrency-mt-unsafe)
    return false;
  }
  bus.reset(opened);
  // Every call waits this long at most, so a hung notification service cannot hold the stop.
  static_cast<void>(sd_bus_set_method_call_timeout(opened, callTimeoutMicroseconds));
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal(bus.get(), &slot, serviceName, objectPath, interfaceName,
                          "ActionInvoked", &NotificationBus::onAction, this) >= 0) {
    actionSlot.reset(slot);
  }
  slot = nullptr;
  if (sd_bus_match_signal(bus.get(), &slot, serviceName, objectPath, interfaceName,
                          "NotificationClosed", &NotificationBus::onClosed, this) >= 0) {
    closedSlot.reset(slot);
  }
  if (!actionSlot || !closedSlot) {
    notificationLog().error(
        "Cannot follow the notification service's signals; actions in "
        "notifications will do nothing");
  }
  slot = nullptr;
  if (sd_bus_add_match(bus.get(), &slot,
                       "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                       "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                       "arg0='org.freedesktop.Notifications'",
                       &NotificationBus::onOwnerChanged, this) >= 0) {
    ownerSlot.reset(slot);
  } else {
    notificationLog().error(
        "Cannot follow the notification service as it comes and goes; it is looked for "
        "at each prompt");
  }
  // The owner now; later changes come as signals.
  BusError error;
  sd_bus_message* reply = nullptr;
  const int asked =
      sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetNameOwner", error.get(), &reply, "s",
                         serviceName);
  const Message owned(reply);
  const char* name = nullptr;
  newOwner = asked >= 0 && sd_bus_message_read(reply, "s", &name) >= 0 && name != nullptr
                 ? std::string(name)
                 : std::string();
  return true;
}

bool NotificationBus::followOwner() {
  if (!newOwner) {
    return false;
  }
  const std::string next = *std::exchange(newOwner, std::nullopt);
  if (owner && *owner == next) {
    return false;
  }
  const bool replaced = owner && !owner->empty();
  owner = next;
  if (replaced) {
    // The old service's ids: a click on the new one's must never reach the prompts behind them.
    shown.clear();
    seen.clear();
  } else {
    // Shown ones went to this service (it was started by the call); the rest are shown now.
    std::erase_if(seen, [&](const UUID& id) { return shown.count(id) == 0; });
  }
  capabilities.reset();
  reportedNoService = false;
  if (next.empty()) {
    setAnswering(false);
    if (replaced) {
      notificationLog().info("The desktop notification service left");
    }
    return false;
  }
  notificationLog().info("A desktop notification service is on the session bus");
  static_cast<void>(knowsCapabilities());
  return true;
}

void NotificationBus::update(const StateHub& hub, const PublishedState& state) {
  std::set<UUID> live;
  for (const LivePrompt& prompt : state.prompts) {
    live.insert(prompt.replyId);
    // An agent whose own tmux pane is on screen shows its prompt right there.
    if (seen.insert(prompt.replyId).second && !agentOnScreen(state, prompt.sessionId)) {
      show(prompt);
    }
  }
  for (auto entry = shown.begin(); entry != shown.end();) {
    if (live.count(entry->first) == 0) {
      close(entry->second.id);
      entry = shown.erase(entry);
    } else {
      ++entry;
    }
  }
  // A prompt never comes back once it left the list, so only live ones need remembering.
  std::erase_if(seen, [&](const UUID& id) { return live.count(id) == 0; });
  if (finishedSessions) {
    tellFinished(hub, state);
  }
}

bool NotificationBus::agentOnScreen(const PublishedState& state, const std::string& sessionId) {
  for (const auto& text : state.sessionTexts) {
    const auto session = Coding::parse(*text);
    if (!session || !session->is_object() || session->value("id", "") != sessionId) {
      continue;
    }
    const Json origin = session->value("origin", Json::object());
    if (!origin.is_object() || !origin.contains("tmux") || !origin.contains("tmuxPane") ||
        !origin["tmux"].is_string() || !origin["tmuxPane"].is_string()) {
      return false;
    }
    const auto socket = AgentOrigin{.tmux = origin["tmux"].get<std::string>()}.tmuxSocket();
    return socket && TmuxPane::isOnScreen(*socket, origin["tmuxPane"].get<std::string>());
  }
  return false;
}

void NotificationBus::closeAll() {
  for (const auto& [replyId, entry] : shown) {
    close(entry.id);
  }
  shown.clear();
}

bool NotificationBus::knowsCapabilities() {
  if (capabilities) {
    return true;
  }
  BusError error;
  sd_bus_message* reply = nullptr;
  const int result = sd_bus_call_method(bus.get(), serviceName, objectPath, interfaceName,
                                        "GetCapabilities", error.get(), &reply, "");
  const Message owned(reply);
  if (result < 0) {
    if (!reportedNoService) {
      reportedNoService = true;
      notificationLog().error(
          "No desktop notification service (%s): prompts are answered in "
          "the displays; asking again at the next prompt",
          {Log::value(error.text(result))});
    }
    return false;
  }
  std::set<std::string> found;
  if (sd_bus_message_enter_container(reply, 'a', "s") < 0) {
    return false;
  }
  const char* name = nullptr;
  while (sd_bus_message_read(reply, "s", &name) > 0) {
    found.insert(name);
  }
  capabilities = std::move(found);
  setAnswering(capabilities->count("actions") != 0 && !(owner && owner->empty()));
  if (capabilities->count("actions") == 0) {
    notificationLog().error(
        "The desktop notification service shows no actions: notifications "
        "tell of prompts, and they are answered in the displays");
  }
  return true;
}

std::optional<std::uint32_t> NotificationBus::notify(
    const NotificationContent::Notification& content, bool withActions) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &raw, serviceName, objectPath, interfaceName,
                                     "Notify") < 0) {
    return std::nullopt;
  }
  const Message call(raw);
  int result = sd_bus_message_append(raw, "susss", applicationName, 0U, "",
                                     content.summary.c_str(), content.body.c_str());
  result = result < 0 ? result : sd_bus_message_open_container(raw, 'a', "s");
  if (withActions) {
    for (const auto& action : content.actions) {
      result = result < 0
                   ? result
                   : sd_bus_message_append(raw, "ss", action.key.c_str(), action.label.c_str());
    }
  }
  result = result < 0 ? result : sd_bus_message_close_container(raw);
  result = result < 0 ? result : sd_bus_message_open_container(raw, 'a', "{sv}");
  result = result < 0
               ? result
               : sd_bus_message_append(raw, "{sv}", "urgency", "y",
                                       static_cast<std::uint8_t>(content.critical ? 2 : 1));
  result = result < 0 ? result : sd_bus_message_close_container(raw);
  result = result < 0 ? result : sd_bus_message_append(raw, "i", content.expireMilliseconds);
  if (result < 0) {
    notificationLog().error(
        "Cannot build a notification: %s",
        {Log::value(std::strerror(-result))});  // NOLINT(concurrency-mt-unsafe)
    return std::nullopt;
  }
  BusError error;
  sd_bus_message* reply = nullptr;
  result = sd_bus_call(bus.get(), raw, callTimeoutMicroseconds, error.get(), &reply);
  const Message ownedReply(reply);
  std::uint32_t id = 0;
  if (result < 0 || sd_bus_message_read(reply, "u", &id) < 0) {
    if (!reportedRefusal) {
      reportedRefusal = true;
      notificationLog().error(
          "The desktop notification service refused a notification (%s); "
          "said once until one is shown again",
          {Log::value(error.text(result))});
    }
    return std::nullopt;
  }
  reportedRefusal = false;
  return id;
}

void NotificationBus::show(const LivePrompt& prompt) {
  if (!knowsCapabilities()) {
    return;
  }
  const auto content =
      NotificationContent::forPrompt(prompt, Dates::now(), capabilities->count("body-markup") != 0,
                                     opener.has_value());
  if (const auto id = notify(content, capabilities->count("actions") != 0)) {
    // An id names one notification: one the service reuses no longer shows the old prompt.
    std::erase_if(shown, [&](const auto& entry) { return entry.second.id == *id; });
    shown[prompt.replyId] = {.id = *id, .prompt = prompt};
  }
}

void NotificationBus::close(std::uint32_t id) {
  // Asynchronous: nothing waits on the answer, and a slow service must not hold the others.
  static_cast<void>(sd_bus_call_method_async(bus.get(), nullptr, serviceName, objectPath,
                                             interfaceName, "CloseNotification", nullptr, nullptr,
                                             "u", id));
}

const NotificationBus::Shown* NotificationBus::byNotification(std::uint32_t id) const {
  const auto found = std::find_if(shown.begin(), shown.end(),
                                  [&](const auto& entry) { return entry.second.id == id; });
  return found == shown.end() ? nullptr : &found->second;
}

int NotificationBus::onAction(sd_bus_message* message, void* userData, sd_bus_error*) {
  auto& self = *static_cast<NotificationBus*>(userData);
  std::uint32_t id = 0;
  const char* key = nullptr;
  if (sd_bus_message_read(message, "us", &id, &key) < 0 || key == nullptr) {
    return 0;
  }
  const Shown* entry = self.byNotification(id);
  if (entry == nullptr) {
    return 0;  // another program's notification, or one already withdrawn
  }
  if (key == NotificationContent::openAction && self.opener) {
    static_cast<void>(self.opener->open(entry->prompt.replyId));
    return 0;
  }
  const auto reply = NotificationContent::reply(entry->prompt, key);
  if (!reply) {
    return 0;  // the body clicked ("default"), or a key this prompt does not offer
  }
  const int status = self.answer(entry->prompt.replyId, *reply);
  if (status != 200) {
    notificationLog().info("An answer from a notification was not delivered (status %ld)",
                           {Log::value(static_cast<long>(status))});
  }
  return 0;
}

int NotificationBus::onOwnerChanged(sd_bus_message* message, void* userData, sd_bus_error*) {
  auto& self = *static_cast<NotificationBus*>(userData);
  const char* name = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &before, &after) < 0 || after == nullptr) {
    return 0;
  }
  self.newOwner = std::string(after);
  return 0;
}

void NotificationBus::setAnswering(bool answering) {
  if (answerers == nullptr || answering == attachment.has_value()) {
    return;
  }
  if (answering) {
    attachment = answerers->attach(Answerers::Kind::notifications);
  } else {
    answerers->detach(*std::exchange(attachment, std::nullopt));
  }
}

int NotificationBus::onClosed(sd_bus_message* message, void* userData, sd_bus_error*) {
  auto& self = *static_cast<NotificationBus*>(userData);
  std::uint32_t id = 0;
  std::uint32_t reason = 0;
  if (sd_bus_message_read(message, "uu", &id, &reason) < 0) {
    return 0;
  }
  // Dismissed or expired: the prompt stays answerable elsewhere and is not shown again.
  std::erase_if(self.shown, [&](const auto& entry) { return entry.second.id == id; });
  return 0;
}

void NotificationBus::tellFinished(const StateHub& hub, const PublishedState& state) {
  for (const auto& session : finishedSessions->follow(hub, state)) {
    if (!knowsCapabilities()) {
      return;
    }
    static_cast<void>(notify(
        NotificationContent::forFinishedSession(session, capabilities->count("body-markup") != 0),
        false));
  }
}

}  // namespace tarvel::Display
