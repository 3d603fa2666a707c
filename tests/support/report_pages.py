"""A shop page and its rules for the picture that ``try --html`` draws, with
the answers a reader of the picture must find in it; and reading a written
picture back (its panel, and the page inside its frame)."""

import lxml.html

# Two containers of list items: a list rule over the items must count its
# rows across both.
SHOP_PAGE = """<!DOCTYPE html>
<html><head><title>Shop</title>
<script>document.title = "ran";</script>
<link rel="stylesheet" href="http://styles.invalid/shop.css">
</head><body onload="document.body.setAttribute('data-ran', '1')">
<h1>Example shop</h1>
<div class="block"><ul>
<li><b>Acme</b> <i>1.00</i> <a href="/acme" onclick="return 1">more</a></li>
<li><b>Bolt</b> <i>2.00</i></li>
</ul></div>
<div class="block"><ul>
<li><b>Crane</b> <i></i></li>
<li><b>Acme</b> <i>1.00</i></li>
<li><b>Sample</b> <i>9.00</i></li>
</ul></div>
<p><img src="http://images.invalid/logo.png" alt="logo" onerror="this.alt = 'ran'"></p>
</body></html>
"""

RIGHT_WAY = """\
  - name:
      rules: ["(//div[@class='block']/ul/li)[1]/b", "(//div[@class='block']/ul/li)[2]/b"]
    price:
      rules: ["(//div[@class='block']/ul/li)[1]/i", "(//div[@class='block']/ul/li)[2]/i"]
    shop:
      rules: "//h1"
    link:
      rules: "//div[@class='block']//a"
      type: "attr:href"
"""
# The same lists without the parentheses: li[1] is the first item of each
# container, so a row joins the values of both containers.
WRONG_WAY = """\
  - name:
      rules: ["//div[@class='block']/ul/li[1]/b", "//div[@class='block']/ul/li[2]/b"]
    price:
      rules: ["//div[@class='block']/ul/li[1]/i", "//div[@class='block']/ul/li[2]/i"]
"""
NOTHING_FOUND = """\
  - name:
      rules: "//h1"
    note:
      rules: "//p[@class='note']"
"""
# Five names, three prices: the lists cannot be paired, the page fails.
UNEQUAL = """\
  - name:
      rules: ["(//div[@class='block']/ul/li)[1]/b", "(//div[@class='block']/ul/li)[2]/b"]
    price:
      rules: ["//div[@class='block'][2]/ul/li[1]/i", "//div[@class='block'][2]/ul/li[2]/i"]
"""
PROCESSING = """\
alias2main_name:
  shop: {"Example shop": "Example"}
filter:
  key: name
  values: {words: [Acme, Bolt, Crane]}
not_empty_fields: [price]
"""


# Markup that would run script or fetch something if the picture let it.
HOSTILE = [
    '<script src="http://x.invalid/a.js"></script><script>alert(1)</script>',
    '<img src="http://x.invalid/a.png" srcset="http://x.invalid/b.png 2x" onerror="alert(1)">',
    '<a href="javascript:alert(1)" onmouseover="alert(2)">x</a><area href="vbscript:alert(3)">',
    '<link rel="stylesheet" href="http://x.invalid/a.css"><base href="http://x.invalid/">',
    "<style>@import url('http://x.invalid/a.css'); @import \"http://x.invalid/b.css\";"
    " p { background: url(http://x.invalid/b.png) }</style>",
    "<div style=\"background-image: url('http://x.invalid/c.png')\">x</div>",
    '<iframe src="http://x.invalid/" srcdoc="&lt;script&gt;alert(1)&lt;/script&gt;"></iframe>',
    '<meta http-equiv="refresh" content="0; url=http://x.invalid/">',
    '<svg><image href="http://x.invalid/d.png"/><use xlink:href="http://x.invalid/e.svg#a"/></svg>',
    '<object data="http://x.invalid/f.swf"></object><embed src="http://x.invalid/g.swf"><object type="application/x-shockwave-flash"></object>',
    '<video poster="http://x.invalid/h.png"><source src="http://x.invalid/i.mp4"></video>',
    '<form action="http://x.invalid/"><button formaction="http://x.invalid/">go</button></form>',
    '<table background="http://x.invalid/j.png"><tr><td>x</td></tr></table>',
]


