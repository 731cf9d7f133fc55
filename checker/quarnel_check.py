"""Checks STIX patterns with quarnel.

    python3 -m quarnel_check [--tree | --json | --canonical | --inspect | --observables [--csv]]
                             [--quiet] [--jobs N] [--strict [--ignore CODE,...]] [FILE ...]

Each FILE ('-' or none at all: standard input) is either a text file with one pattern per
line (blank lines and lines starting with '#' are skipped) or a STIX 2.x JSON document: a
bundle, a single object or a list of objects. In JSON, every "indicator" whose
"pattern_type" is "stix" or absent is checked; indicators of other pattern types are
counted as skipped. The kind of input is told from its content, not from its name.

Output (stdout):
  default   each rejected pattern as "SOURCE: REPORT", REPORT being the parser's error
            text unchanged, then the summary line;
  --tree    also each accepted pattern as "SOURCE:" and its syntax tree, indented;
  --json    one JSON object per checked pattern and line, with its tree or its error; the
            summary goes to stderr (and so for the four options below);
  --canonical   one JSON object per pattern, with its canonical text or its error (a tree
            that has no canonical text counts as rejected);
  --inspect     one JSON object per pattern, with what it uses or its error;
  --observables one JSON object per comparison of an accepted pattern, and per rejected
            pattern its error record; with --csv, a CSV row per comparison instead, the
            rejections going to stderr;
  --quiet   nothing but problems with the input: the exit status tells the result.
--jobs N checks on N threads (default: every core); the output, its order and the exit
status are the same for every N.
--strict also runs the strict checks (quarnel_tools.strict_findings) on each accepted
pattern: a pattern with a finding counts as rejected and is reported with each finding's
code and message (in JSON records: "ok": false and "findings", a list of {"code",
"message", "start", "end"}; the records of clean patterns carry "findings": []);
--ignore CODE[,CODE] switches codes off.
SOURCE is FILE:LINE for text and FILE:ID (the indicator's id) for JSON.

Exit status: 0 every pattern parsed, 1 at least one was rejected, 2 bad usage or an input
that could not be read (missing, not UTF-8, broken JSON); 2 wins over 1.
"""

import argparse
import functools
import io
import os
import re
import stat
import sys
import warnings

PROGRAM = "quarnel-check"
PROGRESS_EVERY = 10_000
READ_CHUNK = 1 << 16
# The most that one read of a stream adds to a batch of its lines for the engine.
STREAM_CHUNK = 1 << 20
STDIN_NAME = "<stdin>"
JSON_WHITESPACE = b" \t\r\n"
NOT_JSON_WHITESPACE = re.compile(rb"[^ \t\r\n]")
UTF8_BOM = b"\xef\xbb\xbf"
# Patterns handed to the toolkit's engine at once when the checker reads an input itself.
ENGINE_BATCH = 8192
# Reports whose output the engine writes in ASCII: straight to the byte stream.
ASCII_REPORTS = frozenset({"tree", "canonical", "inspection", "observables"})
CSV_HEADER = ("source,observation,object_type,path,operator,negated,constant_types,constants,"
              "qualifiers\r\n")


class InputError(Exception):
    """An input that cannot be read as patterns; the message names the input."""


class Pattern:
    """One pattern to check. `problem` is set when there is nothing parseable (an
    indicator without a string pattern): the pattern then counts as rejected."""

    __slots__ = ("source", "text", "problem")

    def __init__(self, source, text, problem=None):
        self.source = source
        self.text = text
        self.problem = problem


class Skipped:
    """An indicator in another pattern language."""

    __slots__ = ("source", "reason")

    def __init__(self, source, reason):
        self.source = source
        self.reason = reason


# ---------------------------------------------------------------------------------------
# Reading inputs


def read_head(stream):
    """Reads just enough of `stream` to tell JSON from pattern lines.
    Returns the bytes read and whether they start a JSON document."""
    head = b""
    while True:
        chunk = stream.read1(READ_CHUNK) if hasattr(stream, "read1") else stream.read(READ_CHUNK)
        head += chunk
        verdict = starts_json(head)
        if verdict is not None or not chunk:
            return head, bool(verdict)


