#include "Tools/tarvel/Configuration.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

// Errors come back as values: the service must never stop on a thrown parse error.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/Random.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelDisplay/Api/WebAccess.hpp"
#include "TarvelDisplay/Notifications/NtfyMessage.hpp"
#include "Tools/tarvel/RemoteHostsConfig.hpp"
#include "Tools/tarvel/ServiceCommands.hpp"

namespace tarvel::Configuration {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t maximumFileBytes = 64 * 1024;
constexpr std::int64_t year = 366LL * 24 * 3600;

enum class Kind { address, boolean, seconds, holdSeconds, text };

// Why a text setting's value is wrong; absent when it is right.
using TextCheck = std::optional<std::string> (*)(std::string_view);

std::optional<std::string> checkTopic(std::string_view value) {
  auto topic = Display::NtfyMessage::parseTopic(value);
  return topic ? std::nullopt : std::optional(topic.error());
}

std::optional<std::string> checkPublicUrl(std::string_view value) {
  auto url = Display::WebAccess::parsePublicUrl(value);
  return url ? std::nullopt : std::optional(url.error());
}

// A file's absolute path: the service may start in any folder.
std::optional<std::string> checkAbsolutePath(std::string_view value) {
  if (value.empty() || value.front() != '/' || value.size() > 4096 ||
      std::any_of(value.begin(), value.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    return std::string("takes the absolute path of a file (starting with /)");
  }
  return std::nullopt;
}

// A token or a command: one line, bounded.
std::optional<std::string> checkLine(std::string_view value) {
  if (value.empty() || value.size() > 4096 ||
      std::any_of(value.begin(), value.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    return std::string("takes one line of text (at most 4096 characters)");
  }
  return std::nullopt;
}

struct Key {
  std::string_view name;
  Kind kind;
  std::string_view meaning;
  TextCheck check = nullptr;  // for text
};

// Every key the file may hold, each standing for one `tarvel serve` option.
constexpr std::array keys{
    Key{"http", Kind::address,
        "the web page's address, \"[ADDRESS:]PORT\" (as --http; not set: no web page)"},
    Key{"notify", Kind::boolean, "desktop notifications for prompts (false: as --no-notify)"},
    Key{"notify_finished", Kind::seconds,
        "a notification when a session that ran longer than this many seconds finishes "
        "(as --notify-finished)"},
    Key{"hold_seconds", Kind::holdSeconds,
        "how long a prompt is held for your answer before the agent is let go to ask on its own "
        "(as --hold-seconds; 120 unless set); tarvel install gives the agents' hooks a longer "
        "limit"},
    Key{"hold_without_answerers", Kind::boolean,
        "hold an agent at its prompt even when nothing could answer it (as "
        "--hold-without-answerers)"},
    Key{"ntfy", Kind::text,
        "push each prompt to a phone through this ntfy topic, \"https://SERVER/TOPIC\" (as "
        "--ntfy; set to a server without a topic, a topic nobody can guess is made up). Whoever "
        "can read the topic reads the messages",
        checkTopic},
    Key{"ntfy_token", Kind::text,
        "an access token of the ntfy server, sent as \"Authorization: Bearer\" (as --ntfy-token)",
        checkLine},
    Key{"ntfy_answers", Kind::boolean,
        "Allow and Deny buttons on the pushes (needs public_url; as --ntfy-answers): whoever can "
        "read the topic can then answer your agents' prompts"},
    Key{"ntfy_detail", Kind::boolean,
        "the question and the command in the pushes (false: only that an agent waits; as "
        "--no-ntfy-detail)"},
    Key{"public_url", Kind::text,
        "the address a phone reaches this service's page and answers at, \"https://HOST[:PORT]\" "
        "(as --public-url; it must be one that http serves)",
        checkPublicUrl},
    Key{"tls_cert", Kind::text,
        "the certificate (a PEM file) that makes http serve HTTPS alone, with tls_key (as "
        "--tls-cert)",
        checkAbsolutePath},
    Key{"tls_key", Kind::text,
        "the private key of tls_cert's certificate (a PEM file without a passphrase; as "
        "--tls-key)",
        checkAbsolutePath},
    Key{"phone_hold", Kind::seconds,
        "how long an agent that shows no dialog of its own while its hook waits (Codex) is held "
        "for the phone alone before it asks in its own terminal (30 unless set; as --phone-hold)"},
    Key{"notify_command", Kind::text,
        "a command run (by /bin/sh) for each prompt that waits and each that ends, with one JSON "
        "document on its standard input (as --notify-command)",
        checkLine},
};

std::string knownKeys() {
  std::string names;
  for (const Key& key : keys) {
    names += (names.empty() ? "" : ", ") + std::string(key.name);
  }
  return names;
}

const Key* keyNamed(std::string_view name) {
  const auto found =
      std::find_if(keys.begin(), keys.end(), [&](const Key& key) { return key.name == name; });
  return found == keys.end() ? nullptr : &*found;
}

std::string position(const fs::path& file, const toml::source_region& region) {
  return file.string() + ":" + std::to_string(region.begin.line) + ":" +
         std::to_string(region.begin.column) + ": ";
}

// `text` as a TOML basic string.
std::string tomlString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

// A TOML basic string's value, as tomlString() writes it.
std::string fromTomlString(std::string_view text) {
  std::string out;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size()) {
      ++i;
    }
    out += text[i];
  }
  return out;
}

std::string kindText(Kind kind) {
  switch (kind) {
    case Kind::address:
      return "a quoted address such as \"127.0.0.1:8787\"";
    case Kind::boolean:
      return "true or false";
    case Kind::seconds:
      return "a whole number of seconds from 0 to 31622400";
    case Kind::holdSeconds:
      return "a whole number of seconds from 1 to " +
             std::to_string(AgentReplyPolicy::longestHoldSeconds);
    case Kind::text:
      return "a quoted string";
  }
  return "";
}

// The setting's value as TOML text when the node is of the key's kind.
std::optional<std::string> valueText(const Key& key, const toml::node& node) {
  switch (key.kind) {
    case Kind::address: {
      const auto* text = node.as_string();
      if (text == nullptr || !ServiceCommands::isHttpAddress(text->get())) {
        return std::nullopt;
      }
      return "\"" + text->get() + "\"";
    }
    case Kind::boolean: {
      const auto* flag = node.as_boolean();
      return flag != nullptr ? std::optional<std::string>(flag->get() ? "true" : "false")
                             : std::nullopt;
    }
    case Kind::seconds: {
      const auto* number = node.as_integer();
      if (number == nullptr || number->get() < 0 || number->get() > year) {
        return std::nullopt;
      }
      return std::to_string(number->get());
    }
    case Kind::holdSeconds: {
      const auto* number = node.as_integer();
      if (number == nullptr || number->get() < 1 ||
          number->get() > AgentReplyPolicy::longestHoldSeconds) {
        return std::nullopt;
      }
      return std::to_string(number->get());
    }
    case Kind::text: {
      const auto* text = node.as_string();
      if (text == nullptr || (key.check != nullptr && key.check(text->get()))) {
        return std::nullopt;
      }
      return tomlString(text->get());
    }
  }
  return std::nullopt;
}

Result<std::vector<Setting>, std::string> parse(const fs::path& file, std::string_view text) {
  const std::string name = file.string();
  toml::parse_result parsed = toml::parse(text, name);
  if (!parsed) {
    return position(file, parsed.error().source()) + std::string(parsed.error().description());
  }
  std::vector<Setting> settings;
  for (const auto& [name, node] : parsed.table()) {
    if (name.str() == "remotes") {
      // The hosts of `tarvel remote add`, one table each (RemoteHostsConfig.hpp).
      if (auto hosts = RemoteHostsConfig::parse(text, file); !hosts) {
        return hosts.error();
      }
      continue;
    }
    const Key* key = keyNamed(name.str());
    if (key == nullptr) {
      return position(file, name.source()) + "unknown setting \"" + std::string(name.str()) +
             "\" (known: " + knownKeys() + ")";
    }
    auto value = valueText(*key, node);
    if (!value && key->kind == Kind::text && node.as_string() != nullptr) {
      const auto wrong = key->check(node.as_string()->get());
      return position(file, node.source()) +
             (key->check == checkLine || key->check == checkAbsolutePath
                  ? std::string(key->name) + " " + *wrong
                  : *wrong);
    }
    if (!value) {
      return position(file, node.source()) + std::string(key->name) + " takes " +
             kindText(key->kind);
    }
    settings.push_back({.key = std::string(key->name), .value = std::move(*value)});
  }
  // The table is ordered by key; the file's order reads better.
  std::stable_sort(settings.begin(), settings.end(), [&](const Setting& a, const Setting& b) {
    const auto* first = parsed.table().get(a.key);
    const auto* second = parsed.table().get(b.key);
    return first->source().begin.line < second->source().begin.line;
  });
  return settings;
}

// The whole file; absent when there is none, the message when it cannot be read.
Result<std::optional<std::string>, std::string> readText(const fs::path& file) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT) {
      return std::optional<std::string>();
    }
    return "cannot read " + file.string() + ": " + std::strerror(errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return file.string() + " is not a regular file";
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return "cannot read " + file.string() + ": " + std::strerror(errno);
    }
    if (count == 0) {
      return std::optional<std::string>(std::move(text));
    }
    text.append(buffer, static_cast<std::size_t>(count));
    if (text.size() > maximumFileBytes) {
      return file.string() + " is larger than 64 KiB";
    }
  }
}

