"""The type stub: installed where type checkers look, covering the built module, and
strict enough for mypy to catch misuse."""

import ast
import os
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path


import quorvane

STUB_SOURCE = Path(__file__).resolve().parents[2] / "src" / "bindings" / "quorvane.pyi"
TYPED_USAGE = Path(__file__).resolve().with_name("typed_usage.py")
MODULE_DIR = Path(quorvane.__file__).parent


def test_stub_is_installed_and_declares_what_the_module_exports():
    # Beside the module for pyright and IDEs; as a stub package for mypy. A copy that
    # differs from the source means the module was not reinstalled after an edit.
    source = STUB_SOURCE.read_text()
    assert (MODULE_DIR / "quorvane.pyi").read_text() == source
    assert (MODULE_DIR / "quorvane-stubs" / "__init__.pyi").read_text() == source
    assert quorvane.__doc__ == "C++ KNN Engine with Adaptive PCA support"
    classes = [n for n in ast.parse(source).body if isinstance(n, ast.ClassDef)]
    assert sorted(c.name for c in classes) == sorted(n for n in dir(quorvane) if not n.startswith("_"))
    for cls in classes:
        declared = {f.name for f in cls.body if isinstance(f, ast.FunctionDef)}
        runtime = {name for name in vars(getattr(quorvane, cls.name)) if not name.startswith("_")}
        assert runtime <= declared, f"{cls.name} lacks {runtime - declared}"


def test_typed_usage_runs(capfd):
    runpy.run_path(str(TYPED_USAGE), run_name="__main__")
    assert "[Engine] Trained successfully." in capfd.readouterr().out


# Each marked line must draw exactly the mypy error codes named on it, and no other
# line any error.
MISUSE = textwrap.dedent("""\
    import numpy as np
    import quorvane

    config = quorvane.KNNConfig()
    engine = quorvane.KNNEngine(config)
    X = np.zeros((4, 2))
    engine.train(X, ["a", "b", "a", "b"])
    engine.n_components = 3  # E: misc
    engine.predict_batch(X) + 1  # E: operator
    label: int = engine.predict(X[0])  # E: assignment
    engine.predict(x=X[0])  # E: call-arg
    quorvane.KNNEngine()  # E: call-arg
    quorvane.KNNEngine(config, k=3)  # E: call-arg
    engine.train(X, [1, 2, 3, 4])  # E: list-item
    engine.train(X, ["a"], scale="yes")  # E: arg-type
    config.k = "3"  # E: assignment
    config.variance = None  # E: assignment
    config.neighbours = 3  # E: attr-defined
    """)

ERROR = re.compile(r"(?P<file>[^:\n]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$", re.MULTILINE)


def test_mypy_accepts_the_stub_and_typed_usage_and_rejects_misuse(tmp_path):
    # A copy of the stub beside the checked files is the one mypy reads, and, not being
    # an installed package, it is itself held to --strict. Private cache and config, so
    # that only these files decide the outcome.
    (tmp_path / "quorvane.pyi").write_text(STUB_SOURCE.read_text())
    (tmp_path / "misuse.py").write_text(MISUSE)
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    command = [sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini", "--cache-dir", "cache",
               "--no-color-output", "--show-error-codes", str(TYPED_USAGE), "misuse.py"]
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    output = done.stdout + done.stderr
    errors = [m.groupdict() for m in ERROR.finditer(output)]
    assert done.returncode == 1, output
    assert [e for e in errors if Path(e["file"]).name != "misuse.py"] == [], output
    expected = sorted(
        (number, code)
        for number, line in enumerate(MISUSE.splitlines(), start=1)
        for code in re.findall(r"# E: ([a-z-]+)", line)
    )
    assert sorted({(int(e["line"]), e["code"]) for e in errors}) == expected, output
