#!/usr/bin/env python3
"""Stages the full-size test tree for the launcher benchmark: every entry of the full-size test archive,
with Velkar/Velkar.exe replaced by the recording application padded to the size the archive gives it
(bytes after a program's image are never loaded, so the program runs as it is).
   stage_full_size_tree.py FULL_SIZE_ZIP RECORDING_APP OUT_DIR"""
import os
import random
import shutil
import sys
import zipfile


def main():
    archive, program, out = sys.argv[1:4]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with zipfile.ZipFile(archive) as zf:
        for info in zf.infolist():
            target = os.path.join(out, *info.filename.rstrip("/").split("/"))
            if info.is_dir():
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if info.filename == "Velkar/Velkar.exe":
                with open(program, "rb") as f:
                    image = f.read()
                padding = max(0, info.file_size - len(image))
                # Incompressible, like the entry it replaces; a fixed seed keeps the payload the same.
                image += random.Random(99).randbytes(padding)
                with open(target, "wb") as f:
                    f.write(image)
            else:
                with zf.open(info) as source, open(target, "wb") as f:
                    shutil.copyfileobj(source, f)


if __name__ == "__main__":
    main()
