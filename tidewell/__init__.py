"""tidewell: a local market-data client over an embedded DuckDB store.

The calls the sigmora pipeline makes (``get_price``, ``get_trading_dates``,
``get_previous_trading_date``, ``get_next_trading_date``, ``instruments``,
``get_style_factor_exposure``, ``client.get_client().execute`` and ``decorators.ttl_cache``) are
answered from one DuckDB file.  ``tidewell.init(path)`` selects it; without a call tidewell reads
the deterministic demo market, built on first use under ``$TIDEWELL_HOME`` (or
``~/.cache/tidewell``).  ``tidewell import`` loads your own CSV / Parquet files into a store;
``tidewell info`` describes one, ``tidewell check`` checks one against the integrity rules.  The schema is documented in ``tidewell/SCHEMA.md``.

The calls read the store through the store protocol (``tidewell.protocol.MarketStore``), which
the DuckDB store implements; ``tidewell.use_store(obj)`` answers them from another
implementation inside a block.
"""

from ._version import __version__  # noqa: F401

from . import dates, decorators, schema, protocol, store, client, errors  # noqa: E402,F401
from .errors import (  # noqa: E402,F401
    StoreError, StoreLockedError, StoreCorruptError, StoreReadOnlyError, NotAStoreError,
    EmptyStoreError)
from .protocol import MarketStore  # noqa: E402,F401
from .api import (  # noqa: E402,F401
    Cells,
    Instrument,
    WIDE_DATASETS,
    all_instruments,
    current_path,
    factor_names,
    get_daily_cells,
    get_daily_grids,
    get_factor,
    get_next_trading_date,
    get_previous_trading_date,
    get_price,
    get_price_table,
    get_signal,
    get_style_factor_exposure,
    get_trading_dates,
    index_components,
    init,
    instruments,
    use_store,
    using,
)
from .schema import STYLE_FACTORS  # noqa: E402,F401
from .trading import (  # noqa: E402,F401
    STATUS, get_st_spells, index_membership, is_st, listed_days, trading_status)


def build_demo(path, **kwargs):
    """Build a demo store at ``path`` (see ``tidewell.demo.build_demo``)."""
    from .demo import build_demo as _build
    return _build(path, **kwargs)


def import_files(store_path, files, **kwargs):
    """Import CSV / Parquet files into a store (see ``tidewell.importer.import_files``)."""
    from .importer import import_files as _imp
    return _imp(store_path, files, **kwargs)


def import_frames(store_path, **kwargs):
    """Import DataFrames into a store, one keyword per table (see
    ``tidewell.importer.import_frames``): ``import_frames(path, daily_bars=df, instruments=inst)``."""
    from .importer import import_frames as _imp
    return _imp(store_path, **kwargs)


def check(store_path):
    """The integrity rules over an existing store (see ``tidewell.importer.check_store``)."""
    from .importer import check_store
    return check_store(store_path)


def vacuum(store_path):
    """Rewrite a store compactly (see ``tidewell.importer.vacuum``); (bytes before, after)."""
    from .importer import vacuum as _vacuum
    return _vacuum(store_path)


def info(path=None):
    """What a store holds (see ``tidewell.importer.store_info``)."""
    from .importer import store_info
    return store_info(path if path is not None else current_path())
