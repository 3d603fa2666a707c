"""FieldsParser.parse reads list rules of the right shape in one pass: which
documents and rules it reads so, what it leaves to the row XPaths, and that
the texts, errors and document reads stay those of the row XPaths.
(test_list_rows_diff.py compares the two readings over whole pages.)"""

import functools

import lxml
import lxml.html
import pytest
import requests_html
import yaml
from lxml import etree
from requests_html import HTML

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser, kestrum, vintor
from ostrel.crawler.field_extractor.utils import _treebuilder
from ostrel.crawler.field_extractor.utils.trummel import TextUtil

PAGE = """<html><body>
<table id="a"><tr><td>a1</td><td>x</td></tr><tr><td>a2</td></tr><tr><td>a3</td><td>y</td></tr></table>
<table id="b"><tr><td>b1</td></tr><tr><td>b2
  <table id="c"><tr><td>c1</td></tr><tr><td>c2</td></tr></table></td></tr></table>
<ul><li>one <b>1</b></li><li>two</li><li>three <b>3</b><b>4</b></li></ul>
</body></html>"""


class PlainHTML(HTML):
    """Never read in one pass."""


@pytest.fixture
def evaluations(monkeypatch):
    """The XPath evaluations made through requests_html's xpath (it calls
    `self.lxml.xpath`): none for a parse in one pass (its XPaths are compiled
    ones, the length rule's included), one per row read otherwise."""
    count = [0]
    original = lxml.html.HtmlElement.xpath

    def counted(element, *args, **kwargs):
        count[0] += 1
        return original(element, *args, **kwargs)

    monkeypatch.setattr(lxml.html.HtmlElement, "xpath", counted, raising=False)
    return count


def pair(text=PAGE):
    doc = HTML(html=text)
    plain = PlainHTML(html=text)
    plain._lxml = doc.lxml
    return doc, plain


@pytest.mark.parametrize(
    "rules, expected, evaluated",
    [
        (["//table[@id='a']/tr[1]/td[1]", "//table[@id='a']/tr[2]/td[1]"], ["a1", "a2", "a3"], 0),
        (["//table[@id='a']/tr[2]/td", "//table[@id='a']/tr[3]/td"], ["a2", "a3\ty"], 0),
        (["//ul/li[1]", "//ul/li[2]"], ["one 1", "two", "three 34"], 0),
        (["//ul/li[1]/b", "//ul/li[2]/b"], ["1", "", "3\t4"], 0),
        (["//ul/*[0]//b", "//ul/*[1]//b"], ["", "1", "", "3\t4"], 0),
        (["//ul/li[-1]/b", "//ul/li[1]/b"], ["", "", "1", "", "3\t4"], 0),
        (["//ul/li[4]/b", "//ul/li[5]/b"], [], 0),
        (["//ul/li[1]/b[last()]", "//ul/li[2]/b[last()]"], ["1", "", "4"], 0),
        # several tables: row i of each, in document order
        (
            ["//table/tr[1]/td[1]", "//table/tr[2]/td[1]"],
            ["a1\tb1\tc1", "a2\tb2 c1c2\tc2", "a3", "", "", "", ""],
            0,
        ),  # c lies in row 2 of b
        (["//table/tr[2]", "//table/tr[3]"], ["a2\tb2 c1c2\tc2", "a3y", "", "", "", ""], 0),  # no end rule
        # end rules leaving the row: rows of one position share siblings, parents, ancestors
        (["//ul/li[1]/..", "//ul/li[2]/.."], ["one 1twothree 34"] * 3, 0),
        (["//ul/li[1]/following-sibling::li[1]", "//ul/li[2]/following-sibling::li[1]"], ["two", "three 34", ""], 0),
        (["//ul/li[2]/preceding-sibling::li", "//ul/li[3]/preceding-sibling::li"], ["one 1", "one 1\ttwo"], 0),
        (["//ul/li[1]/ancestor::ul/li[last()]/b", "//ul/li[2]/ancestor::ul/li[last()]/b"], ["3\t4"] * 3, 0),
        (
            ["//table/tr[1]/../tr[2]/td[1]", "//table/tr[2]/../tr[2]/td[1]"],
            ["a2\tb2 c1c2\tc2", "a2\tb2 c1c2\tc2", "a2", "", "", "", ""],
            0,
        ),
        (
            ["//table/tr[1]/td[1]/preceding::td[1]", "//table/tr[2]/td[1]/preceding::td[1]"],
            ["y\tb1", "x\tb1\tc1", "a2", "", "", "", ""],
            0,
        ),
        # past the longest table: rows 4 to 7 select nothing but fail alike
        (
            ["//table/tr[4]/x:td", "//table/tr[5]/x:td"],
            (requests_html.etree.XPathEvalError, "Undefined namespace prefix"),
            1,
        ),
        # declined shapes: one evaluation per row read
        (
            ["//ul/li[1]/b/text()", "//ul/li[2]/b/text()"],
            (AttributeError, "'str' object has no attribute 'element'"),
            1,
        ),
        (
            ["//table/tr[1]/../@id", "//table/tr[2]/../@id"],
            (AttributeError, "'str' object has no attribute 'element'"),
            1,
        ),
        (["(//li)[1]", "(//li)[2]"], ["one 1", "two", "three 34"], 3),
        (["//ul/li[1]/b[", "//ul/li[2]/b["], (requests_html.etree.XPathEvalError, "Invalid expression"), 1),
    ],
)
def test_rules(rules, expected, evaluated, evaluations):
    doc, plain = pair()
    outcomes = []
    for document in (plain, doc):
        evaluations[0] = 0
        try:
            outcomes.append(FieldsParser().parse(document, rules))
        except Exception as error:  # noqa: BLE001 - compared
            outcomes.append((type(error), str(error)))
    assert outcomes[0] == outcomes[1] == expected
    assert evaluations[0] == evaluated


