#!/usr/bin/env bash
# Installs recall_mesh and the demo's own libraries (networkx, matplotlib) into .venv/demo
# and runs the demo host program; its pictures go to demo-output/ in the directory the
# command is run from.
set -euo pipefail
here=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/lib.sh

need_debian_packages "${build_packages[@]}"
python=$(find_pythons | tail -n 1)
[ -n "$python" ] || die "no Python 3.12 or later found on PATH or under pyenv"
make_venv .venv/demo "$python"
.venv/demo/bin/python -m pip install --quiet networkx matplotlib
.venv/demo/bin/python -m pip install --quiet . \
  || die "building recall_mesh failed (the lines above say why)"
cd "$here"
exec "$root/.venv/demo/bin/python" "$root/examples/demo.py" "$@"
