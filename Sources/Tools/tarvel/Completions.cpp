#include "Tools/tarvel/Completions.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <vector>

namespace tarvel::Completions {
namespace {

using CommandLine::Action;
using CommandLine::Command;
using CommandLine::Operand;
using CommandLine::Option;
using CommandLine::WordList;

// Where options and operands are read: a command, or one of its actions. `key` names it in the
// bash tables ("config" or "config set").
struct Scope {
  const Command* command = nullptr;
  const Action* action = nullptr;
  std::span<const Option> options;
  std::span<const Operand> operands;
  std::string key;
};

std::vector<const Command*> shown(std::span<const Command* const> commands) {
  std::vector<const Command*> listed;
  std::copy_if(commands.begin(), commands.end(), std::back_inserter(listed),
               [](const Command* command) { return !command->hidden; });
  return listed;
}

// The command itself, then each of its actions (whose options include the command's).
std::vector<Scope> scopesOf(const Command& command) {
  std::vector<Scope> scopes{{.command = &command,
                             .options = command.options,
                             .operands = command.operands,
                             .key = std::string(command.name)}};
  for (const Action& action : command.actions) {
    scopes.push_back({.command = &command,
                      .action = &action,
                      .options = action.options,
                      .operands = action.operands,
                      .key = std::string(command.name) + " " + std::string(action.name)});
  }
  return scopes;
}

// Each word list once, named after the first value or operand that uses it ("AGENT" gives
// "_tarvel_agents"), so that the other programs' completions can use it too.
struct NamedList {
  WordList words = nullptr;
  std::string name;
  std::string singular;  // "agent", for zsh's descriptions
};

std::vector<NamedList> namedLists(const std::vector<const Command*>& commands) {
  std::vector<NamedList> lists;
  const auto add = [&](WordList words, std::string_view valueName) {
    if (words == nullptr || std::any_of(lists.begin(), lists.end(), [&](const NamedList& list) {
          return list.words == words;
        })) {
      return;
    }
    std::string singular;
    for (const char character : valueName) {
      if (std::isalnum(static_cast<unsigned char>(character)) != 0) {
        singular += static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
      }
    }
    std::string name = "_tarvel_" + singular + "s";
    while (std::any_of(lists.begin(), lists.end(),
                       [&](const NamedList& list) { return list.name == name; })) {
      name += "_";
    }
    lists.push_back({.words = words, .name = name, .singular = singular});
  };
  for (const Command* command : commands) {
    for (const Scope& scope : scopesOf(*command)) {
      for (const Option& option : scope.options) {
        add(option.words, option.value);
      }
      for (const Operand& operand : scope.operands) {
        add(operand.words, operand.name);
      }
    }
  }
  return lists;
}

const NamedList& listOf(const std::vector<NamedList>& lists, WordList words) {
  return *std::find_if(lists.begin(), lists.end(),
                       [&](const NamedList& list) { return list.words == words; });
}

std::string joined(const std::vector<std::string>& parts, std::string_view between) {
  std::string text;
  for (const std::string& part : parts) {
    text += (text.empty() ? "" : std::string(between)) + part;
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// bash

std::string bashQuoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char character : text) {
    if (character == '"' || character == '\\' || character == '$' || character == '`') {
      quoted += '\\';
    }
    quoted += character;
  }
  return quoted + "\"";
}

// Completes from the tables above it. The command is the first word that is not an option, its
// action (when it has them) the next one; operands are counted past options and their values.
constexpr std::string_view bashFunction = R"BASH(
# Sets COMPREPLY to the words of $1 that start with $2, each after the prefix $3.
_tarvel_words() {
  mapfile -t COMPREPLY < <(compgen -P "${3-}" -W "$1" -- "$2")
}

_tarvel() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev='' prefix=''
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # The option whose value this word may be: the word before it, or the one before "=" (bash
  # splits "--agent=co" at "=" unless COMP_WORDBREAKS leaves "=" out).
  local option=$prev
  if [[ $cur == = ]]; then
    cur=''
  elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == --*=* ]]; then
    option=${cur%%=*} prefix=${cur%%=*}= cur=${cur#*=}
  fi

  local command='' action='' key='' operands=0 i=1 word
  while ((i < COMP_CWORD)) && [[ ${COMP_WORDS[i]} == -* ]]; do ((i++)); done
  if ((i < COMP_CWORD)) && [[ -n ${COMP_WORDS[i]} ]]; then
    command=${COMP_WORDS[i]} key=${COMP_WORDS[i]}
    ((i++))
    if [[ -n ${_tarvel_actions[$command]+set} ]] && ((i < COMP_CWORD)); then
      action=${COMP_WORDS[i]} key+=" ${COMP_WORDS[i]}"
      ((i++))
    fi
  fi
  for ((; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word != -* ]]; then
      ((operands++))
    elif [[ ${COMP_WORDS[i + 1]} == = ]]; then
      ((i += 2))
    elif [[ -n ${_tarvel_values["$key $word"]+set} || -n ${_tarvel_values["$command $word"]+set} ]]; then
      ((i++))
    fi
  done

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      _tarvel_words "--help --version" "$cur"
    else
      _tarvel_words "$_tarvel_command_names" "$cur"
    fi
    return
  fi
  if [[ -n ${_tarvel_actions[$command]+set} && -z $action ]]; then
    _tarvel_words "${_tarvel_actions[$command]}" "$cur"
    return
  fi
  local scope
  for scope in "$key" "$command"; do
    if [[ $option == -* && -n ${_tarvel_values["$scope $option"]+set} ]]; then
      _tarvel_words "${_tarvel_values["$scope $option"]}" "$cur" "$prefix"
      return
    fi
  done
  if [[ $cur != -* && -n ${_tarvel_operands["$key $operands"]+set} ]]; then
    _tarvel_words "${_tarvel_operands["$key $operands"]}" "$cur"
    return
  fi
  local options=${_tarvel_options[$key]-}
  [[ -n $action ]] && options+=" ${_tarvel_options[$command]-}"
  _tarvel_words "$options" "$cur"
}