def test_nothing_found_is_none(evaluations):
    doc, _ = pair()
    assert FieldsParser().parse(doc, ["//ol/li[1]", "//ol/li[2]"]) is None
    assert evaluations[0] == 0


def wrapped_init(self, **kwargs):
    ELEMENT_INIT(self, **kwargs)


ELEMENT_INIT = requests_html.Element.__init__


@pytest.mark.parametrize(
    "disguise",
    [
        lambda doc: PlainHTML(html=PAGE),
        lambda doc: setattr(doc, "xpath", functools.partial(HTML.xpath, doc)) or doc,
        lambda doc: setattr(doc, "xpath", HTML(html=PAGE).xpath) or doc,
        lambda doc: setattr(HTML, "xpath", lambda self, s: requests_html.BaseParser.xpath(self, s)) or doc,
        lambda doc: setattr(HTML, "encoding", property(lambda self: "utf-8")) or doc,
        lambda doc: setattr(requests_html.Element, "__init__", wrapped_init) or doc,
        lambda doc: setattr(requests_html.Element, "attrs", property(lambda self: {})) or doc,
    ],
)
def test_only_requests_html_own_documents(disguise, evaluations, monkeypatch):
    # Restored after the test: the disguises above patch requests_html.
    for cls, name in (
        (HTML, "xpath"),
        (HTML, "encoding"),
        (requests_html, "Element"),
        (requests_html.Element, "__init__"),
        (requests_html.Element, "attrs"),
    ):
        monkeypatch.setattr(cls, name, getattr(cls, name), raising=False)
    doc = disguise(HTML(html=PAGE))
    assert FieldsParser().parse(doc, ["//ul/li[1]", "//ul/li[2]"]) == ["one 1", "two", "three 34"]
    assert evaluations[0] == 4


class Counting(TextUtil):
    def __init__(self, fail_at=None):
        self.seen, self.fail_at = [], fail_at

    def normalize_element(self, text):
        self.seen.append(text)
        if len(self.seen) == self.fail_at:
            raise RuntimeError(f"stop at {text}")
        return text.upper()


