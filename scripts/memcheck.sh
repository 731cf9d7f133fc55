#!/usr/bin/env bash
# Runs the Python test suite under valgrind memcheck against the module built for Debian's
# python3: any invalid read or write, use of uninitialised memory, or definite leak fails.
# Usage: bash scripts/memcheck.sh [PYTEST ARGS ...]   (default: all of tests/python)
# QUARNEL_MODULE_DIR picks an already built module instead of build/py311/module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3

bash "$root/scripts/deps.sh"
if [[ -z "${QUARNEL_MODULE_DIR:-}" ]]; then
  QUARNEL_MODULE_DIR=$root/build/py311/module
  # An up-to-date build costs a second; a stale module would check old code.
  bash "$root/scripts/build-module.sh" "$python" "$QUARNEL_MODULE_DIR" "$root/build/release"
fi
export QUARNEL_MODULE_DIR
cd "$root"

suppressions=()
[[ -f "$root/scripts/valgrind-python.supp" ]] &&
  suppressions=(--suppressions="$root/scripts/valgrind-python.supp")

# The system allocator instead of pymalloc, so that valgrind sees every object. The
# 100 MB inputs would take minutes under valgrind, the long run is cut to 20,000 calls,
# and time limits stretch. test_module's memory-growth run is left out: it repeats
# what the leak check sees directly, at 80 s under valgrind.
export PYTHONMALLOC=malloc QUARNEL_SKIP_HUGE=1 QUARNEL_TIME_SCALE=20
export QUARNEL_STRESS_CALLS=${QUARNEL_STRESS_CALLS:-20000}
[[ $# -gt 0 ]] || set -- tests/python \
  --deselect tests/python/test_module.py::test_repeated_parses_do_not_grow_memory

log=$(mktemp /tmp/quarnel-memcheck.XXXXXX.log)
status=0
valgrind --tool=memcheck --error-exitcode=1 --errors-for-leak-kinds=definite \
  --leak-check=full --num-callers=30 "${suppressions[@]}" --log-file="$log" \
  "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?

grep -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$log" || true
if ((status != 0)); then
  echo "memcheck.sh: failed (exit $status); valgrind's report is in $log" >&2
  exit "$status"
fi
rm -f "$log"
echo "memcheck.sh: no memory errors and no definite leaks"
