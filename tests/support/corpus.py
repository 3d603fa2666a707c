"""Where the pages are: the corpus (OSTREL_CORPUS, by default
../shared/corpus beside the repository) and the bundled examples."""

import os
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
CORPUS = pathlib.Path(os.environ.get("OSTREL_CORPUS", ROOT.parent / "shared" / "corpus"))
EXAMPLES = ROOT / "examples"
EXAMPLE_RULES = EXAMPLES / "rules.yaml"
# Rules that find something on any page.
GENERIC_RULES = ROOT / "bench" / "generic_rules.yaml"


def corpus_pages(corpus=CORPUS):
    return sorted((corpus / "pages").glob("*.html"))


def example_pages():
    return sorted((EXAMPLES / "pages").glob("*.html"))


def rules_of(page, corpus=CORPUS):
    """The rules file a corpus page comes with, or None."""
    rules = corpus / "rules" / (page.stem + ".yaml")
    return rules if rules.exists() else None


def ruled_pages(corpus=CORPUS):
    """(name, rules, page) for the corpus pages with rules of their own, then
    the bundled examples (named examples/<stem>)."""
    for rules in sorted((corpus / "rules").glob("*.yaml")):
        page = corpus / "pages" / (rules.stem + ".html")
        if page.exists():
            yield rules.stem, rules, page
    for page in example_pages():
        yield "examples/" + page.stem, EXAMPLE_RULES, page


def generic_pages(corpus=CORPUS):
    """(name, rules, page) for the other corpus pages, under GENERIC_RULES."""
    for page in corpus_pages(corpus):
        if rules_of(page, corpus) is None:
            yield page.stem, GENERIC_RULES, page


def read(path):
    return path.read_text(encoding="utf-8")
