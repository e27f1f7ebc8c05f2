"""The benchmark workload (bench/workload.py) at any size, held as numpy arrays and fed to a
graph in batches, so that 10^8 directed entries never exist as Python tuples at once.

The draws are those of `workload.generate`, in the same order from the same seed, so up to
456,976 concepts (about 4.5 million entries) the graph is the same one. Past that the
unique prefix of a name needs a fifth base-26 letter (26**5 covers 11.8 million concepts,
10^8 entries need 10^7): a name whose drawn length was 4 is then 5 bytes long, every
other name keeps its drawn length.

The only Python objects held for the whole build are the concepts' names (about 60 bytes
each, 0.6 GB at 10^7 concepts); each batch makes its own argument lists and drops them.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterator

import numpy as np

import workload

PROJECTS = workload.PROJECTS


@dataclass
class ScaleWorkload:
    names: list[str]
    a: np.ndarray  # int32 concept index of each association's first endpoint
    b: np.ndarray
    project: np.ndarray  # uint8 index into PROJECTS
    weight: np.ndarray  # float32
    salience: np.ndarray  # float32
    time: np.ndarray  # uint64
    landmark: np.ndarray  # bool

    @property
    def associations(self) -> int:
        return len(self.a)

    def batches(self, size: int = 1 << 16) -> Iterator[zip]:
        """add_association arguments, `size` associations at a time."""
        names = self.names
        for s in range(0, self.associations, size):
            e = min(s + size, self.associations)
            yield zip(
                [names[i] for i in self.a[s:e].tolist()],
                [names[i] for i in self.b[s:e].tolist()],
                [PROJECTS[p] for p in self.project[s:e].tolist()],
                self.weight[s:e].tolist(),
                self.time[s:e].tolist(),
                self.salience[s:e].tolist(),
                self.landmark[s:e].tolist(),
            )

    def build(self, graph) -> None:
        add = graph.add_association
        for batch in self.batches():
            for args in batch:
                add(*args)

    def hubs(self, count: int = 10) -> list[str]:
        """The `count` concepts of most directed entries, largest first."""
        deg = np.bincount(self.a, minlength=len(self.names))
        deg += np.bincount(self.b, minlength=len(self.names))
        return [self.names[i] for i in deg.argsort(kind="stable")[::-1][:count].tolist()]


def _names(lengths: np.ndarray, tails: np.ndarray) -> list[str]:
    """Each concept's unique base-26 head (least significant letter first) and the tail
    that brings it to its drawn length, made in numpy and split from one decoded text."""
    concepts = len(lengths)
    letters = 4
    while 26**letters < concepts:
        letters += 1
    index = np.arange(concepts, dtype=np.int64)
    head = np.empty((concepts, letters), dtype=np.uint8)
    for k in range(letters):
        head[:, k] = ord("a") + (index % 26)
        index //= 26
    length = np.maximum(lengths, letters)
    width = letters + tails.shape[1]
    text = np.empty((concepts, width + 1), dtype=np.uint8)
    text[:, :letters] = head
    text[:, letters:width] = tails[:, : width - letters]
    # The tail after the head is the drawn tail's first (length - letters) bytes, as in
    # workload._name; a newline ends each name.
    column = np.arange(width + 1)
    text[column[None, :] == length[:, None]] = ord("\n")
    keep = column[None, :] <= length[:, None]
    return text[keep].tobytes().decode("ascii").split("\n")[:-1]


def generate(entries: int, seed: int = 20240611) -> ScaleWorkload:
    """The workload with `entries` directed entries (entries / 2 associations)."""
    return ScaleWorkload(*workload.draw(entries, seed, _names))
