"""List rules read in one pass against the same rules read one row XPath at a
time, on the same page tree.

`PlainHTML` is a subclass of requests_html's HTML, which FieldsParser.parse
never reads in one pass: sharing the tree of an HTML document, it gives the
row-by-row answer to compare with. The outcomes compared are the texts, the
None / [] shapes, the exception (type and message) and the document's cached
encoding afterwards. The first XPath of each generated rule goes through
FieldParser and AttrParser on the same two documents as well (they too read
requests_html's own HTML without its Element wrappers).

Rules are generated from each page's own structure: row elements found under
every kind of parent, reached by absolute paths, `//` prefixes with class and
id predicates, `*`, several parents at once and rows nested in rows; end rules
with positions, last(), attribute predicates, `//` inside, none at all, end
rules that leave the row (parents, siblings, ancestors, preceding and
following nodes that the rows of one position share), and end rules that
select strings, are unions or do not parse (these must be declined and
still agree).
"""

import os
import random
import time

import lxml.html
import pytest
import yaml
from requests_html import HTML

from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser, kestrum, selvane, vintor
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from tests.support.corpus import CORPUS, EXAMPLE_RULES, GENERIC_RULES, corpus_pages, example_pages
from tests.support.hostile_pages import CASES as HOSTILE_PAGES
from tests.support.treecanon import native_builder

PAGES = corpus_pages() + example_pages()
RULE_FILES = sorted((CORPUS / "rules").glob("*.yaml")) + [EXAMPLE_RULES, GENERIC_RULES]
# The row XPaths scan the page once per row: rules whose row-by-row reading
# would take longer than this (seconds, estimated from one evaluation of the
# length rule) are left out. OSTREL_LIST_ROWS_SCALE multiplies it and the
# number of rules per page, for a longer run.
SCALE = float(os.environ.get("OSTREL_LIST_ROWS_SCALE", "1"))
LONGEST = 0.02 * SCALE
PER_PAGE = int(40 * SCALE)

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

builder, _ = native_builder()
TOTALS = {"cases": 0, "one pass": 0, "in tree": 0}


class PlainHTML(HTML):
    """Read row by row (FieldsParser only reads requests_html's own HTML in one pass)."""


def documents(text, tree):
    """An HTML document and a PlainHTML one sharing its tree."""
    try:
        doc = HTML(html=text)
        if tree == "native":
            root = builder.build(doc.html) if builder is not None else None
            if root is None:
                return None
            doc._lxml = root
        else:
            doc.lxml  # noqa: B018 - builds the tree
    except Exception:  # noqa: BLE001 - a page without a tree has no rows to compare
        return None
    plain = PlainHTML(html=doc.raw_html)
    plain._lxml = doc._lxml
    return doc, plain


class XPathCount:
    """Counts the XPath evaluations requests_html makes on the page tree
    (HTML.xpath calls `self.lxml.xpath`): none for a parse in one pass, whose
    XPaths are compiled ones, one per row otherwise."""

    def __init__(self, monkeypatch):
        self.calls = 0
        original = lxml.html.HtmlElement.xpath

        def counted(element, *args, **kwargs):
            self.calls += 1
            return original(element, *args, **kwargs)

        monkeypatch.setattr(lxml.html.HtmlElement, "xpath", counted, raising=False)


def outcome(doc, rules, separator):
    try:
        result = FieldsParser().parse(doc, rules, separator)
    except Exception as error:  # noqa: BLE001 - compared between the two readings
        result = (type(error), str(error))
    return result, doc._encoding


class Proxies:
    """Counts the element proxies lxml.html makes (one class lookup each)."""

    def __init__(self, monkeypatch):
        self.made = 0
        original = lxml.html.HtmlElementClassLookup.lookup

        def counted(lookup, *args):
            self.made += 1
            return original(lookup, *args)

        monkeypatch.setattr(lxml.html.HtmlElementClassLookup, "lookup", counted)


