"""The pattern checker, run as users run it: `python -m quarnel_check` in a subprocess, with
the built module found through QUARNEL_MODULE_DIR."""

import csv
import io
import json
import os
import pty
import select
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
# The module under test: from QUARNEL_MODULE_DIR when set, else wherever it is installed.
if os.environ.get("QUARNEL_MODULE_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUARNEL_MODULE_DIR"]))
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", message="The global interpreter lock",
                            category=RuntimeWarning)
    import quarnel

ENV = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
PATHS = (os.path.dirname(quarnel.__file__), str(ROOT / "checker"), os.environ.get("PYTHONPATH"))
ENV["PYTHONPATH"] = os.pathsep.join(p for p in PATHS if p)
SUMMARY = "checked {} {}: {} accepted, {} rejected, {} skipped"
VALID = "[file:name = 'a.exe']"
INVALID = "[file:name = ]"


def run(*args, stdin=b"", cwd=ROOT):
    if isinstance(stdin, str):
        stdin = stdin.encode()
    return subprocess.run([sys.executable, "-m", "quarnel_check", *map(str, args)], input=stdin,
                          capture_output=True, env=ENV, cwd=cwd, timeout=120)


def summary(accepted, rejected, skipped=0):
    checked = accepted + rejected
    return SUMMARY.format(checked, "pattern" if checked == 1 else "patterns", accepted,
                          rejected, skipped)


def report_of(pattern):
    with pytest.raises(ValueError) as caught:
        quarnel.parse(pattern)
    return caught.value.args[0]


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return path


def bundle(*objects):
    return json.dumps({"type": "bundle", "id": "bundle--1", "objects": list(objects)})


def indicator(identifier, **fields):
    return {"type": "indicator", "id": identifier, **fields}


def json_lines(stdout):
    return [json.loads(line) for line in stdout.decode().splitlines()]


# ----------------------------------------------------------------------------- examples

EXAMPLE_REJECTIONS = [
    ("examples/patterns.txt:4", "Grammar error: "),
    ("examples/patterns.txt:7", "Grammar error: "),
    ("examples/patterns.txt:10", "Invalid timestamp: 2024-13-01T00:00:00Z"),
    ("examples/bundle.json:indicator--e2c96b41-8d05-4a7f-9b3e-6f1d0c4a8e57", "Grammar error: "),
]


def example_patterns():
    lines = (EXAMPLES / "patterns.txt").read_text().splitlines()
    found = {f"examples/patterns.txt:{n}": line for n, line in enumerate(lines, 1) if line}
    objects = json.loads((EXAMPLES / "bundle.json").read_text())["objects"]
    found.update({f"examples/bundle.json:{o['id']}": o["pattern"] for o in objects
                  if o["type"] == "indicator" and o.get("pattern_type", "stix") == "stix"})
    return found


def test_examples_print_each_failure_with_the_modules_report_then_the_summary():
    result = run("examples/patterns.txt", "examples/bundle.json")
    patterns = example_patterns()
    expected = "".join(f"{source}: {report_of(patterns[source])}\n\n"
                       for source, _ in EXAMPLE_REJECTIONS)
    assert result.stdout.decode() == expected + summary(13, 4, 1) + "\n"
    assert result.stderr == b""
    assert result.returncode == 1


@pytest.mark.parametrize("source, start", EXAMPLE_REJECTIONS)
def test_example_failures_are_the_intended_ones(source, start):
    assert report_of(example_patterns()[source]).startswith(start)


def test_examples_through_check_sh_as_the_readme_says():
    result = subprocess.run(["bash", "scripts/check.sh", "examples/patterns.txt",
                             "examples/bundle.json"], capture_output=True, cwd=ROOT, timeout=600)
    assert result.returncode == 1, result.stderr.decode()
    assert result.stdout.decode().endswith(summary(13, 4, 1) + "\n")


# ----------------------------------------------------------------------------- exit statuses

