#!/usr/bin/env python3
"""Benchmarks of the quarnel module as Python code sees it, in one run.

Prints plain-text tables of:
  (a) parse() per corpus pattern next to json.loads of json.dumps({"pattern": p}) for the same
      texts, as a yardstick measured on the same machine in the same run, and their ratio, over
      bench/corpus.txt and over bench/corpus-mixed.txt (written by bench/make_corpus.py);
  (b) a full walk of every attribute of every node of each parsed corpus pattern;
  (c) parse and walk time per input byte of large generated inputs, from 10 KB to 10 MB, and
      the memory pages a parse faults in (fresh memory the system must clear);
  (d) peak memory of a parse per input byte.

Each figure is the median of several repeats of process CPU time, which other load on a shared
machine disturbs less than wall time; the garbage collector is off while timing, as timeit does. The large inputs run in subprocesses, so that a slow walk can be cut off and a
memory peak is the parse's own.

Usage: python_bench.py [--quick] [--repeats N]
The module comes from $QUARNEL_MODULE_DIR if set, otherwise from a normal import.
"""

import argparse
import gc
import json
import math
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

module_dir = os.environ.get("QUARNEL_MODULE_DIR")
if module_dir:
    sys.path.insert(0, module_dir)

try:
    import quarnel
except ImportError as error:
    sys.exit(f"python_bench.py: cannot import quarnel ({error}); set QUARNEL_MODULE_DIR to the "
             "folder that holds quarnel*.so")

HERE = os.path.dirname(os.path.abspath(__file__))
CORPORA = ("corpus.txt", "corpus-mixed.txt")

KB = 1000
MB = 1000 * KB

PARSE_TO_JSON_TARGET = 0.75
LINEARITY_TARGET = 1.3
MEMORY_TARGET = 16.0


# ---- inputs ------------------------------------------------------------------------------------


def read_corpus(name):
    """One pattern a line; a line that begins with a space or a tab continues the one above."""
    texts = []
    with open(os.path.join(HERE, name), encoding="utf-8") as file:
        for line in file:
            line = line.rstrip("\n")
            if not line.strip():
                continue
            if line[0] in " \t" and texts:
                texts[-1] += "\n" + line
            else:
                texts.append(line)
    return texts


def hash_element(index, rng):
    separator = " OR " if index else ""
    return f"{separator}file:hashes.'SHA-256' = '{rng.getrandbits(256):064x}'"


def observation_element(index, _rng):
    separator = " OR " if index else ""
    return f"{separator}[ipv4-addr:value = '198.51.100.{index % 256}']"


# name -> (element maker, opening text, closing text, what one element is)
SHAPES = {
    "hash OR chain": (hash_element, "[", "]", "comparisons"),
    "observation chain": (observation_element, "", "", "observations"),
}


def generate(shape, size):
    """The shortest text of the shape that is at least `size` bytes, and its element count."""
    make, opening, closing, _ = SHAPES[shape]
    rng = random.Random(5)
    pieces = [opening]
    length = len(opening) + len(closing)
    count = 0
    while length < size:
        piece = make(count, rng)
        pieces.append(piece)
        length += len(piece)
        count += 1
    pieces.append(closing)
    return "".join(pieces), count


# ---- the walk ----------------------------------------------------------------------------------


def read_op(op):
    return op.value, int(op)


def read_guarded(node, name):
    # A timestamp that datetime cannot hold raises ValueError; that read still counts.
    try:
        return getattr(node, name)
    except ValueError:
        return None


def read_comparison(node):
    path = node.object_path
    path.object_type
    for component in path.property_path:
        component.property
        component.index
    read_op(node.op)
    node.negated
    read_guarded(node, "constant")


def walk(root):
    """Reads every attribute of every node below root; returns the number of nodes.

    Iterative: chains fold to the left, so a long chain is as deep as it is long."""
    comparison = quarnel.Comparison
    composites = (quarnel.CompositeComparison, quarnel.CompositePattern)
    qualified = quarnel.QualifiedPattern
    stack = [root]
    nodes = 0
    while stack:
        node = stack.pop()
        nodes += 1
        kind = type(node)
        if kind is comparison:
            read_comparison(node)
        elif kind in composites:
            stack.append(node.right)
            stack.append(node.left)
            read_op(node.op)
        elif kind is qualified:
            stack.append(node.pattern)
            node.repeat
            node.within
            read_guarded(node, "start")
            read_guarded(node, "stop")
        else:
            raise TypeError(f"unexpected node type {kind.__name__}")
    return nodes


