#!/usr/bin/env python3
"""The push to a phone and the command for any other channel, end to end: a real `tarvel serve`
in a temporary HOME with its settings in config.toml, real waiting `tarvel-hook`s, and a stand-in
ntfy server (written from ntfy's published API: a JSON publish is POSTed to the server's root;
/v1/health answers {"healthy": true}) that records every publish. The test does with an action
exactly what ntfy's phone app does: its URL, its method, its headers (none), its body (none).
Usage: phone_test.py BIN_DIR FIXTURES_DIR"""

import http.client
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'Support'))
from served import Service, check, wait_until  # noqa: E402

COMMAND = 'make deploy-the-distinctive-thing'


def free_port():
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


class NtfyServer:
    """Records each publish as (time received, document, headers). `refuse` answers publishes
    with 403, as a server does to a topic one may not write to."""

    def __init__(self):
        self.published = []
        self.refuse = False
        self.lock = threading.Lock()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'

            def answer(self, status, document):
                body = json.dumps(document).encode()
                self.send_response(status)
                self.send_header('Content-Type', 'application/json')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                if self.path == '/v1/health':
                    self.answer(200, {'healthy': True})
                else:
                    self.answer(404, {'code': 40401, 'error': 'page not found'})

            def do_POST(self):
                length = int(self.headers.get('Content-Length', '0'))
                body = self.rfile.read(length)
                received = time.time()
                if self.path != '/':
                    self.answer(404, {'code': 40401, 'error': 'page not found'})
                    return
                if outer.refuse:
                    self.answer(403, {'code': 40301, 'error': 'forbidden'})
                    return
                document = json.loads(body)
                with outer.lock:
                    outer.published.append((received, document, dict(self.headers)))
                self.answer(200, {'id': 'x' + str(len(outer.published)), 'time': int(received),
                                  'event': 'message', 'topic': document.get('topic')})

            def log_message(self, *arguments):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def messages(self):
        with self.lock:
            return list(self.published)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def hook(bin_dir, home, fixtures, session, provider='claude-code', command=COMMAND):
    agent = 'claude' if provider == 'claude-code' else provider
    document = json.load(open(os.path.join(fixtures, f'agents/{agent}/PermissionRequest.json')))
    document['session_id'] = session
    document['tool_input']['command'] = command
    process = subprocess.Popen([os.path.join(bin_dir, 'tarvel-hook'), '--provider', provider],
                               env={'HOME': home, 'PATH': '/usr/bin:/bin'}, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdin.write(json.dumps(document))
    process.stdin.close()
    process.started = time.time()
    return process


def finish(process, limit=60):
    """What the hook printed, once it ended (it always exits 0)."""
    process.wait(limit)
    check(process.returncode == 0, 'the hook exited with %r' % process.returncode)
    return process.stdout.read()


def event(bin_dir, home, fixtures, session, name):
    """One event of a Claude Code session, through a real hook."""
    document = json.load(open(os.path.join(fixtures, f'agents/claude/{name}.json')))
    document['session_id'] = session
    done = subprocess.run([os.path.join(bin_dir, 'tarvel-hook'), '--provider', 'claude-code'],
                          env={'HOME': home, 'PATH': '/usr/bin:/bin'}, input=json.dumps(document),
                          capture_output=True, text=True, timeout=60)
    check(done.returncode == 0, f'{name}: {done.returncode}')


def tap(url, method='POST'):
    """What ntfy's app does with an http action that names no headers and no body."""
    parts = urllib.parse.urlparse(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    connection.request(method, parts.path, body=b'' if method == 'POST' else None,
                       headers={'User-Agent': 'ntfy/1.0'})
    response = connection.getresponse()
    return response.status, response.read().decode(), response.getheader('Allow')


def action(message, label):
    return next((a for a in message.get('actions', []) if a['label'] == label), None)


def publish_for(ntfy, count):
    return wait_until(lambda: ntfy.messages()[count - 1] if len(ntfy.messages()) >= count else None,
                      what=f'publish {count}')


def answers(bin_dir, fixtures, home, ntfy):
    """Allow and Deny from the push answer once, only while the prompt waits."""
    port = free_port()
    service = Service(bin_dir, home, settings=[
        f'http = "127.0.0.1:{port}"', 'notify = false',
        f'ntfy = "http://127.0.0.1:{ntfy.port}/tarvel-test-topic"', 'ntfy_token = "tk_abc"',
        'ntfy_answers = true', f'public_url = "http://127.0.0.1:{port}"'])
    try:
        # Only the phone can answer: the prompt is held for it.
        service.wait_for_answerers(['phone'])
        first = hook(bin_dir, home, fixtures, '11111111-1111-4111-8111-111111111111')
        received, message, headers = publish_for(ntfy, 1)
        print(f'registration to publish: {1000 * (received - first.started):.0f} ms')
        check(headers.get('Authorization') == 'Bearer tk_abc', repr(headers))
        check(headers.get('Content-Type') == 'application/json', repr(headers))
        check(message['topic'] == 'tarvel-test-topic' and message['priority'] == 4, repr(message))
        check('Claude' in message['title'] and 'proj' in message['title'], message['title'])
        check(COMMAND in message['message'], message['message'])
        text = json.dumps(message)
        check(service.token not in text and 'tk_abc' not in text, 'a long-lived token: ' + text)
        labels = [a['label'] for a in message['actions']]
        check(labels == ['Open', 'Allow', 'Deny'], repr(labels))
        reply_id = service.state()['prompts'][0]['replyId']
        check(action(message, 'Open') == {'action': 'view', 'label': 'Open',
                                          'url': f'http://127.0.0.1:{port}/#prompt={reply_id}'},
              repr(message['actions']))
        allow, deny = action(message, 'Allow'), action(message, 'Deny')
        for button in (allow, deny):
            check(button['action'] == 'http' and button['method'] == 'POST' and
                  button['clear'] is True and 'headers' not in button and 'body' not in button,
                  repr(button))
            prefix = f'http://127.0.0.1:{port}/v1/answer/'
            secret = button['url'][len(prefix):]
            check(button['url'].startswith(prefix) and len(secret) >= 32 and
                  all(c in '0123456789abcdef' for c in secret), button['url'])
        check(allow['url'] != deny['url'], 'one address per decision')
        # A link preview's GET answers nothing and says to POST.
        status, body, allowed = tap(allow['url'], 'GET')
        check(status == 405 and allowed == 'POST' and 'POST' in body, f'{status} {body}')
        check(first.poll() is None, 'a GET answered the prompt')
        status, body, _ = tap(allow['url'][:-4] + '0000')
        check(status == 404, f'a made-up address: {status} {body}')

        tapped = time.time()
        status, body, _ = tap(allow['url'])
        check(status == 200, f'Allow: {status} {body}')
        output = finish(first, 30)
        print(f'action to hook answer: {1000 * (time.time() - tapped):.0f} ms')
        check('"behavior":"allow"' in output, 'the hook printed ' + output)
        status, body, _ = tap(allow['url'])
        check(status == 409, f'Allow again: {status} {body}')
        # The prompt is over: its other button is useless.
        status, body, _ = tap(deny['url'])
        check(status == 410, f'Deny after the answer: {status} {body}')

        # Deny answers a prompt that waits.
        second = hook(bin_dir, home, fixtures, '22222222-2222-4222-8222-222222222222')
        message = publish_for(ntfy, 2)[1]
        status, body, _ = tap(action(message, 'Deny')['url'])
        check(status == 200, f'Deny: {status} {body}')
        output = finish(second, 30)
        check('"behavior":"deny"' in output, 'the hook printed ' + output)
        check(status == 200, f'Deny: {status} {body}')
        ending = wait_until(lambda: [e for e in service.state()['endedPrompts']
                                     if e['replyId'] == service_reply(message)], what='ending')
        check(ending[0]['by'] == 'phone' and ending[0]['outcome'] == 'denied', repr(ending))
    finally:
        service.stop()


def service_reply(message):
    return action(message, 'Open')['url'].split('#prompt=')[1]


def plain(bin_dir, fixtures, home, ntfy):
    """Without answers and without detail: only Open, no address that answers, no command. An
    agent without a dialog of its own (Codex) is let go to it after the phone hold; Claude Code
    is held on. A long session's end is told plainly."""
    port = free_port()
    before = len(ntfy.messages())
    service = Service(bin_dir, home, settings=[
        f'http = "127.0.0.1:{port}"', 'notify = false',
        f'ntfy = "http://127.0.0.1:{ntfy.port}/tarvel-plain"', 'ntfy_detail = false',
        'phone_hold = 2', 'notify_finished = 2', f'public_url = "http://localhost:{port}"'])
    try:
        service.wait_for_answerers(['phone'])
        # The code a phone scans to pair holds public_url's address, not the one served here.
        image = os.path.join(home, 'pair.png')
        shown = subprocess.run([os.path.join(bin_dir, 'tarvel'), 'web', '--qr-png', image],
                               capture_output=True, text=True,
                               env={'HOME': home, 'PATH': '/usr/bin:/bin'})
        read = subprocess.run(['zbarimg', '-q', '--raw', image], capture_output=True,
                              text=True).stdout.strip()
        paired = f'http://localhost:{port}/#token={service.token}'
        check(shown.returncode == 0 and shown.stdout.splitlines()[0] == paired and read == paired,
              shown.stdout + shown.stderr + ' read: ' + read)
        claude = hook(bin_dir, home, fixtures, '33333333-3333-4333-8333-333333333333')
        message = publish_for(ntfy, before + 1)[1]
        check([a['label'] for a in message['actions']] == ['Open'], repr(message))
        check('/v1/answer/' not in json.dumps(message), json.dumps(message))
        check(COMMAND not in json.dumps(message) and 'Bash' not in message['message'],
              message['message'])
        check('Claude' in message['title'], message['title'])
        check(message['click'] == action(message, 'Open')['url'], repr(message))

        codex = hook(bin_dir, home, fixtures, '01a25419-a3fc-77a1-a9be-f5d9422e9fc0', 'codex')
        message = publish_for(ntfy, before + 2)[1]
        check('Codex' in message['title'] and 'waits 2 s' in message['message'] and
              'own terminal' in message['message'], message['message'])
        finish(codex)
        ending = wait_until(lambda: [e for e in service.state()['endedPrompts']
                                     if e['replyId'] == service_reply(message)], what='ending')
        check(ending[0]['outcome'] == 'released' and ending[0]['by'] == 'phoneHold', repr(ending))
        # Claude Code shows its own dialog meanwhile: it stays held for the phone.
        check(claude.poll() is None, 'the Claude Code prompt was let go')
        # The Codex prompt leaves the list a moment after its ending, with its session's change.
        wait_until(lambda: len(service.state()['prompts']) == 1, what='one prompt left')
        claude.kill()
        claude.wait()

        # A session that ran longer than notify_finished ends with one plain message; a quick one
        # with none.
        count = len(ntfy.messages())
        quick, slow = '77777777-7777-4777-8777-777777777777', '88888888-8888-4888-8888-888888888888'
        for session in (quick, slow):
            event(bin_dir, home, fixtures, session, 'SessionStart')
        event(bin_dir, home, fixtures, quick, 'SessionEnd')
        time.sleep(3.2)
        event(bin_dir, home, fixtures, slow, 'SessionEnd')
        message = publish_for(ntfy, count + 1)[1]
        check(message['priority'] == 3 and 'actions' not in message and 'click' not in message and
              message['title'] == 'Claude Code \u00b7 proj finished', repr(message))
        wait_until(lambda: all(s['state'] == 'completed' for s in service.state()['sessions']
                               if s['id'].endswith(slow)), what='the slow session ended')
        event(bin_dir, home, fixtures, quick, 'SessionStart')
        wait_until(lambda: any(s['state'] == 'starting' for s in service.state()['sessions']
                               if s['id'].endswith(quick)), what='a later revision')
        check(len(ntfy.messages()) == count + 1, repr(ntfy.messages()[count:]))
    finally:
        service.stop()


def refused(bin_dir, fixtures, home, ntfy):
    """A server that refuses: the prompt is let go as nobody can answer, and it is logged once."""
    port = free_port()
    service = Service(bin_dir, home, settings=[
        f'http = "127.0.0.1:{port}"', 'notify = false',
        f'ntfy = "http://127.0.0.1:{ntfy.port}/tarvel-refused"'])
    try:
        service.wait_for_answerers(['phone'])
        ntfy.refuse = True
        for session in ('44444444-4444-4444-8444-444444444444',
                        '55555555-5555-4555-8555-555555555555'):
            # The server answers a look at its health again, so the phone is back meanwhile.
            service.wait_for_answerers(['phone'])
            waiting = hook(bin_dir, home, fixtures, session)
            output = finish(waiting, 60)
            check(output == '{}\n', 'a prompt nobody can answer: ' + output)
        check(service.logged('A message to ') == 1, ''.join(service.log))
        check(service.logged('HTTP status 403') == 1, ''.join(service.log))
    finally:
        ntfy.refuse = False
        service.stop()


def notify_command(bin_dir, fixtures, home):
    """The command gets each prompt that waits and each that ends; one that does not end is
    killed after 5 s while the service goes on answering."""
    told = os.path.join(home, 'told.jsonl')
    port = free_port()
    service = Service(bin_dir, home, settings=[
        f'http = "127.0.0.1:{port}"', 'notify = false', 'hold_without_answerers = true',
        f'notify_command = "cat >> {told}; echo >> {told}; sleep 60"'])
    try:
        waiting = hook(bin_dir, home, fixtures, '66666666-6666-4666-8666-666666666666')
        lines = wait_until(lambda: os.path.exists(told) and open(told).read().count('\n') >= 1
                           and open(told).read().splitlines(), what='the waiting document')
        document = json.loads(lines[0])
        reply_id = service.state()['prompts'][0]['replyId']
        check(document['event'] == 'waiting' and document['replyId'] == reply_id and
              document['pendingReply']['detail'].find(COMMAND) >= 0, lines[0])
        # The command still runs (sleep 60); the service answers meanwhile.
        status, body, _ = service.request('POST', f'/v1/prompts/{reply_id}', '{"decision":"allow"}')
        check(status == 200, f'{status} {body}')
        check('"behavior":"allow"' in finish(waiting, 30), 'allow')
        lines = wait_until(lambda: open(told).read().count('\n') >= 2 and
                           open(told).read().splitlines(), limit=60, what='the ended document')
        document = json.loads(lines[1])
        check(document['event'] == 'ended' and document['replyId'] == reply_id and
              document['outcome'] == 'allowed' and document['by'] == 'api', lines[1])
        wait_until(lambda: service.logged('The notify command failed') == 1, what='the log')
    finally:
        service.stop()
    check(service.logged('The notify command failed') == 1, ''.join(service.log))


def settings(bin_dir, home):
    """`tarvel config set` makes up a topic nobody can guess, warns before buttons that answer,
    and refuses what cannot work, saying why."""
    def tarvel(*arguments):
        done = subprocess.run([os.path.join(bin_dir, 'tarvel'), *arguments], capture_output=True,
                              text=True, env={'HOME': home, 'PATH': '/usr/bin:/bin'})
        return done.returncode, done.stdout + done.stderr

    status, said = tarvel('config', 'set', 'ntfy', 'https://ntfy.example.org/')
    check(status == 0 and 'subscribe' in said, said)
    topic = tarvel('config', 'get', 'ntfy')[1].strip().strip('"')
    name = topic[len('https://ntfy.example.org/tarvel-'):]
    check(topic.startswith('https://ntfy.example.org/tarvel-') and len(name) == 32 and
          all(c in '0123456789abcdef' for c in name), topic)
    check(name in said, said)
    status, again = tarvel('config', 'set', 'ntfy', 'https://ntfy.example.org')
    check(status == 0 and tarvel('config', 'get', 'ntfy')[1].strip().strip('"') != topic,
          'the same topic twice: ' + again)
    status, said = tarvel('config', 'set', 'ntfy_answers', 'true')
    check(status == 0 and 'can now answer your agents' in said and 'ntfy_token' in said, said)
    # Kept, as the key that completes it may come next, but told now: serve would refuse it.
    check('Not complete yet: ntfy_answers needs public_url' in said, said)
    status, said = tarvel('config', 'set', 'ntfy_detail', 'false')
    check(status == 0 and 'Warning' not in said, said)
    for key, value in (('ntfy', 'ntfy.example.org/topic'), ('ntfy', 'https://h/t?x=1'),
                       ('public_url', 'https://host/path'), ('ntfy_token', 'a\nb')):
        status, said = tarvel('config', 'set', key, value)
        check(status == 2 and key in said and 'takes' in said, f'{key} {value!r}: {said}')
    # Answers need an address the phone reaches; serve says so rather than starting without it.
    status, said = tarvel('serve')
    check(status == 2 and 'ntfy_answers needs public_url' in said, said)
    status, said = tarvel('config', 'set', 'public_url', 'https://phone.example.org')
    check(status == 0 and 'Not complete yet: public_url needs the page served' in said, said)
    status, said = tarvel('serve')
    check(status == 2 and 'public_url needs the page served' in said, said)
    # The page's address and public_url are judged together, whichever of the two is set last.
    port = free_port()
    status, said = tarvel('config', 'set', 'http', f'127.0.0.1:{port}')
    check(status == 0 and f'names port 443, but the page is served on port {port}' in said, said)
    status, said = tarvel('config', 'set', 'public_url', f'http://127.0.0.1:{port}')
    check(status == 0 and 'Not complete' not in said, said)
    status, said = tarvel('config', 'set', 'public_url', f'http://192.0.2.7:{port}')
    check(status == 0 and 'names 192.0.2.7, but the page listens on 127.0.0.1 only' in said, said)
    status, said = tarvel('restart')
    check(status == 2 and 'names 192.0.2.7' in said and 'left as it is' in said, said)


def main():
    bin_dir, fixtures = sys.argv[1:3]
    home = tempfile.mkdtemp(prefix='tarvel-phone-')
    try:
        print('settings')
        settings(bin_dir, home)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    ntfy = NtfyServer()
    try:
        for case in (answers, plain, refused):
            home = tempfile.mkdtemp(prefix='tarvel-phone-')
            try:
                print(case.__name__)
                case(bin_dir, fixtures, home, ntfy)
            finally:
                shutil.rmtree(home, ignore_errors=True)
        home = tempfile.mkdtemp(prefix='tarvel-phone-')
        try:
            print('notify_command')
            notify_command(bin_dir, fixtures, home)
        finally:
            shutil.rmtree(home, ignore_errors=True)
    finally:
        ntfy.close()
    print('ok')


if __name__ == '__main__':
    main()
