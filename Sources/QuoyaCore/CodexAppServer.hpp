#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"

// A client of the Codex program's app-server mode: JSON-RPC messages, one per line, over the
// program's standard input and output. Used for thread titles and for hook trust.
//
// Thread: runs on the calling thread and blocks it until the conversation ends, at most the
// deadline plus the termination grace. Never fails: every problem (a program that does not start,
// malformed output, error answers, a stalled, flooding or lingering program) means fewer answers.
// The program (its process group) is always ended and reaped before ask() returns.
namespace quoya::CodexAppServer {

// Who asks, as "initialize" tells Codex ("clientInfo").
struct Client {
  std::string name;
  std::string version;
};

struct Limits {
  std::chrono::milliseconds deadline{3000};
  std::size_t maximumOutputBytes = 4194304;  // what is read of the program at most
  std::size_t readChunkBytes = 16384;
  // How long a quiet program is waited for before looking whether it still runs.
  std::chrono::milliseconds readinessWait{100};
  // How long the program may take to exit after SIGTERM before it is killed.
  std::chrono::milliseconds terminationGrace{300};
};

// A request: "method" and "params"; ask() gives it its id.
struct Request {
  std::string method;
  tarvel::Json params;
};

// Runs `command` (the Codex program with "app-server", or a command that starts it elsewhere,
// such as through ssh; command[0] is looked up on PATH unless it holds a "/") with its standard
// error discarded, says "initialize" as `client` and, once that is answered without an error,
// "initialized" and then each of `requests`, with ids 2, 3, ... Hands the first answer to each
// request to `answered` with the request's index. Ends when every request is answered, the
// initialize is refused, the program closes its output or exits, the deadline passes or more
// than the maximum output was read.
void ask(const std::vector<std::string>& command, const Client& client,
         const std::vector<Request>& requests, const Limits& limits,
         const std::function<void(std::size_t, const tarvel::Json&)>& answered);

}  // namespace quoya::CodexAppServer
