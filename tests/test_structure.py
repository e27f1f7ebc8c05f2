"""Structure queries through the Python interface: clusters, hubs, density, insight
neighbours and the display export."""

import json

from hypothesis import given, settings
from hypothesis import strategies as st

import recall_mesh
from conftest import add32, f32


def as_sets(clusters):
    return sorted(sorted(c) for c in clusters)


def upsert(g, a, b, pid, weight):
    """One direction only; the stored weight is f32(weight) + 0.2 in 32 bits."""
    g._upsert_edge(a, b, pid, weight, 0, 0.5, False)


class TestEmptyAndUnknown:
    def test_empty_graph(self, graph):
        assert graph.detect_clusters("p", 0.0) == []
        assert graph.get_cluster_for_node("x", "p") == ["x"]
        assert graph.cluster_label(["x", "y"]) == "x"
        assert graph.cluster_label([]) == ""
        assert graph.get_cluster_density(["x", "y"], "p") == 0.0
        assert graph.get_concepts_for_insight(["x"], "p") == {}
        assert graph.get_graph_data() == {}
        assert graph.get_graph_data_for_project("p") == {}

    def test_names_that_are_not_concepts(self, pair_graph):
        g = pair_graph
        assert g.get_cluster_for_node("ghost", "p") == ["ghost"]
        assert g.cluster_label(["ghost"]) == "ghost"
        assert g.get_cluster_density(["ghost", "phantom"], "p") == 0.0
        assert g.get_concepts_for_insight(["ghost", "phantom"], "p") == {}
        assert g.get_concepts_for_insight([], "p") == {}


class TestComponents:
    def test_threshold_met_exactly_passes(self, pair_graph):
        w = f32(0.7)
        assert as_sets(pair_graph.detect_clusters("p", w)) == [["a", "b"]]
        next_up = w + 2**-24  # the next 32-bit float above w
        assert f32(next_up) == next_up
        assert pair_graph.detect_clusters("p", next_up) == []
        assert pair_graph.detect_clusters("p", float("nan")) == []

    def test_node_cluster_threshold_is_the_float_nearest_0_2(self, graph):
        graph.add_association("a", "b", "p", 0.0)  # stored as exactly 0.2 in 32 bits
        graph.add_association("b", "c", "p", 0.5)
        graph.add_association("x", "y", "p", -0.001)
        assert sorted(graph.get_cluster_for_node("c", "p")) == ["a", "b", "c"]
        assert graph.get_cluster_for_node("x", "p") == ["x"]

    def test_chains_and_separate_pairs(self, graph):
        for a, b in (("a", "b"), ("b", "c"), ("d", "e")):
            graph.add_association(a, b, "p", 0.5)
        graph.add_association("solo", "solo", "p", 0.9)
        assert as_sets(graph.detect_clusters("p", 0.5)) == [["a", "b", "c"], ["d", "e"]]
        chain = next(c for c in graph.detect_clusters("p", 0.5) if "a" in c)
        assert chain[1] == "b" or chain[0] == "b", "breadth-first from its first name"

    def test_one_way_entries(self, graph):
        upsert(graph, "a", "b", "p", 0.5)
        # b is only a neighbour: reached from a, it has nothing of its own to follow.
        assert graph.detect_clusters("p", 0.5) == [["a", "b"]]
        assert graph.get_cluster_for_node("b", "p") == ["a", "b"]
        assert graph.get_graph_data() == {"a": {"b": add32(0.5, 0.2)}}


class TestGlobalAcrossProjects:
    def test_global_entries_join_every_project(self, graph):
        graph.add_association("a", "b", "Global", 0.5)
        graph.add_association("c", "d", "q", 0.5)
        graph.add_association("e", "f", "global", 0.5)
        assert as_sets(graph.detect_clusters("p", 0.1)) == [["a", "b"]]
        assert as_sets(graph.detect_clusters("q", 0.1)) == [["a", "b"], ["c", "d"]]
        assert as_sets(graph.detect_clusters("Global", 0.1)) == [["a", "b"]]
        # "global" is an ordinary project id, and "Global" entries are visible to it.
        assert as_sets(graph.detect_clusters("global", 0.1)) == [["a", "b"], ["e", "f"]]
        assert graph.get_cluster_density(["a", "b"], "anything") == f32(0.7)
        assert graph.get_cluster_density(["c", "d"], "p") == 0.0

    def test_export_for_project(self, graph):
        w = f32(0.7)
        graph.add_association("a", "b", "p", 0.5)
        assert graph.get_graph_data_for_project("q") == {}
        graph.add_association("a", "c", "Global", 0.5)
        graph.add_association("x", "y", "", 0.5)
        shared = {"a": {"c": w}, "c": {"a": w}}
        assert graph.get_graph_data_for_project("q") == shared
        assert graph.get_graph_data_for_project("global") == shared
        assert graph.get_graph_data_for_project("Global") == shared
        assert graph.get_graph_data_for_project("p") == {
            "a": {"b": w, "c": w},
            "b": {"a": w},
            "c": {"a": w},
        }
        assert graph.get_graph_data_for_project("") == {**shared, "x": {"y": w}, "y": {"x": w}}

    def test_export_judges_each_direction_alone(self, graph):
        upsert(graph, "a", "b", "p", 0.5)
        upsert(graph, "b", "a", "q", 0.5)
        assert graph.get_graph_data_for_project("p") == {"a": {"b": f32(0.7)}}


