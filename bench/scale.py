"""How recall_mesh's costs grow with the graph: the benchmark workload at 10^6, 10^7 and
10^8 directed entries, one child process per size.

Each child generates the workload (bench/scale_workload.py), builds the graph with
add_association, then times decay_and_prune, a spread from the 10 largest hubs,
detect_clusters, get_graph_data_for_project, save_to_json and load_from_json, each by the
wall clock and by the process's CPU time (a shared machine disturbs the second less; a
save's wait for the disk shows only in the first). Memory is
measured three ways: the bytes the allocator hands out while the graph is built
(mallinfo2, as bench_store_memory counts them), the resident-set growth of the build, and
the peak resident set of each later phase over the resident set it began with (VmHWM
reset through /proc/self/clear_refs). Every figure is also given per directed entry, so
that a column reads as the growth of cost with size.

Usage (see bench/README.md):
    PYTHONPATH=build/bench/memory-graph/binding \
        python bench/scale.py --sizes 1e6,1e7 --out /tmp/scale.md
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from run import reset_peak_rss, status_kb  # noqa: E402

PROJECT = "alpha"
MIN_WEIGHT = 0.5
DECAY_RATE = 0.002
SPREAD_TIME = 1_950_000_000
# Rough room one directed entry needs, from the 10^7 run: a document of 254 bytes (twice
# that while a save replaces the older file), and a child whose largest resident set was
# 147 bytes per entry (the graph with the dicts of one project's export beside it).
DISK_PER_ENTRY = 2 * 260
MEMORY_PER_ENTRY = 160

ns_now = time.perf_counter_ns
# The process's own CPU time (user and system), which other work on a shared machine
# disturbs less than the wall clock: it stops while the process waits for a core.
cpu_now = time.process_time_ns


# -- process memory ------------------------------------------------------------------------


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL("libc.so.6")
_libc.mallinfo2.restype = _Mallinfo2


def heap_bytes() -> int:
    """Bytes the allocator has handed out and not had back, mmap'd blocks included.
    Python's small objects come from its own mmap'd arenas and are not counted."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def settle() -> None:
    """Collects garbage and gives freed heap back to the system, so that the next
    resident-set figure counts only live memory."""
    gc.collect()
    _libc.malloc_trim(0)


def note_process_peak(out: dict, peak_kb: int) -> None:
    """The process's largest resident set so far: resetting VmHWM per phase loses it."""
    out["process_peak_kb"] = max(out.get("process_peak_kb", 0), peak_kb)


class Phase:
    """Runs one operation `reps` times, each run timed alone after an untimed setup; the
    first run's peak resident set over the set it began with is kept."""

    def __init__(self, out: dict, name: str):
        self.out, self.name = out, name

    def run(self, fn, reps: int, after=None, setup=None):
        times, cpu, result = [], [], None
        for rep in range(reps):
            if setup:
                setup()
            settle()
            before = status_kb("VmRSS")
            reset_peak_rss()
            start, cpu_start = ns_now(), cpu_now()
            made = fn()
            took, cpu_took = ns_now() - start, cpu_now() - cpu_start
            # What `after` makes of the result is not timed; dropping the result is.
            result = after(made) if after else None
            start, cpu_start = ns_now(), cpu_now()
            del made
            took += ns_now() - start
            cpu_took += cpu_now() - cpu_start
            times.append(took)
            cpu.append(cpu_took)
            peak = status_kb("VmHWM")
            if rep == 0:
                self.out[self.name + "_peak_kb"] = peak - before
            note_process_peak(self.out, peak)
            print(f"  {self.name}: {took / 1e9:.2f} s", file=sys.stderr, flush=True)
        self.out[self.name + "_ns"] = statistics.median(times)
        self.out[self.name + "_cpu_ns"] = statistics.median(cpu)
        return result


def under_limit(call, room: int) -> str:
    """call() with the soft address-space limit `room` bytes over the process's size:
    what it raised (or "returned") and how long it took."""
    import resource

    settle()
    saved = resource.getrlimit(resource.RLIMIT_AS)
    start = ns_now()
    try:
        resource.setrlimit(resource.RLIMIT_AS, (status_kb("VmSize") * 1024 + room, saved[1]))
        try:
            call()
            outcome = "returned"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, saved)
    except BaseException as e:  # noqa: BLE001 - reported in the table's notes
        outcome = type(e).__name__
    return f"{outcome} in {(ns_now() - start) / 1e9:.2f} s"


# -- one size, in its own process ----------------------------------------------------------


