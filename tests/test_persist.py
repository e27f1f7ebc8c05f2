"""The graph document through the Python interface: exact text, loading current and legacy
documents, format errors, and saves that never lose the previous file."""

import json
import math
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from recall_mesh import LeanMemoryGraph

EXAMPLE = (
    '{"graph":{"adj":{"a":{"b":{"created_at":100,"decay_resistance":1.100000023841858,'
    '"is_landmark":false,"last_strengthened":0,"latency_tier":0,"project_id":"p",'
    '"retrieval_count":0,"salience":0.5,"useful_count":0,"weight":0.699999988079071}},'
    '"b":{"a":{"created_at":100,"decay_resistance":1.100000023841858,"is_landmark":false,'
    '"last_strengthened":0,"latency_tier":0,"project_id":"p","retrieval_count":0,'
    '"salience":0.5,"useful_count":0,"weight":0.699999988079071}}}},"version":2}'
)
EMPTY = '{"graph":{"adj":{}},"version":2}'


def load_text(tmp_path, text, name="doc.json"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return LeanMemoryGraph.load_from_json(str(path))


def load_error(tmp_path, text):
    with pytest.raises(OSError) as info:
        load_text(tmp_path, text)
    assert type(info.value) is OSError and info.value.errno is None
    return str(info.value)


def test_example_and_empty_documents(pair_graph, tmp_path):
    assert LeanMemoryGraph().to_json_str() == EMPTY
    assert pair_graph.to_json_str() == EXAMPLE
    path = tmp_path / "g.json"
    pair_graph.save_to_json(str(path))
    assert path.read_bytes() == EXAMPLE.encode()
    LeanMemoryGraph().save_to_json(path=str(path))
    assert path.read_bytes() == EMPTY.encode()
    assert LeanMemoryGraph.load_from_json(str(path)).node_count() == 0
    assert load_text(tmp_path, EXAMPLE).to_json_str() == EXAMPLE
    assert sorted(os.listdir(tmp_path)) == ["doc.json", "g.json"]


def test_a_large_text_is_the_saved_document(tmp_path):
    # Past a few tens of megabytes the text is made in pieces; pieces must not split a
    # character, so most names here are several bytes a character.
    g = LeanMemoryGraph()
    for i in range(70_000):
        g.add_association(f"Ärger-{i}-€", f"n{i % 997}-日本", "Global", 0.5, i)
    path = tmp_path / "big.json"
    g.save_to_json(str(path))
    text = g.to_json_str()
    assert len(text.encode()) > 32 << 20
    assert text == path.read_bytes().decode()


def test_names_are_escaped_and_come_back(graph, tmp_path):
    names = ['q"b\\s\t\x1f', "Ünïcödé 😀", "", "Z", "a"]
    for n in names:
        graph.add_association(n, "x", "p", 0.5)
    text = graph.to_json_str()
    assert '"q\\"b\\\\s\\t\\u001f"' in text and '"Ünïcödé 😀"' in text
    assert text.index('"":') < text.index('"Z":') < text.index('"a":') < text.index('"q\\"')
    loaded = load_text(tmp_path, text)
    assert loaded.to_json_str() == text
    assert loaded.node_count() == graph.node_count()


@pytest.mark.parametrize("text, message", [
    ('{"adj":{"a":{}}}', None),
    ('[{"a":{}}]', None),
    ('{"graph":{"adj":{"a":{}}},"version":0}', None),
    ('{"graph":{"adj":{}},"version":3}', "Graph v3 is newer than engine v2. Please update."),
    ('{"graph":{"adj":{}},"version":4294967298}',
     "Graph v4294967298 is newer than engine v2. Please update."),
    ('{"graph":{"adj":{}},"version":"2"}', "Failed to parse legacy graph: missing field `adj`"),
    ('{"graph":{"adj":{}},"version":2.0}', "Failed to parse legacy graph: missing field `adj`"),
    ('{"version":2}', "Failed to parse graph: invalid type: null, expected struct LeanMemoryGraph"),
    ('{"graph":{"adj":{"a":{"b":{"weight":1}}}},"version":2}',
     "Failed to parse graph: missing field `latency_tier`"),
    ('{"graph":{"adj":{"a":{"b":{"latency_tier":256}}}},"version":2}',
     "Failed to parse graph: invalid value: integer `256`, expected u8"),
    ('{"graph":{"adj":{"a":{"b":{"retrieval_count":1.0}}}},"version":2}',
     "Failed to parse graph: invalid type: floating point `1.0`, expected u32"),
    ('{"graph":{"adj":{"b":5,"a":{"x":"s"}}},"version":2}',
     'Failed to parse graph: invalid type: string "s", expected struct MemoryEdge'),
    ("", "Failed to load graph: EOF while parsing a value at line 1 column 1"),
    ('{"adj":{}}\n x', "Failed to load graph: trailing characters at line 2 column 2"),
    ('{"adj":{},}', "Failed to load graph: key must be a string at line 1 column 11"),
    ('{"adj":{"a":NaN}}', "Failed to load graph: expected value at line 1 column 13"),
])
def test_forms_versions_and_format_errors(tmp_path, text, message):
    if message is None:
        assert load_text(tmp_path, text).node_count() == 1
    else:
        assert load_error(tmp_path, text) == message


def test_edge_defaults_and_numbers(tmp_path):
    edge = ('{"weight":1,"latency_tier":2,"decay_resistance":1e39,"project_id":"p",'
            '"last_strengthened":18446744073709551615,"extra":[{"x":null}]}')
    g = load_text(tmp_path, '{"graph":{"adj":{"a":{"b":%s}}},"version":2}' % edge)
    entry = json.loads(g.to_json_str())["graph"]["adj"]["a"]["b"]
    assert entry == {
        "created_at": 0, "decay_resistance": None, "is_landmark": False,
        "last_strengthened": 18446744073709551615, "latency_tier": 2, "project_id": "p",
        "retrieval_count": 0, "salience": 0.5, "useful_count": 0, "weight": 1.0,
    }


def test_non_finite_values_save_and_load_again(graph, tmp_path):
    """Values without a JSON form are written as null and read back as NaN, so every saved
    graph loads."""
    graph.add_association("a", "b", "p", 0.5, 1, float("inf"))
    graph._upsert_edge("c", "d", "p", 0.5, 1, float("nan"), False)
    path = str(tmp_path / "g.json")
    graph.save_to_json(path)
    text = graph.to_json_str()
    assert text.count('"salience":null') == 3
    loaded = LeanMemoryGraph.load_from_json(path)
    assert loaded.to_json_str() == text


names = st.text(st.characters(codec="utf-8"), max_size=4)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(names, names, names, st.floats(-2, 2, width=32)), max_size=25,
                unique_by=lambda t: frozenset(t[:2])),
       st.randoms(use_true_random=False))
