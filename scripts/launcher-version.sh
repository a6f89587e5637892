#!/usr/bin/env bash
# Checks the form of the launcher's version, the file and product version of its version block:
#   bash scripts/launcher-version.sh NAME VERSION
# VERSION is four numbers A.B.C.D, each at most 65535. A right one is printed without leading zeros
# (the resource compiler would read 010 as octal); a wrong one is told on stderr, naming the setting
# NAME it came from, with exit code 1. scripts/package.sh checks its --version with it before it builds
# anything, and launcher/CMakeLists.txt its LAUNCHER_VERSION.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: bash scripts/launcher-version.sh NAME VERSION" >&2; exit 2; }
name=$1 version=$2

if ! [[ "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
    echo "$name takes four numbers A.B.C.D, not '$version'" >&2
    exit 1
fi
numbers=()
for part in "${BASH_REMATCH[@]:1}"; do
    while [[ "$part" == 0?* ]]; do part=${part#0}; done
    # Compared by length first: a number of many digits would overflow the shell's arithmetic.
    if [ ${#part} -gt 5 ] || [ "$part" -gt 65535 ]; then
        echo "$name: each number is at most 65535 ('$version')" >&2
        exit 1
    fi
    numbers+=("$part")
done
(IFS=.; echo "${numbers[*]}")
