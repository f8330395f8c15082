#!/usr/bin/env python3
"""Fails when a source file includes a header from a folder it may not use.

The linker does not see header-only dependencies, so this is the check that keeps the rooms
apart: Sockets, Hooks and Sessions never include one another, the display service knows no agent,
and the hook program knows nothing of the displays. Usage: include_rules.py SOURCE_DIR
"""
import pathlib
import re
import sys

# Folder (relative to Sources/) -> folders its files may include from, besides its own.
PLATFORM = ["TarvelCore/Platform"]
MODELS = PLATFORM + ["TarvelCore/Models"]
RULES = [
    ("TarvelCore/Platform", PLATFORM),
    ("TarvelCore/Models", MODELS),
    ("TarvelCore/Sockets", MODELS),
    ("TarvelCore/Hooks", MODELS),
    ("TarvelCore/Sessions", MODELS),
    ("QuoyaCore", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions"]),
    ("TarvelDisplay/Shared", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions"]),
    ("TarvelDisplay", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions",
                                "TarvelDisplay/Shared"]),
    ("QuoyaCodexHook", MODELS + ["TarvelCore/Sockets", "QuoyaCore"]),
    ("Tools/tarvel-hook", MODELS + ["TarvelCore/Sockets", "TarvelCore/Hooks"]),
    # The other programs wire whatever they need; they never borrow from one another.
    ("Tools/tarvel-island", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "QuoyaCore",
                                      "TarvelDisplay"]),
    ("Tools/tarvel-monitor", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "QuoyaCore",
                                       "TarvelDisplay"]),
    ("Tools/tarvel", MODELS + ["TarvelCore/Sockets", "TarvelCore/Sessions", "TarvelCore/Hooks",
                               "QuoyaCore", "TarvelDisplay"]),
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def rule_for(relative: str):
    """The longest folder rule that holds this file, or None for folders with no rule."""
    best = None
    for folder, allowed in RULES:
        if relative == folder or relative.startswith(folder + "/"):
            if best is None or len(folder) > len(best[0]):
                best = (folder, allowed)
    return best


def main() -> int:
    sources = pathlib.Path(sys.argv[1]) / "Sources"
    faults = []
    checked = 0
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
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if not (sources / target).exists() and "/" not in target:
                continue  # a generated header beside the build, such as WebPageFiles.hpp
            folders = [own] + allowed
            if not any(target.startswith(folder + "/") for folder in folders):
                faults.append(f"{relative}: includes {target}, outside {', '.join(folders)}")
    for fault in faults:
        print(fault)
    print(f"{checked} files checked, {len(faults)} faults")
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