def test_document_does_not_depend_on_insertion_order(pairs, rnd):
    first, second = LeanMemoryGraph(), LeanMemoryGraph()
    for a, b, project, weight in pairs:
        first.add_association(a, b, project, weight, 7)
    shuffled = list(pairs)
    rnd.shuffle(shuffled)
    for a, b, project, weight in shuffled:
        second.add_association(b, a, project, weight, 7)
    assert first.to_json_str() == second.to_json_str()


@settings(max_examples=200, deadline=None)
@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_finite_floats_return_bit_for_bit(tmp_path_factory, value):
    g = LeanMemoryGraph()
    g._upsert_edge("a", "b", "p", 0.0, 0, value, False)
    text = g.to_json_str()
    written = json.loads(text)["graph"]["adj"]["a"]["b"]["salience"]
    assert written == value and math.copysign(1, written) == math.copysign(1, value)
    path = str(tmp_path_factory.mktemp("f") / "g.json")
    g.save_to_json(path)
    assert LeanMemoryGraph.load_from_json(path).to_json_str() == text


def test_file_errors_and_their_classes(pair_graph, tmp_path):
    (tmp_path / "loop1").symlink_to("loop2")
    (tmp_path / "loop2").symlink_to("loop1")
    cases = [
        (lambda: pair_graph.save_to_json(""), FileNotFoundError,
         "No such file or directory (os error 2)"),
        (lambda: pair_graph.save_to_json(str(tmp_path / "new") + "/"), OSError,
         "Is a directory (os error 21)"),
        # Behind a final slash the directories before it still decide, as for any open.
        (lambda: pair_graph.save_to_json(str(tmp_path / "missing" / "new") + "/"),
         FileNotFoundError, "No such file or directory (os error 2)"),
        (lambda: pair_graph.save_to_json(str(tmp_path / "loop1" / "new") + "/"), OSError,
         "Too many levels of symbolic links (os error 40)"),
        (lambda: pair_graph.save_to_json(str(tmp_path / "loop1")), OSError,
         "Too many levels of symbolic links (os error 40)"),
        (lambda: LeanMemoryGraph.load_from_json(str(tmp_path / "loop1")), OSError,
         "Too many levels of symbolic links (os error 40)"),
        (lambda: LeanMemoryGraph.load_from_json(str(tmp_path / "none.json")), FileNotFoundError,
         "No such file or directory (os error 2)"),
        (lambda: LeanMemoryGraph.load_from_json(str(tmp_path)), OSError,
         "Failed to load graph: Is a directory (os error 21)"),
    ]
    for call, cls, message in cases:
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is cls and info.value.args == (message,)
        assert str(info.value) == message and info.value.filename is None
        # A failed open carries its number, as any failed open does; other failures none.
        number = None if message.startswith("Failed") else int(message.split()[-1][:-1])
        assert info.value.errno == number
    assert sorted(os.listdir(tmp_path)) == ["loop1", "loop2"]


