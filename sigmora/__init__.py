"""sigmora: cross-sectional stock factor testing over a C++ core."""

from ._core import get_num_threads, set_num_threads

__version__ = "0.1.0"
__all__ = ["get_num_threads", "set_num_threads", "save_results", "load_results", "__version__"]


def __getattr__(name):
    # Saving and loading results need pandas: loaded on first use only.
    if name in ("save_results", "load_results"):
        from sigmora import saved
        return getattr(saved, name)
    raise AttributeError("module 'sigmora' has no attribute {!r}".format(name))
