"""The type stub in the wheel: it agrees with the installed module, accepts real use of
every method, and makes mypy report each mistake listed in mistakes.py."""

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import recall_mesh

pytest.importorskip("mypy")

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
INSTALLED = Path(recall_mesh.__file__).parent
STUBS = [INSTALLED / "recall_mesh.pyi", INSTALLED / "recall_mesh-stubs" / "__init__.pyi"]


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *args],
            cwd=ROOT, capture_output=True, text=True)

    return run


def stub_methods():
    """{name: [(parameter, default source or None), ...]} from the installed stub, with
    `from_` read as the runtime's `from`."""
    tree = ast.parse(STUBS[0].read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "LeanMemoryGraph")
    methods = {}
    for fn in cls.body:
        if not isinstance(fn, ast.FunctionDef):
            continue
        params = [*fn.args.posonlyargs, *fn.args.args]
        defaults = [None] * (len(params) - len(fn.args.defaults)) + fn.args.defaults
        methods[fn.name] = [
            ("from" if p.arg == "from_" else p.arg, None if d is None else ast.unparse(d))
            for p, d in zip(params, defaults) if p.arg != "self"]
    return methods


def runtime_methods():
    """The same from the module's own text signatures, "($self, a, b=0)"."""
    methods = {}
    for name in vars(recall_mesh.LeanMemoryGraph):
        signature = getattr(getattr(recall_mesh.LeanMemoryGraph, name), "__text_signature__", None)
        if name.startswith("__") or signature is None:
            continue
        params = [p.strip() for p in signature.strip("()").split(",") if p.strip()]
        methods[name] = [
            (p.partition("=")[0], p.partition("=")[2] or None) for p in params if p != "$self"]
    return methods


def test_the_wheel_ships_the_stub_in_both_places():
    source = (ROOT / "stubs" / "recall_mesh.pyi").read_text()
    for stub in STUBS:
        assert stub.read_text() == source, f"{stub} is not the repository's stub; rebuild?"


def test_stubtest_finds_no_difference():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "recall_mesh"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_method_has_the_runtime_parameters_and_defaults():
    # stubtest cannot read the signatures that name `from` (not valid Python), so the two
    # methods that have it would go unchecked without this comparison.
    stub, runtime = stub_methods(), runtime_methods()
    assert len(runtime) == 19
    assert stub == runtime


def test_real_use_of_every_method_checks_strict_and_runs(mypy, tmp_path):
    path = HERE / "uses_every_method.py"
    called = {n.attr for n in ast.walk(ast.parse(path.read_text())) if isinstance(n, ast.Attribute)}
    assert set(stub_methods()) <= called

    result = mypy(str(path))
    assert result.returncode == 0, result.stdout + result.stderr

    spec = importlib.util.spec_from_file_location("uses_every_method", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.main(str(tmp_path))


def test_the_examples_check_strict(mypy):
    result = mypy(str(ROOT / "examples"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_each_listed_mistake_is_reported(mypy):
    path = HERE / "mistakes.py"
    expected = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        marker = re.search(r"# E: ([a-z-]+(?:, [a-z-]+)*)$", line)
        if marker:
            expected[number] = {code.strip() for code in marker.group(1).split(",")}
    assert len(expected) >= 20

    result = mypy(str(path))
    reported = {}
    for match in re.finditer(r"^[^:\n]*:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M):
        reported.setdefault(int(match.group(1)), set()).add(match.group(2))
    missed = {n: codes - reported.get(n, set()) for n, codes in expected.items()}
    assert not {n: c for n, c in missed.items() if c}, result.stdout
    unexpected = {n: codes for n, codes in reported.items() if codes != expected.get(n)}
    assert not unexpected, result.stdout
