#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Result.hpp"

// How an address that holds the page's token reaches a browser: through a private local page
// that leads on to it, never on a command line. Used by `tarvel web` and a notification's Open.
namespace tarvel::Display::OpenPage {

// Writes `directory`/open.html (0600, replaced whole): a page that sends the browser on to
// `address`. An address that holds the token is given to a browser this way, as the file's
// address, so that the token never appears on a command line, where any user of the machine could
// read it. Returns the file, or why it could not be written.
Result<std::filesystem::path, std::string> write(const std::filesystem::path& directory,
                                                 std::string_view address);

// The address of a local file ("file:///…"), percent-encoded where a byte may not stand as it is.
std::string fileAddress(const std::filesystem::path& file);

}  // namespace tarvel::Display::OpenPage
