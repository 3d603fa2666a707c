"""``check``: every problem it reports is one that extraction really hits,
named by rule entry and field key; clean rules pass."""

import copy
import json
from pathlib import Path

import pytest
import yaml

from ostrel.crawler.field_extractor.cli.main import main
from ostrel.crawler.field_extractor.extractor import FieldExtractor

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

PAGE = """<html><body><h1>Title</h1>
<p>text<!-- note --></p><a href="/x" class="big red">link</a>
<ul><li class="x"><a>one</a><i>1</i></li><li class="x"><a>two</a><i>2</i></li></ul>
<table><tr><td>1</td></tr><tr><td>2</td></tr></table>
</body></html>"""

GOOD_ENTRY = {"title": {"rules": "//h1"}}


def write_rules(tmp_path, conf):
    path = tmp_path / "rules.yaml"
    path.write_text(yaml.safe_dump(conf, allow_unicode=True, sort_keys=False), encoding="utf-8")
    return str(path)


def run_check(path, capsys):
    status = main(["check", path])
    out = capsys.readouterr()
    return status, out.out.splitlines(), out.err


# A field definition placed as field "bad" of rule entry 1, the exception that
# extraction of PAGE then raises, and words of the report.
FAILING_FIELDS = [
    pytest.param({"rules": "//h1", "type": "link:href"}, ValueError, "unknown type 'link'", id="unknown-kind"),
    pytest.param({"rules": "//a", "type": "attr"}, IndexError, "names no attribute", id="attr-without-name"),
    pytest.param({"rules": "//a", "type": "attr:"}, KeyError, "names no attribute", id="attr-empty-name"),
    pytest.param({"rules": ["//a"], "type": "attr:href"}, TypeError, "one XPath", id="attr-list"),
    pytest.param({"rules": "//h1["}, Exception, "does not compile", id="xpath-syntax"),
    pytest.param({"rules": "//a", "type": "attr:href["}, Exception, None, id="attr-name-odd-but-valid"),
    pytest.param({"rules": "//p/text()"}, AttributeError, "selects text or attribute nodes", id="text-nodes"),
    pytest.param({"rules": "//a/@href"}, AttributeError, "selects text or attribute nodes", id="attribute-nodes"),
    pytest.param({"rules": 5}, KeyError, "found int", id="number"),
    pytest.param({"rules": {"a": "//h1"}}, KeyError, "found dict", id="mapping"),
    pytest.param({"type": "text"}, KeyError, "has no 'rules'", id="no-rules"),
    pytest.param({"rules": "//h1", "type": 3}, AttributeError, "'type' must be a string", id="type-not-text"),
    pytest.param("//h1", Exception, "must be a mapping", id="definition-not-mapping"),
    pytest.param({"rules": ["//ul/li[1]"]}, IndexError, "needs two XPaths", id="list-of-one"),
    pytest.param(
        {"rules": ["//ul/li/a", "//ul/p/a"]},
        IndexError,
        "first differ at step 2 ('li' vs 'p'), which has no [N] row position",
        id="list-no-brackets",
    ),
    pytest.param(
        {"rules": ["//ul/li/a", "//ul/li[2]/a"]},
        IndexError,
        "first differ at step 2 ('li' vs 'li[2]'), which has no [N]",
        id="list-bracket-only-in-second",
    ),
    pytest.param(
        {"rules": ["//ul/li[@class='x']/a", "//ul/li[2]/a"]},
        ValueError,
        "the row position \"@class='x'\" there is not a number",
        id="list-position-not-a-number",
    ),
    pytest.param(
        {"rules": ["//ul/li[last()]/a", "//ul/li[2]/a"]},
        ValueError,
        "the row position 'last()' there is not a number",
        id="list-position-last",
    ),
    pytest.param({"rules": []}, IndexError, "found an empty list", id="list-empty"),
    pytest.param({"rules": "//a\0"}, ValueError, "does not compile", id="xpath-nul"),
    pytest.param({"rules": ["//ul/li[1]", 3]}, AttributeError, "must be strings", id="list-item-not-text"),
    pytest.param({"rules": ["//ul/li[1]/a[", "//ul/li[2]/a["]}, Exception, "does not compile", id="list-xpath-syntax"),
    # Text and attribute nodes wherever they end the path, not only at the
    # end of the text, and functions that lxml compiles but cannot call.
    pytest.param({"rules": "//p/node()"}, AttributeError, "'//p/node()' selects text", id="node-step"),
    pytest.param({"rules": "//p/text() | //h1"}, AttributeError, "its part '//p/text()'", id="union-text-branch"),
    pytest.param({"rules": "//a/@class | //h1"}, AttributeError, "its part '//a/@class'", id="union-attribute-branch"),
    pytest.param({"rules": "//h1 | (//p/text())[1]"}, AttributeError, "selects text", id="bracketed-text-step"),
    pytest.param({"rules": "//p/text()/self::node()"}, AttributeError, "selects text", id="self-of-text"),
    pytest.param({"rules": "//p = 'text'"}, Exception, "selects text", id="comparison"),
    pytest.param({"rules": "//p/comment()"}, Exception, "selects text", id="comment-step"),
    pytest.param({"rules": "//h1/text()[1]", "type": "attr:id"}, AttributeError, "selects text", id="attr-rule-text"),
    pytest.param({"rules": "//p[has-class('x')]"}, Exception, "calls has-class()", id="unknown-function"),
    pytest.param(
        {"rules": ["//ul/li[1]/a[has-class('x')]", "//ul/li[2]/a[has-class('x')]"]},
        Exception,
        "calls has-class()",
        id="list-unknown-fn",
    ),
    pytest.param({"rules": "//p[@id = $v]"}, Exception, "cannot be evaluated", id="undefined-variable"),
    pytest.param({"rules": "//x:p"}, Exception, "cannot be evaluated", id="undefined-prefix"),
]


