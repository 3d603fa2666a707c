"""Command line: batch extraction, rules checking and rule debugging.

    ostrel-extract extract RULES INPUT... [-o OUT] [--format jsonl|csv]
                           [--jobs N] [--no-dedup] [--errors FILE]
    ostrel-extract check RULES
    ostrel-extract try RULES PAGE
    ostrel-extract RULES INPUT...          (the same as "extract")

(``python -m ostrel.crawler.field_extractor`` is the same program.)

``extract`` reads pages from HTML files, directories, JSON-lines files and
WARC files and writes one JSON line per page, ``{"page": ID, "rows": [...]}``
(or CSV rows), in input order and as soon as each page is done. A page that
fails is reported (on stderr, or as JSON lines in the ``--errors`` file) and
the others go on.

Exit status: 0 when every page was extracted (``check``: the rules are
clean), 1 when at least one page failed (``check``: problems were found),
2 when the rules file could not be loaded or the arguments were wrong.
``extract`` stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP writes the pages
done so far, whole, then the summary, and exits with 128 + the signal
number (130, 143, 129).
"""

import argparse
import os
import signal
import sys

from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.pool import WorkersFailing, run
from ostrel.crawler.field_extractor.sources import InputStats, decode_page, describe, iter_tasks  # noqa: F401 (decode_page is public here)
from ostrel.crawler.field_extractor.writers import CsvWriter, ErrorWriter, JsonLinesWriter, Output, Progress

EXIT_OK = 0
EXIT_PAGE_FAILED = 1
EXIT_BAD_RULES = 2

COMMANDS = ("extract", "check", "try")


def _describe(exc):
    """One line: the exception's type and message."""
    message = describe(exc)
    name = type(exc).__name__
    return f"{name}: {message}" if message else name


def _program_name():
    if os.path.basename(sys.argv[0]) == "__main__.py":
        return "python -m ostrel.crawler.field_extractor"
    return "ostrel-extract"


def _default_jobs():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a number of seconds above 0")
    return value


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


# -- Argument parsers -------------------------------------------------------

EXIT_TEXT = (
    "Exit status: 0 all pages extracted, 1 some page failed, "
    "2 the rules file could not be loaded or the arguments were "
    "wrong."
)


def _top_parser(prog):
    parser = argparse.ArgumentParser(
        prog=prog,
        usage=f"{prog} {{extract,check,try}} ...\n       {prog} RULES PAGE...",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Extract fields from crawled web pages with one rules file.\n\n"
            "commands:\n"
            "  extract RULES INPUT...  extract every page of the inputs (HTML files,\n"
            "                          directories, JSON-lines and WARC files)\n"
            "  check RULES             find the mistakes of a rules file before a crawl\n"
            "  try RULES PAGE          show what every rule yields on one page\n\n"
            f"  {prog} RULES PAGE...\n"
            "                          short for: extract RULES PAGE...\n\n"
            f"Run '{prog} COMMAND --help' for the options of a command."
        ),
        epilog=EXIT_TEXT,
    )
    parser.add_argument("command", metavar="COMMAND", choices=COMMANDS, help="extract, check or try")
    return parser


