"""Peak memory of one quorvane train + predict_batch, in a fresh process.

`measure(workload)` runs this file as `python memory_probe.py DIR K VARIANCE`: DIR holds
X_train.npy, y_train.npy and X_query.npy; the result lands in DIR/memory.json. Loading .npy files
allocates only the arrays themselves, so the process peak before training is the
interpreter plus the inputs, and the peak after it adds quorvane's working memory.

The work runs in a child forked first thing: a process started by vfork/posix_spawn
(as subprocess does) inherits its parent's peak in ru_maxrss across exec, so the
benchmark's own hundreds of MiB would otherwise show up here.
"""

import json
import os
import resource
import subprocess
import sys
import tempfile

import numpy as np


def rss_now() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def vm_hwm() -> int:
    with open("/proc/self/status") as f:
        line = next(line for line in f if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


def measure(w) -> dict:
    """Saves the workload's arrays and runs the probe on them in a fresh interpreter."""
    print(f"[memory] quorvane train + predict_batch on {w.name} in a subprocess",
          file=sys.stderr, flush=True)
    with tempfile.TemporaryDirectory() as folder:
        np.save(os.path.join(folder, "X_train.npy"), w.X_train)
        np.save(os.path.join(folder, "X_query.npy"), w.X_query)
        np.save(os.path.join(folder, "y_train.npy"), np.asarray(w.y_train, dtype=str))
        subprocess.run([sys.executable, os.path.abspath(__file__), folder, str(w.k),
                        repr(w.variance)], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(folder, "memory.json")) as f:
            return json.load(f)


def main() -> None:
    folder, k, variance = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    import quorvane

    cfg = quorvane.KNNConfig()
    cfg.k, cfg.variance = k, variance
    engine = quorvane.KNNEngine(cfg)
    baseline = rss_now()

    X = np.load(os.path.join(folder, "X_train.npy"))
    Q = np.load(os.path.join(folder, "X_query.npy"))
    y = np.load(os.path.join(folder, "y_train.npy")).tolist()
    before = rss_now()
    inputs = X.nbytes + Q.nbytes + sys.getsizeof(y) + sum(sys.getsizeof(s) for s in y)

    engine.train(X, y, scale=False)
    after_train = peak()
    labels = engine.predict_batch(Q)
    result = {
        "baseline_rss": baseline,
        "rss_before_train": before,
        "input_bytes": inputs,
        "peak_after_train": after_train,
        "peak_rss": peak(),
        "vm_hwm": vm_hwm(),
        "predicted": len(labels),
    }
    with open(os.path.join(folder, "memory.json"), "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    child = os.fork()
    if child == 0:
        try:
            main()
        except BaseException:
            import traceback

            traceback.print_exc()
            os._exit(1)
        os._exit(0)
    _, status = os.waitpid(child, 0)
    sys.exit(os.waitstatus_to_exitcode(status))
