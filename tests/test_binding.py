"""The Python face of the module: module and class properties, the method table, argument
parsing and conversion messages, the access rule, and how failures are reported."""

import errno
import gc
import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import recall_mesh
from recall_mesh import LeanMemoryGraph
from conftest import add32, f32, snapshot

# ----- module and class ------------------------------------------------------------------

# (name, text signature, doc text after the signature or None)
METHOD_TABLE = [
    ("node_count", "($self)", None),
    ("edge_count", "($self)", None),
    ("save_to_json", "($self, path)", None),
    ("to_json_str", "($self)", None),
    ("load_from_json", "(path)", None),
    ("get_graph_data", "($self)", None),
    ("get_graph_data_for_project", "($self, project_id)", None),
    (
        "add_association",
        "($self, concept_a, concept_b, project_id, initial_weight, current_time=0, "
        "salience=0.5, is_landmark=False)",
        "Add a bidirectional association between two concepts.\n\n"
        "If the edge already exists, it is strengthened.\n"
        "`current_time` is used to set `created_at` on new edges.\n"
        "`salience` sets the importance (0.0\u20131.0, default 0.5).\n"
        "`is_landmark` makes the edge immune to decay.",
    ),
    (
        "decay_and_prune",
        "($self, decay_rate)",
        "Decay all edge weights and prune dead edges.\n\n"
        "Landmark edges are immune to decay.\n"
        "Salience reduces effective decay rate.\n"
        "Returns the number of edges pruned.",
    ),
    (
        "spread_activation",
        "($self, starting_nodes, current_project, current_time)",
        "Spread activation from starting nodes through the graph.\n\n"
        "Energy propagates along edges, weighted by edge weight AND salience.\n"
        "Returns a map of activated concepts \u2192 energy levels.",
    ),
    (
        "detect_clusters",
        "($self, project_id, min_weight)",
        "Detect natural concept clusters using connected components.\n\n"
        "Only considers edges above `min_weight` for the given project.\n"
        "Returns a list of clusters, each a list of concept names.",
    ),
    (
        "get_cluster_for_node",
        "($self, node, project_id)",
        "Find all nodes in the same cluster as `node`.",
    ),
    (
        "cluster_label",
        "($self, cluster)",
        'Return the "hub" node of a cluster \u2014 highest total edge weight.',
    ),
    (
        "get_cluster_density",
        "($self, nodes, project_id)",
        "Compute the average edge weight among all pairs in a node set.\n\n"
        "Used by SchemaDetector to assess cluster density / quality.",
    ),
    (
        "get_concepts_for_insight",
        "($self, insight_concepts, project_id)",
        "Return all directly connected concepts and their max edge weights.\n\n"
        "Given the concepts belonging to an insight, returns all neighbours\n"
        "(excluding the input set) with the strongest link weight to each.",
    ),
    (
        "record_feedback",
        "($self, concept_a, concept_b, was_useful, current_time)",
        "Record a retrieval feedback event on an edge.\n\n"
        "Increments `retrieval_count`. If `was_useful`, also increments\n"
        "`useful_count` and strengthens the edge. If not useful, applies\n"
        "a gentle weight penalty.",
    ),
    ("_upsert_edge", "($self, a, b, pid, weight, current_time, salience, is_landmark)", None),
    ("promote_and_strengthen", "($self, from, to)", None),
    ("strengthen_edge", "($self, from, to, current_time)", None),
]


def test_module_holds_only_the_class_and_all():
    assert recall_mesh.__doc__ == ""
    assert recall_mesh.__all__ == ["LeanMemoryGraph"]
    public = {k for k in vars(recall_mesh) if not (k.startswith("__") and k.endswith("__"))}
    assert public == {"LeanMemoryGraph"}
    assert "__all__" in vars(recall_mesh)


