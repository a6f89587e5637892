#!/usr/bin/env bash
# Checks that the C++ files of the product and program folders keep the layout of .clang-format (clang-format
# 14, as Debian 12 ships it: another version lays some lines out differently). Prints each misformatted
# line as file:line and exits 1; exits 0 when every file matches.
#   bash scripts/check-format.sh [REPO]
set -uo pipefail
repo=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$repo" || exit 1

format=$(command -v clang-format-14 || command -v clang-format) || {
    echo "check-format: clang-format 14 is not installed (scripts/setup.sh installs it)" >&2
    exit 1
}
mapfile -d '' files < <(find base sysops host payload launcher harness tools fuzz bench demo tests \
    -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | sort -z)

output=$("$format" --style=file --dry-run -Werror "${files[@]}" 2>&1)
status=$?
# clang-format names each line it would change as "file:line:column: error: ..."; keep file:line.
faults=$(printf '%s\n' "$output" | sed -n 's/^\(.*:[0-9][0-9]*\):[0-9][0-9]*: error: .*/\1/p' | uniq)
if [ -n "$faults" ]; then
    printf '%s\n' "$faults" | sed 's/$/: not laid out as .clang-format says (clang-format -i FILE lays it out)/'
    echo "check-format: $(printf '%s\n' "$faults" | wc -l) misformatted line(s)" >&2
    exit 1
fi
if [ $status -ne 0 ]; then  # a file or the style it could not read
    printf '%s\n' "$output" >&2
    echo "check-format: clang-format failed" >&2
    exit 1
fi
echo "check-format: every C++ file keeps the layout of .clang-format"
