"""The ``sigmora`` command: exit codes, messages and output on the small demo store."""

import io
import os
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import sigmora
import tidewell
from sigmora import cli
from sigmora.analysis import varodyne


pytestmark = pytest.mark.usefixtures("keep_store_selection")


from tests.fakes import run_cli as run  # noqa: E402


@pytest.fixture
def factor_csv(small_store_path, tmp_path):
    with tidewell.using(small_store_path):
        table = tidewell.get_signal(None, "2023-02-01", "2023-10-31")
    path = tmp_path / "planted.csv"
    table.to_csv(path)
    return str(path), table


def test_bad_options_and_files_exit_with_2(tmp_path, small_store_path, factor_csv):
    csv, _ = factor_csv
    (tmp_path / "nodates.csv").write_text("when,A\nfoo,1\nbar,2\n")
    (tmp_path / "text.csv").write_text("date,000001.XSHE\n2023-02-01,high\n2023-02-02,low\n")
    (tmp_path / "twice.csv").write_text("date,000001.XSHE\n2023-02-01,1\n2023-02-01,2\n")
    (tmp_path / "strangers.csv").write_text("date,NOPE.XSHE\n2023-02-01,1\n2023-02-02,2\n")
    (tmp_path / "factor.txt").write_text("x")
    store = ["--store", small_store_path]
    cases = [
        ((), "usage: sigmora"),
        (("frobnicate",), "invalid choice"),
        (("run",), "FACTOR_FILE"),
        (("run", str(tmp_path / "absent.csv")), "no such file"),
        (("run", str(tmp_path / "factor.txt")), "expect a .csv or .parquet file"),
        (("run", str(tmp_path / "nodates.csv")), "must hold dates"),
        (("run", str(tmp_path / "text.csv")), "expect numeric factor values"),
        (("run", str(tmp_path / "twice.csv")), "repeated dates, e.g. 2023-02-01"),
        (("run", str(tmp_path / "strangers.csv")) + tuple(store), "none of its 1 columns is an instrument"),
        (("run", csv, "--periods", "1,x"), "--periods: expect comma-separated positive integers"),
        (("run", csv, "--periods", "0"), "--periods"),
        (("run", csv, "--preprocess", "winsorize,scale"), "--preprocess: expect a comma-separated subset"),
        (("run", csv, "--analysis", "none"), "--analysis: expect at least one"),
        (("run", csv, "--quantiles", "1"), "--quantiles"),
        (("run", csv, "--store", str(tmp_path / "nostore.duckdb")), "--store: no tidewell store"),
        # a path to something that is no store: a folder, a factor file, an empty file
        (("run", csv, "--store", str(tmp_path)), "--store: tidewell store {} is a folder".format(tmp_path)),
        (("run", csv, "--store", csv), "--store: {} is not a tidewell store".format(csv)),
        (("run", csv, "--store", str(tmp_path / "factor.txt")), "--store: "),
        (("run-many", csv, "--store", csv), "--store: {} is not a tidewell store".format(csv)),
        (("run", csv, "--winsorize-method", "iqr") + tuple(store), "--winsorize-method: expect one of"),
        (("run", csv, "--benchmark", "000001.XSHE") + tuple(store), "--benchmark: expect the order_book_id"),
        (("run", csv, "--start", "someday"), "--start: expect a date"),
        (("run", csv, "--start", "2030-01-01"), "no rows of FACTOR_FILE are left"),
    ]
    for argv, message in cases:
        code, out, err = run(*argv)
        assert code == 2, (argv, out, err)
        assert message in out + err, (argv, err)
        assert "Traceback" not in err


def test_an_out_the_tear_sheet_cannot_go_to_is_refused_before_any_work(tmp_path, small_store_path, factor_csv):
    csv, _ = factor_csv
    plain = tmp_path / "existing.txt"
    plain.write_text("kept")
    folder = tmp_path / "sheet.html"
    folder.mkdir()
    expects = "expect a folder for tear_sheet.html or a path ending in .html"
    cases = [
        (str(plain), "--out: {} is a file, not a folder; {}; give a new or existing folder, or a name ending in "
                     ".html".format(plain, expects)),
        ("/proc/nope/x.html", "--out: cannot make a folder in /proc for /proc/nope/x.html (No such file or "
                              "directory); {}; give a path under a folder you can write to".format(expects)),
        (str(plain / "sub" / "x.html"), "--out: {} is a file, so no folder can be made inside it for {}; {}; give "
                                        "a path under a folder".format(plain, plain / "sub" / "x.html", expects)),
        (str(plain / "x.html"), "--out: {} is a file, so no folder can be made inside it for {}; {}; give "
                                "a path under a folder".format(plain, plain / "x.html", expects)),
        (str(folder), "--out: {} is a folder; {}; give a file name inside it, e.g. {}".format(
            folder, expects, folder / "tear_sheet.html")),
    ]
    before = sorted(os.listdir(tmp_path))
    for target, message in cases:
        for argv in (("run", csv), ("run-many", csv), ("demo",)):
            # no -q: a progress line would show that work began before the refusal
            code, out, err = run(*argv, "--store", small_store_path, "--out", target)
            assert (code, out, err) == (2, "", "sigmora: error: {}\n".format(message)), (argv, target)
    # --save (a folder) the same way
    code, out, err = run("run", csv, "--store", small_store_path, "--save", str(plain))
    assert (code, out, err) == (2, "", "sigmora: error: --save: {} is a file, not a folder; expect a folder to save "
                                       "the result tables in; give a new or existing folder\n".format(plain))
    # nothing made, nothing touched
    assert sorted(os.listdir(tmp_path)) == before and os.listdir(folder) == []
    assert plain.read_text() == "kept"
    # --no-report writes no tear sheet: its --out is not checked
    code, _, err = run("run", csv, "--store", small_store_path, "--out", str(plain), "--no-report", "-q",
                       "--analysis", "ic", "--max-decay", "0", "--industry", "none", "--periods", "1")
    assert code == 0, err


