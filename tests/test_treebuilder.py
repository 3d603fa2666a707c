"""The native tree builder gives soupparser's very tree, or declines the page.

Every comparison is between `_treebuilder.build(text)` and what requests_html
itself would run, `lxml.html.soupparser.fromstring(text, features='html.parser')`,
through a canonical form that covers every node of the document.
"""

import os
import pathlib
import sys
import warnings

import pytest
import yaml
from lxml import etree
from lxml.html import soupparser

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.utils import _treegate

tb = pytest.importorskip("ostrel.crawler.field_extractor.utils._treebuilder")
pytestmark = pytest.mark.skipif(not _treegate.ENABLED, reason="tree builder disabled: %s" % _treegate.DISABLED_REASON)

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = pathlib.Path(os.environ.get("OSTREL_CORPUS", ROOT.parent / "shared" / "corpus"))
CORPUS_PAGES = sorted((CORPUS / "pages").glob("*.html"))
EXAMPLE_PAGES = sorted((ROOT / "examples" / "pages").glob("*.html"))
# Corpus pages the builder may leave to soupparser (none at present).
ALLOWED_TO_DECLINE = set()


def canonical(root):
    """Every node of root's document in order, the docinfo, and where root sits."""
    tree = root.getroottree()
    info = tree.docinfo
    out = [("docinfo", info.public_id, info.system_url, info.doctype, info.root_name),
           ("returned", type(root), root.tag, tree.getpath(root), root.sourceline)]
    top = tree.getroot()
    while top.getprevious() is not None:
        top = top.getprevious()
    while top is not None:
        for node in top.iter():
            if isinstance(node.tag, str):
                out.append((type(node), node.tag, node.prefix, tuple(node.attrib.items()),
                            tuple(sorted(node.nsmap.items(), key=str)), node.text, node.tail,
                            node.sourceline, len(node), node.getparent() is None))
            else:
                out.append((type(node), node.tag, getattr(node, "target", None), node.text,
                            node.tail, node.sourceline, node.getparent() is None))
        out.append("end of top-level node")
        top = top.getnext()
    return out


def slow_tree(text):
    """soupparser's tree, or the exception it raises."""
    try:
        return soupparser.fromstring(text, features="html.parser")
    except Exception as error:  # noqa: BLE001 - any failure is an outcome to compare
        return error


def same_or_declined(text):
    """Asserts build(text) is soupparser's tree or a decline; returns the decline reason."""
    root, reason = tb.build_with_reason(text)
    if root is None:
        assert isinstance(reason, str) and reason
        return reason
    assert reason is None
    expected = slow_tree(text)
    assert not isinstance(expected, Exception), "built a tree where soupparser raises %r" % expected
    assert canonical(root) == canonical(expected)
    return None


@pytest.mark.parametrize("page", CORPUS_PAGES + EXAMPLE_PAGES, ids=lambda p: p.name)
def test_pages_give_the_same_tree(page):
    reason = same_or_declined(page.read_text(encoding="utf-8"))
    if page in CORPUS_PAGES and page.name not in ALLOWED_TO_DECLINE:
        assert reason is None, "declined %s: %s" % (page.name, reason)


def test_corpus_declines_at_most_two_pages():
    if not CORPUS_PAGES:
        pytest.skip("no corpus")
    declined = [p.name for p in CORPUS_PAGES if tb.build(p.read_text(encoding="utf-8")) is None]
    assert len(declined) <= 2, declined


