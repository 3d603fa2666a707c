"""Writes docs/try-report.png, the README's picture of ``try --html``: the
example rules on an example page, opened in headless chromium, with a row
picked. Run from the repository root with the package installed:

    .venv/bin/python tools/try_report_screenshot.py [OUT.png]
"""

import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.support import browser  # noqa: E402


def main(out=ROOT / "docs" / "try-report.png"):
    if browser.missing():
        sys.exit(browser.missing())
    with tempfile.TemporaryDirectory() as tmp:
        report = pathlib.Path(tmp) / "report.html"
        command = [sys.executable, "-m", "ostrel.crawler.field_extractor", "try", "examples/rules.yaml"]
        subprocess.run(
            [*command, "examples/pages/cables.html", "--html", str(report)],
            check=True,
            cwd=ROOT,
            stdout=subprocess.DEVNULL,
        )
        driver = browser.chromium(1200, 720)
        try:
            browser.open_picture(driver, report)
            row = driver.find_element("css selector", 'tr.row[data-row="2"]')
            driver.execute_script("arguments[0].click()", row)  # as a click, without scrolling the table
            driver.save_screenshot(str(out))
        finally:
            driver.quit()
    print(f"{out}: {pathlib.Path(out).stat().st_size} bytes")


if __name__ == "__main__":
    main(*sys.argv[1:])
