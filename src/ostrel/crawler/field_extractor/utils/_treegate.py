"""Whether the native tree builder may stand in for soupparser.

`_treebuilder.build` reproduces, step by step, what html.parser, BeautifulSoup's
html.parser builder, lxml.html.soupparser and requests_html do with a page.
That holds only for the very versions it was checked against: html.parser in
particular changed its tokenizing in later security releases of Python. So
the builder is used only on a Python version recorded below, when every
module it follows is byte for byte the one recorded for that version (and
the versions of the libraries match); otherwise it is disabled, a warning
says why, and every page takes requests_html's own path.

Later security releases changed html.parser within one Python version
(Debian 12's python3.11 3.11.2-6+deb12u8 and +deb12u9); the builder has a
mode for each html.parser it follows, and the gate picks the mode whose
recorded modules are the installed ones (PROVEN_PARSER_MODES).

    ENABLED          -- True when the builder may be used
    DISABLED_REASON  -- why not (None when enabled)
    MODE             -- the builder's html.parser mode in use (None when disabled)
    build_tree       -- _treebuilder.build in that mode when enabled, else None
    proven_combinations() -- the proven Python / html.parser combinations, named
"""

import functools
import hashlib
import importlib
import importlib.metadata
import sys
import warnings

# The standard library modules whose behaviour the builder follows: sha256 of
# their source on each Python version where the builder was proven to give
# soupparser's trees (the differential tests, the quirk catalogue, the corpus
# pages and a fuzzing run, on that interpreter).
_HTML_PARSER_3_11 = "2fc512ae95bed2746b5ba3fabb14fcebf3114ff808ce97d96214ddd613b253da"
# 3.12 and 3.13: HTMLParser.__init__ calls super().__init__() and reset()
# calls super().reset() instead of ParserBase.reset(self). For bs4's parser
# class (BeautifulSoupHTMLParser(HTMLParser, DetectsXMLParsedAsHTML)) both
# resolve to ParserBase, whose __init__ only refuses ParserBase itself.
_HTML_PARSER_3_12 = "ab5a0a2fce2bec75d969dbe057b490ef574f9ac57cce9e0eaaf7a220b301e838"
_MARKUPBASE = "cb14dd6f2e2439eb70b806cd49d19911363d424c2b6b9f4b73c9c08022d47030"
_HTML = "923d82d821e75e8d235392c10c145ab8587927b3faf9c952bbd48081eebd8522"
_HTML_DEBIAN_3_11_2 = "8d69aeb50f77de6d84c51b9d01e08497983bafe9297cdd1620bf75aa1b1dba1c"  # one comment differs
_ENTITIES_3_11 = "282b7cdd567bbbf3d7d7ccd49fae1d3ebc7f7ab64058d781193620913773731b"
_ENTITIES_3_12 = "d9c65fb2828dbc1f3e399058a341d51e9375ec5bca95a8e92599c41bd5b78bde"  # comments differ

PROVEN_PYTHONS = {
    (3, 11, 2): {
        "html.parser": _HTML_PARSER_3_11,
        "_markupbase": _MARKUPBASE,
        "html": _HTML_DEBIAN_3_11_2,
        "html.entities": _ENTITIES_3_11,
    },  # Debian 12's python3 (3.11.2-6+deb12u6)
    (3, 11, 7): {
        "html.parser": _HTML_PARSER_3_11,
        "_markupbase": _MARKUPBASE,
        "html": _HTML,
        "html.entities": _ENTITIES_3_11,
    },
    (3, 12, 1): {
        "html.parser": _HTML_PARSER_3_12,
        "_markupbase": _MARKUPBASE,
        "html": _HTML,
        "html.entities": _ENTITIES_3_12,
    },
    (3, 13, 0): {
        "html.parser": _HTML_PARSER_3_12,
        "_markupbase": _MARKUPBASE,
        "html": _HTML,
        "html.entities": _ENTITIES_3_12,
    },
}

