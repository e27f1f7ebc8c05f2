"""Learning and recall through the interface: spreading activation and what it reinforces
or promotes, feedback, and decay with pruning. Graphs with exact field values (tiers,
times, counts) are set up by loading a document, and read back through to_json_str."""

import json
import struct

import pytest

from recall_mesh import LeanMemoryGraph
from conftest import add32, f32, snapshot

NOW = 10_000  # late enough for the first reinforcement of a fresh entry


def mul32(a, b):
    return f32(f32(a) * f32(b))


def div32(a, b):
    return f32(f32(a) / f32(b))


def step_down(x):
    """The 32-bit float just below the 32-bit float nearest to x."""
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    return struct.unpack("<f", struct.pack("<I", bits - 1))[0]


def entry(weight, **fields):
    values = {
        "weight": weight, "latency_tier": 0, "decay_resistance": 1.1, "project_id": "p",
        "last_strengthened": 0, "created_at": 0, "is_landmark": False, "salience": 0.5,
        "retrieval_count": 0, "useful_count": 0,
    }
    values.update(fields)
    return values


def load(tmp_path, adj):
    """A graph holding exactly `adj` ({concept: {neighbour: entry(...)}})."""
    path = tmp_path / "graph.json"
    path.write_text(json.dumps({"graph": {"adj": adj}, "version": 2}))
    return LeanMemoryGraph.load_from_json(str(path))


def link(adj, a, b, weight, **fields):
    adj.setdefault(a, {})[b] = entry(weight, **fields)
    adj.setdefault(b, {})[a] = entry(weight, **fields)


def stored(graph):
    return json.loads(graph.to_json_str())["graph"]["adj"]


@pytest.fixture
def chain(tmp_path):
    """A - B - C - D in project "p", both directions, weight 0.8, salience 0.5. Call with
    extra entries {(from, to): fields} to change or add entries."""
    def build(**overrides):
        adj = {}
        for a, b in (("A", "B"), ("B", "C"), ("C", "D")):
            link(adj, a, b, 0.8)
        for (a, b), fields in overrides.get("entries", {}).items():
            adj.setdefault(a, {})[b] = entry(fields.pop("weight", 0.8), **fields)
        return load(tmp_path, adj)
    return build


# ----- spreading activation: energies ---------------------------------------------------

def test_chain_energies_and_the_directions_reinforced(chain):
    graph = chain()
    result = graph.spread_activation(["A"], "p", NOW)
    assert result == {"A": 1.0, "B": 0.4000000059604645, "C": 0.1600000113248825}
    assert all(type(v) is float for v in result.values())
    adj = stored(graph)
    reinforced = {(a, b) for a in adj for b in adj[a] if adj[a][b]["last_strengthened"] == NOW}
    assert reinforced == {("A", "B"), ("B", "A"), ("B", "C")}, "C->B and C->D carry 0.064"
    assert adj["A"]["B"]["weight"] == add32(0.8, 0.15)
    assert adj["A"]["B"]["decay_resistance"] == add32(1.1, 0.5)


@pytest.mark.parametrize("tier", [7, 8, 10])
def test_dormant_entry_wakes_its_neighbour_without_returning_it(chain, tier):
    graph = chain(entries={("C", "D"): {"latency_tier": tier}, ("D", "E"): {}})
    result = graph.spread_activation(["A"], "p", NOW)
    adj = stored(graph)
    if tier == 7:
        assert "E" not in result and "D" not in result
        assert adj["C"]["D"]["latency_tier"] == 7 and adj["C"]["D"]["weight"] == f32(0.8)
        return
    assert result == {"A": 1.0, "B": 0.4000000059604645, "C": 0.1600000113248825,
                      "E": 0.4000000059604645}, "D spreads from 1.0 but is not returned"
    promoted = adj["C"]["D"]
    assert (promoted["latency_tier"], promoted["weight"]) == (0, 1.0)
    assert promoted["decay_resistance"] == mul32(1.1, 1.5)
    assert promoted["last_strengthened"] == 0
    assert adj["D"]["C"]["last_strengthened"] == NOW, "D->C carries 0.4 back into C"


def test_thresholds_are_met_exactly(tmp_path):
    graph = load(tmp_path, {"S": {
        "at": entry(0.2),  # carries exactly the 32-bit 0.1
        "below": entry(step_down(0.2)),
        "floor": entry(0.1, latency_tier=8),  # carries exactly the 32-bit 0.05
        "under": entry(step_down(0.1), latency_tier=8),
    }})
    assert graph.spread_activation(["S"], "p", NOW) == {"S": 1.0, "at": 0.10000000149011612}
    adj = stored(graph)
    assert adj["S"]["at"]["last_strengthened"] == NOW
    assert adj["S"]["below"]["last_strengthened"] == 0
    assert adj["S"]["floor"]["latency_tier"] == 0
    assert adj["S"]["under"]["latency_tier"] == 8