@pytest.mark.parametrize("fail_at", [None, 1, 2])
def test_texts_made_row_by_row_through_the_normaliser(fail_at):
    seen = []
    for document in pair():
        parser = FieldsParser()
        parser.trummel = Counting(fail_at)
        try:
            result = parser.parse(document, ["//ul/li[1]/b", "//ul/li[2]/b"], " ")
        except RuntimeError as error:
            result = str(error)
        seen.append((result, parser.trummel.seen))
    assert seen[0] == seen[1]
    assert seen[0][0] == {None: ["1", "", "3 4"], 1: "stop at 1", 2: "stop at 3 4"}[fail_at]


@pytest.mark.parametrize("separator", [None, 5])
def test_separator_errors_as_row_by_row(separator):
    errors = []
    for document in pair():
        try:
            FieldsParser().parse(document, ["//ul/li[1]/b", "//ul/li[2]/b"], separator)
        except (AttributeError, TypeError) as error:
            errors.append((type(error), str(error)))
    assert len(errors) == 2 and errors[0] == errors[1]


@pytest.mark.parametrize("start", [10**30, -(10**30)])
def test_start_beyond_any_row(start, monkeypatch):
    parser = FieldsParser()
    monkeypatch.setattr(parser, "_extract_rule", lambda rules: ("//ul/li", "b", start), raising=False)
    doc, _ = pair()
    if start > 0:
        assert parser.parse(doc, None) == []
    else:
        # Left to the row XPaths, which would take forever: stop at the first.
        calls = []
        monkeypatch.setattr(
            HTML,
            "xpath",
            lambda self, s: calls.append(s) or (requests_html.BaseParser.xpath(self, s) if len(calls) < 3 else 1 / 0),
        )
        with pytest.raises(ZeroDivisionError):
            parser.parse(doc, None)
        assert calls[1] == f"//ul/li[{start}]/b"


def test_encoding_read_as_row_by_row():
    # requests_html reads the document's encoding when it wraps a found node:
    # the one-pass reading leaves the same cached value behind.
    states = []
    for document in pair():
        document._encoding = None
        FieldsParser().parse(document, ["//ul/li[1]/b", "//ul/li[2]/b"])
        states.append(document._encoding)
    assert states[0] == states[1] and states[0] is not None


class _ShoutingCell(lxml.html.HtmlElement):
    def text_content(self):
        return super().text_content().upper()


class _ShoutingCells(lxml.html.HtmlElementClassLookup):
    def lookup(self, node_type, document, namespace, name):
        return _ShoutingCell if name == "td" else super().lookup(node_type, document, namespace, name)


def _shouting_text_content(monkeypatch):
    original = lxml.html.HtmlMixin.text_content
    monkeypatch.setattr(lxml.html.HtmlMixin, "text_content", lambda element: original(element).upper())


def _shouting_string_value(monkeypatch):
    original = lxml.html._collect_string_content
    monkeypatch.setattr(lxml.html, "_collect_string_content", lambda element: original(element).upper())


def _extension_function(monkeypatch):
    etree.FunctionNamespace(None)["shout"] = lambda context, value: value
    return etree.FunctionNamespace(None).clear


def _shouting_lookup(monkeypatch):
    lxml.html.html_parser.set_element_class_lookup(_ShoutingCells())
    return lambda: lxml.html.html_parser.set_element_class_lookup(lxml.html.HtmlElementClassLookup())


