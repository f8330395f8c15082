#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"
#include "Tools/tarvel/CommandLine.hpp"

// The service's settings in ~/.config/tarvel/config.toml ($XDG_CONFIG_HOME/tarvel/config.toml):
// whoever starts `tarvel serve` (a person, tarvel-island, the systemd unit, tarvel restart) gets
// the same ones. Each setting is one `tarvel serve` option; options on the command line come
// after them and so win.
namespace tarvel::Configuration {

// One setting as the file holds it, under the key the file and `tarvel config` use.
struct Setting {
  std::string key;
  std::string value;  // as TOML writes it: "127.0.0.1:8787" quoted, true, 300
  bool operator==(const Setting&) const = default;
};

// Where the file is: $XDG_CONFIG_HOME/tarvel/config.toml when that is an absolute path,
// else ~/.config/tarvel/config.toml.
std::filesystem::path path();

// The settings of the file at `file` in the file's order (none when there is no file). A file
// that is not TOML, has an unknown key or a value of the wrong kind is refused with one line for
// the user that names the file, the line and the column ("config.toml:3:8: ...").
Result<std::vector<Setting>, std::string> load(const std::filesystem::path& file);

// The whole settings file (at most 64 KiB, a regular file); absent when there is none, the message
// when it cannot be read.
Result<std::optional<std::string>, std::string> readFile(const std::filesystem::path& file);

// The `tarvel serve` options that the settings stand for, in order: http = "8787" gives
// "--http 8787", notify = false "--no-notify", notify_finished = 300 "--notify-finished 300",
// hold_without_answerers = true "--hold-without-answerers".
std::vector<std::string> serveArguments(const std::vector<Setting>& settings);

// How long the service holds a prompt, as the settings file says (the default when it says
// nothing or cannot be read: the service then refuses to start and says why).
int holdSeconds();

// `tarvel config get [KEY] | set KEY VALUE | unset KEY | edit | path`.
extern const CommandLine::Command command;

}  // namespace tarvel::Configuration
