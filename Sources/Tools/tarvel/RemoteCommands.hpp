#pragma once

#include "Tools/tarvel/CommandLine.hpp"

// `tarvel remote add [USER@]HOST [--agent NAME ...]`, `remote list`, `remote remove HOST` and
// `remote status`: agents on other Linux machines, reached with the user's own ssh (their keys,
// ~/.ssh/config, ProxyJump; $TARVEL_SSH_COMMAND replaces "ssh"). `add` copies the statically
// linked tarvel-hook to HOST:~/.tarvel/bin, puts the hook entries into the remote agents'
// configurations with the same text edit as `tarvel install` (the old file kept beside it), has
// the remote's Codex (when there is one) trust its new hooks, and records the host; `tarvel serve`
// then keeps the host connected (RemoteLinks.hpp), a running one from the moment it is recorded.
// Thread: runs on the calling thread; each ssh run is limited in time.
namespace tarvel::RemoteCommands {

// `tarvel remote`; its run's exit status: 0 done, 1 failed or refused (what is already written
// on the remote stays consistent: a configuration is replaced whole).
extern const CommandLine::Command command;

}  // namespace tarvel::RemoteCommands
