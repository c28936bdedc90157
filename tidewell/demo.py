"""The deterministic demo market: an A-share-like data set built in seconds.

This module is the simulator and the store builder only; the default demo store (where it
lives, building it once on first use, rebuilding an outdated one) is ``tidewell.home``.

``build_demo(path)`` writes a complete store (see ``SCHEMA.md``):

* calendar: the Shanghai exchange ("XSHG") sessions of ``exchange_calendars`` from 2005-01-04
  to 2025-12-31 (or wider, to cover the requested window plus a year), so that every
  classification start date is a row label and forward windows past the last bar find dates;
* stocks ("000001.XSHE"-style ids) with listings and delistings inside the window,
  suspensions (missing bars), splits and dividends (``adj_factor``), daily bars;
* two indexes, "000300.XSHG" and "000905.XSHG" (type "INDX"): equal-weighted means of fixed
  member sets (the largest and the next-largest stocks by size exposure, stored in
  ``index_components``), with daily and minute bars, and ticks over the last five trading days;
* returns = beta x market + industry (30 CITICS industries) + ten style factors x stored
  exposures + a planted signal + idiosyncratic noise + news (lasting jumps, and overreactions
  that fade over the next days);
* special-treatment spells (``st_status``) of small stocks and of most stocks that delist;
  prices follow the returns day by day within the daily limits the store derives
  (``tidewell.limits``: the board's width, the ST width while a spell holds, none in the first
  sessions after a registration-era listing), so a move beyond a limit closes at it and catches
  up later; a move far beyond opens and closes there too (sealed); ``trading_status`` is derived
  at the end of the build;
* signals "planted" (rank IC about 0.045 against the next five days' return) and "noise";
* "citics_2019" and "sws" classification histories with industry changes; sws versions 1 to 3
  switch at 2014-01-01 and 2021-07-31.  Two sws records start on non-trading dates on purpose:
  one stock has version-1 and version-2 records starting exactly 2014-01-01 (only version 1 is
  in force) and another version-2 and version-3 records starting exactly 2021-07-31 (only
  version 2 is in force).  Some version-2/3 records start before their version is in force and
  must be dropped by the consumer.  Every other start date is a trading date, and every stock
  has a CITICS record starting on its listing date.

Determinism: all randomness comes from ``numpy.random.default_rng`` seeded with (seed, stream),
and prices are built with additions, multiplications and divisions only (no vectorised
``exp``/``log``, whose last bit can differ between CPUs), rounded to the cent.  The same version,
size and seed give the same data on any machine (given the same ``exchange_calendars`` sessions).

Sizes: ``SIZES["default"]`` (600 stocks, 2019-01-02 to 2024-12-31), ``SIZES["large"]`` (5000
stocks, 2015-01-05 to 2024-12-31, for benchmarks), ``SIZES["small"]`` (40 stocks, 2023-2024,
for tests).
"""

from __future__ import annotations

import os
import sys
import time
import warnings
from typing import Optional

import numpy as np
import pandas as pd

from . import _files
from . import _industries as ind
from . import errors as _errors
from . import limits as _limits
from . import schema
from . import store as _store
from ._version import __version__

DEMO_SEED = 20190102
#: Bumped whenever the generator's output changes; a cached default store of another revision
#: is rebuilt on first use.
DEMO_REVISION = "2"
CAL_START = pd.Timestamp("2005-01-04")
CAL_END = pd.Timestamp("2025-12-31")
V2_SWITCH = pd.Timestamp("2014-01-01")
V3_SWITCH = pd.Timestamp("2021-07-31")

SIZES = {
    "default": dict(n_stocks=600, start="2019-01-02", end="2024-12-31"),
    "large": dict(n_stocks=5000, start="2015-01-05", end="2024-12-31"),
    "small": dict(n_stocks=40, start="2023-01-03", end="2024-12-31"),
}

INDEXES = {"000300.XSHG": ("沪深300", 300, 3000.0), "000905.XSHG": ("中证500", 500, 5000.0)}

# model constants (daily)
MARKET_MEAN, MARKET_VOL = 0.0003, 0.013
INDUSTRY_VOL = 0.007
STYLE_VOL = 0.0025
SIGNAL_RHO, SIGNAL_ALPHA = 0.9, 0.0006
EXPOSURE_RHO, EXPOSURE_DEV = 0.995, 0.35
BLOCK = 500  # stocks generated per block (fixed: the data do not depend on the machine)
# news: a lasting jump (6-20 %) and an overreaction (8-30 %) that fades at OVERREACT_RHO a day,
# per stock and day; stocks under special treatment overreact more and move more
JUMP_P, OVERREACT_P, OVERREACT_P_ST, OVERREACT_RHO = 0.0015, 0.003, 0.012, 0.75
ST_IDIO = 1.3
_STYLE_STAGING = "_demo_style_exposures"

MINUTES = np.concatenate([np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)])


def _rng(seed, *stream):
    return np.random.default_rng([int(seed)] + [int(s) for s in stream])


