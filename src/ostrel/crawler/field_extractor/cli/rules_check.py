"""Find the mistakes of a rules file before a crawl starts.

``FieldExtractor`` looks at the rules only when it extracts a page, so a
mistake in a rarely matching rule entry may surface hours into a crawl, or
never fail and quietly give wrong rows. ``check_rules`` walks a loaded rules
mapping and returns one ``Problem`` for each thing that would fail or
misbehave at extraction time; ``check_file`` loads the file first.

A ``Problem`` is either an error (extraction fails, or part of the file is
certainly without effect, such as a misspelt key) or a warning (the file
works as written, but likely not as meant: no rule entries, or a list rule
whose second XPath differs in more than the row position). Only errors fail
the check; ``summarize`` says so. An error is ``fatal`` when it makes
extraction fail on every page, or on every page where its XPath matches:
``extract`` stops before its run on those, and prints the others once as
warnings.
"""

import difflib
import re

from lxml import etree

from ostrel.common.utils import ConfigUtils
from ostrel.crawler.field_extractor.cli.xpath_shape import non_element_branch, undefined_names, unknown_functions
from ostrel.crawler.field_extractor.html_parsers import FieldsParser

__all__ = ["Problem", "check_file", "check_rules", "summarize"]

_EMPTY_PAGE = etree.fromstring("<html><head/><body/></html>")
_PLACEHOLDER = re.compile("<(.*?)>")
# Constant texts that are surely meant as XPaths: " //h1", "./h1", "../a",
# "(//a)[1]", "(./p)[2]".
_PATH_LIKE = re.compile(r"\s*(?:/|\.{1,2}/|\(\s*\.{0,2}/)")

# The keys that the extractor reads at each level; any other key is ignored.
_TOP_KEYS = ("value_separator", "rules", "alias2main_name", "filter", "not_empty_fields")
_FIELD_KEYS = ("rules", "type")
_FILTER_KEYS = ("key", "values")
_FILTER_VALUES_KEYS = ("words", "format")


class Problem:
    """One finding: where it is (rule entry index, field key, or a
    top-level section) and what goes wrong. A warning does not fail the
    check."""

    def __init__(self, message, index=None, key=None, section=None, warning=False, fatal=False):
        self.message = message
        self.fatal = fatal  # extraction fails on every page (where it matches)
        self.index = index  # rule entry index, from 0
        self.key = key  # field key in that entry
        self.section = section  # top-level key, for problems outside rules
        self.warning = warning

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
        text = f"warning: {self.message}" if self.warning else self.message
        return f"{where}: {text}" if where else text

    def __repr__(self):
        return f"Problem({str(self)!r})"


def check_file(path):
    """Problems of the rules file at ``path``; the loader's error when the
    file cannot be read or parsed."""
    return check_rules(ConfigUtils.load(path, readonly=False))


def summarize(problems):
    """The closing line of a report, and whether the check fails: it does
    when there is an error; warnings alone leave it passing."""
    errors = sum(1 for problem in problems if not problem.warning)
    warnings = len(problems) - errors
    text = f"{errors} problem{'' if errors == 1 else 's'} found" if errors else "no problems found"
    if warnings:
        text += f", {warnings} warning{'' if warnings == 1 else 's'}"
    return text, errors > 0


