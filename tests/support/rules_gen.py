"""Generated field definitions, good and bad, and pages on which every
element they name occurs: for pitting the rules check against extraction."""

import random

TAGS = ("h1", "p", "a", "li", "span")

# XPath shapes over a tag T: elements, text and attribute nodes, unions,
# unknown functions and prefixes, syntax errors, numbers and strings.
ELEMENT_SHAPES = (
    "//T",
    "//T[1]",
    "(//T)[2]",
    "//T/..",
    "//T/self::node()",
    "//T[contains(@class, 'x')]",
    "//T | //h1",
    "//T/text()/..",
    "//T/ancestor::node()",
)
OTHER_SHAPES = (
    "//T/text()",
    "//T//text()",
    "//T/text()[1]",
    "(//T/text())[1]",
    "//T/node()",
    "//T/node()[2]",
    "//T/comment()",
    "//T/@class",
    "//T/@*",
    "//T/attribute::id",
    "//T/text() | //h1",
    "//h1 | //T/@class",
    "//T[has-class('x')]",
    "//T[lower-case(.) = 'a']",
    "//x:T",
    "//T[@id = $v]",
    "//T[",
    "count(//T)",
    "string(//T)",
    "//T[1] = 'a'",
    "//T/descendant-or-self::node()",
)
GOOD_TYPES = (None, "text", "text:x", "attr:href", "attr:id")
BAD_TYPES = ("attr", "attr:", "txt", "link:href")
CONSTANTS = ("Acme", "./h1", "h1.main span", "")
LIST_PAIRS = (
    ("//ul/li[1]", "//ul/li[2]"),
    ("//ul/li[1]/text()", "//ul/li[2]/text()"),
    ("//ul/li[1]/@class", "//ul/li[2]/@class"),
    ("//ul/li/a", "//ul/p/a"),
    ("//ul/li[last()]", "//ul/li[2]"),
    ("//ul/li[1]/b", "//ul/li[2]/b"),
    ("//ul/li[1]", "//ul/li[2]["),
    ("//ul/li[1][has-class('x')]", "//ul/li[2]"),
)
RULE_KEYS = ("rules",) * 9 + ("rule",)


def field_definition(rng):
    """One field definition: usually an XPath field, sometimes a list rule,
    a constant, a misspelt key or a wrong type."""
    what = rng.random()
    if what < 0.15:
        rules = list(rng.choice(LIST_PAIRS))
    elif what < 0.25:
        rules = rng.choice(CONSTANTS)
    else:
        shapes = ELEMENT_SHAPES if rng.random() < 0.6 else OTHER_SHAPES
        rules = rng.choice(shapes).replace("T", rng.choice(TAGS))
    definition = {rng.choice(RULE_KEYS): rules}
    kind = rng.choice(GOOD_TYPES if rng.random() < 0.8 else BAD_TYPES)
    if kind is not None:
        definition["type"] = kind
    return definition


def rules_conf(rng, fields=2):
    """A rules mapping of one rule entry with ``fields`` generated fields."""
    entry = {f"f{i}": field_definition(rng) for i in range(fields)}
    return {"value_separator": " ", "rules": [entry]}


def pages(count=4, seed=0):
    """Pages that all hold every tag of ``TAGS``, each element with text, a
    comment and the attributes that the XPaths and attr rules name, so that
    a rule meets the same kinds of node on every page; the pages differ in
    their texts and in the number of list items."""
    rng = random.Random(seed)
    made = []
    for number in range(count):
        attrs = f"href='/p{number}' id='i{number}' class='x y'"
        items = "".join(
            f"<li {attrs}><b {attrs}>{rng.randint(1, 99)}</b> item<!-- c --></li>" for _ in range(1 + number % 3)
        )
        made.append(
            f"<html {attrs}><body {attrs}><h1 {attrs}>Title {number}<!-- c --></h1><!-- note -->"
            f"<p {attrs}>text<!-- c --> <span {attrs}>in<!-- c --></span> p</p><a {attrs}>link<!-- c --></a>"
            f"<ul {attrs}><li {attrs}><a {attrs}>one</a><!-- c --></li>{items}</ul></body></html>"
        )
    return made


# -- Random XPaths, for the reading of what an XPath can select ---------------

AXES = ("", "", "", "child::", "descendant::", "self::", "parent::", "ancestor::", "following-sibling::", "@")
NODE_TESTS = ("*", "p", "li", "a", "node()", "text()", "comment()", "class", "id")
PREDICATES = ("", "", "[1]", "[2]", "[@id]", "[text()]", "[last()]", "[position() < 3]")


def random_xpath(rng, depth=0):
    """An XPath 1.0 location path, union or bracketed expression over the
    tags of ``pages``: a mix that gives elements, text, attributes,
    comments, or several kinds at once."""
    what = rng.random()
    if depth < 2 and what < 0.15:
        return f"{random_xpath(rng, depth + 1)} | {random_xpath(rng, depth + 1)}"
    if depth < 2 and what < 0.25:
        return f"({random_xpath(rng, depth + 1)}){rng.choice(PREDICATES[2:])}"
    steps = []
    for _ in range(rng.randint(1, 3)):
        axis = rng.choice(AXES)
        test = rng.choice(NODE_TESTS)
        if axis == "@" and test in ("node()", "text()", "comment()"):
            test = "*"
        steps.append(("//" if rng.random() < 0.5 else "/") + axis + test + rng.choice(PREDICATES))
    if rng.random() < 0.1:
        steps.append(rng.choice(("/..", "/.", "/self::node()")))
    return "/" + "".join(steps)[1:] if steps[0].startswith("//") else "/" + "".join(steps)


class _Str(str):
    pass


class _List(list):
    pass


def records(rng, count):
    """Records as the parsers give them (field key -> str or list of str) and
    odd ones beside them: lists of unequal lengths, empty lists, values
    that are not str, subclasses of str and list, one field alone."""
    texts = ("a", "", "北京", 'q"\\', "\ud800", " x ", "\n")
    for _ in range(count):
        fields = rng.randint(1, 5)
        length = rng.choice((0, 1, 2, 3, 7))
        record = {}
        for k in range(fields):
            kind = rng.random()
            if kind < 0.45:
                value = rng.choice(texts)
            elif kind < 0.9:
                n = length if rng.random() < 0.9 else rng.choice((0, 1, 4))
                value = [rng.choice(texts) for _ in range(n)]
            else:
                value = rng.choice((5, None, _Str("s"), _List(["s"] * length), ["s", 3][: max(1, length)]))
            record[rng.choice(("f%d" % k, "北%d" % k))] = value
        yield record