def _ar1(rng, shape, rho, axis=0):
    """Unit-variance AR(1) noise along ``axis`` 0 (time), stationary from the first row."""
    from scipy.signal import lfilter
    e = rng.standard_normal(shape)
    e[0] = e[0] / np.sqrt(1.0 - rho * rho)
    out = lfilter([1.0], [1.0, -rho], e, axis=axis)
    return out * np.sqrt(1.0 - rho * rho)


def _sessions(start: pd.Timestamp, end: pd.Timestamp) -> pd.DatetimeIndex:
    import exchange_calendars as xc
    cal_start = min(CAL_START, start - pd.Timedelta(days=400))
    cal_end = max(CAL_END, end + pd.Timedelta(days=366))
    with warnings.catch_warnings():
        # exchange_calendars uses pandas calls that pandas 3.1 deprecates; not our concern here
        warnings.simplefilter("ignore")
        cal = xc.get_calendar("XSHG", start=cal_start.strftime("%Y-%m-%d"),
                              end=cal_end.strftime("%Y-%m-%d"))
        s = cal.sessions
    return pd.DatetimeIndex(np.asarray(s.tz_localize(None) if s.tz is not None else s,
                                       dtype="datetime64[ns]"))


def _make_ids(rng, n):
    pools = [("000", 3, 999, "XSHE"), ("002", 1, 999, "XSHE"), ("300", 1, 999, "XSHE"),
             ("600", 0, 999, "XSHG"), ("601", 0, 999, "XSHG"), ("603", 0, 999, "XSHG"),
             ("688", 1, 999, "XSHG")]
    cands = []
    for prefix, lo, hi, ex in pools:
        for num in range(lo, hi + 1):
            if prefix == "000" and num in (300, 905):
                continue  # keep the index codes unambiguous
            cands.append("{}{:03d}.{}".format(prefix, num, ex))
    if n > len(cands) + 2:
        raise ValueError("n_stocks: at most {} stocks, got {}".format(len(cands) + 2, n))
    fixed = ["000001.XSHE", "000002.XSHE"][:n]
    picked = rng.choice(len(cands), size=n - len(fixed), replace=False) if n > len(fixed) else []
    ids = sorted(fixed + [cands[i] for i in picked])
    return ids


def build_demo(path, n_stocks: Optional[int] = None, start=None, end=None, seed: int = DEMO_SEED,
               size: Optional[str] = None, minute_bars: bool = True, ticks: bool = True,
               overwrite: bool = False, quiet: bool = True) -> str:
    """Build a demo store at ``path`` and return the path.

    ``size`` names a preset of ``SIZES`` ("default", "large", "small"); explicit ``n_stocks``,
    ``start`` and ``end`` override it.  The file is written to a temporary name beside ``path``
    and renamed into place when complete, so a reader never sees a half-built store.
    """
    preset = dict(SIZES[size or "default"]) if (size or "default") in SIZES else None
    if preset is None:
        raise ValueError("size: expect one of {}, got {!r}".format(list(SIZES), size))
    if n_stocks is not None:
        preset["n_stocks"] = n_stocks
    if start is not None:
        preset["start"] = start
    if end is not None:
        preset["end"] = end
    from .dates import to_date, check_range
    n = int(preset["n_stocks"])
    if n < 2:
        raise ValueError("n_stocks: expect at least 2, got {}".format(n))
    start = to_date(preset["start"], "start")
    end = to_date(preset["end"], "end")
    check_range(start, end, "start", "end")
    path = os.fspath(path)
    if os.path.isdir(path):
        raise _errors.NotAStoreError("build_demo: {} is a folder; give the path of the store file "
                                     "to write".format(path), path)
    if os.path.exists(path) and not overwrite:
        raise FileExistsError("build_demo: {} exists (pass overwrite=True)".format(path))
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    _errors.check_folder(path)
    _files.clean_leftovers(directory)      # temporary files of builds that were killed
    tmp = _files.temp_path(path, "build")
    t0 = time.perf_counter()
    try:
        con = _store.connect(tmp, new=True)
        try:
            _store.create_schema(con)
            _Builder(con, n, start, end, seed, minute_bars, ticks).run()
            con.execute("CHECKPOINT")
        finally:
            con.close()
        _store.close(path)
        _files.publish(tmp, path, overwrite=True)
    finally:
        _files.remove(tmp)
    if not quiet:
        print("tidewell: built demo store {} ({} stocks, {} to {}) in {:.1f} s".format(
            path, n, start.date(), end.date(), time.perf_counter() - t0), file=sys.stderr)
    return path


