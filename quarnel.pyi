# Type stubs for the quarnel extension module: a parser of STIX 2 patterns whose result is a
# tree of immutable node objects. Every class is final and cannot be instantiated from
# Python; instances come from parse() and from the attributes of other instances.
import datetime
from typing import ClassVar, Literal, TypeAlias, final

__all__ = [
    "ComparisonOp",
    "UnaryOp",
    "BooleanOp",
    "ObservationOp",
    "PathComponent",
    "ObjectPath",
    "Comparison",
    "CompositeComparison",
    "CompositePattern",
    "QualifiedPattern",
    "parse",
]

# A constant on the right of a comparison. Hexadecimal (h'..') and binary (b'..') constants
# arrive as their text, timestamps (t'..') as naive datetimes in UTC.
_Value: TypeAlias = str | int | float | bool | datetime.datetime
_Pattern: TypeAlias = Comparison | CompositeComparison | CompositePattern | QualifiedPattern

# Operator classes: members are class attributes; instances compare equal to members of
# their own class and to integers, and are unhashable.

@final
class ComparisonOp:
    EQ: ClassVar[ComparisonOp]
    NEQ: ClassVar[ComparisonOp]
    GT: ClassVar[ComparisonOp]
    LT: ClassVar[ComparisonOp]
    GE: ClassVar[ComparisonOp]
    LE: ClassVar[ComparisonOp]
    IN: ClassVar[ComparisonOp]
    LIKE: ClassVar[ComparisonOp]
    MATCHES: ClassVar[ComparisonOp]
    ISSUBSET: ClassVar[ComparisonOp]
    ISSUPERSET: ClassVar[ComparisonOp]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class UnaryOp:
    EXISTS: ClassVar[UnaryOp]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class BooleanOp:
    AND: ClassVar[BooleanOp]
    OR: ClassVar[BooleanOp]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class ObservationOp:
    AND: ClassVar[ObservationOp]
    OR: ClassVar[ObservationOp]
    FOLLOWEDBY: ClassVar[ObservationOp]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

# Node classes: read-only attributes, each read builds new objects; equality is identity.

@final
class PathComponent:
    # `index` comes first: once `property` is defined it shadows the decorator here.
    @property
    def index(self) -> int | Literal["*"] | None: ...
    @property
    def property(self) -> str: ...

@final
class ObjectPath:
    @property
    def object_type(self) -> str: ...
    @property
    def property_path(self) -> list[PathComponent]: ...

@final
class Comparison:
    @property
    def object_path(self) -> ObjectPath: ...
    @property
    def op(self) -> ComparisonOp | UnaryOp: ...
    @property
    def negated(self) -> bool: ...
    # None for EXISTS; raises ValueError for a timestamp that datetime cannot hold.
    @property
    def constant(self) -> _Value | list[_Value] | None: ...

@final
class CompositeComparison:
    @property
    def left(self) -> Comparison | CompositeComparison: ...
    @property
    def right(self) -> Comparison | CompositeComparison: ...
    @property
    def op(self) -> BooleanOp: ...

@final
class CompositePattern:
    @property
    def left(self) -> _Pattern: ...
    @property
    def right(self) -> _Pattern: ...
    @property
    def op(self) -> ObservationOp: ...

@final
class QualifiedPattern:
    @property
    def pattern(self) -> _Pattern: ...
    @property
    def repeat(self) -> int | None: ...
    @property
    def within(self) -> float | None: ...
    @property
    def start(self) -> datetime.datetime | None: ...
    @property
    def stop(self) -> datetime.datetime | None: ...

def parse(pattern: str) -> Comparison | CompositeComparison | CompositePattern | QualifiedPattern:
    """Parses one pattern; raises ValueError with a report for a rejected pattern."""