def compare(doc, plain, rules, separator, counter, proxies=None):
    """The three readings of a list rule: on the tree itself, in one pass
    through lxml's proxies (`kestrum._read_in_tree` off), row by row."""
    doc._encoding = plain._encoding = None
    before, made = counter.calls, proxies.made if proxies else 0
    fast = outcome(doc, rules, separator)
    calls, made = counter.calls - before, (proxies.made - made if proxies else 0)
    doc._encoding = None
    kestrum._read_in_tree = False
    try:
        made_through_proxies = proxies.made if proxies else 0
        through_proxies = outcome(doc, rules, separator)
        made_through_proxies = proxies.made - made_through_proxies if proxies else 0
    finally:
        kestrum._read_in_tree = True
    slow = outcome(plain, rules, separator)
    assert fast == slow, f"{rules!r} separator {separator!r}"
    assert through_proxies == slow, f"{rules!r} separator {separator!r} through proxies"
    TOTALS["cases"] += 1
    one_pass = calls == 0 and isinstance(fast[0], list) and len(fast[0]) > 0
    TOTALS["one pass"] += one_pass
    TOTALS["in tree"] += one_pass and made < made_through_proxies
    return one_pass


# --- rules from a page's structure ------------------------------------------------


def quoted(value):
    return "'" not in value and "\n" not in value


def row_parents(root):
    """(parent, row tag) for parents with two children or more of one tag."""
    found = []
    for parent in root.iter():
        if not isinstance(parent.tag, str):
            continue
        tags = [child.tag for child in parent if isinstance(child.tag, str)]
        repeated = sorted({tag for tag in tags if tags.count(tag) >= 2})
        found.extend((parent, tag) for tag in repeated[:2])
    return found


def prefixes(parent):
    tree = parent.getroottree()
    yield tree.getpath(parent)
    classes = parent.get("class")
    if classes and quoted(classes):
        yield f"//{parent.tag}[@class='{classes}']"
        yield f"//{parent.tag}[@class='{classes}'][1]"
        yield f"//*[contains(@class, '{classes.split()[0] if classes.split() else classes}')]"
    ident = parent.get("id")
    if ident and quoted(ident):
        yield f"//*[@id='{ident}']"
        yield f"//{parent.tag}[@id = '{ident}' or ../@id != '{ident}']"
    yield f"//{parent.tag}"
    yield f"/descendant-or-self::{parent.tag}"


def tails(row):
    children = [child for child in row if isinstance(child.tag, str)]
    child = children[0].tag if children else "span"
    grandchild = next((g.tag for c in children for g in c if isinstance(g.tag, str)), "a")
    return [
        "",
        f"/{child}",
        f"/{child}[1]",
        f"/{child}[2]",
        f"/{child}[last()]",
        f"/{child}[position()>1]",
        "/*[last()-1]",
        f"//{grandchild}",
        f"/{child}//{grandchild}[1]",
        f"/descendant::{grandchild}[1]",
        "//*[@href]",
        "/*[@class]",
        f"/{child}[not(@class)]",
        f"/self::{row.tag}",
        "/.",
        f"/./{child}",
        f"/{child}[count(*)>0]",
        f"/*[{child}]",
        f"/{child}[../{child}]",
        f"/{child}[string-length(.)>3]",
        f"//{grandchild}[last()]",
        "/descendant-or-self::*[2]",
        # leaving the row: siblings, parents and ancestors that rows share
        f"/{child}/..",
        "/..",
        f"/{child}/following-sibling::*",
        "/ancestor::*[1]",
        f"/../{row.tag}[2]",
        f"/../{row.tag}[last()]/{child}",
        "/following-sibling::*[1]",
        f"/preceding-sibling::{row.tag}",
        "/preceding-sibling::*[1]/*",
        "/parent::*/parent::*",
        f"/ancestor::*[2]//{grandchild}[1]",
        "/ancestor-or-self::*[@class]",
        "/preceding::*[1]",
        f"/following::{child}[1]",
        f"/self::*/../*[1]//{grandchild}",
        "/..//*[@href]",
        # not read in one pass: strings, unions, other shapes
        "/@class",
        "/text()",
        "/node()",
        f"/{child}/@href",
        f"//{child} | //p",
        "/..|/..",
        "//.",
        "/comment()",
        "/../@id",
        f"/id('x')/{child}",
        "/(..)[1]",
        # do not parse, or fail while evaluating
        f"/{child}[",
        f"/{child}]",
        f"/{child}[nosuch()]",
        f"/{child}[$v]",
        "//",
        f"/{child}/",
        "///a",
        f"/{child}[@x='",
        f"/x:{child}",
    ]


