#include "Tools/tarvel/Usage.hpp"

#include <algorithm>
#include <array>

namespace tarvel::Usage {
namespace {

constexpr std::string_view synopsisText =
    "usage: tarvel install | uninstall --agent claude-code|codex|gemini-cli|cursor [--dry-run] "
    "[--force] [--home DIR]\n"
    "       tarvel serve [--no-notify] [--notify-finished SECONDS] [--http [ADDRESS:]PORT]\n"
    "                    [--hold-without-answerers] [--history-rows N]\n"
    "       tarvel status [--json | --tmux]\n"
    "       tarvel log [--json] [-n N] [--agent AGENT] [--project NAME] [--since WHEN]\n"
    "       tarvel web [--no-open]\n"
    "       tarvel stop | restart [tarvel serve options]\n"
    "       tarvel config get [KEY] | set KEY VALUE | unset KEY | edit | path\n"
    "       tarvel service install | uninstall\n"
    "       tarvel remote add [USER@]HOST [--agent NAME ...] | list | remove HOST | status\n"
    "       tarvel container\n"
    "       tarvel doctor\n"
    "       tarvel --version | --help\n";

constexpr std::string_view commandsText =
    "\n"
    "Shows what your coding agents are doing: each agent runs tarvel-hook at every step, the hook\n"
    "tells the service (tarvel serve), and displays (tarvel-island, the web page, tarvel status)\n"
    "show what the service knows.\n"
    "\n"
    "install    copies tarvel-hook to ~/.tarvel/bin and adds its hook entries to one agent's\n"
    "           configuration; everything else in the file stays byte for byte, and the old\n"
    "           file is kept beside it. For Codex it also records that Codex trusts the hooks.\n"
    "           --dry-run prints the file as it would be and writes nothing; --force also\n"
    "           replaces a read-only configuration file\n"
    "uninstall  removes exactly the entries install added (same options)\n"
    "serve      runs the display service in the foreground (Ctrl-C stops it); desktop\n"
    "           notifications for prompts unless --no-notify, and for sessions that end after\n"
    "           running longer than SECONDS; --http also serves the web page and the API over\n"
    "           TCP (ADDRESS 127.0.0.1 unless given); a prompt is held only while a display,\n"
    "           web page or notification service can answer it, unless --hold-without-answerers\n"
    "           (for answers through the API from scripts). Its settings come from\n"
    "           ~/.config/tarvel/config.toml first; the options win over them\n"
    "log        how each prompt ended, newest first: when, agent, project, what was asked,\n"
    "           the outcome and where it came from (kept in ~/.tarvel/history.db for 90\n"
    "           days, at most --history-rows rows, 100000 unless given)\n"
    "status     one line from the running service: \"2 waiting · 3 working\"; --json gives the\n"
    "           counts, --tmux the line with tmux colours\n"
    "web        prints the web page's address with its token and opens it (the service must\n"
    "           run with --http; it says how to turn that on)\n"
    "stop       stops the running service; restart starts it again with the settings of\n"
    "           the configuration (both through systemd when its user unit runs the service)\n"
    "config     shows and changes the service's settings (tarvel config --help lists them)\n"
    "service    writes or removes the systemd user unit that keeps tarvel serve running\n"
    "remote     agents on another machine over your own ssh: add copies tarvel-hook there and\n"
    "           installs the hooks, serve keeps the host connected; list, remove, status\n"
    "container  prints the bind mounts and TARVEL_HOME a container needs (install --home DIR\n"
    "           puts the hooks into the container's home)\n"
    "doctor     when nothing shows up: checks each agent's hooks, the installed tarvel-hook and\n"
    "           the service, and says what to fix (exit status 1 when something is wrong)\n"
    "--version  prints the version\n";

constexpr auto fullText = [] {
  std::array<char, synopsisText.size() + commandsText.size()> text{};
  std::copy(synopsisText.begin(), synopsisText.end(), text.begin());
  std::copy(commandsText.begin(), commandsText.end(), text.begin() + synopsisText.size());
  return text;
}();

}  // namespace

std::string_view synopsis() { return synopsisText; }

std::string_view full() { return {fullText.data(), fullText.size()}; }

}  // namespace tarvel::Usage