def test_saving_keeps_mode_and_symlinks(pair_graph, tmp_path):
    real = tmp_path / "real.json"
    real.write_text("old")
    real.chmod(0o604)
    link = tmp_path / "link.json"
    link.symlink_to("real.json")
    pair_graph.save_to_json(str(link))
    assert link.is_symlink()
    assert real.read_text() == EXAMPLE
    assert stat.S_IMODE(real.stat().st_mode) == 0o604
    assert sorted(os.listdir(tmp_path)) == ["link.json", "real.json"]


def test_files_that_a_new_file_cannot_stand_in_for_are_written_in_place(pair_graph, tmp_path):
    # Every name of a file with several sees the new document.
    (tmp_path / "one.json").write_text("old")
    os.link(tmp_path / "one.json", tmp_path / "two.json")
    pair_graph.save_to_json(str(tmp_path / "one.json"))
    assert (tmp_path / "two.json").read_text() == EXAMPLE
    assert (tmp_path / "one.json").stat().st_nlink == 2
    assert sorted(os.listdir(tmp_path)) == ["one.json", "two.json"]
    # No new file can be made in /proc, but the file itself can be written (in a child, as
    # this renames the process).
    script = ("import recall_mesh; recall_mesh.LeanMemoryGraph().save_to_json('/proc/self/comm');"
              "print(open('/proc/self/comm').read(), end='')")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout == EMPTY[:15] + "\n"


def test_descriptor_links_are_written_through(pair_graph, tmp_path):
    """A descriptor's link in /proc names a pipe or a removed file by a text that is no
    path; the save writes through the descriptor's own name, creating nothing."""
    for name in ("/proc/self/fd/%d", "/dev/fd/%d"):
        r, w = os.pipe()
        try:
            pair_graph.save_to_json(name % w)
            os.close(w)
            w = -1
            assert os.read(r, 1 << 16) == EXAMPLE.encode()
        finally:
            os.close(r)
            if w >= 0:
                os.close(w)
    with open(tmp_path / "removed.json", "w+b") as removed:
        os.unlink(tmp_path / "removed.json")
        pair_graph.save_to_json("/proc/self/fd/%d" % removed.fileno())
        assert removed.read() == EXAMPLE.encode()
    assert os.listdir(tmp_path) == []


def test_links_planted_in_sticky_directories_are_not_followed(tmp_path):
    """In a sticky, world-writable directory a link owned by another user (neither the saver
    nor the directory's owner) is refused as the kernel refuses to open through it, while
    fs.protected_symlinks is on. The setting is shown to a child in its own mount
    namespace, so the test does not depend on the machine's."""
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs unshare and mount")
    target = tmp_path / "target.json"
    links = {}
    for name, dir_owner, link_owner in [("planted", 0, 65534), ("mine", 0, 0),
                                        ("dir-owners", 65534, 65534)]:
        shared = tmp_path / name
        shared.mkdir()
        shared.chmod(0o1777)
        links[name] = shared / "g.json"
        links[name].symlink_to(target)
        try:
            os.chown(shared, dir_owner, dir_owner)
            os.lchown(links[name], link_owner, link_owner)
        except PermissionError:
            pytest.skip("needs to give files away")
    script = ("import sys\n"
              "from recall_mesh import LeanMemoryGraph\n"
              "for path in sys.argv[1:]:\n"
              "    try:\n"
              "        LeanMemoryGraph().save_to_json(path)\n"
              "        print('saved')\n"
              "    except OSError as e:\n"
              "        print(type(e).__name__, e)\n")
    setting = tmp_path / "setting"
    for value, first in [("1\n", "PermissionError Permission denied (os error 13)"),
                         ("0\n", "saved")]:
        setting.write_text(value)
        target.write_text("old")
        result = subprocess.run(
            ["unshare", "-m", "sh", "-c",
             'mount --bind "$1" /proc/sys/fs/protected_symlinks && shift && exec "$@"', "sh",
             str(setting), sys.executable, "-c", script, *map(str, links.values())],
            capture_output=True, text=True, timeout=60)
        if "mount" in result.stderr or "unshare" in result.stderr:
            pytest.skip("no mount namespace here: " + result.stderr.strip())
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [first, "saved", "saved"]
        assert target.read_text() == EMPTY
    assert all(link.is_symlink() for link in links.values())


