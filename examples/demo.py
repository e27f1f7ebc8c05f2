"""A host program that learns from real text: the interpreter's own help topics.

It reads the help texts that ship with Python (`pydoc_data.topics`), extracts terms
(words and two-word phrases) from each sentence, and associates the terms that occur
together, one project per group of topics. Then it plays a day of use as an assistant
would: recall from a few contexts, feedback on what helped, a fortnight of nightly
decay, clusters and their hubs, the neighbours of an insight, a save and a load. It
prints what it recalls and writes pictures under demo-output/ in the working directory.

Run it with `bash scripts/demo.sh`, or `python examples/demo.py` where recall_mesh,
networkx and matplotlib are installed. The functions are importable on their own, so
that a slice of the demo can run elsewhere (the tests do).
"""

from __future__ import annotations

import collections
import importlib.util
import itertools
import json
import math
import re
import sys
import time
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from recall_mesh import LeanMemoryGraph

HOUR = 3600
DAY = 24 * HOUR
# One pass a night at this rate forgets an untouched link of weight 0.3 in about two
# weeks, and one of 0.5 in under three.
DECAY_RATE = 0.03

# Which help topics make up each project. Topics not listed here (and the execution
# model, which every part of the language leans on) go into the shared "Global"
# project, which every project sees.
TOPIC_GROUPS: dict[str, tuple[str, ...]] = {
    "statements": (
        "assert", "assignment", "augassign", "break", "class", "compound", "continue",
        "del", "else", "for", "function", "global", "if", "import", "nonlocal", "pass",
        "raise", "return", "try", "while", "with",
    ),
    "expressions": (
        "atom-identifiers", "atom-literals", "attribute-references", "await", "binary",
        "bitwise", "booleans", "calls", "comparisons", "conversions", "exprlists",
        "floating", "formatstrings", "imaginary", "in", "integers", "lambda", "lists",
        "dict", "numbers", "operator-summary", "power", "shifting", "slicings", "strings",
        "subscriptions", "unary", "yield",
    ),
    "data model": (
        "attribute-access", "callable-types", "context-managers", "customization",
        "numeric-types", "objects", "sequence-types", "specialattrs", "specialnames",
        "types", "async",
    ),
    "built-in types": (
        "bltin-code-objects", "bltin-ellipsis-object", "bltin-null-object",
        "bltin-type-objects", "string-methods", "truth", "typesfunctions",
        "typesmapping", "typesmethods", "typesmodules", "typesseq", "typesseq-mutable",
    ),
}
GLOBAL = "Global"

# Words too common to say anything about a topic.
STOP_WORDS = frozenset(
    """
    a about above after again against all also although an and another any are as at
    be because been before being below between both but by can cannot could did do does
    doing done during each either else etc even every few first following for from
    further given had has have having here how however i if in into is it its itself
    just least less like made make makes may might more most much must need needs new no
    nor not note now of often on once one only or other otherwise our out over own per
    rather same second see seen several shall should since so some such than that the
    their them then there these they this those though three through thus to too two
    under until up upon us use used uses using usually very via was way we were what
    when where whether which while who whom whose why will with within without would yet
    you your changed version added deprecated example examples described section
    following means called instead e g i e x y n off fall falls cause causes around
    back well take takes whole part parts include includes provide provides
    """.split()
)

WORD = re.compile(r"__[a-z][a-z_]*__|[a-z]+(?:-[a-z]+)*")
SENTENCE_END = re.compile(r"(?<=[.!?;:])\s+")


def prose_paragraphs(text: str) -> list[str]:
    """The prose of one help text, a string per paragraph: headings, their underlines,
    grammar rules and indented code are left out."""
    paragraphs: list[str] = []
    for block in re.split(r"\n\s*\n", text):
        lines = [
            line.strip()
            for line in block.splitlines()
            if line.strip()
            and not line.startswith("   ")
            and not re.fullmatch(r"[*=\-~^]+", line.strip())
        ]
        if len(lines) > 1 or (lines and lines[0].endswith(".")):
            paragraphs.append(" ".join(lines))
    return paragraphs


