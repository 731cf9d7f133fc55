#!/usr/bin/env python3
"""parse() against json.loads over the corpus, counted in instructions rather than seconds.

Time on a shared machine wanders by tens of percent from run to run; valgrind's instruction
count does not. Each mode runs this script once under callgrind: `loop` only walks the corpus
texts, `parse` calls quarnel.parse on each pattern, `json` calls json.loads on each
json.dumps({"pattern": p}); the loop's count is subtracted from the other two.

Usage: python_instructions.py            runs the three modes and prints the table
       python_instructions.py MODE       one mode (as run under valgrind)
The module comes from $QUARNEL_MODULE_DIR if set, otherwise from a normal import.
"""

import json
import os
import re
import subprocess
import sys

ROUNDS = 20
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus.txt")
MODES = ("loop", "parse", "json")


def patterns():
    with open(CORPUS, encoding="utf-8") as corpus:
        return [line.rstrip("\n") for line in corpus if line.strip()]


def run_mode(mode):
    module_dir = os.environ.get("QUARNEL_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
    import quarnel

    texts = patterns()
    documents = [json.dumps({"pattern": p}) for p in texts]
    parse, loads = quarnel.parse, json.loads
    for _ in range(ROUNDS):
        if mode == "parse":
            for text in texts:
                parse(text)
        elif mode == "json":
            for document in documents:
                loads(document)
        else:
            for document in documents:
                pass


def instructions(mode):
    completed = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, os.path.abspath(__file__), mode],
        capture_output=True, text=True, check=True)
    found = re.search(r"refs:\s+([\d,]+)", completed.stderr)
    if found is None:
        sys.exit(f"python_instructions.py: no instruction count from valgrind:\n{completed.stderr}")
    return int(found.group(1).replace(",", ""))


def main():
    if len(sys.argv) == 2 and sys.argv[1] in MODES:
        run_mode(sys.argv[1])
        return
    count = ROUNDS * len(patterns())
    totals = {mode: instructions(mode) for mode in MODES}
    per_call = {mode: (totals[mode] - totals["loop"]) / count for mode in ("parse", "json")}
    rows = [("call", "instructions per corpus pattern"),
            ("quarnel.parse(p)", f"{per_call['parse']:,.0f}"),
            ('json.loads(json.dumps({"pattern": p}))', f"{per_call['json']:,.0f}")]
    for call, figure in rows:
        print(f"{call:<40}  {figure:>31}")
    print(f"parse/json instruction ratio: {per_call['parse'] / per_call['json']:.2f}")


if __name__ == "__main__":
    main()
