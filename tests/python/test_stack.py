# Deep nesting on threads with small stacks: every parse ends in a result or a ValueError,
# never a crash, and the bound in force shrinks with the stack the thread has.
import re
import threading

import pytest

import quarnel

SHAPES = {
    "groups": lambda n: "(" * n + "[a:b = 1]" + ")" * n,
    "qualified groups": lambda n: "(" * n + "[a:b IN ('x', 'y')] WITHIN 5 SECONDS"
                                  + ") REPEATS 2 TIMES" * n,
    "groups of chains": lambda n: "([a:b = 1] AND " * n + "[c:d = 2]" + ")" * n,
    "comparisons": lambda n: "[" + "(a:b = 1 OR " * n + "a:c = 2" + ")" * n + "]",
    "groups and comparisons": lambda n: "(" * (n // 2) + "[" + "(" * (n - n // 2) + "a:b = 1"
                                        + ")" * (n - n // 2) + "]" + ")" * (n // 2),
    "error at the bottom": lambda n: "(" * n + "[a:b = ]" + ")" * n,
    "unclosed": lambda n: "(" * n,
}
DEPTHS = [1, 2, 3, 8, 16, 24, 31, 32, 48, 64, 100, 101, 128, 200, 254, 255, 256, 257, 300, 512, 1000]
TOO_DEEP = re.compile(r"more than (\d+) levels of nested parentheses and brackets")


def outcomes_on_a_thread(stack_size, work):
    """Runs work() on a new thread with the given stack size and returns what it returned."""
    result = {}

    def body():
        result["value"] = work()

    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    return result["value"]


def parse_each(inputs):
    """(depth, shape) -> "ok", or the ValueError's message."""
    outcomes = {}
    for key, text in inputs.items():
        try:
            node = quarnel.parse(text)
            repr(node)
            outcomes[key] = "ok"
        except ValueError as error:
            outcomes[key] = str(error)
    return outcomes


def bound_named(message):
    found = TOO_DEEP.search(message)
    return int(found.group(1)) if found else None


@pytest.mark.parametrize("stack_size", [32 << 10, 64 << 10, 128 << 10, 1 << 20],
                         ids=["32KiB", "64KiB", "128KiB", "1MiB"])
def test_deep_input_gives_a_result_or_value_error(stack_size):
    inputs = {(depth, shape): make(depth) for depth in DEPTHS for shape, make in SHAPES.items()}
    outcomes = outcomes_on_a_thread(stack_size, lambda: parse_each(inputs))
    # One bound holds for the whole thread, whatever nests.
    bounds = {bound_named(message) for message in outcomes.values()} - {None}
    assert len(bounds) == 1, bounds
    (bound,) = bounds
    assert 8 < bound <= 256
    for (depth, shape), outcome in outcomes.items():
        # The observation's brackets take one level.
        levels = depth + 1 if shape != "unclosed" else depth
        if levels > bound:
            assert bound_named(outcome) == bound, (depth, shape, outcome[:80])
        elif shape == "error at the bottom":
            assert outcome.startswith("Grammar error: "), (depth, outcome[:80])
        elif shape == "unclosed":
            assert outcome.startswith("Grammar error: "), (depth, outcome[:80])
        else:
            assert outcome == "ok", (depth, shape, outcome[:80])
    if stack_size >= 1 << 20:
        assert bound == 256


def test_ordinary_patterns_parse_on_the_smallest_thread_stack():
    patterns = [make(8) for name, make in SHAPES.items() if name not in ("error at the bottom", "unclosed")]
    patterns.append("([a:b[*].c[2] NOT LIKE 'x%' AND EXISTS d:e] OR [f:g > -5]) WITHIN 300 SECONDS "
                    "START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'")
    outcomes = outcomes_on_a_thread(32 << 10, lambda: parse_each(dict(enumerate(patterns))))
    assert set(outcomes.values()) == {"ok"}
