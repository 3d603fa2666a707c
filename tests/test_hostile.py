"""Hostile arguments: every method of every class called with wrong kinds,
wrong numbers of arguments, subclasses, mappings and iterables that raise,
documents that answer oddly and configurations of every wrong shape. Each
call ends in a Python exception (or a result), never a crash, and the next
good call gives the right result."""

import json
import math
import random

import pytest
from requests_html import HTML

from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser
from ostrel.crawler.field_extractor.html_parsers.quillan import BaseParser
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.pallock.ombrel import BaseMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil
from tests.support.fakes import FakeElement


def test_partial_row_of_a_dict_with_deleted_entries(monkeypatch):
    # A decoded partial row whose first entry sits past slot 0 of its dict
    # (here: the decoder's dict had an entry deleted) is written exactly.
    def pairs_hook(pairs):
        row = {"pad": 0}
        row.update(pairs)
        del row["pad"]
        return row

    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(object_pairs_hook=pairs_hook))
    ex = FieldExtractor.__new__(FieldExtractor)
    assert ex._add_next_value([['{"0": "\\u0041"}', "t"]], 1) == ['{"0": "A", "1": "t"}']


# --- hostile objects -----------------------------------------------------------------

PAGE = "<html><body><h1> Title </h1><ul><li>one</li><li>two</li></ul><a href='/a'>A</a><a href='/b'>B</a></body></html>"