class TestHub:
    def test_totals_over_every_project_and_outside_names(self, graph):
        graph.add_association("a", "b", "p", 0.3)  # a: 0.5
        graph.add_association("a", "out", "q", 0.0)  # a: 0.5 + 0.2
        graph.add_association("b", "z", "Global", 0.0)  # b: 0.5 + 0.2
        assert graph.cluster_label(["b", "a"]) == "b", "ties go to the earliest name"
        assert graph.cluster_label(["a", "b"]) == "a"
        graph.add_association("a", "more", "r", -0.15)
        assert graph.cluster_label(["b", "a"]) == "a"

    def test_unknown_names_start_from_zero(self, graph):
        graph.add_association("neg", "x", "p", -2.0)  # stored weight -1.8
        assert graph.cluster_label(["neg"]) == ""
        assert graph.cluster_label(["neg", "ghost"]) == "ghost"


class TestDensity:
    def test_pairs_without_an_entry_do_not_count(self, graph):
        graph.add_association("a", "b", "p", 0.2)
        graph.add_association("b", "c", "p", 0.6)
        expected = f32(add32(0.4, add32(0.6, 0.2)) / 2)
        assert graph.get_cluster_density(["a", "b", "c"], "p") == expected
        assert graph.get_cluster_density(["a", "b", "c", "ghost"], "p") == expected
        assert graph.get_cluster_density(["a"], "p") == 0.0
        assert graph.get_cluster_density(["a", "c"], "p") == 0.0

    def test_mirror_entry_only_stands_in(self, graph):
        upsert(graph, "a", "b", "p", 0.1)
        upsert(graph, "b", "a", "p", 0.7)
        assert graph.get_cluster_density(["a", "b"], "p") == add32(0.1, 0.2)
        assert graph.get_cluster_density(("b", "a"), "p") == add32(0.7, 0.2)
        upsert(graph, "c", "d", "q", 0.1)
        upsert(graph, "d", "c", "p", 0.7)
        assert graph.get_cluster_density(["c", "d"], "p") == add32(0.7, 0.2)
        assert graph.get_cluster_density(["c", "d"], "q") == add32(0.1, 0.2)

    def test_repeated_names_need_a_self_association(self, pair_graph):
        assert pair_graph.get_cluster_density(["a", "a"], "p") == 0.0
        pair_graph.add_association("a", "a", "p", 0.0)
        assert pair_graph.get_cluster_density(["a", "a"], "p") == add32(0.0, 0.2, 0.2)


class TestInsight:
    def test_strongest_link_outside_the_group(self, graph):
        graph.add_association("m1", "n", "p", 0.1)
        graph.add_association("m2", "n", "p", 0.5)
        graph.add_association("m1", "m2", "p", 0.9)
        graph.add_association("m1", "m1", "p", 0.9)
        graph.add_association("m2", "far", "q", 0.9)
        graph.add_association("m2", "shared", "Global", 0.7)
        shared = add32(0.7, 0.2)
        expected = {"n": 0.699999988079071, "shared": shared}
        assert graph.get_concepts_for_insight(["m1", "m2"], "p") == expected
        assert graph.get_concepts_for_insight(("m2", "m1", "m2"), "p") == expected
        assert graph.get_concepts_for_insight(["m1", "m2"], "Global") == {"shared": shared}

    def test_maximum_ignores_order_and_negative_weights(self, graph):
        graph.add_association("m1", "n", "p", float("-inf"))
        graph.add_association("m2", "n", "p", -0.2)
        graph.add_association("m3", "n", "p", -0.5)
        for group in (["m1", "m2", "m3"], ["m3", "m2", "m1"]):
            assert graph.get_concepts_for_insight(group, "p") == {"n": 0.0}
        assert graph.get_concepts_for_insight(["m1"], "p") == {"n": float("-inf")}

    def test_large_groups_exclude_every_member(self, graph):
        members = [f"m{i}" for i in range(40)]
        for i, m in enumerate(members):
            graph.add_association(m, members[(i + 1) % 40], "p", 0.5)
            graph.add_association(m, "out", "p", i / 100)
        assert graph.get_concepts_for_insight(members, "p") == {"out": add32(0.39, 0.2)}


