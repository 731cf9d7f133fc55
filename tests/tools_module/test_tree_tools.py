# Tree export, canonical text, observables and inspection: checked against the node objects
# of quarnel.parse() where they say the same, in tables where they add something.
import concurrent.futures
import json
import os
import pathlib
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarnel_tools

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", message="The global interpreter lock", category=RuntimeWarning)
    import quarnel

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "bench" / "corpus.txt"


def corpus():
    patterns = []
    for line in CORPUS.read_text(encoding="utf-8").splitlines():
        if quarnel_tools.is_valid_pattern(line):
            patterns.append(line)
    return patterns


# ---------------------------------------------------------------------------- an oracle

def timestamp_text(value):
    fraction = f".{value.microsecond:06d}".rstrip("0") if value.microsecond else ""
    return value.strftime("%Y-%m-%dT%H:%M:%S").zfill(19) + fraction + "Z"


def constant_json(value):
    if isinstance(value, list):
        return [constant_json(v) for v in value]
    if hasattr(value, "strftime"):
        return timestamp_text(value)
    if isinstance(value, float) and value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    return value


def expected_tree(node):
    """The exported shape, built from the node objects: chains flattened from the left."""
    kind = type(node).__name__
    if kind in ("CompositePattern", "CompositeComparison"):
        operands, operators = [], []
        while type(node).__name__ == kind:
            operands.append(node.right)
            operators.append(node.op.value)
            node = node.left
        operands.append(node)
        return {"node": kind, "operands": [expected_tree(o) for o in reversed(operands)],
                "operators": operators[::-1]}
    if kind == "QualifiedPattern":
        start, stop = node.start, node.stop
        return {"node": kind, "repeat": node.repeat, "within": node.within,
                "start": start and timestamp_text(start), "stop": stop and timestamp_text(stop),
                "pattern": expected_tree(node.pattern)}
    path = node.object_path
    return {"node": "Comparison", "op": node.op.value, "negated": node.negated,
            "object_path": {"node": "ObjectPath", "object_type": path.object_type,
                            "property_path": [{"node": "PathComponent", "property": c.property,
                                               "index": c.index} for c in path.property_path]},
            "constant": constant_json(node.constant)}


def test_tree_json_of_the_whole_corpus_matches_the_node_objects():
    for pattern in corpus():
        assert json.loads(quarnel_tools.tree_json(pattern)) == expected_tree(quarnel.parse(pattern)), pattern


TREES = [
    ("[a:b = 1] OR [c:d = 2] AND [e:f = 3]",
     {"node": "CompositePattern", "operators": ["OR", "AND"], "operands": 3}),
    ("[a:b = 1] OR ([c:d = 2] AND [e:f = 3])",
     {"node": "CompositePattern", "operators": ["OR"], "operands": 2}),
    ("[a:b = 1 AND (c:d = 2 OR e:f = 3) AND g:h = 4]",
     {"node": "CompositeComparison", "operators": ["AND", "AND"], "operands": 3}),
]


@pytest.mark.parametrize("pattern, shape", TREES)
def test_chains_are_one_node_and_parentheses_nest(pattern, shape):
    tree = json.loads(quarnel_tools.tree_json(pattern))
    assert {"node": tree["node"], "operators": tree["operators"], "operands": len(tree["operands"])} == shape


VALUES = [
    ("[a:b = t'2016-12-31T23:59:60Z']", "2016-12-31T23:59:60Z"),  # no datetime holds it
    ("[a:b = t'0000-01-01T00:00:00Z']", "0000-01-01T00:00:00Z"),
    ("[a:b = t'2020-01-01T00:00:00.123456789Z']", "2020-01-01T00:00:00.123456789Z"),
    ("[a:b = 1" + "0" * 400 + ".0]", "inf"),
    ("[a:b = 5.0]", 5.0),
    ("[a:b = 'caf\u00e9 \U0001f600']", "caf\u00e9 \U0001f600"),
]


