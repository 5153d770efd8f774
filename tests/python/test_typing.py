"""The type stub: installed where type checkers look, true to the built module, and
strict enough for mypy to catch misuse."""

import ast
import os
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvane

STUB_SOURCE = Path(__file__).resolve().parents[2] / "src" / "bindings" / "quorvane.pyi"
TYPED_USAGE = Path(__file__).resolve().with_name("typed_usage.py")
MODULE_DIR = Path(quorvane.__file__).parent

# Where the stub says more than the module's own signature lines; each one is
# backed by a call in typed_usage.py that runs. Keyed by member and runtime type.
REFINED = {
    # The label conversion takes bytes and bytearray as well as str.
    ("KNNEngine.train", "collections.abc.Sequence[str]"): "collections.abc.Sequence[str | bytes | bytearray]",
    ("KNNConfig.__setstate__", "tuple"): "tuple[int, float]",
    # The engine's state tuple is opaque to callers.
    ("KNNEngine.__getstate__", "tuple"): "tuple[object, ...]",
    ("KNNEngine.__setstate__", "tuple"): "tuple[object, ...]",
}


class _Normalise(ast.NodeTransformer):
    """Spells a runtime annotation the way the stub does: Annotated[T, ...] is T to a
    type checker, and the stub names its own classes without the module prefix."""

    def visit_Subscript(self, node: ast.Subscript) -> ast.AST:
        if ast.unparse(node.value) == "typing.Annotated":
            first = node.slice.elts[0] if isinstance(node.slice, ast.Tuple) else node.slice
            return self.visit(first)
        return self.generic_visit(node)

    def visit_Attribute(self, node: ast.Attribute) -> ast.AST:
        if isinstance(node.value, ast.Name) and node.value.id == "quorvane":
            return ast.Name(id=node.attr, ctx=node.ctx)
        return self.generic_visit(node)


def _signature(function: ast.FunctionDef, member: str, refined: set | None = None) -> tuple:
    """(parameters after self, return type). A positional-only parameter has no name
    callers can use, so it is recorded as None. Runtime types pass through REFINED,
    noting in `refined` which entries were used."""
    def annotation(node: ast.expr | None) -> str:
        text = ast.unparse(_Normalise().visit(node)) if node is not None else "?"
        if refined is not None and (member, text) in REFINED:
            refined.add((member, text))
            return REFINED[member, text]
        return text

    args = function.args
    assert not (args.kwonlyargs or args.vararg or args.kwarg), member
    positional = [(a, True) for a in args.posonlyargs] + [(a, False) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    params = []
    for (arg, only_positional), default in list(zip(positional, defaults))[1:]:
        params.append((None if only_positional else arg.arg, annotation(arg.annotation), default))
    return params, annotation(function.returns)


def _runtime_signature(doc: str, member: str, refined: set) -> tuple:
    line = doc.strip().splitlines()[0]
    match = re.fullmatch(r"\w*(\(.*\) -> .+)", line)
    assert match, f"{member}: no single signature line in {doc!r}"
    function = ast.parse(f"def f{match[1]}: ...").body[0]
    # pybind11 names the arguments of a function argN when none were named, and
    # those cannot be passed by keyword.
    args = function.args
    if all(re.fullmatch(r"arg\d+", a.arg) for a in (args.posonlyargs + args.args)[1:]):
        args.posonlyargs, args.args = args.posonlyargs + args.args, []
    return _signature(function, member, refined)


def _runtime_members(refined: set) -> dict:
    members = {}
    for cls in (quorvane.KNNConfig, quorvane.KNNEngine):
        for name, value in vars(cls).items():
            if name in ("__doc__", "__module__") or name.startswith("_pybind11"):
                continue
            key = f"{cls.__name__}.{name}"
            if isinstance(value, property):
                members[key, "getter"] = _runtime_signature(value.fget.__doc__, key, refined)
                if value.fset is not None:
                    members[key, "setter"] = _runtime_signature(value.fset.__doc__, key, refined)
            else:
                members[key, "method"] = _runtime_signature(value.__doc__, key, refined)
    return members


def _stub_members(tree: ast.Module) -> dict:
    members = {}
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
        for function in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
            decorators = [ast.unparse(d) for d in function.decorator_list]
            kind = ("getter" if decorators == ["property"]
                    else "setter" if decorators == [f"{function.name}.setter"]
                    else "method")
            assert kind != "method" or not decorators, f"{cls.name}.{function.name}: {decorators}"
            key = f"{cls.name}.{function.name}"
            members[key, kind] = _signature(function, key)
    return members


@pytest.fixture(scope="module")
def installed_stub():
    path = MODULE_DIR / "quorvane.pyi"
    assert path.is_file(), f"no stub beside {quorvane.__file__}"
    return path


def test_stub_is_installed_where_type_checkers_look(installed_stub):
    # Beside the module for pyright and IDEs; as a stub package for mypy. A copy that
    # differs from the source means the module was not reinstalled after an edit.
    source = STUB_SOURCE.read_text()
    assert installed_stub.read_text() == source
    assert (MODULE_DIR / "quorvane-stubs" / "__init__.pyi").read_text() == source


def test_stub_matches_the_module_signatures(installed_stub):
    tree = ast.parse(installed_stub.read_text())
    refined: set = set()
    runtime = _runtime_members(refined)
    stub = _stub_members(tree)
    assert stub == runtime
    assert refined == set(REFINED), "a refinement no longer matches the module"

    assert ast.get_docstring(tree) == quorvane.__doc__
    exported = next(n for n in tree.body if isinstance(n, ast.AnnAssign) and ast.unparse(n.target) == "__all__")
    public = sorted(name for name in dir(quorvane) if not name.startswith("_"))
    assert sorted(ast.literal_eval(exported.value)) == public
    assert sorted(n.name for n in tree.body if isinstance(n, ast.ClassDef)) == public


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
    (tmp_path / "quorvane.pyi").write_text(STUB_SOURCE.read_text())
    status, output = mypy(tmp_path / "quorvane.pyi", cwd=tmp_path)
    assert status == 0, output