def _extract_parser(prog):
    parser = argparse.ArgumentParser(
        prog=f"{prog} extract",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Extract the fields of every page of the inputs with one rules "
            "file.\n\n"
            'Output: one JSON line per page, {"page": ID, "rows": [ROW, ...]},\n'
            "where ID is the file path (or the page URL) and each ROW maps field\n"
            "keys to values; or, with --format csv, one CSV line per row. Pages\n"
            "are written in input order as soon as they are done.\n\n"
            "A page that fails (or takes longer than --timeout) is reported\n"
            "and the other pages go on: on stderr\n"
            "as 'PROGRAM: ID: TYPE: MESSAGE', or with --errors FILE as JSON lines\n"
            '{"page": ID, "error": TYPE, "message": TEXT}. A progress bar is\n'
            "shown on stderr when it is a terminal; a one-line summary always."
        ),
        epilog=(
            "Inputs: a directory is walked recursively (in name order) for\n"
            "*.html, *.htm, *.xhtml, *.shtml, *.jsonl, *.ndjson, *.jl (also\n"
            "gzipped: *.jsonl.gz ...), *.warc and *.warc.gz files. A JSON-lines\n"
            'file holds one page per line, {"url": URL, "html": TEXT}. Of a\n'
            "WARC file the 2xx responses of type text/html or\n"
            "application/xhtml+xml are extracted, decoded by their HTTP\n"
            "charset, then their markup charset; other records are counted as\n"
            "skipped. Any other file is one saved HTML page, read as UTF-8 (a\n"
            "BOM is allowed) or, when it is not valid UTF-8, by the charset\n"
            "that it declares.\n\n" + EXIT_TEXT
        ),
    )
    parser.add_argument("rules", metavar="RULES", help="rules file (.json for JSON, any other name for YAML)")
    parser.add_argument(
        "inputs", metavar="INPUT", nargs="+", help="HTML page (PAGE), directory, JSON-lines or WARC file"
    )
    parser.add_argument("-o", "--output", metavar="OUT", help="write the output to this file instead of stdout")
    parser.add_argument(
        "--format",
        choices=("jsonl", "csv"),
        default="jsonl",
        help="jsonl: one JSON line per page (default); csv: one line per "
        "row, columns 'page' then every field key of the rules file "
        "in the order that the rule entries name them",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=_positive,
        default=None,
        metavar="N",
        help="worker processes, each with its own extractor (default: the "
        f"number of CPUs, {_default_jobs()} here); 1 extracts in this "
        "process (in one worker process with --timeout)",
    )
    parser.add_argument(
        "--no-dedup",
        dest="de_dup",
        action="store_false",
        help="keep rows that are exact duplicates of an earlier row of the same page",
    )
    parser.add_argument(
        "--errors", metavar="FILE", help="write failed pages to this file as JSON lines instead of to stderr"
    )
    parser.add_argument(
        "--chunk-size",
        type=_positive,
        default=None,
        metavar="PAGES",
        help="pages handed to a worker at once (default: as many as take "
        "about 50 ms, judged from the pages done so far)",
    )
    parser.add_argument(
        "--timeout",
        type=_seconds,
        default=None,
        metavar="SECONDS",
        help="most time one page may take (default: no limit); a page that "
        "takes longer is reported as failed with the error Timeout, and its "
        "worker process is replaced. Pages then always run in worker "
        "processes, also with --jobs 1",
    )
    return parser


def _check_parser(prog):
    return _simple_parser(
        f"{prog} check",
        "Load a rules file and report every problem that would make "
        "extraction fail or misbehave: unknown rule kinds, attr rules "
        "without an attribute name, XPaths that do not compile, list rules "
        "without a row position, filter, alias and not_empty_fields "
        "sections of the wrong shape, and keys they name that no rule entry "
        "produces. Each problem is one line naming the rule entry (from 0) "
        "and the field key.",
        "Exit status: 0 no problem found (warnings alone included), 1 "
        "problems found, 2 the rules file could not be read.",
    )


def _try_parser(prog):
    parser = _simple_parser(
        f"{prog} try",
        "Show, for one page, what each field of each rule entry yields "
        "before matching, which rule entries are dropped because a field "
        "found nothing, and the final rows.",
        "Exit status: 0 the page was extracted, 1 its extraction failed, 2 the rules file could not be loaded.",
    )
    parser.add_argument("page", metavar="PAGE", help="saved HTML page")
    parser.add_argument("--no-dedup", dest="de_dup", action="store_false", help="keep exact duplicate rows")
    return parser


def _simple_parser(prog, description, epilog):
    parser = argparse.ArgumentParser(prog=prog, description=description, epilog=epilog)
    parser.add_argument("rules", metavar="RULES", help="rules file (.json for JSON, any other name for YAML)")
    return parser


# -- Commands ---------------------------------------------------------------


