"""Train from a float32 memory map on disk larger than the memory the process may allocate.

Writes --gib GiB of float32 features (256 per row) to a .npy file, then limits this
process's anonymous memory to --limit-gib with RLIMIT_DATA (which counts every private
writable mapping, and so every array, buffer and model; a read-only mapping of a file is
not among them) and trains from np.load(..., mmap_mode="r"). The engine reads the mapped
rows in place, block by block, and keeps only the model: a float64 copy of the features,
or even a float32 one, could not be allocated under the limit, and the example shows that
first. Held-out queries are then classified.

    python examples/float32_memmap.py [--gib 8] [--limit-gib 4] [--dir DIR]
"""

import argparse
import contextlib
import io
import resource
import tempfile
import time
from pathlib import Path

import numpy as np

import quorvane

FEATURES, RANK, SEED = 256, 8, 2025
NAMES = [f"class-{c}" for c in range(16)]


def make_rows(chunk: int, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Rows near an 8-dimensional subspace, in 16 classes; chunk `chunk` is the same on every call."""
    rng = np.random.default_rng(SEED)
    basis = np.linalg.qr(rng.normal(size=(FEATURES, RANK)))[0].T
    centres = rng.normal(scale=6.0, size=(len(NAMES), RANK))
    rng = np.random.default_rng([SEED, chunk])
    codes = rng.integers(0, len(NAMES), size=rows).astype(np.uint8)
    latent = centres[codes] + rng.normal(size=(rows, RANK))
    return (latent @ basis + rng.normal(scale=0.1, size=(rows, FEATURES))).astype(np.float32), codes


def write_features(path: Path, rows: int) -> np.ndarray:
    """The features to `path` a chunk at a time; returns the class code of each row."""
    X = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(rows, FEATURES))
    codes = np.empty(rows, dtype=np.uint8)
    step = 1 << 18
    for chunk, first in enumerate(range(0, rows, step)):
        X[first : first + step], codes[first : first + step] = make_rows(chunk, min(step, rows - first))
    X.flush()
    return codes


def anonymous_mib() -> float:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("RssAnon:")) / 1024


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--gib", type=float, default=8.0, help="size of the features file")
    parser.add_argument("--limit-gib", type=float, default=4.0, help="anonymous memory the process may use")
    parser.add_argument("--dir", default=None, help="where to write the file (a temporary folder inside)")
    args = parser.parse_args()
    rows = int(args.gib * 2**30) // (4 * FEATURES)
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        path = Path(folder) / "features.npy"
        start = time.perf_counter()
        codes = write_features(path, rows)
        print(f"wrote {rows:,} x {FEATURES} float32 ({path.stat().st_size / 2**30:.1f} GiB) "
              f"in {time.perf_counter() - start:.0f} s")

        limit = int(args.limit_gib * 2**30)
        resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
        X = np.load(path, mmap_mode="r")
        try:
            np.empty(X.shape, dtype=X.dtype)
            raise SystemExit("a copy of the features could be allocated: the limit does not hold here")
        except MemoryError:
            print(f"under RLIMIT_DATA = {args.limit_gib:g} GiB a copy of the features cannot be allocated")

        labels = [NAMES[c] for c in codes.tolist()]  # 16 str objects, shared
        del codes
        engine = quorvane.KNNEngine(quorvane.KNNConfig())
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()) as lines:
            engine.train(X, labels)
        print(f"trained from the memory map in {time.perf_counter() - start:.1f} s: "
              f"{engine.n_components} components kept; anonymous memory now {anonymous_mib():.0f} MiB")
        print(lines.getvalue().strip())

        Q, truth = make_rows(chunk=rows, rows=20_000)  # a chunk the file does not hold
        predicted = np.array(engine.predict_batch(Q))
        print(f"held-out accuracy: {np.mean(predicted == np.array(NAMES)[truth]):.3f}")
        del X, engine


if __name__ == "__main__":
    main()