def acl_entry(tag, perm, ident=0xFFFFFFFF):
    return struct.pack("<HHI", tag, perm, ident)


def test_saving_keeps_access_lists_and_attributes(pair_graph, tmp_path):
    """An access list (here one granting uid 65534 read and write) and other extended
    attributes come through a save unchanged."""
    path = tmp_path / "g.json"
    path.write_text("old")
    acl = (struct.pack("<I", 2) + acl_entry(0x01, 6) + acl_entry(0x02, 6, 65534)
           + acl_entry(0x04, 4) + acl_entry(0x10, 6) + acl_entry(0x20, 0))
    try:
        os.setxattr(path, "system.posix_acl_access", acl)
        os.setxattr(path, "user.origin", b"notes")
    except OSError as e:
        pytest.skip("no access lists or attributes here: %s" % e)
    before = {name: os.getxattr(path, name) for name in os.listxattr(path)}
    mode = stat.S_IMODE(path.stat().st_mode)
    pair_graph.save_to_json(str(path))
    assert path.read_text() == EXAMPLE
    assert {name: os.getxattr(path, name) for name in os.listxattr(path)} == before
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert os.listdir(tmp_path) == ["g.json"]


def test_a_group_member_saving_a_shared_file_keeps_its_owner_and_group(pair_graph):
    """Saved by a member of its group who does not own it, a shared file keeps its owner,
    group and mode: she may not give a new file away, so the file is written in place."""
    team, alice, bob = 5000, 5001, 5002
    shared = tempfile.mkdtemp()  # reachable by other users, unlike tmp_path
    try:
        os.chown(shared, 0, team)
        os.chmod(shared, 0o770)
        path = os.path.join(shared, "g.json")
        LeanMemoryGraph().save_to_json(path)
        os.chown(path, alice, team)
        os.chmod(path, 0o660)
    except PermissionError:
        shutil.rmtree(shared)
        pytest.skip("needs to give files away")
    try:
        child = os.fork()
        if child == 0:
            status = 1
            try:
                os.setgroups([team])
                os.setgid(bob)
                os.setuid(bob)
                pair_graph.save_to_json(path)
                status = 0
            finally:
                os._exit(status)
        assert os.waitpid(child, 0)[1] == 0
        st = os.stat(path)
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (alice, team, 0o660)
        assert open(path).read() == EXAMPLE
        assert os.listdir(shared) == ["g.json"]
    finally:
        shutil.rmtree(shared)


def test_a_target_that_cannot_be_renamed_over_is_written_in_place(tmp_path):
    """A file mounted over another cannot be replaced by a rename (EBUSY), yet it can be
    written: the save copies the new document into it."""
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs unshare and mount")
    source, target = tmp_path / "source.json", tmp_path / "target.json"
    source.write_text("old")
    target.write_text("")
    script = ("from recall_mesh import LeanMemoryGraph\n"
              "g = LeanMemoryGraph()\n"
              "g.add_association('a', 'b', 'p', 0.5)\n"
              f"g.save_to_json({str(target)!r})\n"
              f"print(open({str(target)!r}).read() == g.to_json_str())\n")
    result = subprocess.run(
        ["unshare", "-m", "sh", "-c",
         'mount --bind "$1" "$2" && exec "$3" -c "$4"', "sh",
         str(source), str(target), sys.executable, script],
        capture_output=True, text=True, timeout=60)
    if "mount" in result.stderr or "unshare" in result.stderr:
        pytest.skip("no mount namespace here: " + result.stderr.strip())
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"
    # The save went through the mount into the file beneath it, and left nothing beside it.
    expected = LeanMemoryGraph()
    expected.add_association("a", "b", "p", 0.5)
    assert source.read_text() == expected.to_json_str()
    assert sorted(os.listdir(tmp_path)) == ["source.json", "target.json"]


