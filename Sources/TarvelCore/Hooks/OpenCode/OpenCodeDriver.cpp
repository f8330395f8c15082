#include <string>

#include "TarvelCore/Hooks/AgentDrivers.hpp"

namespace tarvel {
namespace {

// The member `key` of `object` when it is a string; else empty.
std::string text(const Json& object, const char* key) {
  if (!object.is_object()) {
    return {};
  }
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

const Json& member(const Json& object, const char* key) {
  static const Json none;
  if (!object.is_object()) {
    return none;
  }
  const auto found = object.find(key);
  return found != object.end() ? *found : none;
}

// The text the user sent, from a chat message's parts: its text parts that the agent did not add
// itself, one after another.
std::string promptText(const Json& parts) {
  std::string prompt;
  if (!parts.is_array()) {
    return prompt;
  }
  for (const Json& part : parts) {
    if (text(part, "type") != "text" || member(part, "synthetic") == true) {
      continue;
    }
    prompt += (prompt.empty() ? "" : "\n") + text(part, "text");
  }
  return prompt;
}

// What an error of the agent says: its data's message, else its name.
std::string errorText(const Json& error) {
  std::string message = text(member(error, "data"), "message");
  return message.empty() ? text(error, "name") : message;
}

// The session, tool, call and input of a permission request (or of the reply to one, which the
// plugin hands on with its request's members).
void describeCall(const Json& properties, Json& document) {
  document["session_id"] = text(properties, "sessionID");
  document["tool_name"] = text(properties, "permission");
  if (std::string call = text(member(properties, "tool"), "callID"); !call.empty()) {
    document["tool_call_id"] = std::move(call);
  }
  Json toolInput = member(properties, "metadata").is_object() ? member(properties, "metadata")
                                                              : Json::object();
  const Json& patterns = member(properties, "patterns");
  if (!toolInput.contains("command") && text(properties, "permission") == "bash" &&
      patterns.is_array() && !patterns.empty() && patterns.front().is_string()) {
    toolInput["command"] = patterns.front();
  }
  document["tool_input"] = std::move(toolInput);
}

// The plugin hands the hook OpenCode's bus events as they come ({"type", "properties"}) and the
// handlers' calls as {"input", "output"} with the handler's name on the command line, each with
// the project's folder ("directory"). They become hook documents of the shared shape.
Json openCodeDocument(Json raw, const std::optional<std::string>& commandLineEvent) {
  std::string type = text(raw, "type");
  if (type.empty() && commandLineEvent) {
    type = *commandLineEvent;
  }
  const Json& properties = member(raw, "properties");
  const Json& input = member(raw, "input");
  const Json& output = member(raw, "output");
  Json document = Json::object();
  if (std::string directory = text(raw, "directory"); !directory.empty()) {
    document["cwd"] = std::move(directory);
  }
  if (type == "session.created") {
    const Json& info = member(properties, "info");
    std::string session = text(info, "id");
    document["session_id"] = session.empty() ? text(properties, "sessionID") : session;
    if (std::string directory = text(info, "directory"); !directory.empty()) {
      document["cwd"] = std::move(directory);
    }
    // A sub-agent works in a session of its own, made with its parent's id.
    if (std::string parent = text(info, "parentID"); !parent.empty()) {
      document["hook_event_name"] = "SubagentStart";
      document["parent_session_id"] = std::move(parent);
      if (std::string agent = text(info, "agent"); !agent.empty()) {
        document["agent_type"] = std::move(agent);
      }
    } else {
      document["hook_event_name"] = "SessionStart";
    }
  } else if (type == "chat.message") {
    document["hook_event_name"] = "UserPromptSubmit";
    document["session_id"] = text(input, "sessionID");
    document["prompt"] = promptText(member(output, "parts"));
  } else if (type == "tool.execute.before" || type == "tool.execute.after") {
    const bool before = type == "tool.execute.before";
    document["hook_event_name"] = before ? "PreToolUse" : "PostToolUse";
    document["session_id"] = text(input, "sessionID");
    document["tool_name"] = text(input, "tool");
    document["tool_call_id"] = text(input, "callID");
    const Json& arguments = before ? member(output, "args") : member(input, "args");
    if (arguments.is_object()) {
      document["tool_input"] = arguments;
    }
  } else if (type == "permission.asked") {
    // Asked only when OpenCode's own rules ask; "permission" names the tool ("bash", "edit"),
    // "metadata" what it would do, "patterns" what an "always" would cover.
    document["hook_event_name"] = "PermissionRequest";
    describeCall(properties, document);
  } else if (type == "permission.replied") {
    // The person answered OpenCode's own dialog while the hook waited on the request: the plugin
    // hands on the reply with the request it answers. Rejected, the agent refuses the call;
    // allowed ("once", "always"), the call starts now.
    const std::string reply = text(properties, "reply");
    if (reply != "reject" && reply != "once" && reply != "always") {
      return raw;
    }
    document["hook_event_name"] = reply == "reject" ? "PermissionDenied" : "PreToolUse";
    describeCall(properties, document);
  } else if (type == "session.idle") {
    document["hook_event_name"] = "Stop";
    document["session_id"] = text(properties, "sessionID");
  } else if (type == "session.error") {
    document["hook_event_name"] = "StopFailure";
    document["session_id"] = text(properties, "sessionID");
    if (std::string error = errorText(member(properties, "error")); !error.empty()) {
      document["error"] = std::move(error);
    }
  } else {
    return raw;
  }
  // A document without its session names none (the shared decoder then refuses it).
  if (document["session_id"] == "") {
    document.erase("session_id");
  }
  return document;
}

// `opencode run "two words"` sends the prompt with the quotes it was given.
std::string openCodeVisiblePrompt(std::string_view prompt) {
  if (prompt.size() >= 2 && prompt.front() == '"' && prompt.back() == '"') {
    prompt = prompt.substr(1, prompt.size() - 2);
  }
  return std::string(prompt);
}

// The plugin replies to the permission through OpenCode's client with this body: "once" or
// "reject".
Json openCodePermissionAnswer(Json decision) {
  return Json{{"response", decision.value("behavior", "") == "allow" ? "once" : "reject"}};
}

}  // namespace

constinit const AgentDriver AgentDrivers::openCode{
    .id = "opencode",
    .document = openCodeDocument,
    .visiblePrompt = openCodeVisiblePrompt,
    .permissionAnswer = openCodePermissionAnswer,
};

// Kilo is OpenCode's fork, with the same plugin events and answers.
constinit const AgentDriver AgentDrivers::kilo{
    .id = "kilo",
    .document = openCodeDocument,
    .visiblePrompt = openCodeVisiblePrompt,
    .permissionAnswer = openCodePermissionAnswer,
};

}  // namespace tarvel
