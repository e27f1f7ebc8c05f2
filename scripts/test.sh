#!/usr/bin/env bash
# Runs every test: builds the abi3 wheel once and runs pytest against that same wheel
# under each Python 3.12+ found; then the C++ unit tests (ctest), again under
# AddressSanitizer + UBSan, and the fuzz corpus replay of the document reader. The
# pytest run includes the type stub's checks (stubtest, mypy --strict) and the guide's and
# demo's code, so each test venv also gets mypy and the demo's libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_debian_packages "${build_packages[@]}" "${test_packages[@]}"

jobs=${RECALL_MESH_JOBS:-2}
mapfile -t pythons < <(find_pythons)
[ ${#pythons[@]} -gt 0 ] || die "no Python 3.12 or later found on PATH or under pyenv"
echo "== interpreters: ${pythons[*]}"

# Build tools come from PyPI so their versions do not depend on the system.
make_venv .venv/tools "${pythons[0]}"
.venv/tools/bin/python -m pip install --quiet "cmake>=3.26" ninja build
export PATH="$PWD/.venv/tools/bin:$PATH"

echo "== building the wheel once"
mkdir -p build
rm -rf dist
.venv/tools/bin/python -m build --wheel --outdir dist . >build/wheel.log 2>&1 \
  || { mkdir -p build; tail -n 60 build/wheel.log; die "wheel build failed"; }
wheel=$(ls dist/recall_mesh-*-cp312-abi3-*.whl)
echo "   $wheel"

for python in "${pythons[@]}"; do
  ver=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=.venv/test-$ver
  make_venv "$venv" "$python"
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pip install --quiet pytest hypothesis numpy \
    mypy networkx matplotlib types-networkx
  echo "== pytest under Python $ver"
  (cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done

ctest_build() {  # ctest_build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DRECALL_MESH_MODULE=OFF "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; die "configure of $dir failed"; }
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

mkdir -p build
echo "== C++ unit tests"
ctest_build build/ci-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== C++ unit tests under ASan + UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest_build build/ci-asan -DCMAKE_BUILD_TYPE=Debug -DRECALL_MESH_SANITIZE=ON
echo "== fuzz corpus replay under ASan + UBSan"
ctest_build build/ci-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
  -DRECALL_MESH_FUZZ=ON -DRECALL_MESH_TESTS=OFF
echo "== all tests passed"
