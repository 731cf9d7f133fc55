"""The matching command, run as users run it: `python -m quarnel_match` in a subprocess,
with the built modules found through QUARNEL_MODULE_DIR."""

import json
import os
import pty
import select
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
MODULE_DIR = os.environ.get("QUARNEL_MODULE_DIR")
ENV = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
ENV["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR and os.path.abspath(MODULE_DIR), str(ROOT / "checker"),
                                                os.environ.get("PYTHONPATH")) if p)


def run(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "quarnel_match", *map(str, args)], input=stdin,
                          capture_output=True, env=ENV, cwd=ROOT, timeout=120)


def observed(ident, second, objects, count=1):
    return {"type": "observed-data", "id": ident, "first_observed": f"2020-01-01T00:00:{second:02d}Z",
            "last_observed": f"2020-01-01T00:00:{second:02d}Z", "number_observed": count, "objects": objects}


DATA = [observed("observed-data--1", 0, {"0": {"type": "file", "name": "a.exe"}}),
        observed("observed-data--2", 5, {"0": {"type": "file", "name": "b.exe"}})]


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_text(content if isinstance(content, str) else json.dumps(content), encoding="utf-8")
    return path


CASES = [
    # (pattern lines, expected stdout lines without the summary, exit status)
    (["[file:name = 'a.exe']"], ["P:1: MATCH observed-data--1"], 0),
    (["[file:name = 'a.exe'] FOLLOWEDBY [file:name = 'b.exe']"], ["P:1: MATCH observed-data--1, observed-data--2"], 0),
    (["[file:name = 'c.exe']"], ["P:1: NO MATCH"], 1),
    (["# a comment", "", "[file:name = 'b.exe']", "[file:name = 'c.exe']"],
     ["P:3: MATCH observed-data--2", "P:4: NO MATCH"], 1),
    (["[file:name = h'abc']"], ["P:1: ERROR InvalidHex: Invalid hex constant: abc"], 1),
    (["[file:name = t'2020-01-01T00:00:00Z']"],
     ["P:1: ERROR ValueNotTimestamp: input 0: /0/objects/0/name: value compared with a timestamp is not a "
      "valid timestamp: a.exe"], 1),
]


@pytest.mark.parametrize("lines, expected, status", CASES)
def test_verdicts_one_line_per_pattern(tmp_path, lines, expected, status):
    patterns = write(tmp_path, "patterns.txt", "\n".join(lines) + "\n")
    data = write(tmp_path, "data.json", DATA)
    done = run(patterns, data)
    out = done.stdout.decode().replace(str(patterns), "P").splitlines()
    assert out[:-1] == expected
    assert out[-1].startswith("matched ")
    assert done.returncode == status, done.stderr


def test_json_records_and_the_index_agree(tmp_path):
    lines = ["[file:name = 'a.exe']", "[file:name = 'c.exe']", "[file:name = ", "[file:name LIKE '%.exe'] REPEATS 2 TIMES"]
    patterns = write(tmp_path, "patterns.txt", "\n".join(lines) + "\n")
    data = write(tmp_path, "data.json", DATA)
    plain = run("--json", patterns, data)
    indexed = run("--json", "--index", patterns, data)
    assert plain.returncode == indexed.returncode == 1
    records = [json.loads(line) for line in plain.stdout.decode().splitlines()]
    assert [r["matched"] for r in records] == [True, False, False, True]
    assert records[0]["observed_data"] == ["observed-data--1"]
    assert records[2]["error"].startswith("Grammar error")
    assert records == [json.loads(line) for line in indexed.stdout.decode().splitlines()]
    assert plain.stderr.decode().startswith("matched 2 of 4 patterns")


def test_several_data_files_form_one_set(tmp_path):
    patterns = write(tmp_path, "patterns.txt", "[file:name = 'a.exe'] AND [file:name = 'b.exe']\n")
    first = write(tmp_path, "first.json", DATA[0])
    second = write(tmp_path, "second.json", [DATA[1]])
    done = run(patterns, first, second)
    assert done.returncode == 0
    assert "MATCH observed-data--1, observed-data--2" in done.stdout.decode()


BAD_INPUT = [
    (["--json", "--quiet", "P", "D"], "not allowed with argument"),
    (["P"], "the following arguments are required: DATA"),
    (["P", "missing.json"], "missing.json: cannot open"),
    (["P", "broken.json"], "broken.json: invalid JSON at byte 1 (InvalidJson)"),
    (["P", "nodata.json"], "nodata.json: missing required property \"first_observed\" (MissingProperty)"),
]


@pytest.mark.parametrize("args, message", BAD_INPUT)
def test_bad_usage_and_unloadable_data_exit_2(tmp_path, args, message):
    write(tmp_path, "P", "[file:name = 'a.exe']\n")
    write(tmp_path, "broken.json", "{")
    write(tmp_path, "nodata.json", {"type": "observed-data", "last_observed": "2020-01-01T00:00:00Z"})
    done = subprocess.run([sys.executable, "-m", "quarnel_match", *args], capture_output=True, env=ENV,
                          cwd=tmp_path, timeout=120)
    assert done.returncode == 2
    assert message in done.stderr.decode()


def test_the_examples_match():
    done = run(EXAMPLES / "bundle.json", EXAMPLES / "observations.json")
    out = done.stdout.decode()
    assert out.count(": MATCH ") == 3
    assert out.rstrip().endswith("matched 3 of 5 patterns: 1 no match, 1 failed, 1 skipped")
    assert done.returncode == 1


def test_progress_shows_on_a_terminal(tmp_path):
    patterns = write(tmp_path, "patterns.txt", "[file:name = 'a.exe']\n" * 2500)
    data = write(tmp_path, "data.json", DATA)
    leader, follower = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-m", "quarnel_match", patterns, data], stderr=follower,
                              stdout=subprocess.DEVNULL, env=ENV, timeout=120)
        shown = b""
        while select.select([leader], [], [], 0.5)[0]:
            shown += os.read(leader, 65536)
    finally:
        os.close(follower)
        os.close(leader)
    assert done.returncode == 0
    assert "matched 2,000 patterns ..." in shown.decode()
    piped = subprocess.run([sys.executable, "-m", "quarnel_match", patterns, data], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, env=ENV, timeout=120)
    assert piped.stderr == b""  # not a terminal
