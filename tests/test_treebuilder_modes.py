"""The native tree builder in the modes of later html.parser versions
(Debian 12's python3.11 3.11.2-6+deb12u8 and +deb12u9, Debian 13's
python3.13 3.13.5, python3.14 3.14.10) against soupparser running on that
very html.parser, in a child process (tests/support/parser_modes.py):
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
    [
        ("classic", "deb12u8"),
        ("classic", "deb12u9"),
        ("deb12u8", "deb12u9"),
        ("deb12u9", "deb12u8"),
        ("deb12u8", "py3.13.5"),
        ("deb12u9", "py3.13.5"),
        ("py3.13.5", "deb12u9"),
        ("deb12u9", "py3.14.10"),
        ("py3.13.5", "py3.14.10"),
    ],
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
    ("<script>left open", "py3.13.5"),
    ("<p>a<![if x]>b", "py3.13.5"),
    ("<a href='x&ampy'>t</a>", "py3.13.5"),
    ("<a href='x&amp=y'>t</a>", "py3.13.5"),
    ("<p a='&amp=x'>t</p>", "py3.14.10"),
    ("<p>a<!--->b-->c", "py3.14.10"),
    ("<p>a<!-- x --!>b", "py3.14.10"),
    ("<p>a<![CDATA[x] ]>b]]>c", "py3.14.10"),
    ("<xmp><b>x</b></xmp>", "py3.14.10"),
    ("<p><iframe><b>x</b></iframe>y", "py3.14.10"),
    ("<title><b>x</b></title>", "py3.14.10"),
    ("<p><plaintext><b>x</b></plaintext>", "py3.14.10"),
    ("<p>a&#65", "py3.14.10"),
    ("<p>a&amp", "py3.14.10"),
]
BEFORE = {"deb12u8": "classic", "deb12u9": "deb12u8", "py3.13.5": "deb12u8", "py3.14.10": "deb12u9"}


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
    module = builder.module
    assert canonical(module.build(text)) == canonical(module.build(text, "classic"))
    assert canonical(module.build(text)) != canonical(module.build(text, mode="deb12u8"))


@needs_builder
def test_tests_build_in_the_mode_of_this_interpreters_html_parser():
    from tests.support.treecanon import canonical

    assert builder.mode == _treegate.MODE
    text = "<p>a<!-- open comment"
    assert canonical(builder.build(text)) == canonical(builder.module.build(text, _treegate.MODE))


# --- the gate -------------------------------------------------------------------------

from ostrel.crawler.field_extractor.utils import _treegate  # noqa: E402 - after the builder's own checks


def combinations_of(mode):
    return [c for c in _treegate.PROVEN_COMBINATIONS if c.mode == mode]


COMBINATIONS = {c.name: c for c in _treegate.PROVEN_COMBINATIONS}


@pytest.mark.parametrize("mode", sorted(parser_modes.MODES))
def test_gate_records_the_html_parser_the_mode_was_proven_on(mode):
    import hashlib

    recorded = combinations_of(mode)
    assert recorded and all(c.stdlib["html.parser"] == parser_modes.MODES[mode].digest for c in recorded)
    lib = parser_modes.source_dir(mode)
    if lib is None:
        pytest.skip(parser_modes.why_missing(mode))
    for name, path in [
        ("html", "html/__init__.py"),
        ("html.entities", "html/entities.py"),
        ("_markupbase", "_markupbase.py"),
    ]:
        digest = hashlib.sha256((lib / path).read_bytes()).hexdigest()
        assert any(c.stdlib[name] == digest for c in recorded)


def pretend(monkeypatch, combination, python=None, **digests):
    """The gate on a later patch release of `combination`'s Python, with its
    Unicode database, its modules' sources hashing to the recorded ones
    (`digests` replacing some) and the libraries' to the recorded ones."""
    python = python or combination.python
    monkeypatch.setattr(_treegate, "sys", types.SimpleNamespace(version_info=python + (99, "final", 0)))
    monkeypatch.setattr(_treegate, "_unicode_version", lambda: combination.unicode)
    sources = {**_treegate.PROVEN_SOURCES, **combination.stdlib, **digests}
    monkeypatch.setattr(_treegate, "_source_digest", lambda name: sources[name])


