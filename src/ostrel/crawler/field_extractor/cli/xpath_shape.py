"""What an XPath can select, read from its text.

The text and attribute parsers need elements: a result item that is a text
node, an attribute value, a comment or a number has no ``element`` and
extraction fails wherever the XPath matches. ``non_element_branch`` finds the
part of an XPath that can give such items: any branch of a union, and any
step that ends the path (after its predicates, inside parentheses), not only
the last step of the text. ``unknown_functions`` names the function calls
that lxml does not have (``has-class()``): lxml compiles them and fails only
when a predicate that calls them is evaluated, which on a page without the
step's elements never happens.
"""

import re

__all__ = ["tokens", "non_element_branch", "undefined_names", "unknown_functions"]

_TOKEN = re.compile(
    r"""\s*(?:
      (?P<string>"[^"]*"|'[^']*')
    | (?P<number>\d+(?:\.\d*)?|\.\d+)
    | (?P<op>//|::|\.\.|!=|<=|>=|[/()\[\]@,|+=<>*.-])
    | (?P<var>\$[^\s/()\[\]@,|+=<>*!:]+(?::[^\s/()\[\]@,|+=<>*!:]+)?)
    | (?P<name>[^\s/()\[\]@,|+=<>*!:"'$.\d-][^\s/()\[\]@,|+=<>*!:"'$]*
                (?::(?:\*|[^\s/()\[\]@,|+=<>*!:"'$]+))?)
    )""",
    re.VERBOSE,
)

NODE_TYPES = frozenset(("node", "text", "comment", "processing-instruction"))
# The XPath 1.0 function library, which is what lxml evaluates without
# extensions; ``id`` is the one that returns elements.
CORE_FUNCTIONS = frozenset(
    "last position count id local-name namespace-uri name string concat "
    "starts-with contains substring-before substring-after substring "
    "string-length normalize-space translate boolean not true false lang "
    "number sum floor ceiling round".split()
)
_OPERATOR_NAMES = frozenset(("and", "or", "mod", "div"))
_BINARY = frozenset(("=", "!=", "<", ">", "<=", ">=", "+", "-", "*", "and", "or", "mod", "div"))
_NON_ELEMENT_AXES = frozenset(("attribute", "namespace"))
_SAME_NODE_AXES = frozenset(("self", "ancestor-or-self", "descendant-or-self"))


def tokens(xpath):
    """The XPath's tokens; see ``_spans``."""
    return [(kind, value) for kind, value, _ in _spans(xpath)]


def _spans(xpath):
    """The XPath's tokens as (kind, text, start) triples as (kind, text) pairs: kind is string, number, op,
    var, name, or operator for a binary operator (``*`` and the operator
    names included, told apart from a name test as XPath does: by what comes
    before). Raises ValueError on a character that starts no token."""
    found = []
    pos = 0
    text = xpath.rstrip()
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if match is None or match.end() == pos:
            raise ValueError(f"cannot read the XPath at {text[pos : pos + 20]!r}")
        kind = match.lastgroup
        value = match.group(kind)
        if _after_operand(found) and (value == "*" or (kind == "name" and value in _OPERATOR_NAMES)):
            kind = "operator"
        elif kind == "op" and value in _BINARY and value != "*":
            kind = "operator"
        found.append((kind, value, match.start(match.lastgroup)))
        pos = match.end()
    return found


def _after_operand(found):
    if not found:
        return False
    kind, value = found[-1][:2]
    if kind in ("string", "number", "var", "name"):
        return True
    return kind == "op" and value in (")", "]", ".", "..", "*")


def _split_top(toks, value):
    """The token list cut at each top-level ``value`` token."""
    parts, current, depth = [], [], 0
    for tok in toks:
        if tok[1] in ("(", "["):
            depth += 1
        elif tok[1] in (")", "]"):
            depth -= 1
        if depth == 0 and tok == ("op", value):
            parts.append(current)
            current = []
        else:
            current.append(tok)
    parts.append(current)
    return parts


def _opening(toks, close):
    """Index of the bracket that opens the one closing ``toks`` at the end."""
    opener = "(" if close == ")" else "["
    depth = 0
    for i in range(len(toks) - 1, -1, -1):
        value = toks[i][1]
        if value == close and toks[i][0] == "op":
            depth += 1
        elif value == opener and toks[i][0] == "op":
            depth -= 1
            if depth == 0:
                return i
    return 0


def _without_last_step(toks):
    for i in range(len(toks) - 1, -1, -1):
        if toks[i][0] == "op" and toks[i][1] in ("/", "//"):
            return toks[:i]
    return []


