# Hostile input to parse(): arguments of the wrong type, str subclasses that lie, lone
# surrogates, NUL and control characters, non-ASCII columns, very long lines, nesting at the
# depth limit and 100 MB inputs. Each must end in a clear exception or a correct tree.
import collections
import ctypes
import enum
import gc
import os
import re
import sys
import time

import pytest

import quarnel
from conftest import structure

MB = 1 << 20
# Time limits stretch by this factor under slow tools such as valgrind.
TIME_SCALE = float(os.environ.get("QUARNEL_TIME_SCALE", "1"))
huge = pytest.mark.skipif(os.environ.get("QUARNEL_SKIP_HUGE") == "1",
                          reason="QUARNEL_SKIP_HUGE=1 skips the 100 MB inputs")


def rejection(pattern):
    """The message of the ValueError that parse(pattern) raises."""
    with pytest.raises(ValueError) as caught:
        quarnel.parse(pattern)
    assert type(caught.value) is ValueError
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    (message,) = caught.value.args
    return message


REPORT_HEAD = re.compile(r"[A-Za-z ]+: (?P<gutter> +)--> (?P<line>\d+):(?P<column>\d+)\n")


def report_position(message):
    """(line, column) named by a report, after checking that its ^--- stands there."""
    head = REPORT_HEAD.match(message)
    assert head, message[:200]
    line, column = int(head["line"]), int(head["column"])
    # split("\n") rather than splitlines(): source lines may hold \v, \f, \x1c and the like.
    lines = message.split("\n")
    gutter = len(head["line"])
    assert len(head["gutter"]) == gutter
    assert lines[2].startswith(f"{line} | ")
    marks = lines[3][gutter + 3:]
    assert lines[3][:gutter + 3] == " " * gutter + " | "
    assert marks.endswith("^---") and marks.index("^") == column - 1
    return line, column


# ---- Arguments that are not str

class Outer:
    class WithStr:
        def __str__(self):
            return "[a:b = 1]"


class LooksLikeStr:
    """isinstance() says str, the object is not one."""
    __class__ = property(lambda self: str)

    def __str__(self):
        return "[a:b = 1]"


class PathLike:
    def __fspath__(self):
        return "[a:b = 1]"


class BytesSubclass(bytes):
    pass


PERCENT_NAMED = type("100%s %n %U", (), {})
UNICODE_NAMED = type("Münze😀", (), {})


NON_STR = [
    (b"[a:b = 1]", "bytes"),
    (bytearray(b"[a:b = 1]"), "bytearray"),
    (memoryview(b"[a:b = 1]"), "memoryview"),
    (BytesSubclass(b"[a:b = 1]"), "BytesSubclass"),
    (0, "int"),
    (2 ** 100, "int"),
    (True, "bool"),
    (1.5, "float"),
    (float("nan"), "float"),
    (1j, "complex"),
    (None, "NoneType"),
    (..., "ellipsis"),
    (["[a:b = 1]"], "list"),
    (("[a:b = 1]",), "tuple"),
    ({"pattern": "[a:b = 1]"}, "dict"),
    ({"[a:b = 1]"}, "set"),
    (frozenset(), "frozenset"),
    (object(), "object"),
    (str, "type"),
    (len, "builtin_function_or_method"),
    (lambda: "[a:b = 1]", "function"),
    (iter("[a:b = 1]"), type(iter("")).__qualname__),
    (Outer.WithStr(), "Outer.WithStr"),
    (LooksLikeStr(), "LooksLikeStr"),
    (PathLike(), "PathLike"),
    (collections.UserString("[a:b = 1]"), "UserString"),
    (PERCENT_NAMED(), "100%s %n %U"),
    (UNICODE_NAMED(), "Münze😀"),
]


def references(argument):
    """The reference count of an argument, once cycles through caught exceptions are gone."""
    gc.collect()
    return sys.getrefcount(argument)


# Shared by the whole interpreter, so their counts move for reasons of their own.
SINGLETONS = (None, True, ..., 0)


@pytest.mark.parametrize("argument, qualname", NON_STR, ids=[name for _, name in NON_STR])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_non_str_argument_raises_type_error_naming_its_type(argument, qualname, by_keyword):
    before = references(argument)
    with pytest.raises(TypeError) as caught:
        quarnel.parse(pattern=argument) if by_keyword else quarnel.parse(argument)
    assert type(caught.value) is TypeError
    assert caught.value.args == (
        f"argument 'pattern': '{qualname}' object cannot be converted to 'str'",)
    assert caught.value.__context__ is None
    del caught
    if not any(argument is singleton for singleton in SINGLETONS):
        assert references(argument) == before


