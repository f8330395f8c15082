#include "Tools/tarvel/CodexHookTrust.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

// Errors come back as values.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "QuoyaCore/CodexAppServer.hpp"
#include "Tools/tarvel/TomlText.hpp"

namespace tarvel::CodexHookTrust {
namespace {

using Json = nlohmann::json;

std::string stringField(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The hooks of a "hooks/list" result, or absent when the answer is an error or malformed.
std::optional<std::vector<ListedHook>> hooksOfAnswer(const Json& answer) {
  const auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) {
    return std::nullopt;
  }
  const auto data = result->find("data");
  if (data == result->end() || !data->is_array()) {
    return std::nullopt;
  }
  std::vector<ListedHook> hooks;
  for (const auto& entry : *data) {
    const auto listed = entry.is_object() ? entry.find("hooks") : entry.end();
    if (!entry.is_object() || listed == entry.end() || !listed->is_array()) {
      continue;
    }
    for (const auto& hook : *listed) {
      if (!hook.is_object()) {
        continue;
      }
      ListedHook item{.key = stringField(hook, "key"),
                      .command = stringField(hook, "command"),
                      .currentHash = stringField(hook, "currentHash"),
                      .trustStatus = stringField(hook, "trustStatus")};
      if (!item.key.empty() && !item.currentHash.empty()) {
        hooks.push_back(std::move(item));
      }
    }
  }
  return hooks;
}

std::string_view trimmed(std::string_view line) {
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = line.find_last_not_of(" \t\r\n");
  return line.substr(first, last - first + 1);
}

struct Line {
  std::size_t begin = 0;
  std::size_t end = 0;  // past the line feed, when there is one
};

std::vector<Line> linesOf(std::string_view text) {
  std::vector<Line> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const auto feed = text.find('\n', begin);
    const std::size_t end = feed == std::string_view::npos ? text.size() : feed + 1;
    lines.push_back({.begin = begin, .end = end});
    begin = end;
  }
  return lines;
}

// Whether a line starts a table or array of tables ("[name]" or "[[name]]").
bool isTableHeader(std::string_view line) { return trimmed(line).starts_with('['); }

}  // namespace

std::optional<std::vector<ListedHook>> listHooks(const std::filesystem::path& codex,
                                                 const std::filesystem::path& workingDirectory,
                                                 std::chrono::milliseconds deadline) {
  return listHooks(std::vector<std::string>{codex.string(), "app-server"}, workingDirectory,
                   deadline);
}

bool isTrusted(const ListedHook& hook) {
  return hook.trustStatus == "trusted" || hook.trustStatus == "managed";
}

std::vector<ListedHook> hooksRunning(const std::vector<ListedHook>& hooks,
                                     std::string_view command) {
  std::vector<ListedHook> running;
  for (const auto& hook : hooks) {
    if (hook.command == command) {
      running.push_back(hook);
    }
  }
  return running;
}

std::optional<std::vector<ListedHook>> listHooks(const std::vector<std::string>& command,
                                                 const std::filesystem::path& workingDirectory,
                                                 std::chrono::milliseconds deadline) {
  std::optional<std::vector<ListedHook>> hooks;
  quoya::CodexAppServer::ask(
      command, {.name = "tarvel_install", .version = "1.0.0"},
      {{.method = "hooks/list", .params = {{"cwds", Json::array({workingDirectory.string()})}}}},
      {.deadline = deadline, .maximumOutputBytes = maximumOutputBytes},
      [&hooks](std::size_t, const Json& answer) { hooks = hooksOfAnswer(answer); });
  return hooks;
}

