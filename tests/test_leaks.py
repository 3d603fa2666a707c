"""Reference counts and memory over many calls, on success and on every
failure path: a call must give back every reference it took on its
arguments, and repeating it must not make the process grow."""

import gc
import json
import sys
import tracemalloc

import pytest

from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser
from ostrel.crawler.field_extractor.html_parsers.selvane import AttrParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil
from tests.support.fakes import FakeDoc, FakeElement, texts

PAGE = """<html><body><h1> Title </h1>
<ul><li>one</li><li>two</li><li>three</li></ul>
<table id="t"><tr><th>n</th></tr><tr><td>北京</td><td>1</td></tr><tr><td>上海</td><td>2</td></tr></table>
<a href="/a">A</a><a href="/b">B</a></body></html>"""

ITEMS = ["//ul/li[1]", "//ul/li[2]"]


def reachable(*objects):
    """The objects and everything inside their lists, tuples and dicts."""
    out, stack, seen = [], list(objects), set()
    while stack:
        obj = stack.pop()
        if id(obj) in seen or obj is None or isinstance(obj, (bool, int, float)):
            continue  # shared small objects: their counts move with the whole interpreter
        seen.add(id(obj))
        out.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
    return out


def allowed(obj):
    """The count changes that are no leak. Texts that the interpreter may
    share with the rest of the process (one character, or a name, which the
    compiler interns) move by one now and then as its caches (the attribute
    lookup cache of a type, say) take or drop them; a reference taken per
    call would move them by hundreds."""
    if isinstance(obj, str) and (len(obj) <= 1 or obj.isidentifier()):
        return range(-2, 3)
    return range(0, 1)


def run(call, error):
    if error is None:
        call()
        return
    try:
        call()
    except error:
        return
    raise AssertionError(f"expected {error.__name__}")


def steady(call, watched, error=None, calls=300, warmup=30, enough=16, windows=10):
    """Runs `call` in windows of `calls` calls; returns (reference count
    changes of `watched` over all the windows, traced memory growth in bytes
    per call: the least over the windows).

    A leak grows in every window. Bounded caches on the way do not: lxml's
    log of XPath errors, the selector caches of pyquery and cssselect and
    the caches behind requests_html's own parsing (the path every page takes
    when the native page tree is off) fill over the first thousand or so
    calls, then stop. So the windows go on until one grows by less than
    `enough` bytes per call, and the least growth is what counts."""
    watched = reachable(*watched)
    least = float("inf")
    tracemalloc.start()
    try:
        for _ in range(warmup):
            run(call, error)
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        for _ in range(windows):
            base = tracemalloc.get_traced_memory()[0]
            for _ in range(calls):
                run(call, error)
            gc.collect()
            least = min(least, (tracemalloc.get_traced_memory()[0] - base) / calls)
            if least < enough:
                break
        after = [sys.getrefcount(o) for o in watched]
        changed = [(repr(o)[:60], a - c) for o, c, a in zip(watched, counts, after) if a - c not in allowed(o)]
    finally:
        tracemalloc.stop()
    return changed, least


def assert_steady(call, watched, error=None, calls=300, max_bytes_per_call=16, warmup=30):
    changed, per_call = steady(call, watched, error, calls, warmup, enough=max_bytes_per_call)
    assert changed == []
    # One leaked object of any kind per call is more than this.
    assert per_call < max_bytes_per_call, f"{per_call:.1f} bytes per call"


class Doc(FakeDoc):
    """Answers like FakeDoc without keeping the calls (which hold the arguments)."""

    def xpath(self, rule):
        answer = self.answers.get(rule, self.default)
        return answer() if callable(answer) else list(answer)


@pytest.fixture
def extractor(tmp_path):
    def build(*entries, **extra):
        conf = {"rules": list(entries), "value_separator": "\t", **extra}
        path = tmp_path / "rules.json"
        path.write_text(json.dumps(conf, ensure_ascii=False), encoding="utf-8")
        return FieldExtractor(str(path))

    return build


# --- the extractor end to end -----------------------------------------------------

