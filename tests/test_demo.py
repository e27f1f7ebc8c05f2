"""A slice of examples/demo.py on a few real help topics: what it extracts, what it
recalls, and the pictures it draws."""

import importlib.util
import re
import struct
import sys
from pathlib import Path

import pytest

from recall_mesh import LeanMemoryGraph

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("demo", ROOT / "examples" / "demo.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["demo"] = module  # its dataclasses look their module up
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules["demo"]


@pytest.fixture(scope="module")
def topics():
    from pydoc_data.topics import topics

    # Statements and the execution model: enough text to recall from, quick to learn.
    wanted = ["try", "raise", "with", "for", "while", "exceptions", "execmodel"]
    return {name: topics[name] for name in wanted if name in topics}


def png_size(path):
    """Width and height from the PNG header, after checking the signature."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR", path
    return struct.unpack(">II", data[16:24])


def test_terms_come_from_prose_without_stop_words(demo):
    text = (
        "Heading\n*******\n\nThe objects of a class are called instances; an object\n"
        "has a base class.\n\n   for item in objects:\n      print(item)\n\n"
        "Every base class is an object.\n"
    )
    corpus = demo.build_corpus({"class": text}, min_count=1, phrase_min_count=2)
    terms = set(corpus.term_counts)
    assert {"object", "class", "base", "base class"} <= terms  # "objects" folded
    assert not terms & {"the", "of", "are", "an", "is", "heading", "print", "item"}
    assert "clas" not in terms  # "class" is not a plural


def test_recall_returns_terms_of_the_text(demo, topics):
    corpus = demo.build_corpus(topics)
    graph = LeanMemoryGraph()
    assert demo.learn(graph, corpus, now=0) > 100
    recalled = graph.spread_activation(["exception"], "statements", 9 * demo.HOUR)
    top = demo.ranked(recalled, exclude=["exception"], k=10)
    assert len(top) == 10
    for name, energy in top:
        assert name in corpus.term_counts and 0.1 <= energy <= 1.0
        for word in name.split():
            assert re.search(rf"\b{re.escape(word)}", corpus.text), word
    # Pairs met only in the statements' topics belong to that project, shared ones to
    # "Global": the project sees more than "Global" alone, and another group sees less.
    def entries(project):
        return sum(map(len, graph.get_graph_data_for_project(project).values()))

    assert entries("statements") > entries("Global") > 0
    assert entries("data model") == entries("Global")


def test_pictures_decode_at_the_size_asked_for(demo, topics, tmp_path):
    pytest.importorskip("networkx")
    image = pytest.importorskip("matplotlib.image")
    corpus = demo.build_corpus(topics)
    graph = LeanMemoryGraph()
    demo.learn(graph, corpus, now=0)
    timeline = [demo.snapshot(graph, "learned")]
    energies = graph.spread_activation(["exception", "finally"], "statements", 9 * demo.HOUR)
    first = tmp_path / "out" / "recall.png"
    nodes, positions = demo.draw_neighbourhood(graph, energies, "statements", first, "recall")
    assert 10 <= len(nodes) <= 30 and set(nodes) <= set(energies)

    for _ in range(3):
        graph.decay_and_prune(demo.DECAY_RATE)
        timeline.append(demo.snapshot(graph, "night"))
    later = graph.spread_activation(["exception", "finally"], "statements", 3 * demo.DAY)
    second = tmp_path / "out" / "later.png"
    demo.draw_neighbourhood(graph, later, "statements", second, "later", nodes, positions)
    day = tmp_path / "out" / "day.png"
    demo.plot_day(timeline, day)

    for path in (first, second, day):
        width, height = png_size(path)
        assert width >= 1200 and height >= 900, path
        assert image.imread(path).shape[:2] == (height, width)
    assert sum(timeline[0].tiers.values()) == timeline[0].entries
