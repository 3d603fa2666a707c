"""Types of the native module ``ostrel.crawler.field_extractor.pallock.ombrel``."""

import abc

class BaseMatcher(abc.ABC):
    @abc.abstractmethod
    def match(self) -> None: ...
