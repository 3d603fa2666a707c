import copy
import random
from collections import OrderedDict

import pytest

from ostrel.crawler.field_extractor import dravine
from ostrel.crawler.field_extractor.dravine import FieldsProcessor

CONF = {
    "alias2main_name": {"city": {"BJ": "Beijing", "Beijing": "Peking", "-": ""}},
    "filter": {"key": "title", "values": {"words": ["Home"], "format": ["<name>-<id>"]}},
    "not_empty_fields": ["title", "city"],
}


def processor(filter_key=None, words=None, rules=None, **conf):
    if filter_key is not None:
        values = {}
        if words is not None:
            values["words"] = words
        if rules is not None:
            values["format"] = rules
        conf["filter"] = {"key": filter_key, "values": values}
    return FieldsProcessor(conf)


class RecordingDict(dict):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.asked = []

    def get(self, key, default=None):
        self.asked.append(key)
        return super().get(key, default)


# -- construction ------------------------------------------------------------


def test_attributes_hold_the_configurations_objects_or_new_defaults():
    conf = copy.deepcopy(CONF)
    p = FieldsProcessor(conf)
    values = conf["filter"]["values"]
    assert (p.alias2main_name is conf["alias2main_name"], p.filter_key, p.filter_values is values) == (
        True,
        "title",
        True,
    )
    assert p.words_filter_values is values["words"] and p.format_values is values["format"]
    assert p.not_empty_fields is conf["not_empty_fields"]
    a, b = FieldsProcessor({}), FieldsProcessor({})
    assert (a.alias2main_name, a.filter_key, a.filter_values, a.words_filter_values) == ({}, None, {}, {})
    assert type(a.format_values) is dict and a.format_values == {} and type(a.not_empty_fields) is list
    assert a.alias2main_name is not b.alias2main_name and a.not_empty_fields is not b.not_empty_fields


def test_which_keys_are_looked_up_with_get():
    values = RecordingDict(words=["x"])
    conf = RecordingDict(alias2main_name=None, filter={"key": "k", "values": values})
    p = FieldsProcessor(conf)
    assert conf.asked == ["not_empty_fields"] and values.asked == ["words", "format"]
    assert p.alias2main_name is None and p.format_values == {}


@pytest.mark.parametrize(
    "conf, error",
    [
        ({"filter": {"values": {}}}, KeyError),
        ({"filter": {"key": "title"}}, KeyError),
        ({"filter": None}, TypeError),
        ({"filter": {"key": "t", "values": None}}, AttributeError),
        (None, TypeError),
    ],
)
def test_construction_failures(conf, error):
    with pytest.raises(error):
        FieldsProcessor(conf)


def test_class_shape_and_docs():
    assert type(FieldsProcessor) is type and FieldsProcessor.__bases__ == (object,)
    assert dravine.re.__name__ == "re" and dravine.List.__module__ == "typing"
    names = [n for n in vars(FieldsProcessor) if not n.startswith("__") or n == "__init__"]
    assert names == [
        "__init__",
        "process_fields",
        "_de_dup_fields",
        "_filter_fields",
        "_filter_empty_fields",
        "_filter_fields_by_key",
        "_filter_by_format",
        "_convert_field_value",
    ]
    fields_doc = (
        "\n\n        :param fields: _description_\n        :type fields: List[Dict]\n"
        "        :return: _description_\n        :rtype: List[Dict]\n        "
    )
    assert FieldsProcessor._filter_by_format.__doc__ == (
        "通过format格式的规则过滤，不被过滤时返回False\n\n        :param field: _description_\n"
        "        :type field: Dict\n        :return: _description_\n        :rtype: bool\n        "
    )
    assert FieldsProcessor._convert_field_value.__doc__ == "对部分字段的值进行别名转换" + fields_doc
    assert FieldsProcessor._filter_fields_by_key.__doc__ == "根据某一个字段，过滤出我们想要的结果" + fields_doc
    assert FieldsProcessor._de_dup_fields.__doc__.endswith("进行过滤" + fields_doc)
    assert [getattr(FieldsProcessor, n).__doc__ for n in names[:2] + names[3:5]] == [None] * 4
    with pytest.raises(TypeError, match=r"process_fields\(\) missing 1 required positional argument: 'de_dup'"):
        FieldsProcessor({}).process_fields([])


# -- pipeline ----------------------------------------------------------------


