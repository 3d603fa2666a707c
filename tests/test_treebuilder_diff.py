"""The native tree builder against the slow path (soupparser on html.parser,
lxml's parser when that raises ValueError): on every corpus page, the
bundled examples and the quirk catalogue the two give the same canonical
tree and the same warnings, raise the same kind of exception, or the
builder bails out (None) and the slow path runs.

The first half checks the comparison itself, so that it cannot pass by
seeing too little: it must tell the slow path from lxml's own parser, and
trees that differ in one detail from each other.

The builder makes its trees in libxml2 and hands them to lxml whole (the
default emitter); the emitter that makes each node through lxml's C API is
the reference it is also compared with, declines included.
"""

import re
import warnings

import lxml.html
import pytest
from lxml import etree

from tests.support.corpus import CORPUS, corpus_pages, example_pages, generic_pages, read, ruled_pages
from tests.support.tree_quirks import QUIRKS
from tests.support.treecanon import (
    GATE,
    canonical,
    compare,
    first_difference,
    native_builder,
    outcome,
    slow_path,
    soup_path,
)

CORPUS_PAGES = corpus_pages()
PAGES = CORPUS_PAGES + example_pages()
QUIRK = dict(QUIRKS)
# Corpus pages the builder may leave to the slow path (none at present).
ALLOWED_TO_DECLINE = set()

# bs4 warns about markup that looks like XML or like a file name; the
# comparison records those warnings itself (treecanon.outcome), elsewhere
# they are noise.
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

builder, WHY_NOT = native_builder()
needs_builder = pytest.mark.skipif(builder is None, reason=WHY_NOT or "")


def page_id(path):
    return f"{path.parent.parent.name}/{path.stem}"


# --- the comparison is sharp ----------------------------------------------------------


def without_positions(lines):
    """The canonical lines without source lines and the document's encoding,
    which lxml's parser sets and soupparser never does."""
    return [re.sub(r" line=\S+", "", re.sub(r" encoding=\S+", "", line)) for line in lines]


@pytest.mark.parametrize(
    "name",
    [
        "tag names: plain",
        "nesting: p inside p",
        "nesting: li without ul",
        "void elements: p self closing",
        "text entities: second unescape lt",
        "comments: short close",
        "document shape: text around element",
        "whitespace: between elements",
        "document shape: element then text",
    ],
)
def test_slow_path_and_lxml_parser_differ_on_quirks(name):
    soup = canonical(soup_path(QUIRK[name]))
    parsed = canonical(lxml.html.fromstring(QUIRK[name]))
    assert soup != parsed
    # Not only in what lxml's parser alone records (lines, encoding).
    assert without_positions(soup) != without_positions(parsed)


@pytest.mark.skipif(not PAGES, reason=f"no pages under {CORPUS}")
@pytest.mark.parametrize("path", [p for p in PAGES if p.stat().st_size < 100_000][:6], ids=page_id)
def test_slow_path_and_lxml_parser_differ_on_pages(path):
    text = read(path)
    soup = canonical(soup_path(text))
    assert soup == canonical(soup_path(text))  # the same text gives the same form
    assert without_positions(soup) != without_positions(canonical(lxml.html.fromstring(text)))
    # One character more in the page is seen too.
    cut = text.rfind("</")
    assert soup != canonical(soup_path(text[:cut] + "x" + text[cut:]))


def _root_and(child_text=None, child_tail=None, attrs=(), comment_inside=False, comment_before=False):
    root = lxml.html.Element("html")
    for key, value in attrs:
        root.set(key, value)
    child = etree.SubElement(root, "p")
    child.text, child.tail = child_text, child_tail
    if comment_inside:
        root.insert(0, lxml.html.HtmlComment("c"))
    if comment_before:
        root.addprevious(lxml.html.HtmlComment("c"))
    return root


def _returned_child():
    return _root_and()[0]


def _with_public_id(public_id):
    root = _root_and()
    root.getroottree().docinfo.public_id = public_id
    return root


def _nested(inner):
    root = lxml.html.Element("html")
    div = etree.SubElement(root, "div")
    etree.SubElement(div if inner else root, "p")
    return root


