"""Types of the private native module ``ostrel.crawler.field_extractor.utils._treebuilder``."""

from typing import Any

MAX_DEPTH: int
LXML_BUILT_AGAINST: str
# The html.parser versions build() follows: "classic", "deb12u8", "deb12u9",
# "py3.13.5", "py3.14.10".
MODES: tuple[str, ...]

# lxml ships no types: the result is the lxml.html.HtmlElement that
# lxml.html.soupparser.fromstring(text, features="html.parser") returns, or
# None where the builder leaves the page to soupparser.
def build(text: str, mode: str = "classic") -> Any: ...
def build_with_reason(text: str, mode: str = "classic") -> tuple[Any, str | None]: ...
