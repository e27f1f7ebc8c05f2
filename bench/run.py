"""Measures recall_mesh against the pure-Python baseline and the no-op module.

One run prints a markdown table of medians. Per-call figures come from loops of many
calls timed with time.perf_counter_ns; each loop gives one mean per call and the table
shows the median over --loops loops. Whole operations (a build, a decay pass, a save)
are timed one by one and the table shows the median over the stated repetitions.

Groups: foundation, learning, structure, persist (all by default). A group whose module
methods are not there yet is skipped with a note, and comparisons with the no-op module
`_recall_mesh_bench` are skipped while it is not built.

Usage (see bench/README.md):
    PYTHONPATH=build/bench/memory-graph/binding python bench/run.py --entries 2000000
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

# numpy (for the workload) would start BLAS worker threads that spin on the second core
# while the timed loops run; the workload needs none of them.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baseline  # noqa: E402
import workload  # noqa: E402

GROUPS = ("foundation", "learning", "structure", "persist")
NEEDS = {
    "foundation": ("add_association", "_upsert_edge", "strengthen_edge",
                   "promote_and_strengthen", "node_count", "edge_count"),
    "learning": ("add_association", "decay_and_prune", "spread_activation", "record_feedback"),
    "structure": ("add_association", "detect_clusters", "get_graph_data",
                  "get_concepts_for_insight", "get_cluster_density"),
    "persist": ("add_association", "save_to_json", "load_from_json"),
}
PROJECT = "alpha"  # the project asked for by the project-scoped queries
MIN_WEIGHT = 0.5  # detect_clusters' threshold
DECAY_RATE = 0.002

ns_now = time.perf_counter_ns


# -- measuring -----------------------------------------------------------------------------


def per_call_ns(fn, args: list[tuple], loops: int) -> float:
    """Median over `loops` loops of the mean ns per call of fn(*a) for a in args."""
    means = []
    for _ in range(loops):
        start = ns_now()
        for a in args:
            fn(*a)
        means.append((ns_now() - start) / len(args))
    return statistics.median(means)


def with_noop_ns(ctx, module, method: str, args: list[tuple],
                 loops: int) -> tuple[float, float | None]:
    """Per-call ns of the module's method and of the no-op's, their loops alternating, so
    that both see the machine in the same state (its speed drifts by tens of percent over
    a minute here). The no-op figure is None when the no-op module is not built."""
    fn = getattr(module, method)
    if not ctx.noop:
        return per_call_ns(fn, args, loops), None
    noop = getattr(ctx.noop, method)
    mine, theirs = [], []
    for _ in range(loops):
        mine.append(per_call_ns(fn, args, 1))
        theirs.append(per_call_ns(noop, args, 1))
    return statistics.median(mine), statistics.median(theirs)


def same_args_row(ctx, module, base, group, what, method, args: tuple, limit) -> None:
    """One call repeated with identical arguments on the module, the no-op and the
    baseline: the per-call overhead with everything the call touches in cache."""
    a = ctx.args
    calls = [args] * a.calls
    m_ns, noop_ns = with_noop_ns(ctx, module, method, calls, a.loops)
    b_ns = per_call_ns(getattr(base, method), calls, a.loops)
    overhead_row(ctx.report, group, f"{what}, the same arguments repeated, per call", m_ns,
                 noop_ns, limit, b_ns)


def per_run_ns(fn, reps: int, setup=None) -> float:
    """Median ns of `reps` single runs of fn(); setup() runs untimed before each."""
    runs = []
    for _ in range(reps):
        if setup:
            setup()
        gc.collect()
        start = ns_now()
        fn()
        runs.append(ns_now() - start)
    return statistics.median(runs)


def paired_run_ns(fn_a, reps_a: int, fn_b, reps_b: int, setup_a=None,
                  setup_b=None) -> tuple[float, float]:
    """per_run_ns of two operations with their runs alternating (a, b, a, b, ...), so
    that a ratio between them compares runs made under the same machine state."""
    runs_a, runs_b = [], []
    for i in range(max(reps_a, reps_b)):
        if i < reps_a:
            runs_a.append(per_run_ns(fn_a, 1, setup_a))
        if i < reps_b:
            runs_b.append(per_run_ns(fn_b, 1, setup_b))
    return statistics.median(runs_a), statistics.median(runs_b)


def status_kb(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def trim_heap() -> None:
    """Gives freed heap memory back to the system, so that RSS growth counts new memory."""
    import ctypes
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak_rss() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def fmt_ns(ns: float) -> str:
    if ns < 10_000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1_000_000_000:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


# -- the report ----------------------------------------------------------------------------


@dataclass
class Row:
    group: str
    what: str
    module: str
    other: str = ""
    ratio: str = ""
    target: str = ""
    met: str = ""


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def add(self, *args, **kw) -> None:
        row = Row(*args, **kw)
        self.rows.append(row)
        print(f"  {row.what}: {row.module} | {row.other} | {row.ratio} {row.met}", flush=True)

    def note(self, text: str) -> None:
        self.notes.append(text)
        print("  note:", text, flush=True)

    def markdown(self) -> str:
        out = ["| group | measurement | module | compared with | ratio | target | met |",
               "|---|---|---|---|---|---|---|"]
        for r in self.rows:
            out.append(f"| {r.group} | {r.what} | {r.module} | {r.other} | {r.ratio} | "
                       f"{r.target} | {r.met} |")
        if self.notes:
            out.append("")
            out.extend(f"- {n}" for n in self.notes)
        return "\n".join(out)


def verdict(ok: bool) -> str:
    return "yes" if ok else "**no**"


def speedup_row(report, group, what, module_ns, other_ns, other_name, need):
    """A row for a target of the form 'module at least `need` times faster'."""
    ratio = other_ns / module_ns
    report.add(group, what, fmt_ns(module_ns), f"{other_name} {fmt_ns(other_ns)}",
               faster(ratio), f">= {need:g}x faster" if need else "",
               verdict(ratio >= need) if need else "")


def faster(ratio: float) -> str:
    """How many times faster the module is, said as slower when it is not."""
    if ratio >= 1:
        return f"{ratio:.1f}x faster" if ratio >= 10 else f"{ratio:.2f}x faster"
    return f"{1 / ratio:.2f}x slower"


def overhead_row(report, group, what, module_ns, noop_ns, limit, baseline_ns=None):
    """A row for a target of the form 'within `limit` times the no-op call'."""
    other = f"no-op {fmt_ns(noop_ns)}" if noop_ns else "no-op: not built"
    if baseline_ns:
        other += f"; baseline {fmt_ns(baseline_ns)}"
    if noop_ns:
        ratio = module_ns / noop_ns
        report.add(group, what, fmt_ns(module_ns), other, f"{ratio:.2f}x the no-op",
                   f"<= {limit:g}x the no-op", verdict(ratio <= limit))
    else:
        report.add(group, what, fmt_ns(module_ns), other, "", f"<= {limit:g}x the no-op",
                   "skipped")


# -- the run -------------------------------------------------------------------------------


class Context:
    def __init__(self, args):
        self.args = args
        self.report = Report()
        print(f"generating the workload ({args.entries} entries)...", flush=True)
        self.work = workload.generate(args.entries, args.seed)
        self.calls = self.work.calls()
        self.rng = random.Random(args.seed)
        self.workload_file = None
        self.decay_module_ns = None
        self.noop_ns = {}  # per-call ns of the no-op on random existing pairs, by method
        try:
            import recall_mesh
            self.module = recall_mesh
            self.graph_class = getattr(recall_mesh, "LeanMemoryGraph", None)
        except ImportError as err:
            self.module, self.graph_class = None, None
            self.report.note(f"recall_mesh does not import ({err}); module figures skipped")
        try:
            import _recall_mesh_bench
            self.noop = _recall_mesh_bench.NoopGraph()
        except ImportError:
            self.noop = None
            self.report.note("_recall_mesh_bench is not built: no-op comparisons skipped")

    def missing(self, group: str) -> list[str]:
        if self.graph_class is None:
            return ["LeanMemoryGraph"]
        absent = [m for m in NEEDS[group] if not hasattr(self.graph_class, m)]
        if group == "persist" and not absent:
            # The methods exist before the document layer does: try a tiny round trip.
            g = self.graph_class()
            g.add_association("a", "b", "p", 0.5)
            with tempfile.TemporaryDirectory() as tmp:
                try:
                    g.save_to_json(f"{tmp}/probe.json")
                    if self.graph_class.load_from_json(f"{tmp}/probe.json").edge_count() != 2:
                        absent.append("a working load_from_json")
                except OSError as err:
                    absent.append(f"working save_to_json/load_from_json ({err})")
        return absent

    def build(self, graph):
        add = graph.add_association
        for c in self.calls:
            add(*c)
        return graph

    def fresh_module(self):
        gc.collect()
        return self.build(self.graph_class())

    def fresh_baseline(self):
        gc.collect()
        return self.build(baseline.LeanMemoryGraph())

    def ensure_workload_file(self) -> str:
        if self.workload_file is None:
            fd, path = tempfile.mkstemp(prefix="rm_workload_", suffix=".bin")
            os.close(fd)
            workload.write_binary(self.work, path)
            self.workload_file = path
        return self.workload_file

    def cpp(self, program: str, *extra) -> dict | None:
        exe = Path(self.args.bench_dir) / "bench" / program
        if not exe.exists():
            self.report.note(f"{exe} is not built (configure with -DRECALL_MESH_BENCH=ON)")
            return None
        out = subprocess.run([str(exe), self.ensure_workload_file(), *map(str, extra)],
                             capture_output=True, text=True, check=True).stdout
        return {k: float(v) for k, v in (line.split() for line in out.splitlines() if line)}

    def hubs(self) -> list[str]:
        """Ten of the strongest hubs: the seeds of the timed spreads."""
        deg = workload.degrees(self.work)
        return [self.work.names[i] for i in deg.argsort()[::-1][:10].tolist()]

    def query_parts(self) -> dict | None:
        """The C++ side of clusters, export and the spread's traversal (bench_query_parts),
        run once; the spread's graph state matches the learning group's."""
        if not hasattr(self, "_query_parts"):
            a = self.args
            self._query_parts = self.cpp("bench_query_parts", max(a.reps, a.baseline_reps),
                                         PROJECT, MIN_WEIGHT, *self.hubs())
        return self._query_parts

    def sample(self, n: int) -> list[tuple]:
        return [self.calls[self.rng.randrange(len(self.calls))] for _ in range(n)]

    def groups_of(self, size: int, n: int) -> list[tuple]:
        names = self.work.names
        return [([names[self.rng.randrange(len(names))] for _ in range(size)], PROJECT)
                for _ in range(n)]


def run_foundation(ctx: Context) -> None:
    r, a, g = ctx.report, ctx.args, "foundation"
    n = len(ctx.calls)
    holder = {}

    def build_module():
        holder["m"] = ctx.build(ctx.graph_class())

    def build_baseline():
        holder["b"] = ctx.build(baseline.LeanMemoryGraph())

    m_ns, b_ns = paired_run_ns(build_module, a.reps, build_baseline, a.baseline_reps,
                               lambda: holder.pop("m", None), lambda: holder.pop("b", None))
    speedup_row(r, g, f"build, {n:,} add_association calls (median of {a.reps} / "
                f"{a.baseline_reps})", m_ns, b_ns, "baseline", 30)
    module, base = holder["m"], holder["b"]
    assert module.edge_count() == base.edge_count(), "module and baseline built different graphs"
    if ctx.noop:
        # The ceiling of the build's ratio: the same loop on the no-op twin, which parses and
        # converts every argument and does nothing else.
        noop_build_ns = per_run_ns(lambda: ctx.build(ctx.noop), a.reps)
        speedup_row(r, g, f"build's ceiling: the same {n:,} calls on the no-op, which does "
                    "nothing with them", noop_build_ns, b_ns, "baseline", 0)

    k = a.calls
    existing = ctx.sample(k)
    four = [c[:4] for c in existing]  # concept_a, concept_b, project_id, initial_weight
    m_ns, noop_ns = with_noop_ns(ctx, module, "add_association", four, a.loops)
    ctx.noop_ns["add_association"] = noop_ns
    b_ns = per_call_ns(base.add_association, four, a.loops)
    overhead_row(r, g, "add_association(a, b, project, weight), existing pair, per call",
                 m_ns, noop_ns, 1.5, b_ns)
    # The same calls cycling over 1,000 pairs: the graph's part stays in cache, as it does
    # for a host that keeps working on the same concepts.
    same_args_row(ctx, module, base, g, "add_association(a, b, project, weight), existing pair",
                  "add_association", four[0], 1.5)
    warm = (four[:1000] * (k // 1000 + 1))[:k]
    overhead_row(r, g, "add_association(a, b, project, weight), 1,000 pairs repeated "
                 "(warm cache), per call",
                 *with_noop_ns(ctx, module, "add_association", warm, a.loops),
                 1.5, per_call_ns(base.add_association, warm, a.loops))

    # New pairs between existing concepts, different for every loop and each side.
    names = ctx.work.names
    fresh = [(names[ctx.rng.randrange(len(names))], names[ctx.rng.randrange(len(names))],
              "beta", 0.3, 1_800_000_000, 0.5, False) for _ in range(k // 10 * a.loops)]
    chunks = [fresh[i::a.loops] for i in range(a.loops)]
    def new_pairs(graph):
        means = []
        for chunk in chunks:
            start = ns_now()
            for c in chunk:
                graph.add_association(*c)
            means.append((ns_now() - start) / len(chunk))
        return statistics.median(means)
    m_ns, b_ns = new_pairs(module), new_pairs(base)
    speedup_row(r, g, "add_association, new pair, per call", m_ns, b_ns, "baseline", 0)

    upserts = [(c[1], c[0], c[2], c[3], c[4], c[5], c[6]) for c in existing]
    speedup_row(r, g, "_upsert_edge, existing entry, per call",
                per_call_ns(module._upsert_edge, upserts, a.loops),
                per_call_ns(base._upsert_edge, upserts, a.loops), "baseline", 0)
    strengthen = [(c[0], c[1], 1_900_000_000 + 4000 * i) for i, c in enumerate(existing)]
    speedup_row(r, g, "strengthen_edge, per call",
                per_call_ns(module.strengthen_edge, strengthen, a.loops),
                per_call_ns(base.strengthen_edge, strengthen, a.loops), "baseline", 0)
    promote = [(c[0], c[1]) for c in existing]
    speedup_row(r, g, "promote_and_strengthen, per call",
                per_call_ns(module.promote_and_strengthen, promote, a.loops),
                per_call_ns(base.promote_and_strengthen, promote, a.loops), "baseline", 0)
    none = [()] * k
    speedup_row(r, g, "node_count, per call", per_call_ns(module.node_count, none, a.loops),
                per_call_ns(base.node_count, none, a.loops), "baseline", 0)
    # The baseline sums its dict sizes, a walk over every concept: fewer calls suffice.
    speedup_row(r, g, "edge_count, per call", per_call_ns(module.edge_count, none, a.loops),
                per_call_ns(base.edge_count, [()] * 20, 3), "baseline", 0)
    holder.clear()
    del module, base
    gc.collect()
    for side in ("module", "baseline"):
        res = child("rss_build", ctx.args, side)
        r.add(g, f"RSS growth per directed entry while building ({side})",
              f"{res['bytes_per_entry']:.1f} B", "", "", "cross-check", "")


def cpp_foundation(ctx: Context) -> None:
    r, g = ctx.report, "foundation"
    mem = ctx.cpp("bench_store_memory")
    if mem:
        bpe = mem["bytes_per_entry"]
        r.add(g, f"store bytes per directed entry (mallinfo2, {int(mem['entries']):,} entries, "
              f"{int(mem['concepts']):,} concepts)", f"{bpe:.1f} B", "", "", "<= 80 B",
              verdict(bpe <= 80))
        r.add(g, "C++ store build, per add_association",
              f"{mem['build_ns_per_association']:.0f} ns", "", "", "", "")
        store_alone_row(ctx, g, "add_association", mem.get("existing_pair_add_ns"))


def store_alone_row(ctx: Context, group: str, method: str, store_ns: float | None) -> None:
    """The store's own cost of a call on a random existing pair, from C++, set against the
    room that 'within 1.5x the no-op' leaves over the no-op call from Python."""
    if store_ns is None:
        return
    noop_ns = ctx.noop_ns.get(method)
    other = f"room over the no-op {fmt_ns(noop_ns / 2)}" if noop_ns else ""
    ratio = f"{store_ns / (noop_ns / 2):.1f}x the room" if noop_ns else ""
    ctx.report.add(group, f"C++ store alone, {method} on a random existing pair, per call",
                   fmt_ns(store_ns), other, ratio, "", "")


def run_learning(ctx: Context) -> None:
    r, a, g = ctx.report, ctx.args, "learning"
    module, base = ctx.fresh_module(), ctx.fresh_baseline()
    entries = module.edge_count()

    m_ns, b_ns = paired_run_ns(lambda: module.decay_and_prune(DECAY_RATE), a.reps,
                               lambda: base.decay_and_prune(DECAY_RATE), a.baseline_reps)
    speedup_row(r, g, f"decay_and_prune, {entries:,} entries (median of {a.reps} / "
                f"{a.baseline_reps} passes)", m_ns, b_ns, "baseline", 100)
    ctx.decay_module_ns = m_ns
    # Equal passes on both sides, so that the two graphs stay alike for what follows.
    for _ in range(a.reps - a.baseline_reps):
        base.decay_and_prune(DECAY_RATE)
    for _ in range(a.baseline_reps - a.reps):
        module.decay_and_prune(DECAY_RATE)

    # Ten of the strongest hubs as seeds; a few untimed calls first so that the learning
    # of the first calls (reinforcement, promotion) has settled and every timed call does
    # the same work on both sides.
    spread = (ctx.hubs(), PROJECT, 1_950_000_000)
    for _ in range(3):
        got, want = module.spread_activation(*spread), base.spread_activation(*spread)
    if got != want:
        r.note("spread_activation: module and baseline returned different activations")
    scanned = base.last_scanned
    m_ns, b_ns = paired_run_ns(lambda: module.spread_activation(*spread), a.reps,
                               lambda: base.spread_activation(*spread), a.baseline_reps)
    speedup_row(r, g, f"spread_activation, 10 seeds, {scanned:,} entries scanned, "
                f"{len(got):,} activated", m_ns, b_ns, "baseline", 50)
    r.add(g, "spread_activation per entry scanned", f"{m_ns / max(scanned, 1):.1f} ns",
          f"baseline {b_ns / max(scanned, 1):.1f} ns", "", ">= 100,000 entries scanned",
          verdict(scanned >= 100_000))
    # What the call costs without its result dict: the traversal alone, from C++, on the
    # graph in the same state (the same decay passes and settling spreads).
    parts = ctx.query_parts()
    if parts:
        r.add(g, "spread_activation's traversal alone, from C++ (no result dict), caches "
              "cold as after the baseline's run", fmt_ns(parts["plan_cold_ms"] * 1e6),
              f"warm {fmt_ns(parts['plan_warm_ms'] * 1e6)}; 50x the baseline leaves "
              f"{fmt_ns(b_ns / 50)} for the whole call", "", "", "")

    pairs = ctx.sample(a.calls)
    feedback = [(c[0], c[1], i % 3 != 0, 2_000_000_000 + 10 * i) for i, c in enumerate(pairs)]
    m_ns, noop_ns = with_noop_ns(ctx, module, "record_feedback", feedback, a.loops)
    ctx.noop_ns["record_feedback"] = noop_ns
    b_ns = per_call_ns(base.record_feedback, feedback, a.loops)
    overhead_row(r, g, "record_feedback, per call", m_ns, noop_ns, 1.5, b_ns)
    same_args_row(ctx, module, base, g, "record_feedback", "record_feedback", feedback[0], 1.5)
    warm = (feedback[:1000] * (len(feedback) // 1000 + 1))[:len(feedback)]
    overhead_row(r, g, "record_feedback, 1,000 pairs repeated (warm cache), per call",
                 *with_noop_ns(ctx, module, "record_feedback", warm, a.loops),
                 1.5, per_call_ns(base.record_feedback, warm, a.loops))


def cpp_learning(ctx: Context) -> None:
    r, a, g = ctx.report, ctx.args, "learning"
    mem = ctx.cpp("bench_store_memory")
    if mem:
        store_alone_row(ctx, g, "record_feedback", mem.get("existing_pair_feedback_ns"))
    floor = ctx.cpp("bench_decay_floor", a.reps, DECAY_RATE)
    if not floor:
        return
    floor_ns = floor["floor_ms"] * 1e6
    store_ns = floor["store_ms"] * 1e6
    where = "store::decay_and_prune called from C++"
    measured = store_ns
    if ctx.decay_module_ns is not None:
        where, measured = "decay_and_prune called from Python", ctx.decay_module_ns
    ratio = measured / floor_ns
    r.add(g, f"{where}, against the C++ floor (a flat array of the same 48-byte records)",
          fmt_ns(measured), f"floor {fmt_ns(floor_ns)}; store from C++ {fmt_ns(store_ns)}",
          f"{ratio:.1f}x the floor", "<= 3x the floor", verdict(ratio <= 3))
    r.add(g, "C++ floor with 16-byte records, for reference",
          fmt_ns(floor["compact_floor_ms"] * 1e6), "", "", "", "")
    if floor.get("walk_dead", 1) == 0:
        r.add(g, "the floor's arithmetic inline over the store's per-concept blocks, concept "
              "by concept in id order (what the walk in address order saves; with the next "
              "concepts prefetched)",
              fmt_ns(floor["store_layout_inline_ms"] * 1e6),
              f"with prefetch {fmt_ns(floor['store_layout_prefetch_ms'] * 1e6)}", "", "", "")


def run_structure(ctx: Context) -> None:
    r, a, g = ctx.report, ctx.args, "structure"
    module, base = ctx.fresh_module(), ctx.fresh_baseline()
    min_weight = MIN_WEIGHT

    clusters_of = lambda: module.detect_clusters(PROJECT, min_weight)  # noqa: E731
    clusters = clusters_of()
    m_ns, b_ns = paired_run_ns(clusters_of, a.reps,
                               lambda: base.detect_clusters(PROJECT, min_weight),
                               a.baseline_reps)
    speedup_row(r, g, f"detect_clusters({PROJECT!r}, {min_weight}), {len(clusters):,} "
                "clusters", m_ns, b_ns, "baseline", 0)

    # The same passing associations as plain integer edges; building the graphs is not timed.
    edges = passing_edges(ctx.work, PROJECT, min_weight)
    try:
        import igraph
        ig = igraph.Graph(n=len(ctx.work.names), edges=edges, directed=False)
        mi_ns, i_ns = paired_run_ns(clusters_of, a.reps,
                                    lambda: ig.connected_components(mode="weak"), a.reps)
        ratio = i_ns / mi_ns
        r.add(g, "detect_clusters against igraph connected_components (construction "
              "excluded)", fmt_ns(mi_ns), f"igraph {fmt_ns(i_ns)}", faster(ratio),
              "at least as fast", verdict(ratio >= 1))
        ig = None
    except ImportError:
        r.note("python-igraph is not installed: igraph comparison skipped")
    try:
        import networkx
        nxg = networkx.Graph()
        nxg.add_nodes_from(range(len(ctx.work.names)))
        nxg.add_edges_from(edges)
        mx_ns, x_ns = paired_run_ns(clusters_of, a.reps,
                                    lambda: list(networkx.connected_components(nxg)),
                                    a.baseline_reps)
        speedup_row(r, g, "detect_clusters against networkx connected_components "
                    "(construction excluded)", mx_ns, x_ns, "networkx", 30)
        parts = ctx.query_parts()
        if parts:
            r.add(g, "detect_clusters' C++ side alone (the pass over the entries and the "
                  "walk; no str made)", fmt_ns(parts["clusters_ms"] * 1e6),
                  f"30x networkx leaves {fmt_ns(x_ns / 30)} for the whole call", "", "", "")
        nxg = None
    except ImportError:
        r.note("networkx is not installed: networkx comparison skipped")
    del edges
    gc.collect()

    m_ns, b_ns = paired_run_ns(module.get_graph_data, a.reps, base.get_graph_data,
                               a.baseline_reps)
    speedup_row(r, g, "get_graph_data, whole graph", m_ns, b_ns, "baseline", 5)
    drops = []
    for _ in range(a.reps):
        data = module.get_graph_data()
        start = ns_now()
        del data
        drops.append(ns_now() - start)
    parts = ctx.query_parts()
    store_pass = f"; the pass over the store, from C++, {fmt_ns(parts['export_ms'] * 1e6)}" \
        if parts else ""
    r.add(g, "get_graph_data: of its time, dropping the dicts and floats it made",
          fmt_ns(statistics.median(drops)),
          f"5x the baseline leaves {fmt_ns(b_ns / 5)} for the whole call{store_pass}", "", "",
          "")
    if hasattr(module, "get_graph_data_for_project"):
        m_ns, b_ns = paired_run_ns(lambda: module.get_graph_data_for_project(PROJECT), a.reps,
                                   lambda: base.get_graph_data_for_project(PROJECT),
                                   a.baseline_reps)
        speedup_row(r, g, f"get_graph_data_for_project({PROJECT!r})", m_ns, b_ns,
                    "baseline", 0)

    groups = ctx.groups_of(5, a.calls // 5)
    for method in ("get_concepts_for_insight", "get_cluster_density"):
        m_ns, noop_ns = with_noop_ns(ctx, module, method, groups, a.loops)
        b_ns = per_call_ns(getattr(base, method), groups, a.loops)
        overhead_row(r, g, f"{method}, 5 concepts, per call", m_ns, noop_ns, 2, b_ns)
        same_args_row(ctx, module, base, g, f"{method}, 5 concepts", method, groups[0], 2)
        if method == "get_concepts_for_insight" and noop_ns:
            # Its result by itself: a dict of the same names and weights, from str and
            # float objects that already exist (the module must also make them).
            found = [module.get_concepts_for_insight(*grp) for grp in groups]
            made = [(list(d), list(d.values())) for d in found]
            dict_ns = per_call_ns(lambda k, v: dict(zip(k, v)), made, a.loops)
            size = sum(map(len, found)) / len(found)
            r.add(g, f"get_concepts_for_insight's result alone: dict(zip()) of its {size:.0f} "
                  "names and weights on average, already made, per call", fmt_ns(dict_ns),
                  f"room over the no-op {fmt_ns(noop_ns)}", f"{dict_ns / noop_ns:.1f}x the room",
                  "", "")
        parts = ctx.query_parts()
        if method == "get_cluster_density" and noop_ns and parts:
            r.add(g, "get_cluster_density's C++ side alone, 5 concepts drawn alike, per call",
                  fmt_ns(parts["density_ns"]), f"room over the no-op {fmt_ns(noop_ns)}",
                  f"{parts['density_ns'] / noop_ns:.1f}x the room", "", "")
    if hasattr(module, "cluster_label"):
        labels = [(grp,) for grp, _ in groups]
        speedup_row(r, g, "cluster_label, 5 concepts, per call",
                    per_call_ns(module.cluster_label, labels, a.loops),
                    per_call_ns(base.cluster_label, labels, a.loops), "baseline", 0)


def passing_edges(w, project: str, min_weight: float) -> list[tuple[int, int]]:
    import numpy as np
    visible = np.isin(w.project, [workload.PROJECTS.index(p) for p in (project, "Global")])
    # A fresh entry's weight is min(initial + 0.2, 1.0) in 32-bit floats.
    weight = np.minimum(w.weight + np.float32(0.2), np.float32(1.0))
    keep = visible & (weight >= np.float32(min_weight))
    return list(zip(w.a[keep].tolist(), w.b[keep].tolist()))


def run_persist(ctx: Context) -> None:
    r, a, g = ctx.report, ctx.args, "persist"
    tmp = Path(tempfile.mkdtemp(prefix="rm_persist_"))
    path = tmp / "graph.json"
    try:
        save = child("save", a, str(path))
        if not save:
            return
        size = path.stat().st_size
        load = child("load", a, str(path))
        ref = child("orjson", a, str(path))
        if not (load and ref):
            return
        speedup_row(r, g, f"save_to_json, {size / 1e6:.0f} MB document", save["save_ns"],
                    ref["dumps_ns"], "orjson.dumps(OPT_SORT_KEYS)", 1)
        speedup_row(r, g, "to_json_str (the same document in memory, no file)",
                    save["text_ns"], ref["dumps_ns"], "orjson.dumps(OPT_SORT_KEYS)", 0)
        speedup_row(r, g, "load_from_json", load["load_ns"], ref["loads_ns"],
                    "orjson.loads of the bytes", 1)
        ratio = save["paired_load_ns"] / save["paired_save_ns"]
        mb = size / 1e6
        r.add(g, "load_from_json over save_to_json, side by side in one process",
              f"load {fmt_ns(save['paired_load_ns'])} ({mb / (save['paired_load_ns'] / 1e9):.0f}"
              " MB/s)", f"save {fmt_ns(save['paired_save_ns'])}", f"{ratio:.2f}x", "<= 2.0x",
              verdict(ratio <= 2.0))
        r.add(g, "load_from_json against reading the file and orjson.loads",
              fmt_ns(load["load_ns"]), f"read + orjson.loads {fmt_ns(ref['read_loads_ns'])}",
              faster(ref["read_loads_ns"] / load["load_ns"]), "", "")
        graph_kb = save["graph_kb"]
        r.add(g, "peak RSS while saving, over the graph's own memory",
              f"{save['peak_kb'] / graph_kb:.2f}x", f"graph {graph_kb / 1024:.0f} MiB",
              "", "report", "")
        r.add(g, "peak RSS while loading, over the graph's own memory",
              f"{load['peak_kb'] / graph_kb:.2f}x", f"loaded graph {load['graph_kb'] / 1024:.0f}"
              " MiB", "", "report", "")
        if a.baseline_persist:
            base = child("baseline_persist", a, str(tmp / "baseline.json"))
            if base:
                speedup_row(r, g, "save_to_json against the baseline (json, sort_keys)",
                            save["save_ns"], base["save_ns"], "baseline", 0)
                speedup_row(r, g, "load_from_json against the baseline (json.load)",
                            load["load_ns"], base["load_ns"], "baseline", 0)
    finally:
        for p in tmp.iterdir():
            p.unlink()
        tmp.rmdir()


# -- child processes: memory figures need a process of their own ---------------------------


def child(kind: str, args, *extra) -> dict | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", kind,
           "--entries", str(args.entries), "--seed", str(args.seed), "--reps", str(args.reps),
           *extra]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        print(proc.stderr, file=sys.stderr)
        raise RuntimeError(f"child {kind} failed")
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.JSONDecoder().raw_decode(line[len("RESULT "):])[0]
    raise RuntimeError(f"child {kind} printed no result")


def child_main(kind: str, args, extra: list[str]) -> dict:
    work = workload.generate(args.entries, args.seed)
    calls = work.calls()
    del work
    gc.collect()
    trim_heap()
    if kind == "rss_build":
        import recall_mesh
        graph = recall_mesh.LeanMemoryGraph() if extra[0] == "module" else baseline.LeanMemoryGraph()
        before = status_kb("VmRSS")
        for c in calls:
            graph.add_association(*c)
        grown = status_kb("VmRSS") - before
        return {"bytes_per_entry": grown * 1024 / graph.edge_count()}
    if kind == "save":
        import recall_mesh
        before = status_kb("VmRSS")
        graph = recall_mesh.LeanMemoryGraph()
        for c in calls:
            graph.add_association(*c)
        graph_kb = status_kb("VmRSS") - before
        del calls
        gc.collect()
        trim_heap()
        reset_peak_rss()
        base = status_kb("VmRSS")
        graph.save_to_json(extra[0])
        extra_kb = status_kb("VmHWM") - base
        save_ns = per_run_ns(lambda: graph.save_to_json(extra[0]), args.reps)
        text_ns = per_run_ns(graph.to_json_str, args.reps)
        # Load against save side by side in this one process, their runs alternating.
        holder = {}
        paired_save_ns, paired_load_ns = paired_run_ns(
            lambda: graph.save_to_json(extra[0]), args.reps,
            lambda: holder.__setitem__("g", recall_mesh.LeanMemoryGraph.load_from_json(extra[0])),
            args.reps, setup_b=holder.clear)
        return {"save_ns": save_ns, "text_ns": text_ns, "graph_kb": graph_kb,
                "peak_kb": graph_kb + extra_kb, "paired_save_ns": paired_save_ns,
                "paired_load_ns": paired_load_ns}
    if kind == "load":
        import recall_mesh
        del calls
        gc.collect()
        trim_heap()
        reset_peak_rss()
        before = status_kb("VmRSS")
        graph = recall_mesh.LeanMemoryGraph.load_from_json(extra[0])
        peak = status_kb("VmHWM") - before
        graph_kb = status_kb("VmRSS") - before
        del graph
        holder = {}
        load_ns = per_run_ns(
            lambda: holder.__setitem__("g", recall_mesh.LeanMemoryGraph.load_from_json(extra[0])),
            args.reps, holder.clear)
        return {"load_ns": load_ns, "graph_kb": graph_kb, "peak_kb": peak}
    if kind == "orjson":
        import orjson
        del calls
        data = Path(extra[0]).read_bytes()
        doc = orjson.loads(data)
        loads_ns = per_run_ns(lambda: orjson.loads(data), args.reps)
        read_loads_ns = per_run_ns(lambda: orjson.loads(Path(extra[0]).read_bytes()), args.reps)
        del data
        dumps_ns = per_run_ns(lambda: orjson.dumps(doc, option=orjson.OPT_SORT_KEYS), args.reps)
        return {"loads_ns": loads_ns, "read_loads_ns": read_loads_ns, "dumps_ns": dumps_ns}
    if kind == "baseline_persist":
        graph = baseline.LeanMemoryGraph()
        for c in calls:
            graph.add_association(*c)
        del calls
        save_ns = per_run_ns(lambda: graph.save_to_json(extra[0]), 1)
        del graph
        load_ns = per_run_ns(lambda: baseline.LeanMemoryGraph.load_from_json(extra[0]), 1)
        return {"save_ns": save_ns, "load_ns": load_ns}
    raise SystemExit(f"unknown child {kind}")


def machine_note() -> str:
    load1, load5, _ = os.getloadavg()
    return (f"machine: {os.cpu_count()} cores, load average {load1:.2f} (1 min) / {load5:.2f} "
            f"(5 min) at the end of the run; Python {sys.version.split()[0]}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=2_000_000,
                        help="directed entries of the workload (default 2,000,000)")
    parser.add_argument("--groups", default=",".join(GROUPS),
                        help="comma-separated subset of " + ", ".join(GROUPS))
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--reps", type=int, default=5, help="runs of whole operations")
    parser.add_argument("--baseline-reps", type=int, default=3,
                        help="runs of whole operations on the baseline")
    parser.add_argument("--loops", type=int, default=7, help="loops for per-call figures")
    parser.add_argument("--calls", type=int, default=100_000, help="calls per loop")
    parser.add_argument("--bench-dir", default=str(HERE.parent / "build" / "bench"),
                        help="CMake build directory holding bench/bench_* programs")
    parser.add_argument("--no-baseline-persist", dest="baseline_persist",
                        action="store_false", help="skip the baseline's json save and load")
    parser.add_argument("--out", help="also write the markdown table to this file")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args, extra = parser.parse_known_args(argv)
    if args.child:
        print("RESULT " + json.dumps(child_main(args.child, args, extra)), flush=True)
        return 0

    groups = [s.strip() for s in args.groups.split(",") if s.strip()]
    unknown = set(groups) - set(GROUPS)
    if unknown:
        parser.error(f"unknown groups: {', '.join(sorted(unknown))}")
    ctx = Context(args)
    runners = {"foundation": run_foundation, "learning": run_learning,
               "structure": run_structure, "persist": run_persist}
    native = {"foundation": cpp_foundation, "learning": cpp_learning}
    loads = []
    for name in groups:
        print(f"== {name}", flush=True)
        loads.append(f"{name} {os.getloadavg()[0]:.1f}")
        missing = ctx.missing(name)
        if missing:
            ctx.report.note(f"{name}: module figures skipped, the module lacks "
                            f"{', '.join(missing)}")
        else:
            runners[name](ctx)
            gc.collect()
        if name in native:
            native[name](ctx)
    ctx.report.note(f"per-call figures: median of {args.loops} loops of {args.calls:,} calls "
                    f"(fewer for 5-concept groups); whole operations: median of {args.reps} "
                    f"module runs and {args.baseline_reps} baseline runs")
    ctx.report.note(machine_note() + "; 1-min load average as each group began: "
                    + ", ".join(loads))
    if ctx.workload_file:
        os.unlink(ctx.workload_file)
    table = ctx.report.markdown()
    print()
    print(table)
    if args.out:
        Path(args.out).write_text(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