def test_help_and_version_exit_with_0():
    code, out, _ = run("run", "--help")
    assert code == 0 and "--periods" in out and "--benchmark" in out
    done = subprocess.run([sys.executable, "-m", "sigmora", "--version"], capture_output=True, text=True,
                          cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    assert done.returncode == 0 and done.stdout.startswith("sigmora ")


def test_read_factor_file_keeps_the_table(tmp_path, factor_csv):
    csv, table = factor_csv
    table.iloc[3, 2] = np.nan
    table.to_csv(csv)
    read = cli.read_factor_file(csv)
    pd.testing.assert_frame_equal(read, table, check_names=False, check_freq=False)
    parquet = str(tmp_path / "planted.parquet")
    table.to_parquet(parquet)
    pd.testing.assert_frame_equal(cli.read_factor_file(parquet), read, check_freq=False)
    # a date column instead of an index
    table.reset_index().to_parquet(parquet)
    pd.testing.assert_frame_equal(cli.read_factor_file(parquet), read, check_freq=False)


def test_failure_inside_the_run_exits_with_1(tmp_path, small_store_path):
    # intraday rows (two on one date) on daily returns: the engine finds no date the two share
    with tidewell.using(small_store_path):
        stock = tidewell.all_instruments(type="CS")["order_book_id"].iloc[0]
    path = tmp_path / "hours.csv"
    pd.DataFrame({stock: [1.0, 2.0]}, index=pd.to_datetime(["2023-02-01 10:00", "2023-02-01 14:00"])).to_csv(path)
    code, out, err = run("run", str(path), "--store", small_store_path, "--preprocess", "none",
                         "--analysis", "factor_return", "--no-report", "-q")
    assert code == 1
    assert err.startswith("sigmora: error: ") and "--debug" in err


def test_demo_on_the_small_store(tmp_path, small_store_path):
    out_dir = tmp_path / "demo"
    code, out, err = run("demo", "--verbose", "--store", small_store_path, "--out", str(out_dir))
    assert code == 0, err
    for label in ("planted", "reversal_5d"):
        assert "=== {} ===".format(label) in out
        for step in ("winsorize (Winzorization)", "neutralize (Neutralization)", "normalize (Normalization)",
                     "ic (ICAnalysis)", "quantile (QuantileReturnAnalysis)",
                     "factor_return (FactorReturnAnalysis)"):
            assert "[{}] {} done in".format(label, step) in err
    for heading in ("IC statistics per period", "Mean IC by decay", "IC by industry", "Quantile groups per period",
                    "Monotonicity of group returns", "Benchmark", "Factor returns per period"):
        assert heading in out
    report = out_dir / "tear_sheet.html"
    assert "Tear sheet: {}".format(report) in out
    document = report.read_text(encoding="utf-8")
    # two factors, each with IC (6 charts: per date, monthly, Q-Q, decay, industries, rank
    # autocorrelation), quantiles (3) and factor returns (1); their overlap (values, IC series)
    assert document.count('<img class="chart"') == 22
    assert "Correlation of factor values" in document and "Correlation of IC series (P_1)" in document


def test_run_on_a_factor_file(tmp_path, small_store_path, factor_csv):
    csv, _ = factor_csv
    code, out, err = run("run", csv, "--verbose", "--store", small_store_path, "--periods", "1,5", "--preprocess",
                         "normalize", "--analysis", "ic,factor_return", "--max-decay", "0", "--industry", "none",
                         "--out", str(tmp_path / "sheet.html"))
    assert code == 0, err
    assert "ICAnalysisResult 'ic'" in out and "FactorReturnAnalysisResult 'factor_return'" in out
    assert "Mean IC by decay" not in out and "QuantileReturnAnalysisResult" not in out
    assert "[planted] normalize (Normalization) done in" in err
    document = (tmp_path / "sheet.html").read_text(encoding="utf-8")
    # IC per date, monthly IC, IC Q-Q, factor rank autocorrelation, factor returns
    assert document.count('<img class="chart"') == 5
    assert os.path.basename(csv) in document


def test_run_many_on_a_folder(tmp_path, small_store_path, factor_csv):
    csv, table = factor_csv
    folder = tmp_path / "factors"
    folder.mkdir()
    table.to_csv(folder / "planted.csv")
    (-table).to_parquet(folder / "flipped.parquet")
    code, out, err = run("run-many", str(folder), "--store", small_store_path, "--periods", "1,5",
                         "--preprocess", "normalize", "--analysis", "ic,factor_return", "--max-decay", "0",
                         "--industry", "none", "--out", str(tmp_path / "board.html"))
    assert code == 0, err
    assert "2 of 2 factors completed" in out
    board = out[out.index("Leaderboard"):]
    # The planted signal ranks above its mirror image, and the board says by what.
    assert board.startswith("Leaderboard (sorted by IC IR P_1, highest first)\n")
    assert board.index("planted") < board.index("flipped")
    document = (tmp_path / "board.html").read_text(encoding="utf-8")
    assert "Leaderboard" in document
    # the overlap of the two files' values: one is the other's mirror image
    overlap = document[document.index("Correlation of factor values"):document.index("Correlation of IC series")]
    assert "<td>-1.0000</td>" in overlap


def test_run_many_bad_input_exits_with_2(tmp_path, small_store_path, factor_csv):
    csv, _ = factor_csv
    (tmp_path / "empty").mkdir()
    code, _, err = run("run-many", str(tmp_path / "empty"))
    assert code == 2 and "holds no .csv or .parquet file" in err
    code, _, err = run("run-many", csv, "--store", small_store_path, "--scheduler", "tcp://127.0.0.1:9")
    assert code == 2 and "--scheduler: client: cannot reach the Dask scheduler" in err


def test_run_prints_the_headline_by_default_and_saves_what_it_computed(tmp_path, small_store_path, factor_csv):
    csv, _ = factor_csv
    options = ("--store", small_store_path, "--periods", "1,5", "--preprocess", "normalize", "--analysis",
               "ic,quantile", "--max-decay", "0", "--industry", "none", "--benchmark", "none", "--no-report")
    code, out, err = run("run", csv, *options, "--save", str(tmp_path / "saved"), "--save-format", "csv")
    assert code == 0, err
    _, verbose, verbose_err = run("run", csv, *options, "--verbose")
    # the headline: coverage, then the figures per period with returns as percentages
    assert "of 30 instruments used" in out
    assert re.search(r"top-bottom annual return\s+-?\d+\.\d\d%\s+-?\d+\.\d\d%", out)
    assert re.search(r"IC mean\s+-?0\.\d{4}\s", out)
    assert "IC statistics per period" not in out and "done in" not in err
    assert "IC statistics per period" in verbose and "done in" in verbose_err
    assert len(out.splitlines()) * 3 < len(verbose.splitlines())
    # --save: the records read back equal to a run of the same steps from Python
    saved = sigmora.load_results(tmp_path / "saved")
    assert "Results saved: {}".format(tmp_path / "saved") in out
    assert set(saved) == {"ic", "quantile"} and sorted(os.listdir(tmp_path / "saved" / "ic")) == [
        "factor_rank_autocorrelation.csv", "ic.csv", "ic_p_value.csv"]
    factor = cli.read_factor_file(csv)
    with tidewell.using(small_store_path):
        again = cli.run_pipeline(factor, cli.build_steps(["normalize"], ["ic", "quantile"], max_decay=0,
                                                         industry=None, benchmark=None), [1, 5])
    for step in ("ic", "quantile"):
        assert saved[step] == again[step], step



class _ClosedPipe(io.StringIO):
    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")


def test_a_reader_that_stops_early_ends_the_command_quietly(monkeypatch, tmp_path, small_store_path):
    # `sigmora run ... | head`: the closed pipe is no error to report, and no traceback
    with tidewell.using(small_store_path):
        tidewell.get_signal(None, "2023-02-01", "2023-03-31").to_csv(tmp_path / "f.csv")
    err = io.StringIO()
    code = cli.main(["run", str(tmp_path / "f.csv"), "--store", small_store_path, "--no-report", "-q",
                     "--analysis", "ic", "--max-decay", "0"], out=_ClosedPipe(), err=err)
    assert code == 141 and err.getvalue() == ""
    from tidewell import cli as tidewell_cli
    monkeypatch.setattr(sys, "stdout", _ClosedPipe())
    monkeypatch.setattr(sys, "stderr", err)
    assert tidewell_cli.main(["schema"]) == 141 and err.getvalue() == ""
