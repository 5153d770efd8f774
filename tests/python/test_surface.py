"""What Python sees: names, signatures, defaults, conversions and keyword rules."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvane
from quorvane import KNNConfig, KNNEngine

ARRAY = 'typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"]'
VECTOR = 'typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]'


def test_module_holds_two_classes_and_the_level_query():
    assert quorvane.__doc__ == "C++ KNN Engine with Adaptive PCA support"
    public = sorted(n for n in dir(quorvane) if not n.startswith("_"))
    assert public == ["KNNConfig", "KNNEngine", "simd_level"]


@pytest.mark.parametrize(
    "member, signature",
    [
        (KNNConfig.__init__, "__init__(self: quorvane.KNNConfig) -> None"),
        (KNNEngine.__init__, "__init__(self: quorvane.KNNEngine, arg0: quorvane.KNNConfig) -> None"),
        (
            KNNEngine.train,
            f"train(self: quorvane.KNNEngine, X: {ARRAY}, y: collections.abc.Sequence[str], "
            "scale: bool = False) -> None",
        ),
        (KNNEngine.predict, f"predict(self: quorvane.KNNEngine, arg0: {VECTOR}) -> str"),
        (KNNEngine.predict_batch, f"predict_batch(self: quorvane.KNNEngine, arg0: {ARRAY}) -> list[str]"),
    ],
)
def test_visible_signatures(member, signature):
    assert member.__doc__.strip() == signature


def test_property_setters_are_annotated():
    assert "arg0: typing.SupportsInt | typing.SupportsIndex" in KNNConfig.k.fset.__doc__
    assert "arg0: typing.SupportsFloat | typing.SupportsIndex" in KNNConfig.variance.fset.__doc__


def test_config_defaults_and_conversions():
    cfg = KNNConfig()
    assert (cfg.k, cfg.variance) == (3, 0.95)
    assert type(cfg.k) is int and type(cfg.variance) is float
    cfg.k = np.int64(9)
    cfg.variance = 4
    assert (cfg.k, cfg.variance) == (9, 4.0) and type(cfg.variance) is float


def test_keyword_rules(blobs):
    X, y = blobs
    engine = KNNEngine(KNNConfig())
    engine.train(X=X, y=y, scale=True)
    engine.train(X, y)
    with pytest.raises(TypeError):
        engine.predict(x=X[0])
    with pytest.raises(TypeError):
        engine.predict(arg0=X[0])
    with pytest.raises(TypeError):
        engine.predict_batch(X=X)
    with pytest.raises(TypeError):
        KNNEngine(config=KNNConfig())
    with pytest.raises(TypeError):
        KNNEngine(3)


def test_labels_round_trip():
    X = np.array([[0.0, 0.0], [10.0, 0.0], [0.0, 10.0], [10.0, 10.0]])
    labels = ["héllo wörld", "日本語", b"raw bytes", bytearray(b"\xf0\x9f\x90\x8d")]
    cfg = KNNConfig()
    cfg.k = 1
    engine = KNNEngine(cfg)
    engine.train(X, labels)
    assert engine.predict_batch(X) == ["héllo wörld", "日本語", "raw bytes", "🐍"]


GATE_MESSAGE = (
    "Python version mismatch: module was compiled for Python 3.13, "
    "but the interpreter version is incompatible: {}."
)


def _import_in_subprocess(python, env=None):
    code = "import quorvane\nprint('imported')"
    module_dir = str(Path(quorvane.__file__).parent)
    run = subprocess.run(
        [str(python), "-c", f"import sys; sys.path.insert(0, {module_dir!r})\n{code}"],
        capture_output=True, text=True, env=env, timeout=60,
    )
    return run.stdout + run.stderr


@pytest.fixture(scope="module")
def version_shim(tmp_path_factory):
    """A library that makes Py_GetVersion report $FAKE_PY_VERSION to the module."""
    if shutil.which("cc") is None:  # an installed wheel is also tested where no compiler is
        pytest.skip("building the shim needs a C compiler")
    folder = tmp_path_factory.mktemp("shim")
    source = folder / "shim.c"
    source.write_text('#include <stdlib.h>\nconst char *Py_GetVersion(void) { return getenv("FAKE_PY_VERSION"); }\n')
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(folder / "shim.so"), str(source)], check=True)
    return folder / "shim.so"


@pytest.mark.parametrize("version, accepted", [
    ("3.13.1 (main) [GCC]", True),
    ("3.13", True),
    ("3.12.1 (main) [GCC]", False),
    ("3.14.0 (main) [GCC]", False),
    ("3.130.0", False),
])
def test_version_gate(version_shim, version, accepted):
    env = dict(os.environ, LD_PRELOAD=str(version_shim), FAKE_PY_VERSION=version)
    output = _import_in_subprocess(sys.executable, env)
    if accepted:
        assert output.strip() == "imported"
    else:
        assert "ImportError: " + GATE_MESSAGE.format(version) in output


def _minor(path):
    return int(path.name.split(".")[1])


OTHER_PYTHONS = sorted(
    (p for p in Path.home().glob(".pyenv/versions/3.*/bin/python3.*")
     if p.name.count(".") == 1 and p.name[-1].isdigit() and _minor(p) != 13),
    key=_minor,
)


@pytest.mark.skipif(not OTHER_PYTHONS, reason="no other Python 3 minor version on this machine")
def test_other_python_refuses_import():
    python = OTHER_PYTHONS[-1]
    version = subprocess.run(
        [str(python), "-c", "import sys; print(sys.version)"], capture_output=True, text=True, check=True
    ).stdout.strip()
    # Other interpreters do not look for a cpython-313 file, so load it by path.
    code = (
        "import importlib.machinery as m, importlib.util as u\n"
        f"loader = m.ExtensionFileLoader('quorvane', {quorvane.__file__!r})\n"
        "u.module_from_spec(u.spec_from_loader('quorvane', loader))\n"
    )
    run = subprocess.run([str(python), "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode != 0
    last = run.stderr.strip().splitlines()[-1]
    # An older interpreter lacks C API symbols the module links against, so the
    # dynamic loader refuses it before the version check runs; a newer one
    # reaches the check.
    assert last.startswith("ImportError: ")
    assert last == "ImportError: " + GATE_MESSAGE.format(version) or "undefined symbol" in last
