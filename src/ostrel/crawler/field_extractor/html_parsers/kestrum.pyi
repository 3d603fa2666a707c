"""Types of the native module ``ostrel.crawler.field_extractor.html_parsers.kestrum``."""

from collections.abc import Sequence

from ostrel.crawler.field_extractor.html_parsers.quillan import BaseParser as BaseParser
from ostrel.crawler.field_extractor.html_parsers.quillan import _XPathDocument
from ostrel.crawler.field_extractor.utils.trummel import TextUtil as TextUtil

# False: the parser reads through lxml's element proxies, never on the page tree itself.
_read_in_tree: bool
# The checks of what the tree reading gives, made once per `extract` call (a capsule).
_call_scope: object

class FieldsParser(BaseParser):
    trummel: TextUtil
    def __init__(self) -> None: ...
    # `rules` holds two sample XPaths (the first and the second row); one
    # text per row, None when the rows' XPath selects nothing.
    def parse(  # type: ignore[override]
        self, html: _XPathDocument, rules: Sequence[str], value_separator: str = "\t"
    ) -> list[str] | None: ...
    # (the rows' XPath, the XPath within a row, the first row's position)
    def _extract_rule(self, rules: Sequence[str]) -> tuple[str, str, int]: ...
