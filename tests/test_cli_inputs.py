"""What the ``sigmora`` command makes of the factor files and options it is given: dates in
their many spellings, long tables, repeated columns and dates, bad cells, option values out of
range, the row spacing that annualises the summaries, what P_n means, the line saying what
each run rests on, and folders with some unreadable files."""

import io
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tidewell
from sigmora import cli
from sigmora.analysis import _horizons, statistics
from sigmora.analysis._base import FACTOR_ROWS, RETURN_ROWS
from sigmora.analysis.varodyne import FactorReturnAnalysis, FactorVarodyne, ICAnalysis, QuantileReturnAnalysis
from sigmora.cli import commands
from sigmora.cli.errors import UsageError

# A quick pipeline for the runs that only need the numbers to compare.
QUICK = ("--preprocess", "none", "--analysis", "ic,factor_return", "--max-decay", "0", "--industry", "none",
         "--periods", "1,5", "--no-report", "-q")


pytestmark = pytest.mark.usefixtures("keep_store_selection")


from tests.fakes import run_cli as run  # noqa: E402


@pytest.fixture(scope="module")
def planted(small_store_path):
    """The store's planted signal, dates x stocks, 2023-02-01 to 2023-06-30."""
    with tidewell.using(small_store_path):
        table = tidewell.get_signal(None, "2023-02-01", "2023-06-30")
    table.index = pd.DatetimeIndex(table.index).as_unit("ns")
    table.index.name, table.columns.name = "date", "order_book_id"
    return table.astype(float)


def month_ends(table):
    return table.groupby(table.index.to_period("M")).tail(1)


def written(path, text):
    path.write_text(text)
    return str(path)


def read(path):
    err = io.StringIO()
    return cli.read_factor_file(str(path), err=err), err.getvalue()


@pytest.fixture
def captured(monkeypatch):
    """The engine outputs the commands print, by label."""
    seen = {}
    original = commands.print_results

    def capture(results, label, out, *args, **kwargs):
        seen[label] = results
        return original(results, label, out, *args, **kwargs)
    monkeypatch.setattr(commands, "print_results", capture)
    return seen


# ----------------------------------------------------------------------------- dates

def test_every_unambiguous_date_spelling_reads_as_the_same_table(tmp_path, planted):
    table = planted.iloc[:15, :4]
    expected, _ = read(_csv(tmp_path / "iso.csv", table, lambda d: d.strftime("%Y-%m-%d")))
    pd.testing.assert_frame_equal(expected, table, check_freq=False)
    spellings = {
        "compact": lambda d: d.strftime("%Y%m%d"),
        "slashes": lambda d: "{}/{}/{}".format(d.year, d.month, d.day),
        "dots": lambda d: d.strftime("%Y.%m.%d"),
        "with_time": lambda d: d.strftime("%Y-%m-%d 00:00:00"),
        # the 13th and later days tell the order of day and month
        "day_first": lambda d: d.strftime("%d/%m/%Y"),
        "month_first": lambda d: d.strftime("%m-%d-%Y"),
        "month_names": lambda d: d.strftime("%d %b %Y"),
        "month_names_us": lambda d: d.strftime("%B %d, %Y"),
    }
    for name, spell in spellings.items():
        got, note = read(_csv(tmp_path / (name + ".csv"), table, spell))
        pd.testing.assert_frame_equal(got, expected, check_freq=False, obj=name)
        assert note == "", name
    # yyyymmdd as integers and as text in Parquet, and as floats (what a column with gaps becomes)
    for name, dates in (("int", table.index.strftime("%Y%m%d").astype(int)),
                        ("text", table.index.strftime("%Y%m%d").astype(str)),
                        ("float", table.index.strftime("%Y%m%d").astype(float))):
        path = tmp_path / (name + ".parquet")
        table.reset_index(drop=True).assign(date=dates)[["date"] + list(table.columns)].to_parquet(path)
        pd.testing.assert_frame_equal(read(path)[0], expected, check_freq=False, obj=name)


def _csv(path, table, spell):
    out = table.copy()
    out.index = [spell(d) for d in table.index]
    out.index.name = "date"
    out.to_csv(path)
    return path


def test_a_yyyymmdd_file_gives_the_results_of_the_iso_file(tmp_path, small_store_path, planted):
    (tmp_path / "iso").mkdir()
    (tmp_path / "compact").mkdir()
    _csv(tmp_path / "iso" / "planted.csv", planted, lambda d: d.strftime("%Y-%m-%d"))
    _csv(tmp_path / "compact" / "planted.csv", planted, lambda d: d.strftime("%Y%m%d"))
    iso = run("run", str(tmp_path / "iso" / "planted.csv"), "--store", small_store_path, *QUICK)
    compact = run("run", str(tmp_path / "compact" / "planted.csv"), "--store", small_store_path, *QUICK)
    assert iso[0] == compact[0] == 0, (iso[2], compact[2])
    assert "rests on: 102 of 102 dates used" in iso[1]
    assert compact[1] == iso[1]