@pytest.mark.parametrize("definition, error, words", FAILING_FIELDS)
def test_a_field_that_fails_extraction_is_reported(tmp_path, capsys, definition, error, words):
    rules = write_rules(
        tmp_path, {"value_separator": " ", "rules": [GOOD_ENTRY, {"ok": {"rules": "//h1"}, "bad": definition}]}
    )

    if words is None:
        # Control: an odd attribute name that is still a name; it is simply
        # missing, so the extraction fails and check cannot know it.
        with pytest.raises(KeyError):
            FieldExtractor(rules).extract(PAGE)
        assert run_check(rules, capsys)[0] == 0
        return
    with pytest.raises(error):
        FieldExtractor(rules).extract(PAGE)

    status, lines, err = run_check(rules, capsys)

    assert status == 1
    assert len(lines) == 1, lines
    assert lines[0].startswith(f"{rules}: rule 1, field 'bad': ")
    assert words in lines[0]
    assert "invalid literal" not in lines[0]
    assert "out of range" not in lines[0]
    assert "1 problem found" in err


# Rules that do not fail but give other rows than their author meant.
@pytest.mark.parametrize(
    "definition, value, words",
    [
        pytest.param({"rules": "./h1"}, "./h1", "taken as a constant", id="relative-xpath-is-a-constant"),
        pytest.param({"rules": "(//h1)[1]"}, "(//h1)[1]", "taken as a constant", id="bracketed-xpath-is-a-constant"),
        pytest.param(
            {"rules": ["//table/tr/td", "//table/tr/td"]},
            ["", "1 2", ""],
            "the two XPaths are the same",
            id="identical-pair",
        ),
        pytest.param(
            {"rules": ["//table/tr/td", "//table/tr/td/b"]},
            ["", "1 2", ""],
            "differ in no step that both have",
            id="one-pair-xpath-goes-on",
        ),
        # The first XPath's /a is dropped: each li is read whole.
        pytest.param(
            {"rules": ["//ul/li[1]/a", "//ul/li[2]"]},
            ["one1", "two2"],
            "drops the first XPath's steps after it ('a') and reads '//ul/li[N]'",
            id="second-xpath-shorter",
        ),
        pytest.param(
            {"rules": ["//ul/li[0]/a", "//ul/li[1]/a"]},
            ["", "one", "two"],
            "the row position 0 in step 2 ('li[0]') is below 1",
            id="row-position-zero",
        ),
    ],
)
def test_a_field_that_misbehaves_is_reported(tmp_path, capsys, definition, value, words):
    rules = write_rules(tmp_path, {"value_separator": " ", "rules": [{"bad": definition}]})
    assert FieldExtractor(rules).extract(PAGE) == [{"bad": value}]

    status, lines, _ = run_check(rules, capsys)

    assert status == 1
    assert lines == [lines[0]] and lines[0].startswith(f"{rules}: rule 0, field 'bad': ")
    assert words in lines[0]


