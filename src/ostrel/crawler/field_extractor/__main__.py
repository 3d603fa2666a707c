"""Command line: batch extraction, rules checking and rule debugging.

    ostrel-extract extract RULES INPUT... [-o OUT] [--format jsonl|csv]
                           [--jobs N] [--no-dedup] [--errors FILE]
                           [--resume] [-q | -v]
                           [--include GLOB] [--input-format FORMAT]
                           [--html-key KEY] [--url-key KEY]
    ostrel-extract check RULES
    ostrel-extract try RULES PAGE [--page URL|ID]
    ostrel-extract RULES INPUT...          (the same as "extract")
    ostrel-extract --version

(``python -m ostrel.crawler.field_extractor`` is the same program.)

``extract`` reads pages from HTML files, directories, JSON-lines files,
WARC files and standard input (``-``) and writes one JSON line per page,
``{"page": ID, "rows": [...]}`` (or CSV rows; the format and gzip
compression follow the output's name), in input order and as soon as each
page is done. A page that fails is reported (on stderr, or as JSON lines in
the ``--errors`` file) and the others go on.

Exit status: 0 when every page was extracted (``check``: the rules are
clean), 1 when at least one page failed (``check``: problems were found),
2 when the rules file could not be loaded or the arguments were wrong. A
reader of stdout that goes away (``| head``) ends ``extract`` quietly, with 0
unless a page failed before. ``extract`` stopped by SIGINT (Ctrl-C), SIGTERM
or SIGHUP writes the pages done so far, whole, then the summary, and exits
with 128 + the signal number (130, 143, 129).
"""

import argparse
import os
import signal
import sys
import warnings

# The extractor and the pool are imported where they are used, inside main():
# importing the native modules runs the page-tree gate (see main()).
from ostrel.crawler.field_extractor.sources import (  # noqa: F401 (decode_page is public here)
    DEFAULT_INCLUDE,
    INPUT_FORMATS,
    InputError,
    InputStats,
    JsonLine,
    decode_page,
    describe,
    input_size,
    input_tasks,
    iter_tasks,
)
from ostrel.crawler.field_extractor.writers import (
    STDIO,
    CsvWriter,
    ErrorWriter,
    JsonLinesWriter,
    Output,
    Progress,
    ResumeError,
    csv_header,
    is_empty_file,
    output_format,
    plural,
    resume_file,
    same_destinations,
)

EXIT_OK = 0
EXIT_PAGE_FAILED = 1
EXIT_BAD_RULES = 2

COMMANDS = ("extract", "check", "try")
DISTRIBUTION = "ostrel-field-extractor"


