#!/usr/bin/env python3
"""Writes indicator-like patterns for the index benchmark, one a line, from a fixed seed,
over the object types and values of make_observations.py (same seed: some patterns match).

Usage: make_patterns.py COUNT OUTPUT [--seed N]
"""

import argparse
import random

import make_observations


def quote(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def pattern(rng, values):
    ips, domains, names, md5s = values
    # Values from the data's pools for some patterns, values that never occur for the rest.
    ip = rng.choice(ips) if rng.random() < 0.3 else f"203.0.113.{rng.randrange(256)}"
    domain = rng.choice(domains) if rng.random() < 0.3 else f"bad{rng.randrange(10**6)}.example"
    md5 = rng.choice(md5s) if rng.random() < 0.3 else "%032x" % rng.getrandbits(128)
    name = rng.choice(names) if rng.random() < 0.3 else f"dropper{rng.randrange(10**6)}.exe"
    shape = rng.random()
    if shape < 0.3:
        return f"[ipv4-addr:value = {quote(ip)}]"
    if shape < 0.5:
        return f"[domain-name:value = {quote(domain)}]"
    if shape < 0.7:
        return f"[file:hashes.MD5 = {quote(md5)}]"
    if shape < 0.8:
        return f"[file:name = {quote(name)} AND file:size > {rng.randrange(1000, 100000)}]"
    if shape < 0.88:
        return f"[ipv4-addr:value = {quote(ip)} OR domain-name:value = {quote(domain)}]"
    if shape < 0.94:
        return f"[domain-name:value IN ({quote(domain)}, {quote(rng.choice(domains))})]"
    if shape < 0.98:
        return f"([ipv4-addr:value = {quote(ip)}] FOLLOWEDBY [file:hashes.MD5 = {quote(md5)}]) WITHIN 600 SECONDS"
    return f"[ipv4-addr:value = {quote(ip)}] REPEATS 2 TIMES"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int)
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=12)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    values = make_observations.pools(random.Random(args.seed))
    with open(args.output, "w", encoding="utf-8") as out:
        for _ in range(args.count):
            out.write(pattern(rng, values) + "\n")


if __name__ == "__main__":
    main()
