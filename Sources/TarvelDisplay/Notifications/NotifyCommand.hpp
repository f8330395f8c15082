#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "TarvelCore/Platform/WorkQueue.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

// Runs the person's own command (the `notify_command` setting, by /bin/sh -c) for each prompt
// that starts to wait and each that ends, so that any channel (a chat, mail) can be told: one
// JSON document on its standard input, the prompt as /v1/state lists it or its ending as
// endedPrompts lists it, plus "event": "waiting" or "ended". Each run is bounded: a command still
// running after `limit` has its process group killed. Commands run one at a time on a thread of
// the channel's own, never the service's; while one runs, the revisions published meanwhile are
// looked at together afterwards (a prompt that came and went meanwhile gets only its "ended").
// A failure (cannot start, a status other than 0, killed at the limit) is logged once ("notify")
// until a run succeeds again. Prompts and endings already there when the channel starts are not
// told.
// Thread: start() and stop() from one thread; `hub` must outlive the channel. stop() lets a
// command that runs finish (it is killed at its limit anyway) and tells no further ones.
class NotifyCommand {
 public:
  static constexpr std::chrono::seconds defaultLimit{5};

  NotifyCommand(const StateHub& hub, std::string command,
                std::chrono::milliseconds limit = defaultLimit);
  ~NotifyCommand();
  NotifyCommand(const NotifyCommand&) = delete;
  NotifyCommand& operator=(const NotifyCommand&) = delete;

  void start();
  void stop();

 private:
  void run();
  // Runs the command with `document`; false when it failed.
  bool tell(const std::string& document);

  const StateHub& hub;
  std::string command;
  std::chrono::milliseconds limit;
  std::atomic<bool> stopping{false};
  LabeledThread thread;
};

}  // namespace tarvel::Display