def test_dates_that_cannot_be_read_one_way_are_refused_naming_line_and_value(tmp_path):
    header = "date,000001.XSHE\n"
    cases = {
        "ambiguous.csv": ("01/02/2023,1\n02/03/2023,2\n",
                          "line 2: the date '01/02/2023' is ambiguous: 2023-02-01 read day first, 2023-01-02 read month "
                          "first, and no date of the file tells which; write dates as yyyy-mm-dd or yyyymmdd"),
        "mixed.csv": ("13/02/2023,1\n02/14/2023,2\n",
                      "its dates mix day-first and month-first spellings: line 2 '13/02/2023' and line 3 "
                      "'02/14/2023'; write them as yyyy-mm-dd"),
        # a blank line still counts
        "impossible.csv": ("2023-02-01,1\n\n2023-02-30,2\n2023-03-01,3\n",
                           "the column 'date' must hold dates (expect dates such as 2024-01-02, 2024/01/02 or "
                           "20240102); this is not a date: line 4: '2023-02-30'"),
        "seconds.csv": ("1675209600,1\n1675296000,2\n",
                        "the column 'date' must hold dates (expect dates such as 2024-01-02, 2024/01/02 or 20240102); "
                        "2 values are not dates: line 2: 1675209600, line 3: 1675296000"),
        "short_year.csv": ("01/02/23,1\n", "the column 'date' must hold dates (expect dates such as 2024-01-02, "
                                            "2024/01/02 or 20240102); this is not a date: line 2: '01/02/23'"),
        "zone.csv": ("2023-02-01 09:31:00+08:00,1\n",
                     "line 2: the date '2023-02-01 09:31:00+08:00' carries a time zone; write local dates or times "
                     "without one"),
        "no_date.csv": ("2023-02-01,1\n,2\n", "line 3 has values but no date"),
    }
    for name, (rows, message) in cases.items():
        path = written(tmp_path / name, header + rows)
        code, out, err = run("run", path)
        assert code == 2, (name, err)
        assert err == "sigmora: error: FACTOR_FILE: {}: {}\n".format(path, message), name


def test_rows_out_of_order_are_sorted_and_repeated_dates_refused(tmp_path):
    path = written(tmp_path / "unsorted.csv", "date,000001.XSHE,000002.XSHE\n2023-02-02,1,2\n\n2023-02-01,3,4\n"
                                              "2023-02-03,5,6\n")
    table, note = read(path)
    assert list(table.index.strftime("%Y-%m-%d")) == ["2023-02-01", "2023-02-02", "2023-02-03"]
    assert table["000001.XSHE"].tolist() == [3.0, 1.0, 5.0]
    assert note == ("sigmora: {}: its dates are not in ascending order (2023-02-01 on line 4 comes after "
                    "2023-02-02); read them sorted\n".format(path))
    path = written(tmp_path / "twice.csv", "date,000001.XSHE\n2023-02-01,1\n2023-02-02,2\n20230201,3\n2023-02-02,4\n")
    with pytest.raises(UsageError) as caught:
        read(path)
    assert str(caught.value) == ("FACTOR_FILE: {}: it has repeated dates, e.g. 2023-02-01 (lines 2 and 4), "
                                 "2023-02-02 (lines 3 and 5); keep one row per date".format(path))


def test_files_of_a_wrong_shape_are_refused_saying_what_they_seem_to_be(tmp_path, planted):
    table = planted.iloc[:5, :3]
    empty = written(tmp_path / "empty.csv", "")
    semicolons = str(tmp_path / "semicolons.csv")
    table.to_csv(semicolons, sep=";")
    transposed = str(tmp_path / "transposed.csv")
    table.T.to_csv(transposed)
    transposed_parquet = str(tmp_path / "transposed.parquet")
    table.T.rename(columns=str).to_parquet(transposed_parquet)
    no_dates = str(tmp_path / "no_dates.csv")
    (table + 0.25).to_csv(no_dates, index=False)
    cases = {
        empty: "is empty (0 bytes); expect a table of factor values",
        semicolons: "holds a single column ('date;{};".format(table.columns[0]),
        transposed: "the table seems transposed (ids as rows, dates as columns)",
        transposed_parquet: "the table seems transposed (ids as rows, dates as columns)",
        no_dates: "the file seems written without its dates (df.to_csv(path) keeps the date index",
    }
    for path, message in cases.items():
        code, out, err = run("run", path)
        assert code == 2 and out == "", (path, err)
        assert err.startswith("sigmora: error: FACTOR_FILE: {}".format(path)) and message in err, (path, err)
        assert "Traceback" not in err
    assert "separated by semicolons instead of commas" in run("run", semicolons)[2]
    # a single column without such a separator gets no advice about one
    lone = written(tmp_path / "lone.csv", "date\n2023-02-01\n")
    code, _, err = run("run", lone)
    assert code == 2 and "holds a single column ('date')" in err and "separated" not in err, err
    # a date column of bad dates, under a header of ids, is no transposed table
    code, _, err = run("run", written(tmp_path / "bad.csv", "date,000001.XSHE\n2023-02-30,1\n"))
    assert code == 2 and "this is not a date" in err and "transposed" not in err and "without its dates" not in err


def test_factor_dates_outside_the_stores_prices_are_refused_naming_both_spans(tmp_path, small_store_path, planted):
    table = planted.iloc[:10, :3]
    for shift, word in ((-5, "before"), (3, "after")):
        moved = table.set_axis(table.index + pd.DateOffset(years=shift))
        path = str(tmp_path / "{}.csv".format(word))
        moved.to_csv(path)
        code, out, err = run("run", path, "--store", small_store_path, *QUICK)
        assert code == 2 and out == "", err
        assert err == ("sigmora: error: FACTOR_FILE: {}: its dates ({} to {}) lie {} the store's prices (2023-01-03 "
                       "to 2023-12-29); give factor dates within them, or test it against a store that holds prices "
                       "for its dates (--store)\n".format(path, moved.index[0].date(), moved.index[-1].date(), word))
    # dates inside the prices, but none of them a trading date
    weekend = written(tmp_path / "weekend.csv", "date,{}\n2023-02-04,1\n2023-02-05,2\n".format(table.columns[0]))
    code, _, err = run("run", weekend, "--store", small_store_path, *QUICK)
    assert code == 2
    assert err == ("sigmora: error: FACTOR_FILE: {}: none of its 2 dates is a trading date of the store (e.g. "
                   "2023-02-04, a Saturday); give the factor on trading dates\n".format(weekend))
    # dates partly inside the prices run on what they share
    straddle = table.set_axis(pd.bdate_range("2023-12-22", periods=len(table)))
    straddle.to_csv(tmp_path / "straddle.csv")
    code, out, err = run("run", str(tmp_path / "straddle.csv"), "--store", small_store_path, *QUICK)
    assert code == 0, err
    assert "after the last price" in out


