#!/usr/bin/env python3
"""Scale run of the display service: 3,000 sessions fed 50 events each as fast as hooks send them.

Starts `tarvel serve` in a temporary HOME and sends 150,000 events over ~/.tarvel/agent.sock from
four processes, one connection per event as hooks do. Meanwhile a reader asks GET /v1/state every
100 ms (over api.sock) and `tarvel status` is timed. Prints the slowest /v1/state answer during the
run, the service's CPU time and peak RSS, `tarvel status` wall times, and the time from a waiting
hook's registration to its prompt in /v1/state (on the loaded service, after the run).
Usage: service_scale.py <bin directory> [sessions] [events per session] [--full-speed]
--full-speed sends the same events from one event_sender (two threads, one connection per event,
as fast as they go: about ten times the hooks' pace above) and reads /v1/state back to back.
Target at 3,000 sessions x 50 events, either way: every event taken in, peak RSS at most 150 MiB.
The last line, "result {...}", holds the figures as JSON for service_curve.py.
"""
import http.client, json, multiprocessing, os, shutil, socket, subprocess, sys, tempfile
import time, uuid, datetime

full_speed = "--full-speed" in sys.argv
arguments = [argument for argument in sys.argv[1:] if argument != "--full-speed"]
bin_dir = os.path.abspath(arguments[0])
sessions = int(arguments[1]) if len(arguments) > 1 else 3000
per_session = int(arguments[2]) if len(arguments) > 2 else 50
here = os.path.dirname(os.path.abspath(__file__))
fixtures = os.path.join(here, "..", "Tests", "Fixtures", "agents")

work = tempfile.mkdtemp()
home = os.path.join(work, "home")
os.makedirs(home)
env = dict(os.environ, HOME=home)
directory = os.path.join(home, ".tarvel")
api_path = os.path.join(directory, "api.sock")
agent_path = os.path.join(directory, "agent.sock")


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=10):
        super().__init__("localhost", timeout=timeout)
        self.path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.path)


def get(path):
    connection = UnixConnection(api_path)
    connection.request("GET", path)
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, body


def stamp():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def event_line(number, step):
    kinds = ["agent.started", "agent.tool.started", "agent.tool.completed", "agent.activity"]
    return json.dumps({
        "protocolVersion": 1, "id": str(uuid.uuid4()).upper(),
        "type": kinds[0] if step == 0 else kinds[1 + step % 3],
        "sessionId": f"claude-code:scale-{number}", "provider": "claude-code",
        "task": f"Scale task {number}", "activity": f"Step {step} of session {number}",
        "timestamp": stamp(), "workingDirectory": f"/tmp/project-{number % 40}"}) + "\n"


def sender(worker, workers):
    for step in range(per_session):
        for number in range(worker, sessions, workers):
            line = event_line(number, step)
            for attempt in range(50):
                try:
                    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    s.connect(agent_path)
                    s.sendall(line.encode())
                    s.close()
                    break
                except OSError:
                    s.close()
                    time.sleep(0.01)


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return 0


