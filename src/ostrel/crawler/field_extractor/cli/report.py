"""A picture of what the rules select on one page (``try --html``).

``analyse_page`` runs the extractor's own parsers on the page through a
document that records every XPath query they make and what it returned, so
the elements behind each value are the very ones the parsers read: a
single-XPath field's elements, the first element of an ``attr:NAME`` field,
and, for a list rule, the elements of each row XPath (one value per row).
Values go through the extractor's matcher and the processor's own steps
(aliases, the key filter, the required fields), which say which rows are
dropped and why; duplicates are found as ``extract`` finds them. The rows
are then checked against the real ``extract`` (with and without
de-duplication); a difference is reported in the picture, never hidden.

``render_report`` marks the matched elements in the parsed tree with data
attributes, makes the page inert (scripts, event handlers, resources that
would be fetched) and writes one self-contained HTML file: the page in a
sandboxed frame beside a side panel.
"""

import html
import json
import re
from importlib import resources

from requests_html import HTML

__all__ = ["analyse_page", "render_report", "MARK", "ROWS", "FIELDS", "LABEL"]

# Data attributes set on the matched elements of the page.
MARK = "data-ostrel-mark"  # an id per marked element
ROWS = "data-ostrel-rows"  # the row numbers (from 1) it belongs to, space-separated
FIELDS = "data-ostrel-fields"  # the field classes (f0, f1, ...) that matched it
LABEL = "data-ostrel-label"  # "field · row N", one per field, joined with "; "

# Colours of the fields, in the order in which the rules first name them.
PALETTE = (
    "#e6194b",
    "#3cb44b",
    "#4363d8",
    "#f58231",
    "#911eb4",
    "#0f9ea8",
    "#c2188a",
    "#7a8c00",
    "#9a6324",
    "#800000",
    "#008080",
    "#000075",
)

_SHOWN_CHARS = 300


class _Recorder:
    """A page document that hands every ``xpath`` query on to the real one
    and keeps (query, result) in order: what a parser read, as it read it."""

    def __init__(self, doc):
        self.doc = doc
        self.calls = []

    def xpath(self, selector, *args, **kwargs):
        result = self.doc.xpath(selector, *args, **kwargs)
        self.calls.append((selector, result))
        return result


def _nodes(result):
    """The element nodes of one XPath result (text and attribute values,
    which have none, are left out)."""
    nodes = []
    for item in result if isinstance(result, list) else ():
        node = getattr(item, "element", None)
        if node is not None and isinstance(getattr(node, "tag", None), str):
            nodes.append(node)
    return nodes


class Field:
    """One field of one rule entry on the page."""

    def __init__(self, entry, key, definition):
        self.entry, self.key, self.definition = entry, key, definition
        self.how = None  # constant, xpath, list, attr:NAME
        self.value = None
        self.error = None  # "Type: message" when the field failed
        self.elements = []  # single XPath and attr: the elements it read
        self.row_elements = []  # list rule: the elements of each row XPath
        self.row_step = None  # list rule: (length rule, end rule, first position)
        self.warnings = []

    @property
    def rule(self):
        return self.definition.get("rules") if isinstance(self.definition, dict) else self.definition


class Row:
    """One row that the rule entries made, before the processor."""

    def __init__(self, number, entry, index, values):
        self.number, self.entry, self.index = number, entry, index
        self.values = values  # after aliases, when the processor's steps ran
        self.dropped = None  # why the row is not in the result, or None


class PageReport:
    def __init__(self):
        self.fields = []  # Field, in rule order
        self.entries = []  # per rule entry: (verdict, rows of the entry)
        self.rows = []  # Row, numbered from 1
        self.error = None  # extract's failure, "Type: message"
        self.mismatch = None  # when the rows differ from extract's
        self.keys = []  # the field keys in the order the rules first name them
        self.de_dup = True
        self.doc = None


def _describe(exc):
    return f"{type(exc).__name__}: {' '.join(str(exc).splitlines())}"


