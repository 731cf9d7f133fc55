# The matcher's Python surface: match(), the reusable objects, the index, the errors and
# what Python values the data may hold.
import json
import threading

import pytest

import quarnel_tools as qt


def record(objects, second=0, count=1, ident=None, last=None):
    out = {"type": "observed-data",
           "first_observed": f"2020-01-01T00:00:{second:02d}Z",
           "last_observed": f"2020-01-01T00:00:{(second if last is None else last):02d}Z",
           "number_observed": count, "objects": objects}
    if ident:
        out["id"] = ident
    return out


def person(name, age, second, count=1):
    return record({"0": {"type": "person", "name": name, "age": age}}, second, count, f"observed-data--{name}")


DATA_S = [person("alice", 10, 0), person("bob", 17, 5), person("carol", 22, 10)]

MATCHES = [
    ("[person:name = 'alice'] AND [person:age > 20]", ["alice", "carol"]),
    ("[person:age > 20] AND [person:name = 'alice']", ["alice", "carol"]),
    ("[person:name = 'zelda'] OR [person:name = 'carol']", ["carol"]),
    ("[person:name = 'bob'] FOLLOWEDBY [person:age < 15]", []),
    ("[person:name = 'bob'] FOLLOWEDBY [person:name < 'elizabeth'] AND [person:age < 15]",
     ["alice", "bob", "carol"]),
    ("([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 5 SECONDS", ["alice", "bob"]),
    ("([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 4.9999 SECONDS", []),
    ("[person:name = 'bob'] START t'2020-01-01T00:00:05Z' STOP t'2020-01-01T00:00:06Z'", ["bob"]),
]


def names(objects):
    return [o["objects"]["0"]["name"] for o in objects]


@pytest.mark.parametrize("pattern, expected", MATCHES)
def test_match_returns_the_bound_records_in_input_order(pattern, expected):
    assert names(qt.match(pattern, DATA_S)) == expected
    assert names(qt.match(pattern, json.dumps(DATA_S))) == expected
    assert names(qt.match(pattern, json.dumps(DATA_S).encode())) == expected


def test_a_list_gives_back_the_objects_passed_in():
    bundle = {"type": "bundle", "objects": [
        {"type": "observed-data", "id": "observed-data--1", "first_observed": "2020-01-01T00:00:00Z",
         "last_observed": "2020-01-01T00:00:00Z", "number_observed": 1, "object_refs": ["file--1"]},
        {"type": "file", "id": "file--1", "name": "a.exe"}]}
    found = qt.match("[file:name = 'a.exe']", [bundle])
    assert len(found) == 1 and found[0] is bundle["objects"][0]
    text_found = qt.match("[file:name = 'a.exe']", json.dumps(bundle))
    assert text_found == [bundle["objects"][0]] and text_found[0] is not bundle["objects"][0]


def test_binary_values_come_back_as_their_text():
    data = [record({"0": {"type": "x", "payload_bin": "YWJj", "n": 1.5, "z": None, "l": [True]}})]
    assert qt.match("[x:payload_bin = 'abc']", json.dumps(data)) == data


ERRORS = [
    # (pattern, data, exception, kind, message start)
    ("[x:y = h'abc']", "not json", qt.PatternError, "InvalidHex", "Invalid hex constant: abc"),
    ("[x:y IN 'a']", DATA_S, qt.PatternError, "ListRequired", "IN needs a parenthesised list of constants"),
    ("[x:y = 1] REPEATS 0 TIMES", DATA_S, qt.PatternError, "RepeatCount", "REPEATS count must be at least 1"),
    ("[x:y = 1]", "[1,", qt.DataError, "InvalidJson", "input 0: invalid JSON at byte 3"),
    ("[x:y = 1]", [42], qt.DataError, "NotAnObject", "input 0: expected a JSON object"),
    ("[x:y = 1]", ["[]"], qt.DataError, "NotAnObject", "input 0: expected a JSON object"),
    ("[x:y = 1]", [{"type": "x"}], qt.DataError, "MissingProperty",
     'input 0: missing required property "id"'),
    ("[x:y = 1]", [{"a": float("nan")}], qt.DataError, "WrongType", 'input 0: /a: property "a" must be a finite number'),
    ("[x:y = 1]", [{"a": [float("inf")]}], qt.DataError, "WrongType", 'input 0: /a/0: property "0" must be a finite number'),
    ("[x:y = 1]", [{"a": 2 ** 64}], qt.DataError, "WrongType", "input 0: /a: property \"a\" must be an integer of at most 64 bits"),
    ("[x:y = 1]", [{"a": -2 ** 63 - 1}], qt.DataError, "WrongType", "input 0: /a: property \"a\" must be an integer of at most 64 bits"),
    ("[x:y = 1]", [{5: 1}], qt.DataError, "WrongType", 'input 0: /5: property "5" must be named by a str'),
    ("[x:y = 1]", [{"a": b"x"}], qt.DataError, "WrongType", 'input 0: /a: property "a" must be a JSON value, not bytes'),
    ("[x:y = 1]", [{"a": object()}], qt.DataError, "WrongType", 'input 0: /a: property "a" must be a JSON value, not object'),
    ("[x:y = 1]", [{"a": "\ud800"}], qt.DataError, "InvalidJson", "input 0: /a: invalid JSON"),
    ("[x:y = 1]", '["\ud800"]', qt.DataError, "InvalidJson", "input 0: invalid JSON"),
    ("[x:t = t'2020-01-01T00:00:00Z']", [record({"0": {"type": "x", "t": "bad"}})], qt.MatchError,
     "ValueNotTimestamp", "input 0: /objects/0/t: value compared with a timestamp is not a valid timestamp: bad"),
]