CHILD_PRELUDE = textwrap.dedent("""
    import os, resource, signal, sys
    from recall_mesh import LeanMemoryGraph
    g = LeanMemoryGraph()
    for i in range(int(sys.argv[2])):
        g.add_association("concept %d" % i, "hub", "project", 0.5, i)
""")


def run_child(body, *args):
    return subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body), *args],
                          capture_output=True, text=True, timeout=120)


def test_a_long_bad_string_is_quoted_without_room_to_spare(tmp_path):
    """The message for a 16 MiB string where a float belongs quotes it whole, and building
    that message takes about its own size, not six times it: the load fails with the
    format error under an address-space limit of 128 MB more than the child holds."""
    path = tmp_path / "long.json"
    path.write_text('{"graph":{"adj":{"a":{"b":{"weight":"' + "w" * (16 << 20) + '"}}}},'
                    '"version":2}')
    done = run_child("""
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (128 << 20), resource.RLIM_INFINITY))
        try:
            LeanMemoryGraph.load_from_json(sys.argv[1])
        except Exception as e:
            print(type(e).__name__, "w" * (16 << 20) in str(e))
    """, str(path), "0")
    assert done.stdout.split() == ["OSError", "True"], done.stderr


def test_failed_write_keeps_the_previous_file(pair_graph, tmp_path):
    """A save that stops half way (the file size limit) raises and leaves the old file byte
    for byte, with no temporary file beside it."""
    path = tmp_path / "g.json"
    pair_graph.save_to_json(str(path))
    result = run_child("""
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        try:
            g.save_to_json(sys.argv[1])
        except OSError as e:
            print(type(e).__name__, e.errno, str(e))
    """, str(path), "3000")
    assert result.stdout.strip() == "OSError None Failed to save graph: File too large (os error 27)"
    assert path.read_bytes() == EXAMPLE.encode()
    assert os.listdir(tmp_path) == ["g.json"]


def test_killed_save_leaves_old_or_new_document(tmp_path):
    """Killing the process at any moment of a save leaves a whole document: the old one or
    the new one, never part of either."""
    path = tmp_path / "g.json"
    old = LeanMemoryGraph()
    old.add_association("old", "doc", "p", 0.5)
    old.save_to_json(str(path))
    body = """
        print("ready", flush=True)
        while True:
            g.save_to_json(sys.argv[1])
    """
    for delay in (0.05, 0.2, 0.35, 0.5):
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body), str(path), "20000"],
            stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        loaded = LeanMemoryGraph.load_from_json(str(path))
        assert loaded.node_count() in (2, 20001)
        for leftover in os.listdir(tmp_path):
            if leftover != "g.json":
                os.unlink(tmp_path / leftover)  # a temporary file a kill may leave


@pytest.mark.parametrize("operation, other_end", [
    ("load", os.O_WRONLY),  # a writer that opens the pipe and sends nothing
    ("load", None),         # no writer at all: the open itself waits
    ("save", os.O_RDONLY),  # a reader that opens the pipe and never reads
])
def test_ctrl_c_stops_a_blocked_load_or_save(tmp_path, operation, other_end):
    """A load or save waiting on a pipe stops at Ctrl-C with KeyboardInterrupt."""
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    body = """
        try:
            print("ready", flush=True)
            if sys.argv[3] == "load":
                LeanMemoryGraph.load_from_json(sys.argv[1])
            else:
                g.save_to_json(sys.argv[1])
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
    """
    # 3000 entries make a document far larger than a pipe holds.
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body), str(fifo), "3000",
         operation], stdout=subprocess.PIPE, text=True)
    other = -1
    try:
        assert child.stdout.readline() == "ready\n"
        if other_end is not None:
            other = os.open(fifo, other_end)
        time.sleep(0.5)  # not a timed check: the child only has to be blocked by now
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
        if other >= 0:
            os.close(other)
    assert out == "KeyboardInterrupt\n"
    assert os.listdir(tmp_path) == ["pipe"]