def _text_or_tail(as_tail):
    root = lxml.html.Element("html")
    b = etree.SubElement(root, "b")
    if as_tail:
        b.tail = "x"
    else:
        b.text = "x"
    return root


def _pi_or_comment(pi):
    root = _root_and()
    root.append(etree.ProcessingInstruction("x", "y") if pi else lxml.html.HtmlComment("x y"))
    return root


def _kind_of_element(html):
    root = lxml.html.Element("html") if html else etree.Element("html")
    return root


def _parsed_line(newlines):
    return lxml.html.fromstring("\n" * newlines + "<html><body><p>x</p></body></html>")


# Pairs of trees that differ in one detail only.
DETAILS = {
    "text None vs empty": (lambda: _root_and(child_text=None), lambda: _root_and(child_text="")),
    "tail None vs empty": (lambda: _root_and(child_tail=None), lambda: _root_and(child_tail="")),
    "attribute order": (
        lambda: _root_and(attrs=[("a", "1"), ("b", "2")]),
        lambda: _root_and(attrs=[("b", "2"), ("a", "1")]),
    ),
    "attribute value": (lambda: _root_and(attrs=[("a", "1")]), lambda: _root_and(attrs=[("a", "1 ")])),
    "comment inside vs before the root": (
        lambda: _root_and(comment_inside=True),
        lambda: _root_and(comment_before=True),
    ),
    "returned element": (_root_and, _returned_child),
    "doctype public id": (lambda: _with_public_id("-//a"), lambda: _with_public_id("-//b")),
    "nesting vs sibling": (lambda: _nested(True), lambda: _nested(False)),
    "text vs tail": (lambda: _text_or_tail(False), lambda: _text_or_tail(True)),
    "processing instruction vs comment": (lambda: _pi_or_comment(True), lambda: _pi_or_comment(False)),
    "element class": (lambda: _kind_of_element(True), lambda: _kind_of_element(False)),
    "source line": (lambda: _parsed_line(0), lambda: _parsed_line(1)),
}


@pytest.mark.parametrize("detail", DETAILS)
def test_canonical_form_tells_one_detail(detail):
    make_a, make_b = DETAILS[detail]
    assert canonical(make_a()) == canonical(make_a())
    assert canonical(make_b()) == canonical(make_b())
    a, b = canonical(make_a()), canonical(make_b())
    assert a != b
    assert first_difference(a, b) is not None and first_difference(a, a) is None


def test_comparison_sees_a_warning_left_out():
    def silent(text):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return soup_path(text)

    assert compare(soup_path, "http://example.com/index.html") is None
    assert "MarkupResemblesLocatorWarning" in compare(silent, "http://example.com/index.html")


def test_first_difference_shows_the_first_differing_node():
    a = canonical(soup_path("<div><p>one</p><p>two</p><p>three</p></div>"))
    b = canonical(soup_path("<div><p>one</p><p>tw0</p><p>thr3e</p></div>"))
    report = first_difference(a, b)
    assert "'two'" in report and "'tw0'" in report and "thr" not in report


def test_canonical_form_of_a_very_deep_tree():
    root = node = lxml.html.Element("html")
    for _ in range(20_000):
        node = etree.SubElement(node, "div")
    lines = canonical(root)
    assert len(lines) == 3 + 20_001 and lines[-2].lstrip().startswith("20000 HtmlElement")


# --- the builder ----------------------------------------------------------------------


@needs_builder
@pytest.mark.parametrize("name", [n for n, _ in QUIRKS])
def test_builder_matches_slow_path_on_quirks(name):
    difference = compare(builder.build, QUIRK[name])
    assert difference is None, f"{QUIRK[name][:300]!r}\n{difference}"


@needs_builder
@pytest.mark.skipif(not PAGES, reason=f"no pages under {CORPUS}")
@pytest.mark.parametrize("path", PAGES, ids=page_id)
def test_builder_matches_slow_path_on_pages(path):
    text = read(path)
    difference = compare(builder.build, text)
    assert difference is None, difference
    reason = built_or_declined(text)
    if path in CORPUS_PAGES and path.name not in ALLOWED_TO_DECLINE:
        assert reason is None, f"declined {path.name}: {reason}"


