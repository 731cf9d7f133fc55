#!/usr/bin/env bash
# Checks STIX patterns: installs what the build needs, builds the module for Debian's
# python3 (an up-to-date build costs a second), then runs the checker with the arguments.
# Usage: bash scripts/check.sh [--tree] [--json] [--quiet] [FILE ...]
# Only the checker writes to stdout, so `--json` output can be piped as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3
build_dir=$root/build/release
module_dir=$root/build/py311/module

bash "$root/scripts/deps.sh" >&2
if ! bash "$root/scripts/build-module.sh" "$python" "$module_dir" "$build_dir" >/dev/null; then
  echo "check.sh: building the module failed; 'ninja -C $build_dir quarnel' shows why" >&2
  exit 2
fi
PYTHONPATH="$module_dir:$root/checker${PYTHONPATH:+:$PYTHONPATH}" exec "$python" -m quarnel_check "$@"