def _priced(target, factor, bars, width, gap, hi_x, lo_x):
    """Raw open, high, low and close of every bar, day after day within the limits the exchange
    would set from the previous bar's close (``tidewell.limits``, as the store derives them):
    a close the news would take beyond a limit stays at it, and so does the open when the news
    would take the price past it by more than half the band again (a day sealed at the limit).
    Also each bar's return (post-adjusted, from the previous bar; 0 without a bar) and the
    sealed days.  Rows are dates, columns stocks; ``width`` NaN: no limit that day."""
    T, nb = target.shape
    out = {k: np.full((T, nb), np.nan) for k in ("open", "high", "low", "close")}
    ret = np.zeros((T, nb))
    sealed = np.zeros((T, nb), dtype=bool)
    last_close = np.full(nb, np.nan)
    last_factor = np.full(nb, np.nan)
    with np.errstate(invalid="ignore"):
        for t in range(T):
            b = bars[t]
            ref = _limits.reference_price(last_close, last_factor, factor[t])
            up, down = _limits.limit_prices(ref, width[t])
            close = np.maximum(np.round(target[t], 2), 0.01)
            close = np.where(close > up, up, np.where(close < down, down, close))
            base = np.where(np.isnan(ref), close, ref)
            open_ = np.maximum(np.round(base * gap[t], 2), 0.01)
            open_ = np.where(open_ > up, up, np.where(open_ < down, down, open_))
            move = target[t] / ref - 1.0
            seal_up = (close == up) & (move >= 1.5 * width[t])
            seal_down = (close == down) & (move <= -1.5 * width[t])
            seal = seal_up | seal_down
            open_ = np.where(seal, close, open_)
            high = np.round(np.maximum(open_, close) * hi_x[t], 2)
            low = np.maximum(np.round(np.minimum(open_, close) * np.maximum(lo_x[t], 0.5), 2), 0.01)
            high = np.where(seal | (high > up), np.where(seal, close, up), high)
            low = np.where(seal | (low < down), np.where(seal, close, down), low)
            for k, v in (("open", open_), ("high", high), ("low", low), ("close", close)):
                out[k][t, b] = v[b]
            sealed[t] = seal & b
            prev_adj = last_close * last_factor
            r = close * factor[t] / prev_adj - 1.0
            ret[t] = np.where(b & ~np.isnan(r), r, 0.0)
            last_close = np.where(b, close, last_close)
            last_factor = np.where(b, factor[t], last_factor)
    return out["open"], out["high"], out["low"], out["close"], ret, sealed


