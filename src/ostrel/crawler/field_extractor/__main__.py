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
"""

import argparse
import csv
import io
import json
import os
import sys
import time
import warnings

# When the native page tree is off, its gate warns as the extractor is first
# imported; the command line says so in its summary line instead. (Worker
# processes are forked with the modules imported, or import them through
# this module.)
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "native tree builder disabled", RuntimeWarning)
    from ostrel.crawler.field_extractor.batch import (  # noqa: F401 (decode_page is public here)
        InputStats, WorkersFailing, decode_page, describe, iter_tasks, run)
    from ostrel.crawler.field_extractor.extractor import FieldExtractor
    from ostrel.crawler.field_extractor.utils import _treegate

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


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


# -- Argument parsers -------------------------------------------------------

EXIT_TEXT = ("Exit status: 0 all pages extracted, 1 some page failed, "
             "2 the rules file could not be loaded or the arguments were "
             "wrong.")


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
            f"Run '{prog} COMMAND --help' for the options of a command."),
        epilog=EXIT_TEXT)
    parser.add_argument("command", metavar="COMMAND", choices=COMMANDS,
                        help="extract, check or try")
    return parser


def _extract_parser(prog):
    parser = argparse.ArgumentParser(
        prog=f"{prog} extract",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Extract the fields of every page of the inputs with one rules "
            "file.\n\n"
            "Output: one JSON line per page, {\"page\": ID, \"rows\": [ROW, ...]},\n"
            "where ID is the file path (or the page URL) and each ROW maps field\n"
            "keys to values; or, with --format csv, one CSV line per row. Pages\n"
            "are written in input order as soon as they are done.\n\n"
            "A page that fails is reported and the other pages go on: on stderr\n"
            "as 'PROGRAM: ID: TYPE: MESSAGE', or with --errors FILE as JSON lines\n"
            "{\"page\": ID, \"error\": TYPE, \"message\": TEXT}. A progress bar is\n"
            "shown on stderr when it is a terminal; a one-line summary always."),
        epilog=(
            "Inputs: a directory is walked recursively (in name order) for\n"
            "*.html, *.htm, *.xhtml, *.shtml, *.jsonl, *.ndjson, *.jl (also\n"
            "gzipped: *.jsonl.gz ...), *.warc and *.warc.gz files. A JSON-lines\n"
            "file holds one page per line, {\"url\": URL, \"html\": TEXT}. Of a\n"
            "WARC file the 2xx responses of type text/html or\n"
            "application/xhtml+xml are extracted, decoded by their HTTP\n"
            "charset, then their markup charset; other records are counted as\n"
            "skipped. Any other file is one saved HTML page, read as UTF-8 (a\n"
            "BOM is allowed) or, when it is not valid UTF-8, by the charset\n"
            "that it declares.\n\n" + EXIT_TEXT))
    parser.add_argument(
        "rules", metavar="RULES",
        help="rules file (.json for JSON, any other name for YAML)")
    parser.add_argument(
        "inputs", metavar="INPUT", nargs="+",
        help="HTML page (PAGE), directory, JSON-lines or WARC file")
    parser.add_argument(
        "-o", "--output", metavar="OUT",
        help="write the output to this file instead of stdout")
    parser.add_argument(
        "--format", choices=("jsonl", "csv"), default="jsonl",
        help="jsonl: one JSON line per page (default); csv: one line per "
             "row, columns 'page' then every field key of the rules file "
             "in the order that the rule entries name them")
    parser.add_argument(
        "-j", "--jobs", type=_positive, default=None, metavar="N",
        help="worker processes, each with its own extractor (default: the "
             f"number of CPUs, {_default_jobs()} here); 1 extracts in this "
             "process")
    parser.add_argument(
        "--no-dedup", dest="de_dup", action="store_false",
        help="keep rows that are exact duplicates of an earlier row of the "
             "same page")
    parser.add_argument(
        "--errors", metavar="FILE",
        help="write failed pages to this file as JSON lines instead of to "
             "stderr")
    parser.add_argument(
        "--chunk-size", type=_positive, default=None, metavar="PAGES",
        help="pages handed to a worker at once (default: as many as take "
             "about 50 ms, judged from the pages done so far)")
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
        "Exit status: 0 no problem found, 1 problems found, 2 the rules file "
        "could not be read.")


def _try_parser(prog):
    parser = _simple_parser(
        f"{prog} try",
        "Show, for one page, what each field of each rule entry yields "
        "before matching, which rule entries are dropped because a field "
        "found nothing, and the final rows.",
        "Exit status: 0 the page was extracted, 1 its extraction failed, "
        "2 the rules file could not be loaded.")
    parser.add_argument("page", metavar="PAGE", help="saved HTML page")
    parser.add_argument("--no-dedup", dest="de_dup", action="store_false",
                        help="keep exact duplicate rows")
    return parser


def _simple_parser(prog, description, epilog):
    parser = argparse.ArgumentParser(prog=prog, description=description,
                                     epilog=epilog)
    parser.add_argument(
        "rules", metavar="RULES",
        help="rules file (.json for JSON, any other name for YAML)")
    return parser


# -- Output -----------------------------------------------------------------

class _Output:
    """Binary output: stdout or a file, UTF-8 whatever the locale says."""

    def __init__(self, path):
        self.path = path
        if path is None:
            sys.stdout.flush()
            self.stream = getattr(sys.stdout, "buffer", None)
            self.text_only = self.stream is None  # a stand-in for stdout
        else:
            self.stream = open(path, "wb")
            self.text_only = False

    def write(self, text):
        if self.text_only:
            sys.stdout.write(text)
        else:
            self.stream.write(text.encode("utf-8"))

    def flush(self):
        (sys.stdout if self.text_only else self.stream).flush()

    def close(self):
        if self.path is not None:
            self.stream.close()


class _JsonLines:
    def __init__(self, output, extractor):
        self.output = output

    def page(self, record):
        self.output.write(json.dumps(record, ensure_ascii=False) + "\n")


class _Csv:
    """One line per row: the page id, then one column per field key.

    The columns are known before the first page: every row holds only keys
    of the rule entry that made it, so the field keys of all rule entries,
    in the order in which the entries first name them, are all the columns
    there can be. A key missing from a row is an empty cell; a value that
    is not text (a list of a one-field list rule) is written as JSON.
    """

    def __init__(self, output, extractor):
        self.output = output
        self.keys = field_keys(extractor.rules)
        page = "page"
        while page in self.keys:
            page = "_" + page
        self.buffer = io.StringIO()
        self.writer = csv.writer(self.buffer, lineterminator="\n")
        self.writer.writerow([page, *self.keys])
        self._flush_buffer()

    def _flush_buffer(self):
        self.output.write(self.buffer.getvalue())
        self.buffer.seek(0)
        self.buffer.truncate()

    def page(self, record):
        for row in record["rows"]:
            self.writer.writerow(
                [record["page"], *(_cell(row.get(key)) for key in self.keys)])
        self._flush_buffer()


def _cell(value):
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False)


def field_keys(rules):
    """Every field key of the rule entries, each once, in first-use order."""
    keys = {}
    for entry in rules if isinstance(rules, (list, tuple)) else ():
        if isinstance(entry, dict):
            keys.update(dict.fromkeys(entry))
    return list(keys)


class _Errors:
    """Where failed pages go: stderr lines, or a JSON-lines file."""

    def __init__(self, path, prog):
        self.prog = prog
        self.stream = None if path is None else open(path, "w", encoding="utf-8")
        self.progress = None  # a _Progress whose bar the lines must avoid

    def page(self, record):
        if self.stream is None:
            message = record["message"]
            detail = f"{record['error']}: {message}" if message else record["error"]
            line = f"{self.prog}: {record['page']}: {detail}"
            if self.progress is not None and self.progress.bar is not None:
                self.progress.bar.write(line, file=sys.stderr)
            else:
                sys.stderr.write(line + "\n")
                sys.stderr.flush()
        else:
            self.stream.write(json.dumps(record, ensure_ascii=False) + "\n")

    def flush(self):
        if self.stream is not None:
            self.stream.flush()

    def close(self):
        if self.stream is not None:
            self.stream.close()


class _Progress:
    """Counts pages, rows and errors; a tqdm bar when stderr is a terminal."""

    def __init__(self):
        self.pages = self.rows = self.errors = 0
        self.start = time.perf_counter()
        self.bar = None
        if sys.stderr.isatty():
            from tqdm import tqdm
            # No monitor thread: worker processes are forked after this.
            tqdm.monitor_interval = 0
            self.bar = tqdm(
                unit=" pages", file=sys.stderr, dynamic_ncols=True,
                mininterval=0.5, smoothing=0.1,
                bar_format="{n_fmt}{unit} [{elapsed}, {rate_noinv_fmt}"
                           "{postfix}]")

    def add(self, records):
        for record in records:
            if "error" in record:
                self.errors += 1
            else:
                self.rows += len(record["rows"])
        self.pages += len(records)
        if self.bar is not None:
            self.bar.set_postfix(rows=self.rows, errors=self.errors,
                                 refresh=False)
            self.bar.update(len(records))

    def close(self, prog, stats):
        if self.bar is not None:
            self.bar.close()
        elapsed = time.perf_counter() - self.start
        rate = self.pages / elapsed if elapsed > 0 else 0.0
        skipped = ""
        if stats.skipped_records:
            skipped = (f", {stats.skipped_records} WARC records skipped "
                       f"(not 2xx HTML responses)")
        sys.stderr.write(
            f"{prog}: {self.pages} pages, {self.rows} rows, "
            f"{self.errors} failed{skipped} in {elapsed:.1f} s "
            f"({rate:.1f} pages/s){_tree_note()}\n")
        sys.stderr.flush()


def _tree_note():
    if _treegate.ENABLED:
        return ""
    return f" (native page tree off: {_treegate.DISABLED_REASON})"


# -- Commands ---------------------------------------------------------------

def _load_extractor(prog, rules):
    try:
        return FieldExtractor(rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {rules}: {_describe(exc)}",
              file=sys.stderr)
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
        output = _Output(args.output)
        errors = _Errors(args.errors, prog)
    except OSError as exc:
        if output is not None:
            output.close()
        print(f"{prog}: {_describe(exc)}", file=sys.stderr)
        return EXIT_BAD_RULES
    writer = (_Csv if args.format == "csv" else _JsonLines)(output, extractor)
    stats = InputStats()
    progress = errors.progress = _Progress()
    results = run(args.rules, iter_tasks(args.inputs, stats), jobs=jobs,
                  de_dup=args.de_dup, chunk_pages=args.chunk_size,
                  extractor=extractor)
    try:
        for records in results:
            for record in records:
                if "error" in record:
                    errors.page(record)
                else:
                    writer.page(record)
            output.flush()
            errors.flush()
            progress.add(records)
    except BrokenPipeError:
        results.close()
        _stop_on_broken_pipe()
        return EXIT_PAGE_FAILED
    except KeyboardInterrupt:
        results.close()
        progress.close(prog, stats)
        return 130
    except WorkersFailing as exc:
        progress.close(prog, stats)
        print(f"{prog}: stopped: {exc}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    except OSError as exc:  # the output cannot be written (disk full...)
        results.close()
        progress.close(prog, stats)
        print(f"{prog}: stopped: cannot write the output: {_describe(exc)}",
              file=sys.stderr)
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
    from ostrel.crawler.field_extractor.rules_check import check_file

    try:
        problems = check_file(args.rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {args.rules}: {_describe(exc)}",
              file=sys.stderr)
        return EXIT_BAD_RULES
    for problem in problems:
        print(f"{args.rules}: {problem}")
    if problems:
        print(f"{args.rules}: {len(problems)} problem"
              f"{'' if len(problems) == 1 else 's'} found", file=sys.stderr)
        return EXIT_PAGE_FAILED
    print(f"{args.rules}: no problems found", file=sys.stderr)
    return EXIT_OK


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
    out = _Output(None)
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
        parser = {"extract": _extract_parser, "check": _check_parser,
                  "try": _try_parser}[command](prog)
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_BAD_RULES
    handler = {"extract": command_extract, "check": command_check,
               "try": command_try}[command]
    return handler(args, prog)


if __name__ == "__main__":
    sys.exit(main())
