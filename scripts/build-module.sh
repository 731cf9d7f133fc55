#!/usr/bin/env bash
# Builds the extension modules quarnel and quarnel_tools for one interpreter into one folder.
# Usage: scripts/build-module.sh PYTHON OUTPUT_DIR [BUILD_DIR]
# QUARNEL_PREBUILT_LIBS=DIR links the core, matcher and toolkit libraries built in the
# Release build folder DIR (already up to date) instead of compiling them again.
# Then: PYTHONPATH=OUTPUT_DIR PYTHON -c 'import quarnel, quarnel_tools'
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: $0 PYTHON OUTPUT_DIR [BUILD_DIR]" >&2; exit 2; }
python=$(command -v "$1")
output=$(mkdir -p "$2" && cd "$2" && pwd)
cd "$(dirname "$0")/.."
build=${3:-build/module-$(basename "$python")}
werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON
# A build folder shared with the tests and benchmarks keeps their targets; a new one gets
# only the modules.
fresh=()
[[ -f $build/CMakeCache.txt ]] || fresh=(-DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_WERROR=$werror \
  -DQUARNEL_PYTHON=ON "${fresh[@]}" -DQUARNEL_PREBUILT_LIBS="${QUARNEL_PREBUILT_LIBS:-}" \
  -DPython_EXECUTABLE="$python" -DQUARNEL_MODULE_DIR="$output" >/dev/null
ninja -C "$build" -j "${QUARNEL_JOBS:-2}" quarnel quarnel_tools >/dev/null
echo "built $(cd "$output" && echo quarnel*.so)"
