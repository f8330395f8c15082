#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"

// How `tarvel`'s subcommands are declared, read and described. Each subcommand is one `Command`
// (its name, what it says, its options, operands and actions, the function that runs it), kept
// beside its code and listed in one table (Commands.hpp). From the declaration come the reading
// of the command line, `tarvel NAME --help`, the usage shown on a refusal, the shells'
// completions and the manual page's synopsis (Completions.hpp), so none of them is written twice.
// Declarations are constants; everything here is pure and may be used from any thread.
namespace tarvel::CommandLine {

// A word a value or an operand may be, with what it stands for (zsh shows that beside it).
struct Word {
  std::string name;
  std::string meaning;
};

// The words a value may be, computed when asked (from the agent table, the settings' keys, the
// command table), so that no list of them is kept by hand.
using WordList = std::vector<Word> (*)();

// An option: a flag ("--dry-run") or an option with a value ("--since WHEN", which a long option
// also takes as "--since=WHEN"; the value is the next word whatever it is).
struct Option {
  std::string_view name;   // "--since", "-n"
  std::string_view value;  // what the usage calls the value ("WHEN"); empty: a flag
  std::string_view help;   // what it does, one sentence without a full stop
  WordList words = nullptr;
  bool showWords = false;   // the usage shows the words ("claude-code|codex") instead of `value`
  bool required = false;    // the usage shows it without brackets
  bool repeatable = false;  // "[--agent AGENT ...]"
  bool orNext = false;      // it and the next option exclude each other: "[--json | --tmux]"
  // What is said when the value is missing; empty: the option counts as an unknown argument.
  std::string_view missing;
};

// A word the command takes in place rather than after an option: the HOST of `remote remove`.
struct Operand {
  std::string_view name;  // as the usage shows it: "[USER@]HOST", "KEY"
  WordList words = nullptr;
  bool optional = false;  // "[KEY]"; only the last operands may be optional
};

// A command's first word when it has several things to do: `config set KEY VALUE`.
struct Action {
  std::string_view name;
  std::string_view help;  // what it does, one sentence without a full stop
  std::span<const Operand> operands;
  std::span<const Option> options;
};

struct Command;

// What was read from a command line the declaration accepts.
struct Reading {
  struct Given {
    const Option* option = nullptr;
    std::string_view value;  // empty for a flag
  };
  const Action* action = nullptr;  // set when the command has actions
  std::vector<Given> options;      // in the order given
  std::vector<std::string_view> operands;

  bool has(std::string_view option) const;
  // Every value given to `option`, in order.
  std::vector<std::string_view> values(std::string_view option) const;
};

// Why a command line was refused.
struct ReadProblem {
  enum class Kind {
    unknownArgument,  // `word` is no option of the command, or one operand too many
    missingValue,     // `option` ends the line without its value
    missingOperand,   // `word` names the first operand not given
    missingAction,    // the command needs an action and none was given
    unknownAction,    // `word` is no action of the command
  };
  Kind kind = Kind::unknownArgument;
  const Command* command = nullptr;
  const Action* action = nullptr;  // when the action was read
  const Option* option = nullptr;  // for missingValue
  std::string word;
};

// One run of a command. Borrows everything; lives for the call of `run`.
struct Invocation {
  const Command& command;
  std::span<const std::string_view> arguments;  // after the command's name
  const Reading& reading;
  std::ostream& out;
  std::ostream& err;
};

struct Command {
  std::string_view name;
  std::string_view summary;  // one line: what `tarvel --help` and the shells say of it
  std::string_view help;     // what `tarvel NAME --help` says under the usage
  std::span<const Option> options;
  std::span<const Operand> operands;
  std::span<const Action> actions;  // when not empty, one of them is the first word
  // Shown in the usage in place of the options ("[tarvel serve options]").
  std::string_view optionsShownAs;
  // Runs the command with a reading the declaration accepted; the process's exit status.
  int (*run)(const Invocation&) = nullptr;
  // What is written to the error stream when the reader refuses the command line (exit status
  // 2); nullptr: "tarvel NAME: " with problemWords(), then help().
  std::string (*refusal)(const ReadProblem&) = nullptr;
  // Appended to help(): what is computed, such as the configuration's keys.
  std::string (*moreHelp)() = nullptr;
  bool hidden = false;  // left out of `tarvel --help`, the completions and the manual
};

// Reads `arguments` (those after the command's name) as `command` declares them. Help options are
// not options here: the dispatcher answers them before reading.
Result<Reading, ReadProblem> read(const Command& command,
                                  std::span<const std::string_view> arguments);

// "unknown argument: X", or the option's own words for a missing value.
std::string problemWords(const ReadProblem& problem);

// A part of a usage, as the manual sets it apart: a word typed as it is ("--since"), a name that
// stands for a value ("WHEN"), or punctuation ("[", " | ").
struct UsageText {
  enum class Kind { literal, placeholder, punctuation };
  std::string text;
  Kind kind = Kind::literal;
};
using UsagePiece = std::vector<UsageText>;

// The usage in pieces that a line break may separate: "tarvel NAME", then each option (with its
// alternatives), operand, action name and the "|" between actions.
std::vector<UsagePiece> usagePieces(const Command& command);

// The pieces' texts, one space between pieces.
std::string plainText(const std::vector<UsagePiece>& pieces);

// The command's usage without "usage: ": "tarvel status [--json | --tmux]".
std::string usage(const Command& command);

// The usage wrapped to the width of the help texts, every line after the first indented to
// stand under the command's first argument; `lead` ("usage: ", or as many spaces) comes first.
std::string usageLines(const Command& command, std::string_view lead);

// Everything `tarvel NAME --help` prints: the usage, the help text, the options and actions.
std::string help(const Command& command);

// Rows of a help listing: each name, then what it is, filled in and aligned beside the names.
std::string listing(const std::vector<std::pair<std::string, std::string>>& entries);

// "a, b, c or d".
std::string listed(const std::vector<Word>& words, std::string_view last = "or");

// `text` filled into lines of at most `width` characters (a longer word stands alone), each after
// `indent` spaces but the first; a line break in `text` starts a new line.
std::string wrapped(std::string_view text, std::size_t width, std::size_t indent);

// The width help texts are filled to.
inline constexpr std::size_t helpWidth = 96;

}  // namespace tarvel::CommandLine