// Replaces the file whole (a reader sees the old or the new); a settings file that is a symbolic
// link (a managed dotfile) keeps its link and its target is written, with its own permissions.
std::optional<std::string> writeText(const fs::path& file, std::string_view text) {
  std::error_code problem;
  fs::create_directories(file.parent_path(), problem);
  if (const auto failure = FileReplace::replace(
          file, text,
          {.mode = 0644, .keepMode = true, .links = FileReplace::Links::follow})) {
    return failure->description();
  }
  return std::nullopt;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  return text;
}

// The text with the top-level line of `key` replaced by `line` (added when there is none, before
// the first table such as a remote host's, so that it stays top-level; removed when `line` is
// empty).
std::string withLine(std::string_view text, std::string_view key, std::string_view line) {
  std::string result;
  bool replaced = false;
  bool inTable = false;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = std::min(text.find('\n', start), text.size());
    const std::string_view current = text.substr(start, end - start);
    const std::string_view rest = trimmed(current);
    if (rest.starts_with('[') && !inTable) {
      inTable = true;
      if (!replaced && !line.empty()) {
        result.append(line).append("\n\n");
        replaced = true;
      }
    }
    const bool isKey = !inTable && rest.starts_with(key) &&
                       trimmed(rest.substr(key.size())).starts_with('=');
    if (isKey && !replaced) {
      if (!line.empty()) {
        result.append(line).append("\n");
      }
      replaced = true;
    } else if (!isKey) {
      result.append(current).append("\n");
    }
    start = end + 1;
  }
  if (!replaced && !line.empty()) {
    result.append(line).append("\n");
  }
  return result;
}

