"""Whether the native tree builder may stand in for soupparser.

`_treebuilder.build` reproduces, step by step, what html.parser, BeautifulSoup's
html.parser builder, lxml.html.soupparser and requests_html do with a page.
That holds only for the very sources it was checked against: html.parser in
particular changed its tokenizing in later security releases of Python. So
the builder is used only when what defines the tree is a proven combination
(PROVEN_COMBINATIONS): the Python minor version, the sha256 of the source of
each standard library module the builder follows, and the version of the
Unicode database (the classes of `\\s` and `\\w`, str.lower()), whatever
the patch release; and the library modules it follows are byte for byte the
proven ones (PROVEN_SOURCES), whatever the release of BeautifulSoup and
requests_html; and lxml and libxml2 (whose C API and parser the builder
uses) are the very versions. Otherwise it is disabled, a warning says why,
and every page takes requests_html's own path.

Each html.parser the builder follows is one of its modes, and the gate
picks the mode of the installed one.

    ENABLED          -- True when the builder may be used
    DISABLED_REASON  -- why not (None when enabled)
    MODE             -- the builder's html.parser mode in use (None when disabled)
    build_tree       -- _treebuilder.build in that mode when enabled, else None
    proven_combinations() -- the proven combinations, named
"""

import functools
import hashlib
import importlib
import importlib.metadata
import sys
import typing
import warnings

# sha256 of the standard library modules whose behaviour the builder follows.
_HTML_PARSER_3_11 = "2fc512ae95bed2746b5ba3fabb14fcebf3114ff808ce97d96214ddd613b253da"
# 3.12 and 3.13: HTMLParser.__init__ calls super().__init__() and reset()
# calls super().reset() instead of ParserBase.reset(self). For bs4's parser
# class (BeautifulSoupHTMLParser(HTMLParser, DetectsXMLParsedAsHTML)) both
# resolve to ParserBase, whose __init__ only refuses ParserBase itself.
_HTML_PARSER_3_12 = "ab5a0a2fce2bec75d969dbe057b490ef574f9ac57cce9e0eaaf7a220b301e838"
# Debian 12's python3.11 3.11.2-6+deb12u8: constructs left open at the end of
# the input are closed.
_HTML_PARSER_DEB12U8 = "4d29673fd741aa82ad9ae2e6b6817886f493983ecce6c53de5e7ba5bd9fd2be1"
# 3.11.2-6+deb12u9: that, and the HTML rules for tags and raw text.
_HTML_PARSER_DEB12U9 = "30b6364e49c618027e69932eb09b13f9b89506918ce5ab5967c77128795ee125"
# Debian 13's python3.13 3.13.5: deb12u8's, raw text left open emitted, only
# "<![CDATA[" a marked section, attribute values unescaped by HTML's rules.
_HTML_PARSER_3_13_5 = "f91ec3de6331206bbe2ec3e54a05f646bd23d3c61a18d4a01b25164e070bacc9"
# python3.14 3.14.10 and python3.15 3.15.2: deb12u9's, those attribute
# values, HTML's comments, CDATA sections and raw text elements, references
# left open at the end.
_HTML_PARSER_3_14 = "5c5ed245889135564e75dfed9a47aeb6b4d3e5a2e9614d918a986767e3747539"
_MARKUPBASE = "cb14dd6f2e2439eb70b806cd49d19911363d424c2b6b9f4b73c9c08022d47030"
_MARKUPBASE_3_14 = "01046da4883344a898fb1261a0805a7ab1bae371e95ade31311ac03b43b33c98"  # a comment differs
_HTML = "923d82d821e75e8d235392c10c145ab8587927b3faf9c952bbd48081eebd8522"
_HTML_DEBIAN_3_11_2 = "8d69aeb50f77de6d84c51b9d01e08497983bafe9297cdd1620bf75aa1b1dba1c"  # one comment differs
_ENTITIES_3_11 = "282b7cdd567bbbf3d7d7ccd49fae1d3ebc7f7ab64058d781193620913773731b"
_ENTITIES_3_12 = "d9c65fb2828dbc1f3e399058a341d51e9375ec5bca95a8e92599c41bd5b78bde"  # comments differ


def _stdlib(parser, markupbase=_MARKUPBASE, html=_HTML, entities=_ENTITIES_3_12):
    return {"html.parser": parser, "_markupbase": markupbase, "html": html, "html.entities": entities}


class Combination(typing.NamedTuple):
    """What defines the tree on an interpreter where the builder was proven
    to give soupparser's trees (the differential tests, the quirk catalogue,
    the corpus pages and a fuzzing run, with soupparser on that html.parser)."""

    name: str  # the interpreter it was proven on
    mode: str  # the builder's html.parser mode
    python: tuple  # sys.version_info[:2]
    unicode: str  # unicodedata.unidata_version
    stdlib: dict  # {module: sha256 of its source}


