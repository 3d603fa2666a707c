"""``check``: load a rules file and report every problem that would make
extraction fail or misbehave, one line each."""

import sys

from ostrel.crawler.field_extractor.cli.common import (
    EXIT_BAD_RULES,
    EXIT_OK,
    EXIT_PAGE_FAILED,
    describe_error,
    rules_parser,
)


def build_parser(prog):
    return rules_parser(
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


def run(args, prog):
    from ostrel.crawler.field_extractor.cli.rules_check import check_file, summarize

    try:
        problems = check_file(args.rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {args.rules}: {describe_error(exc)}", file=sys.stderr)
        return EXIT_BAD_RULES
    for problem in problems:
        print(f"{args.rules}: {problem}")
    summary, failed = summarize(problems)
    print(f"{args.rules}: {summary}", file=sys.stderr)
    return EXIT_PAGE_FAILED if failed else EXIT_OK