def starts_json(head):
    """True for '{' or a '[' followed by '{' or ']' (no pattern looks like that), False
    for anything else, None while only whitespace has been seen."""
    text = head.removeprefix(UTF8_BOM).lstrip(JSON_WHITESPACE)
    if not text:
        return None
    if text[:1] == b"{":
        return True
    if text[:1] != b"[":
        return False
    after = text[1:].lstrip(JSON_WHITESPACE)
    return None if not after else after[:1] in (b"{", b"]")


def whole_is_json(data):
    """starts_json() for a whole input, without copying it."""
    first = NOT_JSON_WHITESPACE.search(data, len(UTF8_BOM) if data.startswith(UTF8_BOM) else 0)
    if first is None or data[first.start()] not in b"{[":
        return False
    if data[first.start()] == ord("{"):
        return True
    after = NOT_JSON_WHITESPACE.search(data, first.start() + 1)
    return after is not None and data[after.start()] in b"{]"


def raw_lines(name, head, stream):
    """The lines of `head` followed by the rest of `stream`, without reading it whole."""
    *complete, partial = head.split(b"\n")
    yield from complete
    try:
        rest = stream.readline()
        if partial or rest:
            yield partial + rest
        yield from stream
    except OSError as error:
        raise read_error(name, error) from None


def read_error(name, error):
    return InputError(f"{name}: cannot read: {error.strerror or error}")


def text_patterns(name, lines, first_line=1):
    """Patterns of raw lines, the first of them numbered `first_line`."""
    for number, raw in enumerate(lines, start=first_line):
        line = decode_line(name, number, raw)
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            yield Pattern(f"{name}:{number}", line)


def decode_line(name, number, raw):
    raw = raw.removesuffix(b"\n").removesuffix(b"\r")
    if number == 1:
        raw = raw.removeprefix(UTF8_BOM)
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(
            f"{name}:{number}: not valid UTF-8 (byte 0x{raw[error.start]:02x} at byte "
            f"{error.start + 1} of the line: {error.reason})"
        ) from None


def load_json(name, data):
    import json  # only inputs that the engine hands back get here: start-up stays short
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise InputError(
            f"{name}: not valid UTF-8 (byte offset {error.start}: {error.reason})") from None
    try:
        return json.loads(text)
    except RecursionError:
        raise InputError(f"{name}: invalid JSON: nested too deeply") from None
    except json.JSONDecodeError as error:
        raise InputError(
            f"{name}: invalid JSON: {error.msg} at line {error.lineno} column {error.colno}"
        ) from None
    except ValueError as error:  # e.g. an integer with too many digits
        raise InputError(f"{name}: invalid JSON: {error}") from None


def stix_objects(name, document):
    """The objects of a bundle, of a list, or the single object itself."""
    if isinstance(document, dict) and document.get("type") == "bundle" and "objects" in document:
        objects = document["objects"]
        if not isinstance(objects, list):
            raise InputError(f'{name}: the bundle\'s "objects" is not a list')
        return objects
    if isinstance(document, list):
        return document
    if isinstance(document, dict):
        return [document]
    raise InputError(f"{name}: the JSON document is neither an object nor a list of objects")


def json_patterns(name, document):
    for position, item in enumerate(stix_objects(name, document)):
        if not isinstance(item, dict):
            raise InputError(f"{name}: object #{position} is not a JSON object")
        if item.get("type") == "indicator":
            yield indicator_pattern(name, position, item)


def indicator_pattern(name, position, indicator):
    identifier = indicator.get("id")
    label = identifier if isinstance(identifier, str) else f"objects[{position}]"
    source = f"{name}:{label}"
    if "pattern_type" in indicator and indicator["pattern_type"] != "stix":
        import json
        return Skipped(source, f"pattern_type {json.dumps(indicator['pattern_type'])}")
    if "pattern" not in indicator:
        return Pattern(source, None, 'the indicator has no "pattern"')
    pattern = indicator["pattern"]
    if not isinstance(pattern, str):
        kind = "null" if pattern is None else type(pattern).__name__
        return Pattern(source, pattern, f'the indicator\'s "pattern" is not a string but {kind}')
    return Pattern(source, pattern)


