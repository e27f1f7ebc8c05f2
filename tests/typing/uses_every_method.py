"""Every method of LeanMemoryGraph called as a host would, with each result kept in a
variable of the type it has. mypy --strict must accept this file as it stands, and the
tests also run it, so it stays a real program."""

import os
import sys
import tempfile

from recall_mesh import LeanMemoryGraph


def main(directory: str) -> None:
    graph = LeanMemoryGraph()
    graph.add_association("coffee", "morning", "home", 0.5)
    graph.add_association("coffee", "cup", "home", 0.4, 100, 0.9, True)
    graph.add_association(
        concept_a="cup",
        concept_b="kitchen",
        project_id="Global",
        initial_weight=1,  # an int is a valid weight
        current_time=200,
        salience=0.5,
        is_landmark=False,
    )
    graph._upsert_edge("morning", "alarm", "home", 0.3, 300, 0.5, False)
    graph.strengthen_edge("coffee", "morning", 7200)
    graph.strengthen_edge("coffee", "morning", current_time=14400)
    graph.promote_and_strengthen("morning", "alarm")
    graph.record_feedback("coffee", "cup", True, 10800)
    graph.record_feedback(concept_a="coffee", concept_b="morning", was_useful=False, current_time=0)

    energies: dict[str, float] = graph.spread_activation(["coffee"], "home", 20000)
    from_tuple: dict[str, float] = graph.spread_activation(("cup", "kitchen"), "home", 20001)
    clusters: list[list[str]] = graph.detect_clusters("home", 0.2)
    cluster: list[str] = graph.get_cluster_for_node("coffee", project_id="home")
    hub: str = graph.cluster_label(cluster)
    density: float = graph.get_cluster_density(("coffee", "cup", "morning"), "home")
    neighbours: dict[str, float] = graph.get_concepts_for_insight(["coffee"], "home")
    everything: dict[str, dict[str, float]] = graph.get_graph_data()
    home: dict[str, dict[str, float]] = graph.get_graph_data_for_project("home")
    pruned: int = graph.decay_and_prune(0.05)
    nodes: int = graph.node_count()
    edges: int = graph.edge_count()

    path = os.path.join(directory, "memory.json")
    graph.save_to_json(path)
    text: str = graph.to_json_str()
    loaded: LeanMemoryGraph = LeanMemoryGraph.load_from_json(path)
    also_loaded: LeanMemoryGraph = graph.load_from_json(path=path)

    assert loaded.to_json_str() == text == also_loaded.to_json_str()
    assert energies["coffee"] == 1.0 and set(from_tuple) >= {"cup", "kitchen"}
    assert hub in cluster and any(hub in c for c in clusters)
    assert 0.0 < density <= 1.0 and "morning" in neighbours
    assert set(home) <= set(everything) and pruned == 0 and edges >= nodes > 0


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        main(sys.argv[1] if len(sys.argv) > 1 else tmp)
