"""The benchmark baseline (bench/baseline.py) computes what the module computes.

The benchmarks are only a fair comparison if both sides do the same work, so the same
random workload runs on both and every result and, at the end, every field of every
entry must agree exactly. Operations the module does not offer yet are left out.
"""

import json
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import baseline  # noqa: E402

recall_mesh = pytest.importorskip("recall_mesh")
Graph = getattr(recall_mesh, "LeanMemoryGraph", None)
pytestmark = pytest.mark.skipif(Graph is None, reason="the module has no LeanMemoryGraph yet")

# A few hubs and many leaves, names that need escaping, and three projects.
NAMES = [f"c{i}" for i in range(30)] + ["", "Ärger", 'q"uo\\te', "tab\there"]
NAME_WEIGHTS = [12, 8, 6, 5] + [1] * (len(NAMES) - 4)
PROJECTS = ["Global", "p", "q"]


def _persistence_works():
    # Until the document layer lands its methods exist but write an empty graph.
    g = Graph()
    g.add_association("a", "b", "p", 0.5)
    return '"a"' in g.to_json_str()


PERSISTENCE = Graph is not None and _persistence_works()


def has(*methods):
    if not PERSISTENCE and {"to_json_str", "save_to_json", "load_from_json"} & set(methods):
        return False
    return Graph is not None and all(hasattr(Graph, m) for m in methods)


def pick(rng, k=1):
    return rng.choices(NAMES, NAME_WEIGHTS, k=k)


def random_ops(rng, count):
    kinds = [k for k in ("add_association", "_upsert_edge", "strengthen_edge",
                         "promote_and_strengthen", "record_feedback", "decay_and_prune",
                         "spread_activation") if has(k)]
    shares = {"add_association": 9, "_upsert_edge": 2, "strengthen_edge": 2,
              "promote_and_strengthen": 1, "record_feedback": 2, "decay_and_prune": 2,
              "spread_activation": 2}
    weights = [shares[k] for k in kinds]
    for i in range(count):
        kind = rng.choices(kinds, weights)[0]
        a, b = pick(rng, 2)
        t = 1_000 + 900 * i + rng.randrange(4_000)  # now and then earlier than before
        if kind in ("add_association", "_upsert_edge"):
            yield kind, (a, b, rng.choice(PROJECTS), rng.uniform(-0.3, 1.0), t,
                         rng.uniform(0.0, 1.2), rng.random() < 0.05)
        elif kind == "strengthen_edge":
            yield kind, (a, b, t)
        elif kind == "promote_and_strengthen":
            yield kind, (a, b)
        elif kind == "record_feedback":
            yield kind, (a, b, rng.random() < 0.5, t)
        elif kind == "decay_and_prune":
            yield kind, (rng.choice([0.0, 0.01, 0.05, 0.2]),)
        else:
            yield kind, (pick(rng, rng.randrange(1, 4)), rng.choice(PROJECTS), t)


def run_both(seed, count):
    rng = random.Random(seed)
    module, base = Graph(), baseline.LeanMemoryGraph()
    for kind, args in random_ops(rng, count):
        got, want = getattr(module, kind)(*args), getattr(base, kind)(*args)
        assert got == want, (kind, args)
    return module, base, rng


def assert_same_entries(module, base):
    assert module.node_count() == base.node_count()
    assert module.edge_count() == base.edge_count()
    if has("to_json_str"):
        assert json.loads(module.to_json_str()) == base.to_document()
    elif has("get_graph_data"):
        assert module.get_graph_data() == base.get_graph_data()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_learning_workload_leaves_identical_entries(seed):
    module, base, _ = run_both(seed, 1500)
    assert_same_entries(module, base)


@pytest.mark.skipif(not has("get_concepts_for_insight", "get_cluster_density",
                            "cluster_label", "get_graph_data"), reason="queries not there yet")
@pytest.mark.parametrize("seed", [4, 5])
def test_queries_agree_after_learning(seed):
    module, base, rng = run_both(seed, 1200)
    assert module.get_graph_data() == base.get_graph_data()
    for project in PROJECTS + ["none"]:
        if has("get_graph_data_for_project"):
            assert (module.get_graph_data_for_project(project)
                    == base.get_graph_data_for_project(project))
        for size in (1, 2, 5, 8):
            group = pick(rng, size)
            assert (module.get_concepts_for_insight(group, project)
                    == base.get_concepts_for_insight(group, project))
            assert (module.get_cluster_density(group, project)
                    == base.get_cluster_density(group, project))
            assert module.cluster_label(group) == base.cluster_label(group)


