#!/usr/bin/env python3
"""Fails when a source file includes a header from a folder it may not use, or when files
include each other (directly or round a longer loop).

The linker does not see header-only dependencies, so this is the check that keeps the rooms
apart: Sockets, Hooks and Sessions never include one another, the display service knows no agent,
and the hook program knows nothing of the displays. A header and its source count as one file
here, so two files include each other also when each one's source includes the other's header.
Usage: include_rules.py SOURCE_DIR
"""
import pathlib
import re
import sys

# Folder (relative to Sources/) -> folders its files may include from, besides its own.
PLATFORM = ["TarvelCore/Platform"]
MODELS = PLATFORM + ["TarvelCore/Models"]
DISPLAY_SHARED = MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "TarvelDisplay/Shared"]
RULES = [
    ("TarvelCore/Platform", PLATFORM),
    ("TarvelCore/Models", MODELS),
    ("TarvelCore/Sockets", MODELS),
    ("TarvelCore/Hooks", MODELS),
    ("TarvelCore/Sessions", MODELS),
    ("QuoyaCore", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions"]),
    # The display service's rooms: Shared under the rest; Client, History, Remote, Notifications
    # and Api side by side on it, never using one another; Service wires them.
    ("TarvelDisplay/Shared", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions"]),
    ("TarvelDisplay/Client", DISPLAY_SHARED),
    ("TarvelDisplay/History", DISPLAY_SHARED),
    ("TarvelDisplay/Remote", MODELS + ["TarvelCore/Sockets"]),
    ("TarvelDisplay/Notifications", DISPLAY_SHARED),
    ("TarvelDisplay/Api", DISPLAY_SHARED),
    ("TarvelDisplay/Service", DISPLAY_SHARED + ["TarvelDisplay/History", "TarvelDisplay/Remote",
                                                "TarvelDisplay/Notifications",
                                                "TarvelDisplay/Api"]),
    ("QuoyaCodexHook", MODELS + ["TarvelCore/Sockets", "QuoyaCore"]),
    ("Tools/tarvel-hook", MODELS + ["TarvelCore/Sockets", "TarvelCore/Hooks"]),
    # The other programs wire whatever they need; they never borrow from one another.
    # The terminal display links the service's client, never its servers.
    ("Tools/tarvel-island", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "QuoyaCore",
                                      "TarvelDisplay/Shared", "TarvelDisplay/Client"]),
    ("Tools/tarvel-monitor", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "QuoyaCore"]),
    ("Tools/tarvel", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "TarvelCore/Hooks",
                               "QuoyaCore", "TarvelDisplay"]),
]
# Files that include one another today, each with why. No other file may join one of these loops
# and no new loop may form; a loop listed here that no longer exists is a fault too (take it off
# the list), so the list only shrinks.
KNOWN_LOOPS = {
    frozenset({"TarvelCore/Hooks/Codex/CodexEventPolicy", "TarvelCore/Hooks/ProviderEventPolicy"}):
        "the providers' policy calls Codex's by name, which uses the providers' helpers",
    frozenset({"TarvelCore/Sessions/SessionIndex", "TarvelCore/Sessions/SessionIndexStorage"}):
        "the index's private storage, defined for and included by the index's own sources only",
    frozenset({"Tools/tarvel/Configuration", "Tools/tarvel/RemoteHostsConfig",
               "Tools/tarvel/ServiceCommands", "Tools/tarvel/ServiceControl"}):
        "tarvel's subcommands call one another's functions",
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def rule_for(relative: str):
    """The longest folder rule that holds this file, or None for folders with no rule."""
    best = None
    for folder, allowed in RULES:
        if relative == folder or relative.startswith(folder + "/"):
            if best is None or len(folder) > len(best[0]):
                best = (folder, allowed)
    return best


def loops(uses):
    """The groups of files that reach one another through their includes (Tarjan's algorithm),
    each as a sorted list; a file alone is no loop."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(start):
        # Iterative, so that a long chain of includes cannot exhaust Python's recursion.
        work = [(start, iter(sorted(uses.get(start, ()))))]
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        while work:
            node, rest = work[-1]
            for nxt in rest:
                if nxt not in index:
                    index[nxt] = low[nxt] = len(index)
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(sorted(uses.get(nxt, ())))))
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], index[nxt])
            else:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    group = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        group.append(member)
                        if member == node:
                            break
                    if len(group) > 1:
                        found.append(sorted(group))

    for node in sorted(uses):
        if node not in index:
            visit(node)
    return found


def main() -> int:
    sources = pathlib.Path(sys.argv[1]) / "Sources"
    faults = []
    checked = 0
    uses = {}  # file without its suffix -> the files (without suffix) it includes
    for path in sorted(sources.rglob("*")):
        if path.suffix not in (".cpp", ".hpp") or not path.is_file():
            continue
        relative = path.relative_to(sources).as_posix()
        rule = rule_for(relative)
        if rule is None:
            faults.append(f"{relative}: no include rule covers this folder; add one")
            continue
        own, allowed = rule
        checked += 1
        unit = relative.rsplit(".", 1)[0]
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if (sources / target).exists() and target.rsplit(".", 1)[0] != unit:
                uses.setdefault(unit, set()).add(target.rsplit(".", 1)[0])
            if not (sources / target).exists() and "/" not in target:
                continue  # a generated header beside the build, such as WebPageFiles.hpp
            folders = [own] + allowed
            if not any(target.startswith(folder + "/") for folder in folders):
                faults.append(f"{relative}: includes {target}, outside {', '.join(folders)}")
    seen_loops = set()
    for group in loops(uses):
        if frozenset(group) in KNOWN_LOOPS:
            seen_loops.add(frozenset(group))
            continue
        if len(group) == 2:
            faults.append(f"{group[0]} and {group[1]} include each other; move what both need down")
        else:
            faults.append(f"{', '.join(group)} include one another round a loop; move what they "
                          "share down")
    for gone in KNOWN_LOOPS.keys() - seen_loops:
        faults.append(f"{', '.join(sorted(gone))} no longer include one another: take them off "
                      "KNOWN_LOOPS")
    for fault in faults:
        print(fault)
    print(f"{checked} files checked, {len(faults)} faults")
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
