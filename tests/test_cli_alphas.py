"""`sigmora run-many --alphas`: the 101 Formulaic Alphas from the command line."""

import pytest



pytestmark = pytest.mark.usefixtures("keep_store_selection")


from tests.fakes import run_cli as run  # noqa: E402


def test_run_many_tests_the_alphas_asked_for(small_store_path):
    code, out, err = run("run-many", "--alphas", "12,alpha101,12", "--store", small_store_path,
                         "--start", "2023-03-01", "--end", "2023-10-31", "--periods", "1,5",
                         "--preprocess", "normalize", "--analysis", "ic", "--max-decay", "0",
                         "--industry", "none", "--no-report", "-q")
    assert code == 0, err
    assert "2 of 2 factors completed" in out
    board = out[out.index("Leaderboard"):]
    assert "alpha012" in board and "alpha101" in board


def test_run_many_alpha_options_are_checked(small_store_path):
    code, _, err = run("run-many", "--store", small_store_path)
    assert code == 2 and "give FACTOR_FILES, --alphas, or both" in err
    code, _, err = run("run-many", "--alphas", "56", "--store", small_store_path)
    assert code == 2 and "--alphas: alpha 56 is not shipped: it needs each stock's market capitalisation (cap)" in err
    code, _, err = run("run-many", "--alphas", "7,x", "--store", small_store_path)
    assert code == 2 and "--alphas: n: expect 1 .. 101" in err
    # given but empty: said so, with or without factor files
    for argv in (("--alphas", ""), ("some.csv", "--alphas", " ")):
        code, out, err = run("run-many", *argv, "--store", small_store_path)
        assert (code, out, err) == (2, "", "sigmora: error: --alphas: the list is empty; expect 'all' or alpha "
                                           "numbers such as 1,12,101\n"), argv


def test_an_alpha_window_without_trading_dates_is_refused_before_any_run(small_store_path):
    # a weekend, and a stretch past the stored calendar: one usage line each, no traceback
    for start, end in (("2023-06-03", "2023-06-04"), ("2031-01-01", "2031-02-01")):
        code, out, err = run("run-many", "--alphas", "12,101", "--store", small_store_path, "--start", start,
                             "--end", end, "--analysis", "ic", "--no-report", "-q")
        assert (code, out, err) == (2, "", "sigmora: error: --start/--end: no trading date from {} to {} in the "
                                           "store's calendar; give a window that holds trading dates\n".format(
                                               start, end)), (start, end)
    # trading dates, but before the store's first price: refused as well, with the store's span
    code, out, err = run("run-many", "--alphas", "12", "--store", small_store_path, "--start", "2015-01-05",
                         "--end", "2015-03-31", "--analysis", "ic", "--no-report", "-q")
    assert (code, out) == (2, "") and err.startswith(
        "sigmora: error: --start/--end: 2015-01-05 to 2015-03-31 lies before the store's prices (20"), err
    assert "Traceback" not in err and err.count("\n") == 1


def test_alphas_beside_factor_files_rest_on_the_dates_the_files_share(tmp_path, small_store_path):
    import tidewell
    with tidewell.using(small_store_path):
        table = tidewell.get_signal(None, "2023-02-01", "2023-10-31")
    table.iloc[:100].to_csv(tmp_path / "early.csv")
    table.iloc[20:].to_csv(tmp_path / "late.csv")
    code, out, err = run("run-many", str(tmp_path / "early.csv"), str(tmp_path / "late.csv"), "--alphas", "12",
                         "--store", small_store_path, "--periods", "1", "--preprocess", "none", "--analysis", "ic",
                         "--max-decay", "0", "--industry", "none", "--no-report", "-q")
    assert code == 0, err
    shared = table.index[20:100]
    assert "sigmora: --alphas: evaluated from {} to {}, the dates the factor files share\n".format(
        shared[0].date(), shared[-1].date()) in err
    assert "\nalpha012 rests on: {} of {} dates used;".format(len(shared), len(shared)) in out


def test_alpha_lists():
    from sigmora.alphas import ALPHAS, select
    assert select("all") == list(ALPHAS) and len(select(" ALL ")) == 100
    assert select("3, 1,alpha003") == ["alpha003", "alpha001"]
    with pytest.raises(ValueError, match="expect 'all' or a comma-separated list"):
        select("")


def test_the_tear_sheet_of_alphas_compares_their_values(tmp_path, small_store_path, monkeypatch):
    """The alphas ran on the workers; their tables are evaluated again for the value correlation,
    unless together they would not fit the budget, which is said."""
    import tidewell
    from sigmora.alphas import alpha
    from sigmora.analysis.combination import value_correlation
    from sigmora.analysis._formats import format_value
    from sigmora.cli import commands
    from sigmora.cli.demo_factors import _stock_ids
    from sigmora.evaluation import evaluate_many
    from tests.test_overlap_charts import _cell_texts

    argv = ("run-many", "--alphas", "12,101", "--store", small_store_path, "--start", "2023-03-01",
            "--end", "2023-06-30", "--periods", "1", "--preprocess", "none", "--analysis", "ic",
            "--max-decay", "0", "--industry", "none", "-q")
    code, out, err = run(*argv, "--out", str(tmp_path / "fits"))
    assert code == 0, err
    document = (tmp_path / "fits" / "tear_sheet.html").read_text()
    with tidewell.using(small_store_path):
        tables = evaluate_many({"alpha012": alpha(12), "alpha101": alpha(101)}, _stock_ids(), "2023-03-01",
                               "2023-06-30")
    assert _cell_texts(document, "Correlation of factor values") == [
        format_value(v) for v in value_correlation(tables).to_numpy().ravel()]
    assert "not at hand" not in document

    monkeypatch.setattr(commands, "EXPRESSION_TABLE_BYTES", 1000)
    code, out, err = run(*argv, "--out", str(tmp_path / "too_big"))
    assert code == 0, err
    assert "sigmora: the tear sheet leaves 2 alphas out of the value correlation: their tables and the data " \
           "they are computed from would take " in err
    document = (tmp_path / "too_big" / "tear_sheet.html").read_text()
    assert "Left out, their values not being at hand (factors given as expressions): alpha012, alpha101." in document
