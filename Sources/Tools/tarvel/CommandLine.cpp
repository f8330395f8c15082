#include "Tools/tarvel/CommandLine.hpp"

#include <algorithm>
#include <optional>

namespace tarvel::CommandLine {
namespace {

using Kind = UsageText::Kind;

// Characters as a terminal counts them: UTF-8 continuation bytes take no column.
std::size_t columns(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  }));
}

void addValue(const Option& option, UsagePiece& piece) {
  if (option.showWords && option.words != nullptr) {
    bool first = true;
    for (const Word& word : option.words()) {
      if (!first) {
        piece.push_back({"|", Kind::punctuation});
      }
      piece.push_back({word.name, Kind::literal});
      first = false;
    }
    return;
  }
  piece.push_back({std::string(option.value), Kind::placeholder});
}

UsagePiece operandPiece(const Operand& operand) {
  if (operand.optional) {
    return {{"[", Kind::punctuation},
            {std::string(operand.name), Kind::placeholder},
            {"]", Kind::punctuation}};
  }
  return {{std::string(operand.name), Kind::placeholder}};
}

// The option at `index` with the options after it that it excludes ("[--json | --tmux]");
// nothing for an option that an earlier one's piece holds.
std::optional<UsagePiece> optionPiece(std::span<const Option> options, std::size_t index) {
  if (index > 0 && options[index - 1].orNext) {
    return std::nullopt;
  }
  UsagePiece piece;
  if (!options[index].required) {
    piece.push_back({"[", Kind::punctuation});
  }
  for (std::size_t at = index; at < options.size(); ++at) {
    const Option& option = options[at];
    if (at > index) {
      piece.push_back({" | ", Kind::punctuation});
    }
    piece.push_back({std::string(option.name), Kind::literal});
    if (!option.value.empty()) {
      piece.push_back({" ", Kind::punctuation});
      addValue(option, piece);
    }
    if (option.repeatable) {
      piece.push_back({" ...", Kind::punctuation});
    }
    if (!option.orNext) {
      break;
    }
  }
  if (!options[index].required) {
    piece.push_back({"]", Kind::punctuation});
  }
  return piece;
}

void addOptions(std::span<const Option> options, std::vector<UsagePiece>& pieces) {
  for (std::size_t index = 0; index < options.size(); ++index) {
    if (auto piece = optionPiece(options, index)) {
      pieces.push_back(std::move(*piece));
    }
  }
}

std::string textOf(const UsagePiece& piece) {
  std::string text;
  for (const UsageText& part : piece) {
    text += part.text;
  }
  return text;
}

std::string operandUsage(const Operand& operand) { return textOf(operandPiece(operand)); }

}  // namespace

bool Reading::has(std::string_view option) const {
  return std::any_of(options.begin(), options.end(),
                     [&](const Given& given) { return given.option->name == option; });
}

std::vector<std::string_view> Reading::values(std::string_view option) const {
  std::vector<std::string_view> found;
  for (const Given& given : options) {
    if (given.option->name == option) {
      found.push_back(given.value);
    }
  }
  return found;
}

