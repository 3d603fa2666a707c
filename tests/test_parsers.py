import random
import re

import pytest

from ostrel.crawler.field_extractor import html_parsers
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser, kestrum, quillan, selvane, vintor
from ostrel.crawler.field_extractor.html_parsers.quillan import BaseParser
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from ostrel.crawler.field_extractor.utils import trummel
from ostrel.crawler.field_extractor.utils.trummel import TextUtil
from tests.support import models
from tests.support.fakes import FakeDoc, FakeElement, texts
from tests.support.models import BLANKS

KIND_ERROR = "Argument '{}' has incorrect type (expected str, got {})"


class MyStr(str):
    pass


# --- TextUtil.normalize_element ------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        ("\n\n\n\u3000", ""),
        ("  a\r\n\u3000b\u00a0", "a b"),
        ("a \t b", "a \t b"),
        (" \tx\t ", "\tx\t"),
        ("plain", "plain"),
        ("a\u2002\u2009\u200b\x0b\x0cb", "a\u2002\u2009\u200b\x0b\x0cb"),
        ("\u00a0é\u3000\U0001f600\n", "é \U0001f600"),
        ("x\u3000\u3000y", "x y"),
    ],
)
def test_normalize_cases(text, expected):
    assert TextUtil().normalize_element(text) == expected


def test_normalize_matches_strip_then_fold_on_random_texts():
    rng = random.Random(7)
    alphabet = BLANKS + "\tab\u2002\U0001f600é\u3001\x00"
    util = TextUtil()
    for _ in range(5000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 16)))
        result = util.normalize_element(text=text)
        assert result == models.normalize(text)
        # Results are canonical str objects: hashing and equality agree.
        assert hash(result) == hash(models.normalize(text))


@pytest.mark.parametrize("bad, type_name", [(None, "NoneType"), (1, "int"), (MyStr("x"), "MyStr"), (b"x", "bytes")])
def test_normalize_refuses_anything_but_str(bad, type_name):
    with pytest.raises(TypeError) as info:
        TextUtil().normalize_element(bad)
    assert str(info.value) == KIND_ERROR.format("text", type_name)


@pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), ((), {"txt": "a"}), (("a",), {"text": "a"})])
def test_normalize_bad_calls(args, kwargs):
    with pytest.raises(TypeError):
        TextUtil().normalize_element(*args, **kwargs)


# --- classes and module contents -----------------------------------------------


def test_base_parser_is_abstract():
    import abc

    assert isinstance(BaseParser, abc.ABCMeta) and abc.ABC in BaseParser.__mro__
    with pytest.raises(TypeError):
        BaseParser()

    class Incomplete(BaseParser):
        pass

    with pytest.raises(TypeError):
        Incomplete()

    class Concrete(BaseParser):
        def parse(self):
            return "own"

    parser = Concrete()
    assert parser.parse() == "own"
    with pytest.raises(NotImplementedError) as info:
        BaseParser.parse(parser)
    assert info.value.args == ()
    with pytest.raises(TypeError):
        BaseParser.parse(parser, 1)


def test_module_bindings():
    import abc
    import typing

    import requests_html

    assert quillan.ABC is abc.ABC and quillan.abstractmethod is abc.abstractmethod
    assert trummel.re is re
    assert vintor.HTML is requests_html.HTML and kestrum.HTML is requests_html.HTML
    assert vintor.BaseParser is BaseParser and selvane.BaseParser is BaseParser
    assert vintor.TextUtil is TextUtil and kestrum.TextUtil is TextUtil
    # typing's own alias, not the builtin.
    assert kestrum.re is re and kestrum.List is typing.List and vintor.Optional is typing.Optional  # noqa: UP006
    assert html_parsers.FieldParser is vintor.FieldParser and html_parsers.FieldsParser is kestrum.FieldsParser
    for cls in (FieldParser, FieldsParser, AttrParser):
        assert issubclass(cls, BaseParser) and cls.__doc__ is None
    assert TextUtil.__bases__ == (object,) and TextUtil.__doc__ is None


def test_text_parsers_hold_a_normaliser():
    for cls in (FieldParser, FieldsParser):
        parser = cls()
        assert isinstance(parser.trummel, TextUtil)
        assert vars(parser) == {"trummel": parser.trummel}


def test_docstrings():
    assert FieldsParser.parse.__doc__.splitlines() == [
        "先获得长度，再构建语句，以及最终的开头（或者直接不设置开头），然后再挨个语句抽取",
        "",
        "        :param html: _description_",
        "        :type html: HTML",
        "        :param rules: _description_",
        "        :type rules: List[str]",
        "        :return: _description_",
        "        :rtype: Optional[List[str]]",
        "        ",
    ]
    assert FieldsParser._extract_rule.__doc__.startswith(
        "通过比较两个xpath语法的不同，拆分用来抽取行数的语法（length_rule）和用来定位的语法（end_rule）\n\n"
    )
    assert FieldParser.parse.__doc__ is None and AttrParser.parse.__doc__ is None


