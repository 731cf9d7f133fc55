#!/usr/bin/env bash
# Runs every test: the C++ core suite, then the Python suite under Debian's CPython and
# under the free-threaded CPython 3.13 (built once and cached by build-python.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QUARNEL_JOBS:-2}

bash scripts/deps.sh

werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON

echo "== C++ core: build and tests"
cmake -S . -B build/core -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_WERROR=$werror \
  -DQUARNEL_PYTHON=OFF -DQUARNEL_BENCH=OFF >/dev/null
ninja -C build/core -j "$jobs"
ctest --test-dir build/core --output-on-failure -j "$jobs"

echo "== C++ core under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_WERROR=$werror \
  -DQUARNEL_PYTHON=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_SANITIZE=address,undefined >/dev/null
ninja -C build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== fuzzing the parser core for ${QUARNEL_FUZZ_SECONDS:=60} s"
CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_PYTHON=OFF -DQUARNEL_FUZZ=ON \
  -DQUARNEL_SANITIZE=address,undefined >/dev/null
ninja -C build/fuzz -j "$jobs" quarnel_fuzz
rm -rf build/fuzz/corpus && mkdir -p build/fuzz/corpus
build/fuzz/quarnel_fuzz -max_total_time="$QUARNEL_FUZZ_SECONDS" -max_len=4096 -timeout=10 \
  -print_final_stats=1 build/fuzz/corpus fuzz/corpus 2>&1 | tail -n 15

echo "== fuzzing the matcher for ${QUARNEL_MATCH_FUZZ_SECONDS:=30} s"
ninja -C build/fuzz -j "$jobs" quarnel_fuzz_match
rm -rf build/fuzz/match_corpus && mkdir -p build/fuzz/match_corpus
build/fuzz/quarnel_fuzz_match -max_total_time="$QUARNEL_MATCH_FUZZ_SECONDS" -max_len=4096 -timeout=10 \
  -print_final_stats=1 build/fuzz/match_corpus fuzz/match_corpus 2>&1 | tail -n 15

echo "== benchmarks, smoke run"
bash scripts/bench.sh --quick

python_tests() {
  local name=$1 python=$2 pythonpath=$3
  echo "== Python module under $name ($python)"
  bash scripts/build-module.sh "$python" "build/$name/module" "build/$name"
  QUARNEL_MODULE_DIR="$root/build/$name/module" PYTHONPATH="$pythonpath" \
    "$python" -m pytest -q -p no:cacheprovider -W 'ignore:ast.:DeprecationWarning' \
      -W 'ignore:Attribute s is deprecated:DeprecationWarning' tests/python tests/tools_module \
      tests/checker
}

python_tests py311 /usr/bin/python3 ""
echo "== Python suite under valgrind memcheck"
QUARNEL_MODULE_DIR="$root/build/py311/module" bash scripts/memcheck.sh
py313t=$(bash scripts/build-python.sh)
# Debian's pytest is pure Python and runs under the built interpreter too.
python_tests py313t "$py313t" /usr/lib/python3/dist-packages
