"""Types of the native module ``ostrel.crawler.field_extractor.utils.trummel``."""

class TextUtil:
    # Strips the text and folds each run of blanks (space, CR, LF, U+00A0,
    # U+3000) into one space.
    def normalize_element(self, text: str) -> str: ...
