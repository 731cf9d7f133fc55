# Type stubs for the quarnel_tools extension module: tools over STIX patterns that take
# pattern text and do their work in C++.
from typing import Final, final

__all__ = [
    "is_valid_pattern",
    "Finding",
]

def is_valid_pattern(pattern: str) -> bool: ...

@final
class Finding(tuple[str, str]):
    """One finding of the strict checks."""

    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    @property
    def code(self) -> str: ...
    @property
    def message(self) -> str: ...
