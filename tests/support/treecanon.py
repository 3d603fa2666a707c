"""A canonical, exactly comparable form of an lxml tree, and the reference
way of building a page's tree.

`canonical(element)` walks the whole tree that `element` belongs to (from
`getroottree()`: the top-level comments and processing instructions before
and after the root element too) and gives one line per node in document
order. A line holds everything an extraction or a serialisation could see:
the depth, the node's class (HtmlElement and its subclasses, HtmlComment,
processing instructions, entities), the tag, the namespace prefix and map,
the attributes in their order, text and tail (None is not ''), the source
line, and a mark on the node that was returned. The first lines describe
the document (docinfo, internal DTD, parser) and the returned element's
class; the last is the serialised document.

`slow_path(text)` is what requests_html does for `doc.lxml`: soupparser
with html.parser, and lxml's own parser on the encoded page when that
raises ValueError.
"""

import warnings

import lxml.html
from lxml import etree
from lxml.html import soupparser

__all__ = ["canonical", "compare", "explain", "first_difference", "native_builder", "outcome", "slow_path", "soup_path"]


def soup_path(text):
    """What soupparser builds from the text (html.parser tokenizer)."""
    return soupparser.fromstring(text, features="html.parser")


def slow_path(text):
    """The tree that requests_html gives as `doc.lxml` for a page `text`."""
    try:
        return soup_path(text)
    except ValueError:
        return lxml.html.fromstring(text.encode("utf-8"))


def _docinfo(tree):
    info = tree.docinfo
    fields = []
    for name in ("public_id", "system_url", "doctype", "root_name", "xml_version", "encoding", "standalone", "URL"):
        try:
            value = getattr(info, name)
        except Exception as error:  # noqa: BLE001 - a field that cannot be read is part of the picture
            value = f"<{type(error).__name__}>"
        fields.append(f"{name}={value!r}")
    dtd = info.internalDTD
    if dtd is not None:
        fields.append(f"dtd=({dtd.name!r}, {dtd.external_id!r}, {dtd.system_url!r})")
    parser = tree.parser
    fields.append(f"parser={'lxml.html.html_parser' if parser is lxml.html.html_parser else type(parser).__name__}")
    return "document " + " ".join(fields)


def _serialised(tree):
    """The whole document as lxml writes it: a check on what the walk
    might not see."""
    try:
        return "serialised " + etree.tostring(tree, encoding="unicode")
    except Exception as error:  # noqa: BLE001 - part of the picture too
        return f"serialised <{type(error).__name__}>"


def _node_line(node, depth, returned):
    kind = type(node).__name__
    mark = " <returned>" if node is returned else ""
    head = f"{depth:>4} {kind}"
    tag = node.tag
    if tag is etree.Comment:
        body = f"comment text={node.text!r}"
    elif tag is etree.ProcessingInstruction:
        body = f"pi target={node.target!r} text={node.text!r}"
    elif tag is etree.Entity:
        body = f"entity name={node.name!r} text={node.text!r}"
    else:
        attrs = ", ".join(f"{k!r}: {v!r}" for k, v in node.attrib.items())
        nsmap = dict(node.nsmap)
        body = f"<{tag!r}> prefix={node.prefix!r}"
        if nsmap:
            body += f" nsmap={sorted(nsmap.items(), key=repr)!r}"
        body += f" attrs={{{attrs}}} text={node.text!r}"
    return f"{head} {body} tail={node.tail!r} line={node.sourceline!r}{mark}"


def canonical(element):
    """One line per node of the whole tree of `element`, in document order.

    None (a builder that bailed out) canonicalises to None.
    """
    if element is None:
        return None
    tree = element.getroottree()
    top = tree.getroot()
    lines = [_docinfo(tree), f"returned {type(element).__name__}"]
    if top is None:
        lines.append(_node_line(element, 0, element))
        lines.append(_serialised(tree))
        return lines
    tops = list(top.itersiblings(preceding=True))[::-1] + [top] + list(top.itersiblings())
    for node in tops:
        # Iterative walk: pages can nest deeper than the interpreter's stack.
        stack = [(node, 0)]
        while stack:
            current, depth = stack.pop()
            lines.append(_node_line(current, depth, element))
            stack.extend((child, depth + 1) for child in reversed(current))
    lines.append(_serialised(tree))
    return lines


