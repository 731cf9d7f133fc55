# strict_findings() and strict_check_codes(): codes per check, spans as str indexes, the
# ignore list, and bad calls. The C++ tables in tests/tools go through every check in depth.
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import quarnel_tools

ROOT = Path(__file__).resolve().parents[2]

CASES = [
    # one row per check: a pattern that passes and one that does not
    ("[file:hashes.MD5 = '" + "a" * 32 + "']", []),
    ("[file:hashes.MD5 = '" + "a" * 31 + "']", ["hash-value"]),
    ("[file:hashes.'SHA-256' = '" + "b" * 64 + "']", []),
    ("[file:hashes.SHA256 = '" + "b" * 64 + "']", ["hash-algorithm"]),
    ("[artifact:payload_bin = b'QUJD']", []),
    ("[artifact:payload_bin = b'QUJ']", ["base64"]),
    ("[file:magic_number_hex = h'ffd8']", []),
    ("[file:magic_number_hex = h'ffd']", ["hex-digits"]),
    ("[file:name MATCHES '^a+$']", []),
    ("[file:name MATCHES '[a-']", ["regex"]),
    ("[ipv6-addr:value ISSUBSET '2001:db8::/32']", []),
    ("[ipv4-addr:value ISSUBSET '10.0.0.0/40']", ["subnet"]),
    ("[file:size LIKE '1%']", ["like-property"]),
    ("[file:size MATCHES '1']", ["matches-property"]),
    ("[file:size = 'big']", ["constant-kind"]),
    ("[x-a:b = 1] START t'2020-01-02T00:00:00Z' STOP t'2020-01-01T00:00:00Z'", ["start-stop"]),
    ("[x-a:b = 1] REPEATS 0 TIMES", ["repeats"]),
    ("[x-a:b = 1] WITHIN 0 SECONDS", ["within"]),
    ("[file:mtime = t'0000-01-01T00:00:00Z']", ["timestamp-range"]),
    ("[x-a:b = 1] OR [x-c:d = 2] AND [x-e:f = 3]", ["precedence"]),
    ("([x-a:b = 1] OR [x-c:d = 2]) AND [x-e:f = 3]", []),
    ("[flie:name = 'a']", ["object-type"]),
    ("[file:nmae = 'a']", ["property-name"]),
    ("[file:extensions.'ntfs-ex'.sid = 'a']", ["extension-name"]),
    ("[file:name[0] = 'a']", ["property-kind"]),
    ("[x-acme:anything.at[1].all = 1]", []),
]


@pytest.mark.parametrize("pattern, codes", CASES)
def test_codes_per_check(pattern, codes):
    assert [finding.code for finding in quarnel_tools.strict_findings(pattern)] == codes


def test_every_code_is_listed_with_a_summary():
    codes = quarnel_tools.strict_check_codes()
    found = {code for _, expected in CASES for code in expected}
    assert found == set(codes)
    assert all(isinstance(summary, str) and summary for summary in codes.values())
    codes.clear()  # a new dict each time: clearing it changes nothing
    assert quarnel_tools.strict_check_codes()


def test_spans_are_str_indexes_even_after_non_ascii_text():
    pattern = "[file:name = 'résumé€' AND file:size = 'x']"
    [finding] = quarnel_tools.strict_findings(pattern)
    assert pattern[finding.start:finding.end] == "file:size = 'x'"
    assert finding == (finding.code, finding.message, finding.start, finding.end)
    assert isinstance(finding, quarnel_tools.Finding)


def test_the_precedence_message_gives_both_readings_and_the_canonical_text():
    pattern = "[x-a:b = 1] OR [x-c:d = 2] AND [x-e:f = 3]"
    [finding] = quarnel_tools.strict_findings(pattern)
    assert pattern[finding.start:finding.end] == "AND"
    assert "([x-a:b = 1] OR [x-c:d = 2]) AND [x-e:f = 3]" in finding.message
    assert "[x-a:b = 1] OR ([x-c:d = 2] AND [x-e:f = 3])" in finding.message
    assert "canonical text: ([x-a:b = 1] OR [x-c:d = 2]) AND [x-e:f = 3]" in finding.message


