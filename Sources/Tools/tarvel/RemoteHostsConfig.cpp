#include "Tools/tarvel/RemoteHostsConfig.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// Errors come back as values: the service must never stop on a thrown parse error.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "TarvelCore/Platform/FileReplace.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/TomlText.hpp"

namespace tarvel::RemoteHostsConfig {
namespace {

namespace fs = std::filesystem;

// As the settings file's own limit.
constexpr std::size_t settingsFileLimit = 64 * 1024;

std::string placeIn(const fs::path& file, const toml::source_region& region) {
  return file.string() + ":" + std::to_string(region.begin.line) + ":" +
         std::to_string(region.begin.column) + ": ";
}

// The lines of `text`, each with its line feed when it has one.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto feed = text.find('\n');
    const std::size_t length = feed == std::string_view::npos ? text.size() : feed + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

std::string_view stripped(std::string_view line) {
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    return {};
  }
  return line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
}

bool startsTable(std::string_view line) { return stripped(line).starts_with('['); }

// The table a host is written as, ending with a line feed.
std::string hostTable(const Host& host) {
  std::string text = "[remotes." + tomlString(host.destination) +
                     "]\nhome = " + tomlString(host.home) + "\nagents = [";
  for (std::size_t index = 0; index < host.agents.size(); ++index) {
    text += (index == 0 ? "" : ", ") + tomlString(host.agents[index]);
  }
  return text + "]\n";
}

struct Recorded {
  Host host;
  std::optional<std::size_t> header;  // the index of its "[remotes.…]" line; none when inline
};

Result<std::vector<Recorded>, std::string> recordedIn(const toml::table& root,
                                                      std::string_view text, const fs::path& file) {
  std::vector<Recorded> recorded;
  const toml::node* remotes = root.get("remotes");
  if (remotes == nullptr) {
    return recorded;
  }
  const toml::table* table = remotes->as_table();
  if (table == nullptr) {
    return placeIn(file, remotes->source()) +
           "remotes takes one table per host, as [remotes.\"dev@devbox\"] with home = "
           "\"/home/dev\"";
  }
  const auto lines = splitLines(text);
  std::vector<std::pair<toml::source_position, Recorded>> found;
  for (auto&& [key, node] : *table) {
    const std::string destination(key.str());
    const toml::table* entry = node.as_table();
    if (entry == nullptr) {
      return placeIn(file, node.source()) + "remotes." + tomlString(destination) +
             " takes a table with home and agents";
    }
    if (destination.empty() || destination.starts_with('-')) {
      return placeIn(file, key.source()) + tomlString(destination) + " is not a host for ssh";
    }
    Recorded host{.host = {.destination = destination}};
    for (auto&& [name, value] : *entry) {
      if (name.str() == "home") {
        const auto* home = value.as_string();
        if (home == nullptr || !home->get().starts_with('/')) {
          return placeIn(file, value.source()) +
                 "home takes the remote user's home folder, an absolute path";
        }
        host.host.home = home->get();
      } else if (name.str() == "agents") {
        const auto* agents = value.as_array();
        if (agents == nullptr) {
          return placeIn(file, value.source()) + "agents takes a list of agent names";
        }
        for (const toml::node& agent : *agents) {
          const auto* text = agent.as_string();
          if (text == nullptr) {
            return placeIn(file, agent.source()) + "agents takes a list of agent names";
          }
          host.host.agents.push_back(text->get());
        }
      } else {
        return placeIn(file, name.source()) + "unknown key \"" + std::string(name.str()) +
               "\" of a remote host (known: home, agents)";
      }
    }
    if (host.host.home.empty()) {
      return placeIn(file, node.source()) + "remotes." + tomlString(destination) +
             " needs home, the remote user's home folder";
    }
    const auto line = static_cast<std::size_t>(node.source().begin.line);
    if (line >= 1 && line <= lines.size() && startsTable(lines[line - 1]) &&
        !stripped(lines[line - 1]).starts_with("[[")) {
      host.header = line - 1;
    }
    found.emplace_back(node.source().begin, std::move(host));
  }
  // A table is ordered by key; the file's order is the order the hosts were added in.
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return a.first.line != b.first.line ? a.first.line < b.first.line
                                        : a.first.column < b.first.column;
  });
  for (auto& [position, host] : found) {
    recorded.push_back(std::move(host));
  }
  return recorded;
}

Result<std::vector<Recorded>, std::string> recordedIn(std::string_view text, const fs::path& file) {
  const toml::parse_result parsed = toml::parse(text, file.string());
  if (!parsed) {
    return placeIn(file, parsed.error().source()) + std::string(parsed.error().description());
  }
  return recordedIn(parsed.table(), text, file);
}

// Whether two host lists name the same hosts with the same records, in whatever order.
bool sameHosts(std::vector<Host> a, std::vector<Host> b) {
  const auto byName = [](const Host& x, const Host& y) { return x.destination < y.destination; };
  std::sort(a.begin(), a.end(), byName);
  std::sort(b.begin(), b.end(), byName);
  return a == b;
}

// The whole file; empty when there is none.
Result<SettingsText, std::string> readSettingsText(const fs::path& file) {
  auto text = Configuration::readFile(file);
  if (!text) {
    return text.error();
  }
  return SettingsText{text->value_or(std::string())};
}

}  // namespace

Result<std::vector<Host>, std::string> parse(std::string_view text, const fs::path& file) {
  auto recorded = recordedIn(text, file);
  if (!recorded) {
    return recorded.error();
  }
  std::vector<Host> hosts;
  for (Recorded& entry : *recorded) {
    hosts.push_back(std::move(entry.host));
  }
  return hosts;
}