// The TOML text of a value given on the command line; absent with `problem` set when it is
// not one.
std::optional<std::string> valueFromArgument(const Key& key, std::string_view argument,
                                             std::string& problem) {
  switch (key.kind) {
    case Kind::address:
      if (!ServiceCommands::isHttpAddress(argument) ||
          argument.find_first_of("\"\\") != std::string_view::npos) {
        problem = "http takes [ADDRESS:]PORT, as 8787 or 127.0.0.1:8787";
        return std::nullopt;
      }
      // An address of another machine, or one nobody may take, would leave the next start
      // without a service. A port in use may be the running service's own.
      if (auto listening =
              ServiceCommands::listenProblem(argument, [](std::uint16_t) { return true; })) {
        problem = "http: " + *listening;
        return std::nullopt;
      }
      return "\"" + std::string(argument) + "\"";
    case Kind::boolean:
      if (argument == "true" || argument == "yes" || argument == "on") {
        return "true";
      }
      if (argument == "false" || argument == "no" || argument == "off") {
        return "false";
      }
      problem = std::string(key.name) + " takes true or false";
      return std::nullopt;
    case Kind::seconds: {
      const bool digits =
          !argument.empty() && argument.size() <= 9 &&
          std::all_of(argument.begin(), argument.end(), [](char c) { return c >= '0' && c <= '9'; });
      const std::int64_t value = digits ? std::stoll(std::string(argument)) : -1;
      if (!digits || value > year) {
        problem = std::string(key.name) + " takes a whole number of seconds from 0 to 31622400";
        return std::nullopt;
      }
      return std::to_string(value);
    }
    case Kind::holdSeconds: {
      const bool digits =
          !argument.empty() && argument.size() <= 3 &&
          std::all_of(argument.begin(), argument.end(), [](char c) { return c >= '0' && c <= '9'; });
      const int value = digits ? std::stoi(std::string(argument)) : 0;
      if (value < 1 || value > AgentReplyPolicy::longestHoldSeconds) {
        problem = std::string(key.name) + " takes " + kindText(key.kind);
        return std::nullopt;
      }
      return std::to_string(value);
    }
    case Kind::text: {
      std::string given(argument);
      if (key.name == "ntfy") {
        // A server alone: a topic is made up, long and random enough that nobody guesses it.
        if (const auto server = Display::NtfyMessage::serverWithoutTopic(argument)) {
          const auto random = Random::hexadecimal(16);
          if (!random) {
            problem = "cannot make a random topic name";
            return std::nullopt;
          }
          given = *server + "tarvel-" + *random;
        }
      }
      if (key.check != nullptr) {
        if (auto wrong = key.check(given)) {
          problem = key.check == checkLine || key.check == checkAbsolutePath
                        ? std::string(key.name) + " " + *wrong
                        : *wrong;
          return std::nullopt;
        }
      }
      return tomlString(given);
    }
  }
  return std::nullopt;
}