def test_conversion_runs_before_filters_and_de_dup():
    p = processor("city", words=["Beijing"], alias2main_name={"city": {"BJ": "Beijing", "PEK": "Beijing"}})
    rows = [{"city": "BJ", "n": "1"}, {"city": "PEK", "n": "1"}, {"city": "SH", "n": "1"}]
    assert p.process_fields(rows, True) == [{"city": "Beijing", "n": "1"}]


@pytest.mark.parametrize("flag, count", [(True, 2), (1, 2), ("x", 2), (False, 3), (0, 3), (None, 3), ("", 3)])
def test_de_dup_flag_by_truth(flag, count):
    rows = [{"a": "1"}, {"a": "1"}, {"a": "2"}]
    assert len(FieldsProcessor({}).process_fields(rows, flag)) == count


def test_nothing_the_caller_passed_is_modified():
    conf, rows = (
        copy.deepcopy(CONF),
        [
            {"title": "A-1", "name": "A", "id": "1", "city": "BJ"},
            {"title": "Home", "city": "-"},
            {"title": "Home", "city": "BJ"},
            {"title": "Home", "city": "BJ"},
        ],
    )
    saved = copy.deepcopy(rows)
    p = FieldsProcessor(conf)
    result = p.process_fields(rows, True)
    assert result == [{"title": "A-1", "name": "A", "id": "1", "city": "Beijing"}, {"title": "Home", "city": "Beijing"}]
    assert rows == saved and conf == CONF
    assert all(r is not s for r in result for s in rows)
    assert FieldsProcessor({}).process_fields(rows, False) is not rows


def test_subclass_stages_are_honoured():
    calls = []

    class Custom(FieldsProcessor):
        def _filter_by_format(self, field):
            calls.append(field["t"])
            return False

        def _de_dup_fields(self, fields):
            return ("de-duped", fields)

    p = Custom({"filter": {"key": "t", "values": {"words": ["w"]}}})
    assert p.process_fields(iter([{"t": "w"}, {"t": "x"}]), 1) == ("de-duped", [{"t": "w"}, {"t": "x"}])
    assert calls == ["x"]


# -- key filter and format rules ---------------------------------------------


def test_worked_example():
    p = processor("title", words=["Home"], rules=["<name>-<id>"])
    rows = [{"title": "A-1", "name": "A", "id": "1"}, {"title": "B-2", "name": "A", "id": "1"}, {"title": "Home"}]
    assert p._filter_fields_by_key(rows) == [rows[0], rows[2]]
    assert p._filter_by_format(rows[0]) is False and p._filter_by_format(rows[1]) is True
    assert FieldsProcessor({})._filter_fields_by_key(rows) is rows


@pytest.mark.parametrize(
    "rule, field, title",
    [
        ("<v>", {"v": "C:\\new"}, "C:\\new"),
        ("<v>", {"v": "\\1"}, "\\1"),
        ("x<v>y", {"v": "\\g<0>"}, "x\\g<0>y"),
        ("<a.b>|<x+>|<(>", {"a.b": "1", "x+": "2", "(": "3"}, "1|2|3"),
        ("<a.b>", {"a.b": "1", "axb": "2"}, "1"),
        ("<>", {"": "e"}, "e"),
        ("<<a>-", {"<a": "v", "a": "w"}, "v-"),
        ("<a\nb>", {}, "<a\nb>"),
        ("<a>\n<b>", {"a": "1", "b": "2"}, "1\n2"),
        ("<a>+<a>", {"a": "<a>"}, "<a>+<a>"),
        ("<a><b>", {"a": "<b>", "b": "z"}, "zz"),
        ("plain", {}, "plain"),
    ],
)
def test_format_placeholders_are_filled_literally(rule, field, title):
    field = dict(field, title=title)
    assert processor("title", rules=["never", rule])._filter_by_format(field) is False


@pytest.mark.parametrize(
    "rules, field, error",
    [
        (["<missing>"], {"title": "t"}, KeyError),
        (["<n>"], {"title": "t", "n": None}, TypeError),
        (["<n>"], {"title": "t", "n": 5}, TypeError),
        ([None], {"title": "t"}, TypeError),
        ([b"<n>"], {"title": "t"}, TypeError),
    ],
)
def test_format_failures(rules, field, error):
    p = processor("title", words=["w"], rules=rules)
    with pytest.raises(error):
        p._filter_fields_by_key([field])
    assert p._filter_fields_by_key([{"title": "w"}]) == [{"title": "w"}]  # whitelisted: no format test


