#!/usr/bin/env python3
"""The remote link over loopback: an sshd of its own on 127.0.0.1 (host name "devbox", a home of
its own) set up with `tarvel remote add` and kept connected by `tarvel serve`.

Prints, for 100 events each, the median time from writing an event line to the event appearing in
/v1/status through the local socket and through the remote one (so the link's extra time is the
difference); then, for 5 dropped links, the time from killing the service's ssh to the waiting
remote hook's neutral answer and to the link being up again (the first restart waits 1 s); then,
for 5 rounds of `tarvel remote remove` and `add` while the service runs, the time from each command's
end to the link being gone and up (the service looks at its settings file once a second).
Needs root (a UTS namespace and sshd). Usage: remote_link.py [bin directory]
"""
import http.client, json, os, shutil, signal, socket, statistics, subprocess, sys, tempfile, time
import uuid

here = os.path.dirname(os.path.abspath(__file__))
bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "dev", "bin"))
fixtures = os.path.join(here, "..", "Tests", "Fixtures", "agents")
work = tempfile.mkdtemp()
local, remote = os.path.join(work, "local"), os.path.join(work, "remote")
os.makedirs(local)
os.makedirs(remote)
processes = []


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, **options)


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path):
        super().__init__("localhost", timeout=10)
        self.path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self.path)


def get(path):
    connection = UnixConnection(os.path.join(local, ".tarvel", "api.sock"))
    connection.request("GET", path)
    body = connection.getresponse().read()
    connection.close()
    return json.loads(body)


def wait_for(condition, limit=60):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("timed out")
        time.sleep(0.0005)


try:
    for key in ("hostkey", "userkey"):
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(work, key))
    shutil.copy(os.path.join(work, "userkey.pub"), os.path.join(work, "authorized_keys"))
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    with open(os.path.join(work, "sshd_config"), "w") as config:
        config.write(f"Port {port}\nListenAddress 127.0.0.1\nHostKey {work}/hostkey\n"
                     f"PidFile {work}/sshd.pid\nUsePAM no\nPasswordAuthentication no\n"
                     f"PermitRootLogin prohibit-password\nAuthorizedKeysFile {work}/authorized_keys\n"
                     f"StrictModes no\nAllowStreamLocalForwarding yes\nSetEnv HOME={remote}\n")
    with open(os.path.join(work, "ssh_config"), "w") as config:
        config.write(f"Host devbox\n HostName 127.0.0.1\n Port {port}\n User root\n"
                     f" IdentityFile {work}/userkey\n StrictHostKeyChecking no\n"
                     f" UserKnownHostsFile /dev/null\n BatchMode yes\n LogLevel ERROR\n")
    os.makedirs("/run/sshd", exist_ok=True)
    sshd = subprocess.Popen(["unshare", "--uts", "sh", "-c",
                             f"hostname devbox && exec /usr/sbin/sshd -D -e -f {work}/sshd_config"],
                            stderr=subprocess.DEVNULL)
    processes.append(sshd)
    wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0)
    env = dict(os.environ, HOME=local, TARVEL_SSH_COMMAND=f"ssh -F {work}/ssh_config")
    env.pop("TARVEL_HOME", None)
    env.pop("XDG_CONFIG_HOME", None)
    run(os.path.join(bin_dir, "tarvel"), "remote", "add", "devbox", "--agent", "claude-code",
        env=env)
    serve = subprocess.Popen([os.path.join(bin_dir, "tarvel"), "serve", "--no-notify",
                              "--hold-without-answerers"], env=env,
                             stderr=subprocess.DEVNULL)
    processes.append(serve)
    connected = lambda: os.path.exists(os.path.join(local, ".tarvel", "api.sock")) and \
        any(entry["connected"] for entry in get("/v1/state")["remotes"])
    wait_for(connected)

    with open(os.path.join(here, "event_line.json")) as line:
        template = json.loads(line.read())

    def deliver(socket_path):
        count = get("/v1/status")["sessions"]
        event = dict(template, sessionId=f"codex:{uuid.uuid4()}", id=str(uuid.uuid4()).upper())
        start = time.monotonic()
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        client.connect(socket_path)
        client.sendall((json.dumps(event) + "\n").encode())
        client.close()
        wait_for(lambda: get("/v1/status")["sessions"] > count)
        return (time.monotonic() - start) * 1000

    direct = [deliver(os.path.join(local, ".tarvel", "agent.sock")) for _ in range(100)]
    linked = [deliver(os.path.join(remote, ".tarvel", "agent.sock")) for _ in range(100)]
    print(f"event to /v1/status, median of 100: local socket {statistics.median(direct):.2f} ms, "
          f"over the link {statistics.median(linked):.2f} ms, extra "
          f"{statistics.median(linked) - statistics.median(direct):.2f} ms")

    with open(os.path.join(fixtures, "claude", "PermissionRequest.json")) as document:
        request = document.read()
    released, reconnected = [], []
    for _ in range(5):
        hook = subprocess.Popen([os.path.join(remote, ".tarvel", "bin", "tarvel-hook"),
                                 "--provider", "claude-code"],
                                env=dict(os.environ, HOME=remote), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        hook.stdin.write(request.replace("a34702ef-72d2-4879-a175-c91e0f3f8d8c", str(uuid.uuid4())))
        hook.stdin.close()
        wait_for(lambda: get("/v1/status")["prompts"] == 1)
        link = subprocess.run(["pgrep", "-P", str(serve.pid), "-f", " -N "], capture_output=True,
                              text=True).stdout.split()[0]
        killed = time.monotonic()
        os.killpg(int(link), signal.SIGKILL)
        answer = hook.stdout.read()
        hook.wait()
        released.append((time.monotonic() - killed) * 1000)
        assert answer == "{}\n", answer
        wait_for(lambda: not connected())
        wait_for(connected)
        reconnected.append((time.monotonic() - killed) * 1000)
    print(f"dropped link to the remote hook's neutral answer: median {statistics.median(released):.0f} ms "
          f"(max {max(released):.0f} ms over 5)")
    print(f"dropped link to connected again: median {statistics.median(reconnected):.0f} ms "
          f"(max {max(reconnected):.0f} ms over 5; includes the 1 s pause before a restart)")

    links = lambda: subprocess.run(["pgrep", "-P", str(serve.pid), "-f", " -N "],
                                   capture_output=True, text=True).stdout.split()
    gone, up = [], []
    for _ in range(5):
        run(os.path.join(bin_dir, "tarvel"), "remote", "remove", "devbox", env=env)
        removed = time.monotonic()
        wait_for(lambda: not links() and not get("/v1/state")["remotes"])
        gone.append((time.monotonic() - removed) * 1000)
        run(os.path.join(bin_dir, "tarvel"), "remote", "add", "devbox", "--agent", "claude-code",
            env=env)
        added = time.monotonic()
        wait_for(connected)
        up.append((time.monotonic() - added) * 1000)
    print(f"remote remove to its link gone: median {statistics.median(gone):.0f} ms "
          f"(max {max(gone):.0f} ms over 5)")
    print(f"remote add to its link up, service running: median {statistics.median(up):.0f} ms "
          f"(max {max(up):.0f} ms over 5)")
finally:
    for process in reversed(processes):
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=30)
    shutil.rmtree(work, ignore_errors=True)
