"""The document work of one extraction, recorded and replayed.

`record(extractor, text)` runs one real `extract` call on a document that logs
every `xpath` call and every `text_content()` / `attrs` read made on its
results. `replay(text, log)` then makes exactly those calls on a fresh
`requests_html.HTML` document in a plain Python loop: the floor below which no
implementation of the extractor can go, since it is the work the rules demand.
"""

from requests_html import HTML

from ostrel.crawler.field_extractor import extractor as extractor_module


class _Node:
    def __init__(self, node, log, call, index):
        self._node, self._log, self._call, self._index = node, log, call, index

    def text_content(self):
        self._log.append(("text", self._call, self._index))
        return self._node.text_content()


class _Element:
    def __init__(self, element, log, call, index):
        self._element, self._log, self._call, self._index = element, log, call, index

    @property
    def element(self):
        return _Node(self._element.element, self._log, self._call, self._index)

    @property
    def attrs(self):
        self._log.append(("attrs", self._call, self._index))
        return self._element.attrs


class _Document:
    def __init__(self, doc, log):
        object.__setattr__(self, "_doc", doc)
        object.__setattr__(self, "_log", log)

    def __setattr__(self, name, value):
        setattr(self._doc, name, value)

    def xpath(self, selector):
        call = sum(1 for entry in self._log if entry[0] == "xpath")
        self._log.append(("xpath", selector))
        return [
            _Element(e, self._log, call, i) if not isinstance(e, str) else e
            for i, e in enumerate(self._doc.xpath(selector))
        ]


def record(extractor, text):
    """The log of document calls that `extractor.extract(text)` makes."""
    log = []
    original = extractor_module.HTML
    extractor_module.HTML = lambda html: _Document(original(html=html), log)
    try:
        extractor.extract(text)
    finally:
        extractor_module.HTML = original
    return log


def replay(text, log):
    """Makes the logged document calls on a new document built from `text`."""
    doc = HTML(html=text)
    doc.encoding = "utf-8"
    # The page tree as the extractor gets it: built natively where the
    # builder is enabled (the same tree soupparser would build, faster).
    build = extractor_module._build_tree
    if build is not None:
        root = build(doc.html)
        if root is not None:
            doc._lxml = root
    results = []
    for entry in log:
        kind = entry[0]
        if kind == "xpath":
            results.append(doc.xpath(entry[1]))
        elif kind == "text":
            results[entry[1]][entry[2]].element.text_content()
        else:
            results[entry[1]][entry[2]].attrs  # noqa: B018 - the access is what is replayed
    return len(results)
