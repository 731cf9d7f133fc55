# The module object, parse()'s argument handling and errors, the shared properties of the
# ten classes, repeated initialisation, and reference-count hygiene.
import copy
import ctypes
import gc
import importlib.util
import os
import pickle
import subprocess
import sys
import weakref

import pytest

import quarnel

ALL = ['ComparisonOp', 'UnaryOp', 'BooleanOp', 'ObservationOp', 'PathComponent', 'ObjectPath',
       'Comparison', 'CompositeComparison', 'CompositePattern', 'QualifiedPattern', 'parse']


def test_namespace_holds_exactly_the_public_names_in_order():
    assert quarnel.__all__ == ALL
    public = [name for name in vars(quarnel) if not name.startswith("__")]
    assert sorted(public) == sorted(ALL)


def test_module_and_parse_metadata():
    assert quarnel.__doc__ == ""
    assert quarnel.parse.__text_signature__ == "(pattern)"
    assert quarnel.parse.__doc__ is None
    assert quarnel.parse.__name__ == "parse"
    assert quarnel.parse.__module__ == "quarnel"
    assert quarnel.parse.__self__ is quarnel


@pytest.mark.parametrize("pattern, cls", [
    ("[file:name = 'x']", quarnel.Comparison),
    ("[a:b = 1 AND c:d = 2]", quarnel.CompositeComparison),
    ("[a:b = 1] AND [c:d = 2]", quarnel.CompositePattern),
    ("[a:b = 1] REPEATS 2 TIMES", quarnel.QualifiedPattern),
    ("([a:b = 1])", quarnel.Comparison),
])
def test_root_class_follows_the_pattern(pattern, cls):
    assert type(quarnel.parse(pattern)) is cls
    assert type(quarnel.parse(pattern=pattern)) is cls


class TextSubclass(str):
    pass