@pytest.mark.parametrize("pattern, constant", VALUES)
def test_constants_that_json_or_datetime_cannot_hold_are_text(pattern, constant):
    text = quarnel_tools.tree_json(pattern)
    assert text.isascii()
    assert json.loads(text)["constant"] == constant


@pytest.mark.parametrize("operator", ["OR", "AND", "FOLLOWEDBY"])
def test_long_chains_read_back_with_the_json_module(operator):
    pattern = f" {operator} ".join(["[a:b = 1]"] * 200_000)
    tree = json.loads(quarnel_tools.tree_json(pattern))
    assert len(tree["operands"]) == 200_000 and set(tree["operators"]) == {operator}


def test_nesting_at_the_parser_bound_reads_back_with_the_json_module():
    inner = "[a:b = 1 OR (c:d = 2 AND e:f = 3)] WITHIN 5 SECONDS"
    pattern = "[x:y = 0] AND (" * 253 + inner + ")" * 253
    tree = json.loads(quarnel_tools.tree_json(pattern))
    depth = 0
    while tree["node"] == "CompositePattern":
        tree = tree["operands"][1]
        depth += 1
    assert depth == 253 and tree["node"] == "QualifiedPattern"


# ---------------------------------------------------------------------------- canonical text

def same_tree(a, b):
    return quarnel_tools.tree_json(a) == quarnel_tools.tree_json(b)


def test_canonical_text_round_trips_the_whole_corpus():
    for pattern in corpus():
        canonical = quarnel_tools.canonical_text(pattern)
        assert same_tree(canonical, pattern), (pattern, canonical)
        assert quarnel_tools.canonical_text(canonical) == canonical


def quoted(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


names = st.text("abcXY_0", min_size=1, max_size=4)
# Raw tabs and line feeds included: at the ends of a string they need care.
strings = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
constants = st.one_of(
    strings.map(quoted),
    st.integers(-2**63, 2**63 - 1).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda f: f"{f:.6f}"),
    st.sampled_from(["true", "false", "h'0aF'", "b'QUJD'", "t'2020-02-29T23:59:60Z'",
                     "t'2020-01-01T00:00:00.25-05:00'", "'\\t x \\n'", "'a\\qb'"]),
)
paths = st.builds(lambda t, steps: t + ":" + ".".join(steps), st.sampled_from(["file", "x-a", "ipv4-addr"]),
                  st.lists(st.one_of(names, st.just("'SHA-256'"), names.map(lambda n: n + "[*]"),
                                     names.map(lambda n: n + "[3]")), min_size=1, max_size=3))
comparisons = st.one_of(
    st.builds(lambda p, n, o, c: f"{p}{n}{o} {c}", paths, st.sampled_from(["", " NOT"]),
              st.sampled_from([" =", " !=", " >", " <=", " LIKE", " MATCHES"]), constants),
    st.builds(lambda p, cs: f"{p} IN ({', '.join(cs)})", paths, st.lists(constants, min_size=1, max_size=3)),
    paths.map(lambda p: "EXISTS " + p),
)
comparison_expressions = st.recursive(
    comparisons,
    lambda inner: st.one_of(
        st.builds(lambda a, op, b: f"{a} {op} {b}", inner, st.sampled_from(["AND", "OR"]), inner),
        inner.map(lambda e: f"({e})")),
    max_leaves=6)
qualifiers = st.sampled_from(["", " WITHIN 5 SECONDS", " WITHIN 2.5 SECONDS", " REPEATS 3 TIMES",
                              " START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'"])
observations = st.builds(lambda e, q: f"[{e}]{q}", comparison_expressions, qualifiers)
patterns = st.recursive(
    observations,
    lambda inner: st.one_of(
        st.builds(lambda a, op, b: f"{a} {op} {b}", inner, st.sampled_from(["AND", "OR", "FOLLOWEDBY"]), inner),
        st.builds(lambda e, q: f"({e}){q}", inner, qualifiers)),
    max_leaves=8)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(patterns)