ENTRIES = [{"sku": {"rules": "//h1"}, "brand": {"rules": "B"}}, {"name": {"rules": "//p"}}]


@pytest.mark.parametrize(
    "extra, where, words, error",
    [
        pytest.param(
            {"filter": {"key": "sku", "values": {"words": ["x"]}}},
            "rule 1",
            "has no field 'sku', the filter key",
            KeyError,
            id="entry-without-filter-key",
        ),
        pytest.param(
            {"filter": {"key": "sku", "values": {"format": ["<brand>-<modle>"]}}},
            "filter.values",
            "names <modle>, a key that no rule entry",
            None,
            id="format-key-nobody-produces",
        ),
        pytest.param({"filter": {"key": "sku"}}, "filter", "no 'values'", KeyError, id="filter-without-values"),
        pytest.param({"filter": ["sku"]}, "filter", "must be a mapping", Exception, id="filter-not-mapping"),
        pytest.param(
            {"filter": {"key": "sku", "values": {"words": "Title"}}},
            "filter.values",
            "'words' must be a list",
            None,
            id="words-not-list",
        ),
        pytest.param(
            {"filter": {"key": "sku", "values": {"format": "<sku>"}}},
            "filter.values",
            "'format' must be a list",
            None,
            id="format-not-list",
        ),
        pytest.param(
            {"alias2main_name": {"brand": ["B", "C"]}},
            "alias2main_name['brand']",
            "alias table must map",
            AttributeError,
            id="alias-table-not-mapping",
        ),
        pytest.param(
            {"alias2main_name": ["brand"]},
            "alias2main_name",
            "must map field keys",
            AttributeError,
            id="aliases-not-mapping",
        ),
        pytest.param(
            {"alias2main_name": {"colour": {"r": "red"}}},
            "alias2main_name['colour']",
            "no rule entry has this field",
            None,
            id="alias-for-unknown-field",
        ),
        pytest.param({"not_empty_fields": "name"}, "not_empty_fields", "must be a list", None, id="not-empty-not-list"),
        pytest.param(
            {"not_empty_fields": ["nmae"]},
            "not_empty_fields",
            "'nmae' is a field of no rule entry (did you mean 'name'?)",
            None,
            id="not-empty-typo",
        ),
        pytest.param(
            {"not_empty_fields": [["name"]]},
            "not_empty_fields",
            "['name'] is not a field key",
            None,
            id="not-empty-nested-list",
        ),
    ],
)
def test_section_problems(tmp_path, capsys, extra, where, words, error):
    rules = write_rules(tmp_path, {"value_separator": " ", "rules": ENTRIES, **extra})
    if error is not None:
        with pytest.raises(error):
            FieldExtractor(rules).extract(PAGE)

    status, lines, _ = run_check(rules, capsys)

    assert status == 1
    assert any(line.startswith(f"{rules}: {where}: ") and words in line for line in lines), lines


TYPO_BASE = {
    "value_separator": " ",
    "rules": [{"sku": {"rules": "//h1"}, "url": {"rules": "//a[@href]"}}],
    "filter": {"key": "sku", "values": {"words": ["Title"]}},
}


def extract_or_error(path):
    try:
        return FieldExtractor(path).extract(PAGE)
    except Exception as exc:  # the same failure either way is what counts
        return type(exc)


