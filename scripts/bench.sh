#!/usr/bin/env bash
# Runs every benchmark: builds (Release) the core benchmarks into build/release and the module
# for Debian's python3 into build/py311/module, then runs quarnel_bench, quarnel_match_bench
# (on data that bench/make_observations.py and bench/make_patterns.py write into
# build/bench-data), quarnel_tools_bench and bench/tools_checker_bench.py (on the inputs of
# bench/make_indicators.py), bench/python_bench.py, bench/python_instructions.py and
# bench/core_instructions.py. Corpus figures cover bench/corpus.txt and bench/corpus-mixed.txt.
# Usage: bash scripts/bench.sh [--quick] [quarnel_bench arguments, e.g. --benchmark_filter=Corpus]
# --quick is a smoke run of a few seconds (for CI): short core timings, small Python inputs,
# and no instruction counts.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=/usr/bin/python3
jobs=${QUARNEL_JOBS:-2}

quick=()
core_args=()
for argument in "$@"; do
  if [[ $argument == --quick ]]; then quick=(--quick); else core_args+=("$argument"); fi
done
if ((${#quick[@]})); then
  # Each benchmark still runs, just long enough for one reading; later arguments win.
  core_args=(--benchmark_min_time=0.01 "${core_args[@]}")
fi

section() { printf '\n==== %s\n' "$*"; }

bash scripts/deps.sh

werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON

section "Build: core benchmarks (Release) in build/release"
# build/release is also where the test command builds the Release tests and the module for
# $python: one compilation of the core serves all three.
fresh=()
[[ -f build/release/CMakeCache.txt ]] || fresh=(-DQUARNEL_TESTS=OFF -DQUARNEL_PYTHON=OFF)
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_WERROR=$werror \
  -DQUARNEL_BENCH=ON "${fresh[@]}" >/dev/null
# CMake skips the target quietly when Google Benchmark is missing; say so here instead.
# The target list is read whole first: `grep -q` would stop early, and under pipefail
# the SIGPIPE it gives ninja would fail the check at random.
targets=$(ninja -C build/release -t targets all)
if ! grep -q '^quarnel_bench:' <<<"$targets"; then
  echo "bench.sh: no quarnel_bench target; is libbenchmark-dev installed?" >&2
  exit 2
fi
ninja -C build/release -j "$jobs" quarnel_bench quarnel_match_bench quarnel_core_instructions \
  quarnel_tools_bench >/dev/null

section "Build: Python module for $python in build/py311/module"
bash scripts/build-module.sh "$python" build/py311/module build/release

section "Core benchmarks: build/release/quarnel_bench ${core_args[*]}"
build/release/quarnel_bench "${core_args[@]}"

section "Matcher benchmarks: build/release/quarnel_match_bench build/bench-data ${quick[*]}"
# Data and patterns from fixed seeds, written again only when their script has changed.
mkdir -p build/bench-data
sizes=(1000 10000)
((${#quick[@]})) || sizes+=(100000)
stale() { [[ ! -s $1 || $2 -nt $1 ]]; }
for n in "${sizes[@]}"; do
  data=build/bench-data/observations-$n.json
  if stale "$data" bench/make_observations.py; then "$python" bench/make_observations.py "$n" "$data"; fi
done
patterns=build/bench-data/patterns-10000.txt
if stale "$patterns" bench/make_patterns.py || stale "$patterns" bench/make_observations.py; then
  "$python" bench/make_patterns.py 10000 "$patterns"
fi
build/release/quarnel_match_bench build/bench-data "${quick[@]}"

section "Toolkit benchmarks: build/release/quarnel_tools_bench, bench/tools_checker_bench.py ${quick[*]}"
if ((${#quick[@]})); then
  build/release/quarnel_tools_bench bench/corpus.txt --rounds 2
else
  # The 100,000-indicator bundle and pattern file, from a fixed seed, written once.
  [[ -s build/bench-data/indicators-100000.json ]] ||
    "$python" bench/make_indicators.py 100000 build/bench-data/indicators-100000.json
  [[ -s build/bench-data/patterns-100000.txt ]] ||
    "$python" bench/make_indicators.py 100000 build/bench-data/patterns-100000.txt --text
  build/release/quarnel_tools_bench bench/corpus.txt build/bench-data/indicators-100000.json \
    build/bench-data/patterns-100000.txt
fi
QUARNEL_MODULE_DIR="$root/build/py311/module" "$python" bench/tools_checker_bench.py build/bench-data "${quick[@]}"

section "Python benchmarks: bench/python_bench.py ${quick[*]}"
QUARNEL_MODULE_DIR="$root/build/py311/module" "$python" bench/python_bench.py "${quick[@]}"

# Instruction counts do not wander with the machine's load as times do; too slow for --quick.
if ((${#quick[@]} == 0)); then
  section "Core instruction counts (callgrind): bench/core_instructions.py"
  "$python" bench/core_instructions.py build/release/quarnel_core_instructions
  section "Python instruction counts (callgrind): bench/python_instructions.py"
  QUARNEL_MODULE_DIR="$root/build/py311/module" "$python" bench/python_instructions.py
fi
