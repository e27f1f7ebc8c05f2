"""The comparison baseline: LeanMemoryGraph written in plain Python.

The same operations with the same results as the native module, written the way a
competent Python developer would: a dict of dicts of small edge objects with __slots__,
and 32-bit float rounding through struct after every step, so both implementations
compute bit-identical weights. Neighbour dicts keep insertion order, as the native
store does, so spreading activation meets entries in the same order and the two agree
entry for entry.

Only the standard library is used, so tests can import this file without the benchmark
dependencies.
"""

from __future__ import annotations

import json
import math
import struct
from collections import deque

__all__ = ["LeanMemoryGraph", "MemoryEdge", "f32"]

_F32 = struct.Struct("<f")
_MASK64 = (1 << 64) - 1
_COUNT_MAX = 0xFFFFFFFF


def f32(x: float) -> float:
    """Rounds a double to the nearest 32-bit float (out of range becomes infinite)."""
    try:
        return _F32.unpack(_F32.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def _div(a: float, b: float) -> float:
    """IEEE division: a zero divisor gives an infinity (or NaN) instead of raising."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def _cap(x: float, c: float) -> float:
    return x if x < c else c


def _floor(x: float, f: float) -> float:
    return x if x > f else f


def _finite_or_none(x: float):
    # JSON has no form for NaN and the infinities.
    return x if x - x == 0.0 else None


ASSOCIATION_GAIN = f32(0.2)
ASSOCIATION_RESISTANCE_GAIN = f32(0.1)
ASSOCIATION_RESISTANCE_CAP = 3.0
REINFORCEMENT_GAIN = f32(0.15)
REINFORCEMENT_RESISTANCE_GAIN = 0.5
RESISTANCE_CAP = 5.0
PROMOTION_FACTOR = 1.5
WEIGHT_CAP = 1.0
COOL_DOWN = 3600
PENALTY = f32(0.05)
PENALTY_FLOOR = f32(0.1)
SALIENCE_FLOOR = f32(0.1)
WEAK_WEIGHT = f32(0.1)
COLDEST_TIER = 10
ACTIVATION_THRESHOLD = f32(0.1)
PROMOTION_FLOOR = f32(0.05)
DORMANT_TIER = 7  # tiers above this may be promoted
CLUSTER_THRESHOLD = f32(0.2)
GLOBAL = "Global"

_FIELDS = (
    "weight",
    "latency_tier",
    "decay_resistance",
    "project_id",
    "last_strengthened",
    "created_at",
    "is_landmark",
    "salience",
    "retrieval_count",
    "useful_count",
)
_REQUIRED = _FIELDS[:5]
_DEFAULTS = {
    "created_at": 0,
    "is_landmark": False,
    "salience": 0.5,
    "retrieval_count": 0,
    "useful_count": 0,
}


class MemoryEdge:
    """One directed entry concept -> neighbour."""

    __slots__ = _FIELDS

    def __init__(
        self,
        weight,
        latency_tier,
        decay_resistance,
        project_id,
        last_strengthened,
        created_at,
        is_landmark,
        salience,
        retrieval_count,
        useful_count,
    ):
        self.weight = weight
        self.latency_tier = latency_tier
        self.decay_resistance = decay_resistance
        self.project_id = project_id
        self.last_strengthened = last_strengthened
        self.created_at = created_at
        self.is_landmark = is_landmark
        self.salience = salience
        self.retrieval_count = retrieval_count
        self.useful_count = useful_count

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name in _FIELDS}


def _reinforce(e: MemoryEdge, now: int) -> None:
    if (now - e.last_strengthened) & _MASK64 <= COOL_DOWN:
        return
    e.weight = _cap(f32(e.weight + REINFORCEMENT_GAIN), WEIGHT_CAP)
    e.decay_resistance = _cap(
        f32(e.decay_resistance + REINFORCEMENT_RESISTANCE_GAIN), RESISTANCE_CAP
    )
    e.last_strengthened = now


def _promote(e: MemoryEdge) -> None:
    e.latency_tier = 0
    e.decay_resistance = _cap(f32(e.decay_resistance * PROMOTION_FACTOR), RESISTANCE_CAP)
    e.weight = WEIGHT_CAP


def _feedback(e: MemoryEdge, was_useful: bool, now: int) -> None:
    # Counters stop at the top, as the native store's do.
    if e.retrieval_count < _COUNT_MAX:
        e.retrieval_count += 1
    if not was_useful:
        e.weight = _floor(f32(e.weight - PENALTY), PENALTY_FLOOR)
        return
    if e.useful_count < _COUNT_MAX:
        e.useful_count += 1
    _reinforce(e, now)


class LeanMemoryGraph:
    """concept -> neighbour -> MemoryEdge, with the learning steps and the queries."""

    __slots__ = ("adj", "last_scanned")

    def __init__(self):
        self.adj: dict[str, dict[str, MemoryEdge]] = {}
        # Entries looked at by the last spread_activation, for the benchmark's per-entry cost.
        self.last_scanned = 0

    # -- counts -------------------------------------------------------------------------

    def node_count(self) -> int:
        return len(self.adj)

    def edge_count(self) -> int:
        return sum(map(len, self.adj.values()))

    # -- association, reinforcement, promotion -------------------------------------------

    def _upsert_edge(self, a, b, pid, weight, current_time, salience, is_landmark):
        salience = f32(salience)
        nbrs = self.adj.get(a)
        if nbrs is None:
            nbrs = self.adj[a] = {}
        e = nbrs.get(b)
        if e is None:
            e = nbrs[b] = MemoryEdge(
                f32(weight), 0, 1.0, pid, 0, current_time, is_landmark, salience, 0, 0
            )
        e.weight = _cap(f32(e.weight + ASSOCIATION_GAIN), WEIGHT_CAP)
        e.decay_resistance = _cap(
            f32(e.decay_resistance + ASSOCIATION_RESISTANCE_GAIN), ASSOCIATION_RESISTANCE_CAP
        )
        if salience > e.salience:
            e.salience = salience
        if is_landmark:
            e.is_landmark = True

    def add_association(
        self,
        concept_a,
        concept_b,
        project_id,
        initial_weight,
        current_time=0,
        salience=0.5,
        is_landmark=False,
    ):
        self._upsert_edge(
            concept_a, concept_b, project_id, initial_weight, current_time, salience, is_landmark
        )
        self._upsert_edge(
            concept_b, concept_a, project_id, initial_weight, current_time, salience, is_landmark
        )

    def strengthen_edge(self, from_, to, current_time):
        nbrs = self.adj.get(from_)
        e = nbrs.get(to) if nbrs else None
        if e is not None:
            _reinforce(e, current_time)

    def promote_and_strengthen(self, from_, to):
        nbrs = self.adj.get(from_)
        e = nbrs.get(to) if nbrs else None
        if e is not None:
            _promote(e)

    # -- feedback and decay ----------------------------------------------------------------

    def record_feedback(self, concept_a, concept_b, was_useful, current_time):
        adj = self.adj
        for x, y in ((concept_a, concept_b), (concept_b, concept_a)):
            nbrs = adj.get(x)
            e = nbrs.get(y) if nbrs else None
            if e is not None:
                _feedback(e, was_useful, current_time)

    def decay_and_prune(self, decay_rate) -> int:
        rate = f32(decay_rate)
        removed = 0
        empty = []
        for concept, nbrs in self.adj.items():
            dead = []
            for n, e in nbrs.items():
                if e.is_landmark:
                    continue
                s = e.salience
                s = s if s > SALIENCE_FLOOR else SALIENCE_FLOOR
                d = f32(_div(rate, f32(s * e.decay_resistance)))
                w = f32(e.weight - d)
                w = w if w > 0.0 else 0.0
                e.weight = w
                tier = e.latency_tier
                if w < WEAK_WEIGHT and tier < COLDEST_TIER:
                    tier += 1
                    e.latency_tier = tier
                if w <= 0.0 and tier >= COLDEST_TIER:
                    dead.append(n)
            if dead:
                removed += len(dead)
                for n in dead:
                    del nbrs[n]
            if not nbrs:
                empty.append(concept)
        for concept in empty:
            del self.adj[concept]
        return removed

    # -- spreading activation ----------------------------------------------------------------

    def spread_activation(self, starting_nodes, current_project, current_time) -> dict:
        adj = self.adj
        queue = deque()
        visited = set()
        activation = {}
        for s in starting_nodes:
            queue.append((s, 1.0))
            visited.add(s)
            activation[s] = 1.0
        reinforce = []
        promote = []
        scanned = 0
        while queue:
            node, energy = queue.popleft()
            nbrs = adj.get(node)
            if not nbrs:
                continue
            scanned += len(nbrs)
            for n, e in nbrs.items():
                pid = e.project_id
                if pid != current_project and pid != GLOBAL:
                    continue
                t = f32(f32(e.weight * energy) * e.salience)
                if t >= ACTIVATION_THRESHOLD:
                    reinforce.append((node, n))
                if n in visited:
                    continue
                if t < ACTIVATION_THRESHOLD and e.latency_tier > DORMANT_TIER and t >= PROMOTION_FLOOR:
                    promote.append((node, n))
                    visited.add(n)
                    queue.append((n, 1.0))
                elif t >= ACTIVATION_THRESHOLD:
                    visited.add(n)
                    activation[n] = t
                    queue.append((n, t))
        # The walk saw the graph unchanged; learning comes after it.
        for a, b in promote:
            self.promote_and_strengthen(a, b)
        for a, b in reinforce:
            self.strengthen_edge(a, b, current_time)
        self.last_scanned = scanned
        return activation

    # -- clusters ---------------------------------------------------------------------------

    def detect_clusters(self, project_id, min_weight) -> list:
        min_weight = f32(min_weight)
        if not self.adj:
            return []
        passing = {}
        for c, nbrs in self.adj.items():
            out = None
            for n, e in nbrs.items():
                pid = e.project_id
                if (pid == project_id or pid == GLOBAL) and e.weight >= min_weight:
                    if out is None:
                        out = passing[c] = []
                    out.append(n)
        queued = set()
        clusters = []
        for start in passing:
            if start in queued:
                continue
            queued.add(start)
            queue = deque((start,))
            cluster = []
            while queue:
                name = queue.popleft()
                cluster.append(name)
                for n in passing.get(name, ()):
                    if n not in queued:
                        queued.add(n)
                        queue.append(n)
            if len(cluster) >= 2:
                clusters.append(cluster)
        return clusters

    def get_cluster_for_node(self, node, project_id) -> list:
        for cluster in self.detect_clusters(project_id, CLUSTER_THRESHOLD):
            if node in cluster:
                return cluster
        return [node]

    def cluster_label(self, cluster) -> str:
        best, best_total = "", -1.0
        for name in cluster:
            total = 0.0
            for e in self.adj.get(name, {}).values():
                total = f32(total + e.weight)
            if total > best_total:
                best, best_total = name, total
        return best

    def get_cluster_density(self, nodes, project_id) -> float:
        if len(nodes) < 2 or not self.adj:
            return 0.0
        adj = self.adj
        total = 0.0
        count = 0
        for i in range(len(nodes) - 1):
            a = nodes[i]
            for j in range(i + 1, len(nodes)):
                b = nodes[j]
                for x, y in ((a, b), (b, a)):
                    nbrs = adj.get(x)
                    e = nbrs.get(y) if nbrs else None
                    if e is not None and (e.project_id == project_id or e.project_id == GLOBAL):
                        total = f32(total + e.weight)
                        count += 1
                        break
        return f32(total / f32(count)) if count else 0.0

    # -- insight neighbours and export ---------------------------------------------------------

    def get_concepts_for_insight(self, insight_concepts, project_id) -> dict:
        group = set(insight_concepts)
        result = {}
        if not insight_concepts or not self.adj:
            return result
        for c in insight_concepts:
            nbrs = self.adj.get(c)
            if nbrs is None:
                continue
            for n, e in nbrs.items():
                pid = e.project_id
                if (pid != project_id and pid != GLOBAL) or n in group:
                    continue
                w = e.weight
                v = result.get(n)
                # A NaN never hides a number, and a number replaces a stored NaN.
                if v is None or v != v or w > v:
                    result[n] = w
        return result

    def get_graph_data(self) -> dict:
        return {
            c: {n: e.weight for n, e in nbrs.items()} for c, nbrs in self.adj.items()
        }

    def get_graph_data_for_project(self, project_id) -> dict:
        result = {}
        for c, nbrs in self.adj.items():
            inner = {
                n: e.weight
                for n, e in nbrs.items()
                if e.project_id == project_id or e.project_id == GLOBAL
            }
            if inner:
                result[c] = inner
        return result

    # -- persistence ----------------------------------------------------------------------------

    def to_document(self) -> dict:
        """The graph document as nested dicts (non-finite floats become None)."""
        adj = {}
        for c, nbrs in self.adj.items():
            adj[c] = {
                n: {
                    "created_at": e.created_at,
                    "decay_resistance": _finite_or_none(e.decay_resistance),
                    "is_landmark": e.is_landmark,
                    "last_strengthened": e.last_strengthened,
                    "latency_tier": e.latency_tier,
                    "project_id": e.project_id,
                    "retrieval_count": e.retrieval_count,
                    "salience": _finite_or_none(e.salience),
                    "useful_count": e.useful_count,
                    "weight": _finite_or_none(e.weight),
                }
                for n, e in nbrs.items()
            }
        return {"graph": {"adj": adj}, "version": 2}

    def to_json_str(self) -> str:
        return json.dumps(
            self.to_document(), sort_keys=True, separators=(",", ":"), ensure_ascii=False
        )

    def save_to_json(self, path) -> None:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(
                self.to_document(), f, sort_keys=True, separators=(",", ":"), ensure_ascii=False
            )

    @staticmethod
    def load_from_json(path) -> "LeanMemoryGraph":
        with open(path, "rb") as f:
            doc = json.load(f)
        return LeanMemoryGraph.from_document(doc)

    @staticmethod
    def from_document(doc) -> "LeanMemoryGraph":
        version = doc.get("version") if isinstance(doc, dict) else None
        if type(version) is int and version >= 0:
            version %= 1 << 32
            if version > 2:
                raise IOError(f"Graph v{version} is newer than engine v2. Please update.")
            graph = doc.get("graph")
        else:
            graph = doc
        if isinstance(graph, list):
            if len(graph) != 1:
                raise IOError(f"Failed to parse graph: invalid length {len(graph)}")
            adj_doc = graph[0]
        elif isinstance(graph, dict):
            if "adj" not in graph:
                raise IOError("Failed to parse graph: missing field `adj`")
            adj_doc = graph["adj"]
        else:
            raise IOError("Failed to parse graph: expected struct LeanMemoryGraph")
        g = LeanMemoryGraph()
        for c, nbrs in adj_doc.items():
            g.adj[c] = {n: _edge_from_document(v) for n, v in nbrs.items()}
        return g


def _edge_from_document(v) -> MemoryEdge:
    if isinstance(v, list):
        if not 5 <= len(v) <= 10:
            raise IOError(f"Failed to parse graph: invalid length {len(v)}")
        fields = dict(_DEFAULTS)
        fields.update(zip(_FIELDS, v))
    else:
        for key in _REQUIRED:
            if key not in v:
                raise IOError(f"Failed to parse graph: missing field `{key}`")
        fields = {**_DEFAULTS, **v}
    return MemoryEdge(
        f32(fields["weight"]),
        fields["latency_tier"],
        f32(fields["decay_resistance"]),
        fields["project_id"],
        fields["last_strengthened"],
        fields["created_at"],
        fields["is_landmark"],
        f32(fields["salience"]),
        fields["retrieval_count"],
        fields["useful_count"],
    )
