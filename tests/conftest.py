"""Shared helpers for the interface tests: a fresh graph, 32-bit float rounding, and a
snapshot of a graph's whole state for "nothing changed" checks."""

import struct

import pytest

import recall_mesh


def f32(x):
    """The 32-bit float nearest to x, widened back exactly (0.7 -> 0.699999988079071)."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def add32(*terms):
    """The terms added left to right in 32-bit floats, as the store adds them."""
    total = f32(terms[0])
    for term in terms[1:]:
        total = f32(total + f32(term))
    return total


def snapshot(graph):
    """Everything observable about a graph without changing it."""
    return (graph.node_count(), graph.edge_count(), graph.get_graph_data(), graph.to_json_str())


@pytest.fixture
def graph():
    return recall_mesh.LeanMemoryGraph()


@pytest.fixture
def pair_graph():
    """a <-> b in project "p", both entries at weight 0.7, created at time 100."""
    g = recall_mesh.LeanMemoryGraph()
    g.add_association("a", "b", "p", 0.5, 100)
    return g
