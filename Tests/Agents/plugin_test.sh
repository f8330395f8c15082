#!/usr/bin/env bash
# The plugin tarvel install writes for OpenCode and Kilo, loaded by Node as the agents load it,
# with stand-ins for the hook program and for the agent's client:
# - each event it is given reaches the hook in the agent's order, with the project's folder, and a
#   handler's call names its handler on the hook's command line;
# - the hook's answer to a permission goes to the client as the request's reply;
# - without the hook program, with one that fails, hangs or prints nonsense, and with a client
#   that throws, every handler still returns at once, nothing is thrown, and a hung hook is
#   stopped at its limit with no reply;
# - a permission answered at the agent's own dialog first: the reply reaches the hook, with the
#   request it answers, before the waiting hook is let go; a reply to a request the hook answered
#   itself is not handed on.
# Exit 77 (skipped) without node.
# Usage: plugin_test.sh <bin directory>
set -u
bin=$1
command -v node >/dev/null 2>&1 || { echo "SKIP: node is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"
unset XDG_CONFIG_HOME
mkdir -p "$HOME/proj"
"$bin/tarvel" install --agent opencode --dry-run >"$work/plugin.mjs" 2>/dev/null ||
  { echo "FAIL: tarvel install --dry-run"; exit 1; }
# Short limits, so that a hung hook is given up on within the test.
sed -i 's/^const WAIT_LIMIT = .*/const WAIT_LIMIT = 3000/; s/^const PASSIVE_LIMIT = .*/const PASSIVE_LIMIT = 2000/' \
  "$work/plugin.mjs"
relay="$HOME/.tarvel/bin/tarvel-hook"
mkdir -p "$(dirname "$relay")"

node --input-type=module - "$work" "$relay" <<'JS'
import { writeFileSync, readFileSync, existsSync, readdirSync, rmSync, chmodSync } from "node:fs"
const [work, relay] = process.argv.slice(2)
const failures = []
const check = (ok, what) => { if (!ok) failures.push(what) }
const sleep = (ms) => new Promise((r) => setTimeout(r, ms))
const until = async (test, what) => {
  for (let i = 0; i < 600; i++) { if (test()) return true; await sleep(100) }
  failures.push("never: " + what + " (runs: " + runs().join(",") + ")")
  return false
}
process.on("unhandledRejection", (e) => failures.push("unhandled rejection: " + e))
process.on("uncaughtException", (e) => failures.push("uncaught exception: " + e))

// A stand-in for the hook program: records each run (its arguments and document) and behaves
// as `mode` says.
const log = work + "/runs"
const hook = (mode) => {
  rmSync(log, { recursive: true, force: true })
  writeFileSync(relay, `#!/bin/sh
mkdir -p '${log}'
f='${log}'/$(date +%s%N)
printf '%s\\n' "$*" > "$f.args"
cat > "$f.json"
grep -q permission.asked "$f.json" || exit 0
case '${mode}' in
  once) printf '{"response":"once"}' ;;
  nonsense) printf 'not json' ;;
  fail) exit 3 ;;
  hang) echo $$ > '${log}'/permission.pid; exec sleep 1000 ;;
esac
exit 0
`)
  chmodSync(relay, 0o755)
}
const runs = () => existsSync(log) ? readdirSync(log).filter((f) => f.endsWith(".json")).sort() : []
const run = (name) => JSON.parse(readFileSync(log + "/" + name, "utf8"))
const args = (name) => readFileSync(log + "/" + name.replace(".json", ".args"), "utf8").trim()
const alive = (pid) => { try { process.kill(pid, 0); return true } catch { return false } }

const replies = []
const client = (behaviour) => ({
  postSessionIdPermissionsPermissionId: (request) => {
    replies.push(request)
    if (behaviour === "throws") throw new Error("client down")
    if (behaviour === "rejects") return Promise.reject(new Error("404"))
    return Promise.resolve({ data: true })
  },
})
const { TarvelPlugin } = await import(work + "/plugin.mjs")
const directory = process.env.HOME + "/proj"
const asked = { id: "e1", type: "permission.asked",
  properties: { id: "per_1", sessionID: "ses_1", permission: "bash", patterns: ["touch x"],
                metadata: { command: "touch x" }, always: ["touch *"],
                tool: { messageID: "msg_1", callID: "c1" } } }
const turn = async (plugin) => {
  await plugin.event({ event: { type: "session.created", properties: { sessionID: "ses_1", info: { id: "ses_1" } } } })
  await plugin["chat.message"]({ sessionID: "ses_1" }, { parts: [{ type: "text", text: "RUN_TOUCH" }] })
  await plugin["tool.execute.before"]({ tool: "bash", sessionID: "ses_1", callID: "c1" }, { args: { command: "touch x" } })
  await plugin.event({ event: asked })
  await plugin.event({ event: { type: "message.updated", properties: {} } })  // not handed on
  await plugin["tool.execute.after"]({ tool: "bash", sessionID: "ses_1", callID: "c1", args: { command: "touch x" } },
                                     { title: "touch x", output: "x".repeat(100000) })
  await plugin.event({ event: { type: "session.idle", properties: { sessionID: "ses_1" } } })
}

// 1. In order, with the folder; the handler named; the answer given to the client.
hook("once")
await turn(await TarvelPlugin({ client: client("ok"), directory }))
await until(() => runs().length === 6 && replies.length === 1, "six runs and a reply")
const seen = runs().map(run)
// The permission's run goes on beside the later ones; the others come one after another.
const names = seen.map((d, i) => d.type || args(runs()[i]).split(" ").pop())
check(JSON.stringify(names.filter((name) => name !== "permission.asked")) ===
      JSON.stringify(["session.created", "chat.message", "tool.execute.before", "tool.execute.after", "session.idle"]) &&
      names.indexOf("permission.asked") > names.indexOf("tool.execute.before"),
      "the runs' order: " + names.join(" "))
check(seen.every((d) => d.directory === directory), "every document carries the folder")
check(args(runs()[0]) === "--provider opencode", "a bus event's arguments: " + args(runs()[0]))
check(args(runs()[2]) === "--provider opencode --event tool.execute.before", "a handler's arguments: " + args(runs()[2]))
check(JSON.stringify(seen[names.indexOf("tool.execute.after")].output) === JSON.stringify({ title: "touch x" }),
      "what a tool printed is left out")
check(JSON.stringify(replies[0]) === JSON.stringify({ path: { id: "ses_1", permissionID: "per_1" }, body: { response: "once" } }),
      "the reply: " + JSON.stringify(replies[0]))

// 2. No hook program, one that fails, one that prints nonsense, a client that throws or rejects:
// handlers return, nothing is thrown, nothing is replied.
for (const [mode, behaviour] of [["missing", "ok"], ["fail", "throws"], ["nonsense", "rejects"], ["once", "throws"], ["once", "rejects"]]) {
  replies.length = 0
  if (mode === "missing") rmSync(relay, { force: true }); else hook(mode)
  await turn(await TarvelPlugin({ client: client(behaviour), directory }))
  if (mode !== "missing") await until(() => runs().length === 6, mode + ": six runs")
  await sleep(500)
  check(replies.length === (mode === "once" ? 1 : 0), mode + "/" + behaviour + ": replies " + replies.length)
}

// 3. A hook that hangs is stopped at its limit, the steps after it still run, and no reply goes.
replies.length = 0
hook("hang")
const hung = await TarvelPlugin({ client: client("ok"), directory })
await turn(hung)
await until(() => existsSync(log + "/permission.pid"), "the permission's hook runs")
const waiting = Number(readFileSync(log + "/permission.pid", "utf8"))
check(alive(waiting), "the permission's hook waits")
await until(() => !alive(waiting), "the hung permission hook is stopped")
await until(() => runs().length === 6, "the later steps run after a hung one")
check(replies.length === 0, "a hung hook replies nothing")

// 4. Answered at the agent's own dialog while the hook waits: the hook is let go, nothing replied.
hook("hang")
const answered = await TarvelPlugin({ client: client("ok"), directory })
await answered.event({ event: asked })
await until(() => existsSync(log + "/permission.pid"), "the hook waits")
const held = Number(readFileSync(log + "/permission.pid", "utf8"))
const replied = (reply) => ({ type: "permission.replied", properties: { sessionID: "ses_1", requestID: "per_1", reply } })
await answered.event({ event: replied("once") })
await until(() => !alive(held), "the hook is let go")
check(replies.length === 0, "no reply after the agent's own")
const handed = runs().map(run).filter((d) => d.type === "permission.replied")
check(handed.length === 1 && handed[0].properties.reply === "once" &&
      handed[0].properties.tool.callID === "c1" && handed[0].properties.metadata.command === "touch x" &&
      handed[0].properties.permission === "bash" && handed[0].directory === directory,
      "the agent's reply reaches the hook with its request: " + JSON.stringify(handed))
// Answered by the hook itself, the agent's reply that follows is not handed on.
hook("once")
const itself = await TarvelPlugin({ client: client("ok"), directory })
await itself.event({ event: asked })
await until(() => replies.length === 1, "the hook's answer is replied")
await itself.event({ event: replied("once") })
await sleep(1000)
check(runs().map(run).every((d) => d.type !== "permission.replied"), "a reply the hook gave is handed on")

if (failures.length) { console.log("FAIL:\n" + failures.join("\n")); process.exit(1) }
console.log("PASS: the plugin hands on every step, replies, and never holds or breaks the agent")
process.exit(0)
JS
