#!/usr/bin/env bash
# Builds launcher.exe with the demo payload and runs it once under Wine from a clean state, printing
# what happens as seen from outside (the launcher itself writes no log):
#   bash scripts/demo.sh
# On a new machine, run as root: it installs what is missing first (scripts/setup.sh). The demo
# application Velkar shows its window for about five seconds and ends by itself, so the run ends too.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
test_user="${KESTREL_TEST_USER:-kestrel}"

. "$repo/scripts/configure.sh"
kestrel_set_up demo.sh
if [ "$(id -u)" -eq 0 ]; then
    wine_user="$test_user"
else
    wine_user=$(id -un)
fi

# The build folder: KESTREL_DEMO_BUILD, else as scripts/configure.sh says (build/demo or KESTREL_BUILD).
kestrel_configure demo "${KESTREL_DEMO_BUILD:-}"
echo "Building launcher.exe with the demo payload in $build ..."
cmake --build "$build" --target launcher >/dev/null
launcher="$build/bin/launcher.exe"
payload="$build/demo/velkar-demo.zip"
tree_files=$(find "$build/demo/velkar-demo" -type f | wc -l)

# A prefix of the build folder's own; making it the first time takes a while.
"$repo/scripts/wine-run" --prefix="$prefix" cmd /c exit 0 >/dev/null 2>&1 || true
roaming="$prefix/drive_c/users/$wine_user/AppData/Roaming"
folder="$roaming/Kestrelworks"
archive="$folder/檀溪舟楫.zip"
tree="$folder/Velkar"
windows_folder="C:\\users\\$wine_user\\AppData\\Roaming\\Kestrelworks"

# A clean state: nothing left by an earlier run, and no Wine process of this prefix running.
"$repo/scripts/wine-run" --prefix="$prefix" --kill
rm -rf "$folder"

# The processes of this prefix whose Windows command line names Velkar.exe, as "pid args" lines.
# ps shows a Wine process's Windows command line; the prefix is read from its environment, so the
# runs of other prefixes on this machine are not counted.
velkar_processes() {
    ps -eo pid=,stat=,args= | while read -r pid stat args; do
        case "$stat" in Z*) continue ;; esac
        case "$args" in *[Vv]elkar.exe*|*[Vv]elkar.EXE*|*VELKAR.EXE*) ;; *) continue ;; esac
        if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$prefix"; then
            echo "$pid $args"
        fi
    done
}

start=$(date +%s%N)
stamp() {
    local ms=$(( ($(date +%s%N) - start) / 1000000 ))
    printf '[%3d.%02d s]' $(( ms / 1000 )) $(( ms % 1000 / 10 ))
}
say() { echo "$(stamp) $*"; }

echo
echo "Running $launcher under Wine (prefix $prefix), application-data folder C:\\users\\$wine_user\\AppData\\Roaming"
# The launcher's own trace (OutputDebugStringA) is what Wine's debugstr channel prints; it is kept
# aside and shown after the run, beside what is seen from outside.
trace_file=$(mktemp)
WINEDEBUG=+debugstr "$repo/scripts/wine-run" --prefix="$prefix" "$launcher" >"$trace_file" 2>&1 &
launcher_pid=$!
say "launcher.exe started (no window is shown; watching its files and processes from outside)"

archive_written=0 tree_extracted=0 app_pid="" app_ended=0 archive_removed=0 tree_removed=0
deadline=$(( $(date +%s) + 120 ))
while kill -0 "$launcher_pid" 2>/dev/null; do
    if [ "$archive_written" -eq 0 ] && [ -f "$archive" ] &&
        [ "$(stat -c %s "$archive")" -eq "$(stat -c %s "$payload")" ]; then
        say "archive written: $windows_folder\\檀溪舟楫.zip ($(stat -c %s "$archive") bytes)"
        archive_written=1
    fi
    if [ "$tree_extracted" -eq 0 ] && [ -d "$tree" ] &&
        [ "$(find "$tree" -type f 2>/dev/null | wc -l)" -ge "$tree_files" ]; then
        say "tree extracted: $windows_folder\\Velkar ($(find "$tree" -type f | wc -l) files, $(find "$tree" -mindepth 1 -type d | wc -l) folders)"
        tree_extracted=1
    fi
    if [ -z "$app_pid" ]; then
        line=$(velkar_processes | head -n 1)
        if [ -n "$line" ]; then
            app_pid=${line%% *}
            say "application started: ${line#* }"
            echo "            (as ps shows a Wine process: its arguments, without the quotes the launcher puts around the path)"
        fi
    elif [ "$app_ended" -eq 0 ] && [ -z "$(velkar_processes)" ]; then
        say "application ended"
        app_ended=1
    fi
    if [ "$archive_written" -eq 1 ] && [ "$archive_removed" -eq 0 ] && [ ! -e "$archive" ]; then
        say "archive removed"
        archive_removed=1
    fi
    if [ "$tree_extracted" -eq 1 ] && [ "$tree_removed" -eq 0 ] && [ ! -e "$tree" ]; then
        say "tree removed"
        tree_removed=1
    fi
    if [ "$(date +%s)" -gt "$deadline" ]; then
        say "the launcher did not end within two minutes: ending it"
        "$repo/scripts/wine-run" --prefix="$prefix" --kill
    fi
    sleep 0.05
done
status=0
wait "$launcher_pid" || status=$?
[ "$app_pid" != "" ] && [ "$app_ended" -eq 0 ] && say "application ended" && app_ended=1
[ "$archive_removed" -eq 0 ] && [ ! -e "$archive" ] && say "archive removed" && archive_removed=1
[ "$tree_removed" -eq 0 ] && [ ! -e "$tree" ] && say "tree removed" && tree_removed=1
say "launcher.exe ended with exit code $status"

if [ -d "$folder" ]; then
    echo "$(stamp) folder kept: $windows_folder (holding: $(ls -A "$folder" | wc -l) entries)"
else
    echo "$(stamp) the folder $windows_folder is gone"
fi
"$repo/scripts/wine-run" --prefix="$prefix" --kill

echo
echo "The launcher's own trace (OutputDebugStringA; a debug-output viewer shows the same on Windows):"
# Wine prints each string quoted, with escapes (\\ \" \n \xNN); the bytes are code page 936.
python3 - "$trace_file" <<'EOF'
import re, sys
def unescape(match):
    code = match.group(1)
    if code.startswith("x") and len(code) == 3:
        return chr(int(code[1:], 16))
    return {"n": "", "t": "\t"}.get(code, code)
lines = []
for line in open(sys.argv[1], "rb").read().decode("latin-1").splitlines():
    found = re.search(r'OutputDebugStringA "(.*)"$', line)
    if found:
        text = re.sub(r'\\(x[0-9a-fA-F]{2}|.)', unescape, found.group(1))
        lines.append("    " + text.encode("latin-1").decode("gbk", "replace"))
print("\n".join(lines) if lines else "    (none)")
EOF
rm -f "$trace_file"

echo
if [ "$status" -eq 0 ] && [ "$archive_written" -eq 1 ] && [ "$tree_extracted" -eq 1 ] && [ -n "$app_pid" ] &&
    [ "$app_ended" -eq 1 ] && [ "$archive_removed" -eq 1 ] && [ "$tree_removed" -eq 1 ] && [ -d "$folder" ]; then
    echo "The whole job was done: written, extracted, started, watched, cleaned up, ended with 0."
else
    echo "The run did not do the whole job (see above)."
    exit 1
fi
