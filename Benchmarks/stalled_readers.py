#!/usr/bin/env python3
"""Memory held for event-stream readers that stop reading: starts `tarvel serve` in a temporary
HOME with SESSIONS sessions, then runs ROUNDS rounds of READERS stream readers that connect to
GET /v1/events and never read while events keep arriving, and closes them. Prints the service's
resident memory after each round. What a stalled reader has yet to send refers to the shared
published texts, so the figure should stay flat from round to round rather than grow with
readers x state size. Events keep arriving, and sessions keep up to 50 each, so memory grows a
little each round even without readers: compare with a run of 0 readers.
Usage: stalled_readers.py <bin directory> [sessions] [readers] [rounds]
"""
import os, shutil, socket, subprocess, sys, tempfile, time, uuid, datetime, json

bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/dev/bin")
sessions = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
readers = int(sys.argv[3]) if len(sys.argv) > 3 else 30
rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 5

work = tempfile.mkdtemp()
env = dict(os.environ, HOME=work)
directory = os.path.join(work, ".tarvel")
agent_path = os.path.join(directory, "agent.sock")
api_path = os.path.join(directory, "api.sock")


def send(number, step):
    line = json.dumps({
        "protocolVersion": 1, "id": str(uuid.uuid4()).upper(), "type": "agent.tool.started",
        "sessionId": f"stall-{number}", "provider": "claude-code", "task": f"Task {number}",
        "activity": f"Step {step} of session {number}",
        "timestamp": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z",
        "workingDirectory": f"/tmp/project-{number % 40}"}) + "\n"
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(agent_path)
    s.sendall(line.encode())
    s.close()


def rss_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0


service = subprocess.Popen([os.path.join(bin_dir, "tarvel"), "serve", "--no-notify"], env=env,
                           stderr=subprocess.DEVNULL)
try:
    for _ in range(200):
        if os.path.exists(api_path) and os.path.exists(agent_path):
            break
        time.sleep(0.05)
    for number in range(sessions):
        send(number, 0)
    time.sleep(1)
    print(f"{sessions} sessions: RSS {rss_mib(service.pid):.0f} MiB before any stalled reader")
    for round_number in range(rounds):
        stalled = []
        for _ in range(readers):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(api_path)
            s.sendall(b"GET /v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n")
            stalled.append(s)
        # Changes keep coming while nobody reads.
        for step in range(1, 4):
            for number in range(0, sessions, 3):
                send(number, step + round_number * 10)
            time.sleep(0.3)
        held = rss_mib(service.pid)
        for s in stalled:
            s.close()
        time.sleep(1)
        print(f"round {round_number + 1}: {readers} stalled readers, RSS {held:.0f} MiB while held, "
              f"{rss_mib(service.pid):.0f} MiB after they left")
finally:
    service.terminate()
    service.wait(timeout=30)
    shutil.rmtree(work, ignore_errors=True)
