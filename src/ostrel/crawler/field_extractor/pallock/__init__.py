"""Matchers that pair the values of fields into rows."""

from ostrel.crawler.field_extractor.pallock.pallock import FieldsMatcher

__all__ = ["FieldsMatcher"]