# Debian 12's python3.11 security updates: html.parser changed, the other
# modules are those of 3.11.2-6+deb12u6 above.
# 3.11.2-6+deb12u8: constructs left open at the end of the input are closed.
_HTML_PARSER_DEB12U8 = "4d29673fd741aa82ad9ae2e6b6817886f493983ecce6c53de5e7ba5bd9fd2be1"
# 3.11.2-6+deb12u9: that, and the HTML rules for tags and raw text.
_HTML_PARSER_DEB12U9 = "30b6364e49c618027e69932eb09b13f9b89506918ce5ab5967c77128795ee125"

# The standard library modules of the Pythons above, per html.parser mode of
# the builder ("classic" for PROVEN_PYTHONS). A mode is recorded here once it
# was proven against soupparser on that very html.parser
# (tests/test_treebuilder_modes.py: the quirk catalogue, the changed
# constructs, the corpus and hostile pages, a fuzzing run).
PROVEN_PARSER_MODES = {
    (3, 11, 2): {
        "deb12u8": {
            "html.parser": _HTML_PARSER_DEB12U8,
            "_markupbase": _MARKUPBASE,
            "html": _HTML_DEBIAN_3_11_2,
            "html.entities": _ENTITIES_3_11,
        },  # Debian 12's python3 3.11.2-6+deb12u8
        "deb12u9": {
            "html.parser": _HTML_PARSER_DEB12U9,
            "_markupbase": _MARKUPBASE,
            "html": _HTML_DEBIAN_3_11_2,
            "html.entities": _ENTITIES_3_11,
        },  # Debian 12's python3 3.11.2-6+deb12u9
    },
}

# sha256 of the source of each library module whose behaviour the builder
# follows, the same on every Python version above.
PROVEN_SOURCES = {
    "bs4": "90e007f82a9fc5bcf22a8df3b395b7bc5245e54d65cd68fd51ca12a414718d4e",
    "bs4.builder": "465e2a8ce5ef772cb28dac8e16a6e4828528a3cd48828c8a0fe47059e54ae7d8",
    "bs4.builder._htmlparser": "4ab8d0bee2fc48a3ab5f28f33611355d3049a46b25a44d4b2bedc1d6f9bbfebd",
    "bs4.element": "a109bc64af4fd5137b4e739ac254b9c1d518c2cb36391d21e59113e95b862641",
    "bs4.dammit": "d261705bff87925c9ba2dfcc8378284ea6187ca7e5b8a253fd6254e288db405e",
    "lxml.html.soupparser": "7edc157b89d993ba4af4ac2cf3de2710d22996995ee34a10c2575b9e8c8d6111",
    "lxml.html": "082e5676cbd2a6d661afd319c9ad6ab0be892956ef89876b1ce857ac68663918",
    "requests_html": "b3e6d06a800c9b7bf87ec8812a9ec2e9a1931b861f2a052165931e8e01f9d0c6",
}
PROVEN_DISTRIBUTIONS = {"beautifulsoup4": "4.15.0", "lxml": "6.2.1", "requests-html": "0.10.0"}
PROVEN_LXML = (6, 2, 1, 0)
PROVEN_LIBXML = (2, 14, 6)


def _versions(versions):
    return ", ".join("%s.%s.%s" % version for version in sorted(versions))


def _combinations(python):
    """(mode, {module: sha256}) proven on the Python version, classic first."""
    if python in PROVEN_PYTHONS:
        yield "classic", PROVEN_PYTHONS[python]
    yield from PROVEN_PARSER_MODES.get(python, {}).items()


def proven_combinations():
    """'Python X.Y.Z, html.parser MODE' for each proven combination."""
    pythons = sorted(set(PROVEN_PYTHONS) | set(PROVEN_PARSER_MODES))
    return [
        "Python %s.%s.%s, html.parser %s" % (python + (mode,))
        for python in pythons
        for mode, _ in _combinations(python)
    ]