class Boom(Exception):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class Mapping(dict):
    """A dict whose named operation raises Boom."""

    def __init__(self, *args, fail=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.fail = fail

    def _check(self, name):
        if self.fail == name:
            raise Boom(name)

    def __getitem__(self, key):
        self._check("getitem")
        return super().__getitem__(key)

    def __eq__(self, other):
        self._check("eq")
        return super().__eq__(other)

    def __ne__(self, other):
        self._check("eq")
        return super().__ne__(other)

    def __hash__(self):
        self._check("hash")
        return 7

    def __contains__(self, key):
        self._check("contains")
        return super().__contains__(key)

    def __len__(self):
        self._check("len")
        return super().__len__()

    def __iter__(self):
        self._check("iter")
        return super().__iter__()

    def items(self):
        self._check("items")
        return super().items()

    def keys(self):
        self._check("keys")
        return super().keys()

    def values(self):
        self._check("values")
        return super().values()

    def get(self, *args):
        self._check("get")
        return super().get(*args)


MAPPING_FAILURES = ["getitem", "eq", "hash", "contains", "len", "iter", "items", "keys", "values", "get"]


class Unhashable:
    __hash__ = None

    def __eq__(self, other):
        raise Boom("eq")


class BadStr:
    """Looks a little like a text: its split, len and str raise."""

    def split(self, *args):
        raise Boom("split")

    def __len__(self):
        raise Boom("len")

    def __str__(self):
        raise Boom("str")

    __repr__ = __str__


def half_way(items):
    yield from items
    raise Boom("iter")


class HalfWay(list):
    """A list whose iteration raises after its first item."""

    def __iter__(self):
        return half_way(list(list.__iter__(self))[:1])


def recursive_list():
    a = []
    a.append(a)
    return a


def recursive_dict():
    d = {}
    d["0"] = d
    return d


class RaisingElement:
    """An element whose node raises, or gives a text that is not a str."""

    def __init__(self, text):
        self._text = text
        self.attrs = Mapping({"href": "/x"}, fail="getitem")

    @property
    def element(self):
        if self._text == "element":
            raise Boom("element")
        return self

    def text_content(self):
        if self._text == "raise":
            raise Boom("text_content")
        return self._text


class LyingList(list):
    """A list that misreports its length or refuses indexing."""

    def __init__(self, items, length=None, getitem=True):
        super().__init__(items)
        self.length, self.getitem = length, getitem

    def __len__(self):
        if self.length == "raise":
            raise Boom("len")
        return super().__len__() if self.length is None else self.length

    def __getitem__(self, index):
        if not self.getitem:
            raise Boom("getitem")
        return super().__getitem__(index)


def xpath_raising(rule):
    raise Boom("xpath")


ODD_ANSWERS = {
    "none": None,
    "int": 5,
    "str": "abc",
    "bytes": b"abc",
    "dict": {"a": 1},
    "set": {1},
    "generator": lambda: (FakeElement(t) for t in "ab"),
    "plain str items": ["text node", "other"],
    "objects": [object()],
    "text_content raises": [RaisingElement("raise")],
    "element raises": [RaisingElement("element")],
    "text is int": [FakeElement(5)],
    "text is None": [FakeElement(None)],
    "text is bytes": [FakeElement(b"x")],
    "text is StrSub": [FakeElement(StrSub("x"))],
    "len raises": LyingList([FakeElement("a")], length="raise"),
    "len says 0": LyingList([FakeElement("a")], length=0),
    "len says 5": LyingList([FakeElement("a")], length=5),
    "getitem raises": LyingList([FakeElement("a")], getitem=False),
    "attrs not a mapping": [FakeElement(attrs=5)],
    "attrs raising": [RaisingElement("t")],
    "attrs odd values": [FakeElement(attrs={"href": ("a", 1), "rel": ["x"], "n": 5})],
    "recursive": recursive_list(),
}
ODD_DOCUMENTS = ["no xpath", "xpath raises", *ODD_ANSWERS]


class OddDoc:
    def __init__(self, answer):
        self.answer = answer

    def xpath(self, rule):
        answer = self.answer
        return answer() if callable(answer) else answer


def odd_document(kind):
    if kind == "no xpath":
        return object()
    if kind == "xpath raises":
        doc = OddDoc(None)
        doc.xpath = xpath_raising
        return doc
    return OddDoc(ODD_ANSWERS[kind])


def hostile_values():
    """Fresh hostile values (some are consumed by use)."""
    return [
        None,
        True,
        0,
        -1,
        2**100,
        1.5,
        math.nan,
        "",
        "x",
        "/",
        "//a",
        "//li",
        "\ud800",
        "a\x00b",
        "<(>[",
        b"//a",
        bytearray(b"x"),
        StrSub("//a"),
        ListSub(["//ul/li[1]", "//ul/li[2]"]),
        DictSub(a="1"),
        ("//a", "//b"),
        {"a"},
        frozenset(),
        object(),
        int,
        len,
        [],
        [None],
        ["//a"],
        [1, 2],
        ["a", "b"],
        [["x"]],
        {},
        {"a": None},
        {"a": "1", "b": ["x", "y"]},
        {"rules": "//a"},
        {"rules": 5},
        {"x": {"rules": "//a", "type": 5}},
        recursive_list(),
        recursive_dict(),
        Unhashable(),
        BadStr(),
        half_way(["a", "b"]),
        HalfWay(["a", "b"]),
        iter([]),
        *(Mapping({"a": "1", "rules": "//a", "type": "text"}, fail=f) for f in MAPPING_FAILURES),
        *(odd_document(kind) for kind in ODD_DOCUMENTS),
        [FakeElement("t")],
        [FakeElement(5)],
    ]


# --- every method, every argument, every hostile value --------------------------------

DOC = HTML(html=PAGE)
ITEMS = ["//ul/li[1]", "//ul/li[2]"]
CONF = {
    "alias2main_name": {"city": {"BJ": "Beijing"}},
    "filter": {"key": "title", "values": {"words": ["Home"], "format": ["<name>-<id>"]}},
    "not_empty_fields": ["city"],
}
ROWS = [
    {"title": "Home", "city": "BJ"},
    {"title": "A-1", "name": "A", "id": "1", "city": "x"},
    {"title": "B-1", "name": "A", "id": "1", "city": "x"},
    {"title": "Home", "city": "Beijing"},
    {"title": "Home", "city": ""},
]
RULES = {
    "rules": [
        {"title": {"rules": "//h1"}, "link": {"rules": "//a", "type": "attr:href"}},
        {"item": {"rules": ITEMS}, "kind": {"rules": "li"}},
    ],
    "value_separator": "|",
}


@pytest.fixture(scope="module")
def rules_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("rules") / "rules.json"
    path.write_text(json.dumps(RULES), encoding="utf-8")
    return str(path)


def processor():
    return FieldsProcessor(CONF)


class Concrete(BaseParser, BaseMatcher):
    def parse(self):
        return "parse"

    def match(self):
        return "match"


def not_implemented(abstract):
    """The abstract operation, with its NotImplementedError as its result."""

    def call(*args, **kwargs):
        try:
            abstract(*args, **kwargs)
        except NotImplementedError as error:
            return ("raised", error.args)
        return "returned"

    return call


# name, the bound method (from a fresh instance, or from the shared extractor),
# the good arguments.
METHODS = [
    ("TextUtil.normalize_element", lambda ex: TextUtil().normalize_element, (" a \n b ",)),
    ("FieldParser.__init__", lambda ex: FieldParser().__init__, ()),
    ("FieldParser.parse", lambda ex: FieldParser().parse, (DOC, "//li", "|")),
    ("FieldsParser.__init__", lambda ex: FieldsParser().__init__, ()),
    ("FieldsParser.parse", lambda ex: FieldsParser().parse, (DOC, ITEMS, "\t")),
    ("FieldsParser._extract_rule", lambda ex: FieldsParser()._extract_rule, (["//t/tr[2]/td", "//t/tr[5]/td"],)),
    ("AttrParser.parse", lambda ex: AttrParser().parse, (DOC, "//a", "href")),
    ("BaseParser.parse", lambda ex: not_implemented(BaseParser.parse), (Concrete(),)),
    ("BaseMatcher.match", lambda ex: not_implemented(BaseMatcher.match), (Concrete(),)),
    ("FieldsMatcher.match", lambda ex: FieldsMatcher().match, ("a", ["p", "q"])),
    ("FieldsMatcher._match_fields", lambda ex: FieldsMatcher()._match_fields, (["a", "b"], ["p", "q"])),
    ("FieldsMatcher._process_fields", lambda ex: FieldsMatcher()._process_fields, (["a"], "p")),
    ("FieldsProcessor.__init__", lambda ex: lambda *a, **k: vars(FieldsProcessor(*a, **k)), (CONF,)),
    ("FieldsProcessor.process_fields", lambda ex: processor().process_fields, (ROWS, True)),
    ("FieldsProcessor._de_dup_fields", lambda ex: processor()._de_dup_fields, (ROWS + ROWS,)),
    ("FieldsProcessor._filter_fields", lambda ex: processor()._filter_fields, (ROWS,)),
    ("FieldsProcessor._filter_empty_fields", lambda ex: processor()._filter_empty_fields, (ROWS,)),
    ("FieldsProcessor._filter_fields_by_key", lambda ex: processor()._filter_fields_by_key, (ROWS,)),
    ("FieldsProcessor._filter_by_format", lambda ex: processor()._filter_by_format, (ROWS[1],)),
    ("FieldsProcessor._convert_field_value", lambda ex: processor()._convert_field_value, (ROWS,)),
    ("FieldExtractor.__init__", lambda ex: lambda *a, **k: vars(FieldExtractor(*a, **k))["rules"], None),
    ("FieldExtractor.extract", lambda ex: ex.extract, (PAGE, True)),
    ("FieldExtractor._extract_fields", lambda ex: ex._extract_fields, (DOC,)),
    ("FieldExtractor._match_fields", lambda ex: ex._match_fields, ([{"a": "x", "b": ["1", "2"]}, {"c": "y"}],)),
    (
        "FieldExtractor._match_multiple_fields",
        lambda ex: ex._match_multiple_fields,
        ({"a": "x", "b": "y", "c": ["1", "2"]},),
    ),
    ("FieldExtractor._get_value", lambda ex: ex._get_value, (["a", "北京"],)),
    ("FieldExtractor._add_next_value", lambda ex: ex._add_next_value, ([['{"0": "a"}', "b"]], 1)),
    ("FieldExtractor.have_none_in_value", lambda ex: ex.have_none_in_value, ({"a": "", "b": None},)),
]


def attempt(call, *args, **kwargs):
    """Runs a hostile call: any Python exception is fine except SystemError,
    which means that the native code broke the interpreter's rules."""
    try:
        call(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        pass


@pytest.mark.parametrize("name, bound, good", METHODS, ids=[m[0] for m in METHODS])
def test_every_argument_of_every_method(rules_file, name, bound, good):
    ex = FieldExtractor(rules_file)
    good = (rules_file,) if good is None else good
    expected = bound(ex)(*good)
    rng = random.Random(name)

    def check():
        assert bound(ex)(*good) == expected

    calls = []
    # each argument in turn, the others good
    for position in range(len(good)):
        for value in hostile_values():
            calls.append((good[:position] + (value,) + good[position + 1 :], {}))
    # every argument hostile at once
    for _ in range(60):
        pool = hostile_values()
        calls.append((tuple(rng.choice(pool) for _ in good), {}))
    # wrong numbers of arguments and keywords
    for count in range(len(good) + 3):
        if count != len(good):
            calls.append(((good + (None,) * count)[:count], {}))
    calls += [(good, {"bogus": 1}), (good[1:], {"self": 1}), ((), {"**": 1})]
    for args, kwargs in calls:
        attempt(bound(ex), *args, **kwargs)
        check()


# --- documents that answer oddly -------------------------------------------------------

# What each parser makes of a document whose xpath gives the odd answer: an
# exception kind, or a result.
ODD = {
    # kind: (FieldParser, AttrParser)
    "no xpath": (AttributeError, AttributeError),
    "xpath raises": (Boom, Boom),
    "none": (TypeError, TypeError),
    "int": (TypeError, TypeError),
    "str": (AttributeError, AttributeError),
    "bytes": (AttributeError, AttributeError),
    "dict": (AttributeError, KeyError),
    "set": (AttributeError, TypeError),
    "generator": (TypeError, TypeError),
    "plain str items": (AttributeError, AttributeError),
    "objects": (AttributeError, AttributeError),
    "text_content raises": (Boom, Boom),
    "element raises": (Boom, Boom),
    "text is int": (TypeError, KeyError),
    "text is None": (TypeError, KeyError),
    "text is bytes": (TypeError, KeyError),
    "text is StrSub": ("x", KeyError),
    "len raises": (Boom, Boom),
    "len says 0": (None, None),
    "len says 5": ("a", KeyError),
    "getitem raises": ("a", Boom),
    "attrs not a mapping": ("", TypeError),
    "attrs raising": ("t", Boom),
    "attrs odd values": ("", TypeError),
    "recursive": (AttributeError, AttributeError),
}


def outcome(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the kind is what is compared
        return type(error)


@pytest.mark.parametrize("kind", ODD_DOCUMENTS)
def test_odd_documents(kind):
    field_expected, attr_expected = ODD[kind]
    assert outcome(lambda: FieldParser().parse(odd_document(kind), "//x")) == field_expected
    assert outcome(lambda: AttrParser().parse(odd_document(kind), "//x", "href")) == attr_expected
    # The multi-field parser reads the same answer for its length rule and
    # for every row; whatever it gives, it is a Python outcome.
    attempt(FieldsParser().parse, odd_document(kind), ["//x[1]", "//x[2]"])
    assert FieldParser().parse(DOC, "//li", "|") == "one|two"
    assert AttrParser().parse(DOC, "//a", "href") == "/a"
    assert FieldsParser().parse(DOC, ITEMS) == ["one", "two"]


def test_text_content_of_a_str_subclass_comes_back_as_a_str():
    # The join of one element's text is that text itself; a str subclass
    # from the document goes on as a str built by the join.
    assert type(FieldParser().parse(OddDoc([FakeElement(StrSub(" x "))]), "//x")) is str


# --- configurations of every wrong shape ---------------------------------------------

GOOD_ENTRY = {"t": {"rules": "//h1"}, "l": {"rules": "//a", "type": "attr:href"}}


@pytest.mark.parametrize(
    "conf, at_construction, error",
    [
        ([1, 2], True, ValueError),
        ({"value_separator": "\t"}, True, KeyError),
        ({"rules": []}, True, KeyError),
        ({"rules": [], "value_separator": "\t", "filter": None}, True, TypeError),
        ({"rules": [], "value_separator": "\t", "filter": [1]}, True, TypeError),
        ({"rules": [], "value_separator": "\t", "filter": {"key": "a"}}, True, KeyError),
        ({"rules": [], "value_separator": "\t", "filter": {"values": {}}}, True, KeyError),
        ({"rules": [], "value_separator": "\t", "filter": {"key": "a", "values": None}}, True, AttributeError),
        ({"rules": [], "value_separator": "\t", "filter": {"key": "a", "values": [1]}}, True, AttributeError),
        ({"rules": None, "value_separator": "\t"}, False, TypeError),
        ({"rules": 5, "value_separator": "\t"}, False, TypeError),
        ({"rules": "abc", "value_separator": "\t"}, False, AttributeError),
        ({"rules": {"a": {}}, "value_separator": "\t"}, False, AttributeError),
        ({"rules": [None], "value_separator": "\t"}, False, AttributeError),
        ({"rules": [[1]], "value_separator": "\t"}, False, AttributeError),
        ({"rules": [{"k": None}], "value_separator": "\t"}, False, TypeError),
        ({"rules": [{"k": "definition"}], "value_separator": "\t"}, False, TypeError),
        ({"rules": [{"k": ["definition"]}], "value_separator": "\t"}, False, TypeError),
        ({"rules": [{"k": {}}], "value_separator": "\t"}, False, KeyError),
        ({"rules": [{"k": {"rules": "//a", "type": 5}}], "value_separator": "\t"}, False, AttributeError),
        ({"rules": [{"k": {"rules": "//a", "type": None}}], "value_separator": "\t"}, False, AttributeError),
        ({"rules": [{"k": {"rules": "//a", "type": ["attr"]}}], "value_separator": "\t"}, False, AttributeError),
        ({"rules": [{"k": {"rules": "//a", "type": ""}}], "value_separator": "\t"}, False, ValueError),
        ({"rules": [{"k": {"rules": "//a", "type": ":href"}}], "value_separator": "\t"}, False, ValueError),
        ({"rules": [{"k": {"rules": "//a", "type": "attr"}}], "value_separator": "\t"}, False, IndexError),
        ({"rules": [{"k": {"rules": ["//a"], "type": "attr:href"}}], "value_separator": "\t"}, False, TypeError),
        ({"rules": [{"k": {"rules": None}}], "value_separator": "\t"}, False, KeyError),
        ({"rules": [{"k": {"rules": 5}}], "value_separator": "\t"}, False, KeyError),
        ({"rules": [{"k": {"rules": True}}], "value_separator": "\t"}, False, KeyError),
        ({"rules": [{"k": {"rules": {"a": "//a"}}}], "value_separator": "\t"}, False, KeyError),
        ({"rules": [{"k": {"rules": ["//a"]}}], "value_separator": "\t"}, False, IndexError),
        ({"rules": [{"k": {"rules": [1, 2]}}], "value_separator": "\t"}, False, AttributeError),
        ({"rules": [{"k": {"rules": ["//ul/li[x]", "//ul/li[2]"]}}], "value_separator": "\t"}, False, ValueError),
        ({"rules": [GOOD_ENTRY], "value_separator": 5}, False, TypeError),
        ({"rules": [GOOD_ENTRY], "value_separator": None}, False, AttributeError),
        ({"rules": [GOOD_ENTRY], "value_separator": ["|"]}, False, TypeError),
        ({"rules": [GOOD_ENTRY], "value_separator": "\t", "alias2main_name": None}, False, AttributeError),
        ({"rules": [GOOD_ENTRY], "value_separator": "\t", "alias2main_name": ["t"]}, False, AttributeError),
        ({"rules": [GOOD_ENTRY], "value_separator": "\t", "alias2main_name": {"t": ["x"]}}, False, AttributeError),
        ({"rules": [GOOD_ENTRY], "value_separator": "\t", "not_empty_fields": None}, False, TypeError),
        ({"rules": [GOOD_ENTRY], "value_separator": "\t", "not_empty_fields": 5}, False, TypeError),
        (
            {"rules": [GOOD_ENTRY], "value_separator": "\t", "filter": {"key": "t", "values": {"words": 5}}},
            False,
            TypeError,
        ),
        (
            {"rules": [GOOD_ENTRY], "value_separator": "\t", "filter": {"key": "t", "values": {"format": 5}}},
            False,
            TypeError,
        ),
        (
            {"rules": [GOOD_ENTRY], "value_separator": "\t", "filter": {"key": "t", "values": {"format": [5]}}},
            False,
            TypeError,
        ),
        ({"rules": [GOOD_ENTRY], "value_separator": "\t", "filter": {"key": "zz", "values": {}}}, False, KeyError),
    ],
)
def test_configurations_of_the_wrong_shape(tmp_path, rules_file, conf, at_construction, error):
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(conf), encoding="utf-8")
    if at_construction:
        with pytest.raises(error):
            FieldExtractor(str(path))
    else:
        ex = FieldExtractor(str(path))
        for _ in range(2):  # the same failure again: nothing was left half done
            with pytest.raises(error):
                ex.extract(PAGE)
    good = FieldExtractor(rules_file)
    assert good.extract(PAGE) == [
        {"title": "Title", "link": "/a"},
        {"item": "one", "kind": "li"},
        {"item": "two", "kind": "li"},
    ]


# --- keywords that are not plain names --------------------------------------------------


@pytest.mark.parametrize(
    "call, keyword",
    [
        (lambda **kw: FieldsMatcher().match("a", **kw), "tail_fields"),
        (lambda **kw: TextUtil().normalize_element(**kw), "text"),
        (lambda **kw: FieldParser().parse(DOC, "//li", **kw), "value_separator"),
        (lambda **kw: FieldsProcessor(**kw), "conf"),
    ],
)
@pytest.mark.parametrize("suffix", ["\x00", "\x00junk", "\ud800"])
def test_keyword_is_compared_whole(call, keyword, suffix):
    # A keyword that begins with a parameter's name and goes on past a NUL
    # (or holds a lone surrogate) names no parameter.
    name = keyword + suffix
    with pytest.raises(TypeError) as info:
        call(**{name: "|"})
    assert str(info.value).endswith(f"got an unexpected keyword argument '{name}'")
