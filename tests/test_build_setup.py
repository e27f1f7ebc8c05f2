"""The set-up the two commands do before building: the Debian package check of
scripts/lib.sh (install as root, stop with the exact apt-get line otherwise) and the
configure's one-line message when a header is missing."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
ABSENT = "recall-mesh-no-such-package"
IS_ROOT = os.geteuid() == 0


@pytest.fixture
def scripts():
    """A world-readable copy of scripts/, so that an unprivileged user can run it."""
    top = Path(tempfile.mkdtemp(prefix="recall-mesh-scripts-"))
    shutil.copytree(ROOT / "scripts", top / "scripts")
    for path in [top, *top.rglob("*")]:
        path.chmod(0o755)
    yield top
    shutil.rmtree(top)


def bash(command, cwd, as_nobody=False, env=None):
    argv = ["bash", "-c", command]
    if as_nobody and IS_ROOT:
        argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *argv]
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=60,
                          env={**os.environ, **(env or {})})


def fake_apt_get(top):
    """An apt-get on PATH that only logs its arguments."""
    (top / "bin").mkdir()
    script = top / "bin" / "apt-get"
    script.write_text(f'#!/bin/sh\necho "$*" >> {top}/apt.log\n')
    script.chmod(0o755)
    return {"PATH": f"{top}/bin:{os.environ['PATH']}"}


def test_a_user_without_root_is_stopped_with_the_exact_line(scripts):
    installed = "bash"  # essential, so present wherever dpkg is
    result = bash(f". scripts/lib.sh && need_debian_packages {installed} {ABSENT} && echo went on",
                  scripts, as_nobody=True)
    assert result.returncode == 1 and "went on" not in result.stdout
    assert result.stderr.splitlines() == [
        f"error: missing Debian packages: {ABSENT}; install them as root with: "
        f"apt-get install {ABSENT}"]


@pytest.mark.parametrize("command, packages", [
    ("demo.sh", "libxxhash-dev rapidjson-dev"),
    ("test.sh", "libgtest-dev clang-14"),
])
def test_both_commands_check_their_packages_before_anything_else(scripts, command, packages):
    result = bash(f"bash scripts/{command}", scripts, as_nobody=True,
                  env={"RECALL_MESH_ASSUME_MISSING": packages})
    assert result.returncode == 1
    assert result.stderr.strip().endswith(f"apt-get install {packages}")
    assert not (scripts / ".venv").exists()


@pytest.mark.skipif(not IS_ROOT, reason="the install path runs as root")
def test_root_updates_once_then_installs_only_what_is_missing(scripts):
    env = {**fake_apt_get(scripts), "RECALL_MESH_ASSUME_MISSING": "bash"}
    result = bash(". scripts/lib.sh && need_debian_packages dpkg bash", scripts, env=env)
    assert result.returncode == 0, result.stderr
    assert (scripts / "apt.log").read_text().splitlines() == [
        "update -qq", "install -y -qq --no-install-recommends bash"]

    # An install that leaves the package absent is a failure, not a silent success.
    (scripts / "apt.log").unlink()
    result = bash(f". scripts/lib.sh && need_debian_packages {ABSENT}", scripts, env=env)
    assert result.returncode == 1
    assert f"apt-get did not install {ABSENT}" in result.stderr


def test_nothing_is_run_when_every_package_is_there(scripts):
    env = fake_apt_get(scripts)
    result = bash(". scripts/lib.sh && need_debian_packages dpkg bash", scripts, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert not (scripts / "apt.log").exists()


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake on PATH")
def test_a_missing_header_fails_the_configure_with_one_line(tmp_path):
    # Ignoring /usr hides the Debian headers, as on a machine without the packages.
    result = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path), "-DRECALL_MESH_MODULE=OFF",
         "-DRECALL_MESH_TESTS=OFF", "-DCMAKE_IGNORE_PREFIX_PATH=/usr",
         "-DCMAKE_SYSTEM_IGNORE_PREFIX_PATH=/usr"],
        capture_output=True, text=True, timeout=120)
    assert result.returncode != 0
    lines = [line.strip() for line in result.stderr.splitlines() if "recall_mesh:" in line]
    assert lines == [
        "recall_mesh: xxhash, robin-map, rapidjson headers not found; install them with: "
        "apt-get install libxxhash-dev robin-map-dev rapidjson-dev "
        "(or -DRECALL_MESH_FETCH_DEPENDENCIES=ON to download them)"]
    assert "FetchContent" not in result.stdout + result.stderr
