"""Types of the native module ``ostrel.crawler.field_extractor.html_parsers.selvane``."""

from ostrel.crawler.field_extractor.html_parsers.quillan import BaseParser as BaseParser
from ostrel.crawler.field_extractor.html_parsers.quillan import _XPathDocument

# False: the parser reads through lxml's element proxies, never on the page tree itself.
_read_in_tree: bool
# The checks of what the tree reading gives, made once per `extract` call (a capsule).
_call_scope: object

class AttrParser(BaseParser):
    # The attribute of the first element `rule` selects (several values,
    # such as classes, joined by spaces); None when it selects nothing.
    def parse(  # type: ignore[override]
        self, html: _XPathDocument, rule: str, attr_name: str
    ) -> str | None: ...