std::string withTrustedHashes(std::string_view toml, const std::vector<ListedHook>& hooks) {
  std::string text(toml);
  for (const auto& hook : hooks) {
    const std::string header = "[hooks.state." + tomlString(hook.key) + "]";
    const std::string setting = "trusted_hash = " + tomlString(hook.currentHash);
    const auto lines = linesOf(text);
    std::optional<std::size_t> headerIndex;
    for (std::size_t index = 0; index < lines.size(); ++index) {
      const std::string_view line(text.data() + lines[index].begin,
                                  lines[index].end - lines[index].begin);
      if (trimmed(line) == header) {
        headerIndex = index;
        break;
      }
    }
    if (!headerIndex) {
      if (!text.empty() && !text.ends_with('\n')) {
        text += '\n';
      }
      if (!text.empty()) {
        text += '\n';
      }
      text += header + "\n" + setting + "\n";
      continue;
    }
    // Within the existing table: replace its trusted_hash line, or add one below the header.
    std::size_t insertAt = lines[*headerIndex].end;
    bool replaced = false;
    for (std::size_t index = *headerIndex + 1; index < lines.size(); ++index) {
      const std::string_view line(text.data() + lines[index].begin,
                                  lines[index].end - lines[index].begin);
      if (isTableHeader(line)) {
        break;
      }
      const auto key = trimmed(line);
      if (key.starts_with("trusted_hash") &&
          trimmed(key.substr(std::string_view("trusted_hash").size())).starts_with('=')) {
        const bool hadFeed = text[lines[index].end - 1] == '\n';
        text.replace(lines[index].begin, lines[index].end - lines[index].begin,
                     setting + (hadFeed ? "\n" : ""));
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      if (insertAt == text.size() && !text.ends_with('\n')) {
        text += '\n';
        insertAt = text.size();
      }
      text.insert(insertAt, setting + "\n");
    }
  }
  return text;
}

std::string withoutTrustedHashes(std::string_view toml, const std::vector<std::string>& keys) {
  std::string text(toml);
  const auto lineAt = [&](const Line& line) {
    return std::string_view(text.data() + line.begin, line.end - line.begin);
  };
  const auto isSetting = [](std::string_view line) {
    const auto key = trimmed(line);
    return key.starts_with("trusted_hash") &&
           trimmed(key.substr(std::string_view("trusted_hash").size())).starts_with('=');
  };
  for (const auto& key : keys) {
    const std::string header = "[hooks.state." + tomlString(key) + "]";
    const auto lines = linesOf(text);
    std::size_t headerIndex = 0;
    while (headerIndex < lines.size() && trimmed(lineAt(lines[headerIndex])) != header) {
      ++headerIndex;
    }
    if (headerIndex == lines.size()) {
      continue;
    }
    std::size_t end = headerIndex + 1;
    while (end < lines.size() && !isTableHeader(lineAt(lines[end]))) {
      ++end;
    }
    std::vector<std::size_t> settings;
    bool holdsMore = false;
    for (std::size_t index = headerIndex + 1; index < end; ++index) {
      if (isSetting(lineAt(lines[index]))) {
        settings.push_back(index);
      } else if (!trimmed(lineAt(lines[index])).empty()) {
        holdsMore = true;
      }
    }
    // Erase from the back so earlier offsets stay valid.
    std::vector<std::size_t> erased = settings;
    if (!holdsMore) {
      erased.insert(erased.begin(), headerIndex);
      if (headerIndex > 0 && trimmed(lineAt(lines[headerIndex - 1])).empty()) {
        erased.insert(erased.begin(), headerIndex - 1);
      }
    }
    for (auto index = erased.rbegin(); index != erased.rend(); ++index) {
      text.erase(lines[*index].begin, lines[*index].end - lines[*index].begin);
    }
  }
  return text;
}

bool recordsTrust(std::string_view toml, const std::vector<ListedHook>& hooks) {
  const toml::parse_result parsed = toml::parse(toml);
  if (!parsed) {
    return false;
  }
  const auto* states = parsed.table()["hooks"]["state"].as_table();
  return states != nullptr && std::all_of(hooks.begin(), hooks.end(), [&](const ListedHook& hook) {
           const auto hash = (*states)[hook.key]["trusted_hash"].value<std::string>();
           return hash && *hash == hook.currentHash;
         });
}

}  // namespace tarvel::CodexHookTrust
