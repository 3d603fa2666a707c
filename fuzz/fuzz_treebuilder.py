"""Fuzzes the native tree builder against the slow path that requests_html
takes for `doc.lxml` (soupparser on html.parser; lxml's parser when that
raises ValueError), and its default emitter (the page made in libxml2 and
adopted whole by lxml) against its reference emitter (each node made
through lxml's C API). Each input is markup made from the quirk catalogue
(tests/support/tree_quirks.py) and snippets of the corpus pages, then mutated with
knowledge of markup: pieces spliced in, case changed, entities and
character references inserted, tokens dropped in, spans cut or doubled,
the end truncated. A finding is a canonical tree (tests/support/treecanon.py) that
differs from the slow path's, a tree where the slow path warns (bs4's
warnings about XML or URL-like markup), or an exception of another kind; a
bail-out (None) is fine where the reference emitter bails out too.

    python -m fuzz.fuzz_treebuilder -max_total_time=60 [libFuzzer options] [corpus dir]
    python -m fuzz.fuzz_treebuilder --count 1000000 --seed 1 [--jobs 2] [--out DIR] [--pages]

The first form is atheris (coverage of the generator and of the Python
slow path, html.parser and BeautifulSoup, guides the mutation); a finding
is saved by libFuzzer as crash-<hash> and replays with
`python -m fuzz.fuzz_treebuilder crash-<hash>`. The second generates COUNT
documents from SEED on JOBS processes without atheris and prints the rate,
the differences (each also written, shrunk, to OUT) and the bail-outs by
reason; it fails when there is a difference. With --pages each document is
a whole corpus page with a few of the same mutations.

`--builder=module:function` compares another function taking the text
(for example `tests.support.treecanon:soup_path`) instead of the native builder.
"""

import argparse
import collections
import hashlib
import importlib
import multiprocessing
import os
import pathlib
import random
import sys
import time
import warnings

from tests.support.corpus import ROOT, corpus_pages, example_pages

# Markup that the mutations drop in: the delimiters of every construct the
# tokenizer knows, names and characters with odd case mappings, line ends.
TOKENS = [
    "<",
    ">",
    "</",
    "/>",
    "/",
    "=",
    '"',
    "'",
    "`",
    "<!--",
    "-->",
    "--!>",
    "-",
    "<!",
    "<?",
    "?>",
    "?",
    "<![CDATA[",
    "]]>",
    "<![if IE]>",
    "<![endif]>",
    "&",
    ";",
    "#",
    "&#",
    "&#x",
    " ",
    "\t",
    "\n",
    "\r",
    "\r\n",
    "\x7f",
    "\x85",
    "\xa0",
    "\u3000",
    "\ufeff",
    "\u2028",
    "<p>",
    "</p>",
    "<p/>",
    "<br>",
    "</br>",
    "<br/>",
    "<div>",
    "</div>",
    "<html>",
    "</html>",
    "<body>",
    "</body>",
    "<head>",
    "<script>",
    "</script>",
    "</script ",
    "<style>",
    "</style>",
    "<pre>",
    "</pre>",
    "<textarea>",
    "</textarea>",
    "<title>",
    "<table>",
    "<tr>",
    "<td>",
    "<a href=x>",
    "</a>",
    "<img src=x>",
    "<input",
    "<form>",
    "<svg>",
    "<!DOCTYPE html>",
    "<!doctype html public '-//x' 'y'>",
    "<?xml version='1.0'?>",
    ' class="a  b"',
    " class='\tx\ny '",
    ' rel=" x  y "',
    " headers='h1  h2'",
    ' accept-charset="a  b"',
    " id=a",
    " id",
    " a=b=c",
    ' data-x="&amp;lt;"',
    " title='&copy'",
    ' xmlns:foo="urn:x"',
    " foo:bar=1",
    "İ",
    "ẞ",
    "ß",
    "ı",
    "K",
    "Σ",
    "ǅ",
    "ﬀ",
    "é",
    "\U0001f600",
    ":",
    "_",
    ".",
    "x",
    "A",
    "1",
]
# Tokens that make lxml or html.parser refuse the page, so that the builder
# bails out: dropped in now and then only, or little would be compared.
RARE_TOKENS = ["\x00", "\x01", "\x0b", "\x0c", "\x1f", "\ud800", "{", "}", "<?xml ?>", "<![x[", "<a b='"]
ENTITIES = [
    "&amp;",
    "&amp",
    "&lt;",
    "&gt;",
    "&nbsp;",
    "&nbsp",
    "&copy",
    "&copy;",
    "&foo;",
    "&foo",
    "&notin;",
    "&notit;",
    "&amp;lt;",
    "&amp;copy;",
    "&amp;zzz;",
    "&amp;nbsp;",
    "&#0;",
    "&#9;",
    "&#10;",
    "&#13;",
    "&#32;",
    "&#65;",
    "&#x41;",
    "&#X41;",
    "&#65",
    "&#x41g",
    "&#128;",
    "&#129;",
    "&#141;",
    "&#150;",
    "&#159;",
    "&#x80;",
    "&#x9F;",
    "&#xD800;",
    "&#xDFFF;",
    "&#55296;",
    "&#x110000;",
    "&#99999999999;",
    "&#" + "9" * 30 + ";",
    "&#;",
    "&#x;",
    "&#",
    "&",
    "&AMP;",
    "&Amp;",
    "&bigstar;",
    "&nvlt;",
    "&apos;",
    "&quot;",
    "&#xFFFE;",
    "&#x1F600;",
]
NAMES = [
    "p",
    "div",
    "span",
    "b",
    "i",
    "a",
    "br",
    "img",
    "li",
    "ul",
    "table",
    "tr",
    "td",
    "th",
    "pre",
    "textarea",
    "script",
    "style",
    "title",
    "html",
    "body",
    "head",
    "form",
    "select",
    "option",
    "svg",
    "x-y",
    "a.b",
    "a:b",
    "x{y}",
    "P",
    "DIV",
    "Br",
    "aİ",
    "aẞ",
]
ATTRIBUTES = [
    "",
    " id=a",
    ' class="a  b\tc"',
    " rel=' x '",
    ' href="?a=1&b=2&amp;c"',
    " title='&amp;lt;'",
    " disabled",
    " a=",
    " a=1 a=2",
    " A=1",
    " İd=1",
    " xmlns:f='u' f:x=1",
    ' data-x="a\nb"',
]