QUIRKS = {
    "plain document": "<!DOCTYPE html><html><head><title>T</title></head><body><p>x</p></body></html>",
    "no html element": "<p>one</p><p>two</p>",
    "single element": "<div>only</div>",
    "html not first": "<!-- c --><p>before</p><html lang=en><body>in</body></html><p>after</p>",
    "html nested in html": "<html><html><body>x</body></html></html>",
    "two html elements": "<html><body>a</body></html><html><p>b</p></html>",
    "top-level text": "lead <b>bold</b> middle <i>it</i> trail",
    "text only": "just some text\nwith a line break",
    "empty": "",
    "short url": "https://example.com/page",
    "short file name": "index.html",
    "whitespace everywhere": "  \n <div>  </div> \t <span> \n </span>  <p>a  b</p>\n",
    "whitespace in pre": "<pre>  \n  </pre><textarea>   </textarea><pre><b> </b>\n</pre>",
    "pre left open": "<pre> <p> </p>",
    "comments": "<!----><!-- a --><!--\n--><div><!-- b -- c --><!---x---></div><!-->x-->",
    "comment around root": "<!-- first --><html><body></body></html><!-- last -->",
    "bogus comments": "<! bogus><div></ odd><!x y></div></3>",
    "doctype public": '<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01//EN" "http://www.w3.org/TR/html4/strict.dtd"><html></html>',
    "doctype system only": "<!doctype html SYSTEM 'about:legacy-compat'><p>x</p>",
    "doctype short": "<!DOCTYPE><p>x</p>",
    "doctype inside body": "<html><body><!DOCTYPE html>x</body></html>",
    "doctype not html": '<!DOCTYPE svg PUBLIC "-//W3C//DTD SVG 1.1//EN"><svg></svg>',
    "declaration before doctype": "<![if !IE]><!DOCTYPE html><html></html><![endif]>",
    "cdata": "<div><![CDATA[ a < b ]]>tail<![CDATA[]]></div>",
    "marked sections": "<p><![if IE]>ie<![endif]><![ignore[ x ]]></p>",
    "processing instructions": "<?php echo 1 ?><div><?target data?>x<?only?></div>",
    "script and style raw text": "<script>if (a < b && c > d) { x = '</div>'; }</script><style>p>a{}</style>",
    "script end tag spelling": "<script>a</SCRIPT ><script>b</script\n><style>c</ style>",
    "script left open": "<div><script>var a = '<p>';",
    "self-closing script": "<script src=x /><p>after</p>",
    "entities in text": "<p>&amp; &lt;&gt; &copy &nbsp;x &notit; &amp;amp; &foo; &foo bar &#65;&#x42;&#X43</p>",
    "numeric references": "<p>&#0; &#128; &#x81; &#150; &#xD800; &#1114112; &#9731; &#x1F600;</p>",
    "odd references": "<p>&#; &#x; &#xZ; & &a-b.c; &AMP; &Amp; a&b</p>",
    "entity at the end": "<p>text &amp",
    "short entity at the end": "<p>x</p>&a",
    "char ref without digits": "<p>a &#q; b <b>c</b></p>",
    "entities in attributes": '<a href="?a=1&amp;b=2&copy=3&notin;&#x41;&#65" title=\'&lt;&unknown;\'>x</a>',
    "entity prefixes in attributes": '<a href="?x=1&copy2&amp;y&notin;z&notit&frac12x&Ccedilla&AMPx&ltx" '
                                     't="&CounterClockwiseContourIntegral;&CounterClockwiseContourIntegralx&supe1">q</a>',
    "double-escaped entities": "<p title='&amp;lt;'>&amp;lt; &amp;nbsp;</p>",
    "attribute forms": "<input disabled value=bare checked=\"\" x='' y = \"spaced\" z==odd>",
    "duplicate attributes": '<div id="a" class="x" id="b" CLASS="y z">d</div>',
    "multi-valued attributes": '<a class="  one\ttwo\u00a0three " rel="nofollow  noopener" rev="x"></a>'
                               '<td headers="h1 h2">c</td><div rel=" a b ">d</div>',
    "mixed-case names": "<DIV ID=Up><SPAN Class='A'>x</Span></div>",
    "non-ascii names": "<dív ñame='1'>x</dív><b\u0130>y</b\u0130>",
    "names with colons": '<svg xmlns:xlink="http://www.w3.org/1999/xlink"><use xlink:href="#a"/></svg><fb:like></fb:like>',
    "attributes without spaces": '<a href="x"title="y"class=\'z\'>q</a>',
    "slashes in tags": "<a/b/c><br/><img src=x/><p / ></p>",
    "void elements": "<p>a<br>b<br/>c</br>d<br></br>e<img>f</img>g<hr></p>",
    "br close quirk": "<br></br></br><p></br></p>",
    "end tags closing ancestors": "<div><p><b>x</div>y</b>z</p>",
    "stray end tags": "</p>text</div><span>s</span></html>",
    "unclosed elements": "<html><body><div><p>open",
    "incomplete start tag": "<div>text<span class='x'",
    "incomplete end tag": "<div>text</div",
    "lone less-than": "a < b <3 c<",
    "start tag with junk": "<div\"x\">a</div><p =x>b</p>",
    "empty end tag": "<p>a</>b</p>",
    "tags in attribute values": "<a title='<b>bold</b>' href=\"x>y\">q</a>",
    "text after html": "<html><body>x</body></html>\n\ntrailing text<!-- c -->\n",
    "control characters": "<p>bell \x07 here</p>",
    "form feed and vertical tab": "<p>a\x0cb\x0bc</p><div\x0bx=1>v</div>",
    "astral characters": "<p title='\U0001F600'>\U0001F600 \u4e2d\u6587</p>",
    "unicode spaces": "<p class='a\u2003b'>\u00a0</p><div>\u3000</div>",
    "template and ruby": "<template><p>t</p><!-- c --></template><ruby>x<rp>(</rp><rt>y</rt></ruby>",
    "meta charset": '<meta charset="gb2312"><meta http-equiv="Content-Type" content="text/html; charset=utf-8">',
    "xml declaration": "<?xml version='1.0'?><html></html>",
    "braces in names": "<a{b}>x</a{b}><p {x}=1>y</p>",
    "unclosed quote": "<a href='x>y</a><p>z</p>",
    "deep nesting": "<div>" * 300 + "x" + "</div>" * 300,
    "moderate nesting": "<div>" * 100 + "x" + "</div>" * 100,
    "unknown marked section": "<p><![foo[ x ]]></p>",
    "unicode whitespace in tags": "<div\u00a0class=x>a</div><a href=x\u00a0y z>q</a><p>a</p\u00a0>b"
                                  "<script>x</script\u2003>y<a href=x\x85y>q</a><a\x85b=1>x</a>",
    "next line in a class": '<p class="a\x85b">x\x85</p><pre>\x85</pre>',
    "equals signs": "<p =>x</p><p a==b>x</p><p a= >x</p><p a='x'b=\"y\">x</p><p a=\"x\"/b>x</p><p a=b/>x",
    "doctype variants": '<!DOCTYPE html PUBLIC "a" "b" "c"><!DOCTYPE html SYSTEM><p>x</p>',
    "comment closed with bang": "<!--x--!>y-->z",
    "references to whitespace": "<p>&#x0;&#9;&#10;&#13;&#x7f;</p>",
}


