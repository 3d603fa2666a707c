"""Fuzzes FieldsParser.parse on list rules: the one-pass reading of a
requests_html HTML document against the row-by-row reading of the same tree
(a subclass of HTML, which parse always reads one row XPath at a time).

    python fuzz/fuzz_list_rows.py -max_total_time=60 [libFuzzer options] [corpus dir]

Pages are nested tables, lists and blocks with classes; rules are pairs of
sample XPaths that differ in a row position, built from prefixes, row steps,
start positions and end rules (downward; leaving the row for parents,
siblings and ancestors that rows share; selecting strings; unions;
malformed). The one-pass reading is made twice: on the tree itself and through lxml's
element proxies (`kestrum._read_in_tree` off). A finding is any difference in the texts, the None / [] shapes,
the exception (type and message) or the document's cached encoding; the
first XPath of each rule is compared the same way through FieldParser and
AttrParser (which read requests_html's own HTML without its wrappers).
"""

import sys
import warnings

import atheris
from requests_html import HTML

from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser, kestrum
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser

try:
    from ostrel.crawler.field_extractor.utils import _treebuilder
except ImportError:  # the native tree builder is not built here
    _treebuilder = None


class PlainHTML(HTML):
    """Read row by row."""


TAGS = ["table", "tbody", "tr", "td", "th", "ul", "ol", "li", "div", "p", "span", "a", "b", "dl", "dd"]
TEXTS = ["", "a", " x ", "\u3000", "\u00a0y", "\n", "北京", "&amp;", "1", "\t"]
CLASSES = ["", " class='r'", " class='r s'", " class='s'", " id='t'", " href='/h'"]


