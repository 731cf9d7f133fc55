"""quarnel.pyi against the built module: the same names, the same members of every class,
parse's signature, and annotations that hold for the values real trees give."""

import ast
import datetime
import functools
import types
import typing
from pathlib import Path

import pytest

import quarnel

STUBS = Path(__file__).resolve().parents[2] / "quarnel.pyi"
# Dunders whose presence on a class changes what callers may do with its instances.
PROTOCOL_DUNDERS = {"__int__", "__index__", "__float__", "__bool__", "__len__", "__iter__",
                    "__getitem__", "__contains__", "__call__", "__hash__", "__eq__", "__ne__"}


class StubClass:
    def __init__(self, node):
        self.name = node.name
        self.decorators = {ast.unparse(d) for d in node.decorator_list}
        self.class_vars = {}   # name -> annotation node
        self.properties = {}   # name -> return annotation node
        self.methods = {}      # name -> FunctionDef
        for item in node.body:
            if isinstance(item, ast.AnnAssign):
                self.class_vars[item.target.id] = item.annotation
            elif isinstance(item, ast.FunctionDef):
                if "property" in {ast.unparse(d) for d in item.decorator_list}:
                    self.properties[item.name] = item.returns
                else:
                    self.methods[item.name] = item

    def names(self):
        return set(self.class_vars) | set(self.properties) | set(self.methods)


class Stubs:
    def __init__(self, text):
        self.all = None
        self.classes = {}
        self.functions = {}
        self.aliases = []  # (name, value node), in order
        for item in ast.parse(text).body:
            if isinstance(item, ast.Assign) and ast.unparse(item.targets[0]) == "__all__":
                self.all = ast.literal_eval(item.value)
            elif isinstance(item, ast.AnnAssign) and ast.unparse(item.annotation) == "TypeAlias":
                self.aliases.append((item.target.id, item.value))
            elif isinstance(item, ast.ClassDef):
                self.classes[item.name] = StubClass(item)
            elif isinstance(item, ast.FunctionDef):
                self.functions[item.name] = item

    def public_names(self):
        return {n for n in [*self.classes, *self.functions] if not n.startswith("_")}


STUB = Stubs(STUBS.read_text(encoding="utf-8"))
CLASS_NAMES = sorted(STUB.classes)


def runtime_namespace():
    namespace = {"datetime": datetime, "Literal": typing.Literal, "ClassVar": typing.ClassVar}
    namespace.update({name: getattr(quarnel, name) for name in CLASS_NAMES})
    for name, value in STUB.aliases:
        namespace[name] = eval(ast.unparse(value), namespace)
    return namespace


NAMESPACE = runtime_namespace()


def annotation(node):
    return eval(ast.unparse(node), NAMESPACE)


def alternatives(hint):
    if typing.get_origin(hint) in (typing.Union, types.UnionType):
        return typing.get_args(hint)
    return (hint,)


def conforms(value, hint):
    """Whether `value` is of type `hint`, exactly: a bool does not pass for an int."""
    origin = typing.get_origin(hint)
    if hint is None or hint is type(None):
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, h) for h in typing.get_args(hint))
    if origin is typing.Literal:
        return any(type(value) is type(v) and value == v for v in typing.get_args(hint))
    if origin is typing.ClassVar:
        return conforms(value, typing.get_args(hint)[0])
    if origin is list:
        (element,) = typing.get_args(hint)
        return type(value) is list and all(conforms(v, element) for v in value)
    return type(value) is hint


def test_all_lists_the_same_names_in_the_same_order():
    assert STUB.all == quarnel.__all__