def _run_field(extractor, doc, field):
    from ostrel.crawler.field_extractor.cli.explain import field_value

    recorder = _Recorder(doc)
    try:
        field.how, field.value = field_value(extractor, recorder, field.definition)
    except Exception as exc:
        field.error = _describe(exc)
    calls = recorder.calls
    if field.how == "list" and calls:
        try:
            field.row_step = tuple(extractor.type2html_parser["<class 'list'>"]._extract_rule(field.rule))
        except Exception:  # noqa: BLE001 - the parse above already failed the same way
            field.row_step = None
        field.row_elements = [_nodes(result) for _, result in calls[1:]]
        several = [n for n, nodes in enumerate(field.row_elements, 1) if len(nodes) > 1]
        if several:
            shown = ", ".join(str(n) for n in several[:10]) + (", …" if len(several) > 10 else "")
            field.warnings.append(
                f"{len(several)} of {len(field.row_elements)} rows select several elements (rows {shown}): "
                "their texts are joined into one value. When the rows lie in several containers, put the "
                "row step in parentheses so that its position counts across all of them: "
                "(//div/ul/li)[1]/span, (//div/ul/li)[2]/span"
            )
    elif calls:
        nodes = _nodes(calls[0][1])
        # The attribute parser reads the first selected element only.
        field.elements = nodes[:1] if field.how and field.how.startswith("attr:") else nodes


def _give_tree(doc):
    """Hand the document the page tree that ``extract`` hands its own: the
    native builder's where it is on and takes the page, else none (the
    document then builds it itself, the same tree, more slowly)."""
    from ostrel.crawler.field_extractor import extractor as module

    build = getattr(module, "_build_tree", None)
    if build is None or type(doc) is not HTML:
        return
    try:
        root = build(doc.html)
    except Exception:  # noqa: BLE001 - extract would leave the document as it is too
        return
    if root is not None:
        doc._lxml = root


def analyse_page(extractor, text, de_dup=True):
    """What the rules make of ``text``: a PageReport."""
    report = PageReport()
    report.de_dup = de_dup
    try:
        doc = HTML(html=text)
    except Exception as exc:  # a page the document library refuses: extract fails on it alike
        report.error = _describe(exc)
        return report
    doc.encoding = "utf-8"
    _give_tree(doc)
    report.doc = doc
    records = []
    for index, entry in enumerate(extractor.rules):
        if not isinstance(entry, dict):
            report.entries.append((f"not a mapping of field keys to field definitions ({type(entry).__name__})", 0))
            continue
        fields = [Field(index, key, definition) for key, definition in entry.items()]
        for field in fields:
            _run_field(extractor, doc, field)
            if field.key not in report.keys:
                report.keys.append(field.key)
        report.fields += fields
        failed = [f.key for f in fields if f.error]
        missing = [f.key for f in fields if not f.error and f.value is None]
        lists = [f for f in fields if isinstance(f.value, list)]
        if len({len(f.value) for f in lists}) > 1 and len(fields) > 1:
            sizes = ", ".join(f"{f.key} has {len(f.value)}" for f in lists)
            for f in lists:
                f.warnings.append(f"paired lists of unequal length ({sizes}): the rows cannot be paired")
        if failed:
            report.entries.append((f"fails at {', '.join(map(repr, failed))}: the whole page fails", 0))
        elif missing:
            report.entries.append((f"dropped: nothing found for {', '.join(map(repr, missing))}", 0))
        else:
            record = {f.key: f.value for f in fields}
            try:
                rows = extractor._match_fields([record])
            except Exception as exc:
                report.entries.append((f"fails when pairing the values into rows: {_describe(exc)}", 0))
                continue
            report.entries.append((f"kept: {len(rows)} row{'' if len(rows) == 1 else 's'}", len(rows)))
            records.append((index, rows))
    for index, rows in records:
        for k, values in enumerate(rows):
            report.rows.append(Row(len(report.rows) + 1, index, k, values))
    _process(extractor, text, report)
    return report


def _kept(rows, survivors):
    """Which of ``rows`` a filter kept, given the survivors in order (a filter
    keeps order and decides by a row's contents, so equal rows share a fate)."""
    kept, j = [], 0
    for row in rows:
        if j < len(survivors) and survivors[j] == row:
            kept.append(True)
            j += 1
        else:
            kept.append(False)
    return kept