def test_filter_key_without_words_or_rules_drops_everything():
    assert processor("t")._filter_fields_by_key([{"t": "a"}, {"t": ""}]) == []
    with pytest.raises(KeyError):
        processor("t", words=["a"])._filter_fields_by_key([{"u": "a"}])


# -- non-empty filter ----------------------------------------------------------


@pytest.mark.parametrize(
    "field, kept",
    [
        ({"a": ""}, False),
        ({"a": None}, True),
        ({"a": " "}, True),
        ({"a": []}, True),
        ({"x": ""}, True),
        ({}, True),
        ({"a": "1", "b": ""}, False),
        (OrderedDict(b="", a="x"), False),
    ],
)
def test_non_empty_filter_only_empty_text(field, kept):
    assert FieldsProcessor({"not_empty_fields": ["a", "b"]})._filter_empty_fields((field,)) == ([field] if kept else [])


# -- conversion ----------------------------------------------------------------


def test_conversion():
    p = FieldsProcessor(CONF)
    rows = [{"city": "BJ", "other": "BJ"}, {"z": 1, "city": "Shanghai"}, {}, {"city": "Beijing"}]
    out = p._convert_field_value(rows)
    assert out == [{"city": "Beijing", "other": "BJ"}, {"z": 1, "city": "Shanghai"}, {}, {"city": "Peking"}]
    assert [list(r) for r in out] == [["city", "other"], ["z", "city"], [], ["city"]]
    assert FieldsProcessor({"alias2main_name": {"k": {1: "one"}}})._convert_field_value([{"k": "1"}]) == [{"k": "1"}]
    assert FieldsProcessor({"alias2main_name": {"k": {}}})._convert_field_value([{"k": ["x"]}]) == [{"k": ["x"]}]


@pytest.mark.parametrize(
    "alias, fields, error",
    [
        ({"k": {"a": "b"}}, [{"k": ["x"]}], TypeError),
        ({"k": ["a"]}, [{"k": "a"}], AttributeError),
        (None, [{"k": "a"}], AttributeError),
        ({}, [None], AttributeError),
        ({}, [{"k": 1}, 5], AttributeError),
    ],
)
def test_conversion_failures(alias, fields, error):
    p = FieldsProcessor({"alias2main_name": alias})
    with pytest.raises(error):
        p._convert_field_value(fields)
    assert p._convert_field_value([{}]) == [{}]


# -- de-duplication ------------------------------------------------------------


def test_de_dup_first_wins_whatever_the_key_order():
    rows = [{"a": 1, "b": 2}, {"b": 2, "a": 1}, {"a": 1}]
    out = FieldsProcessor({}).process_fields(rows, True)
    assert out == [{"a": 1, "b": 2}, {"a": 1}] and list(out[0]) == ["a", "b"]
    direct = FieldsProcessor({})._de_dup_fields(rows)
    assert direct[0] is rows[0] and direct[1] is rows[2]


@pytest.mark.parametrize(
    "rows, count",
    [
        ([{"a": ["x", "y"]}, {"a": ["x", "y"]}, {"a": ["y", "x"]}, {"a": ("x", "y")}], 3),
        ([{"a": {"p": 1, "q": [2]}}, {"a": {"q": [2], "p": 1}}], 1),
        ([{"a": 1}, {"a": 1.0}, {"a": True}, {"a": "1"}], 2),
        ([{"a": set()}, {"a": frozenset()}, {"a": set()}], 1),
        ([{"a": 1}, OrderedDict(a=1), {"a": [1]}, OrderedDict(a=[1])], 2),
    ],
)
def test_de_dup_values_of_any_kind(rows, count):
    assert len(FieldsProcessor({})._de_dup_fields(rows)) == count


def test_de_dup_matches_the_plain_equality_scan():
    class Loose:
        def __init__(self, v):
            self.v = v

        def __eq__(self, other):
            return other == self.v

        __hash__ = None

    rnd = random.Random(5)
    atoms = ["a", "b", 1, 1.0, 0, None, (1,), [1], [1.0], {"k": 1}, Loose(1), Loose("a")]
    for _ in range(2000):
        rows = [{k: rnd.choice(atoms) for k in rnd.sample("abc", rnd.randint(0, 2))} for _ in range(rnd.randint(0, 9))]
        expected = []
        for row in rows:
            if row not in expected:
                expected.append(row)
        got = FieldsProcessor({})._de_dup_fields(rows)
        assert len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


