"""A deterministic, realistic workload for the benchmarks.

Shape (for the default 2,000,000 directed entries): 1,000,000 distinct associations over
200,000 concepts, so every association is two directed entries. Endpoints follow a power
law: a concept's rank r is drawn as floor(N * u**3) for uniform u, which gives a
rank-frequency curve of r**(-2/3) and a degree distribution with a tail of about
k**(-2.5), the shape of scale-free networks met in practice. Every concept is the first
endpoint of one association, so all of them exist. Names are 4 to 16 bytes, unique by a
base-26 prefix of their index; four projects, one of them "Global"; weights, saliences,
times and landmark flags vary.

Everything comes from one seeded numpy generator, so a given (entries, seed) always gives
the same workload. `write_binary` stores it for the C++ benchmarks (see
bench/workload_file.h for the format), so both sides measure the same graph.

Usage: python bench/workload.py --entries 2000000 --out /tmp/workload.bin
"""

from __future__ import annotations

import argparse
import string
import sys
from dataclasses import dataclass

import numpy as np

PROJECTS = ("Global", "alpha", "beta", "gamma")
PROJECT_SHARES = (0.25, 0.35, 0.25, 0.15)
ENTRIES_PER_CONCEPT = 10
FORMAT_TAG = "rmwl1"

_LETTERS = string.ascii_lowercase
_TAIL_CHARS = np.frombuffer((string.ascii_letters + string.digits + "_-").encode(), dtype=np.uint8)


@dataclass
class Workload:
    names: list[str]
    a: np.ndarray  # int32 concept index of each association's first endpoint
    b: np.ndarray  # int32, never equal to a; the unordered pairs are distinct
    project: np.ndarray  # uint8 index into PROJECTS
    weight: np.ndarray  # float32 initial weight
    salience: np.ndarray  # float32
    time: np.ndarray  # uint64 creation time, increasing along the stream
    landmark: np.ndarray  # bool

    @property
    def associations(self) -> int:
        return len(self.a)

    def calls(self) -> list[tuple]:
        """add_association arguments as Python values, ready for a tight loop."""
        names = self.names
        return list(
            zip(
                [names[i] for i in self.a.tolist()],
                [names[i] for i in self.b.tolist()],
                [PROJECTS[p] for p in self.project.tolist()],
                self.weight.tolist(),
                self.time.tolist(),
                self.salience.tolist(),
                self.landmark.tolist(),
            )
        )


def _name(index: int, tail: bytes) -> str:
    # Four base-26 letters make the name unique (26**4 > 456,000 concepts); the tail
    # brings it to its drawn length.
    head = []
    for _ in range(4):
        index, r = divmod(index, 26)
        head.append(_LETTERS[r])
    return "".join(head) + tail.decode()


def _four_letter_names(lengths: np.ndarray, tails: np.ndarray) -> list[str]:
    if len(lengths) > 26**4:
        raise ValueError("at most 456,976 concepts: raise the name prefix first")
    return [_name(i, tails[i, : lengths[i] - 4].tobytes()) for i in range(len(lengths))]


def draw(entries: int, seed: int, make_names) -> tuple:
    """The workload's draws for `entries` directed entries (entries / 2 associations):
    names, a, b, project, weight, salience, time, landmark. `make_names(lengths, tails)`
    turns each concept's drawn length and tail bytes into its name."""
    associations = max(entries // 2, 1)
    concepts = max(associations * 2 // ENTRIES_PER_CONCEPT, 8)
    rng = np.random.default_rng(seed)

    lengths = rng.integers(4, 17, size=concepts)
    tails = _TAIL_CHARS[rng.integers(0, len(_TAIL_CHARS), size=(concepts, 12))]
    names = make_names(lengths, tails)
    del lengths, tails

    # Rank r is drawn with density ~ r**(-2/3); a permutation hides the hubs among the
    # names so that they are not simply the first ones.
    by_rank = rng.permutation(concepts).astype(np.int32)

    def draw_ranked(n: int) -> np.ndarray:
        u = rng.random(n)
        rank = np.minimum((concepts * (u * u * u)).astype(np.int64), concepts - 1)
        return by_rank[rank]

    a = rng.permutation(concepts).astype(np.int32)  # each concept once
    b = draw_ranked(concepts)
    while True:
        keep = a != b
        a, b = a[keep], b[keep]
        lo, hi = np.minimum(a, b).astype(np.int64), np.maximum(a, b).astype(np.int64)
        _, first = np.unique(lo * concepts + hi, return_index=True)
        del lo, hi
        first.sort()  # keep the draw order of first occurrences
        a, b = a[first], b[first]
        del first
        if len(a) >= associations:
            break
        more = int((associations - len(a)) * 1.3) + 1024
        a = np.concatenate([a, draw_ranked(more)])
        b = np.concatenate([b, draw_ranked(more)])
    a, b = a[:associations].copy(), b[:associations].copy()

    project = rng.choice(len(PROJECTS), size=associations, p=PROJECT_SHARES).astype(np.uint8)
    weight = rng.uniform(0.0, 0.8, size=associations).astype(np.float32)
    salience = rng.uniform(0.1, 1.0, size=associations).astype(np.float32)
    start = 1_700_000_000
    time = (start + np.arange(associations, dtype=np.uint64) * 3
            + rng.integers(0, 3, size=associations).astype(np.uint64))
    landmark = rng.random(associations) < 0.01
    return names, a, b, project, weight, salience, time, landmark


def generate(entries: int = 2_000_000, seed: int = 20240611) -> Workload:
    """The workload with `entries` directed entries (entries / 2 associations)."""
    return Workload(*draw(entries, seed, _four_letter_names))


def write_binary(w: Workload, path: str) -> None:
    """Header line, project lines, name lines, then the arrays, little-endian."""
    with open(path, "wb") as f:
        f.write(f"{FORMAT_TAG} {len(w.names)} {w.associations} {len(PROJECTS)}\n".encode())
        for p in PROJECTS:
            f.write(p.encode() + b"\n")
        f.write("\n".join(w.names).encode() + b"\n")
        f.write(w.a.astype("<i4").tobytes())
        f.write(w.b.astype("<i4").tobytes())
        f.write(w.project.astype("u1").tobytes())
        f.write(w.weight.astype("<f4").tobytes())
        f.write(w.salience.astype("<f4").tobytes())
        f.write(w.time.astype("<u8").tobytes())
        f.write(w.landmark.astype("u1").tobytes())


def degrees(w: Workload) -> np.ndarray:
    """Directed entries per concept."""
    return np.bincount(np.concatenate([w.a, w.b]), minlength=len(w.names))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=2_000_000)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--out", help="write the binary form for the C++ benchmarks here")
    args = parser.parse_args(argv)
    w = generate(args.entries, args.seed)
    deg = degrees(w)
    name_bytes = np.array([len(n) for n in w.names])
    print(f"concepts {len(w.names)}  associations {w.associations}  entries {2 * w.associations}")
    print(f"degree max {deg.max()}  median {int(np.median(deg))}  p99 {int(np.percentile(deg, 99))}")
    print(f"name bytes {name_bytes.min()}..{name_bytes.max()}  mean {name_bytes.mean():.1f}")
    print("project shares", np.bincount(w.project, minlength=len(PROJECTS)) / w.associations)
    if args.out:
        write_binary(w, args.out)
        print("written", args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
