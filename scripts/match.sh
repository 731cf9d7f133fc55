#!/usr/bin/env bash
# Matches STIX patterns against observed data: installs what the build needs, builds the
# modules for Debian's python3 (an up-to-date build costs a second), then runs the command.
# Usage: bash scripts/match.sh [--json] [--lenient] [--index] [--quiet] PATTERNS DATA [DATA ...]
# Only the command writes to stdout, so `--json` output can be piped as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3
build_dir=$root/build/release
module_dir=$root/build/py311/module

bash "$root/scripts/deps.sh" >&2
if ! bash "$root/scripts/build-module.sh" "$python" "$module_dir" "$build_dir" >/dev/null; then
  echo "match.sh: building the modules failed; 'ninja -C $build_dir quarnel_tools' shows why" >&2
  exit 2
fi
PYTHONPATH="$module_dir:$root/checker${PYTHONPATH:+:$PYTHONPATH}" exec "$python" -m quarnel_match "$@"
