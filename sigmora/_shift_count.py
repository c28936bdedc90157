"""The value of a factor node's ``shift`` property (see ``AbstractFactor.__init_subclass__``)."""

from .exception import SigmoraUserException


class _ShiftCount(int):
    """The value of a node's ``shift`` property: a plain int that explains itself when it is
    called, since ``close.shift(20)`` (pandas' spelling of a lag) would otherwise fail with
    "'int' object is not callable"."""

    __slots__ = ()

    def __call__(self, *args, **kwargs):
        raise SigmoraUserException(
            "`shift` of a factor expression is a property (the {} leading rows it consumes), not a "
            "method: to read a factor n trading dates earlier use sigmora.operators.ts_delay(x, n) "
            "or sigmora.evaluation.lag(x, n)".format(int(self)))

    def __reduce__(self):
        return int, (int(self),)


def explained_shift(getter):
    def shift(self):
        value = getter(self)
        if isinstance(value, int) and not isinstance(value, (bool, _ShiftCount)):
            return _ShiftCount(value)
        return value
    shift._sigmora_explained = True
    return shift