@pytest.mark.skipif(not has("detect_clusters", "get_cluster_for_node", "decay_and_prune"),
                    reason="clusters not there yet")
def test_clusters_agree_on_symmetric_graph():
    # Built by add_association and decay alone, both directions of every association stay
    # alike, so clusters are connected components and do not depend on the start order.
    rng = random.Random(6)
    module, base = Graph(), baseline.LeanMemoryGraph()
    for i in range(400):
        a, b = pick(rng, 2)
        args = (a, b, rng.choice(PROJECTS), rng.uniform(0.0, 0.8), i, rng.uniform(0.1, 1.0))
        module.add_association(*args)
        base.add_association(*args)
        if i % 100 == 99:
            assert module.decay_and_prune(0.05) == base.decay_and_prune(0.05)
    as_sets = lambda clusters: sorted(sorted(c) for c in clusters)  # noqa: E731
    for project in PROJECTS:
        for threshold in (0.0, 0.3, 0.5, 0.7, 0.95):
            assert as_sets(module.detect_clusters(project, threshold)) == as_sets(
                base.detect_clusters(project, threshold))
        for node in NAMES[:8] + ["absent"]:
            assert sorted(module.get_cluster_for_node(node, project)) == sorted(
                base.get_cluster_for_node(node, project))


@pytest.mark.skipif(not has("save_to_json", "load_from_json"), reason="persistence not there yet")
def test_documents_cross_load(tmp_path):
    module, base, _ = run_both(7, 800)
    module.save_to_json(str(tmp_path / "module.json"))
    base.save_to_json(tmp_path / "baseline.json")
    from_module = baseline.LeanMemoryGraph.load_from_json(tmp_path / "module.json")
    from_base = Graph.load_from_json(str(tmp_path / "baseline.json"))
    assert from_module.to_document() == base.to_document()
    assert_same_entries(from_base, base)


@pytest.mark.skipif(not has("decay_and_prune", "get_graph_data", "spread_activation"),
                    reason="learning not there yet")
def test_large_graph_agrees_through_growth_and_decay():
    # Tens of thousands of concepts that keep growing: big enough that the store moves its
    # entry blocks around to give free room back while it grows and dies back.
    rng = random.Random(8)
    module, base = Graph(), baseline.LeanMemoryGraph()
    names = [f"n{i}" for i in range(12_000)]
    for step in range(2):
        for i in range(40_000):
            a = names[rng.randrange(len(names))]
            b = names[rng.randrange(1 + rng.randrange(len(names)))]  # some hubs
            args = (a, b, PROJECTS[i % 3], rng.uniform(0.0, 0.8), 1_000 * step + i)
            module.add_association(*args)
            base.add_association(*args)
        for _ in range(6 if step == 0 else 1):
            assert module.decay_and_prune(0.3) == base.decay_and_prune(0.3)
        seeds = names[:5]
        assert (module.spread_activation(seeds, "p", 10_000_000 * (step + 1))
                == base.spread_activation(seeds, "p", 10_000_000 * (step + 1)))
        assert_same_entries(module, base)


@pytest.mark.skipif(not has("spread_activation"), reason="learning not there yet")
def test_wide_spread_keeps_activation_order():
    # Thousands of activated concepts take the result dict's path for large results; the
    # activation order is part of the result, so the items are compared as a list.
    rng = random.Random(5)
    module, base = Graph(), baseline.LeanMemoryGraph()
    for i in range(15_000):
        args = (f"h{i % 3}", f"w{rng.randrange(9_000)}", PROJECTS[i % 2], rng.uniform(0.3, 1.0), i)
        module.add_association(*args)
        base.add_association(*args)
    expected = base.spread_activation(["h0", "h1"], "p", 1)
    got = module.spread_activation(["h0", "h1"], "p", 1)
    assert len(got) > 4_096
    assert list(got.items()) == list(expected.items())
