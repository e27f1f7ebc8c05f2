# Shared by demo.sh, test.sh and .ci/run: installs the Debian build packages, finds
# Python 3.12+ interpreters and makes virtual environments. Sourced, not run.

# What building the module needs from Debian (compiler and the header-only libraries), and
# what the tests need on top (GoogleTest, clang with its sanitizer and fuzzer runtimes).
build_packages=(g++ libxxhash-dev robin-map-dev rapidjson-dev)
test_packages=(libgtest-dev clang-14 libclang-rt-14-dev make)

# need_debian_packages PKG...: makes sure each Debian package is installed before any
# build starts. As root the missing ones are installed (apt-get update once, then one
# install); anyone else is stopped at once with the exact line to run as root, since a
# build without the headers would only fail later and less clearly.
# RECALL_MESH_ASSUME_MISSING (names, space-separated) makes the first check treat those
# packages as absent, so the install and refusal paths can be tried on a machine that has
# them all.
need_debian_packages() {
  local missing=() pkg
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "note: no dpkg-query here; not checking for the packages $*" >&2
    return 0
  fi
  for pkg in "$@"; do
    case " ${RECALL_MESH_ASSUME_MISSING:-} " in
      *" $pkg "*) missing+=("$pkg") ;;
      *) debian_package_installed "$pkg" || missing+=("$pkg") ;;
    esac
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local line="apt-get install ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    die "missing Debian packages: ${missing[*]}; install them as root with: $line"
  fi
  echo "== installing Debian packages: ${missing[*]}"
  local log
  log=$(mktemp)
  if ! { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
    && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    die "could not install Debian packages: ${missing[*]}; try as root: $line"
  fi
  rm -f "$log"
  for pkg in "${missing[@]}"; do
    debian_package_installed "$pkg" \
      || die "apt-get did not install $pkg; try as root: apt-get install $pkg"
  done
}

debian_package_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

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