class Randomly:
    """The generator's choices drawn from a seeded random.Random."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def int(self, low, high):
        return self.rng.randint(low, high)

    def pick(self, seq):
        return seq[self.rng.randrange(len(seq))]

    def text(self, limit):
        return "".join(
            chr(self.rng.choice([self.rng.randrange(32, 127), self.rng.randrange(32, 0x3000)]))
            for _ in range(self.rng.randint(0, limit))
        )


class FromData:
    """The generator's choices drawn from libFuzzer's input."""

    def __init__(self, fdp):
        self.fdp = fdp

    def int(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def text(self, limit):
        return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, limit))


def load_seeds():
    """Short quirk cases, and the corpus pages to cut snippets from."""
    from tests.support.tree_quirks import QUIRKS

    quirks = [markup for _, markup in QUIRKS if len(markup) <= 3000]
    pages = [p.read_text(encoding="utf-8") for p in corpus_pages() + example_pages()]
    return quirks, pages


QUIRK_SEEDS, PAGES = [], []


def snippet(c):
    if not PAGES:
        return c.pick(QUIRK_SEEDS)
    page = c.pick(PAGES)
    start = c.int(0, len(page) - 1)
    if c.int(0, 3):  # mostly from a tag on
        start = max(0, page.rfind("<", 0, start + 1))
    return page[start : start + c.int(1, 1500)]


def token(c):
    return c.pick(RARE_TOKENS) if c.int(0, 15) == 0 else c.pick(TOKENS)


def element(c, inner):
    name = c.pick(NAMES)
    end = c.pick(["", f"</{name}>", f"</{name.upper()}>", f"</{name} >", "</>"])
    return f"<{name}{c.pick(ATTRIBUTES)}>{inner}{end}"


def fragment(c):
    kind = c.int(0, 5)
    if kind <= 1:
        return c.pick(QUIRK_SEEDS)
    if kind == 2:
        return snippet(c)
    if kind == 3:
        return "".join(token(c) for _ in range(c.int(1, 12)))
    if kind == 4:
        return element(c, fragment(c) if c.int(0, 2) == 0 else c.text(8))
    return c.text(20)


def change_case(c, text, start, end):
    span = text[start:end]
    span = c.pick([span.upper(), span.lower(), span.swapcase(), span.title()])
    return text[:start] + span + text[end:]


def mutate(c, text):
    at = c.int(0, len(text))
    span = c.int(1, 40)
    op = c.int(0, 8)
    if op == 0:
        return text[:at] + fragment(c) + text[at:]
    if op == 1:
        return change_case(c, text, at, at + span)
    if op == 2:
        return text[:at] + c.pick(ENTITIES) + text[at:]
    if op == 3:
        return text[:at]
    if op == 4:
        return text[:at] + token(c) + text[at:]
    if op == 5:
        return text[:at] + text[at + span :]
    if op == 6:
        return text[: at + span] + text[at:]
    if op == 7:
        return element(c, text)
    # Move a cut to just inside a construct: after a '<', '&' or quote.
    marks = [i for i, ch in enumerate(text) if ch in "<&\"'"]
    if marks:
        return text[: c.pick(marks) + c.int(1, 4)]
    return text


def document(c):
    text = "".join(fragment(c) for _ in range(c.int(1, 4)))
    for _ in range(c.int(0, 6)):
        text = mutate(c, text)
    return text


def page_document(c):
    """A whole corpus page with a few mutations: real structure, odd spots."""
    text = c.pick(PAGES)
    for _ in range(c.int(1, 8)):
        text = mutate(c, text)
    return text


# --- the comparison ---------------------------------------------------------------------


def load_builder(target):
    """A function text -> (root or None, bail-out reason or None), and the
    reference emitter's build (None when there is nothing to compare it
    with)."""
    if target:
        module, _, name = target.partition(":")
        function = getattr(importlib.import_module(module), name)
        return lambda text: (lambda root: (root, None if root is not None else "none"))(function(text)), None
    from tests.support.treecanon import native_builder

    module, why_not = native_builder()
    if module is None:
        return why_not, None
    if "lxml" not in getattr(module, "EMITTERS", ("lxml",)):
        return module.build_with_reason, None
    return module.build_with_reason, lambda text: module.build(text, emitter="lxml")


BUILD = None
REFERENCE = None


def emitters_differ(got, text):
    """None when the reference emitter gives the outcome `got` too (tree,
    bail-out or exception), else an account of the difference."""
    from tests.support.treecanon import first_difference, outcome

    want = outcome(REFERENCE, text)
    if got == want:
        return None
    if got[0] == want[0] == "tree":
        return "emitters differ: " + first_difference(want[1], got[1])
    return f"emitters differ: reference {want[0]} {want[1] if want[0] == 'raised' else ''}, default {got[0]}"


def check(text):
    """("bail", reason), ("same", kind) or ("differs", report)."""
    from tests.support.treecanon import explain, outcome

    reasons = []

    def build(text):
        root, reason = BUILD(text)
        reasons.append(reason)
        return root

    got = outcome(build, text)
    if REFERENCE is not None:
        report = emitters_differ(got, text)
        if report is not None:
            return ("differs", report)
    if got[0] == "none":
        return ("bail", reasons[0])
    report = explain(got, text)
    if report is None:
        return ("same", got[0] if got[0] == "tree" else f"raised {got[1]}")
    return ("differs", report)


def shrink(text, budget=400):
    """A shorter text that still differs (greedy removal of chunks)."""
    chunk = max(1, len(text) // 2)
    while chunk >= 1 and budget > 0:
        at, changed = 0, False
        while at < len(text) and budget > 0:
            candidate = text[:at] + text[at + chunk :]
            budget -= 1
            if candidate != text and check(candidate)[0] == "differs":
                text, changed = candidate, True
            else:
                at += chunk
        if not changed:
            chunk //= 2
    return text


# --- atheris ----------------------------------------------------------------------------


def test_one_input(data):
    import atheris

    text = document(FromData(atheris.FuzzedDataProvider(data)))
    kind, detail = check(text)
    if kind == "differs":
        raise AssertionError(f"the builder differs on {text[:2000]!r}\n{detail}")


def fuzz(argv, target):
    import atheris

    # The coverage that guides libFuzzer: the generator here and the slow
    # path, whose tokenizer and tree builder are Python (the native builder
    # is not instrumented). They are instrumented as they are first imported.
    with atheris.instrument_imports(include=["html", "_markupbase", "bs4", "lxml.html.soupparser"]):
        import html.parser  # noqa: F401

        import bs4  # noqa: F401
        import lxml.html.soupparser  # noqa: F401
    setup_worker(target)
    if isinstance(BUILD, str):
        print(f"fuzz_treebuilder.py: nothing to fuzz, {BUILD}")
        return 0
    for function in [fragment, snippet, token, element, mutate, change_case, document, test_one_input]:
        atheris.instrument_func(function)
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()
    return 0


# --- many documents, no atheris -----------------------------------------------------------


def setup_worker(target):
    global BUILD, REFERENCE
    warnings.simplefilter("ignore")  # bs4's remarks on odd markup
    QUIRK_SEEDS[:], PAGES[:] = load_seeds()
    BUILD, REFERENCE = load_builder(target)


def run_chunk(job):
    seed, first, count, pages = job
    counts = collections.Counter()
    differences = []
    make = page_document if pages else document
    for index in range(first, first + count):
        text = make(Randomly(f"{seed}:{index}"))
        kind, detail = check(text)
        counts[(kind, detail if kind != "differs" else "")] += 1
        if kind == "differs" and len(differences) < 5:
            differences.append((index, text, detail))
    return count, counts, differences


def run_many(args):
    chunk = 10 if args.pages else 500
    jobs = [(args.seed, first, min(chunk, args.count - first), args.pages) for first in range(0, args.count, chunk)]
    totals = collections.Counter()
    found = []
    done = 0
    start = last = time.perf_counter()
    context = multiprocessing.get_context("fork" if sys.platform.startswith("linux") else "spawn")
    with context.Pool(args.jobs, initializer=setup_worker, initargs=(args.builder,)) as pool:
        for count, counts, differences in pool.imap_unordered(run_chunk, jobs):
            done += count
            totals.update(counts)
            found.extend(differences)
            now = time.perf_counter()
            if now - last >= 10:
                last = now
                print(
                    f"  {done:>9} documents  {done / (now - start):8.0f}/s  differences "
                    f"{sum(v for (k, _), v in totals.items() if k == 'differs')}",
                    flush=True,
                )
    elapsed = time.perf_counter() - start
    setup_worker(args.builder)
    report(args, totals, found, done, elapsed)
    return 1 if found else 0


def report(args, totals, found, done, elapsed):
    by_kind = collections.Counter()
    for (kind, _), value in totals.items():
        by_kind[kind] += value
    kind = " (mutated pages)" if args.pages else ""
    print(
        f"documents {done}{kind}  seed {args.seed}  jobs {args.jobs}  {elapsed:.1f} s  {done / elapsed:.0f} documents/s"
    )
    print(
        f"compared {by_kind['same'] + by_kind['differs']}  (same tree {totals[('same', 'tree')]}, "
        f"same exception {by_kind['same'] - totals[('same', 'tree')]})  differences {by_kind['differs']}  "
        f"bail-outs {by_kind['bail']} ({by_kind['bail'] / max(done, 1) * 100:.2f}%)"
    )
    for (kind, detail), value in sorted(totals.items(), key=lambda item: -item[1]):
        if kind == "bail":
            print(f"  bail-out {value:>9}  {detail}")
        elif kind == "same" and detail != "tree":
            print(f"  both     {value:>9}  {detail}")
    if not found:
        return
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    seen = set()
    for index, text, _detail in sorted(found)[: args.shrink]:
        small = shrink(text)
        name = hashlib.sha1(small.encode("utf-8", "surrogatepass")).hexdigest()[:12]
        if name in seen:
            continue
        seen.add(name)
        (out / f"difference-{name}.txt").write_text(
            f"document {index} of seed {args.seed}\nshrunk: {small!r}\n{check(small)[1]}\n\noriginal: {text!r}\n",
            encoding="utf-8",
            errors="surrogatepass",
        )
        print(
            f"\n== document {index}: shrunk to {small[:500]!r}\n{check(small)[1]}\n   (written to "
            f"{out / f'difference-{name}.txt'})"
        )


def main():
    if "--count" not in sys.argv:
        targets = [a.split("=", 1)[1] for a in sys.argv if a.startswith("--builder=")]
        return fuzz([a for a in sys.argv if not a.startswith("--builder=")], targets[-1] if targets else None)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--seed", default="1")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--builder", help="module:function to compare instead of the native builder")
    parser.add_argument("--out", default=str(ROOT / "build" / "fuzz" / "fuzz_treebuilder"))
    parser.add_argument("--shrink", type=int, default=20, help="how many differences to shrink and keep")
    parser.add_argument("--pages", action="store_true", help="mutate whole corpus pages instead")
    args = parser.parse_args()
    setup_worker(args.builder)
    if isinstance(BUILD, str):
        print(f"fuzz_treebuilder.py: nothing to compare, {BUILD}")
        return 1
    return run_many(args)


if __name__ == "__main__":
    sys.exit(main())
