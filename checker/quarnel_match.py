"""Matches STIX patterns against observed data with quarnel_tools.

    python3 -m quarnel_match [--json] [--lenient] [--index] [--quiet] PATTERNS DATA [DATA ...]

PATTERNS ('-': standard input) is a text file with one pattern per line (blank lines and
lines starting with '#' are skipped) or a STIX JSON document whose "indicator" objects
hold the patterns, as for quarnel-check. Each DATA file is a JSON document of observed data
(an observed-data object, a bundle, or a list of them with the objects they refer to); all
DATA files together form one set of observations, file n being input n.

Output (stdout):
  default   one line per pattern: "SOURCE: MATCH id, id, ...", "SOURCE: NO MATCH", or
            "SOURCE: ERROR message" for a pattern that does not parse or compile or whose
            match fails (search budget, value errors); then a summary line;
  --json    one JSON object per pattern and line: source, pattern, matched, observed_data
            (the bound observed-data ids, "" for records without one) and error when there
            is one; the summary goes to stderr;
  --quiet   nothing but problems with the input: the exit status tells the result.
--lenient drops values that cannot be compared (such as non-timestamps compared with a
timestamp) instead of failing the pattern; --index matches all patterns at once through
the pattern index (lenient), which is much faster for thousands of patterns.

Exit status: 0 every pattern matched, 1 at least one did not (or failed), 2 bad usage, an
input that could not be read, or observed data that does not load; 2 wins over 1.
"""

import argparse
import os
import sys

import quarnel_check
from quarnel_check import InputError, Pattern, Skipped, dump, open_input, patterns_of

PROGRAM = "quarnel-match"
PROGRESS_EVERY = 1_000


class Outcome:
    __slots__ = ("pattern", "ids", "error")

    def __init__(self, pattern, ids=None, error=None):
        self.pattern = pattern
        self.ids = ids      # None: no match
        self.error = error


class Tally:
    def __init__(self):
        self.matched = 0
        self.unmatched = 0
        self.failed = 0
        self.skipped = 0

    def count(self, outcome):
        if outcome.error is not None:
            self.failed += 1
        elif outcome.ids is None:
            self.unmatched += 1
        else:
            self.matched += 1

    def total(self):
        return self.matched + self.unmatched + self.failed

    def summary(self):
        text = (f"matched {self.matched} of {self.total()} patterns: {self.unmatched} no match, "
                f"{self.failed} failed")
        return text + (f", {self.skipped} skipped" if self.skipped else "")


class Progress(quarnel_check.Progress):
    def tick(self, count):
        if self.enabled and count % PROGRESS_EVERY == 0:
            sys.stdout.flush()
            sys.stderr.write(f"\rmatched {count:,} patterns ...")
            sys.stderr.flush()
            self.shown = True


class TextReport:
    def __init__(self, progress):
        self.progress = progress

    def outcome(self, outcome):
        source = outcome.pattern.source
        if outcome.error is not None:
            line = f"{source}: ERROR {outcome.error}"
        elif outcome.ids is None:
            line = f"{source}: NO MATCH"
        else:
            line = f"{source}: MATCH " + ", ".join(i or "(no id)" for i in outcome.ids)
        self.progress.clear()
        sys.stdout.write(line + "\n")

    def summary(self, tally):
        self.progress.clear()
        sys.stdout.write(tally.summary() + "\n")


class JsonReport:
    def __init__(self, progress):
        self.progress = progress

    def outcome(self, outcome):
        pattern = outcome.pattern
        record = {"source": pattern.source, "pattern": pattern.text, "matched": outcome.ids is not None,
                  "observed_data": outcome.ids or []}
        if outcome.error is not None:
            record["error"] = outcome.error
        self.progress.clear()
        sys.stdout.write(dump(record) + "\n")

    def summary(self, tally):
        self.progress.clear()
        sys.stdout.flush()
        sys.stderr.write(tally.summary() + "\n")


class QuietReport:
    def outcome(self, outcome):
        pass

    def summary(self, tally):
        pass


def argument_parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Matches STIX patterns against observed data.",
        epilog="Exit status: 0 every pattern matched, 1 some did not, 2 bad usage or input.")
    parser.add_argument("patterns", metavar="PATTERNS", help="patterns: text, one a line, or STIX JSON")
    parser.add_argument("data", metavar="DATA", nargs="+", help="observed data: STIX JSON files")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="one JSON record per pattern")
    output.add_argument("--quiet", action="store_true", help="print nothing; see the exit status")
    parser.add_argument("--lenient", action="store_true", help="drop incomparable values instead of failing")
    parser.add_argument("--index", action="store_true", help="match all patterns at once (lenient)")
    return parser