# ----------------------------------------------------------------------------- columns and cells

def test_a_repeated_column_is_refused_by_name(tmp_path):
    csv = written(tmp_path / "twice.csv", "date,000001.XSHE,000002.XSHE,000001.XSHE\n2023-02-01,1,2,3\n")
    code, _, err = run("run", csv)
    assert code == 2
    assert err == ("sigmora: error: FACTOR_FILE: {}: the column '000001.XSHE' appears more than once; keep one "
                   "column per instrument\n".format(csv))
    parquet = str(tmp_path / "twice.parquet")
    pq.write_table(pa.table([pa.array(["2023-02-01"]), pa.array([1.0]), pa.array([2.0]), pa.array([3.0]),
                             pa.array([4.0])], names=["date", "A", "B", "A", "B"]), parquet)
    code, _, err = run("run", parquet)
    assert code == 2 and "the columns 'A', 'B' appear more than once" in err


def test_cells_that_are_no_number_are_named_with_date_and_column(tmp_path):
    path = written(tmp_path / "text.csv", "date,000001.XSHE,000002.XSHE\n2023-02-01,0.5,high\n2023-02-02,1%,2\n"
                                          "2023-02-03,,3\n2023-02-06,n/a?,4\n2023-02-07,x,5\n")
    code, _, err = run("run", path)
    assert code == 2
    assert err == ("sigmora: error: FACTOR_FILE: {}: expect numeric factor values; 4 cells are not numbers: line 2 "
                   "(2023-02-01), column 000002.XSHE: 'high'; line 3 (2023-02-02), column 000001.XSHE: '1%'; line 5 "
                   "(2023-02-06), column 000001.XSHE: 'n/a?'\n".format(path))
    # an empty cell is a missing value, not a bad one
    table, _ = read(written(tmp_path / "gap.csv", "date,000001.XSHE\n2023-02-01,\n2023-02-02,2\n"))
    assert np.isnan(table.iloc[0, 0]) and table.iloc[1, 0] == 2.0


# ----------------------------------------------------------------------------- long tables

def test_a_long_table_is_pivoted_and_gives_the_results_of_its_pivot(tmp_path, small_store_path, planted):
    (tmp_path / "wide").mkdir()
    (tmp_path / "long").mkdir()
    planted.to_csv(tmp_path / "wide" / "planted.csv")
    stacked = planted.stack().dropna()
    long = pd.DataFrame({"trade_date": stacked.index.get_level_values(0).strftime("%Y%m%d"),
                         "ts_code": stacked.index.get_level_values(1), "factor": stacked.to_numpy()})
    long.sample(frac=1.0, random_state=0).to_csv(tmp_path / "long" / "planted.csv", index=False)
    table, note = read(tmp_path / "long" / "planted.csv")
    pd.testing.assert_frame_equal(table, planted.loc[:, planted.notna().any()], check_freq=False)
    assert note == ("sigmora: {}: a long table of (trade_date, ts_code, factor) rows; read as 102 dates x 29 "
                    "instruments\n".format(tmp_path / "long" / "planted.csv"))
    # the (order_book_id, date) index of a factor as the store returns it, in Parquet
    parquet = tmp_path / "long.parquet"
    stacked.rename("value").swaplevel().rename_axis(["order_book_id", "datetime"]).to_frame().to_parquet(parquet)
    pd.testing.assert_frame_equal(read(parquet)[0], table, check_freq=False)

    wide = run("run", str(tmp_path / "wide" / "planted.csv"), "--store", small_store_path, *QUICK)
    pivoted = run("run", str(tmp_path / "long" / "planted.csv"), "--store", small_store_path, *QUICK)
    assert wide[0] == pivoted[0] == 0, pivoted[2]
    assert pivoted[1] == wide[1]
    assert "a long table of (trade_date, ts_code, factor) rows" in pivoted[2]


def test_a_long_table_that_cannot_be_pivoted_is_refused_with_the_pivot_call(tmp_path):
    cases = {
        "two_values.csv": ("date,code,pe,pb\n20230201,000001.XSHE,1,2\n",
                           "it looks like a long table of (date, code, value) rows but holds 2 value columns (pe, "
                           "pb); keep one, e.g. df.pivot(index='date', columns='code', values='pe')"),
        "pair_twice.csv": ("date,order_book_id,value\n20230201,000001.XSHE,1\n20230202,000001.XSHE,2\n"
                           "20230201,000001.XSHE,3\n",
                           "the date 2023-02-01 and order_book_id 000001.XSHE appear more than once (lines 2 and 4); "
                           "keep one value per date and instrument"),
        "other_names.csv": ("when,value,who\n20230201,1,000001.XSHE\n20230201,2,000002.XSHE\n",
                            "it has repeated dates, e.g. 2023-02-01 (lines 2 and 3); if it is a long table of (date, "
                            "id, value) rows, name its columns date, order_book_id and value, or pivot it first: "
                            "df.pivot(index='when', columns='who', values='value')"),
        "bad_value.csv": ("date,code,value\n20230201,000001.XSHE,1\n20230201,000002.XSHE,x\n",
                          "expect numeric factor values; 1 cell is not a number: line 3 (2023-02-01, 000002.XSHE), "
                          "column value: 'x'"),
        "bad_date.csv": ("date,code,value\n20230201,000001.XSHE,1\nsomeday,000002.XSHE,2\n",
                         "the column 'date' must hold dates (expect dates such as 2024-01-02, 2024/01/02 or "
                         "20240102); this is not a date: line 3: 'someday'"),
    }
    for name, (text, message) in cases.items():
        path = written(tmp_path / name, text)
        code, _, err = run("run", path)
        assert code == 2, (name, err)
        assert err == "sigmora: error: FACTOR_FILE: {}: {}\n".format(path, message), name


