#include "Tools/tarvel/Doctor.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelCore/Sessions/AgentSession.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/History/AnswerHistory.hpp"
#include "TarvelDisplay/Remote/RemoteHosts.hpp"
#include "TarvelDisplay/Service/SessionStore.hpp"
#include "TarvelDisplay/Shared/VisibleText.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/Installer.hpp"
#include "Tools/tarvel/RemoteHostsConfig.hpp"

namespace tarvel::Doctor {
namespace {

namespace fs = std::filesystem;
using Installer::ConfigurationCheck;
using Installer::RelayCheck;

// Long enough for a service that is busy, short enough that a stuck one is soon given up on.
constexpr std::chrono::milliseconds serviceDeadline{1000};
// Codex is asked only when its hooks are installed; it can be slow to start.
constexpr std::chrono::milliseconds codexDeadline{5000};

// What the service said, or why it said nothing.
struct ServiceCheck {
  bool answers = false;
  bool lockHeld = false;  // some process holds serve.lock
  std::string version;    // of the answering service
  std::optional<std::int64_t> eventsReceived;
  std::string failure;  // why it did not answer
  // Each provider's last event: the service's record and its sessions' update times, or the
  // sessions it saved when it is not running.
  std::map<std::string, Date> lastEvents;
  // The remote hosts' links as the service lists them ("remotes"), by host.
  std::map<std::string, Json> remotes;
  std::optional<std::string> sessionsProblem;  // why neither could tell
};

// Paths under the home directory written with "~", in messages too.
class HomeNames {
 public:
  explicit HomeNames(const fs::path& home) : prefix(home.string()) {
    while (prefix.size() > 1 && prefix.ends_with('/')) {
      prefix.pop_back();
    }
  }
  std::string operator()(std::string text) const {
    if (prefix.size() <= 1) {
      return text;
    }
    const std::string inside = prefix + "/";
    for (auto at = text.find(inside); at != std::string::npos; at = text.find(inside, at + 2)) {
      text.replace(at, inside.size(), "~/");
    }
    return text;
  }
  std::string operator()(const fs::path& path) const { return (*this)(path.string()); }

 private:
  std::string prefix;
};

// The newest update of each provider among `sessions`.
void addLastEvents(const std::vector<AgentSession>& sessions, std::map<std::string, Date>& last) {
  for (const auto& session : sessions) {
    const auto [found, added] = last.emplace(session.provider.rawValue, session.updatedAt);
    if (!added) {
      found->second = std::max(found->second, session.updatedAt);
    }
  }
}

// The sessions of a GET /v1/state answer, decoded as the service encodes them (a session that
// does not decode is left out), and the count of events it received.
struct StateSummary {
  std::vector<AgentSession> sessions;
  std::optional<std::int64_t> eventsReceived;
  std::map<std::string, Date> lastEvents;  // by provider name
  std::map<std::string, Json> remotes;
};

std::optional<StateSummary> summaryOfState(std::string_view body) {
  const auto parsed = Coding::parse(body);
  if (!parsed || !parsed->is_object()) {
    return std::nullopt;
  }
  const auto list = parsed->find("sessions");
  if (list == parsed->end() || !list->is_array()) {
    return std::nullopt;
  }
  StateSummary summary;
  for (const Json& element : *list) {
    try {
      // The state leaves each session's event history out; the update times are all we read.
      Json whole = element;
      if (whole.is_object() && !whole.contains("recentEvents")) {
        whole["recentEvents"] = Json::array();
      }
      summary.sessions.push_back(Codable<AgentSession>::decode(whole, "session"));
    } catch (const DecodingError&) {
      // A session of a newer service's shape: the others still tell the times.
    } catch (const std::exception&) {
      // As above.
    }
  }
  if (const auto remotes = parsed->find("remotes");
      remotes != parsed->end() && remotes->is_array()) {
    for (const Json& remote : *remotes) {
      if (remote.is_object() && remote.contains("host") && remote["host"].is_string()) {
        summary.remotes[remote["host"].get<std::string>()] = remote;
      }
    }
  }
  const auto service = parsed->find("service");
  if (service != parsed->end() && service->is_object()) {
    const auto received = service->find("eventsReceived");
    if (received != service->end() && received->is_number_integer()) {
      summary.eventsReceived = received->get<std::int64_t>();
    }
    // Each agent's last event, kept by the service after its sessions are cleared.
    const auto last = service->find("lastEvents");
    if (last != service->end() && last->is_object()) {
      for (const auto& [provider, date] : last->items()) {
        const auto parsed =
            date.is_string() ? Dates::parseISO8601(date.get<std::string>()) : std::nullopt;
        if (parsed) {
          summary.lastEvents.emplace(provider, *parsed);
        }
      }
    }
  }
  return summary;
}

ServiceCheck checkService(const Display::ServiceFiles::Paths& paths) {
  ServiceCheck check;
  const auto health =
      Display::ApiClient::request(paths.apiSocket, "GET", "/v1/health", {}, serviceDeadline);
  if (health && health->status == 200) {
    const auto parsed = Coding::parse(health->body);
    check.answers = parsed && parsed->is_object();
    if (check.answers) {
      check.version = parsed->value("version", std::string("(unknown version)"));
    } else {
      check.failure = "it answered something that is not its health";
    }
  } else {
    check.failure =
        health ? "it answered with HTTP status " + std::to_string(health->status) : health.error();
  }
  if (check.answers) {
    const auto state =
        Display::ApiClient::request(paths.apiSocket, "GET", "/v1/state", {}, serviceDeadline);
    const auto summary = state && state->status == 200 ? summaryOfState(state->body) : std::nullopt;
    if (summary) {
      addLastEvents(summary->sessions, check.lastEvents);
      for (const auto& [provider, date] : summary->lastEvents) {
        const auto [found, added] = check.lastEvents.emplace(provider, date);
        if (!added) {
          found->second = std::max(found->second, date);
        }
      }
      check.eventsReceived = summary->eventsReceived;
      check.remotes = summary->remotes;
      return check;
    }
  } else {
    check.lockHeld = Display::ServiceFiles::InstanceLock::isHeld(paths.lockFile);
  }
  // No state from the service: what it saved last time it ran.
  const auto saved = Display::SessionStore::read(paths.sessionsFile);
  if (saved) {
    addLastEvents(*saved, check.lastEvents);
  } else {
    check.sessionsProblem = paths.sessionsFile.string() + " cannot be read: " + saved.error();
  }
  return check;
}

std::string ago(Date then, Date now) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - then).count();
  if (seconds < 2) {
    return "just now";
  }
  if (seconds < 60) {
    return std::to_string(seconds) + " s ago";
  }
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + " min ago";
  }
  if (seconds < 48LL * 3600) {
    return std::to_string(seconds / 3600) + " h ago";
  }
  return std::to_string(seconds / 86400) + " days ago";
}