def test_str_subclass_is_accepted():
    assert type(quarnel.parse(TextSubclass("[a:b = 1]"))) is quarnel.Comparison


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "parse() missing 1 required positional argument: 'pattern'"),
    (("a", "b"), {}, "parse() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {"pattern": "d"}, "parse() takes 1 positional arguments but 3 were given"),
    ((), {"x": "a"}, "parse() got an unexpected keyword argument 'x'"),
    (("[a:b = 1]",), {"x": "a"}, "parse() got an unexpected keyword argument 'x'"),
    ((), {"x": "a", "pattern": "b"}, "parse() got an unexpected keyword argument 'x'"),
    ((), {"Pattern": "a"}, "parse() got an unexpected keyword argument 'Pattern'"),
    (("a",), {"pattern": "b"}, "parse() got multiple values for argument 'pattern'"),
    ((b"[a:b = 1]",), {}, "argument 'pattern': 'bytes' object cannot be converted to 'str'"),
    ((5,), {}, "argument 'pattern': 'int' object cannot be converted to 'str'"),
    ((None,), {}, "argument 'pattern': 'NoneType' object cannot be converted to 'str'"),
    ((), {"pattern": 1.5}, "argument 'pattern': 'float' object cannot be converted to 'str'"),
    ((Outer.Inner(),), {}, "argument 'pattern': 'Outer.Inner' object cannot be converted to 'str'"),
])
def test_bad_arguments_raise_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        quarnel.parse(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_lone_surrogate_raises_the_encoders_error():
    with pytest.raises(UnicodeEncodeError) as caught:
        quarnel.parse("[a:b = '\udc80']")
    assert "surrogates not allowed" in str(caught.value)
    assert "pattern" not in str(caught.value)


EMPTY_INPUT_REPORT = (
    "Grammar error:  --> 1:1\n"
    "  |\n"
    "1 | \n"
    "  | ^---\n"
    "  |\n"
    "  = expected expression")

UNCLOSED_REPORT = (
    "Grammar error:  --> 1:17\n"
    "  |\n"
    "1 | [file:name = 'x'\n"
    "  |                 ^---\n"
    "  |\n"
    "  = expected and or or")


@pytest.mark.parametrize("pattern, message", [
    ("", EMPTY_INPUT_REPORT),
    ("[file:name = 'x'", UNCLOSED_REPORT),
    ("[x:y = t'2020-13-01T00:00:00Z']", "Invalid timestamp: 2020-13-01T00:00:00Z"),
    ("[x:y = t'yesterday']", "Invalid timestamp: yesterday"),
    ("[a:b = 9223372036854775808]", "Invalid integer: number too large to fit in target type"),
    ("[a:b = -9223372036854775809]", "Invalid integer: number too small to fit in target type"),
    # A timestamp that parses lets building go on to the later bad constant.
    ("[a:b = t'2020-01-01T0:00:00'] AND [c:d = 99999999999999999999]",
     "Invalid integer: number too large to fit in target type"),
    ("[a:b = t'20200-01-01T00:00:00']", "Invalid timestamp: 20200-01-01T00:00:00"),
    ("[a:b = t'2020-001-01T00:00:00']", "Invalid timestamp: 2020-001-01T00:00:00"),
    ("[a:b = t'2020-01-01t00:00:00']", "Invalid timestamp: 2020-01-01t00:00:00"),
    ("[a:b = t'+262144-01-01T00:00:00']", "Invalid timestamp: +262144-01-01T00:00:00"),
])
def test_rejected_pattern_raises_value_error_with_the_exact_message(pattern, message):
    with pytest.raises(ValueError) as caught:
        quarnel.parse(pattern)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("pattern, shown", [
    ("[a:b = ]", "1 | [a:b = ]\n"),
    # Non-ASCII text of the source line arrives intact in the message.
    ("[a:b = 'é'", "1 | [a:b = 'é'\n"),
    # A NUL character does not cut the message short.
    ("[a:b = 1]\0", "1 | [a:b = 1]\0\n"),
])
def test_grammar_report_shows_the_source_line(pattern, shown):
    with pytest.raises(ValueError) as caught:
        quarnel.parse(pattern)
    (message,) = caught.value.args
    assert message.startswith("Grammar error: ")
    assert shown in message


def sample_instances():
    """One instance of each of the ten classes, reached the way callers reach them."""
    comparison = quarnel.parse("[a:b[*] = 1]")
    return {
        "ComparisonOp": comparison.op,
        "UnaryOp": quarnel.parse("[EXISTS a:b]").op,
        "BooleanOp": quarnel.parse("[a:b = 1 OR c:d = 2]").op,
        "ObservationOp": quarnel.parse("[a:b = 1] OR [c:d = 2]").op,
        "PathComponent": comparison.object_path.property_path[0],
        "ObjectPath": comparison.object_path,
        "Comparison": comparison,
        "CompositeComparison": quarnel.parse("[a:b = 1 OR c:d = 2]"),
        "CompositePattern": quarnel.parse("[a:b = 1] OR [c:d = 2]"),
        "QualifiedPattern": quarnel.parse("[a:b = 1] WITHIN 5 SECONDS"),
    }


CLASS_NAMES = ALL[:-1]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity(name):
    cls = getattr(quarnel, name)
    assert type(sample_instances()[name]) is cls
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_is_neither_instantiable_nor_subclassable(name):
    cls = getattr(quarnel, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_no_instance_without_a_payload_can_be_made(name):
    # Each of these would otherwise yield an object whose attributes read garbage.
    cls = getattr(quarnel, name)
    instance = sample_instances()[name]
    with pytest.raises(TypeError):
        object.__new__(cls)
    with pytest.raises(TypeError):
        cls.__new__ = lambda c: object.__new__(c)
    with pytest.raises(TypeError):
        copy.copy(instance)
    with pytest.raises(TypeError):
        pickle.dumps(instance)
    with pytest.raises(TypeError):
        Plain().__class__ = cls


class Plain:
    __slots__ = ()


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_immutable(name):
    cls = getattr(quarnel, name)
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        cls.__repr__ = lambda self: "changed"
    assert not hasattr(cls, "extra")


def test_operator_members_cannot_be_replaced():
    with pytest.raises(TypeError):
        quarnel.ComparisonOp.EQ = quarnel.ComparisonOp.NEQ
    assert int(quarnel.ComparisonOp.EQ) == 0


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_have_no_dict_no_weakref_and_take_no_attributes(name):
    instance = sample_instances()[name]
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1


def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(quarnel.__file__).PyInit_quarnel
    init.restype = ctypes.py_object
    assert init() is quarnel
    assert init().Comparison is quarnel.Comparison


def test_loading_again_through_the_import_machinery_gives_the_same_module():
    spec = importlib.util.spec_from_file_location("quarnel", quarnel.__file__)
    again = importlib.util.module_from_spec(spec)
    assert again is quarnel
    for name in ALL:
        assert getattr(again, name) is getattr(quarnel, name)
    assert again.ComparisonOp.EQ is quarnel.ComparisonOp.EQ


SUBINTERPRETER_IMPORT = """
import quarnel
try:
    import _xxsubinterpreters as interpreters
    def import_in_subinterpreter():
        try:
            interpreters.run_string(interpreters.create(), "import quarnel")
        except interpreters.RunFailedError as failure:
            return str(failure)
except ImportError:
    import _interpreters as interpreters
    def import_in_subinterpreter():
        failure = interpreters.run_string(interpreters.create(), "import quarnel")
        return None if failure is None else failure.formatted
print(import_in_subinterpreter())
print(repr(quarnel.parse("[a:b = 1]")))
"""


def test_a_second_interpreter_gets_import_error(child_env):
    result = subprocess.run([sys.executable, "-c", SUBINTERPRETER_IMPORT], env=child_env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    failure, still_working = result.stdout.splitlines()
    assert "ImportError" in failure
    # Older interpreters run the initialiser, newer ones refuse single-phase modules first.
    assert "sub-interpreters" in failure or "subinterpreters" in failure
    assert still_working == "Comparison(op=ComparisonOp.EQ, negated=false)"


MEMORY_PATTERNS = [
    "[file:hashes.'SHA-256' = 'aec070645fe53ee3b3763059376134f058cc337247c978add178b6ccdfb0019f']",
    "[network-traffic:dst_ref.value ISSUBSET '10.0.0.0/8'] FOLLOWEDBY [file:name MATCHES '^x']",
    "[a:b IN (1, 2.5, 'x', true, h'ff', b'QUJD', t'2020-01-01T00:00:00Z')] REPEATS 3 TIMES",
    "([a:b[*].c[2] NOT LIKE 'x%' AND EXISTS d:e] OR [f:g > -5]) WITHIN 300 SECONDS "
    "START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'",
]


def walk(node):
    """Reads every attribute and repr of every node below `node`."""
    repr(node)
    if isinstance(node, (quarnel.CompositeComparison, quarnel.CompositePattern)):
        repr(node.op), int(node.op), node.op.value
        walk(node.left)
        walk(node.right)
    elif isinstance(node, quarnel.QualifiedPattern):
        node.repeat, node.within, node.start, node.stop
        walk(node.pattern)
    elif isinstance(node, quarnel.Comparison):
        repr(node.op), node.negated, node.constant
        path = node.object_path
        repr(path), path.object_type
        for component in path.property_path:
            repr(component), component.property, component.index


def failing_calls():
    for call in (lambda: quarnel.parse("[a:b = ]"), lambda: quarnel.parse(5),
                 lambda: quarnel.parse(x="[a:b = 1]"),
                 lambda: quarnel.parse("[a:b = t'2016-12-31T23:59:60Z']").constant):
        try:
            call()
        except (ValueError, TypeError):
            pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_repeated_parses_do_not_grow_memory():
    def rounds(count):
        for _ in range(count):
            for pattern in MEMORY_PATTERNS:
                walk(quarnel.parse(pattern))
            failing_calls()

    rounds(5_000)
    gc.collect()
    before = resident_bytes()
    rounds(40_000)  # 160,000 parses and 160,000 failing calls
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 4 * 1024 * 1024, f"resident memory grew by {growth} bytes"