def test_ids_of_a_long_table_keep_their_leading_zeros(tmp_path):
    table, _ = read(written(tmp_path / "codes.csv", "date,code,value\n2023-02-01,000001,1\n2023-02-01,000002,2\n"))
    assert list(table.columns) == ["000001", "000002"]


# ----------------------------------------------------------------------------- options

def test_every_invalid_option_value_is_a_usage_error_naming_what_is_accepted(tmp_path):
    csv = written(tmp_path / "f.csv", "date,000001.XSHE\n2023-02-01,1\n2023-02-02,2\n")
    cases = [
        (("--industry", "foo"), "--industry: expect one of citics_2019, sws, none, got 'foo'"),
        (("--max-decay", "9223372036854775809"),
         "--max-decay: expect an integer number of IC decay steps from 0 to 2520, got '9223372036854775809'"),
        (("--max-decay", "-1"), "--max-decay: expect an integer number of IC decay steps from 0 to 2520, got '-1'"),
        (("--quantiles", "3000000000"),
         "--quantiles: expect an integer number of groups from 2 to 1000, got '3000000000'"),
        (("--quantiles", "2.5"), "--quantiles: expect an integer number of groups from 2 to 1000, got '2.5'"),
        (("--periods", "1,99999999999999999999"),
         "--periods: expect comma-separated positive integers such as 1,5,10,20, each at most 2520, "
         "got '1,99999999999999999999'"),
        (("--frequency", "fortnightly"),
         "--frequency: expect one of daily, weekly, monthly, quarterly, yearly, intraday (or leave it out to measure "
         "it from the dates), got 'fortnightly'"),
        (("--end", "soon"), "--end: expect a date such as 2021-06-30, got 'soon'"),
        (("--cost-bps", "-1"),
         "--cost-bps: expect a non-negative number of basis points per unit of one-way turnover such as 10, got '-1'"),
        (("--cost-bps", "ten"),
         "--cost-bps: expect a non-negative number of basis points per unit of one-way turnover such as 10, got 'ten'"),
        (("--quantile-weights", "float"), "--quantile-weights: expect one of equal, cap, got 'float'"),
    ]
    for options, message in cases:
        for command, target in (("run", csv), ("run-many", csv)):
            code, out, err = run(command, target, *options)
            assert (code, out) == (2, ""), (command, options, err)
            assert err == "sigmora: error: {}\n".format(message), (command, options)
    # accepted: any case, and the bounds themselves
    args = cli.build_parser().parse_args(["run", csv, "--industry", "SWS", "--quantiles", "1000", "--max-decay", "0",
                                          "--frequency", "Monthly", "--periods", "2520"])
    assert (args.industry, args.quantiles, args.max_decay, args.frequency, args.periods) == (
        "sws", 1000, 0, "monthly", "2520")


def test_empty_list_items_and_a_start_after_the_end_are_refused_naming_the_options(tmp_path, small_store_path):
    csv = written(tmp_path / "f.csv", "date,000001.XSHE\n2023-02-01,1\n2023-02-02,2\n")
    cases = [
        (("--periods", "1,,5"), "--periods: expect a comma-separated list without empty items, got '1,,5'; did you "
                                "mean 1,5?"),
        (("--periods", ","), "--periods: expect a comma-separated list without empty items, got ','"),
        (("--analysis", "ic,"), "--analysis: expect a comma-separated list without empty items, got 'ic,'; did you "
                                "mean ic?"),
        (("--preprocess", "winsorize,,normalize"), "--preprocess: expect a comma-separated list without empty items, "
                                                   "got 'winsorize,,normalize'; did you mean winsorize,normalize?"),
        (("--preprocess", "tradable", "--tradable-rules", "st,,limit"),
         "--tradable-rules: expect a comma-separated list without empty items, got 'st,,limit'; did you mean "
         "st,limit?"),
        (("--start", "2024-01-01", "--end", "2023-01-01"),
         "--start/--end: --start 2024-01-01 is after --end 2023-01-01; give a start on or before the end"),
    ]
    for options, message in cases:
        for command, target in (("run", csv), ("run-many", csv)):
            code, out, err = run(command, target, *options)
            assert (code, out, err) == (2, "", "sigmora: error: {}\n".format(message)), (command, options)
    # the demo refuses the window before it opens the store (no progress line)
    code, out, err = run("demo", "--store", small_store_path, "--start", "2024-01-01", "--end", "2023-01-01")
    assert (code, out, err) == (2, "", "sigmora: error: {}\n".format(cases[-1][1]))
    # "none" still stands for no step or rule, and one date on both ends is a window
    parse = cli.build_parser().parse_args
    args = parse(["run", csv, "--preprocess", "none", "--start", "2023-02-01", "--end", "2023-02-01"])
    assert commands.steps_from_options(args)[1] == []
    args = parse(["run", csv, "--preprocess", "tradable", "--tradable-rules", "none"])
    assert commands.steps_from_options(args)[1] == ["tradable"]


