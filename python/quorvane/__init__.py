"""C++ KNN Engine with Adaptive PCA support"""

from importlib.metadata import version as _version

from ._core import KNNConfig, KNNEngine, simd_level

__all__ = ["KNNConfig", "KNNEngine", "simd_level"]
__version__: str = _version("quorvane")