def child_main(entries: int, reps: int, directory: str, seed: int, pressure: bool) -> dict:
    import recall_mesh
    import scale_workload

    out: dict = {"entries_asked": entries, "reps": reps}
    start = ns_now()
    work = scale_workload.generate(entries, seed)
    hubs = work.hubs(10)
    out["workload_s"] = (ns_now() - start) / 1e9
    note_process_peak(out, status_kb("VmHWM"))
    settle()

    heap0, rss0 = heap_bytes(), status_kb("VmRSS")
    reset_peak_rss()
    graph = recall_mesh.LeanMemoryGraph()
    start, cpu_start = ns_now(), cpu_now()
    work.build(graph)
    out["build_ns"] = ns_now() - start
    out["build_cpu_ns"] = cpu_now() - cpu_start
    note_process_peak(out, status_kb("VmHWM"))
    settle()
    out["store_bytes"] = heap_bytes() - heap0
    out["graph_kb"] = status_kb("VmRSS") - rss0
    out["entries"] = graph.edge_count()
    out["concepts"] = graph.node_count()
    out["associations"] = work.associations
    out["name_bytes"] = sum(map(len, work.names))
    del work
    settle()
    print(f"  built {out['entries']:,} entries in {out['build_ns'] / 1e9:.1f} s",
          file=sys.stderr, flush=True)

    pruned = []
    Phase(out, "decay").run(lambda: pruned.append(graph.decay_and_prune(DECAY_RATE)), reps)
    out["pruned"] = sum(pruned)

    spread = (hubs, PROJECT, SPREAD_TIME)
    # The first spread reinforces and promotes what it reaches; the timed ones repeat a
    # settled walk, as in bench/run.py.
    graph.spread_activation(*spread)
    out["activated"] = Phase(out, "spread").run(lambda: graph.spread_activation(*spread), reps,
                                                after=len)
    out["clusters"] = Phase(out, "clusters").run(
        lambda: graph.detect_clusters(PROJECT, MIN_WEIGHT), reps, after=len)
    # A caller drops the export eventually: the timed run includes dropping it.
    out["export_entries"] = Phase(out, "export").run(
        lambda: graph.get_graph_data_for_project(PROJECT), reps,
        after=lambda d: sum(map(len, d.values())))

    path = os.path.join(directory, f"graph-{entries}.json")
    Phase(out, "save").run(lambda: graph.save_to_json(path), reps)
    out["file_bytes"] = os.path.getsize(path)
    counts = (graph.node_count(), graph.edge_count())
    if pressure:
        # With room for half the document, or a quarter of the graph's own memory (its
        # dicts take about 1.4 times that), neither result can be made: both must fail
        # cleanly, and the graph stay as it was.
        out["pressure_to_json_str"] = under_limit(graph.to_json_str, out["file_bytes"] // 2)
        out["pressure_get_graph_data"] = under_limit(graph.get_graph_data,
                                                     out["graph_kb"] * 1024 // 4)
        out["pressure_unchanged"] = (graph.node_count(), graph.edge_count()) == counts

    del graph
    settle()
    heap0, rss0 = heap_bytes(), status_kb("VmRSS")
    holder: list = []
    # Every load's peak is over the process without a graph (the previous one is dropped
    # first): the loaded graph's own memory and whatever the reader needs beside it.
    Phase(out, "load").run(
        lambda: holder.append(recall_mesh.LeanMemoryGraph.load_from_json(path)), reps,
        setup=holder.clear)
    out["loaded_store_bytes"] = heap_bytes() - heap0
    out["loaded_graph_kb"] = status_kb("VmRSS") - rss0
    out["round_trip"] = (holder[0].node_count(), holder[0].edge_count()) == counts
    holder.clear()
    os.unlink(path)
    return out


# -- the parent: one child per size, then the tables ---------------------------------------


def parse_size(text: str) -> int:
    return int(float(text))


def free_bytes(directory: str) -> int:
    return shutil.disk_usage(directory).free


def available_memory() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def run_size(entries: int, args, directory: str) -> dict | None:
    need_disk, need_mem = entries * DISK_PER_ENTRY, entries * MEMORY_PER_ENTRY
    if free_bytes(directory) < need_disk and not args.force:
        print(f"{entries:,}: skipped, {directory} has {free_bytes(directory) / 1e9:.0f} GB "
              f"free and the run needs about {need_disk / 1e9:.0f} GB (--force runs it)",
              file=sys.stderr)
        return None
    if available_memory() < need_mem and not args.force:
        print(f"{entries:,}: skipped, {available_memory() / 2**30:.1f} GiB available and the "
              f"run needs about {need_mem / 2**30:.1f} GiB (--force runs it)", file=sys.stderr)
        return None
    print(f"== {entries:,} directed entries", file=sys.stderr, flush=True)
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", str(entries),
           "--reps", str(args.reps), "--seed", str(args.seed), "--dir", directory]
    if args.pressure:
        cmd.append("--pressure")
    start = time.monotonic()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        print(f"{entries:,}: the child failed with status {proc.returncode}", file=sys.stderr)
        return None
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            result = json.loads(line[len("RESULT "):])
            result["wall_s"] = time.monotonic() - start
            result["load_average"] = os.getloadavg()[0]
            return result
    return None


def fmt_time(ns: float) -> str:
    if ns < 1e6:
        return f"{ns / 1e3:.0f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.0f} ms"
    return f"{ns / 1e9:.2f} s"


def cell_time(r: dict, key: str) -> str:
    ns, cpu = r[key + "_ns"], r[key + "_cpu_ns"]
    return f"{fmt_time(ns)} ({ns / r['entries']:.1f} ns); CPU {cpu / r['entries']:.1f} ns"


def cell_bytes(total: float, entries: int) -> str:
    if total >= 1e9:
        size = f"{total / 1e9:.2f} GB"
    else:
        size = f"{total / 1e6:.0f} MB"
    return f"{size} ({total / entries:.1f} B)"


def pressure_note(r: dict) -> str:
    if "pressure_unchanged" not in r:
        return ""
    return (f" With room for half the document, to_json_str: {r['pressure_to_json_str']}; "
            f"with room for a quarter of the graph, get_graph_data: "
            f"{r['pressure_get_graph_data']}; counts "
            f"{'unchanged' if r['pressure_unchanged'] else 'CHANGED'}.")


def tables(results: list[dict]) -> str:
    timing = ["| directed entries | concepts | build | decay_and_prune | spread, 10 hubs | "
              "detect_clusters | get_graph_data_for_project | save_to_json | load_from_json |",
              "|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        timing.append(
            f"| {r['entries']:,} | {r['concepts']:,} | " + " | ".join(
                cell_time(r, k) for k in ("build", "decay", "spread", "clusters", "export",
                                          "save", "load")) + " |")
    memory = ["| directed entries | store (allocator) | graph (RSS growth) | document | "
              "peak while saving | peak while loading | loaded graph (RSS) | peak of the "
              "export | peak of the spread |",
              "|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        n = r["entries"]
        kb = 1024
        memory.append("| " + " | ".join([
            f"{n:,}", cell_bytes(r["store_bytes"], n), cell_bytes(r["graph_kb"] * kb, n),
            cell_bytes(r["file_bytes"], n), cell_bytes(r["save_peak_kb"] * kb, n),
            cell_bytes(r["load_peak_kb"] * kb, n), cell_bytes(r["loaded_graph_kb"] * kb, n),
            cell_bytes(r["export_peak_kb"] * kb, n), cell_bytes(r["spread_peak_kb"] * kb, n),
        ]) + " |")
    notes = []
    for r in results:
        notes.append(
            f"- {r['entries']:,} entries: {r['associations']:,} associations, names "
            f"{r['name_bytes'] / r['concepts']:.1f} bytes on average; spread activated "
            f"{r['activated']:,} concepts, {r['clusters']:,} clusters, the export held "
            f"{r['export_entries']:,} entries; decay pruned {r['pruned']:,}; load "
            f"{r['file_bytes'] / r['load_ns'] * 1e3:.0f} MB/s, save "
            f"{r['file_bytes'] / r['save_ns'] * 1e3:.0f} MB/s; the loaded graph "
            f"{'matched' if r['round_trip'] else 'DID NOT match'} the saved one's counts; "
            f"largest resident set of the child {r['process_peak_kb'] / 2**20:.2f} GiB; "
            f"workload generated in {r['workload_s']:.1f} s, child ran {r['wall_s']:.0f} s, "
            f"median of {r['reps']} runs, load average {r['load_average']:.1f} at its end."
            + pressure_note(r))
    return "\n".join(timing + [""] + memory + [""] + notes)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1e6,1e7,1e8",
                        help="comma-separated directed entries (default 1e6,1e7,1e8)")
    parser.add_argument("--reps", type=int, default=3, help="runs of each timed operation")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--dir", help="where the documents go (default: a temporary "
                        "directory under the worktree, removed afterwards)")
    parser.add_argument("--force", action="store_true",
                        help="run a size even when disk or memory look too small")
    parser.add_argument("--pressure", action="store_true",
                        help="also call to_json_str and get_graph_data with too little "
                        "address space (half the document, a quarter of the graph) and "
                        "report what they raise")
    parser.add_argument("--out", help="also write the tables to this file")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        result = child_main(args.child, args.reps, args.dir, args.seed, args.pressure)
        print("RESULT " + json.dumps(result), flush=True)
        return 0

    sizes = [parse_size(s) for s in args.sizes.split(",") if s.strip()]
    made = args.dir is None
    directory = args.dir or tempfile.mkdtemp(prefix="scale-", dir=HERE.parent)
    results = []
    try:
        for entries in sizes:
            r = run_size(entries, args, directory)
            if r:
                results.append(r)
                print(tables([r]), file=sys.stderr, flush=True)
    finally:
        if made:
            shutil.rmtree(directory, ignore_errors=True)
    if not results:
        return 1
    text = tables(results)
    print(text)
    if args.out:
        Path(args.out).write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
