"""Fuzzes the whole road: a generated rules file through FieldExtractor, a
generated page through extract.

    python -m fuzz.fuzz_extract -max_total_time=60 [libFuzzer options] [corpus dir]

A finding is a crash, or an exception of a kind the extractor may not raise:
the standard kinds it fails with (ValueError, TypeError, KeyError,
IndexError, AttributeError, NotImplementedError) and what the document
library raises for a page or an XPath it cannot handle (lxml's errors,
RecursionError for markup nested deeper than its parser recurses). After
every input the extractor must still give the right rows for a known page.
"""

import json
import os
import sys
import tempfile
import warnings

import atheris
import lxml.etree

from ostrel.crawler.field_extractor.extractor import FieldExtractor

ALLOWED = (
    ValueError,
    TypeError,
    KeyError,
    IndexError,
    AttributeError,
    NotImplementedError,
    lxml.etree.Error,
    RecursionError,
)

TAGS = [
    "html",
    "head",
    "title",
    "body",
    "div",
    "p",
    "ul",
    "ol",
    "li",
    "table",
    "tr",
    "td",
    "th",
    "a",
    "b",
    "i",
    "span",
    "img",
    "br",
    "meta",
    "script",
    "style",
    "!--",
    "![CDATA[",
    "?xml",
    "!DOCTYPE",
    "template",
    "svg",
]
ATTRS = ["href", "class", "id", "rel", "src", "alt", "charset", "style", "data-x", "x:y", ""]
TEXTS = [
    "a",
    "北京",
    " ",
    "\n",
    "\u3000",
    "\u00a0",
    "\t",
    "&amp;",
    "&lt",
    "&#0;",
    "&#xD800;",
    "&#99999999;",
    "&nosuch;",
    "<",
    ">",
    '"',
    "'",
    "=",
    "/",
    "\x00",
    "\ud800",
    "\U0001f600",
    "\r\n",
    "]]>",
    "-->",
]
CHARSETS = ["utf-8", "gb2312", "iso-8859-1", "utf-16", "x-bogus", ""]


def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def page(fdp, depth=0):
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        kind = fdp.ConsumeIntInRange(0, 9)
        if kind <= 3:
            parts.append(pick(fdp, TEXTS))
        elif kind == 4:
            parts.append(fdp.ConsumeUnicode(8))
        elif kind == 5:
            parts.append(f"<meta charset='{pick(fdp, CHARSETS)}'>")
        elif depth < 12:
            tag = pick(fdp, TAGS)
            attrs = "".join(f" {pick(fdp, ATTRS)}='{pick(fdp, TEXTS)}'" for _ in range(fdp.ConsumeIntInRange(0, 2)))
            inner = page(fdp, depth + 1)
            close = f"</{tag}>" if fdp.ConsumeIntInRange(0, 4) else ""
            parts.append(f"<{tag}{attrs}>{inner}{close}")
    return "".join(parts)


STEPS = [
    "",
    "html",
    "body",
    "div",
    "p",
    "ul",
    "li",
    "ol",
    "table",
    "tr",
    "td",
    "a",
    "b",
    "*",
    "text()",
    "@href",
    "li[1]",
    "li[2]",
    "tr[2]",
    "tr[3]",
    "td[1]",
    "p[last()]",
    "a[@href]",
    "span[",
    "..",
    ".",
]


def xpath(fdp):
    if fdp.ConsumeIntInRange(0, 9) == 0:
        return fdp.ConsumeUnicode(12)
    steps = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        step = pick(fdp, STEPS)
        if fdp.ConsumeIntInRange(0, 3) == 0 and step and not step.endswith("]"):
            step += f"[{fdp.ConsumeIntInRange(0, 6)}]"
        steps.append(step)
    return pick(fdp, ["//", "/", ""]) + "/".join(steps)


def junk(fdp):
    return pick(fdp, [None, 5, True, [], {}, ["x"], {"a": 1}, "", "x", 1.5])


