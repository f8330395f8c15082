#!/usr/bin/env python3
"""How fast a prompt reaches the phone, and an answer from the phone reaches the agent.

Starts `tarvel serve` in a temporary HOME with ntfy set to a stand-in ntfy server on this machine
(the one of Tests/TarvelDisplay/phone_test.py, which records when each publish arrives) and the
phone as the only answerer, then 50 times in turn:
  1. a real tarvel-hook with a Claude Code permission request is started; timed from its start
     (it registers a moment later) until its message arrives at the ntfy server;
  2. the message's Allow is done as ntfy's app does it (a POST to its address); timed from the
     POST until the hook has printed its answer and exited.
Prints the median and the slowest of each.
Usage: phone_push.py <bin directory>
"""
import os
import shutil
import statistics
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'Tests', 'TarvelDisplay'))
import phone_test  # noqa: E402

ROUNDS = 50


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    fixtures = os.path.join(here, '..', 'Tests', 'Fixtures')
    home = tempfile.mkdtemp(prefix='tarvel-phone-bench-')
    ntfy = phone_test.NtfyServer()
    port = phone_test.free_port()
    service = phone_test.Service(bin_dir, home, [
        f'http = "127.0.0.1:{port}"', 'notify = false', 'ntfy_answers = true',
        f'ntfy = "http://127.0.0.1:{ntfy.port}/tarvel-bench"',
        f'public_url = "http://127.0.0.1:{port}"'])
    published, answered = [], []
    try:
        service.wait_for_answerers(['phone'])
        for round in range(ROUNDS):
            session = f'{round:08x}-1111-4111-8111-111111111111'
            hook = phone_test.hook(bin_dir, home, fixtures, session)
            received, message, _ = phone_test.publish_for(ntfy, round + 1)
            published.append(received - hook.started)
            allow = phone_test.action(message, 'Allow')['url']
            tapped = time.time()
            status, body, _ = phone_test.tap(allow)
            phone_test.check(status == 200, f'Allow: {status} {body}')
            output = phone_test.finish(hook)
            answered.append(time.time() - tapped)
            phone_test.check('"behavior":"allow"' in output, output)
    finally:
        service.stop()
        ntfy.close()
        shutil.rmtree(home, ignore_errors=True)
    for name, values in (('hook start to publish', published),
                         ('Allow to hook answer', answered)):
        print(f'{name}: median {1000 * statistics.median(values):.1f} ms, '
              f'slowest {1000 * max(values):.1f} ms over {len(values)}')


if __name__ == '__main__':
    main()
