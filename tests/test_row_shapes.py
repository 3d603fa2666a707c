"""The rule shapes FieldsParser reads in one pass (row_shapes.cpp), built
alone with the C++ compiler and asked about rules one line each."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "native" / "field_extractor" / "html_parsers"
COMPILER = shutil.which("g++") or shutil.which("clang++")

ROW_SELECTORS = [
    "//table/tr",
    "//table//tr",
    "//table/*",
    "/html/body/div[2]/table/tr",
    "tr",
    "/html",
    "//tr",
    "//span[@class='cosa']/table",
    "//div[a/b = 'x/y']/child::p",
    '//t[contains(., "]/[")]/tr',
    "//t[f(1, (2))][2]/tr",
    "./t/tr",
    "../t/tr",
    "//body//h2",
    "descendant::t/tr",
    "//@x/tr",
    "//node()/tr",
    "/descendant-or-self::node()/tr",
    "//ul/li-item",
    "//ns/a.b",
    "//t/_x",
    "//\u00e9l/\u884c",
]
NOT_ROW_SELECTORS = [
    "",
    "/",
    "//",
    "///tr",
    "//t/",
    "//t/tr[1]",
    "//t/tr[@a]",
    "//t/@x",
    "//t/text()",
    "//t/node()",
    "//t/comment()",
    "//t/processing-instruction()",
    "//t/descendant::tr",
    "//t/self::tr",
    "//t/following::tr",
    "//t/ns:tr",
    "//t/ns:*",
    "//ns:t/tr",
    "(//t)/tr",
    "(//t/tr)",
    "//a | //t/tr",
    "//t/tr | //a",
    "//t /tr",
    "//t/ tr",
    "//t/tr ",
    "id('x')/tr",
    "$v/tr",
    "//t[1/tr",
    "//t]/tr",
    "//t/tr]",
    "//t['x]/tr",
    "count(//t/tr)",
    "//t/.",
    "//t/..",
    "//t/*[1]",
    "-//t/tr",
    "//t/tr=1",
    "//t/1tr",
    "//t/-tr",
    "//t/.tr",
    "//t/text()/tr",
    "//t/nosuch::tr",
    "//t/child::",
    "//t/@*",
    "//t//",
    "//t/tr()",
    "//t/f(x)",
]
DOWNWARD_PATHS = [
    "td",
    "td[1]",
    "td[last()]",
    "/td",
    "td//a",
    "td/a",
    "*",
    "*[2]",
    ".",
    "./td",
    "td/.",
    "self::tr",
    "descendant::a[1]",
    "descendant-or-self::td",
    "child::td",
    "td[../@x]",
    "td[preceding::a]",
    "td[@class='a/b']",
    'td["]"]',
    "/td[1]//a[last()]",
    "a/b/c/d",
]
NOT_DOWNWARD_PATHS = [
    "",
    "/",
    "//td",
    "///td",
    "td/",
    "td//",
    "..",
    "td/..",
    "parent::x",
    "ancestor::x",
    "ancestor-or-self::x",
    "preceding::x",
    "preceding-sibling::x",
    "following::x",
    "following-sibling::x",
    "@href",
    "td/@href",
    "attribute::x",
    "namespace::x",
    "text()",
    "td/text()",
    "node()",
    "comment()",
    "td | a",
    "td|a",
    "td or a",
    "td[",
    "td]",
    "td[1",
    "td['x]",
    "ns:td",
    "td/ns:*",
    "/.",
    "td//.",
    ".[1]",
    "td [1]",
    " td",
    "count(td)",
    "(td)",
    "td[1]x",
    "f()",
    "$v",
    "1",
    "td/-",
    "nosuch::td",
    "*:td",
]

# Any axis: evaluated from the rows of each position.
RELATIVE_PATHS = DOWNWARD_PATHS + [
    "..",
    "td/..",
    "/..",
    "../td[3]",
    "parent::summary/following-sibling::div/p[1]",
    "ancestor::x",
    "ancestor-or-self::x",
    "preceding::x[1]",
    "preceding-sibling::x",
    "following::x",
    "following-sibling::x[last()]/td",
    "@href",
    "td/@href[1]",
    "attribute::x",
    "namespace::x",
    "text()",
    "td/text()",
    "node()",
    "comment()",
    "processing-instruction()",
    "ns:td",
    "td/ns:*",
    "/.",
    "td//.",
]
NOT_RELATIVE_PATHS = [
    "",
    "/",
    "//td",
    "///td",
    "td/",
    "td//",
    "td | a",
    "td|a",
    ".. | ..",
    "td or a",
    "../td = 'x'",
    "td[",
    "td]",
    "td[1",
    "td['x]",
    ".[1]",
    "..[1]",
    "td [1]",
    " td",
    ".. /td",
    "count(td)",
    "(td)",
    "(..)[1]",
    "td[1]x",
    "f()",
    "id('x')/td",
    "$v",
    "td[$v]",
    "$v/td",
    "..//a[@x='$']",  # no $ at all, not even quoted
    "1",
    "td/-",
    "nosuch::td",
    "*:td",
]


@pytest.fixture(scope="module")
def shapes(tmp_path_factory):
    if COMPILER is None:
        pytest.skip("no C++ compiler")
    program = tmp_path_factory.mktemp("row_shapes") / "row_shapes"
    subprocess.run(
        [
            COMPILER,
            "-std=c++17",
            "-O1",
            "-Wall",
            "-Werror",
            f"-I{SOURCES}",
            str(SOURCES / "row_shapes.cpp"),
            str(ROOT / "tests" / "native" / "row_shapes_main.cpp"),
            "-o",
            str(program),
        ],
        check=True,
    )

    def ask(kind, rules, text=False):
        lines = "".join(f"{kind} {rule}\n" for rule in rules)
        out = subprocess.run([str(program)], input=lines.encode(), capture_output=True, check=True).stdout
        if text:
            return dict(zip(rules, out.decode().split("\n")))
        return dict(zip(rules, (answer == b"1" for answer in out.split())))

    return ask


@pytest.mark.parametrize(
    "kind, rules, expected",
    [
        ("row", ROW_SELECTORS, True),
        ("row", NOT_ROW_SELECTORS, False),
        ("end", DOWNWARD_PATHS, True),
        ("end", NOT_DOWNWARD_PATHS, False),
        ("rel", RELATIVE_PATHS, True),
        ("rel", NOT_RELATIVE_PATHS, False),
    ],
)
def test_rule_shapes(shapes, kind, rules, expected):
    answers = shapes(kind, rules)
    assert [rule for rule, shaped in answers.items() if shaped != expected] == []


# `//` before a child step whose predicates are all comparisons is
# `/descendant::`; anything that may depend on the position stays.
DESCENDANT_FORMS = [
    ("//table[@id='items']/tr", "/descendant::table[@id='items']/tr"),
    ("//div[@id='f']//dd[@class='b']", "/descendant::div[@id='f']/descendant::dd[@class='b']"),
    ("a//*[@x != 'y'][@n >= 2]/b", "a/descendant::*[@x != 'y'][@n >= 2]/b"),
    ("//t[@a='[x]' or @b<1]", "/descendant::t[@a='[x]' or @b<1]"),
    ("//t", "/descendant::t"),
    ("/html//t[a = b]", "/html/descendant::t[a = b]"),
    ("//t[1]", "//t[1]"),
    ("//t[@id='a'][1]", "//t[@id='a'][1]"),
    ("//t[1][@id='a']", "//t[1][@id='a']"),
    ("//t[@n - 1]", "//t[@n - 1]"),
    ("//t[@id]", "//t[@id]"),
    ("//t[a[@b='c']]", "//t[a[@b='c']]"),
    ("//t['=']", "//t['=']"),
    ("//t[last() = 1]", "//t[last() = 1]"),
    ("//t[@a = string(b)]", "//t[@a = string(b)]"),
    ("//@id", "//@id"),
    ("//child::t[@a='b']", "//child::t[@a='b']"),
    ("//text()", "//text()"),
    ("//.", "//."),
    ("//ns:t[@a='b']", "//ns:t[@a='b']"),
    ("//t[@a='b'] | //u[@a='b']", "//t[@a='b'] | //u[@a='b']"),
    ("(//t[@a='b'])", "(//t[@a='b'])"),
    ("//t[@a='b", "//t[@a='b"),
    ("td", "td"),
    ("", ""),
]


def test_descendant_forms(shapes):
    rules = [rule for rule, _ in DESCENDANT_FORMS]
    assert shapes("dsc", rules, text=True) == dict(DESCENDANT_FORMS)
