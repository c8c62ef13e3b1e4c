#!/usr/bin/env python3
"""Checks that every include of the engine's sources points down its floors:

    binding -> engine -> features -> linalg -> shared,  and inside engine: pull -> sync -> json

Each folder (or file) may include only what its rule lists; no core file includes Python's headers.
    python3 scripts/check-includes.py [engine/src]
Prints every include that breaks a rule and exits 1 if there is one.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

# The most specific prefix wins. An include is allowed when it starts with one of the listed
# prefixes.
RULES = {
    "shared/": ["shared/"],
    "linalg/": ["linalg/", "shared/"],
    "features/": ["features/", "shared/"],
    "engine/json/": ["engine/json/", "shared/"],
    "engine/sync/": ["engine/sync/", "engine/sync.hpp", "engine/json/", "shared/"],
    "engine/sync.hpp": ["shared/"],
    "engine/": ["engine/", "features/", "linalg/", "shared/"],
    "binding/": ["binding/", "engine/engine_core.hpp", "shared/"],
}
PYTHON_HEADERS = re.compile(r'#include\s*[<"](Python\.h|py[a-z_]*\.h)[>"]')
LOCAL = re.compile(r'#include\s*"([^"]+)"')


def rule_for(path: str) -> list[str]:
    best = max((p for p in RULES if path.startswith(p)), key=len, default=None)
    if best is None:
        raise SystemExit(f"{path}: no rule says what it may include")
    return RULES[best]


def main(argv: list[str]) -> int:
    root = Path(argv[0]) if argv else Path(__file__).resolve().parent.parent / "engine" / "src"
    faults = []
    files = sorted(p for p in root.rglob("*") if p.suffix in (".hpp", ".cpp"))
    if not files:
        print(f"{root}: no sources", file=sys.stderr)
        return 1
    for file in files:
        path = file.relative_to(root).as_posix()
        allowed = rule_for(path)
        for number, line in enumerate(file.read_text(encoding="utf-8").splitlines(), 1):
            if not path.startswith("binding/") and PYTHON_HEADERS.search(line):
                faults.append(f"{path}:{number}: the core includes a Python header")
            match = LOCAL.search(line)
            if match and not any(match.group(1).startswith(a) for a in allowed):
                faults.append(f"{path}:{number}: includes {match.group(1)}, above its floor")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