@pytest.mark.parametrize("text", QUIRKS.values(), ids=QUIRKS.keys())
def test_quirks_give_the_same_tree_or_decline(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        same_or_declined(text)


@pytest.mark.parametrize("text, reason", [
    ("<?xml version='1.0'?><p>x</p>", "xml processing instruction"),
    ("<div>" * 300, "nesting deeper than 256"),
    ("<p><![foo[ x ]]></p>", "unknown marked section keyword"),
    ("<a{b}>x</a{b}>", "brace in a tag name"),
    ("<a href='x>y</a>", "unterminated quoted attribute value"),
    ("<p>\x07</p>", "lxml refused a node"),
])
def test_declines_with_a_reason(text, reason):
    assert tb.build_with_reason(text) == (None, reason)
    assert tb.build(text) is None


@pytest.mark.parametrize("depth", [tb.MAX_DEPTH - 1, tb.MAX_DEPTH, tb.MAX_DEPTH + 1])
def test_nesting_up_to_the_bound_is_built(depth):
    text = "<div>" * depth + "x" + "</div>" * depth
    reason = same_or_declined(text)
    assert (reason is None) == (depth <= tb.MAX_DEPTH)


@pytest.mark.parametrize("bad", [None, b"<p>x</p>", 3, ["<p>"]])
def test_refuses_non_str(bad):
    with pytest.raises(TypeError):
        tb.build(bad)
    with pytest.raises(TypeError):
        tb.build_with_reason(bad)


@pytest.mark.parametrize("module", ["html.parser", "html.entities", "bs4.builder._htmlparser"])
def test_gate_refuses_a_changed_module(monkeypatch, module):
    assert _treegate.check() is None
    python = tuple(sys.version_info[:3])
    stdlib = dict(_treegate.PROVEN_PYTHONS[python])
    monkeypatch.setitem(_treegate.PROVEN_PYTHONS, python, stdlib)
    monkeypatch.setitem(stdlib if module in stdlib else _treegate.PROVEN_SOURCES, module, "0" * 64)
    assert module in _treegate.check()


def test_gate_refuses_another_python_and_names_the_proven_ones(monkeypatch):
    monkeypatch.setattr(_treegate, "PROVEN_PYTHONS", {(3, 11, 6): {}, (3, 99, 0): {}})
    assert _treegate.check() == "Python %s.%s.%s, proven on Python 3.11.6, 3.99.0" % sys.version_info[:3]


def test_gate_refuses_a_module_built_against_another_lxml(monkeypatch):
    assert _treegate._load() == (tb.build, None)
    monkeypatch.setattr(tb, "LXML_BUILT_AGAINST", "5.4.0")
    build, reason = _treegate._load()
    assert build is None and "5.4.0" in reason


def extraction_cases():
    generic = ROOT / "bench" / "generic_rules.yaml"
    for page in CORPUS_PAGES:
        own = CORPUS / "rules" / (page.stem + ".yaml")
        yield page, (own if own.exists() else generic)
    for page in EXAMPLE_PAGES:
        yield page, ROOT / "examples" / "rules.yaml"


@pytest.mark.parametrize("page, rules", list(extraction_cases()), ids=lambda x: x.name)
def test_extraction_is_unchanged_by_the_builder(page, rules, monkeypatch):
    text = page.read_text(encoding="utf-8")
    extractor = FieldExtractor(str(rules))
    fast = extractor.extract(text)
    monkeypatch.setattr(extractor_module, "_build_tree", None)
    slow = extractor.extract(text)
    assert fast == slow


def test_extractor_uses_the_built_tree(monkeypatch, tmp_path):
    built = []

    def spy(text):
        root = tb.build(text)
        built.append(root)
        return root

    rules = tmp_path / "rules.yaml"
    rules.write_text(yaml.safe_dump({"rules": [{"t": {"rules": "//p"}}], "value_separator": " "}))
    monkeypatch.setattr(extractor_module, "_build_tree", spy)
    assert FieldExtractor(str(rules)).extract("<html><body><p>hi</p></body></html>") == [{"t": "hi"}]
    assert len(built) == 1 and isinstance(built[0], etree._Element)


class UnreadableText(extractor_module.HTML):
    """A document whose text cannot be read: requests_html then falls back to raw_html."""

    @property
    def html(self):
        raise ValueError("unreadable")


class BytesText(extractor_module.HTML):
    @property
    def html(self):
        return self.raw_html


@pytest.mark.parametrize("document", [UnreadableText, BytesText])
def test_other_document_classes_keep_their_own_path(document, monkeypatch, tmp_path):
    # Only requests_html's own HTML is known to parse exactly as the builder
    # does; a document class put in its place parses the page itself.
    calls = []
    rules = tmp_path / "rules.yaml"
    rules.write_text(yaml.safe_dump({"rules": [{"t": {"rules": "//p"}}], "value_separator": " "}))
    extractor = FieldExtractor(str(rules))
    page = "<html><body><p>one</p><p>two</p></body></html>"
    monkeypatch.setattr(extractor_module, "HTML", document)
    monkeypatch.setattr(extractor_module, "_build_tree", lambda text: calls.append(text) or tb.build(text))
    with_builder = extractor.extract(page)
    monkeypatch.setattr(extractor_module, "_build_tree", None)
    assert with_builder == extractor.extract(page) == [{"t": "one two"}]
    assert calls == []
