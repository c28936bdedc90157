"""The runnable examples of docs/expressions.md, in order, on the small demo store."""
import pathlib
import re

import matplotlib
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def _blocks(path):
    return re.findall(r"```python\n(.*?)```", path.read_text(), flags=re.S)


def test_the_cookbook_has_examples():
    assert len(_blocks(ROOT / "docs" / "expressions.md")) >= 8


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_the_expression_cookbook_runs(small_store, capsys):
    matplotlib.use("Agg")
    namespace = {"__name__": "cookbook"}
    for k, code in enumerate(_blocks(ROOT / "docs" / "expressions.md")):
        try:
            exec(compile(code, "docs/expressions.md block {}".format(k + 1), "exec"), namespace)
        except Exception as err:
            raise AssertionError("block {} of docs/expressions.md failed: {!r}\n{}".format(k + 1, err, code)) from err
    out = capsys.readouterr().out
    assert "please use" not in out and "property" in out     # the shift(20) message was shown
