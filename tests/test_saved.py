"""Saved results: tables as Parquet or CSV files with a manifest, read back equal; files are
replaced whole or not at all."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import sigmora
import tidewell
from sigmora import _atomic, cli
from sigmora.analysis._coverage import Coverage
from sigmora.analysis.analysis_result import LabelCodes, QuantileReturnAnalysisResult
from sigmora.batch import BatchResult, FactorFailure, SavedError
from sigmora.report import write_report
from tests.test_results import make_records

FORMATS = ("parquet", "csv")


def _files(folder):
    """Every file under ``folder`` by relative path, with its bytes."""
    found = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


@pytest.fixture(scope="module")
def engine_output(small_store_path):
    """The demo pipeline's output for the planted signal on the small store."""
    with tidewell.using(small_store_path):
        factor = tidewell.get_signal(None, "2023-02-01", "2023-10-31")
        return cli.run_pipeline(factor, cli.build_steps(), (1, 5))


def _odd_record():
    """A record whose tables take every kind of axis and value the files must keep."""
    dates = pd.DatetimeIndex(["2024-01-02 09:30", "2024-01-02 15:00", "2024-01-03 09:30"], tz="Asia/Shanghai",
                             name="when")
    labels = pd.DataFrame({"A": ["q1", np.nan, "NA"], "B": ["None", "q2", "null"]}, index=dates, dtype=object)
    mixed = pd.DataFrame({1: [1, 2, 3], 2.5: [True, False, True], "x": [0.1, np.nan, -np.inf]},
                         index=pd.Index(["交通运输", "a/b", "0001"], name=None))
    nested = pd.DataFrame(np.arange(6, dtype=float).reshape(3, 2) / 7, columns=["P_1", "P_1"],
                          index=pd.MultiIndex.from_tuples([("q1", 0), ("q1", 3), ("q10", 1)], names=["tag", "decay"]))
    unnamed = pd.Series([1e-300, 2.0 / 3, np.nan], index=pd.RangeIndex(3))
    return QuantileReturnAnalysisResult(quantile_detail=labels, quantile_turnover=mixed, quantile_returns=nested,
                                        benchmark_return=unnamed, top_minus_bottom_returns=None, name="odd")


@pytest.mark.parametrize("fmt", FORMATS)
def test_results_read_back_equal(tmp_path, engine_output, fmt):
    # the engine's output, with the coverage every record carries
    path = sigmora.save_results(engine_output, tmp_path / "run", format=fmt)
    back = sigmora.load_results(path)
    assert list(back) == list(engine_output) and back == engine_output
    for step, record in engine_output.items():
        assert back[step].coverage == record.coverage and back[step].coverage is not record.coverage
        assert isinstance(back[step].coverage.values_per_date, tuple)
        for key in record._tables:
            assert (getattr(back[step], key) is None) == (getattr(record, key) is None)
    assert os.path.isfile(tmp_path / "run" / "ic" / "ic.{}".format(fmt))

    # one record, with tables of every awkward kind
    odd = _odd_record()
    back = sigmora.load_results(odd.save(tmp_path / "odd", format=fmt))
    assert type(back) is QuantileReturnAnalysisResult and back == odd and back.coverage is None
    pd.testing.assert_frame_equal(back.quantile_detail, odd.quantile_detail)
    pd.testing.assert_frame_equal(back.quantile_turnover, odd.quantile_turnover)
    pd.testing.assert_series_equal(back.benchmark_return, odd.benchmark_return)
    assert back.top_minus_bottom_returns is None


def test_equality_sees_every_difference(engine_output):
    ic = engine_output["ic"]
    changed = ic.ic.copy()
    changed.iloc[3, 1] += 1e-12
    tables = dict(ic_p_value=ic.ic_p_value, ic_decay=ic.ic_decay, ic_industry_distribute=ic.ic_industry_distribute,
                  factor_rank_autocorrelation=ic.factor_rank_autocorrelation)
    assert type(ic)(name=ic.name, ic=ic.ic, **tables) != ic            # no coverage
    copy = type(ic)(name=ic.name, ic=changed, **tables)
    copy.coverage = ic.coverage
    assert copy != ic
    copy.ic = ic.ic.copy()
    assert copy == ic
    copy.coverage = Coverage.from_counts(dict(ic.coverage.counts(), dates_used=ic.coverage.dates_used - 1))
    assert copy != ic
    copy.coverage = ic.coverage
    copy.name = "other"
    assert copy != ic


def test_label_codes_and_batches_round_trip(tmp_path, engine_output):
    codes = LabelCodes(np.array([[0, 1], [-1, 0]], dtype=np.int8), np.array(["q1", "q2", np.nan], dtype=object),
                       pd.DatetimeIndex(["2024-01-02", "2024-01-03"], name="datetime"), pd.Index(["A", "B"]))
    held = QuantileReturnAnalysisResult(quantile_detail=codes, name="quantile")
    assert sigmora.load_results(held.save(tmp_path / "codes")) == held

    try:
        raise ValueError("factor 'broken' has no dates")
    except ValueError as exc:
        failure = FactorFailure("broken", exc, "Traceback (most recent call last):\n  ...\nValueError: ...\n")
    batch = BatchResult([("value/price", engine_output), ("broken", failure)])
    back = sigmora.load_results(batch.save(tmp_path / "batch", format="csv"))
    assert type(back) is BatchResult and list(back) == ["value/price", "broken"] and back == batch
    assert isinstance(back["broken"].exception, SavedError) and back["broken"].exception.type_name == "ValueError"
    assert "broken failed: ValueError: factor 'broken' has no dates" in back.report()
    assert os.path.isdir(tmp_path / "batch" / "value_price" / "quantile")
    pd.testing.assert_frame_equal(back.leaderboard(), batch.leaderboard())
    # several outputs by factor name, as the tear sheet takes them
    many = {"a": engine_output, "b": {"ic": engine_output["ic"]}}
    assert sigmora.load_results(sigmora.save_results(many, tmp_path / "many")) == many


