"""Debian's chromium, headless, driven through its chromedriver: for the
browser tests, the page's screenshot in the docs and its benchmark."""

from __future__ import annotations

import contextlib
import os
import shutil
import time
from collections.abc import Iterator
from typing import Any

DRIVER = "/usr/bin/chromedriver"
# Where Debian puts the browser, found also when PATH holds only a venv (the installed-wheel runs).
BROWSER = "/usr/bin/chromium"


def browser() -> str | None:
    return shutil.which("chromium") or (BROWSER if os.path.exists(BROWSER) else None)


def missing() -> str | None:
    """Why no browser can be started here, naming what is missing, or None."""
    absent = [name for name, found in ((DRIVER, os.path.exists(DRIVER)), (BROWSER, browser() is not None)) if not found]
    if absent:
        return f"no {' and no '.join(absent)} (Debian's packages chromium and chromium-driver)"
    return None


@contextlib.contextmanager
def chromium(width: int = 1400, height: int = 900) -> Iterator[Any]:
    """A headless chromium with its console kept, quit on leaving."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = browser() or "chromium"
    # Root has no sandbox; /dev/shm may be small in a container.
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={width},{height}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not under test: sanitizer runtimes preloaded into the tests stay out of it.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(DRIVER, env=env))
    try:
        yield driver
    finally:
        driver.quit()


def first_paint_ms(driver: Any, wait_s: float = 10.0) -> float | None:
    """The first paint's time from the navigation's start, as the Performance
    API gives it; the entry may come only after the load event, so it is
    awaited for up to `wait_s`."""
    script = "return performance.getEntriesByType('paint').map(e => [e.name, e.startTime]);"
    deadline = time.monotonic() + wait_s
    while (paint := dict(driver.execute_script(script)).get("first-paint")) is None and time.monotonic() < deadline:
        time.sleep(0.02)
    return paint


def console_errors(driver: Any) -> list[str]:
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
