"""C++ KNN Engine with Adaptive PCA support"""

from os import PathLike as _PathLike
from importlib.metadata import version as _version

from . import _core
from ._core import KNNConfig, KNNEngine, simd_level

__all__ = ["KNNConfig", "KNNEngine", "load", "simd_level"]
__version__: str = _version("quorvane")


def load(path: str | _PathLike[str], mmap: bool = True, verify: bool = True) -> KNNEngine:
    """Load an engine that ``KNNEngine.save`` wrote.

    Parameters
    ----------
    path : str or os.PathLike
        The model file.
    mmap : bool, default=True
        Map the file into memory and answer from its pages in place: nothing the
        size of the training set is read or copied at load, and every process that
        maps the same file shares one copy of it. False reads it into this
        process's memory.
    verify : bool, default=True
        Check each section's checksum (one pass over the file). Without it, every
        size, offset and index is still checked before use, so a damaged or
        hostile file is refused or gives wrong answers, never a crash; only bit
        flips in stored values go unseen.

    Returns
    -------
    KNNEngine
        An engine that answers bit for bit as the one that was saved.

    Raises
    ------
    FileNotFoundError, PermissionError, OSError
        The file cannot be opened or read.
    ValueError
        "invalid quorvane model file: ..." naming what is wrong: a short, long,
        misaligned, overlapping, damaged or foreign file.

    Notes
    -----
    A mapped file must not be changed in place while an engine uses it: replace it
    as ``save`` does (a new file renamed over the old one), which leaves the pages
    of the old one to those who mapped it.
    """
    return _core._load(path, mmap=bool(mmap), verify=bool(verify))
