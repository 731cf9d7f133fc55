# Type stubs for the quarnel_tools extension module: tools over STIX patterns that take
# pattern text and do their work in C++.
import mmap
from typing import Any, Final, Iterable, Literal, Sequence, TypedDict, final

__all__ = [
    "is_valid_pattern",
    "Finding",
    "tree_json",
    "canonical_text",
    "observables",
    "inspect_pattern",
    "check_document",
    "check_file",
    "check_entries",
    "match",
    "compile_pattern",
    "load_observations",
    "load_json",
    "PatternError",
    "DataError",
    "MatchError",
    "CompiledPattern",
    "Observations",
    "MatchResult",
    "PatternIndex",
    "strict_findings",
    "strict_check_codes",
]

def is_valid_pattern(pattern: str) -> bool: ...

@final
class Finding(tuple[str, str, int | None, int | None]):
    """One finding of the strict checks: its stable code, its message, and the span of the
    pattern (character indexes, end excluded) that it is about, None where unknown."""

    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    @property
    def code(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def start(self) -> int | None: ...
    @property
    def end(self) -> int | None: ...

# ---- Tree export, canonical text, observables, inspection

def tree_json(pattern: str) -> str:
    """The syntax tree as JSON text (schema in the README): each operator chain is one node
    with "operands" and "operators". ValueError when the pattern is rejected."""

def canonical_text(pattern: str) -> str:
    """The pattern in one canonical spelling, parenthesised so that left-fold and precedence
    readers agree. ValueError when rejected or when no canonical text exists."""

class _Constant(TypedDict):
    type: Literal["string", "integer", "float", "boolean", "timestamp", "hex", "binary"]
    value: str | int | float | bool

class _Qualifiers(TypedDict, total=False):
    repeats: int
    within: float
    start: str
    stop: str

class Observable(TypedDict):
    observation: int
    object_type: str
    path: str
    steps: list[str | int]
    operator: str
    negated: bool
    constants: list[_Constant]
    qualifiers: list[_Qualifiers]

def observables(pattern: str) -> list[Observable]:
    """One record per comparison, in text order."""

class Inspection(TypedDict):
    object_types: list[str]
    object_paths: list[str]
    comparison_operators: list[str]
    observation_operators: list[str]
    qualifiers: list[str]
    observations: int
    comparisons: int

def inspect_pattern(pattern: str) -> Inspection: ...

_Report = Literal["rejections", "tree", "canonical", "inspection", "observables", "observables-csv"]

def check_document(data: bytes | bytearray | memoryview | mmap.mmap, name: str,
                   kind: Literal["text", "json"], report: _Report, jobs: int, *,
                   strict: Sequence[str] | None = None, first_line: int = 1,
                   out_fd: int | None = None) -> tuple[bytes, str, int, int, int] | None:
    """quarnel-check's engine over one whole input, or over whole lines of text numbered from
    `first_line`: (output, error output, accepted, rejected, skipped), or None when the input
    needs the checker's own reader. `strict`: None, or the strict-check codes switched off.
    With `out_fd`, the output is written there in order as it is made, and b"" returned."""

def check_file(fd: int, offset: int, name: str, report: _Report, jobs: int, *,
               strict: Sequence[str] | None = None,
               out_fd: int | None = None) -> tuple[bytes, str, int, int, int] | None:
    """check_document() over a regular file from `offset` to its end, read by the engine's
    threads; text or JSON as its first bytes tell. None when the file cannot be read so (not a
    regular file, or its size changed meanwhile) or needs the checker's own reader."""

def check_entries(entries: Sequence[tuple[str, str | None, str | None, str | None]],
                  report: _Report, jobs: int, *, strict: Sequence[str] | None = None,
                  out_fd: int | None = None) -> tuple[bytes, str, int, int, int]:
    """The engine over (source, text, problem, pattern_json) entries read by the checker."""

# ---- Matching patterns against observed data

# JSON text (str or bytes, input 0), or a list of parsed JSON values (element n is input n).
_Data = str | bytes | list[Any]

def match(pattern: str | CompiledPattern, observations: _Data | Observations, *,
          lenient: bool = False) -> list[Any]:
    """The observed-data objects bound by the first binding, in input order; [] for no match."""

def compile_pattern(pattern: str) -> CompiledPattern: ...
def load_observations(observations: _Data) -> Observations: ...
def load_json(texts: Iterable[str | bytes]) -> Observations:
    """Observations from several JSON texts, text n being input n."""

class PatternError(ValueError):
    kind: str
    message: str

class DataError(ValueError):
    kind: str
    message: str

class MatchError(ValueError):
    kind: str
    message: str

@final
class CompiledPattern:
    @property
    def pattern(self) -> str: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def observations(self) -> int: ...
    def match(self, observations: _Data | Observations, *, lenient: bool = False) -> MatchResult: ...

@final
class Observations:
    def __len__(self) -> int: ...
    @property
    def unresolved_refs(self) -> int: ...

@final
class MatchResult:
    def __bool__(self) -> bool: ...
    @property
    def matched(self) -> bool: ...
    @property
    def observed_data(self) -> list[Any]: ...
    @property
    def observed_data_indices(self) -> list[int]: ...
    @property
    def observed_data_ids(self) -> list[str]: ...
    @property
    def binding(self) -> list[tuple[int, int, int]]: ...
    @property
    def warnings(self) -> list[tuple[str, str]]: ...
    @property
    def steps(self) -> int: ...

@final
class PatternIndex:
    def __init__(self, patterns: Iterable[str | CompiledPattern]) -> None: ...
    def __len__(self) -> int: ...
    def match(self, observations: _Data | Observations
              ) -> tuple[list[tuple[int, MatchResult]], list[tuple[int, str, str]]]: ...

# ---- Strict checks

def strict_findings(pattern: str, *, ignore: Iterable[str] = ()) -> list[Finding]:
    """The strict checks' findings for an accepted pattern, in the order of the text, less
    those whose code is in `ignore`. ValueError for a rejected pattern or an unknown code."""

def strict_check_codes() -> dict[str, str]:
    """Every strict-check code and what it reports, in a new dict."""
