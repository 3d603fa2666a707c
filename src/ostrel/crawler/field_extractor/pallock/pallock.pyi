"""Types of the native module ``ostrel.crawler.field_extractor.pallock.pallock``."""

from ostrel.crawler.field_extractor.pallock.ombrel import BaseMatcher as BaseMatcher

class FieldsMatcher(BaseMatcher):
    # Pairs the values of two fields; a single value (str) is repeated to
    # the length of the other list. True when both were single values.
    def match(  # type: ignore[override]
        self, head_fields: str | list[str], tail_fields: str | list[str]
    ) -> tuple[list[list[str]], bool]: ...
    def _match_fields(self, head_fields: list[str], tail_fields: list[str]) -> list[list[str]]: ...
    def _process_fields(
        self, head_fields: str | list[str], tail_fields: str | list[str]
    ) -> tuple[list[str], list[str], bool]: ...
