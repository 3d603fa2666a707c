"""Bad calls of every native method fail exactly as the same call of a
Python function with that method's qualified name and parameters would."""

import pytest

from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers.kestrum import FieldsParser
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from ostrel.crawler.field_extractor.html_parsers.vintor import FieldParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil

# Each class's methods: name -> parameters (the instance included); a
# parameter written "name=" has a default.
METHODS = {
    FieldExtractor: {
        "__init__": "self conf_file",
        "extract": "self text de_dup=",
        "_match_fields": "self fields",
        "_match_multiple_fields": "self field",
        "_get_value": "self value",
        "_add_next_value": "self matched_values_ i",
        "_extract_fields": "self html",
        "have_none_in_value": "self field",
    },
    FieldsProcessor: {
        "__init__": "self conf",
        "process_fields": "self fields de_dup",
        "_de_dup_fields": "self fields",
        "_filter_fields": "self fields",
        "_filter_empty_fields": "self fields",
        "_filter_fields_by_key": "self fields",
        "_filter_by_format": "self field",
        "_convert_field_value": "self fields",
    },
    FieldParser: {"__init__": "self", "parse": "self html rule value_separator="},
    FieldsParser: {
        "__init__": "self",
        "parse": "self html rules value_separator=",
        "_extract_rule": "self rules",
    },
    AttrParser: {"parse": "self html rule attr_name"},
    TextUtil: {"normalize_element": "self text"},
    FieldsMatcher: {
        "match": "self head_fields tail_fields",
        "_match_fields": "self head_fields tail_fields",
        "_process_fields": "self head_fields tail_fields",
    },
}

CASES = [(cls, name, params) for cls, methods in METHODS.items() for name, params in methods.items()]


def reference(cls, name, params):
    """A Python function named as the method, with its parameters."""
    source = ", ".join(p + "None" if p.endswith("=") else p for p in params.split())
    scope = {}
    exec(f"def {name}({source}): pass", scope)
    function = scope[name]
    function.__qualname__ = f"{cls.__name__}.{name}"
    return function


def bad_calls(params):
    """(args, kwargs) of calls that fail to bind; the instance comes first."""
    names = [p.rstrip("=") for p in params.split()]
    calls = [
        ((), {}),  # no instance
        ((None,), {}),  # nothing after the instance
        ((None,) * (len(names) + 1), {}),  # one too many
        ((None,) * (len(names) + 3), {}),
        ((None,), {"no_such_parameter": 1}),
        ((), {"self": None}),
    ]
    if len(names) >= 2:
        calls.append(((None, None), {names[1]: None}))  # given twice
        calls.append(((None,), {names[-1]: None}))  # only the last
    return calls


@pytest.mark.parametrize("cls, name, params", CASES, ids=[f"{c.__name__}.{n}" for c, n, _ in CASES])
def test_bad_call_messages(cls, name, params):
    python = reference(cls, name, params)
    checked = 0
    for args, kwargs in bad_calls(params):
        try:
            python(*args, **kwargs)
        except TypeError as error:
            expected = str(error)
        else:
            continue  # binds: not a bad call for this method
        with pytest.raises(TypeError) as info:
            getattr(cls, name)(*args, **kwargs)
        assert str(info.value) == expected, (args, kwargs)
        checked += 1
    assert checked >= 3


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda c: c.__name__)
def test_every_method_is_listed(cls):
    own = {name for name, value in vars(cls).items() if callable(value) and not name.startswith("_abc")}
    assert own == set(METHODS[cls])
