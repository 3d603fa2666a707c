"""The picture that ``try --html`` writes, opened in a real headless
chromium: each field's elements outlined in the field's colour and
labelled, a clicked row's elements highlighted, nothing of the page run,
nothing fetched and nothing on the console."""

import pytest

from tests.support import browser
from tests.support.cli import run_cli
from tests.support.corpus import EXAMPLE_RULES, EXAMPLES
from tests.support.report_pages import HOSTILE, SHOP_LABELS, SHOP_PAGE, SHOP_RULES, element_keys

pytestmark = pytest.mark.skipif(browser.missing() is not None, reason=str(browser.missing()))

# The elements each field of SHOP_RULES selects on SHOP_PAGE, as XPaths the
# browser evaluates on the page it shows.
SHOP_FIELDS = {
    "name": "//div[@class='block']/ul/li/b | //h1",
    "price": "//div[@class='block']/ul/li/i",
    "shop": "//h1",
    "link": "(//div[@class='block']//a)[1]",
}
# The elements of a row: those of its list items, and the single values.
SHOP_ROW_ELEMENTS = {
    2: {("b", "Bolt"), ("i", "2.00"), ("h1", "Example shop"), ("a", "more")},
    3: {("b", "Crane"), ("i", "#1"), ("h1", "Example shop"), ("a", "more")},
}

IN_FRAME = """
const doc = document.getElementById('page').contentDocument;
const found = doc.evaluate(arguments[0], doc, null, XPathResult.ORDERED_NODE_SNAPSHOT_TYPE, null);
const out = [];
for (let i = 0; i < found.snapshotLength; i++) {
  const el = found.snapshotItem(i), style = doc.defaultView.getComputedStyle(el);
  out.push({tag: el.tagName.toLowerCase(), text: el.textContent, outline: style.outlineStyle,
            width: parseFloat(style.outlineWidth), colour: style.outlineColor, background: style.backgroundColor,
            boxed: el.getBoundingClientRect().height > 0, mark: el.getAttribute('data-ostrel-mark')});
}
return out;
"""
LABELS = """
const doc = document.getElementById('page').contentDocument;
return Array.from(doc.querySelectorAll('.ostrel-label')).map(tag => [tag.getAttribute('data-for'), tag.textContent]);
"""
LEGEND = """
return Object.fromEntries(Array.from(document.querySelectorAll('.legend li')).map(
  li => [li.firstElementChild.nextSibling.textContent.trim(), getComputedStyle(li.firstElementChild).backgroundColor]));
"""


class Seen:
    """What an element looks like in the browser."""

    def __init__(self, found):
        self.__dict__.update(found)

    def text_content(self):
        return self.text


def seen(driver, xpath):
    found = [Seen(item) for item in driver.execute_script(IN_FRAME, xpath)]
    for item, key in zip(found, element_keys(found)):
        item.key = key
    return found


@pytest.fixture(scope="module")
def driver():
    driver = browser.chromium()
    yield driver
    driver.quit()


def picture_of(tmp_path, rules, page, name="page.html"):
    (tmp_path / "rules.yaml").write_text(rules, "utf-8")
    (tmp_path / name).write_text(page, "utf-8")
    out = tmp_path / "report.html"
    result = run_cli("try", str(tmp_path / "rules.yaml"), str(tmp_path / name), "--html", str(out))
    assert result.returncode == 0, result.stderr
    return out


def console_errors(driver):
    return [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]


def test_each_field_is_outlined_in_its_colour_and_labelled(driver, tmp_path):
    browser.open_picture(driver, picture_of(tmp_path, SHOP_RULES, SHOP_PAGE))

    legend = driver.execute_script(LEGEND)
    colours = {}
    for field, xpath in SHOP_FIELDS.items():
        for item in seen(driver, xpath):
            assert item.outline == "solid" and item.width >= 2, (field, item.key)
            colours.setdefault(item.key, set()).add(legend[field])
            assert item.boxed, item.key
    for key, item in ((item.key, item) for item in seen(driver, " | ".join(SHOP_FIELDS.values()))):
        assert item.colour in colours[key], key  # one of the colours of its fields
    labels = {mark: text for mark, text in driver.execute_script(LABELS)}
    every = seen(driver, "//*[@data-ostrel-mark]")
    assert {item.key: labels[item.mark].split("; ") for item in every} == SHOP_LABELS
    # The page's own script and handlers did not run; nothing was fetched.
    assert driver.execute_script("return document.getElementById('page').contentDocument.title") == "Shop"
    assert seen(driver, "//*[@data-ran] | //img[@alt='ran']") == []
    assert console_errors(driver) == []


@pytest.mark.parametrize("row", sorted(SHOP_ROW_ELEMENTS))
def test_clicking_a_row_highlights_its_elements(driver, tmp_path, row):
    from selenium.webdriver.common.by import By

    browser.open_picture(driver, picture_of(tmp_path, SHOP_RULES, SHOP_PAGE))
    plain = {item.key: item.background for item in seen(driver, "//body//*")}

    driver.find_element(By.CSS_SELECTOR, f'tr.row[data-row="{row}"]').click()

    after = seen(driver, "//body//*[not(ancestor-or-self::*[@id='ostrel-labels'])]")
    changed = {item.key for item in after if item.background != plain[item.key]}
    assert changed == SHOP_ROW_ELEMENTS[row]
    assert all(item.width >= 4 for item in after if item.key in changed)
    assert console_errors(driver) == []


# Rules that select every element, and a long list, for the pages below.
EVERY_ELEMENT = 'value_separator: " "\nrules:\n  - all:\n      rules: "//*"\n'
LONG_LIST = 'value_separator: " "\nrules:\n  - item:\n      rules: ["//ul/li[1]", "//ul/li[2]"]\n'


def long_page():
    """A page long enough that the browser parses the frame in slices, its
    list at the end."""
    filler = "".join(f"<p>paragraph {n} of a long page, before the list</p>" for n in range(20000))
    items = "".join(f"<li>item {n}</li>" for n in range(30))
    return f"<html><body>{filler}<ul>{items}</ul></body></html>"


def hostile_page():
    every = "".join(HOSTILE)
    return f"<html><head>{every}</head><body><h1>t</h1>{every}</body></html>"


@pytest.mark.parametrize(
    "rules, page",
    [
        (EXAMPLE_RULES.read_text("utf-8"), (EXAMPLES / "pages" / "headphones.html").read_text("utf-8")),
        # Labelled only once the whole page is in the frame.
        (LONG_LIST, long_page()),
        # Nothing of it runs or is fetched: no alert, no blocked load on the console.
        (EVERY_ELEMENT, hostile_page()),
    ],
    ids=["example", "long", "hostile"],
)
def test_every_matched_element_is_outlined_and_labelled(driver, tmp_path, rules, page):
    browser.open_picture(driver, picture_of(tmp_path, rules, page))

    every = seen(driver, "//*[@data-ostrel-mark]")
    assert len(every) > 20
    # (An element inside a video has no computed style at all: it is never drawn.)
    styled = [item for item in every if item.outline != ""]
    assert [item.tag for item in styled if item.outline != "solid" or item.width < 2] == []
    assert {item.tag for item in every if item.outline == ""} <= {"source", "track"}
    labelled = {mark for mark, _ in driver.execute_script(LABELS)}
    assert {item.mark for item in every if item.boxed} <= labelled
    assert console_errors(driver) == []
