"""``check``: load a rules file and report every problem that would make
extraction fail or misbehave, one line each; with ``--pages``, how each
field fares on those pages (and against a saved baseline); with
``--fixtures``, whether stored pages still give their stored rows."""

import argparse
import json
import sys

from ostrel.crawler.field_extractor.cli.common import (
    EXIT_BAD_RULES,
    EXIT_OK,
    EXIT_PAGE_FAILED,
    UsageError,
    add_input_options,
    check_inputs,
    describe_error,
    load_extractor,
    rules_parser,
)


def _share(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 100:
        raise argparse.ArgumentTypeError("must be a number of percentage points from 0 to 100")
    return value / 100


def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("must be a whole number of pages, 1 or more")
    return value


def build_parser(prog):
    parser = rules_parser(
        f"{prog} check",
        "Load a rules file and report every problem that would make "
        "extraction fail or misbehave: unknown rule kinds, attr rules "
        "without an attribute name, XPaths that do not compile, call unknown "
        "functions or select text or attribute nodes, list rules "
        "without a row position, filter, alias and not_empty_fields "
        "sections of the wrong shape, and keys they name that no rule entry "
        "produces. Each problem is one line naming the rule entry (from 0) "
        "and the field key. With --pages, also how each field fares on those "
        "pages; with --fixtures, whether stored pages still give their rows.",
        "Exit status: 0 no problem found (warnings alone included), 1 "
        "problems found, a field's match rate fell below the baseline's or a "
        "fixture's rows differ, 2 the rules file could not be read or the "
        "arguments were wrong.",
    )
    parser.add_argument(
        "--pages",
        nargs="+",
        metavar="INPUT",
        help="pages to run the rules on, as extract takes them (HTML files, directories, JSON-lines and "
        "WARC files); shows per field the share of pages where it matched, where its value is empty and "
        "where it failed, the rows per page (min/median/max), the rows the filters dropped and the values "
        "that no alias rewrote, and warns of list rules whose rows lie in several containers",
    )
    parser.add_argument(
        "--sample",
        type=_count,
        metavar="N",
        help="with --pages: run on N pages drawn at random (the same N pages for the same inputs)",
    )
    parser.add_argument("--json", action="store_true", help="write the findings and figures as one JSON object")
    parser.add_argument(
        "--save-baseline", metavar="FILE", help="with --pages: write the figures to FILE (JSON) for --baseline"
    )
    parser.add_argument(
        "--baseline",
        metavar="FILE",
        help="with --pages: compare with figures saved by --save-baseline; a field whose match rate fell "
        "by more than --threshold is reported, with exit status 1",
    )
    parser.add_argument(
        "--threshold",
        type=_share,
        default=0.05,
        metavar="POINTS",
        help="percentage points that a field's match rate may fall below the baseline's (default: 5)",
    )
    parser.add_argument(
        "--fixtures",
        metavar="DIR",
        help="run the rules on every fixture in DIR (saved by try --save-fixture) and show the fields "
        "whose values differ from the stored rows; exit status 1 on any difference",
    )
    add_input_options(parser)
    parser.add_argument(
        "--include",
        action="append",
        metavar="GLOB",
        help="with --pages: files of a walked directory that are pages (as for extract)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    return parser


def _page_options(args):
    for option in ("sample", "save_baseline", "baseline"):
        if getattr(args, option) is not None and args.pages is None:
            raise UsageError(f"--{option.replace('_', '-')} needs --pages")


def run(args, prog):
    from ostrel.common.utils import ConfigUtils
    from ostrel.crawler.field_extractor.cli.rules_check import check_rules, summarize

    _page_options(args)
    if args.pages is not None:
        check_inputs(args.pages)
    try:
        conf = ConfigUtils.load(args.rules, readonly=False)
        problems = check_rules(conf)
    except Exception as exc:
        print(f"{prog}: cannot load rules {args.rules}: {describe_error(exc)}", file=sys.stderr)
        return EXIT_BAD_RULES
    result = {}
    status = EXIT_OK
    if args.pages is not None or args.fixtures is not None:
        extractor = load_extractor(prog, args.rules)
        if extractor is None:
            return EXIT_BAD_RULES
        if args.pages is not None:
            status = max(status, _run_pages(args, prog, conf, extractor, problems, result))
        if args.fixtures is not None:
            from ostrel.crawler.field_extractor.cli.fixtures import check_fixtures

            differences, fixture_status = check_fixtures(prog, args.fixtures, extractor, quiet=args.json)
            result["fixtures"] = differences
            status = max(status, fixture_status)
    summary, failed = summarize(problems)
    if args.json:
        result["problems"] = [
            {"where": problem.where(), "message": problem.message, "warning": problem.warning, "fatal": problem.fatal}
            for problem in problems
        ]
        print(json.dumps(result, ensure_ascii=False, indent=1))
    else:
        for problem in problems:
            print(f"{args.rules}: {problem}")
        if "health" in result:
            from ostrel.crawler.field_extractor.cli.health import report

            print(report(result["health"]))
        for rule, field, before, now in result.get("drift", []):
            print(
                f"{args.rules}: rule {rule}, field {field!r}: matched on {100 * now:.1f}% of the pages, "
                f"{100 * before:.1f}% in the baseline"
            )
    print(f"{args.rules}: {summary}", file=sys.stderr)
    return max(status, EXIT_PAGE_FAILED if failed else EXIT_OK)


def _run_pages(args, prog, conf, extractor, problems, result):
    from ostrel.crawler.field_extractor.cli.health import Health, compare, sample_tasks
    from ostrel.crawler.field_extractor.cli.rules_check import row_step_problems
    from ostrel.crawler.field_extractor.cli.sources import iter_tasks

    baseline = None
    if args.baseline is not None:
        try:
            with open(args.baseline, encoding="utf-8") as stream:
                baseline = json.load(stream)
            if not isinstance(baseline, dict):
                raise ValueError("not a JSON object of figures")
        except (OSError, ValueError) as exc:
            raise UsageError(f"--baseline {args.baseline}: cannot read it: {describe_error(exc)}") from None
    tasks = iter_tasks(args.pages, None, args.include, args.input_format, args.html_key, args.url_key)
    if args.sample is not None:
        # A reservoir keeps N tasks; without --sample the pages stream by
        # (a WARC response task holds its body).
        tasks = sample_tasks(tasks, args.sample)
    health = Health(extractor, conf)
    bar = None
    if sys.stderr.isatty() and not args.quiet:
        from tqdm import tqdm

        total = len(tasks) if isinstance(tasks, list) else None
        bar = tqdm(total=total, unit="page", file=sys.stderr, leave=False)
    first = []
    unread = 0
    for task in tasks:
        try:
            _, text = task.load()
            if not isinstance(text, str):
                raise TypeError("the page text is not a str")
        except Exception:
            unread += 1
        else:
            health.add(text)
            if len(first) < 3:
                first.append(text)
        if bar is not None:
            bar.update(1)
    if bar is not None:
        bar.close()
    problems += row_step_problems(conf, first)
    figures = health.figures()
    figures["unreadable_pages"] = unread
    result["health"] = figures
    status = EXIT_OK
    if args.save_baseline is not None:
        try:
            with open(args.save_baseline, "w", encoding="utf-8") as stream:
                json.dump(figures, stream, ensure_ascii=False, indent=1)
                stream.write("\n")
        except OSError as exc:
            print(f"{prog}: cannot write the baseline: {describe_error(exc)}", file=sys.stderr)
            status = EXIT_BAD_RULES
    if baseline is not None:
        result["drift"] = compare(figures, baseline, args.threshold)
        if result["drift"]:
            status = max(status, EXIT_PAGE_FAILED)
    return status
