"""``check``: every problem it reports is one that extraction really hits,
named by rule entry and field key; clean rules pass."""

from pathlib import Path

import pytest
import yaml

from ostrel.crawler.field_extractor.__main__ import main
from ostrel.crawler.field_extractor.extractor import FieldExtractor

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

PAGE = """<html><body><h1>Title</h1>
<p>text</p><a href="/x" class="big red">link</a>
<ul><li class="x"><a>one</a></li><li class="x"><a>two</a></li></ul>
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
        {"rules": ["//ul/li/a", "//ul/p/a"]}, IndexError, "do not yield a row position", id="list-no-brackets"
    ),
    pytest.param(
        {"rules": ["//ul/li[@class='x']/a", "//ul/li[2]/a"]},
        ValueError,
        "do not yield a row position",
        id="list-position-not-a-number",
    ),
    pytest.param({"rules": ["//ul/li[1]", 3]}, AttributeError, "must be strings", id="list-item-not-text"),
    pytest.param({"rules": ["//ul/li[1]/a[", "//ul/li[2]/a["]}, Exception, "does not compile", id="list-xpath-syntax"),
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
            "'nmae' is a field of no rule entry",
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


def test_missing_top_level_keys_are_reported(tmp_path, capsys):
    rules = write_rules(tmp_path, {"other": 1})

    status, lines, _ = run_check(rules, capsys)

    assert status == 1
    assert [line.split(": ")[1] for line in lines] == ["rules", "value_separator"]


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
            "sku": {"rules": ["//ul/li[1]/a", "//ul/li[2]/a"]},
            # The second XPath only marks the row position; it is not run.
            "code": {"rules": ["//ul/li[1]", "//ul/li[2]["]},
            "brand": {"rules": "ACME"},
            "url": {"rules": "//a", "type": "attr:href"},
            "title": {"rules": "//h1", "type": "text"},
            "empty": {"rules": ""},
            # Constants that only look a little like paths.
            "note": {"rules": "(unknown)"},
            "domain": {"rules": ".com"},
        },
        {
            "sku": {"rules": "//h1", "type": "text:anything"},
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
