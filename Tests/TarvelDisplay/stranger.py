"""Plays another user on this machine, for the service tests (run under another uid).

listen DIRECTORY: listens on DIRECTORY/agent.sock and DIRECTORY/reply.sock as a display would,
prints "ready", then "event" for every event it is sent and "answered" for every hook it sends
an allow answer to.
ask SOCKET: sends GET /v1/state to the API socket SOCKET and prints the status line it gets.
"""
import json
import os
import select
import socket
import sys


def listen(directory):
    listeners = {}
    for name in ("agent.sock", "reply.sock"):
        path = os.path.join(directory, name)
        if os.path.lexists(path):
            os.unlink(path)
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(path)
        server.listen(16)
        listeners[server] = name
    print("ready", flush=True)
    while True:
        readable, _, _ = select.select(list(listeners), [], [])
        for server in readable:
            connection, _ = server.accept()
            connection.settimeout(5)
            if listeners[server] == "agent.sock":
                try:
                    if connection.recv(65536):
                        print("event", flush=True)
                except OSError:
                    pass
                connection.close()
                continue
            hello = b""
            try:
                while not hello.endswith(b"\n"):
                    chunk = connection.recv(4096)
                    if not chunk:
                        break
                    hello += chunk
                reply_id = json.loads(hello)["replyId"]
                connection.sendall(b'{"registered":true}\n')
                connection.sendall(json.dumps({"decision": "allow", "replyId": reply_id}).encode() + b"\n")
                print("answered", flush=True)
            except (OSError, ValueError, KeyError):
                pass
            connection.close()


def ask(path):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.settimeout(10)
    client.connect(path)
    client.sendall(b"GET /v1/state HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
    answer = b""
    while b"\r\n" not in answer:
        chunk = client.recv(4096)
        if not chunk:
            break
        answer += chunk
    print(answer.split(b"\r\n")[0].decode(), flush=True)


if __name__ == "__main__":
    listen(sys.argv[2]) if sys.argv[1] == "listen" else ask(sys.argv[2])
