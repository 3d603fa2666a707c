import json
import random

import pytest
import yaml

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from tests.support import models
from tests.support.models import match_record
from tests.support.rules_gen import records

UNEQUAL = "head_fields and tail_fields  is unequal"

PAGE = """<html><body>
<h1> Shop  list </h1>
<ul><li>one</li><li>two</li><li>three</li></ul>
<table id="t"><tr><th>name</th><th>price</th></tr>
<tr><td>北京</td><td>1</td></tr><tr><td>上海</td><td>2</td></tr></table>
<a href="/a" class="nav  main">A</a><a href="/b">B</a>
</body></html>"""


@pytest.fixture(params=["json", "yaml"])
def make(request, tmp_path):
    """Writes a configuration as a JSON or YAML rules file and builds an extractor on it."""

    def build(conf):
        path = tmp_path / f"rules.{request.param}"
        if request.param == "json":
            path.write_text(json.dumps(conf, ensure_ascii=False), encoding="utf-8")
        else:
            path.write_text(yaml.safe_dump(conf, allow_unicode=True, sort_keys=False), encoding="utf-8")
        return FieldExtractor(str(path))

    return build


def conf_of(*entries, **extra):
    return {"rules": list(entries), "value_separator": "\t", **extra}


TITLE = {"rules": "//h1"}
ITEMS = {"rules": ["//ul/li[1]", "//ul/li[2]"]}
CITIES = {"rules": ["//table[@id='t']/tr[2]/td[1]", "//table[@id='t']/tr[3]/td[1]"]}
PRICES = {"rules": ["//table[@id='t']/tr[2]/td[2]", "//table[@id='t']/tr[3]/td[2]"]}


# --- construction ----------------------------------------------------------------


def test_construction_attributes(make):
    ex = make(conf_of({"a": TITLE}, extra_key=1))
    assert list(vars(ex)) == ["rules", "type2html_parser", "selvane", "pallock", "dravine", "value_separator"]
    assert ex.rules == [{"a": TITLE}] and ex.value_separator == "\t"
    parsers = ex.type2html_parser
    assert list(parsers) == ["<class 'str'>", "<class 'list'>"]
    assert type(parsers["<class 'str'>"]) is FieldParser and type(parsers["<class 'list'>"]) is FieldsParser
    assert type(ex.selvane) is AttrParser and type(ex.pallock) is FieldsMatcher
    assert type(ex.dravine) is FieldsProcessor


def test_module_bindings():
    import typing

    import requests_html

    from ostrel.common.utils import ConfigUtils

    assert extractor_module.json is json and extractor_module.HTML is requests_html.HTML
    assert extractor_module.ConfigUtils is ConfigUtils and extractor_module.Union is typing.Union
    assert extractor_module.FieldParser is FieldParser and extractor_module.AttrParser is AttrParser


class Recorder:
    def __init__(self, monkeypatch, conf):
        self.events = []
        events = self.events

        class Loader:
            @staticmethod
            def load(*args, **kwargs):
                events.append(("load", args, kwargs))
                return conf

        class Processor:
            def __init__(self, c):
                events.append(("processor", c))

        monkeypatch.setattr(extractor_module, "ConfigUtils", Loader)
        monkeypatch.setattr(extractor_module, "FieldsProcessor", Processor)


def test_constructor_calls_loader_on_class(monkeypatch):
    conf = conf_of()
    rec = Recorder(monkeypatch, conf)
    FieldExtractor(conf_file="x.yaml")
    assert rec.events == [("load", ("x.yaml",), {"readonly": False}), ("processor", conf)]


def test_missing_rules_fails_before_components(monkeypatch):
    rec = Recorder(monkeypatch, {"value_separator": "\t"})
    with pytest.raises(KeyError) as info:
        FieldExtractor("x")
    assert info.value.args == ("rules",) and [e[0] for e in rec.events] == ["load"]


def test_missing_separator_fails_after_components(monkeypatch):
    rec = Recorder(monkeypatch, {"rules": []})
    with pytest.raises(KeyError) as info:
        FieldExtractor("x")
    assert info.value.args == ("value_separator",) and [e[0] for e in rec.events] == ["load", "processor"]


def test_none_conf_file_goes_to_loader(monkeypatch):
    rec = Recorder(monkeypatch, conf_of())
    FieldExtractor(None)
    assert rec.events[0][1] == (None,)


class MyStr(str):
    pass


