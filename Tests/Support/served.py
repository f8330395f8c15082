"""What the Python tests share: waiting for a condition, and a real `tarvel serve` in a test's
HOME, read and asked through its HTTP API."""

import http.client
import json
import os
import subprocess
import threading
import time
import urllib.parse


def check(condition, text):
    if not condition:
        raise AssertionError(text)


def wait_until(condition, limit=60.0, what='condition'):
    """Waits for condition() to give a true value and returns it; the bound only keeps a broken
    test from hanging."""
    deadline = time.time() + limit
    while True:
        value = condition()
        if value:
            return value
        if time.time() > deadline:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.02)


class Service:
    """`tarvel serve ARGUMENTS` in HOME; `settings` (TOML lines), when given, are its
    config.toml. Ready once it has printed its web page's address, from which the host, port
    and token are read."""

    def __init__(self, bin_dir, home, arguments=(), settings=None):
        if settings is not None:
            folder = os.path.join(home, '.config', 'tarvel')
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, 'config.toml'), 'w') as file:
                file.write('\n'.join(settings) + '\n')
        self.home = home
        self.process = subprocess.Popen([os.path.join(bin_dir, 'tarvel'), 'serve', *arguments],
                                        env={'HOME': home, 'PATH': '/usr/bin:/bin'},
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True)
        self.log = []
        self.url = None
        ready = threading.Event()

        def read():
            for line in self.process.stderr:
                self.log.append(line)
                if 'web page at ' in line:
                    self.url = line.split('web page at ')[1].strip()
                    ready.set()
            ready.set()
        threading.Thread(target=read, daemon=True).start()
        try:
            if not ready.wait(60) or not self.url:
                raise RuntimeError('tarvel serve did not print its address: ' + ''.join(self.log))
            parts = urllib.parse.urlparse(self.url)
            self.host, self.port = parts.hostname, parts.port
            self.token = urllib.parse.parse_qs(parts.fragment)['token'][0]
        except Exception:
            # A service that never became usable must not outlive the test.
            self.stop()
            raise

    def request(self, method, path, body=None, headers=None, token=True, host=None):
        """One request; `token` False sends none, a string sends that one; `host` replaces the
        Host header. Gives the status, the body and the response."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=30)
        sent = dict(headers or {})
        if token:
            sent['Authorization'] = 'Bearer ' + (token if isinstance(token, str) else self.token)
        if host:
            connection.putrequest(method, path, skip_host=True)
            sent['Host'] = host
            for name, value in sent.items():
                connection.putheader(name, value)
            payload = body.encode() if body else b''
            connection.putheader('Content-Length', str(len(payload)))
            connection.endheaders(payload)
        else:
            connection.request(method, path, body=body, headers=sent)
        response = connection.getresponse()
        return response.status, response.read().decode(), response

    def state(self):
        return json.loads(self.request('GET', '/v1/state')[1])

    def prompts(self):
        return self.state()['prompts']

    def wait_for_answerers(self, kinds):
        wait_until(lambda: [a['kind'] for a in self.state()['answerers']] == kinds,
                   what='answerers ' + repr(kinds))

    def logged(self, text):
        return sum(text in line for line in self.log)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
