"""Parsers that turn one rule into a value of a page."""

from ostrel.crawler.field_extractor.html_parsers.kestrum import FieldsParser
from ostrel.crawler.field_extractor.html_parsers.vintor import FieldParser

__all__ = ["FieldParser", "FieldsParser"]