EXIT_CASES = [
    # name, files {name: content}, arguments, status, stderr fragment
    ("all valid", {"p.txt": f"{VALID}\n{VALID}\n"}, ["p.txt"], 0, ""),
    ("one invalid", {"p.txt": f"{VALID}\n{INVALID}\n"}, ["p.txt"], 1, ""),
    ("empty file", {"p.txt": ""}, ["p.txt"], 0, ""),
    ("comments and blanks only", {"p.txt": "# x\n\n   \n  # y\n"}, ["p.txt"], 0, ""),
    ("missing file", {}, ["absent.txt"], 2, "absent.txt: cannot open: No such file"),
    ("missing file beats a rejection", {"p.txt": INVALID}, ["p.txt", "absent.txt"], 2,
     "absent.txt"),
    ("directory", {}, ["."], 2, ".: cannot open"),
    ("invalid UTF-8", {"p.txt": b"[file:name = '\xff']\n"}, ["p.txt"], 2,
     "p.txt:1: not valid UTF-8"),
    ("invalid UTF-8 in JSON", {"b.json": b'{"type": "\xc3"}'}, ["b.json"], 2,
     "b.json: not valid UTF-8"),
    ("broken JSON", {"b.json": '{"type": "bundle", "objects": ['}, ["b.json"], 2,
     "b.json: invalid JSON"),
    ("JSON nested too deeply", {"b.json": '{"a": ' * 100_000}, ["b.json"], 2,
     "b.json: invalid JSON"),
    ("bundle objects not a list", {"b.json": '{"type": "bundle", "objects": {}}'}, ["b.json"],
     2, "not a list"),
    ("list item not an object", {"b.json": "[{}, 3]"}, ["b.json"], 2,
     "object #1 is not a JSON object"),
    ("unknown option", {}, ["--frobnicate"], 2, "unrecognized arguments"),
    ("quiet with json", {"p.txt": VALID}, ["--quiet", "--json", "p.txt"], 2, "--quiet"),
]


@pytest.mark.parametrize("name, files, arguments, status, message", EXIT_CASES,
                         ids=[case[0] for case in EXIT_CASES])
def test_exit_status(tmp_path, name, files, arguments, status, message):
    for file_name, content in files.items():
        write(tmp_path, file_name, content)
    result = run(*arguments, cwd=tmp_path)
    assert result.returncode == status
    assert message in result.stderr.decode()
    assert b"Traceback" not in result.stderr


def test_unreadable_input_does_not_stop_the_other_files(tmp_path):
    write(tmp_path, "p.txt", f"{INVALID}\n")
    result = run("absent.txt", "p.txt", cwd=tmp_path)
    assert result.stdout.decode().startswith("p.txt:1: Grammar error: ")
    assert result.stdout.decode().endswith(summary(0, 1) + "\n")


def test_invalid_utf8_stops_at_the_bad_line_after_checking_the_lines_before(tmp_path):
    write(tmp_path, "p.txt", f"{INVALID}\n".encode() + b"\x80\n" + f"{INVALID}\n".encode())
    result = run("p.txt", cwd=tmp_path)
    assert result.returncode == 2
    assert "p.txt:2: not valid UTF-8" in result.stderr.decode()
    assert result.stdout.decode().endswith(summary(0, 1) + "\n")


# ----------------------------------------------------------------------------- text input

TEXT_CASES = [
    # content, expected failing sources
    (f"{INVALID}\n{VALID}\n{INVALID}\n", ["p.txt:1", "p.txt:3"]),
    (f"# comment\n\n{INVALID}\n", ["p.txt:3"]),  # skipped lines still count
    (f"{INVALID}\r\n{VALID}\r\n", ["p.txt:1"]),  # CRLF is not part of the pattern
    (f"\ufeff{VALID}\n{INVALID}", ["p.txt:2"]),  # BOM dropped; last line without newline
    (f"   # indented comment\n{INVALID}\n", ["p.txt:2"]),
]


@pytest.mark.parametrize("content, failing", TEXT_CASES)
def test_text_lines_are_numbered_and_skipped_as_documented(tmp_path, content, failing):
    write(tmp_path, "p.txt", content)
    records = json_lines(run("--json", "p.txt", cwd=tmp_path).stdout)
    assert [r["source"] for r in records if not r["ok"]] == failing
    assert all(r["ok"] for r in records if r["source"] not in failing)