@needs_builder
@pytest.mark.skipif(not PAGES, reason=f"no pages under {CORPUS}")
def test_builder_builds_most_pages():
    # Bailing out is always allowed, but a builder that bails out on real
    # pages would make the comparisons above pass without showing anything.
    reasons = {page_id(path): builder.build_with_reason(read(path))[1] for path in PAGES}
    bailed = {name: reason for name, reason in reasons.items() if reason is not None}
    assert len(bailed) <= len(PAGES) // 5, bailed
    assert len([path for path in CORPUS_PAGES if page_id(path) in bailed]) <= 2, bailed


def hostile_cases():
    """The nasty pages of tests/support/hostile_pages.py but the few of ten MB and more."""
    from tests.support.hostile_pages import CASES

    for name, (make, _) in CASES.items():
        if name not in ("attribute value of 10 MB", "text node of 10 MB", "a million sibling elements", "50 MB page"):
            yield pytest.param(make, id=name)


@needs_builder
@pytest.mark.parametrize("make", list(hostile_cases()))
def test_builder_matches_slow_path_on_hostile_pages(make):
    pages = make()
    for text in pages if isinstance(pages, list) else [pages]:
        difference = compare(builder.build, text)
        assert difference is None, f"{text[:300]!r}\n{difference}"


def emitter_cases():
    """Every text the builder is compared on: the quirk catalogue, the pages
    and the nasty pages, each as a function giving its text(s)."""
    for name, text in QUIRKS:
        yield pytest.param(lambda text=text: text, id=name)
    for path in PAGES:
        yield pytest.param(lambda path=path: read(path), id=page_id(path))
    for param in hostile_cases():
        yield pytest.param(*param.values, id="hostile/" + param.id)


def xpath_view(root):
    """What XPath sees of a tree beyond its canonical form: text nodes one
    by one (one "ab" or "a" then "b"), and the document's table of IDs."""
    if root is None:
        return None
    texts = [str(text) for text in root.xpath("//text()")]
    by_id = [(element.tag, element.get("id"), element.get("name")) for element in root.xpath("id(//@id | //@name)")]
    return texts, by_id


@needs_builder
@pytest.mark.skipif("lxml" not in getattr(builder, "EMITTERS", ()), reason="no reference emitter")
@pytest.mark.parametrize("make", list(emitter_cases()))
def test_emitters_give_the_same_tree_and_decline_alike(make):
    pages = make()
    for text in pages if isinstance(pages, list) else [pages]:
        reference = outcome(lambda text: builder.build(text, emitter="lxml"), text)
        got = outcome(builder.build, text)
        if got != reference:
            both_trees = got[0] == reference[0] == "tree"
            detail = first_difference(reference[1], got[1]) if both_trees else f"{reference} != {got}"
            pytest.fail(f"{text[:300]!r}\n{detail}")
        assert xpath_view(builder.build(text)) == xpath_view(builder.build(text, emitter="lxml"))


def built_or_declined(text):
    """The builder's decline reason for `text` (None when it built a tree),
    checking that a tree comes without a reason, a decline with one, and
    that there is no tree where soupparser itself fails."""
    root, reason = builder.build_with_reason(text)
    if root is None:
        assert isinstance(reason, str) and reason
        return reason
    assert reason is None
    try:
        soup_path(text)
    except Exception as error:  # noqa: BLE001 - any failure is a tree the builder should not have built
        pytest.fail(f"built a tree where soupparser raises {error!r}")
    return None


def _either(call, text):
    try:
        return call(text), None
    except Exception as error:  # noqa: BLE001 - compared between the two entry points
        return None, type(error)


@needs_builder
@pytest.mark.parametrize("name", [n for n, _ in QUIRKS])
def test_build_with_reason_agrees_with_build(name):
    text = QUIRK[name]
    (pair, pair_error), (root, root_error) = _either(builder.build_with_reason, text), _either(builder.build, text)
    assert pair_error is root_error
    if pair_error is None:
        got, reason = pair
        assert (got is None) == (root is None)
        assert (got is None) == (reason is not None)
        assert reason is None or (isinstance(reason, str) and reason)
        assert canonical(got) == canonical(root)
        if got is not None:
            built_or_declined(text)


# --- extraction with and without the builder ---------------------------------------------


