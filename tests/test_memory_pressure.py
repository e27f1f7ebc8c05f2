"""Running out of memory: under a lowered address-space limit every method that allocates
raises MemoryError and leaves the graph exactly as it was, and once the limit is lifted the
same call gives what it gives on a graph that never met the limit.

Each case runs in a child process (this file run as a script), which builds its graph,
then calls the method with the soft RLIMIT_AS set a little above the process's present
size: first with no room at all, then with more and more room until the call succeeds.
Every failure on the way must be a MemoryError after which the whole document of the
graph is unchanged; a failure in the middle of an operation is where a half-made change
would show. The child prints what it found as one JSON line for the test to judge.
"""

import ctypes
import gc
import hashlib
import json
import operator
import os
import random
import resource
import subprocess
import sys

import pytest

# Room over the process's size for successive attempts: none, then up to 256 MiB.
HEADROOMS = [0] + [1 << k for k in range(14, 29, 2)]
CONCEPTS = 10_000
ASSOCIATIONS = 50_000
PROJECTS = ("Global", "alpha", "beta", "gamma")


# -- the child -----------------------------------------------------------------------------


def concept_names():
    return [f"concept-{i:05d}-{'x' * (i % 7)}" for i in range(CONCEPTS)]


def build():
    """A graph with a few large hubs (about 100,000 entries, a 25 MB document); the same
    graph every time."""
    from recall_mesh import LeanMemoryGraph

    rnd = random.Random(20240611)
    names = concept_names()
    g = LeanMemoryGraph()
    for k in range(ASSOCIATIONS):
        a = k % CONCEPTS if k < CONCEPTS else int(CONCEPTS * rnd.random() ** 3)
        b = int(CONCEPTS * rnd.random() ** 3)
        g.add_association(names[a], names[b], PROJECTS[k % 4], rnd.uniform(0.0, 0.8),
                          1_700_000_000 + 3 * k, rnd.uniform(0.1, 1.0), k % 97 == 0)
    return g, names


def hubs(names, count=10):
    """The concepts drawn most often (small indexes, by the cube above)."""
    return names[:count]