@pytest.mark.parametrize("conf_file, type_name", [(1, "int"), (MyStr("x"), "MyStr"), (b"x", "bytes")])
def test_conf_file_kind(monkeypatch, conf_file, type_name):
    rec = Recorder(monkeypatch, conf_of())
    with pytest.raises(TypeError) as info:
        FieldExtractor(conf_file)
    assert str(info.value) == f"Argument 'conf_file' has incorrect type (expected str, got {type_name})"
    assert rec.events == []


def test_processor_refusal_propagates(make):
    with pytest.raises(KeyError):
        make(conf_of(filter={"key": "a"}))


# --- extraction ------------------------------------------------------------------


def test_constants_text_attr_and_lists(make):
    ex = make(
        conf_of(
            {"title": TITLE, "site": {"rules": "shop"}, "link": {"rules": "//a", "type": "attr:href:ignored"}},
            {"item": ITEMS, "empty": {"rules": ""}, "dot": {"rules": ".//x", "type": "text:whatever"}},
            {"city": CITIES, "price": PRICES, "cls": {"rules": "//a", "type": "attr:class"}},
        )
    )
    assert ex.extract(PAGE) == [
        {"title": "Shop list", "site": "shop", "link": "/a"},
        {"item": "one", "empty": "", "dot": ".//x"},
        {"item": "two", "empty": "", "dot": ".//x"},
        {"item": "three", "empty": "", "dot": ".//x"},
        {"city": "北京", "price": "1", "cls": "nav main"},
        {"city": "上海", "price": "2", "cls": "nav main"},
    ]


@pytest.mark.parametrize(
    "entry, expected",
    [
        # broadcast of singles and equal lists
        ({"a": {"rules": "x"}, "b": ITEMS, "c": ITEMS}, [("x", v, v) for v in ("one", "two", "three")]),
        ({"a": {"rules": "x"}, "b": {"rules": "y"}, "c": ITEMS}, [("x", "y", v) for v in ("one", "two", "three")]),
        ({"a": ITEMS, "b": {"rules": "y"}}, [(v, "y") for v in ("one", "two", "three")]),
        ({"a": {"rules": "x"}, "b": {"rules": "y"}, "c": {"rules": "z"}}, [("x", "y", "z")]),
        # an empty first list yields no row
        ({"a": {"rules": ["//ul/li[9]", "//ul/li[10]"]}, "b": {"rules": "y"}}, []),
    ],
)
def test_matching_cases(make, entry, expected):
    rows = make(conf_of(entry)).extract(PAGE)
    assert [tuple(r.values()) for r in rows] == expected
    assert all(list(r) == list(entry) for r in rows)


def test_unequal_lists_fail(make):
    ex = make(conf_of({"a": ITEMS, "b": CITIES}))
    with pytest.raises(ValueError) as info:
        ex.extract(PAGE)
    assert str(info.value) == UNEQUAL


class _ThroughPartialRows(FieldExtractor):
    """Matches every record through the partial-row texts."""


def _outcome(fn, *args):
    try:
        return "rows", fn(*args)
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return type(error), str(error)


def test_rows_read_straight_from_values_match_the_partial_rows():
    direct = FieldExtractor.__new__(FieldExtractor)
    direct.pallock = FieldsMatcher()
    partial = _ThroughPartialRows.__new__(_ThroughPartialRows)
    partial.pallock = FieldsMatcher()
    for record in records(random.Random(19), 3000):
        expected = _outcome(partial._match_multiple_fields, record)
        assert _outcome(direct._match_multiple_fields, record) == expected, record
        if len(record) > 1:
            assert expected == _outcome(match_record, models.match, record), record
        if expected[0] == "rows":
            assert all(list(row) == list(record) for row in expected[1])


def test_one_field_records_pass_as_they_are(make):
    ex = make(
        conf_of({"a": ITEMS}, {}, {"b": {"rules": "k"}}),
    )
    assert ex.extract(PAGE, False) == [{"a": ["one", "two", "three"]}, {}, {"b": "k"}]
    record = {"a": ["x"]}
    assert ex._match_fields([record])[0] is record


def test_records_with_none_are_dropped(make):
    ex = make(conf_of({"a": {"rules": "//missing"}, "b": {"rules": "k"}}, {"c": TITLE}))
    assert ex.extract(PAGE) == [{"c": "Shop list"}]
    assert ex.have_none_in_value({"a": "", "b": [], "c": 0}) is False
    assert ex.have_none_in_value(field={"a": 1, "b": None}) is True
    assert ex.have_none_in_value({}) is False


