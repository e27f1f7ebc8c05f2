"""How soon Ctrl-C lands during a long load_from_json, save_to_json and to_json_str.

Runs tests/interrupt_child.py in a child process with a graph of --associations
associations (two directed entries each), sends it SIGINT at --trials moments spread over
each operation, and prints the median and the largest time from the signal to the child's
catching KeyboardInterrupt. The target is 0.25 s.

Usage: python bench/interrupt_latency.py [--associations 1000000] [--trials 9]
"""

from __future__ import annotations

import argparse
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHILD = Path(__file__).resolve().parent.parent / "tests" / "interrupt_child.py"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--associations", type=int, default=1_000_000)
    parser.add_argument("--trials", type=int, default=9)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        proc = subprocess.Popen([sys.executable, str(CHILD), str(args.associations), directory],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert proc.stdin is not None and proc.stdout is not None
        ready = proc.stdout.readline().split()
        seconds = dict(zip(("load", "save", "str"), map(float, ready[1:])))
        print(f"{args.associations * 2:,} entries; uninterrupted: "
              + ", ".join(f"{op} {s:.2f} s" for op, s in seconds.items()))
        for op in ("load", "save", "str"):
            latencies = []
            for trial in range(args.trials):
                proc.stdin.write(op + "\n")
                proc.stdin.flush()
                start = float(proc.stdout.readline().split()[1])
                share = (trial + 0.5) / args.trials * 0.9
                time.sleep(max(0.0, start + share * seconds[op] - time.monotonic()))
                sent = time.monotonic()
                proc.send_signal(signal.SIGINT)
                words = proc.stdout.readline().split()
                if words[0] == "interrupted" and words[2] == "0":
                    latencies.append(float(words[1]) - sent)
            print(f"{op:5} interrupted {len(latencies)}/{args.trials}: median "
                  f"{statistics.median(latencies) * 1000:.1f} ms, largest "
                  f"{max(latencies) * 1000:.1f} ms")
        proc.stdin.close()
        proc.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