def is_regular_file(stream):
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, AttributeError, io.UnsupportedOperation):
        return False


def read_whole(name, stream):
    """The rest of a regular file, read into one buffer (a file mapped instead could shrink
    under the reader and kill it), and whether it is JSON."""
    try:
        data = stream.read()
    except OSError as error:
        raise read_error(name, error) from None
    return data, whole_is_json(data)


def line_batches(name, head, stream):
    """Whole lines of a stream in batches as they arrive, a batch at most about
    STREAM_CHUNK long plus a line: a pipe is checked as it flows, in bounded memory."""
    end = head.rfind(b"\n") + 1
    if end:
        yield head[:end]
    partial = [head[end:]]
    while True:
        try:
            chunk = stream.read1(STREAM_CHUNK)
        except OSError as error:
            raise read_error(name, error) from None
        end = chunk.rfind(b"\n") + 1 if chunk else len(chunk)
        if chunk and not end:
            partial.append(chunk)
            continue
        partial.append(chunk[:end])
        batch = b"".join(partial)
        partial = [chunk[end:]]
        if batch:
            yield batch
        if not chunk:
            return


def patterns_of(name, stream):
    """Yields a Pattern or Skipped for each entry of one input; raises InputError."""
    try:
        head, is_json = read_head(stream)
        data = head + stream.read() if is_json else b""
    except OSError as error:
        raise read_error(name, error) from None
    if is_json:
        yield from json_patterns(name, load_json(name, data))
    else:
        yield from text_patterns(name, raw_lines(name, head, stream))


def open_input(path):
    if path == "-":
        if sys.stdin is None:
            raise InputError("standard input is closed")
        return STDIN_NAME, sys.stdin.buffer, False
    try:
        return path, open(path, "rb"), True
    except OSError as error:
        raise InputError(f"{path}: cannot open: {error.strerror or error}") from None


# ---------------------------------------------------------------------------------------
# Parsing


class Outcome:
    """`findings` are the strict checks' findings (empty when --strict is off)."""

    __slots__ = ("pattern", "tree", "error", "findings")

    def __init__(self, pattern, tree=None, error=None, findings=()):
        self.pattern = pattern
        self.tree = tree
        self.error = error
        self.findings = findings

    @property
    def rejected(self):
        return self.error is not None or bool(self.findings)


def check(parse, pattern, strict=None):
    """`strict`, when given, returns the findings of an accepted pattern's text."""
    if pattern.problem is not None:
        return Outcome(pattern, error=pattern.problem)
    try:
        tree = parse(pattern.text)
        return Outcome(pattern, tree=tree, findings=strict(pattern.text) if strict else ())
    except UnicodeEncodeError as error:  # a lone surrogate from a JSON \ud800 escape
        return Outcome(pattern, error=f"the pattern is not valid Unicode: {error.reason} at "
                                      f"character {error.start + 1}")
    except ValueError as error:
        return Outcome(pattern, error=str(error))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # a fault inside the module must not end the whole run
        return Outcome(pattern, error=f"internal error in quarnel: {type(error).__name__}: {error}")


# ---------------------------------------------------------------------------------------
# Walking syntax trees. Trees can be deeper than Python's recursion limit (a long chain of
# ANDs nests one level per operand), so both renderings walk with explicit stacks.


class Unconvertible:
    """An attribute the module could not convert, such as a timestamp in year 0."""

    __slots__ = ("message",)

    def __init__(self, message):
        self.message = message


def read(node, attribute):
    try:
        return getattr(node, attribute)
    except (ValueError, OverflowError) as error:
        return Unconvertible(str(error))


class Shape:
    """A node as a class name, scalars shown beside the name, and the fields shown below
    it: each a scalar, a node or a list of nodes."""

    __slots__ = ("name", "inline", "below")

    def __init__(self, name, inline, below):
        self.name = name
        self.inline = inline
        self.below = below


