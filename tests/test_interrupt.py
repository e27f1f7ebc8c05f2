"""Ctrl-C during a long load, save or to_json_str: a child process is sent SIGINT at
several moments of each operation and must stop inside it with KeyboardInterrupt."""

from __future__ import annotations

import hashlib
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

CHILD = Path(__file__).with_name("interrupt_child.py")
ASSOCIATIONS = 300_000
# Moments of each operation, as shares of its uninterrupted time.
MOMENTS = (0.05, 0.3, 0.6)
# The bound here is loose, for a busy machine; bench/interrupt_latency.py measures the
# latency itself against its target.
LATE = 1.0


class Child:
    def __init__(self, directory: Path) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, str(CHILD), str(ASSOCIATIONS), str(directory)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        words = self.line()
        assert words[0] == "ready", words
        self.seconds = dict(zip(("load", "save", "str"), map(float, words[1:])))

    def line(self) -> list[str]:
        assert self.proc.stdout is not None
        text = self.proc.stdout.readline()
        assert text, "the child ended"
        return text.split()

    def interrupt(self, op: str, share: float) -> tuple[str, float, list[str]]:
        """Runs `op`, sends SIGINT `share` of its usual time after it starts; returns what
        the child said and the latency from the signal to the child's catching it."""
        assert self.proc.stdin is not None
        self.proc.stdin.write(op + "\n")
        self.proc.stdin.flush()
        start = float(self.line()[1])
        delay = start + share * self.seconds[op] - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sent = time.monotonic()
        self.proc.send_signal(signal.SIGINT)
        words = self.line()
        return words[0], float(words[1]) - sent, words[2:]

    def close(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


@pytest.fixture(scope="module")
def child(tmp_path_factory):
    directory = tmp_path_factory.mktemp("interrupt")
    c = Child(directory)
    c.directory = directory
    yield c
    c.close()


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.mark.parametrize("op", ["load", "str"])
def test_load_and_text_stop_inside_the_call(child, op):
    rss = []
    for share in MOMENTS:
        said, latency, rest = child.interrupt(op, share)
        assert said == "interrupted" and rest[0] == "0", (op, share, said, rest)
        assert latency < LATE, (op, share, latency)
        rss.append(int(rest[1]))
    # An interrupted call gives back what it built: repeating it does not grow the process
    # by anything like a graph each time.
    assert rss[-1] - rss[0] < 64 * 1024, rss


def test_an_interrupted_save_leaves_the_previous_file(child):
    path = child.directory / "graph.json"
    before = digest(path)
    for share in MOMENTS:
        said, latency, rest = child.interrupt("save", share)
        assert said == "interrupted" and rest[0] == "0", (share, said, rest)
        assert latency < LATE, (share, latency)
        assert digest(path) == before
        assert sorted(os.listdir(child.directory)) == ["graph.json"]
