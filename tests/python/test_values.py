# Constants, lists, path indexes and timestamps as Python values.
import datetime

import pytest

import quarnel

D = datetime.datetime


@pytest.mark.parametrize("constant, expected", [
    ("'x'", "x"),
    ("''", ""),
    ("'a\\'b'", "a'b"),
    ("'back\\\\slash'", "back\\slash"),
    ("'grüße ✓ 😀'", "grüße ✓ 😀"),
    ("-5", -5),
    ("007", 7),
    ("9223372036854775807", 9223372036854775807),
    ("-9223372036854775808", -9223372036854775808),
    ("5.5", 5.5),
    ("-0.5", -0.5),
    ("true", True),
    ("false", False),
    ("h'fF'", "fF"),
    ("b'QUJD'", "QUJD"),
    ("t'2020-01-01T00:00:00Z'", D(2020, 1, 1)),
    ("t'2020-01-01T00:00:00-05:00'", D(2020, 1, 1, 5)),
    ("t'2020-03-01T01:30:00+02:00'", D(2020, 2, 29, 23, 30)),
    ("t'2020-01-01T12:34:56.1234567Z'", D(2020, 1, 1, 12, 34, 56, 123456)),
    ("t'2020-01-01T23:59:59.999999999Z'", D(2020, 1, 1, 23, 59, 59, 999999)),
    ("t'0001-01-01T00:00:00Z'", D(1, 1, 1)),
    ("t'9999-12-31T23:59:59Z'", D(9999, 12, 31, 23, 59, 59)),
    # Without a zone, each field takes one digit or more and a signed year any number.
    ("t'2020-1-1T1:2:3'", D(2020, 1, 1, 1, 2, 3)),
    ("t'2020-1-01T00:00:00'", D(2020, 1, 1)),
    ("t'2020-01-01T0:00:00'", D(2020, 1, 1)),
    ("t'20-01-01T00:00:00'", D(20, 1, 1)),
    ("t'+2020-01-01T00:00:00'", D(2020, 1, 1)),
    ("t'2020-01-01T00:00:00.1234567891'", D(2020, 1, 1, 0, 0, 0, 123456)),
])
def test_constant(constant, expected):
    value = quarnel.parse(f"[a:b = {constant}]").constant
    assert type(value) is type(expected)
    assert value == expected


def test_timestamps_are_naive():
    assert quarnel.parse("[a:b = t'2020-01-01T00:00:00+01:00']").constant.tzinfo is None


def test_list_constant_keeps_order_and_types():
    node = quarnel.parse("[a:b IN (1, 'x', false, 2.5, h'ab', t'2020-01-01T00:00:00Z')]")
    value = node.constant
    assert value == [1, "x", False, 2.5, "ab", D(2020, 1, 1)]
    assert [type(v) for v in value] == [int, str, bool, float, str, D]
    value.append("mine")
    assert len(node.constant) == 6


@pytest.mark.parametrize("step, index", [
    ("b", None),
    ("b[*]", "*"),
    ("b[0]", 0),
    ("b[4294967295]", 4294967295),
])
def test_path_index(step, index):
    component = quarnel.parse(f"[a:{step} = 1]").object_path.property_path[0]
    assert component.property == "b"
    assert type(component.index) is type(index)
    assert component.index == index


def test_quoted_property_name_loses_its_quotes():
    path = quarnel.parse("[file:hashes.'SHA-256' = 'x']").object_path
    assert [c.property for c in path.property_path] == ["hashes", "SHA-256"]


def test_start_and_stop():
    node = quarnel.parse(
        "[a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00.5+01:00'")
    assert node.start == D(2020, 1, 1)
    assert node.stop == D(2020, 1, 1, 23, 0, 0, 500000)
    assert node.start.tzinfo is None and node.stop.tzinfo is None


def test_repeat_bounds():
    assert quarnel.parse("[a:b = 1] REPEATS 0 TIMES").repeat == 0
    assert quarnel.parse("[a:b = 1] REPEATS 4294967295 TIMES").repeat == 4294967295


YEAR_ZERO = "t'0000-01-01T00:00:00Z'"
LEAP_SECOND = "t'2016-12-31T23:59:60Z'"
GOOD = "t'2020-01-01T00:00:00Z'"


@pytest.mark.parametrize("pattern, attribute, message", [
    (f"[a:b = {YEAR_ZERO}]", "constant", "year 0 is out of range"),
    (f"[a:b = {LEAP_SECOND}]", "constant", "microsecond must be in 0..999999"),
    ("[a:b = t'9999-12-31T23:00:00-05:00']", "constant", "year 10000 is out of range"),
    ("[a:b = t'-0001-01-01T00:00:00']", "constant", "year -1 is out of range"),
    ("[a:b = t'0-01-01T00:00:00']", "constant", "year 0 is out of range"),
    ("[a:b = t'-2020-01-01T00:00:00']", "constant", "year -2020 is out of range"),
    ("[a:b = t'+20200-01-01T00:00:00']", "constant", "year 20200 is out of range"),
    ("[a:b = t'+262143-12-31T23:59:59']", "constant", "year 262143 is out of range"),
    (f"[a:b IN (1, {LEAP_SECOND})]", "constant", "microsecond must be in 0..999999"),
    (f"[a:b = 1] START {YEAR_ZERO} STOP {GOOD}", "start", "year 0 is out of range"),
    (f"[a:b = 1] START {GOOD} STOP {LEAP_SECOND}", "stop", "microsecond must be in 0..999999"),
])
def test_out_of_range_timestamp_raises_on_read_only(pattern, attribute, message):
    node = quarnel.parse(pattern)  # parsing itself succeeds
    for _ in range(2):
        with pytest.raises(ValueError) as caught:
            getattr(node, attribute)
        assert str(caught.value) == message
    # The object stays usable.
    assert repr(node).startswith(type(node).__name__ + "(")
    other = "stop" if attribute == "start" else "start"
    if attribute in ("start", "stop"):
        assert getattr(node, other) == D(2020, 1, 1)
        assert node.pattern.constant == 1
    else:
        assert node.object_path.object_type == "a"
