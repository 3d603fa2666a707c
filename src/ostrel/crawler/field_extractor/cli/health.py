"""How a rules file fares on a set of pages, field by field, and how that
changes as the site drifts (``check RULES --pages INPUT...``).

For every field of every rule entry: the share of pages where it matched
(its rule found something), the share where its value is empty, the rows
per page that carry it after the processor (min, median, max), the rows
carrying it that the filters dropped, and, for a field with an alias
table, the values that no alias rewrote (and that are no main value
either). Pages are read and each field is run with the extractor's own
parsers, as ``try`` does; a field whose rule raises counts as failed.

The figures are a plain mapping (``figures``), written as JSON by
``--save-baseline`` and compared with a later run by ``compare``: a field
whose match rate fell by more than the threshold is reported.
"""

import json
import random
import statistics

from requests_html import HTML

from ostrel.crawler.field_extractor.cli.explain import field_value

__all__ = ["FieldHealth", "Health", "compare", "sample_tasks"]

_SHOWN_UNALIASED = 5


def sample_tasks(tasks, count, seed=0):
    """``count`` tasks drawn evenly at random from ``tasks`` (a reservoir:
    only ``count`` tasks are kept at any time), in their input order."""
    rng = random.Random(seed)
    kept = []
    for seen, task in enumerate(tasks):
        if seen < count:
            kept.append((seen, task))
        else:
            slot = rng.randrange(seen + 1)
            if slot < count:
                kept[slot] = (seen, task)
    return [task for _, task in sorted(kept, key=lambda pair: pair[0])]


def _is_empty(value):
    if isinstance(value, list):
        return all(item == "" for item in value)
    return value == ""


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


class FieldHealth:
    """The running figures of one field (rule entry ``index``, ``key``)."""

    def __init__(self, index, key, aliases=None):
        self.index, self.key = index, key
        self.aliases = aliases if isinstance(aliases, dict) and aliases else None
        self.matched = self.empty = self.failed = self.dropped = 0
        self.rows = []  # rows per page that carry the field
        self.unaliased = {}  # value -> pages

    def figures(self, pages):
        def share(count):
            return round(count / pages, 4) if pages else 0.0

        rows = sorted(self.rows)
        found = {
            "rule": self.index,
            "field": self.key,
            "matched": share(self.matched),
            "empty": share(self.empty),
            "failed": share(self.failed),
            "rows_per_page": {
                "min": rows[0] if rows else 0,
                "median": statistics.median(rows) if rows else 0,
                "max": rows[-1] if rows else 0,
            },
            "dropped_by_filters": self.dropped,
        }
        if self.aliases is not None:
            top = sorted(self.unaliased.items(), key=lambda item: (-item[1], str(item[0])))
            found["unaliased"] = {"values": len(top), "top": [value for value, _ in top[:_SHOWN_UNALIASED]]}
        return found


class Health:
    """Figures of a rules file over the pages given to ``add``."""

    def __init__(self, extractor, conf):
        self.extractor = extractor
        self.pages = self.failed_pages = 0
        aliases = conf.get("alias2main_name") if isinstance(conf.get("alias2main_name"), dict) else {}
        self.entries = []  # per rule entry: [(key, definition, FieldHealth)]
        for index, entry in enumerate(conf.get("rules") or []):
            fields = []
            if isinstance(entry, dict):
                for key, definition in entry.items():
                    fields.append((key, definition, FieldHealth(index, key, aliases.get(key))))
            self.entries.append(fields)

    def fields(self):
        return [health for fields in self.entries for _, _, health in fields]

    def add(self, text):
        """Run every field of the rules on one page's text."""
        extractor = self.extractor
        self.pages += 1
        doc = HTML(html=text)
        doc.encoding = "utf-8"  # the text is decoded: no charset of the markup applies
        records = []  # (fields of the entry, its record or None)
        for fields in self.entries:
            record = {}
            for key, definition, health in fields:
                try:
                    value = field_value(extractor, doc, definition)[1]
                except Exception:
                    health.failed += 1
                    record = None
                    continue
                if value is None:
                    if record is not None:
                        record[key] = None
                    continue
                health.matched += 1
                health.empty += _is_empty(value)
                if record is not None:
                    record[key] = value
            if record is not None and extractor.have_none_in_value(record):
                record = None
            records.append((fields, record))
        # Each entry's rows go through the processor on their own, so that
        # rows are told apart by entry when two entries share a field key.
        counted = []
        try:
            for fields, record in records:
                rows = extractor._match_fields([record]) if record is not None else []
                kept = extractor.dravine.process_fields(rows, False) if rows else []
                final = extractor.dravine.process_fields(rows, True) if rows else []
                counted.append((fields, rows, kept, final))
        except Exception:
            self.failed_pages += 1
            return
        for fields, rows, kept, final in counted:
            for key, _, health in fields:
                health.dropped += sum(1 for row in rows if key in row) - sum(1 for row in kept if key in row)
                health.rows.append(sum(1 for row in final if key in row))
                if health.aliases is None:
                    continue
                mains = {value for value in health.aliases.values() if _hashable(value)}
                for row in rows:
                    value = row.get(key)
                    if value is None or not _hashable(value) or value in health.aliases or value in mains:
                        continue
                    health.unaliased[value] = health.unaliased.get(value, 0) + 1

    def figures(self):
        return {
            "pages": self.pages,
            "failed_pages": self.failed_pages,
            "fields": [health.figures(self.pages) for health in self.fields()],
        }


def _percent(share):
    return f"{100 * share:.1f}%"


def report(figures):
    """The figures as a table, one line per field."""
    lines = [
        f"{figures['pages']} page{'' if figures['pages'] == 1 else 's'}, {figures['failed_pages']} failed, {figures.get('unreadable_pages', 0)} unreadable",
    ]
    head = ("rule", "field", "matched", "empty", "failed", "rows/page min/med/max", "filtered out", "not aliased")
    table = [head]
    for field in figures["fields"]:
        rows = field["rows_per_page"]
        median = rows["median"]
        median = f"{median:g}" if isinstance(median, float) else str(median)
        unaliased = field.get("unaliased")
        if unaliased is None:
            shown = "-"
        else:
            shown = str(unaliased["values"])
            if unaliased["top"]:
                shown += " (" + ", ".join(json.dumps(v, ensure_ascii=False) for v in unaliased["top"]) + ")"
        table.append(
            (
                str(field["rule"]),
                str(field["field"]),
                _percent(field["matched"]),
                _percent(field["empty"]),
                _percent(field["failed"]),
                f"{rows['min']}/{median}/{rows['max']}",
                str(field["dropped_by_filters"]),
                shown,
            )
        )
    widths = [max(len(row[i]) for row in table) for i in range(len(head) - 1)]
    for row in table:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)]
        lines.append("  ".join([*cells, row[-1]]).rstrip())
    return "\n".join(lines)


def compare(figures, baseline, threshold):
    """The fields whose match rate fell by more than ``threshold`` (a share,
    0.1 for ten points) since ``baseline``, as (rule, field, before, now)."""
    before = {(field.get("rule"), field.get("field")): field for field in baseline.get("fields", [])}
    fallen = []
    for field in figures["fields"]:
        old = before.get((field["rule"], field["field"]))
        if old is None or not isinstance(old.get("matched"), (int, float)):
            continue
        if old["matched"] - field["matched"] > threshold + 1e-9:
            fallen.append((field["rule"], field["field"], old["matched"], field["matched"]))
    return fallen
