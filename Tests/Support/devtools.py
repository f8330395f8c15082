"""A DevTools client for the tests that drive a real headless Chromium: `Browser` starts one
(with a profile of its own, its log in an artefact folder) and evaluates, clicks, screenshots and
opens tabs over its DevTools protocol; `WebSocket` is just enough of RFC 6455 for that."""

import base64
import http.client
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.parse


class WebSocket:
    """Just enough of RFC 6455 for one DevTools client: masked text frames out, frames in."""

    def __init__(self, url):
        parts = urllib.parse.urlparse(url)
        self.sock = socket.create_connection((parts.hostname, parts.port), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f'GET {parts.path} HTTP/1.1\r\nHost: {parts.netloc}\r\n'
                           'Upgrade: websocket\r\nConnection: Upgrade\r\n'
                           f'Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n').encode())
        head = b''
        while not head.endswith(b'\r\n\r\n'):
            byte = self.sock.recv(1)
            if not byte:
                raise ConnectionError('DevTools closed the handshake')
            head += byte
        if b' 101 ' not in head.split(b'\r\n')[0]:
            raise ConnectionError(head.decode(errors='replace'))

    def send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        length = len(payload)
        header = bytes([0x81])
        if length < 126:
            header += bytes([0x80 | length])
        elif length < 1 << 16:
            header += bytes([0x80 | 126]) + struct.pack('!H', length)
        else:
            header += bytes([0x80 | 127]) + struct.pack('!Q', length)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _exactly(self, count):
        data = bytearray()
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise ConnectionError('DevTools closed the connection')
            data += chunk
        return bytes(data)

    def receive(self):
        message = b''
        while True:
            first, second = self._exactly(2)
            length = second & 0x7f
            if length == 126:
                length = struct.unpack('!H', self._exactly(2))[0]
            elif length == 127:
                length = struct.unpack('!Q', self._exactly(8))[0]
            payload = self._exactly(length)
            opcode = first & 0x0f
            if opcode == 8:
                raise ConnectionError('DevTools closed the connection')
            if opcode in (0, 1, 2):
                message += payload
                if first & 0x80:
                    return message.decode()


class Browser:
    def __init__(self, artefacts, flags=()):
        self.profile = tempfile.mkdtemp(prefix='tarvel-chromium-')
        self.process = subprocess.Popen(
            [shutil.which('chromium'), '--headless', '--no-sandbox', '--disable-gpu',
             '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync', '--disable-extensions',
             f'--user-data-dir={self.profile}', '--remote-debugging-port=0', *flags, 'about:blank'],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(artefacts, 'chromium.log'), 'w'))
        port_file = os.path.join(self.profile, 'DevToolsActivePort')
        deadline = time.time() + 20
        while not (os.path.exists(port_file) and open(port_file).read().count('\n') >= 1):
            if time.time() > deadline or self.process.poll() is not None:
                raise RuntimeError('chromium did not start (see chromium.log)')
            time.sleep(0.05)
        port = int(open(port_file).read().split('\n')[0])
        self.port = port
        connection = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
        connection.request('GET', '/json/list')
        targets = json.loads(connection.getresponse().read())
        page = next(t for t in targets if t['type'] == 'page')
        self.socket = WebSocket(page['webSocketDebuggerUrl'])
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({'id': self.next_id, 'method': method, 'params': params}))
        return self.result(self.next_id)

    def result(self, wanted):
        while True:
            message = json.loads(self.socket.receive())
            if message.get('id') == wanted:
                if 'error' in message:
                    raise RuntimeError(f'{message["error"]}')
                return message.get('result', {})

    def evaluate(self, expression):
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True,
                           awaitPromise=True)
        if 'exceptionDetails' in result:
            raise RuntimeError(f'{expression}: {result["exceptionDetails"]}')
        return result['result'].get('value')

    def wait_for(self, expression, limit=60.0, what=None):
        deadline = time.time() + limit
        while True:
            try:
                value = self.evaluate(expression)
            except RuntimeError as error:  # a page being replaced by the next one
                value = None
                if time.time() > deadline:
                    raise
            if value:
                return value
            if time.time() > deadline:
                raise AssertionError(f'timed out waiting for {what or expression}')
            time.sleep(0.01)

    def click(self, selector):
        """A real mouse click at the middle of the element."""
        box = self.evaluate(f'''(() => {{ const node = document.querySelector({json.dumps(selector)});
            node.scrollIntoView({{block: 'center'}});
            const r = node.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; }})()''')
        for kind in ('mousePressed', 'mouseReleased'):
            self.call('Input.dispatchMouseEvent', type=kind, x=box[0], y=box[1], button='left',
                      clickCount=1)

    def screenshot(self, path, width, height, mobile):
        self.call('Emulation.setDeviceMetricsOverride', width=width, height=height,
                  deviceScaleFactor=1, mobile=mobile)
        time.sleep(0.2)
        data = self.call('Page.captureScreenshot', format='png')['data']
        with open(path, 'wb') as file:
            file.write(base64.b64decode(data))

    def open_tab(self, url):
        """A new tab at `url`, with a DevTools connection of its own (and an empty session storage)."""
        target = self.call('Target.createTarget', url=url)['targetId']
        connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=10)
        connection.request('GET', '/json/list')
        page = next(t for t in json.loads(connection.getresponse().read()) if t['id'] == target)
        tab = object.__new__(Browser)
        tab.socket = WebSocket(page['webSocketDebuggerUrl'])
        tab.next_id = 0
        tab.port = self.port
        tab.target = target
        return tab

    def cookies(self):
        return self.call('Network.getAllCookies')['cookies']

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