def test_crlf_and_bom_do_not_reach_the_parser(tmp_path):
    write(tmp_path, "p.txt", f"\ufeff{VALID}\r\n{VALID}\r\n")
    result = run("p.txt", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.decode() == summary(2, 0) + "\n"


STDIN_CASES = [
    ([], f"{INVALID}\n", "<stdin>:1"),
    (["-"], f"{VALID}\n{INVALID}\n", "<stdin>:2"),
    (["-"], bundle(indicator("indicator--s", pattern=INVALID)), "<stdin>:indicator--s"),
]


@pytest.mark.parametrize("arguments, stdin, source", STDIN_CASES)
def test_standard_input(arguments, stdin, source):
    result = run(*arguments, stdin=stdin)
    assert result.returncode == 1
    assert result.stdout.decode().startswith(f"{source}: Grammar error: ")


def test_text_input_streams_rather_than_loading_whole_files(tmp_path):
    # Many more lines than one read chunk, and a pattern split across the chunk boundary.
    lines = [VALID] * 50_000 + [INVALID]
    write(tmp_path, "p.txt", "\n".join(lines) + "\n")
    result = run("p.txt", cwd=tmp_path)
    assert result.stdout.decode() == f"p.txt:50001: {report_of(INVALID)}\n\n{summary(50_000, 1)}\n"
    assert result.stderr == b""  # no progress indicator when stderr is not a terminal


def stream_content():
    """Lines that span many reads of a pipe: rejections, comments, CRLF and a long line fall
    on and around the boundaries of the batches."""
    lines = []
    for number in range(1, 120_001):
        lines.append(INVALID if number % 9_973 == 0 or number in (1, 2_185, 2_186)
                     else "# comment" if number % 7 == 0 else "" if number % 11 == 0
                     else f"[file:name = '{'x' * (number % 200)}']")
    lines[60_000] = f"[file:name = '{'y' * 300_000}']"
    return ("\ufeff" + "\r\n".join(lines[:10]) + "\r\n" + "\n".join(lines[10:])).encode()


@pytest.mark.parametrize("option", ["", "--json", "--observables"])
def test_standard_input_gives_what_the_same_file_gives(tmp_path, option):
    content = stream_content()
    write(tmp_path, "p.txt", content)
    from_file = run(*filter(None, [option, "p.txt"]), cwd=tmp_path)
    from_pipe = run(*filter(None, [option, "-"]), stdin=content, cwd=tmp_path)
    assert from_file.returncode == from_pipe.returncode == 1
    assert from_pipe.stdout == from_file.stdout.replace(b"p.txt:", b"<stdin>:")
    assert from_pipe.stderr == from_file.stderr


def test_standard_input_is_checked_as_it_flows():
    with subprocess.Popen([sys.executable, "-m", "quarnel_check", "--json"], env=ENV, cwd=ROOT,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE) as process:
        process.stdin.write(f"{VALID}\n{INVALID}\n".encode())
        process.stdin.flush()
        ready = select.select([process.stdout], [], [], 60)[0]  # guards a hang only
        first = process.stdout.readline() if ready else b""
        process.stdin.close()
        process.wait(timeout=60)
    assert json.loads(first)["source"] == "<stdin>:1"


def test_bad_utf8_in_a_stream_stops_there_after_the_lines_before():
    content = f"{INVALID}\n".encode() * 50_000 + b"\x80\n" + f"{INVALID}\n".encode()
    result = run("-", stdin=content)
    assert result.returncode == 2
    assert "<stdin>:50001: not valid UTF-8" in result.stderr.decode()
    assert result.stdout.decode().endswith(summary(0, 50_000) + "\n")


def test_progress_indicator_on_a_terminal(tmp_path):
    # Each input is checked at once: the count shows after each input that passes 10,000.
    write(tmp_path, "p.txt", f"{VALID}\n" * 10_000)
    controller, terminal = pty.openpty()
    with subprocess.Popen([sys.executable, "-m", "quarnel_check", "p.txt", "p.txt"], env=ENV,
                          cwd=tmp_path, stdout=subprocess.PIPE, stderr=terminal) as process:
        os.close(terminal)
        stdout = process.stdout.read().decode()
        process.wait(timeout=120)
    shown = b""
    while select.select([controller], [], [], 0)[0]:
        try:
            shown += os.read(controller, 4096)
        except OSError:
            break
    os.close(controller)
    assert b"\rchecked 10,000 patterns" in shown and b"\rchecked 20,000 patterns" in shown
    assert shown.endswith(b"\r\x1b[K")
    assert stdout == summary(20_000, 0) + "\n"


def test_a_closed_pipe_stops_the_checker_quietly(tmp_path):
    write(tmp_path, "p.txt", f"{INVALID}\n" * 20_000)
    with subprocess.Popen([sys.executable, "-m", "quarnel_check", "p.txt"], env=ENV,
                          cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdout.readline()
        process.stdout.close()
        stderr = process.stderr.read()
        status = process.wait(timeout=120)
    assert status == 1
    assert b"Traceback" not in stderr and b"Exception ignored" not in stderr


# ----------------------------------------------------------------------------- JSON bundles

BUNDLE_CASES = [
    # name, document, expected (source suffix, ok, error) per checked pattern, skipped
    ("stix and absent pattern_type are checked",
     bundle(indicator("indicator--a", pattern=VALID, pattern_type="stix"),
            indicator("indicator--b", pattern=INVALID)),
     [("indicator--a", True, None), ("indicator--b", False, "Grammar error: ")], 0),
    ("other pattern types are skipped",
     bundle(indicator("indicator--s", pattern="title: x", pattern_type="sigma"),
            indicator("indicator--y", pattern="rule x {}", pattern_type="yara")),
     [], 2),
    ("missing pattern", bundle(indicator("indicator--m", pattern_type="stix")),
     [("indicator--m", False, 'the indicator has no "pattern"')], 0),
    ("number as pattern", bundle(indicator("indicator--n", pattern=42)),
     [("indicator--n", False, 'the indicator\'s "pattern" is not a string but int')], 0),
    ("null pattern", bundle(indicator("indicator--z", pattern=None)),
     [("indicator--z", False, 'the indicator\'s "pattern" is not a string but null')], 0),
    ("other objects are ignored",
     bundle({"type": "identity", "id": "identity--1", "pattern": INVALID},
            {"type": "malware", "id": "malware--1"}),
     [], 0),
    ("indicator without id is named by its position",
     bundle({"type": "identity", "id": "identity--1"}, {"type": "indicator", "pattern": INVALID}),
     [("objects[1]", False, "Grammar error: ")], 0),
    ("lone surrogate from a JSON escape",
     bundle(indicator("indicator--u", pattern="[a:b = '\ud800']")),
     [("indicator--u", False, "the pattern is not valid Unicode: ")], 0),
    ("single indicator object", json.dumps(indicator("indicator--o", pattern=INVALID)),
     [("indicator--o", False, "Grammar error: ")], 0),
    ("list of objects",
     json.dumps([indicator("indicator--l1", pattern=VALID),
                 indicator("indicator--l2", pattern=VALID)]),
     [("indicator--l1", True, None), ("indicator--l2", True, None)], 0),
    ("indented list", "[\n\n  " + json.dumps(indicator("indicator--i", pattern=VALID)) + "\n]",
     [("indicator--i", True, None)], 0),
    ("empty list", "[]", [], 0),
    ("bundle without objects key is a single object", '{"type": "bundle"}', [], 0),
]


@pytest.mark.parametrize("name, document, expected, skipped", BUNDLE_CASES,
                         ids=[case[0] for case in BUNDLE_CASES])
def test_bundles(tmp_path, name, document, expected, skipped):
    write(tmp_path, "b.json", document)
    result = run("--json", "b.json", cwd=tmp_path)
    records = json_lines(result.stdout)
    got = [(r["source"], r["ok"], r.get("error")) for r in records]
    assert [(s, ok) for s, ok, _ in got] == [(f"b.json:{s}", ok) for s, ok, _ in expected]
    for (_, _, error), (_, _, start) in zip(got, expected):
        assert (error is None) == (start is None) and (start is None or error.startswith(start))
    accepted = sum(ok for _, ok, _ in expected)
    assert result.stderr.decode() == summary(accepted, len(expected) - accepted, skipped) + "\n"
    assert result.returncode == (0 if accepted == len(expected) else 1)


def test_text_report_of_a_missing_pattern(tmp_path):
    write(tmp_path, "b.json", bundle(indicator("indicator--m")))
    result = run("b.json", cwd=tmp_path)
    assert result.stdout.decode() == ('b.json:indicator--m: the indicator has no "pattern"\n\n'
                                      + summary(0, 1) + "\n")


def test_lone_surrogates_are_printed_escaped_not_crashing(tmp_path):
    write(tmp_path, "b.json", bundle(indicator("indicator--\ud800", pattern=INVALID)))
    result = run("b.json", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout.decode().startswith("b.json:indicator--\\ud800: Grammar error: ")


# ----------------------------------------------------------------------------- --json records


def test_json_records_read_back_with_the_same_fields():
    result = run("--json", "examples/patterns.txt", "examples/bundle.json")
    records = json_lines(result.stdout)
    patterns = example_patterns()
    assert [r["source"] for r in records] == list(patterns)
    for record in records:
        assert record["pattern"] == patterns[record["source"]]
        if record["ok"]:
            assert set(record) == {"source", "pattern", "ok", "tree"}
        else:
            assert set(record) == {"source", "pattern", "ok", "error"}
            assert record["error"] == report_of(record["pattern"])
    assert result.stderr.decode() == summary(13, 4, 1) + "\n"


def path(object_type, *steps):
    return {"node": "ObjectPath", "object_type": object_type,
            "property_path": [{"node": "PathComponent", "property": p, "index": i}
                              for p, i in steps]}


def comparison(op, object_path, constant, negated=False):
    return {"node": "Comparison", "op": op, "negated": negated, "object_path": object_path,
            "constant": constant}


JSON_TREES = [
    ("[file:name = 'x']", comparison("=", path("file", ("name", None)), "x")),
    ("[a:b[*].c[2] NOT IN (1, 2.5, true)]",
     comparison("IN", path("a", ("b", "*"), ("c", 2)), [1, 2.5, True], negated=True)),
    ("[EXISTS a:b]", comparison("EXISTS", path("a", ("b", None)), None)),
    ("[a:b = h'fF'] OR [a:b = b'QUJD']",
     {"node": "CompositePattern", "operators": ["OR"],
      "operands": [comparison("=", path("a", ("b", None)), "fF"),
                   comparison("=", path("a", ("b", None)), "QUJD")]}),
    # a chain is one node, whatever its operators; parentheses nest
    ("[a:b = 1 AND a:c > 2 OR (a:d = 3 OR a:e = 4)]",
     {"node": "CompositeComparison", "operators": ["AND", "OR"],
      "operands": [comparison("=", path("a", ("b", None)), 1),
                   comparison(">", path("a", ("c", None)), 2),
                   {"node": "CompositeComparison", "operators": ["OR"],
                    "operands": [comparison("=", path("a", ("d", None)), 3),
                                 comparison("=", path("a", ("e", None)), 4)]}]}),
    ("[a:b = t'2020-01-01T00:00:00.5-05:00']",
     comparison("=", path("a", ("b", None)), "2020-01-01T05:00:00.5Z")),
    ("[a:b = 1] REPEATS 3 TIMES WITHIN 2.5 SECONDS",
     {"node": "QualifiedPattern", "repeat": 3, "within": 2.5, "start": None, "stop": None,
      "pattern": comparison("=", path("a", ("b", None)), 1)}),
    ("[a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'",
     {"node": "QualifiedPattern", "repeat": None, "within": None,
      "start": "2020-01-01T00:00:00Z", "stop": "2020-01-02T00:00:00Z",
      "pattern": comparison("=", path("a", ("b", None)), 1)}),
    # JSON has no infinity: written as text rather than as invalid JSON.
    ("[a:b = 1" + "0" * 400 + ".0]", comparison("=", path("a", ("b", None)), "inf")),
]


@pytest.mark.parametrize("pattern, tree", JSON_TREES)
def test_json_tree(pattern, tree):
    result = run("--json", stdin=pattern)
    (record,) = json_lines(result.stdout)
    assert record == {"source": "<stdin>:1", "pattern": pattern, "ok": True, "tree": tree}


UNCONVERTIBLE = [
    ("[a:b = t'0000-01-01T00:00:00Z']", "0000-01-01T00:00:00Z"),
    ("[a:b IN (1, t'0000-01-01T00:00:00Z')]", [1, "0000-01-01T00:00:00Z"]),
    ("[a:b = t'2016-12-31T23:59:60Z']", "2016-12-31T23:59:60Z"),  # a leap second
]


@pytest.mark.parametrize("pattern, constant", UNCONVERTIBLE)
def test_timestamps_that_datetime_cannot_hold_are_written_as_text(pattern, constant):
    result = run("--json", stdin=pattern)
    assert result.returncode == 0, result.stderr.decode()
    (record,) = json_lines(result.stdout)
    assert record["tree"]["constant"] == constant
    # --tree still shows what the module's objects cannot convert
    assert "<cannot convert: " in run("--tree", stdin=pattern).stdout.decode()


def test_long_chains_read_back_with_the_json_module():
    # Far deeper than Python's recursion limit if each operator were a node of its own.
    pattern = " AND ".join(["[a:b = 1]"] * 3000)
    records = run("--json", stdin=pattern)
    tree = run("--tree", stdin=pattern)
    assert (records.returncode, tree.returncode) == (0, 0), records.stderr + tree.stderr
    (record,) = json_lines(records.stdout)
    assert len(record["tree"]["operands"]) == 3000 and record["tree"]["operators"] == ["AND"] * 2999
    assert tree.stdout.decode().count("CompositePattern op='AND'\n") == 2999


# ----------------------------------------------------------------------------- toolkit reports

MIXED = "[a:b = 1] OR [c:d = 2] AND [e:f = 3]"
REPORTS = [
    (["--canonical"], {"canonical": "([a:b = 1] OR [c:d = 2]) AND [e:f = 3]"}),
    (["--inspect"], {"inspection": {
        "object_types": ["a", "c", "e"], "object_paths": ["a:b", "c:d", "e:f"],
        "comparison_operators": ["="], "observation_operators": ["OR", "AND"], "qualifiers": [],
        "observations": 3, "comparisons": 3}}),
]


@pytest.mark.parametrize("arguments, field", REPORTS)
def test_toolkit_reports_one_record_per_pattern(tmp_path, arguments, field):
    write(tmp_path, "p.txt", f"{MIXED}\n{INVALID}\n")
    result = run(*arguments, "p.txt", cwd=tmp_path)
    accepted, rejected = json_lines(result.stdout)
    assert accepted == {"source": "p.txt:1", "pattern": MIXED, "ok": True, **field}
    assert rejected == {"source": "p.txt:2", "pattern": INVALID, "ok": False,
                        "error": report_of(INVALID)}
    assert result.stderr.decode() == summary(1, 1) + "\n"
    assert result.returncode == 1


def test_a_pattern_without_canonical_text_counts_as_rejected():
    pattern = " ".join(f"[a:b = {i}] {'OR' if i % 2 else 'AND'}" for i in range(1000)) + " [a:b = 0]"
    result = run("--canonical", stdin=pattern)
    (record,) = json_lines(result.stdout)
    assert not record["ok"] and record["error"].startswith("no canonical text: ")
    assert result.returncode == 1


def test_observables_as_json_lines_and_as_csv(tmp_path):
    write(tmp_path, "p.txt", "[file:name = 'a,\"b' AND file:size IN (1, 2)] WITHIN 5 SECONDS\n"
                             f"{INVALID}\n")
    lines = json_lines(run("--observables", "p.txt", cwd=tmp_path).stdout)
    assert [(r["source"], r.get("path"), r.get("ok")) for r in lines] == [
        ("p.txt:1", "name", None), ("p.txt:1", "size", None), ("p.txt:2", None, False)]
    csv_run = run("--observables", "--csv", "p.txt", cwd=tmp_path)
    rows = list(csv.reader(io.StringIO(csv_run.stdout.decode(), newline="")))
    assert rows == [
        ["source", "observation", "object_type", "path", "operator", "negated", "constant_types",
         "constants", "qualifiers"],
        ["p.txt:1", "0", "file", "name", "=", "false", "string", 'a,"b', "WITHIN 5 SECONDS"],
        ["p.txt:1", "0", "file", "size", "IN", "false", "integer integer", "[1, 2]",
         "WITHIN 5 SECONDS"]]
    assert csv_run.stderr.decode().startswith("p.txt:2: Grammar error: ")


@pytest.mark.parametrize("option", ["", "--json", "--canonical", "--observables"])
def test_every_job_count_gives_the_same_output_and_status(tmp_path, option):
    lines = [f"{VALID}", f"{INVALID}", MIXED, "# comment", ""] * 30_000
    write(tmp_path, "p.txt", "\n".join(lines))
    write(tmp_path, "b.json", bundle(*[indicator(f"indicator--{i}", pattern=p)
                                       for i, p in enumerate(lines) if p]))
    runs = [run(*filter(None, [option, "--jobs", jobs, "p.txt", "b.json"]), cwd=tmp_path)
            for jobs in ("1", "2", "5")]
    assert runs[0].returncode == 1
    assert all((r.stdout, r.stderr, r.returncode) == (runs[0].stdout, runs[0].stderr, 1) for r in runs)


BAD_OPTIONS = [
    (["--csv"], "--csv goes with --observables"),
    (["--json", "--canonical"], "not allowed with argument"),
    (["--jobs", "0"], "expected a whole number from 1 to 1024"),
    (["--quiet", "--inspect"], "--quiet cannot be combined"),
]


@pytest.mark.parametrize("arguments, message", BAD_OPTIONS)
def test_bad_option_combinations(arguments, message):
    result = run(*arguments, stdin=VALID)
    assert result.returncode == 2 and message in result.stderr.decode()


# ----------------------------------------------------------------------------- --tree and --quiet

TREE_TEXT = """\
<stdin>:1:
  CompositePattern op='FOLLOWEDBY'
    left: Comparison op='=' negated=False
      object_path: ObjectPath object_type='file'
        property_path[0]: PathComponent property='name' index=None
      constant: 'x'
    right: QualifiedPattern repeat=2 within=None start=None stop=None
      pattern: CompositeComparison op='OR'
        left: Comparison op='EXISTS' negated=False
          object_path: ObjectPath object_type='a'
            property_path[0]: PathComponent property='b' index='*'
            property_path[1]: PathComponent property='c' index=0
          constant: None
        right: Comparison op='LIKE' negated=True
          object_path: ObjectPath object_type='a'
            property_path[0]: PathComponent property='d' index=None
          constant: 'x%'

"""


def test_tree_output_shape():
    pattern = ("[file:name = 'x'] FOLLOWEDBY [EXISTS a:b[*].c[0] OR a:d NOT LIKE 'x%'] "
               "REPEATS 2 TIMES")
    result = run("--tree", stdin=f"{pattern}\n{INVALID}\n")
    assert result.stdout.decode() == (TREE_TEXT + f"<stdin>:2: {report_of(INVALID)}\n\n"
                                      + summary(1, 1) + "\n")


def test_tree_prints_constants_via_repr():
    result = run("--tree", stdin="[a:b IN (1, 'x', t'2020-01-01T00:00:00Z')]")
    assert "constant: [1, 'x', datetime.datetime(2020, 1, 1, 0, 0)]\n" in result.stdout.decode()


@pytest.mark.parametrize("stdin, status", [(VALID, 0), (INVALID, 1)])
def test_quiet_prints_nothing(stdin, status):
    result = run("--quiet", stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (status, b"", b"")


def test_a_nan_pattern_field_is_reported_not_fatal(tmp_path):
    # Python's JSON reader accepts NaN, which JSON output cannot hold.
    write(tmp_path, "b.json", '[{"type": "indicator", "id": "indicator--n", "pattern": NaN}]')
    result = run("--json", "b.json", cwd=tmp_path)
    (record,) = json_lines(result.stdout)
    assert (record["pattern"], record["ok"]) == ("nan", False)
    assert "not a string but float" in record["error"]
    assert result.returncode == 1 and b"Traceback" not in result.stderr
