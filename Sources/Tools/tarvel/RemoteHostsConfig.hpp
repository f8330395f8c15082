#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"
#include "TarvelDisplay/Remote/RemoteHosts.hpp"

// The remote hosts of `tarvel remote add`, kept in the settings file (Configuration.hpp) as one
// table per host:
//
//   [remotes."dev@devbox"]
//   home = "/home/dev"
//   agents = ["claude-code", "codex"]
//
// Written as a text edit: adding a host appends its table, removing one takes out its header and
// key lines (and the blank line before the header), changing one rewrites them in place; every
// other byte (comments, settings, other tables) stays. Each edit is read back with a TOML reader
// before it is written, and refused when the file would then say anything else than intended.
// Hosts of the older "remotes.json" in Tarvel's directory are moved in once.
// Thread: any; blocks on file reads and writes.
namespace tarvel::RemoteHostsConfig {

using Display::RemoteHosts::Host;

// The hosts the settings text `text` of `file` records, in the file's order; the text for the
// user (naming the file, line and column) when it is not TOML or `remotes` is not a table of
// host tables.
Result<std::vector<Host>, std::string> parse(std::string_view text,
                                             const std::filesystem::path& file);

// The hosts recorded in `file` (none when there is no file).
Result<std::vector<Host>, std::string> read(const std::filesystem::path& file);

// A settings file's whole text.
struct SettingsText {
  std::string text;
};

// `text` edited so that it records exactly `hosts`; the reason when that cannot be done without
// disturbing the rest (a host written as an inline table, a TOML error).
Result<SettingsText, std::string> withHosts(std::string_view text, const std::vector<Host>& hosts,
                                            const std::filesystem::path& file);

// Records exactly `hosts` in `file`, replacing it atomically; the text for the user on failure.
[[nodiscard]] std::optional<std::string> write(const std::filesystem::path& file,
                                               const std::vector<Host>& hosts);

// Moves the hosts of `oldFile` (remotes.json) into `file`, adding those not recorded there, and
// removes `oldFile` once `file` reads back with every one of them. Nothing to do without
// `oldFile`. The text for the user when it cannot (then both files stay as they were).
[[nodiscard]] std::optional<std::string> moveOldRecords(const std::filesystem::path& oldFile,
                                                        const std::filesystem::path& file,
                                                        std::ostream& out);

}  // namespace tarvel::RemoteHostsConfig
