#!/usr/bin/env python3
"""The web page as a person sees it, for a shell test: one headless Chromium, kept open, reads
commands from standard input and answers each with one line on standard output.
- `open URL`: shows the page at URL, once it is live (connected to its service);
- `blank`: leaves the page (it is then no answerer);
- `sample`: "W|TITLE|R|ROWS": the waiting count in the page's header, its tab title, how many
  rows show their session waiting, and every row's state badge, " / " between them;
- `row TEXT`: "yes" when a row's state badge says TEXT, else "no".
Errors are answered as "error: ...". Usage: page_reader.py ARTEFACT_DIR"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'Support'))
from devtools import Browser  # noqa: E402

READ = '''(() => {
  const header = document.getElementById('counts').textContent;
  const waiting = /^(\\d+) waiting/.exec(header);
  const badges = [...document.querySelectorAll('#sessions li.session')].map((row) =>
    row.querySelector('.top > .badge[class*="state-"]'));
  return [waiting ? waiting[1] : '0', document.title,
          String(badges.filter((badge) => badge.classList.contains('state-waitingForUser')).length),
          badges.map((badge) => badge.textContent).join(' / ')].join('|');
})()'''


def answer(browser, command):
    verb, _, argument = command.partition(' ')
    if verb == 'open':
        browser.call('Page.navigate', url=argument)
        browser.wait_for("document.getElementById('connection') && "
                         "document.getElementById('connection').dataset.state === 'live'",
                         what='the page to connect')
        return 'ok'
    if verb == 'blank':
        browser.call('Page.navigate', url='about:blank')
        browser.wait_for("location.href === 'about:blank'")
        return 'ok'
    if verb == 'sample':
        return browser.evaluate(READ)
    if verb == 'row':
        rows = browser.evaluate(READ).split('|', 3)[3]
        return 'yes' if argument in rows.split(' / ') else 'no'
    return 'error: unknown command ' + verb


def main():
    browser = Browser(sys.argv[1])
    try:
        for line in sys.stdin:
            try:
                reply = answer(browser, line.strip())
            except Exception as error:  # the test shows it and fails
                reply = 'error: ' + str(error).replace('\n', ' ')
            print(reply, flush=True)
    finally:
        browser.close()


if __name__ == '__main__':
    main()
