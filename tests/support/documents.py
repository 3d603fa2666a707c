"""The document that `extract` makes (utils/_document.py: requests_html's HTML
without the parse and session that nothing reads) against the plain
constructor, for the differential test and the fuzzer.

`compare(text)` builds both, checks that they are the same document (the
exception's type and message, or the instance dictionary's keys and values;
then `element` and `session` once read) and returns whether the deferred
document was used (False when it declined the page). `edge_texts()` are the
page openings that decide whether it is used.
"""

import requests_html
from lxml import etree

from ostrel.crawler.field_extractor.utils import _document

EAGER = ("element", "session")


def edge_texts():
    body = "<head><title>t</title></head><body><h1>h</h1><ul><li>a</li><li>b</li></ul></body></html>"
    openings = [
        "",
        " ",
        " \t\r\n",
        "\u3000",
        "\x00",
        "<!-- only a comment -->",
        "<!-- a --> <!-- b -->\n",
        "<!DOCTYPE html>",
        "<!DOCTYPE html><!-- x -->",
        "<?xml version='1.0'?>",
        "<?xml version='1.0' encoding='x-bogus'?><a/>",
        "<html",
        "<html lang='x",
        "<html lang='x'",
        "<htmlx>",
        "<html/>",
        "</p>",
        "</html>",
        "text",
        "\ufeff<html>",
    ]
    prefixes = [
        "",
        "\n",
        "<!DOCTYPE html>\n",
        "<!doctype HTML>",
        '<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Strict//EN" "http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd">',
        '<!DOCTYPE html "a>b">',
        "<!DOCTYPE html 'a>",
        "<!DOCTYPE <html>",
        "<!-- c --> ",
        "<!--[if IE 6]><html id='ie6'><![endif]--><!--[if !(IE 6)]><!-->",
        "<!-->",
        "<!-- \x00 -->",
        "<!-- unclosed",
        "\x0c",
    ]
    tags = [
        "<html>",
        "<HTML>",
        "<Html lang=en>",
        "<html lang='de-DE' class=\"no-js\">",
        "<html xmlns='http://www.w3.org/1999/xhtml' xml:lang='en'>",
        "<html\n  dir = ltr\n>",
        '<html a="<">',
        "<html a'b>",
        "<html a=b/>",
    ]
    texts = list(openings)
    for prefix in prefixes:
        for tag in tags:
            texts.append(prefix + tag + body)
    texts += [
        "<html>",
        "<html>\udc80</html>",
        "<html>" + "\x00" * 100,
        "<html><head><meta charset='utf-16'></head><body>x</body></html>",
        "<html><head><meta charset='cp037'></head><body>x</body></html>",
        "<html xmlns='http://www.w3.org/1999/xhtml'><body>x</body></html>",
    ]
    return texts


def _plain(text):
    try:
        return requests_html.HTML(html=text)
    except Exception as error:  # noqa: BLE001 - the outcome compared
        return (type(error), str(error))


def _element_form(element):
    return [etree.tostring(e) for e in element]


def compare(text):
    """True when the deferred document was used and is the constructor's;
    False when it declined; AssertionError on any difference."""
    deferred = _document.deferred_html(text)
    plain = _plain(text)
    if deferred is None:
        return False
    assert not isinstance(plain, tuple), f"deferred document for a page the constructor refuses: {plain!r}"
    assert type(deferred) is type(plain)
    got, want = vars(deferred), vars(plain)
    assert list(got) == list(want)
    for name in want:
        if name not in EAGER:
            assert got[name] == want[name], name
    assert got["next_symbol"] is want["next_symbol"]
    # What extraction reads, before the two are made.
    assert (deferred.raw_html, deferred.html, deferred.encoding) == (plain.raw_html, plain.html, plain.encoding)
    assert _element_form(deferred.element) == _element_form(plain.element)
    assert type(deferred.session) is type(plain.session)
    assert dict(deferred.session.headers) == dict(plain.session.headers)
    assert deferred.element is deferred.element and deferred.session is deferred.session
    assert [type(v) for v in vars(deferred).values()] == [type(v) for v in vars(plain).values()]
    return True