# lxml keeps a log of its XPath errors that only stops growing after a few
# hundred of them, so this case gets a longer warm-up.
BAD_XPATH = {"a": {"rules": "//a["}}

GOOD = (
    {"title": {"rules": "//h1"}, "site": {"rules": "shop"}, "link": {"rules": "//a", "type": "attr:href"}},
    {"item": {"rules": ITEMS}, "kind": {"rules": "li"}},
    {"city": {"rules": ["//table[@id='t']/tr[2]/td[1]", "//table[@id='t']/tr[3]/td[1]"]}},
)


@pytest.mark.parametrize(
    "entry, text, error",
    [
        (None, PAGE, None),
        (None, b"<p>", TypeError),  # kind of the page text
        ({"a": {"rules": 5}}, PAGE, KeyError),  # no parser for the kind
        ({"a": {"type": "text"}}, PAGE, KeyError),  # no rules
        ({"a": {"rules": "//a", "type": "link:x"}}, PAGE, ValueError),  # unsupported kind
        ({"a": {"rules": "//a", "type": "attr"}}, PAGE, IndexError),  # attr without a name
        ({"a": {"rules": "//a", "type": "attr:nope"}}, PAGE, KeyError),  # element without the attribute
        ({"a": {"rules": ITEMS}, "b": {"rules": ["//a[1]", "//a[2]"]}}, PAGE, ValueError),  # unequal lists
        (BAD_XPATH, PAGE, Exception),  # the document refuses the XPath
        ({"a": {"rules": ["//ul/li", "//ul/p"]}}, PAGE, IndexError),  # no bracket in the differing step
    ],
)
def test_extract(extractor, entry, text, error):
    ex = extractor(*GOOD, *([entry] if entry else []))
    assert_steady(
        lambda: ex.extract(text),
        [text, ex.rules, ex.value_separator],
        error,
        calls=150,
        max_bytes_per_call=64,
        warmup=400 if entry is BAD_XPATH else 30,
    )


def test_processor_failure_inside_extract(extractor):
    ex = extractor(*GOOD, filter={"key": "missing", "values": {"words": ["x"]}})
    assert_steady(lambda: ex.extract(PAGE), [PAGE, ex.rules], KeyError, calls=150, max_bytes_per_call=64)


def test_interned_names_given_as_arguments_keep_their_count(extractor):
    # Field keys and values that are the very names the modules look up
    # ("rules", "type", "items", "", ...) must not gain a reference per call.
    names = ["rules", "type", "items", "values", "keys", "text", "attr", "match", "0", ""]
    entry = {name: {"rules": name} for name in names if name}
    ex = extractor(entry, {"s": {"rules": ITEMS}})
    ex.value_separator = ""
    watched = [sys.intern(n) for n in names]
    changed, _ = steady(lambda: ex.extract(PAGE), watched, calls=300, windows=1)
    assert changed == []
    doc = Doc({"//u/li": texts("a", "b"), "//u/li[1]": texts("a")})
    changed, _ = steady(lambda: FieldsParser().parse(doc, ["//u/li[1]", "//u/li[2]"], ""), [""], calls=300, windows=1)
    assert changed == []


# --- components on their own --------------------------------------------------------


class Boom(Exception):
    pass


def raising(*args, **kwargs):
    raise Boom


DOC = Doc(
    {
        "//x": texts(" a ", "b"),
        "//r": texts("1", "2"),
        "//r[1]/c": texts("v"),
        "//r[2]/c": [],
        "//a": [FakeElement(attrs={"href": "/h", "n": 5})],
        "//bad": raising,
        "//odd": ["str item"],
    }
)