# ---- str subclasses

class Text(str):
    pass


class SlottedText(str):
    __slots__ = ("note",)


class Liar(str):
    """Every Python-level view of the text disagrees with the characters it holds."""

    def __str__(self):
        return "[liar:said = 2]"

    __repr__ = __str__

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__

    def __len__(self):
        return 0

    def __getitem__(self, index):
        return "?"

    def __iter__(self):
        return iter("[liar:said = 2]")

    def encode(self, *args, **kwargs):
        return b"[liar:said = 2]"


class Colour(enum.StrEnum):
    RED = "[colour:name = 'red']"


def subclassed(cls, text):
    instance = cls(text)
    if cls is SlottedText:
        instance.note = "ignored"
    return instance


@pytest.mark.parametrize("cls", [Text, SlottedText, Liar], ids=lambda c: c.__name__)
@pytest.mark.parametrize("pattern", [
    "[a:b = 1]",
    "[file:name = 'é😀\\'x'] AND [b:c IN (1, 2)] WITHIN 5 SECONDS",
])
def test_str_subclass_is_parsed_by_its_characters(cls, pattern):
    argument = subclassed(cls, pattern)
    before = references(argument)
    assert structure(quarnel.parse(argument)) == structure(quarnel.parse(pattern))
    assert structure(quarnel.parse(pattern=argument)) == structure(quarnel.parse(pattern))
    assert references(argument) == before


@pytest.mark.parametrize("cls", [Text, SlottedText, Liar], ids=lambda c: c.__name__)
def test_rejected_str_subclass_reports_its_characters(cls):
    pattern = "[a:b = ]"
    argument = subclassed(cls, pattern)
    before = references(argument)
    assert rejection(argument) == rejection(pattern)
    assert references(argument) == before


def test_str_enum_member_is_parsed_by_its_value():
    assert quarnel.parse(Colour.RED).constant == "red"


# ---- Lone surrogates

