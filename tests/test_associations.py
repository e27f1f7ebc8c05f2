"""Associations as the host sees them: counts, names, and the exact 32-bit values of the
association, reinforcement and promotion steps read back through the interface."""

import unicodedata

import pytest

from recall_mesh import LeanMemoryGraph
from conftest import add32, f32, snapshot


def weights(graph):
    return graph.get_graph_data()


def test_counts(graph):
    assert (graph.node_count(), graph.edge_count()) == (0, 0)
    graph.add_association("a", "b", "p", 0.5)
    assert (graph.node_count(), graph.edge_count()) == (2, 2)
    graph.add_association("a", "b", "q", 0.1)  # re-affirms, adds nothing
    assert (graph.node_count(), graph.edge_count()) == (2, 2)
    graph.add_association("s", "s", "p", 0.5)  # a self-association is one entry
    assert (graph.node_count(), graph.edge_count()) == (3, 3)
    graph._upsert_edge("x", "y", "p", 0.5, 0, 0.5, False)  # one direction only
    assert (graph.node_count(), graph.edge_count()) == (4, 4)
    assert "y" not in weights(graph)


def test_names_are_compared_byte_for_byte(graph):
    composed = unicodedata.normalize("NFC", "caf\u00e9")
    decomposed = unicodedata.normalize("NFD", "caf\u00e9")
    assert composed != decomposed
    for name in ("Apple", "apple", "APPLE", composed, decomposed, " apple", ""):
        graph.add_association(name, "hub", "p", 0.5)
    assert graph.node_count() == 8
    assert set(weights(graph)["hub"]) == {
        "Apple", "apple", "APPLE", composed, decomposed, " apple", ""}
    graph.strengthen_edge("apple", "hub", 5000)
    data = weights(graph)
    assert data["apple"]["hub"] == add32(0.5, 0.2, 0.15)
    assert data["Apple"]["hub"] == data[decomposed]["hub"] == add32(0.5, 0.2)


def test_association_step_values(graph):
    graph.add_association("a", "b", "p", 0.5, 100)
    assert weights(graph) == {"a": {"b": 0.699999988079071}, "b": {"a": 0.699999988079071}}
    graph.add_association("a", "b", "p", 0.1)  # the new initial weight is ignored
    assert weights(graph)["a"]["b"] == add32(0.5, 0.2, 0.2)
    graph.add_association("a", "b", "p", 0.1)
    assert weights(graph) == {"a": {"b": 1.0}, "b": {"a": 1.0}}
    graph.add_association("x", "x", "p", 0.5)  # both upserts meet the one entry
    assert weights(graph)["x"] == {"x": add32(0.5, 0.2, 0.2)}


@pytest.mark.parametrize("given, stored", [
    (float("nan"), 1.0),
    (float("inf"), 1.0),
    (float("-inf"), float("-inf")),
    (-0.5, add32(-0.5, 0.2)),  # no lower clamp at creation
    (0.9, 1.0),
])
def test_association_step_edge_values(graph, given, stored):
    graph.add_association("a", "b", "p", given)
    assert weights(graph)["a"]["b"] == stored


def test_reinforcement_step_values(pair_graph):
    g = pair_graph
    g.strengthen_edge("a", "b", 3600)  # within the cool-down of a fresh entry
    assert weights(g)["a"]["b"] == f32(0.7)
    g.strengthen_edge("a", "b", 3601)
    assert weights(g)["a"]["b"] == add32(0.5, 0.2, 0.15)
    assert weights(g)["b"]["a"] == f32(0.7), "the mirror entry is not touched"
    g.strengthen_edge("a", "b", 7201)
    assert weights(g)["a"]["b"] == add32(0.5, 0.2, 0.15)
    g.strengthen_edge("a", "b", 7202)
    assert weights(g)["a"]["b"] == add32(0.5, 0.2, 0.15, 0.15)
    g.strengthen_edge("a", "b", 5)  # earlier than the last: the gap wraps, so it applies
    assert weights(g)["a"]["b"] == 1.0


def test_promotion_step_values(pair_graph):
    g = pair_graph
    g.promote_and_strengthen("b", "a")
    assert weights(g) == {"a": {"b": f32(0.7)}, "b": {"a": 1.0}}


def test_missing_pairs_change_nothing(pair_graph):
    g = pair_graph
    before = snapshot(g)
    assert g.strengthen_edge("a", "zz", 99999) is None
    assert g.strengthen_edge("zz", "a", 99999) is None
    assert g.promote_and_strengthen("zz", "yy") is None
    assert g.record_feedback("a", "zz", True, 99999) is None
    assert snapshot(g) == before


def test_feedback_and_decay_through_the_interface(pair_graph):
    g = pair_graph
    g.record_feedback("a", "b", False, 0)  # penalises both directions
    assert weights(g) == {"a": {"b": add32(0.7, -0.05)}, "b": {"a": add32(0.7, -0.05)}}
    g.record_feedback("a", "b", True, 4000)
    assert weights(g)["a"]["b"] == add32(0.7, -0.05, 0.15)
    assert g.decay_and_prune(0.0) == 0
    assert g.decay_and_prune(float("inf")) == 0  # weight 0, but only tier 1
    for _ in range(8):
        assert g.decay_and_prune(1.0) == 0
    assert g.decay_and_prune(1.0) == 2  # the tenth weak pass removes both entries
    assert (g.node_count(), g.edge_count()) == (0, 0)


def test_results_are_fresh_copies(pair_graph):
    first = pair_graph.get_graph_data()
    first["a"]["b"] = 5.0
    first["zz"] = {}
    assert pair_graph.get_graph_data() == {"a": {"b": f32(0.7)}, "b": {"a": f32(0.7)}}


def test_export_shares_one_str_per_name(graph):
    graph.add_association("alpha", "beta", "p", 0.5)
    data = graph.get_graph_data()
    outer = {k: k for k in data}
    assert outer["alpha"] is next(iter(data["beta"]))
    assert outer["beta"] is next(iter(data["alpha"]))


def test_query_results_have_python_types(pair_graph):
    g = pair_graph
    assert type(g.node_count()) is int
    assert type(g.decay_and_prune(0.0)) is int
    assert type(g.get_cluster_density(["a", "b"], "p")) is float
    assert type(g.cluster_label(["a"])) is str
    assert type(g.get_cluster_for_node("a", "p")) is list
    assert type(g.detect_clusters("p", 0.0)) is list
    assert type(g.get_concepts_for_insight(["a"], "p")) is dict
    assert type(g.spread_activation(["a"], "p", 0)) is dict
    assert type(g.get_graph_data_for_project("p")) is dict
    assert type(g.to_json_str()) is str
    assert isinstance(LeanMemoryGraph(), LeanMemoryGraph)
