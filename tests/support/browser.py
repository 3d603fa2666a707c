"""Debian's chromium driven by selenium, headless, for the tests and the
README's screenshot of a ``try --html`` picture."""

import shutil

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


def missing():
    """Why no browser can be driven here, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (it is in the test extra: pip install '.[test]')"
    if not (CHROMIUM and DRIVER):
        return "chromium and chromedriver are not installed (apt-get install chromium chromium-driver)"
    return None


def chromium(width=1400, height=900):
    """A headless chromium that keeps the console's messages; the caller quits it."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",  # root in a container
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--hide-scrollbars",
        f"--window-size={width},{height}",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def open_picture(driver, path, timeout=30):
    """Open a written picture and wait until its script has labelled the page."""
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get(path.resolve().as_uri())
    WebDriverWait(driver, timeout).until(
        lambda d: d.execute_script("return document.body.getAttribute('data-ready') === '1'")
    )