def test_options_no_chosen_step_uses_are_warned_about_not_refused(tmp_path, small_store_path, planted, captured):
    path = str(tmp_path / "planted.csv")
    planted.iloc[:, :20].to_csv(path)
    base = ("--store", small_store_path, "--preprocess", "none", "--periods", "1", "--max-decay", "0",
            "--industry", "none", "--no-report", "-q")
    unused = ("--quantile-weights", "cap", "--cost-bps", "10", "--quantiles", "10", "--benchmark", "000905.XSHG")
    for command in ("run", "run-many"):
        code, _, err = run(command, path, "--analysis", "ic", *unused, *base)
        assert code == 0, err
        for option in ("--cost-bps", "--quantile-weights", "--quantiles", "--benchmark"):
            assert ("sigmora: warning: {}: no chosen step uses it (steps: ic); it changes nothing\n".format(option)
                    in err), (command, option, err)
        assert err.count("no chosen step uses it") == 4
    # used by a chosen step, or left at the default: nothing to say
    code, _, err = run("run", path, "--analysis", "factor_return", "--cost-bps", "10", *base)
    assert code == 0 and "no chosen step uses it" not in err, err
    assert captured["planted"]["factor_return"].cost_bps == 10
    code, _, err = run("run", path, "--analysis", "ic", "--benchmark", "none", "--cost-bps", "0", *base)
    assert code == 0 and "no chosen step uses it" not in err, err
    code, _, err = run("run", path, "--analysis", "factor_return", "--max-decay", "5", "--industry", "sws",
                       *base[:-6], "--no-report", "-q")
    assert code == 0, err
    assert err.count("no chosen step uses it (steps: factor_return)") == 2, err


def test_weights_and_cost_options_reach_the_steps(tmp_path, small_store_path, planted, captured):
    path = str(tmp_path / "planted.csv")
    planted.iloc[:, :20].to_csv(path)
    options = ("--store", small_store_path, "--preprocess", "none", "--analysis", "quantile,factor_return",
               "--periods", "1,5", "--benchmark", "none", "--no-report", "-q")
    code, out, err = run("run", path, "--quantile-weights", "cap", "--cost-bps", "12.5", *options)
    assert code == 0, err
    charged = captured["planted"]
    assert charged["quantile"].weighting["weights"] == "cap" and charged["quantile"].cost_bps == 12.5
    assert charged["factor_return"].cost_bps == 12.5 and charged["factor_return"].factor_net_returns is not None
    assert "top-bottom annual return (net of 12.5 bps)" in out and "factor Sharpe (net of 12.5 bps)" in out
    code, out, err = run("run", path, *options)
    assert code == 0, err
    plain = captured["planted"]
    assert plain["quantile"].weighting is None and plain["quantile"].cost_bps == 0
    assert "net of" not in out
    assert cli.build_parser().parse_args(["demo", "--cost-bps", "5"]).cost_bps == 5.0
    # the gross figures do not depend on the cost
    pd.testing.assert_frame_equal(plain["factor_return"].factor_returns, charged["factor_return"].factor_returns)


# ----------------------------------------------------------------------------- row spacing and periods

def _factor_summary(results):
    return results["factor_return"].summary()["factor_returns"]


def test_frequency_annualises_every_summary_and_is_measured_by_default(tmp_path, small_store_path, planted,
                                                                      captured):
    path = str(tmp_path / "monthly.csv")
    month_ends(planted).to_csv(path)
    options = ("--store", small_store_path) + QUICK
    code, _, err = run("run", path, *options)
    assert code == 0, err
    measured = captured["monthly"]
    record = measured["factor_return"]
    assert record.periods_per_year == 12
    pd.testing.assert_frame_equal(_factor_summary(measured),
                                  statistics.return_summary(record.factor_returns, periods_per_year=12))
    code, _, err = run("run", path, "--frequency", "weekly", *options)
    assert code == 0, err
    assert ("sigmora: {}: --frequency weekly, though its rows are spaced monthly by their dates; annualising with 52 "
            "rows a year as stated".format(path)) in err
    stated = captured["monthly"]
    weekly = statistics.return_summary(stated["factor_return"].factor_returns, periods_per_year=52)
    pd.testing.assert_frame_equal(_factor_summary(stated), weekly)
    assert not np.allclose(weekly["annual_return"], _factor_summary(measured)["annual_return"])
    # the headline (and so the leaderboard and the tear sheet) carries the stated annualisation
    assert stated["factor_return"].headline()["factor annual return"].tolist() == weekly["annual_return"].tolist()
    code, _, err = run("run", path, "--frequency", "intraday", *options)
    assert code == 2
    assert err == ("sigmora: error: --frequency intraday: the rows of {} are dates at midnight, not intraday times; "
                   "leave --frequency out or state their spacing\n".format(path))


def test_a_daily_factor_stamped_at_the_close_is_read_at_its_dates(tmp_path, small_store_path, planted, captured):
    """Dates written with the close's time (one row a date) give the results of the plain dates,
    --start/--end included, and say so; rows several to a date stay intraday."""
    options = ("--store", small_store_path, "--end", "2023-06-30") + QUICK
    (tmp_path / "plain").mkdir()
    plain = str(tmp_path / "plain" / "f.csv")
    planted.to_csv(plain)
    stamped = planted.copy()
    stamped.index = stamped.index + pd.Timedelta(hours=15)
    closes = str(tmp_path / "f.csv")
    stamped.to_csv(closes)
    want = run("run", plain, *options)
    got = run("run", closes, *options)
    assert want[0] == got[0] == 0, got[2]
    assert got[1] == want[1] and "rests on: 102 of 102 dates used" in got[1]
    assert ("sigmora: {}: its rows carry a time of day (15:00:00 on 2023-02-01), one row a date; read as their "
            "dates (--frequency intraday keeps the times)\n".format(closes)) in got[2]
    assert captured["f"]["factor_return"].periods_per_year == 252
    twice = pd.concat([stamped.iloc[:3], stamped.iloc[:3].set_axis(stamped.index[:3] + pd.Timedelta(hours=1))])
    twice.sort_index().to_csv(closes)
    code, _, err = run("run", closes, *options)
    assert "read as their dates" not in err and code != 0


