"""The page document of `extract`: requests_html's HTML whose `element` parse
and `session` are made only when read, against the plain constructor on
every corpus page, the markup quirks and the hostile pages: the same document
or exception, and the same rows."""

import json

import pytest
import requests_html

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.utils import _document
from tests.support import documents
from tests.support.corpus import EXAMPLE_RULES, GENERIC_RULES, corpus_pages, example_pages, read, rules_of
from tests.support.hostile_pages import CASES as HOSTILE
from tests.support.hostile_pages import RULES as HOSTILE_RULES
from tests.support.tree_quirks import QUIRKS

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def outcome(extractor, text):
    try:
        return extractor.extract(text)
    except Exception as error:  # noqa: BLE001 - compared between the two documents
        return (type(error), str(error))


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def same_rows(extractor, texts, monkeypatch):
    deferred = [outcome(extractor, text) for text in texts]
    with monkeypatch.context() as patch:
        patch.setattr(extractor_module, "_deferred_html", None)
        plain = [outcome(extractor, text) for text in texts]
    assert deferred == plain


@pytest.fixture(scope="module")
def hostile_extractor(tmp_path_factory):
    path = tmp_path_factory.mktemp("rules") / "hostile.json"
    path.write_text(json.dumps(HOSTILE_RULES), encoding="utf-8")
    return FieldExtractor(str(path))


@pytest.mark.parametrize(
    "text, used",
    [
        ("", False),
        ("   \n", False),
        ("<!-- only a comment -->", False),
        ("<!DOCTYPE html>", False),
        ("<html lang='x", False),
        ("\ufeff<html></html>", False),
        ("<!-- \x00 --><html></html>", False),
        ('<!DOCTYPE html "a>b"><html></html>', False),
        ("<html>\udc80", False),
        ("<html></html>", True),
        ("\n<!DOCTYPE html>\n<!-- c --><HTML lang=en class='a b'>x", True),
        ('<!DOCTYPE html PUBLIC "-//W3C//DTD HTML 4.01//EN" "http://www.w3.org/TR/html4/strict.dtd"><html>', True),
    ],
)
def test_which_pages_leave_the_parse_out(text, used):
    assert documents.compare(text) is used


@pytest.mark.parametrize("text", documents.edge_texts(), ids=range(len(documents.edge_texts())))
def test_page_openings(text, hostile_extractor, monkeypatch):
    documents.compare(text)
    same_rows(hostile_extractor, [text], monkeypatch)


@pytest.mark.parametrize("path", corpus_pages() + example_pages(), ids=lambda p: p.stem)
def test_corpus_pages(path, monkeypatch):
    text = read(path)
    assert documents.compare(text)
    own = EXAMPLE_RULES if path in example_pages() else rules_of(path)
    for rules in filter(None, [own, GENERIC_RULES]):
        same_rows(FieldExtractor(str(rules)), [text], monkeypatch)


@pytest.mark.parametrize("wrap", ["{}", "<html>{}</html>", "<!DOCTYPE html><html><body>{}"])
def test_markup_quirks(wrap, hostile_extractor, monkeypatch):
    texts = [wrap.format(markup) for _, markup in QUIRKS]
    used = sum(documents.compare(text) for text in texts)
    # Every page that opens with <html>, but those the constructor cannot encode (lone surrogates).
    assert used == (sum(map(encodable, texts)) if wrap != "{}" else used) and used > 0
    same_rows(hostile_extractor, texts, monkeypatch)


@pytest.mark.parametrize("name", [name for name, (_, smoke) in HOSTILE.items() if smoke] + ["every declared charset"])
def test_hostile_pages(name, hostile_extractor, monkeypatch):
    pages = HOSTILE[name][0]()
    pages = pages if isinstance(pages, list) else [pages]
    for text in pages:
        documents.compare(text)
    same_rows(hostile_extractor, pages, monkeypatch)


def test_replaced_constructors_are_called_as_they_are(hostile_extractor, monkeypatch):
    page = "<html><body><h1>h</h1></body></html>"
    calls = []

    def watched(**kwargs):
        calls.append(kwargs)
        return requests_html.HTML(**kwargs)

    monkeypatch.setattr(extractor_module, "HTML", watched)
    rows = hostile_extractor.extract(page)
    assert calls == [{"html": page}]
    monkeypatch.undo()

    original = requests_html.HTML.__init__
    made = []

    def init(self, **kwargs):
        made.append(kwargs)
        original(self, **kwargs)

    monkeypatch.setattr(requests_html.HTML, "__init__", init)
    assert _document.deferred_html(page) is None
    assert hostile_extractor.extract(page) == rows and made == [{"html": page}]


def _property(self):
    return "<html></html>"


@pytest.mark.parametrize(
    "owner, name, value",
    [
        ("HTML", "__init__", lambda self, **kwargs: None),
        ("BaseParser", "html", property(_property)),
        ("BaseParser", "encoding", property(_property)),
        ("HTML", "_lxml", 0),
        ("BaseParser", "__getattr__", lambda self, name: None),
    ],
)
def test_a_class_changed_after_pages_were_made_takes_the_constructor(owner, name, value, monkeypatch):
    # Pages made first: the check of the classes is then skipped while the
    # interpreter keeps their version.
    page = "<html><body><p>p</p></body></html>"
    assert _document.deferred_html(page) is not None
    assert _document.deferred_html(page) is not None
    assert extractor_module._type_version(requests_html.HTML) != 0
    monkeypatch.setattr(getattr(requests_html, owner), name, value, raising=False)
    assert _document.deferred_html(page) is None
    monkeypatch.undo()
    assert _document.deferred_html(page) is not None


@pytest.mark.parametrize("cls", [None, 1, "HTML", requests_html.HTML])
def test_type_version_of_anything(cls):
    version = extractor_module._type_version(cls)
    assert isinstance(version, int) and (version > 0) == (cls is requests_html.HTML)


class Probe:
    """A plain class: the interpreter's own errors for the same accesses."""


def error_of(action):
    try:
        action()
    except AttributeError as error:
        return str(error).replace("Probe", "HTML")
    return None


@pytest.mark.parametrize("name", documents.EAGER)
def test_attributes_of_plain_documents(name):
    doc = requests_html.HTML(html="<p>x</p>")
    value = getattr(doc, name)
    setattr(doc, name, "replaced")
    assert getattr(doc, name) == "replaced" and vars(doc)[name] == "replaced"
    delattr(doc, name)
    assert error_of(lambda: getattr(doc, name)) == error_of(lambda: getattr(Probe(), name))
    assert error_of(lambda: getattr(requests_html.HTML, name)) == error_of(lambda: getattr(Probe, name))
    assert error_of(lambda: delattr(doc, name)) == error_of(lambda: delattr(Probe(), name))
    deferred = _document.deferred_html("<html><p>x</p></html>")
    delattr(deferred, name)
    assert not hasattr(deferred, name) and value is not None


@pytest.mark.parametrize(
    "text",
    [
        "<html><head><meta charset='gb2312'></head><body><h1>北京 café</h1></body></html>",
        "<!DOCTYPE html><html>\r\n<body>\x00 \ufeff</body></html>",
        "<p>no html tag</p>",
    ],
)
def test_tree_builder_reads_the_page_as_the_document_gives_it(text, hostile_extractor, monkeypatch):
    given = []
    monkeypatch.setattr(extractor_module, "_build_tree", lambda page: given.append(page))
    hostile_extractor.extract(text)
    plain = requests_html.HTML(html=text)
    plain.encoding = "utf-8"
    assert given == [plain.html]
