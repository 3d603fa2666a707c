"""The page document without the parse that extraction never reads.

`requests_html.HTML(html=text)` parses the whole page once with PyQuery for
its `element` attribute (lxml's XML parser, then its HTML parser when that
fails, and a second parse when the first finds no `html` element) and makes
an `HTMLSession` for its `session` attribute. Extraction reads neither: its
queries go through `HTML.lxml`, a tree of its own made from the page's bytes.

`deferred_html(text)` returns a genuine `requests_html.HTML` (its type is that
very class, its instance dictionary holds the same keys in the same order,
and every value but those two is what the constructor sets) whose `element`
and `session` are made, exactly as the constructor makes them, the first
time something reads them. The two class attributes installed on `HTML` at
import (data descriptors for `element` and `session`) only store and return
the instance's own value, so every document the constructor makes behaves as
before.

It declines (returns None: the caller then calls `HTML(html=text)` itself)
unless the constructor is certain not to raise for this text, so that
leaving its parse out changes nothing but the time:

- `text` is exactly a str that the constructor's encoding (UTF-8) accepts,
  so that the document's `html`, once `encoding` is set to UTF-8 as
  `extract` does, is `text` itself;
- after ASCII whitespace, comments and doctypes (no NUL among them, quotes
  of the doctype closed before its `>`), it opens with a complete `<html>`
  start tag of plain attributes. The parse raises only when lxml's HTML
  parser finds no element at all ("Document is empty": empty, blank and
  comment-only pages, an unclosed first tag, ...), and that start tag is an
  element whatever follows it. With text left, the document's bytes are not
  empty, so what extraction reads (`raw_html`, `html`) never comes from
  `element`.
- requests_html is as it was at import: the same constructors and no class
  attribute of its own added for the names they set (a caller replacing
  `HTML.__init__`, say to watch the call, gets the plain constructor).
  The classes are compared once; while the interpreter's version of HTML
  (which any change of it or of a base replaces) stays the one they passed
  with, they are not compared again.
"""

import re

import requests_html

_HTML = requests_html.HTML
_ATTRIBUTES = (
    # Set by the constructors, in this order.
    "element",
    "url",
    "skip_anchors",
    "default_encoding",
    "_encoding",
    "_html",
    "_lxml",
    "_pq",
    "session",
    "page",
    "next_symbol",
)
# The constructor's machinery, and what reads the page's text back
# (`html` decodes `_html` with `encoding`): the extractor hands the builder
# of the page tree the very text it was given, not `html`, when those are
# requests_html's own.
_HOOKS = ("__init__", "__new__", "__setattr__", "__getattribute__", "__getattr__", "__slots__")
_READERS = ("html", "raw_html", "encoding")

_BLANK = " \t\n\r"
# A complete <html> start tag: names and values that every HTML tokenizer
# reads alike (no quotes inside names, no '<', '>' or NUL inside values).
_HTML_START = re.compile(
    r"""<html(?:[ \t\n\r]++[A-Za-z_:][-A-Za-z0-9_:.]*+"""
    r"""(?:[ \t\n\r]*+=[ \t\n\r]*+(?:"[^"<>\x00]*+"|'[^'<>\x00]*+'|[-A-Za-z0-9_.:]++))?+)*+[ \t\n\r]*+>""",
    re.IGNORECASE,
)


def opens_with_html_element(text):
    """Whether `text` opens, after whitespace, comments and doctypes, with a
    complete `<html ...>` start tag (see the module's documentation)."""
    i, n = 0, len(text)
    while True:
        while i < n and text[i] in _BLANK:
            i += 1
        if text.startswith("<!--", i):
            end = text.find("-->", i + 4)
            if end < 0 or "\x00" in text[i:end]:
                return False
            i = end + 3
        elif text[i : i + 9].lower() == "<!doctype":
            end = text.find(">", i)
            if end < 0 or not _doctype_closes(text[i:end]):
                return False
            i = end + 1
        else:
            return _HTML_START.match(text, i) is not None