def observed(**members):
    """A record in the embedded form, with members replaced (None drops one)."""
    out = record({})
    out.update(members)
    return {name: value for name, value in out.items() if value is not None}


ERRORS += [
    # Every compile error, with its message.
    ("[x:y = ('a', 'b')]", [], qt.PatternError, "ListNotAllowed", "= cannot take a list of constants"),
    ("[x:y LIKE 5]", [], qt.PatternError, "OperandKind", "LIKE cannot take a integer constant"),
    ("[x:y IN ('a', 1)]", [], qt.PatternError, "MixedList", "IN list mixes string and integer constants"),
    ("[x:y = b'YQ=']", [], qt.PatternError, "InvalidBase64", "Invalid base64 constant: YQ="),
    ("[x:y MATCHES '(']", [], qt.PatternError, "InvalidRegex", "Invalid regular expression at offset 1: "),
    ("[x:y ISSUBSET '1.2.3']", [], qt.PatternError, "InvalidAddress", "Invalid IP address or CIDR block: 1.2.3"),
    ("[x:y = 1] WITHIN 0 SECONDS", [], qt.PatternError, "WithinRange",
     "WITHIN duration must be greater than 0 seconds: 0"),
    # Record rules over Python values: a bool is no integer, whatever Python says.
    ("[x:y = 1]", [observed(number_observed=True)], qt.DataError, "WrongType",
     'input 0: /number_observed: property "number_observed" must be an integer'),
    ("[x:y = 1]", [observed(number_observed=1.0)], qt.DataError, "WrongType",
     'input 0: /number_observed: property "number_observed" must be an integer'),
    ("[x:y = 1]", [observed(number_observed=0)], qt.DataError, "NumberObservedRange",
     "input 0: /number_observed: number_observed must be between 1 and 999999999: 0"),
    ("[x:y = 1]", [observed(first_observed=None)], qt.DataError, "MissingProperty",
     'input 0: missing required property "first_observed"'),
    ("[x:y = 1]", [observed(first_observed="2020-01-01T00:00:00z")], qt.DataError, "InvalidTimestamp",
     "input 0: /first_observed: invalid timestamp: 2020-01-01T00:00:00z"),
    ("[x:y = 1]", [observed(id="observed-data--1", first_observed="2020-01-01T00:00:05Z")], qt.DataError,
     "IntervalInverted", "observed-data #0 (observed-data--1): last_observed is earlier than first_observed"),
    ("[x:y = 1]", [observed(objects=None)], qt.DataError, "NoContents",
     "observed-data #0: neither objects nor object_refs is present"),
    ("[x:y = 1]", [observed(object_refs=["x--1"], objects={"0": {"type": "x"}})], qt.DataError, "BothForms",
     "observed-data #0: objects and object_refs are both present"),
    ("[x:y = 1]", [{"type": "x", "id": "x--1", "a": 1}, {"type": "x", "id": "x--1", "a": 2}], qt.DataError,
     "DuplicateId", 'input 1: object "x--1" is defined twice with different contents'),
    ("[x:y = 1]", [observed(objects={"0": {"type": "x", "p_hex": ["ab", 5]}})], qt.DataError, "InvalidBinary",
     'input 0: /objects/0/p_hex/1: property "p_hex" is not valid hex'),
    ("[x:y = 1]", [observed(objects={"0": {"type": "x", "parent_ref": 5}})], qt.DataError, "InvalidReference",
     'input 0: /objects/0/parent_ref: reference property "parent_ref" must hold a string'),
]


@pytest.mark.parametrize("pattern, data, error, kind, message", ERRORS)
def test_errors_carry_kind_and_message(pattern, data, error, kind, message):
    with pytest.raises(error) as caught:
        qt.match(pattern, data)
    assert isinstance(caught.value, ValueError)
    assert caught.value.kind == kind
    assert caught.value.message.startswith(message), caught.value.message
    assert str(caught.value) == caught.value.message


def test_an_unparseable_pattern_raises_quarnels_value_error():
    import quarnel
    with pytest.raises(ValueError) as from_parse:
        quarnel.parse("[x:y = ")
    with pytest.raises(ValueError) as from_match:
        qt.match("[x:y = ", "not even json")
    assert type(from_match.value) is ValueError
    assert str(from_match.value) == str(from_parse.value)