def test_processor_result_and_de_dup(make):
    ex = make(conf_of({"a": {"rules": "k"}}, {"a": {"rules": "k"}}, not_empty_fields=["a"]))
    assert ex.extract(PAGE) == [{"a": "k"}]
    assert ex.extract(PAGE, de_dup=False) == [{"a": "k"}, {"a": "k"}]
    assert ex.extract(text=PAGE, de_dup=0) == [{"a": "k"}, {"a": "k"}]


def test_json_partial_rows(make):
    ex = make(conf_of())
    assert ex._get_value("北京") == '{"0": "北京"}'
    assert ex._get_value(["a", 'q"']) == ['{"0": "a"}', '{"0": "q\\""}']
    assert ex._get_value([]) == []
    assert ex._add_next_value([['{"0": "a"}', "é"], ['{"0": "b"}', 2]], 1) == [
        '{"0": "a", "1": "é"}',
        '{"0": "b", "1": 2}',
    ]
    assert ex._match_multiple_fields({"x": "1", "y": ["a", "b"]}) == [{"x": "1", "y": "a"}, {"x": "1", "y": "b"}]
    with pytest.raises(TypeError):
        ex._get_value(5)


def test_partial_rows_are_json_texts():
    ex = FieldExtractor.__new__(FieldExtractor)
    ex.pallock = FieldsMatcher()
    rng = random.Random(3)
    alphabet = [
        '"',
        "\\",
        "/",
        "\n",
        "\r",
        "\t",
        "\b",
        "\f",
        "\x00",
        "\x1f",
        "\x7f",
        "é",
        "北",
        "\U0001f600",
        "\ud800",
        "\u2028",
        "a",
        " ",
        "{",
        "}",
        ":",
        ",",
    ]
    for _ in range(500):
        a, b = ("".join(rng.choice(alphabet) for _ in range(rng.randint(0, 8))) for _ in range(2))
        assert ex._get_value(a) == json.dumps({"0": a}, ensure_ascii=False)
        assert ex._add_next_value([[json.dumps({"0": a}), b]], 1) == [json.dumps({"0": a, "1": b}, ensure_ascii=False)]
        assert ex._match_multiple_fields({"x": a, "y": [b, a]}) == [{"x": a, "y": b}, {"x": a, "y": a}]


@pytest.mark.parametrize(
    "head",
    [
        '{"0":"a"}',
        '{ "0": "a"}',
        '{"0": "\\u0041"}',
        '{"0": 1}',
        '{"0": "a", "0": "b"}',
        '{"0": ["a"]}',
        "{}",
    ],
)
def test_partial_rows_written_elsewhere_are_read_as_json(head):
    ex = FieldExtractor.__new__(FieldExtractor)
    expected = json.loads(head)
    expected["1"] = "t"
    assert ex._add_next_value([[head, "t"]], 1) == [json.dumps(expected, ensure_ascii=False)]


@pytest.mark.parametrize(
    "head, error",
    [('\ufeff{"0": "a"}', json.JSONDecodeError), ('{"0": "a\x01"}', ValueError), ("{", ValueError), (5, TypeError)],
)
def test_bad_partial_rows(head, error):
    with pytest.raises(error):
        FieldExtractor.__new__(FieldExtractor)._add_next_value([[head, "t"]], 1)


@pytest.mark.parametrize(
    "definition, index, key, error, message",
    [
        (
            {"rules": "//a", "type": "link:href"},
            2,
            "title",
            ValueError,
            "不支持的类型：link, type 必须为text或attr, 请检查配置文件的第2条规则, key: title",
        ),
        ({"rules": "//a", "type": "attr"}, 0, "k", IndexError, None),
        ({"rules": "//a", "type": 5}, 0, "k", AttributeError, None),
        ({"type": "text"}, 1, "k", KeyError, "'rules'"),
        ({"rules": 5}, 0, "k", KeyError, "\"<class 'int'>\""),
        ({"rules": {"x": 1}}, 0, "k", KeyError, "\"<class 'dict'>\""),
        ({"rules": "//a", "type": "attr:href:x"}, 0, "k", None, None),
    ],
)
def test_routing_failures(make, definition, index, key, error, message):
    entries = [{"c": {"rules": "c"}} for _ in range(index)] + [{key: definition}]
    ex = make(conf_of(*entries))
    if error is None:
        assert ex.extract(PAGE)[-1] == {key: "/a"}
        return
    with pytest.raises(error) as info:
        ex.extract(PAGE)
    if message is not None:
        assert str(info.value) == message
    # the extractor stays usable
    ex.rules = [{"c": {"rules": "c"}}]
    assert ex.extract(PAGE) == [{"c": "c"}]


