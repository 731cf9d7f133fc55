# The six node classes: attributes of every kind of node, repr() texts, read-only
# attributes, fresh objects on every read, and subtrees that outlive their parents.
import gc

import pytest

import quarnel
from quarnel import BooleanOp, ComparisonOp, ObservationOp, UnaryOp


def at(path):
    """A reader for the node reached from the root by a dotted attribute path."""
    def read(root):
        node = root
        for step in path.split(".") if path else []:
            node = node.property_path[int(step[1:])] if step.startswith("#") else getattr(node, step)
        return node
    return read


@pytest.mark.parametrize("pattern, path, text", [
    ("[file:name = 'x']", "", "Comparison(op=ComparisonOp.EQ, negated=false)"),
    ("[file:name NOT LIKE 'x%']", "", "Comparison(op=ComparisonOp.LIKE, negated=true)"),
    ("[EXISTS file:name]", "", "Comparison(op=UnaryOp.EXISTS, negated=false)"),
    ("[file:name = 'x']", "object_path", 'ObjectPath(object_type="file", ...)'),
    ("[network-traffic:a = 1]", "object_path", 'ObjectPath(object_type="network-traffic", ...)'),
    ("[file:parent.names[*] = 'x']", "object_path.#0",
     'PathComponent(property="parent", index=None)'),
    ("[file:parent.names[*] = 'x']", "object_path.#1",
     'PathComponent(property="names", index=\'*\')'),
    ("[file:names[3] = 'x']", "object_path.#0", 'PathComponent(property="names", index=3)'),
    ("[file:hashes.'SHA-256' = 'x']", "object_path.#1",
     'PathComponent(property="SHA-256", index=None)'),
    ("[a:b = 1] AND [c:d = 2]", "", "CompositePattern(op=And, ...)"),
    ("[a:b = 1] OR [c:d = 2]", "", "CompositePattern(op=Or, ...)"),
    ("[a:b = 1] FOLLOWEDBY [c:d = 2]", "", "CompositePattern(op=FollowedBy, ...)"),
    ("[a:b = 1 OR c:d = 2]", "", "CompositeComparison(op=Or, ...)"),
    ("[a:b = 1 AND c:d = 2]", "", "CompositeComparison(op=And, ...)"),
    ("[a:b = 1] REPEATS 5 TIMES", "", "QualifiedPattern(repeat=Some(5), within=None, ...)"),
    ("[a:b = 1] WITHIN 300 SECONDS", "", "QualifiedPattern(repeat=None, within=Some(300.0), ...)"),
    ("[a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'", "",
     "QualifiedPattern(repeat=None, within=None, ...)"),
    ("[a:b = 1] REPEATS 2 TIMES WITHIN 2.5 SECONDS", "",
     "QualifiedPattern(repeat=Some(2), within=Some(2.5), ...)"),
])
def test_repr(pattern, path, text):
    node = at(path)(quarnel.parse(pattern))
    assert repr(node) == str(node) == text


@pytest.mark.parametrize("seconds, shown", [
    ("300", "300.0"),
    ("0", "0.0"),
    ("0.5", "0.5"),
    ("0.1", "0.1"),
    ("123.456", "123.456"),
    ("0.0001", "0.0001"),
    ("0.000123", "0.000123"),
    ("9999999999999998", "9999999999999998.0"),
    ("10000000000000000", "1e16"),
    ("15000000000000000", "1.5e16"),
    ("123456789012345678901234567890", "1.2345678901234568e29"),
    ("0.00001", "1e-5"),
    ("0.0000123", "1.23e-5"),
    ("0." + "0" * 300 + "1", "1e-301"),
    ("9" * 400 + ".0", "inf"),
    # Exactly halfway between two shortest texts: the larger one.
    ("979496405977673.25", "979496405977673.3"),
    ("1000000000000000.25", "1000000000000000.3"),
    ("1000000000000000.75", "1000000000000000.8"),
    ("0.375", "0.375"),
    ("2.5", "2.5"),
    ("562949953421311.75", "562949953421311.75"),
    ("9007199254740993", "9007199254740992.0"),
])
def test_within_is_shown_as_the_shortest_round_trip_text(seconds, shown):
    node = quarnel.parse(f"[a:b = 1] WITHIN {seconds} SECONDS")
    assert repr(node) == f"QualifiedPattern(repeat=None, within=Some({shown}), ...)"
    assert node.within == float(shown)


def test_comparison_attributes():
    node = quarnel.parse("[file:parent.names[*] NOT = 'x']")
    assert node.op == ComparisonOp.EQ
    assert node.negated is True
    assert node.constant == "x"
    path = node.object_path
    assert type(path) is quarnel.ObjectPath
    assert path.object_type == "file"
    components = path.property_path
    assert type(components) is list
    assert [type(c) for c in components] == [quarnel.PathComponent] * 2
    assert [(c.property, c.index) for c in components] == [("parent", None), ("names", "*")]


def test_exists_comparison():
    node = quarnel.parse("[EXISTS file:name]")
    assert type(node.op) is UnaryOp
    assert node.negated is False
    assert node.constant is None


@pytest.mark.parametrize("pattern, op, left, right", [
    ("[a:b = 1 AND c:d = 2]", BooleanOp.AND, "a", "c"),
    ("[a:b = 1 OR c:d = 2]", BooleanOp.OR, "a", "c"),
])
def test_composite_comparison_attributes(pattern, op, left, right):
    node = quarnel.parse(pattern)
    assert node.op == op
    assert type(node.left) is type(node.right) is quarnel.Comparison
    assert node.left.object_path.object_type == left
    assert node.right.object_path.object_type == right


