#!/usr/bin/env python3
"""The web page in a real browser: headless Chromium, driven over its DevTools protocol, against a
real `tarvel serve --http` in a temporary HOME and real waiting `tarvel-hook`s, then over TLS with
a certificate the test makes. Also the access rules over plain HTTP. Usage: web_page_test.py BIN_DIR FIXTURES_DIR ARTEFACT_DIR
Exit 77 (skipped) when no chromium is installed."""

import base64
import http.client
import http.server
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'Support'))
from devtools import Browser  # noqa: E402
from served import Service as Served, check, wait_until  # noqa: E402

ALLOW = ('{"hookSpecificOutput":{"decision":{"behavior":"allow"},'
         '"hookEventName":"PermissionRequest"}}\n')
HOSTILE = '<script>window.injected=1</script><img src=x id=injected>'


def Service(bin_dir, home, options=()):
    """The service with its page on a port of its own, holding prompts with no answerer yet."""
    service = Served(bin_dir, home, ['--http', '127.0.0.1:0', '--hold-without-answerers', *options])
    # The token is in the fragment, which a browser never sends to any server.
    parts = urllib.parse.urlparse(service.url)
    check(parts.query == '' and parts.path == '/', 'the address: ' + service.url)
    return service


class OtherServer:
    """Another web server on another port of the same host, as another user's page would be:
    records every request it gets and sets a cookie with the name the service's used to have."""

    def __init__(self, service_port):
        self.requests = []
        recorded = self.requests

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                recorded.append(self.requestline + '\n' + str(self.headers))
                body = b'<!doctype html><title>other</title><p>another page'
                self.send_response(200)
                self.send_header('Content-Type', 'text/html')
                self.send_header('Set-Cookie', f'tarvel_{service_port}=planted; Path=/')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *arguments):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def hook(bin_dir, home, fixtures, session, command=None):
    document = json.load(open(os.path.join(fixtures, 'agents/claude/PermissionRequest.json')))
    document['session_id'] = session
    if command is not None:
        document['tool_input']['command'] = command
    process = subprocess.Popen([os.path.join(bin_dir, 'tarvel-hook'), '--provider', 'claude-code'],
                               env={'HOME': home, 'PATH': '/usr/bin:/bin'}, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdin.write(json.dumps(document))
    process.stdin.close()
    return process


def card(session):
    return f'[data-reply-id="{session}"]'


def access_rules(service, home):
    """The rules over TCP, with a plain HTTP client."""
    missing = service.request('GET', '/v1/state', token=False)
    wrong = service.request('GET', '/v1/state', token='0' * 64)
    check(missing[0] == 401 and wrong[0] == 401, f'no or wrong token: {missing[0]}, {wrong[0]}')
    check(missing[1] == wrong[1], 'a missing and a wrong token are told apart')
    check(service.request('GET', '/v1/state', host=f'rebound.example:{service.port}')[0] == 421,
          'a foreign Host is served')
    check(service.request('GET', '/v1/state', host=f'localhost:{service.port}')[0] == 200,
          'localhost:PORT is refused')
    foreign = service.request('POST', '/v1/sessions/clear-finished', body='{}',
                              headers={'Origin': 'http://evil.example'})
    check(foreign[0] == 403, f'a foreign Origin may POST: {foreign[0]}')
    own = service.request('POST', '/v1/sessions/clear-finished', body='{}',
                          headers={'Origin': f'http://127.0.0.1:{service.port}'})
    check(own[0] == 200, f'the page\'s own Origin may not POST: {own[0]}')
    # The page's own files hold no data and come without the token, and without any cookie.
    status, _, response = service.request('GET', '/', token=False)
    policy = response.getheader('Content-Security-Policy') or ''
    check(status == 200 and "default-src 'none'" in policy and "frame-ancestors 'none'" in policy,
          f'page: {status} {policy}')
    check(response.getheader('X-Content-Type-Options') == 'nosniff', 'nosniff missing')
    check(response.getheader('Set-Cookie') is None, 'the page sets a cookie')
    # Data only with the header: not for the token as a cookie (an earlier version's, or one that
    # another port set) nor in the address.
    cookie = {'Cookie': f'tarvel_{service.port}={service.token}'}
    for method, path in (('GET', '/v1/state'), ('GET', '/v1/events?answerer=web'),
                         ('GET', '/v1/status'), ('GET', '/v1/health'),
                         ('GET', '/v1/sessions/claude-code:x'),
                         ('POST', '/v1/sessions/clear-finished'),
                         ('POST', '/v1/prompts/11111111-1111-4111-8111-111111111111')):
        for headers, query in ((cookie, ''), ({}, ('&' if '?' in path else '?') + 'token=' + service.token)):
            answer = service.request(method, path + query, body='{}' if method == 'POST' else None,
                                     token=False, headers=headers)
            check(answer[0] == 401 and answer[2].getheader('Set-Cookie') is None,
                  f'{method} {path}{query} without the header: {answer[0]} {answer[1]}')
    # A browser that still holds such a cookie is told to drop it.
    _, _, response = service.request('GET', '/', token=False, headers=cookie)
    dropped = response.getheader('Set-Cookie') or ''
    check(dropped.startswith(f'tarvel_{service.port}=;') and 'Max-Age=0' in dropped, dropped)
    mode = os.stat(os.path.join(home, '.tarvel', 'token')).st_mode & 0o777
    check(mode == 0o600, f'token file mode {oct(mode)}')
    # What a phone needs to keep the page on its home screen comes without the token too.
    status, body, response = service.request('GET', '/manifest.webmanifest', token=False)
    manifest = json.loads(body)
    check(status == 200 and response.getheader('Content-Type') == 'application/manifest+json' and
          manifest['display'] == 'standalone' and manifest['start_url'] == '/',
          f'manifest: {status} {body}')
    check("manifest-src 'self'" in policy, f'the policy refuses the manifest: {policy}')
    sizes = []
    for icon in manifest['icons']:
        connection = http.client.HTTPConnection(service.host, service.port, timeout=10)
        connection.request('GET', icon['src'])
        response = connection.getresponse()
        image = response.read()
        check(response.status == 200 and response.getheader('Content-Type') == 'image/png' and
              image.startswith(b'\x89PNG\r\n\x1a\n'), f'icon {icon["src"]}: {response.status}')
        # The PNG header's width and height.
        sizes.append(f'{struct.unpack(">I", image[16:20])[0]}x{struct.unpack(">I", image[20:24])[0]}')
    check(sizes == [icon['sizes'] for icon in manifest['icons']], f'icon sizes {sizes}')


def certificate(folder):
    """A certificate for 127.0.0.1 and its key, made here, and the hash of its public key that
    Chromium is told to trust."""
    cert, key = os.path.join(folder, 'cert.pem'), os.path.join(folder, 'key.pem')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
                    '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
                    '-keyout', key, '-out', cert], check=True, capture_output=True)
    public = subprocess.run(['openssl', 'x509', '-in', cert, '-pubkey', '-noout'], check=True,
                            capture_output=True).stdout
    der = subprocess.run(['openssl', 'pkey', '-pubin', '-outform', 'der'], input=public, check=True,
                         capture_output=True).stdout
    digest = subprocess.run(['openssl', 'dgst', '-sha256', '-binary'], input=der, check=True,
                            capture_output=True).stdout
    return cert, key, base64.b64encode(digest).decode()


