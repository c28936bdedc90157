"""sigmora: cross-sectional stock factor testing over a C++ core."""

import os as _os

try:
    from ._core import get_num_threads, set_num_threads
except ImportError as _err:
    _here = _os.path.dirname(_os.path.abspath(__file__))
    if _os.path.exists(_os.path.join(_os.path.dirname(_here), "pyproject.toml")):
        # Python found the source folder of a checkout before the installed package: the
        # compiled core lives only in the install.
        raise ImportError(
            "sigmora was imported from its source folder ({}), which holds no compiled core: run Python "
            "from another folder, where the installed package (`make install`) is used".format(_here)) from _err
    raise

__version__ = "0.1.0"
__all__ = ["get_num_threads", "set_num_threads", "save_results", "load_results", "__version__"]


def __getattr__(name):
    # Saving and loading results need pandas: loaded on first use only.
    if name in ("save_results", "load_results"):
        from sigmora import saved
        return getattr(saved, name)
    raise AttributeError("module 'sigmora' has no attribute {!r}".format(name))