def test_lenient_mode_drops_bad_values_with_warnings():
    data = [record({"0": {"type": "x", "t": "bad"}}), record({"0": {"type": "x", "n": 1}})]
    pattern = "[x:n = 1] OR [x:t = t'2020-01-01T00:00:00Z']"
    with pytest.raises(qt.MatchError):
        qt.match(pattern, data)
    assert qt.match(pattern, data, lenient=True) == [data[1]]
    result = qt.compile_pattern(pattern).match(data, lenient=True)
    assert result.warnings == [("ValueNotTimestamp", "input 0: /objects/0/t: value compared with a timestamp "
                                                     "is not a valid timestamp: bad")]


def test_search_budget_is_a_match_error():
    many = [record({"0": {"type": "a", "x": 1}}, second=i % 60) for i in range(30)]
    pattern = " AND ".join(["[a:x = 1]"] * 29) + " AND [a:x = 2]"
    assert qt.match(pattern, many) == []  # decided before any search


def test_reusable_objects():
    pattern = qt.compile_pattern("[person:name = 'alice'] AND [person:age > 20]")
    observations = qt.load_observations(DATA_S)
    assert len(observations) == 3 and observations.unresolved_refs == 0
    result = pattern.match(observations)
    assert result and result.matched
    assert result.observed_data_indices == [0, 2]
    assert result.observed_data_ids == ["observed-data--alice", "observed-data--carol"]
    assert result.binding == [(0, 0, 1), (1, 2, 1)]
    assert result.observed_data[0] is DATA_S[0]
    assert result.warnings == [] and result.steps >= 2
    assert pattern.pattern == "[person:name = 'alice'] AND [person:age > 20]"
    assert pattern.observations == 2
    assert qt.match(pattern, observations) == [DATA_S[0], DATA_S[2]]
    missed = qt.compile_pattern("[person:name = 'zelda']").match(observations)
    assert not missed and missed.binding == [] and missed.observed_data == []
    assert repr(result) == "MatchResult(matched=True, observed_data_indices=[0, 2])"


def test_compile_warnings():
    pattern = qt.compile_pattern("[a:x = 1 AND b:y = 2]")
    assert len(pattern.warnings) == 1


def test_the_index_gives_each_pattern_its_own_result():
    texts = ["[person:name = 'alice']", "[person:name = 'zelda']", "[person:age > 15] REPEATS 2 TIMES",
             "[person:name = 'bob'] FOLLOWEDBY [person:name = 'alice']", "[person:name LIKE 'c%']"]
    index = qt.PatternIndex(texts[:4] + [qt.compile_pattern(texts[4])])
    assert len(index) == 5
    hits, failures = index.match(DATA_S)
    assert failures == []
    assert [number for number, _ in hits] == [0, 2, 4]
    for number, result in hits:
        alone = qt.compile_pattern(texts[number]).match(DATA_S, lenient=True)
        assert result.binding == alone.binding
        assert result.observed_data == alone.observed_data


BAD_CALLS = [
    (lambda: qt.match(), TypeError, "missing required argument 'pattern'"),
    (lambda: qt.match("[a:b = 1]"), TypeError, "missing required argument 'observations'"),
    (lambda: qt.match("[a:b = 1]", [], True), TypeError, "takes 2 positional arguments but 3 were given"),
    (lambda: qt.match(5, []), TypeError, "argument 'pattern' must be str, not int"),
    (lambda: qt.match("[a:b = 1]", 5), TypeError, "'observations' must be str, bytes or list, not int"),
    (lambda: qt.match("[a:b = 1]", {"type": "bundle"}), TypeError, "must be str, bytes or list, not dict"),
    (lambda: qt.PatternIndex(5), TypeError, "not iterable"),
    (lambda: qt.PatternIndex(["[a:b = "]), ValueError, "Grammar error"),
    (lambda: qt.CompiledPattern(), TypeError, "cannot create"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_calls_raise_clear_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_deep_and_self_referencing_values_end_with_too_deep():
    nested = []
    nested.append(nested)
    with pytest.raises(qt.DataError) as caught:
        qt.match("[a:b = 1]", [nested])
    assert caught.value.kind == "TooDeep"
    deep = {"type": "x"}
    for _ in range(300):
        deep = {"a": deep}
    with pytest.raises(qt.DataError, match="nesting exceeds 256 levels"):
        qt.match("[a:b = 1]", [deep])


def test_threads_share_compiled_patterns_and_observations():
    pattern = qt.compile_pattern("[person:age > 5] REPEATS 3 TIMES")
    observations = qt.load_observations([person(f"p{i}", i, i % 60) for i in range(300)])
    results = []

    def work():
        for _ in range(20):
            results.append(pattern.match(observations).observed_data_indices)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [[6, 7, 8]] * 80


def test_load_json_numbers_texts_as_inputs():
    first = json.dumps(DATA_S[:2])
    second = json.dumps(DATA_S[2]).encode()
    observations = qt.load_json([first, second])
    assert len(observations) == 3
    assert qt.compile_pattern("[person:name = 'carol']").match(observations).observed_data_indices == [2]
    with pytest.raises(qt.DataError, match="input 1: invalid JSON at byte 1"):
        qt.load_json([first, "{"])
    with pytest.raises(TypeError, match="expects JSON texts"):
        qt.load_json([first, 5])
