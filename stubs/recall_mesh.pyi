"""An embeddable associative memory: a graph of weighted links between named concepts
that strengthens what is used and lets the rest fade.

Units throughout: times are integer seconds of the host's clock (the module reads no
clock; reinforcement takes effect at most once per 3600 s on each link); weights,
saliences and rates are floats, nominally 0.0 to 1.0, stored as 32-bit floats, so a
weight of 0.7 reads back as 0.699999988079071. Links belong to a project; queries for a
project also see the links of the shared project "Global".
"""

from typing import TypeAlias, final

__all__ = ["LeanMemoryGraph"]

# Any list or tuple of names. A lone str is refused at run time, so it is refused here
# too (a str would pass as Sequence[str]).
_Names: TypeAlias = list[str] | tuple[str, ...]

@final
class LeanMemoryGraph:
    """An in-memory association graph. `LeanMemoryGraph()` takes no arguments and starts
    empty; `LeanMemoryGraph.load_from_json(path)` returns a graph read from a file.

    Each association is two directed links (a -> b and b -> a) that change independently.
    Every call runs under the interpreter lock; calls on one graph never overlap.
    """

    def node_count(self) -> int:
        """The number of concepts in the graph. Changes nothing."""

    def edge_count(self) -> int:
        """The number of directed links: an association between two concepts counts 2,
        a concept associated with itself counts 1. Changes nothing."""

    def save_to_json(self, path: str) -> None:
        """Write the whole graph as one JSON document to the file `path`, replacing it.

        Changes nothing in the graph. Raises the matching OSError subclass when the file
        cannot be opened and IOError "Failed to save graph: ..." when writing fails.
        """

    def to_json_str(self) -> str:
        """Return the JSON document that `save_to_json` would write. Changes nothing."""

    @staticmethod
    def load_from_json(path: str) -> LeanMemoryGraph:
        """Read a JSON document written by `save_to_json` and return a new graph.

        Touches no existing graph. Raises the matching OSError subclass when the file
        cannot be opened and IOError when its content is not a graph document.
        """

    def get_graph_data(self) -> dict[str, dict[str, float]]:
        """Return every directed link of every project as {concept: {neighbour: weight}}.

        A fresh copy: changing it changes nothing in the graph. Keys come in no
        particular order.
        """

    def get_graph_data_for_project(self, project_id: str) -> dict[str, dict[str, float]]:
        """Like `get_graph_data`, but only the links of `project_id` and of "Global";
        concepts without such a link are left out. Changes nothing."""

    def add_association(
        self,
        concept_a: str,
        concept_b: str,
        project_id: str,
        initial_weight: float,
        current_time: int = 0,
        salience: float = 0.5,
        is_landmark: bool = False,
    ) -> None:
        """Link two concepts both ways in `project_id`, or re-affirm an existing link.

        A new link gets `initial_weight` + 0.2 (at most 1.0) and remembers `current_time`
        (seconds) as its creation time; an existing link gains 0.2 (at most 1.0) and keeps
        its project and creation time. `salience` (0.0 to 1.0) slows decay and raises the
        energy the link carries; it is only ever raised. `is_landmark=True` makes the link
        immune to decay for good.
        """

    def decay_and_prune(self, decay_rate: float) -> int:
        """Age every link that is not a landmark by one pass, then remove dead links.

        Each link loses `decay_rate` / (salience x decay resistance) of weight, never going
        below 0.0; a pass that leaves it below 0.1 moves it one tier colder (up to 10). A
        link dies at weight 0.0 in tier 10, and a concept left without links goes with it.
        Returns the number of directed links removed.
        """

    def spread_activation(
        self, starting_nodes: _Names, current_project: str, current_time: int
    ) -> dict[str, float]:
        """Recall: spread energy from `starting_nodes` over the links of `current_project`
        and "Global", and return {concept: energy} for the starting names (1.0) and every
        concept the energy activated, in no particular order.

        Learns from the recall: each link that carried energy 0.1 or more is reinforced
        (+0.15 weight, at most once per 3600 s of `current_time`), and a cold link (tier 8
        or more) that carried a little energy is woken: tier 0, weight 1.0.
        """

    def detect_clusters(self, project_id: str, min_weight: float) -> list[list[str]]:
        """Return the groups of two or more concepts joined by links of `project_id` or
        "Global" whose weight is at least `min_weight`. Changes nothing; groups and
        names come in no particular order."""

    def get_cluster_for_node(self, node: str, project_id: str) -> list[str]:
        """Return the cluster (links of weight 0.2 or more) that holds `node`, or [node]
        when it is in none. Changes nothing."""

    def cluster_label(self, cluster: _Names) -> str:
        """Return the hub of `cluster`: the name whose links, to any concept and in any
        project, weigh most in total; the earliest wins a tie, and an empty cluster
        gives "". Changes nothing."""

    def get_cluster_density(self, nodes: _Names, project_id: str) -> float:
        """Return the average weight of the links of `project_id` or "Global" between
        pairs of `nodes`, or 0.0 when no pair is linked. Changes nothing."""

    def get_concepts_for_insight(
        self, insight_concepts: _Names, project_id: str
    ) -> dict[str, float]:
        """Return {neighbour: strongest weight} for every concept outside
        `insight_concepts` that a link of `project_id` or "Global" joins to one of them.
        Changes nothing."""

    def record_feedback(
        self, concept_a: str, concept_b: str, was_useful: bool, current_time: int
    ) -> None:
        """Report whether a recall through the link between two concepts helped.

        Counts the retrieval on both directions. A useful one also counts as useful and
        reinforces the link (+0.15 weight, at most once per 3600 s of `current_time`); a
        useless one takes 0.05 of weight, never below 0.1. A pair without a link is
        ignored.
        """

    def _upsert_edge(
        self,
        a: str,
        b: str,
        pid: str,
        weight: float,
        current_time: int,
        salience: float,
        is_landmark: bool,
    ) -> None:
        """Internal: `add_association` for the one direction a -> b."""

    def promote_and_strengthen(self, from_: str, /, to: str) -> None:
        """Wake the directed link from -> to: tier 0, weight 1.0, decay resistance x 1.5
        (at most 5.0). A missing link is ignored. `from` can only be passed by position."""

    def strengthen_edge(self, from_: str, /, to: str, current_time: int) -> None:
        """Reinforce the directed link from -> to: +0.15 weight (at most 1.0), unless it was
        reinforced in the last 3600 s of `current_time`. A missing link is ignored. `from`
        can only be passed by position."""