def check_rules(conf):
    """Every problem of a loaded rules mapping, in file order."""
    problems = []
    add = problems.append

    rules = conf.get("rules")
    if "rules" not in conf:
        add(Problem("there is no 'rules' list: the extractor cannot be built", section="rules", fatal=True))
        rules = []
    elif not isinstance(rules, list):
        add(
            Problem(f"'rules' must be a list of rule entries, found {_kind(rules)}", section="rules", fatal=bool(rules))
        )
        rules = []
    elif not rules:
        add(Problem("the list has no rule entries: every page gives no rows", section="rules", warning=True))

    if "value_separator" not in conf:
        add(
            Problem(
                "there is no 'value_separator': the extractor cannot be built", section="value_separator", fatal=True
            )
        )
    elif not isinstance(conf["value_separator"], str):
        add(
            Problem(
                f"'value_separator' must be a string, found {_kind(conf['value_separator'])}", section="value_separator"
            )
        )

    entry_keys = []  # the field keys of each rule entry (None: not a mapping)
    for index, entry in enumerate(rules):
        if not isinstance(entry, dict):
            add(
                Problem(
                    f"a rule entry must map field keys to field definitions, found {_kind(entry)}",
                    index=index,
                    fatal=True,
                )
            )
            entry_keys.append(None)
            continue
        entry_keys.append(list(entry))
        if not entry:
            add(Problem("the rule entry has no fields: it adds an empty row to every page", index=index))
        for key, definition in entry.items():
            for found in _field_problems(definition):
                if isinstance(found, str):
                    found = Problem(found)
                found.index, found.key = index, key
                add(found)

    produced = {key for keys in entry_keys if keys for key in keys}
    problems += _alias_problems(conf, produced)
    problems += _filter_problems(conf, entry_keys, produced)
    problems += _not_empty_problems(conf, produced)
    problems += _top_key_problems(conf)
    return problems


def _kind(value):
    return "nothing" if value is None else type(value).__name__


def _close_match(name, known):
    """The known name that ``name`` is probably a misspelling of, or None."""
    if not isinstance(name, str):
        return None
    matches = difflib.get_close_matches(name, known, n=1)
    if not matches:
        matches = difflib.get_close_matches(name.lower(), [k.lower() for k in known], n=1)
        matches = [k for k in known if matches and k.lower() == matches[0]]
    return matches[0] if matches else None


def _field_hint(name, produced):
    """ " (did you mean 'X'?)" with the produced field key closest to name."""
    known = sorted(key for key in produced if isinstance(key, str))
    match = _close_match(name, known)
    return f" (did you mean {match!r}?)" if match else ""


def _names(known):
    return ", ".join(repr(name) for name in known)


def _top_key_problems(conf):
    """Top-level keys that the extractor does not read. One that looks like
    a misspelt known key is an error (the section it was meant to be is
    missing or doubled); any other is a warning, as a file may carry notes
    or YAML anchors of its own there."""
    problems = []
    for key in conf:
        if key in _TOP_KEYS:
            continue
        match = _close_match(key, _TOP_KEYS)
        if match:
            problems.append(
                Problem(f"unknown top-level key: did you mean {match!r}? As written it is ignored", section=str(key))
            )
        else:
            problems.append(
                Problem(
                    f"unknown top-level key, ignored by the extractor (it reads {_names(_TOP_KEYS)})",
                    section=str(key),
                    warning=True,
                )
            )
    return problems


# -- Field definitions -------------------------------------------------------


def _fatal(message):
    return Problem(message, fatal=True)


