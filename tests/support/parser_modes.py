"""The native tree builder in each html.parser mode against soupparser running
on that very html.parser.

Later html.parser versions changed its tokenizing: Debian 12's python3.11
updates 3.11.2-6+deb12u8 and +deb12u9, Debian 13's python3.13 3.13.5, and
python3.14 3.14.10 (the same as python3.15 3.15.2). The builder follows them
in its modes "deb12u8", "deb12u9", "py3.13.5" and "py3.14.10"
(`_treebuilder.build(text, mode)`). To check a mode here, on another Python,
the reference trees are built in a child process whose `html` package (and
`_markupbase`) are those of the mode, copied from the unpacked package (or
from the reference interpreter's own standard library, when it is the one)
into a directory first on its sys.path; the child checks what it imported
and answers with the canonical outcomes (treecanon.outcome of the slow path).

The child is this interpreter, or OSTREL_REFERENCE_PYTHON (e.g. Debian's own
/usr/bin/python3 3.11.2, with PYTHONPATH giving it the libraries). A mode
whose html.parser needs a later Python than the child's (3.14's uses re's
\\z) is skipped.

The unpacked packages are looked for under OSTREL_STDLIB_PATCHES, else under
build/stdlib of the repository (tools/fetch_python_patches.sh puts them
there): <dir>/<package version>/usr/lib/python3.X/.

    python -m tests.support.parser_modes --mode deb12u9 --fuzz 5000 --seed 1
runs the whole differential (the quirk catalogue, the corpus and bundled
pages, the hostile pages, the changed constructs and a fuzzing run).
"""

import functools
import hashlib
import os
import pathlib
import pickle
import subprocess
import sys
import typing

from tests.support.corpus import ROOT


class Source(typing.NamedTuple):
    """Where the html.parser of a mode comes from."""

    package: str  # the package version it was taken from
    python: str  # its directory under usr/lib
    needs: tuple  # the oldest Python that runs it (3.14's uses re's \\z)
    digest: str  # sha256 of its html/parser.py


MODES = {
    "deb12u8": Source(
        "3.11.2-6+deb12u8", "python3.11", (3, 11), "4d29673fd741aa82ad9ae2e6b6817886f493983ecce6c53de5e7ba5bd9fd2be1"
    ),
    "deb12u9": Source(
        "3.11.2-6+deb12u9", "python3.11", (3, 11), "30b6364e49c618027e69932eb09b13f9b89506918ce5ab5967c77128795ee125"
    ),
    "py3.13.5": Source(
        "3.13.5-2+deb13u5", "python3.13", (3, 11), "f91ec3de6331206bbe2ec3e54a05f646bd23d3c61a18d4a01b25164e070bacc9"
    ),
    "py3.14.10": Source(
        "3.14.10-1", "python3.14", (3, 14), "5c5ed245889135564e75dfed9a47aeb6b4d3e5a2e9614d918a986767e3747539"
    ),
}
# The modules of the standard library the child takes from the package.
PATCHED_FILES = ("html/__init__.py", "html/entities.py", "html/parser.py", "_markupbase.py")
CHILD = pathlib.Path(__file__).with_name("parser_mode_child.py")


def search_roots():
    roots = []
    if os.environ.get("OSTREL_STDLIB_PATCHES"):
        roots.append(pathlib.Path(os.environ["OSTREL_STDLIB_PATCHES"]))
    roots.append(ROOT / "build" / "stdlib")
    return roots