@pytest.mark.parametrize("pattern", [
    "\ud800",
    "\udfff[a:b = 1]",
    "[a:b = '\udc80']",
    "[a:b = 'ok'] AND [c:d = 'x\ud800y']",
    "[a:b = 1]\ud83d\ude00",  # a pair written as two escapes is still two lone halves
    "[a:b = ]\udc80",  # the encoder refuses the text before the grammar could
    "x" * MB + "\udbff",
    "\ud800" * 1000,
])
@pytest.mark.parametrize("cls", [str, Text, Liar], ids=lambda c: c.__name__)
def test_lone_surrogate_raises_the_encoders_own_error(pattern, cls):
    argument = cls(pattern)
    with pytest.raises(UnicodeEncodeError) as expected:
        str.encode(argument, "utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        quarnel.parse(argument)
    assert type(caught.value) is UnicodeEncodeError
    assert caught.value.args == expected.value.args
    assert caught.value.__context__ is None


# ---- NUL and other control characters

@pytest.mark.parametrize("constant, expected", [
    ("'\0'", "\0"),
    ("'a\0b'", "a\0b"),
    ("'\0\0\0'", "\0\0\0"),
    ("'\\\0'", "\\\0"),  # an unknown escape keeps its backslash
    ("'\\'\0'", "'\0"),
    ("'é\0😀'", "é\0😀"),
    ("('\0', 'x\0')", ["\0", "x\0"]),
])
def test_nul_inside_a_string_constant_is_kept(constant, expected):
    assert quarnel.parse(f"[a:b = {constant}]").constant == expected


@pytest.mark.parametrize("pattern, column", [
    ("\0", 1),
    ("\0[a:b = 1]", 1),
    ("[\0a:b = 1]", 2),
    ("[a\0:b = 1]", 2),  # a path is one token: the report points at its start
    ("[a:b\0 = 1]", 5),
    ("[a:b =\0 1]", 7),
    ("[a:b = 1\0]", 9),
    ("[a:b = 1]\0", 10),
    ("[a:b = 1] AND\0[c:d = 2]", 14),
    ("[a:b = 1] WITHIN 5\0 SECONDS", 18),
    ("[a:b = 'x'\0]", 11),
    ("[a:b = 'x']\0\0\0", 12),
])
def test_nul_outside_string_constants_is_rejected_with_a_report(pattern, column):
    message = rejection(pattern)
    assert message.startswith("Grammar error: ")
    assert report_position(message) == (1, column)
    assert f"1 | {pattern}\n" in message


WHITESPACE_CONTROLS = {"\t", "\n", "\r"}
CONTROLS = [chr(code) for code in range(0x20)] + ["\x7f"]
CONTROLS_REJECTED = [c for c in CONTROLS if c not in WHITESPACE_CONTROLS]


def control_id(character):
    return f"U+{ord(character):04X}"


@pytest.mark.parametrize("character", CONTROLS_REJECTED, ids=control_id)
@pytest.mark.parametrize("before, after", [
    ("", "[a:b = 1]"),
    ("[a:b =", "1]"),
    ("[a:b.c", " = 1]"),
    ("[a:b = 1]", ""),
    ("[a:b = 1] AND", "[c:d = 2]"),
])
def test_control_character_outside_strings_is_rejected(character, before, after):
    message = rejection(before + character + after)
    assert message.startswith("Grammar error: ")
    assert report_position(message) == (1, len(before) + 1)


@pytest.mark.parametrize("character", sorted(WHITESPACE_CONTROLS), ids=control_id)
def test_tab_cr_and_lf_are_whitespace_between_tokens(character):
    spread = character.join(["", "[", "a:b", "=", "1", "]", "AND", "[c:d", "!=", "2]", ""])
    assert structure(quarnel.parse(spread)) == structure(quarnel.parse("[a:b = 1] AND [c:d != 2]"))


@pytest.mark.parametrize("character", CONTROLS, ids=control_id)
def test_control_character_inside_a_string_constant_is_kept(character):
    text = f"x{character}y{character}"
    assert quarnel.parse(f"[a:b = '{text}']").constant == text
    assert quarnel.parse(f"[a:b IN ('{text}', '{character}')]").constant == [text, character]


# ---- Non-ASCII text and columns

@pytest.mark.parametrize("text", [
    "é", "grüße", "日本語", "😀", "𝔘𝔫𝔦𝔠𝔬𝔡𝔢", "e\u0301", "\u200b\u2028\u2029\u0085", "\ufeff",
    "\U0010ffff", "\ue000",
])
def test_non_ascii_text_in_a_string_constant_is_kept(text):
    assert quarnel.parse(f"[a:b = '{text}']").constant == text


@pytest.mark.parametrize("pattern, position", [
    # Columns count characters, not UTF-8 bytes: é is 2 bytes, 日 3, 😀 4.
    ("[a:b = 'é'] x", (1, 13)),
    ("[a:b = '日本'] x", (1, 14)),
    ("[a:b = '😀😀😀' x", (1, 14)),
    ("[a:b = 'e\u0301'] x", (1, 14)),  # a combining mark is a character of its own
    ("[a:b = '\U0010ffff'", (1, 11)),
    ("[a:b = '😀'] AND\n[c:d = '😀'] x", (2, 13)),
    ("[a:b = '😀']\r\n  😀", (2, 3)),
    ("[a:b = '😀'] AND\r[c:d = '😀'] x", (1, 29)),  # a lone CR is whitespace, no break
    ("[é:b = 1]", (1, 2)),
    ("[a:b = 1] é", (1, 11)),
    ("\ufeff[a:b = 1]", (1, 1)),  # a byte-order mark is no whitespace
    ("[a:b =\u00a01]", (1, 7)),  # nor are the Unicode spaces
    ("[a:b =\u30001]", (1, 7)),
    ("[a:b = 'x\u2028'] x", (1, 14)),  # a Unicode line separator is no line break
    ("[a:b = '\t'] x", (1, 13)),
])
def test_report_column_counts_characters(pattern, position):
    assert report_position(rejection(pattern)) == position


def test_line_numbers_widen_the_gutter():
    pattern = "\n".join(["[a:b = 'é😀'] AND"] * 99_999 + ["[c:d = 1] ?"])
    message = rejection(pattern)
    assert report_position(message) == (100_000, 11)
    assert "\n100000 | [c:d = 1] ?\n" in message


# ---- Very long lines

def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


@pytest.mark.parametrize("unit", ["x", "é", "😀", "\\'"])
def test_one_megabyte_string_constant(unit):
    text = unit * (MB // len(unit))
    node, seconds = timed(lambda: quarnel.parse(f"[a:b = '{text}']"))
    assert node.constant == text.replace("\\'", "'")
    assert seconds < 2 * TIME_SCALE


@pytest.mark.parametrize("unit", ["x", "é", "😀"])
@pytest.mark.parametrize("tail, offset", [
    ("'", 2),     # the bracket never closes: the report points past the end
    ("'] ?", 4),  # junk after a complete observation
    ("' = 1]", 3),
])
def test_error_at_the_end_of_a_one_megabyte_line(unit, tail, offset):
    """`offset` is the column of the error counted from the last character of the text."""
    pattern = "[a:b = '" + unit * MB + tail
    message, seconds = timed(lambda: rejection(pattern))
    assert seconds < 2 * TIME_SCALE
    assert report_position(message) == (1, len("[a:b = '") + MB + offset)
    assert f"1 | {pattern}\n" in message


def test_one_megabyte_of_comparisons_on_one_line():
    count = MB // 16
    pattern = "[" + " OR ".join(f"a:b = {i % 10}" for i in range(count)) + "] ?"
    message, seconds = timed(lambda: rejection(pattern))
    assert seconds < 2 * TIME_SCALE
    assert report_position(message) == (1, len(pattern))


# ---- Nesting at the depth limit

LIMIT = 256


def groups(levels, leaf="[a:b = 1]", qualifier=""):
    """`levels` levels of nesting: the observation's bracket and levels-1 groups around it."""
    return "(" * (levels - 1) + leaf + (")" + qualifier) * (levels - 1)


def inner_groups(levels):
    """`levels` levels inside one observation: its bracket and levels-1 comparison groups."""
    return "[" + "(" * (levels - 1) + "a:b = 1" + ")" * (levels - 1) + "]"


def mixed(levels):
    outer = (levels - 1) // 2
    return "(" * outer + inner_groups(levels - outer) + ")" * outer


def chain(levels):
    """Observations joined by AND, each one group deeper than the one before it."""
    return "[a:b = 1] AND (" * (levels - 1) + "[a:b = 1]" + ")" * (levels - 1)


SHAPES = [groups, inner_groups, mixed, chain,
          lambda levels: groups(levels, qualifier=" REPEATS 2 TIMES")]
SHAPE_IDS = ["groups", "inner_groups", "mixed", "chain", "qualified_groups"]


@pytest.mark.parametrize("shape", [groups, inner_groups, mixed], ids=SHAPE_IDS[:3])
def test_groups_at_the_limit_leave_just_their_content(shape):
    assert structure(quarnel.parse(shape(LIMIT))) == structure(quarnel.parse("[a:b = 1]"))


def test_chain_at_the_limit_nests_all_the_way_down():
    node = quarnel.parse(chain(LIMIT))
    depth = 0
    while type(node) is quarnel.CompositePattern:
        assert node.left.constant == 1
        node = node.right
        depth += 1
    assert depth == LIMIT - 1 and node.constant == 1


@pytest.mark.parametrize("shape", SHAPES, ids=SHAPE_IDS)
@pytest.mark.parametrize("levels", [LIMIT + 1, LIMIT + 2, 10_000, 1_000_000])
def test_nesting_above_the_limit_is_rejected_where_it_crosses(shape, levels):
    pattern = shape(levels)
    message, seconds = timed(lambda: rejection(pattern))
    assert seconds < 2 * TIME_SCALE
    assert message.startswith("Nesting too deep:")
    assert message.endswith(f"more than {LIMIT} levels of nested parentheses and brackets")
    assert report_position(message) == (1, first_at_depth(pattern, LIMIT + 1) + 1)


def first_at_depth(pattern, wanted):
    """The index of the opening character that first reaches depth `wanted`."""
    depth = 0
    for at, character in enumerate(pattern[:20 * wanted]):
        depth += {"(": 1, "[": 1, ")": -1, "]": -1}.get(character, 0)
        if depth == wanted:
            return at
    raise AssertionError("the pattern never gets that deep")


def test_qualified_groups_at_the_limit_nest_all_the_way_down():
    node = quarnel.parse(groups(LIMIT, qualifier=" REPEATS 2 TIMES"))
    depth = 0
    while type(node) is quarnel.QualifiedPattern:
        assert node.repeat == 2
        node = node.pattern
        depth += 1
    assert depth == LIMIT - 1 and node.constant == 1


def test_depth_is_counted_per_group_not_per_pattern():
    # Many groups at the limit one after another: leaving a group must give its level back.
    pattern = " AND ".join([groups(LIMIT)] * 50 + [inner_groups(LIMIT)] * 50)
    assert type(quarnel.parse(pattern)) is quarnel.CompositePattern


@pytest.mark.parametrize("pattern", [
    groups(LIMIT)[:-1],              # one group left open
    groups(LIMIT) + ")",             # one group closed too often
    "(" * (LIMIT - 1) + "[a:b = ]" + ")" * (LIMIT - 1),
])
def test_broken_patterns_below_the_limit_get_grammar_errors(pattern):
    assert rejection(pattern).startswith("Grammar error: ")


# ---- 100 MB inputs: fail cleanly or parse within the memory target

HUGE = 100 * MB
BYTES_PER_INPUT_BYTE = 32  # the peak working memory a parse may use


def peak_growth(call):
    """What call() returns, and by how much the resident memory peaked above the start."""
    gc.collect()
    # Memory that earlier tests freed but malloc kept resident would hide this call's use.
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the high-water mark VmHWM to the current RSS
    start = status_kib("VmRSS")
    result = call()
    return result, (status_kib("VmHWM") - start) * 1024


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def repeated(unit, size=HUGE):
    return unit * (size // len(unit))


def spaced_observation():
    spaces = " " * (HUGE // 2)
    return "".join([spaces, "[a:b = 1]", spaces])


def huge_string_constant():
    return "".join(["[a:b = '", "y" * HUGE, "']"])


def observation_chain():
    return repeated("[a:b = 1] AND ") + "[c:d = 2]"


@huge
@pytest.mark.parametrize("make, check", [
    (spaced_observation, lambda node: node.constant == 1),
    (huge_string_constant, lambda node: len(node.constant) == HUGE),
    (observation_chain, lambda node: node.right.constant == 2),
], ids=["spaces_around_one_observation", "one_string_constant", "observation_chain"])
def test_hundred_megabytes_parse_within_the_memory_target(make, check):
    pattern = make()
    (node, seconds), growth = peak_growth(lambda: timed(lambda: quarnel.parse(pattern)))
    assert_cheap(seconds, growth, len(pattern))
    assert check(node)


# A guard against super-linear cost, not a speed measurement (the benchmarks measure
# speed): linear work on 100 MB takes seconds even on a loaded machine, anything worse
# takes hours.
HUGE_SECONDS = 30


def assert_cheap(seconds, growth, input_bytes):
    per_byte = growth / input_bytes
    assert seconds < HUGE_SECONDS * TIME_SCALE and per_byte < BYTES_PER_INPUT_BYTE, (
        f"{seconds:.1f} s and {per_byte:.1f} bytes of peak memory per input byte")


@huge
@pytest.mark.parametrize("make, position", [
    (lambda: repeated("x"), (1, 1)),
    (lambda: repeated(")]'\"\\?!"), (1, 1)),
    (lambda: repeated("é😀"), (1, 1)),
    (lambda: "[a:b = 1]" + repeated("x"), (1, 10)),
    (lambda: repeated(" "), (1, HUGE + 1)),
    (lambda: repeated("\n"), (HUGE + 1, 1)),
    (lambda: repeated("[a:b = 1] AND ") + "?", (1, HUGE // 14 * 14 + 1)),
    (lambda: repeated("[a:b = '"), (1, 17)),
], ids=["x", "punctuation", "non_ascii", "after_an_observation", "spaces", "newlines",
        "observations_then_junk", "open_strings"])
def test_hundred_megabytes_of_garbage_fail_cleanly(make, position):
    pattern = make()
    (message, seconds), growth = peak_growth(lambda: timed(lambda: rejection(pattern)))
    assert_cheap(seconds, growth, len(pattern.encode()))
    assert report_position(message) == position


@huge
@pytest.mark.parametrize("prefix", ["", "["])
def test_hundred_megabytes_of_openings_stop_at_the_limit(prefix):
    message, seconds = timed(lambda: rejection(prefix + "(" * HUGE))
    assert seconds < HUGE_SECONDS * TIME_SCALE
    assert message.startswith("Nesting too deep:")
    assert report_position(message) == (1, LIMIT + 1)
