"""``extract``: extract the fields of every page of the inputs, in input
order, to JSON lines or CSV; failed pages are reported and the others go on.
"""

import argparse
import collections
import os
import signal
import sys

from ostrel.crawler.field_extractor.cli.common import (
    EXIT_BAD_RULES,
    EXIT_INCOMPLETE,
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
    DurableFile,
    ErrorWriter,
    InUse,
    JsonLinesWriter,
    Output,
    WriteFailed,
    is_regular_destination,
    output_format,
    page_encoder,
    same_destinations,
)
from ostrel.crawler.field_extractor.cli.progress import Progress, plural
from ostrel.crawler.field_extractor.cli.resume import (
    Commit,
    Journal,
    ResumeError,
    add_page_id,
    fingerprint,
    journal_path,
    page_id_digest,
)
from ostrel.crawler.field_extractor.cli.signals import Stopped, StopSignals
from ostrel.crawler.field_extractor.cli.sink import Sink
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


def _seconds_or_zero(text):
    return 0.0 if text.strip() in ("0", "0.0") else _seconds(text)


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
        help="go on with an output (-o OUT) of a run that stopped: with the same "
        "rules, inputs and options, pass over the input records that its journal "
        "(OUT.journal) says are done, cut the output and the errors file back to "
        "what holds them, and append the rest; the files end as an uninterrupted "
        "run leaves them",
    )
    parser.add_argument(
        "--sync-interval",
        type=_seconds_or_zero,
        default=1.0,
        metavar="SECONDS",
        help="for an output file: how often the pages done are synced to disk and "
        "recorded in the journal (default: 1; 0: after every batch of pages). "
        "A run killed in between redoes at most these seconds of work on --resume",
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
    parser.add_argument(
        "--no-check",
        dest="check",
        action="store_false",
        help="do not check the rules before the run (by default, problems that would fail every page, "
        "such as a field without rules or an XPath that does not compile, stop the run with exit 2, "
        "and the other findings of 'check' are printed once as warnings)",
    )
    add_input_options(parser)
    add_limit_options(parser)
    parser.add_argument(
        "--max-memory",
        type=byte_size,
        default=None,
        metavar="SIZE",
        help="most memory (address space) of each process that extracts pages: the workers, or with --jobs 1 "
        "and no --timeout this one (default: the machine's memory divided by --jobs, beyond what the process "
        "maps when it starts; 0: no limit); a page that needs more fails as that page",
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
    if is_regular_destination(output):
        destinations.append(("its journal " + journal_path(output), journal_path(output), None))
    inputs = [name for name in [args.rules, *args.inputs] if name != STDIO and not os.path.isdir(name)]
    clash = same_destinations(destinations, inputs)
    if clash is not None:
        first, second = clash
        if second in inputs:
            return f"{first} would write over the input {second}"
        return f"{first} and {second} write to the same file or stream: each would write over the other"
    if args.resume and not is_regular_destination(output):
        return "--resume needs an output file (-o OUT), not stdout, a device or a pipe"
    for option, path in (("-o", output), ("--errors", args.errors)):
        if path in (None, STDIO):
            continue
        folder = os.path.dirname(path)
        if folder and not os.path.isdir(folder):
            return f"{option} {path}: the directory {folder} does not exist; create it first"
    return None


_RULES_SUFFIXES = (".yaml", ".yml", ".json")
_PAGE_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml", ".html.gz", ".htm.gz", ".jsonl", ".warc", ".warc.gz", ".jl")


def _swapped_arguments(args):
    """A hint when the rules file that failed to load looks like a page and
    an input like a rules file: the arguments were given the wrong way."""
    rules = args.rules.lower()
    looks_like_page = rules.endswith(_PAGE_SUFFIXES) or os.path.isdir(args.rules)
    if not looks_like_page:
        try:
            with open(args.rules, "rb") as stream:
                looks_like_page = stream.read(512).lstrip().startswith(b"<")
        except OSError:
            pass
    named = [name for name in args.inputs if name.lower().endswith(_RULES_SUFFIXES)]
    if looks_like_page and named:
        return (
            f"hint: {args.rules} looks like a page and {named[0]} like a rules file; the rules file comes "
            f"first: extract RULES INPUT..."
        )
    return None


def _memory_ceiling(given, jobs):
    """The bytes of address space of one extracting process: ``given``
    (0: none), by default the machine's memory shared among the jobs, at
    least 1 GiB, beyond what the process maps when it starts."""
    from ostrel.crawler.field_extractor.cli.pool import Headroom

    if given is not None:
        return given or None
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None
    return Headroom(max(memory // jobs, 1 << 30))


def _marked(tasks, stats, marks):
    """The tasks, noting after each how many input bytes were read."""
    for task in tasks:
        marks.append(stats.bytes_read)
        yield task


def _noted(tasks, page_ids):
    """The tasks, noting each one's page id: one record comes back per
    task, in task order, and the journal's digest is of these ids."""
    for task in tasks:
        page_ids.append(task.page_id)
        yield task


class _Refused(Exception):
    """A usage problem found once the destinations are open: exit 2, with
    nothing written."""


def _options(args, fmt):
    """What, beside the rules and inputs, decides the output's content."""
    return {
        "format": fmt,
        "dedup": args.de_dup,
        "include": args.include,
        "input_format": args.input_format,
        "html_key": args.html_key,
        "url_key": args.url_key,
        # A page over a limit fails: the limits decide which pages are rows.
        "limits": list(limits_of(args)),
        "errors": None if args.errors in (None, STDIO) else os.path.abspath(args.errors),
    }


def _open_destinations(args, prog, fmt):
    """(output, errors file or None, journal or None); a regular file is a
    locked DurableFile, nothing is cut or written yet."""
    opened = []
    try:
        if is_regular_destination(args.output):
            output = DurableFile(args.output)
            opened.append(output)
            journal = Journal(args.output)
        else:
            output, journal = Output(args.output), None
            opened.append(output)
        errors_file = None
        if args.errors not in (None, STDIO):
            errors_file = DurableFile(args.errors) if is_regular_destination(args.errors) else Output(args.errors)
            opened.append(errors_file)
    except InUse as exc:
        _close_quietly(opened)
        raise _Refused(f"{exc.path} is in use by another run (it is locked): not written") from None
    except (WriteFailed, OSError) as exc:
        _close_quietly(opened)
        if isinstance(exc, WriteFailed):
            raise _Refused(f"cannot open {exc.name}: {describe_error(exc.error)}") from None
        raise _Refused(describe_error(exc)) from None
    return output, errors_file, journal


def _close_quietly(files):
    for file in files:
        try:
            file.close()
        except Exception:  # noqa: BLE001 - nothing was written to them
            pass


def _where_to_go_on(args, output, errors_file, journal, header):
    """The commit to go on from: the journal's last one (``--resume``), or
    None for a new run. Refuses what cannot be resumed."""
    if not args.resume:
        return None
    try:
        found = journal.read()
    except ResumeError as exc:
        raise _Refused(f"cannot resume: {exc}") from None
    durable = [file for file in (output, errors_file) if isinstance(file, DurableFile)]
    if found is None:
        if any(file.size() for file in durable):
            raise _Refused(
                f"cannot resume: {args.output} has no journal ({journal.path}) saying how far its run got; "
                "run without --resume to start over"
            )
        return None
    written, commit = found
    if written.get("fingerprint") != header["fingerprint"]:
        raise _Refused(
            f"cannot resume: {args.output} was written from other inputs, rules or options "
            "(or an input changed since); run without --resume to start over"
        )
    for file, length in ((output, commit.output), (errors_file, commit.errors)):
        if file in durable and file.size() < length:
            raise _Refused(f"cannot resume: {file.path} is shorter than its journal says (was it changed?)")
    return commit


def _skip_done(tasks, commit, progress, stats, stop):
    """Pass over the input records that ``commit`` covers, checking their
    page ids against its digest; the digest so far, or the exit status of a
    signal received meanwhile."""
    digest = page_id_digest()
    count = 0
    while count < commit.records:
        task = next(tasks, None)
        if task is None:
            break
        add_page_id(digest, task.page_id)
        count += 1
        if stop.signum is not None:
            return None
    if count < commit.records or digest.hexdigest() != commit.pages:
        raise _Refused(
            "cannot resume: the inputs do not start with the pages of the run that wrote the output "
            "(an input changed since?); run without --resume to start over"
        )
    progress.skip(count, stats.bytes_read)
    return digest


def run(args, prog, stop=None):
    """Extract; ``stop`` is the StopSignals that hold the signals since the
    program started (a new one when None)."""
    if stop is None:
        with StopSignals(holding=True) as stop:
            return run(args, prog, stop)
    check_inputs(args.inputs)
    extractor = load_extractor(prog, args.rules)
    if stop.signum is not None:  # nothing is opened yet: nothing to undo
        return 128 + stop.signum
    if extractor is None:
        swapped = _swapped_arguments(args)
        if swapped:
            print(f"{prog}: {swapped}", file=sys.stderr)
        return EXIT_BAD_RULES
    if args.check:
        from ostrel.crawler.field_extractor.cli.precheck import check_before_run

        if not check_before_run(prog, args, quiet=args.quiet):
            return EXIT_BAD_RULES
    fmt = output_format(args.output, args.format)
    try:
        output, errors_file, journal = _open_destinations(args, prog, fmt)
    except _Refused as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return EXIT_BAD_RULES
    try:
        return _run(args, prog, stop, extractor, fmt, output, errors_file, journal)
    except _Refused as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        _close_quietly([output, errors_file, journal])
        return EXIT_BAD_RULES


def _run(args, prog, stop, extractor, fmt, output, errors_file, journal):
    from ostrel.crawler.field_extractor.cli.pool import run as run_pool

    jobs = args.jobs or _default_jobs()
    limits = limits_of(args)
    set_limits(limits)
    memory = _memory_ceiling(args.max_memory, jobs)
    if jobs <= 1 and args.timeout is None:
        from ostrel.crawler.field_extractor.cli.pool import limit_memory

        limit_memory(memory)
    header = None
    if journal is not None:
        try:
            mark = fingerprint(args.rules, args.inputs, _options(args, fmt))
        except OSError as exc:
            raise _Refused(describe_error(exc)) from None
        header = {"fingerprint": mark, "rules": args.rules, "inputs": args.inputs, "format": fmt}
    done = _where_to_go_on(args, output, errors_file, journal, header)
    errors = ErrorWriter(args.errors, prog, verbose=args.verbose, stream=errors_file)
    stats = InputStats()
    progress = errors.progress = Progress(lambda: input_size(args.inputs, args.include), quiet=args.quiet)
    # Worker processes read the lines of a plain JSON-lines file themselves:
    # this process only finds where each line is.
    by_offset = jobs > 1 or args.timeout is not None
    tasks = iter(
        iter_tasks(args.inputs, stats, args.include, args.input_format, args.html_key, args.url_key, by_offset)
    )
    digest = None
    if done is not None and done.records:
        try:
            digest = _skip_done(tasks, done, progress, stats, stop)
        except _Refused:
            progress.discard()
            raise
        if digest is None:
            progress.close(prog, stats, interrupted=signal.Signals(stop.signum).name)
            _close_quietly([output, errors_file, journal])
            return 128 + stop.signum
        if args.verbose:
            print(f"{prog}: resuming {args.output}: {plural(done.records, 'page')} already done", file=sys.stderr)
    try:
        if done is not None:
            journal.reopen()
            output.start(done.output)
            if isinstance(errors_file, DurableFile):
                errors_file.start(done.errors)
        else:
            if journal is not None:
                journal.start(header, Commit())
            for file in (output, errors_file):
                if isinstance(file, DurableFile):
                    file.start(0)
    except WriteFailed as exc:
        progress.close(prog, stats)
        _close_quietly([output, errors_file, journal])
        return _write_failed(prog, exc)
    progress.errors_before = done.failed if done is not None else 0
    header_row = fmt == "csv" and (done is None or done.output == 0)
    writer = CsvWriter(output, extractor, header=header_row) if fmt == "csv" else JsonLinesWriter(output, extractor)
    sink = Sink(writer, output, errors, errors_file, journal, args.sync_interval, done, digest)
    page_ids = collections.deque()
    tasks = _noted(tasks, page_ids)
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
        encode=page_encoder(fmt, extractor),
    )
    return _write_results(prog, results, sink, page_ids, progress, stats, stop)


def _write_failed(prog, exc):
    try:
        print(
            f"{prog}: stopped: cannot write {exc.name}: {describe_error(exc.error)}; the output is incomplete "
            "(--resume goes on from the last page written whole)",
            file=sys.stderr,
        )
    except OSError:  # stderr is the file that cannot be written: the status says it
        pass
    return EXIT_INCOMPLETE


def _write_results(prog, results, sink, page_ids, progress, stats, stop):
    from ostrel.crawler.field_extractor.cli.pool import WorkersFailing

    status = None
    try:
        stop.release()
        for records in results:
            stop.hold()
            sink.add(records, [page_ids.popleft() for _ in records])
            sink.after_batch()
            progress.add(records)
            stop.release()
        stop.hold()  # done: a signal now changes nothing
        sink.commit()
    except BrokenPipeError:
        # A closed pipe is the reader's choice (| head), not a failure.
        results.close()
        stop_on_broken_pipe()
        status = EXIT_PAGE_FAILED if progress.failed else EXIT_OK
    except KeyboardInterrupt as exc:
        # A Ctrl-C just before the handlers were in place is a plain
        # KeyboardInterrupt.
        signum = exc.signum if isinstance(exc, Stopped) else signal.SIGINT
        stop.signum = signum  # more signals cannot cut the winding down
        stop.hold()
        results.close()
        status = 128 + signum
        try:
            sink.commit()  # the pages done so far, whole
        except WriteFailed as failure:
            sink.rollback()
            status = _write_failed(prog, failure)
        progress.close(prog, stats, interrupted=signal.Signals(signum).name)
    except WorkersFailing as exc:
        results.close()
        status = EXIT_INCOMPLETE
        try:
            sink.commit()
        except WriteFailed:
            sink.rollback()
        progress.close(prog, stats)
        print(f"{prog}: stopped: {exc}; the output is incomplete", file=sys.stderr)
    except WriteFailed as exc:  # disk full, quota, I/O error...
        stop.hold()
        results.close()
        sink.rollback()
        progress.close(prog, stats)
        status = _write_failed(prog, exc)
    except OSError as exc:  # the workers' pipes, an input that went away...
        stop.hold()
        results.close()
        status = EXIT_INCOMPLETE
        try:
            sink.commit()  # the pages done so far, whole
        except WriteFailed as failure:
            sink.rollback()
            status = _write_failed(prog, failure)
        progress.close(prog, stats)
        print(f"{prog}: stopped: {describe_error(exc)}; the output is incomplete", file=sys.stderr)
    finally:
        try:
            sink.close()
        except WriteFailed as exc:
            if status is None or status in (EXIT_OK, EXIT_PAGE_FAILED):
                progress.close(prog, stats)
                status = _write_failed(prog, exc)
    if status is not None:
        return status
    progress.close(prog, stats)
    return EXIT_PAGE_FAILED if progress.failed else EXIT_OK