_DEB12_3_11_2 = dict(html=_HTML_DEBIAN_3_11_2, entities=_ENTITIES_3_11)
PROVEN_COMBINATIONS = (
    Combination("CPython 3.11.7", "classic", (3, 11), "14.0.0", _stdlib(_HTML_PARSER_3_11, entities=_ENTITIES_3_11)),
    Combination(
        "Debian 12 python3 3.11.2-6+deb12u6", "classic", (3, 11), "14.0.0", _stdlib(_HTML_PARSER_3_11, **_DEB12_3_11_2)
    ),
    Combination(
        "Debian 12 python3 3.11.2-6+deb12u8",
        "deb12u8",
        (3, 11),
        "14.0.0",
        _stdlib(_HTML_PARSER_DEB12U8, **_DEB12_3_11_2),
    ),
    Combination(
        "Debian 12 python3 3.11.2-6+deb12u9",
        "deb12u9",
        (3, 11),
        "14.0.0",
        _stdlib(_HTML_PARSER_DEB12U9, **_DEB12_3_11_2),
    ),
    Combination("CPython 3.12.1", "classic", (3, 12), "15.0.0", _stdlib(_HTML_PARSER_3_12)),
    Combination("CPython 3.13.0", "classic", (3, 13), "15.1.0", _stdlib(_HTML_PARSER_3_12)),
    Combination("Debian 13 python3.13 3.13.5", "py3.13.5", (3, 13), "15.1.0", _stdlib(_HTML_PARSER_3_13_5)),
    Combination(
        "Debian python3.14 3.14.10", "py3.14.10", (3, 14), "16.0.0", _stdlib(_HTML_PARSER_3_14, _MARKUPBASE_3_14)
    ),
    Combination(
        "Debian python3.15 3.15.2", "py3.14.10", (3, 15), "17.0.0", _stdlib(_HTML_PARSER_3_14, _MARKUPBASE_3_14)
    ),
)

# sha256 of the source of each library module whose behaviour the builder
# follows, the same on every Python above: any release of BeautifulSoup or
# requests_html with these very modules keeps the builder.
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
# The releases the builder was proven with (constraints/fast-tree.txt pins
# them). Of these only lxml must be the very release: the builder uses its C
# API and the libxml2 it bundles; the others need only be installed, their
# modules matching PROVEN_SOURCES.
PROVEN_DISTRIBUTIONS = {"beautifulsoup4": "4.15.0", "lxml": "6.2.1", "requests-html": "0.10.0"}
EXACT_DISTRIBUTIONS = ("lxml",)
PROVEN_LXML = (6, 2, 1, 0)
PROVEN_LIBXML = (2, 14, 6)


def proven_pythons():
    """The minor versions of Python with a proven combination."""
    return sorted({c.python for c in PROVEN_COMBINATIONS})


def proven_combinations():
    """'NAME: html.parser MODE' for each proven combination."""
    return ["%s: html.parser %s" % (c.name, c.mode) for c in PROVEN_COMBINATIONS]


def _source_digest(module_name):
    module = importlib.import_module(module_name)
    with open(module.__file__, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def check():
    """None when the installed modules are the proven ones, else the first difference."""
    return detect()[1]


def _unicode_version():
    import unicodedata

    return unicodedata.unidata_version


def detect():
    """(the builder's html.parser mode, None) when the installed modules are
    a proven combination, else (None, the first difference)."""
    python = tuple(sys.version_info[:3])
    release = "Python %s.%s.%s" % python
    combinations = [c for c in PROVEN_COMBINATIONS if c.python == python[:2]]
    if not combinations:
        return None, "%s, proven on Python %s" % (release, ", ".join("%s.%s" % p for p in proven_pythons()))
    for name, version in PROVEN_DISTRIBUTIONS.items():
        try:
            installed = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            return None, "%s is not installed" % name
        if name in EXACT_DISTRIBUTIONS and installed != version:
            return None, "%s %s, proven on %s" % (name, installed, version)
    from lxml import etree

    if etree.LXML_VERSION != PROVEN_LXML:
        return None, "lxml %s, proven on %s" % (etree.LXML_VERSION, PROVEN_LXML)
    for which in ("LIBXML_VERSION", "LIBXML_COMPILED_VERSION"):
        if getattr(etree, which) != PROVEN_LIBXML:
            return None, "libxml2 %s, proven on %s" % (getattr(etree, which), PROVEN_LIBXML)
    unicode = _unicode_version()
    if not any(c.unicode == unicode for c in combinations):
        proven = ", ".join(sorted({c.unicode for c in combinations}))
        return None, "Unicode database %s of %s, proven with %s" % (unicode, release, proven)
    combinations = [c for c in combinations if c.unicode == unicode]
    actual = {}
    for name in dict.fromkeys(name for c in combinations for name in c.stdlib):
        try:
            actual[name] = _source_digest(name)
        except (ImportError, OSError, TypeError) as error:
            return None, "cannot read the source of %s (%s)" % (name, error)
    found = next((c for c in combinations if all(actual[n] == d for n, d in c.stdlib.items())), None)
    if found is None:
        # The first module that differs from the nearest combination.
        nearest = min(combinations, key=lambda c: sum(actual[n] != d for n, d in c.stdlib.items()))
        name = next(n for n, d in nearest.stdlib.items() if actual[n] != d)
        return None, "the source of %s of %s differs from the one%s proven on Python %s.%s (%s)" % (
            (name, release, "s" if len(combinations) > 1 else "")
            + python[:2]
            + (", ".join(c.name for c in combinations),)
        )
    for name, digest in PROVEN_SOURCES.items():
        try:
            source = _source_digest(name)
        except (ImportError, OSError, TypeError) as error:
            return None, "cannot read the source of %s (%s)" % (name, error)
        if source != digest:
            return None, "the source of %s differs from the one proven" % name
    return found.mode, None


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
