#!/usr/bin/env python3
"""The toolkit from Python: µs per corpus pattern of each quarnel_tools function beside
quarnel.parse(), then quarnel-check (a whole process, reading included) over the
100,000-indicator bundle and the 100,000-pattern file of bench/make_indicators.py, with
--jobs 1 and --jobs N. Best of several runs: the machine is shared.

Usage: tools_checker_bench.py DATA_DIR [--quick]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, os.environ.get("QUARNEL_MODULE_DIR", ""))
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", message="The global interpreter lock", category=RuntimeWarning)
    import quarnel
import quarnel_tools


def best(rounds, run):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def functions(rounds):
    lines = (ROOT / "bench" / "corpus.txt").read_text(encoding="utf-8").splitlines()
    corpus = [p for p in lines if quarnel_tools.is_valid_pattern(p)]
    print(f"{len(corpus)} corpus patterns, best of {rounds} rounds, µs per pattern")
    parse_time = None
    for name, function in [("quarnel.parse", quarnel.parse),
                           ("tree_json", quarnel_tools.tree_json),
                           ("canonical_text", quarnel_tools.canonical_text),
                           ("observables", quarnel_tools.observables),
                           ("inspect_pattern", quarnel_tools.inspect_pattern),
                           ("strict_findings", quarnel_tools.strict_findings)]:
        seconds = best(rounds, lambda: [function(p) for p in corpus]) / len(corpus) * 1e6
        parse_time = parse_time or seconds
        print(f"  {name:16} {seconds:6.2f} µs  {seconds / parse_time:4.2f}x parse()")


def checker(data_dir, rounds, jobs):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("QUARNEL_MODULE_DIR"),
                                                      str(ROOT / "checker")]))
    for name in ("indicators-100000.json", "patterns-100000.txt"):
        path = data_dir / name
        for options in ([], ["--json"], ["--strict"]):
            one = None
            for count in (1, jobs):
                command = [sys.executable, "-m", "quarnel_check", *options, "--jobs", str(count), str(path)]
                seconds = best(rounds, lambda: subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                                                              stderr=subprocess.DEVNULL))
                one = one or seconds
                print(f"  quarnel-check {' '.join(options + ['--jobs', str(count)]):18} {name}: "
                      f"{seconds:5.2f} s ({one / seconds:4.2f}x one job)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir", type=pathlib.Path)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    functions(3 if args.quick else 30)
    if not args.quick:
        checker(args.data_dir, 5, max(2, len(os.sched_getaffinity(0))))


if __name__ == "__main__":
    main()
