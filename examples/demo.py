"""A small host program: an assistant's memory of a software project.

It reads a few "notes", associates the concepts that occur together, recalls from a
context, reports which recalls helped, lets the memory age, asks about its structure,
and saves it. Run it with `bash scripts/demo.sh`.
"""

import itertools
import os
import tempfile

from recall_mesh import LeanMemoryGraph

HOUR = 3600

NOTES = [
    # (time, project, concepts that occurred together)
    (0, "backend", ["postgres", "connection pool", "timeouts"]),
    (600, "backend", ["timeouts", "retry policy", "circuit breaker"]),
    (1200, "backend", ["postgres", "migrations", "schema"]),
    (1800, "frontend", ["react", "state management", "redux"]),
    (2400, "frontend", ["react", "rendering", "memoization"]),
    (3000, "Global", ["code review", "testing"]),
    (3600, "Global", ["testing", "flaky tests", "timeouts"]),
]


def weights(graph, concept):
    """The weights of one concept's entries, rounded for display."""
    data = graph.get_graph_data()
    return {n: round(w, 3) for n, w in sorted(data.get(concept, {}).items())}


def section(title):
    print(f"\n== {title}")


def main():
    graph = LeanMemoryGraph()

    section("learning from notes")
    for time, project, concepts in NOTES:
        for a, b in itertools.combinations(concepts, 2):
            graph.add_association(a, b, project, 0.3, current_time=time)
    # A lesson the team never wants to forget.
    graph.add_association("postgres", "backups", "backend", 0.8, 0, 0.9, True)
    print(f"{graph.node_count()} concepts, {graph.edge_count()} directed entries")
    print("timeouts ->", weights(graph, "timeouts"))

    section("re-affirming and reinforcing")
    graph.add_association("postgres", "connection pool", "backend", 0.3)
    graph.strengthen_edge("timeouts", "retry policy", 2 * HOUR)
    graph.strengthen_edge("timeouts", "retry policy", 2 * HOUR + 60)  # cool-down: no effect
    graph.promote_and_strengthen("react", "memoization")
    print("postgres ->", weights(graph, "postgres"))
    print("timeouts ->", weights(graph, "timeouts"))
    print("react    ->", weights(graph, "react"))

    section("recall: spreading activation from the current context")
    context = ["timeouts", "postgres"]
    recalled = graph.spread_activation(context, "backend", 3 * HOUR)
    for concept, energy in sorted(recalled.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {energy:.3f}  {concept}")

    section("feedback on what helped")
    graph.record_feedback("timeouts", "circuit breaker", True, 4 * HOUR)
    graph.record_feedback("postgres", "schema", False, 4 * HOUR)
    print("timeouts ->", weights(graph, "timeouts"))
    print("postgres ->", weights(graph, "postgres"))

    section("forgetting: decay and prune")
    for day in range(1, 13):
        pruned = graph.decay_and_prune(0.1)
        if pruned:
            print(f"  pass {day}: pruned {pruned} entries")
    print(f"{graph.node_count()} concepts, {graph.edge_count()} directed entries remain")
    print("postgres ->", weights(graph, "postgres"), "(the landmark survives)")

    section("structure")
    graph.add_association("react", "hooks", "frontend", 0.6)
    graph.add_association("hooks", "state management", "frontend", 0.6)
    graph.add_association("react", "state management", "frontend", 0.6)
    for cluster in graph.detect_clusters("frontend", 0.2):
        print(f"  cluster {sorted(cluster)}: hub {graph.cluster_label(cluster)!r}, "
              f"density {graph.get_cluster_density(cluster, 'frontend'):.3f}")
    print("  cluster of 'hooks':", sorted(graph.get_cluster_for_node("hooks", "frontend")))
    neighbours = graph.get_concepts_for_insight(["react", "hooks"], "frontend")
    print("  insight neighbours:", {k: round(v, 3) for k, v in sorted(neighbours.items())})
    print("  frontend view:", sorted(graph.get_graph_data_for_project("frontend")))

    section("saving and loading")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "memory.json")
        graph.save_to_json(path)
        restored = LeanMemoryGraph.load_from_json(path)
        same = restored.to_json_str() == graph.to_json_str()
        print(f"  saved {os.path.getsize(path)} bytes; reloaded "
              f"{restored.node_count()} concepts, identical document: {same}")


if __name__ == "__main__":
    main()