class Stopped(KeyboardInterrupt):
    """The run was stopped by a signal (SIGINT, SIGTERM or SIGHUP)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class _StopSignals:
    """SIGINT, SIGTERM and SIGHUP stop an extraction alike: the first one
    raises Stopped in the main thread, except while the pages done are
    being written (then it is raised once they are), so that the output
    always ends with a whole page; later ones are ignored while the run
    winds down. The previous handlers come back on exit."""

    SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))

    def __init__(self):
        self.saved = {}
        self.signum = None  # the first signal received
        self.holding = False

    def __enter__(self):
        try:
            for signum in self.SIGNALS:
                self.saved[signum] = signal.signal(signum, self._handle)
        except ValueError:  # not the main thread: signals stay as they are
            pass
        return self

    def __exit__(self, *exc_info):
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)

    def _handle(self, signum, frame):
        if self.signum is not None:
            return
        self.signum = signum
        if not self.holding:
            raise Stopped(signum)

    def hold(self):
        self.holding = True

    def release(self):
        self.holding = False
        if self.signum is not None:
            raise Stopped(self.signum)


def _load_extractor(prog, rules):
    try:
        return FieldExtractor(rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {rules}: {_describe(exc)}", file=sys.stderr)
        return None


def _stop_on_broken_pipe():
    # The reader went away (e.g. "| head"): stop quietly, and keep the
    # interpreter's final flush of stdout from failing again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def command_extract(args, prog):
    extractor = _load_extractor(prog, args.rules)
    if extractor is None:
        return EXIT_BAD_RULES
    jobs = args.jobs or _default_jobs()
    output = errors = None
    try:
        output = Output(args.output)
        errors = ErrorWriter(args.errors, prog)
    except OSError as exc:
        if output is not None:
            output.close()
        print(f"{prog}: {_describe(exc)}", file=sys.stderr)
        return EXIT_BAD_RULES
    writer = (CsvWriter if args.format == "csv" else JsonLinesWriter)(output, extractor)
    stats = InputStats()
    progress = errors.progress = Progress()
    results = run(
        args.rules,
        iter_tasks(args.inputs, stats),
        jobs=jobs,
        de_dup=args.de_dup,
        chunk_pages=args.chunk_size,
        extractor=extractor,
        timeout=args.timeout,
    )
    with _StopSignals() as stop:
        return _write_results(prog, results, writer, output, errors, progress, stats, stop)


def _write_results(prog, results, writer, output, errors, progress, stats, stop):
    try:
        for records in results:
            stop.hold()
            for record in records:
                if "error" in record:
                    errors.page(record)
                else:
                    writer.page(record)
            output.flush()
            errors.flush()
            progress.add(records)
            stop.release()
        stop.hold()  # done: a signal now changes nothing
    except BrokenPipeError:
        results.close()
        _stop_on_broken_pipe()
        return EXIT_PAGE_FAILED
    except KeyboardInterrupt as exc:
        # A Ctrl-C just before the handlers were in place is a plain
        # KeyboardInterrupt.
        signum = exc.signum if isinstance(exc, Stopped) else signal.SIGINT
        stop.signum = signum  # more signals cannot cut the winding down
        results.close()
        progress.close(prog, stats, interrupted=signal.Signals(signum).name)
        return 128 + signum
    except WorkersFailing as exc:
        progress.close(prog, stats)
        print(f"{prog}: stopped: {exc}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    except OSError as exc:  # the output cannot be written (disk full...)
        results.close()
        progress.close(prog, stats)
        print(f"{prog}: stopped: cannot write the output: {_describe(exc)}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    finally:
        errors.close()
        try:
            output.close()
        except OSError:  # already reported above
            pass
    progress.close(prog, stats)
    return EXIT_PAGE_FAILED if progress.errors else EXIT_OK


def command_check(args, prog):
    from ostrel.crawler.field_extractor.rules_check import check_file, summarize

    try:
        problems = check_file(args.rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {args.rules}: {_describe(exc)}", file=sys.stderr)
        return EXIT_BAD_RULES
    for problem in problems:
        print(f"{args.rules}: {problem}")
    summary, failed = summarize(problems)
    print(f"{args.rules}: {summary}", file=sys.stderr)
    return EXIT_PAGE_FAILED if failed else EXIT_OK


def command_try(args, prog):
    from ostrel.crawler.field_extractor.explain import explain_page

    extractor = _load_extractor(prog, args.rules)
    if extractor is None:
        return EXIT_BAD_RULES
    try:
        with open(args.page, "rb") as stream:
            text = decode_page(stream.read())
    except OSError as exc:
        print(f"{prog}: {args.page}: {_describe(exc)}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    report, ok = explain_page(extractor, text, de_dup=args.de_dup)
    out = Output(None)
    out.write(report)
    out.flush()
    return EXIT_OK if ok else EXIT_PAGE_FAILED


def main(argv=None):
    """Run the command line; return the exit status."""
    prog = _program_name()
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if not argv or argv[0] in ("-h", "--help"):
            _top_parser(prog).parse_args(argv)  # prints help or usage, exits
        command = argv[0] if argv[0] in COMMANDS else "extract"
        if argv[0] in COMMANDS:
            argv = argv[1:]
        parser = {"extract": _extract_parser, "check": _check_parser, "try": _try_parser}[command](prog)
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_BAD_RULES
    handler = {"extract": command_extract, "check": command_check, "try": command_try}[command]
    return handler(args, prog)


if __name__ == "__main__":
    sys.exit(main())
