#pragma once

#include <filesystem>

// Where the reply socket lives by default.
namespace tarvel::AgentReplySocketLocation {

// "~/.tarvel/reply.sock", beside the default event socket. A reply server at exactly this path
// forces its directory to 0700.
std::filesystem::path defaultURL();

}  // namespace tarvel::AgentReplySocketLocation