Result<Reading, ReadProblem> read(const Command& command,
                                  std::span<const std::string_view> arguments) {
  Reading reading;
  const auto problem = [&](ReadProblem::Kind kind, std::string_view word,
                           const Option* option = nullptr) {
    return ReadProblem{.kind = kind,
                       .command = &command,
                       .action = reading.action,
                       .option = option,
                       .word = std::string(word)};
  };
  std::size_t index = 0;
  std::span<const Operand> operands = command.operands;
  if (!command.actions.empty()) {
    if (arguments.empty()) {
      return problem(ReadProblem::Kind::missingAction, "");
    }
    const auto action =
        std::find_if(command.actions.begin(), command.actions.end(),
                     [&](const Action& candidate) { return candidate.name == arguments[0]; });
    if (action == command.actions.end()) {
      return problem(ReadProblem::Kind::unknownAction, arguments[0]);
    }
    reading.action = &*action;
    operands = action->operands;
    index = 1;
  }
  const auto optionNamed = [&](std::string_view name) -> const Option* {
    for (const auto options :
         {reading.action != nullptr ? reading.action->options : std::span<const Option>(),
          command.options}) {
      for (const Option& option : options) {
        if (option.name == name) {
          return &option;
        }
      }
    }
    return nullptr;
  };
  for (; index < arguments.size(); ++index) {
    const std::string_view argument = arguments[index];
    if (argument.size() < 2 || argument[0] != '-') {
      if (reading.operands.size() == operands.size()) {
        return problem(ReadProblem::Kind::unknownArgument, argument);
      }
      reading.operands.push_back(argument);
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string_view> attached;  // "--since=2h"
    if (const auto equals = argument.find('=');
        argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      attached = argument.substr(equals + 1);
    }
    const Option* option = optionNamed(name);
    if (option == nullptr || (option->value.empty() && attached)) {
      return problem(ReadProblem::Kind::unknownArgument, argument);
    }
    if (option->value.empty()) {
      reading.options.push_back({.option = option});
    } else if (attached) {
      reading.options.push_back({.option = option, .value = *attached});
    } else if (index + 1 < arguments.size()) {
      reading.options.push_back({.option = option, .value = arguments[++index]});
    } else {
      return problem(ReadProblem::Kind::missingValue, argument, option);
    }
  }
  const auto required = static_cast<std::size_t>(std::count_if(
      operands.begin(), operands.end(), [](const Operand& operand) { return !operand.optional; }));
  if (reading.operands.size() < required) {
    return problem(ReadProblem::Kind::missingOperand, operands[reading.operands.size()].name);
  }
  return reading;
}

std::string problemWords(const ReadProblem& problem) {
  switch (problem.kind) {
    case ReadProblem::Kind::unknownArgument:
      return "unknown argument: " + problem.word;
    case ReadProblem::Kind::missingValue:
      return problem.option->missing.empty() ? "unknown argument: " + problem.word
                                             : std::string(problem.option->missing);
    case ReadProblem::Kind::missingOperand:
      return "missing " + problem.word;
    case ReadProblem::Kind::missingAction:
      return "a subcommand is needed";
    case ReadProblem::Kind::unknownAction:
      return "unknown subcommand \"" + problem.word + "\"";
  }
  return "unknown argument: " + problem.word;
}

std::vector<UsagePiece> usagePieces(const Command& command) {
  std::vector<UsagePiece> pieces{{{"tarvel " + std::string(command.name), Kind::literal}}};
  for (const Action& action : command.actions) {
    if (&action != command.actions.data()) {
      pieces.push_back({{"|", Kind::punctuation}});
    }
    pieces.push_back({{std::string(action.name), Kind::literal}});
    for (const Operand& operand : action.operands) {
      pieces.push_back(operandPiece(operand));
    }
    addOptions(action.options, pieces);
  }
  for (const Operand& operand : command.operands) {
    pieces.push_back(operandPiece(operand));
  }
  if (!command.optionsShownAs.empty()) {
    pieces.push_back({{std::string(command.optionsShownAs), Kind::punctuation}});
  } else {
    addOptions(command.options, pieces);
  }
  return pieces;
}

std::string plainText(const std::vector<UsagePiece>& pieces) {
  std::string text;
  for (const UsagePiece& piece : pieces) {
    text += text.empty() ? "" : " ";
    text += textOf(piece);
  }
  return text;
}

std::string usage(const Command& command) { return plainText(usagePieces(command)); }

std::string usageLines(const Command& command, std::string_view lead) {
  std::vector<std::string> pieces;
  for (const UsagePiece& piece : usagePieces(command)) {
    pieces.push_back(textOf(piece));
  }
  const std::size_t indent = lead.size() + pieces.front().size() + 1;
  std::string text = std::string(lead) + pieces.front();
  std::size_t lineLength = columns(text);
  for (std::size_t index = 1; index < pieces.size(); ++index) {
    if (lineLength + 1 + columns(pieces[index]) > helpWidth) {
      text += "\n" + std::string(indent, ' ') + pieces[index];
      lineLength = indent + columns(pieces[index]);
    } else {
      text += " " + pieces[index];
      lineLength += 1 + columns(pieces[index]);
    }
  }
  return text + "\n";
}

std::string listing(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::size_t column = 0;
  for (const auto& [left, right] : entries) {
    column = std::max(column, columns(left) + 4);
  }
  std::string text;
  for (const auto& [left, right] : entries) {
    text += "  " + left + std::string(column - 2 - columns(left), ' ') +
            wrapped(right, helpWidth, column) + "\n";
  }
  return text;
}

std::string help(const Command& command) {
  std::string text = usageLines(command, "usage: ");
  if (!command.help.empty()) {
    text += "  " + wrapped(command.help, helpWidth, 2) + "\n";
  }
  std::vector<std::pair<std::string, std::string>> entries;
  for (const Action& action : command.actions) {
    std::string left(action.name);
    for (const Operand& operand : action.operands) {
      left += ' ';
      left += operandUsage(operand);
    }
    entries.emplace_back(std::move(left), std::string(action.help));
  }
  const auto addRows = [&](std::span<const Option> options) {
    for (const Option& option : options) {
      std::string right(option.help);
      if (option.showWords && option.words != nullptr) {
        right += ": " + listed(option.words());
      }
      entries.emplace_back(
          std::string(option.name) + (option.value.empty() ? "" : " " + std::string(option.value)),
          std::move(right));
    }
  };
  for (const Action& action : command.actions) {
    addRows(action.options);
  }
  addRows(command.options);
  text += listing(entries);
  if (command.moreHelp != nullptr) {
    text += command.moreHelp();
  }
  return text;
}

std::string listed(const std::vector<Word>& words, std::string_view last) {
  std::string text;
  for (std::size_t index = 0; index < words.size(); ++index) {
    if (index > 0) {
      text += index + 1 == words.size() ? " " + std::string(last) + " " : ", ";
    }
    text += words[index].name;
  }
  return text;
}

std::string wrapped(std::string_view text, std::size_t width, std::size_t indent) {
  std::string result;
  std::size_t lineLength = 0;  // columns on the current line, its indent included
  bool lineEmpty = true;
  const auto newLine = [&] {
    result += "\n" + std::string(indent, ' ');
    lineLength = indent;
    lineEmpty = true;
  };
  // The first line starts after whatever the caller put before it, `indent` wide.
  lineLength = indent;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == '\n') {
      newLine();
      ++at;
      continue;
    }
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    const std::size_t end = std::min(text.find_first_of(" \n", at), text.size());
    const std::string_view word = text.substr(at, end - at);
    if (!lineEmpty && lineLength + 1 + columns(word) > width) {
      newLine();
    }
    result += (lineEmpty ? "" : " ") + std::string(word);
    lineLength += (lineEmpty ? 0 : 1) + columns(word);
    lineEmpty = false;
    at = end;
  }
  return result;
}

}  // namespace tarvel::CommandLine
