"""Command line: batch extraction, rules checking and rule debugging.

    ostrel-extract extract RULES INPUT... [-o OUT] [--format jsonl|csv]
                           [--jobs N] [--no-dedup] [--errors FILE]
                           [--resume] [--sync-interval SECONDS] [-q | -v]
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
2 when the rules file could not be loaded or the arguments were wrong, 3
when ``extract`` stopped before the end (a write failed: the output is
incomplete, ``--resume`` goes on). A
reader of stdout that goes away (``| head``) ends ``extract`` quietly, with 0
unless a page failed before. ``extract`` stopped by SIGINT (Ctrl-C), SIGTERM
or SIGHUP writes the pages done so far, whole, then the summary, and exits
with 128 + the signal number (130, 143, 129).
"""

import argparse
import os
import sys
import warnings

# Only what holds the signals is imported before main() runs: the commands,
# their inputs and the native modules load once the signals are held.
from ostrel.crawler.field_extractor.cli.signals import Stopped, StopSignals

#: The commands; each one's module (``command_module``) has
#: ``build_parser(prog)`` and ``run(args, prog)``, which returns the exit
#: status.
COMMANDS = ("extract", "check", "try")
DISTRIBUTION = "ostrel-field-extractor"


def command_module(command):
    import importlib

    return importlib.import_module(f"ostrel.crawler.field_extractor.cli.commands.{command.replace('try', 'try_')}")


def _program_name():
    if os.path.basename(sys.argv[0]) == "__main__.py":
        return "python -m ostrel.crawler.field_extractor"
    return "ostrel-extract"


def _top_parser(prog):
    from ostrel.crawler.field_extractor.cli.common import EXIT_TEXT

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


def main(argv=None):
    """Run the command line; return the exit status."""
    # When the native page tree is off, its gate warns as the native modules
    # are first imported; the command line says so in --version and in its
    # summary line instead (forked workers inherit the filter).
    # SIGINT, SIGTERM and SIGHUP are held from here until the command is
    # ready to stop cleanly: one that comes while the native modules load
    # would otherwise cut their loading (and leave the page tree off).
    with warnings.catch_warnings(), StopSignals(holding=True) as stop:
        warnings.filterwarnings("ignore", "native tree builder disabled", RuntimeWarning)
        try:
            return _main(argv, stop)
        except Stopped as exc:
            stop.hold()
            return 128 + exc.signum


def _main(argv, stop):
    from ostrel.crawler.field_extractor.cli.common import EXIT_BAD_RULES, EXIT_OK, UsageError

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
        module = command_module(command)
        parser = module.build_parser(prog)
        args = parser.parse_args(argv)
        if command == "extract":
            # Before anything is opened, let alone written.
            problem = module.check_destinations(args)
            if problem:
                parser.error(problem)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_BAD_RULES
    try:
        if command == "extract":
            return module.run(args, prog, stop)
        import ostrel.crawler.field_extractor.extractor  # noqa: F401 - the native modules, loaded whole

        stop.release()  # ``check`` and ``try`` stop at once
        return module.run(args, prog)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_RULES