def page_rules(root, rng, per_page):
    """List rules for the page: pairs of sample XPaths differing in the row
    position, with start indexes before, at, inside and after the rows."""
    cases = []
    parents = row_parents(root)
    rng.shuffle(parents)
    for parent, tag in parents[:12]:
        rows = [child for child in parent if child.tag == tag]
        for prefix in prefixes(parent):
            for step in (tag, "*"):
                length_rule = f"{prefix}/{step}"
                try:
                    count = len(root.xpath(length_rule))
                except Exception:  # noqa: BLE001 - kept: both readings must raise alike
                    count = 0
                for tail in rng.sample(tails(rows[0]), 8):
                    start = rng.choice([0, 1, 2, len(rows), count, count + 3, -2, 10**20])
                    cases.append([f"{length_rule}[{start}]{tail}", f"{length_rule}[{start + 1}]{tail}"])
    rng.shuffle(cases)
    return cases[:per_page] + [
        # malformed or odd rules
        ["//body/*[1]", "//body/*[x]"],
        ["//body/*[x]", "//body/*[2]"],
        ["//body[/*[1]", "//body[/*[2]"],
        ["//*[1]", "//*[2]"],
        ["/*[1]", "/*[2]"],
        ["*[1]", "*[2]"],
        ["(//p)[1]", "(//p)[2]"],
        ["//p[1] | //li[1]", "//p[1] | //li[2]"],
        ["//p/text()[1]", "//p/text()[2]"],
        ["//a/@href[1]", "//a/@href[2]"],
        ["//body/child::*[1]/*", "//body/child::*[2]/*"],
        ["//body/html:div[1]", "//body/html:div[2]"],
        ["//body /div[1]", "//body /div[2]"],
        ["//*/*[1]//a", "//*/*[2]//a"],
        ["//div/div[1]/div", "//div/div[2]/div"],
    ]


def affordable(root, rules, longest):
    """Whether reading `rules` row by row should take at most `longest`
    seconds, estimated from one evaluation of the length rule."""
    try:
        length_rule = FieldsParser()._extract_rule(rules)[0]
        began = time.perf_counter()
        count = len(root.xpath(length_rule))
    except Exception:  # noqa: BLE001 - cheap either way: both readings raise alike
        return True
    return (time.perf_counter() - began) * (count + 1) <= longest


def corpus_list_rules(page):
    """(separator, rules, seconds allowed) for the list rules of the rules
    files: the first few of a file on the page it was written for at a
    larger allowance, all of them on any page where they are cheap to read
    row by row."""
    for path in RULE_FILES:
        if not path.exists():
            continue
        own = path.stem == page.stem or path.parent.name == page.parent.parent.name
        conf = yaml.safe_load(path.read_text(encoding="utf-8"))
        fields = [
            field["rules"] for entry in conf["rules"] for field in entry.values() if isinstance(field["rules"], list)
        ]
        for k, rules in enumerate(fields):
            yield conf.get("value_separator", "\t"), rules, LONGEST * (50 if own and k < 3 else 1)


def page_id(path):
    return f"{path.parent.parent.name}/{path.stem}"