def import_module():
    try:
        import quarnel_tools
    except ImportError as error:
        raise InputError(f"cannot import the quarnel_tools module ({error}); build it with "
                         "scripts/build-module.sh or install it with pip") from None
    return quarnel_tools


def read_data(paths):
    texts = []
    for path in paths:
        name, stream, owned = open_input(path)
        try:
            texts.append(stream.read())
        except OSError as error:
            raise InputError(f"{name}: cannot read: {error.strerror or error}") from None
        finally:
            if owned:
                stream.close()
    return texts


def load_data(tools, paths):
    try:
        return tools.load_json(read_data(paths))
    except tools.DataError as error:
        # "input N" names the N-th DATA file.
        message = error.message
        if message.startswith("input "):
            number, _, rest = message[len("input "):].partition(":")
            if number.isdigit() and int(number) < len(paths):
                message = f"{paths[int(number)]}:{rest}"
        raise InputError(f"{message} ({error.kind})") from None


def read_patterns(path):
    name, stream, owned = open_input(path)
    try:
        return list(patterns_of(name, stream))
    finally:
        if owned:
            stream.close()


def one_match(tools, observations, pattern, lenient):
    if pattern.problem is not None:
        return Outcome(pattern, error=pattern.problem)
    try:
        result = tools.compile_pattern(pattern.text).match(observations, lenient=lenient)
    except UnicodeEncodeError as error:
        return Outcome(pattern, error=f"the pattern is not valid Unicode: {error.reason}")
    except (tools.PatternError, tools.MatchError) as error:
        return Outcome(pattern, error=f"{error.kind}: {error.message}")
    except ValueError as error:
        return Outcome(pattern, error=str(error).replace("\n", " ").strip())
    return Outcome(pattern, ids=result.observed_data_ids if result.matched else None)


def indexed_matches(tools, observations, patterns):
    """All patterns through the index; the outcomes in pattern order."""
    compiled, outcomes = [], {}
    for number, pattern in enumerate(patterns):
        outcome = one_match(tools, None, pattern, True) if pattern.problem is not None else None
        if outcome is None:
            try:
                compiled.append((number, tools.compile_pattern(pattern.text)))
                continue
            except UnicodeEncodeError as error:
                outcome = Outcome(pattern, error=f"the pattern is not valid Unicode: {error.reason}")
            except tools.PatternError as error:
                outcome = Outcome(pattern, error=f"{error.kind}: {error.message}")
            except ValueError as error:
                outcome = Outcome(pattern, error=str(error).replace("\n", " ").strip())
        outcomes[number] = outcome
    index = tools.PatternIndex([c for _, c in compiled])
    hits, failures = index.match(observations)
    for position, result in hits:
        number = compiled[position][0]
        outcomes[number] = Outcome(patterns[number], ids=result.observed_data_ids)
    for position, kind, message in failures:
        number = compiled[position][0]
        outcomes[number] = Outcome(patterns[number], error=f"{kind}: {message}")
    for number, pattern in enumerate(patterns):
        yield outcomes.get(number) or Outcome(pattern)


def run(args):
    tools = import_module()
    entries = read_patterns(args.patterns)
    observations = load_data(tools, args.data)
    progress = Progress(sys.stderr.isatty() and not args.quiet)
    report = QuietReport() if args.quiet else JsonReport(progress) if args.json else TextReport(progress)
    tally = Tally()
    patterns = []
    for entry in entries:
        if isinstance(entry, Skipped):
            tally.skipped += 1
        else:
            patterns.append(entry)
    if args.index:
        outcomes = indexed_matches(tools, observations, patterns)
    else:
        outcomes = (one_match(tools, observations, p, args.lenient) for p in patterns)
    for count, outcome in enumerate(outcomes, start=1):
        tally.count(outcome)
        report.outcome(outcome)
        progress.tick(count)
    report.summary(tally)
    return 0 if tally.matched == tally.total() else 1


def complain(message):
    sys.stderr.write(f"{PROGRAM}: {message}\n")


def main(argv=None):
    args = argument_parser().parse_args(argv)
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        status = run(args)
        sys.stdout.flush()
        return status
    except InputError as error:
        complain(str(error))
        return 2
    except KeyboardInterrupt:
        complain("interrupted")
        return 130
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