class Explosive:
    """Unequal to everything; every comparison after the first one raises."""

    def __init__(self):
        self.calls = 0

    def __eq__(self, other):
        self.calls += 1
        if self.calls > 1:
            raise ArithmeticError("eq")
        return False

    __hash__ = None


@pytest.mark.parametrize("explosive_first", [False, True])
def test_de_dup_compares_in_retained_order(explosive_first):
    # A row is compared with the retained rows in their order and the scan
    # stops at the first equal one, so the failing comparison only surfaces
    # when the explosive row was retained before the equal row.
    bomb, plain = {"a": Explosive()}, {"a": "x"}
    rows = [bomb, plain, {"a": "x"}] if explosive_first else [plain, bomb, {"a": "x"}]
    p = FieldsProcessor({})
    if explosive_first:
        with pytest.raises(ArithmeticError):
            p._de_dup_fields(rows)
    else:
        assert p._de_dup_fields(rows) == rows[:2]


# -- hostile inputs --------------------------------------------------------------


class Hostile(dict):
    def __init__(self, *args, fail="", **kwargs):
        super().__init__(*args, **kwargs)
        self.fail = fail

    def _maybe(self, name):
        if self.fail == name:
            raise LookupError(name)

    def items(self):
        self._maybe("items")
        return super().items()

    def get(self, *args):
        self._maybe("get")
        return super().get(*args)

    def __getitem__(self, key):
        self._maybe("getitem")
        return super().__getitem__(key)

    def __eq__(self, other):
        self._maybe("eq")
        return super().__eq__(other)

    def __hash__(self):
        self._maybe("hash")
        return 0


def half_way(rows):
    yield from rows
    raise LookupError("iter")


class Trap:
    def __contains__(self, item):
        raise LookupError("contains")


@pytest.mark.parametrize(
    "conf, rows, de_dup",
    [
        ({}, [Hostile(a="1", fail="items")], False),
        ({"alias2main_name": Hostile({"a": {"x": "y"}}, fail="get")}, [{"a": "1"}], False),
        ({"alias2main_name": {"a": Hostile({"x": "y"}, fail="get")}}, [{"a": "1"}], False),
        ({"alias2main_name": {"a": {"x": "y"}}}, [{"a": Hostile(fail="hash")}], False),
        ({"filter": {"key": "a", "values": {"words": Trap()}}}, [{"a": "1"}], False),
        ({"not_empty_fields": Trap()}, [{"a": "1"}], False),
        ({}, half_way([{"a": "1"}, {"a": "2"}]), True),
    ],
)
def test_hostile_inputs_raise_and_leave_the_processor_usable(conf, rows, de_dup):
    p = FieldsProcessor(conf)
    with pytest.raises(LookupError):
        p.process_fields(rows, de_dup)
    assert p.process_fields([], True) == []
    good = [{"title": "Home", "city": "BJ"}, {"title": "Home", "city": "Beijing"}]
    assert FieldsProcessor(CONF).process_fields(good, True) == [
        {"title": "Home", "city": "Beijing"},
        {"title": "Home", "city": "Peking"},
    ]


@pytest.mark.parametrize(
    "stage, fail", [("_filter_empty_fields", "items"), ("_filter_fields_by_key", "getitem"), ("_de_dup_fields", "eq")]
)
def test_hostile_rows_in_stages(stage, fail):
    p = FieldsProcessor({"not_empty_fields": ["a"], "filter": {"key": "a", "values": {"format": ["<b>"]}}})
    with pytest.raises(LookupError):
        getattr(p, stage)([Hostile(a="", b="", fail=fail), Hostile(a="", b="", fail=fail)])
    with pytest.raises(LookupError):
        getattr(p, stage)(half_way([{"a": "x", "b": "x"}]))
    assert getattr(p, stage)([{"a": "x", "b": "x"}]) == [{"a": "x", "b": "x"}]


def test_row_changed_during_conversion():
    row = {}

    class Grows:
        def __hash__(self):
            row["new"] = 1
            return 1

    row["a"] = Grows()
    with pytest.raises(RuntimeError):
        FieldsProcessor({"alias2main_name": {"a": {"x": "y"}}})._convert_field_value([row])
