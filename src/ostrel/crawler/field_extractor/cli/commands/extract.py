"""``extract``: extract the fields of every page of the inputs, in input
order, to JSON lines or CSV; failed pages are reported and the others go on.
"""

import argparse
import os
import signal
import sys

from ostrel.crawler.field_extractor.cli.common import (
    EXIT_BAD_RULES,
    EXIT_OK,
    EXIT_PAGE_FAILED,
    EXIT_TEXT,
    add_input_options,
    add_limit_options,
    byte_size,
    check_inputs,
    describe_error,
    limits_of,
    load_extractor,
    stop_on_broken_pipe,
)
from ostrel.crawler.field_extractor.cli.outputs import (
    STDIO,
    CsvWriter,
    ErrorWriter,
    JsonLinesWriter,
    Output,
    csv_header,
    output_format,
    same_destinations,
)
from ostrel.crawler.field_extractor.cli.progress import Progress, plural
from ostrel.crawler.field_extractor.cli.resume import ResumeError, is_empty_file, resume_file
from ostrel.crawler.field_extractor.cli.signals import Stopped, StopSignals
from ostrel.crawler.field_extractor.cli.sources import DEFAULT_INCLUDE, InputStats, input_size, iter_tasks, set_limits

# The pool is imported where it is used: importing it loads the native
# modules, which runs the page-tree gate (see main()).


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


def build_parser(prog):
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
    add_input_options(parser)
    add_limit_options(parser)
    parser.add_argument(
        "--max-memory",
        type=byte_size,
        default=None,
        metavar="SIZE",
        help="most memory (address space) of each process that extracts pages: the workers, or with --jobs 1 "
        "and no --timeout this one (default: the machine's memory divided by --jobs; 0: no limit); a page "
        "that needs more fails as that page",
    )
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


def check_destinations(args):
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


def _memory_ceiling(given, jobs):
    """The bytes of address space of one extracting process: ``given``
    (0: none), by default the machine's memory shared among the jobs, at
    least 1 GiB."""
    if given is not None:
        return given or None
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None
    return max(memory // jobs, 1 << 30)


def _without(done, items, key, progress):
    for item in items:
        if key(item) in done:
            progress.resumed += 1
        else:
            yield item


def _marked(tasks, stats, marks):
    """The tasks, noting after each how many input bytes were read."""
    for task in tasks:
        marks.append(stats.bytes_read)
        yield task


def run(args, prog):
    check_inputs(args.inputs)
    extractor = load_extractor(prog, args.rules)
    if extractor is None:
        return EXIT_BAD_RULES
    from ostrel.crawler.field_extractor.cli.pool import run as run_pool

    jobs = args.jobs or _default_jobs()
    limits = limits_of(args)
    set_limits(limits)
    memory = _memory_ceiling(args.max_memory, jobs)
    if jobs <= 1 and args.timeout is None:
        from ostrel.crawler.field_extractor.cli.pool import limit_memory

        limit_memory(memory)
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
        message = str(exc) if isinstance(exc, ResumeError) else describe_error(exc)
        print(f"{prog}: cannot resume: {message}", file=sys.stderr)
        return EXIT_BAD_RULES
    output = errors = None
    try:
        output = Output(args.output, append=args.resume)
        errors = ErrorWriter(args.errors, prog, append=args.resume, verbose=args.verbose)
    except OSError as exc:
        if output is not None:
            output.close()
        print(f"{prog}: {describe_error(exc)}", file=sys.stderr)
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
    results = run_pool(
        args.rules,
        tasks,
        jobs=jobs,
        de_dup=args.de_dup,
        chunk_pages=args.chunk_size,
        extractor=extractor,
        timeout=args.timeout,
        memory=memory,
        limits=limits,
    )
    with StopSignals() as stop:
        return _write_results(prog, results, writer, output, errors, progress, stats, stop, done)


def _write_results(prog, results, writer, output, errors, progress, stats, stop, done):
    from ostrel.crawler.field_extractor.cli.pool import WorkersFailing

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
        stop_on_broken_pipe()
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
        print(f"{prog}: stopped: cannot write the output: {describe_error(exc)}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    finally:
        errors.close()
        try:
            output.close()
        except OSError:  # already reported above
            pass
    progress.close(prog, stats)
    return EXIT_PAGE_FAILED if progress.errors else EXIT_OK
