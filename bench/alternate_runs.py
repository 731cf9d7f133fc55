#!/usr/bin/env python3
"""Times two builds' quarnel_core_instructions in many short fresh processes, alternating.

On a shared machine a long benchmark run catches the neighbours' bursts; the fastest of many
short runs, and the first quartile, do not move as much. Each run parses CORPUS ROUNDS times
in MODE (grammar, parse, shared; see bench/instructions/core_instructions.cpp); the CPU time
of each process is read from the kernel's accounting of children.

Usage: alternate_runs.py BASE_PROGRAM NEW_PROGRAM MODE CORPUS ROUNDS REPEATS
  e.g. alternate_runs.py /tmp/before/build/release/quarnel_core_instructions \\
       build/release/quarnel_core_instructions parse bench/corpus-mixed.txt 30 80
"""

import resource
import statistics
import subprocess
import sys


def cpu_seconds(program: str, mode: str, corpus: str, rounds: str) -> float:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([program, mode, corpus, rounds], stdout=subprocess.DEVNULL, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def summary(runs: list[float]) -> dict[str, float]:
    ordered = sorted(runs)
    return {"min": ordered[0], "first quartile": ordered[len(ordered) // 4], "median": statistics.median(ordered)}


def main() -> int:
    if len(sys.argv) != 7:
        print(__doc__, file=sys.stderr)
        return 2
    base, new, mode, corpus, rounds, repeats = sys.argv[1:]
    times: dict[str, list[float]] = {"base": [], "new": []}
    order = [("base", base), ("new", new)]
    for repeat in range(int(repeats)):
        # Each build goes first every other time, so that neither always follows the other.
        for name, program in order if repeat % 2 == 0 else reversed(order):
            times[name].append(cpu_seconds(program, mode, corpus, rounds))
    summaries = {name: summary(runs) for name, runs in times.items()}
    for name, figures in summaries.items():
        print(f"{name:5} " + "  ".join(f"{label} {seconds * 1e3:7.1f} ms" for label, seconds in figures.items()))
    for label in summaries["base"]:
        print(f"new/base {label}: {summaries['new'][label] / summaries['base'][label]:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
