"""What Python sees besides the calls themselves: names and the import-time version gate."""

import os
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane
from reference import make_engine


def test_classes_present_themselves_as_quorvane():
    # Moving them into quorvane._core must not change signatures, repr or pickles.
    public = sorted(n for n in dir(quorvane) if not n.startswith("_") and n not in ("sklearn", "dask"))
    assert public == ["KNNConfig", "KNNEngine", "load", "simd_level"]
    assert quorvane.__doc__ == "C++ KNN Engine with Adaptive PCA support"
    assert repr(quorvane.KNNEngine) == "<class 'quorvane.KNNEngine'>"
    assert quorvane.KNNEngine.train.__doc__.startswith("train(self: quorvane.KNNEngine, X: ")
    assert b"quorvane\x94\x8c\tKNNEngine" in pickle.dumps(make_engine(), protocol=4)
    assert quorvane.__version__ and quorvane.__version__[0].isdigit()


def test_every_public_name_describes_itself():
    # help() shows each signature line first (unchanged), then a description.
    names = [getattr(quorvane, n) for n in quorvane.__all__]
    for owner in (quorvane.KNNConfig, quorvane.KNNEngine):
        names += [getattr(owner, n) for n in vars(owner) if not n.startswith("_") or n in ("__init__", "__setstate__")]
    for name in names:
        doc = name.__doc__ or ""
        description = doc.split("\n\n", 1)[-1] if doc.startswith(getattr(name, "__name__", "?") + "(") else doc
        assert len(description.strip()) > 20, name
    engine = make_engine(1, 2.0)
    assert repr(engine) == "KNNEngine(KNNConfig(k=1, variance=2.0), untrained)"
    engine.train([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]], list("abc"))
    assert repr(engine) == "KNNEngine(KNNConfig(k=1, variance=2.0), trained on 3 samples of 2 features, 2 components)"
    assert repr(quorvane.KNNConfig()) == "KNNConfig(k=3, variance=0.95)"


@pytest.fixture(scope="module")
def version_shim(tmp_path_factory):
    """A library that makes Py_GetVersion report $FAKE_PY_VERSION to the module."""
    if shutil.which("cc") is None:  # an installed wheel is also tested where no compiler is
        pytest.skip("building the shim needs a C compiler")
    folder = tmp_path_factory.mktemp("shim")
    source = folder / "shim.c"
    source.write_text('#include <stdlib.h>\nconst char *Py_GetVersion(void) { return getenv("FAKE_PY_VERSION"); }\n')
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(source.with_suffix(".so")), str(source)], check=True)
    return source.with_suffix(".so")


@pytest.mark.parametrize("version, accepted", [
    ("3.13.1 (main) [GCC]", True),
    ("3.13", True),
    ("3.12.1 (main) [GCC]", False),
    ("3.14.0 (main) [GCC]", False),
    ("3.130.0", False),
])
def test_version_gate(version_shim, version, accepted):
    env = dict(os.environ, LD_PRELOAD=str(version_shim), FAKE_PY_VERSION=version)
    code = f"import sys; sys.path.insert(0, {str(Path(quorvane.__file__).parents[1])!r}); import quorvane; print('imported')"
    run = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env, timeout=60)
    if accepted:
        assert (run.stdout + run.stderr).strip() == "imported"
    else:
        assert ("ImportError: Python version mismatch: module was compiled for Python 3.13, "
                f"but the interpreter version is incompatible: {version}.") in run.stderr


@pytest.mark.parametrize("module, blocked, extra, needs", [
    ("quorvane.sklearn", "sklearn", "sklearn", "scikit-learn"),
    ("quorvane.dask", "distributed", "dask", "dask[array] and distributed"),  # imported after dask
])
def test_missing_extra_names_it(module, blocked, extra, needs):
    code = (f"import sys; sys.modules[{blocked!r}] = None\n"
            f"try: import {module}\n"
            "except ModuleNotFoundError as e: print(e); print(repr(e.__cause__))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    message, cause = run.stdout.splitlines() or [run.stderr, ""]
    assert message == f'{module} needs {needs}: pip install "quorvane[{extra}]"'
    assert cause.startswith("ModuleNotFoundError(") and blocked in cause  # the original, chained
