"""What the commands share: the exit statuses, usage errors found after the
arguments are parsed, the rules and input arguments, loading the extractor
and stopping quietly when the reader of stdout goes away."""

import argparse
import os
import re
import sys
import textwrap

from ostrel.crawler.field_extractor.cli.readers import Limits, size_text
from ostrel.crawler.field_extractor.cli.sources import INPUT_FORMATS, describe

EXIT_OK = 0
EXIT_PAGE_FAILED = 1
EXIT_BAD_RULES = 2
EXIT_INCOMPLETE = 3

EXIT_TEXT = textwrap.fill(
    "Exit status: 0 all pages extracted, 1 some page failed (each is in "
    "the errors), 2 the rules file could not be loaded or the arguments "
    "were wrong, or its rules would fail every page (see --no-check; "
    "nothing written), 3 extract stopped before the end: the "
    "output is incomplete (a write failed, the disk is full, workers "
    "could not start; --resume goes on), 130, 143, 129 extract stopped by "
    "SIGINT, SIGTERM, SIGHUP (incomplete too). A reader of stdout that "
    "goes away (head, for one) stops extract quietly, with 0 unless a page "
    "failed before.",
    width=70,
)


class UsageError(Exception):
    """Wrong arguments found after parsing: reported with the usage, exit 2."""


def describe_error(exc):
    """One line: the exception's type and message."""
    message = describe(exc)
    name = type(exc).__name__
    return f"{name}: {message}" if message else name


def rules_parser(prog, description, epilog):
    """A command's parser, with its first argument, the rules file."""
    parser = argparse.ArgumentParser(prog=prog, description=description, epilog=epilog)
    parser.add_argument("rules", metavar="RULES", help="rules file (.json for JSON, any other name for YAML)")
    return parser


def add_input_options(parser):
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


_SIZE = re.compile(r"\s*(\d+)\s*([kmgt]?)(i?b)?\s*", re.IGNORECASE)


def byte_size(text):
    """A number of bytes: digits, optionally followed by K, M, G or T
    (powers of 1024; ``64M``, ``64MiB`` and ``64MB`` alike)."""
    match = _SIZE.fullmatch(text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size: write e.g. 1048576, 512K, 64M or 2G")
    return int(match[1]) << (10 * " kmgt".index(match[2].lower() or " "))


def _positive_size(text):
    size = byte_size(text)
    if size < 1:
        raise argparse.ArgumentTypeError("must be 1 byte or more")
    return size


def add_limit_options(parser):
    """The limits on one page, one JSON line and one WARC record."""
    defaults = Limits()
    parser.add_argument(
        "--max-page-bytes",
        type=_positive_size,
        default=defaults.page_bytes,
        metavar="SIZE",
        help=f"most bytes of one page, after decompression (default: {size_text(defaults.page_bytes)}); "
        "a larger page fails as that page, and is never decompressed whole",
    )
    parser.add_argument(
        "--max-line-bytes",
        type=_positive_size,
        default=defaults.line_bytes,
        metavar="SIZE",
        help=f"most bytes of one JSON line (default: {size_text(defaults.line_bytes)}); a longer line fails "
        "as that page, and is never held whole",
    )
    parser.add_argument(
        "--max-record-bytes",
        type=_positive_size,
        default=defaults.record_bytes,
        metavar="SIZE",
        help=f"most bytes of one WARC record (default: {size_text(defaults.record_bytes)}); a larger HTML "
        "response fails as that page, other records are skipped, neither is held whole",
    )


def limits_of(args):
    return Limits(args.max_page_bytes, args.max_line_bytes, args.max_record_bytes)


def check_inputs(inputs):
    """Usage errors of the inputs, found before anything is read or written."""
    for name in inputs:
        if name != "-" and not os.path.exists(name):
            raise UsageError(f"{name}: no such file or directory")
    if inputs.count("-") > 1:
        raise UsageError("- (standard input) can be read only once")


def load_extractor(prog, rules):
    """The extractor of the rules file, or None (said on stderr) when it
    cannot be loaded."""
    # Imported here: importing the native modules runs the page-tree gate,
    # whose warning main() filters.
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    try:
        return FieldExtractor(rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {rules}: {describe_error(exc)}", file=sys.stderr)
        return None


def stop_on_broken_pipe():
    # The reader went away (e.g. "| head"): stop quietly, and keep the
    # interpreter's final flush of stdout from failing again ("Exception
    # ignored ... BrokenPipeError"), as the Python documentation of SIGPIPE
    # advises.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
