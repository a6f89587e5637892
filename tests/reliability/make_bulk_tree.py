"""Writes the bulk of the large reliability payload: incompressible files from a fixed seed, so that
extracting them takes a moment and a kill can land in the middle of it."""
import os
import random
import sys

root, total_mb = sys.argv[1], int(sys.argv[2])
rng = random.Random(20240101)
for index in range(total_mb * 2):
    folder = os.path.join(root, "Velkar", "data", "part%02d" % (index % 4))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "block%03d.bin" % index), "wb") as out:
        out.write(rng.randbytes(512 * 1024))