def outcome(build, text):
    """("tree", canonical lines and the warnings given), ("none", None) when
    the builder bailed out, or ("raised", exception class name)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            root = build(text)
        except Exception as error:  # noqa: BLE001 - compared between the two builders
            return ("raised", type(error).__name__)
    if root is None:
        return ("none", None)
    # BeautifulSoup warns about markup that looks like XML, a URL or a file
    # name; a builder that builds such a page silently changes what the
    # caller sees (and fails where warnings are errors).
    given = sorted({w.category.__name__ for w in caught})
    return ("tree", canonical(root) + [f"warnings {given}"])


def first_difference(a, b, context=2):
    """A readable account of where two canonical forms part, or None when
    they are equal."""
    if a == b:
        return None
    if a is None or b is None or isinstance(a, str) or isinstance(b, str):
        return f"{a!r:.300}\n  !=\n{b!r:.300}"
    for index, (x, y) in enumerate(zip(a, b)):  # noqa: B007 - index is read after the loop
        if x != y:
            break
    else:
        index = min(len(a), len(b))
    before = a[max(0, index - context) : index]
    out = [f"first difference at line {index} of {len(a)} / {len(b)}"]
    out += [f"    {_clip(line)}" for line in before]
    x = a[index] if index < len(a) else "<end>"
    y = b[index] if index < len(b) else "<end>"
    if len(x) > _WIDTH or len(y) > _WIDTH:
        column = next((i for i, (p, q) in enumerate(zip(x, y)) if p != q), min(len(x), len(y)))
        start = max(0, column - _WIDTH // 2)
        out.append(f"  (lines part at column {column}; showing from column {start})")
        x, y = x[start : start + _WIDTH], y[start : start + _WIDTH]
    out.append(f"  - {x}")
    out.append(f"  + {y}")
    return "\n".join(out)


_WIDTH = 400


def _clip(line):
    return line if len(line) <= _WIDTH else line[:_WIDTH] + " ..."


BUILDER = "ostrel.crawler.field_extractor.utils._treebuilder"
GATE = "ostrel.crawler.field_extractor.utils._treegate"


class InMode:
    """The native builder module, building in the html.parser mode the gate
    chose (that of this interpreter's html.parser) unless told another."""

    def __init__(self, module, mode):
        self.module, self.mode = module, mode

    def __getattr__(self, name):
        return getattr(self.module, name)

    def build(self, text, mode=None, **options):
        return self.module.build(text, self.mode if mode is None else mode, **options)

    def build_with_reason(self, text, mode=None, **options):
        return self.module.build_with_reason(text, self.mode if mode is None else mode, **options)


def native_builder():
    """(the native builder module, in the gate's html.parser mode, None), or
    (None, why it cannot be used)."""
    import importlib

    try:
        module = importlib.import_module(BUILDER)
    except ImportError as error:
        return None, f"the native tree builder is not built here ({error})"
    try:
        gate = importlib.import_module(GATE)
    except ImportError:
        return module, None
    enabled = getattr(gate, "ENABLED", True)
    if not enabled:
        return None, f"the native tree builder is switched off: {getattr(gate, 'DISABLED_REASON', None)}"
    return InMode(module, getattr(gate, "MODE", None) or "classic"), None


def compare(build, text):
    """None when `build` agrees with the slow path on `text` (same tree,
    same exception kind, or `build` bailed out with None), else an account
    of the first difference ("-" the slow path, "+" the builder)."""
    return explain(outcome(build, text), text)


def explain(got, text):
    """`compare` for a builder outcome (see `outcome`) already in hand."""
    if got[0] == "none":
        return None
    want = outcome(slow_path, text)
    if got == want:
        return None
    if got[0] != want[0] or got[0] == "raised":
        return (
            f"builder {got[0]} {got[1] if got[0] == 'raised' else ''}, slow path {want[0]} "
            f"{want[1] if want[0] == 'raised' else ''}"
        )
    return first_difference(want[1], got[1])