class TreeShapes:
    def __init__(self, module):
        self.module = module
        self.shapers = {
            module.Comparison: self.comparison,
            module.CompositeComparison: self.composite,
            module.CompositePattern: self.composite,
            module.QualifiedPattern: self.qualified,
            module.ObjectPath: self.object_path,
            module.PathComponent: self.path_component,
        }

    def is_node(self, value):
        return type(value) in self.shapers

    def shape(self, node):
        return self.shapers[type(node)](node)

    @staticmethod
    def comparison(node):
        return Shape("Comparison", [("op", node.op.value), ("negated", node.negated)],
                     [("object_path", node.object_path), ("constant", read(node, "constant"))])

    @staticmethod
    def composite(node):
        return Shape(type(node).__name__, [("op", node.op.value)],
                     [("left", node.left), ("right", node.right)])

    @staticmethod
    def qualified(node):
        inline = [(name, read(node, name)) for name in ("repeat", "within", "start", "stop")]
        return Shape("QualifiedPattern", inline, [("pattern", node.pattern)])

    @staticmethod
    def object_path(node):
        return Shape("ObjectPath", [("object_type", node.object_type)],
                     [("property_path", node.property_path)])

    @staticmethod
    def path_component(node):
        return Shape("PathComponent", [("property", node.property), ("index", node.index)], [])


def text_scalar(value):
    if isinstance(value, Unconvertible):
        return f"<cannot convert: {value.message}>"
    return repr(value)


def tree_lines(shapes, root, indent="  "):
    """The tree as indented lines, one node or shown-below scalar per line."""
    stack = [(1, "", root)]
    while stack:
        depth, label, value = stack.pop()
        prefix = indent * depth + label
        if not shapes.is_node(value):
            yield prefix + text_scalar(value)
            continue
        shape = shapes.shape(value)
        yield prefix + " ".join([shape.name] + [f"{k}={text_scalar(v)}" for k, v in shape.inline])
        stack.extend(reversed(list(child_lines(shapes, depth + 1, shape.below))))


def child_lines(shapes, depth, below):
    for name, value in below:
        if isinstance(value, list) and all(shapes.is_node(v) for v in value) and value:
            for position, item in enumerate(value):
                yield depth, f"{name}[{position}]: ", item
        else:
            yield depth, f"{name}: ", value


def dump(value):
    """JSON text of a pattern field as the input held it; a NaN or infinity, which JSON
    cannot hold, is written as its Python text."""
    import json
    try:
        return json.dumps(value, allow_nan=False)
    except ValueError:
        return json.dumps(repr(value))


# ---------------------------------------------------------------------------------------
# Reporting


class Tally:
    def __init__(self):
        self.accepted = 0
        self.rejected = 0
        self.skipped = 0

    @property
    def checked(self):
        return self.accepted + self.rejected

    def summary(self):
        noun = "pattern" if self.checked == 1 else "patterns"
        return (f"checked {self.checked} {noun}: {self.accepted} accepted, "
                f"{self.rejected} rejected, {self.skipped} skipped")


