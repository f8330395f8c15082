#!/usr/bin/env python3
"""How fast the service lets go of a prompt nobody can answer, or that its agent went past.

Starts `tarvel serve --no-notify` in a temporary HOME and measures, over the real sockets:
  1. registration to release with no answerer: a hook-like client connects to reply.sock,
     registers and waits for the end of the stream (the neutral answer), timed from the connect,
     100 times;
  2. the last display leaving to release: an event stream attached as a terminal answerer holds a
     registered prompt; the stream's connection is closed and the hook's release timed, 20 times;
  3. a "went on" event to the prompt leaving /v1/state: a real tarvel-hook waits on a Claude
     permission request while an answerer is attached; a real tarvel-hook then sends the same
     session's PostToolUse; timed from that hook's start until /v1/state lists no prompt, 20 times.
Usage: prompt_release.py <bin directory>
"""
import json, os, shutil, socket, statistics, subprocess, sys, tempfile, time, uuid

bin_dir = os.path.abspath(sys.argv[1])
here = os.path.dirname(os.path.abspath(__file__))
fixtures = os.path.join(here, "..", "Tests", "Fixtures", "agents")
work = tempfile.mkdtemp()
home = os.path.join(work, "home")
os.makedirs(home)
env = {"HOME": home, "PATH": "/usr/bin:/bin"}
directory = os.path.join(home, ".tarvel")
api_path = os.path.join(directory, "api.sock")
reply_path = os.path.join(directory, "reply.sock")


def connect(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(30)
    sock.connect(path)
    return sock


def get(path):
    sock = connect(api_path)
    sock.sendall(f"GET {path} HTTP/1.0\r\nHost: localhost\r\n\r\n".encode())
    data = b""
    while chunk := sock.recv(65536):
        data += chunk
    sock.close()
    return json.loads(data.split(b"\r\n\r\n", 1)[1])


def register():
    """A registered hook's socket, after its acknowledgement."""
    sock = connect(reply_path)
    sock.sendall((json.dumps({"replyId": str(uuid.uuid4()).upper(), "timeoutSeconds": 120}) + "\n").encode())
    line = b""
    while not line.endswith(b"\n"):
        chunk = sock.recv(1)
        if not chunk:
            raise RuntimeError("no acknowledgement")
        line += chunk
    return sock


def released(sock):
    """Blocks until the service ends the registration; True when no answer line came."""
    data = sock.recv(4096)
    sock.close()
    return data == b""


def attach_terminal():
    sock = connect(api_path)
    sock.sendall(b"GET /v1/events?answerer=terminal HTTP/1.1\r\nHost: localhost\r\n\r\n")
    sock.recv(4096)  # the headers and the first state
    deadline = time.time() + 30
    while [a["kind"] for a in get("/v1/state")["answerers"]] != ["terminal"]:
        if time.time() > deadline:
            raise RuntimeError("the stream is not listed as an answerer")
        time.sleep(0.005)
    return sock


def document(name, session):
    with open(os.path.join(fixtures, "claude", name + ".json")) as file:
        value = json.load(file)
    value["session_id"] = session
    return json.dumps(value)


def report(what, samples):
    samples = sorted(samples)
    print(f"{what}: median {statistics.median(samples) * 1000:.1f} ms, "
          f"slowest {samples[-1] * 1000:.1f} ms over {len(samples)}")


service = subprocess.Popen([os.path.join(bin_dir, "tarvel"), "serve", "--no-notify"], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    deadline = time.time() + 30
    while not os.path.exists(api_path):
        if time.time() > deadline:
            raise RuntimeError("tarvel serve did not start")
        time.sleep(0.02)
    time.sleep(0.2)

    samples = []
    for _ in range(100):
        start = time.perf_counter()
        sock = register()
        assert released(sock), "an answer came where none was expected"
        samples.append(time.perf_counter() - start)
    report("1. registration -> release, nobody can answer", samples)

    samples = []
    for _ in range(20):
        stream = attach_terminal()
        sock = register()
        time.sleep(0.05)
        start = time.perf_counter()
        stream.close()
        assert released(sock)
        samples.append(time.perf_counter() - start)
    report("2. last answerer's stream closed -> release", samples)

    samples = []
    stream = attach_terminal()
    hook = os.path.join(bin_dir, "tarvel-hook")
    for number in range(20):
        session = str(uuid.uuid4())
        waiting = subprocess.Popen([hook, "--provider", "claude-code"], env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True)
        waiting.stdin.write(document("PermissionRequest", session))
        waiting.stdin.close()
        while not get("/v1/state")["prompts"]:
            time.sleep(0.002)
        start = time.perf_counter()
        went_on = subprocess.Popen([hook, "--provider", "claude-code"], env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, text=True)
        went_on.stdin.write(document("PostToolUse", session))
        went_on.stdin.close()
        while get("/v1/state")["prompts"]:
            time.sleep(0.001)
        samples.append(time.perf_counter() - start)
        went_on.wait()
        assert waiting.wait(30) == 0 and waiting.stdout.read() == "{}\n"
    report("3. \"went on\" hook started -> prompt gone from /v1/state", samples)
    stream.close()
finally:
    service.terminate()
    service.wait(30)
    shutil.rmtree(work, ignore_errors=True)
