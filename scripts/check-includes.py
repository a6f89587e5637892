#!/usr/bin/env python3
"""Checks that every #include keeps to the layers: base/ at the bottom; host/, sysops/ and payload/
above it and never one another; launcher/ on top; harness/ (what the test, fuzz and benchmark
programs share) on the base alone; tools/ (the packer, built for Linux) on the base and the one header of
entry-name rules it shares with the launcher; the root folders (tools/, harness/, fuzz/, bench/, demo/) never reach
into tests/. Prints each include that breaks the rule as file:line and exits 1.

    python3 scripts/check-includes.py [REPO]
"""
import pathlib
import re
import sys

# Which project folders a folder's files may include, besides system headers.
ALLOWED = {
    "base": {"base"},
    "host": {"base", "host"},
    "sysops": {"base", "sysops"},
    "payload": {"base", "payload"},
    "launcher": {"base", "host", "sysops", "payload", "launcher"},
    "tools": {"base", "tools"},
    "harness": {"base", "harness"},
    "fuzz": {"base", "host", "sysops", "payload", "launcher", "tools", "harness", "fuzz"},
    "bench": {"base", "host", "sysops", "payload", "launcher", "tools", "harness", "bench"},
    "demo": {"base", "demo"},
    "tests": {"base", "host", "sysops", "payload", "launcher", "tools", "harness", "fuzz", "tests"},
}
# Single headers a folder may include from a folder it may not otherwise use.
ALLOWED_HEADERS = {
    "tools": {"payload/entry_names.h"},  # the packer refuses the names the launcher refuses, by the same code
}
# The archive libraries' headers, and the one file that may include them.
ARCHIVE_HEADERS = {"unzip.h", "zip.h", "ioapi.h", "zlib.h"}
ARCHIVE_USERS = {"payload/archive_reader.cpp"}
PRODUCT = {"base", "host", "sysops", "payload", "launcher"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCES = {".c", ".cc", ".cpp", ".h", ".hpp", ".inc"}


def check(repo: pathlib.Path) -> list[str]:
    faults = []
    for folder, allowed in ALLOWED.items():
        root = repo / folder
        if not root.is_dir():
            continue
        for path in sorted(root.rglob("*")):
            if path.suffix not in SOURCES or not path.is_file():
                continue
            rel = path.relative_to(repo).as_posix()
            for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                kind, name = m.groups()
                base_name = name.rsplit("/", 1)[-1]
                if base_name in ARCHIVE_HEADERS and name == base_name:
                    if rel not in ARCHIVE_USERS and folder in PRODUCT:
                        faults.append(f"{rel}:{number}: {name} is for the entry reader's .cpp alone")
                    continue
                if kind == "<":
                    continue
                top = name.split("/", 1)[0] if "/" in name else None
                if top is None:
                    faults.append(f'{rel}:{number}: "{name}" does not say which folder it comes from')
                elif top in ALLOWED and top not in allowed and name not in ALLOWED_HEADERS.get(folder, ()):
                    faults.append(f'{rel}:{number}: {folder}/ may not include "{name}"')
                elif top not in ALLOWED:
                    faults.append(f'{rel}:{number}: "{name}" names no folder of the project')
    return faults


def main() -> int:
    repo = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    faults = check(repo)
    for fault in faults:
        print(fault)
    if faults:
        print(f"check-includes: {len(faults)} include(s) break the layers", file=sys.stderr)
        return 1
    print("check-includes: every include keeps to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