def sentence_words(text: str) -> list[list[str]]:
    """Every sentence of the prose as its lower-case words, stop words as None."""
    sentences: list[list[str]] = []
    for paragraph in prose_paragraphs(text):
        for sentence in SENTENCE_END.split(paragraph):
            words = [w for w in WORD.findall(sentence.lower()) if len(w) > 1]
            if words:
                sentences.append(words)
    return sentences


def fold_plural(word: str, vocabulary: Mapping[str, int]) -> str:
    """"objects" -> "object" when the singular occurs too; "class" stays."""
    if word.endswith("es") and word[:-2] in vocabulary and word[-3] in "sxhz":
        return word[:-2]
    if word.endswith("s") and not word.endswith("ss") and word[:-1] in vocabulary:
        return word[:-1]
    return word


@dataclass
class Corpus:
    """Sentences as term sets, per project, ready to be learned."""

    sentences: dict[str, list[list[str]]]
    term_counts: collections.Counter[str]
    text: str  # every text read, lower-cased, for checking terms against


def build_corpus(
    topics: Mapping[str, str], min_count: int = 3, phrase_min_count: int = 6
) -> Corpus:
    """Terms of every sentence: words, plurals folded, and the two-word phrases of
    adjacent non-stop words that recur; terms seen fewer than min_count times are
    dropped."""
    raw: dict[str, list[list[str]]] = collections.defaultdict(list)
    word_counts: collections.Counter[str] = collections.Counter()
    group_of = {topic: group for group, names in TOPIC_GROUPS.items() for topic in names}
    for topic, text in sorted(topics.items()):
        for words in sentence_words(text):
            raw[group_of.get(topic, GLOBAL)].append(words)
            word_counts.update(w for w in words if w not in STOP_WORDS)

    term_sentences: dict[str, list[list[str]]] = collections.defaultdict(list)
    counts: collections.Counter[str] = collections.Counter()
    for project, sentences in raw.items():
        for words in sentences:
            terms: list[str] = []
            previous = ""
            for word in words:
                if word in STOP_WORDS or len(word) < 3:
                    previous = ""
                    continue
                word = fold_plural(word, word_counts)
                terms.append(word)
                if previous:
                    terms.append(f"{previous} {word}")
                previous = word
            unique = list(dict.fromkeys(terms))  # in the order of the sentence
            term_sentences[project].append(unique)
            counts.update(unique)

    def keep(term: str) -> bool:
        return counts[term] >= (phrase_min_count if " " in term else min_count)

    kept = {
        project: [[t for t in terms if keep(t)] for terms in sentences]
        for project, sentences in term_sentences.items()
    }
    text = "\n".join(topics.values()).lower()
    return Corpus(kept, collections.Counter({t: c for t, c in counts.items() if keep(t)}), text)


def association_weight(together: int, count_a: int, count_b: int) -> float:
    """The initial weight of two terms that share `together` sentences: how much of their
    use they share (together / sqrt(count_a x count_b)), discounted while the evidence is
    thin (a pair seen twice counts 0.4 of one seen often), times 1.6, at most 0.8 (the
    graph adds 0.2 on top). Frequent words met everywhere get weak links to each other."""
    share = together / math.sqrt(count_a * count_b)
    evidence = together / (together + 3)
    return min(0.8, 1.6 * share * evidence)


def learn(graph: LeanMemoryGraph, corpus: Corpus, now: int, min_together: int = 2) -> int:
    """Associates the terms that share at least `min_together` sentences, once per pair,
    with a weight from how much they co-occur. A pair met in one project's texts only
    belongs to that project; one met in several is shared knowledge and goes into
    "Global". Returns the number of associations made."""
    projects: dict[tuple[str, str], set[str]] = collections.defaultdict(set)
    together: collections.Counter[tuple[str, str]] = collections.Counter()
    for project, sentences in sorted(corpus.sentences.items()):
        for terms in sentences:
            for a, b in itertools.combinations(sorted(terms[:40]), 2):
                if a in b.split() or b in a.split():
                    continue  # a phrase and its own words say nothing new
                together[a, b] += 1
                projects[a, b].add(project)
    made = 0
    counts = corpus.term_counts
    for (a, b), count in sorted(together.items()):
        if count < min_together:
            continue
        where = projects[a, b]
        project = next(iter(where)) if len(where) == 1 else GLOBAL
        graph.add_association(a, b, project, association_weight(count, counts[a], counts[b]), now)
        made += 1
    return made