@pytest.mark.parametrize(
    "change", [None, _shouting_text_content, _shouting_string_value, _extension_function, _shouting_lookup]
)
@pytest.mark.parametrize("in_tree", [True, False])
def test_texts_on_the_tree_are_those_of_text_content(change, in_tree, monkeypatch):
    """The tree is read without proxies (list rules and FieldParser) only
    while every text would be lxml.html's own text_content: whatever
    redefines it is honoured."""
    proxies = [0]
    lookup = lxml.html.HtmlElementClassLookup.lookup

    def counted(self, *args):
        proxies[0] += 1
        return lookup(self, *args)

    monkeypatch.setattr(lxml.html.HtmlElementClassLookup, "lookup", counted)
    monkeypatch.setattr(kestrum, "_read_in_tree", in_tree)
    rows = "".join(f"<tr><td>r{k}</td><td>x</td></tr>" for k in range(40))
    page = f"<html><body><table>{rows}</table></body></html>"
    undo = change(monkeypatch) if change else None
    try:
        doc, plain = pair(page)
        rules = ["/html/body/table/tr[1]/td[1]", "/html/body/table/tr[2]/td[1]"]
        expected = FieldsParser().parse(plain, rules)
        before = proxies[0]
        assert FieldsParser().parse(doc, rules) == expected
        made = proxies[0] - before
        monkeypatch.setattr(vintor, "_read_in_tree", in_tree)
        cells = "/html/body/table/tr/td[1]"
        assert FieldParser().parse(doc, cells) == FieldParser().parse(plain, cells)
    finally:
        if undo:
            undo()
    assert expected[:2] == (["r0", "r1"] if change in (None, _extension_function) else ["R0", "R1"])
    # On the tree: one probe of the cells' class; through proxies: one per row
    # and cell. (The package reads the tree only with the lxml it was built
    # against, as the tree builder does.)
    built_against = getattr(_treebuilder, "LXML_BUILT_AGAINST", None)
    assert (made <= 1) == (in_tree and change is None and built_against == lxml.__version__)


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize(
    "change", [_shouting_text_content, _shouting_string_value, _extension_function, _shouting_lookup]
)
def test_texts_checked_once_per_extract_call(change, fails, monkeypatch, tmp_path):
    """Within one `extract` call the checks above are made once per element
    name and parser module (three list fields and a FieldParser of cells:
    two probes of the cells' class); after the call, ended or failed, the
    same document is checked again, and whatever redefined the texts
    meanwhile is honoured."""
    probes = [0]
    lookup = lxml.html.HtmlElementClassLookup.lookup

    def counted(self, node_type, document, namespace, name):
        probes[0] += name == "td"
        return lookup(self, node_type, document, namespace, name)

    monkeypatch.setattr(lxml.html.HtmlElementClassLookup, "lookup", counted)
    fields = {
        f"c{k}": {"rules": [f"//table/tr[1]/td[{k % 2 + 1}]", f"//table/tr[2]/td[{k % 2 + 1}]"]} for k in (1, 2, 3)
    }
    fields["all"] = {"rules": "//table/tr/td"}
    if fails:
        fields["bad"] = {"rules": "//td", "type": "link"}
    conf = tmp_path / "rules.yaml"
    conf.write_text(yaml.safe_dump({"value_separator": " ", "rules": [fields]}, sort_keys=False), encoding="utf-8")
    page = "<html><body><table><tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table></body></html>"
    doc = HTML(html=page)
    monkeypatch.setattr(extractor_module, "HTML", lambda html: doc)
    try:
        rows = FieldExtractor(str(conf)).extract(page)
    except ValueError:
        assert fails
    else:
        assert not fails
        assert rows == [{"c1": b, "c2": a, "c3": b, "all": "a b c d"} for a, b in (("a", "b"), ("c", "d"))]
    built_against = getattr(_treebuilder, "LXML_BUILT_AGAINST", None)
    assert (probes[0] == 2) == (built_against == lxml.__version__)
    undo = change(monkeypatch)
    try:
        plain = PlainHTML(html=page)
        plain._lxml = doc.lxml
        for rules in (["//table/tr[1]/td[1]", "//table/tr[2]/td[1]"], "//table/tr/td"):
            parser = FieldsParser() if isinstance(rules, list) else FieldParser()
            expected = parser.parse(plain, rules)
            assert parser.parse(doc, rules) == expected
            assert (str(expected) != str(expected).lower()) == (change is not _extension_function)
    finally:
        if undo:
            undo()
