#!/usr/bin/env python3
"""Writes observed data shaped like a sensor feed, from a fixed seed, for the matcher's
benchmarks: a JSON array of STIX 2.1 objects where each observed-data record (one second
after the previous one) refers to 1 to 3 SCOs (ipv4-addr, domain-name, file with name, size
and an MD5) listed right after it. About 500 bytes of JSON per record, SCOs included: most
records carry one SCO (a connection, a lookup, a file seen), fewer two or three; SCOs leave out
the optional spec_version (2.1 is the default), and the observation times are to the second as
sensors report them, while created and modified keep the milliseconds that STIX 2.1 requires.

The first record holds only the domain first.example and the last only the file last.exe,
so that benchmarks can ask for something that happens once, early or late.

Usage: make_observations.py COUNT OUTPUT [--seed N]
"""

import argparse
import datetime
import json
import random

START = datetime.datetime(2021, 1, 1, tzinfo=datetime.timezone.utc)


# How many SCOs a record refers to: 1, 2 or 3, with these weights.
SCO_COUNT_WEIGHTS = (80, 15, 5)


def stamp(seconds):
    return (START + datetime.timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def second_stamp(seconds):
    return (START + datetime.timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%SZ")


def pools(rng):
    ips = [f"10.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(1, 255)}" for _ in range(2000)]
    ips += [f"198.51.{rng.randrange(256)}.{rng.randrange(1, 255)}" for _ in range(3000)]
    domains = [f"host{i}.{rng.choice(['example', 'test', 'invalid'])}" for i in range(5000)]
    names = [f"{rng.choice(['setup', 'invoice', 'report', 'update', 'tool'])}{i}.{rng.choice(['exe', 'dll', 'pdf', 'doc'])}"
             for i in range(5000)]
    md5s = ["%032x" % rng.getrandbits(128) for _ in range(20000)]
    return ips, domains, names, md5s


def sco(rng, kind, n, values):
    ips, domains, names, md5s = values
    ident = f"{kind}--{n:08d}-0000-4000-8000-{rng.getrandbits(48):012x}"
    if kind == "ipv4-addr":
        return {"type": kind, "id": ident, "value": rng.choice(ips)}
    if kind == "domain-name":
        return {"type": kind, "id": ident, "value": rng.choice(domains)}
    return {"type": "file", "id": ident, "name": rng.choice(names),
            "size": rng.randrange(1, 5_000_000), "hashes": {"MD5": rng.choice(md5s)}}


def generate(count, seed):
    rng = random.Random(seed)
    values = pools(rng)
    objects = []
    for i in range(count):
        if i == 0:
            scos = [{"type": "domain-name", "id": f"domain-name--{0:08d}-0000-4000-8000-{0:012x}", "value": "first.example"}]
        elif i == count - 1:
            scos = [{"type": "file", "id": f"file--{i:08d}-0000-4000-8000-{0:012x}", "name": "last.exe", "size": 1,
                     "hashes": {"MD5": "0" * 32}}]
        else:
            kinds = rng.sample(["ipv4-addr", "domain-name", "file"], rng.choices((1, 2, 3), SCO_COUNT_WEIGHTS)[0])
            scos = [sco(rng, kind, i, values) for kind in kinds]
        objects.append({
            "type": "observed-data", "spec_version": "2.1",
            "id": f"observed-data--{i:08d}-0000-4000-8000-{rng.getrandbits(48):012x}",
            "created": stamp(i), "modified": stamp(i),
            "first_observed": second_stamp(i), "last_observed": second_stamp(i), "number_observed": 1,
            "object_refs": [s["id"] for s in scos],
        })
        objects.extend(scos)
    return objects


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int)
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=12)
    args = parser.parse_args()
    with open(args.output, "w", encoding="utf-8") as out:
        json.dump(generate(args.count, args.seed), out, separators=(",", ":"))


if __name__ == "__main__":
    main()