complete -F _tarvel tarvel
)BASH";

// ---------------------------------------------------------------------------------------------
// zsh

// Single-quoted for zsh.
std::string zshQuoted(std::string_view text) {
  std::string quoted = "'";
  for (const char character : text) {
    quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
  }
  return quoted + "'";
}

// A text inside an _arguments entry, where brackets and colons are syntax.
std::string zshEscaped(std::string_view text) {
  std::string escaped;
  for (const char character : text) {
    if (character == '[' || character == ']' || character == ':' || character == '\\') {
      escaped += '\\';
    }
    escaped += character;
  }
  return escaped;
}

// "name:meaning" items for _describe.
std::string describeItems(const std::vector<std::pair<std::string, std::string>>& items,
                          std::string_view indent) {
  std::string text;
  for (const auto& [name, meaning] : items) {
    std::string escapedName;
    for (const char character : name) {
      escapedName += character == ':' ? std::string("\\:") : std::string(1, character);
    }
    text += std::string(indent) + zshQuoted(escapedName + ":" + meaning) + "\n";
  }
  return text;
}

std::string zshAction(const std::vector<NamedList>& lists, WordList words) {
  return words == nullptr ? " " : listOf(lists, words).name;
}

// The _arguments entries of a scope's options and operands.
std::vector<std::string> zshArgumentEntries(const Scope& scope,
                                            const std::vector<NamedList>& lists) {
  std::vector<std::string> entries;
  const auto addOptions = [&](std::span<const Option> options) {
    for (std::size_t index = 0; index < options.size(); ++index) {
      const Option& option = options[index];
      // Options that exclude each other, as their usage shows them: "[--json | --tmux]".
      std::vector<std::string> excluded;
      for (std::size_t at = index; at > 0 && options[at - 1].orNext; --at) {
        excluded.emplace_back(options[at - 1].name);
      }
      for (std::size_t at = index; at + 1 < options.size() && options[at].orNext; ++at) {
        excluded.emplace_back(options[at + 1].name);
      }
      std::string text = (excluded.empty() ? "" : "(" + joined(excluded, " ") + ")") +
                         (option.repeatable ? "*" : "") + std::string(option.name);
      if (!option.value.empty() && option.name.starts_with("--")) {
        text += "=";  // the value in the same word after "=", or in the next one
      }
      text += "[" + zshEscaped(option.help) + "]";
      if (!option.value.empty()) {
        text += ":" + zshEscaped(option.value) + ":" + zshAction(lists, option.words);
      }
      entries.push_back(zshQuoted(text));
    }
  };
  addOptions(scope.options);
  if (scope.action != nullptr) {
    addOptions(scope.command->options);
  }
  for (std::size_t index = 0; index < scope.operands.size(); ++index) {
    const Operand& operand = scope.operands[index];
    entries.push_back(zshQuoted(std::to_string(index + 1) + (operand.optional ? "::" : ":") +
                                zshEscaped(operand.name) + ":" + zshAction(lists, operand.words)));
  }
  return entries;
}

