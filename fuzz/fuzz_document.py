"""Fuzzes the page document of `extract` (requests_html's HTML with its
`element` parse and `session` made on first read) against the plain
constructor `HTML(html=text)`.

    python -m fuzz.fuzz_document -max_total_time=60 [libFuzzer options] [corpus dir]

Pages open with whitespace, comments (closed or not, with NULs, `<!-->`),
doctypes (quoted identifiers, `>` inside quotes, stray `<`), an `<html>`
start tag of generated attributes (every kind of quoting, stray quotes,
`<`, `>`, `/`, NUL) or none, and go on with generated markup and text. A
finding is a deferred document for a page the constructor refuses, any
difference between the two documents (tests/support/documents.py), or
different rows or exceptions (type and message) from `extract`.
"""

import json
import sys
import tempfile
import warnings

import atheris

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from tests.support import documents
from tests.support.hostile_pages import RULES

PREFIXES = [
    " ",
    "\n",
    "\t",
    "\r\n",
    "\x0c",
    "\u3000",
    "\ufeff",
    "\x00",
    "<!-- c -->",
    "<!---->",
    "<!-->",
    "<!--->",
    "<!-- \x00 -->",
    "<!-- a --!> b -->",
    "<!-- unclosed",
    "<!--[if IE]><html class='ie'><![endif]-->",
    "<!DOCTYPE html>",
    "<!doctype HTML>",
    '<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Strict//EN" "http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd">',
    '<!DOCTYPE html "a>b">',
    "<!DOCTYPE html 'a>",
    "<!DOCTYPE <x>",
    "<!DOCTYPE",
    "<?xml version='1.0'?>",
    "<?xml version='1.0' encoding='x-bogus'?>",
    "text",
    "</p>",
]
TAG_NAMES = ["html", "HTML", "Html", "htmlx", "htm", "html:x", "body", "p"]
ATTR_NAMES = ["lang", "class", "xmlns", "xml:lang", "dir", "data-x", "a'b", 'a"b', "a<b", "a/b", "", "=", "_x", "é"]
VALUES = ["en", "a b", "", "<", ">", "x/y", "\x00", "'", '"', "http://www.w3.org/1999/xhtml", "北京", "a=b"]
QUOTES = ['"{}"', "'{}'", "{}", '"{}', "'{}"]
GAPS = [" ", "\n", "\t", "", "  ", "\x0c", "/"]
ENDS = [">", "", "/>", " >", "\n>", " x", "<"]
BODY = [
    "<head><title>t</title></head>",
    "<body>",
    "<h1>h</h1>",
    "<ul><li>a</li><li>b<b>1</b></li></ul>",
    "<a href='/x'>x</a>",
    "<meta charset='utf-16'>",
    "<meta charset='cp037'>",
    "<meta charset='x-bogus'>",
    "</html>",
    "<html>",
    "<!-- c -->",
    "\x00",
    "&amp;&nosuch;&#0;",
    "\ud800",
    "</body>",
]


def pick(fdp, items, usual=0):
    """Mostly one of the first `usual` items (the well-formed ones), when given."""
    if usual and fdp.ConsumeIntInRange(0, 3):
        return items[fdp.ConsumeIntInRange(0, usual - 1)]
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def html_tag(fdp):
    parts = ["<" + pick(fdp, TAG_NAMES, 3)]
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        parts.append(pick(fdp, GAPS, 3) + pick(fdp, ATTR_NAMES, 6))
        if fdp.ConsumeBool():
            parts.append(pick(fdp, ["=", " = ", "=\n"]) + pick(fdp, QUOTES, 3).format(pick(fdp, VALUES, 3)))
    parts.append(pick(fdp, ENDS, 1))
    return "".join(parts)


def page(fdp):
    parts = [pick(fdp, PREFIXES, 20) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if fdp.ConsumeIntInRange(0, 4):
        parts.append(html_tag(fdp))
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        parts.append(pick(fdp, BODY) if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeUnicode(6))
    return "".join(parts)


def outcome(extractor, text):
    try:
        return extractor.extract(text)
    except Exception as error:  # noqa: BLE001 - compared between the two documents
        return (type(error), str(error))


EXTRACTOR = None
SEEN = {"pages": 0, "deferred": 0}


def test_one_input(data):
    text = page(atheris.FuzzedDataProvider(data))
    SEEN["deferred"] += documents.compare(text)
    SEEN["pages"] += 1
    deferred = outcome(EXTRACTOR, text)
    extractor_module._deferred_html, saved = None, extractor_module._deferred_html
    try:
        plain = outcome(EXTRACTOR, text)
    finally:
        extractor_module._deferred_html = saved
    if deferred != plain:
        raise AssertionError(f"{text!r}\ndeferred document: {deferred!r}\nconstructor: {plain!r}")


def main():
    global EXTRACTOR
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8") as rules:
        json.dump(RULES, rules)
        rules.flush()
        EXTRACTOR = FieldExtractor(rules.name)
    for function in [html_tag, page, test_one_input]:
        atheris.instrument_func(function)
    warnings.simplefilter("ignore")
    atheris.Setup(sys.argv, test_one_input)
    try:
        atheris.Fuzz()
    finally:
        print(f"pages {SEEN['pages']}, deferred documents {SEEN['deferred']}", file=sys.stderr)


if __name__ == "__main__":
    main()