constexpr std::string_view newFileText =
    "# Tarvel's settings, read by tarvel serve however it is started; options given to\n"
    "# tarvel serve on its command line win over them. tarvel restart applies a change.\n"
    "# Every key, explained: `tarvel config --help` and config.example.toml among Tarvel's\n"
    "# documents.\n";

// What no one key's value shows (public_url against http, ntfy_answers without public_url) is
// judged where serve and restart judge it, and said when the file changes rather than at the next
// restart. The change stays: the key that completes the settings may be the next one set.
void tellIncomplete(const std::vector<Setting>& settings, std::ostream& out) {
  if (auto problem = ServiceCommands::checkServeArguments(serveArguments(settings))) {
    out << "Not complete yet: " << *problem
        << ". tarvel restart refuses these settings until that is fixed.\n";
  }
}

int edit(const fs::path& file, std::ostream& out, std::ostream& error) {
  const auto before = readText(file);
  if (!before) {
    error << "tarvel config: " << before.error() << "\n";
    return 1;
  }
  if (!*before) {
    if (auto problem = writeText(file, newFileText)) {
      error << "tarvel config: " << *problem << "\n";
      return 1;
    }
  }
  std::string editor = "vi";
  for (const char* name : {"VISUAL", "EDITOR"}) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): no threads here
    if (value != nullptr && *value != '\0') {
      editor = value;
      break;
    }
  }
  // The editor variable may carry options ("code --wait"), so the shell splits it.
  // It stays in this process group, the terminal's foreground one, and shares our streams.
  if (Spawn::run({"/bin/sh", "-c", editor + " \"$1\"", "sh", file.string()},
                 {.input = Spawn::inherited, .output = Spawn::inherited, .error = Spawn::inherited},
                 {.ownGroup = false}) != 0) {
    error << "tarvel config: the editor (" << editor << ") did not finish cleanly\n";
    return 1;
  }
  const auto loaded = load(file);
  if (!loaded) {
    error << "tarvel config: " << loaded.error()
          << "\nThe running service keeps its settings; fix the file (tarvel config edit) "
             "before tarvel restart.\n";
    return 1;
  }
  out << "Saved " << file.string() << "; tarvel restart applies it.\n";
  tellIncomplete(*loaded, out);
  return 0;
}

}  // namespace

