"""The native tree builder's own bounds and switches: the pages it declines
and why, the gate that enables it, and how the extractor uses it. That it
gives soupparser's very tree is shown in test_treebuilder_diff.py.
"""

import re
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


# The builder takes html.parser's \s and \w, and str.lower(), from the
# interpreter's own Unicode database (Py_UNICODE_ISSPACE, Py_UNICODE_ISALNUM,
# str.lower): the regular expressions it reproduces must agree with them on
# every code point. (IGNORECASE without ASCII folds a few non-ASCII letters
# onto ASCII ones: the builder declines any non-ASCII letter where that
# pattern applies.)
EVERY_CHARACTER = "".join(map(chr, range(sys.maxunicode + 1)))


@pytest.mark.parametrize(
    ("pattern", "flags", "expected"),
    [
        (r"\s", 0, str.isspace),
        (r"\w", 0, lambda c: c.isalnum() or c == "_"),
        (r"[a-z]", re.IGNORECASE | re.ASCII, lambda c: "a" <= c.lower() <= "z" and c.isascii()),
    ],
)
def test_the_interpreters_character_classes_are_the_ones_followed(pattern, flags, expected):
    assert re.findall(pattern, EVERY_CHARACTER, flags) == [c for c in EVERY_CHARACTER if expected(c)]


def here():
    """The proven combinations of this interpreter's Python version."""
    return [c for c in _treegate.PROVEN_COMBINATIONS if c.python == sys.version_info[:2]]


@pytest.mark.parametrize("module", ["html.parser", "html.entities", "bs4.builder._htmlparser"])
def test_gate_refuses_a_changed_module(monkeypatch, module):
    assert _treegate.check() is None
    changed = [c._replace(stdlib={**c.stdlib, module: "0" * 64}) if module in c.stdlib else c for c in here()]
    monkeypatch.setattr(_treegate, "PROVEN_COMBINATIONS", tuple(changed))
    if module not in _treegate.PROVEN_SOURCES:
        assert _treegate.check() is not None and module in _treegate.check()
    else:
        monkeypatch.setitem(_treegate.PROVEN_SOURCES, module, "0" * 64)
        assert _treegate.check() == "the source of %s differs from the one proven" % module


def test_gate_refuses_another_python_and_names_the_proven_ones(monkeypatch):
    other = here()[0]._replace(python=(3, 99))
    monkeypatch.setattr(_treegate, "PROVEN_COMBINATIONS", (other, other._replace(python=(3, 9)), other))
    assert _treegate.check() == "Python %s.%s.%s, proven on Python 3.9, 3.99" % sys.version_info[:3]


# What the gate looks at, changed one at a time: a later patch release or
# another release of BeautifulSoup or requests_html with the same sources
# keeps the builder; another lxml or Unicode database does not.
@pytest.mark.parametrize(
    ("change", "refused"),
    [
        ({"python": +1}, None),
        ({"python": +20}, None),
        ({"beautifulsoup4": "4.15.9"}, None),
        ({"requests-html": "0.10.1"}, None),
        ({"lxml": "6.2.2"}, "lxml 6.2.2, proven on 6.2.1"),
        ({"beautifulsoup4": None}, "beautifulsoup4 is not installed"),
        ({"unicode": "99.0.0"}, "Unicode database 99.0.0 of Python"),
    ],
)
def test_gate_follows_sources_not_release_numbers(monkeypatch, change, refused):
    import importlib.metadata
    import types

    assert _treegate.check() is None
    python = sys.version_info[:3]
    if "python" in change:
        python = python[:2] + (python[2] + change["python"],)
    monkeypatch.setattr(_treegate, "sys", types.SimpleNamespace(version_info=python + ("final", 0)))
    if "unicode" in change:
        monkeypatch.setattr(_treegate, "_unicode_version", lambda: change["unicode"])
    real = importlib.metadata.version

    def version(name):
        if name not in change:
            return real(name)
        if change[name] is None:
            raise importlib.metadata.PackageNotFoundError(name)
        return change[name]

    monkeypatch.setattr(_treegate.importlib.metadata, "version", version)
    mode, reason = _treegate.detect()
    if refused is None:
        assert (mode, reason) == (_treegate.MODE, None)
    else:
        assert mode is None and reason.startswith(refused)


def test_gate_refuses_a_module_built_against_another_lxml(monkeypatch):
    build, mode, reason = _treegate._load()
    assert (mode, reason) == (_treegate.MODE, None)
    assert build is tb.build if mode == "classic" else build.keywords == {"mode": mode}
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


# Pages whose building leaves the most behind in the buffers and names a
# thread keeps from page to page: tags still open (and void end tags still
# to ignore) when the builder declines, raw text left open, more names than
# are kept, and a page larger than the buffers kept.
LEFT_BEHIND = {
    "declined deep in open tags": "<div><br><pre><p>" + "<b>" * (tb.MAX_DEPTH + 2),
    "raw text left open": "<html><body><textarea>\n<script>if (a < b) {",
    "many names": "".join(f"<t{k} a{k}=v>x" for k in range(5000)),
    "large page": "<html><body><p class=' a  b '>" + "x&amp;é" * 400_000 + "</p></body></html>",
}
NEXT_PAGES = [
    "<html><body><p class='a  b'>x<br>y</br></p><pre>\n t</pre><textarea>\nq</textarea></body></html>",
    "<!DOCTYPE html><p>one<p>two</br><b>bold<i>both</b>italic",
]


@pytest.mark.parametrize("before", list(LEFT_BEHIND))
def test_a_page_is_built_alike_whatever_the_thread_built_before(before):
    _treegate.build_tree(LEFT_BEHIND[before])
    for page in NEXT_PAGES:
        assert compare(_treegate.build_tree, page) is None


def test_builds_in_threads_and_within_a_build_keep_their_own_buffers():
    import gc
    import threading

    from tests.support.treecanon import canonical

    build = _treegate.build_tree
    pages = list(LEFT_BEHIND.values())[:3] + NEXT_PAGES
    expected = [canonical(build(page)) for page in pages]
    # A garbage collection in the middle of a build runs Python code, which
    # may build another page in the same thread.
    inside, nested = [False], []

    def collected(phase, info):
        if inside[0] and phase == "start" and len(nested) < len(pages):
            nested.append(canonical(build(pages[len(nested)])))

    thresholds = gc.get_threshold()
    gc.callbacks.append(collected)
    gc.set_threshold(1, 1, 1)
    try:
        # A page with a doctype: its declaration is read after the document
        # is handed to lxml, where collections happen.
        inside[0] = True
        root = build(NEXT_PAGES[1])
        inside[0] = False
    finally:
        inside[0] = False
        gc.set_threshold(*thresholds)
        gc.callbacks.remove(collected)
    assert nested and nested == expected[: len(nested)]
    assert canonical(root) == expected[-1]

    results = {}

    def work(k):
        results[k] = [canonical(build(page)) for page in pages[k:] + pages[:k] for _ in range(3)]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k in range(3):
        assert results[k] == [e for e in expected[k:] + expected[:k] for _ in range(3)]