class Progress:
    """A carriage-return counter on a terminal's stderr, shown once inputs get large."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.shown = False

    def tick(self, count):
        if self.enabled and count % PROGRESS_EVERY == 0:
            self.show(count)

    def advance(self, before, after):
        """After a batch: shows the count when it passed a multiple of PROGRESS_EVERY."""
        if self.enabled and after // PROGRESS_EVERY > before // PROGRESS_EVERY:
            self.show(after)

    def show(self, count):
        sys.stdout.flush()
        sys.stderr.write(f"\rchecked {count:,} patterns ...")
        sys.stderr.flush()
        self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


class TreeReport:
    """--tree: each rejection (with its strict findings under --strict), and each accepted
    pattern with its tree walked in Python."""

    def __init__(self, shapes, progress):
        self.shapes = shapes
        self.progress = progress

    def outcome(self, result):
        if result.error is not None:
            self.write(f"{result.pattern.source}: {result.error}")
        elif result.findings:
            lines = [f"  {finding.code}: {finding.message}" for finding in result.findings]
            self.write("\n".join([f"{result.pattern.source}: strict checks failed:", *lines]))
        else:
            lines = tree_lines(self.shapes, result.tree)
            self.write("\n".join([f"{result.pattern.source}:", *lines]))

    def write(self, block):
        self.progress.clear()
        sys.stdout.write(block + "\n\n")

    def summary(self, tally):
        self.progress.clear()
        sys.stdout.write(tally.summary() + "\n")


def direct_output(report_name):
    """The file descriptor of stdout when the engine may write its bytes there itself (they
    are ASCII, or stdout takes UTF-8), else None."""
    encoding = (getattr(sys.stdout, "encoding", None) or "").lower().replace("_", "-")
    if report_name not in ASCII_REPORTS and encoding not in ("utf-8", "utf8"):
        return None
    try:
        return sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return None


class EngineReport:
    """Writes what the toolkit's engine rendered for a batch of patterns."""

    def __init__(self, name, quiet, progress):
        self.name = name
        self.quiet = quiet
        self.progress = progress
        self.out_fd = None if quiet else direct_output(name)

    def prepare(self):
        """Before the engine writes to stdout itself: what went before goes out first."""
        if self.out_fd is not None:
            self.progress.clear()
            sys.stdout.flush()

    def start(self):
        if self.name == "observables-csv" and not self.quiet:
            sys.stdout.write(CSV_HEADER)

    def batch(self, rendered, tally):
        out, err, accepted, rejected, skipped = rendered
        before = tally.checked
        tally.accepted += accepted
        tally.rejected += rejected
        tally.skipped += skipped
        if not self.quiet and (out or err):
            self.progress.clear()
            if self.name in ASCII_REPORTS:
                sys.stdout.flush()
                sys.stdout.buffer.write(out)
            else:
                sys.stdout.write(out.decode("utf-8", "replace"))
            if err:
                sys.stdout.flush()
                sys.stderr.write(err)
        self.progress.advance(before, tally.checked)

    def summary(self, tally):
        self.progress.clear()
        if self.quiet:
            return
        if self.name == "rejections":
            sys.stdout.write(tally.summary() + "\n")
        else:
            sys.stdout.flush()
            sys.stderr.write(tally.summary() + "\n")


# ---------------------------------------------------------------------------------------
# Command line


class HelpFormatter(argparse.HelpFormatter):
    """argparse's own, without importing shutil (and the compression modules it brings) at
    every start: only help text needs the terminal's width."""

    def __init__(self, prog, width=None, **options):
        if width is None:
            try:
                width = int(os.environ["COLUMNS"])
            except (KeyError, ValueError):
                try:
                    width = os.get_terminal_size(sys.stdout.fileno()).columns
                except (AttributeError, OSError, ValueError):
                    width = 80
            width -= 2
        super().__init__(prog, width=width, **options)


def argument_parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, formatter_class=HelpFormatter,
        description="Check STIX patterns: one per line in text files, or the indicators of "
                    "STIX 2.x JSON bundles. Exit status: 0 all accepted, 1 some rejected, "
                    "2 bad usage or unreadable input.")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="pattern file or JSON bundle; '-' or none reads standard input")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--tree", action="store_true",
                        help="also print the syntax tree of each accepted pattern")
    output.add_argument("--json", action="store_true",
                        help="write one JSON record per pattern, with its tree, to stdout "
                             "(summary to stderr)")
    output.add_argument("--canonical", action="store_true",
                        help="write one JSON record per pattern with its canonical text")
    output.add_argument("--inspect", action="store_true",
                        help="write one JSON record per pattern with what it uses")
    output.add_argument("--observables", action="store_true",
                        help="write one JSON record per comparison (with --csv: a CSV row)")
    parser.add_argument("--csv", action="store_true", help="with --observables: CSV rows")
    parser.add_argument("--jobs", "-j", type=positive_count, default=core_count(), metavar="N",
                        help="threads to check on (default: every core, here %(default)s)")
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="print nothing but input problems; only the exit status tells")
    parser.add_argument("--strict", action="store_true",
                        help="also apply the strict checks; a pattern with a finding counts "
                             "as rejected")
    parser.add_argument("--ignore", action="append", default=[], metavar="CODE[,CODE]",
                        help="with --strict: switch these finding codes off (repeatable)")
    return parser


