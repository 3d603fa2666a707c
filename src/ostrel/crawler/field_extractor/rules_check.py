"""Find the mistakes of a rules file before a crawl starts.

``FieldExtractor`` looks at the rules only when it extracts a page, so a
mistake in a rarely matching rule entry may surface hours into a crawl, or
never fail and quietly give wrong rows. ``check_rules`` walks a loaded rules
mapping and returns one ``Problem`` for each thing that would fail or
misbehave at extraction time; ``check_file`` loads the file first.
"""

import re

from lxml import etree

from ostrel.common.utils import ConfigUtils
from ostrel.crawler.field_extractor.html_parsers import FieldsParser

__all__ = ["Problem", "check_file", "check_rules"]

# An XPath whose last step selects text, attribute or comment nodes: the
# text and attribute parsers need elements, and fail on such results.
_NON_ELEMENT_STEP = re.compile(
    r"(?:/|::)(?:text\(\)|@[^/\[\]]*|comment\(\)|attribute::[^/\[\]]*)"
    r"(?:\[[^\]]*\])*\s*$"
)
_PLACEHOLDER = re.compile("<(.*?)>")
# Constant texts that are surely meant as XPaths: " //h1", "./h1", "../a",
# "(//a)[1]", "(./p)[2]".
_PATH_LIKE = re.compile(r"\s*(?:/|\.{1,2}/|\(\s*\.{0,2}/)")


class Problem:
    """One finding: where it is (rule entry index, field key, or a
    top-level section) and what goes wrong."""

    def __init__(self, message, index=None, key=None, section=None):
        self.message = message
        self.index = index  # rule entry index, from 0
        self.key = key  # field key in that entry
        self.section = section  # top-level key, for problems outside rules

    def where(self):
        parts = []
        if self.index is not None:
            parts.append(f"rule {self.index}")
        if self.key is not None:
            parts.append(f"field {self.key!r}")
        if self.section is not None and self.index is None:
            parts.insert(0, self.section)
        return ", ".join(parts)

    def __str__(self):
        where = self.where()
        return f"{where}: {self.message}" if where else self.message

    def __repr__(self):
        return f"Problem({str(self)!r})"


def check_file(path):
    """Problems of the rules file at ``path``; the loader's error when the
    file cannot be read or parsed."""
    return check_rules(ConfigUtils.load(path, readonly=False))


def check_rules(conf):
    """Every problem of a loaded rules mapping, in file order."""
    problems = []
    add = problems.append

    rules = conf.get("rules")
    if "rules" not in conf:
        add(Problem("there is no 'rules' list: the extractor cannot be built", section="rules"))
        rules = []
    elif not isinstance(rules, list):
        add(Problem(f"'rules' must be a list of rule entries, found {_kind(rules)}", section="rules"))
        rules = []

    if "value_separator" not in conf:
        add(Problem("there is no 'value_separator': the extractor cannot be built", section="value_separator"))
    elif not isinstance(conf["value_separator"], str):
        add(
            Problem(
                f"'value_separator' must be a string, found {_kind(conf['value_separator'])}", section="value_separator"
            )
        )

    entry_keys = []  # the field keys of each rule entry (None: not a mapping)
    for index, entry in enumerate(rules):
        if not isinstance(entry, dict):
            add(Problem(f"a rule entry must map field keys to field definitions, found {_kind(entry)}", index=index))
            entry_keys.append(None)
            continue
        entry_keys.append(list(entry))
        if not entry:
            add(Problem("the rule entry has no fields: it adds an empty row to every page", index=index))
        for key, definition in entry.items():
            for message in _field_problems(definition):
                add(Problem(message, index=index, key=key))

    produced = {key for keys in entry_keys if keys for key in keys}
    problems += _alias_problems(conf, produced)
    problems += _filter_problems(conf, entry_keys, produced)
    problems += _not_empty_problems(conf, produced)
    return problems


def _kind(value):
    return "nothing" if value is None else type(value).__name__


# -- Field definitions -------------------------------------------------------


