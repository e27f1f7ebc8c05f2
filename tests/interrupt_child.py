"""A child process for the interrupt tests and the interrupt benchmark.

Usage: python interrupt_child.py ASSOCIATIONS DIR

Builds a graph of ASSOCIATIONS associations, saves it as DIR/graph.json, and prints one line
"ready LOAD SAVE STR": the seconds that one uninterrupted load_from_json, save_to_json and
to_json_str take. Then, for each command read from stdin ("load", "save" or "str"), prints
"start T", runs that operation, and prints "interrupted T DONE RSS_KB" when it raised
KeyboardInterrupt (T on the monotonic clock, which the parent shares; DONE 1 when the
operation had returned before the interrupt reached it) or "finished T" when it did not.
"""

from __future__ import annotations

import os
import sys
import time

from recall_mesh import LeanMemoryGraph


def rss_kb() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def build(associations: int) -> LeanMemoryGraph:
    graph = LeanMemoryGraph()
    add = graph.add_association
    concepts = max(associations // 5, 2)
    for i in range(associations):
        a = i % concepts
        b = (a * 7 + i // concepts + 1) % concepts
        add(f"concept-{a}", f"concept-{b}", "Global" if i % 4 else "alpha", 0.5, i, 0.5, False)
    return graph


def timed(fn) -> float:
    start = time.monotonic()
    fn()
    return time.monotonic() - start


def main() -> int:
    associations, directory = int(sys.argv[1]), sys.argv[2]
    path = os.path.join(directory, "graph.json")
    graph = build(associations)
    graph.save_to_json(path)
    ops = {
        "load": lambda: LeanMemoryGraph.load_from_json(path),
        "save": lambda: graph.save_to_json(path),
        "str": graph.to_json_str,
    }
    print("ready", *(f"{timed(ops[name]):.4f}" for name in ("load", "save", "str")), flush=True)
    while True:
        try:
            command = sys.stdin.readline()
        except KeyboardInterrupt:
            continue  # one that came after the call had returned
        if not command:
            break
        op = ops[command.strip()]
        returned = False
        print("start", f"{time.monotonic():.6f}", flush=True)
        try:
            op()
            returned = True
            # An interrupt that arrives after the call returned is raised by a later bytecode.
            print("finished", f"{time.monotonic():.6f}", flush=True)
        except KeyboardInterrupt:
            caught = time.monotonic()
            print("interrupted", f"{caught:.6f}", int(returned), rss_kb(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
