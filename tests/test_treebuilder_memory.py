"""The native tree builder gives back what it takes: references on its
argument, Python objects, and the native memory of the trees it makes once
they are dropped, on trees, bail-outs and refused arguments alike, with
either emitter. A tree made in libxml2 and handed to lxml whole lives as
long as any node of it that Python holds, and no longer."""

import gc
import os
import pathlib
import sys
import tracemalloc

import pytest

from tests.support.treecanon import native_builder

builder, WHY_NOT = native_builder()
pytestmark = pytest.mark.skipif(builder is None, reason=WHY_NOT or "")
EMITTERS = getattr(builder, "EMITTERS", ())

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGE = (ROOT / "examples" / "pages" / "cables.html").read_text(encoding="utf-8")


def least_growth(call, enough, windows=10, calls=1000):
    """Traced memory growth per call, the least over windows of calls (and
    no more windows once one grows less than `enough`).

    A leak grows in every window. The builder also fills a bounded cache of
    small texts over its first thousands of trees (more of them, and more
    slowly, with PYTHONMALLOC=malloc as under the sanitizers): that grows in
    the first windows only."""
    least = float("inf")
    tracemalloc.start()
    try:
        for _ in range(windows):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(calls):
                call()
            gc.collect()
            least = min(least, (tracemalloc.get_traced_memory()[0] - before) / calls)
            if least < enough:
                break
    finally:
        tracemalloc.stop()
    return least


@pytest.mark.parametrize(
    "text, error",
    [
        (PAGE, None),  # a tree
        ("<!--a--><p class='x  y'>&amp;lt;</p><?pi x?>", None),  # top-level siblings, unescaping, list attribute
        ("<p>a\x00b</p>", None),  # bail-out: lxml refuses the text
        ("<a href='x", None),  # bail-out in the tokenizer
        ("<div>" * 300, None),  # bail-out: too deep
        (b"<p>x</p>", TypeError),
    ],
)
@pytest.mark.parametrize("call", ["build", "build_with_reason"])
@pytest.mark.parametrize("emitter", EMITTERS)
def test_builder_is_steady(call, text, error, emitter):
    function = getattr(builder, call)

    def once():
        try:
            function(text, emitter=emitter)
        except TypeError:
            if error is None:
                raise

    for _ in range(300):
        once()
    references = sys.getrefcount(text)
    # One object kept per call is more than 16 bytes.
    growth = least_growth(once, enough=16)
    assert sys.getrefcount(text) == references
    assert growth < 16, f"{growth:.1f} bytes per call"


def resident_bytes():
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer keeps freed memory in quarantine"
)
@pytest.mark.parametrize("emitter", EMITTERS)
def test_dropped_trees_give_their_memory_back(emitter):
    text = PAGE * 200  # some 500 KB: a tree of several MB
    for _ in range(5):
        builder.build(text, emitter=emitter)
    gc.collect()
    before = resident_bytes()
    for _ in range(40):
        root = builder.build(text, emitter=emitter)
        assert root is not None
        del root
    gc.collect()
    # Forty kept trees would be hundreds of MB.
    assert resident_bytes() - before < 40 * 2**20


def allocated_bytes():
    """Bytes that malloc has handed out and not had back (glibc's
    mallinfo2): unlike the resident size, blind to the free memory that
    earlier tests left in the heap for reuse."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in ("arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split())
        ]

    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def _has_mallinfo2():
    import ctypes

    try:
        return hasattr(ctypes.CDLL(None), "mallinfo2")
    except OSError:
        return False


@pytest.mark.skipif(not _has_mallinfo2(), reason="needs glibc's mallinfo2")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer has a malloc of its own")
@pytest.mark.parametrize("emitter", EMITTERS)
def test_a_tree_lives_as_long_as_its_last_node(emitter):
    text = PAGE * 200

    def last_items(count):
        # One node of each tree, the tree itself dropped.
        return [builder.build(text, emitter=emitter).xpath("//li")[-1] for _ in range(count)]

    last_items(3)
    gc.collect()
    before = allocated_bytes()
    kept = last_items(20)
    gc.collect()
    held = allocated_bytes() - before
    # Each node holds its whole tree: twenty trees of most of a MB each.
    assert held > 10 * 2**20, f"{held / 2**20:.1f} MB held by 20 nodes"
    assert all(item.getroottree().getroot().tag == "html" for item in kept)
    del kept
    gc.collect()
    # Freed with their last nodes.
    left = allocated_bytes() - before
    assert left < held / 4, f"{left / 2**20:.1f} of {held / 2**20:.1f} MB left after the nodes were dropped"