def _field_problems(definition):
    if not isinstance(definition, dict):
        return [f"a field definition must be a mapping with 'rules' (and 'type'), found {_kind(definition)}"]
    problems = []
    if "rules" not in definition:
        problems.append("the field definition has no 'rules'")
    kind_text = definition.get("type", "text")
    if not isinstance(kind_text, str):
        return problems + [f"'type' must be a string (text or attr:NAME), found {_kind(kind_text)}"]
    pieces = kind_text.split(":")
    kind = pieces[0]
    if kind not in ("text", "attr"):
        return problems + [f"unknown type {kind!r}: a type is text or attr:NAME"]
    if "rules" not in definition:
        return problems
    rule = definition["rules"]
    if kind == "attr":
        if len(pieces) < 2 or not pieces[1]:
            problems.append(f"type {kind_text!r} names no attribute: write attr:NAME, e.g. attr:href")
        if not isinstance(rule, str):
            problems.append(f"an attr rule is one XPath (a string), found {_kind(rule)}")
        else:
            problems += _xpath_problems(rule)
        return problems
    if type(rule) is str:
        if rule.startswith("/"):
            problems += _xpath_problems(rule)
        elif _PATH_LIKE.match(rule):
            problems.append(f"{rule!r} is taken as a constant text, not as an XPath: only a leading '/' marks an XPath")
    elif type(rule) is list:
        problems += _list_rule_problems(rule)
    else:
        problems.append(
            f"text rules must be a string (an XPath or a constant) or a list of two XPaths, found {_kind(rule)}"
        )
    return problems


def _xpath_problems(xpath):
    try:
        etree.XPath(xpath)
    except etree.XPathError as exc:
        return [f"XPath {xpath!r} does not compile: {exc}"]
    if _NON_ELEMENT_STEP.search(xpath):
        return [
            f"XPath {xpath!r} selects text or attribute nodes, not "
            f"elements: extraction fails where it matches (select the "
            f"element; for an attribute use type attr:NAME)"
        ]
    return []


def _list_rule_problems(rule):
    if len(rule) < 2:
        return [f"a list rule needs two XPaths that differ in the row position, found {len(rule)}"]
    problems = []
    if len(rule) > 2:
        problems.append(f"a list rule uses its first two XPaths only; the other {len(rule) - 2} are ignored")
    pair = rule[:2]
    bad = [item for item in pair if not isinstance(item, str)]
    if bad:
        return problems + [f"the XPaths of a list rule must be strings, found {_kind(bad[0])}"]
    try:
        length_rule, end_rule, start = FieldsParser()._extract_rule(pair)
    except Exception as exc:
        message = " ".join(str(exc).splitlines())
        return problems + [
            f"the XPaths {pair[0]!r} and {pair[1]!r} do not yield a row "
            f"position (the first step in which they differ must end in "
            f"[NUMBER]): {type(exc).__name__}: {message}"
        ]
    if start == 0:
        problems.append(
            "the two XPaths are the same, so there is no row "
            "position: write the first row's XPath and another "
            "row's, e.g. .../tr[1]/td and .../tr[2]/td"
        )
    # What extraction evaluates: the rule that counts the rows, and one
    # XPath per row made of it (the second XPath only marks the position).
    row = f"{length_rule}[{max(start, 1)}]" + (f"/{end_rule}" if end_rule else "")
    for xpath, what in ((length_rule, "row count"), (row, "row")):
        for problem in _xpath_problems(xpath):
            problems.append(f"{problem} (the {what} XPath made from the list rule {pair[0]!r})")
            return problems
    return problems


# -- Processor sections -----------------------------------------------------


