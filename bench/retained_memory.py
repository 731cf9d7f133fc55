#!/usr/bin/env python3
"""The memory a parsed tree keeps while Python holds it, in bytes a pattern.

Parses every pattern of a corpus ROUNDS times, keeps every tree, and divides the growth of the
process's resident memory by the number of trees: what a program that keeps many parsed
patterns pays for each (the tree's block and root, and the Python node holding them).

Usage: retained_memory.py [CORPUS [ROUNDS]]   (default bench/corpus-mixed.txt, 40 rounds)
The module comes from $QUARNEL_MODULE_DIR if set, otherwise from a normal import.
"""

import gc
import os
import sys

from python_bench import quarnel, read_corpus


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "corpus-mixed.txt"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    corpus = read_corpus(name)
    gc.disable()  # the trees are kept on purpose; no collection should run between the readings
    kept = []
    before = resident_bytes()
    for _ in range(rounds):
        kept.extend(quarnel.parse(pattern) for pattern in corpus)
    grown = resident_bytes() - before
    print(f"{name}: {grown / len(kept):,.0f} bytes a kept tree ({len(kept):,} trees)")


if __name__ == "__main__":
    main()
