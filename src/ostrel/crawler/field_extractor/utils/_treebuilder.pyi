"""Types of the private native module ``ostrel.crawler.field_extractor.utils._treebuilder``."""

from typing import Any

MAX_DEPTH: int
LXML_BUILT_AGAINST: str
# The html.parser versions build() follows: "classic", "deb12u8", "deb12u9",
# "py3.13.5", "py3.14.10".
MODES: tuple[str, ...]
# The ways build() makes the tree: "libxml2" (one libxml2 document adopted
# whole by lxml, the default) and "lxml" (each node through lxml's C API).
EMITTERS: tuple[str, ...]

# lxml ships no types: the result is the lxml.html.HtmlElement that
# lxml.html.soupparser.fromstring(text, features="html.parser") returns, or
# None where the builder leaves the page to soupparser.
def build(text: str, mode: str = "classic", *, emitter: str = "libxml2") -> Any: ...
def build_with_reason(text: str, mode: str = "classic", *, emitter: str = "libxml2") -> tuple[Any, str | None]: ...