def _alias_problems(conf, produced):
    if "alias2main_name" not in conf:
        return []
    aliases = conf["alias2main_name"]
    if not isinstance(aliases, dict):
        return [Problem(f"must map field keys to alias tables, found {_kind(aliases)}", section="alias2main_name")]
    problems = []
    for key, table in aliases.items():
        where = f"alias2main_name[{key!r}]"
        if not isinstance(table, dict):
            problems.append(
                Problem(f"an alias table must map values to main values, found {_kind(table)}", section=where)
            )
            continue
        unhashable = [value for value in table.values() if isinstance(value, (list, dict))]
        if unhashable:
            problems.append(Problem("a main value is a list or a mapping; use a string", section=where))
        if key not in produced:
            problems.append(Problem("no rule entry has this field: the table has no effect", section=where))
    return problems


def _filter_problems(conf, entry_keys, produced):
    if "filter" not in conf:
        return []
    flt = conf["filter"]
    if not isinstance(flt, dict):
        return [Problem(f"must be a mapping with 'key' and 'values', found {_kind(flt)}", section="filter")]
    problems = []
    key = flt.get("key")
    if "key" not in flt:
        problems.append(Problem("there is no 'key': the extractor cannot be built", section="filter"))
    elif not isinstance(key, str):
        problems.append(Problem(f"'key' must be a field key (a string), found {_kind(key)}", section="filter"))
        key = None
    if "values" not in flt:
        problems.append(
            Problem("there is no 'values' (words and/or format): the extractor cannot be built", section="filter")
        )
        return problems
    values = flt["values"]
    if not isinstance(values, dict):
        problems.append(
            Problem(f"'values' must be a mapping with 'words' and/or 'format', found {_kind(values)}", section="filter")
        )
        return problems
    words = values.get("words")
    if "words" in values and not isinstance(words, list):
        problems.append(
            Problem(f"'words' must be a list of accepted values, found {_kind(words)}", section="filter.values")
        )
    formats = values.get("format", [])
    if not isinstance(formats, list):
        problems.append(
            Problem(f"'format' must be a list of format rules, found {_kind(formats)}", section="filter.values")
        )
        formats = []
    if "words" not in values and "format" not in values:
        problems.append(Problem("neither 'words' nor 'format' is given: every row is dropped", section="filter"))

    format_keys = {}
    for rule in formats:
        if not isinstance(rule, str):
            problems.append(Problem(f"a format rule must be a string, found {_kind(rule)}", section="filter.values"))
            continue
        for name in _PLACEHOLDER.findall(rule):
            try:
                re.compile("<" + name + ">")
            except re.error as exc:
                problems.append(
                    Problem(
                        f"format rule {rule!r}: placeholder <{name}> is not a valid pattern: {exc}",
                        section="filter.values",
                    )
                )
                continue
            format_keys.setdefault(name, rule)
            if name not in produced:
                problems.append(
                    Problem(
                        f"format rule {rule!r} names <{name}>, a key that no rule entry produces",
                        section="filter.values",
                    )
                )

    if key is not None:
        if key not in produced:
            problems.append(Problem(f"the filter key {key!r} is a field of no rule entry", section="filter"))
        for index, keys in enumerate(entry_keys):
            if keys is None or not keys:
                continue
            if key not in keys:
                problems.append(
                    Problem(
                        f"has no field {key!r}, the filter key: extraction fails "
                        f"with KeyError wherever this entry gives rows",
                        index=index,
                    )
                )
                continue
            missing = [name for name in format_keys if name in produced and name not in keys]
            if missing:
                names = ", ".join(repr(name) for name in missing)
                problems.append(
                    Problem(
                        f"has no field {names}, named by the filter's format "
                        f"rules: extraction fails with KeyError on rows whose "
                        f"{key!r} is not one of the words",
                        index=index,
                    )
                )
    return problems


def _not_empty_problems(conf, produced):
    if "not_empty_fields" not in conf:
        return []
    names = conf["not_empty_fields"]
    if not isinstance(names, list):
        return [Problem(f"must be a list of field keys, found {_kind(names)}", section="not_empty_fields")]
    problems = []
    for name in names:
        if not isinstance(name, str):
            problems.append(Problem(f"{name!r} is not a field key (a string)", section="not_empty_fields"))
        elif name not in produced:
            problems.append(Problem(f"{name!r} is a field of no rule entry", section="not_empty_fields"))
    return problems