def test_first_arrival_wins(tmp_path):
    graph = load(tmp_path, {
        "S": {"strong": entry(1.0, salience=1.0), "X": entry(0.4),
              "dormant": entry(0.1, latency_tier=9)},
        "strong": {"X": entry(1.0, salience=1.0), "dormant": entry(1.0, salience=1.0)},
    })
    result = graph.spread_activation(["S"], "p", NOW)
    assert result == {"S": 1.0, "strong": 1.0, "X": mul32(0.4, 0.5)}, \
        "a stronger later path neither replaces nor adds to the first arrival"
    adj = stored(graph)
    assert adj["strong"]["X"]["last_strengthened"] == NOW, "the later path still carried energy"
    assert adj["S"]["dormant"]["latency_tier"] == 0


# ----- spreading activation: arguments ---------------------------------------------------

def test_starting_names_of_every_kind(chain):
    graph = chain()
    before = snapshot(graph)
    assert graph.spread_activation([], "p", NOW) == {}
    assert graph.spread_activation(("ghost", "ghost"), "p", NOW) == {"ghost": 1.0}
    assert snapshot(graph) == before, "unknown names change nothing"
    result = graph.spread_activation(["A", "A", "ghost"], "nowhere", NOW)
    assert result == {"A": 1.0, "ghost": 1.0}
    assert snapshot(graph) == before, "an unknown project sees no entry"
    graph.spread_activation(["A", "A"], "p", NOW)
    assert stored(graph)["A"]["B"]["weight"] == add32(0.8, 0.15), "scanned twice, reinforced once"
    assert graph.spread_activation(["A", "B"], "p", NOW + 5000)["B"] == 1.0


def test_project_filter_takes_the_project_and_global(tmp_path):
    adj = {}
    for name, project in (("mine", "p"), ("shared", "Global"), ("other", "q"), ("case", "global")):
        link(adj, "S", name, 0.8, project_id=project)
    e = 0.4000000059604645
    for project, want in (("p", {"mine", "shared"}), ("Global", {"shared"}), ("zzz", {"shared"})):
        graph = load(tmp_path, adj)
        result = graph.spread_activation(["S"], project, NOW)
        assert result == {"S": 1.0, **{n: e for n in want}}, project
        s = stored(graph)["S"]
        assert {n for n in s if s[n]["last_strengthened"] == NOW} == want, project


def test_nan_and_negative_entries_carry_nothing(tmp_path):
    graph = load(tmp_path, {"S": {"neg": entry(-0.8, latency_tier=9),
                                  "big": entry(4.0, salience=1.0)}})
    graph._upsert_edge("S", "nan", "p", 0.5, 0, float("nan"), False)  # a document cannot hold NaN
    assert graph.spread_activation(["S"], "p", NOW) == {"S": 1.0, "big": 4.0}, "nothing is clamped"
    assert stored(graph)["S"]["neg"]["latency_tier"] == 9


# ----- spreading activation: learning across calls --------------------------------------

def test_cool_down_across_repeated_spreads(chain):
    graph = chain()
    graph.spread_activation(["A"], "p", NOW)
    once = add32(0.8, 0.15)
    b = mul32(once, 0.5)
    second = graph.spread_activation(["A"], "p", NOW + 3600)
    assert second == {"A": 1.0, "B": b, "C": mul32(mul32(once, b), 0.5)}, "uses the new weights"
    adj = stored(graph)
    assert adj["A"]["B"]["weight"] == once and adj["A"]["B"]["last_strengthened"] == NOW
    graph.spread_activation(["A"], "p", NOW + 3601)
    adj = stored(graph)
    assert (adj["A"]["B"]["weight"], adj["B"]["C"]["weight"]) == (1.0, 1.0)
    assert graph.spread_activation(["A"], "p", NOW + 3601) == {
        "A": 1.0, "B": 0.5, "C": 0.25, "D": 0.10000000149011612}, "reaches farther"


# ----- feedback ---------------------------------------------------------------------------

def test_feedback_visits_a_self_association_twice(tmp_path):
    graph = load(tmp_path, {"s": {"s": entry(0.5)}})
    graph.record_feedback("s", "s", True, NOW)
    e = stored(graph)["s"]["s"]
    assert (e["retrieval_count"], e["useful_count"]) == (2, 2)
    assert e["decay_resistance"] == add32(1.1, 0.5), "the second visit is inside the cool-down"
    graph.record_feedback("s", "s", False, NOW)
    e = stored(graph)["s"]["s"]
    assert (e["retrieval_count"], e["useful_count"]) == (4, 2)
    assert e["weight"] == add32(add32(0.5, 0.15), -0.05, -0.05), "the penalty applies twice"