class UsageError(Exception):
    """Wrong arguments found after parsing: reported with the usage, exit 2."""


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
    "wrong. A reader of stdout that goes away (| head) stops extract "
    "quietly, with 0 unless a page failed before."
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
            "                          directories, JSON-lines and WARC files, - for\n"
            "                          standard input)\n"
            "  check RULES             find the mistakes of a rules file before a crawl\n"
            "  try RULES PAGE          show what every rule yields on one page\n\n"
            f"  {prog} RULES PAGE...\n"
            "                          short for: extract RULES PAGE...\n\n"
            f"Run '{prog} COMMAND --help' for the options of a command."
        ),
        epilog=EXIT_TEXT,
    )
    parser.add_argument("command", metavar="COMMAND", choices=COMMANDS, help="extract, check or try")
    parser.add_argument(
        "--version",
        action="store_true",
        help="show the version, and whether the native page tree is on (and why not), and exit",
    )
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
            "keys to values; or one CSV line per row, with --format csv or an\n"
            "output named *.csv. An output named *.gz is gzip-compressed. Pages\n"
            "are written in input order as soon as they are done.\n\n"
            "A page that fails (or takes longer than --timeout) is reported and\n"
            "the other pages go on: on stderr as 'PROGRAM: ID: TYPE: MESSAGE\n"
            "(rule N, field KEY: HINT)', or with --errors FILE as JSON lines\n"
            '{"page": ID, "error": TYPE, "message": TEXT}, with "rule" (index\n'
            'from 0), "field" and "hint" (plain words) when the failure lies in\n'
            "one rule entry or field. A progress bar is shown on stderr when it\n"
            "is a terminal; a one-line summary always (but with -q)."
        ),
        epilog=(
            "Inputs: a directory is walked recursively (in name order) for the\n"
            "pages that --include names (by default, in any letter case:\n"
            "*.html, *.htm, *.xhtml, *.shtml and the same gzipped, *.html.gz\n"
            "...), and for JSON-lines and WARC files; the other files are\n"
            "ignored and counted in the summary. A JSON-lines file (*.jsonl,\n"
            "*.ndjson, *.jl, also gzipped) holds one page per line,\n"
            '{"url": URL, "html": TEXT}; the url is optional (the page id is\n'
            "then FILE:LINE). Of a WARC file (*.warc, *.warc.gz) the 2xx\n"
            "responses of type text/html or application/xhtml+xml are\n"
            "extracted, decoded by their HTTP charset, then their markup\n"
            "charset; other records are counted as skipped. Any other file is\n"
            "one saved HTML page, plain or gzipped, read as UTF-8 (a BOM is\n"
            "allowed) or, when it is not valid UTF-8, by the charset that it\n"
            "declares. '-' reads standard input: gunzipped when gzipped, then a\n"
            "WARC stream when it starts with 'WARC/', JSON lines when it starts\n"
            "with '{' (page ids -:LINE), otherwise one HTML page (page id -).\n"
            "A missing input is a usage error. The summary counts the pages\n"
            "whose text holds undecodable bytes (U+FFFD: a wrong charset).\n\n" + EXIT_TEXT
        ),
    )
    parser.add_argument("rules", metavar="RULES", help="rules file (.json for JSON, any other name for YAML)")
    parser.add_argument(
        "inputs",
        metavar="INPUT",
        nargs="+",
        help="HTML page (PAGE), directory, JSON-lines or WARC file, or - for standard input",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write the output to this file instead of stdout ('-': stdout); "
        "*.csv and *.csv.gz are CSV, *.gz is gzip-compressed",
    )
    parser.add_argument(
        "--format",
        choices=("jsonl", "csv"),
        default=None,
        help="jsonl: one JSON line per page (the default, but for an output "
        "named *.csv or *.csv.gz); csv: one line per "
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
        "--errors",
        metavar="FILE",
        help="write failed pages to this file as JSON lines instead of to "
        "stderr ('-': JSON lines on stderr; *.gz: gzip-compressed); it may "
        "not be the output, nor an input",
    )
    parser.add_argument(
        "--resume",
        action="store_true",
        help="go on with an existing output (-o OUT) of a stopped run: pass "
        "over the pages already in it and append the others (a last line "
        "that was cut off is dropped first); the errors file is appended to. "
        "Pages that failed are tried again",
    )
    loudness = parser.add_mutually_exclusive_group()
    loudness.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no summary; failed pages are still reported"
    )
    loudness.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="a line on stderr for every failed page even when they go to an "
        "--errors file, and the number of pages passed over by --resume",
    )
    parser.add_argument(
        "--chunk-size",
        type=_positive,
        default=None,
        metavar="PAGES",
        help="pages handed to a worker at once (default: as many as take "
        "about 50 ms, judged from the pages done so far)",
    )
    _add_input_options(parser)
    parser.add_argument(
        "--include",
        action="append",
        metavar="GLOB",
        help="files of a walked directory that are pages (repeatable; replaces the default "
        + " ".join(DEFAULT_INCLUDE)
        + "); matched in any letter case against the base name, or, when GLOB holds a '/', "
        "against the path below the directory, e.g. --include '*' takes every file, "
        "--include 'shop/*.php*' the PHP pages under shop/. JSON-lines and WARC files are always read",
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


def _add_input_options(parser):
    parser.add_argument(
        "--input-format",
        choices=INPUT_FORMATS,
        default="auto",
        help="what the files named (not walked) and - hold: auto (default) knows a file by its name "
        "and standard input by its first bytes",
    )
    parser.add_argument(
        "--html-key", default="html", metavar="KEY", help="JSON-lines member holding the page's HTML (default: html)"
    )
    parser.add_argument(
        "--url-key", default="url", metavar="KEY", help="JSON-lines member holding the page's URL (default: url)"
    )


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
        "found nothing, and the final rows. The page is a saved HTML page "
        "(plain or gzipped), or one page of a WARC or JSON-lines file "
        "chosen with --page.",
        "Exit status: 0 the page was extracted, 1 its extraction failed, 2 the rules file could not be "
        "loaded or the arguments were wrong.",
    )
    parser.add_argument(
        "page", metavar="PAGE", help="saved HTML page, WARC or JSON-lines file (with --page), or - for standard input"
    )
    parser.add_argument(
        "--page",
        dest="pick",
        metavar="URL|ID",
        help="the page of a WARC or JSON-lines file to show: its URL (the WARC target URI) or its page id "
        "FILE:LINE (--page=-:LINE for standard input)",
    )
    _add_input_options(parser)
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
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    try:
        return FieldExtractor(rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {rules}: {_describe(exc)}", file=sys.stderr)
        return None


def _stop_on_broken_pipe():
    # The reader went away (e.g. "| head"): stop quietly, and keep the
    # interpreter's final flush of stdout from failing again ("Exception
    # ignored ... BrokenPipeError"), as the Python documentation of SIGPIPE
    # advises.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def _check_destinations(args):
    """A usage message when the output, the errors file and the inputs would
    write over each other; checked before anything is opened."""
    output = None if args.output in (None, STDIO) else args.output
    destinations = [("-o " + (args.output or STDIO), output, 1)]
    if args.errors is not None:
        destinations.append(("--errors " + args.errors, None if args.errors == STDIO else args.errors, 2))
    inputs = [name for name in [args.rules, *args.inputs] if name != STDIO and not os.path.isdir(name)]
    clash = same_destinations(destinations, inputs)
    if clash is not None:
        first, second = clash
        if second in inputs:
            return f"{first} would write over the input {second}"
        return f"{first} and {second} write to the same file or stream: each would write over the other"
    if args.resume and output is None:
        return "--resume needs an output file (-o OUT), not stdout"
    return None


def _without(done, items, key, progress):
    for item in items:
        if key(item) in done:
            progress.resumed += 1
        else:
            yield item


def _check_inputs(inputs):
    """Usage errors of the inputs, found before anything is read or written."""
    for name in inputs:
        if name != "-" and not os.path.exists(name):
            raise UsageError(f"{name}: no such file or directory")
    if inputs.count("-") > 1:
        raise UsageError("- (standard input) can be read only once")


def _marked(tasks, stats, marks):
    """The tasks, noting after each how many input bytes were read."""
    for task in tasks:
        marks.append(stats.bytes_read)
        yield task


def command_extract(args, prog):
    _check_inputs(args.inputs)
    extractor = _load_extractor(prog, args.rules)
    if extractor is None:
        return EXIT_BAD_RULES
    from ostrel.crawler.field_extractor.pool import run

    jobs = args.jobs or _default_jobs()
    fmt = output_format(args.output, args.format)
    done = None
    header = True
    try:
        if args.resume:
            done = resume_file(args.output, fmt, csv_header(extractor) if fmt == "csv" else None)
            header = not done and is_empty_file(args.output)
            if args.errors not in (None, STDIO):
                resume_file(args.errors)
    except (ResumeError, OSError) as exc:
        message = str(exc) if isinstance(exc, ResumeError) else _describe(exc)
        print(f"{prog}: cannot resume: {message}", file=sys.stderr)
        return EXIT_BAD_RULES
    output = errors = None
    try:
        output = Output(args.output, append=args.resume)
        errors = ErrorWriter(args.errors, prog, append=args.resume, verbose=args.verbose)
    except OSError as exc:
        if output is not None:
            output.close()
        print(f"{prog}: {_describe(exc)}", file=sys.stderr)
        return EXIT_BAD_RULES
    writer = CsvWriter(output, extractor, header=header) if fmt == "csv" else JsonLinesWriter(output, extractor)
    stats = InputStats()
    progress = errors.progress = Progress(lambda: input_size(args.inputs, args.include), quiet=args.quiet)
    tasks = iter_tasks(args.inputs, stats, args.include, args.input_format, args.html_key, args.url_key)
    if done:
        if args.verbose:
            print(f"{prog}: resuming {args.output}: {plural(len(done), 'page')} already in it", file=sys.stderr)
        # A task whose id is known before its page is read is passed over
        # unread; a JSON-lines page learns its id (the URL) only when read,
        # so its record is dropped once extracted.
        tasks = _without(done, tasks, lambda task: task.page_id, progress)
    if progress.marks is not None:
        tasks = _marked(tasks, stats, progress.marks)
    results = run(
        args.rules,
        tasks,
        jobs=jobs,
        de_dup=args.de_dup,
        chunk_pages=args.chunk_size,
        extractor=extractor,
        timeout=args.timeout,
    )
    with _StopSignals() as stop:
        return _write_results(prog, results, writer, output, errors, progress, stats, stop, done)


def _write_results(prog, results, writer, output, errors, progress, stats, stop, done):
    from ostrel.crawler.field_extractor.pool import WorkersFailing

    try:
        for records in results:
            stop.hold()
            if done:
                records = list(_without(done, records, lambda record: record["page"], progress))
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
        # A closed pipe is the reader's choice (| head), not a failure.
        results.close()
        _stop_on_broken_pipe()
        return EXIT_PAGE_FAILED if progress.errors else EXIT_OK
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

    _check_inputs([args.page])
    if os.path.isdir(args.page):
        raise UsageError(f"{args.page}: a directory: try shows one page")
    extractor = _load_extractor(prog, args.rules)
    if extractor is None:
        return EXIT_BAD_RULES
    kind, tasks = input_tasks(args.page, args.input_format, keys=(args.html_key, args.url_key))
    if kind == "html":
        if args.pick is not None:
            raise UsageError(f"--page picks a page of a WARC or JSON-lines file; {args.page} is one HTML page")
        task = next(tasks)
    elif args.pick is None:
        what = "a WARC" if kind == "warc" else "a JSON-lines"
        raise UsageError(f"{args.page} is {what} file of many pages: choose one with --page URL or --page FILE:LINE")
    else:
        task = _pick(tasks, args.pick)
        if task is None:
            raise UsageError(f"{args.page} holds no page {args.pick!r} (a URL, or a page id FILE:LINE)")
    try:
        if isinstance(task, InputError):
            raise OSError(task.message)
        _, text = task.load()
    except Exception as exc:
        print(f"{prog}: {task.page_id}: {_describe(exc)}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    report, ok = explain_page(extractor, text, de_dup=args.de_dup)
    out = Output(None)
    try:
        out.write(report)
        out.flush()
    except BrokenPipeError:
        _stop_on_broken_pipe()
    return EXIT_OK if ok else EXIT_PAGE_FAILED


def version_text(prog):
    """'PROG VERSION (native page tree: on|off, REASON)'."""
    import importlib.metadata

    try:
        version = importlib.metadata.version(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        version = "(not installed: run from the source tree)"
    from ostrel.crawler.field_extractor.utils import _treegate  # its warning is filtered in main()

    tree = "on" if _treegate.ENABLED else f"off, {_treegate.DISABLED_REASON}"
    return f"{prog} {version} (native page tree: {tree})"


def _pick(tasks, wanted):
    """The first task whose page id or URL is ``wanted``, or None."""
    for task in tasks:
        if task.page_id == wanted:
            return task
        if isinstance(task, JsonLine):
            try:
                if task.load()[0] == wanted:
                    return task
            except Exception:  # a line that cannot be read is not the one
                pass
    return None


def main(argv=None):
    """Run the command line; return the exit status."""
    # When the native page tree is off, its gate warns as the native modules
    # are first imported; the command line says so in --version and in its
    # summary line instead (forked workers inherit the filter).
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "native tree builder disabled", RuntimeWarning)
        return _main(argv)


def _main(argv):
    prog = _program_name()
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if argv[:1] == ["--version"]:
            print(version_text(prog))
            return EXIT_OK
        if not argv or argv[0] in ("-h", "--help"):
            _top_parser(prog).parse_args(argv)  # prints help or usage, exits
        command = argv[0] if argv[0] in COMMANDS else "extract"
        if argv[0] in COMMANDS:
            argv = argv[1:]
        parser = {"extract": _extract_parser, "check": _check_parser, "try": _try_parser}[command](prog)
        args = parser.parse_args(argv)
        if command == "extract":
            # Before anything is opened, let alone written.
            problem = _check_destinations(args)
            if problem:
                parser.error(problem)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_BAD_RULES
    handler = {"extract": command_extract, "check": command_check, "try": command_try}[command]
    try:
        return handler(args, prog)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_RULES


if __name__ == "__main__":
    sys.exit(main())