IGNORE = [
    ((), ["hash-algorithm", "hash-value", "constant-kind"]),
    (["hash-value"], ["hash-algorithm", "constant-kind"]),
    (("hash-value", "hash-algorithm"), ["constant-kind"]),
    ({"constant-kind", "hash-value", "hash-algorithm"}, []),
    (iter(["constant-kind"]), ["hash-algorithm", "hash-value"]),
]


@pytest.mark.parametrize("ignore, codes", IGNORE)
def test_ignore_leaves_codes_out(ignore, codes):
    pattern = "[file:hashes.md5 = 'abc' AND file:size = 'x']"
    found = quarnel_tools.strict_findings(pattern, ignore=ignore)
    assert [finding.code for finding in found] == codes


BAD_CALLS = [
    (("[a:b",), {}, ValueError, "Grammar error"),
    (("[a:b = t'2020-13-01T00:00:00Z']",), {}, ValueError, "Invalid timestamp"),
    (("[a:b = 1]",), {"ignore": ["no-such-code"]}, ValueError, "unknown strict-check code 'no-such-code'"),
    (("[a:b = 1]",), {"ignore": "hash-value"}, TypeError, "not a single str"),
    (("[a:b = 1]",), {"ignore": [1]}, TypeError, "must be str, not int"),
    (("[a:b = 1]",), {"ignore": 5}, TypeError, "not iterable"),
    (("[a:b = 1]", ()), {}, TypeError, "takes 1 positional argument but 2 were given"),
    ((), {}, TypeError, "missing required argument 'pattern'"),
    ((b"[a:b = 1]",), {}, TypeError, "must be str, not bytes"),
    (("[a:b = '\ud800']",), {}, UnicodeEncodeError, "surrogates not allowed"),
]


@pytest.mark.parametrize("args, kwargs, error, message", BAD_CALLS)
def test_bad_calls_raise_clear_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        quarnel_tools.strict_findings(*args, **kwargs)


def test_long_mixed_chains_and_deep_nesting_finish():
    chain = "[x-a:b = 1]" + "".join(" OR [x-a:b = 1]" if i % 2 else " AND [x-a:b = 1]"
                                    for i in range(200_000))
    [finding] = quarnel_tools.strict_findings(chain)
    assert finding.code == "precedence" and "no canonical text" in finding.message
    nested = "(" * 250 + "[x-a:b = 1] OR [x-a:b = 1] AND [x-a:b = 1]" + ")" * 250
    assert [f.code for f in quarnel_tools.strict_findings(nested)] == ["precedence"]


def test_threads_calling_at_once_get_the_same_findings():
    patterns = [pattern for pattern, _ in CASES] * 20
    expected = [quarnel_tools.strict_findings(p) for p in patterns]
    results = [None] * 4

    def work(slot):
        results[slot] = [quarnel_tools.strict_findings(p) for p in patterns]

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert results == [expected] * 4


def test_the_generated_observable_tables_match_the_data_file():
    check = subprocess.run([sys.executable, str(ROOT / "scripts" / "gen-observables.py"), "--check"],
                           capture_output=True, text=True, timeout=60)
    assert check.returncode == 0, check.stderr


def test_a_finding_on_every_one_of_many_comparisons_keeps_its_span():
    pattern = "[" + " AND ".join(["flie:name = 'é'"] * 50_000) + "]"
    findings = quarnel_tools.strict_findings(pattern)
    assert len(findings) == 50_000
    last = findings[-1]
    assert (last.code, pattern[last.start:last.end]) == ("object-type", "flie:name = 'é'")
    assert last.end == len(pattern) - 1
