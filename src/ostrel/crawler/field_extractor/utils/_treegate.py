"""Whether the native tree builder may stand in for soupparser.

`_treebuilder.build` reproduces, step by step, what html.parser, BeautifulSoup's
html.parser builder, lxml.html.soupparser and requests_html do with a page.
That holds only for the very versions it was checked against: html.parser in
particular changed its tokenizing in later security releases of Python. So
the builder is used only when every module it follows is byte for byte the
one recorded below (and the versions match); otherwise it is disabled, a
warning says why, and every page takes requests_html's own path.

    ENABLED          -- True when the builder may be used
    DISABLED_REASON  -- why not (None when enabled)
    build_tree       -- _treebuilder.build when enabled, else None
"""

import hashlib
import importlib
import importlib.metadata
import sys
import warnings

# sha256 of the source of each module whose behaviour the builder follows.
PROVEN_SOURCES = {
    "html.parser": "2fc512ae95bed2746b5ba3fabb14fcebf3114ff808ce97d96214ddd613b253da",
    "_markupbase": "cb14dd6f2e2439eb70b806cd49d19911363d424c2b6b9f4b73c9c08022d47030",
    "html": "923d82d821e75e8d235392c10c145ab8587927b3faf9c952bbd48081eebd8522",
    "html.entities": "282b7cdd567bbbf3d7d7ccd49fae1d3ebc7f7ab64058d781193620913773731b",
    "bs4": "90e007f82a9fc5bcf22a8df3b395b7bc5245e54d65cd68fd51ca12a414718d4e",
    "bs4.builder": "465e2a8ce5ef772cb28dac8e16a6e4828528a3cd48828c8a0fe47059e54ae7d8",
    "bs4.builder._htmlparser": "4ab8d0bee2fc48a3ab5f28f33611355d3049a46b25a44d4b2bedc1d6f9bbfebd",
    "bs4.element": "a109bc64af4fd5137b4e739ac254b9c1d518c2cb36391d21e59113e95b862641",
    "bs4.dammit": "d261705bff87925c9ba2dfcc8378284ea6187ca7e5b8a253fd6254e288db405e",
    "lxml.html.soupparser": "7edc157b89d993ba4af4ac2cf3de2710d22996995ee34a10c2575b9e8c8d6111",
    "lxml.html": "082e5676cbd2a6d661afd319c9ad6ab0be892956ef89876b1ce857ac68663918",
    "requests_html": "b3e6d06a800c9b7bf87ec8812a9ec2e9a1931b861f2a052165931e8e01f9d0c6",
}
PROVEN_PYTHON = (3, 11, 7)
PROVEN_DISTRIBUTIONS = {"beautifulsoup4": "4.15.0", "lxml": "6.2.1", "requests-html": "0.10.0"}
PROVEN_LXML = (6, 2, 1, 0)
PROVEN_LIBXML = (2, 14, 6)


def _source_digest(module_name):
    module = importlib.import_module(module_name)
    with open(module.__file__, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def check():
    """None when the installed modules are the proven ones, else the first difference."""
    if tuple(sys.version_info[:3]) != PROVEN_PYTHON:
        return "Python %s.%s.%s, proven on %s.%s.%s" % (tuple(sys.version_info[:3]) + PROVEN_PYTHON)
    for name, version in PROVEN_DISTRIBUTIONS.items():
        try:
            installed = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            return "%s is not installed" % name
        if installed != version:
            return "%s %s, proven on %s" % (name, installed, version)
    from lxml import etree

    if etree.LXML_VERSION != PROVEN_LXML:
        return "lxml %s, proven on %s" % (etree.LXML_VERSION, PROVEN_LXML)
    for which in ("LIBXML_VERSION", "LIBXML_COMPILED_VERSION"):
        if getattr(etree, which) != PROVEN_LIBXML:
            return "libxml2 %s, proven on %s" % (getattr(etree, which), PROVEN_LIBXML)
    for name, digest in PROVEN_SOURCES.items():
        try:
            actual = _source_digest(name)
        except (ImportError, OSError, TypeError) as error:
            return "cannot read the source of %s (%s)" % (name, error)
        if actual != digest:
            return "the source of %s differs from the proven one" % name
    return None


def _load():
    reason = check()
    if reason is not None:
        return None, reason
    try:
        from ostrel.crawler.field_extractor.utils import _treebuilder
    except ImportError as error:
        return None, "the native module is missing (%s)" % error
    import lxml

    built_against = getattr(_treebuilder, "LXML_BUILT_AGAINST", None)
    if built_against != lxml.__version__:
        return None, "the native module was built against lxml %s, lxml %s is installed" % (
            built_against,
            lxml.__version__,
        )
    return _treebuilder.build, None


try:
    build_tree, DISABLED_REASON = _load()
except Exception as error:  # noqa: BLE001 - the gate itself must never stop the package loading
    build_tree, DISABLED_REASON = None, "the gate failed: %r" % error
ENABLED = build_tree is not None
if not ENABLED:
    warnings.warn(
        "native tree builder disabled: %s; pages are parsed by soupparser" % DISABLED_REASON,
        RuntimeWarning,
        stacklevel=2,
    )