def _process(extractor, text, report):
    processor = extractor.dravine
    rows = [row.values for row in report.rows]
    try:
        converted = processor._convert_field_value(rows)
        by_key = processor._filter_fields_by_key(converted)
        not_empty = processor._filter_empty_fields(by_key)
    except Exception as exc:
        report.error = _describe(exc)
        converted = None
    if converted is not None:
        for row, values in zip(report.rows, converted):
            row.values = values
        kept = _kept(converted, by_key)
        required = list(getattr(processor, "not_empty_fields", []) or [])
        alive = [row for row, keep in zip(report.rows, kept) if keep]
        for row, keep in zip(report.rows, kept):
            if not keep:
                key = processor.filter_key
                row.dropped = f"filter: {key} {json.dumps(row.values.get(key), ensure_ascii=False)} is not accepted"
        for row, keep in zip(alive, _kept(by_key, not_empty)):
            if not keep:
                empty = [k for k in required if row.values.get(k, None) == ""]
                row.dropped = f"required field {', '.join(map(repr, empty))} is empty"
        survivors = [row for row in report.rows if row.dropped is None]
        seen = []
        for row in survivors:
            first = next((other for other in seen if other.values == row.values), None)
            if first is None:
                seen.append(row)
            elif report.de_dup:
                row.dropped = f"duplicate of row {first.number}"
    try:
        plain = extractor.extract(text, False)
        final = extractor.extract(text, report.de_dup)
    except Exception as exc:
        report.error = _describe(exc)
        return
    if converted is None:
        return
    expected_plain = list(not_empty)
    expected_final = [row.values for row in report.rows if row.dropped is None]
    if plain != expected_plain or final != expected_final:
        report.mismatch = (
            f"extract gives {len(final)} rows and the steps above {len(expected_final)}: "
            "the table shows the steps' rows, which may differ from extract's"
        )


# Rendering ------------------------------------------------------------------


def _rows_label(numbers):
    if len(numbers) == 1:
        return f"row {numbers[0]}"
    if numbers == list(range(numbers[0], numbers[-1] + 1)):
        return f"rows {numbers[0]}–{numbers[-1]}"
    return "rows " + ", ".join(map(str, numbers))


def _marks(report):
    """{node: (field classes, row numbers, labels)} of every matched element."""
    entry_rows = {}
    for row in report.rows:
        entry_rows.setdefault(row.entry, []).append(row)
    marks = {}
    classes = {key: f"f{n}" for n, key in enumerate(report.keys)}

    def mark(node, field, numbers, label):
        fields, rows, labels = marks.setdefault(node, ([], [], []))
        if classes[field.key] not in fields:
            fields.append(classes[field.key])
        rows.extend(n for n in numbers if n not in rows)
        labels.append(f"{field.key} · {label}")

    for field in report.fields:
        rows = entry_rows.get(field.entry, [])
        verdict = report.entries[field.entry][0]
        if not rows:
            why = "fails" if verdict.startswith("fails") else "dropped"
            label = f"rule {field.entry} {why}"
        if field.row_elements:
            paired = len(rows) == len(field.row_elements)
            for k, nodes in enumerate(field.row_elements):
                numbers = [rows[k].number] if paired else [row.number for row in rows]
                for node in nodes:
                    mark(node, field, numbers, _rows_label(numbers) if numbers else label)
        for node in field.elements:
            numbers = [row.number for row in rows]
            mark(node, field, numbers, _rows_label(numbers) if numbers else label)
    return marks


_CSS_URL = re.compile(r"""url\(\s*(?:"[^"]*"|'[^']*'|[^)]*)\s*\)""", re.I)
_CSS_IMPORT = re.compile(r"@import\b[^;]*;?", re.I)
# Attributes that make the browser fetch something (or run script) when the
# page is shown.
_FETCHING = {
    "src",
    "srcset",
    "lowsrc",
    "dynsrc",
    "poster",
    "background",
    "data",
    "codebase",
    "archive",
    "code",
    "classid",
    "manifest",
    "ping",
    "imagesrcset",
    "action",
    "formaction",
    "srcdoc",
    "longdesc",
    "profile",
}
_DROPPED = {"script", "link", "base"}
_PLUGINS = {"object", "embed", "applet"}
_SCRIPTED = ("javascript:", "vbscript:", "data:text/html")


def _inert_css(text):
    def keep_data(match):
        inside = match.group(0)[4:-1].strip().strip("'\"").strip().lower()
        return match.group(0) if inside.startswith("data:") else "none"

    return _CSS_URL.sub(keep_data, _CSS_IMPORT.sub("", text))


def _remove(node):
    """Take ``node`` out of the tree, keeping the text that follows it."""
    parent, previous = node.getparent(), node.getprevious()
    if node.tail:
        if previous is not None:
            previous.tail = (previous.tail or "") + node.tail
        else:
            parent.text = (parent.text or "") + node.tail
    parent.remove(node)


