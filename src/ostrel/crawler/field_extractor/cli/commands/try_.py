"""``try``: show what every rule entry and field yields on one page, which
entries are dropped, and the final rows."""

import os
import sys

from ostrel.crawler.field_extractor.cli.common import (
    EXIT_BAD_RULES,
    EXIT_INCOMPLETE,
    EXIT_OK,
    EXIT_PAGE_FAILED,
    UsageError,
    add_input_options,
    add_limit_options,
    check_inputs,
    describe_error,
    limits_of,
    load_extractor,
    rules_parser,
    stop_on_broken_pipe,
)
from ostrel.crawler.field_extractor.cli.outputs import Output, WriteFailed
from ostrel.crawler.field_extractor.cli.sources import InputError, JsonLine, input_tasks, set_limits


def build_parser(prog):
    parser = rules_parser(
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
    add_input_options(parser)
    add_limit_options(parser)
    parser.add_argument("--no-dedup", dest="de_dup", action="store_false", help="keep exact duplicate rows")
    parser.add_argument(
        "--save-fixture",
        metavar="DIR",
        help="also store the page and its rows in DIR (NAME.html, NAME.json), for check --fixtures DIR",
    )
    parser.add_argument(
        "--html",
        metavar="OUT.html",
        help="also write a picture of what the rules select: one self-contained HTML file with the page, "
        "each field's elements outlined and labelled, the rows (click one to highlight its elements), the "
        "dropped rows and why, and the list rules' row steps and warnings (- writes it to stdout instead "
        "of the text report)",
    )
    return parser


def run(args, prog):
    from ostrel.crawler.field_extractor.cli.explain import explain_page

    check_inputs([args.page])
    if args.html not in (None, "-"):
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.html))):
            raise UsageError(f"{args.html}: its directory does not exist")
        for name in (args.page, args.rules):
            if name != "-" and os.path.exists(args.html) and os.path.samefile(name, args.html):
                raise UsageError(f"--html {args.html} would overwrite {name}")
    if os.path.isdir(args.page):
        raise UsageError(f"{args.page}: a directory: try shows one page")
    extractor = load_extractor(prog, args.rules)
    if extractor is None:
        return EXIT_BAD_RULES
    set_limits(limits_of(args))
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
        print(f"{prog}: {task.page_id}: {describe_error(exc)}", file=sys.stderr)
        return EXIT_PAGE_FAILED
    report, ok = explain_page(extractor, text, de_dup=args.de_dup)
    if ok and args.save_fixture is not None:
        from ostrel.crawler.field_extractor.cli.fixtures import save_fixture

        try:
            path = save_fixture(
                args.save_fixture, task.page_id, text, extractor.extract(text, args.de_dup), args.de_dup
            )
        except OSError as exc:
            print(f"{prog}: cannot save the fixture: {describe_error(exc)}", file=sys.stderr)
            return EXIT_BAD_RULES
        print(f"{prog}: fixture saved: {path}", file=sys.stderr)
    if args.html is not None:
        from ostrel.crawler.field_extractor.cli.report import analyse_page, render_report

        picture = render_report(analyse_page(extractor, text, args.de_dup), task.page_id)
        if args.html == "-":
            report = picture
        else:
            try:
                with open(args.html, "w", encoding="utf-8") as stream:
                    stream.write(picture)
            except OSError as exc:
                print(f"{prog}: cannot write {args.html}: {describe_error(exc)}", file=sys.stderr)
                return EXIT_PAGE_FAILED
    out = Output(None)
    try:
        out.write(report)
        out.flush()
    except BrokenPipeError:
        stop_on_broken_pipe()
    except WriteFailed as exc:
        print(f"{prog}: cannot write {exc.name}: {describe_error(exc.error)}", file=sys.stderr)
        return EXIT_INCOMPLETE
    return EXIT_OK if ok else EXIT_PAGE_FAILED


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
