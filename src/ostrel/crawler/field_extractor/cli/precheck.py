"""The rules check that ``extract`` runs before it opens anything.

Problems that fail every page (a field without ``rules``, an XPath that does
not compile or calls an unknown function, one that gives text or attribute
nodes where elements are needed) stop the run with exit 2: a crawl of
thousands of failed pages helps nobody. The other findings, and the list
rules whose rows lie in several containers on the first pages, are printed
once as warnings and the run goes on.
"""

import sys

from ostrel.common.utils import ConfigUtils
from ostrel.crawler.field_extractor.cli.progress import plural
from ostrel.crawler.field_extractor.cli.rules_check import check_rules, list_rules, row_step_problems
from ostrel.crawler.field_extractor.cli.sources import iter_tasks

__all__ = ["SAMPLE_PAGES", "check_before_run", "sample_texts"]

SAMPLE_PAGES = 3  # pages whose list rules are looked at before the run


def sample_texts(tasks, count=SAMPLE_PAGES):
    """The texts of the first ``count`` pages of ``tasks`` that load."""
    texts = []
    for task in tasks:
        if len(texts) >= count:
            break
        load = getattr(task, "load", None)
        if load is None:  # an input error: the run reports it
            continue
        try:
            _, text = load()
        except Exception:
            continue
        if isinstance(text, str):
            texts.append(text)
    return texts


def warning_line(problem):
    where = problem.where()
    return f"{where}: warning: {problem.message}" if where else f"warning: {problem.message}"


def check_before_run(prog, args, quiet=False):
    """Check the rules of ``args.rules`` (and the list rules on the first
    pages of ``args.inputs``, unless standard input is one of them); print
    the findings on stderr. False when the run must not start."""
    try:
        conf = ConfigUtils.load(args.rules, readonly=False)
        problems = check_rules(conf)
    except Exception:  # the extractor was built from it: leave it to the run
        return True
    fatal = [problem for problem in problems if problem.fatal]
    if fatal:
        # With the other errors, which often say why (a misspelt "rule:").
        for problem in problems:
            if not problem.warning:
                print(f"{prog}: {args.rules}: {problem}", file=sys.stderr)
        print(
            f"{prog}: {args.rules}: stopped before the run: {plural(len(fatal), 'problem')} would fail every page "
            f"(or every page where the XPath matches); '{prog} check {args.rules}' lists every finding, "
            f"--no-check runs anyway",
            file=sys.stderr,
        )
        return False
    if quiet:
        return True
    if "-" not in args.inputs and any(True for _ in list_rules(conf)):
        tasks = iter_tasks(args.inputs, None, args.include, args.input_format, args.html_key, args.url_key)
        try:
            problems += row_step_problems(conf, sample_texts(tasks))
        finally:
            close = getattr(tasks, "close", None)
            if close is not None:
                close()
    for problem in problems:
        line = str(problem) if problem.warning else warning_line(problem)
        print(f"{prog}: {args.rules}: {line}", file=sys.stderr)
    return True