# A key added at a place of TYPO_BASE, where check reports it, its words, and
# the exit status (a top-level key unlike any known one is only a warning).
@pytest.mark.parametrize(
    "place, key, value, where, words, status",
    [
        pytest.param(
            ("rules", 0, "url"),
            "typ",
            "attr:href",
            "rule 0, field 'url'",
            "did you mean 'type'? As written it is ignored, so the field is extracted as text",
            1,
            id="field-typ",
        ),
        pytest.param(
            ("rules", 0, "url"),
            "rule",
            "//p",
            "rule 0, field 'url'",
            "unknown key 'rule' in the field definition: did you mean 'rules'?",
            1,
            id="field-rule",
        ),
        pytest.param(
            ("rules", 0, "url"),
            "note",
            "x",
            "rule 0, field 'url'",
            "unknown key 'note' in the field definition, which is ignored",
            1,
            id="field-unknown",
        ),
        pytest.param(("rules", 0, "url"), 5, "x", "rule 0, field 'url'", "unknown key 5", 1, id="field-key-not-text"),
        pytest.param(
            (), "not_empty_field", ["sku"], "not_empty_field", "did you mean 'not_empty_fields'?", 1, id="top-not-empty"
        ),
        pytest.param(
            (),
            "filters",
            {"key": "url", "values": {"words": []}},
            "filters",
            "did you mean 'filter'?",
            1,
            id="top-filters",
        ),
        pytest.param(
            (),
            "alias2main",
            {"sku": {"Title": "T"}},
            "alias2main",
            "did you mean 'alias2main_name'?",
            1,
            id="top-alias",
        ),
        pytest.param(
            (), "Value_Separator", "-", "Value_Separator", "did you mean 'value_separator'?", 1, id="top-case"
        ),
        pytest.param(
            (), "notes", "kept for people", "notes", "warning: unknown top-level key, ignored", 0, id="top-other"
        ),
        pytest.param((), 7, "x", "7", "warning: unknown top-level key", 0, id="top-key-not-text"),
        pytest.param(
            ("filter",), "words", ["x"], "filter", "'words' belongs in 'values'", 1, id="filter-words-outside"
        ),
        pytest.param(("filter",), "keys", "url", "filter", "did you mean 'key'?", 1, id="filter-keys"),
        pytest.param(
            ("filter", "values"),
            "formats",
            ["<url>"],
            "filter.values",
            "did you mean 'format'?",
            1,
            id="filter-formats",
        ),
        pytest.param(
            ("filter", "values"), "key", "url", "filter.values", "'key' belongs in 'filter'", 1, id="filter-key-inside"
        ),
    ],
)
def test_misspelt_and_unknown_keys(tmp_path, capsys, place, key, value, where, words, status):
    conf = copy.deepcopy(TYPO_BASE)
    target = conf
    for step in place:
        target = target[step]
    target[key] = value
    rules = write_rules(tmp_path, conf)
    (tmp_path / "clean").mkdir()
    clean = write_rules(tmp_path / "clean", TYPO_BASE)
    # The extractor ignores the key: the file extracts as it would without it.
    assert extract_or_error(rules) == extract_or_error(clean)

    code, lines, _ = run_check(rules, capsys)

    assert code == status
    assert len(lines) == 1, lines
    assert lines[0].startswith(f"{rules}: {where}: ")
    assert words in lines[0]


@pytest.mark.parametrize(
    "conf, rows, words",
    [
        pytest.param({"rules": []}, [], "rules: warning: the list has no rule entries", id="no-rule-entries"),
        pytest.param(
            {"rules": [{"f": {"rules": ["//ul/li[1]/a", "//ul/li[2]/b"]}}]},
            [{"f": ["one", "two"]}],
            "at step 2 ('li[1]' vs 'li[2]'), which gives the rows, and also at step 3 ('a' vs 'b')",
            id="differ-in-two-steps",
        ),
        pytest.param(
            {"rules": [{"f": {"rules": ["//ul/li[1]", "//ul/li[2]/a"]}}]},
            [{"f": ["one1", "two2"]}],
            "the second goes on after the first ends ('a')",
            id="second-xpath-longer",
        ),
        pytest.param(
            {"rules": [{"f": {"rules": ["//ul/li[1]/a", "//ul/li[2]/a", "//ul/li[3]/a"]}}]},
            [{"f": ["one", "two"]}],
            "the other 1 is ignored",
            id="three-xpaths",
        ),
        *(
            pytest.param(
                {"rules": [{"f": {"rules": css}}]},
                [{"f": css}],
                f"{css!r} looks like a CSS selector, but it is taken as a constant",
                id=f"css-{css}",
            )
            for css in ("h1.main-heading span.struct", "div#main > p", "a[href]", "li:nth-child(2)", "ul > li")
        ),
    ],
)
def test_warnings_do_not_fail_the_check(tmp_path, capsys, conf, rows, words):
    rules = write_rules(tmp_path, {"value_separator": " ", **conf})
    assert FieldExtractor(rules).extract(PAGE) == rows

    status, lines, err = run_check(rules, capsys)

    assert status == 0
    assert len(lines) == 1 and "warning: " in lines[0], lines
    assert words in lines[0]
    assert "no problems found, 1 warning" in err


