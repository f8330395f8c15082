// Creates one named thread in the Codex home of the environment (CODEX_HOME) through the real
// Codex program's app-server mode, and prints the new thread's id on standard output.
// Usage: node create-codex-thread.mjs CODEX_EXECUTABLE THREAD_NAME
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";

const [executable, threadName] = process.argv.slice(2);
const child = spawn(executable, ["app-server", "--stdio"], { stdio: ["pipe", "pipe", "ignore"] });
const waiting = new Map();
createInterface({ input: child.stdout }).on("line", (line) => {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    return;
  }
  const resolve = waiting.get(message.id);
  if (resolve) {
    waiting.delete(message.id);
    resolve(message);
  }
});
let nextId = 1;
const request = (method, params) =>
  new Promise((resolve) => {
    const id = nextId++;
    waiting.set(id, resolve);
    child.stdin.write(JSON.stringify({ id, method, params }) + "\n");
  });
const fail = (text) => {
  console.error(text);
  child.kill("SIGTERM");
  process.exit(1);
};
setTimeout(() => fail("create-codex-thread: no answer within 30 s"), 30000).unref();

const initialized = await request("initialize", {
  clientInfo: { name: "tarvel_integration", version: "1.0.0" },
});
if (initialized.error) fail("initialize failed: " + JSON.stringify(initialized.error));
child.stdin.write(JSON.stringify({ method: "initialized" }) + "\n");
const started = await request("thread/start", { cwd: process.cwd(), ephemeral: false });
const threadId = started.result?.thread?.id;
if (!threadId) fail("thread/start failed: " + JSON.stringify(started.error ?? started));
const named = await request("thread/name/set", { threadId, name: threadName });
if (named.error) fail("thread/name/set failed: " + JSON.stringify(named.error));
child.stdin.end();
child.on("exit", () => {
  console.log(threadId);
  process.exit(0);
});