def _field_problems(definition):
    if not isinstance(definition, dict):
        return [_fatal(f"a field definition must be a mapping with 'rules' (and 'type'), found {_kind(definition)}")]
    problems = []
    for name in definition:
        if name in _FIELD_KEYS:
            continue
        match = _close_match(name, _FIELD_KEYS)
        if match is None:
            problems.append(
                f"unknown key {name!r} in the field definition, "
                f"which is ignored (a field definition has "
                f"{_names(_FIELD_KEYS)})"
            )
            continue
        effect = ""
        if match not in definition:
            effect = ", so the field is extracted as text" if match == "type" else ""
        problems.append(
            f"unknown key {name!r} in the field definition: did you mean {match!r}? As written it is ignored{effect}"
        )
    if "rules" not in definition:
        problems.append(_fatal("the field definition has no 'rules': every page fails with KeyError: 'rules'"))
    kind_text = definition.get("type", "text")
    if not isinstance(kind_text, str):
        return problems + [_fatal(f"'type' must be a string (text or attr:NAME), found {_kind(kind_text)}")]
    pieces = kind_text.split(":")
    kind = pieces[0]
    if kind not in ("text", "attr"):
        match = _close_match(kind, ("text", "attr"))
        hint = f" (did you mean {match!r}?)" if match else ""
        return problems + [_fatal(f"unknown type {kind!r}: a type is text or attr:NAME{hint}")]
    if "rules" not in definition:
        return problems
    rule = definition["rules"]
    if kind == "attr":
        if len(pieces) < 2 or not pieces[1]:
            problems.append(_fatal(f"type {kind_text!r} names no attribute: write attr:NAME, e.g. attr:href"))
        if not isinstance(rule, str):
            problems.append(_fatal(f"an attr rule is one XPath (a string), found {_kind(rule)}"))
        else:
            problems += _xpath_problems(rule)
        return problems
    if type(rule) is str:
        if rule.startswith("/"):
            problems += _xpath_problems(rule)
        elif _PATH_LIKE.match(rule):
            problems.append(f"{rule!r} is taken as a constant text, not as an XPath: only a leading '/' marks an XPath")
        elif looks_like_css(rule):
            problems.append(
                _warn(
                    f"{rule!r} looks like a CSS selector, but it is taken as a constant text: every row "
                    f"carries it. Rules select with XPath (a leading '/'), e.g. {css_hint(rule)!r}"
                )
            )
    elif type(rule) is list:
        problems += _list_rule_problems(rule)
    else:
        problems.append(
            _fatal(f"text rules must be a string (an XPath or a constant) or a list of two XPaths, found {_kind(rule)}")
        )
    return problems


def _xpath_problems(xpath):
    """An XPath that does not compile, calls a function that lxml does not
    have, or can give other things than elements: each fails extraction (the
    last two wherever the XPath, or the step calling the function, meets an
    element)."""
    try:
        compiled = etree.XPath(xpath)
    except (etree.XPathError, ValueError) as exc:  # ValueError: NUL bytes
        return [_fatal(f"XPath {xpath!r} does not compile: {exc}")]
    unknown = unknown_functions(xpath)
    if unknown:
        names = ", ".join(f"{name}()" for name in unknown)
        return [
            _fatal(
                f"XPath {xpath!r} calls {names}, which XPath 1.0 does not have: extraction fails "
                f"with 'Unregistered function' (for a class, write contains(concat(' ', @class, ' '), ' NAME '))"
            )
        ]
    undefined = undefined_names(xpath)
    if undefined:
        return [_fatal(f"XPath {xpath!r} cannot be evaluated: it uses {undefined}, which rules cannot define")]
    try:
        compiled(_EMPTY_PAGE)
    except etree.XPathError as exc:
        return [_fatal(f"XPath {xpath!r} cannot be evaluated: {exc}")]
    branch = non_element_branch(xpath)
    if branch is not None:
        part = "" if branch == xpath.strip() else f" (its part {branch!r})"
        return [
            _fatal(
                f"XPath {xpath!r}{part} selects text or attribute nodes, not "
                f"elements: extraction fails where it matches (select the "
                f"element; for an attribute use type attr:NAME)"
            )
        ]
    return []


def _warn(message):
    return Problem(message, warning=True)


def _step_number(steps, i):
    """Step ``i`` of an XPath split on "/", counted from 1 as a reader
    counts it: '//table/tr[2]/td' has table as step 1 and td as step 3."""
    return 1 + sum(1 for step in steps[:i] if step)