def test_problems_and_warnings_are_counted_apart(tmp_path, capsys):
    rules = write_rules(
        tmp_path,
        {"value_separator": " ", "rules": [{"a": {"rules": "//h1", "typ": "attr:href"}}], "x-notes": 1, "y-notes": 2},
    )

    status, _, err = run_check(rules, capsys)

    assert status == 1
    assert "1 problem found, 2 warnings" in err


def test_missing_top_level_keys_are_reported(tmp_path, capsys):
    rules = write_rules(tmp_path, {"other": 1})

    status, lines, _ = run_check(rules, capsys)

    assert status == 1
    assert [line.split(": ")[1] for line in lines] == ["rules", "value_separator", "other"]
    assert lines[2].split(": ")[2] == "warning"


def test_every_problem_is_reported_not_only_the_first(tmp_path, capsys):
    rules = write_rules(
        tmp_path,
        {
            "value_separator": " ",
            "rules": [
                {"a": {"rules": "//h1", "type": "attr"}, "b": {"rules": "//h1["}},
                [],
                {"c": {"rules": ["//x[1]"]}},
            ],
        },
    )

    status, lines, err = run_check(rules, capsys)

    assert status == 1
    assert [line[len(rules) + 2 :].split(":")[0] for line in lines] == [
        "rule 0, field 'a'",
        "rule 0, field 'b'",
        "rule 1",
        "rule 2, field 'c'",
    ]
    assert "4 problems found" in err


CLEAN = {
    "value_separator": " | ",
    "rules": [
        {
            "name": {"rules": ["//table/tr[1]/td", "//table/tr[2]/td"]},
            "sku": {"rules": ["//ul/li[1]", "//ul/li[2]"]},
            # The second XPath only marks the row position; it is not run.
            "code": {"rules": ["//ul/li[1]", "//ul/li[2]["]},
            "brand": {"rules": "ACME"},
            "url": {"rules": "//a", "type": "attr:href"},
            "title": {"rules": "//h1", "type": "text"},
            "empty": {"rules": ""},
            # Constants that only look a little like paths or selectors.
            "note": {"rules": "(unknown)"},
            "domain": {"rules": ".com"},
            "shop": {"rules": "Acme Store #1"},
            "pair": {"rules": "div p"},
            "version": {"rules": "v1.2"},
            "site": {"rules": "example.com"},
            "union": {"rules": "//h1 | //p[text()='a'] | //ul/li[1]/.."},
        },
        {
            "sku": {"rules": "//h1", "type": "text:anything"},
            # Field keys are the author's names, however close to a known key.
            "filters": {"rules": "//p"},
            "brand": {"rules": "//p"},
            "name": {"rules": "//h1"},
            "code": {"rules": "//p"},
        },
    ],
    "alias2main_name": {"brand": {"Acme": "ACME"}},
    "filter": {"key": "sku", "values": {"words": ["Title"], "format": ["<code>"]}},
    "not_empty_fields": ["sku"],
}


def test_clean_rules_pass(tmp_path, capsys):
    rules = write_rules(tmp_path, CLEAN)
    assert len(FieldExtractor(rules).extract(PAGE)) == 3

    status, lines, err = run_check(rules, capsys)

    assert (status, lines) == (0, [])
    assert "no problems found" in err


def test_the_example_rules_pass(capsys):
    assert run_check(str(EXAMPLES / "rules.yaml"), capsys)[:2] == (0, [])


@pytest.mark.parametrize("text", [None, "rules: [\n", "- a\n"])
def test_unreadable_rules_exit_with_2(tmp_path, capsys, text):
    path = tmp_path / "rules.yaml"
    if text is not None:
        path.write_text(text)

    status, lines, err = run_check(str(path), capsys)

    assert status == 2
    assert lines == []
    assert f"cannot load rules {path}" in err