def _source_digest(module_name):
    module = importlib.import_module(module_name)
    with open(module.__file__, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def check():
    """None when the installed modules are the proven ones, else the first difference."""
    return detect()[1]


def detect():
    """(the builder's html.parser mode, None) when the installed modules are
    a proven combination, else (None, the first difference)."""
    python = tuple(sys.version_info[:3])
    combinations = list(_combinations(python))
    if not combinations:
        return None, "Python %s.%s.%s, proven on Python %s" % (
            python + (_versions(set(PROVEN_PYTHONS) | set(PROVEN_PARSER_MODES)),)
        )
    for name, version in PROVEN_DISTRIBUTIONS.items():
        try:
            installed = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            return None, "%s is not installed" % name
        if installed != version:
            return None, "%s %s, proven on %s" % (name, installed, version)
    from lxml import etree

    if etree.LXML_VERSION != PROVEN_LXML:
        return None, "lxml %s, proven on %s" % (etree.LXML_VERSION, PROVEN_LXML)
    for which in ("LIBXML_VERSION", "LIBXML_COMPILED_VERSION"):
        if getattr(etree, which) != PROVEN_LIBXML:
            return None, "libxml2 %s, proven on %s" % (getattr(etree, which), PROVEN_LIBXML)
    actual = {}
    for name in dict.fromkeys(name for _, stdlib in combinations for name in stdlib):
        try:
            actual[name] = _source_digest(name)
        except (ImportError, OSError, TypeError) as error:
            return None, "cannot read the source of %s (%s)" % (name, error)
    mode = next((mode for mode, stdlib in combinations if all(actual[n] == d for n, d in stdlib.items())), None)
    if mode is None:
        # The first module that differs from the nearest combination.
        nearest = min(combinations, key=lambda c: sum(actual[n] != d for n, d in c[1].items()))[1]
        name = next(n for n, d in nearest.items() if actual[n] != d)
        return None, "the source of %s differs from the one%s proven on Python %s.%s.%s (%s)" % (
            (name, "s" if len(combinations) > 1 else "") + python + (", ".join(m for m, _ in combinations),)
        )
    for name, digest in PROVEN_SOURCES.items():
        try:
            source = _source_digest(name)
        except (ImportError, OSError, TypeError) as error:
            return None, "cannot read the source of %s (%s)" % (name, error)
        if source != digest:
            return None, "the source of %s differs from the one proven on Python %s.%s.%s" % ((name,) + python)
    return mode, None


def _load():
    """(build_tree, mode, None) or (None, None, why the builder is off)."""
    mode, reason = detect()
    if reason is not None:
        return None, None, reason
    try:
        from ostrel.crawler.field_extractor.utils import _treebuilder
    except ImportError as error:
        return None, None, "the native module is missing (%s)" % error
    import lxml

    built_against = getattr(_treebuilder, "LXML_BUILT_AGAINST", None)
    if built_against != lxml.__version__:
        return (
            None,
            None,
            "the native module was built against lxml %s, lxml %s is installed"
            % (
                built_against,
                lxml.__version__,
            ),
        )
    if mode == "classic":
        return _treebuilder.build, mode, None
    if mode not in getattr(_treebuilder, "MODES", ()):
        return None, None, "the native module has no html.parser mode %s" % mode
    return functools.partial(_treebuilder.build, mode=mode), mode, None


try:
    build_tree, MODE, DISABLED_REASON = _load()
except Exception as error:  # noqa: BLE001 - the gate itself must never stop the package loading
    build_tree, MODE, DISABLED_REASON = None, None, "the gate failed: %r" % error
ENABLED = build_tree is not None
if not ENABLED:
    warnings.warn(
        "native tree builder disabled: %s; pages are parsed by soupparser" % DISABLED_REASON,
        RuntimeWarning,
        stacklevel=2,
    )