std::string codexTrustText(Installer::CodexTrust trust) {
  switch (trust) {
    case Installer::CodexTrust::trusted:
      return "trusted by Codex";
    case Installer::CodexTrust::untrusted:
      return "not trusted by Codex yet";
    case Installer::CodexTrust::notListed:
      return "not listed by Codex";
    case Installer::CodexTrust::codexNotFound:
      return "trust unknown (codex is not on PATH)";
    case Installer::CodexTrust::noAnswer:
      return "trust unknown (codex app-server did not answer)";
  }
  return "";
}

// Rows of columns, printed with every column but the last padded to its widest cell.
void printRows(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    for (std::size_t column = 0; column + 1 < row.size(); ++column) {
      widths.resize(std::max(widths.size(), column + 1));
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) {
        line += std::string(widths[column] - row[column].size() + 2, ' ');
      }
    }
    out << line << "\n";
  }
}

// One row per host of `tarvel remote add`: whether the service's link to it is up, since when,
// and why it is down.
void addRemoteRows(const Display::ServiceFiles::Paths& paths, const ServiceCheck& service,
                   Date now, const HomeNames& named, std::vector<std::vector<std::string>>& rows,
                   std::vector<std::string>& problems) {
  const fs::path file = Configuration::path();
  auto hosts = RemoteHostsConfig::read(file);
  if (!hosts) {
    rows.push_back({"remote", named(file), "cannot be read (see below)"});
    problems.push_back(named(hosts.error()) + ": fix it with tarvel config edit");
    return;
  }
  // Hosts an older version recorded, not moved into the settings file yet.
  if (const auto old = Display::RemoteHosts::load(paths.directory / "remotes.json")) {
    for (const Display::RemoteHosts::Host& host : *old) {
      if (std::none_of(hosts->begin(), hosts->end(), [&](const auto& known) {
            return known.destination == host.destination;
          })) {
        hosts->push_back(host);
      }
    }
  }
  for (const Display::RemoteHosts::Host& host : *hosts) {
    std::vector<std::string> row{"remote", Display::VisibleText::visible(host.destination)};
    const auto listed = service.remotes.find(host.destination);
    if (!service.answers) {
      row.emplace_back("not connected (the service is not running)");
      rows.push_back(std::move(row));
      continue;
    }
    if (listed == service.remotes.end()) {
      row.emplace_back("not connected yet (the service reads the new host within seconds)");
      rows.push_back(std::move(row));
      continue;
    }
    const Json& link = listed->second;
    const bool connected = link.value("connected", false);
    std::string text = connected ? "connected" : "down";
    if (const auto since = link.find("since"); since != link.end() && since->is_string()) {
      if (const auto date = Dates::parseISO8601(since->get<std::string>())) {
        text += " since " + since->get<std::string>() + " (" + ago(*date, now) + ")";
      }
    }
    std::string error;
    if (const auto last = link.find("lastError"); last != link.end() && last->is_string()) {
      error = Display::VisibleText::visible(last->get<std::string>());  // ssh's, or the host's
    }
    if (!connected) {
      text += error.empty() ? std::string() : ": " + error;
      problems.push_back("the link to " + host.destination + " is down" +
                         (error.empty() ? std::string() : " (" + error + ")") +
                         ": check that ssh " + host.destination +
                         " works; the service tries again by itself");
    }
    row.push_back(std::move(text));
    rows.push_back(std::move(row));
  }
}