def test_rules_that_check_passes_do_not_fail_every_page(tmp_path):
    """Generated rules: whatever check does not report as failing every page
    must leave some page of a varied set extractable. The reverse is
    sampled too: a text rule reported as fatal really fails every page where
    its nodes occur (they occur on every page here)."""
    import random

    from ostrel.crawler.field_extractor.cli.rules_check import check_rules
    from tests.support.rules_gen import pages, rules_conf

    texts = pages()
    rng = random.Random(20)
    passed = fatal = 0
    for number in range(300):
        conf = rules_conf(rng, fields=1 + number % 2)
        problems = check_rules(conf)
        extractor = FieldExtractor(write_rules(tmp_path, conf))
        failures = 0
        for text in texts:
            try:
                extractor.extract(text)
            except Exception:
                failures += 1
        # An attr rule reads the first node only, which may be an element
        # where later ones are not: the check stops it all the same.
        kinds = [str(d.get("type", "")) for d in conf["rules"][0].values()]
        if any(problem.fatal for problem in problems):
            fatal += 1
            if not any(kind.startswith("attr:") for kind in kinds):
                assert failures == len(texts), (conf, [str(p) for p in problems])
        else:
            passed += 1
            assert failures < len(texts), (conf, [str(p) for p in problems])
    assert passed > 50 and fatal > 50, (passed, fatal)


# -- Corpus health, baselines and fixtures --------------------------------------

SITE_RULES = {
    "value_separator": " ",
    "rules": [
        {"title": {"rules": "//h1"}, "price": {"rules": "//span[@class='price']"}, "brand": {"rules": "Bolt"}},
        {"brand": {"rules": ["//ul/li[1]", "//ul/li[2]"]}, "shop": {"rules": "Shop"}},
    ],
    "alias2main_name": {"brand": {"Acme Inc": "ACME"}},
    "filter": {"key": "brand", "values": {"words": ["ACME", "Bolt", "Title"]}},
}


def site_page(title, price, brands, head=""):
    """A page of the site: its heading, a price (None: no price element) and
    a list of brands."""
    price_html = "" if price is None else f"<span class='price'>{price}</span>"
    items = "".join(f"<li>{brand}</li>" for brand in brands)
    return f"<html><head>{head}</head><body><h1>{title}</h1>{price_html}<ul>{items}</ul></body></html>"


def write_site(folder, pages):
    folder.mkdir(parents=True, exist_ok=True)
    for number, page in enumerate(pages):
        (folder / f"p{number}.html").write_text(page, encoding="utf-8")
    return str(folder)


def check_json(capsys, *args):
    status = main(["check", *args, "--json"])
    return status, json.loads(capsys.readouterr().out)


def test_pages_show_each_fields_health(tmp_path, capsys):
    rules = write_rules(tmp_path, SITE_RULES)
    site = write_site(
        tmp_path / "site",
        [
            site_page("A", "1", ["Acme Inc", "Bolt", "泽"]),
            site_page("B", "", ["Bolt"]),
            site_page("C", None, ["Acme Inc", "Nope"]),
            # Saved as UTF-8, still declaring its original charset.
            site_page("D", "4", ["ACME", "泽", "泽"], head='<meta charset="gb2312">'),
        ],
    )

    status, found = check_json(capsys, rules, "--pages", site)

    assert status == 0
    fields = {(f["rule"], f["field"]): f for f in found["health"]["fields"]}
    assert found["health"]["pages"] == 4
    assert (fields[0, "title"]["matched"], fields[0, "price"]["matched"]) == (1.0, 0.75)
    assert (fields[0, "title"]["empty"], fields[0, "price"]["empty"]) == (0.0, 0.25)
    # Rows that the filter keeps: A 2, B 1, C 1, D 1 (泽 and Nope dropped).
    assert fields[1, "brand"]["rows_per_page"] == {"min": 1, "median": 1.0, "max": 2}
    assert fields[1, "brand"]["dropped_by_filters"] == 4
    assert fields[1, "brand"]["unaliased"] == {"values": 3, "top": ["泽", "Bolt", "Nope"]}
    # The price entry is dropped on C (price not found): rows 1, 1, 0, 1.
    assert fields[0, "price"]["rows_per_page"] == {"min": 0, "median": 1.0, "max": 1}
    assert "unaliased" not in fields[0, "title"]

    status, sampled = check_json(capsys, rules, "--pages", site, "--sample", "2")
    assert sampled["health"]["pages"] == 2