def test_a_monthly_factor_says_what_p_n_means_once(tmp_path, small_store_path, planted):
    path = str(tmp_path / "monthly.csv")
    month_ends(planted).to_csv(path)
    options = ("--store", small_store_path, "--preprocess", "none", "--max-decay", "0", "--industry", "none",
               "--no-report", "-q")
    code, _, err = run("run", path, "--periods", "1,3", *options)
    assert code == 0, err
    warning = ("sigmora: warning: Monthly factor rows on a daily return table: P_n means two things in this run: in "
               "the quantile and factor_return steps P_n holds n factor rows (P_1 about a month; P_3 about 3 months), "
               "while in the ic step P_n is n rows of the return table (P_1 one trading day; P_3 3 trading days); for "
               "a monthly IC use periods of about 20 (P_20).\n")
    assert warning in err and err.count("sigmora: warning:") == 1
    code, _, err = run("run", path, "--periods", "1,20", "--analysis", "ic", *options)
    assert code == 0, err
    assert ("sigmora: warning: Monthly factor rows on a daily return table: in the ic step P_n is n rows of the "
            "return table, not n factor rows (P_1 one trading day; P_20 20 trading days, about one factor row); for "
            "a monthly IC use periods of about 20 (P_20).\n") in err
    # IC periods of the factor's own spacing, or a factor on every trading day: nothing to say
    code, _, err = run("run", path, "--periods", "20", "--analysis", "ic", *options)
    assert code == 0 and "P_n" not in err, err
    daily = str(tmp_path / "daily.csv")
    planted.to_csv(daily)
    code, _, err = run("run", daily, "--periods", "1,3", *options)
    assert code == 0 and "P_n" not in err, err


def test_the_engine_warns_at_the_callers_line_once_per_run():
    days = pd.bdate_range("2024-01-01", periods=130)
    ids = ["S{}".format(i) for i in range(12)]
    rng = np.random.default_rng(3)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(len(days), len(ids))), index=days, columns=ids)
    weekly = pd.DataFrame(rng.normal(size=(len(days), len(ids))), index=days, columns=ids).iloc[::5]
    engine = FactorVarodyne()
    for step in (("ic", ICAnalysis()), ("quantile", QuantileReturnAnalysis(quantile=3)),
                 ("factor_return", FactorReturnAnalysis())):
        engine.append(step)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        engine.analysis(weekly, returns, periods=(1, 2))
    said = [w for w in caught if "P_n" in str(w.message)]
    assert len(said) == 1
    assert said[0].filename == __file__
    assert str(said[0].message) == (
        "Weekly factor rows on a daily return table: P_n means two things in this run: in the quantile and "
        "factor_return steps P_n holds n factor rows (P_1 about a week; P_2 about 2 weeks), while in the ic step P_n "
        "is n rows of the return table (P_1 one trading day; P_2 2 trading days); for a weekly IC use periods of "
        "about 5 (P_5).")


def test_what_p_1_holds_for_monthly_factor_rows():
    """The warning's claim: with monthly factor rows and daily returns, the factor-return step's
    P_1 earns the return from one factor date to the next, the IC's P_1 the next day's return."""
    days = pd.bdate_range("2024-01-01", "2024-05-31")
    ids = ["A", "B", "C"]
    rng = np.random.default_rng(4)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(len(days), 3)), index=days, columns=ids)
    dates = days[days.to_series().groupby(days.to_period("M")).transform("max") == days]
    factor = pd.DataFrame([[3.0, 1.0, 2.0], [1.0, 2.0, 3.0], [2.0, 3.0, 1.0], [3.0, 2.0, 1.0], [1.0, 3.0, 2.0]],
                          index=dates, columns=ids)
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis(rank_ic=False)))
    engine.append(("factor_return", FactorReturnAnalysis()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = engine.analysis(factor, returns, periods=1)
    growth = (1 + returns).cumprod().loc[dates]
    held = growth / growth.shift(1) - 1  # from one factor date to the next
    weights = factor.sub(factor.mean(axis=1), axis=0)
    weights = weights.div(weights.abs().sum(axis=1), axis=0).shift(1)
    expected = (weights * held).sum(axis=1, min_count=1).fillna(0.0)
    got = statistics.returns_from_cumulative(result["factor_return"].factor_returns)["P_1"]
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), atol=1e-12)
    next_day = returns.shift(-1).loc[dates]
    ic = [np.corrcoef(factor.loc[d], next_day.loc[d])[0, 1] for d in dates]
    np.testing.assert_allclose(result["ic"].ic["P_1"].to_numpy(), ic, atol=1e-12)


def test_period_mismatch_is_silent_when_the_rows_agree():
    class Step:
        def __init__(self, rows):
            self.period_rows = rows

    days = pd.bdate_range("2024-01-01", periods=300)
    both = {"ic": Step(RETURN_ROWS), "quantile": Step(FACTOR_ROWS)}
    assert _horizons.period_mismatch(days, days, (1, 5), both) is None
    quarterly = days[::63]
    assert _horizons.period_mismatch(quarterly, days, (1,), {"quantile": Step(FACTOR_ROWS)}) is None
    assert _horizons.period_mismatch(quarterly, days, (40, 63), {"ic": Step(RETURN_ROWS)}) is None
    assert _horizons.period_mismatch(quarterly, days, (63,), {"custom": Step(None)}) is None
    assert _horizons.period_mismatch(quarterly, days, (5,), {"ic": Step(RETURN_ROWS)}) == (
        "Quarterly factor rows on a daily return table: in the ic step P_n is n rows of the return table, not n "
        "factor rows (P_5 5 trading days); for a quarterly IC use periods of about 63 (P_63).")


# ----------------------------------------------------------------------------- what a run rests on

