import typing

import pytest

from ostrel.crawler.field_extractor.pallock import FieldsMatcher, pallock
from ostrel.crawler.field_extractor.pallock.ombrel import BaseMatcher

KIND_MESSAGE = "head_fields and tail_fields must is str or list"
UNEQUAL_MESSAGE = "head_fields and tail_fields  is unequal"


class S(str):
    pass


class L(list):
    pass


@pytest.fixture
def matcher():
    return FieldsMatcher()


@pytest.mark.parametrize(
    "head, tail, expected",
    [
        ("a", "p", ([["a", "p"]], True)),
        ("a", ["p", "q", "r"], ([["a", "p"], ["a", "q"], ["a", "r"]], False)),
        (["a", "b"], "p", ([["a", "p"], ["b", "p"]], False)),
        (["a", "b"], ["p", "q"], ([["a", "p"], ["b", "q"]], False)),
        ("a", [], ([], False)),
        ([], "p", ([], False)),
        ([], [], ([], False)),
        (S("a"), S("p"), ([["a", "p"]], True)),
        (L(["a"]), S("p"), ([["a", "p"]], False)),
        ("a", L(["p", "q"]), ([["a", "p"], ["a", "q"]], False)),
        ([1, None], ["x", 2.5], ([[1, "x"], [None, 2.5]], False)),
    ],
)
def test_match_table(matcher, head, tail, expected):
    result = matcher.match(head, tail)
    assert type(result) is tuple and result == expected
    assert all(type(pair) is list for pair in result[0])


@pytest.mark.parametrize(
    "head, tail",
    [
        (None, "a"),
        (1, ["a"]),
        (("a",), "p"),
        ({"a": 1}, []),
        (b"a", "p"),
        ("a", None),
        ("a", ("p",)),
        (["a"], None),
        (["a"], ("p",)),
        (["a"], {"p": 1}),
    ],
)
def test_refused_kinds(matcher, head, tail):
    with pytest.raises(ValueError) as info:
        matcher.match(head, tail)
    assert str(info.value) == KIND_MESSAGE


@pytest.mark.parametrize("head, tail", [(["a"], ["p", "q"]), (["a", "b"], []), (L(), ["p"])])
def test_unequal_lengths(matcher, head, tail):
    with pytest.raises(ValueError) as info:
        matcher.match(head, tail)
    assert str(info.value) == UNEQUAL_MESSAGE


def test_process_fields_passes_the_callers_lists_on(matcher):
    head, tail = ["a", "b"], ["p", "q"]
    h, t, is_str = matcher._process_fields(head, tail)
    assert h is head and t is tail and is_str is False
    h, t, _ = matcher._process_fields(head_fields="x", tail_fields=tail)
    assert h == ["x", "x"] and t is tail
    h, t, _ = matcher._process_fields(head, "p")
    assert h is head and t == ["p", "p"] and t is not head
    h, t, is_str = matcher._process_fields("a", "p")
    assert (h, t, is_str) == (["a"], ["p"], True)


def test_match_keeps_arguments_and_item_objects(matcher):
    item = object()
    head, tail = [item], ["p"]
    pairs, _ = matcher.match(head, tail)
    assert head == [item] and tail == ["p"] and pairs[0][0] is item


def test_match_fields_lengths(matcher):
    assert matcher._match_fields(["a"], ["p", "q"]) == [["a", "p"]]
    assert matcher._match_fields(("a", "b"), ("p", "q")) == [["a", "p"], ["b", "q"]]
    with pytest.raises(IndexError):
        matcher._match_fields(["a", "b"], ["p"])


def test_subclass_steps_are_honoured():
    class Custom(FieldsMatcher):
        def _process_fields(self, head_fields, tail_fields):
            return [head_fields], [tail_fields], "flag"

        def _match_fields(self, head_fields, tail_fields):
            return ("custom", head_fields, tail_fields)

    assert Custom().match((1,), None) == (("custom", [(1,)], [None]), "flag")


@pytest.mark.parametrize(
    "answer, error, message",
    [
        (([], []), ValueError, "not enough values to unpack (expected 3, got 2)"),
        (([], [], 1, 2), ValueError, "too many values to unpack (expected 3)"),
        (7, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_match_unpacks_three_results(answer, error, message):
    class Custom(FieldsMatcher):
        def _process_fields(self, head_fields, tail_fields):
            return answer

    with pytest.raises(error) as info:
        Custom().match("a", "p")
    assert str(info.value) == message


def test_abstract_base():
    with pytest.raises(TypeError):
        BaseMatcher()

    class Incomplete(BaseMatcher):
        pass

    class Complete(BaseMatcher):
        def match(self):
            return "done"

    with pytest.raises(TypeError):
        Incomplete()
    instance = Complete()
    assert instance.match() == "done"
    with pytest.raises(NotImplementedError):
        BaseMatcher.match(instance)
    assert isinstance(FieldsMatcher(), BaseMatcher)


def test_module_and_docstring():
    # The modules export typing's own aliases, not the builtins.
    assert pallock.Union is typing.Union and pallock.List is typing.List  # noqa: UP006
    assert pallock.Tuple is typing.Tuple and pallock.BaseMatcher is BaseMatcher  # noqa: UP006
    lines = FieldsMatcher.match.__doc__.split("\n")
    assert lines[0] == "对两个元素进行匹配，输出元素匹配的列表" and lines[1] == ""
    assert lines[2:8] == [
        " " * 8 + text
        for text in (
            ":param head_fields: _description_",
            ":type head_fields: Union[str, List[str]]",
            ":param tail_fields: _description_",
            ":type tail_fields: Union[str, List[str]]",
            ":return: _description_",
            ":rtype: List[List[str]]",
        )
    ]
    assert lines[8:] == [" " * 8]
    assert FieldsMatcher.__doc__ is None


def test_bad_calls(matcher):
    with pytest.raises(
        TypeError, match=r"^FieldsMatcher.match\(\) missing 1 required positional argument: 'tail_fields'$"
    ):
        matcher.match(head_fields="a")
    with pytest.raises(TypeError, match="unexpected keyword argument 'tail'"):
        matcher._process_fields("a", tail="b")


def test_hostile_sequences_then_good_call(matcher):
    class Broken(list):
        def __getitem__(self, index):
            raise RuntimeError("getitem")

    class NoLen:
        def __len__(self):
            raise RuntimeError("len")

    with pytest.raises(RuntimeError, match="getitem"):
        matcher._match_fields(Broken(["a"]), ["p"])
    with pytest.raises(RuntimeError, match="len"):
        matcher._match_fields(NoLen(), [])
    with pytest.raises(RuntimeError, match="getitem"):
        matcher.match(Broken(["a"]), "p")
    assert matcher.match(["a"], "p") == ([["a", "p"]], False)
