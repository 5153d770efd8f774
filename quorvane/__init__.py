"""C++ KNN Engine with Adaptive PCA support"""

from importlib.metadata import version as _version

from ._core import KNNConfig, KNNEngine

__all__ = ["KNNConfig", "KNNEngine"]
__version__: str = _version("quorvane")
