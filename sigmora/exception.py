"""Exceptions raised by sigmora for misuse of its functions and factor objects."""


class SigmoraException(Exception):
    """Base class of every exception sigmora raises on purpose."""


class InvalidArgument(SigmoraException):
    """An argument names something sigmora does not know (e.g. a winsorize method)."""


class SigmoraUserException(SigmoraException):
    """A factor object was used in a way it does not support (e.g. as a truth value)."""


class InvalidUserFactor(SigmoraException):
    """A user-defined factor function returned data that cannot be used."""
