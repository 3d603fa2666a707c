"""The least document work an extraction asks for: the floor of bench_corpus.py.

`Floor(rules_file)` reads the rules; `floor.run(text)` then does, for one page:

- the tree: a requests_html HTML document of the page, as the extractor makes
  it (without the parse nothing reads where it can), and its page tree (the native builder where it is enabled, as the
  extractor does; soupparser otherwise);
- one evaluation of each distinct selector of the rules on that tree: a text
  or attribute rule's XPath; for a list rule the XPath of all its rows at
  once, `length_rule/end_rule` (the length rule alone when there is no end
  rule);
- the text reads: `text_content()` of every node a text or list selector
  returns, the attribute of every node an attribute selector returns.

Nothing else: no XPath per row, no requests_html Element objects, no joining,
normalising, matching or processing of rows. An extraction cannot do less.
"""

import yaml
from requests_html import HTML

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.html_parsers import FieldsParser


class Floor:
    def __init__(self, rules_file):
        with open(rules_file, encoding="utf-8") as stream:
            conf = yaml.safe_load(stream)
        selectors = {}  # selector -> attribute name, or None for texts
        for entry in conf["rules"]:
            for field in entry.values():
                rules, kind = field["rules"], field.get("type", "")
                attribute = kind[5:] if isinstance(kind, str) and kind.startswith("attr:") else None
                if isinstance(rules, list):
                    length_rule, end_rule, _ = FieldsParser()._extract_rule(rules)
                    rules = f"{length_rule}/{end_rule}" if end_rule else length_rule
                selectors.setdefault(rules, attribute)
        self.selectors = list(selectors.items())

    def run(self, text):
        made = extractor_module._deferred_html
        doc = (made(text) if made is not None else None) or HTML(html=text)
        doc.encoding = "utf-8"
        build = extractor_module._build_tree
        root = build(doc.html) if build is not None else None
        root = root if root is not None else doc.lxml
        reads = 0
        for selector, attribute in self.selectors:
            try:
                nodes = root.xpath(selector)
            except Exception:  # noqa: BLE001 - a constant, not an XPath: nothing to read
                continue
            for node in nodes if isinstance(nodes, list) else ():
                if isinstance(node, str):
                    continue
                node.get(attribute) if attribute else node.text_content()
                reads += 1
        return reads