def test_module_exports_only_its_entry():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    out = subprocess.run([nm, "-D", "--defined-only", recall_mesh.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_recall_mesh"]


def test_class_identity():
    assert LeanMemoryGraph.__module__ == "builtins"
    assert LeanMemoryGraph.__name__ == "LeanMemoryGraph"
    assert LeanMemoryGraph.__qualname__ == "LeanMemoryGraph"
    assert LeanMemoryGraph.__doc__ == ""
    assert LeanMemoryGraph.__text_signature__ == "()"
    assert LeanMemoryGraph.__bases__ == (object,)
    assert str(inspect.signature(LeanMemoryGraph)) == "()"


def test_reimport_yields_the_same_module_and_class():
    saved = sys.modules.pop("recall_mesh")
    try:
        again = importlib.import_module("recall_mesh")
        assert again is saved
        assert again.LeanMemoryGraph is LeanMemoryGraph
        assert again.__all__ == ["LeanMemoryGraph"]
    finally:
        sys.modules["recall_mesh"] = saved


def test_class_is_final_without_dict_weakrefs_or_gc(graph):
    with pytest.raises(TypeError):
        type("Sub", (LeanMemoryGraph,), {})
    with pytest.raises(AttributeError):
        graph.extra = 1
    assert not hasattr(graph, "__dict__")
    # Like a built-in class it cannot be changed: a replaced __new__ would let
    # object.__new__ make an instance without a store.
    with pytest.raises(TypeError):
        LeanMemoryGraph.__new__ = staticmethod(lambda cls: object.__new__(cls))
    with pytest.raises(TypeError):
        LeanMemoryGraph.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(graph)
    assert not gc.is_tracked(graph)


def test_method_table_order_signatures_and_docs():
    registered = [k for k in vars(LeanMemoryGraph) if not k.startswith("__")]
    assert registered == [name for name, _, _ in METHOD_TABLE]
    for name, signature, doc in METHOD_TABLE:
        method = getattr(LeanMemoryGraph, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == doc, name


def test_inspect_signature():
    for name, signature, _ in METHOD_TABLE:
        method = getattr(LeanMemoryGraph, name)
        if "from" in signature:
            # `from` is a Python keyword, so no parameter list naming it parses as Python;
            # inspect refuses these two text signatures although they are stored as given.
            with pytest.raises(ValueError):
                inspect.signature(method)
            continue
        sig = inspect.signature(method)
        expected = signature.replace("$self", "self, /")
        assert str(sig) == expected, name
    sig = inspect.signature(LeanMemoryGraph.add_association)
    assert sig.parameters["current_time"].default == 0
    assert sig.parameters["salience"].default == 0.5
    assert sig.parameters["is_landmark"].default is False


def test_omitted_arguments_take_the_signature_defaults():
    """The defaults the signature shows are the values an omitted argument stores."""
    def document(*args, **kwargs):
        g = LeanMemoryGraph()
        g.add_association("a", "b", "p", 0.25, *args, **kwargs)
        return g.to_json_str()

    shown = inspect.signature(LeanMemoryGraph.add_association).parameters
    defaults = [shown[name].default for name in ("current_time", "salience", "is_landmark")]
    assert document() == document(*defaults)
    # Any subset given by keyword leaves the others at their defaults.
    assert document(is_landmark=True) == document(defaults[0], defaults[1], True)
    assert document(salience=0.75) == document(defaults[0], 0.75, defaults[2])
    assert document(current_time=9) == document(9, *defaults[1:])


def test_load_from_json_is_static(graph):
    assert isinstance(vars(LeanMemoryGraph)["load_from_json"], staticmethod)
    # Callable through an instance too, without the instance as an argument.
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given"):
        graph.load_from_json("x", "y")


def test_instances_are_independent():
    a, b = LeanMemoryGraph(), LeanMemoryGraph()
    a.add_association("x", "y", "p", 0.5)
    assert (a.node_count(), b.node_count()) == (2, 0)
    del a
    gc.collect()
    assert b.node_count() == 0


# ----- argument parsing --------------------------------------------------------------------

AA = "LeanMemoryGraph.add_association()"

PARSE_ERRORS = [
    (lambda g: LeanMemoryGraph(1), "LeanMemoryGraph.__new__() takes 0 positional arguments but 1 was given"),
    (lambda g: LeanMemoryGraph(1, 2), "LeanMemoryGraph.__new__() takes 0 positional arguments but 2 were given"),
    (lambda g: LeanMemoryGraph(x=1), "LeanMemoryGraph.__new__() got an unexpected keyword argument 'x'"),
    # Calls through the class pass the keyword dict on unchecked.
    (lambda g: LeanMemoryGraph(**{1: 2}), "keywords must be strings"),
    (lambda g: LeanMemoryGraph.__new__(LeanMemoryGraph, **{b"x" * 800: 2}), "keywords must be strings"),
    (lambda g: g.add_association("a", "b", "p"), AA + " missing 1 required positional argument: 'initial_weight'"),
    (lambda g: g.add_association("a", "b"), AA + " missing 2 required positional arguments: 'project_id' and 'initial_weight'"),
    (lambda g: g.add_association(), AA + " missing 4 required positional arguments: 'concept_a', 'concept_b', 'project_id', and 'initial_weight'"),
    (lambda g: g.add_association(concept_b="b", initial_weight=1), AA + " missing 2 required positional arguments: 'concept_a' and 'project_id'"),
    (lambda g: g.add_association("a", "b", "p", 0.5, 0, 0.5, False, 1), AA + " takes from 4 to 7 positional arguments but 8 were given"),
    (lambda g: g.add_association("a", "b", "p", 0.5, concept_a="x"), AA + " got multiple values for argument 'concept_a'"),
    (lambda g: g.add_association("a", "b", "p", 0.5, weight=1), AA + " got an unexpected keyword argument 'weight'"),
    (lambda g: g.add_association("a", "b", "p", 0.5, **{"\u00e9": 1}), AA + " got an unexpected keyword argument '\u00e9'"),
    (lambda g: g.decay_and_prune(), "LeanMemoryGraph.decay_and_prune() missing 1 required positional argument: 'decay_rate'"),
    (lambda g: g.decay_and_prune(0.1, 0.2), "LeanMemoryGraph.decay_and_prune() takes 1 positional arguments but 2 were given"),
    (lambda g: g.strengthen_edge("a", "b"), "LeanMemoryGraph.strengthen_edge() missing 1 required positional argument: 'current_time'"),
    (lambda g: g.strengthen_edge("a", "b", 1, 2), "LeanMemoryGraph.strengthen_edge() takes 3 positional arguments but 4 were given"),
    (lambda g: g.promote_and_strengthen(**{"from": "a"}), "LeanMemoryGraph.promote_and_strengthen() missing 1 required positional argument: 'to'"),
    (lambda g: g.spread_activation([], "p", 0, current_time=1), "LeanMemoryGraph.spread_activation() got multiple values for argument 'current_time'"),
    (lambda g: g._upsert_edge("a", "b", "p", 0.5, 0, 0.5), "LeanMemoryGraph._upsert_edge() missing 1 required positional argument: 'is_landmark'"),
    (lambda g: g.record_feedback("a", "b", True), "LeanMemoryGraph.record_feedback() missing 1 required positional argument: 'current_time'"),
    (lambda g: g.get_cluster_for_node(project_id="p"), "LeanMemoryGraph.get_cluster_for_node() missing 1 required positional argument: 'node'"),
    (lambda g: g.save_to_json(), "LeanMemoryGraph.save_to_json() missing 1 required positional argument: 'path'"),
    (lambda g: LeanMemoryGraph.load_from_json(path="x", mode="r"), "LeanMemoryGraph.load_from_json() got an unexpected keyword argument 'mode'"),
]


@pytest.mark.parametrize("call, message", PARSE_ERRORS)
def test_parse_errors(pair_graph, call, message):
    before = snapshot(pair_graph)
    with pytest.raises(TypeError) as info:
        call(pair_graph)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert snapshot(pair_graph) == before


def test_parse_errors_come_before_conversion(graph):
    # A wrong count is reported even when the arguments would not convert either.
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given"):
        graph.decay_and_prune("x", "y")
    # A missing argument is reported before a bad one is looked at.
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'to'"):
        graph.promote_and_strengthen(1)


@pytest.mark.parametrize("name", ["node_count", "edge_count", "to_json_str", "get_graph_data"])
def test_no_arg_methods_refuse_arguments(graph, name):
    with pytest.raises(TypeError):
        getattr(graph, name)(1)
    with pytest.raises(TypeError):
        getattr(graph, name)(x=1)


def test_keywords_and_positions_mix(graph):
    graph.add_association(
        is_landmark=True, salience=0.9, current_time=7, initial_weight=0.5, project_id="p",
        concept_b="b", concept_a="a")
    graph.add_association("c", "d", "p", initial_weight=0.5)
    graph._upsert_edge("e", b="f", pid="p", weight=0.5, current_time=0, salience=0.5,
                       is_landmark=False)
    graph.strengthen_edge(**{"from": "a", "to": "b", "current_time": 5000})
    graph.promote_and_strengthen(**{"from": "c", "to": "d"})
    data = graph.get_graph_data()
    assert data["a"]["b"] == add32(0.5, 0.2, 0.15)
    assert data["c"]["d"] == 1.0
    assert data["e"] == {"f": 0.699999988079071}
    # Keyword names built at run time (not interned) match as well.
    key = "".join(["decay", "_", "rate"])
    assert graph.decay_and_prune(**{key: 0.0}) == 0


# ----- argument conversion -----------------------------------------------------------------


class Number:
    """Converts through __float__ / __index__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)

    def __index__(self):
        return int(self.value)


class NotAStr:
    pass


CONVERSION_ERRORS = [
    # str parameters
    (lambda g: g.add_association(1, "b", "p", 0.5), TypeError, "argument 'concept_a': 'int' object cannot be converted to 'PyString'"),
    (lambda g: g.add_association("a", b"b", "p", 0.5), TypeError, "argument 'concept_b': 'bytes' object cannot be converted to 'PyString'"),
    (lambda g: g.add_association("a", "b", None, 0.5), TypeError, "argument 'project_id': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda g: g.add_association("a", "b", NotAStr(), 0.5), TypeError, "argument 'project_id': 'NotAStr' object cannot be converted to 'PyString'"),
    (lambda g: g._upsert_edge("a", "b", 1, 0.5, 0, 0.5, False), TypeError, "argument 'pid': 'int' object cannot be converted to 'PyString'"),
    (lambda g: g.promote_and_strengthen("a", 1), TypeError, "argument 'to': 'int' object cannot be converted to 'PyString'"),
    (lambda g: g.get_cluster_for_node(1.0, "p"), TypeError, "argument 'node': 'float' object cannot be converted to 'PyString'"),
    (lambda g: g.save_to_json(os.curdir.encode()), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda g: LeanMemoryGraph.load_from_json(None), TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda g: g.get_graph_data_for_project(["p"]), TypeError, "argument 'project_id': 'list' object cannot be converted to 'PyString'"),
    # float parameters
    (lambda g: g.add_association("a", "b", "p", "0.5"), TypeError, "argument 'initial_weight': must be real number, not str"),
    (lambda g: g.add_association("a", "b", "p", None), TypeError, "argument 'initial_weight': must be real number, not NoneType"),
    (lambda g: g.add_association("a", "b", "p", 0.5, 0, []), TypeError, "argument 'salience': must be real number, not list"),
    (lambda g: g.decay_and_prune(10**400), OverflowError, "int too large to convert to float"),
    (lambda g: g.detect_clusters("p", "x"), TypeError, "argument 'min_weight': must be real number, not str"),
    # int parameters
    (lambda g: g.strengthen_edge("a", "b", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda g: g.strengthen_edge("a", "b", 2**64), OverflowError, "int too big to convert"),
    (lambda g: g.strengthen_edge("a", "b", 1.5), TypeError, "argument 'current_time': 'float' object cannot be interpreted as an integer"),
    (lambda g: g.add_association("a", "b", "p", 0.5, "1"), TypeError, "argument 'current_time': 'str' object cannot be interpreted as an integer"),
    (lambda g: g.record_feedback("a", "b", True, Number(-5)), OverflowError, "can't convert negative int to unsigned"),
    # bool parameters
    (lambda g: g.add_association("a", "b", "p", 0.5, is_landmark=1), TypeError, "argument 'is_landmark': 'int' object cannot be converted to 'PyBool'"),
    (lambda g: g.add_association("a", "b", "p", 0.5, is_landmark=0), TypeError, "argument 'is_landmark': 'int' object cannot be converted to 'PyBool'"),
    (lambda g: g.add_association("a", "b", "p", 0.5, is_landmark=None), TypeError, "argument 'is_landmark': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda g: g.record_feedback("a", "b", "yes", 0), TypeError, "argument 'was_useful': 'str' object cannot be converted to 'PyBool'"),
    # list-of-str parameters
    (lambda g: g.spread_activation("abc", "p", 0), TypeError, "argument 'starting_nodes': Can't extract `str` to `Vec`"),
    (lambda g: g.cluster_label("a"), TypeError, "argument 'cluster': Can't extract `str` to `Vec`"),
    (lambda g: g.get_cluster_density({"a": 1}, "p"), TypeError, "argument 'nodes': 'dict' object cannot be converted to 'Sequence'"),
    (lambda g: g.get_concepts_for_insight({"a"}, "p"), TypeError, "argument 'insight_concepts': 'set' object cannot be converted to 'Sequence'"),
    (lambda g: g.spread_activation(5, "p", 0), TypeError, "argument 'starting_nodes': 'int' object cannot be converted to 'Sequence'"),
    (lambda g: g.spread_activation(iter(["a"]), "p", 0), TypeError, "argument 'starting_nodes': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda g: g.spread_activation(["a", 1], "p", 0), TypeError, "argument 'starting_nodes': 'int' object cannot be converted to 'PyString'"),
    (lambda g: g.cluster_label(("a", None)), TypeError, "argument 'cluster': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda g: g.get_cluster_density(["a", b"b"], "p"), TypeError, "argument 'nodes': 'bytes' object cannot be converted to 'PyString'"),
    # the first failing argument in signature order is the one reported
    (lambda g: g.add_association(1, 2, 3, "x"), TypeError, "argument 'concept_a': 'int' object cannot be converted to 'PyString'"),
    (lambda g: g.spread_activation(["a"], 1, -1), TypeError, "argument 'current_project': 'int' object cannot be converted to 'PyString'"),
    (lambda g: g.record_feedback("a", "b", 1, "t"), TypeError, "argument 'was_useful': 'int' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("call, exc_type, message", CONVERSION_ERRORS)
def test_conversion_errors(pair_graph, call, exc_type, message):
    before = snapshot(pair_graph)
    with pytest.raises(exc_type) as info:
        call(pair_graph)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert snapshot(pair_graph) == before


def test_type_names_are_qualified(graph):
    class Inner:
        pass

    with pytest.raises(TypeError) as info:
        graph.cluster_label([Inner()])
    assert str(info.value) == (
        f"argument 'cluster': '{Inner.__qualname__}' object cannot be converted to 'PyString'")
    assert "<locals>.Inner" in Inner.__qualname__


def test_lone_surrogates_raise_unicode_error_unchanged(pair_graph):
    before = snapshot(pair_graph)
    with pytest.raises(UnicodeEncodeError):
        pair_graph.add_association("\ud800", "b", "p", 0.5)
    with pytest.raises(UnicodeEncodeError):
        pair_graph.spread_activation(["a", "x\udfff"], "p", 0)
    assert snapshot(pair_graph) == before


def test_relabelled_type_error_keeps_the_cause(pair_graph):
    root = KeyError("root")

    class Bad:
        def __float__(self):
            raise TypeError("no float for you") from root

    with pytest.raises(TypeError) as info:
        pair_graph.add_association("a", "b", "p", Bad())
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'initial_weight': no float for you"
    assert info.value.__cause__ is root


def test_other_exceptions_from_conversions_pass_unchanged(pair_graph):
    class SubTypeError(TypeError):
        pass

    class Raises:
        def __init__(self, exc):
            self.exc = exc

        def __float__(self):
            raise self.exc

        def __index__(self):
            raise self.exc

    before = snapshot(pair_graph)
    for exc in (ValueError("v"), SubTypeError("s"), ZeroDivisionError("z")):
        with pytest.raises(type(exc)) as info:
            pair_graph.add_association("a", "b", "p", Raises(exc))
        assert info.value is exc
        with pytest.raises(type(exc)) as info:
            pair_graph.strengthen_edge("a", "b", Raises(exc))
        assert info.value is exc

    class BadSeq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise LookupError("from the sequence")

    with pytest.raises(LookupError, match="from the sequence"):
        pair_graph.cluster_label(BadSeq())
    assert snapshot(pair_graph) == before


def test_accepted_numbers(graph):
    graph.add_association("a", "b", "p", 1)  # an int is a valid float
    graph.add_association("c", "d", "p", Number(0.25), Number(7), Number(0.75))
    graph.add_association("e", "f", "p", True, True)  # bools are ints to the interpreter
    graph.strengthen_edge("a", "b", 2**64 - 1)
    graph._upsert_edge("g", "h", "p", float("-inf"), 0, float("nan"), False)
    graph.add_association("i", "j", "p", 1e300)  # beyond the float range: infinity
    data = graph.get_graph_data()
    assert data["a"]["b"] == 1.0
    assert data["c"]["d"] == add32(0.25, 0.2)
    assert data["e"]["f"] == 1.0
    assert data["g"]["h"] == float("-inf")
    assert data["i"]["j"] == 1.0  # min(inf + 0.2, 1.0)
    assert graph.edge_count() == 9


def test_floats_are_rounded_to_32_bits(graph):
    # The argument is rounded to 32 bits before the store adds 0.2 in 32 bits; adding in
    # 64 bits first would give a different float here.
    w = -3.0000001
    assert add32(w, 0.2) != f32(w + 0.2)
    graph.add_association("a", "b", "p", w)
    graph._upsert_edge("c", "d", "p", -1e300, 0, 0.5, False)
    data = graph.get_graph_data()
    assert data["a"]["b"] == add32(w, 0.2)
    assert data["c"]["d"] == float("-inf")


def test_accepted_bools(graph):
    graph.add_association("a", "b", "p", 0.5, is_landmark=True)
    graph.add_association("a", "b", "p", 0.5, is_landmark=False)
    graph.record_feedback("a", "b", False, 0)
    assert graph.edge_count() == 2


def test_numpy_bools_are_taken_by_truth_value(graph):
    np = pytest.importorskip("numpy")
    graph.add_association("a", "b", "p", 0.5, is_landmark=np.bool_(True))
    graph.record_feedback("a", "b", np.bool_(False), 0)
    graph.record_feedback("a", "b", np.True_, 10_000)
    for value in (np.int64(1), np.float64(1.0), np.array([True])):
        with pytest.raises(TypeError) as info:
            graph.record_feedback("a", "b", value, 0)
        assert str(info.value) == (
            f"argument 'was_useful': '{type(value).__qualname__}' object cannot be converted "
            "to 'PyBool'")
    # The numpy False penalised, the numpy True reinforced, and the landmark flag holds.
    graph.decay_and_prune(1.0)
    assert graph.get_graph_data()["a"]["b"] == add32(0.5, 0.2, -0.05, 0.15)
    # Another type of the same name and module is judged alike, whichever came first.
    lookalike = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})
    graph.record_feedback("a", "b", lookalike(), 20_000)
    graph.record_feedback("a", "b", np.True_, 30_000)


def test_a_failing_look_at_a_bools_type_reaches_the_caller(graph):
    """Deciding whether a value is numpy's bool reads its type's __module__: a type without
    one is simply not numpy's, but any other error there (an interrupt, say) is the
    caller's to see, not a conversion error."""
    class Stop(Exception):
        pass

    def make(error):
        def module(cls):
            raise error
        return type("Meta", (type,), {"__module__": property(module)})("bool", (), {})

    graph.add_association("a", "b", "p", 0.5)
    before = graph.to_json_str()
    with pytest.raises(Stop):
        graph.record_feedback("a", "b", make(Stop())(), 0)
    with pytest.raises(TypeError, match="cannot be converted to 'PyBool'"):
        graph.record_feedback("a", "b", make(AttributeError("__module__"))(), 0)
    assert graph.to_json_str() == before


def test_sequences_of_str(graph):
    class Seq:
        """A sequence by __getitem__ and __len__ only."""

        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    class Name(str):
        pass

    assert graph.spread_activation(("a", "b"), "p", 0) == {"a": 1.0, "b": 1.0}
    assert graph.spread_activation(Seq(["x"]), "p", 0) == {"x": 1.0}
    assert graph.spread_activation([Name("n")], Name("p"), 0) == {"n": 1.0}
    assert graph.spread_activation([], "p", 0) == {}

    class ListSub(list):
        def __iter__(self):
            return iter(["from-iter"])

    # A list subclass is iterated, so its own __iter__ decides the items.
    assert graph.spread_activation(ListSub(["ignored"]), "p", 0) == {"from-iter": 1.0}


def test_list_items_are_copied_before_later_code_runs(graph):
    """Items are owned copies: code run by a later conversion may change the list."""
    graph.add_association("a", "b", "p", 0.5)
    graph.add_association("c", "d", "p", 0.5)
    names = ["a", "b"]

    class Clobber:
        def __index__(self):
            names[:] = ["c"] * 100
            return 0

    result = graph.spread_activation(names, "p", Clobber())
    assert result == {"a": 1.0, "b": 1.0}


def test_names_and_empty_strings_pass_through(graph):
    graph.add_association("", "\u00e9t\u00e9 \U0001f600", "", 0.5)
    data = graph.get_graph_data()
    assert set(data) == {"", "\u00e9t\u00e9 \U0001f600"}
    assert graph.get_graph_data_for_project("") == data


# ----- the access rule ---------------------------------------------------------------------


def test_float_callback_meets_the_exclusive_borrow(pair_graph):
    g = pair_graph
    before = snapshot(g)
    seen = []

    class Reenter:
        def __float__(self):
            with pytest.raises(RuntimeError) as info:
                g.node_count()
            seen.append(str(info.value))
            with pytest.raises(RuntimeError) as info:
                g.add_association("x", "y", "p", 0.5)
            seen.append(str(info.value))
            return 0.5

    g.add_association("a", "b", "p", Reenter())
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    # Only the outer call changed the graph.
    assert g.node_count() == 2
    assert g.get_graph_data()["a"]["b"] == add32(0.5, 0.2, 0.2)
    assert before[0:2] == snapshot(g)[0:2]


def test_failed_inner_call_propagates_and_leaves_graph_unchanged(pair_graph):
    g = pair_graph
    before = snapshot(g)

    class Reenter:
        def __index__(self):
            g.add_association("x", "y", "p", 0.5)  # raises: the graph is borrowed
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        g.strengthen_edge("a", "b", Reenter())
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        g.record_feedback("a", "b", True, Reenter())
    assert snapshot(g) == before
    # The borrow was released on the way out.
    g.add_association("x", "y", "p", 0.5)
    assert g.node_count() == 4


def test_sequence_callback_under_shared_and_exclusive_borrows(pair_graph):
    g = pair_graph
    log = []

    class Seq:
        def __init__(self, action):
            self.action = action

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i > 0:
                raise IndexError
            try:
                log.append(self.action())
            except RuntimeError as e:
                log.append(str(e))
            return "a"

    # Readers may nest; a writer may not join readers; a reader may not join a writer.
    g.get_cluster_density(Seq(g.node_count), "p")
    g.get_concepts_for_insight(Seq(lambda: g.decay_and_prune(1.0)), "p")
    g.spread_activation(Seq(g.edge_count), "p", 0)
    g.spread_activation(Seq(lambda: g.cluster_label(["a"])), "p", 0)
    assert log == [2, "Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
    assert g.edge_count() == 2


def test_other_instances_are_free_during_a_callback(pair_graph):
    other = LeanMemoryGraph()

    class Reenter:
        def __float__(self):
            other.add_association("x", "y", "p", 0.5)
            return 0.5

    pair_graph.add_association("c", "d", "p", Reenter())
    assert other.node_count() == 2
    assert pair_graph.node_count() == 4


def test_borrow_is_released_after_every_kind_of_failure(pair_graph):
    g = pair_graph
    failures = [
        lambda: g.add_association("a", "b"),  # parsing
        lambda: g.add_association("a", "b", "p", "w"),  # conversion
        lambda: g.spread_activation(["a", 1], "p", 0),  # list item
        lambda: g.save_to_json(1),
    ]
    for call in failures:
        with pytest.raises(TypeError):
            call()
        g.add_association("a", "b", "p", 0.5)  # needs a free graph
    assert g.edge_count() == 2


# ----- failures beyond arguments -----------------------------------------------------------


def needs_persistence(graph):
    if '"a"' not in graph.to_json_str():
        pytest.skip("the document layer is not built yet")


def test_file_errors_map_to_os_error_classes(pair_graph, tmp_path):
    """A failed open raises the OSError subclass of the system error; every other file or
    format error raises OSError itself. The message is the only argument and filename stays
    None; errno holds the number of a failed open and is None for everything else."""
    needs_persistence(pair_graph)
    regular = tmp_path / "file"
    regular.write_text("not json")
    cases = [
        (lambda: LeanMemoryGraph.load_from_json(str(tmp_path / "missing.json")),
         FileNotFoundError, "No such file or directory (os error 2)", errno.ENOENT),
        (lambda: pair_graph.save_to_json(str(tmp_path / "no" / "graph.json")),
         FileNotFoundError, "No such file or directory (os error 2)", errno.ENOENT),
        (lambda: pair_graph.save_to_json(str(tmp_path)),
         OSError, "Is a directory (os error 21)", errno.EISDIR),
        (lambda: pair_graph.save_to_json(str(regular / "graph.json")),
         OSError, "Not a directory (os error 20)", errno.ENOTDIR),
        (lambda: pair_graph.save_to_json(str(tmp_path / "a\0b")),
         OSError, "file name contained an unexpected NUL byte", None),
        (lambda: LeanMemoryGraph.load_from_json(str(tmp_path)),
         OSError, "Failed to load graph: Is a directory (os error 21)", None),
    ]
    before = snapshot(pair_graph)
    for call, exc_type, message, number in cases:
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is exc_type
        assert info.value.args == (message,) and str(info.value) == message
        assert info.value.errno == number and info.value.filename is None
    with pytest.raises(OSError) as info:
        LeanMemoryGraph.load_from_json(str(regular))
    assert type(info.value) is OSError
    assert str(info.value).startswith("Failed to load graph: ")
    assert snapshot(pair_graph) == before


def test_load_from_json_returns_a_new_independent_graph(pair_graph, tmp_path):
    needs_persistence(pair_graph)
    path = str(tmp_path / "graph.json")
    assert pair_graph.save_to_json(path) is None
    loaded = LeanMemoryGraph.load_from_json(path=path)
    again = pair_graph.load_from_json(path)  # through an instance, which it leaves alone
    assert type(loaded) is LeanMemoryGraph
    assert loaded is not again
    assert loaded.get_graph_data() == pair_graph.get_graph_data()
    loaded.add_association("c", "d", "p", 0.5)
    assert (loaded.node_count(), again.node_count(), pair_graph.node_count()) == (4, 2, 2)


def run_python(code, prelude=""):
    """Runs prelude, then code, in a fresh interpreter with this module importable;
    returns stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(recall_mesh.__file__)] + env.get("PYTHONPATH", "").split(os.pathsep))
    source = textwrap.dedent(prelude) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", source], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


# For a child interpreter: `with address_space_cap():` lets the child use 128 MB more
# address space than it holds now, and lifts the cap again.
ADDRESS_SPACE_CAP = """
    import contextlib, resource

    @contextlib.contextmanager
    def address_space_cap():
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        used = pages * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (128 << 20), hard))
        try:
            yield
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""


def test_sub_interpreters_are_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreter runner in this build")
    out = run_python("""
        import os, _testcapi, recall_mesh
        r, w = os.pipe()
        _testcapi.run_in_subinterp('''
        import os
        try:
            import recall_mesh
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        os.write(%d, result.encode())
        ''' % w)
        os.close(w)
        print(os.read(r, 4096).decode())
        print(recall_mesh.LeanMemoryGraph().node_count())
    """)
    first, second = out.splitlines()
    assert first.startswith("ImportError: ")
    assert "sub-interpreters" in first
    assert second == "0"


def test_allocation_failure_is_a_memory_error():
    """Under an address-space limit, copying a huge name fails inside the store; the call
    raises MemoryError and the borrow is released."""
    resource = pytest.importorskip("resource")
    del resource
    out = run_python(prelude=ADDRESS_SPACE_CAP, code="""
        from recall_mesh import LeanMemoryGraph
        g = LeanMemoryGraph()
        g.add_association("a", "b", "p", 0.5)
        big = "x" * (512 << 20)
        with address_space_cap():
            try:
                g.add_association(big, "b", "p", 0.5)
                print("no error")
            except MemoryError:
                print("MemoryError")
        del big
        g.add_association("c", "d", "p", 0.5)
        print(g.edge_count() >= 4)
    """)
    assert out.split() == ["MemoryError", "True"]


def test_a_name_repeated_in_a_list_costs_what_one_occurrence_does():
    """A starting name or insight member given many times is worked on once: under an
    address-space limit, a list of one hub's name 200,000 times still answers, exactly as
    the name given once does, instead of setting memory aside for every repeat."""
    resource = pytest.importorskip("resource")
    del resource
    out = run_python(prelude=ADDRESS_SPACE_CAP, code="""
        from recall_mesh import LeanMemoryGraph
        def hub():
            g = LeanMemoryGraph()
            for i in range(2000):
                g._upsert_edge("hub", f"n{i}", "p", 0.5, 0, 0.5, False)
                g._upsert_edge(f"n{i}", f"m{i}", "p", 0.5, 0, 0.5, False)
            return g
        once, many = hub(), hub()
        names = ["hub"] * 200_000
        with address_space_cap():
            print(many.get_concepts_for_insight(names, "p") == once.get_concepts_for_insight(["hub"], "p"))
            got = list(many.spread_activation(names, "p", 10_000).items())
            print(got == list(once.spread_activation(["hub"], "p", 10_000).items()))
        print(many.to_json_str() == once.to_json_str())
    """)
    assert out.split() == ["True", "True", "True"]


def test_a_long_name_listed_many_times_is_not_copied_per_listing():
    """A list holding one 1 MiB str a thousand times is 8 KB of list: each method reads
    the str in place for every listing, under an address-space limit far below the
    gigabyte that a copy per listing would take."""
    resource = pytest.importorskip("resource")
    del resource
    out = run_python(prelude=ADDRESS_SPACE_CAP, code="""
        from recall_mesh import LeanMemoryGraph
        g = LeanMemoryGraph()
        long = "x" * (1 << 20)
        g.add_association(long, "b", "p", 0.5)
        names = [long] * 1000
        with address_space_cap():
            label = g.cluster_label(names)
            density = g.get_cluster_density(names, "p")
            insight = g.get_concepts_for_insight(names, "p")
            spread = g.spread_activation(names, "p", 0)
        print(label == long, density, sorted(insight), sorted(map(len, spread)))
    """)
    assert out.split() == ["True", "0.0", "['b']", "[1,", "1048576]"]


def test_lookups_by_id_are_keyed_per_process():
    """Where an id lands in a concept's index, and so the order of an insight's
    neighbours, follows a key drawn per process: the same calls in three interpreters give
    three orders, where a fixed mixer would let whoever picks the names pick colliding
    ids."""
    code = """
        from recall_mesh import LeanMemoryGraph
        g = LeanMemoryGraph()
        for i in range(64):
            g._upsert_edge("hub", f"n{i}", "p", 0.5, 0, 0.5, False)
        print(" ".join(g.get_concepts_for_insight(["hub"], "p")))
    """
    orders = [run_python(code).split() for _ in range(3)]
    assert all(sorted(o) == sorted(orders[0]) for o in orders)
    assert len({tuple(o) for o in orders}) > 1


def test_benchmark_twin_runs_the_same_call_path():
    """The benchmark-only module (built with RECALL_MESH_BENCH) parses, borrows and converts
    exactly as the real class does, and then does nothing."""
    bench = pytest.importorskip("_recall_mesh_bench")
    noop = bench.NoopGraph()
    for name in ("add_association", "record_feedback", "spread_activation",
                 "get_concepts_for_insight", "get_cluster_density"):
        twin, real = getattr(bench.NoopGraph, name), getattr(LeanMemoryGraph, name)
        assert (twin.__text_signature__, twin.__doc__) == (real.__text_signature__, real.__doc__)
    assert noop.add_association("a", "b", "p", 0.5, 1, 0.5, True) is None
    assert noop.record_feedback("a", "b", True, 1) is None
    assert noop.spread_activation(("a",), "p", 0) is None
    assert noop.get_concepts_for_insight(["a"], "p") is None
    assert noop.get_cluster_density(["a"], project_id="p") is None
    with pytest.raises(TypeError) as info:
        noop.add_association("a", "b", "p")
    assert str(info.value) == (
        "NoopGraph.add_association() missing 1 required positional argument: 'initial_weight'")
    with pytest.raises(TypeError) as info:
        noop.spread_activation("abc", "p", 0)
    assert str(info.value) == "argument 'starting_nodes': Can't extract `str` to `Vec`"

    class Reenter:
        def __index__(self):
            noop.get_cluster_density([], "p")
            return 0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        noop.record_feedback("a", "b", False, Reenter())
