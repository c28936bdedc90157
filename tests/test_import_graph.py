"""No import circle through the result records, the report, the leaderboard, the record HTML,
the step registry or the command line.  Imports inside functions count too."""

import ast
import os

import sigmora

ROOT = os.path.dirname(os.path.abspath(sigmora.__file__))
CHECKED = ["sigmora.analysis.analysis_result", "sigmora.analysis.leaderboard", "sigmora.report",
           "sigmora.analysis._html", "sigmora.analysis.registry"]


def _modules():
    """Module name -> file of every module of the sigmora package."""
    found = {}
    for folder, _, files in os.walk(ROOT):
        for name in files:
            if name.endswith(".py"):
                rel = os.path.relpath(os.path.join(folder, name), os.path.dirname(ROOT))[:-3].split(os.sep)
                if rel[-1] == "__init__":
                    rel = rel[:-1]
                found[".".join(rel)] = os.path.join(folder, name)
    return found


def import_graph():
    """Module -> the sigmora modules it imports anywhere in its source (resolving relative
    imports and ``from package import submodule``)."""
    modules = _modules()
    graph = {}
    for module, path in modules.items():
        is_package = path.endswith("__init__.py")
        tree = ast.parse(open(path, encoding="utf-8").read(), path)
        targets = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                targets.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom):
                if node.level:
                    base = module.split(".")[:len(module.split(".")) - node.level + (1 if is_package else 0)]
                    source = ".".join(base + ([node.module] if node.module else []))
                else:
                    source = node.module
                targets.add(source)
                targets.update("{}.{}".format(source, alias.name) for alias in node.names)
        graph[module] = {t for t in targets if t in modules and t != module}
    return graph


def _cycle_through(graph, start):
    """A list of modules leading from ``start`` back to it, or None."""
    stack, seen = [(start, [start])], set()
    while stack:
        node, path = stack.pop()
        for nxt in graph.get(node, ()):
            if nxt == start:
                return path + [start]
            if nxt not in seen:
                seen.add(nxt)
                stack.append((nxt, path + [nxt]))
    return None


def test_no_import_circle_through_records_report_leaderboard_registry_and_cli():
    graph = import_graph()
    checked = CHECKED + sorted(m for m in graph if m.startswith("sigmora.cli."))
    assert set(CHECKED) <= set(graph)
    for module in checked:
        assert _cycle_through(graph, module) is None, " -> ".join(_cycle_through(graph, module))


def test_leaderboard_and_record_html_import_no_report():
    graph = import_graph()
    assert "sigmora.report" not in graph["sigmora.analysis.leaderboard"]
    assert graph["sigmora.analysis._html"] <= {"sigmora.analysis.plotting", "sigmora.analysis.statistics"}