def time_status(count):
    times = []
    for _ in range(count):
        start = time.monotonic()
        subprocess.run([os.path.join(bin_dir, "tarvel"), "status"], env=env, capture_output=True)
        times.append((time.monotonic() - start) * 1000)
    times.sort()
    return times[len(times) // 2], times[-1]


# Nothing is attached to answer, so the service is told to hold the waiting hook all the same.
service = subprocess.Popen([os.path.join(bin_dir, "tarvel"), "serve", "--no-notify",
                            "--hold-without-answerers"], env=env,
                           stderr=subprocess.DEVNULL)
for _ in range(200):
    if os.path.exists(api_path):
        break
    time.sleep(0.05)

idle_status = time_status(20)
stop = multiprocessing.Event()


# In a process of its own: a thread of this one would also time its own wait for the
# interpreter lock while this process starts the senders and times `tarvel status`.
def prober(results):
    times = []
    while not stop.is_set():
        start = time.monotonic()
        status, body = get("/v1/state")
        times.append(((time.monotonic() - start) * 1000, len(body)))
        if not full_speed:
            time.sleep(0.1)
    results.send(times)


probe_results, probe_end = multiprocessing.Pipe(duplex=False)
probe = multiprocessing.Process(target=prober, args=(probe_end,))
probe.start()
cpu_before = cpu_seconds(service.pid)
started = time.monotonic()
if full_speed:
    # Written before the clock starts: the sender only connects and writes.
    lines_path = os.path.join(work, "events.jsonl")
    with open(lines_path, "w") as lines:
        for step in range(per_session):
            for number in range(sessions):
                lines.write(event_line(number, step))
    started = time.monotonic()
    workers = [subprocess.Popen([os.path.join(bin_dir, "event_sender"), agent_path,
                                 "api:" + api_path, str(sessions * per_session), lines_path],
                                stdout=subprocess.PIPE, text=True)]
else:
    workers = [multiprocessing.Process(target=sender, args=(n, 4)) for n in range(4)]
    for worker in workers:
        worker.start()
loaded_status = time_status(10)
for worker in workers:
    if full_speed:
        print("event_sender: " + worker.communicate()[0].strip())
    else:
        worker.join()
sent_seconds = time.monotonic() - started
total = sessions * per_session
received = 0
while time.monotonic() - started < 600:
    received = json.loads(get("/v1/state")[1])["service"]["eventsReceived"]
    if received >= total:
        break
    time.sleep(0.2)
folded_seconds = time.monotonic() - started
# The service holds up to 10,000 sessions (as many as it saves): every size the curve runs.
held = json.loads(get("/v1/status")[1])["sessions"]
stop.set()
state_times = probe_results.recv()
probe.join()
cpu = cpu_seconds(service.pid) - cpu_before

# A waiting hook on the loaded service: registration to listing.
hook = subprocess.Popen([os.path.join(bin_dir, "tarvel-hook"), "--provider", "claude-code"],
                        env=env, stdin=open(os.path.join(fixtures, "claude", "PermissionRequest.json")),
                        stdout=subprocess.DEVNULL)
listed_at = None
prompt = None
# /v1/status comes from the same published revision as /v1/state and is small to poll.
while time.monotonic() - started < 900 and listed_at is None:
    if json.loads(get("/v1/status")[1])["prompts"] > 0:
        listed_at = datetime.datetime.now(datetime.timezone.utc)
    else:
        time.sleep(0.002)
if listed_at:
    prompt = json.loads(get("/v1/state")[1])["prompts"][0]
registration_ms = None
if prompt:
    expires = datetime.datetime.fromisoformat(prompt["expiresAt"].replace("Z", "+00:00"))
    registered = expires - datetime.timedelta(seconds=120)
    registration_ms = (listed_at - registered).total_seconds() * 1000
hook.kill()
peak = peak_rss_mib(service.pid)
service.terminate()
service.wait(timeout=30)
shutil.rmtree(work, ignore_errors=True)

slowest = max(state_times) if state_times else (0, 0)
print(f"events: {received} of {total} folded; sent in {sent_seconds:.1f} s, all folded after {folded_seconds:.1f} s")
print(f"sessions held at the end: {held} of {sessions}")
print(f"/v1/state during the run: {len(state_times)} reads, slowest {slowest[0]:.1f} ms "
      f"({slowest[1] / 1e6:.1f} MB), median {sorted(state_times)[len(state_times) // 2][0]:.1f} ms")
print(f"service CPU {cpu:.1f} s ({cpu / total * 1e6:.1f} us per event); peak RSS {peak:.0f} MiB")
print(f"tarvel status: idle median {idle_status[0]:.1f} ms, max {idle_status[1]:.1f} ms; "
      f"under load median {loaded_status[0]:.1f} ms, max {loaded_status[1]:.1f} ms")
print(f"registration to /v1/state: {registration_ms:.1f} ms" if registration_ms is not None
      else "registration to /v1/state: prompt never listed")
print("result " + json.dumps({
    "fullSpeed": full_speed, "sessions": sessions, "events": total, "received": received,
    "cpuPerEventMicroseconds": cpu / total * 1e6, "peakRSSMiB": peak,
    "slowestStateMilliseconds": slowest[0], "largestStateBytes": max(b for _, b in state_times) if state_times else 0,
    "stateReadsOver100ms": sum(1 for t, _ in state_times if t > 100), "stateReads": len(state_times),
    "sessionsHeld": held}))
sys.exit(0 if received >= total and prompt else 1)
