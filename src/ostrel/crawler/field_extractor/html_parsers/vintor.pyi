"""Types of the native module ``ostrel.crawler.field_extractor.html_parsers.vintor``."""

from ostrel.crawler.field_extractor.html_parsers.quillan import BaseParser as BaseParser
from ostrel.crawler.field_extractor.html_parsers.quillan import _XPathDocument
from ostrel.crawler.field_extractor.utils.trummel import TextUtil as TextUtil

# False: the parser reads through lxml's element proxies, never on the page tree itself.
_read_in_tree: bool
# The checks of what the tree reading gives, made once per `extract` call (a capsule).
_call_scope: object

class FieldParser(BaseParser):
    trummel: TextUtil
    def __init__(self) -> None: ...
    # The texts of the elements `rule` selects, joined and normalised; None
    # when it selects nothing.
    def parse(  # type: ignore[override]
        self, html: _XPathDocument, rule: str, value_separator: str = "\t"
    ) -> str | None: ...
