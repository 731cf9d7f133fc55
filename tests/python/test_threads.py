# parse() and attribute reads from several threads at once, and the interpreter lock
# on a free-threaded interpreter.
import subprocess
import sys
import sysconfig
import threading

import pytest

import quarnel
from conftest import structure

free_threaded = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                   reason="needs a free-threaded interpreter")

PATTERNS = [
    "[file:hashes.'SHA-256' = 'aec070645fe53ee3b3763059376134f058cc337247c978add178b6ccdfb0019f']",
    "[network-traffic:dst_ref.value ISSUBSET '10.0.0.0/8'] FOLLOWEDBY [file:name MATCHES '^x']",
    "[a:b IN (1, 2.5, 'x', true, h'ff', b'QUJD', t'2020-01-01T00:00:00Z')] REPEATS 3 TIMES",
    "([a:b[*].c[2] NOT LIKE 'x%' AND EXISTS d:e] OR [f:g > -5]) WITHIN 300 SECONDS "
    "START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'",
    "[" + " OR ".join(f"x:y = {i}" for i in range(200)) + "]",
]
THREADS = 8


def run_in_threads(work):
    """Runs work(thread_number) in THREADS threads released together; returns the results."""
    start = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def body(number):
        try:
            start.wait()
            results[number] = work(number)
        except BaseException as error:  # reported below, in the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


def test_parse_from_many_threads_equals_sequential_results():
    expected = [structure(quarnel.parse(p)) for p in PATTERNS]

    def work(_):
        return [[structure(quarnel.parse(p)) for p in PATTERNS] for _ in range(20)]

    for rounds in run_in_threads(work):
        assert all(result == expected for result in rounds)


def test_shared_objects_are_read_from_many_threads():
    roots = [quarnel.parse(p) for p in PATTERNS]
    expected = [structure(root) for root in roots]

    def work(_):
        return [[structure(root) for root in roots] for _ in range(20)]

    for rounds in run_in_threads(work):
        assert all(result == expected for result in rounds)


def run_child(code, *options, env):
    result = subprocess.run([sys.executable, *options, "-c", code], env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result


GIL_STATE = """
import sys
before = sys._is_gil_enabled()
import quarnel
print(before, sys._is_gil_enabled())
"""


@free_threaded
def test_import_turns_the_gil_on(child_env):
    result = run_child(GIL_STATE, env=child_env)
    assert result.stdout.split() == ["False", "True"]
    assert "RuntimeWarning" in result.stderr and "'quarnel'" in result.stderr


PARALLEL_PARSES = """
import sys, threading
import quarnel
from conftest import structure
from test_threads import PATTERNS, run_in_threads
assert not sys._is_gil_enabled()
expected = [structure(quarnel.parse(p)) for p in PATTERNS]
shared = [quarnel.parse(p) for p in PATTERNS]
def work(_):
    for _ in range(50):
        assert [structure(quarnel.parse(p)) for p in PATTERNS] == expected
        assert [structure(root) for root in shared] == expected
    return True
assert all(run_in_threads(work))
print("ok")
"""


@free_threaded
def test_parse_runs_in_parallel_with_the_gil_forced_off(child_env):
    # Nothing serialises the calls here, so races on the module's state would show.
    tests_dir = __file__.rsplit("/", 1)[0]
    child_env["PYTHONPATH"] = tests_dir + ":" + child_env["PYTHONPATH"]
    result = run_child(PARALLEL_PARSES, "-X", "gil=0", env=child_env)
    assert result.stdout.split() == ["ok"]