def _list_rule_problems(rule):
    """The row position as extraction derives it: both XPaths are split on
    "/" and compared step by step, up to the shorter one's length. The first
    step that differs gives the rows: the first XPath's step up to "[" is the
    row step, its number the first row read; the first XPath's later steps
    (up to the second's length) lead from a row to the field."""
    if len(rule) < 2:
        found = "an empty list" if not rule else "one"
        return [_fatal(f"a list rule needs two XPaths that differ in the row position, found {found}")]
    problems = []
    if len(rule) > 2:
        problems.append(
            _warn(
                f"a list rule uses its first two XPaths only; the other "
                f"{len(rule) - 2} {'is' if len(rule) == 3 else 'are'} ignored"
            )
        )
    pair = rule[:2]
    bad = [item for item in pair if not isinstance(item, str)]
    if bad:
        return problems + [_fatal(f"the XPaths of a list rule must be strings, found {_kind(bad[0])}")]
    first, second = (item.split("/") for item in pair)
    common = min(len(first), len(second))
    differ = [i for i in range(common) if first[i] != second[i]]
    if not differ:
        if len(first) == len(second):
            problems.append(
                "the two XPaths are the same, so there is no row position: "
                "write the first row's XPath and another row's, e.g. "
                ".../tr[1]/td and .../tr[2]/td"
            )
        else:
            problems.append(
                "the two XPaths differ in no step that both have (one goes "
                "on where the other ends), so there is no row position: "
                "write the first row's XPath and another row's, e.g. "
                ".../tr[1]/td and .../tr[2]/td"
            )
        return problems

    i = differ[0]
    number = _step_number(first, i)
    at = f"step {number} ({first[i]!r} vs {second[i]!r})"
    pieces = re.split(r"[\[\]]", first[i])
    if len(pieces) < 2:
        return problems + [
            _fatal(
                f"the two XPaths first differ at {at}, which has no [N] row "
                f"position in the first XPath: a list rule's XPaths differ only "
                f"in a row number, e.g. {first[i]}[1] and {first[i]}[2]"
            )
        ]
    try:
        start = int(pieces[1])
    except ValueError:
        return problems + [
            _fatal(
                f"the two XPaths first differ at {at}, and the row position "
                f"{pieces[1]!r} there is not a number: write the first row to "
                f"read as a plain number, e.g. {pieces[0]}[1]"
            )
        ]
    if start < 1:
        problems.append(
            f"the row position {start} in step {number} ({first[i]!r}) is "
            f"below 1: XPath counts rows from 1, so extraction gives "
            f"{1 - start} empty value{'' if start == 0 else 's'} before the "
            f"first row"
        )

    row_pattern = "/".join(first[:i] + [pieces[0] + "[N]"] + first[i + 1 : common])
    if len(first) > len(second):
        problems.append(
            f"the second XPath ends at step {_step_number(second, common - 1)} "
            f"({second[-1]!r}), so extraction drops the first XPath's steps "
            f"after it ({'/'.join(first[common:])!r}) and reads "
            f"{row_pattern!r}: give both XPaths the same steps"
        )
    later = [f"step {_step_number(first, j)} ({first[j]!r} vs {second[j]!r})" for j in differ[1:]]
    also = [f"also at {' and '.join(later)}"] if later else []
    if len(second) > len(first):
        also.append(f"the second goes on after the first ends ({'/'.join(second[common:])!r})")
    if also:
        problems.append(
            _warn(
                f"the two XPaths differ in more than the row position: at {at}, "
                f"which gives the rows, and {' and '.join(also)}; only the first "
                f"difference counts, rows are read as {row_pattern!r}"
            )
        )

    try:
        length_rule, end_rule, start = FieldsParser()._extract_rule(pair)
    except Exception:  # the checks above follow the derivation; be safe
        return problems + [_fatal(f"the XPaths {pair[0]!r} and {pair[1]!r} do not yield a row position")]
    # What extraction evaluates: the rule that counts the rows, and one
    # XPath per row made of it (the second XPath only marks the position).
    row = f"{length_rule}[{max(start, 1)}]" + (f"/{end_rule}" if end_rule else "")
    for xpath, what in ((length_rule, "row count"), (row, "row")):
        for problem in _xpath_problems(xpath):
            problem.message += f" (the {what} XPath made from the list rule {pair[0]!r})"
            problems.append(problem)
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
            problems.append(
                Problem(
                    f"no rule entry has this field: the table has no effect{_field_hint(key, produced)}", section=where
                )
            )
    return problems