def test_a_save_that_fails_midway_leaves_the_previous_one(tmp_path, engine_output, monkeypatch):
    folder = tmp_path / "run"
    sigmora.save_results(engine_output, folder)
    before = _files(folder)

    calls = []
    real = pd.DataFrame.to_parquet

    def failing(self, *args, **kwargs):
        calls.append(1)
        if len(calls) == 5:
            raise OSError(28, "No space left on device")
        return real(self, *args, **kwargs)

    monkeypatch.setattr(pd.DataFrame, "to_parquet", failing)
    other = {"ic": make_records()[0], "quantile": engine_output["quantile"]}
    with pytest.raises(OSError, match="No space left"):
        sigmora.save_results(other, folder)
    assert len(calls) == 5
    assert _files(folder) == before                    # byte for byte, and no temporary file left
    monkeypatch.setattr(pd.DataFrame, "to_parquet", real)
    assert sigmora.load_results(folder) == engine_output


def test_saving_again_replaces_the_save_and_keeps_other_files(tmp_path, engine_output):
    folder = tmp_path / "run"
    sigmora.save_results(engine_output, folder)
    (folder / "notes.txt").write_text("mine")
    smaller = {"factor_return": engine_output["factor_return"]}
    sigmora.save_results(smaller, folder)
    assert sorted(_files(folder)) == ["factor_return/factor_returns.parquet", "manifest.json", "notes.txt"]
    assert sorted(os.listdir(folder)) == ["factor_return", "manifest.json", "notes.txt"]
    assert sigmora.load_results(folder) == smaller
    # names that are no file names, or the manifest's own, still get a file each
    odd = {"manifest.json": engine_output["factor_return"], "a/b": pd.DataFrame({"x": []}, dtype=float)}
    back = sigmora.load_results(sigmora.save_results(odd, tmp_path / "odd"))
    assert list(back) == list(odd) and back["manifest.json"] == odd["manifest.json"]
    pd.testing.assert_frame_equal(back["a/b"], odd["a/b"])
    assert sorted(os.listdir(tmp_path / "odd")) == ["a_b.parquet", "manifest.json", "manifest.json-2"]


def test_files_that_do_not_match_their_manifest_are_refused(tmp_path, engine_output):
    folder = tmp_path / "run"
    sigmora.save_results(engine_output, folder, format="csv")
    table = folder / "ic" / "ic.csv"
    text = table.read_text()
    table.write_text(text.replace("2023-02-", "2023-03-", 1))
    with pytest.raises(ValueError, match="ic/ic.csv is not the file the manifest lists"):
        sigmora.load_results(folder)
    assert sigmora.load_results(folder, verify=False)["ic"].ic.index[0] == pd.Timestamp("2023-03-01")

    manifest = json.loads((folder / "manifest.json").read_text())
    manifest["content"]["items"][0][1]["class"] = "os:system"
    (folder / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="not a sigmora type"):
        sigmora.load_results(folder, verify=False)
    with pytest.raises(FileNotFoundError, match="no manifest.json"):
        sigmora.load_results(tmp_path)


def test_save_names_what_it_cannot_keep(tmp_path):
    with pytest.raises(ValueError, match="format: expect one of"):
        make_records()[0].save(tmp_path / "x", format="xlsx")
    with pytest.raises(TypeError, match="cannot save a list"):
        sigmora.save_results({"a": [1, 2]}, tmp_path / "y")
    (tmp_path / "file").write_text("")
    with pytest.raises(ValueError, match="expect a folder"):
        sigmora.save_results({}, tmp_path / "file")


def test_a_replaced_file_is_whole_or_untouched(tmp_path, monkeypatch):
    path = tmp_path / "data.bin"
    _atomic.write_atomic(path, b"old contents")
    mode = os.stat(path).st_mode & 0o777
    assert mode == 0o666 & ~_atomic._umask()

    def broken_fsync(fd):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="Input/output"):
        _atomic.write_atomic(path, b"new contents that never land")
    assert path.read_bytes() == b"old contents" and os.listdir(tmp_path) == ["data.bin"]


def test_a_tear_sheet_cut_off_by_the_file_size_limit_leaves_the_previous_one(tmp_path):
    records = make_records()
    path = write_report({"ic": records[0]}, tmp_path / "sheet.html")
    before = open(path, "rb").read()
    # A second process may write at most half the old file's size: the bigger tear sheet cannot land.
    code = textwrap.dedent("""
        import resource, signal, sys
        sys.path.append({checkout!r})   # for the tests' helpers, after the installed package
        from sigmora.report import write_report
        from tests.test_results import make_records
        ic, quantile, factor_return = make_records(seed=1)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
        try:
            write_report({{"ic": ic, "quantile": quantile, "factor_return": factor_return}}, sys.argv[1])
        except OSError as exc:
            print("failed:", exc.errno)
        """).format(limit=len(before) // 2, checkout=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    done = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "failed: 27"          # EFBIG
    assert open(path, "rb").read() == before and os.listdir(tmp_path) == ["sheet.html"]