def test_routing_by_exact_kind():
    ex = FieldExtractor.__new__(FieldExtractor)
    ex.rules = [{"k": {"rules": ("//a", "//b")}}]
    ex.type2html_parser = {}
    ex.value_separator = "\t"
    with pytest.raises(KeyError) as info:
        ex._extract_fields(None)
    assert info.value.args == ("<class 'tuple'>",)
    ex.rules = [{"k": {"rules": MyStr("const")}}]
    with pytest.raises(KeyError) as info:
        ex._extract_fields(None)
    assert info.value.args == (str(MyStr),)


@pytest.mark.parametrize(
    "rules, error",
    [
        (None, TypeError),
        ([None], AttributeError),
        (["x"], AttributeError),
        ([{"k": "definition"}], TypeError),
        ([{"k": None}], TypeError),
    ],
)
def test_bad_rule_shapes(rules, error):
    ex = FieldExtractor.__new__(FieldExtractor)
    ex.rules, ex.type2html_parser, ex.value_separator = rules, {}, "\t"
    with pytest.raises(error):
        ex._extract_fields(None)


def test_parser_calls(monkeypatch):
    calls = []

    class Spy:
        def __init__(self, name, result):
            self.name, self.result = name, result

        def parse(self, *args, **kwargs):
            calls.append((self.name, args[1:], kwargs))
            return self.result

    ex = FieldExtractor.__new__(FieldExtractor)
    ex.rules = [{"a": {"rules": "/x"}, "b": {"rules": ["/l"]}, "c": {"rules": "/y", "type": "attr:src"}}]
    ex.type2html_parser = {"<class 'str'>": Spy("str", "s"), "<class 'list'>": Spy("list", ["l"])}
    ex.selvane = Spy("attr", "v")
    ex.value_separator = "|"
    assert ex._extract_fields("doc") == [{"a": "s", "b": ["l"], "c": "v"}]
    assert calls == [("str", ("/x", "|"), {}), ("list", (["/l"], "|"), {}), ("attr", ("/y", "src"), {})]


def test_failure_discards_earlier_records(make):
    ex = make(conf_of({"a": {"rules": "k"}}, {"b": {"rules": "//a", "type": "bogus"}}))
    with pytest.raises(ValueError):
        ex.extract(PAGE)


@pytest.mark.parametrize("text, type_name", [(b"<p>", "bytes"), (MyStr("<p>"), "MyStr"), (1, "int")])
def test_text_kind(make, text, type_name):
    with pytest.raises(TypeError) as info:
        make(conf_of()).extract(text)
    assert str(info.value) == f"Argument 'text' has incorrect type (expected str, got {type_name})"


# --- pages whose markup declares another charset --------------------------------


@pytest.mark.parametrize(
    "charset, words",
    [
        ("gb2312", "北京欢迎你"),
        ("gbk", "北京欢迎你"),
        ("iso-8859-1", "Grüße, café"),
        ("windows-1252", "naïve – “quotes”"),
    ],
)
def test_declared_charset_does_not_garble_text(make, charset, words):
    page = (
        f'<html><head><meta charset="{charset}"><title>{words}</title></head><body>'
        f'<ul><li>{words}1</li><li>{words}2</li></ul><a href="/{words}">x</a></body></html>'
    )
    ex = make(
        conf_of(
            {"t": {"rules": "//title"}, "l": {"rules": "//a", "type": "attr:href"}},
            {"i": {"rules": ["//ul/li[1]", "//ul/li[2]"]}},
        )
    )
    assert ex.extract(page) == [{"t": words, "l": "/" + words}, {"i": [words + "1", words + "2"]}]


def test_help_shows_what_the_extractor_and_its_methods_do():
    import inspect
    import pydoc

    shown = pydoc.render_doc(FieldExtractor, renderer=pydoc.plaintext)

    assert "Extracts rows of fields from HTML pages with one rules file." in shown
    assert "extract(self, text, de_dup=True)" in shown
    methods = ["__init__", "extract", "_match_fields", "_match_multiple_fields", "_get_value"]
    methods += ["_add_next_value", "_extract_fields", "have_none_in_value"]
    for name in methods:
        method = getattr(FieldExtractor, name)
        assert method.__doc__ and not method.__doc__.startswith(name), name
        assert list(inspect.signature(method).parameters)[0] == "self", name
    assert str(inspect.signature(FieldExtractor._add_next_value)) == "(self, matched_values_, i)"