@pytest.mark.skipif(_treegate.check() is not None, reason=f"the gate is off here: {_treegate.DISABLED_REASON}")
@pytest.mark.parametrize("name", sorted(COMBINATIONS))
def test_gate_picks_the_mode_of_the_installed_html_parser(monkeypatch, name):
    combination = COMBINATIONS[name]
    pretend(monkeypatch, combination)
    assert _treegate.detect() == (combination.mode, None)
    build, chosen, reason = _treegate._load()
    assert (chosen, reason) == (combination.mode, None)
    if builder is not None:
        from tests.support.treecanon import canonical

        for text, _ in CHANGES:
            want = builder.build(text, combination.mode)
            assert (build(text) is None) == (want is None)
            assert want is None or canonical(build(text)) == canonical(want)


ZERO = "0" * 64


@pytest.mark.skipif(_treegate.check() is not None, reason=f"the gate is off here: {_treegate.DISABLED_REASON}")
@pytest.mark.parametrize(
    ("name", "python", "digests", "named"),
    [
        # A proven html.parser with another module changed, or on a Python
        # it was not proven on.
        ("Debian 12 python3 3.11.2-6+deb12u9", None, {"_markupbase": ZERO}, "_markupbase"),
        ("Debian 12 python3 3.11.2-6+deb12u9", (3, 12), {}, "html.parser"),
        ("Debian 13 python3.13 3.13.5", None, {"html.entities": ZERO}, "html.entities"),
        ("Debian 13 python3.13 3.13.5", (3, 14), {}, "html.parser"),
        ("Debian python3.14 3.14.10", (3, 13), {}, "html.parser"),
        ("Debian python3.15 3.15.2", None, {"html": ZERO}, "html "),
    ],
)
def test_gate_refuses_an_unproven_html_parser(monkeypatch, name, python, digests, named):
    pretend(monkeypatch, COMBINATIONS[name], python, **digests)
    if python is not None:  # that Python's own Unicode database
        unicode = next(c.unicode for c in _treegate.PROVEN_COMBINATIONS if c.python == python)
        monkeypatch.setattr(_treegate, "_unicode_version", lambda: unicode)
    mode, reason = _treegate.detect()
    assert mode is None and f"the source of {named}" in reason
    assert _treegate._load()[0] is None


@pytest.mark.skipif(_treegate.check() is not None, reason=f"the gate is off here: {_treegate.DISABLED_REASON}")
def test_gate_refuses_a_proven_html_parser_with_another_unicode_database(monkeypatch):
    combination = COMBINATIONS["Debian python3.14 3.14.10"]
    pretend(monkeypatch, combination)
    monkeypatch.setattr(_treegate, "_unicode_version", lambda: "15.1.0")
    assert _treegate.detect() == (None, "Unicode database 15.1.0 of Python 3.14.99, proven with 16.0.0")


def test_gate_refuses_a_mode_the_native_module_lacks(monkeypatch):
    if builder is None or _treegate.check() is not None:
        pytest.skip("the gate is off here")
    pretend(monkeypatch, COMBINATIONS["Debian 12 python3 3.11.2-6+deb12u9"])
    monkeypatch.setattr(builder.module, "MODES", ("classic",))
    build, mode, reason = _treegate._load()
    assert build is None and "deb12u9" in reason


def test_gate_names_the_proven_combinations():
    named = _treegate.proven_combinations()
    assert "Debian 12 python3 3.11.2-6+deb12u6: html.parser classic" in named
    assert "Debian python3.15 3.15.2: html.parser py3.14.10" in named
    assert len(named) == len(set(named)) == len(_treegate.PROVEN_COMBINATIONS)
    # Every mode of the builder is enabled somewhere, and only those.
    modes = {c.mode for c in _treegate.PROVEN_COMBINATIONS}
    assert modes == {"classic"} | set(parser_modes.MODES)
    if builder is not None:
        assert modes == set(builder.MODES)
