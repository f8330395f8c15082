#!/usr/bin/env python3
"""Makes the README's picture of the terminal display from a real capture.

A capture is what `tmux capture-pane -e -p` printed (text with its colour sequences); the demo
writes one when TARVEL_DEMO_CAPTURE names a file. This turns it into an HTML page of terminal
cells and has headless Chromium take a screenshot of it.

usage: picture.py CAPTURE.ansi OUTPUT.png
"""
import html
import os
import re
import subprocess
import sys
import tempfile

PALETTE = ["#1e1e1e", "#e06c75", "#98c379", "#e5c07b", "#61afef", "#c678dd", "#56b6c2", "#dcdfe4"]
BRIGHT = ["#5c6370", "#ef8891", "#b5e08f", "#f0d197", "#88c4f7", "#d99ee6", "#7fd0db", "#ffffff"]
FOREGROUND, BACKGROUND = "#dcdfe4", "#282c34"
SGR = re.compile(r"\x1b\[([0-9;]*)m")


def colour_256(index):
    if index < 8:
        return PALETTE[index]
    if index < 16:
        return BRIGHT[index - 8]
    if index < 232:
        index -= 16
        steps = [0, 95, 135, 175, 215, 255]
        return "#%02x%02x%02x" % (steps[index // 36], steps[index // 6 % 6], steps[index % 6])
    grey = 8 + (index - 232) * 10
    return "#%02x%02x%02x" % (grey, grey, grey)


def apply(codes, style):
    numbers = [int(code) if code else 0 for code in codes.split(";")] if codes else [0]
    i = 0
    while i < len(numbers):
        n = numbers[i]
        if n == 0:
            style.clear()
        elif n == 1:
            style["bold"] = True
        elif n == 2:
            style["dim"] = True
        elif n == 22:
            style.pop("bold", None)
            style.pop("dim", None)
        elif n == 7:
            style["reverse"] = True
        elif n == 27:
            style.pop("reverse", None)
        elif 30 <= n <= 37:
            style["fg"] = PALETTE[n - 30]
        elif 90 <= n <= 97:
            style["fg"] = BRIGHT[n - 90]
        elif 40 <= n <= 47:
            style["bg"] = PALETTE[n - 40]
        elif n == 39:
            style.pop("fg", None)
        elif n == 49:
            style.pop("bg", None)
        elif n in (38, 48) and i + 1 < len(numbers):
            key = "fg" if n == 38 else "bg"
            if numbers[i + 1] == 5 and i + 2 < len(numbers):
                style[key] = colour_256(numbers[i + 2])
                i += 2
            elif numbers[i + 1] == 2 and i + 4 < len(numbers):
                style[key] = "#%02x%02x%02x" % tuple(numbers[i + 2:i + 5])
                i += 4
        i += 1


def css(style):
    fg, bg = style.get("fg", FOREGROUND), style.get("bg")
    if style.get("reverse"):
        fg, bg = bg or BACKGROUND, fg
    rules = ["color:" + fg]
    if bg:
        rules.append("background:" + bg)
    if style.get("bold"):
        rules.append("font-weight:bold")
    if style.get("dim"):
        rules.append("opacity:0.6")
    return ";".join(rules)


def page(capture):
    lines = capture.rstrip("\n").split("\n")
    while lines and not SGR.sub("", lines[-1]).strip():
        lines.pop()
    rows = []
    style = {}
    for line in lines:
        out = []
        position = 0
        for match in SGR.finditer(line):
            text = line[position:match.start()]
            if text:
                out.append('<span style="%s">%s</span>' % (css(style), html.escape(text)))
            apply(match.group(1), style)
            position = match.end()
        text = line[position:]
        if text:
            out.append('<span style="%s">%s</span>' % (css(style), html.escape(text)))
        rows.append("".join(out) or " ")
    return """<!doctype html><meta charset="utf-8"><style>
body{margin:0;background:#1b1f24}
.window{display:inline-block;margin:16px;border-radius:8px;background:%s;padding:14px 18px;
box-shadow:0 4px 18px #0008}
pre{margin:0;font:15px/1.35 "DejaVu Sans Mono",monospace;color:%s}
</style><div class="window"><pre>%s</pre></div>""" % (BACKGROUND, FOREGROUND, "\n".join(rows)), len(rows)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: picture.py CAPTURE.ansi OUTPUT.png")
    with open(sys.argv[1], encoding="utf-8", errors="replace") as file:
        document, count = page(file.read())
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "display.html")
        with open(path, "w", encoding="utf-8") as file:
            file.write(document)
        height = 32 + 28 + int(count * 15 * 1.35) + 4
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        "--window-size=%d,%d" % (960, height), "--screenshot=" + os.path.abspath(sys.argv[2]),
                        "file://" + path], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       cwd=folder)


if __name__ == "__main__":
    main()
