"""Fixtures: stored pages with the rows a rules file gave them, to see what
a change of the rules (or of the library) changes.

``try RULES PAGE --save-fixture DIR`` writes two files into DIR: NAME.html,
the page's text as UTF-8, and NAME.json, ``{"page": ID, "de_dup": BOOL,
"rows": [...]}``. ``check RULES --fixtures DIR`` extracts every NAME.html
of DIR that has its NAME.json again and reports, field by field, where the
rows differ from the stored ones.
"""

import json
import os
import re
import sys

from ostrel.crawler.field_extractor.cli.common import describe_error

__all__ = ["check_fixtures", "differences", "save_fixture"]

_UNSAFE = re.compile(r"[^\w.-]+")


def _name(page_id):
    """A file name made of the page id's last part."""
    text = str(page_id).rstrip("/").rsplit("/", 1)[-1] or "page"
    text = re.sub(r"\.(html?|xhtml|shtml)(\.gz)?$", "", text, flags=re.IGNORECASE)
    return (_UNSAFE.sub("_", text).strip("._") or "page")[:80]


def save_fixture(directory, page_id, text, rows, de_dup=True):
    """Write the page and its rows into ``directory`` (made when missing);
    return the path of the JSON file. An existing fixture of another page
    is kept: the new one gets a numbered name."""
    os.makedirs(directory, exist_ok=True)
    base = _name(page_id)
    for number in range(1, 10000):
        name = base if number == 1 else f"{base}-{number}"
        json_path = os.path.join(directory, name + ".json")
        if not os.path.exists(json_path):
            break
        try:
            with open(json_path, encoding="utf-8") as stream:
                if json.load(stream).get("page") == page_id:
                    break  # the same page: saved again
        except (OSError, ValueError, AttributeError):
            continue
    with open(os.path.join(directory, name + ".html"), "w", encoding="utf-8", newline="") as stream:
        stream.write(text)
    with open(json_path, "w", encoding="utf-8") as stream:
        json.dump({"page": page_id, "de_dup": bool(de_dup), "rows": rows}, stream, ensure_ascii=False, indent=1)
        stream.write("\n")
    return json_path


def _show(value):
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 120 else text[:120] + "…"


def differences(stored, rows):
    """Field-level differences between the stored rows and the new ones,
    as lines: a row only in one of them, or a field whose value changed,
    appeared or vanished."""
    lines = []
    for number in range(max(len(stored), len(rows))):
        if number >= len(rows):
            lines.append(f"row {number}: only in the fixture: {_show(stored[number])}")
            continue
        if number >= len(stored):
            lines.append(f"row {number}: new: {_show(rows[number])}")
            continue
        old, new = stored[number], rows[number]
        if not isinstance(old, dict) or not isinstance(new, dict):
            if old != new:
                lines.append(f"row {number}: {_show(old)} -> {_show(new)}")
            continue
        for key in list(old) + [key for key in new if key not in old]:
            if key not in new:
                lines.append(f"row {number}, field {key!r}: gone (was {_show(old[key])})")
            elif key not in old:
                lines.append(f"row {number}, field {key!r}: new: {_show(new[key])}")
            elif old[key] != new[key]:
                lines.append(f"row {number}, field {key!r}: {_show(old[key])} -> {_show(new[key])}")
    return lines


def check_fixtures(prog, directory, extractor, quiet=False):
    """Run every fixture of ``directory``; print the differences (unless
    ``quiet``) and return ({fixture: [lines]}, exit status): 1 on any
    difference, 2 when the directory holds no fixture."""
    try:
        names = sorted(name[:-5] for name in os.listdir(directory) if name.endswith(".json"))
    except OSError as exc:
        print(f"{prog}: --fixtures {directory}: {describe_error(exc)}", file=sys.stderr)
        return {}, 2
    found = {}
    checked = 0
    for name in names:
        json_path = os.path.join(directory, name + ".json")
        html_path = os.path.join(directory, name + ".html")
        if not os.path.exists(html_path):
            continue
        checked += 1
        try:
            with open(json_path, encoding="utf-8") as stream:
                fixture = json.load(stream)
            with open(html_path, encoding="utf-8", newline="") as stream:
                text = stream.read()
            stored = fixture["rows"]
        except (OSError, ValueError, KeyError, TypeError) as exc:
            found[json_path] = [f"cannot read the fixture: {describe_error(exc)}"]
            continue
        try:
            rows = extractor.extract(text, bool(fixture.get("de_dup", True)))
        except Exception as exc:
            found[json_path] = [f"extraction fails: {describe_error(exc)}"]
            continue
        lines = differences(stored, rows)
        if lines:
            found[json_path] = lines
    if not quiet:
        for path, lines in found.items():
            for line in lines:
                print(f"{path}: {line}")
        print(
            f"{directory}: {checked} fixture{'' if checked == 1 else 's'}, {len(found)} with differences",
            file=sys.stderr,
        )
    if checked == 0:
        print(f"{prog}: --fixtures {directory}: no fixture (NAME.json beside NAME.html) in it", file=sys.stderr)
        return found, 2
    return found, 1 if found else 0