@pytest.mark.parametrize(
    "call, args, error",
    [
        (TextUtil().normalize_element, ("  a \n b\u3000",), None),
        (TextUtil().normalize_element, (b"x",), TypeError),
        (FieldParser().parse, (DOC, "//x", ", "), None),
        (FieldParser().parse, (DOC, "//none", None), None),
        (FieldParser().parse, (DOC, "//x", None), AttributeError),
        (FieldParser().parse, (DOC, "//bad"), Boom),
        (FieldParser().parse, (DOC, "//odd"), AttributeError),
        (FieldParser().parse, (DOC, ["//x"]), TypeError),
        (FieldParser().parse, (DOC,), TypeError),
        (FieldsParser().parse, (DOC, ["//r[1]/c", "//r[2]/c"], "\t"), None),
        (FieldsParser().parse, (DOC, ["//r[1]/c"], "\t"), IndexError),
        (FieldsParser().parse, (DOC, ["//r[x]/c", "//r[2]/c"], "\t"), ValueError),
        (FieldsParser().parse, (DOC, ["//bad[1]", "//bad[2]"], "\t"), Boom),
        (FieldsParser()._extract_rule, (["//t/tr[2]/td[3]", "//t/tr[5]/td[3]"],), None),
        (AttrParser().parse, (DOC, "//a", "href"), None),
        (AttrParser().parse, (DOC, "//a", "missing"), KeyError),
        (AttrParser().parse, (DOC, "//a", "n"), TypeError),
        (AttrParser().parse, (DOC, "//bad", "n"), Boom),
        (FieldsMatcher().match, ("a", ["p", "q"]), None),
        (FieldsMatcher().match, (["a"], ["p", "q"]), ValueError),
        (FieldsMatcher().match, (("a",), "p"), ValueError),
        (FieldsMatcher()._match_fields, (["a", "b"], ["p"]), IndexError),
    ],
)
def test_components(call, args, error):
    assert_steady(lambda: call(*args), [args], error, calls=500)


CONF = {
    "alias2main_name": {"city": {"BJ": "Beijing"}},
    "filter": {"key": "title", "values": {"words": ["Home"], "format": ["<name>-<id>"]}},
    "not_empty_fields": ["city"],
}
ROWS = [
    {"title": "A-1", "name": "A", "id": "1", "city": "BJ"},
    {"title": "Home", "city": "BJ"},
    {"title": "Home", "city": "Beijing"},
    {"title": "B", "name": "x", "id": "y", "city": ""},
]


@pytest.mark.parametrize(
    "conf, rows, error",
    [
        (CONF, ROWS, None),
        (CONF, ROWS + [{"city": "x"}], KeyError),  # no filter key
        (CONF, ROWS + [{"title": "t", "city": "x"}], KeyError),  # placeholder without a value
        (CONF, ROWS + [{"title": "t", "name": None, "id": "1"}], TypeError),  # value that is not text
        (CONF, ROWS + [None], AttributeError),  # row that is not a mapping
        ({"alias2main_name": {"city": {"BJ": "B"}}}, [{"city": ["BJ"]}], TypeError),  # unhashable value
        ({}, [{"a": [1]}, {"a": [1]}, {"a": {"k": (1, 2)}}], None),
    ],
)
def test_processor(conf, rows, error):
    p = FieldsProcessor(conf)
    assert_steady(lambda: p.process_fields(rows, True), [conf, rows], error, calls=500)


@pytest.mark.parametrize(
    "method, args, error",
    [
        ("_get_value", (["a", "北京"],), None),
        ("_get_value", (5,), TypeError),
        ("_add_next_value", ([['{"0": "a"}', "b"], ['{"0": "\\u0041"}', 1]], 1), None),
        ("_add_next_value", ([["{", "b"]], 1), ValueError),
        ("_match_multiple_fields", ({"a": "x", "b": ["1", "2"], "c": "z"},), None),
        ("_match_multiple_fields", ({"a": ["x"], "b": ["1", "2"]},), ValueError),
        ("_match_multiple_fields", ({"a": "x", "b": 5},), ValueError),
        ("have_none_in_value", ({"a": 1, "b": None},), None),
        ("_match_fields", ([{"a": "x", "b": ["1", "2"]}, {"c": 1}],), None),
    ],
)
def test_extractor_steps(extractor, method, args, error):
    ex = extractor()
    assert_steady(lambda: getattr(ex, method)(*args), [args], error, calls=500)