class _Builder:
    def __init__(self, con, n, start, end, seed, minute_bars, ticks):
        self.con = con
        self.n = n
        self.seed = seed
        self.minute_bars = minute_bars
        self.ticks = ticks
        self.cal = _sessions(start, end)
        self.win = self.cal[(self.cal >= start) & (self.cal <= end)]
        if len(self.win) < 30:
            raise ValueError("start/end: the demo window needs at least 30 trading dates, got {}"
                             .format(len(self.win)))
        self.start, self.end = self.win[0], self.win[-1]
        self.w0 = int(self.cal.searchsorted(self.start))

    # -- helpers ---------------------------------------------------------------------------
    def insert(self, table, frame, into=None):
        cols = [c for c in schema.TABLES[table].column_names if c in frame.columns]
        name = "_demo_src"
        self.con.register(name, frame)
        try:
            self.con.execute("INSERT INTO {t} ({c}) SELECT {c} FROM {n}".format(
                t=into or table, c=", ".join(cols), n=name))
        finally:
            self.con.unregister(name)

    def run(self):
        T, N = len(self.win), self.n
        rs = _rng(self.seed, 0)
        # the kind row marks a demo store (DuckDBStore.is_demo): only it offers derived ratios
        self.con.execute("INSERT INTO metadata VALUES (?, ?), ('seed', ?), "
                         "('n_stocks', ?), ('start', ?), ('end', ?), ('tidewell_version', ?), "
                         "('demo_revision', ?)",
                         list(_store.DEMO_KIND)
                         + [str(self.seed), str(N), str(self.start.date()), str(self.end.date()),
                            __version__, DEMO_REVISION])
        self.insert("trading_calendar", pd.DataFrame({"date": self.cal}))

        # -- static stock attributes ----------------------------------------------------------
        ids = _make_ids(rs, N)
        self.ids = ids
        cal, win = self.cal, self.win
        c0 = int(cal.searchsorted(CAL_START))
        w0 = int(cal.searchsorted(self.start))
        w1 = int(cal.searchsorted(self.end))  # index of the last window session
        u = rs.random(N)
        new = u < 0.15                                   # listed inside the window
        new[:2] = False
        pos = np.empty(N, dtype=np.int64)
        pre_hi = max(w0 - 60, c0 + 1)
        pos[~new] = rs.integers(c0, pre_hi, size=(~new).sum())
        pos[0] = c0
        pos[1] = min(c0 + 250, pre_hi - 1)
        last_listing = max(w0 + 1, w1 - 20)
        pos[new] = rs.integers(w0 + 1, last_listing, size=new.sum())
        star = np.array([i.startswith("688") for i in ids])
        star_open = int(cal.searchsorted(pd.Timestamp("2019-07-22")))
        if star_open < last_listing:
            late = star & (pos < star_open)
            pos[late] = rs.integers(star_open, last_listing, size=late.sum())
        new = pos >= w0
        listed = cal[pos]
        # delistings inside the window (not of the two fixed stocks)
        delist = np.full(N, -1, dtype=np.int64)
        dl = (rs.random(N) < 0.04)
        dl[:2] = False
        lo = np.maximum(pos + 120, w0 + 20)
        ok = dl & (lo < w1 - 5)
        delist[ok] = lo[ok] + (rs.random(ok.sum()) * (w1 - 5 - lo[ok])).astype(np.int64)
        de_listed = [cal[d] if d >= 0 else pd.NaT for d in delist]
        # industries (CITICS index), with changes
        w = np.asarray(ind.WEIGHTS, dtype=float)
        ind0 = rs.choice(len(ind.CITICS), size=N, p=w / w.sum())
        # records: list of (stock, calendar position, industry)
        recs = [(i, int(pos[i]), int(ind0[i])) for i in range(N)]
        cur = ind0.copy()
        pre_change = (~new) & (rs.random(N) < 0.10) & (pos < w0 - 30)
        for i in np.nonzero(pre_change)[0]:
            p = int(rs.integers(pos[i] + 20, w0 - 1))
            c = int((cur[i] + rs.integers(1, len(ind.CITICS))) % len(ind.CITICS))
            recs.append((i, p, c))
            cur[i] = c
        end_alive = np.where(delist >= 0, delist, w1)
        win_change = rs.random(N) < 0.05
        late_pick = rs.choice(N, size=min(3, N), replace=False)
        for i in range(N):
            if not (win_change[i] or i in late_pick):
                continue
            lo_p = max(int(pos[i]) + 20, w0 + 1)
            if i in late_pick:
                lo_p = max(lo_p, w1 - 120)
            hi_p = int(end_alive[i]) - 1
            if lo_p >= hi_p:
                continue
            p = int(rs.integers(lo_p, hi_p))
            c = int((cur[i] + rs.integers(1, len(ind.CITICS))) % len(ind.CITICS))
            recs.append((i, p, c))
            cur[i] = c
        # one change on the last session of the window, so that the classification's last start
        # date is the last bar date (consumers reindex classifications onto trading dates up to
        # the last start date; dates after it would lose their industry)
        alive = [i for i in range(N) if delist[i] < 0 and pos[i] < w1 - 20]
        if alive:
            i = alive[int(rs.integers(0, len(alive)))]
            c = int((cur[i] + rs.integers(1, len(ind.CITICS))) % len(ind.CITICS))
            if all(not (r[0] == i and r[1] == w1) for r in recs):
                recs.append((i, w1, c))
                cur[i] = c
        recs.sort()
        self.recs = recs
        # industry of each stock on each window date
        ind_w = np.zeros((T, N), dtype=np.int64)
        for i, p, c in recs:
            ind_w[max(p - w0, 0):, i] = c
        self.ind_w = ind_w

        # -- instruments -------------------------------------------------------------------------
        names = []
        for i in range(N):
            a, b = rs.integers(0, len(ind.SYLLABLES), size=2)
            names.append(ind.SYLLABLES[a] + ind.SYLLABLES[b] + ind.CITICS[ind0[i]][:2])
        inst = pd.DataFrame({
            "order_book_id": ids, "symbol": names, "type": "CS",
            "exchange": [i.split(".")[1] for i in ids],
            "listed_date": listed, "de_listed_date": pd.to_datetime(pd.Series(de_listed)),
        })
        idx_inst = pd.DataFrame({
            "order_book_id": list(INDEXES), "symbol": [v[0] for v in INDEXES.values()],
            "type": "INDX", "exchange": "XSHG",
            # (a window that starts earlier lists them on its first date: no bar before listing)
            "listed_date": [min(pd.Timestamp("2005-04-08"), self.start),
                            min(pd.Timestamp("2007-01-15"), self.start)],
            "de_listed_date": pd.to_datetime(pd.Series([pd.NaT, pd.NaT]))})
        self.insert("instruments", pd.concat([inst, idx_inst], ignore_index=True))

        # -- classification histories ------------------------------------------------------------
        self._industry_tables(rs, pos, delist)

        # -- common factor returns ---------------------------------------------------------------
        rf = _rng(self.seed, 1)
        vol_regime = 0.75 + 0.5 * (0.5 + 0.5 * np.clip(_ar1(rf, (T,), 0.99), -1, 1))
        f_mkt = MARKET_MEAN + MARKET_VOL * vol_regime * rf.standard_normal(T)
        f_ind = INDUSTRY_VOL * rf.standard_normal((T, len(ind.CITICS)))
        f_sty = STYLE_VOL * rf.standard_normal((T, len(schema.STYLE_FACTORS)))
        f_sty[:, schema.STYLE_FACTORS.index("size")] -= 0.0002      # small caps drift up
        f_sty[:, schema.STYLE_FACTORS.index("momentum")] += 0.0001

        # index membership by static size (largest mean size exposure first)
        mu = rs.standard_normal((N, len(schema.STYLE_FACTORS)))
        order = np.argsort(-mu[:, schema.STYLE_FACTORS.index("size")], kind="stable")
        n300 = min(300, max(1, N // 2))
        n500 = min(500, max(1, N - n300))
        members = {"000300.XSHG": order[:n300], "000905.XSHG": order[n300:n300 + n500]}
        spells = []
        for index_id, rows in members.items():
            for i in sorted(rows.tolist()):
                spells.append((index_id, ids[i], max(listed[i], self.start),
                               de_listed[i] if delist[i] >= 0 else pd.NaT))
        self.insert("index_components", pd.DataFrame(
            spells, columns=["index_id", "order_book_id", "in_date", "out_date"]).astype(
            {"in_date": "datetime64[ns]", "out_date": "datetime64[ns]"}))
        member_of = np.full(N, -1)
        member_of[members["000300.XSHG"]] = 0
        member_of[members["000905.XSHG"]] = 1
        idx_sum = np.zeros((T, 2))
        idx_cnt = np.zeros((T, 2))

        beta = np.clip(1.0 + 0.25 * rs.standard_normal(N), 0.3, 1.8)
        mu[:, schema.STYLE_FACTORS.index("beta")] = (beta - 1.0) / 0.25
        idio = 0.012 + 0.018 * rs.random(N)
        p_first = 4.0 + 36.0 * rs.random(N) * rs.random(N)
        f_first = np.where(rs.random(N) < 0.3, 1.0, 1.05 + 2.5 * rs.random(N))
        f_first[new] = 1.0
        n_susp = rs.poisson(1.2 * T / 1456.0, size=N)

        # special treatment: spells of small, distressed stocks and of most stocks that delist
        spells = self._st_spells(_rng(self.seed, 4), pos, delist,
                                 mu[:, schema.STYLE_FACTORS.index("size")])
        self.insert("st_status", pd.DataFrame({
            "order_book_id": [ids[i] for i, _, _, _ in spells],
            "start_date": cal[[a for _, a, _, _ in spells]],
            "end_date": pd.to_datetime(pd.Series([cal[e] if e is not None else pd.NaT
                                                  for _, _, e, _ in spells], dtype=object)),
            "kind": [k for _, _, _, k in spells]}).astype({"end_date": "datetime64[ns]"}))
        st_mask = np.zeros((T, N), dtype=bool)
        for i, a, e, _ in spells:
            st_mask[max(a - w0, 0):(T if e is None else max(e - w0, 0)), i] = True

        # Style exposures are read a cross-section (a block of dates) at a time, so they are
        # stored date by date: each block of stocks goes to a staging table first.
        self.con.execute("CREATE TEMP TABLE {} AS SELECT * FROM style_exposures LIMIT 0".format(_STYLE_STAGING))
        for b0 in range(0, N, BLOCK):
            b1 = min(N, b0 + BLOCK)
            sums, cnts = self._block(b0, b1, _rng(self.seed, 2, b0 // BLOCK), pos - w0,
                                     np.where(delist >= 0, delist - w0, T), f_mkt, f_ind, f_sty,
                                     mu[b0:b1], beta[b0:b1], idio[b0:b1], p_first[b0:b1],
                                     f_first[b0:b1], n_susp[b0:b1], member_of[b0:b1],
                                     st_mask[:, b0:b1], listed[b0:b1])
            idx_sum += sums
            idx_cnt += cnts
        self.con.execute("INSERT INTO style_exposures SELECT * FROM {} ORDER BY date, order_book_id".format(
            _STYLE_STAGING))
        self.con.execute("DROP TABLE {}".format(_STYLE_STAGING))
        idx_ret = np.where(idx_cnt > 0, idx_sum / np.maximum(idx_cnt, 1), 0.0)
        self._indexes(idx_ret)
        _store.refresh_trading_status(self.con)

    # -- special treatment ----------------------------------------------------------------------
    def _st_spells(self, rng, pos, delist, size):
        """(stock, first calendar position, end position or None, kind) of every ST spell: about
        one small stock in seven and one other in forty (at least one stock in twenty, and two),
        a year or more after listing, for 120-600 sessions, some a second time; and most stocks
        that delist are *ST until then."""
        N = self.n
        w0 = int(self.cal.searchsorted(self.start))
        w1 = int(self.cal.searchsorted(self.end))
        small = size <= np.quantile(size, 0.3)
        chosen = rng.random(N) < np.where(small, 0.14, 0.025)
        dies = rng.random(N) < 0.7
        # every market has a few: the smallest stocks listed a year before the window's end
        seasoned = np.nonzero(pos + 250 < w1 - 30)[0]
        for i in seasoned[np.argsort(size[seasoned], kind="stable")]:
            if chosen[2:].sum() >= max(2, N // 20):
                break
            chosen[i] = i >= 2
        spells = []
        for i in range(2, N):
            first_ok = int(pos[i]) + 250
            stop = int(delist[i]) if delist[i] >= 0 else w1 + 1   # no spell starts from here on
            if delist[i] >= 0 and dies[i]:
                a = max(first_ok, stop - int(rng.integers(120, 320)))
                if a < stop - 5:
                    spells.append((i, a, None, "*ST"))
                    continue
            if not chosen[i]:
                continue
            lo, hi = max(first_ok, w0 - 250), stop - 30
            if lo >= hi:
                continue
            a = int(rng.integers(lo, hi))
            e = a + int(rng.integers(120, 600))
            kind = "*ST" if rng.random() < 0.4 else "ST"
            if e >= stop or e > w1:
                spells.append((i, a, None, kind))
                continue
            spells.append((i, a, e, kind))
            if rng.random() < 0.3:
                a2 = e + int(rng.integers(60, 250))
                if a2 < hi:
                    e2 = a2 + int(rng.integers(120, 400))
                    spells.append((i, a2, e2 if e2 < stop and e2 <= w1 else None, "*ST"))
        return spells

    # -- classification ---------------------------------------------------------------------
    def _industry_tables(self, rs, pos, delist):
        cal, ids = self.cal, self.ids
        recs = self.recs
        citics = pd.DataFrame({
            "first_industry_name": [ind.CITICS[c] for _, _, c in recs],
            "order_book_id": [ids[i] for i, _, _ in recs],
            "start_date": cal[[p for _, p, _ in recs]],
        })
        self.insert("industry_citics_2019", citics)

        v2_day = cal[cal.searchsorted(V2_SWITCH, "right")]   # first session after the switch
        v3_day = cal[cal.searchsorted(V3_SWITCH, "right")]
        sws = []
        by_stock = {}
        for i, p, c in recs:
            by_stock.setdefault(i, []).append((cal[p], c))

        def version(d):
            return 1 if d <= V2_SWITCH else (2 if d <= V3_SWITCH else 3)

        def current(hist, d):
            c = hist[0][1]
            for s, cc in hist:
                if s <= d:
                    c = cc
            return c

        boundary_v2 = boundary_v3 = None
        for i in range(len(ids)):
            hist = by_stock[i]
            oid = ids[i]
            gone = cal[delist[i]] if delist[i] >= 0 else None
            starts = set()
            for s, c in hist:
                v = version(s)
                sws.append((ind.SWS_MAP[v][c], oid, s, v))
                starts.add((s, v))
            for day, v in ((v2_day, 2), (v3_day, 3)):
                if hist[0][0] < day and (gone is None or gone > day) and (day, v) not in starts:
                    sws.append((ind.SWS_MAP[v][current(hist, day)], oid, day, v))
            # backfilled records of later versions, not in force at their start dates
            if rs.random() < 0.08:
                s0, c0 = hist[0]
                if s0 <= V2_SWITCH:
                    sws.append((ind.SWS_MAP[2][c0], oid, s0, 2))
                if s0 <= V3_SWITCH and (s0, 3) not in starts:
                    sws.append((ind.SWS_MAP[3][c0], oid, s0, 3))
            alive_v2 = hist[0][0] < V2_SWITCH and (gone is None or gone > v2_day)
            alive_v3 = hist[0][0] < V3_SWITCH and (gone is None or gone > v3_day)
            if boundary_v2 is None and alive_v2:
                boundary_v2 = i
            elif boundary_v3 is None and alive_v3:
                boundary_v3 = i
        if boundary_v2 is not None:
            hist, oid = by_stock[boundary_v2], ids[boundary_v2]
            c = current(hist, V2_SWITCH)
            other = (c + 1) % len(ind.CITICS)
            sws.append((ind.SWS_MAP[1][other], oid, V2_SWITCH, 1))  # in force (version 1)
            sws.append((ind.SWS_MAP[2][c], oid, V2_SWITCH, 2))      # dropped
        if boundary_v3 is not None:
            hist, oid = by_stock[boundary_v3], ids[boundary_v3]
            c = current(hist, V3_SWITCH)
            other = (c + 2) % len(ind.CITICS)
            sws.append((ind.SWS_MAP[2][other], oid, V3_SWITCH, 2))  # in force (version 2)
            sws.append((ind.SWS_MAP[3][c], oid, V3_SWITCH, 3))      # dropped
        frame = pd.DataFrame(sws, columns=["index_name", "order_book_id", "start_date", "version"])
        frame = frame.drop_duplicates(["order_book_id", "start_date", "version"])
        frame = frame.sort_values(["order_book_id", "start_date", "version"], kind="stable")
        frame["start_date"] = frame["start_date"].astype("datetime64[ns]")
        self.insert("industry_sws", frame)

    # -- stocks -------------------------------------------------------------------------------
    def _block(self, b0, b1, rng, first, stop, f_mkt, f_ind, f_sty, mu, beta, idio, p_first,
               f_first, n_susp, member_of, st_mask, listed_dates):
        T = len(self.win)
        nb = b1 - b0
        K = len(schema.STYLE_FACTORS)
        ids = self.ids[b0:b1]
        first = first[b0:b1]
        stop = stop[b0:b1]
        t_idx = np.arange(T)[:, None]
        listed = (t_idx >= first[None, :]) & (t_idx < stop[None, :])
        bars = listed.copy()
        for i in range(nb):
            for _ in range(int(n_susp[i])):
                s = int(rng.integers(0, T))
                length = 1 + int(rng.geometric(0.25)) if rng.random() > 0.02 else int(rng.integers(20, 80))
                if s > first[i]:  # never suspend the listing day
                    bars[s:s + length, i] = False
        # exposures (T, nb, K): persistent around the stock's mean
        dev = _ar1(rng, (T, nb * K), EXPOSURE_RHO).reshape(T, nb, K)
        expo = mu[None, :, :] + EXPOSURE_DEV * dev
        nls = schema.STYLE_FACTORS.index("non_linear_size")
        size = expo[:, :, schema.STYLE_FACTORS.index("size")]
        expo[:, :, nls] = 0.5 * (size * size * size - 3.0 * size) / 3.0 + 0.5 * expo[:, :, nls]
        signal = _ar1(rng, (T, nb), SIGNAL_RHO)
        noise_sig = rng.standard_normal((T, nb))  # independent of everything, no persistence
        ind_w = self.ind_w[:, b0:b1]
        idio_t = idio[None, :] * np.where(st_mask, ST_IDIO, 1.0)
        r = (beta[None, :] * f_mkt[:, None]
             + np.take_along_axis(f_ind, ind_w, axis=1)
             + np.einsum("tik,tk->ti", expo, f_sty)
             + idio_t * rng.standard_normal((T, nb)))
        r[1:] += SIGNAL_ALPHA * signal[:-1]
        # news (own stream): lasting jumps, and overreactions that fade over the next days
        rj = _rng(self.seed, 5, b0 // BLOCK)
        jump = (rj.random((T, nb)) < JUMP_P) * rj.uniform(0.06, 0.20, (T, nb)) \
            * np.where(rj.random((T, nb)) < 0.5, -1.0, 1.0)
        shock = (rj.random((T, nb)) < np.where(st_mask, OVERREACT_P_ST, OVERREACT_P)) \
            * rj.uniform(0.08, 0.30, (T, nb)) * np.where(rj.random((T, nb)) < 0.5, -1.0, 1.0)
        r = np.clip(r + jump, -0.6, 0.6)
        r[0] = 0.0
        from scipy.signal import lfilter
        fade = np.clip(lfilter([1.0], [1.0, -OVERREACT_RHO], shock, axis=0), -0.6, 0.6)
        growth = np.cumprod(1.0 + r, axis=0) * (1.0 + fade)
        # corporate actions: dividends (in May-Aug of most years) and occasional splits
        mult = np.ones((T, nb))
        years = self.win.year.values
        for y in np.unique(years):
            ys = np.nonzero((years == y) & (self.win.month.values >= 5) & (self.win.month.values <= 8))[0]
            if len(ys) == 0:
                continue
            pay = rng.random(nb) < 0.6
            day = ys[rng.integers(0, len(ys), size=nb)]
            yld = 0.003 + 0.027 * rng.random(nb)
            ok = pay & (day > first + 250)
            mult[day[ok], np.nonzero(ok)[0]] *= 1.0 / (1.0 - yld[ok])
        n_split = rng.poisson(0.05 * T / 243.0, size=nb)
        for i in range(nb):
            for _ in range(int(n_split[i])):
                d = int(rng.integers(1, T))
                if d > first[i]:
                    mult[d, i] *= (1.2, 1.3, 1.5, 2.0)[int(rng.integers(0, 4))]
        mult[np.arange(T)[:, None] <= np.maximum(first, 0)[None, :]] = 1.0
        factor = f_first[None, :] * np.cumprod(mult, axis=0)
        # level so that the first bar's raw close is p_first
        f0 = np.clip(first, 0, T - 1)
        cols = np.arange(nb)
        scale = p_first * factor[f0, cols] / growth[f0, cols]
        target = growth * scale[None, :] / factor       # the raw close the news would bring
        gap = 1.0 + 0.3 * idio[None, :] * rng.standard_normal((T, nb))
        hi_x = 1.0 + 0.5 * idio[None, :] * np.abs(rng.standard_normal((T, nb)))
        lo_x = 1.0 - 0.5 * idio[None, :] * np.abs(rng.standard_normal((T, nb)))
        volume = np.round(rng.lognormal(13.0, 0.8, size=(T, nb)) / 100.0) * 100.0 + 100.0
        age = (self.w0 + np.arange(T))[:, None] - (self.w0 + first)[None, :]
        width = _limits.widths([_limits.board(i) for i in ids], self.win, st_mask, age, listed_dates)
        raw_open, raw_high, raw_low, raw_close, ret_obs, sealed = _priced(
            target, factor, bars, width, gap, hi_x, lo_x)
        volume = np.where(sealed, np.round(volume * 0.15 / 100.0) * 100.0 + 100.0, volume)
        turnover = np.round(volume * (raw_open + raw_high + raw_low + raw_close) / 4.0, 2)

        # index contributions
        sums = np.zeros((T, 2))
        cnts = np.zeros((T, 2))
        for g in (0, 1):
            m = member_of == g
            if m.any():
                sums[:, g] = ret_obs[:, m].sum(axis=1)
                cnts[:, g] = bars[:, m].sum(axis=1)

        # rows, stock-major then date (the table stays physically sorted by id, date)
        ii, tt = np.nonzero(bars.T)
        oid = np.asarray(ids, dtype=object)
        dates = self.win.values
        self.insert("daily_bars", pd.DataFrame({
            "order_book_id": oid[ii], "date": dates[tt],
            "open": raw_open[tt, ii], "high": raw_high[tt, ii], "low": raw_low[tt, ii],
            "close": raw_close[tt, ii], "volume": volume[tt, ii],
            "total_turnover": turnover[tt, ii], "adj_factor": factor[tt, ii],
        }))
        self.insert("signals", pd.concat([
            pd.DataFrame({"order_book_id": oid[ii], "date": dates[tt], "name": "planted",
                          "value": np.round(signal[tt, ii], 6)}),
            pd.DataFrame({"order_book_id": oid[ii], "date": dates[tt], "name": "noise",
                          "value": np.round(noise_sig[tt, ii], 6)}),
        ], ignore_index=True))
        li, lt = np.nonzero(listed.T)
        sty = {"order_book_id": oid[li], "date": dates[lt]}
        for k, name in enumerate(schema.STYLE_FACTORS):
            sty[name] = np.round(expo[lt, li, k], 6)
        self.insert("style_exposures", pd.DataFrame(sty), into=_STYLE_STAGING)
        return sums, cnts

    # -- indexes ------------------------------------------------------------------------------
    def _indexes(self, idx_ret):
        T = len(self.win)
        rng = _rng(self.seed, 3)
        dates = self.win.values
        daily, minute, tick = [], [], []
        mins = MINUTES
        for g, (oid, (_, _, base)) in enumerate(INDEXES.items()):
            close = base * np.cumprod(1.0 + idx_ret[:, g])
            prev = np.concatenate([[close[0] / (1.0 + idx_ret[0, g])], close[:-1]])
            open_ = prev * (1.0 + 0.002 * rng.standard_normal(T))
            # minute path: a bridge from the open to the close
            steps = rng.standard_normal((T, len(mins))) * (0.0006 * np.abs(close - open_)[:, None] / close[:, None] + 0.0004)
            walk = np.cumsum(steps, axis=1)
            frac = np.arange(1, len(mins) + 1) / len(mins)
            bridge = walk - frac[None, :] * walk[:, -1:]
            m_close = (open_[:, None] + frac[None, :] * (close - open_)[:, None]) * (1.0 + bridge)
            m_close[:, -1] = close
            m_open = np.concatenate([open_[:, None], m_close[:, :-1]], axis=1)
            wig = 1.0 + 0.0003 * np.abs(rng.standard_normal((T, len(mins))))
            m_high = np.maximum(m_open, m_close) * wig
            m_low = np.minimum(m_open, m_close) / wig
            shape = 1.0 + 1.5 * ((np.arange(len(mins)) - 119.5) / 119.5) ** 2
            vol_day = np.round(rng.lognormal(23.0, 0.3, size=T) / 100.0) * 100.0
            m_vol = np.round(vol_day[:, None] * shape[None, :] / shape.sum() / 100.0) * 100.0
            vol_day = m_vol.sum(axis=1)
            r2 = lambda a: np.round(a, 2)  # noqa: E731
            daily.append(pd.DataFrame({
                "order_book_id": oid, "date": dates, "open": r2(open_),
                "high": r2(m_high.max(axis=1)), "low": r2(m_low.min(axis=1)), "close": r2(close),
                "volume": vol_day, "total_turnover": r2(vol_day * close * 10.0),
                "adj_factor": 1.0}))
            if self.minute_bars:
                stamp = (dates[:, None] + (mins[None, :].astype("timedelta64[m]"))).ravel()
                minute.append(pd.DataFrame({
                    "order_book_id": oid, "datetime": stamp, "open": r2(m_open.ravel()),
                    "high": r2(m_high.ravel()), "low": r2(m_low.ravel()),
                    "close": r2(m_close.ravel()), "volume": m_vol.ravel(),
                    "total_turnover": r2(m_vol.ravel() * m_close.ravel() * 10.0)}))
            if self.ticks:
                for t in range(max(0, T - 5), T):
                    # 3-second snapshots 09:30:03..11:30:00 and 13:00:03..15:00:00
                    secs = np.concatenate([np.arange(9 * 3600 + 1803, 11 * 3600 + 1801, 3),
                                           np.arange(13 * 3600 + 3, 15 * 3600 + 1, 3)])
                    # minute index of each snapshot and the fraction inside that minute
                    xs = np.concatenate([[0.0], np.arange(1, len(mins) + 1, dtype=float)])
                    ys = np.concatenate([[open_[t]], m_close[t]])
                    morning = secs <= 11 * 3600 + 1800
                    pos = np.where(morning, (secs - (9 * 3600 + 1800)) / 60.0,
                                   120.0 + (secs - 13 * 3600) / 60.0)
                    last = np.interp(pos, xs, ys)
                    on_minute = (secs % 60) == 0
                    jitter = 1.0 + 0.0001 * rng.standard_normal(len(secs))
                    last = np.where(on_minute, last, last * jitter)
                    cumv = np.interp(pos, xs, np.concatenate([[0.0], np.cumsum(m_vol[t])]))
                    tick.append(pd.DataFrame({
                        "order_book_id": oid,
                        "datetime": dates[t] + secs.astype("timedelta64[s]"),
                        "last": r2(last), "volume": np.round(cumv / 100.0) * 100.0}))
        self.insert("daily_bars", pd.concat(daily, ignore_index=True))
        if minute:
            self.insert("minute_bars", pd.concat(minute, ignore_index=True))
        if tick:
            self.insert("ticks", pd.concat(tick, ignore_index=True))