def test_comparison_chain_folds_from_the_left():
    node = quarnel.parse("[a:b = 1 AND c:d = 2 OR e:f = 3]")
    assert node.op == BooleanOp.OR
    assert type(node.left) is quarnel.CompositeComparison
    assert node.left.op == BooleanOp.AND
    assert node.right.object_path.object_type == "e"


def test_parenthesised_comparisons_nest_on_the_right():
    node = quarnel.parse("[a:b = 1 AND (c:d = 2 OR e:f = 3)]")
    assert node.op == BooleanOp.AND
    assert type(node.left) is quarnel.Comparison
    assert type(node.right) is quarnel.CompositeComparison
    assert node.right.op == BooleanOp.OR


@pytest.mark.parametrize("pattern, left, right", [
    ("[a:b = 1] AND [c:d = 2]", quarnel.Comparison, quarnel.Comparison),
    ("[a:b = 1 OR a:c = 2] FOLLOWEDBY [c:d = 2]", quarnel.CompositeComparison,
     quarnel.Comparison),
    ("[a:b = 1] AND [c:d = 2] OR [e:f = 3]", quarnel.CompositePattern, quarnel.Comparison),
    ("[a:b = 1] AND [c:d = 2] WITHIN 5 SECONDS", quarnel.Comparison, quarnel.QualifiedPattern),
])
def test_composite_pattern_operands(pattern, left, right):
    node = quarnel.parse(pattern)
    assert type(node.left) is left
    assert type(node.right) is right


def test_observation_chain_folds_from_the_left():
    node = quarnel.parse("[a:b = 1] AND [c:d = 2] FOLLOWEDBY [e:f = 3]")
    assert node.op == ObservationOp.FOLLOWEDBY
    assert node.left.op == ObservationOp.AND
    assert node.left.left.object_path.object_type == "a"
    assert node.right.object_path.object_type == "e"


def test_qualified_pattern_attributes():
    node = quarnel.parse("[a:b = 1] REPEATS 5 TIMES")
    assert node.repeat == 5
    assert node.within is None and node.start is None and node.stop is None
    assert type(node.pattern) is quarnel.Comparison


def test_qualifiers_on_a_group_and_inside_it_nest():
    node = quarnel.parse("([a:b = 1] REPEATS 2 TIMES) WITHIN 5 SECONDS")
    assert (node.repeat, node.within) == (None, 5.0)
    assert type(node.within) is float
    inner = node.pattern
    assert type(inner) is quarnel.QualifiedPattern
    assert (inner.repeat, inner.within) == (2, None)
    assert type(inner.pattern) is quarnel.Comparison


def test_every_read_builds_new_objects():
    node = quarnel.parse("[a:b IN (1, 2)] AND [c:d = 2]")
    assert node.left is not node.left
    assert node.left != node.left
    assert node.left.constant is not node.left.constant
    assert node.left.constant == node.left.constant == [1, 2]
    path = node.left.object_path
    assert path.property_path is not path.property_path
    assert path.property_path[0] is not path.property_path[0]


def test_nodes_hash_by_identity():
    node = quarnel.parse("[a:b = 1]")
    assert hash(node) == hash(node)
    assert {node: 1}[node] == 1


NODE_ATTRIBUTES = [
    ("[a:b = 1]", "", ["object_path", "op", "constant", "negated"]),
    ("[a:b = 1 OR c:d = 2]", "", ["left", "right", "op"]),
    ("[a:b = 1] OR [c:d = 2]", "", ["left", "right", "op"]),
    ("[a:b = 1] WITHIN 5 SECONDS", "", ["pattern", "repeat", "within", "start", "stop"]),
    ("[a:b = 1]", "object_path", ["object_type", "property_path"]),
    ("[a:b = 1]", "object_path.#0", ["property", "index"]),
]


@pytest.mark.parametrize("pattern, path, names", NODE_ATTRIBUTES)
def test_attributes_are_read_only(pattern, path, names):
    node = at(path)(quarnel.parse(pattern))
    for name in names:
        before = repr(getattr(node, name))
        with pytest.raises(AttributeError):
            setattr(node, name, None)
        with pytest.raises(AttributeError):
            delattr(node, name)
        assert repr(getattr(node, name)) == before


def test_a_subtree_outlives_its_root():
    root = quarnel.parse("[a:b.c[7] = 'x'] AND [d:e = 1]")
    component = root.left.object_path.property_path[1]
    right = root.right
    del root
    gc.collect()
    assert (component.property, component.index) == ("c", 7)
    assert right.constant == 1


def test_long_chains_are_walked_and_released_without_recursion():
    count = 10_000
    pattern = "[" + " OR ".join(f"a:b = {i}" for i in range(count)) + "]"
    node = quarnel.parse(pattern)
    seen = []
    while type(node) is quarnel.CompositeComparison:
        seen.append(node.right.constant)
        node = node.left
    seen.append(node.constant)
    assert seen == list(reversed(range(count)))
    # The leaf alone now keeps the whole tree alive; dropping it frees the chain.
    del node
    gc.collect()


def test_long_observation_chain():
    count = 5_000
    node = quarnel.parse(" FOLLOWEDBY ".join(f"[a:b = {i}]" for i in range(count)))
    depth = 0
    while type(node) is quarnel.CompositePattern:
        depth += 1
        node = node.left
    assert depth == count - 1
    assert node.constant == 0