# ---- timing ------------------------------------------------------------------------------------


def seconds_of(run, loops):
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.process_time()
        for _ in range(loops):
            run()
        return (time.process_time() - start) / loops
    finally:
        if gc_was_enabled:
            gc.enable()


def loops_for(run, min_seconds):
    """How many calls of run make one repeat last at least min_seconds (the first call warms up)."""
    once = seconds_of(run, 1)
    return max(1, math.ceil(min_seconds / max(once, 1e-9)))


def median_seconds(run, repeats, min_seconds):
    loops = loops_for(run, min_seconds)
    return statistics.median(seconds_of(run, loops) for _ in range(repeats))


def faults_per_call(run, seconds_per_call):
    """Minor page faults per call of run, over calls taking about a tenth of a second (1 to 20)."""
    calls = max(1, min(20, round(0.1 / max(seconds_per_call, 1e-9))))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        run()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


# ---- output ------------------------------------------------------------------------------------


def print_table(title, headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    print(f"\n{title}")
    print("  ".join(header.ljust(width) for header, width in zip(headers, widths)).rstrip())
    print("  ".join("-" * width for width in widths))
    for row in rows:
        cells = [str(cell).rjust(width) for cell, width in zip(row, widths)]
        cells[0] = str(row[0]).ljust(widths[0])
        print("  ".join(cells).rstrip())


def size_name(size):
    return f"{size // MB} MB" if size >= MB else f"{size // KB} KB"


def verdict(value, target, smaller_is_better=True):
    if value is None:
        return "not measured"
    met = value <= target if smaller_is_better else value >= target
    return "met" if met else "NOT met"


# ---- (a) and (b): the corpus -------------------------------------------------------------------


def corpus_section(name, settings):
    patterns = read_corpus(name)
    documents = [json.dumps({"pattern": pattern}) for pattern in patterns]
    trees = [quarnel.parse(pattern) for pattern in patterns]  # a rejected pattern stops here
    total_bytes = sum(len(pattern.encode()) for pattern in patterns)
    count = len(patterns)
    parse, loads = quarnel.parse, json.loads

    def parse_all():
        for pattern in patterns:
            parse(pattern)

    def loads_all():
        for document in documents:
            loads(document)

    def walk_all():
        for tree in trees:
            walk(tree)

    nodes = sum(walk(tree) for tree in trees)
    parse_loops = loops_for(parse_all, settings.min_seconds)
    loads_loops = loops_for(loads_all, settings.min_seconds)
    parse_times, loads_times = [], []
    for _ in range(settings.repeats):  # interleaved, so that drift in machine load hits both
        parse_times.append(seconds_of(parse_all, parse_loops))
        loads_times.append(seconds_of(loads_all, loads_loops))
    parse_seconds = statistics.median(parse_times)
    loads_seconds = statistics.median(loads_times)
    walk_seconds = median_seconds(walk_all, settings.repeats, settings.min_seconds)

    def row(name, seconds):
        return [name, f"{seconds / count * 1e9:,.0f}", f"{total_bytes / seconds / MB:,.1f}"]

    ratio = parse_seconds / loads_seconds
    print(f"\nCorpus {name}: {count} patterns, {total_bytes:,} bytes "
          f"(mean {total_bytes / count:.0f} bytes), {nodes:,} nodes")
    print_table(
        "(a) parse per corpus pattern, json.loads as the yardstick; (b) full attribute walk",
        ["measurement", "ns/pattern", "MB/s of pattern text"],
        [
            row("quarnel.parse(p)", parse_seconds),
            row('json.loads(json.dumps({"pattern": p}))', loads_seconds),
            row("walk(parse(p)) (tree parsed beforehand)", walk_seconds),
        ],
    )
    print(f"parse/json ratio: {ratio:.2f} (target <= {PARSE_TO_JSON_TARGET:.2f}: "
          f"{verdict(ratio, PARSE_TO_JSON_TARGET)})")
    return ratio


# ---- (c) and (d): large inputs, measured in subprocesses ---------------------------------------


# Calls of walk() on a small tree before a walk is timed. CPython specialises a function's
# bytecode only after it has been called a few times: a small input, walked thousands of times
# per repeat, is timed on specialised code, a 10 MB one, walked a handful of times, on generic
# code (about 20% slower a node), which made the 10 MB ratio measure the interpreter.
WALK_WARM_UP_CALLS = 50


def warm_up_walk(shape):
    small = quarnel.parse(generate(shape, 1 * KB)[0])
    for _ in range(WALK_WARM_UP_CALLS):
        walk(small)


def child_scaling(shape, size, repeats, min_seconds, with_walk):
    text, count = generate(shape, size)
    parse = quarnel.parse
    seconds = median_seconds(lambda: parse(text), repeats, min_seconds)
    faults = faults_per_call(lambda: parse(text), seconds)
    emit(stage="parse", bytes=len(text), elements=count, seconds=seconds, faults=faults)
    if with_walk:
        warm_up_walk(shape)
        tree = parse(text)
        nodes = walk(tree)
        if nodes != 2 * count - 1:  # the elements and the composites joining them
            raise AssertionError(f"walk saw {nodes} nodes of a chain of {count}")
        seconds = median_seconds(lambda: walk(tree), repeats, min_seconds)
        emit(stage="walk", nodes=nodes, seconds=seconds)


def status_kilobytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def reset_peak():
    """Makes the peak-RSS mark start from the current RSS; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def child_memory(path):
    with open(path, "rb") as file:
        data = file.read()
    text = data.decode("ascii")
    del data
    gc.collect()
    if reset_peak():
        method = "VmHWM reset"
        baseline = status_kilobytes("VmRSS")
        tree = quarnel.parse(text)
        peak = status_kilobytes("VmHWM")
    else:
        method = "ru_maxrss"
        baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        tree = quarnel.parse(text)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    retained = status_kilobytes("VmRSS")
    emit(bytes=len(text), peak=(peak - baseline) * 1024, retained=(retained - baseline) * 1024,
         method=method, root=type(tree).__name__)


def emit(**fields):
    print(json.dumps(fields), flush=True)


def run_child(arguments, timeout):
    """Runs this script in child mode; returns its result lines and whether it finished."""
    command = [sys.executable, os.path.abspath(__file__), "--child", *map(str, arguments)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        output = expired.stdout or ""
        if isinstance(output, bytes):
            output = output.decode()
        return [json.loads(line) for line in output.splitlines()], False
    if done.returncode != 0:
        sys.exit(f"child {' '.join(arguments)} failed ({done.returncode}):\n{done.stderr}")
    return [json.loads(line) for line in done.stdout.splitlines()], True


def scaling_rows(shape, settings, worst):
    """One table row per size; worst[stage] gets the ratio at 10 MB (inf for a timeout)."""
    rows, base, with_walk = [], {}, True
    for size in settings.sizes:
        lines, _ = run_child(
            ["scaling", shape, size, settings.repeats, settings.min_seconds, int(with_walk)],
            settings.timeout,
        )
        stages = {line["stage"]: line for line in lines}
        if "parse" not in stages:
            rows.append([shape, size_name(size), "-", "-", f"> {settings.timeout} s", "", "", "", ""])
            worst["parse"] = worst["walk"] = math.inf
            break
        size_bytes = stages["parse"]["bytes"]
        row = [shape, size_name(size), f"{size_bytes:,}",
               f"{stages['parse']['elements']:,} {SHAPES[shape][3]}"]
        for stage in ("parse", "walk"):
            result = stages.get(stage)
            ratio = math.inf
            if result is None:
                row += [f"> {settings.timeout} s" if with_walk else "skipped", ""]
            else:
                ns_per_byte = result["seconds"] / size_bytes * 1e9
                ratio = ns_per_byte / base.setdefault(stage, ns_per_byte)
                row += [f"{ns_per_byte:.1f}", f"{ratio:.2f}x"]
            if stage == "parse":
                row.append(f"{stages['parse']['faults']:,.0f}")
            if size >= 10 * MB:
                worst[stage] = max(worst[stage] or 0.0, ratio)
        # After a walk that ran out of time, larger inputs would only take longer.
        with_walk = with_walk and "walk" in stages
        rows.append(row)
    return rows


def scaling_section(settings):
    worst = {"parse": None, "walk": None}
    rows = [row for shape in SHAPES for row in scaling_rows(shape, settings, worst)]
    print_table(
        "(c) time per input byte, ratio to the 10 KB figure of the same shape "
        f"(target at 10 MB: <= {LINEARITY_TARGET}x)",
        ["shape", "size", "bytes", "elements", "parse ns/B", "vs 10 KB", "faults/parse", "walk ns/B",
         "vs 10 KB"],
        rows,
    )
    return worst


def memory_section(settings):
    rows = []
    worst = None
    with tempfile.TemporaryDirectory(prefix="quarnel-bench-") as folder:
        for shape in SHAPES:
            text, count = generate(shape, settings.memory_size)
            path = os.path.join(folder, "input.txt")
            with open(path, "w", encoding="ascii") as file:
                file.write(text)
            del text
            lines, finished = run_child(["memory", path], settings.timeout)
            if not finished or not lines:
                rows.append([shape, size_name(settings.memory_size), "-",
                             f"timed out after {settings.timeout} s", "", ""])
                continue
            result = lines[0]
            peak_per_byte = result["peak"] / result["bytes"]
            worst = max(worst or 0.0, peak_per_byte)
            rows.append([shape, size_name(settings.memory_size), f"{result['bytes']:,}",
                         f"{peak_per_byte:.1f}", f"{result['retained'] / result['bytes']:.1f}",
                         result["method"]])
    print_table(
        f"(d) peak memory of one parse per input byte (target <= {MEMORY_TARGET:.0f})",
        ["shape", "size", "bytes", "peak B/B", "tree kept B/B", "measured by"],
        rows,
    )
    return worst


# ---- main --------------------------------------------------------------------------------------


def settings_from(arguments):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke mode: one repeat, small inputs (for CI)")
    parser.add_argument("--repeats", type=int, help="repeats per measurement (default 7, quick 1)")
    settings = parser.parse_args(arguments)
    if settings.quick:
        settings.repeats = settings.repeats or 1
        settings.min_seconds = 0.01
        settings.sizes = [10 * KB, 100 * KB]
        settings.memory_size = 1 * MB
        settings.timeout = 60
    else:
        settings.repeats = settings.repeats or 7
        settings.min_seconds = 0.05
        # 30 KB and 300 KB: sizes at which, on this machine, malloc gives a parse's memory back
        # to the system after every parse (see the faults column).
        settings.sizes = [10 * KB, 30 * KB, 100 * KB, 300 * KB, 1 * MB, 10 * MB]
        settings.memory_size = 10 * MB
        settings.timeout = 300
    return settings


def print_summary(ratios, linearity, memory, quick):
    scope = " (quick mode: 10 MB figures not measured)" if quick else ""
    print(f"\nTargets{scope}")
    for name, ratio in ratios.items():
        print(f"  parse/json over {name} <= {PARSE_TO_JSON_TARGET:.2f}: {ratio:.2f} "
              f"{verdict(ratio, PARSE_TO_JSON_TARGET)}")
    for stage in ("parse", "walk"):
        value = linearity[stage]
        shown = {None: "-", math.inf: "timed out"}.get(value) or f"{value:.2f}x"
        print(f"  {stage} ns/B at 10 MB within {LINEARITY_TARGET}x of 10 KB (worst shape): "
              f"{shown} {verdict(value, LINEARITY_TARGET)}")
    shown = "-" if memory is None or quick else f"{memory:.1f}"
    print(f"  peak memory at 10 MB <= {MEMORY_TARGET:.0f} B per input byte (worst shape): "
          f"{shown} {verdict(None if quick else memory, MEMORY_TARGET)}")


def main(arguments):
    if arguments[:1] == ["--child"]:
        kind, *rest = arguments[1:]
        if kind == "scaling":
            shape, size, repeats, min_seconds, with_walk = rest
            child_scaling(shape, int(size), int(repeats), float(min_seconds), with_walk == "1")
        else:
            child_memory(rest[0])
        return
    settings = settings_from(arguments)
    print(f"quarnel Python benchmarks: {'quick' if settings.quick else 'full'} mode, "
          f"median of {settings.repeats} repeat(s) of CPU time, gc off while timing")
    print(f"Python {sys.version.split()[0]} ({sys.executable}); module {quarnel.__file__}")
    started = time.perf_counter()
    ratios = {name: corpus_section(name, settings) for name in CORPORA}
    linearity = scaling_section(settings)
    memory = memory_section(settings)
    print_summary(ratios, linearity, memory, settings.quick)
    print(f"\npython_bench.py took {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main(sys.argv[1:])