def _make_inert(root):
    """Strip what would run or fetch: scripts, event handlers, javascript:
    links, external resources. A marked element is kept (emptied)."""
    for node in list(root.iter()):
        tag = node.tag if isinstance(node.tag, str) else None
        if tag is None:
            continue
        tag = tag.lower()
        if tag in _PLUGINS:
            # Even without data a plugin element asks to load a plugin; the
            # browser shows its content instead when there is none.
            node.tag = "span"
            node.set("data-ostrel-was", tag)
        if tag in _DROPPED or (tag == "meta" and node.get("http-equiv") is not None):
            if node.get(MARK) is None and node.getparent() is not None:
                _remove(node)
                continue
            node.text = None
            for child in list(node):
                node.remove(child)
        elif tag == "style" and node.text:
            node.text = _inert_css(node.text)
        for name in list(node.attrib):
            value = node.attrib[name]
            low = name.lower()
            plain = value.strip().lower()
            if low.startswith("on"):
                del node.attrib[name]
            elif plain.startswith(_SCRIPTED):
                del node.attrib[name]
            elif low in _FETCHING:
                # An image held in the page itself is kept.
                if not (low == "src" and tag == "img" and plain.startswith("data:image/")):
                    del node.attrib[name]
            elif low in ("href", "xlink:href"):
                # A link is shown, not followed (that would leave the report);
                # other references (svg, ...) are fetched unless in the page.
                del node.attrib[name]
                if tag in ("a", "area"):
                    node.set("data-ostrel-href", value)
                elif value.startswith("#"):
                    node.set(name, value)
            elif low == "style":
                node.set(name, _inert_css(value))
        if tag in ("script", "link", "base", "meta") and node.get(MARK) is not None:
            for name in [n for n in node.attrib if not n.startswith("data-ostrel-")]:
                del node.attrib[name]


def _page_markup(report, marks):
    import lxml.html
    from lxml import etree

    try:
        root = report.doc.lxml
        if not isinstance(root.tag, str):
            raise ValueError("no element")
    except Exception as exc:  # noqa: BLE001 - a page without elements is still pictured
        root = lxml.html.document_fromstring("<html><head></head><body><p></p></body></html>")
        root.find("body/p").text = f"The page has no element to show ({_describe(exc)})."
    for n, (node, (fields, rows, labels)) in enumerate(marks.items(), 1):
        node.set(MARK, str(n))
        node.set(FIELDS, " ".join(fields))
        node.set(ROWS, " ".join(map(str, rows)))
        node.set(LABEL, "; ".join(labels))
    _make_inert(root)
    head = root.find("head")
    if head is None:
        head = etree.Element("head")
        root.insert(0, head)
    style = etree.Element("style")
    style.text = _asset("page.css") + "".join(
        f'[{FIELDS}~="f{n}"]{{outline:2px solid {_colour(n)}!important;outline-offset:1px}}'
        for n in range(len(report.keys))
    )
    policy = etree.Element("meta", {"http-equiv": "Content-Security-Policy", "content": _FRAME_POLICY})
    head.insert(0, style)
    head.insert(0, policy)
    head.insert(0, etree.Element("meta", {"name": "ostrel-page"}))
    head.insert(0, etree.Element("meta", {"charset": "utf-8"}))
    return "<!DOCTYPE html>\n" + lxml.html.tostring(root, encoding="unicode", method="html")


def _colour(n):
    return PALETTE[n % len(PALETTE)]


def _asset(name):
    return resources.files(__package__).joinpath("report_assets", name).read_text("utf-8")


# Nothing is fetched and nothing runs inside the frame; the report's own
# script (outside it) runs, nothing else.
_FRAME_POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:; font-src data:"
_REPORT_POLICY = (
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:; font-src data:"
)


def _short(value):
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return text if len(text) <= _SHOWN_CHARS else text[:_SHOWN_CHARS] + "…"


def _e(text):
    return html.escape(str(text), quote=True)


