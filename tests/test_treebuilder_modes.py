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


@functools.lru_cache(maxsize=None)
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