# --- FieldParser ---------------------------------------------------------------


@pytest.mark.parametrize(
    "values, separator, expected",
    [
        (["\n  Price \n"], "\t", "Price"),
        (["a", "b"], "\t", "a\tb"),
        (["a", "b"], " ", "a b"),
        (["a", "b"], ", ", "a, b"),
        (["x", ""], "\t", "x\t"),
        (["x", " \n"], "\t", "x\t"),
        (["", "", ""], "\t", "\t\t"),
        (["a ", " b"], "\n", "a b"),
    ],
)
def test_field_parser_join_then_normalise(values, separator, expected):
    doc = FakeDoc({"//x": texts(*values)})
    assert FieldParser().parse(doc, "//x", separator) == expected
    assert doc.calls == [(("//x",), {})]


def test_field_parser_default_separator_and_keywords():
    doc = FakeDoc({"//x": texts("a", "b")})
    assert FieldParser().parse(html=doc, rule="//x") == "a\tb"


@pytest.mark.parametrize("separator", ["\t", None, " "])
def test_field_parser_nothing_selected(separator):
    assert FieldParser().parse(FakeDoc(), "//none", separator) is None


def test_field_parser_on_real_page(page):
    doc = page("<html><body><div><p>one <b>two</b> <a>three</a></p><p>\u3000four\u00a0</p></div></body></html>")
    assert FieldParser().parse(doc, "//p") == "one two three\t four"
    assert FieldParser().parse(doc, "//div", " | ") == "one two three four"


@pytest.mark.parametrize(
    "kwargs, name, type_name",
    [
        ({"rule": MyStr("//x")}, "rule", "MyStr"),
        ({"rule": 1}, "rule", "int"),
        ({"value_separator": MyStr(",")}, "value_separator", "MyStr"),
        ({"value_separator": b","}, "value_separator", "bytes"),
        ({"rule": 1, "value_separator": 2}, "rule", "int"),
    ],
)
def test_field_parser_kind_checks(kwargs, name, type_name):
    doc = FakeDoc({"//x": texts("a")})
    args = {"html": doc, "rule": "//x", "value_separator": "\t", **kwargs}
    with pytest.raises(TypeError) as info:
        FieldParser().parse(**args)
    assert str(info.value) == KIND_ERROR.format(name, type_name)
    assert doc.calls == []


def test_field_parser_none_separator():
    with pytest.raises(AttributeError) as info:
        FieldParser().parse(FakeDoc({"//x": texts("a")}), "//x", None)
    assert str(info.value) == "'NoneType' object has no attribute 'join'"


def test_field_parser_none_rule_reaches_document():
    doc = FakeDoc(default=texts("a"))
    assert FieldParser().parse(doc, None) == "a"
    assert doc.calls == [((None,), {})]


@pytest.mark.parametrize(
    "answer, error",
    [
        (["plain str"], AttributeError),
        ([object()], AttributeError),
        ([FakeElement(5)], TypeError),
        (42, TypeError),
        (lambda: 1 / 0, ZeroDivisionError),
    ],
)
def test_field_parser_odd_documents(answer, error):
    with pytest.raises(error):
        FieldParser().parse(FakeDoc({"//x": answer}), "//x")


def test_field_parser_uses_the_instance_normaliser():
    class Upper:
        def normalize_element(self, text):
            return text.upper()

    parser = FieldParser()
    parser.trummel = Upper()
    assert parser.parse(FakeDoc({"//x": texts(" a ")}), "//x") == " A "


# --- FieldsParser._extract_rule --------------------------------------------------


@pytest.mark.parametrize(
    "rules, expected",
    [
        (["//table/tr[2]/td[3]", "//table/tr[5]/td[3]"], ("//table/tr", "td[3]", 2)),
        (["//ul/li[1]", "//ul/li[4]"], ("//ul/li", "", 1)),
        (["//div/p", "//div/p"], ("//div/p", "", 0)),
        (["//ul/li[1]/a/span", "//ul/li[3]/a"], ("//ul/li", "a", 1)),
        (["//ul/li[1]/a[1]", "//ul/li[3]/a[2]"], ("//ul/li", "a[1]", 1)),
        (["//t/tr[2][1]/td", "//t/tr[5][1]/td"], ("//t/tr", "td", 2)),
        (["//ul/li[1]", "//ul/li[4]", "//ignored"], ("//ul/li", "", 1)),
        (["//a/b/c", "//a/b"], ("//a/b", "", 0)),
        (["//d[@id='x']/p[ 3 ]", "//d[@id='x']/p[4]"], ("//d[@id='x']/p", "", 3)),
    ],
)
def test_extract_rule(rules, expected):
    result = FieldsParser()._extract_rule(rules)
    assert result == expected and type(result) is tuple
    assert FieldsParser._extract_rule(self=None, rules=rules) == expected