def test_canonical_text_round_trips_generated_patterns(pattern):
    if not quarnel_tools.is_valid_pattern(pattern):
        return  # e.g. a float too long for the grammar's taste
    canonical = quarnel_tools.canonical_text(pattern)
    assert same_tree(canonical, pattern), (pattern, canonical)
    assert quarnel_tools.canonical_text(canonical) == canonical


def test_no_canonical_text_when_precedence_needs_too_many_parentheses():
    pattern = " ".join(f"[a:b = {i}] {'OR' if i % 2 else 'AND'}" for i in range(1000)) + " [a:b = 0]"
    with pytest.raises(ValueError, match="no canonical text: .* deeper than the 256 levels"):
        quarnel_tools.canonical_text(pattern)


# ---------------------------------------------------------------------------- observables

OBSERVABLES = [
    ("[file:hashes.'SHA-256' = 'ab' AND file:name NOT LIKE 'x%']",
     [(0, "file", "hashes.'SHA-256'", ["hashes", "SHA-256"], "=", False, [("string", "ab")], []),
      (0, "file", "name", ["name"], "LIKE", True, [("string", "x%")], [])]),
    ("([a:b[*].c IN (1, 2.5)] REPEATS 2 TIMES FOLLOWEDBY [EXISTS d:e[0]]) WITHIN 60 SECONDS",
     [(0, "a", "b[*].c", ["b", "*", "c"], "IN", False, [("integer", 1), ("float", 2.5)],
       [{"repeats": 2}, {"within": 60.0}]),
      (1, "d", "e[0]", ["e", 0], "EXISTS", False, [], [{"within": 60.0}])]),
    ("[x:t = t'2020-01-01T00:00:00-01:00'] START t'2020-01-01T00:00:00Z' STOP t'2021-01-01T00:00:00Z'",
     [(0, "x", "t", ["t"], "=", False, [("timestamp", "2020-01-01T01:00:00Z")],
       [{"start": "2020-01-01T00:00:00Z", "stop": "2021-01-01T00:00:00Z"}])]),
    ("[x:h = h'aB'] OR [x:b = b'QUJD' OR x:k = true]",
     [(0, "x", "h", ["h"], "=", False, [("hex", "aB")], []),
      (1, "x", "b", ["b"], "=", False, [("binary", "QUJD")], []),
      (1, "x", "k", ["k"], "=", False, [("boolean", True)], [])]),
]


@pytest.mark.parametrize("pattern, expected", OBSERVABLES)
def test_observables(pattern, expected):
    got = [(o["observation"], o["object_type"], o["path"], o["steps"], o["operator"], o["negated"],
            [(c["type"], c["value"]) for c in o["constants"]], o["qualifiers"])
           for o in quarnel_tools.observables(pattern)]
    assert got == expected


# ---------------------------------------------------------------------------- inspection

def test_inspection_lists_each_thing_once_in_order_of_appearance():
    pattern = ("([file:name = 'a' AND file:size > 5] OR [process:pid NOT = 1]) REPEATS 2 TIMES "
               "FOLLOWEDBY [file:name = 'b'] WITHIN 5 SECONDS")
    assert quarnel_tools.inspect_pattern(pattern) == {
        "object_types": ["file", "process"],
        "object_paths": ["file:name", "file:size", "process:pid"],
        "comparison_operators": ["=", ">", "NOT ="],
        "observation_operators": ["OR", "FOLLOWEDBY"],
        "qualifiers": ["REPEATS", "WITHIN"],
        "observations": 3,
        "comparisons": 4,
    }


# ---------------------------------------------------------------------------- calls

FUNCTIONS = [quarnel_tools.tree_json, quarnel_tools.canonical_text, quarnel_tools.observables,
             quarnel_tools.inspect_pattern]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_rejected_patterns_raise_the_parsers_message(function):
    with pytest.raises(ValueError) as expected:
        quarnel.parse("[a:b = ]")
    with pytest.raises(ValueError) as got:
        function("[a:b = ]")
    assert str(got.value) == str(expected.value)
    with pytest.raises(TypeError, match="must be str, not bytes"):
        function(b"[a:b = 1]")
    with pytest.raises(UnicodeEncodeError):
        function("[a:b = '\ud800']")


