"""The error of a bad option or input file."""


class UsageError(Exception):
    """A bad option or input file: reported without a traceback, exit code 2."""
