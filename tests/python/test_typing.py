"""The type stub: installed where type checkers look, covering the built module, and
strict enough for mypy to catch misuse."""

import ast
import inspect
import os
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvane
import quorvane._core

STUB_SOURCE = Path(__file__).resolve().parents[2] / "python" / "quorvane" / "_core.pyi"
TYPED_USAGE = Path(__file__).resolve().with_name("typed_usage.py")
MODULE_DIR = Path(quorvane.__file__).parent

@pytest.fixture(scope="module")
def installed_stub():
    path = MODULE_DIR / "_core.pyi"
    assert path.is_file(), f"no stub beside {quorvane._core.__file__}"
    return path


def test_stub_is_installed_where_type_checkers_look(installed_stub):
    # Beside the extension, in a package marked typed. A copy that differs from the
    # source means the package was not reinstalled after an edit.
    assert installed_stub.read_text() == STUB_SOURCE.read_text()
    assert (MODULE_DIR / "py.typed").is_file()


def test_stub_declares_what_the_module_exports(installed_stub):
    tree = ast.parse(installed_stub.read_text())
    public = sorted(name for name in dir(quorvane._core) if not name.startswith("_"))
    assert sorted(n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))
                  and not n.name.startswith("_")) == public
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        declared = {f.name for f in cls.body if isinstance(f, ast.FunctionDef)}
        runtime = {name for name in vars(getattr(quorvane._core, cls.name)) if not name.startswith("_")}
        assert runtime <= declared, f"{cls.name} lacks {runtime - declared}"


def test_stub_says_what_the_module_says(installed_stub):
    # The description help() prints after each signature line is the stub's docstring.
    tree = ast.parse(installed_stub.read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            owner = getattr(quorvane._core, node.name)
            assert ast.get_docstring(node) == inspect.cleandoc(owner.__doc__), node.name
            for f in (f for f in node.body if isinstance(f, ast.FunctionDef) and ast.get_docstring(f)):
                doc = vars(owner)[f.name].__doc__
                described = doc.split("\n\n", 1)[1] if doc.startswith(f.name + "(") else doc
                assert ast.get_docstring(f) == inspect.cleandoc(described), f"{node.name}.{f.name}"


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


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict with a private cache and config, so that only the installed
    stub and the files given decide the outcome."""
    folder = tmp_path_factory.mktemp("mypy")
    config = folder / "mypy.ini"
    config.write_text("[mypy]\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}

    def run(*files: Path, cwd: Path) -> tuple[int, str]:
        command = [sys.executable, "-m", "mypy", "--strict", "--config-file", str(config),
                   "--cache-dir", str(folder / "cache"), "--no-color-output", "--show-error-codes",
                   *map(str, files)]
        done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
        return done.returncode, done.stdout + done.stderr

    return run


def test_mypy_accepts_typed_usage_and_rejects_misuse(mypy, tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    status, output = mypy(TYPED_USAGE, misuse, cwd=tmp_path)
    errors = [m.groupdict() for m in ERROR.finditer(output)]
    assert status == 1, output
    assert [e for e in errors if Path(e["file"]).name != "misuse.py"] == [], output
    expected = sorted(
        (number, code)
        for number, line in enumerate(MISUSE.splitlines(), start=1)
        for code in re.findall(r"# E: ([a-z-]+)", line)
    )
    assert sorted({(int(e["line"]), e["code"]) for e in errors}) == expected, output


def test_stub_itself_passes_strict_mypy(mypy, tmp_path):
    (tmp_path / "_core.pyi").write_text(STUB_SOURCE.read_text())
    status, output = mypy(tmp_path / "_core.pyi", cwd=tmp_path)
    assert status == 0, output
