"""sigmora: cross-sectional stock factor testing over a C++ core."""

from ._core import get_num_threads, set_num_threads

__version__ = "0.1.0"
__all__ = ["get_num_threads", "set_num_threads", "__version__"]
