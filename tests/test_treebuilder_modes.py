"""The native tree builder in the modes of Debian 12's later html.parser
(python3.11 3.11.2-6+deb12u8 and +deb12u9) against soupparser running on
that very html.parser, in a child process (tests/support/parser_modes.py):
the quirk catalogue, the changed constructs, the corpus and bundled pages,
the hostile pages and a fuzzing batch give the same canonical outcome, or
the builder declines.

A mode whose html.parser is not here (tools/fetch_python_patches.sh fetches
them) is skipped with the reason.
"""

import functools
import types

import pytest

from tests.support import parser_modes
from tests.support.treecanon import native_builder

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

builder, WHY_NOT = native_builder()
needs_builder = pytest.mark.skipif(builder is None, reason=WHY_NOT or "")

SETS = {
    "quirk catalogue": parser_modes.catalogue,
    "changed constructs": parser_modes.changed_constructs,
    "pages": parser_modes.pages,
    "hostile pages": parser_modes.hostile,
    "fuzzing": lambda: parser_modes.fuzz_documents(400, seed=20261208),
}


def needs_sources(mode):
    if parser_modes.stdlib_dir(mode) is None:
        pytest.skip(parser_modes.why_missing(mode))


@functools.cache
def documents(name):
    return tuple(SETS[name]())


@needs_builder
@pytest.mark.parametrize("name", list(SETS))
@pytest.mark.parametrize("mode", sorted(parser_modes.MODES))
def test_mode_gives_soupparsers_tree_on_that_html_parser(mode, name):
    needs_sources(mode)
    texts = documents(name)
    if not texts:
        pytest.skip(f"no documents in the {name}")
    result = parser_modes.differential(builder, mode, texts)
    report = "\n\n".join(f"{text[:300]!r}\n{diff}" for text, diff in result["differences"])
    assert not result["differences"], report
    # Declining everything would pass too: most documents are built.
    assert result["built"] >= result["documents"] // 2, result["reasons"]


# --- the comparison sees the changes ----------------------------------------------------


@needs_builder
@pytest.mark.parametrize(
    ("mode", "reference"),
    [("classic", "deb12u8"), ("classic", "deb12u9"), ("deb12u8", "deb12u9"), ("deb12u9", "deb12u8")],
)
def test_other_mode_differs_from_the_reference(mode, reference):
    needs_sources(reference)
    result = parser_modes.differential(builder, mode, documents("changed constructs"), reference=reference)
    assert result["differences"]


# One document per change, and the mode that first makes it: the builder in
# that mode differs from the builder in the mode before.
CHANGES = [
    ("<p>a<!-- open comment", "deb12u8"),
    ("<p>a<![CDATA[open", "deb12u8"),
    ("<p>a<!DOCTYPE open", "deb12u8"),
    ("<p>a<?open", "deb12u8"),
    ("<p>a</1 open", "deb12u8"),
    ("<p>a<b c=d", "deb12u8"),
    ("<script>a</script x>b</script>c", "deb12u9"),
    ("<script>a</script/>b</script>c", "deb12u9"),
    ("<script>left open", "deb12u9"),
    ("<p>a</ p>b", "deb12u9"),
    ("<p>a<![if x]>b", "deb12u9"),
    ("<p>a</b c='>'>d", "deb12u9"),
    ("<p a\u00a0b=c>x</p>", "deb12u9"),
]
BEFORE = {"deb12u8": "classic", "deb12u9": "deb12u8"}


@needs_builder
@pytest.mark.parametrize(("text", "mode"), CHANGES)
def test_mode_changes_the_tree(text, mode):
    from tests.support.treecanon import canonical

    before, reason = builder.build_with_reason(text, BEFORE[mode])
    after, why = builder.build_with_reason(text, mode)
    assert after is not None, why
    assert before is None or canonical(before) != canonical(after)


@needs_builder
@pytest.mark.parametrize("mode", ["", "DEB12U9", "deb12u10", "3.11.2"])
def test_unknown_mode_is_refused(mode):
    with pytest.raises(ValueError, match="mode"):
        builder.build("<p>x</p>", mode)


@needs_builder
def test_classic_is_the_default_mode():
    from tests.support.treecanon import canonical

    text = "<p>a<!-- open comment"
    assert canonical(builder.build(text)) == canonical(builder.build(text, "classic"))
    assert canonical(builder.build(text)) != canonical(builder.build(text, mode="deb12u8"))


