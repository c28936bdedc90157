"""The version of tidewell (a module of its own so that any module can read it without
importing the package's ``__init__``, which imports most modules)."""

__version__ = "0.1.0"
