"""order_book_id spellings: the common A-share forms mapped onto tidewell's ``CODE.EXCHANGE``.

tidewell stores a six-digit code and the exchange's code: ``000001.XSHE`` (Shenzhen),
``600000.XSHG`` (Shanghai), ``430047.BJSE`` (Beijing).  Files from the usual sources spell the
same ids in other ways; ``normalize`` reads them all (case does not matter):

* tidewell / RiceQuant: ``000001.XSHE`` (kept as it is);
* a suffix (Tushare, Wind, Yahoo): ``000001.SZ``, ``600000.SH``, ``600000.SS``, ``430047.BJ``;
* a prefix (Sina, Tencent, eastmoney), with or without a dot (Baostock): ``sz000001``,
  ``SZ000001``, ``sh.600000``, ``bj430047``;
* a bare code, ``000001``: the exchange of the code's range.

Bare codes, by their first digits: 600, 601, 603, 605, 688, 689, 900 (stocks) and 50, 51, 52, 56,
58 (funds) are Shanghai; 000, 001, 002, 003, 004, 300, 301, 302, 200, 201 (stocks), 15, 16, 18
(funds) and 399 (indexes) are Shenzhen; 43, 83, 87, 88 and 920 are Beijing.

The range 000 is shared: Shenzhen's stocks and Shanghai's indexes (000001 is both Ping An Bank
and the SSE Composite, 000300 the CSI 300).  A bare 000 code is the Shenzhen stock, except where
it can only be an index (the ``index_id`` column, or an ``instruments`` row of type ``INDX``) and
except where only the Shanghai index of that code is an instrument of the store or the import
(the importer decides that); when both are, the bare code is ambiguous and refused.  Codes of no
listed range, other suffixes or prefixes, and codes that are not six digits are refused with the
accepted spellings.  The table is in ``SCHEMA.md``.
"""

from __future__ import annotations

import re
from typing import Optional, Tuple

__all__ = ["normalize", "IdError", "EXCHANGES", "CANONICAL", "is_canonical", "alternative", "respelled"]

#: Exchange codes of a store (``instruments.exchange`` and the id suffix).
EXCHANGES = ("XSHG", "XSHE", "BJSE")

CANONICAL = re.compile(r"^\d{6}\.(XSHG|XSHE|BJSE)$")

_SUFFIX = {"XSHG": "XSHG", "SH": "XSHG", "SS": "XSHG", "SSE": "XSHG",
           "XSHE": "XSHE", "SZ": "XSHE", "SZSE": "XSHE",
           "BJSE": "BJSE", "BJ": "BJSE", "BSE": "BJSE"}
_PREFIX = {"SH": "XSHG", "SZ": "XSHE", "BJ": "BJSE"}

#: First digits of bare codes -> exchange (longest prefix wins).
RANGES = {
    "600": "XSHG", "601": "XSHG", "603": "XSHG", "605": "XSHG", "688": "XSHG", "689": "XSHG",
    "900": "XSHG", "50": "XSHG", "51": "XSHG", "52": "XSHG", "56": "XSHG", "58": "XSHG",
    "000": "XSHE", "001": "XSHE", "002": "XSHE", "003": "XSHE", "004": "XSHE", "300": "XSHE",
    "301": "XSHE", "302": "XSHE", "200": "XSHE", "201": "XSHE", "15": "XSHE", "16": "XSHE",
    "18": "XSHE", "399": "XSHE",
    "43": "BJSE", "83": "BJSE", "87": "BJSE", "88": "BJSE", "920": "BJSE",
}

_SUFFIX_RE = re.compile(r"^(\d{6})\.([A-Za-z]+)$")
_PREFIX_RE = re.compile(r"^([A-Za-z]{2})\.?(\d{6})$")
_BARE_RE = re.compile(r"^\d{6}$")

SPELLINGS = "000001.XSHE, 000001.SZ, sz000001, SZ000001, sz.000001 or a bare code 000001"


class IdError(ValueError):
    """An id that cannot be read, or that could name two instruments."""


def is_canonical(text) -> bool:
    return isinstance(text, str) and CANONICAL.match(text) is not None


def _range_exchange(code: str) -> Optional[str]:
    for n in (3, 2):
        ex = RANGES.get(code[:n])
        if ex is not None:
            return ex
    return None


def normalize(text, index: bool = False) -> Tuple[str, bool]:
    """``(order_book_id, bare)``: ``text`` in tidewell's spelling, and whether it was a bare
    code (whose exchange came from the code's range).

    ``index``: the id can only be an index (bare 000 codes are then Shanghai's).  Raises
    ``IdError`` for a spelling it cannot read.
    """
    s = str(text).strip()
    if CANONICAL.match(s):
        return s, False
    m = _SUFFIX_RE.match(s)
    if m:
        ex = _SUFFIX.get(m.group(2).upper())
        if ex is None:
            raise IdError("unknown exchange suffix {!r} in {!r} (accepted: .XSHG .XSHE .BJSE "
                          ".SH .SS .SZ .BJ)".format(m.group(2), s))
        return "{}.{}".format(m.group(1), ex), False
    m = _PREFIX_RE.match(s)
    if m:
        ex = _PREFIX.get(m.group(1).upper())
        if ex is None:
            raise IdError("unknown exchange prefix {!r} in {!r} (accepted: sh sz bj)".format(
                m.group(1), s))
        return "{}.{}".format(m.group(2), ex), False
    if _BARE_RE.match(s):
        if index and s.startswith("000"):
            return s + ".XSHG", True
        ex = _range_exchange(s)
        if ex is None:
            raise IdError("cannot tell the exchange of the bare code {!r} (no listed code range); "
                          "spell it with its exchange, e.g. {}.SH or {}.SZ".format(s, s, s))
        return "{}.{}".format(s, ex), True
    raise IdError("cannot read {!r} as an order_book_id; accepted spellings: {}".format(s, SPELLINGS))


def alternative(oid: str) -> Optional[str]:
    """The other instrument a bare code could name: the Shanghai index for a Shenzhen 000 code
    (None for every other id)."""
    if oid.startswith("000") and oid.endswith(".XSHE"):
        return oid[:6] + ".XSHG"
    return None


def respelled(names, known, limit=None):
    """The first of ``names`` that is, in another spelling, one of the ``known`` order_book_ids,
    as (name, order_book_id); None when no name is. ``limit``: look at that many names at most."""
    for name in list(names)[:limit]:
        try:
            oid, _ = normalize(name)
        except (IdError, TypeError, ValueError):
            continue
        if oid in known:
            return name, oid
    return None