@pytest.mark.parametrize(
    "rules, error",
    [
        (["//a"], IndexError),
        ([], IndexError),
        (["//a/p", "//a/span"], IndexError),
        (["//a/p[last()]", "//a/p[2]"], ValueError),
        ([1, "//a"], AttributeError),
        (None, TypeError),
    ],
)
def test_extract_rule_failures(rules, error):
    with pytest.raises(error):
        FieldsParser()._extract_rule(rules)


# --- FieldsParser.parse ----------------------------------------------------------


def test_fields_parser_row_xpaths_in_order():
    rows = {"//table/tr": texts(*"123456")}
    rows.update({f"//table/tr[{i}]/td[3]": texts(f"r{i}") for i in range(1, 7)})
    doc = FakeDoc(rows)
    result = FieldsParser().parse(doc, ["//table/tr[2]/td[3]", "//table/tr[5]/td[3]"], "\t")
    assert result == ["r2", "r3", "r4", "r5", "r6"]
    assert [c[0][0] for c in doc.calls] == ["//table/tr"] + [f"//table/tr[{i}]/td[3]" for i in range(2, 7)]
    assert all(c[1] == {} and len(c[0]) == 1 for c in doc.calls)


def test_fields_parser_without_end_rule_and_identical_rules():
    doc = FakeDoc({"//div/p": texts("a", "b"), "//div/p[1]": texts("a"), "//div/p[2]": texts("b")})
    assert FieldsParser().parse(doc, ["//div/p", "//div/p"]) == ["", "a", "b"]
    assert doc.calls[1][0] == ("//div/p[0]",)


@pytest.mark.parametrize(
    "rules, expected",
    [
        (["//ul/li[7]", "//ul/li[8]"], []),  # start above the number of rows
        (["//ul/li[6]", "//ul/li[8]"], []),
        (["//ul/li[5]", "//ul/li[8]"], ["e"]),
    ],
)
def test_fields_parser_row_range(rules, expected):
    doc = FakeDoc({"//ul/li": texts(*"abcde"), "//ul/li[5]": texts("e")})
    assert FieldsParser().parse(doc, rules) == expected


def test_fields_parser_nothing_selected_is_none():
    doc = FakeDoc()
    assert FieldsParser().parse(doc, ["//ul/li[1]", "//ul/li[2]"], None) is None
    assert len(doc.calls) == 1


def test_fields_parser_empty_rows_keep_their_place_and_join():
    doc = FakeDoc({"//t/tr": texts("", "", ""), "//t/tr[1]/td": texts("a", "b"), "//t/tr[3]/td": texts(" c\n")})
    assert FieldsParser().parse(doc, ["//t/tr[1]/td", "//t/tr[2]/td"]) == ["a\tb", "", "c"]


def test_fields_parser_on_real_page(page):
    doc = page(
        "<html><body><table><tr><th>h</th></tr><tr><td>1</td><td> x\n y </td></tr>"
        "<tr><td>2</td></tr><tr><td>3</td><td>z</td></tr></table></body></html>"
    )
    parser = FieldsParser()
    assert parser.parse(doc, ["//table/tr[2]/td[2]", "//table/tr[3]/td[2]"], "\t") == ["x y", "", "z"]
    assert parser.parse(doc, ["//table/tr[2]/td", "//table/tr[4]/td"], " ") == ["1 x y", "2", "3 z"]


@pytest.mark.parametrize("separator, type_name", [(MyStr("\t"), "MyStr"), (0, "int")])
def test_fields_parser_kind_check_runs_first(separator, type_name):
    doc = FakeDoc()
    with pytest.raises(TypeError) as info:
        FieldsParser().parse(doc, None, separator)
    assert str(info.value) == KIND_ERROR.format("value_separator", type_name)
    assert doc.calls == []


def test_fields_parser_none_separator_raises_only_when_a_row_has_elements():
    empty_rows = FakeDoc({"//u/li": texts("a")})
    assert FieldsParser().parse(empty_rows, ["//u/li[1]", "//u/li[2]"], None) == [""]
    with pytest.raises(AttributeError, match="has no attribute 'join'"):
        FieldsParser().parse(FakeDoc({"//u/li": texts("a"), "//u/li[1]": texts("a")}), ["//u/li[1]", "//u/li[2]"], None)


