"""Mistakes a user can make with LeanMemoryGraph, each of which mypy must report with the
error code marked on its line ("# E: code"). Every other line must check clean. Never
run: several of these lines fail at run time too."""

from pathlib import Path

from recall_mesh import LeanMemoryGraph

g = LeanMemoryGraph()

# Wrong argument types.
g.add_association(1, "b", "p", 0.5)  # E: arg-type
g.decay_and_prune("fast")  # E: arg-type
g.get_graph_data_for_project(None)  # E: arg-type
g.save_to_json(Path("graph.json"))  # E: arg-type

# A float where a time (integer seconds) is expected.
g.strengthen_edge("a", "b", 1.5)  # E: arg-type
g.add_association("a", "b", "p", 0.5, current_time=3600.0)  # E: arg-type

# An int where a landmark or usefulness flag is expected.
g.add_association("a", "b", "p", 0.5, is_landmark=1)  # E: arg-type
g.record_feedback("a", "b", 1, 0)  # E: arg-type

# Missing arguments, too many, and a keyword for a positional-only `from`.
g.add_association("a", "b", "p")  # E: call-arg
g.spread_activation(["a"], "p")  # E: call-arg
g.node_count(1)  # E: call-arg
g.strengthen_edge(from_="a", to="b", current_time=0)  # E: call-arg

# A lone str where a list of names is expected.
g.spread_activation("a", "p", 0)  # E: arg-type
g.cluster_label("hub")  # E: arg-type
g.get_cluster_density("ab", "p")  # E: arg-type
g.get_concepts_for_insight("a", "p")  # E: arg-type

# A result assigned to the wrong type.
count: str = g.node_count()  # E: assignment
flat: list[str] = g.detect_clusters("p", 0.2)  # E: assignment
energies: dict[str, int] = g.spread_activation(["a"], "p", 0)  # E: assignment
copy: str = LeanMemoryGraph.load_from_json("graph.json")  # E: assignment
nothing: int = g.add_association("a", "b", "p", 0.5)  # E: func-returns-value, assignment

# Methods that do not exist.
g.add_edge("a", "b")  # E: attr-defined
g.to_json()  # E: attr-defined

# Setting attributes: the class has no instance dictionary.
g.extra = 1  # E: attr-defined
g.node_count = lambda: 0  # E: method-assign

# Arguments to the constructor, and subclassing a final class.
LeanMemoryGraph(1)  # E: call-arg
LeanMemoryGraph(capacity=10)  # E: call-arg


class Bigger(LeanMemoryGraph):  # E: misc
    pass