def _filter_problems(conf, entry_keys, produced):
    if "filter" not in conf:
        return []
    flt = conf["filter"]
    if not isinstance(flt, dict):
        return [Problem(f"must be a mapping with 'key' and 'values', found {_kind(flt)}", section="filter")]
    problems = _section_key_problems(flt, _FILTER_KEYS, _FILTER_VALUES_KEYS, "filter", "values")
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
    problems += _section_key_problems(values, _FILTER_VALUES_KEYS, _FILTER_KEYS, "filter.values", "filter")
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
                        f"format rule {rule!r} names <{name}>, a key that no "
                        f"rule entry produces{_field_hint(name, produced)}",
                        section="filter.values",
                    )
                )

    if key is not None:
        if key not in produced:
            problems.append(
                Problem(
                    f"the filter key {key!r} is a field of no rule entry{_field_hint(key, produced)}", section="filter"
                )
            )
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


def _section_key_problems(mapping, known, elsewhere, section, home):
    """Keys of a filter mapping that the extractor does not read; ``elsewhere``
    are the keys that belong in ``home`` instead."""
    problems = []
    for name in mapping:
        if name in known:
            continue
        if name in elsewhere:
            message = f"{name!r} belongs in {home!r}: here it is ignored"
        else:
            match = _close_match(name, known)
            message = (
                f"unknown key {name!r}: did you mean {match!r}? As written it is ignored"
                if match
                else f"unknown key {name!r}, which is ignored (the keys here are {_names(known)})"
            )
        problems.append(Problem(message, section=section))
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
            problems.append(
                Problem(
                    f"{name!r} is a field of no rule entry{_field_hint(name, produced)}", section="not_empty_fields"
                )
            )
    return problems


# -- Constants that look like CSS selectors ---------------------------------

# HTML element names: a constant made of them with CSS's class, id, attribute
# and pseudo-class parts or combinators is surely a selector.
_HTML_TAGS = frozenset(
    "a abbr address article aside audio b blockquote body button caption cite code dd details dfn div dl dt em "
    "fieldset figcaption figure footer form h1 h2 h3 h4 h5 h6 head header hr html i iframe img input ins kbd label "
    "legend li main mark nav ol option p picture pre q s section select small source span strong sub summary sup "
    "table tbody td template textarea tfoot th thead time title tr u ul var video".split()
)
_CSS_IDENT = r"-?[A-Za-z_][\w-]*"
_CSS_COMPOUND = re.compile(
    rf"(?P<tag>{_CSS_IDENT}|\*)?(?P<parts>(?:[.#]{_CSS_IDENT}|\[[^\]]+\]|::?{_CSS_IDENT}(?:\([^)]*\))?)*)$"
)
_CSS_COMBINATOR = re.compile(r"\s*[>+~]\s*|\s+")


def looks_like_css(text):
    """Whether a constant text reads as a CSS selector: compounds such as
    h1.main-heading, div#main, li:nth-child(2) or a[href], joined by spaces
    or > + ~, each naming an HTML element or starting with . # [ or :. A
    lone class or id (".com", "#1") and bare words ("div p") are taken for
    the texts they may well be."""
    text = text.strip()
    if not text or len(text) > 200:
        return False
    compounds = [part for part in _CSS_COMBINATOR.split(text) if part]
    if not compounds or len(compounds) > 12:
        return False
    parts = tagged_parts = False
    for compound in compounds:
        match = _CSS_COMPOUND.match(compound)
        if match is None or not (match.group("tag") or match.group("parts")):
            return False
        tag = match.group("tag")
        if tag and tag != "*" and tag.lower() not in _HTML_TAGS:
            return False
        parts = parts or bool(match.group("parts"))
        tagged_parts = tagged_parts or bool(tag and match.group("parts")) or "[" in compound
    combinator = bool(re.search(r"[>+~]", text))
    return tagged_parts or (len(compounds) > 1 and (parts or combinator))


