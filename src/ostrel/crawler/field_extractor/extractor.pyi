"""Types of the native module ``ostrel.crawler.field_extractor.extractor``."""

from typing import Any

from ostrel.crawler.field_extractor.dravine import FieldsProcessor as FieldsProcessor
from ostrel.crawler.field_extractor.html_parsers.kestrum import FieldsParser as FieldsParser
from ostrel.crawler.field_extractor.html_parsers.quillan import _XPathDocument
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser as AttrParser
from ostrel.crawler.field_extractor.html_parsers.vintor import FieldParser as FieldParser
from ostrel.crawler.field_extractor.pallock.pallock import FieldsMatcher as FieldsMatcher

class FieldExtractor:
    rules: list[dict[str, Any]]
    # Keyed by "<class 'str'>" (one XPath) and "<class 'list'>" (two XPaths).
    type2html_parser: dict[str, FieldParser | FieldsParser]
    selvane: AttrParser
    pallock: FieldsMatcher
    dravine: FieldsProcessor
    value_separator: str
    def __init__(self, conf_file: str) -> None: ...
    def extract(self, text: str, de_dup: bool = True) -> list[dict[str, Any]]: ...
    def have_none_in_value(self, field: dict[str, Any]) -> bool: ...
    def _match_fields(self, fields: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    def _match_multiple_fields(self, field: dict[str, Any]) -> Any: ...
    def _get_value(self, value: Any) -> Any: ...
    def _add_next_value(self, matched_values_: Any, i: Any) -> Any: ...
    def _extract_fields(self, html: _XPathDocument) -> list[dict[str, Any]]: ...
