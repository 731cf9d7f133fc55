# The four operator classes: members, int(), value, repr(), equality, unhashability.
import operator

import pytest

import quarnel
from quarnel import BooleanOp, ComparisonOp, ObservationOp, UnaryOp

MEMBERS = [
    (ComparisonOp, "EQ", 0, "="),
    (ComparisonOp, "NEQ", 1, "!="),
    (ComparisonOp, "GT", 2, ">"),
    (ComparisonOp, "LT", 3, "<"),
    (ComparisonOp, "GE", 4, ">="),
    (ComparisonOp, "LE", 5, "<="),
    (ComparisonOp, "IN", 6, "IN"),
    (ComparisonOp, "LIKE", 7, "LIKE"),
    (ComparisonOp, "MATCHES", 8, "MATCHES"),
    (ComparisonOp, "ISSUBSET", 9, "ISSUBSET"),
    (ComparisonOp, "ISSUPERSET", 10, "ISSUPERSET"),
    (BooleanOp, "AND", 0, "AND"),
    (BooleanOp, "OR", 1, "OR"),
    (ObservationOp, "AND", 0, "AND"),
    (ObservationOp, "OR", 1, "OR"),
    (ObservationOp, "FOLLOWEDBY", 2, "FOLLOWEDBY"),
    (UnaryOp, "EXISTS", 0, "EXISTS"),
]
MEMBER_IDS = [f"{cls.__name__}.{name}" for cls, name, _, _ in MEMBERS]


@pytest.mark.parametrize("cls, name, number, value", MEMBERS, ids=MEMBER_IDS)
def test_member(cls, name, number, value):
    member = getattr(cls, name)
    assert type(member) is cls
    assert member is getattr(cls, name)
    assert int(member) == number and type(int(member)) is int
    assert member.value == value
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert bool(member) is True


@pytest.mark.parametrize("cls", [ComparisonOp, BooleanOp, ObservationOp, UnaryOp])
def test_class_attributes_are_the_members_in_order(cls):
    expected = [name for member_cls, name, _, _ in MEMBERS if member_cls is cls]
    assert [name for name in vars(cls) if name.isupper()] == expected


class Index:
    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


class BrokenIndex:
    def __index__(self):
        raise RuntimeError("no index")


@pytest.mark.parametrize("left, right, equal", [
    (ComparisonOp.GT, ComparisonOp.GT, True),
    (ComparisonOp.GT, ComparisonOp.LT, False),
    (ComparisonOp.GT, 2, True),
    (ComparisonOp.GT, 3, False),
    (2, ComparisonOp.GT, True),
    (ComparisonOp.GT, Index(2), True),
    (ComparisonOp.GT, BrokenIndex(), False),
    (BooleanOp.OR, True, True),
    (BooleanOp.AND, False, True),
    (UnaryOp.EXISTS, 0, True),
    (UnaryOp.EXISTS, UnaryOp.EXISTS, True),
    (ComparisonOp.EQ, BooleanOp.AND, False),
    (ObservationOp.AND, BooleanOp.AND, False),
    (ComparisonOp.EQ, "=", False),
    (ComparisonOp.EQ, 0.0, False),
    (ComparisonOp.EQ, None, False),
    (ComparisonOp.EQ, 2 ** 64, False),
    (ComparisonOp.EQ, -(2 ** 64), False),
    (ComparisonOp.ISSUPERSET, 10, True),
])
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("left, right", [
    (ComparisonOp.LT, ComparisonOp.GT),
    (ComparisonOp.LT, 5),
    (5, ComparisonOp.LT),
    (UnaryOp.EXISTS, UnaryOp.EXISTS),
])
def test_orderings_raise_type_error(compare, left, right):
    with pytest.raises(TypeError):
        compare(left, right)


@pytest.mark.parametrize("member", [ComparisonOp.EQ, UnaryOp.EXISTS, BooleanOp.OR,
                                    ObservationOp.FOLLOWEDBY])
def test_members_are_unhashable_and_no_index(member):
    assert type(member).__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        range(member)


def test_value_is_read_only():
    with pytest.raises(AttributeError):
        ComparisonOp.EQ.value = "x"
    with pytest.raises(AttributeError):
        del ComparisonOp.EQ.value
    assert ComparisonOp.EQ.value == "="


@pytest.mark.parametrize("pattern, read, member", [
    ("[a:b = 1]", lambda p: p.op, ComparisonOp.EQ),
    ("[a:b != 1]", lambda p: p.op, ComparisonOp.NEQ),
    ("[a:b > 1]", lambda p: p.op, ComparisonOp.GT),
    ("[a:b < 1]", lambda p: p.op, ComparisonOp.LT),
    ("[a:b >= 1]", lambda p: p.op, ComparisonOp.GE),
    ("[a:b <= 1]", lambda p: p.op, ComparisonOp.LE),
    ("[a:b IN (1)]", lambda p: p.op, ComparisonOp.IN),
    ("[a:b LIKE 'x']", lambda p: p.op, ComparisonOp.LIKE),
    ("[a:b MATCHES 'x']", lambda p: p.op, ComparisonOp.MATCHES),
    ("[a:b ISSUBSET 'x']", lambda p: p.op, ComparisonOp.ISSUBSET),
    ("[a:b ISSUPERSET 'x']", lambda p: p.op, ComparisonOp.ISSUPERSET),
    ("[EXISTS a:b]", lambda p: p.op, UnaryOp.EXISTS),
    ("[a:b = 1 AND c:d = 2]", lambda p: p.op, BooleanOp.AND),
    ("[a:b = 1 OR c:d = 2]", lambda p: p.op, BooleanOp.OR),
    ("[a:b = 1] AND [c:d = 2]", lambda p: p.op, ObservationOp.AND),
    ("[a:b = 1] OR [c:d = 2]", lambda p: p.op, ObservationOp.OR),
    ("[a:b = 1] FOLLOWEDBY [c:d = 2]", lambda p: p.op, ObservationOp.FOLLOWEDBY),
])
def test_node_operators_are_new_equal_instances(pattern, read, member):
    node = quarnel.parse(pattern)
    op = read(node)
    assert type(op) is type(member)
    assert op == member
    assert op is not member
    assert read(node) is not op
