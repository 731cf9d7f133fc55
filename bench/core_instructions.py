#!/usr/bin/env python3
"""Instructions per input byte of the grammar alone, of parse_pattern and of
parse_shared_pattern (the way `parse()` builds its tree) over each corpus.

Runs build/release/quarnel_core_instructions under valgrind's callgrind in four modes (`loop`
only reads the corpus, `grammar`, `parse`, `shared`) and subtracts the loop's count: unlike
times on a shared machine, the counts are the same from run to run.

Usage: core_instructions.py [PROGRAM]   (default build/release/quarnel_core_instructions)
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# Corpus file -> rounds over it: about the same number of bytes for each.
CORPORA = {"corpus.txt": 20, "corpus-mixed.txt": 2}
MODES = ("loop", "grammar", "parse", "shared")


def count(program, mode, name):
    completed = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         program, mode, os.path.join(HERE, name), str(CORPORA[name])],
        capture_output=True, text=True, check=True)
    found = re.search(r"refs:\s+([\d,]+)", completed.stderr)
    if found is None:
        sys.exit(f"core_instructions.py: no instruction count from valgrind:\n{completed.stderr}")
    return int(found.group(1).replace(",", "")), int(completed.stdout.split()[0])


def main():
    default = os.path.join(HERE, "..", "build", "release", "quarnel_core_instructions")
    program = sys.argv[1] if len(sys.argv) > 1 else default
    print(f"{'corpus':<18}  {'grammar ins/B':>13}  {'parse_pattern ins/B':>19}  {'shared ins/B':>12}")
    for name in CORPORA:
        totals = {mode: count(program, mode, name) for mode in MODES}
        loop, _ = totals["loop"]
        per_byte = {mode: (totals[mode][0] - loop) / totals[mode][1] for mode in MODES[1:]}
        print(f"{name:<18}  {per_byte['grammar']:>13.1f}  {per_byte['parse']:>19.1f}  {per_byte['shared']:>12.1f}")


if __name__ == "__main__":
    main()