def ranked(energies: Mapping[str, float], exclude: Iterable[str] = (), k: int = 10) -> list[
    tuple[str, float]
]:
    """The k most activated concepts, strongest first, ties by name."""
    skip = set(exclude)
    items = sorted(energies.items(), key=lambda item: (-item[1], item[0]))
    return [(name, energy) for name, energy in items if name not in skip][:k]


@dataclass
class Snapshot:
    """The graph's size and coldness at one moment of the day."""

    label: str
    concepts: int
    entries: int
    tiers: dict[str, int] = field(default_factory=dict)


def snapshot(graph: LeanMemoryGraph, label: str) -> Snapshot:
    adj = json.loads(graph.to_json_str())["graph"]["adj"]
    tiers = {"warm (tier 0)": 0, "cooling (1-7)": 0, "dormant (8-10)": 0}
    for neighbours in adj.values():
        for edge in neighbours.values():
            tier = edge["latency_tier"]
            key = "warm (tier 0)" if tier == 0 else "cooling (1-7)" if tier < 8 else "dormant (8-10)"
            tiers[key] += 1
    return Snapshot(label, graph.node_count(), graph.edge_count(), tiers)


Positions = dict[str, tuple[float, float]]


def draw_neighbourhood(
    graph: LeanMemoryGraph,
    energies: Mapping[str, float],
    project: str,
    path: Path,
    title: str,
    nodes: Sequence[str] | None = None,
    positions: Positions | None = None,
    size_px: tuple[int, int] = (1500, 1050),
) -> tuple[list[str], Positions]:
    """Draws the given nodes (by default the 30 most activated) with the links among them
    that the project sees: node size and colour by energy, line width and darkness by
    weight. Nodes that are not activated are drawn small and white. Returns the nodes and their
    positions, so that a later picture can place them alike."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import networkx as nx
    from matplotlib import patheffects

    if nodes is None:
        nodes = [name for name, _ in ranked(energies, k=30)]
    data = graph.get_graph_data_for_project(project)
    view: nx.Graph[str] = nx.Graph()
    view.add_nodes_from(nodes)
    for a in nodes:
        for b, weight in data.get(a, {}).items():
            if b in view and a != b:
                old = view.edges[a, b]["weight"] if view.has_edge(a, b) else 0.0
                view.add_edge(a, b, weight=max(old, weight))
    if positions is None:
        layout = nx.spring_layout(view, seed=7, k=2.5 / max(1, len(nodes)) ** 0.5, iterations=200)
        positions = {str(n): (float(p[0]), float(p[1])) for n, p in layout.items()}

    dpi = 100
    fig, ax = plt.subplots(figsize=(size_px[0] / dpi, size_px[1] / dpi), dpi=dpi)
    order = list(view.nodes)
    energy = [energies.get(n, 0.0) for n in order]
    # Only the links that could carry a recall's energy onward are worth a line; the
    # rest would hide them.
    shown = [e for e in view.edges if view.edges[e]["weight"] >= 0.3]
    nx.draw_networkx_edges(
        view, positions, ax=ax, edgelist=shown,
        width=[6.0 * view.edges[e]["weight"] ** 2 for e in shown],
        edge_color=[view.edges[e]["weight"] for e in shown],
        edge_cmap=plt.get_cmap("Greys"), edge_vmin=-0.4, edge_vmax=1.2, alpha=0.8,
    )
    sizes = [150 + 5000 * min(e, 0.5) ** 1.5 for e in energy]
    drawn = nx.draw_networkx_nodes(
        view, positions, ax=ax, nodelist=order, node_size=sizes,
        node_color=energy, cmap="YlOrRd", vmin=0.0, vmax=0.5,
        edgecolors=["#1f4e9c" if e >= 1.0 else "#555555" if e else "#bbbbbb" for e in energy],
        linewidths=[3.0 if e >= 1.0 else 1.0 for e in energy],
    )
    outline = [patheffects.withStroke(linewidth=3, foreground="white")]
    for name, e, size in zip(order, energy, sizes):
        label = f"{name} {e:.2f}" if name in energies else name
        ax.annotate(
            label, xy=positions[name], xytext=(0, -(size**0.5) / 2 - 3),
            textcoords="offset points", ha="center", va="top", fontsize=11,
            path_effects=outline, zorder=5,
        )
    fig.colorbar(drawn, ax=ax, shrink=0.6, pad=0.01,
                 label="energy of the recall (context, ringed in blue: 1.0)")
    ax.set_title(title, fontsize=14)
    ax.margins(0.08)
    ax.axis("off")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return list(order), positions


def plot_day(snapshots: Sequence[Snapshot], path: Path, size_px: tuple[int, int] = (1400, 900)) -> None:
    """Concepts and entries over the day, and the entries by coldness."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dpi = 100
    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(size_px[0] / dpi, size_px[1] / dpi), dpi=dpi, sharex=True
    )
    x = list(range(len(snapshots)))
    top.plot(x, [s.entries for s in snapshots], marker="o", color="#1f77b4", label="directed entries")
    top.set_ylabel("directed entries", color="#1f77b4")
    top.set_ylim(bottom=0)
    right = top.twinx()
    right.plot(x, [s.concepts for s in snapshots], marker="s", color="#d95f02", label="concepts")
    right.set_ylabel("concepts", color="#d95f02")
    right.set_ylim(bottom=0)
    top.set_title("The graph over a day of use and a fortnight of nights")
    top.legend(
        top.get_lines() + right.get_lines(), ["directed entries", "concepts"], loc="lower left"
    )
    top.grid(alpha=0.3)
    base = [0] * len(snapshots)
    for key, colour in zip(snapshots[0].tiers, ("#d7301f", "#fdae61", "#4575b4")):
        values = [s.tiers[key] for s in snapshots]
        bottom.bar(x, values, bottom=base, color=colour, label=key)
        base = [b + v for b, v in zip(base, values)]
    bottom.set_ylabel("entries by coldness")
    bottom.legend(loc="upper right")
    bottom.set_xticks(x, [s.label for s in snapshots], rotation=45, ha="right")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=dpi)
    plt.close(fig)