def _rows_table(report, rows, why):
    if not rows:
        return "<p class='none'>none</p>"
    keys = [k for k in report.keys if any(k in row.values for row in rows)]
    head = "".join(f"<th>{_e(k)}</th>" for k in ["#", "rule", *(["why"] if why else []), *keys])
    body = []
    for row in rows:
        cells = [f"<td>{row.number}</td>", f"<td>{row.entry}</td>"]
        if why:
            cells.append(f"<td class='why'>{_e(row.dropped)}</td>")
        for key in keys:
            shown = _e(_short(row.values[key])) if key in row.values else ""
            cells.append(f"<td title='{shown}'>{shown}</td>")
        body.append(f"<tr class='row' data-row='{row.number}' tabindex='0'>{''.join(cells)}</tr>")
    return f"<div class='table'><table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table></div>"


def _panel(report, source):
    parts = [f"<h1>What the rules select</h1><p class='source'>{_e(source)}</p>"]
    kept = [row for row in report.rows if row.dropped is None]
    dropped = [row for row in report.rows if row.dropped is not None]
    if report.error:
        parts.append(f"<p class='error'>extract fails on this page: {_e(report.error)}</p>")
    if report.mismatch:
        parts.append(f"<p class='error'>{_e(report.mismatch)}</p>")
    counts, constant = {}, set(report.keys)
    for field in report.fields:
        counts[field.key] = counts.get(field.key, 0) + len(field.elements) + sum(map(len, field.row_elements))
        if field.how != "constant":
            constant.discard(field.key)
    legend = "".join(
        f"<li><span class='swatch' style='background:{_colour(n)}'></span>{_e(key)} <span class='count'>"
        f"{'constant' if key in constant else _count(counts.get(key, 0), 'element')}</span></li>"
        for n, key in enumerate(report.keys)
    )
    parts.append(f"<ul class='legend'>{legend}</ul><p id='hidden-note' class='note'></p>")
    parts.append(f"<h2>Rows <span class='count'>{len(kept)}</span></h2>")
    parts.append(_rows_table(report, kept, why=False))
    parts.append(f"<h2>Dropped rows <span class='count'>{len(dropped)}</span></h2>")
    parts.append(_rows_table(report, dropped, why=True))
    entries = "".join(
        f"<li>rule {n}: {_e(verdict)}</li>"
        for n, (verdict, _) in enumerate(report.entries)
        if not verdict.startswith("kept")
    )
    if entries:
        parts.append(f"<h2>Dropped rule entries</h2><ul class='entries'>{entries}</ul>")
    lists = [field for field in report.fields if field.how == "list"]
    if lists:
        parts.append("<h2>List rules</h2>")
    for field in lists:
        step = ""
        if field.row_step:
            length_rule, end_rule, start = field.row_step
            row_xpath = f"{length_rule}[i]" + (f"/{end_rule}" if end_rule else "")
            step = f"<p>rows: <code>{_e(row_xpath)}</code> for i = {start} … {len(field.row_elements) + start - 1}</p>"
        count = len(field.value) if isinstance(field.value, list) else 0
        notes = "".join(f"<li class='warning'>{_e(w)}</li>" for w in field.warnings)
        error = f"<li class='warning'>{_e(field.error)}</li>" if field.error else ""
        parts.append(
            f"<div class='list-rule'><h3>rule {field.entry} · {_e(field.key)}</h3>"
            f"<p><code>{_e(json.dumps(field.rule, ensure_ascii=False))}</code></p>{step}"
            f"<p>{count} row{'' if count == 1 else 's'}</p><ul>{notes}{error}</ul></div>"
        )
    return "".join(parts)


def _count(n, what):
    return f"{n} {what}{'' if n == 1 else 's'}"


def _json_script(value):
    return json.dumps(value, ensure_ascii=False).replace("<", "\\u003c").replace(">", "\\u003e")


def render_report(report, source):
    """The self-contained HTML file of ``report`` (``source`` names the page)."""
    marks = _marks(report)
    page = _page_markup(report, marks)
    data = {"colours": [_colour(n) for n in range(len(report.keys))]}
    return (
        "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>"
        f"<meta http-equiv='Content-Security-Policy' content=\"{_REPORT_POLICY}\">"
        f"<title>{_e(source)} · what the rules select</title><style>{_asset('report.css')}</style></head>"
        f"<body><main><iframe id='page' title='the page' sandbox='allow-same-origin' srcdoc=\"{_e(page)}\">"
        f"</iframe></main><aside id='panel'>{_panel(report, source)}</aside>"
        f"<script type='application/json' id='report-data'>{_json_script(data)}</script>"
        f"<script>{_asset('report.js')}</script></body></html>\n"
    )
