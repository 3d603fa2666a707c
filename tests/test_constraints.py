"""constraints/fast-tree.txt names the versions that the tree gate proves."""

import re
from pathlib import Path

import pytest

from ostrel.crawler.field_extractor.utils import _treegate

CONSTRAINTS = Path(__file__).resolve().parents[1] / "constraints" / "fast-tree.txt"


def parse_constraints(text):
    """({distribution: version} of the ``name==version`` lines, comment text)."""
    pins, comments = {}, []
    for raw in text.splitlines():
        line = raw.strip()
        if line.startswith("#"):
            comments.append(line.lstrip("#").strip())
            continue
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        match = re.fullmatch(r"([A-Za-z0-9._-]+)\s*==\s*([^\s;]+)", line)
        if match is None:
            raise ValueError(f"not an exact pin: {raw!r}")
        name = re.sub(r"[-_.]+", "-", match.group(1)).lower()
        if name in pins:
            raise ValueError(f"{name} is pinned twice")
        pins[name] = match.group(2)
    return pins, " ".join(comments)


def dotted(version):
    return ".".join(map(str, version))


def check_agreement(constraints_text, distributions, pythons, lxml, libxml):
    """The differences between a constraints text and the gate's versions
    (``pythons``: the Python minor versions with a proven combination)."""
    pins, comments = parse_constraints(constraints_text)
    problems = []
    if pins != distributions:
        problems.append(f"pins {pins} != proven {distributions}")
    try:
        lxml_pin = tuple(map(int, pins.get("lxml", "").split(".")))
    except ValueError:
        lxml_pin = ()
    if lxml_pin + (0,) * (4 - len(lxml_pin)) != lxml:
        problems.append(f"lxml pin {pins.get('lxml')} != LXML_VERSION {lxml}")
    named = "Python " + ", ".join(dotted(version) for version in sorted(pythons))
    # The whole list: not the first of a longer one.
    if re.search(re.escape(named) + r"(?![\d.]|, \d)", comments) is None:
        problems.append(f"the comments do not name {named}")
    if f"libxml2 {dotted(libxml)}" not in comments:
        problems.append(f"the comments do not name libxml2 {dotted(libxml)}")
    return problems


def gate_versions():
    return dict(
        distributions=_treegate.PROVEN_DISTRIBUTIONS,
        pythons=tuple(_treegate.proven_pythons()),
        lxml=_treegate.PROVEN_LXML,
        libxml=_treegate.PROVEN_LIBXML,
    )


def test_the_shipped_file_agrees_with_the_gate():
    assert check_agreement(CONSTRAINTS.read_text("utf-8"), **gate_versions()) == []


@pytest.mark.parametrize(
    "old, new",
    [
        ("beautifulsoup4==4.15.0", "beautifulsoup4==4.15.1"),
        ("lxml==6.2.1", "lxml==6.3.0"),
        ("requests-html==0.10.0\n", ""),
        ("requests-html==0.10.0", "requests-html==0.10.0\nsoupsieve==2.5"),
        ("Python 3.11,", "Python 3.10,"),
        ("3.14, 3.15", "3.14"),
        ("libxml2 2.14.6", "libxml2 2.13.8"),
    ],
)
def test_a_file_updated_alone_disagrees(old, new):
    text = CONSTRAINTS.read_text("utf-8")
    assert old in text
    assert check_agreement(text.replace(old, new), **gate_versions()) != []


@pytest.mark.parametrize(
    "field, value",
    [
        ("distributions", {"beautifulsoup4": "4.16.0", "lxml": "6.2.1", "requests-html": "0.10.0"}),
        ("pythons", ((3, 11), (3, 12))),
        ("lxml", (6, 2, 2, 0)),
        ("libxml", (2, 14, 7)),
    ],
)
def test_a_gate_updated_alone_disagrees(field, value):
    versions = gate_versions()
    versions[field] = value
    assert check_agreement(CONSTRAINTS.read_text("utf-8"), **versions) != []


def test_loose_pins_are_refused():
    with pytest.raises(ValueError):
        parse_constraints("lxml>=6.2.1\n")
