"""The native half of the archive fuzzer's differential family (fuzz/differential.h). The fuzzer, a Windows
program under Wine, extracts each case of the family with the launcher's Extract and records the archive and
what was installed; here the packer's check, built for the build machine, runs over every recorded case:
    pack-payload --check CASE.zip --list
Every case the check accepts must have been installed (Extract gave 1) exactly as the check listed it: no
entry more or fewer, each file of the size listed. A case the check refuses is counted, whatever the launcher
did with it. Case 0 is the decoy directory the family began with: the check must refuse it.

    python3 differential.py --packer PACK_PAYLOAD --work DIR [--cases N] [--seed S] [--timeout SECONDS]
                            --wine-run WINE_RUN --prefix PREFIX --fuzz KESTREL_FUZZ_EXE
    python3 differential.py --packer PACK_PAYLOAD --work DIR --compare-only     (the cases DIR/cases holds)

Exits 0 when every accepted case agrees and the fuzzer's own checks passed, 1 otherwise.
"""
import argparse
import collections
import glob
import os
import re
import shutil
import subprocess
import sys
import time


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_record(path):
    """(Extract's result, the kinds, the case's description, files {name: size}, folders {name})."""
    result, kinds, description, files, folders = None, [], "", {}, set()
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f.read().splitlines():
            word, _, rest = line.partition(" ")
            if word == "result":
                result = int(rest)
            elif word == "kinds":
                kinds = [k for k in rest.split("; ") if k.strip()]
            elif word == "case":
                description = rest
            elif word == "folder":
                folders.add(rest)
            elif word == "file":
                size, _, name = rest.partition(" ")
                files[name] = int(size)
    return result, kinds, description, files, folders


def check(packer, archive):
    """(accepted, files, folders, the check's output): what the check lists, the folders above every entry
    included, as extraction makes them."""
    run = subprocess.run([packer, "--check", archive, "--list"], capture_output=True, encoding="utf-8",
                         errors="surrogateescape")
    if run.returncode not in (0, 1):
        raise RuntimeError("pack-payload --check %s ended with %d:\n%s" % (archive, run.returncode, run.stderr))
    files, folders = {}, set()
    for line in run.stdout.splitlines():
        if line.startswith("file "):
            size, _, name = line[5:].partition(" ")
            files[name] = int(size)
        elif line.startswith("folder "):
            folders.add(line[7:])
    for name in list(files) + list(folders):
        parts = name.rstrip("/").split("/")
        folders.update("/".join(parts[:i]) + "/" for i in range(1, len(parts)))
    return run.returncode == 0, files, folders, run.stdout + run.stderr


# Windows finds a name without regard to case: an entry below "VELKAR/README.TXT" goes into the folder
# "Velkar/readme.txt" that an entry before made. (Names that are one but for case are refused by the check.)
ASCII_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def folded(names):
    if isinstance(names, dict):
        return {name.translate(ASCII_UPPER): value for name, value in names.items()}
    return {name.translate(ASCII_UPPER) for name in names}


def differences(expected_files, expected_folders, files, folders):
    expected_files, expected_folders, files, folders = map(folded, (expected_files, expected_folders, files, folders))
    lines = []
    for name in sorted(set(expected_files) | set(files)):
        if expected_files.get(name) != files.get(name):
            lines.append("file %s: listed %s, installed %s" % (name, expected_files.get(name), files.get(name)))
    for name in sorted(expected_folders ^ folders):
        lines.append("folder %s: %s" % (name, "listed, not installed" if name in expected_folders else
                                        "installed, not listed"))
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packer", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--cases", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=int, default=10)
    parser.add_argument("--wine-run")
    parser.add_argument("--prefix")
    parser.add_argument("--fuzz")
    parser.add_argument("--compare-only", action="store_true")
    options = parser.parse_args()

    cases = os.path.join(options.work, "cases")
    status = 0
    if not options.compare_only:
        if not (options.wine_run and options.prefix and options.fuzz):
            parser.error("--wine-run, --prefix and --fuzz run the fuzzer; --compare-only compares what is there")
        # Wine runs as the test user, who must write the records.
        shutil.rmtree(cases, ignore_errors=True)
        kept = os.path.join(options.work, "kept")
        for folder in (cases, kept):
            os.makedirs(folder, exist_ok=True)
            os.chmod(folder, 0o777)
        started = time.time()
        run = subprocess.run([options.wine_run, "--prefix=" + options.prefix, options.fuzz, "--differential",
                              windows_path(cases), "--cases", str(options.cases), "--seed", str(options.seed),
                              "--timeout", str(options.timeout), "--keep", windows_path(kept)])
        print("differential: the fuzzer took %.0f s" % (time.time() - started))
        if run.returncode != 0:
            print("differential: the fuzzer's own checks failed (exit %d)" % run.returncode)
            status = 1

    started = time.time()
    tally = collections.Counter()
    by_kind = collections.defaultdict(collections.Counter)
    disagreements = []
    records = sorted(glob.glob(os.path.join(cases, "diff-*.txt")),
                     key=lambda p: int(re.search(r"-(\d+)\.txt$", p).group(1)))
    for record in records:
        archive = record[:-4] + ".zip"
        index = int(re.search(r"-(\d+)\.txt$", record).group(1))
        result, kinds, description, files, folders = read_record(record)
        accepted, listed_files, listed_folders, output = check(options.packer, archive)
        tally["cases"] += 1
        tally["result %d" % result] += 1
        verdict = "accepted" if accepted else "refused"
        tally[verdict] += 1
        if accepted:
            problems = differences(listed_files, listed_folders, files, folders)
            if result != 1:
                problems.insert(0, "Extract gave %d" % result)
            if problems:
                verdict = "disagreed"
                disagreements.append((archive, description, problems))
            else:
                tally["agreed"] += 1
        elif result == 1:
            tally["refused, installed"] += 1
        for kind in kinds or ["(none)"]:
            by_kind[kind]["cases"] += 1
            by_kind[kind][verdict] += 1
        if index == 0:
            decoy_refused = not accepted and "the end record gives the central directory at offset" in output
            print("differential: case 0, the decoy directory: the launcher installed %s; the check %s" %
                  (", ".join(sorted(files)) or "nothing", "refused it" if decoy_refused else "did not refuse it"))
            if not decoy_refused:
                status = 1

    print("differential: %d cases compared in %.0f s" % (tally["cases"], time.time() - started))
    print("differential: launcher results 1: %d, 0: %d, -1: %d" % (tally["result 1"], tally["result 0"],
                                                                   tally["result -1"]))
    print("differential: check accepted %d (agreed %d, disagreed %d), refused %d (of which the launcher "
          "installed whole: %d)" % (tally["accepted"], tally["agreed"], len(disagreements), tally["refused"],
                                    tally["refused, installed"]))
    for kind, counts in sorted(by_kind.items()):
        print("differential:   %-36s %6d cases, accepted %d, refused %d, disagreed %d" %
              (kind, counts["cases"], counts["accepted"], counts["refused"], counts["disagreed"]))
    for archive, description, problems in disagreements[:20]:
        print("differential: DISAGREES %s (%s):\n    %s" % (archive, description, "\n    ".join(problems[:10])))
    if disagreements or not records:
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
