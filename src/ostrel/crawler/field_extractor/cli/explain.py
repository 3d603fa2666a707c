"""What the rules make of one page, step by step (the ``try`` command).

``explain_page`` runs every field of every rule entry on a page with the
extractor's own parsers, as ``extract`` does, and reports what each field
yields before matching, which rule entries are dropped because a field
found nothing, how many rows each remaining entry pairs into, and finally
the rows that ``extract`` returns after aliases, filters and de-duplication.
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from requests_html import HTML

if TYPE_CHECKING:
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

__all__ = ["explain_page", "field_value", "locate_failure"]

_SHOWN_VALUES = 10  # list values shown per field
_SHOWN_CHARS = 300  # characters shown per value


def field_value(extractor: FieldExtractor, doc: Any, definition: dict[str, Any]) -> tuple[str, Any]:
    """(how, value) of one field definition on a parsed page, dispatched as the
    extractor does; raises as the extractor would."""
    rules = definition["rules"]
    pieces = definition.get("type", "text").split(":")
    if pieces[0] == "text":
        if type(rules) is str and not rules.startswith("/"):
            return "constant", rules
        parser = extractor.type2html_parser[str(type(rules))]
        how = "list" if type(rules) is list else "xpath"
        return how, parser.parse(doc, rules, extractor.value_separator)
    if pieces[0] == "attr":
        return f"attr:{pieces[1]}", extractor.selvane.parse(doc, rules, pieces[1])
    raise ValueError(f"unknown type {pieces[0]!r}: a type is text or attr:NAME")


def _show(value):
    """``value`` as JSON, cut at ``_SHOWN_CHARS`` characters. Only what is
    shown is ever serialized: a rules file's YAML aliases can make a list
    of billions of items out of a few lines (their items are shared), which
    a whole serialization would spell out."""
    pieces = []
    budget = [_SHOWN_CHARS + 1]
    _shown_json(value, pieces, budget)
    text = "".join(pieces)
    if len(text) > _SHOWN_CHARS:
        text = text[:_SHOWN_CHARS] + "…"
    return text


def _shown_json(value, pieces, budget):
    """Append the JSON of ``value`` to ``pieces`` until ``budget[0]``
    characters are spent."""
    if budget[0] <= 0:
        return
    if isinstance(value, (list, tuple, dict)):
        items = value.items() if isinstance(value, dict) else value
        pieces.append("{" if isinstance(value, dict) else "[")
        budget[0] -= 1
        for index, item in enumerate(items):
            if budget[0] <= 0:
                return
            if index:
                pieces.append(", ")
                budget[0] -= 2
            if isinstance(value, dict):
                key, item = item
                _shown_json(key if isinstance(key, str) else str(key), pieces, budget)
                pieces.append(": ")
                budget[0] -= 2
            _shown_json(item, pieces, budget)
        pieces.append("}" if isinstance(value, dict) else "]")
        budget[0] -= 1
        return
    if isinstance(value, str) and len(value) > budget[0]:
        value = value[: budget[0]]  # cut before it is serialized
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        text = repr(value)[: budget[0]]
    pieces.append(text)
    budget[0] -= len(text)


def _show_value(value):
    if value is None:
        return "nothing found (None)"
    if isinstance(value, list):
        shown = ", ".join(_show(item) for item in value[:_SHOWN_VALUES])
        more = len(value) - _SHOWN_VALUES
        if more > 0:
            shown += f", … ({more} more)"
        return f"{len(value)} value{'' if len(value) == 1 else 's'}: [{shown}]"
    return _show(value)


def _show_rule(definition):
    rules = definition.get("rules") if isinstance(definition, dict) else definition
    return _show(rules)


def explain_page(extractor: FieldExtractor, text: str, de_dup: bool = True) -> tuple[str, bool]:
    """(report text, whether the page's extraction succeeded)."""
    lines: list[str] = []
    add = lines.append
    try:
        doc = HTML(html=text)
        doc.encoding = "utf-8"
        entries: Iterable[tuple[int, Any]] = enumerate(extractor.rules)
    except Exception as exc:  # no field can run; extract fails alike, said below
        add(f"the page cannot be parsed: {type(exc).__name__}: {' '.join(str(exc).splitlines())}")
        entries = ()

    for index, entry in entries:
        if not isinstance(entry, dict):
            add(f"rule {index}: not a mapping of field keys to field definitions ({type(entry).__name__})")
            continue
        record, missing, failed = {}, [], []
        body = []
        width = max((len(str(key)) for key in entry), default=0)
        for key, definition in entry.items():
            label = f"  {str(key):<{width}}"
            try:
                how, value = field_value(extractor, doc, definition)
            except Exception as exc:
                failed.append(key)
                body.append(f"{label}  {_show_rule(definition)}")
                body.append(f"  {'':<{width}}  -> fails: {type(exc).__name__}: {' '.join(str(exc).splitlines())}")
                continue
            record[key] = value
            if value is None:
                missing.append(key)
            if how == "constant":
                body.append(f"{label}  constant {_show(value)}")
            else:
                body.append(f"{label}  {how} {_show_rule(definition)}")
                body.append(f"  {'':<{width}}  -> {_show_value(value)}")
        if failed:
            verdict = f"fails at {', '.join(map(repr, failed))}: the whole page fails"
        elif missing:
            verdict = f"dropped: nothing found for {', '.join(map(repr, missing))}"
        else:
            try:
                rows = extractor._match_fields([record])
                verdict = f"kept: {len(rows)} row{'' if len(rows) == 1 else 's'} before filtering"
            except Exception as exc:
                verdict = f"fails when pairing the values into rows: {type(exc).__name__}: {exc}"
        add(f"rule {index}: {verdict}")
        lines += body

    try:
        rows = extractor.extract(text, de_dup)
    except Exception as exc:
        add(f"extract fails: {type(exc).__name__}: {' '.join(str(exc).splitlines())}")
        return "\n".join(lines) + "\n", False
    add(f"rows after aliases, filters{' and de-duplication' if de_dup else ''}: {len(rows)}")
    lines += ["  " + json.dumps(row, ensure_ascii=False) for row in rows]
    return "\n".join(lines) + "\n", True


def _parsed(text):
    doc = HTML(html=text)
    doc.encoding = "utf-8"
    return doc


def locate_failure(extractor: FieldExtractor, text: str, exc: BaseException) -> dict[str, Any]:
    """Where ``extractor.extract(text)`` failed with ``exc``, for the error
    report: ``{"rule": INDEX, "field": KEY, "hint": WORDS}``, each key only
    when known (an empty dict when the failure lies in no one rule entry).

    The extractor is native code, so its traceback names no rule entry;
    instead the page's fields are run again one by one, in the extractor's
    own order: first every field of every entry (the extractor takes all
    values before it pairs any), then the pairing of each entry that keeps
    all its values. The first step that fails with the same exception type
    is where the page failed. This costs one more parse of a page that
    failed, and nothing for the others.
    """
    where = {}
    try:
        where = _first_failure(extractor, _parsed(text), type(exc))
    except Exception:  # noqa: BLE001 - the report must not fail in turn
        where = {}
    hint = plain_words(exc, where.get("how"))
    where.pop("how", None)
    if hint:
        where["hint"] = hint
    return where


def _first_failure(extractor, doc, kind):
    records = []
    for index, entry in enumerate(extractor.rules):
        if not isinstance(entry, dict):
            return {"rule": index}
        record = {}
        for key, definition in entry.items():
            try:
                record[key] = field_value(extractor, doc, definition)[1]
            except Exception as error:
                if type(error) is not kind:
                    return {}
                how = definition.get("type", "text") if isinstance(definition, dict) else None
                if isinstance(definition, dict) and type(definition.get("rules")) is list:
                    how = "list"
                return {"rule": index, "field": key, "how": how}
        if not extractor.have_none_in_value(record):
            records.append((index, record))
    for index, record in records:
        try:
            extractor._match_fields([record])
        except Exception as error:
            return {"rule": index, "how": "pairing"} if type(error) is kind else {}
    return {}


_EMPTY_PAGE = "the page is empty (it has no element at all), so there is nothing for an XPath to select"


def plain_words(exc: BaseException, how: str | None) -> str | None:
    """Plain words for the failures that puzzle most, or None. ``how`` is the
    kind of the failing field (``text``, ``list``, ``attr:NAME``), or
    ``pairing``, or None when unknown."""
    message = str(exc)
    if "PyQuery" in message and "cannot be serialized" in message:
        return _EMPTY_PAGE
    if type(exc).__name__ == "ParserError" and "Document is empty" in message:
        return _EMPTY_PAGE
    if how and how.startswith("attr:") and isinstance(exc, KeyError):
        return f"an element that the XPath selects has no {how[5:]!r} attribute"
    if how in ("text", "list") and isinstance(exc, AttributeError) and message.startswith("'str' object"):
        which = "a list rule's XPaths select" if how == "list" else "the XPath selects"
        return (
            f"{which} text or attribute values (text(), @name), not elements: "
            "end the XPath at the element, whose text is taken; for an attribute "
            "use type: attr:NAME"
        )
    return None