def test_each_factor_says_what_it_rests_on(tmp_path, small_store_path, planted, captured):
    path = str(tmp_path / "planted.csv")
    planted.iloc[:, :20].to_csv(path)
    code, out, err = run("run", path, "--store", small_store_path, *QUICK)
    assert code == 0, err
    coverage = captured["planted"]["ic"].coverage
    assert coverage.dates_used == 102 and coverage.instruments_used == 20
    assert out.startswith("\n=== planted ===\nrests on: {}\n".format(coverage.text()))
    assert out.count("rests on: ") == 1


# ----------------------------------------------------------------------------- folders

def test_run_many_reports_unreadable_files_as_failures_and_runs_the_others(tmp_path, small_store_path, planted):
    folder = tmp_path / "factors"
    folder.mkdir()
    planted.to_csv(folder / "planted.csv")
    written(folder / "dates.csv", "date,000001.XSHE\nsomeday,1\n2023-02-02,2\n")
    written(folder / "strangers.csv", "date,NOPE.XSHE\n2023-02-01,1\n2023-02-02,2\n")
    # readable, but before the store's prices: refused before the runs
    written(folder / "old.csv", "date,000001.XSHE\n1990-01-02,1\n1990-01-03,2\n")
    # readable, but intraday rows (two on one date) on daily returns: its run fails
    written(folder / "hours.csv", "date,000001.XSHE\n2023-02-01 10:00,1\n2023-02-01 14:00,2\n")
    code, out, err = run("run-many", str(folder), "--store", small_store_path, *QUICK)
    assert code == 0, err
    report = out[:out.index("Leaderboard")]
    assert report.startswith("1 of 5 factors completed\n")
    assert ("  dates failed: FactorFileError: FACTOR_FILE: {}: the column 'date' must hold dates (expect dates such "
            "as 2024-01-02, 2024/01/02 or 20240102); this is not a date: line 2: 'someday'\n".format(
                folder / "dates.csv")) in report
    assert ("  strangers failed: FactorFileError: FACTOR_FILE: {}: none of its 1 columns is an instrument of the "
            "store (e.g. 'NOPE.XSHE')\n".format(folder / "strangers.csv")) in report
    assert "  old failed: FactorFileError: FACTOR_FILE: {}: its dates (1990-01-02 to 1990-01-03) lie before the " \
           "store's prices".format(folder / "old.csv") in report
    assert "  hours failed: ValueError: factor_data and returns have no date in common" in report
    assert "planted rests on: 102 of 102 dates used" in report
    # the first block of columns (the board wraps at the terminal's width)
    board = out[out.index("Leaderboard"):].split("\n\n")[0].splitlines()
    assert [line.split()[0] for line in board[3:]] == ["planted"]
    # the run that raised shows its traceback, the unreadable files do not need one
    assert "--- hours ---\nTraceback" in err
    assert "--- old ---" not in err and "--- dates ---" not in err and "--- strangers ---" not in err


def test_run_many_says_the_workers_warnings_and_counts_a_factor_without_values(tmp_path, small_store_path,
                                                                                planted):
    folder = tmp_path / "factors"
    folder.mkdir()
    planted.to_csv(folder / "planted.csv")
    (planted * np.nan).to_csv(folder / "allnan.csv")
    month_ends(planted).to_csv(folder / "monthly.csv")
    code, out, err = run("run-many", str(folder), "--store", small_store_path, *QUICK)
    assert code == 0, err
    assert out.startswith("3 of 3 factors completed (1 with no factor value at all: allnan)\n")
    assert "sigmora: warning: allnan: factor_data has no value at all: every statistic of this test is NaN\n" in err
    # as the command's own lines, not Python's warning format with a worker's file and line
    assert "UserWarning" not in err and ".py:" not in err
    # what P_n means for the monthly rows is said once, not again by the worker
    assert err.count("sigmora: warning: monthly: Monthly factor rows on a daily return table") == 1
    # the leaderboard keeps its note
    assert "factor: no values" in out[out.index("Leaderboard"):]


def test_run_many_exit_codes_when_nothing_completes(tmp_path, small_store_path):
    unreadable = tmp_path / "unreadable"
    unreadable.mkdir()
    written(unreadable / "a.csv", "date,000001.XSHE\n2023-02-01,1\n2023-02-01,2\n")
    written(unreadable / "b.csv", "date,000001.XSHE,000001.XSHE\n2023-02-01,1,2\n")
    # readable, but its dates refute the option
    written(unreadable / "c.csv", "date,000001.XSHE\n2023-02-01,1\n2023-02-02,2\n")
    code, out, err = run("run-many", str(unreadable), "--store", small_store_path, "--frequency", "intraday", *QUICK)
    assert code == 2, err
    assert out.startswith("0 of 3 factors completed\n  a failed: FactorFileError: FACTOR_FILE: {}: it has repeated "
                          "dates".format(unreadable / "a.csv"))
    assert ("\n  c failed: UsageError: --frequency intraday: the rows of {} are dates at midnight, not intraday "
            "times;".format(unreadable / "c.csv")) in out
    # dates the store holds no price for are refused before any run, like an unreadable file
    before = tmp_path / "before"
    before.mkdir()
    written(before / "old.csv", "date,000001.XSHE\n1990-01-02,1\n1990-01-03,2\n")
    code, out, err = run("run-many", str(before), "--store", small_store_path, *QUICK)
    assert code == 2, err
    assert out.startswith("0 of 1 factors completed\n  old failed: FactorFileError: FACTOR_FILE: {}: its dates "
                          "(1990-01-02 to 1990-01-03) lie before the store's prices".format(before / "old.csv")), out
    # a run that raises: a single row leaves the quantile step no holding period
    failing = tmp_path / "failing"
    failing.mkdir()
    written(failing / "one_row.csv", "date,000001.XSHE,000002.XSHE\n2023-02-01,1,2\n")
    code, out, err = run("run-many", str(failing), "--store", small_store_path, "--preprocess", "none",
                         "--analysis", "quantile", "--benchmark", "none", "--periods", "1", "--no-report", "-q")
    assert code == 1, err
    assert out.startswith("0 of 1 factors completed\n  one_row failed: ValueError: Invalid periods"), out


