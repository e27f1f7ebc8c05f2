#!/usr/bin/env bash
# Installs recall_mesh into a virtual environment and runs the demo host program.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

python=$(find_pythons | tail -n 1)
[ -n "$python" ] || die "no Python 3.12 or later found on PATH or under pyenv"
make_venv .venv/demo "$python"
.venv/demo/bin/python -m pip install --quiet .
exec .venv/demo/bin/python examples/demo.py "$@"