def test_threads_calling_at_once_get_the_single_threaded_results():
    patterns = corpus()
    expected = [[f(p) for f in FUNCTIONS] for p in patterns]
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        for _ in range(3):
            got = list(pool.map(lambda p: [f(p) for f in FUNCTIONS], patterns))
            assert got == expected


# ---------------------------------------------------------------------------- the checker's engine

def test_every_thread_count_gives_the_same_output_for_a_large_bundle():
    objects = [{"type": "indicator", "id": f"indicator--{i}", "pattern": p, "pattern_type": "stix"}
               for i, p in enumerate(corpus() * 40)]
    objects[7] = {"type": "indicator", "pattern": "[a:b = ]"}  # labelled by position
    objects[9]["pattern_type"] = "sigma"
    data = json.dumps({"type": "bundle", "objects": objects}, indent=1).encode()
    for report in ("rejections", "tree", "observables-csv"):
        single = quarnel_tools.check_document(data, "b.json", "json", report, 1)
        assert single[2:] == (len(objects) - 2, 1, 1)
        for jobs in (2, 3, 8):
            assert quarnel_tools.check_document(data, "b.json", "json", report, jobs) == single


ENGINE_FALLBACKS = [
    (b"[a:b = 1]\n\x80\n", "text"),  # not UTF-8: the checker names the line
    (b"\xc2\xa0# a comment after a no-break space\n", "text"),
    (b'[{"type": "indicator", "pattern": 5}]', "json"),
    (b'{"type": "bundle", "objects": {}}', "json"),
    (b'[{"type": "indicator", "pattern": "[a:b = 1]"}, 3]', "json"),
    (b'{"type": "bundle", "objects": [NaN]}', "json"),
]


@pytest.mark.parametrize("data, kind", ENGINE_FALLBACKS)
def test_unusual_inputs_go_back_to_the_checker(data, kind):
    assert quarnel_tools.check_document(data, "f", kind, "rejections", 2) is None


def test_check_entries_reports_problems_and_patterns_in_order():
    entries = [("f:1", "[a:b = 1]", None, None), ("f:2", None, "no pattern", "null"),
               ("f:3", "[a:b = ]", None, None)]
    out, err, accepted, rejected, skipped = quarnel_tools.check_entries(entries, "tree", 2)
    records = [json.loads(line) for line in out.decode().splitlines()]
    assert [(r["source"], r["ok"], r["pattern"]) for r in records] == [
        ("f:1", True, "[a:b = 1]"), ("f:2", False, None), ("f:3", False, "[a:b = ]")]
    assert (err, accepted, rejected, skipped) == ("", 1, 2, 0)


FILES = [
    # content, offset, kind of document, the expected result of check_document on the rest
    (b"[a:b = 1]\n[a:b = ]\n" * 40_000, 0, "text"),
    (b"[a:b = ]\n[a:b = 1]\n[a:b = ]\n", 10, "text"),  # numbered from where the reading starts
    (b"\xef\xbb\xbf [{\"type\": \"indicator\", \"pattern\": \"[a:b = ]\"}]", 0, "json"),
    (b"[a:b = 1]\n\x80\n", 0, "text"),  # handed back, as by check_document
]


@pytest.mark.parametrize("content, offset, kind", FILES)
def test_check_file_reads_the_rest_of_a_file_as_check_document_does(tmp_path, content, offset,
                                                                   kind):
    path = tmp_path / "f"
    path.write_bytes(content)
    expected = quarnel_tools.check_document(content[offset:], "f", kind, "rejections", 1)
    with open(path, "rb") as file:
        assert quarnel_tools.check_file(file.fileno(), offset, "f", "rejections", 2) == expected


def test_check_file_leaves_pipes_to_the_checker():
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, b"[a:b = 1]\n")
        assert quarnel_tools.check_file(read_end, 0, "p", "rejections", 2) is None
    finally:
        os.close(read_end)
        os.close(write_end)