def test_every_public_name_has_a_stub_and_every_stub_a_name():
    assert STUB.public_names() == set(quarnel.__all__)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_final_in_stub_and_module(name):
    assert "final" in STUB.classes[name].decorators
    with pytest.raises(TypeError):
        type("Derived", (getattr(quarnel, name),), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_public_members_match(name):
    runtime = getattr(quarnel, name)
    stub = STUB.classes[name]
    public = {n for n in vars(runtime) if not n.startswith("_")}
    assert {n for n in stub.names() if not n.startswith("_")} == public
    for attribute in stub.properties:
        assert isinstance(vars(runtime)[attribute], types.GetSetDescriptorType), attribute
    for member, hint in stub.class_vars.items():
        if not member.startswith("_"):
            assert conforms(vars(runtime)[member], annotation(hint)), member


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_protocol_dunders_match(name):
    runtime = vars(getattr(quarnel, name))
    stub = STUB.classes[name]
    assert {n for n in stub.names() if n.startswith("__")} == PROTOCOL_DUNDERS & set(runtime)
    if "__hash__" in stub.class_vars:
        assert runtime["__hash__"] is None  # unhashable, as ClassVar[None] says


@pytest.mark.parametrize("name", [n for n in CLASS_NAMES if "__int__" in STUB.classes[n].methods])
def test_int_gives_an_int_for_every_member(name):
    runtime = getattr(quarnel, name)
    for member in STUB.classes[name].class_vars:
        if not member.startswith("_"):
            assert type(int(getattr(runtime, member))) is int


def signature_text(function):
    arguments = function.args
    parts = [a.arg for a in arguments.posonlyargs] + (["/"] if arguments.posonlyargs else [])
    parts += [a.arg for a in arguments.args]
    parts += (["*"] if arguments.kwonlyargs else []) + [a.arg for a in arguments.kwonlyargs]
    return "(" + ", ".join(parts) + ")"


def test_parse_signature_matches_the_module():
    parse = STUB.functions["parse"]
    assert signature_text(parse) == quarnel.parse.__text_signature__
    assert [ast.unparse(a.annotation) for a in parse.args.args] == ["str"]


# Together these give every alternative of every annotated attribute at least once.
SAMPLES = [
    "[a:b = 'x']",
    "[a:b[*].c[1] = 1]",
    "[a:b = 1.5]",
    "[a:b = true]",
    "[a:b = t'2020-01-01T00:00:00Z']",
    "[a:b IN (1, 'x')]",
    "[EXISTS a:b]",
    "[a:b = 1] AND [a:b = 1 OR a:c = 2]",
    "[a:b = 1] AND [a:c = 2] OR [a:d = 3] WITHIN 5 SECONDS",
    "[a:b = 1 AND a:c = 2 OR a:d = 3]",
    "[a:b = 1 AND (a:c = 2 OR a:d = 3)]",
    "[a:b = 1 OR a:c = 2] AND ([a:d = 1] OR [a:e = 2])",
    "[a:b = 1] WITHIN 5 SECONDS AND [a:c = 2]",
    "([a:b = 1] REPEATS 2 TIMES) WITHIN 5 SECONDS",
    "([a:b = 1] AND [a:c = 2]) WITHIN 5 SECONDS",
    "[a:b = 1 OR a:c = 2] REPEATS 2 TIMES",
    "[a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'",
    "[a:b = 1] REPEATS 2 TIMES WITHIN 1.5 SECONDS",
]


def matching_alternative(value, hint):
    matches = [h for h in alternatives(hint) if conforms(value, h)]
    assert matches, f"{value!r} is not {hint}"
    return matches[0]


def seen_alternatives():
    """Walks the sample trees, checking every stub attribute of every object met against
    its annotation; returns the alternatives seen per (class, attribute)."""
    seen = {}
    returns = annotation(STUB.functions["parse"].returns)
    stack = []
    for sample in SAMPLES:
        root = quarnel.parse(sample)
        seen.setdefault(("parse", "return"), set()).add(matching_alternative(root, returns))
        stack.append(root)
    while stack:
        node = stack.pop()
        for attribute, hint_node in STUB.classes[type(node).__name__].properties.items():
            value = getattr(node, attribute)
            hint = annotation(hint_node)
            seen.setdefault((type(node).__name__, attribute), set()).add(
                matching_alternative(value, hint))
            children = value if isinstance(value, list) else [value]
            stack.extend(c for c in children if type(c).__name__ in STUB.classes)
    return seen


def expected_alternatives():
    expected = {("parse", "return"): alternatives(annotation(STUB.functions["parse"].returns))}
    for name, stub in STUB.classes.items():
        for attribute, hint_node in stub.properties.items():
            expected[(name, attribute)] = alternatives(annotation(hint_node))
    return expected


EXPECTED = expected_alternatives()


@functools.cache
def seen_in_samples():
    return seen_alternatives()


@pytest.mark.parametrize("key", sorted(EXPECTED), ids=[".".join(k) for k in sorted(EXPECTED)])
def test_annotations_hold_and_every_alternative_is_reached(key):
    assert seen_in_samples().get(key, set()) == set(EXPECTED[key])