@functools.cache
def reference_info():
    """(version_info[:2], stdlib directory) of the reference interpreter."""
    out = subprocess.run(
        [
            reference_python(),
            "-c",
            "import sys, sysconfig; print(*sys.version_info[:2], sysconfig.get_paths()['stdlib'])",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    return (int(out[0]), int(out[1])), pathlib.Path(out[2])


def _holds(lib, digest):
    if not all((lib / name).is_file() for name in PATCHED_FILES):
        return False
    return hashlib.sha256((lib / "html" / "parser.py").read_bytes()).hexdigest() == digest


def source_dir(mode):
    """A directory holding the standard library modules of `mode` (an
    unpacked package's, or the reference interpreter's own), or None."""
    source = MODES[mode]
    candidates = [reference_info()[1]] + [
        lib for root in search_roots() if root.is_dir() for lib in sorted(root.glob(f"*/usr/lib/{source.python}"))
    ]
    return next((lib for lib in candidates if _holds(lib, source.digest)), None)


def stdlib_dir(mode):
    """source_dir(mode) when the reference interpreter can run its modules, else None."""
    if reference_info()[0] < MODES[mode].needs:
        return None
    return source_dir(mode)


def why_missing(mode):
    source = MODES[mode]
    python, _ = reference_info()
    if python < source.needs:
        return f"the html.parser of {mode} needs Python %s.%s to run, the reference is %s.%s" % (source.needs + python)
    where = " or ".join(str(root / "*" / "usr" / "lib" / source.python) for root in search_roots())
    return (
        f"html.parser of {source.python} {source.package} (sha256 {source.digest[:8]}…) not found under {where} "
        "nor in the reference interpreter (tools/fetch_python_patches.sh fetches it; or set OSTREL_STDLIB_PATCHES)"
    )


def reference_python():
    return os.environ.get("OSTREL_REFERENCE_PYTHON") or sys.executable


def reference_outcomes(mode, texts, timeout=3600):
    """treecanon.outcome(slow_path, text) for each text, as soupparser gives
    it on the html.parser of `mode` (a child process)."""
    lib = stdlib_dir(mode)
    if lib is None:
        raise RuntimeError(why_missing(mode))
    done = subprocess.run(
        [reference_python(), str(CHILD), str(lib), MODES[mode].digest],
        input=pickle.dumps(list(texts)),
        capture_output=True,
        cwd=ROOT,
        timeout=timeout,
        check=False,
    )
    if done.returncode != 0:
        raise RuntimeError(f"the reference child failed ({done.returncode}): {done.stderr.decode()[-3000:]}")
    loaded, outcomes = pickle.loads(done.stdout)
    # The child really ran the patched modules, not its interpreter's own.
    own = subprocess.run(
        [reference_python(), "-c", "import sysconfig; print(sysconfig.get_paths()['stdlib'])"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    for name in PATCHED_FILES:
        path, digest = loaded[name]
        expected = hashlib.sha256((lib / name).read_bytes()).hexdigest()
        if digest != expected or path.startswith(own):
            raise RuntimeError(f"the child imported {name} from {path} ({digest}), not the patched copy")
    return outcomes


def native_outcome(builder, mode, text):
    """(outcome, bail-out reason) of the native builder in `mode`."""
    from tests.support.treecanon import outcome

    reasons = []

    def build(text):
        root, reason = builder.build_with_reason(text, mode)
        reasons.append(reason)
        return root

    return outcome(build, text), (reasons[0] if reasons else None)


def differential(builder, mode, texts, limit=20, reference=None):
    """{"documents", "built", "declined", "reasons", "differences": [(text,
    report)]} over `texts`: the builder in `mode` against soupparser on the
    html.parser of `reference` (by default the same mode)."""
    from tests.support.treecanon import first_difference

    texts = list(texts)
    wanted = reference_outcomes(reference or mode, texts)
    result = {"documents": len(texts), "built": 0, "declined": 0, "reasons": {}, "differences": []}
    for text, want in zip(texts, wanted):
        got, reason = native_outcome(builder, mode, text)
        if got[0] == "none":
            result["declined"] += 1
            result["reasons"][reason] = result["reasons"].get(reason, 0) + 1
            continue
        result["built"] += 1
        if got != want:
            if got[0] != want[0] or got[0] == "raised":
                report = f"builder {got}, slow path {want[0]} {want[1] if want[0] == 'raised' else ''}"
            else:
                report = first_difference(want[1], got[1])
            if len(result["differences"]) < limit:
                result["differences"].append((text, report))
    return result


# --- the documents ----------------------------------------------------------------------

# Constructs whose tokenizing the later html.parser versions changed.
CHANGED_TOKENS = [
    "<script>",
    "<style>",
    "<SCRIPT type=x>",
    "</script>",
    "</script",
    "</script ",
    "</script/",
    "</script/>",
    "</script\t>",
    "</SCRIPT\x0c>",
    "</Script\n",
    "</scriptx>",
    "</scripts>",
    "</script\x0b>",
    "</script\x00>",
    "</script\u00a0>",
    "</ script>",
    "</script a='>'>",
    "</style x>",
    "</style",
    "</stylé>",
    "<![",
    "<![CDATA[x]]>",
    "<![CDATA[",
    "<![cdata[y]]>",
    "<![if IE]>",
    "<![endif]>",
    "<![endif]-->",
    "<![x[",
    "</ p>",
    "</>",
    "</ >",
    "</1>",
    "</-x>",
    "</p a='>'>",
    '</p a=">" b>',
    "</p\x00>",
    "</p\x0b>",
    "</p/>",
    "</p/x>",
    "<a\x00b>",
    "<a\x00>",
    "<a\x0bb=c>",
    "<a b\x0bc=d>",
    "<a\u00a0b=c>",
    "<a b\u00a0=c>",
    "<a b=\u00a0c>",
    "<a b\x1f=c>",
    "<a b\x1c=c d>",
    "<a b\x85c>",
    "<a b==c>",
    "<a b=='c'>",
    "<a b= =c>",
    "<a b='c'd>",
    "<a b='c'/>",
    "<a b=c/>",
    "<a/b>",
    "<a =b>",
    "<a\u3000b>",
    "<!--",
    "<!-- x -",
    "<!-- x --",
    "<!-- x --!",
    "<!--->",
    "<!---->",
    "<!-->",
    "<!--->",
    "<!-- x --!>",
    "<!-- x -- >",
    "<!-- x ->",
    "<!---->",
    "<!-- a -- b -->",
    "<![CDATA[x] ]>",
    "<![CDATA[a]]b]]>",
    "<![CDATA[x]>y]]>",
    "<![if x]>",
    "<xmp>",
    "</xmp>",
    "<iframe>",
    "</iframe>",
    "<noembed>",
    "</noembed>",
    "<noframes>",
    "</noframes>",
    "<plaintext>",
    "<noscript>",
    "<title>",
    "</title>",
    "</title x>",
    "<textarea>",
    "</textarea>",
    "<TITLE>",
    "</Title >",
    "<title/>",
    "&amp;",
    "&amp",
    "&ampx",
    "&amp=",
    "&notin",
    "&notin;",
    "&#65",
    "&#x41",
    "&#65=",
    "&#12a",
    "&#",
    "&#;",
    "&#x;",
    " a='&amp=x&ampy&notin&#65=&lt'",
    ' b="&copy&copy;&COPY&Copy;&#xZ&#x41;"',
    " c=&AMP&amp;lt;&foo;&",
    "<!doctype html",
    "<!DOCTYPE",
    "<!x",
    "<!",
    "<?pi",
    "<?",
    "<",
    "</",
    "<x",
    "</x",
    "<a b='c'",
    "<p/",
    "&",
    "&a",
]
# What the end of a document may leave open.
OPEN_AT_END = [
    "<!--",
    "<!--x",
    "<!--x-",
    "<!--x--",
    "<!--x--!",
    "<!---",
    "<!--!",
    "<![CDATA[x",
    "<![CDATA[",
    "<![cdata[x",
    "<![if x",
    "<![",
    "<!DOCTYPE x",
    "<!doctype",
    "<!DocType html",
    "<!",
    "<!x",
    "<!-",
    "<?",
    "<?x y",
    "<?xml",
    "<?xm",
    "<",
    "</",
    "</x",
    "</ ",
    "</ x",
    "</1",
    "<x",
    "<x y=z",
    "<x y",
    "<a b='c'",
    "<a b='c",
    "<p/",
    "<script>x",
    "<script>",
    "<style>x</style",
    "<script>x</script ",
    "<script>x</script",
    "<script>x</scrip",
    "<script>x</script a='>",
    "<script>x</script a=b",
    "<style>a{}</style x='1'",
    "&",
    "&#",
    "&#x",
    "&amp",
    "&#12",
    "&#x1f",
    "&#X1F",
    "&#12a",
    "&#12 ",
    "&#1\n2",
    "&ampx",
    "&foo",
    "<title>x",
    "<title>a&amp",
    "<textarea>a&#1",
    "<plaintext>x</plaintext>",
    "<xmp>x</xmp",
    "<iframe>x",
    "<!-->",
    "<!--->",
    "<!-- x --!",
    "<![CDATA[x]",
    "<![CDATA[x]]",
]


def catalogue():
    from tests.support.tree_quirks import QUIRKS

    return [markup for _, markup in QUIRKS]


def pages():
    from tests.support.corpus import corpus_pages, example_pages, read

    return [read(path) for path in corpus_pages() + example_pages()]


def hostile(smoke_only=True):
    from tests.support.hostile_pages import CASES

    out = []
    for build, smoke in CASES.values():
        if smoke or not smoke_only:
            made = build()
            out.extend(made if isinstance(made, list) else [made])
    return out


def changed_constructs():
    """Each changed construct alone, inside a page, and at the page's end."""
    out = []
    for token in CHANGED_TOKENS:
        out += [token, f"<p>a{token}b</p>", f"<script>s{token}t</script>u", f"<div>x</div>{token}"]
    for tail in OPEN_AT_END:
        out += [tail, f"<p>a</p>{tail}", f"<p>a{tail}", f"<script>s</script>{tail}"]
    return out


def fuzz_documents(count, seed):
    """`count` documents of the fuzzer's generator, half of them with the
    changed constructs put in and an open construct at the end."""
    from fuzz import fuzz_treebuilder as fz

    if not fz.QUIRK_SEEDS:
        fz.QUIRK_SEEDS[:], fz.PAGES[:] = fz.load_seeds()
    c = fz.Randomly(seed)
    out = []
    for index in range(count):
        text = fz.page_document(c) if fz.PAGES and c.int(0, 9) == 0 else fz.document(c)
        if index % 2:
            for _ in range(c.int(1, 6)):
                at = c.int(0, len(text))
                text = text[:at] + c.pick(CHANGED_TOKENS) + text[at:]
            if c.int(0, 1):
                text += c.pick(OPEN_AT_END) + c.text(c.int(0, 3) * 4)
        out.append(text)
    return out


def main():
    import argparse
    import time

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", action="append", choices=sorted(MODES))
    parser.add_argument("--fuzz", type=int, default=2000, help="fuzzed documents (default 2000)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--batch", type=int, default=2000)
    args = parser.parse_args()
    from tests.support.treecanon import native_builder

    builder, why_not = native_builder()
    if builder is None:
        sys.exit(why_not)
    version = subprocess.run(
        [reference_python(), "-c", "import sys; print(sys.version.split()[0], sys.executable)"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    print(f"reference: soupparser on Python {version}")
    failed = False
    for mode in args.mode or sorted(MODES):
        if stdlib_dir(mode) is None:
            print(f"{mode}: skipped, {why_missing(mode)}")
            continue
        sets = {
            "quirk catalogue": catalogue(),
            "changed constructs": changed_constructs(),
            "pages": pages(),
            "hostile pages": hostile(),
            "fuzzing": fuzz_documents(args.fuzz, args.seed),
        }
        for name, texts in sets.items():
            started = time.monotonic()
            total = {"documents": 0, "built": 0, "declined": 0, "reasons": {}, "differences": []}
            for at in range(0, len(texts), args.batch):
                part = differential(builder, mode, texts[at : at + args.batch])
                for key in ("documents", "built", "declined"):
                    total[key] += part[key]
                for reason, n in part["reasons"].items():
                    total["reasons"][reason] = total["reasons"].get(reason, 0) + n
                total["differences"] += part["differences"]
            print(
                f"{mode} {name}: {total['documents']} documents, {total['built']} built, "
                f"{total['declined']} declined, {len(total['differences'])} differences "
                f"({time.monotonic() - started:.0f} s)"
            )
            if total["reasons"]:
                print(f"    declined: {dict(sorted(total['reasons'].items(), key=lambda kv: -kv[1]))}")
            for text, report in total["differences"][:5]:
                failed = True
                print(f"  DIFFERS on {text[:300]!r}\n{report}")
            failed = failed or bool(total["differences"])
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
