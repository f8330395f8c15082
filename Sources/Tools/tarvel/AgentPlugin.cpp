#include "Tools/tarvel/AgentPlugin.hpp"

#include <nlohmann/json.hpp>

namespace tarvel::AgentPlugin {
namespace {

// The module after its constants. Handlers named in HANDLERS are the agent's keyed plugin hooks,
// called with (input, output) and awaited by the agent: they only queue the hook's run. Every
// other name is a bus event, which the agent hands to `event` without waiting for it.
constexpr std::string_view body = R"JS(
const HANDLERS = ["chat.message", "tool.execute.before", "tool.execute.after"]
const OUTPUT_LIMIT = 65536

export const TarvelPlugin = async (context) => {
  const client = context && context.client
  const directory = (context && (context.directory || context.worktree)) || process.cwd()
  let spawn = null
  try {
    spawn = (await import("node:child_process")).spawn
  } catch {}
  // The hook runs one at a time, in the agent's order, so the display sees the steps as they
  // came; only a permission's wait goes on beside the later ones.
  let queue = Promise.resolve()
  const later = (work) => {
    queue = queue.then(work).catch(() => {})
  }
  // Permissions the hook waits on, by the agent's request id: the waiting run and the request.
  const waiting = new Map()

  // Runs the hook with `document` on its standard input; resolves with what it printed, or null
  // when it could not run, failed or ran past `limit` ms (it is then stopped). Never rejects.
  const run = (document, event, limit, started) =>
    new Promise((resolve) => {
      let done = false
      const finish = (value) => {
        if (!done) {
          done = true
          clearTimeout(timer)
          resolve(value)
        }
      }
      const timer = setTimeout(() => {
        try { child && child.kill("SIGKILL") } catch {}
        finish(null)
      }, limit)
      let child = null
      try {
        // The shell gives way to the hook, so that the agent is its parent and stopping it stops
        // the hook.
        const line = "exec " + COMMAND + (event ? " --event " + event : "")
        child = spawn("/bin/sh", ["-c", line], { cwd: directory, stdio: ["pipe", "pipe", "ignore"] })
      } catch {
        finish(null)
        return
      }
      let output = ""
      child.on("error", () => finish(null))
      child.stdout.on("error", () => {})
      child.stdin.on("error", () => {})
      child.stdout.on("data", (chunk) => {
        if (output.length < OUTPUT_LIMIT) output += chunk
      })
      child.on("close", (code) => finish(code === 0 ? output : null))
      if (started) started(child)
      try {
        child.stdin.end(JSON.stringify({ ...document, directory }))
      } catch {
        try { child.kill("SIGKILL") } catch {}
        finish(null)
      }
    })

  // The hook's answer to a permission, given to the agent: "once" or "reject" (absent: the agent's
  // own dialog answers).
  const reply = async (request, printed) => {
    let response = null
    try {
      response = JSON.parse(printed || "{}").response
    } catch {}
    if (!["once", "reject", "always"].includes(response) || !client) return
    const call = client.postSessionIdPermissionsPermissionId({
      path: { id: request.sessionID, permissionID: request.id },
      body: { response },
    })
    // A request answered at the agent's own dialog first is gone: the late reply is refused.
    await Promise.race([Promise.resolve(call).catch(() => {}), new Promise((r) => setTimeout(r, 10000))])
  }

  const ask = (event) => {
    const request = (event && event.properties) || {}
    if (!request.id) return
    later(
      () =>
        new Promise((started) => {
          const answered = run(event, null, WAIT_LIMIT, (child) => {
            waiting.set(request.id, { child, request })
            started()
          })
          answered.then((printed) => {
            const ran = waiting.delete(request.id)
            started()
            if (ran) return reply(request, printed)
          }).catch(() => {})
        }),
    )
  }

  // Answered at the agent's own dialog while the hook waits: the reply goes to the display first,
  // with the request it answers (its tool call), so that the prompt ends as the person answered
  // it; then the waiting hook stops (its output closes) and withdraws the prompt, if the display
  // has not let it go already. A reply to a request the hook does not wait on (one the hook
  // answered) is not handed on.
  const answeredElsewhere = (event) => {
    const replied = (event && event.properties) || {}
    const held = waiting.get(replied.requestID)
    if (!held) return
    waiting.delete(replied.requestID)
    const { child, request } = held
    const letGo = () => {
      try { child.stdout.destroy() } catch {}
      setTimeout(() => {
        try { child.kill("SIGKILL") } catch {}
      }, 5000).unref()
    }
    const reply = {
      type: event.type,
      properties: { ...replied, sessionID: replied.sessionID || request.sessionID,
                    permission: request.permission, patterns: request.patterns,
                    metadata: request.metadata, tool: request.tool },
    }
    later(() => run(reply, null, PASSIVE_LIMIT).then(letGo, letGo))
  }

  const hooks = {
    event: async ({ event } = {}) => {
      try {
        if (!spawn || !event) return
        if (event.type === "permission.replied") return answeredElsewhere(event)
        if (event.type === WAITING_EVENT) return ask(event)
        if (EVENTS.includes(event.type)) later(() => run(event, null, PASSIVE_LIMIT))
      } catch {}
    },
  }
  for (const name of HANDLERS) {
    if (!EVENTS.includes(name)) continue
    hooks[name] = async (input, output) => {
      try {
        if (!spawn) return
        // After a tool, only the call matters, not what it printed.
        const shown = name === "tool.execute.after" ? { title: output && output.title } : output
        const document = JSON.parse(JSON.stringify({ input, output: shown }))
        later(() => run(document, name, PASSIVE_LIMIT))
      } catch {}
    }
  }
  return hooks
}
)JS";

}  // namespace

std::string text(const AgentRow& agent, std::string_view command, int waitingSeconds,
                 int passiveSeconds) {
  nlohmann::json events = nlohmann::json::array();
  std::string waitingEvent;
  for (const HookEntry& entry : agent.hookEntries) {
    events.push_back(std::string(entry.event));
    if (entry.limit == HookTimeLimit::waiting) {
      waitingEvent = entry.event;
    }
  }
  std::string written(firstLine);
  written += "\n// " + std::string(agent.displayName) +
             " loads it from its plugin folder; every export must be a plugin function.\n";
  written += "const COMMAND = " + nlohmann::json(std::string(command)).dump() + "\n";
  written += "const EVENTS = " + events.dump() + "\n";
  written += "const WAITING_EVENT = " + nlohmann::json(waitingEvent).dump() + "\n";
  written += "const WAIT_LIMIT = " + std::to_string(waitingSeconds * 1000) + "\n";
  written += "const PASSIVE_LIMIT = " + std::to_string(passiveSeconds * 1000) + "\n";
  written += body;
  return written;
}

std::optional<int> waitingLimitSeconds(std::string_view text) {
  constexpr std::string_view key = "\nconst WAIT_LIMIT = ";
  const auto found = text.find(key);
  if (found == std::string_view::npos) {
    return std::nullopt;
  }
  long long milliseconds = 0;
  std::size_t index = found + key.size();
  std::size_t digits = 0;
  for (; index < text.size() && text[index] >= '0' && text[index] <= '9' && digits < 12;
       ++index, ++digits) {
    milliseconds = milliseconds * 10 + (text[index] - '0');
  }
  if (digits == 0) {
    return std::nullopt;
  }
  return static_cast<int>(milliseconds / 1000);
}

bool isOurs(std::string_view text) { return text.starts_with(firstLine); }

}  // namespace tarvel::AgentPlugin