Result<std::vector<Host>, std::string> read(const fs::path& file) {
  const auto text = readSettingsText(file);
  if (!text) {
    return text.error();
  }
  return parse(text->text, file);
}

Result<SettingsText, std::string> withHosts(std::string_view text, const std::vector<Host>& hosts,
                                            const fs::path& file) {
  const toml::parse_result before = toml::parse(text, file.string());
  if (!before) {
    return placeIn(file, before.error().source()) + std::string(before.error().description());
  }
  const auto recorded = recordedIn(before.table(), text, file);
  if (!recorded) {
    return recorded.error();
  }
  const auto lines = splitLines(text);
  std::vector<bool> dropped(lines.size(), false);
  std::vector<std::optional<std::string>> replaced(lines.size());
  for (const Recorded& entry : *recorded) {
    const auto wanted = std::find_if(hosts.begin(), hosts.end(), [&](const Host& host) {
      return host.destination == entry.host.destination;
    });
    if (wanted != hosts.end() && *wanted == entry.host) {
      continue;
    }
    if (!entry.header) {
      return file.string() + " records " + entry.host.destination +
             " in a way this edit does not change (not as a [remotes.\"…\"] table): change it "
             "there with tarvel config edit";
    }
    // Its key lines go; comments and blank lines within it stay.
    const std::size_t header = *entry.header;
    for (std::size_t index = header + 1; index < lines.size() && !startsTable(lines[index]);
         ++index) {
      const std::string_view line = stripped(lines[index]);
      dropped[index] = !line.empty() && !line.starts_with('#');
    }
    if (wanted != hosts.end()) {
      replaced[header] = hostTable(*wanted);
    } else {
      dropped[header] = true;
      if (header > 0 && stripped(lines[header - 1]).empty()) {
        dropped[header - 1] = true;
      }
    }
  }
  std::string edited;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    if (replaced[index]) {
      edited += *replaced[index];
    } else if (!dropped[index]) {
      edited += lines[index];
    }
  }
  for (const Host& host : hosts) {
    const bool known = std::any_of(recorded->begin(), recorded->end(), [&](const Recorded& entry) {
      return entry.host.destination == host.destination;
    });
    if (known) {
      continue;
    }
    if (!edited.empty() && !edited.ends_with('\n')) {
      edited += '\n';
    }
    if (!edited.empty()) {
      edited += '\n';
    }
    edited += hostTable(host);
  }

  // Read back as Codex or tarvel serve would: exactly the hosts wanted, and nothing else changed.
  const toml::parse_result after = toml::parse(edited, file.string());
  const auto readBack = after ? recordedIn(after.table(), edited, file)
                              : Result<std::vector<Recorded>, std::string>(std::string());
  std::vector<Host> found;
  if (readBack) {
    for (const Recorded& entry : *readBack) {
      found.push_back(entry.host);
    }
  }
  bool restSame = false;
  if (after) {
    toml::table beforeRest = before.table();
    toml::table afterRest = after.table();
    beforeRest.erase("remotes");
    afterRest.erase("remotes");
    restSame = beforeRest == afterRest;
  }
  if (!after || !readBack || !sameHosts(found, hosts) || !restSame) {
    return file.string() +
           " cannot be edited here without changing more than its remote hosts: "
           "change them there with tarvel config edit";
  }
  return SettingsText{std::move(edited)};
}

std::optional<std::string> write(const fs::path& file, const std::vector<Host>& hosts) {
  // A settings file that is a symbolic link (a managed dotfile) keeps its link: its target is
  // written, with its own permissions.
  const auto target = FileReplace::target(file, FileReplace::Links::follow);
  if (!target) {
    return target.error().description();
  }
  const auto text = readSettingsText(*target);
  if (!text) {
    return text.error();
  }
  const auto edited = withHosts(text->text, hosts, file);
  if (!edited) {
    return edited.error();
  }
  if (edited->text == text->text) {
    return std::nullopt;
  }
  std::error_code error;
  fs::create_directories(target->parent_path(), error);
  if (const auto problem = FileReplace::replace(*target, edited->text,
                                                {.mode = 0644, .keepMode = true})) {
    return problem->description();
  }
  return std::nullopt;
}

std::optional<std::string> moveOldRecords(const fs::path& oldFile, const fs::path& file,
                                          std::ostream& out) {
  struct stat status {};
  if (::lstat(oldFile.c_str(), &status) != 0 && errno == ENOENT) {
    return std::nullopt;
  }
  const auto old = Display::RemoteHosts::load(oldFile);
  if (!old) {
    return old.error() + "; its hosts were not moved into " + file.string();
  }
  const auto current = read(file);
  if (!current) {
    return current.error();
  }
  std::vector<Host> merged = *current;
  for (const Host& host : *old) {
    if (std::none_of(merged.begin(), merged.end(),
                     [&](const Host& known) { return known.destination == host.destination; })) {
      merged.push_back(host);
    }
  }
  if (auto problem = write(file, merged)) {
    return *problem + "; the hosts of " + oldFile.string() + " stay there";
  }
  // The old file goes only once the settings file reads back with every host of it.
  const auto written = read(file);
  const bool complete =
      written && std::all_of(old->begin(), old->end(), [&](const Host& host) {
        return std::any_of(written->begin(), written->end(), [&](const Host& known) {
          return known.destination == host.destination;
        });
      });
  if (!complete) {
    return file.string() + " did not read back with the hosts of " + oldFile.string() +
           ", which stays";
  }
  if (::unlink(oldFile.c_str()) != 0) {
    return "cannot remove " + oldFile.string() + ": " + std::strerror(errno);
  }
  out << "Moved the remote hosts of " << oldFile.string() << " into " << file.string() << "\n";
  return std::nullopt;
}

}  // namespace tarvel::RemoteHostsConfig
