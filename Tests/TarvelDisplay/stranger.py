"""Plays another user on this machine, for the service tests (run under another uid).

listen DIRECTORY: listens on DIRECTORY/agent.sock and DIRECTORY/reply.sock as a display would,
prints "ready", then "event" for every event it is sent and "answered" for every hook it sends
an allow answer to.
ask SOCKET: sends GET /v1/state to the API socket SOCKET and prints the status line it gets.
hold PORT: keeps 40 idle TCP connections to 127.0.0.1:PORT open, opening a new one whenever one
is closed; prints "holding" once the first 40 are made.
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


def hold(port):
    def connect():
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            client.connect(("127.0.0.1", port))
        except OSError:
            pass
        return client

    held = [connect() for _ in range(40)]
    print("holding", flush=True)
    while True:
        closed, _, _ = select.select(held, [], [], 1)
        for client in closed:
            try:
                data = client.recv(4096)
            except OSError:
                data = b""
            if not data:
                client.close()
                held[held.index(client)] = connect()


if __name__ == "__main__":
    mode, argument = sys.argv[1], sys.argv[2]
    if mode == "listen":
        listen(argument)
    elif mode == "hold":
        hold(int(argument))
    else:
        ask(argument)
