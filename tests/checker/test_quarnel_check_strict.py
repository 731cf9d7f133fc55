"""quarnel-check --strict and --ignore, run as users run them, in a subprocess."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULE_DIR = os.environ.get("QUARNEL_MODULE_DIR")
ENV = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
ENV["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR and os.path.abspath(MODULE_DIR),
                                                str(ROOT / "checker"), os.environ.get("PYTHONPATH")) if p)

CLEAN = "[file:name = 'a.exe']"
SHORT_MD5 = "[file:hashes.MD5 = 'abc']"
MIXED = "[x-a:b = 1] OR [x-c:d = 2] AND [x-e:f = 3]"
BROKEN = "[file:name = ]"


def run(*args, stdin=""):
    return subprocess.run([sys.executable, "-m", "quarnel_check", *map(str, args)],
                          input=stdin.encode(), capture_output=True, env=ENV, cwd=ROOT, timeout=120)


def lines(*patterns):
    return "".join(pattern + "\n" for pattern in patterns)


STATUS = [
    # arguments, patterns, exit status, counts in the summary
    ([], [CLEAN, SHORT_MD5, MIXED], 0, "3 accepted, 0 rejected"),
    (["--strict"], [CLEAN], 0, "1 accepted, 0 rejected"),
    (["--strict"], [CLEAN, SHORT_MD5, MIXED], 1, "1 accepted, 2 rejected"),
    (["--strict", "--ignore", "hash-value"], [CLEAN, SHORT_MD5], 0, "2 accepted, 0 rejected"),
    (["--strict", "--ignore", "hash-value,precedence"], [SHORT_MD5, MIXED], 0, "2 accepted"),
    (["--strict", "--ignore", "hash-value", "--ignore", "precedence"], [SHORT_MD5, MIXED], 0,
     "2 accepted"),
    (["--strict", "--ignore", "precedence"], [SHORT_MD5, MIXED], 1, "1 accepted, 1 rejected"),
    (["--strict", "--ignore", "hash-value"], [SHORT_MD5, BROKEN], 1, "1 accepted, 1 rejected"),
]


@pytest.mark.parametrize("arguments, patterns, status, counts", STATUS)
def test_findings_count_as_rejections_unless_switched_off(arguments, patterns, status, counts):
    result = run(*arguments, stdin=lines(*patterns))
    assert result.returncode == status, result.stderr
    assert counts in result.stdout.decode()


def test_text_report_lists_each_finding_with_its_code():
    result = run("--strict", stdin=lines(CLEAN, SHORT_MD5, MIXED))
    out = result.stdout.decode()
    assert "<stdin>:2: strict checks failed:\n  hash-value: file:hashes.MD5 = 'abc': MD5 hashes" in out
    assert "<stdin>:3: strict checks failed:\n  precedence: mixed OR and AND" in out
    assert "<stdin>:1" not in out


def test_tree_report_shows_trees_of_clean_patterns_and_findings_of_the_others():
    out = run("--strict", "--tree", stdin=lines(CLEAN, SHORT_MD5)).stdout.decode()
    assert "<stdin>:1:\n  Comparison" in out
    assert "<stdin>:2: strict checks failed:\n  hash-value: " in out


def test_quiet_strict_tells_only_by_the_exit_status():
    result = run("--strict", "--quiet", stdin=lines(SHORT_MD5))
    assert (result.returncode, result.stdout) == (1, b"")


USAGE = [
    (["--ignore", "hash-value"], "--ignore needs --strict"),
    (["--strict", "--ignore", "hash-valeu"], "unknown code 'hash-valeu'"),
]


@pytest.mark.parametrize("arguments, message", USAGE)
def test_bad_ignore_lists_are_usage_errors(arguments, message):
    result = run(*arguments, stdin=lines(CLEAN))
    assert result.returncode == 2
    assert message in result.stderr.decode()


RECORDS = [
    # arguments, field of an accepted record
    (["--json"], "tree"),
    (["--canonical"], "canonical"),
    (["--inspect"], "inspection"),
]


@pytest.mark.parametrize("arguments, field", RECORDS)
def test_json_records_carry_the_findings(arguments, field):
    result = run("--strict", "--ignore", "object-type", *arguments,
                 stdin=lines(CLEAN, SHORT_MD5, MIXED, BROKEN))
    records = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert result.returncode == 1
    assert [record["ok"] for record in records] == [True, False, False, False]
    assert field in records[0] and records[0]["findings"] == []
    assert [finding["code"] for finding in records[1]["findings"]] == ["hash-value"]
    assert records[1]["findings"][0]["start"] == SHORT_MD5.index("file")
    assert [finding["code"] for finding in records[2]["findings"]] == ["precedence"]
    assert "findings" not in records[3] and records[3]["error"].startswith("Grammar error")
    assert "1 accepted, 3 rejected" in result.stderr.decode()


def test_observables_of_a_pattern_with_findings_give_way_to_its_findings():
    out = run("--strict", "--observables", stdin=lines(CLEAN, SHORT_MD5)).stdout.decode()
    records = [json.loads(line) for line in out.splitlines()]
    assert [record.get("ok", True) for record in records] == [True, False]
    assert records[1]["findings"][0]["code"] == "hash-value"
    csv = run("--strict", "--observables", "--csv", stdin=lines(CLEAN, SHORT_MD5))
    assert csv.stdout.decode().count("\n") == 2  # the header and the clean pattern's row
    assert csv.stderr.decode().startswith("<stdin>:2: strict checks failed:\n  hash-value: ")


@pytest.mark.parametrize("arguments", [[], ["--json"], ["--observables", "--csv"]])
def test_every_job_count_gives_the_same_strict_output(arguments):
    stdin = lines(CLEAN, SHORT_MD5, MIXED, BROKEN) * 5_000
    runs = [run("--strict", "--jobs", jobs, *arguments, stdin=stdin) for jobs in ("1", "2", "3")]
    assert runs[0].returncode == 1
    assert all((r.stdout, r.stderr, r.returncode) == (runs[0].stdout, runs[0].stderr, 1)
               for r in runs)