def main():
    bin_dir, fixtures, artefacts = sys.argv[1:4]
    if not shutil.which('chromium'):
        print('chromium is not installed; skipped')
        return 77
    os.makedirs(artefacts, exist_ok=True)
    home = tempfile.mkdtemp(prefix='tarvel-web-')
    secure_home = tempfile.mkdtemp(prefix='tarvel-web-tls-')
    service = browser = secure = None
    hooks = []
    try:
        service = Service(bin_dir, home)
        access_rules(service, home)

        first = hook(bin_dir, home, fixtures, '11111111-1111-4111-8111-111111111111')
        second = hook(bin_dir, home, fixtures, '22222222-2222-4222-8222-222222222222')
        hooks += [first, second]
        wait_until(lambda: len(service.prompts()) == 2, what='two live prompts')
        ids = {p['sessionId'].split(':')[1][:1]: p['replyId'] for p in service.prompts()}

        cert, key, spki = certificate(secure_home)
        browser = Browser(artefacts, [f'--ignore-certificate-errors-spki-list={spki}'])
        browser.call('Page.enable')
        browser.call('Emulation.setDeviceMetricsOverride', width=390, height=844,
                     deviceScaleFactor=1, mobile=True)
        browser.call('Page.navigate', url=service.url)
        browser.wait_for('document.querySelectorAll(".prompt").length === 2', what='two prompts')
        # The open page counts as a surface that can answer prompts.
        wait_until(lambda: [a['kind'] for a in json.loads(service.request('GET', '/v1/state')[1])['answerers']] == ['web'],
                   what='the page listed as an answerer')
        check(browser.evaluate('location.href') == f'http://{service.host}:{service.port}/',
              'the token stays in the address: ' + browser.evaluate('location.href'))
        check(browser.evaluate('sessionStorage.getItem("tarvel-token")') == service.token,
              'the token is not kept in the tab')
        check(browser.cookies() == [], f'cookies set: {browser.cookies()}')
        # The page's own requests without the header get nothing, cookies or not.
        check(browser.evaluate('fetch("/v1/state", {credentials: "include"}).then(r => r.status)') == 401,
              'the page got data without the header')

        # A prompt that arrives while the page is open, with an agent text that is markup.
        started = time.monotonic()
        third = hook(bin_dir, home, fixtures, '33333333-3333-4333-8333-333333333333', HOSTILE)
        hooks.append(third)
        browser.wait_for('document.querySelectorAll(".prompt").length === 3', what='the third prompt')
        latency = time.monotonic() - started
        print(f'hook started -> prompt on the page: {latency * 1000:.0f} ms')
        # A click on a prompt that has just appeared is not taken.
        third_id = next(p['replyId'] for p in service.prompts() if p['sessionId'].endswith('33333333-3333-4333-8333-333333333333'))
        browser.click(card(third_id) + ' button.deny')
        time.sleep(0.3)
        check(browser.evaluate(f'document.querySelector(\'{card(third_id)} .status\').className') == 'status settling',
              'a click on a prompt that just appeared was taken')
        check(third.poll() is None and len(service.prompts()) == 3, 'the third hook was answered')
        shown = browser.evaluate('[...document.querySelectorAll(".prompt .detail")].map(n => n.textContent)')
        check(HOSTILE in shown, f'the markup is not shown as text: {shown}')
        check(browser.evaluate('document.scripts.length') == 2, 'a script element was made')  # names.js, app.js
        check(browser.evaluate('document.getElementById("injected") === null && window.injected === undefined'),
              'the agent text became markup')
        browser.wait_for('document.getElementById("connection").dataset.state === "live"')
        check(browser.evaluate('document.querySelectorAll(".session").length') == 3, 'sessions not listed')
        # People's words: the agent and state names of the terminal display, no identifiers; the
        # prompt card says which work asks and where.
        words = browser.evaluate('document.body.innerText')
        for identifier in ('claude-code', 'waitingForUser', 'executingTool'):
            check(identifier not in words, f'the page shows the identifier {identifier}')
        check('Claude Code' in words and 'Needs attention' in words, f'names missing: {words}')
        where = browser.evaluate(f'document.querySelector(\'{card(ids["1"])} .where\').textContent')
        check(where.startswith('in /'), f'the prompt card does not say where: {where!r}')

        # A second tab from the printed address works beside the first and brings the prompt it
        # names into view; one opened from the bare address works too, as from a phone's home
        # screen, since this device keeps the token, and the page says so. "Forget this device"
        # takes it away: that tab is refused, and so is the next one opened without the token.
        page = f'http://{service.host}:{service.port}/'
        for url, wanted in ((service.url + '&prompt=' + third_id, third_id), (page, None), (page, 'none')):
            tab = browser.open_tab(url)
            try:
                expected = 'refused' if wanted == 'none' else 'live'
                tab.wait_for(f'document.getElementById("connection")?.dataset.state === "{expected}"',
                             what=f'a second tab {expected}')
                check(tab.evaluate('location.href') == page, 'the address keeps the token')
                shown = tab.evaluate('[...document.querySelectorAll(".prompt")].map(n => [n.dataset.replyId, n.classList.contains("wanted")])')
                check(sorted(shown) == (sorted([[ids['1'], False], [ids['2'], False], [third_id, wanted == third_id]])
                                        if expected == 'live' else []), f'second tab: {shown}')
                kept = tab.evaluate('!document.getElementById("device-kept").hidden')
                check(kept == (expected == 'live'), f'the page says the device keeps the token: {kept}')
                if wanted is None:
                    tab.evaluate('document.getElementById("forget-device").click()')
                    tab.wait_for('document.getElementById("connection")?.dataset.state === "refused" && '
                                 '!document.getElementById("device-forgotten").hidden',
                                 what='forgotten')
                    check(tab.evaluate('localStorage.getItem("tarvel-token")') is None,
                          'the device still keeps the token')
            finally:
                browser.call('Target.closeTarget', targetId=tab.target)
                tab.socket.sock.close()

        # Another port of this host (someone else's page the user opens) is sent neither the token
        # nor a cookie; the cookie it plants under the service's old name breaks nothing and is
        # dropped; back on the page, and after a reload, the tab still has its token.
        other = OtherServer(service.port)
        try:
            browser.call('Page.navigate', url=f'http://127.0.0.1:{other.port}/')
            wait_until(lambda: other.requests, what='the other server visited')
            browser.wait_for('document.title === "other"')
            check(any(c['name'] == f'tarvel_{service.port}' for c in browser.cookies()),
                  'the other server could not plant its cookie')
            browser.call('Page.navigate', url=page)
            browser.wait_for('document.getElementById("connection")?.dataset.state === "live" && '
                             'document.querySelectorAll(".prompt").length === 3', what='the page again')
            browser.evaluate('window.beforeReload = true')
            browser.call('Page.reload')
            browser.wait_for('!window.beforeReload && '
                             'document.getElementById("connection")?.dataset.state === "live" && '
                             'document.querySelectorAll(".prompt").length === 3', what='the page reloaded')
            # Its first request came before it planted anything (later ones carry its own cookie).
            sent = ''.join(other.requests)
            check('cookie' not in other.requests[0].lower() and service.token not in sent,
                  'the other port was sent: ' + sent)
            check(browser.cookies() == [], f'cookies left: {browser.cookies()}')
        finally:
            other.close()

        browser.screenshot(os.path.join(artefacts, 'web-phone.png'), 390, 844, True)
        check(browser.evaluate('document.documentElement.scrollWidth <= 390'), 'wider than a phone')
        browser.screenshot(os.path.join(artefacts, 'web-desktop.png'), 1280, 800, False)

        # Allow, clicked, reaches the first hook and only it.
        time.sleep(1.1)  # clicks on a prompt that just appeared or moved are not taken
        browser.click(card(ids['1']) + ' button.allow')
        check(first.wait(10) == 0, 'the first hook did not end')
        output = first.stdout.read()
        check(output == ALLOW, f'the first hook answered {output!r}')
        browser.wait_for(f'document.querySelector(\'{card(ids["1"])} .status\').textContent === "Allowed"',
                         what='"Allowed"')
        check(second.poll() is None, 'the second hook ended too')

        # The second prompt is answered through the API while the page, not yet told, is clicked:
        # the page's thread is held (synchronous requests) until the service no longer lists it.
        time.sleep(1.1)  # the second card moved up when the first left
        held = f'''(() => {{ const until = Date.now() + 10000;
            while (Date.now() < until) {{
              const x = new XMLHttpRequest(); x.open('GET', '/v1/state', false);
              x.setRequestHeader('Authorization', 'Bearer ' + sessionStorage.getItem('tarvel-token'));
              x.send();
              if (!JSON.parse(x.responseText).prompts.some(p => p.replyId === "{ids['2']}")) break;
            }}
            document.querySelector('{card(ids["2"])} button.allow').click(); return true; }})()'''
        browser.next_id += 1
        pending = browser.next_id
        browser.socket.send(json.dumps({'id': pending, 'method': 'Runtime.evaluate',
                                        'params': {'expression': held, 'returnByValue': True}}))
        time.sleep(0.2)
        status, body, _ = service.request('POST', f'/v1/prompts/{ids["2"]}', body='{"decision":"allow"}')
        check(status == 200, f'the API answer: {status} {body}')
        browser.result(pending)
        check(second.wait(10) == 0 and second.stdout.read() == ALLOW, 'the second hook')
        browser.wait_for(f'document.querySelector(\'{card(ids["2"])} .status\').textContent.startsWith("Answered elsewhere")',
                         what='"Answered elsewhere"')

        # Question pickers: one answer to a single-choice question, two to a multiple-choice one.
        questions = subprocess.Popen(
            [os.path.join(bin_dir, 'tarvel-hook'), '--provider', 'claude-code'],
            env={'HOME': home, 'PATH': '/usr/bin:/bin'}, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        hooks.append(questions)
        questions.stdin.write(json.dumps({
            'session_id': '44444444-4444-4444-8444-444444444444', 'cwd': '/home/dev/proj',
            'hook_event_name': 'PreToolUse', 'tool_name': 'AskUserQuestion', 'tool_use_id': 'toolu_1',
            'tool_input': {'questions': [
                {'question': 'Which database?', 'header': 'DB', 'multiSelect': False,
                 'options': [{'label': 'Postgres', 'description': 'SQL'}, {'label': 'Redis'}]},
                {'question': 'Which caches?', 'multiSelect': True,
                 'options': [{'label': 'Memory'}, {'label': 'Disk'}, {'label': 'None'}]}]}}))
        questions.stdin.close()
        browser.wait_for('document.querySelectorAll(".prompt fieldset").length === 2', what='the pickers')
        asked = next(p['replyId'] for p in service.prompts() if p['pendingReply']['kind'] == 'question')
        check(browser.evaluate(f'document.querySelector(\'{card(asked)} input[value="Disk"]\').type') == 'checkbox',
              'a multiple-choice question is not a set of checkboxes')
        time.sleep(1.1)
        for label in ('Redis', 'Memory', 'Disk'):
            browser.click(f'{card(asked)} input[value="{label}"]')
        browser.screenshot(os.path.join(artefacts, 'web-question-phone.png'), 390, 844, True)
        browser.click(f'{card(asked)} button.send')
        check(questions.wait(10) == 0, 'the question hook did not end')
        answers = json.loads(questions.stdout.read())['hookSpecificOutput']['updatedInput']['answers']
        check(answers['Which database?'] == 'Redis', f'answers: {answers}')
        check('Memory' in answers['Which caches?'] and 'Disk' in answers['Which caches?']
              and 'None' not in answers['Which caches?'], f'answers: {answers}')

        # Clear finished, as the terminal display's c: the ended session leaves the list.
        ended = subprocess.Popen(
            [os.path.join(bin_dir, 'tarvel-hook'), '--provider', 'claude-code'],
            env={'HOME': home, 'PATH': '/usr/bin:/bin'}, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ended.communicate(json.dumps({'session_id': '11111111-1111-4111-8111-111111111111',
                                      'cwd': '/home/dev/proj', 'hook_event_name': 'SessionEnd',
                                      'reason': 'exit'}), timeout=10)
        browser.wait_for('!document.getElementById("clear-finished").hidden', what='the clear button')
        browser.click('#clear-finished')
        browser.wait_for('!document.querySelector(\'[data-session-id="claude-code:11111111-1111-4111-8111-111111111111"]\')',
                         what='the finished session cleared')
        check(browser.evaluate('document.querySelector(\'[data-session-id="claude-code:33333333-3333-4333-8333-333333333333"]\') !== null'),
              'clear finished removed a session that still waits')

        # The service stops: the page says so.
        service.process.send_signal(signal.SIGTERM)
        check(service.process.wait(10) == 0,
              'tarvel serve did not stop cleanly:\n' + ''.join(service.log[-20:]))
        browser.wait_for('document.getElementById("connection").dataset.state === "disconnected"',
                         what='"disconnected"')
        browser.screenshot(os.path.join(artefacts, 'web-disconnected.png'), 390, 844, True)

        # Over TLS, with a certificate the browser trusts: the page goes live and answers.
        secure = Service(bin_dir, secure_home, ['--tls-cert', cert, '--tls-key', key])
        check(secure.url.startswith('https://127.0.0.1:'), 'the TLS service printed ' + secure.url)
        held = hook(bin_dir, secure_home, fixtures, '44444444-4444-4444-8444-444444444444')
        hooks.append(held)
        tab = browser.open_tab(secure.url)
        try:
            tab.wait_for('document.getElementById("connection")?.dataset.state === "live" && '
                         'document.querySelectorAll(".prompt").length === 1', what='the page over TLS')
            time.sleep(1.1)  # clicks on a prompt that just appeared are not taken
            tab.click('.prompt button.allow')
            check(held.wait(10) == 0 and held.stdout.read() == ALLOW, 'the hook was not allowed over TLS')
        finally:
            browser.call('Target.closeTarget', targetId=tab.target)
            tab.socket.sock.close()
        print('web page test passed; screenshots in', artefacts)
        return 0
    finally:
        if browser:
            browser.close()
        for process in hooks:
            if process.poll() is None:
                process.kill()
            process.wait()
        for running in (service, secure):
            if running and running.process.poll() is None:
                running.process.terminate()
                running.process.wait(10)
        shutil.rmtree(home, ignore_errors=True)
        shutil.rmtree(secure_home, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