def show(energies: Mapping[str, float], context: Sequence[str], k: int = 10) -> list[str]:
    top = ranked(energies, exclude=context, k=k)
    print(f"  {len(energies) - len(set(context))} concepts activated; the strongest:")
    for place, (name, energy) in enumerate(top, 1):
        print(f"   {place:2}. {energy:.3f}  {'#' * round(energy * 40):<20} {name}")
    return [name for name, _ in top]


def print_clusters(graph: LeanMemoryGraph, project: str, k: int = 4) -> None:
    clusters = sorted(graph.detect_clusters(project, 0.5), key=len, reverse=True)
    data = graph.get_graph_data_for_project(project)
    print(f"  {project!r}: {len(clusters)} clusters; the largest, strongest members first:")
    for cluster in clusters[:k]:
        hub = graph.cluster_label(cluster)
        density = graph.get_cluster_density(cluster, project)
        members = sorted(cluster, key=lambda name: (-sum(data.get(name, {}).values()), name))
        members.remove(hub)
        sample = ", ".join(members[:6]) + (", ..." if len(members) > 6 else "")
        print(f"    hub {hub!r:14} {len(cluster):3} concepts, density {density:.2f}: {sample}")


def section(title: str) -> None:
    print(f"\n== {title}")


# The host's day: at what hour, in which project, from which context it recalls.
CONTEXTS: list[tuple[int, str, list[str]]] = [
    (9, "statements", ["exception", "finally"]),
    (11, "data model", ["iterator", "generator"]),
    (14, "built-in types", ["dictionary", "key"]),
    (16, "statements", ["exception", "finally"]),
]


