#!/usr/bin/env python3
"""Writes a STIX 2.1 bundle of COUNT indicators, or with --text COUNT patterns one a line,
from a fixed seed: the patterns of bench/corpus.txt in random order, each indicator with
the fields that real feeds carry. For the checker's benchmarks (quarnel-check --json,
--jobs).

Usage: make_indicators.py COUNT OUTPUT [--text] [--seed N]
"""

import argparse
import json
import pathlib
import random
import uuid

CORPUS = pathlib.Path(__file__).with_name("corpus.txt")


def corpus_patterns():
    lines = CORPUS.read_text(encoding="utf-8").splitlines()
    return [line for line in lines if line.strip() and not line.lstrip().startswith("#")]


def indicator(rng, pattern):
    created = f"2024-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:" \
              f"{rng.randrange(60):02d}:{rng.randrange(60):02d}.000Z"
    return {
        "type": "indicator",
        "spec_version": "2.1",
        "id": f"indicator--{uuid.UUID(int=rng.getrandbits(128), version=4)}",
        "created": created,
        "modified": created,
        "name": f"Indicator {rng.randrange(10**6)}",
        "indicator_types": [rng.choice(["malicious-activity", "anomalous-activity", "attribution"])],
        "pattern": pattern,
        "pattern_type": "stix",
        "valid_from": created,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int)
    parser.add_argument("output", type=pathlib.Path)
    parser.add_argument("--text", action="store_true", help="patterns one a line, no JSON")
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    patterns = corpus_patterns()
    chosen = [rng.choice(patterns) for _ in range(args.count)]
    args.output.parent.mkdir(parents=True, exist_ok=True)
    if args.text:
        args.output.write_text("".join(p + "\n" for p in chosen), encoding="utf-8")
        return
    bundle = {
        "type": "bundle",
        "id": f"bundle--{uuid.UUID(int=rng.getrandbits(128), version=4)}",
        "objects": [indicator(rng, p) for p in chosen],
    }
    args.output.write_text(json.dumps(bundle, indent=1) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