@pytest.mark.parametrize(
    "threshold, status, reported",
    [("5", 1, True), ("50", 0, False), ("0", 1, True)],
)
def test_a_baseline_reports_fields_whose_match_rate_fell(tmp_path, capsys, threshold, status, reported):
    rules = write_rules(tmp_path, SITE_RULES)
    before = write_site(tmp_path / "before", [site_page(t, "1", ["Bolt"]) for t in "ABCD"])
    # The site drifts: the price moves elsewhere on half the pages.
    after = write_site(tmp_path / "after", [site_page(t, "1" if t in "AB" else None, ["Bolt"]) for t in "ABCD"])
    baseline = tmp_path / "baseline.json"

    assert main(["check", rules, "--pages", before, "--save-baseline", str(baseline)]) == 0
    capsys.readouterr()
    code = main(["check", rules, "--pages", after, "--baseline", str(baseline), "--threshold", threshold])
    lines = capsys.readouterr().out.splitlines()

    assert code == status
    drift = [line for line in lines if "in the baseline" in line]
    expected = [f"{rules}: rule 0, field 'price': matched on 50.0% of the pages, 100.0% in the baseline"]
    assert drift == (expected if reported else [])


@pytest.mark.parametrize(
    "change, differences",
    [
        pytest.param(None, [], id="unchanged"),
        pytest.param(
            ("price", {"rules": "//h1"}),
            ['row 0, field \'price\': "9" -> "Title"'],
            id="field-value-changed",
        ),
        pytest.param(
            ("shop", {"rules": "//h2"}),
            ['row 1: only in the fixture: {"brand": "ACME", "shop": "Shop"}'],
            id="row-gone",
        ),
    ],
)
def test_fixtures_show_field_level_differences(tmp_path, capsys, change, differences):
    from tests.support.cli import run_cli

    rules = write_rules(tmp_path, SITE_RULES)
    page = tmp_path / "item.html"
    page.write_text(site_page("Title", "9", ["Acme Inc"]), encoding="utf-8")
    saved = run_cli("try", rules, str(page), "--save-fixture", str(tmp_path / "fixtures"))
    assert saved.returncode == 0, saved.stderr
    stored = json.loads((tmp_path / "fixtures" / "item.json").read_text("utf-8"))
    assert stored["rows"] == [{"title": "Title", "price": "9", "brand": "Bolt"}, {"brand": "ACME", "shop": "Shop"}]
    if change is not None:
        conf = copy.deepcopy(SITE_RULES)
        for entry in conf["rules"]:
            if change[0] in entry:
                entry[change[0]] = change[1]
        rules = write_rules(tmp_path, conf)

    status = main(["check", rules, "--fixtures", str(tmp_path / "fixtures")])
    lines = capsys.readouterr().out.splitlines()

    assert status == (1 if differences else 0)
    path = str(tmp_path / "fixtures" / "item.json")
    assert [line for line in lines if line.startswith(path)] == [f"{path}: {line}" for line in differences]


def test_the_reading_of_what_an_xpath_selects_agrees_with_lxml():
    """Random XPaths evaluated by lxml on pages that hold every kind of
    node: an XPath read as giving elements only never gives anything else."""
    import random

    from lxml import etree, html

    from ostrel.crawler.field_extractor.cli.xpath_shape import non_element_branch
    from tests.support.rules_gen import pages, random_xpath

    docs = [html.fromstring(text) for text in pages()]
    rng = random.Random(7)
    read_as_elements = other = 0
    for _ in range(3000):
        xpath = random_xpath(rng)
        try:
            found = [item for doc in docs for item in etree.XPath(xpath)(doc)]
        except etree.XPathError:
            continue
        gives_other = any(
            not isinstance(item, etree._Element) or isinstance(item, (etree._Comment, etree._ProcessingInstruction))
            for item in found
        )
        if non_element_branch(xpath) is None:
            read_as_elements += 1
            assert not gives_other, xpath
        else:
            other += 1
    assert read_as_elements > 500 and other > 500, (read_as_elements, other)
