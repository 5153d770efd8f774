"""Model files: how long a load takes against reading the file once, and what three
processes that share one mapped file each add of private memory.

    .venv/bin/python bench/model_file.py [--rows 1000000] [--repeats 5] [--folder /tmp]

Trains an engine on rows x 40 features keeping 32 components, saves it, then times in
fresh processes (the file in the page cache, as a server's restart finds it): reading the
file into memory once, load(mmap=True), load(mmap=True, verify=False) and load(mmap=False).
Then starts three processes that each load the file and answer a batch, and reads their
unique set sizes (private pages, /proc/<pid>/smaps_rollup) while all three hold it.
Prints markdown rows, medians over the repeats. Run on an idle machine.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import quorvane

TIMING = r"""
import sys, time
path, how = sys.argv[1], sys.argv[2]
start = time.perf_counter()
if how == "read":
    with open(path, "rb") as f:
        data = f.read()
else:
    import quorvane
    start = time.perf_counter()
    engine = quorvane.load(path, mmap=how != "copy", verify=how != "mmap, no verify")
print(time.perf_counter() - start)
"""

SHARING = r"""
import sys
import numpy as np
import quorvane
queries = np.random.default_rng(int(sys.argv[3])).normal(size=(2000, 40))
print(open("/proc/self/smaps_rollup").read(), flush=True)
engine = quorvane.load(sys.argv[1], mmap=sys.argv[2] == "mmap")
engine.predict_batch(queries)
print("ready", flush=True)
sys.stdin.read()  # held until the parent has read every process's memory
"""


def private_mib(rollup: str) -> float:
    fields = dict(line.split(":", 1) for line in rollup.splitlines() if ":" in line)
    kib = sum(int(fields[name].split()[0]) for name in ("Private_Clean", "Private_Dirty"))
    return kib / 1024


def timed(path: Path, how: str) -> float:
    done = subprocess.run([sys.executable, "-c", TIMING, str(path), how], capture_output=True, text=True, check=True)
    return float(done.stdout)


def shared_by_three(path: Path, mode: str) -> list[float]:
    """Private memory each of three live processes added by loading and answering."""
    children = [subprocess.Popen([sys.executable, "-c", SHARING, str(path), mode, str(i)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True) for i in range(3)]
    before = []
    for child in children:
        lines = []
        while (line := child.stdout.readline()) and line.strip() != "ready":
            lines.append(line)
        before.append(private_mib("".join(lines)))
    added = []
    for child, base in zip(children, before):
        with open(f"/proc/{child.pid}/smaps_rollup") as f:
            added.append(private_mib(f.read()) - base)
    for child in children:
        child.communicate("")
    return added


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--folder", default=tempfile.gettempdir())
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, 40)) * np.geomspace(10, 1, 40)
    config = quorvane.KNNConfig()
    config.variance = 32.0
    engine = quorvane.KNNEngine(config)
    with contextlib.redirect_stdout(io.StringIO()):
        engine.train(X, [f"class {i % 10}" for i in range(args.rows)])
    path = Path(args.folder) / "quorvane-bench.qv"
    engine.save(path)
    size_mib = path.stat().st_size / 2**20
    del engine, X

    timed(path, "read")  # into the page cache
    medians = {how: statistics.median(timed(path, how) for _ in range(args.repeats))
               for how in ("read", "mmap", "mmap, no verify", "copy")}
    read = medians["read"]
    print(f"model file: {args.rows:,} samples x 32 components, {size_mib:.0f} MiB\n")
    print("| step | median | over reading the file once |")
    print("| --- | ---: | ---: |")
    print(f"| read the file once (`open(path, 'rb').read()`) | {read * 1e3:.1f} ms | 1.00 |")
    for how, label in (("mmap", "`load(path)` (mapped, checksums verified)"),
                       ("mmap, no verify", "`load(path, verify=False)`"),
                       ("copy", "`load(path, mmap=False)`")):
        print(f"| {label} | {medians[how] * 1e3:.1f} ms | {medians[how] / read:.2f} |")
    print()
    print("| three processes load and answer 2,000 queries each | private memory added per process (MiB) |")
    print("| --- | --- |")
    for mode in ("mmap", "copy"):
        added = shared_by_three(path, mode)
        label = "mapped (`load(path)`)" if mode == "mmap" else "read into memory (`mmap=False`)"
        print(f"| {label} | {', '.join(f'{a:.1f}' for a in added)} (a tenth of the file + 32 MiB: "
              f"{size_mib / 10 + 32:.0f}) |")
    path.unlink()


if __name__ == "__main__":
    main()