class TestExportShapes:
    def test_every_entry_under_its_source(self, graph):
        graph.add_association("a", "b", "p", 0.5)
        graph.add_association("a", "a", "q", 0.0)
        graph.strengthen_edge("b", "a", 10_000)
        assert graph.get_graph_data() == {
            "a": {"b": f32(0.7), "a": add32(0.0, 0.2, 0.2)},
            "b": {"a": add32(0.7, 0.15)},
        }

    def test_concept_without_entries_after_load(self, graph, tmp_path):
        path = tmp_path / "g.json"
        entry = {
            "weight": 0.5,
            "latency_tier": 0,
            "decay_resistance": 1.0,
            "project_id": "p",
            "last_strengthened": 0,
        }
        doc = {"graph": {"adj": {"lonely": {}, "a": {"b": entry}}}, "version": 2}
        path.write_text(json.dumps(doc))
        g = recall_mesh.LeanMemoryGraph.load_from_json(str(path))
        assert g.get_graph_data() == {"lonely": {}, "a": {"b": 0.5}}
        assert g.get_graph_data_for_project("p") == {"a": {"b": 0.5}}
        assert g.get_graph_data_for_project("") == {}

    def test_snapshots_are_independent(self, pair_graph):
        g = pair_graph
        data = g.get_graph_data()
        for_p = g.get_graph_data_for_project("p")
        clusters = g.detect_clusters("p", 0.1)
        data["a"]["b"] = 5.0
        data["zzz"] = {}
        for_p.clear()
        clusters[0].append("zzz")
        again = g.get_graph_data()
        assert again == {"a": {"b": f32(0.7)}, "b": {"a": f32(0.7)}}
        assert again is not g.get_graph_data()
        assert g.get_graph_data_for_project("p") == again
        assert as_sets(g.detect_clusters("p", 0.1)) == [["a", "b"]]
        g.add_association("a", "c", "p", 0.5)
        g.decay_and_prune(10.0)
        assert again == {"a": {"b": f32(0.7)}, "b": {"a": f32(0.7)}}


# Random undirected graphs made by add_association: the clusters are exactly the connected
# components (two or more names) of the passing associations, each listed breadth-first.
names = st.sampled_from([f"n{i}" for i in range(12)])
associations = st.lists(
    st.tuples(names, names, st.sampled_from(["p", "q", "Global"]), st.floats(-0.3, 0.9)),
    max_size=40,
)


@settings(max_examples=150, deadline=None)
@given(associations, st.floats(0.0, 1.0))
def test_clusters_are_components_of_passing_associations(assoc, threshold):
    g = recall_mesh.LeanMemoryGraph()
    for a, b, pid, w in assoc:
        g.add_association(a, b, pid, w)
    visible = g.get_graph_data_for_project("p")
    t = f32(threshold)
    passing = {c: {n for n, w in row.items() if w >= t} for c, row in visible.items()}

    parent = {}

    def find(x):
        while parent.setdefault(x, x) != x:
            x = parent[x]
        return x

    for c, ns in passing.items():
        for n in ns:
            parent[find(c)] = find(n)
    groups = {}
    for x in list(parent):
        groups.setdefault(find(x), set()).add(x)
    expected = sorted(sorted(s) for s in groups.values() if len(s) >= 2)

    clusters = g.detect_clusters("p", threshold)
    assert as_sets(clusters) == expected
    for cluster in clusters:
        for i, name in enumerate(cluster[1:], 1):
            assert any(name in passing.get(e, ()) for e in cluster[:i]), "reached earlier"
    at_node_threshold = g.detect_clusters("p", 0.2)
    for name in {a for a, _, _, _ in assoc}:
        holding = [c for c in at_node_threshold if name in c]
        assert g.get_cluster_for_node(name, "p") == (holding[0] if holding else [name])
