"""Types of the native module ``ostrel.crawler.field_extractor.html_parsers.quillan``."""

import abc
from typing import Any, Protocol

class _XPathDocument(Protocol):
    # What the parsers need of a page: requests_html.HTML, which ships no
    # types, or anything else with an ``xpath`` method.
    def xpath(self, selector: str, /) -> Any: ...

class BaseParser(abc.ABC):
    @abc.abstractmethod
    def parse(self) -> None: ...
