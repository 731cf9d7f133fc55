#!/usr/bin/env python3
"""Times two builds of quarnel_bench against each other, alternating runs.

On a shared machine a benchmark's time wanders by a fifth or more within an hour, so two
builds timed an hour apart say little. Run by run in turn, both meet the same load; the best
run of each approximates a quiet machine and the median a typical one.

Usage: compare_builds.py BASE_BUILD NEW_BUILD [--filter REGEX] [--rounds N] [--min-time S]
  BASE_BUILD, NEW_BUILD: build folders holding quarnel_bench (e.g. a worktree's build of the
  previous commit, and build/release).
Prints, per benchmark, the best and median bytes per second of each and their ratios.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys


def run_once(build, pattern, min_time):
    """Bytes per second per benchmark name for one run of the build's quarnel_bench."""
    command = [os.path.join(build, "quarnel_bench"), f"--benchmark_filter={pattern}",
               f"--benchmark_min_time={min_time}", "--benchmark_format=json"]
    completed = subprocess.run(command, capture_output=True, text=True, check=True)
    report = json.loads(completed.stdout)
    return {entry["name"]: entry["bytes_per_second"] for entry in report["benchmarks"]
            if "bytes_per_second" in entry}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base")
    parser.add_argument("new")
    parser.add_argument("--filter", default="ParsePatternCorpus|GrammarOnlyCorpus|Linearity")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.3)
    args = parser.parse_args()

    readings = {"base": {}, "new": {}}
    for _ in range(args.rounds):
        for side in ("base", "new"):
            for name, speed in run_once(getattr(args, side), args.filter, args.min_time).items():
                readings[side].setdefault(name, []).append(speed / 1e6)

    names = sorted(set(readings["base"]) & set(readings["new"]))
    if not names:
        sys.exit("compare_builds.py: no benchmark of the filter ran in both builds")
    width = max(len(name) for name in names)
    print(f"{'benchmark':<{width}}  {'MB/s best: base':>15} {'new':>7} {'ratio':>6}  "
          f"{'median: base':>12} {'new':>7} {'ratio':>6}")
    for name in names:
        base, new = readings["base"][name], readings["new"][name]
        best_base, best_new = max(base), max(new)
        median_base, median_new = statistics.median(base), statistics.median(new)
        print(f"{name:<{width}}  {best_base:15.1f} {best_new:7.1f} {best_new / best_base:6.2f}  "
              f"{median_base:12.1f} {median_new:7.1f} {median_new / median_base:6.2f}")


if __name__ == "__main__":
    main()