def extraction_cases():
    """The pages with rules of their own, the bundled examples, and the other
    pages under rules that find something on any page."""
    for name, rules, page in ruled_pages():
        yield pytest.param(rules, page, id=name)
    for name, rules, page in generic_pages():
        yield pytest.param(rules, page, id="generic/" + name)


class SlowPathCalls:
    """Counts the documents that requests_html builds with soupparser."""

    def __init__(self, monkeypatch):
        import requests_html

        self.count = 0
        real = requests_html.soup_parse

        def counting(*args, **kwargs):
            self.count += 1
            return real(*args, **kwargs)

        monkeypatch.setattr(requests_html, "soup_parse", counting)


def _gate():
    import importlib

    try:
        return importlib.import_module(GATE)
    except ImportError:
        return None


def switch_builder(monkeypatch, on):
    """The extractor takes the builder from its module's `_build_tree`
    (None: requests_html's own path)."""
    from ostrel.crawler.field_extractor import extractor as extractor_module

    monkeypatch.setattr(extractor_module, "_build_tree", _gate().build_tree if on else None)


@needs_builder
@pytest.mark.skipif(_gate() is None, reason="extraction does not switch to the native tree builder yet (no _treegate)")
@pytest.mark.parametrize("rules, path", list(extraction_cases()))
def test_extraction_same_with_and_without_builder(rules, path, monkeypatch):
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    text = read(path)
    extractor = FieldExtractor(str(rules))
    calls = SlowPathCalls(monkeypatch)
    switch_builder(monkeypatch, True)
    fast = extractor.extract(text)
    if builder.build(text) is not None:
        assert calls.count == 0, "the builder was on, yet the page went through soupparser"
    calls.count = 0
    switch_builder(monkeypatch, False)
    slow = extractor.extract(text)
    assert calls.count == 1, "the builder was switched off, yet soupparser did not run"
    assert fast == slow


# --- the builder's trees as objects ---------------------------------------------------------

SMALL = "<!--a--><html><body><p class='x  y'>one<br>two</p><ul><li>1<li>2</ul></body></html><!--b-->"


@needs_builder
def test_builder_trees_are_independent():
    first, second = builder.build(SMALL), builder.build(SMALL)
    assert first is not second
    first[0][0].text = "changed"
    first.getroottree().docinfo.public_id = "-//changed"
    assert canonical(second) == canonical(slow_path(SMALL))


@needs_builder
def test_builder_tree_lives_as_long_as_one_of_its_nodes():
    import gc

    expected = canonical(slow_path(SMALL).xpath("//li")[1])
    item = builder.build(SMALL).xpath("//li")[1]
    gc.collect()
    assert canonical(item) == expected


@needs_builder
@pytest.mark.skipif(not PAGES, reason=f"no pages under {CORPUS}")
def test_builder_from_several_threads():
    from concurrent.futures import ThreadPoolExecutor

    texts = [read(path) for path in PAGES if path.stat().st_size < 400_000]
    serial = [canonical(builder.build(text)) for text in texts]
    with ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            assert list(pool.map(lambda text: canonical(builder.build(text)), texts)) == serial


class Text(str):
    pass


@needs_builder
@pytest.mark.parametrize("argument", [b"<p>x</p>", bytearray(b"<p>"), None, 1, ["<p>"]], ids=repr)
def test_builder_refuses_what_is_not_text(argument):
    for call in (builder.build, builder.build_with_reason):
        with pytest.raises(TypeError):
            call(argument)


@needs_builder
def test_builder_takes_a_str_subclass():
    assert compare(lambda text: builder.build(Text(text)), SMALL) is None


@needs_builder
@pytest.mark.parametrize(
    "arguments, keywords, error",
    [
        (("<p>x</p>",), {"emitter": "LXML"}, ValueError),
        (("<p>x</p>",), {"emitter": "libxml"}, ValueError),
        (("<p>x</p>",), {"emitter": ""}, ValueError),
        (("<p>x</p>",), {"emitter": None}, TypeError),
        (("<p>x</p>", "classic", "lxml"), {}, TypeError),  # the emitter is a keyword only
    ],
    ids=repr,
)
def test_builder_refuses_unknown_emitters(arguments, keywords, error):
    for call in (builder.build, builder.build_with_reason):
        with pytest.raises(error):
            call(*arguments, **keywords)