def main(out_dir: Path = Path("demo-output")) -> None:
    from pydoc_data.topics import topics

    started = time.perf_counter()
    can_draw = all(importlib.util.find_spec(name) for name in ("networkx", "matplotlib"))
    graph = LeanMemoryGraph()
    timeline: list[Snapshot] = []

    section("learning from the interpreter's help topics")
    corpus = build_corpus(topics)
    made = learn(graph, corpus, now=0)
    sentences = sum(len(s) for s in corpus.sentences.values())
    print(f"  {len(topics)} topics, {sentences} sentences, {len(corpus.term_counts)} terms")
    print(f"  {made} associations: {graph.node_count()} concepts, {graph.edge_count()} entries")
    for project, count in collections.Counter(
        p for p, s in corpus.sentences.items() for _ in s
    ).most_common():
        print(f"    project {project!r}: {count} sentences")
    common = ", ".join(t for t, _ in corpus.term_counts.most_common(12))
    print(f"  most frequent terms: {common}")
    timeline.append(snapshot(graph, "learned"))

    section("clusters and their hubs (links of weight 0.5 or more)")
    for project in ("statements", "data model", "built-in types"):
        print_clusters(graph, project)

    section("a day of use: recall, then feedback on what helped")
    first: tuple[str, list[str], dict[str, float]] | None = None
    for hour, project, context in CONTEXTS:
        now = 8 * HOUR + hour * HOUR
        energies = graph.spread_activation(context, project, now)
        print(f"\n  {hour:02}:00 in {project!r}, recall from {context}:")
        if first is not None and first[1] == context:
            print("  (as at 09:00: the links that recall and its feedback used are stronger)")
        shown = show(energies, context)
        if first is None:
            first = (project, context, energies)
        # The host used the first three and found the next two beside the point.
        for cue in context:
            for name in shown[:3]:
                graph.record_feedback(cue, name, True, now + 600)
            for name in shown[3:5]:
                graph.record_feedback(cue, name, False, now + 600)
        timeline.append(snapshot(graph, f"{hour:02}:00 recall"))
    assert first is not None

    project, context, energies = first
    out_dir.mkdir(parents=True, exist_ok=True)
    nodes: list[str] = []
    positions: Positions = {}
    if can_draw:
        before = out_dir / "recall-morning.png"
        nodes, positions = draw_neighbourhood(
            graph, energies, project, before,
            f"What {' + '.join(context)} called to mind in {project!r} (09:00)",
        )
        print(f"\n  picture: {before}")
    else:
        print("\n  no pictures: networkx and matplotlib are not installed"
              " (pip install networkx matplotlib)")

    section("the neighbours of an insight")
    insight = ["descriptor", "metaclass"]
    neighbours = graph.get_concepts_for_insight(insight, "data model")
    print(f"  {insight} touch {len(neighbours)} concepts; the strongest links:")
    for name, weight in ranked(neighbours, k=8):
        print(f"    {weight:.2f}  {name}")

    section("a fortnight of nights: decay and prune")
    for night in range(1, 15):
        pruned = graph.decay_and_prune(DECAY_RATE)
        timeline.append(snapshot(graph, f"night {night}"))
        tiers = timeline[-1].tiers
        print(f"  night {night:2}: pruned {pruned:5}, {graph.edge_count():6} entries left; "
              + ", ".join(f"{k} {v}" for k, v in tiers.items()))
    print("  what the fortnight kept:")
    print_clusters(graph, "statements")

    section("the same recall a fortnight later")
    later = graph.spread_activation(context, project, 15 * DAY + 9 * HOUR)
    show(later, context)
    timeline.append(snapshot(graph, "recall again"))
    if can_draw:
        after = out_dir / "recall-fortnight-later.png"
        draw_neighbourhood(
            graph, later, project, after,
            f"The same neighbourhood a fortnight later: {' + '.join(context)} in {project!r}",
            nodes=nodes, positions=positions,
        )
        print(f"\n  picture: {after}")
        day = out_dir / "day.png"
        plot_day(timeline, day)
        print(f"  picture: {day}")

    section("saving and loading")
    path = out_dir / "memory.json"
    t0 = time.perf_counter()
    graph.save_to_json(str(path))
    t1 = time.perf_counter()
    loaded = LeanMemoryGraph.load_from_json(str(path))
    t2 = time.perf_counter()
    same = loaded.to_json_str() == graph.to_json_str()
    print(f"  {path}: {path.stat().st_size:,} bytes, saved in {1000 * (t1 - t0):.1f} ms, "
          f"loaded in {1000 * (t2 - t1):.1f} ms; the same document: {same}")

    print(f"\n{time.perf_counter() - started:.1f} s in all")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("demo-output"))