def _gives_elements(toks):
    """False when the path can give something other than elements; True
    when it gives elements (or the document, for "/" alone)."""
    if not toks:
        return True
    if any(kind == "operator" for kind, _ in _top_level(toks)):
        return False  # a comparison, sum, ... gives a boolean or a number
    branches = _split_top(toks, "|")
    if len(branches) > 1:
        return all(_gives_elements(branch) for branch in branches)
    while toks and toks[-1] == ("op", "]"):
        toks = toks[: _opening(toks, "]")]
    if not toks:
        return True
    kind, value = toks[-1]
    if kind in ("string", "number", "var"):
        return kind == "var"  # a variable's kind is not known here
    if value == ")" and kind == "op":
        start = _opening(toks, ")")
        before = toks[start - 1] if start else None
        if before is None or before[0] != "name":
            return _gives_elements(toks[start + 1 : -1])
        name = before[1]
        if name not in NODE_TYPES:
            return name == "id"
        if name != "node":
            return False
        return _step_gives_elements(toks[: start - 1], toks)
    if value == "..":
        return True
    if value == ".":
        # "//." is every node of the document, text included.
        if len(toks) >= 2 and toks[-2] == ("op", "//"):
            return False
        return _gives_elements(_without_last_step(toks[:-1]))
    if kind == "name" or value == "*":
        return _step_gives_elements(toks[:-1], toks)
    return True


def _step_gives_elements(before, toks):
    """Whether a step whose test is at the end of ``toks``, with ``before``
    the tokens ahead of its test, gives elements."""
    if before and before[-1] == ("op", "@"):
        return False
    axis = before[-2][1] if len(before) >= 2 and before[-1] == ("op", "::") else None
    if axis in _NON_ELEMENT_AXES:
        return False
    if toks[-1] != ("op", ")"):
        return True  # a name test: only elements have names on these axes
    # node(): any node of the axis; text and comments on the child axes.
    if axis in _SAME_NODE_AXES and axis != "descendant-or-self":
        rest = before[:-2]
        if rest and rest[-1] == ("op", "//"):
            return False  # after "//", the context is any node
        return _gives_elements(rest[:-1] if rest and rest[-1][1] == "/" else rest)
    return axis in ("parent", "ancestor")


def _top_level(toks):
    return (tok for _, tok in _top_level_indexed(toks))


def _top_level_indexed(toks):
    depth = 0
    for i, tok in enumerate(toks):
        if tok[1] in ("(", "[") and tok[0] == "op":
            depth += 1
        elif tok[1] in (")", "]") and tok[0] == "op":
            depth -= 1
        elif depth == 0:
            yield i, tok


def non_element_branch(xpath):
    """The part of ``xpath`` (a union branch, or the whole) that can give
    text, attribute values, comments or numbers instead of elements, or
    None when it gives elements only. An XPath that cannot be read is left
    to the compiler (None)."""
    try:
        spans = _spans(xpath)
    except ValueError:
        return None
    toks = [(kind, value) for kind, value, _ in spans]
    if any(kind == "operator" for kind, _ in _top_level(toks)):
        return xpath.strip()
    bars = [spans[i][2] for i, tok in _top_level_indexed(toks) if tok == ("op", "|")]
    if not bars:
        return None if _gives_elements(toks) else xpath.strip()
    cuts = [-1, *bars, len(xpath)]
    for start, end in zip(cuts, cuts[1:]):
        branch = xpath[start + 1 : end]
        if not _gives_elements(tokens(branch)):
            return branch.strip()
    return None


def unknown_functions(xpath):
    """Names of the functions that ``xpath`` calls and lxml does not have,
    in order of appearance."""
    try:
        toks = tokens(xpath)
    except ValueError:
        return []
    names = []
    for i, (kind, value) in enumerate(toks[:-1]):
        if kind != "name" or toks[i + 1] != ("op", "("):
            continue
        if value in NODE_TYPES or value in CORE_FUNCTIONS or value in names:
            continue
        names.append(value)
    return names


def undefined_names(xpath):
    """The first variable ($v) or namespace prefix (x:) that ``xpath`` uses,
    as text, or None: the extractor defines neither, so evaluating a step
    that uses one fails."""
    try:
        toks = tokens(xpath)
    except ValueError:
        return None
    for i, (kind, value) in enumerate(toks):
        if kind == "var":
            return f"the variable {value}"
        if kind == "name" and ":" in value:
            if i + 1 < len(toks) and toks[i + 1] == ("op", "("):
                continue  # a prefixed function: unknown_functions names it
            return f"the namespace prefix {value.split(':')[0]}:"
    return None
