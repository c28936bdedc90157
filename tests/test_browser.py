"""The tear sheet in a real browser (headless Chromium) at 1280 px: nothing wider than the
page, every chart loads, no console error, and the leaderboard sorts on a click.

Skipped where no Chromium or websocket-client is installed, unless SIGMORA_REQUIRE names
"browser" (CI does): then their absence fails.
"""

import math
import os

import pytest

from sigmora import cli
from sigmora.report import write_report
from tests.browser import Browser, file_url, find_chromium
from tests.test_results import make_records

pytestmark = pytest.mark.browser


@pytest.fixture(scope="module")
def browser():
    missing = [what for what, ok in (("chromium", find_chromium() is not None),
                                     ("websocket-client", _importable("websocket"))) if not ok]
    if missing:
        if "browser" in os.environ.get("SIGMORA_REQUIRE", "").split(","):
            pytest.fail("the browser test needs {}".format(", ".join(missing)))
        pytest.skip("needs {}".format(", ".join(missing)))
    with Browser(width=1280, height=900) as b:
        yield b


def _importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def _board(page):
    """Leaderboard rows as (factor, [cell texts]), in the order shown."""
    return [(row[0], row[1:]) for row in page.evaluate(
        "Array.from(document.querySelector('table.sortable').tBodies[0].rows)"
        ".map(r => Array.from(r.cells).map(c => c.textContent.trim()))")]


def _number(text):
    return math.nan if text == "NaN" else float(text.rstrip("%"))


def _headers(page):
    return page.evaluate("Array.from(document.querySelector('table.sortable').tHead.rows[0].cells)"
                         ".map(c => c.textContent.trim())")


def _assert_sorted(rows, column, descending):
    values = [_number(cells[column]) for _, cells in rows]
    present = [v for v in values if not math.isnan(v)]
    assert present == sorted(present, reverse=descending)
    assert all(math.isnan(v) for v in values[len(present):])            # missing figures last


def test_the_demo_tear_sheet_reads_well_at_1280_px(browser, tmp_path, small_store_path):
    code = cli.main(["demo", "--store", small_store_path, "--out", str(tmp_path), "--quiet"], out=open(os.devnull, "w"))
    assert code == 0
    page = browser.open(file_url(tmp_path / "tear_sheet.html"))

    assert page.evaluate("document.documentElement.scrollWidth") <= page.evaluate("window.innerWidth") == 1280
    images = page.evaluate("Array.from(document.images).map(i => [i.complete, i.naturalWidth])")
    # two factors: IC (6 charts), quantile groups (3), factor returns (1); their overlap (2 heat maps)
    assert len(images) == 22 and all(done and width > 0 for done, width in images)
    # a wide table scrolls inside its own box instead of widening the page
    box = page.evaluate("(() => { const d = document.querySelector('.table-scroll');"
                        " return [d.scrollWidth, d.clientWidth]; })()")
    assert box[1] <= 1280

    headers = _headers(page)
    before = _board(page)
    assert [name for name, _ in before] and len(before) == 2
    # a column whose order differs from the one shown
    column = next(i for i in range(1, len(headers))
                  if _number(before[0][1][i - 1]) < _number(before[1][1][i - 1]))
    page.click("table.sortable thead th:nth-child({})".format(column + 1))
    after = _board(page)
    assert [name for name, _ in after] == [name for name, _ in reversed(before)]
    _assert_sorted(after, column - 1, descending=True)
    assert page.errors == []


def test_the_leaderboard_sorts_both_ways_with_missing_figures_last(browser, tmp_path):
    results = {}
    for seed in range(6):
        ic, quantile, factor_return = make_records(seed=seed)
        if seed == 4:
            ic.ic.loc[:, "P_1"] = float("nan")          # a factor without IC for P_1
        results["factor {}".format(seed)] = {"ic": ic, "quantile": quantile, "factor_return": factor_return}
    path = write_report(results, tmp_path / "board.html")
    page = browser.open(file_url(path))
    headers = _headers(page)
    column = headers.index("IC mean P_1")
    page.click("table.sortable thead th:nth-child({})".format(column + 1))
    _assert_sorted(_board(page), column - 1, descending=True)
    assert page.evaluate("document.querySelector('table.sortable thead th[aria-sort]').textContent") .startswith(
        "IC mean P_1")
    page.click("table.sortable thead th:nth-child({})".format(column + 1))
    rows = _board(page)
    _assert_sorted(rows, column - 1, descending=False)
    assert rows[-1][0] == "factor 4"
    returns = headers.index("top-bottom annual return P_5")
    page.click("table.sortable thead th:nth-child({})".format(returns + 1))
    _assert_sorted(_board(page), returns - 1, descending=True)  # percentages sort by their number
    page.click("table.sortable thead th:nth-child(1)")         # the factor names, as text
    names = [name for name, _ in _board(page)]
    assert names == sorted(names, reverse=True)
    assert page.errors == []
