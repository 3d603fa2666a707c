"""Types of the native module ``ostrel.crawler.field_extractor.pallock.pallock``."""

from typing import List, Tuple, Union

from ostrel.crawler.field_extractor.pallock.ombrel import BaseMatcher as BaseMatcher

class FieldsMatcher(BaseMatcher):
    # Pairs the values of two fields; a single value (str) is repeated to
    # the length of the other list. True when both were single values.
    def match(  # type: ignore[override]
        self, head_fields: Union[str, List[str]], tail_fields: Union[str, List[str]]
    ) -> Tuple[List[List[str]], bool]: ...
    def _match_fields(self, head_fields: List[str], tail_fields: List[str]) -> List[List[str]]: ...
    def _process_fields(
        self, head_fields: Union[str, List[str]], tail_fields: Union[str, List[str]]
    ) -> Tuple[List[str], List[str], bool]: ...