def css_hint(text):
    """The XPath of a simple CSS selector, for the warning's example."""
    steps = []
    child = False
    for token in re.findall(r">|[^\s>+~]+", text.strip()):
        if token == ">":
            child = True
            continue
        match = _CSS_COMPOUND.match(token)
        tag = (match.group("tag") if match else None) or "*"
        tests = []
        for part in re.findall(rf"[.#]{_CSS_IDENT}|\[[^\]]+\]", match.group("parts") if match else ""):
            if part[0] == ".":
                tests.append(f"contains(concat(' ', @class, ' '), ' {part[1:]} ')")
            elif part[0] == "#":
                tests.append(f"@id='{part[1:]}'")
            else:
                name, _, value = part[1:-1].partition("=")
                tests.append(f"@{name.strip()}" + (f"={value.strip()}" if value else ""))
        steps.append(("/" if child else "//") + tag + "".join(f"[{test}]" for test in tests))
        child = False
    return "".join(steps)


# -- List rules on sample pages ----------------------------------------------

_ROWS_LOOKED_AT = 200  # rows of a list rule looked at per page


def list_rules(conf):
    """(entry index, field key, XPath pair) of every text list rule whose row
    position can be derived."""
    rules = conf.get("rules") if isinstance(conf, dict) else None
    for index, entry in enumerate(rules if isinstance(rules, list) else []):
        if not isinstance(entry, dict):
            continue
        for key, definition in entry.items():
            if not isinstance(definition, dict) or type(definition.get("rules")) is not list:
                continue
            kind = definition.get("type", "text")
            if not isinstance(kind, str) or kind.split(":")[0] != "text":
                continue
            pair = definition["rules"][:2]
            if len(pair) < 2 or not all(isinstance(item, str) for item in pair):
                continue
            try:
                located = FieldsParser()._extract_rule(pair)
            except Exception:  # reported by check_rules
                continue
            yield index, key, pair, located


def row_step_problems(conf, texts):
    """Warnings for the list rules whose row step selects several elements
    for one row on the pages ``texts``: the rows lie in several containers
    (one list per block), so each value joins the rows of the same position
    in every container."""
    from requests_html import HTML

    docs = []
    for text in texts:
        try:
            doc = HTML(html=text)
            doc.encoding = "utf-8"  # the text is decoded: no charset of the markup applies
            docs.append(doc)
        except Exception:  # a page that cannot be parsed fails on its own
            continue
    problems = []
    for index, key, _pair, (length_rule, end_rule, start) in list_rules(conf):
        if _xpath_problems(length_rule):
            continue
        worst = None  # (elements, row, page number)
        for number, doc in enumerate(docs, 1):
            try:
                count = len(doc.xpath(length_rule))
                for row in range(max(start, 1), min(count, start + _ROWS_LOOKED_AT) + 1):
                    found = len(doc.xpath(f"{length_rule}[{row}]"))
                    if found > 1 and (worst is None or found > worst[0]):
                        worst = (found, row, number)
            except Exception:  # extraction reports it
                continue
        if worst is None:
            continue
        found, row, number = worst
        step = length_rule.rsplit("/", 1)[-1]
        end = f"/{end_rule}" if end_rule else ""
        problems.append(
            Problem(
                f"the list rule's row step {length_rule}[N] selects {found} elements for row {row} on sample "
                f"page {number}: the rows lie in several containers, so each value joins the {step!r} of that "
                f"position in every container. To number the rows across the containers, put the row path in "
                f"brackets: [{f'({length_rule})[{start}]{end}'!r}, {f'({length_rule})[{start + 1}]{end}'!r}]",
                index=index,
                key=key,
                warning=True,
            )
        )
    return problems