def _doctype_closes(body):
    """No NUL or '<' after the opening, and every quote closed."""
    if "\x00" in body or "<" in body[1:]:
        return False
    quote = None
    for c in body:
        if quote is None and c in "\"'":
            quote = c
        elif c == quote:
            quote = None
    return quote is None


class _Pending:
    """An attribute's value that has not been made yet."""

    __slots__ = ("make", "args")

    def __init__(self, make, *args):
        self.make, self.args = make, args


def _element(query, raw):
    # What HTML.__init__ gives BaseParser as `element`.
    return query(raw)("html") or query(f"<html>{raw}</html>")("html")


def _session(make):
    # HTML.__init__ with session=None and async_=False.
    return make()


class _Deferred:
    """`element` / `session` of HTML: the instance's own value, made on first
    read where `deferred_html` left it pending."""

    def __init__(self, name):
        self.name = name

    def __get__(self, obj, owner=None):
        if obj is None:
            raise AttributeError(f"type object '{owner.__name__}' has no attribute '{self.name}'", name=self.name)
        values = obj.__dict__
        try:
            value = values[self.name]
        except KeyError:
            raise AttributeError(
                f"'{type(obj).__name__}' object has no attribute '{self.name}'", name=self.name, obj=obj
            ) from None
        if type(value) is _Pending:
            made = value.make(*value.args)
            if values.get(self.name) is value:
                values[self.name] = made
            return made
        return value

    def __set__(self, obj, value):
        obj.__dict__[self.name] = value

    def __delete__(self, obj):
        try:
            del obj.__dict__[self.name]
        except KeyError:
            raise AttributeError(f"'{type(obj).__name__}' object has no attribute '{self.name}'") from None


def _install():
    """The descriptors on HTML, unless some class of it already has those
    names; the class attributes to compare with before each use."""
    classes = _HTML.__mro__
    if any(name in cls.__dict__ for cls in classes for name in ("element", "session")):
        return None
    _HTML.element = _Deferred("element")
    _HTML.session = _Deferred("session")
    return classes, [cls.__dict__.get(name) for cls in classes for name in _ATTRIBUTES + _HOOKS + _READERS]


_STATE = _install()
ENABLED = _STATE is not None


def _type_version(cls):
    """0: the class's version is not known (the extractor module, once
    loaded, puts its own reader here)."""
    return 0


# The version of HTML whose classes were last found unchanged.
_checked = [0]


def _unchanged():
    classes, values = _STATE
    if _HTML.__mro__ != classes or type(_HTML) is not type:
        return False
    # The interpreter gives a class a new version whenever it or one of its
    # bases changes: the same version, the same class attributes.
    version = _type_version(_HTML)
    if version and version == _checked[0]:
        return True
    if not _compare(classes, values):
        return False
    if version and _type_version(_HTML) == version:
        _checked[0] = version
    return True


def _compare(classes, values):
    k = 0
    for cls in classes:
        entries = cls.__dict__
        for name in _ATTRIBUTES + _HOOKS + _READERS:
            if entries.get(name) is not values[k]:
                return False
            k += 1
    return True


def deferred_html(text):
    """`HTML(html=text)` with `element` and `session` made on first read, or
    None where that would not be exactly the constructor's document."""
    if not ENABLED or type(text) is not str or not opens_with_html_element(text) or not _unchanged():
        return None
    names = vars(requests_html)
    if names["DEFAULT_ENCODING"] != "utf-8":
        return None
    try:
        raw = text.encode("utf-8")
    except Exception:  # noqa: BLE001 - the constructor raises it itself
        return None
    defaults = _HTML.__init__.__kwdefaults__
    doc = object.__new__(_HTML)
    values = doc.__dict__
    values["element"] = _Pending(_element, names["PyQuery"], raw)
    values["url"] = defaults["url"]
    values["skip_anchors"] = True
    values["default_encoding"] = defaults["default_encoding"]
    values["_encoding"] = None
    values["_html"] = raw
    values["_lxml"] = None
    values["_pq"] = None
    values["session"] = _Pending(_session, names["HTMLSession"])
    values["page"] = None
    values["next_symbol"] = names["DEFAULT_NEXT_SYMBOL"]
    return doc