Result<std::optional<std::string>, std::string> readFile(const fs::path& file) {
  return readText(file);
}

fs::path path() {
  const char* configured = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (configured != nullptr && configured[0] == '/') {
    return fs::path(configured) / "tarvel" / "config.toml";
  }
  return AgentSocketLocation::homeDirectory() / ".config" / "tarvel" / "config.toml";
}

Result<std::vector<Setting>, std::string> load(const fs::path& file) {
  const auto text = readText(file);
  if (!text) {
    return text.error();
  }
  if (!*text) {
    return std::vector<Setting>{};
  }
  return parse(file, **text);
}

int holdSeconds() {
  const auto settings = load(path());
  if (settings) {
    for (const Setting& setting : *settings) {
      if (setting.key == "hold_seconds") {
        return std::stoi(setting.value);  // checked when read: 1 to the longest hold
      }
    }
  }
  return AgentReplyPolicy::waitSeconds;
}

std::vector<std::string> serveArguments(const std::vector<Setting>& settings) {
  std::vector<std::string> arguments;
  for (const Setting& setting : settings) {
    if (setting.key == "http") {
      arguments.push_back("--http");
      arguments.push_back(setting.value.substr(1, setting.value.size() - 2));
    } else if (setting.key == "notify") {
      if (setting.value == "false") {
        arguments.push_back("--no-notify");
      }
    } else if (setting.key == "notify_finished") {
      arguments.push_back("--notify-finished");
      arguments.push_back(setting.value);
    } else if (setting.key == "hold_seconds") {
      arguments.push_back("--hold-seconds");
      arguments.push_back(setting.value);
    } else if (setting.key == "hold_without_answerers") {
      if (setting.value == "true") {
        arguments.push_back("--hold-without-answerers");
      }
    } else if (setting.key == "ntfy_answers") {
      if (setting.value == "true") {
        arguments.push_back("--ntfy-answers");
      }
    } else if (setting.key == "ntfy_detail") {
      if (setting.value == "false") {
        arguments.push_back("--no-ntfy-detail");
      }
    } else if (setting.key == "phone_hold") {
      arguments.push_back("--phone-hold");
      arguments.push_back(setting.value);
    } else if (setting.key == "ntfy" || setting.key == "ntfy_token" ||
               setting.key == "public_url" || setting.key == "notify_command" ||
               setting.key == "tls_cert" || setting.key == "tls_key") {
      std::string option = "--" + setting.key;
      std::replace(option.begin(), option.end(), '_', '-');
      arguments.push_back(option);
      arguments.push_back(fromTomlString(setting.value));
    }
  }
  return arguments;
}