// The completion of one scope, at `indent`: _arguments with its entries, or a message
// when it takes nothing.
std::string zshArguments(const Scope& scope, const std::vector<NamedList>& lists,
                         const std::string& indent) {
  const std::vector<std::string> entries = zshArgumentEntries(scope, lists);
  if (entries.empty()) {
    return indent + "_message 'no more arguments'\n";
  }
  std::string text = indent + "_arguments";
  for (const std::string& entry : entries) {
    text += " \\\n" + indent + "  " + entry;
  }
  return text + " && ret=0\n";
}

// ---------------------------------------------------------------------------------------------
// roff

std::string roffEscaped(std::string_view text) {
  std::string escaped;
  for (const char character : text) {
    if (character == '-') {
      escaped += "\\-";
    } else if (character == '\\') {
      escaped += "\\e";
    } else if (character == ' ') {
      escaped += "\\~";  // a piece of the usage is not broken across lines
    } else if (character == '|') {
      // ...except after a bar of a long list of words ("claude-code|codex|..."), which would
      // not fit a line otherwise.
      escaped += "|\\:";
    } else {
      escaped += character;
    }
  }
  return escaped;
}

std::string roffPiece(const CommandLine::UsagePiece& piece) {
  std::string text;
  for (const CommandLine::UsageText& part : piece) {
    switch (part.kind) {
      case CommandLine::UsageText::Kind::literal:
        text += "\\fB" + roffEscaped(part.text) + "\\fP";
        break;
      case CommandLine::UsageText::Kind::placeholder:
        text += "\\fI" + roffEscaped(part.text) + "\\fP";
        break;
      case CommandLine::UsageText::Kind::punctuation:
        text += roffEscaped(part.text);
        break;
    }
  }
  return text;
}

}  // namespace

std::string bash(std::span<const Command* const> commands) {
  const std::vector<const Command*> listed = shown(commands);
  const std::vector<NamedList> lists = namedLists(listed);
  std::string text =
      "# bash completion for tarvel, tarvel-island, tarvel-monitor, tarvel-hook and "
      "QuoyaCodexHook.\n"
      "# Source it, or install it as bash-completion's \"tarvel\" (with links of that name for "
      "the other\n"
      "# programs, since bash-completion loads a file by the name of the command being "
      "completed).\n"
      "# tarvel's part, up to the other programs', is written by `tarvel completions bash` from "
      "the table\n"
      "# of tarvel's commands.\n\n"
      "# The words values and operands may be.\n";
  for (const NamedList& list : lists) {
    std::vector<std::string> names;
    for (const CommandLine::Word& word : list.words()) {
      names.push_back(word.name);
    }
    text += list.name + "=" + bashQuoted(joined(names, " ")) + "\n";
  }
  std::vector<std::string> names;
  std::string actions;
  std::string options;
  std::string values;
  std::string operands;
  for (const Command* command : listed) {
    names.emplace_back(command->name);
    if (!command->actions.empty()) {
      std::vector<std::string> actionNames;
      for (const Action& action : command->actions) {
        actionNames.emplace_back(action.name);
      }
      actions +=
          "  [" + bashQuoted(command->name) + "]=" + bashQuoted(joined(actionNames, " ")) + "\n";
    }
    for (const Scope& scope : scopesOf(*command)) {
      std::vector<std::string> optionNames;
      for (const Option& option : scope.options) {
        optionNames.emplace_back(option.name);
        if (!option.value.empty()) {
          values +=
              "  [" + bashQuoted(scope.key + " " + std::string(option.name)) + "]=" +
              (option.words == nullptr ? "\"\"" : "\"$" + listOf(lists, option.words).name + "\"") +
              "\n";
        }
      }
      if (!optionNames.empty()) {
        options +=
            "  [" + bashQuoted(scope.key) + "]=" + bashQuoted(joined(optionNames, " ")) + "\n";
      }
      for (std::size_t index = 0; index < scope.operands.size(); ++index) {
        const Operand& operand = scope.operands[index];
        operands +=
            "  [" + bashQuoted(scope.key + " " + std::to_string(index)) + "]=" +
            (operand.words == nullptr ? "\"\"" : "\"$" + listOf(lists, operand.words).name + "\"") +
            "\n";
      }
    }
  }
  text +=
      "\n# tarvel's commands; the actions of those that have them.\n"
      "_tarvel_command_names=" +
      bashQuoted(joined(names, " ")) + "\ndeclare -gA _tarvel_actions=(\n" + actions + ")\n" +
      "# The options of each command, and of each \"COMMAND ACTION\".\n"
      "declare -gA _tarvel_options=(\n" +
      options + ")\n" +
      "# The words the value of each \"COMMAND[ ACTION] OPTION\" may be; every option that "
      "takes a value\n# is here, with no words when there are none to offer.\n"
      "declare -gA _tarvel_values=(\n" +
      values + ")\n" +
      "# The words each operand may be, by \"COMMAND[ ACTION] INDEX\" (from 0).\n"
      "declare -gA _tarvel_operands=(\n" +
      operands + ")\n" + std::string(bashFunction);
  return text;
}