# --- the gate -------------------------------------------------------------------------

from ostrel.crawler.field_extractor.utils import _treegate  # noqa: E402 - after the builder's own checks

DEBIAN_3_11_2 = (3, 11, 2)
DEBIAN_MODES = sorted(_treegate.PROVEN_PARSER_MODES[DEBIAN_3_11_2])


@pytest.mark.parametrize("mode", DEBIAN_MODES)
def test_gate_records_the_html_parser_the_mode_was_proven_on(mode):
    assert _treegate.PROVEN_PARSER_MODES[DEBIAN_3_11_2][mode]["html.parser"] == parser_modes.MODES[mode][1]
    lib = parser_modes.stdlib_dir(mode)
    if lib is None:
        pytest.skip(parser_modes.why_missing(mode))
    import hashlib

    for name, path in [
        ("html", "html/__init__.py"),
        ("html.entities", "html/entities.py"),
        ("_markupbase", "_markupbase.py"),
    ]:
        digest = hashlib.sha256((lib / path).read_bytes()).hexdigest()
        assert _treegate.PROVEN_PARSER_MODES[DEBIAN_3_11_2][mode][name] == digest


def pretend(monkeypatch, python, digests):
    """The gate on `python`, its modules' sources hashing to `digests`
    (the libraries' to the recorded ones)."""
    monkeypatch.setattr(_treegate, "sys", types.SimpleNamespace(version_info=python + ("final", 0)))
    monkeypatch.setattr(_treegate, "_source_digest", lambda name: {**_treegate.PROVEN_SOURCES, **digests}[name])


@pytest.mark.skipif(_treegate.check() is not None, reason=f"the gate is off here: {_treegate.DISABLED_REASON}")
@pytest.mark.parametrize("mode", ["classic"] + DEBIAN_MODES)
def test_gate_picks_the_mode_of_the_installed_html_parser(monkeypatch, mode):
    combination = dict(_treegate._combinations(DEBIAN_3_11_2))[mode]
    pretend(monkeypatch, DEBIAN_3_11_2, combination)
    assert _treegate.detect() == (mode, None)
    build, chosen, reason = _treegate._load()
    assert (chosen, reason) == (mode, None)
    if builder is not None:
        text = "<p>a<!-- open comment"
        assert build(text) is not None
        from tests.support.treecanon import canonical

        assert canonical(build(text)) == canonical(builder.build(text, mode))


@pytest.mark.skipif(_treegate.check() is not None, reason=f"the gate is off here: {_treegate.DISABLED_REASON}")
@pytest.mark.parametrize(
    ("module", "python"),
    [("html.parser", (3, 11, 2)), ("_markupbase", (3, 11, 2)), ("html.parser", (3, 11, 7))],
)
def test_gate_refuses_an_unproven_html_parser(monkeypatch, module, python):
    # deb12u9's html.parser with another module changed, or on a Python it
    # was not proven on.
    digests = dict(_treegate.PROVEN_PARSER_MODES[DEBIAN_3_11_2]["deb12u9"])
    if module != "html.parser" or python == DEBIAN_3_11_2:
        digests[module] = "0" * 64
    pretend(monkeypatch, python, {**_treegate.PROVEN_PYTHONS[python], **digests})
    mode, reason = _treegate.detect()
    assert mode is None and module in reason
    assert _treegate._load()[0] is None


def test_gate_refuses_a_mode_the_native_module_lacks(monkeypatch):
    if builder is None or _treegate.check() is not None:
        pytest.skip("the gate is off here")
    pretend(monkeypatch, DEBIAN_3_11_2, _treegate.PROVEN_PARSER_MODES[DEBIAN_3_11_2]["deb12u9"])
    monkeypatch.setattr(builder, "MODES", ("classic",))
    build, mode, reason = _treegate._load()
    assert build is None and "deb12u9" in reason


def test_gate_names_the_proven_combinations():
    named = _treegate.proven_combinations()
    assert "Python 3.11.2, html.parser classic" in named
    assert {f"Python 3.11.2, html.parser {mode}" for mode in DEBIAN_MODES} <= set(named)
    assert len(named) == len(_treegate.PROVEN_PYTHONS) + sum(map(len, _treegate.PROVEN_PARSER_MODES.values()))
    assert all(python in _treegate.PROVEN_PYTHONS for python in _treegate.PROVEN_PARSER_MODES)
