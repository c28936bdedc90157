"""The packages' modules import one another in one direction only: no module reaches,
directly or through others, back to itself (imports inside functions count too)."""

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGES = ("sigmora", "tidewell")


def _module_name(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _modules():
    return {_module_name(p): p for pkg in PACKAGES for p in (ROOT / pkg).rglob("*.py")}


def _resolve(name, modules):
    """The module file an imported name lands in: the name itself, else its package."""
    while name and name not in modules:
        name = name.rpartition(".")[0]
    return name or None


def _imports(name, path, modules):
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")
                anchor = anchor[:len(anchor) - (node.level - 1)]
                base = ".".join(anchor + ([base] if base else []))
            # `from pkg import mod` imports the module pkg.mod when there is one, else a
            # name defined by pkg itself.
            targets = [base + "." + alias.name if base + "." + alias.name in modules else base
                       for alias in node.names]
        else:
            continue
        for target in targets:
            resolved = _resolve(target, modules)
            if resolved is not None and resolved != name:
                found.add(resolved)
    return found


def _graph():
    modules = _modules()
    return {name: _imports(name, path, modules) for name, path in modules.items()}


def _cycles(graph):
    """Strongly connected components of more than one module (Tarjan)."""
    index, low, stack, on_stack, result = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                result.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return result


def test_the_finder_sees_a_circle_when_there_is_one():
    assert _cycles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]
    assert _cycles({"a": {"b"}, "b": set()}) == []


def test_the_graph_knows_the_engine_imports():
    graph = _graph()
    assert "sigmora.analysis._base" in graph["sigmora.analysis.varodyne"]
    assert "sigmora.analysis._market" in graph["sigmora.analysis._neutralization"]


@pytest.mark.parametrize("package", PACKAGES)
def test_no_import_circles(package):
    graph = _graph()
    cycles = [c for c in _cycles(graph) if any(m.split(".")[0] == package for m in c)]
    assert cycles == []


def test_steps_and_the_data_seam_never_import_the_engine():
    graph = _graph()
    lower = [m for m in graph if m.startswith("sigmora.analysis._")]
    assert [m for m in lower if "sigmora.analysis.varodyne" in graph[m]] == []


def test_leaderboard_and_record_html_import_no_report():
    graph = _graph()
    assert "sigmora.report" not in graph["sigmora.analysis.leaderboard"]
    assert graph["sigmora.analysis._html"] <= {"sigmora.analysis.plotting", "sigmora.analysis.statistics",
                                               "sigmora.analysis._formats"}
    assert graph["sigmora.analysis._formats"] == set()
