#pragma once

#include <string>

// Whether a tmux pane is in front of a person right now: the active pane of the active window of
// a session that a client is attached to. Asked of the pane's own tmux server.
namespace tarvel::Display::TmuxPane {

// Runs `tmux -S socket display-message` for `pane` ("%3"), giving it at most two seconds; false
// when tmux is missing, the server or pane is gone, or it does not answer in time. Blocks the
// caller; the child is always reaped.
bool isOnScreen(const std::string& socket, const std::string& pane);

}  // namespace tarvel::Display::TmuxPane
