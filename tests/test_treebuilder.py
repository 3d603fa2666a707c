"""The native tree builder's own bounds and switches: the pages it declines
and why, the gate that enables it, and how the extractor uses it. That it
gives soupparser's very tree is shown in test_treebuilder_diff.py.
"""

import sys

import pytest
import yaml
from lxml import etree

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.utils import _treegate
from tests.support.treecanon import compare

tb = pytest.importorskip("ostrel.crawler.field_extractor.utils._treebuilder")
pytestmark = pytest.mark.skipif(not _treegate.ENABLED, reason="tree builder disabled: %s" % _treegate.DISABLED_REASON)


@pytest.mark.parametrize(
    "text, reason",
    [
        ("<?xml version='1.0'?><p>x</p>", "xml processing instruction"),
        ("<div>" * 300, "nesting deeper than 256"),
        ("<p><![foo[ x ]]></p>", "unknown marked section keyword"),
        ("<a{b}>x</a{b}>", "brace in a tag name"),
        ("<a href='x>y</a>", "unterminated quoted attribute value"),
        ("<p>\x07</p>", "lxml refused a node"),
    ],
)
def test_declines_with_a_reason(text, reason):
    assert tb.build_with_reason(text) == (None, reason)
    assert tb.build(text) is None


@pytest.mark.parametrize("depth", [tb.MAX_DEPTH - 1, tb.MAX_DEPTH, tb.MAX_DEPTH + 1])
def test_nesting_up_to_the_bound_is_built(depth):
    text = "<div>" * depth + "x" + "</div>" * depth
    assert compare(tb.build, text) is None
    assert (tb.build(text) is not None) == (depth <= tb.MAX_DEPTH)


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
    monkeypatch.setattr(_treegate, "PROVEN_PARSER_MODES", {(3, 99, 0): {"deb": {}}})
    assert _treegate.check() == "Python %s.%s.%s, proven on Python 3.11.6, 3.99.0" % sys.version_info[:3]


def test_gate_refuses_a_module_built_against_another_lxml(monkeypatch):
    assert _treegate._load() == (tb.build, "classic", None)
    monkeypatch.setattr(tb, "LXML_BUILT_AGAINST", "5.4.0")
    build, _, reason = _treegate._load()
    assert build is None and "5.4.0" in reason


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
