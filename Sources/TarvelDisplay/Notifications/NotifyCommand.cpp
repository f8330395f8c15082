#include "TarvelDisplay/Notifications/NotifyCommand.hpp"

#include <set>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Spawn.hpp"

namespace tarvel::Display {
namespace {

const Log::Logger& notifyLog() {
  static const Log::Logger logger("notify");
  return logger;
}

// What the command writes is read and dropped beyond this.
constexpr std::size_t maximumOutputBytes = 4096;
// Prompts and endings remembered as told; the oldest beyond this are forgotten.
constexpr std::size_t maximumRemembered = 4096;

// The endings' replyIds in `text` (endedPrompts), each with its ending.
std::vector<std::pair<std::string, Json>> endingsOf(const std::string& text) {
  std::vector<std::pair<std::string, Json>> endings;
  const auto list = Coding::parse(text);
  if (!list || !list->is_array()) {
    return endings;
  }
  for (const Json& ending : *list) {
    if (ending.is_object() && ending.contains("replyId") && ending["replyId"].is_string()) {
      endings.emplace_back(ending["replyId"].get<std::string>(), ending);
    }
  }
  return endings;
}

}  // namespace

NotifyCommand::NotifyCommand(const StateHub& hub, std::string command,
                             std::chrono::milliseconds limit)
    : hub(hub), command(std::move(command)), limit(limit) {}

NotifyCommand::~NotifyCommand() { stop(); }

void NotifyCommand::start() {
  if (!thread.joinable()) {
    thread = LabeledThread("com.tarvel.notify-command", [this] { run(); });
  }
}

void NotifyCommand::stop() {
  stopping = true;
  thread.join();
}

bool NotifyCommand::tell(const std::string& document) {
  const auto ran = Spawn::collect({"/bin/sh", "-c", command}, document, limit, maximumOutputBytes);
  if (!ran) {
    return false;
  }
  return !ran->timedOut && ran->ending.exitStatus == 0;
}

void NotifyCommand::run() {
  std::set<std::string> waitingTold;  // replyIds of live prompts already told
  std::set<std::string> endingsTold;  // replyIds of endings already told
  bool first = true;
  bool failing = false;
  std::uint64_t revision = 0;
  while (!stopping) {
    const auto state = hub.waitForNewer(revision, std::chrono::milliseconds(1000));
    if (hub.isClosed() && (!state || state->revision == revision)) {
      break;
    }
    if (!state || state->revision == revision) {
      continue;
    }
    revision = state->revision;
    std::vector<std::string> documents;
    std::set<std::string> live;
    for (const LivePrompt& prompt : state->prompts) {
      const std::string id = prompt.replyId.uuidString();
      live.insert(id);
      if (waitingTold.insert(id).second && !first) {
        Json document = Codable<LivePrompt>::encode(prompt);
        document["event"] = "waiting";
        documents.push_back(document.dump());
      }
    }
    std::erase_if(waitingTold, [&](const std::string& id) { return live.count(id) == 0; });
    std::set<std::string> listed;
    for (auto& [id, ending] : endingsOf(state->endedPromptsText)) {
      listed.insert(id);
      if (endingsTold.insert(id).second && !first) {
        ending["event"] = "ended";
        documents.push_back(ending.dump());
      }
    }
    // An ending leaves the list only when newer ones push it out; it never comes back.
    std::erase_if(endingsTold, [&](const std::string& id) { return listed.count(id) == 0; });
    while (waitingTold.size() > maximumRemembered) {
      waitingTold.erase(waitingTold.begin());
    }
    first = false;
    for (const std::string& document : documents) {
      if (stopping) {
        break;
      }
      const bool told = tell(document);
      if (!told && !failing) {
        notifyLog().error(
            "The notify command failed (it could not start, exited with a status other than 0, "
            "or ran longer than %ld s); said once until it succeeds again",
            {Log::value(static_cast<long>(
                std::chrono::duration_cast<std::chrono::seconds>(limit).count()))});
      } else if (told && failing) {
        notifyLog().info("The notify command succeeds again");
      }
      failing = !told;
    }
  }
}

}  // namespace tarvel::Display
