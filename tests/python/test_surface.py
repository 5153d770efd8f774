"""What Python sees besides the calls themselves: the console lines and the import-time version gate."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane
from reference import blobs, make_engine


def test_console_lines_in_order_on_stdout(capfd):
    X, y, _ = blobs(5)
    engine = make_engine(variance=2.0)
    engine.train(X, y)
    engine.train(X[:4], y[:4], scale=True)
    assert capfd.readouterr() == (
        "[PCA] Fit complete. Mode: Standard | Components: 2\n"
        "[Engine] Trained successfully. Reduced to 2 dimensions.\n"
        "[PCA] Fit complete. Mode: Thin | Components: 2\n"
        "[Engine] Trained successfully. Reduced to 2 dimensions.\n",
        "",
    )


# A library that makes Py_GetVersion report $FAKE_PY_VERSION to the module.
@pytest.fixture(scope="module")
def version_shim(tmp_path_factory):
    source = tmp_path_factory.mktemp("shim") / "shim.c"
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
    code = f"import sys; sys.path.insert(0, {str(Path(quorvane.__file__).parent)!r}); import quorvane; print('imported')"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    if accepted:
        assert (run.stdout + run.stderr).strip() == "imported"
    else:
        assert ("ImportError: Python version mismatch: module was compiled for Python 3.13, "
                f"but the interpreter version is incompatible: {version}.") in run.stderr