def shop_rules(*entries):
    return 'value_separator: " | "\nrules:\n' + "".join(entries) + PROCESSING


SHOP_RULES = shop_rules(RIGHT_WAY, WRONG_WAY, NOTHING_FOUND)

# What the picture of SHOP_RULES on SHOP_PAGE says: rows by number, with the
# names and why a row is dropped (None: kept).
SHOP_ROWS = {
    1: ("Acme", None),
    2: ("Bolt", None),
    3: ("Crane", "required field 'price' is empty"),
    4: ("Acme", "duplicate of row 1"),
    5: ("Sample", 'filter: name "Sample" is not accepted'),
    6: ("Acme | Crane", 'filter: name "Acme | Crane" is not accepted'),
    7: ("Bolt | Acme", 'filter: name "Bolt | Acme" is not accepted'),
    8: ("Sample", 'filter: name "Sample" is not accepted'),
    9: ("", 'filter: name "" is not accepted'),
    10: ("", 'filter: name "" is not accepted'),
}
# Labels of the page's elements: (tag, text) -> labels, for the elements the
# rules select.
SHOP_LABELS = {
    ("h1", "Example shop"): ["shop · rows 1–5", "name · rule 2 dropped"],
    ("a", "more"): ["link · rows 1–5"],
    ("b", "Acme#1"): ["name · row 1", "name · row 6"],
    ("b", "Bolt"): ["name · row 2", "name · row 7"],
    ("b", "Crane"): ["name · row 3", "name · row 6"],
    ("b", "Acme#2"): ["name · row 4", "name · row 7"],
    ("b", "Sample"): ["name · row 5", "name · row 8"],
    ("i", "1.00#1"): ["price · row 1", "price · row 6"],
    ("i", "2.00"): ["price · row 2", "price · row 7"],
    ("i", "#1"): ["price · row 3", "price · row 6"],
    ("i", "1.00#2"): ["price · row 4", "price · row 7"],
    ("i", "9.00"): ["price · row 5", "price · row 8"],
}


def element_keys(elements):
    """(tag, text) keys of elements, with #N after a text seen before (or an
    empty one), in document order, as SHOP_LABELS names them."""
    seen, keys = {}, []
    for element in elements:
        text = element.text_content()
        seen[(element.tag, text)] = seen.get((element.tag, text), 0) + 1
        count = seen[(element.tag, text)]
        duplicated = count > 1 or text == "" or (element.tag, text + "#2") in SHOP_LABELS
        keys.append((element.tag, f"{text}#{count}" if duplicated else text))
    return keys


class Picture:
    """A written picture, read back: its panel and its framed page."""

    def __init__(self, markup):
        self.markup = markup
        self.outer = lxml.html.document_fromstring(markup)
        frame = self.outer.get_element_by_id("page")
        self.frame = frame
        self.page = lxml.html.document_fromstring(frame.get("srcdoc"))

    def marked(self):
        return self.page.xpath("//*[@data-ostrel-mark]")

    def labels(self):
        return {
            key: element.get("data-ostrel-label").split("; ")
            for key, element in zip(element_keys(self.marked()), self.marked())
        }

    def rows(self):
        """{row number: (cells of the row, why dropped or None)}."""
        found = {}
        for tr in self.outer.xpath("//tr[@data-row]"):
            cells = [td.text_content() for td in tr.xpath("td[not(@class='why')]")]
            why = tr.xpath("td[@class='why']")
            found[int(tr.get("data-row"))] = (cells, why[0].text_content() if why else None)
        return found

    def panel_text(self):
        return " ".join(self.outer.get_element_by_id("panel").text_content().split())
