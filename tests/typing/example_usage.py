"""Typed use of the native modules, checked by ``mypy --strict`` in test_typing."""

from typing import Any

from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser
from ostrel.crawler.field_extractor.html_parsers.quillan import BaseParser
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils import _treebuilder
from ostrel.crawler.field_extractor.utils.trummel import TextUtil


class Page:
    """Stands for requests_html.HTML, which ships no types."""

    def xpath(self, selector: str) -> list[Any]:
        return []


def rows(path: str, text: str) -> list[dict[str, Any]]:
    extractor = FieldExtractor(path)
    all_rows: list[dict[str, Any]] = extractor.extract(text, de_dup=False)
    return all_rows + extractor.extract(text)


def first_keys(extractor: FieldExtractor, text: str) -> set[str]:
    return {key for row in extractor.extract(text) for key in row}


def values(page: Page) -> tuple[str | None, list[str] | None, str | None]:
    one: str | None = FieldParser().parse(page, "//h1", value_separator=" ")
    many = FieldsParser().parse(page, ["//tr[2]/td", "//tr[3]/td"])
    attr = AttrParser().parse(page, "//a", "href")
    return one, many, attr


def row_rule(rules: list[str]) -> str:
    length_rule, end_rule, start = FieldsParser()._extract_rule(rules)
    return f"{length_rule}[{start + 1}]/{end_rule}"


def pairs() -> list[list[str]]:
    matched, single = FieldsMatcher().match("a", ["b", "c"])
    return matched if not single else []


def normalised(text: str) -> str:
    return TextUtil().normalize_element(text).upper()


def processed(conf: dict[str, Any], fields: list[dict[str, Any]]) -> int:
    return len(FieldsProcessor(conf).process_fields(fields, True))


def parsers() -> list[BaseParser]:
    return [FieldParser(), FieldsParser(), AttrParser()]


def tree_or_reason(text: str) -> str:
    tree, reason = _treebuilder.build_with_reason(text)
    return reason if tree is None and reason is not None else "built"
