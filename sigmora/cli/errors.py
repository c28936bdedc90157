"""The errors of a bad option or input file."""


class UsageError(Exception):
    """A bad option or input file: reported without a traceback, exit code 2."""


class FactorFileError(UsageError):
    """A factor file that cannot be read as a factor table (the message names the file, the
    place and the value): `sigmora run` exits with 2, `sigmora run-many` reports it as that
    factor's failure and runs the others."""
