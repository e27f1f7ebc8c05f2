"""The guide's and the README's Python blocks run as written, and the guide's decay table
is what the module computes."""

import json
from pathlib import Path

import pytest

from recall_mesh import LeanMemoryGraph

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "docs" / "guide.md", ROOT / "README.md"]
CONTINUED = "<!-- continued -->"
# Packages a block may use that the module itself does not need.
OPTIONAL = {"networkx", "matplotlib"}


def python_chains(path):
    """Runs of ```python blocks: (first line, [(line, source), ...]). A block whose
    preceding non-blank line is the CONTINUED marker joins the run before it."""
    chains = []
    lines = path.read_text(encoding="utf-8").splitlines()
    previous = ""
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip() == "```python":
            start = i + 1
            end = start
            while lines[end].strip() != "```":
                end += 1
            block = (start, "\n".join(lines[start:end]))
            if previous == CONTINUED and chains:
                chains[-1][1].append(block)
            else:
                chains.append((start, [block]))
            i = end + 1
            previous = ""
            continue
        if line.strip():
            previous = line.strip()
        i += 1
    return chains


CASES = [
    pytest.param(path, chain, id=f"{path.name}:{first}")
    for path in DOCS
    for first, chain in python_chains(path)
]


@pytest.mark.parametrize(("path", "chain"), CASES)
def test_block_runs(path, chain, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace = {"__name__": "__main__"}
    for start, source in chain:
        # Padding keeps a traceback's line numbers those of the document.
        code = compile("\n" * start + source, str(path), "exec")
        try:
            exec(code, namespace)
        except ModuleNotFoundError as error:
            if error.name in OPTIONAL:
                pytest.skip(f"{error.name} is not installed")
            raise


def test_documents_have_blocks():
    """A change of fence style would otherwise leave nothing to run."""
    counts = {path.name: sum(len(c) for _, c in python_chains(path)) for path in DOCS}
    assert counts["guide.md"] >= 15 and counts["README.md"] >= 1


def guide_decay_table():
    text = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    table = text.split("<!-- decay table -->", 1)[1].strip().split("\n\n", 1)[0]
    rows = [line.strip("|").split("|") for line in table.splitlines()[2:]]
    return [[cell.strip() for cell in row] for row in rows]


def life_of_untouched_link(rate):
    """(first pass at tier 1, first pass at tier 8, pass it dies in) for a new link of
    weight 0.5 and salience 0.5 that nothing uses."""
    graph = LeanMemoryGraph()
    graph.add_association("a", "b", "p", 0.3)
    first_at = {}
    passes = 0
    while graph.edge_count():
        passes += 1
        graph.decay_and_prune(rate)
        adj = json.loads(graph.to_json_str())["graph"]["adj"]
        if "a" in adj:
            first_at.setdefault(adj["a"]["b"]["latency_tier"], passes)
        assert passes < 10_000
    cold = min(p for t, p in first_at.items() if t >= 1)
    dormant = min(p for t, p in first_at.items() if t >= 8)
    return cold, dormant, passes


def test_decay_table_is_what_the_module_computes():
    rows = guide_decay_table()
    assert len(rows) >= 5
    for rate_text, loss_text, *passes in rows:
        rate = float(rate_text)
        # The loss per pass, seen on a link of weight 1.0 with the same salience and
        # resistance, so that no floor at 0 hides it.
        graph = LeanMemoryGraph()
        graph.add_association("a", "b", "p", 0.8)
        graph.decay_and_prune(rate)
        loss = 1.0 - graph.get_graph_data()["a"]["b"]
        assert float(loss_text) == pytest.approx(loss, rel=5e-3), rate_text
        assert tuple(int(p) for p in passes) == life_of_untouched_link(rate), rate_text