namespace {

using CommandLine::Invocation;

// The keys, each with what it means, under the help's listing.
std::string keysHelp() {
  std::string text = "\nKeys:\n";
  for (const Key& key : keys) {
    text += "  " + std::string(key.name) + std::string(24 - key.name.size(), ' ') +
            CommandLine::wrapped(key.meaning, CommandLine::helpWidth, 26) + "\n";
  }
  return text;
}

std::vector<CommandLine::Word> keyWords() {
  std::vector<CommandLine::Word> words;
  for (const Key& key : keys) {
    words.push_back({.name = std::string(key.name), .meaning = std::string(key.meaning)});
  }
  return words;
}

int run(const Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  const auto wrong = [&](std::string_view problem) {
    error << "tarvel config: " << problem << "\n" << CommandLine::help(invocation.command);
    return 2;
  };
  const std::string_view action = invocation.reading.action->name;
  const auto& operands = invocation.reading.operands;
  const fs::path file = path();
  if (action == "path") {
    out << file.string() << "\n";
    return 0;
  }
  if (action == "edit") {
    return edit(file, out, error);
  }
  const auto text = readText(file);
  if (!text) {
    error << "tarvel config: " << text.error() << "\n";
    return 1;
  }
  const std::string current = text->value_or("");
  const auto settings = parse(file, current);
  if (!settings) {
    error << "tarvel config: " << settings.error() << "\n";
    return 1;
  }
  if (action == "get") {
    if (!operands.empty() && keyNamed(operands[0]) == nullptr) {
      return wrong("unknown key \"" + std::string(operands[0]) + "\"");
    }
    bool found = false;
    for (const Setting& setting : *settings) {
      if (operands.empty()) {
        out << setting.key << " = " << setting.value << "\n";
      } else if (setting.key == operands[0]) {
        out << setting.value << "\n";
        found = true;
      }
    }
    return operands.empty() || found ? 0 : 1;
  }
  const bool setting = action == "set";
  const Key* key = keyNamed(operands[0]);
  if (key == nullptr) {
    return wrong("unknown key \"" + std::string(operands[0]) + "\"");
  }
  std::string line;
  if (setting) {
    std::string problem;
    const auto value = valueFromArgument(*key, operands[1], problem);
    if (!value) {
      error << "tarvel config: " << problem << "\n";
      return 2;
    }
    line = std::string(key->name) + " = " + *value;
  }
  const std::string updated = withLine(*text ? current : std::string(newFileText), key->name, line);
  const auto checked = parse(file, updated);
  if (!checked) {
    error << "tarvel config: " << checked.error() << "\n";
    return 1;
  }
  if (auto problem = writeText(file, updated)) {
    error << "tarvel config: " << *problem << "\n";
    return 1;
  }
  out << (setting ? "Set " : "Removed ") << key->name << " in " << file.string()
      << "; tarvel restart applies it.\n";
  tellIncomplete(*checked, out);
  if (setting && key->name == "ntfy") {
    out << "Pushes go to " << fromTomlString(line.substr(line.find('"'))) << ": subscribe to it in "
           "the ntfy app. Whoever knows this address can read them; keep it to yourself.\n";
  }
  if (setting && key->name == "ntfy_answers" && line.ends_with("true")) {
    out << "Warning: whoever can read the ntfy topic can now answer your agents' prompts "
           "(Allow and Deny). Use your own ntfy server or one that needs an access token "
           "(ntfy_token), and a topic nobody can guess.\n";
  }
  return 0;
}

std::string refusal(const CommandLine::ReadProblem& problem) {
  return std::string("tarvel config: ") +
         (problem.kind == CommandLine::ReadProblem::Kind::missingAction
              ? "a subcommand is needed"
              : "unknown subcommand or wrong number of arguments") +
         "\n" + CommandLine::help(*problem.command);
}

constexpr std::array optionalKeyOperand{
    CommandLine::Operand{.name = "KEY", .words = keyWords, .optional = true}};
constexpr std::array keyOperand{CommandLine::Operand{.name = "KEY", .words = keyWords}};
constexpr std::array keyAndValueOperands{CommandLine::Operand{.name = "KEY", .words = keyWords},
                                         CommandLine::Operand{.name = "VALUE"}};
constexpr std::array actions{
    CommandLine::Action{.name = "get",
                        .help = "show one setting, or all that are set",
                        .operands = optionalKeyOperand},
    CommandLine::Action{
        .name = "set", .help = "check the value and write it", .operands = keyAndValueOperands},
    CommandLine::Action{.name = "unset", .help = "remove the setting", .operands = keyOperand},
    CommandLine::Action{.name = "edit",
                        .help = "open the file in $VISUAL or $EDITOR, and check it after"},
    CommandLine::Action{.name = "path", .help = "print where the file is"},
};

}  // namespace

constinit const CommandLine::Command command{
    .name = "config",
    .summary = "show or change the service's settings",
    .help =
        "The settings of tarvel serve, in ~/.config/tarvel/config.toml: whoever starts the "
        "service gets them, and options on tarvel serve's command line win. tarvel restart "
        "applies a change.",
    .actions = actions,
    .run = run,
    .refusal = refusal,
    .moreHelp = keysHelp,
};

}  // namespace tarvel::Configuration
