"""Command line front end: extract the fields of saved pages.

    python -m ostrel.crawler.field_extractor RULES PAGE...
    ostrel-extract RULES PAGE...

One ``FieldExtractor`` is built from the rules file and run over every page.
Each page that is extracted gives one JSON line on stdout,
``{"page": PATH, "rows": [...]}``, written as UTF-8 with non-ASCII text as
itself and flushed at once, so a consumer sees each page as soon as it is
done. A page that cannot be read or extracted is reported on stderr, one
line per page, and the remaining pages are still processed.

Exit status: 0 when every page was extracted, 1 when at least one page
failed, 2 when the rules file could not be loaded (or the arguments were
wrong).
"""

import argparse
import json
import os
import sys

from w3lib.encoding import html_to_unicode

from ostrel.crawler.field_extractor.extractor import FieldExtractor

EXIT_OK = 0
EXIT_PAGE_FAILED = 1
EXIT_BAD_RULES = 2

def decode_page(data):
    """Turn the bytes of a saved page into text.

    Pages are normally stored as UTF-8 (a BOM is dropped); strict UTF-8 is
    tried first because crawlers often save pages as UTF-8 while leaving the
    original charset declaration in the markup. Anything that is not valid
    UTF-8 is decoded by what the page itself declares (BOM, meta charset),
    falling back to detection. The text is then taken as it is: the
    extractor does not decode it again by the charset that the markup
    declares.
    """
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        _, text = html_to_unicode(None, data)
    return text


def _describe(exc):
    """One line: the exception's type and message."""
    message = " ".join(str(exc).splitlines())
    name = type(exc).__name__
    return f"{name}: {message}" if message else name


def _write_line(text):
    """Write one line of UTF-8 to stdout and flush it."""
    stream = getattr(sys.stdout, "buffer", None)
    if stream is None:  # a text-only stream put in place of stdout
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    else:
        sys.stdout.flush()  # keep order with anything written as text
        stream.write(text.encode("utf-8") + b"\n")
        stream.flush()


def _program_name():
    if os.path.basename(sys.argv[0]) == "__main__.py":
        return "python -m ostrel.crawler.field_extractor"
    return "ostrel-extract"


def _argument_parser():
    parser = argparse.ArgumentParser(
        prog=_program_name(),
        description=(
            "Extract fields from saved web pages with one rules file. "
            "Prints one JSON line per page to stdout: "
            '{"page": PATH, "rows": [ROW, ...]}, where each ROW maps field '
            "keys to values. Pages that fail are reported on stderr and the "
            "other pages go on."),
        epilog=(
            "Pages are read as UTF-8 (a BOM is allowed); a page that is not "
            "valid UTF-8 is decoded by the charset it declares. "
            "Exit status: 0 all pages extracted, 1 some page failed, "
            "2 the rules file could not be loaded."),
    )
    parser.add_argument(
        "rules", metavar="RULES",
        help="rules file (.json for JSON, any other name for YAML)")
    parser.add_argument(
        "pages", metavar="PAGE", nargs="+",
        help="saved HTML page to extract")
    return parser


def main(argv=None):
    """Run the command line; return the exit status."""
    prog = _program_name()
    args = _argument_parser().parse_args(argv)

    try:
        extractor = FieldExtractor(args.rules)
    except Exception as exc:
        print(f"{prog}: cannot load rules {args.rules}: {_describe(exc)}",
              file=sys.stderr)
        return EXIT_BAD_RULES

    status = EXIT_OK
    for page in args.pages:
        try:
            with open(page, "rb") as stream:
                text = decode_page(stream.read())
            rows = extractor.extract(text)
            line = json.dumps({"page": page, "rows": rows},
                              ensure_ascii=False)
        except Exception as exc:
            print(f"{prog}: {page}: {_describe(exc)}", file=sys.stderr,
                  flush=True)
            status = EXIT_PAGE_FAILED
            continue
        try:
            _write_line(line)
        except BrokenPipeError:
            # The reader went away (e.g. "| head"): stop quietly, and keep
            # the interpreter's final flush of stdout from failing again.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return EXIT_PAGE_FAILED
    return status


if __name__ == "__main__":
    sys.exit(main())