def positive_count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 1024:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to 1024, not {text!r}")
    return value


def core_count():
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def import_module(name):
    try:
        with warnings.catch_warnings():
            # A free-threaded interpreter warns that quarnel turns its GIL on; this use of
            # the module's tree classes loses nothing by it.
            warnings.filterwarnings("ignore", message="The global interpreter lock",
                                    category=RuntimeWarning)
            return __import__(name)
    except ImportError as error:
        raise InputError(f"cannot import the {name} module ({error}); build it with "
                         "scripts/build-module.sh or install it with pip") from None


def ignored_codes(values):
    return [code.strip() for value in values for code in value.split(",") if code.strip()]


class UsageError(Exception):
    """A command line that asks for something impossible; exit status 2."""


def strict_codes(args):
    """None without --strict, else the codes that --ignore switches off."""
    if not args.strict:
        return None
    known = import_module("quarnel_tools").strict_check_codes()
    codes = ignored_codes(args.ignore)
    unknown = [code for code in codes if code not in known]
    if unknown:
        raise UsageError(f"--ignore: unknown code {unknown[0]!r}; the codes are "
                         + ", ".join(known))
    return codes


def engine_report_name(args):
    if args.observables:
        return "observables-csv" if args.csv else "observables"
    for option, name in (("json", "tree"), ("canonical", "canonical"), ("inspect", "inspection")):
        if getattr(args, option):
            return name
    return "rejections"


def run(args):
    """Checks every input; returns the exit status."""
    progress = Progress(enabled=not args.quiet and sys.stderr.isatty())
    tally = Tally()
    strict = strict_codes(args)
    if args.tree:
        module = import_module("quarnel")
        findings = None if strict is None else functools.partial(
            import_module("quarnel_tools").strict_findings, ignore=strict)
        check_one = functools.partial(check, module.parse, strict=findings)
        report = TreeReport(TreeShapes(module), progress)
        check_path = functools.partial(check_input, check_one, report=report)
    else:
        report = EngineReport(engine_report_name(args), args.quiet, progress)
        report.start()
        engine = Engine(import_module("quarnel_tools"), report, args.jobs, strict)
        check_path = functools.partial(check_with_engine, engine)
    unreadable = False
    for path in args.files or ["-"]:
        try:
            check_path(path, tally=tally, progress=progress)
        except InputError as error:
            progress.clear()
            sys.stdout.flush()
            complain(str(error))
            unreadable = True
    report.summary(tally)
    return 2 if unreadable else (1 if tally.rejected else 0)


def check_input(check_one, path, report, tally, progress):
    name, stream, owned = open_input(path)
    try:
        for entry in patterns_of(name, stream):
            if isinstance(entry, Skipped):
                tally.skipped += 1
                continue
            result = check_one(entry)
            if result.rejected:
                tally.rejected += 1
            else:
                tally.accepted += 1
            report.outcome(result)
            progress.tick(tally.checked)
    finally:
        if owned:
            stream.close()