std::string zsh(std::span<const Command* const> commands) {
  const std::vector<const Command*> listed = shown(commands);
  const std::vector<NamedList> lists = namedLists(listed);
  std::string text =
      "#compdef tarvel tarvel-island tarvel-monitor tarvel-hook QuoyaCodexHook\n\n"
      "# zsh completion for tarvel and the other Tarvel programs; install it in a directory of "
      "$fpath.\n"
      "# tarvel's part, up to the other programs', is written by `tarvel completions zsh` from the "
      "table\n"
      "# of tarvel's commands.\n";
  for (const NamedList& list : lists) {
    std::vector<std::pair<std::string, std::string>> items;
    for (const CommandLine::Word& word : list.words()) {
      items.emplace_back(word.name, word.meaning);
    }
    text += "\n(( $+functions[" + list.name + "] )) ||\n" + list.name +
            "() {\n  local -a words\n  words=(\n" + describeItems(items, "    ") + "  )\n" +
            "  _describe -t " + list.singular + "s " + list.singular + " words\n}\n";
  }
  std::vector<std::pair<std::string, std::string>> commandItems;
  for (const Command* command : listed) {
    commandItems.emplace_back(command->name, command->summary);
  }
  text +=
      "\n(( $+functions[_tarvel_command] )) ||\n"
      "_tarvel_command() {\n"
      "  local curcontext=$curcontext state line ret=1\n"
      "  local -a commands\n"
      "  commands=(\n" +
      describeItems(commandItems, "    ") +
      "  )\n"
      "  _arguments -C \\\n"
      "    '(- *)--version[print the version]' \\\n"
      "    '(- *)'{-h,--help}'[print the help]' \\\n"
      "    '1:command:->command' \\\n"
      "    '*::argument:->argument' && ret=0\n"
      "  case $state in\n"
      "    command)\n"
      "      _describe -t commands 'tarvel command' commands && ret=0\n"
      "      ;;\n"
      "    argument)\n"
      "      curcontext=${curcontext%:*:*}:tarvel-$words[1]:\n"
      "      case $words[1] in\n";
  for (const Command* command : listed) {
    const std::vector<Scope> scopes = scopesOf(*command);
    text += "        " + std::string(command->name) + ")\n";
    if (command->actions.empty()) {
      text += zshArguments(scopes.front(), lists, "          ");
    } else {
      std::vector<std::pair<std::string, std::string>> actionItems;
      for (const Action& action : command->actions) {
        actionItems.emplace_back(action.name, action.help);
      }
      text +=
          "          if (( CURRENT == 2 )); then\n"
          "            local -a actions\n"
          "            actions=(\n" +
          describeItems(actionItems, "              ") +
          "            )\n"
          "            _describe -t actions " +
          zshQuoted(std::string(command->name) + " action") +
          " actions && ret=0\n"
          "          else\n"
          "            shift words\n"
          "            (( CURRENT-- ))\n"
          "            case $words[1] in\n";
      for (std::size_t index = 1; index < scopes.size(); ++index) {
        text += "              " + std::string(scopes[index].action->name) + ")\n" +
                zshArguments(scopes[index], lists, "                ") + "                ;;\n";
      }
      text +=
          "            esac\n"
          "          fi\n";
    }
    text += "          ;;\n";
  }
  text +=
      "      esac\n"
      "      ;;\n"
      "  esac\n"
      "  return ret\n"
      "}\n";
  return text;
}

std::string manSynopsis(std::span<const Command* const> commands) {
  std::string text =
      ".\\\" Written by `tarvel completions man` from the table of tarvel's commands.\n";
  for (const Command* command : shown(commands)) {
    const std::vector<CommandLine::UsagePiece> pieces = CommandLine::usagePieces(*command);
    text += ".SY tarvel\n\\fB" + roffEscaped(command->name) + "\\fP\n";
    // "\&" keeps a piece that ends in "." from ending a sentence, which roff follows with two
    // spaces.
    for (std::size_t index = 1; index < pieces.size(); ++index) {
      text += roffPiece(pieces[index]) + "\\&\n";
    }
    text += ".YS\n";
  }
  return text + ".SY tarvel\n\\fB\\-\\-version\\fP | \\fB\\-\\-help\\fP\n.YS\n";
}

}  // namespace tarvel::Completions