int run(const CommandLine::Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& err = invocation.err;
  auto context = Installer::currentContext(err);
  if (!context) {
    return 1;
  }
  context->codexDeadline = codexDeadline;
  context->holdSeconds = Configuration::holdSeconds();
  const HomeNames named(context->home);
  const auto paths = Display::ServiceFiles::Paths::standard();
  const ServiceCheck service = checkService(paths);
  const Date now = Dates::now();

  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> problems;
  // The agents whose configuration holds entries of ours, which run the installed relay.
  std::vector<const AgentRow*> hooked;
  bool installAdvised = false;
  std::vector<std::size_t> currentRows;  // rows of agents whose entries are current

  for (const AgentRow* agent : AgentCatalogue::all()) {
    if (agent->installName.empty()) {
      continue;
    }
    const std::string name(agent->installName);
    const ConfigurationCheck check = Installer::checkConfiguration(*agent, *context);
    std::vector<std::string> row{name, named(check.path)};
    const std::string fix = "run tarvel install --agent " + name;
    // The agent would end a waiting hook while the service still holds its prompt.
    const bool endsBeforeHold =
        check.waitingLimitSeconds && *check.waitingLimitSeconds < context->holdSeconds;
    if (check.problem) {
      row.emplace_back("cannot be checked (see below)");
      problems.push_back(named(*check.problem) + ": fix the file, then " + fix);
    } else if (!check.exists) {
      row.emplace_back("not found");
    } else if (check.hooks == ConfigurationCheck::Hooks::none) {
      row.emplace_back("no tarvel hooks");
      problems.push_back(name + " hooks are not installed: ");
      problems.back() += fix;
      installAdvised = true;
    } else if (check.hooks == ConfigurationCheck::Hooks::partial && endsBeforeHold) {
      row.emplace_back("hooks end before the hold");
      problems.push_back(name + " ends a waiting hook after " +
                         std::to_string(*check.waitingLimitSeconds) +
                         " s, before the service's hold of " + std::to_string(context->holdSeconds) +
                         " s (hold_seconds) is over: ");
      problems.back() += fix;
      installAdvised = true;
      hooked.push_back(agent);
    } else if (check.hooks == ConfigurationCheck::Hooks::partial) {
      row.emplace_back("tarvel hooks incomplete or outdated");
      problems.push_back(name + " hooks are incomplete or outdated: ");
      problems.back() += fix;
      installAdvised = true;
      hooked.push_back(agent);
    } else {
      row.emplace_back("hooks installed and current");
      currentRows.push_back(rows.size());
      hooked.push_back(agent);
    }
    if (agent->trust == HookTrust::codexAppServer &&
        check.hooks != ConfigurationCheck::Hooks::none) {
      const auto trust = Installer::checkCodexTrust(*context);
      row.back() += ", " + codexTrustText(trust);
      if (trust == Installer::CodexTrust::untrusted) {
        problems.push_back(
            "Codex does not trust the tarvel hooks yet, so it does not run them: " + fix +
            " (with codex on PATH), or approve them when Codex says \"hooks need review\"");
      } else if (trust == Installer::CodexTrust::notListed) {
        problems.push_back("Codex does not list the tarvel hooks of " + named(check.path) +
                           ", so it does not run them: check that this Codex runs hooks, then " +
                           fix);
      }
    }
    const auto last = service.lastEvents.find(std::string(agent->id));
    if (last != service.lastEvents.end()) {
      row.push_back("last event " + ago(last->second, now));
    } else if (check.exists && service.answers) {
      // The running service remembers each agent's last event only since it started.
      row.emplace_back("no event since the service started");
    } else if (check.exists && !service.sessionsProblem) {
      row.emplace_back("last event never");
    } else if (check.exists) {
      row.emplace_back("last event unknown");
    }
    rows.push_back(std::move(row));
  }

  // The relay matters only to agents that run it.
  const fs::path relay = AgentConfigurations::relayPath(context->home);
  const auto relayCheck = Installer::checkRelay(*context);
  std::vector<std::string> relayRow{"hook", named(relay)};
  const std::string relayFix =
      hooked.empty() ? std::string()
                     : "run tarvel install --agent " + std::string(hooked.front()->installName) +
                           " (it copies " + named(context->hookSource) + " for every agent)";
  std::optional<std::string> relayProblem;
  if (!relayCheck) {
    relayRow.emplace_back("cannot be checked (see below)");
    relayProblem = named(relayCheck.error());
  } else {
    switch (*relayCheck) {
      case RelayCheck::current:
        relayRow.emplace_back("current: same as " + named(context->hookSource));
        break;
      case RelayCheck::missing:
        relayRow.emplace_back(hooked.empty() ? "not installed" : "missing");
        relayProblem = "the hook program " + named(relay) + " is missing";
        break;
      case RelayCheck::different:
        relayRow.emplace_back("outdated: differs from " + named(context->hookSource));
        relayProblem = "the hook program " + named(relay) +
                       " is outdated (it differs from " + named(context->hookSource) + ")";
        break;
      case RelayCheck::notExecutable:
        relayRow.emplace_back("not executable");
        relayProblem = "the hook program " + named(relay) + " is not executable";
        break;
    }
  }
  rows.push_back(std::move(relayRow));
  if (relayProblem && !hooked.empty()) {
    problems.push_back(*relayProblem + ": " + relayFix);
    for (const std::size_t row : currentRows) {
      rows[row][2] = "hooks installed, hook program not current";
    }
  }

  std::vector<std::string> serviceRow{"service", named(paths.apiSocket)};
  if (service.answers) {
    std::string text = "running (tarvel " + service.version + ")";
    if (service.eventsReceived) {
      text += ", " + std::to_string(*service.eventsReceived) +
              (*service.eventsReceived == 1 ? " event" : " events") + " received since it started";
    }
    serviceRow.push_back(std::move(text));
    if (service.version != version) {
      problems.push_back("the running service is tarvel " + service.version +
                         " but this is tarvel " + std::string(version) +
                         ": restart it (systemctl --user restart tarvel, or stop tarvel serve "
                         "and run it again)");
    }
  } else if (service.lockHeld) {
    serviceRow.emplace_back("running but not answering (" + named(service.failure) + ")");
    problems.push_back("a tarvel serve holds " + named(paths.lockFile) +
                       " but does not answer on " + named(paths.apiSocket) +
                       ": stop it (systemctl --user stop tarvel, or end that process) and run "
                       "tarvel serve again");
  } else {
    serviceRow.emplace_back("not running");
    problems.emplace_back(
        "the service is not running: run tarvel serve, or tarvel service install to keep it "
        "running");
  }
  if (service.sessionsProblem) {
    serviceRow.back() += "; " + named(*service.sessionsProblem);
  }
  rows.push_back(std::move(serviceRow));

  addRemoteRows(paths, service, now, named, rows, problems);

  if (auto problem = Display::AnswerHistory::problemWith(paths.historyFile)) {
    rows.push_back({"history", named(paths.historyFile), "answers not recorded (see below)"});
    problems.push_back(named(*problem));
  }

  if (hooked.empty() && !installAdvised) {
    std::vector<std::string> names;
    for (const AgentRow* agent : AgentCatalogue::all()) {
      if (!agent->installName.empty()) {
        names.emplace_back(agent->installName);
      }
    }
    std::string others;
    for (std::size_t index = 1; index < names.size(); ++index) {
      others += (index == 1 ? "" : ", ") + names[index];
    }
    problems.push_back("no agent is set up: run tarvel install --agent " + names.front() +
                       " (or " + others + ") for each agent you use");
  }

  printRows(rows, out);
  for (const auto& problem : problems) {
    out << "problem: " << problem << "\n";
  }
  if (problems.empty()) {
    out << "no problems found\n";
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace

constinit const CommandLine::Command command{
    .name = "doctor",
    .summary = "check the agents' hooks and the service",
    .help =
        "When nothing shows up: checks each agent's configuration and the tarvel hooks in it, "
        "the installed tarvel-hook against this one, Codex's trust in the hooks, when the "
        "service last heard from each agent, and whether the service answers; then says what "
        "to fix. Reads only. Exit status 1 when something is wrong.",
    .run = run,
};

}  // namespace tarvel::Doctor