class Engine:
    """The toolkit's engine with the checker's report, job count and strict checks."""

    def __init__(self, tools, report, jobs, strict):
        self.tools = tools
        self.report = report
        self.jobs = jobs
        self.strict = strict

    def document(self, data, name, kind, first_line=1):
        self.report.prepare()
        return self.tools.check_document(data, name, kind, self.report.name, self.jobs,
                                         strict=self.strict, first_line=first_line,
                                         out_fd=self.report.out_fd)

    def file(self, stream, name):
        """A regular file read by the engine's threads, or None when the checker must read it."""
        self.report.prepare()
        return self.tools.check_file(stream.fileno(), stream.tell(), name, self.report.name,
                                     self.jobs, strict=self.strict, out_fd=self.report.out_fd)

    def entries(self, patterns, tally):
        """Hands the engine the checker's own reading of an input, in batches."""
        batch = []
        try:
            for entry in patterns:
                if isinstance(entry, Skipped):
                    tally.skipped += 1
                else:
                    batch.append(engine_entry(entry))
                if len(batch) == ENGINE_BATCH:
                    self.report.batch(self.checked_entries(batch), tally)
                    batch = []
        finally:
            if batch:
                self.report.batch(self.checked_entries(batch), tally)

    def checked_entries(self, batch):
        self.report.prepare()
        return self.tools.check_entries(batch, self.report.name, self.jobs, strict=self.strict,
                                        out_fd=self.report.out_fd)


def check_with_engine(engine, path, tally, progress):
    """A regular file goes to the toolkit's engine whole (the engine reads it), a stream of
    lines in batches as it flows; when an input holds anything out of the ordinary, the
    checker reads it itself (and reports exactly what is wrong) and hands the engine the
    patterns."""
    name, stream, owned = open_input(path)
    try:
        if is_regular_file(stream):
            rendered = engine.file(stream, name)
            if rendered is not None:
                engine.report.batch(rendered, tally)
                return
            data, is_json = read_whole(name, stream)
        else:
            try:
                head, is_json = read_head(stream)
            except OSError as error:
                raise read_error(name, error) from None
            if not is_json:
                check_line_stream(engine, name, head, stream, tally)
                return
            try:
                data = head + stream.read()
            except OSError as error:
                raise read_error(name, error) from None
    finally:
        if owned:
            stream.close()
    rendered = engine.document(data, name, "json" if is_json else "text")
    if rendered is not None:
        engine.report.batch(rendered, tally)
    else:
        engine.entries(patterns_of(name, io.BytesIO(data)), tally)


def check_line_stream(engine, name, head, stream, tally):
    first_line = 1
    for batch in line_batches(name, head, stream):
        rendered = engine.document(batch, name, "text", first_line)
        if rendered is not None:
            engine.report.batch(rendered, tally)
        else:
            engine.entries(text_patterns(name, batch.splitlines(keepends=True), first_line), tally)
        first_line += batch.count(b"\n")
        sys.stdout.flush()  # a reader at the other end of a pipe sees each batch at once


def engine_entry(pattern):
    """(source, text, problem, pattern_json) for check_entries; text that cannot be UTF-8
    (a lone surrogate from a JSON \\ud800 escape) becomes a problem."""
    source = pattern.source.encode("utf-8", "backslashreplace").decode("utf-8")
    if pattern.problem is not None:
        return source, None, pattern.problem, dump(pattern.text)
    try:
        pattern.text.encode("utf-8")
    except UnicodeEncodeError as error:
        problem = (f"the pattern is not valid Unicode: {error.reason} at character "
                   f"{error.start + 1}")
        return source, None, problem, dump(pattern.text)
    return source, pattern.text, None, None


def complain(message):
    sys.stderr.write(f"{PROGRAM}: {message}\n")


def main(argv=None):
    args = argument_parser().parse_args(argv)
    if args.quiet and engine_report_name(args) != "rejections" or args.quiet and args.tree:
        argument_parser().error("--quiet cannot be combined with an output option "
                                "(--tree, --json, --canonical, --inspect, --observables)")
    if args.csv and not args.observables:
        argument_parser().error("--csv goes with --observables")
    if args.ignore and not args.strict:
        argument_parser().error("--ignore needs --strict")
    # Sources and patterns from JSON may hold lone surrogates; never die printing them.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        status = run(args)
        sys.stdout.flush()
        return status
    except UsageError as error:
        argument_parser().error(str(error))
    except InputError as error:
        complain(str(error))
        return 2
    except KeyboardInterrupt:
        complain("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and point stdout at
        # /dev/null so the flush at exit does not fail a second time.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