def status_bytes(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def state(g):
    """The whole graph, as a digest of its document."""
    return (g.node_count(), g.edge_count(),
            hashlib.sha256(g.to_json_str().encode()).hexdigest())


class Limit:
    """Within it, the soft address-space limit is the process's present size plus
    `headroom`; the hard limit stays, so the soft one can be raised back."""

    def __init__(self, headroom):
        self.headroom = headroom

    def __enter__(self):
        gc.collect()
        ctypes.CDLL(None).malloc_trim(0)
        self.saved = resource.getrlimit(resource.RLIMIT_AS)
        soft = status_bytes("VmSize") + self.headroom
        if self.saved[1] != resource.RLIM_INFINITY:
            soft = min(soft, self.saved[1])
        resource.setrlimit(resource.RLIMIT_AS, (soft, self.saved[1]))

    def __exit__(self, *exc):
        resource.setrlimit(resource.RLIMIT_AS, self.saved)
        return False


def attempt(fn, headroom):
    """fn() under the limit: ("ok", result) or (the exception's class name, None)."""
    try:
        with Limit(headroom):
            result = fn()
        return "ok", result
    except BaseException as e:  # noqa: BLE001 - any escape is reported to the test
        return type(e).__name__, None


def sweep(g, call):
    """call(g) with more and more room until it succeeds. Returns the failures' classes,
    whether the graph was unchanged after each, and the successful result."""
    before = state(g) if g is not None else None
    failures, unchanged, result = [], [], None
    for headroom in HEADROOMS:
        outcome, result = attempt(lambda: call(g), headroom)
        if outcome == "ok":
            break
        failures.append(outcome)
        unchanged.append(g is None or state(g) == before)
    else:
        result = None
    return {"failures": failures, "unchanged": unchanged, "succeeded": outcome == "ok"}, result


def comparable(value):
    """Results as JSON can hold them: dicts and lists keep their content, order aside for
    dicts (their order is unspecified)."""
    if isinstance(value, dict):
        return sorted((k, comparable(v)) for k, v in value.items())
    if isinstance(value, list):
        return [comparable(v) for v in value]
    return value


def query_case(call):
    """A call that must not change the graph: its result under pressure, once it comes,
    is the unlimited one."""
    g, _ = build()
    report, result = sweep(g, call)
    report["same_result"] = comparable(result) == comparable(call(g))
    return report


def twin_case(call):
    """A call that changes the graph: once it succeeds, graph and result match a twin
    that made the call without a limit."""
    g, _ = build()
    report, result = sweep(g, call)
    twin, _ = build()
    report["same_result"] = comparable(result) == comparable(call(twin))
    report["same_graph"] = state(g) == state(twin)
    return report


def growth_case(add, rounds=60):
    """Fresh associations under a tight limit until one fails, then that call again without
    the limit, round after round, so that the failures fall on each of the store's
    growing parts in turn (names, concept slots, entry blocks, indexes). After every
    failure the counts, and at the end the whole document, equal those of a twin given
    the same calls without a limit."""
    g, names = build()
    rnd = random.Random(5)
    extra = []
    for k in range(200_000):
        old_a, old_b = names[int(CONCEPTS * rnd.random())], names[k % CONCEPTS]
        new_a, new_b = f"fresh-{k:07d}", f"fresh-{k:07d}-b"
        extra.append([(new_a, new_b), (new_a, old_b), (old_a, old_b)][k % 3])
    # The loop under the limit makes no object of its own (a counter would make an int
    # per call), so that what runs out of memory is the call, not the interpreter. The
    # room varies from round to round: with none, every round fails at the first thing a
    # call allocates; with some, later allocations of a call get their turn.
    twin, _ = build()
    calls, failures, unchanged, done = iter(extra), [], [], 0
    for _ in range(rounds):
        failed = None
        try:
            with Limit(rnd.randrange(0, 1 << 20, 4096)):
                for a, b in calls:
                    failed = (a, b)
                    add(g, a, b)
                failed = None
        except BaseException as e:  # noqa: BLE001
            failures.append(type(e).__name__)
        # The twin catches up with the calls that succeeded. A half-made association
        # shows in the counts now; the retry below would complete it and hide it.
        made = len(extra) - operator.length_hint(calls) - (failed is not None)
        for a, b in extra[done:made]:
            add(twin, a, b)
        unchanged.append((g.node_count(), g.edge_count()) ==
                         (twin.node_count(), twin.edge_count()))
        if failed is None:
            break
        add(g, *failed)
        add(twin, *failed)
        done = made + 1
    same = state(g) == state(twin)
    return {"failures": failures, "unchanged": unchanged, "same_graph": same,
            "succeeded": True}


def load_case(path):
    """load_from_json under pressure: each failure a MemoryError, and the graph that
    finally loads is the saved one."""
    from recall_mesh import LeanMemoryGraph

    g, _ = build()
    g.save_to_json(path)
    want = state(g)
    del g
    report, loaded = sweep(None, lambda _: LeanMemoryGraph.load_from_json(path))
    report["same_graph"] = loaded is not None and state(loaded) == want
    return report


def save_case(path):
    """save_to_json over an older document: a failed save leaves it byte for byte and no
    file beside it; the save that succeeds writes the graph's document."""
    from recall_mesh import LeanMemoryGraph

    old = LeanMemoryGraph()
    old.add_association("old", "document", "p", 0.5)
    old.save_to_json(path)
    old_bytes = open(path, "rb").read()
    g, _ = build()
    files = sorted(os.listdir(os.path.dirname(path)))
    report, _ = sweep(g, lambda g: g.save_to_json(path))
    after = open(path, "rb").read()
    report["same_file"] = after == (g.to_json_str().encode() if report["succeeded"] else old_bytes)
    report["no_stray_file"] = sorted(os.listdir(os.path.dirname(path))) == files
    return report


def child_case(case, arg):
    # Names as build() makes them, without building a graph whose freed memory would
    # give the calls under the limit room to spare.
    names = concept_names()
    seeds = hubs(names)
    queries = {
        "to_json_str": lambda g: g.to_json_str(),
        "get_graph_data": lambda g: g.get_graph_data(),
        "get_graph_data_for_project": lambda g: g.get_graph_data_for_project("alpha"),
        "detect_clusters": lambda g: g.detect_clusters("alpha", 0.3),
        "get_cluster_for_node": lambda g: g.get_cluster_for_node(seeds[0], "alpha"),
        "get_concepts_for_insight": lambda g: g.get_concepts_for_insight(seeds, "alpha"),
        "cluster_label": lambda g: g.cluster_label(names),
        "get_cluster_density": lambda g: g.get_cluster_density(names[:2000], "alpha"),
    }
    changes = {
        "spread_activation": lambda g: g.spread_activation(seeds, "alpha", 1_900_000_000),
        # Eleven strong passes take every entry but the landmarks to tier 10 and weight 0,
        # so the last one prunes nearly all and gives their blocks back.
        "decay_and_prune": lambda g: [g.decay_and_prune(1e30) for _ in range(11)],
    }
    growth = {
        "add_association": lambda g, a, b: g.add_association(a, b, "beta", 0.3, 5, 0.5, False),
        "_upsert_edge": lambda g, a, b: g._upsert_edge(a, b, "beta", 0.3, 5, 0.5, False),
    }
    if case in queries:
        return query_case(queries[case])
    if case in changes:
        return twin_case(changes[case])
    if case in growth:
        return growth_case(growth[case])
    if case == "load_from_json":
        return load_case(arg)
    if case == "save_to_json":
        return save_case(arg)
    raise SystemExit(f"unknown case {case}")


# -- the tests -----------------------------------------------------------------------------

# Calls whose work grows with the graph: with no room at all they cannot succeed.
MUST_FAIL = ["to_json_str", "get_graph_data", "get_graph_data_for_project", "detect_clusters",
             "get_cluster_for_node", "get_concepts_for_insight", "spread_activation",
             "add_association", "_upsert_edge", "load_from_json"]
# Calls that may find all they need in memory the process already has.
MAY_FAIL = ["cluster_label", "get_cluster_density", "decay_and_prune", "save_to_json"]


def run_case(case, tmp_path):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), case,
                           str(tmp_path / "graph.json")], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, f"child died ({proc.returncode}): {proc.stderr[-2000:]}"
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("RESULT ")]
    assert lines, proc.stdout[-2000:] + proc.stderr[-2000:]
    return json.loads(lines[-1][len("RESULT "):])


def check(report):
    assert set(report["failures"]) <= {"MemoryError"}, report
    assert all(report["unchanged"]), report
    assert report["succeeded"], report
    for key in ("same_result", "same_graph", "same_file", "no_stray_file"):
        assert report.get(key, True), (key, report)


@pytest.mark.parametrize("case", MUST_FAIL)
def test_running_out_of_memory_raises_and_changes_nothing(case, tmp_path):
    report = run_case(case, tmp_path)
    check(report)
    assert report["failures"], f"{case} never ran out of memory: {report}"


@pytest.mark.parametrize("case", MAY_FAIL)
def test_small_allocations_fail_cleanly_or_succeed(case, tmp_path):
    check(run_case(case, tmp_path))


if __name__ == "__main__":
    # Blocks of 64 KiB and more each get a mapping of their own, given back when freed:
    # a large allocation then always needs new address space, instead of reusing a
    # vector's old buffer, and fails under the limit wherever the call makes it.
    M_MMAP_THRESHOLD = -3
    ctypes.CDLL(None).mallopt(M_MMAP_THRESHOLD, 1 << 16)
    print("RESULT " + json.dumps(child_case(sys.argv[1], sys.argv[2])), flush=True)
