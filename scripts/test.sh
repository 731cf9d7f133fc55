#!/usr/bin/env bash
# Runs every test: the C++ core suite, then the Python suite under Debian's CPython and
# under the free-threaded CPython 3.13 (built once and cached by build-python.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QUARNEL_JOBS:-2}

# Each stage's heading carries the seconds since the start, so slow stages show in CI logs.
stage() { echo "== [${SECONDS} s] $*"; }

bash scripts/deps.sh
# A failing stage ends the run: the jobs still in the background go with it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT

# The free-threaded interpreter takes minutes to build the first time: it builds in the
# background while the C++ stages run, and the last stage waits for it. Its progress and,
# on failure, its build log's tail go to this file.
py313t_log=$(mktemp /tmp/quarnel-build-python.XXXXXX.log)
py313t_path=$(mktemp /tmp/quarnel-build-python.XXXXXX.out)
bash scripts/build-python.sh >"$py313t_path" 2>"$py313t_log" &
py313t_build=$!

werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON
# Sanitizer reports need file and line, not full debug information, which costs compile time.
line_tables=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")

# One Release build serves the C++ tests, the benchmarks and the module for Debian's
# python3 (the restart test embeds that interpreter): the core is compiled once for them.
stage "C++ core: build and tests, and the module for /usr/bin/python3"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_WERROR=$werror \
  -DQUARNEL_TESTS=ON -DQUARNEL_BENCH=ON -DQUARNEL_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3 \
  -DQUARNEL_MODULE_DIR="$root/build/py311/module" >/dev/null
ninja -C build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

stage "C++ core under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${line_tables[@]}" -DQUARNEL_WERROR=$werror \
  -DQUARNEL_PYTHON=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_SANITIZE=address,undefined >/dev/null
ninja -C build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

stage "fuzzing the parser core for ${QUARNEL_FUZZ_SECONDS:=60} s and the matcher for ${QUARNEL_MATCH_FUZZ_SECONDS:=30} s, side by side"
CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${line_tables[@]}" \
  -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_PYTHON=OFF -DQUARNEL_FUZZ=ON \
  -DQUARNEL_SANITIZE=address,undefined >/dev/null
ninja -C build/fuzz -j "$jobs" quarnel_fuzz quarnel_fuzz_match
# The fuzz targets leave the toolkit and the Python layer out: clang checks that it accepts
# them too, which takes seconds when it stops at syntax and types.
python_include=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
printf '%s\n' src/*.cpp src/ast/py_*.cpp src/tools/*.cpp src/tools_module/*.cpp |
  xargs -P "$jobs" -n 1 clang++-14 -std=c++20 -Isrc -I"$python_include" -fsyntax-only
# Runs one fuzz target for the given seconds over a fresh corpus and writes to $4 the end of
# its output, or all of it when it found a fault.
fuzz() {
  local target=$1 seconds=$2 seeds=$3 report=$4 status=0
  rm -rf "build/fuzz/$target.corpus" && mkdir -p "build/fuzz/$target.corpus"
  "build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    "build/fuzz/$target.corpus" "$seeds" >"$report.full" 2>&1 || status=$?
  if ((status == 0)); then tail -n 15 "$report.full" >"$report"; else cp "$report.full" "$report"; fi
  rm -f "$report.full"
  return "$status"
}
parser_fuzz_log=$(mktemp /tmp/quarnel-fuzz.XXXXXX.log)
match_fuzz_log=$(mktemp /tmp/quarnel-fuzz-match.XXXXXX.log)
fuzz quarnel_fuzz "$QUARNEL_FUZZ_SECONDS" fuzz/corpus "$parser_fuzz_log" &
parser_fuzz=$!
match_status=0
fuzz quarnel_fuzz_match "$QUARNEL_MATCH_FUZZ_SECONDS" fuzz/match_corpus "$match_fuzz_log" || match_status=$?
parser_status=0
wait "$parser_fuzz" || parser_status=$?
echo "-- parser core:"; cat "$parser_fuzz_log"
echo "-- matcher:"; cat "$match_fuzz_log"
rm -f "$parser_fuzz_log" "$match_fuzz_log"
if ((parser_status != 0 || match_status != 0)); then
  echo "test.sh: fuzzing found a fault (the reports are above)" >&2
  exit 1
fi

stage "benchmarks, smoke run"
bash scripts/bench.sh --quick

python_tests() {
  local name=$1 python=$2 pythonpath=$3 build=$4
  stage "Python module under $name ($python)"
  bash scripts/build-module.sh "$python" "build/$name/module" "$build"
  QUARNEL_MODULE_DIR="$root/build/$name/module" PYTHONPATH="$pythonpath" \
    "$python" -m pytest -q -p no:cacheprovider -W 'ignore:ast.:DeprecationWarning' \
      -W 'ignore:Attribute s is deprecated:DeprecationWarning' tests/python tests/tools_module \
      tests/checker
}

# memcheck runs on one core beside the two pytest stages, which leave the other one
# mostly idle; its output is printed once they are done.
bash scripts/build-module.sh /usr/bin/python3 build/py311/module build/release
stage "Python suite under valgrind memcheck, started in the background"
memcheck_log=$(mktemp /tmp/quarnel-memcheck.XXXXXX.out)
QUARNEL_MODULE_DIR="$root/build/py311/module" bash scripts/memcheck.sh >"$memcheck_log" 2>&1 &
memcheck=$!

python_tests py311 /usr/bin/python3 "" build/release
stage "waiting for the free-threaded CPython 3.13 (scripts/build-python.sh, started first)"
if ! wait "$py313t_build"; then
  cat "$py313t_log" >&2
  echo "test.sh: building the free-threaded CPython 3.13 failed (its messages are above)" >&2
  exit 1
fi
py313t=$(<"$py313t_path")
rm -f "$py313t_log" "$py313t_path"
# Debian's pytest is pure Python and runs under the built interpreter too. The modules
# link the libraries the Release build compiled.
QUARNEL_PREBUILT_LIBS="$root/build/release" \
  python_tests py313t "$py313t" /usr/lib/python3/dist-packages build/py313t

stage "waiting for the valgrind memcheck run"
memcheck_status=0
wait "$memcheck" || memcheck_status=$?
cat "$memcheck_log"
rm -f "$memcheck_log"
if ((memcheck_status != 0)); then
  echo "test.sh: the Python suite under valgrind memcheck failed (its messages are above)" >&2
  exit "$memcheck_status"
fi
stage "all tests passed"