def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def markup(fdp, depth=0, room=None):
    """At most about 3,000 characters: the row-by-row reading scans the page
    once per row."""
    room = room if room is not None else [3000]
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        if room[0] <= 0:
            break
        if depth >= 7 or fdp.ConsumeIntInRange(0, 3) == 0:
            parts.append(pick(fdp, TEXTS))
            room[0] -= len(parts[-1]) + 1
            continue
        tag = pick(fdp, TAGS)
        inner = markup(fdp, depth + 1, room)
        element = f"<{tag}{pick(fdp, CLASSES)}>{inner}</{tag}>"
        repeat = min(fdp.ConsumeIntInRange(1, 4), max(1, room[0] // len(element)))
        parts.append(element * repeat)
        room[0] -= len(element) * (repeat - 1)
    return "".join(parts)


PREFIXES = [
    "//table",
    "//tbody",
    "//ul",
    "//div",
    "//*",
    "/html/body",
    "/html/body/div",
    "//div[@class='r']",
    "//*[contains(@class, 's')]",
    "//table//tbody",
    "//body//ul",
    "",
    "/html",
    "//td/table",
    "//li/ul",
    "//div/div",
    "//*[@id='t']",
    "//div[@class='r'][2]",
    "//*[@class != 'r' and ../@class = 's']",
    "//body//ul[@class='s']",
    "//p/..",
    "//ol[1]",
    "//tr[td]/td",
    "//table[",
]
ROWS = ["tr", "li", "div", "td", "p", "*", "span", "a", "child::tr", "@class", "text()", "node()", "x:li"]
ENDS = [
    "",
    "td",
    "td[1]",
    "td[2]",
    "td[last()]",
    "*",
    "*[position()>1]",
    "b",
    "a[@href]",
    "/b",
    "/td",
    "//b",
    "td//a",
    "descendant::b[1]",
    "self::li",
    ".",
    "./td",
    "td/.",
    "..",
    "td/..",
    "@class",
    "text()",
    "td/text()",
    "node()",
    "td[",
    "td]",
    "td[$v]",
    "td[nosuch()]",
    "b | a",
    "following-sibling::*",
    "ancestor::*[1]",
    "*[count(*)>1]",
    "td[../td]",
    "*[last()-1]",
    "/",
    "//",
    "span/b[1]",
    "li/ul/li",
    "tr/td/table/tr",
    "preceding-sibling::*[1]",
    "../*[2]",
    "parent::*/td[last()]",
    "ancestor::table[1]//td[1]",
    "preceding::td[1]",
    "following::b[1]",
    "ancestor-or-self::*[@class]",
    "self::*/../*[1]",
    "following-sibling::*/b",
    "../../*",
    "..//b",
    "../@class",
    "(..)[1]",
    ".. | ..",
]


def list_rule(fdp, root):
    """Most rules are built around an element of the page, the others from
    the lists above."""
    prefix, row, end = pick(fdp, PREFIXES), pick(fdp, ROWS), pick(fdp, ENDS)
    elements = [e for e in root.iter() if isinstance(e.tag, str) and e.getparent() is not None]
    if elements and fdp.ConsumeIntInRange(0, 3):
        element = pick(fdp, elements)
        parent = element.getparent()
        prefix = pick(
            fdp,
            [
                root.getroottree().getpath(parent),
                f"//{parent.tag}",
                f"//{parent.tag}",
                "//*",
                prefix,
                f"//{parent.tag}[@class]",
                f"//*[{element.tag}]",
            ],
        )
        row = pick(fdp, [element.tag, element.tag, "*", row])
        children = [c.tag for c in element.iter() if isinstance(c.tag, str) and c is not element]
        if children and fdp.ConsumeIntInRange(0, 2):
            end = pick(
                fdp,
                [
                    pick(fdp, children),
                    "/" + pick(fdp, children),
                    f"{pick(fdp, children)}[1]",
                    f"{pick(fdp, children)}[last()]",
                    f"*/{pick(fdp, children)}",
                    f"../{element.tag}[2]/{pick(fdp, children)}",
                    f"following-sibling::{element.tag}[1]",
                    f"preceding-sibling::*/{pick(fdp, children)}",
                    f"ancestor::{parent.tag}[1]//{pick(fdp, children)}[1]",
                ],
            )
    start = pick(fdp, [1, 1, 1, 2, 0, 3, -2, 40])
    if end and fdp.ConsumeIntInRange(0, 3) == 0:
        end = f"{end}/{pick(fdp, ENDS)}"
    tail = "/" + end if end else ""
    return [f"{prefix}/{row}[{start}]{tail}", f"{prefix}/{row}[{start + 1}]{tail}"]


def outcome(doc, rules, separator):
    doc._encoding = None
    try:
        result = FieldsParser().parse(doc, rules, separator)
    except Exception as error:  # noqa: BLE001 - compared between the readings
        result = (type(error), str(error))
    return result, doc._encoding


def single(parse, doc, rule, last):
    doc._encoding = None
    try:
        result = parse(doc, rule, last)
    except Exception as error:  # noqa: BLE001 - compared between the documents
        result = (type(error), str(error))
    return result, doc._encoding


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    text = f"<html><body>{markup(fdp)}</body></html>"
    native = fdp.ConsumeBool() and _treebuilder is not None
    doc = HTML(html=text)
    root = _treebuilder.build(doc.html) if native else None
    doc._lxml = root if root is not None else doc.lxml
    rules = [list_rule(fdp, doc._lxml) for _ in range(fdp.ConsumeIntInRange(1, 4))]
    separator = pick(fdp, ["\t", " ", "", None])
    plain = PlainHTML(html=text)
    plain._lxml = doc._lxml
    attribute = pick(fdp, ["href", "class", "id", "nosuch", None])
    for rule in rules:
        fast, slow = outcome(doc, rule, separator), outcome(plain, rule, separator)
        if fast != slow:
            raise AssertionError(f"{text!r}\n{rule!r} {separator!r}\none pass: {fast!r}\nrow by row: {slow!r}")
        kestrum._read_in_tree = False
        try:
            through_proxies = outcome(doc, rule, separator)
        finally:
            kestrum._read_in_tree = True
        if through_proxies != slow:
            raise AssertionError(
                f"{text!r}\n{rule!r} {separator!r}\nproxies: {through_proxies!r}\nrow by row: {slow!r}"
            )
        # The single-XPath parsers read requests_html's own HTML without its wrappers too.
        for parse, last in ((FieldParser().parse, separator), (AttrParser().parse, attribute)):
            fast, slow = single(parse, doc, rule[0], last), single(parse, plain, rule[0], last)
            if fast != slow:
                raise AssertionError(f"{text!r}\n{rule[0]!r} {last!r}\nown document: {fast!r}\nHTML.xpath: {slow!r}")


def main():
    # FieldsParser is native, so the coverage that guides the fuzzer is that
    # of the generators.
    for function in [markup, list_rule, test_one_input]:
        atheris.instrument_func(function)
    warnings.simplefilter("ignore")
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
