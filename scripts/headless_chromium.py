"""Debian's Chromium, headless, driven by Selenium through Debian's chromedriver.

    from headless_chromium import start_chromium
    with start_chromium(1280, 900) as driver:
        driver.get(Path("out/index.html").resolve().as_uri())
        errors = console_errors(driver)

Both executables come from apt (`chromium`, `chromium-driver`; the set-up
script installs them) and are named by path, so Selenium never looks for or
downloads a driver or a browser of its own. $CHROMIUM and $CHROMEDRIVER name
others.
"""
from __future__ import annotations

import contextlib
import os
import shutil
from typing import Any, Iterator

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def executables() -> tuple[str | None, str | None]:
    """The browser and the driver, or None for each that is missing."""
    found = []
    for env, default in (("CHROMIUM", CHROMIUM), ("CHROMEDRIVER", CHROMEDRIVER)):
        path = os.environ.get(env) or default
        found.append(path if os.path.isfile(path) and os.access(path, os.X_OK) else shutil.which(path))
    return found[0], found[1]


def missing() -> str | None:
    """Why the browser cannot be started here, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (pip install -r requirements-dev.txt)"
    browser, driver = executables()
    if browser is None or driver is None:
        return "Chromium or its driver is missing (apt-get install chromium chromium-driver)"
    return None


@contextlib.contextmanager
def start_chromium(width: int = 1280, height: int = 900) -> Iterator[Any]:
    """A headless Chromium session with the browser's console log kept."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    browser, driver_path = executables()
    if browser is None or driver_path is None:
        raise RuntimeError(missing() or "Chromium is missing")
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-extensions", "--no-first-run", "--hide-scrollbars",
                f"--window-size={width},{height}",
                # Pages opened from disk may link files beside them.
                "--allow-file-access-from-files"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(executable_path=driver_path), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def console_errors(driver: Any) -> list[str]:
    """The browser console's errors (level SEVERE) since the last call."""
    return [e["message"] for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