def field_definition(fdp):
    kind = fdp.ConsumeIntInRange(0, 12)
    if kind <= 2:
        return {"rules": xpath(fdp)}
    if kind <= 4:
        return {"rules": [xpath(fdp), xpath(fdp)] + [xpath(fdp)] * fdp.ConsumeIntInRange(0, 1)}
    if kind <= 6:
        return {"rules": xpath(fdp), "type": "attr:" + pick(fdp, ATTRS) + pick(fdp, ["", ":x"])}
    if kind == 7:
        return {"rules": fdp.ConsumeUnicode(6)}
    if kind == 8:
        return {
            "rules": junk(fdp) if fdp.ConsumeBool() else xpath(fdp),
            "type": pick(fdp, ["text", "attr", "link:x", "", ":", "text:x", None, 5, ["attr"]]),
        }
    if kind == 9:
        return junk(fdp)
    if kind == 10:
        return {"type": "text"}
    return {"rules": [xpath(fdp)] * fdp.ConsumeIntInRange(0, 3)}


KEYS = ["a", "b", "title", "city", "", "0"]


def rules_conf(fdp):
    entries = []
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        if fdp.ConsumeIntInRange(0, 15) == 0:
            entries.append(junk(fdp))
        else:
            entries.append(
                {pick(fdp, KEYS) + str(i): field_definition(fdp) for i in range(fdp.ConsumeIntInRange(0, 4))}
            )
    conf = {
        "rules": entries if fdp.ConsumeIntInRange(0, 20) else junk(fdp),
        "value_separator": pick(fdp, ["\t", " | ", "", " ", "\n"]) if fdp.ConsumeIntInRange(0, 15) else junk(fdp),
    }
    if fdp.ConsumeIntInRange(0, 3) == 0:
        conf["alias2main_name"] = {pick(fdp, KEYS) + "0": {pick(fdp, TEXTS): pick(fdp, TEXTS + [""])}}
    if fdp.ConsumeIntInRange(0, 3) == 0:
        values = {"words": [pick(fdp, TEXTS)], "format": ["<" + pick(fdp, KEYS) + "0>" + pick(fdp, TEXTS)]}
        conf["filter"] = {"key": pick(fdp, KEYS) + "0", "values": values}
    if fdp.ConsumeIntInRange(0, 3) == 0:
        conf["not_empty_fields"] = [pick(fdp, KEYS) + "0"]
    for name in list(conf):
        if fdp.ConsumeIntInRange(0, 30) == 0:
            del conf[name]
    return conf


RULES_PATH = os.path.join(tempfile.mkdtemp(prefix="fuzz-extract-"), "rules.json")
KNOWN_PAGE = "<html><body><h1> x </h1><ul><li>a</li><li>b</li></ul><a href='/h'>l</a></body></html>"
KNOWN_RULES = {
    "rules": [
        {"t": {"rules": "//h1"}, "l": {"rules": "//a", "type": "attr:href"}},
        {"i": {"rules": ["//ul/li[1]", "//ul/li[2]"]}},
    ],
    "value_separator": "\t",
}
KNOWN_ROWS = [{"t": "x", "l": "/h"}, {"i": ["a", "b"]}]


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    conf = rules_conf(fdp)
    text = page(fdp)
    de_dup = fdp.ConsumeBool()
    with open(RULES_PATH, "w", encoding="utf-8") as stream:
        json.dump(conf, stream)  # \u escapes carry lone surrogates too
    try:
        extractor = FieldExtractor(RULES_PATH)
    except ALLOWED:
        return
    try:
        rows = extractor.extract(text, de_dup)
        assert type(rows) is list and all(type(r) is dict for r in rows), rows
    except ALLOWED:
        pass
    # Nothing of the failure stays behind: the same extractor, given known
    # rules, gives the known rows.
    extractor.rules, extractor.value_separator = KNOWN_RULES["rules"], KNOWN_RULES["value_separator"]
    extractor.dravine = type(extractor.dravine)({})
    assert extractor.extract(KNOWN_PAGE) == KNOWN_ROWS


def main():
    # The modules under test are native, so the coverage that guides the
    # fuzzer is that of the generators.
    for function in [page, xpath, junk, field_definition, rules_conf, test_one_input]:
        atheris.instrument_func(function)
    warnings.simplefilter("ignore")  # the parser's remarks on odd markup
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
