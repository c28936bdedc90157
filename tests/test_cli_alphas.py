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
    assert code == 2 and "--alphas: alpha 56 is not shipped: it needs the market capitalisation" in err
    code, _, err = run("run-many", "--alphas", "7,x", "--store", small_store_path)
    assert code == 2 and "--alphas: n: expect 1 .. 101" in err


def test_alpha_lists():
    from sigmora.alphas import ALPHAS, select
    assert select("all") == list(ALPHAS) and len(select(" ALL ")) == 100
    assert select("3, 1,alpha003") == ["alpha003", "alpha001"]
    with pytest.raises(ValueError, match="expect 'all' or a comma-separated list"):
        select("")
