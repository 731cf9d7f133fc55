# Long runs: a million parse() calls with every attribute of every node read, watched for
# resident-memory growth, and eight threads parsing the same mix at once, whose trees must
# equal the sequential ones. QUARNEL_STRESS_CALLS sets the number of calls of the long run.
import ctypes
import gc
import os
import subprocess
import sys
import sysconfig

import pytest

import quarnel
from test_threads import THREADS, run_in_threads

CALLS = int(os.environ.get("QUARNEL_STRESS_CALLS", "1000000"))
T0 = "t'2020-01-01T00:00:00Z'"
LEAP_SECOND = "t'2016-12-31T23:59:60Z'"

# Every node class, operator and kind of constant, attributes that raise on read, and
# calls that fail: each path through the module that could leak or race.
PATTERNS = [
    "[file:hashes.'SHA-256' = 'aec070645fe53ee3b3763059376134f058cc337247c978add178b6ccdfb0019f']",
    "[file:name = 'grüße 😀\\'s \\\\ \0']",
    "[network-traffic:dst_ref.value ISSUBSET '10.0.0.0/8'] FOLLOWEDBY [file:name MATCHES '^x']",
    f"[a:b IN (1, 2.5, 'x', true, h'ff', b'QUJD', {T0})] REPEATS 3 TIMES",
    "([a:b[*].c[2] NOT LIKE 'x%' AND EXISTS d:e] OR [f:g > -5]) WITHIN 300 SECONDS "
    f"START {T0} STOP t'2020-01-02T00:00:00.5+01:00'",
    "[a:b != -9223372036854775808] AND [c:d <= 0.000001] OR [e:f >= 9223372036854775807]",
    "[windows-registry-key:key = 'HKEY_LOCAL_MACHINE\\\\System'] AND [x:y ISSUPERSET '1.2.3.4/32']",
    "[EXISTS x:y.z[4294967295]] REPEATS 4294967295 TIMES WITHIN 0.5 SECONDS",
    "([a:b = 1] REPEATS 2 TIMES) WITHIN 5 SECONDS",
    "[a:b = true] OR [c:d = false] AND [e:f = b'AA==']",
    "[" + " OR ".join(f"x:y{i} = {i}" for i in range(50)) + "]",
    "(" * 63 + "[a:b = 1]" + ")" * 63,
    "[" + "(" * 63 + "a:b = 1 AND c:d = 2" + ")" * 63 + "]",
    f"[a:b = {LEAP_SECOND}]",                                   # constant raises on read
    f"[a:b IN (1, {LEAP_SECOND})]",                             # so does a list holding one
    f"[a:b = 1] START t'0000-01-01T00:00:00Z' STOP {LEAP_SECOND}",  # start and stop raise
    "[a:b = ]",                                                 # grammar error
    "[a:b = 9223372036854775808]",                              # invalid integer
    "(" * 300 + "[a:b = 1]" + ")" * 300,                        # nesting too deep
    "[a:b = '\udc80']",                                         # lone surrogate
    5,                                                          # not a str
]


def read(node, name):
    """An attribute's value, or the ValueError its read raises, as comparable data."""
    try:
        return getattr(node, name)
    except ValueError as error:
        return ("ValueError", str(error))


def dump_op(op):
    return (repr(op), int(op), op.value)


def dump(node):
    """Every attribute and repr() of every node below `node`, as nested tuples."""
    kind = type(node)
    if kind is quarnel.Comparison:
        path = node.object_path
        components = tuple((repr(c), c.property, c.index) for c in path.property_path)
        return (repr(node), dump_op(node.op), node.negated, read(node, "constant"),
                repr(path), path.object_type, components)
    if kind in (quarnel.CompositeComparison, quarnel.CompositePattern):
        return (repr(node), dump_op(node.op), dump(node.left), dump(node.right))
    if kind is quarnel.QualifiedPattern:
        return (repr(node), node.repeat, node.within, read(node, "start"), read(node, "stop"),
                dump(node.pattern))
    raise TypeError(f"not a node: {node!r}")


def outcome(pattern):
    """The dump of the parsed pattern, or the exception parse() raised, as data."""
    try:
        return dump(quarnel.parse(pattern))
    except (ValueError, TypeError, UnicodeEncodeError) as error:
        return (type(error).__name__, str(error))


def resident_bytes():
    gc.collect()
    # Only memory still in use should count, not pages malloc keeps for later.
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_the_mix_covers_every_node_class_and_every_kind_of_failure():
    outcomes = [outcome(p) for p in PATTERNS]
    reprs = repr(outcomes)
    for name in ["Comparison(", "CompositeComparison(", "CompositePattern(",
                 "QualifiedPattern(", "ObjectPath(", "PathComponent(", "'ValueError'",
                 "'TypeError'", "'UnicodeEncodeError'", "Nesting too deep", "Grammar error",
                 "Invalid integer"]:
        assert name in reprs, name


def test_a_million_calls_reading_everything_keep_memory_flat():
    expected = [outcome(p) for p in PATTERNS]
    rounds = max(1, -(-CALLS // len(PATTERNS)))
    warm_up = max(1, rounds // 20)
    early = None
    for number in range(rounds):
        if number == warm_up:
            early = resident_bytes()
        for pattern, wanted in zip(PATTERNS, expected):
            assert outcome(pattern) == wanted
    growth = resident_bytes() - early
    print(f"\n{rounds * len(PATTERNS)} calls; resident memory grew by {growth} bytes "
          f"after the warm-up")
    assert growth < 4 * 1024 * 1024, f"resident memory grew by {growth} bytes"


def parallel_outcomes_match(rounds):
    """True once every thread, each starting the mix at its own pattern, saw what one
    thread alone sees; meanwhile all threads read one shared tree and drop their parts."""
    expected = [outcome(p) for p in PATTERNS]
    shared = quarnel.parse(PATTERNS[4])
    shared_dump = dump(shared)
    side_dumps = [dump(shared.pattern.left), dump(shared.pattern.right)]

    def work(number):
        order = list(range(number, len(PATTERNS))) + list(range(number))
        for _ in range(rounds):
            for index in order:
                if outcome(PATTERNS[index]) != expected[index]:
                    return f"thread {number}: pattern {index} differs"
            # A part read off the shared root keeps it alive alone, then is dropped.
            part = shared.pattern.right if number % 2 else shared.pattern.left
            if dump(part) != side_dumps[number % 2] or dump(shared) != shared_dump:
                return f"thread {number}: the shared tree differs"
            del part
        return "ok"

    results = run_in_threads(work)
    assert results == ["ok"] * THREADS, results
    return True


@pytest.fixture
def frequent_switches():
    # With an interpreter lock, hand it over as often as possible to mix the threads' calls.
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def test_threads_parsing_at_once_see_the_sequential_results(frequent_switches):
    assert parallel_outcomes_match(rounds=200)


PARALLEL = """
import sys
import quarnel
from test_stress import parallel_outcomes_match
assert not sys._is_gil_enabled()
parallel_outcomes_match(rounds=1000)
print("ok")
"""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="needs a free-threaded interpreter")
def test_threads_parsing_in_parallel_without_the_gil(child_env):
    # Importing the module turns the lock on; forced off, nothing serialises the calls.
    child_env["PYTHONPATH"] = os.path.dirname(__file__) + os.pathsep + child_env["PYTHONPATH"]
    result = subprocess.run([sys.executable, "-X", "gil=0", "-c", PARALLEL], env=child_env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok"]
