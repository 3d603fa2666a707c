"""Rule-driven field extraction from crawled web pages.

``FieldExtractor`` (in ``ostrel.crawler.field_extractor.extractor``) is the
entry point: one instance per rules file, ``extract(text)`` per page.
"""
