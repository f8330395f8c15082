#include "TarvelDisplay/Notifications/TmuxPane.hpp"

#include <chrono>

#include "TarvelCore/Platform/Spawn.hpp"

namespace tarvel::Display::TmuxPane {

bool isOnScreen(const std::string& socket, const std::string& pane) {
  const auto asked = Spawn::collect({"tmux", "-S", socket, "display-message", "-p", "-t", pane,
                                     "#{pane_active}#{window_active}#{?session_attached,1,0}"},
                                    {}, std::chrono::seconds(2), 64);
  return asked && !asked->timedOut && asked->ending.exitStatus == 0 && asked->output == "111\n";
}

}  // namespace tarvel::Display::TmuxPane
