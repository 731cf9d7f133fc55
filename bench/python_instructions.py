#!/usr/bin/env python3
"""parse() against json.loads over each corpus, counted in instructions rather than seconds.

Time on a shared machine wanders by tens of percent from run to run; valgrind's instruction
count does not. Each mode runs this script once under callgrind: `loop` only walks the corpus
texts, `parse` calls quarnel.parse on each pattern, `json` calls json.loads on each
json.dumps({"pattern": p}); the loop's count is subtracted from the other two. Both corpora
(bench/corpus.txt and bench/corpus-mixed.txt) are measured.

Usage: python_instructions.py                runs the three modes per corpus, prints the table
       python_instructions.py MODE CORPUS    one mode over one corpus (as run under valgrind)
The module comes from $QUARNEL_MODULE_DIR if set, otherwise from a normal import.
"""

import json
import os
import re
import subprocess
import sys

from python_bench import read_corpus

HERE = os.path.dirname(os.path.abspath(__file__))
# Corpus file -> rounds over it: about the same number of calls for each.
CORPORA = {"corpus.txt": 20, "corpus-mixed.txt": 2}
MODES = ("loop", "parse", "json")


def run_mode(mode, name):
    module_dir = os.environ.get("QUARNEL_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
    import quarnel

    texts = read_corpus(name)
    documents = [json.dumps({"pattern": p}) for p in texts]
    parse, loads = quarnel.parse, json.loads
    for _ in range(CORPORA[name]):
        if mode == "parse":
            for text in texts:
                parse(text)
        elif mode == "json":
            for document in documents:
                loads(document)
        else:
            for document in documents:
                pass


def instructions(mode, name):
    completed = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, os.path.abspath(__file__), mode, name],
        capture_output=True, text=True, check=True)
    found = re.search(r"refs:\s+([\d,]+)", completed.stderr)
    if found is None:
        sys.exit(f"python_instructions.py: no instruction count from valgrind:\n{completed.stderr}")
    return int(found.group(1).replace(",", ""))


def measure(name):
    count = CORPORA[name] * len(read_corpus(name))
    totals = {mode: instructions(mode, name) for mode in MODES}
    per_call = {mode: (totals[mode] - totals["loop"]) / count for mode in ("parse", "json")}
    print(f"\n{name}: {len(read_corpus(name))} patterns, {CORPORA[name]} rounds")
    rows = [("call", "instructions per corpus pattern"),
            ("quarnel.parse(p)", f"{per_call['parse']:,.0f}"),
            ('json.loads(json.dumps({"pattern": p}))', f"{per_call['json']:,.0f}")]
    for call, figure in rows:
        print(f"{call:<40}  {figure:>31}")
    print(f"parse/json instruction ratio: {per_call['parse'] / per_call['json']:.2f}")


def main():
    if len(sys.argv) == 3 and sys.argv[1] in MODES and sys.argv[2] in CORPORA:
        run_mode(sys.argv[1], sys.argv[2])
        return
    for name in CORPORA:
        measure(name)


if __name__ == "__main__":
    main()
