# Shared by demo.sh and test.sh: finds Python 3.12+ interpreters and makes virtual
# environments. Sourced, not run.

# Prints one interpreter path per Python minor version >= 3.12 found on PATH or under
# pyenv, newest last.
find_pythons() {
  local candidates=() root="${PYENV_ROOT:-$HOME/.pyenv}" c seen="" ver
  for c in python3.12 python3.13 python3.14 python3.15 python3; do
    command -v "$c" >/dev/null 2>&1 && candidates+=("$(command -v "$c")")
  done
  for c in "$root"/versions/3.1[2-9]*/bin/python3 /usr/bin/python3.1[2-9] /usr/local/bin/python3.1[2-9]; do
    [ -x "$c" ] && candidates+=("$c")
  done
  for c in "${candidates[@]}"; do
    # pyenv shims answer for versions that are not selected; ask the interpreter itself.
    ver=$("$c" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 12) else None' 2>/dev/null) || continue
    case "$ver" in ""|None) continue ;; esac
    case " $seen " in *" $ver "*) continue ;; esac
    seen="$seen $ver"
    echo "$ver $("$c" -c 'import sys; print(sys.executable)')"
  done | sort -V | cut -d' ' -f2
}

# make_venv DIR PYTHON: a fresh-enough virtual environment at DIR.
make_venv() {
  local dir=$1 python=$2
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --upgrade pip
  fi
}

die() {
  echo "error: $*" >&2
  exit 1
}