def own_price_store(tmp_path, planted, small_store_path, n, **tables):
    """A store of one's own: the closes and instrument rows of the first `n` planted ids, taken
    from the demo store (plus `tables`), and the planted factor of those ids as a CSV file."""
    from tidewell.importer import import_frames
    ids = list(planted.columns[:n])
    with tidewell.using(small_store_path):
        closes = tidewell.get_price_table(ids, planted.index[0], planted.index[-1], field="close")
        inst = tidewell.all_instruments(type="CS")
    inst = inst[inst["order_book_id"].isin(ids)][["order_book_id", "symbol", "type", "exchange", "listed_date"]]
    bars = closes.rename_axis(index="date", columns="order_book_id").stack().rename("close").reset_index()
    store = str(tmp_path / "own.duckdb")
    import_frames(store, instruments=inst, daily_bars=bars, **tables)
    csv = tmp_path / "f.csv"
    planted[ids].to_csv(csv)
    return ids, store, csv


def test_a_benchmark_the_store_lacks_is_refused_saying_what_it_is_and_the_way_out(tmp_path, planted,
                                                                                 small_store_path):
    # A store of one's own prices holds no index: the default benchmark is named as the default,
    # with the way out; a stock given as the benchmark is named as a stock, with the store's indexes.
    ids, store, csv = own_price_store(tmp_path, planted, small_store_path, 6)
    code, _, err = run("run", str(csv), "--store", store, "--no-report", "-q")
    assert code == 2
    assert "--benchmark: expect the order_book_id of an index in the store, got '000300.XSHG' (the default)" in err
    assert "not an instrument of the store; the store holds no index" in err and "--benchmark none" in err
    code, _, err = run("run", str(csv), "--store", small_store_path, "--no-report", "-q", "--benchmark", ids[0])
    assert code == 2 and "an instrument of type CS, not an index" in err, err
    assert "the store's indexes are 000300.XSHG, 000905.XSHG" in err and "(the default)" not in err
    code, _, err = run("run", str(csv), "--store", store, "--benchmark", "none", *QUICK)
    assert code == 0, err


def test_ids_in_another_spelling_are_named_with_the_stores(tmp_path, small_store_path, planted):
    # A factor file with the ids as a data vendor writes them ('000001.SZ') matches no column of
    # the store: the message names the store's spelling of one, so the fix is plain.
    def vendor(oid):
        return oid[:6] + {"XSHE": ".SZ", "XSHG": ".SH", "BJSE": ".BJ"}[oid[7:]]

    table = planted.iloc[:, :4]
    renamed = table.rename(columns=vendor)
    renamed.to_csv(tmp_path / "vendor.csv")
    code, _, err = run("run", str(tmp_path / "vendor.csv"), "--store", small_store_path, *QUICK)
    assert code == 2
    first = table.columns[0]
    assert "none of its 4 columns is an instrument of the store (e.g. {!r}); the store spells ids as {!r} for " \
           "{!r}".format(vendor(first), first, vendor(first)) in err, err
    mixed = table.copy()
    mixed[vendor(planted.columns[5])] = planted.iloc[:, 5]
    mixed["note"] = 1.0
    mixed.to_csv(tmp_path / "mixed.csv")
    code, _, err = run("run", str(tmp_path / "mixed.csv"), "--store", small_store_path, *QUICK)
    assert code == 0, err
    assert "2 of 6 columns are not instruments of the store and are left out: {}, note; the store spells ids as " \
           "{!r}".format(vendor(planted.columns[5]), planted.columns[5]) in err, err
    # columns that are no id in any spelling get no such hint
    strangers = table.rename(columns=lambda c: "x" + c)
    strangers.to_csv(tmp_path / "strangers.csv")
    code, _, err = run("run", str(tmp_path / "strangers.csv"), "--store", small_store_path, *QUICK)
    assert code == 2 and "is an instrument of the store" in err and "spells" not in err, err


def test_a_store_without_style_exposures_neutralizes_on_industries_from_the_command_line(tmp_path, planted,
                                                                                          small_store_path):
    # A store of one's own prices and industries has no style exposures: the default pipeline says
    # which option leaves them out, and --style-factors none neutralizes on the industries alone.
    from sigmora.analysis import registry
    industries = pd.DataFrame({"first_industry_name": ["银行", "医药"] * 6, "order_book_id": planted.columns[:12],
                               "start_date": pd.Timestamp("2015-01-05")})
    ids, store, csv = own_price_store(tmp_path, planted, small_store_path, 12, industry_citics_2019=industries)
    base = ("run", str(csv), "--store", store, "--benchmark", "none", "--analysis", "ic", "--max-decay", "0",
            "--no-report", "-q")
    code, _, err = run(*base)
    assert code != 0 and "(on the command line: --style-factors none)" in err, err
    code, _, err = run(*base, "--style-factors", "none", "--industry", "none")
    assert (code, err) == (2, "sigmora: error: --industry none with --style-factors none leaves the neutralize "
                              "step nothing to regress on; leave neutralize out of --preprocess\n")
    # on the industries alone (the default --industry): asking for exposures would fail as above
    code, out, err = run(*base, "--style-factors", "none", "--preprocess", "winsorize,neutralize,normalize")
    assert code == 0, err
    steps = dict(registry.build_steps(["neutralize"], industry="sws", style_factors=None))
    assert (steps["neutralize"].industry, steps["neutralize"].style_neutralize) == ("sws", False)
