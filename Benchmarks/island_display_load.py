#!/usr/bin/env python3
"""Load driver for tarvel-island: 100 sessions, events at a fixed rate for a few seconds.

Runs tarvel-island --stats inside a private tmux server with a temporary HOME, sends activity
events for 100 sessions over ~/.tarvel/agent.sock at the requested rate, samples the display's
CPU time from /proc/<pid>/stat, then quits it and prints its counters (frames drawn, largest
hand-over batch) next to the CPU use.
Usage: island_display_load.py <bin directory> [rate per second] [seconds]
"""
import datetime, json, os, shutil, socket, subprocess, sys, tempfile, time, uuid

bin_dir = sys.argv[1]
rate = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
work = tempfile.mkdtemp()
home = os.path.join(work, "home")
os.makedirs(home)
server = f"tarvel-island-load-{os.getpid()}"
stats = os.path.join(work, "stats.txt")
tmux = ["tmux", "-L", server, "-f", "/dev/null"]
island = os.path.join(bin_dir, "tarvel-island")
subprocess.run(tmux + ["new-session", "-d", "-s", "load", "-x", "160", "-y", "50",
                       f"env HOME='{home}' '{island}' --stats 2>'{stats}'; sleep 60"], check=True)
sock = os.path.join(home, ".tarvel", "agent.sock")
for _ in range(100):
    if os.path.exists(sock):
        break
    time.sleep(0.1)
pid = int(subprocess.run(["pgrep", "-f", "-n", "-x", f"{island} --stats"], capture_output=True,
                         text=True).stdout.split()[0])
ticks = os.sysconf("SC_CLK_TCK")

def cpu_seconds():
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks

def event(n):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"
    kind = "agent.tool.started" if n % 2 else "agent.activity"
    return json.dumps({"protocolVersion": 1, "id": str(uuid.uuid4()).upper(), "type": kind,
                       "sessionId": f"claude-code:load-{n % 100}", "provider": "claude-code",
                       "task": f"Load task {n % 100}", "activity": f"Step {n}",
                       "timestamp": now, "workingDirectory": "/tmp/project"}) + "\n"

sent = 0
start = time.monotonic()
cpu_start = cpu_seconds()
while time.monotonic() - start < seconds:
    due = int((time.monotonic() - start) * rate)
    while sent < due:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(sock)
        s.sendall(event(sent).encode())
        s.close()
        sent += 1
    time.sleep(0.001)
elapsed = time.monotonic() - start
cpu = cpu_seconds() - cpu_start
subprocess.run(tmux + ["send-keys", "-t", "load", "q"])
for _ in range(100):
    if os.path.exists(stats) and os.path.getsize(stats) > 0 and not os.path.exists(sock):
        break
    time.sleep(0.1)
time.sleep(0.3)
print(f"sent {sent} events in {elapsed:.1f} s ({sent / elapsed:.0f}/s) to 100 sessions")
print(f"tarvel-island CPU: {cpu:.2f} s in {elapsed:.1f} s = {100 * cpu / elapsed:.1f}% of one core")
print(open(stats).read().strip())
subprocess.run(tmux + ["kill-server"])
shutil.rmtree(work, ignore_errors=True)