def test_feedback_reaches_each_stored_direction_and_creates_nothing(tmp_path):
    graph = load(tmp_path, {"a": {"b": entry(0.5)}})
    graph.record_feedback("b", "a", True, 3600)
    graph.record_feedback("a", "b", True, 3601)
    e = stored(graph)["a"]["b"]
    assert (e["retrieval_count"], e["useful_count"]) == (2, 2)
    assert e["weight"] == add32(0.5, 0.15), "3600 after 0 only counts; 3601 reinforces"
    before = snapshot(graph)
    graph.record_feedback("a", "nobody", True, NOW)
    graph.record_feedback("x", "y", False, NOW)
    assert snapshot(graph) == before


@pytest.mark.parametrize("before, after", [(0.5, add32(0.5, -0.05)), (0.12, f32(0.1)),
                                            (0.05, f32(0.1)), (0.0, f32(0.1))])
def test_useless_feedback_never_goes_below_the_floor(tmp_path, before, after):
    graph = load(tmp_path, {"a": {"b": entry(before)}})
    graph.record_feedback("a", "b", False, NOW)
    assert stored(graph)["a"]["b"]["weight"] == after


def test_feedback_counters_saturate(tmp_path):
    top = 2**32 - 1
    graph = load(tmp_path, {"a": {"b": entry(0.5, retrieval_count=top - 1, useful_count=top - 1)}})
    for useful in (True, True, False):
        graph.record_feedback("a", "b", useful, NOW)
    e = stored(graph)["a"]["b"]
    assert (e["retrieval_count"], e["useful_count"]) == (top, top), "never wraps back to 0"


# ----- decay and pruning ------------------------------------------------------------------

def test_death_comes_with_the_tenth_weak_pass(graph):
    graph.add_association("a", "b", "p", 0.5, 0, 0.05)  # salience 0.05 counts as 0.1
    graph.add_association("keep", "me", "p", 0.5, 0, 0.5, True)
    for n in range(1, 10):
        assert graph.decay_and_prune(0.1) == 0, n
        assert stored(graph)["a"]["b"]["latency_tier"] == n
        assert stored(graph)["a"]["b"]["weight"] == 0.0
    assert graph.decay_and_prune(0.1) == 2, "both directions die together and count 2"
    assert (graph.node_count(), graph.edge_count()) == (2, 2)
    assert graph.get_graph_data() == {"keep": {"me": add32(0.5, 0.2)}, "me": {"keep": add32(0.5, 0.2)}}


def test_landmarks_never_decay(tmp_path):
    graph = load(tmp_path, {"a": {"b": entry(0.0, latency_tier=10, is_landmark=True),
                                  "c": entry(0.7, is_landmark=True)}})
    before = snapshot(graph)
    for rate in (0.5, float("inf"), float("nan"), -1.0):
        assert graph.decay_and_prune(rate) == 0
    assert snapshot(graph) == before


def test_decay_formula(tmp_path):
    graph = load(tmp_path, {"a": {"plain": entry(0.5, decay_resistance=1.0),
                                  "faint": entry(0.5, salience=0.05, decay_resistance=1.0),
                                  "weak": entry(0.05)}})
    graph.decay_and_prune(0.0)
    adj = stored(graph)["a"]
    assert (adj["weak"]["weight"], adj["plain"]["weight"]) == (f32(0.05), 0.5), \
        "a rate of 0 leaves weights alone"
    assert [adj[n]["latency_tier"] for n in ("plain", "faint", "weak")] == [0, 0, 1], \
        "but still counts the weak pass"
    graph.decay_and_prune(0.1)
    adj = stored(graph)["a"]
    assert adj["plain"]["weight"] == add32(0.5, -div32(0.1, mul32(0.5, 1.0))) == f32(0.3)
    assert adj["faint"]["weight"] == 0.0
    assert [adj[n]["latency_tier"] for n in ("plain", "faint", "weak")] == [0, 1, 2]
    graph.decay_and_prune(-1.0)
    assert stored(graph)["a"]["plain"]["weight"] > 1.0, "a negative rate raises without a cap"
    graph.decay_and_prune(float("nan"))
    assert {n: e["weight"] for n, e in stored(graph)["a"].items()} == dict.fromkeys(adj, 0.0)


def test_pass_two_removes_concepts_left_without_entries(tmp_path):
    graph = load(tmp_path, {
        "dying": {"hub": entry(0.0, latency_tier=10), "gone": entry(0.0, latency_tier=9)},
        "hub": {"dying": entry(0.7)},
        "lonely": {},
    })
    assert graph.node_count() == 3
    assert graph.decay_and_prune(0.0) == 2
    assert graph.node_count() == 1, "the emptied concept and the one empty before both go"
    assert graph.get_graph_data() == {"hub": {"dying": f32(0.7)}}, "the mirror entry survives"