@pytest.mark.parametrize("where", ["subclass", "instance", "class"])
def test_fields_parser_uses_overridden_extract_rule(where, monkeypatch):
    doc = FakeDoc({"//r": texts("x"), "//r[1]/c": texts("v"), "//t": texts("y"), "//t[1]/d": texts("w")})
    rules = ["//t[1]/d", "//t[2]/d"]
    assert FieldsParser().parse(doc, rules) == ["w"]  # the rule's own answer, known from now on

    def fixed(self, rules):
        return ("//r", "c", 1)

    class Fixed(FieldsParser):
        _extract_rule = fixed

    parser = Fixed() if where == "subclass" else FieldsParser()
    if where == "instance":
        monkeypatch.setattr(parser, "_extract_rule", fixed.__get__(parser), raising=False)
    elif where == "class":
        monkeypatch.setattr(FieldsParser, "_extract_rule", fixed)
    assert parser.parse(doc, rules) == ["v"]
    assert parser.parse(doc, "anything") == ["v"]


@pytest.mark.parametrize("located, error", [(("//r", ""), ValueError), (("//r", "", "1"), TypeError), (5, TypeError)])
def test_fields_parser_bad_located_rule(located, error):
    class Odd(FieldsParser):
        def _extract_rule(self, rules):
            return located

    with pytest.raises(error):
        Odd().parse(FakeDoc({"//r": texts("x")}), [])


# --- AttrParser ------------------------------------------------------------------

ATTR_PAGE = (
    "<html><body><a href='/1' class='x  y'>1</a><a href='/2'>2</a><a>3</a>"
    "<img alt='' src=' s.png '><a rel='nofollow'>4</a></body></html>"
)


@pytest.mark.parametrize(
    "rule, name, expected",
    [
        ("//a", "href", "/1"),
        ("//img", "alt", ""),
        ("//img", "src", " s.png "),
        ("//nothing", "href", None),
        ("//a[1]", "class", "x y"),  # multi-valued attributes come back as words joined by a space
        ("//a[@rel]", "rel", "nofollow"),
    ],
)
def test_attr_parser_on_real_page(page, rule, name, expected):
    assert AttrParser().parse(page(ATTR_PAGE), rule, name) == expected


def test_attr_parser_first_element_only(page):
    with pytest.raises(KeyError) as info:
        AttrParser().parse(page(ATTR_PAGE), "//a[not(@class)]", "class")
    assert info.value.args == ("class",)


@pytest.mark.parametrize(
    "value, message",
    [
        (5, "Expected unicode, got int"),
        (("a", 1), "Expected unicode, got tuple"),
        (["a"], "Expected unicode, got list"),
        (MyStr("a"), "Expected unicode, got MyStr"),
    ],
)
def test_attr_parser_value_kinds(value, message):
    doc = FakeDoc({"//a": [FakeElement(attrs={"v": value})]})
    with pytest.raises(TypeError) as info:
        AttrParser().parse(doc, "//a", "v")
    assert str(info.value) == message


def test_attr_parser_none_value_and_calls():
    doc = FakeDoc({"//a": [FakeElement(attrs={"v": None}), FakeElement(attrs={})]})
    assert AttrParser().parse(html=doc, rule="//a", attr_name="v") is None
    assert doc.calls == [(("//a",), {})]


@pytest.mark.parametrize(
    "rule, attr_name, name, type_name",
    [
        (["//a"], "href", "rule", "list"),
        (MyStr("//a"), "href", "rule", "MyStr"),
        ("//a", 1, "attr_name", "int"),
        (1, 1, "rule", "int"),
    ],
)
def test_attr_parser_kind_checks(rule, attr_name, name, type_name):
    doc = FakeDoc({"//a": [FakeElement(attrs={"href": "x"})]})
    with pytest.raises(TypeError) as info:
        AttrParser().parse(doc, rule, attr_name)
    assert str(info.value) == KIND_ERROR.format(name, type_name)
    assert doc.calls == []


@pytest.mark.parametrize("answer, error", [(["text node"], AttributeError), (5, TypeError), ({"k": 1}, KeyError)])
def test_attr_parser_odd_documents(answer, error):
    with pytest.raises(error):
        AttrParser().parse(FakeDoc({"//a": answer}), "//a", "href")


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.parse(),
        lambda p: p.parse(1, 2, 3, 4),
        lambda p: p.parse(1, "//a", "h", html=1),
        lambda p: p.parse(1, "//a", "h", bogus=1),
    ],
)
def test_bad_calls_are_type_errors(call):
    for parser in (FieldParser(), FieldsParser(), AttrParser()):
        with pytest.raises(TypeError):
            call(parser)