@pytest.mark.skipif(not PAGES, reason=f"no pages under {CORPUS}")
@pytest.mark.parametrize("tree", ["soup", "native"])
@pytest.mark.parametrize("path", PAGES, ids=page_id)
def test_one_pass_matches_row_xpaths_on_pages(path, tree, monkeypatch):
    text = path.read_text(encoding="utf-8")
    docs = documents(text, tree)
    if docs is None:
        pytest.skip("the native builder leaves this page to soupparser")
    doc, plain = docs
    counter, proxies = XPathCount(monkeypatch), Proxies(monkeypatch)
    rng = random.Random(path.stem + tree)
    one_pass = 0
    for separator, rules, allowed in corpus_list_rules(path):
        if affordable(doc._lxml, rules, allowed):
            one_pass += compare(doc, plain, rules, separator, counter, proxies)
    generated = [
        rules for rules in page_rules(doc._lxml, rng, per_page=PER_PAGE) if affordable(doc._lxml, rules, LONGEST)
    ]
    for rules in generated:
        one_pass += compare(doc, plain, rules, rng.choice(["\t", " | ", ""]), counter, proxies)
        compare_single(doc, plain, rules[0], rng)
    # The comparison must see the one-pass reading, not only its refusals.
    assert one_pass >= len(generated) // 4


ATTRIBUTES = ["href", "class", "rel", "id", "src", "nosuch", "", None]


def compare_single(doc, plain, rule, rng):
    """The single-XPath parsers on the same two documents: FieldParser and
    AttrParser read requests_html's own HTML without its Element wrappers
    (on the tree itself, and through lxml's proxies with the module's
    `_read_in_tree` off)."""
    for parse, last, module in (
        (FieldParser().parse, rng.choice(["\t", " ", None]), vintor),
        (AttrParser().parse, rng.choice(ATTRIBUTES), selvane),
    ):
        got = []
        for document, in_tree in ((doc, True), (doc, False), (plain, True)):
            document._encoding = None
            module._read_in_tree = in_tree
            try:
                result = parse(document, rule, last)
            except Exception as error:  # noqa: BLE001 - compared between the documents
                result = (type(error), str(error))
            finally:
                module._read_in_tree = True
            got.append((result, document._encoding))
        assert got[0] == got[2], f"{parse.__qualname__} {rule!r} {last!r}"
        assert got[1] == got[2], f"{parse.__qualname__} {rule!r} {last!r} through proxies"


def hostile_cases():
    for name, (make, smoke) in HOSTILE_PAGES.items():
        if smoke:
            yield pytest.param(make, id=name)


@pytest.mark.parametrize("make", list(hostile_cases()))
def test_one_pass_matches_row_xpaths_on_hostile_pages(make, monkeypatch):
    pages = make()
    counter = XPathCount(monkeypatch)
    rules = [
        ["//body/*[1]", "//body/*[2]"],
        ["//ul/li[1]", "//ul/li[2]"],
        ["//ul/li[1]/b", "//ul/li[2]/b"],
        ["//div/div[1]", "//div/div[2]"],
        ["//div/*[1]//h1", "//div/*[2]//h1"],
        ["//li/ul[1]", "//li/ul[2]"],
        ["//li/ul[1]/li", "//li/ul[2]/li"],
        ["//table/tr[1]/td", "//table/tr[2]/td"],
        ["//h1/text()[1]", "//h1/text()[2]"],
        ["//a[1]/@href", "//a[2]/@href"],
        ["/html/*[0]", "/html/*[1]"],
    ]
    for text in (pages if isinstance(pages, list) else [pages])[:40]:
        for tree in ("soup", "native"):
            docs = documents(text, tree)
            if docs is None:
                continue
            for rule in rules:
                try:
                    count = len(docs[0]._lxml.xpath(rule[0].replace("[1]", "", 1)))
                except Exception:  # noqa: BLE001
                    count = 0
                if count <= 1500:
                    compare(*docs, rule, "\t", counter)
                    compare_single(*docs, rule[0], random.Random(rule[0]))


def test_cases_seen():
    # Printed for the record of how much the comparisons above covered (-s).
    print(
        f"\nlist rules compared: {TOTALS['cases']}, read in one pass: {TOTALS['one pass']},"
        f" on the tree itself: {TOTALS['in tree']}"
    )
