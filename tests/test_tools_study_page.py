"""The study's quality page: the day strip from known non-wear and damage, the
problem rules at their edges, the `velnora page` command, and the page of a
writer-made study in Debian's headless chromium."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import subprocess
import sys
from typing import Any

import pytest

import headless_browser
from study_recordings import NOT_A_RECORDING, write_study
from test_tools_activity import moving_or_still, write_motion

if importlib.util.find_spec("velnora_tools") is None:  # a build tree, not an install
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))

# The sessions that install the test extra set this, so that a missing library fails there.
if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pandas")

from velnora_tools import quality_page  # noqa: E402
from velnora_tools._quality_rules import problems  # noqa: E402
from velnora_tools._report import REPORT_NAMES, report_row  # noqa: E402
from velnora_tools.study_page import NEEDED, _sleep_path, _to_planned_end  # noqa: E402

# The study's problems on a page asking for one worn day (planned: one day).
EXPECTED = {
    "p01-good": {},
    "p02-damaged": {"damaged_blocks": "40 damaged data blocks and their 3200 samples left out"},
    "p03-ends-early": {
        "end_from_data": "data ends 15 h before the planned end",
        "days_16h_worn": "0 days with at least 16 worn hours, fewer than 1",
    },
    "p04-restless": {"calibrated": "calibration failed: no still 10 s window"},
    "p05-left-off": {"days_16h_worn": "0 days with at least 16 worn hours, fewer than 1"},
}


@pytest.fixture(scope="module")
def study(tmp_path_factory: pytest.TempPathFactory) -> tuple[list[pathlib.Path], pathlib.Path]:
    folder = tmp_path_factory.mktemp("study")
    paths = write_study(folder, days=1)
    return paths, folder / "study.html"


def test_the_strip_marks_non_wear_and_damage_where_they_were_made(tmp_path: pathlib.Path) -> None:
    # From 12:30 for four hours, still from the second hour to the third (non-wear
    # blocks 4 to 11 of the recording); block 5 damaged at 12:30:16, blocks 2000
    # and 2001 at 14:16:40.
    path = write_motion(tmp_path / "rec.cwa", moving_or_still(240, range(60, 180)), damaged=[5, 2000, 2001])

    row = report_row(str(path), skip_damaged=True, with_epochs=True)

    assert row["strip_first_day"] == "2020-09-13"
    assert row["strip"] == "." * 50 + "x" + "w" * 3 + "n" * 3 + "x" + "n" * 4 + "w" * 4 + "." * 30


def summary_row(**values: Any) -> dict[str, Any]:
    row: dict[str, Any] = {
        "error": None,
        "start_from_header": "2023-05-01T00:00:00+00:00",
        "end_from_header": "2023-05-08T00:00:00+00:00",
        "start_from_data": "2023-05-01T00:00:00+00:00",
        "end_from_data": "2023-05-07T23:00:00+00:00",
        "samplingrate_hz_from_header": 100.0,
        "samplingrate_hz_from_data": 101.0,
        "damaged_blocks": 0,
        "damaged_samples": 0,
        "calibrated": True,
        "calibration_error_after_mg": 10.0,
        "days_16h_worn": 4,
    }
    return {**row, **values}


@pytest.mark.parametrize(
    ("values", "found"),
    [
        ({}, {}),  # each value at its rule's edge
        ({"end_from_data": "2023-05-06T17:00:00+00:00"}, {"end_from_data": "data ends 31 h before the planned end"}),
        ({"start_from_data": "2023-05-01T01:30:00+00:00"}, {"start_from_data": "data starts 1.5 h after the planned start"}),
        ({"samplingrate_hz_from_data": 98.5}, {"samplingrate_hz_from_data": "data rate 98.5 Hz, 1.5 % from the header's 100 Hz"}),
        ({"damaged_blocks": 1, "damaged_samples": 120}, {"damaged_blocks": "1 damaged data block and its 120 samples left out"}),
        ({"calibrated": False}, {"calibrated": "calibration failed"}),
        ({"calibrated": False, "calibration_reason": "the fit's equations are singular"}, {"calibrated": "calibration failed: the fit's equations are singular"}),
        ({"calibration_error_after_mg": 12.25}, {"calibration_error_after_mg": "error after calibration 12.2 mg, above 10 mg"}),
        ({"days_16h_worn": 3}, {"days_16h_worn": "3 days with at least 16 worn hours, fewer than 4"}),
        ({"error": "not a CWA recording"}, {"error": "the read failed: not a CWA recording"}),
        # What could not be read is judged by no rule.
        ({key: None for key in summary_row()}, {}),
        ({"end_from_header": None, "samplingrate_hz_from_header": 0.0}, {}),
    ],
)
def test_problem_rules(values: dict[str, Any], found: dict[str, str]) -> None:
    assert problems(summary_row(**values), 4) == found


@pytest.mark.parametrize(
    ("end", "days"),
    [
        ("2023-05-03T00:00:00+00:00", 2),
        ("2023-05-03T00:00:01+00:00", 3),  # a second into a day is a day on the strip
        ("2023-04-30T00:00:00+00:00", 1),  # the data's own days stay
        ("2025-05-01T00:00:00+00:00", 31),  # a planned end years away adds a month
        (None, 1),
    ],
)
def test_the_strip_runs_to_the_planned_end(end: str | None, days: int) -> None:
    strip = _to_planned_end({"strip": "w" * 96, "strip_first_day": "2023-05-01", "end_from_header": end})
    assert strip == "w" * 96 + "." * (days - 1) * 96


def test_the_page_command(study: tuple[list[pathlib.Path], pathlib.Path], tmp_path: pathlib.Path) -> None:
    paths, _ = study
    out = tmp_path / "study.html"
    done = subprocess.run(
        [sys.executable, "-m", "velnora_tools.cli", "page", *map(str, paths), "-o", str(out), "-j", "2", "--days", "1"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    broken, damaged = paths[-1], paths[1]
    assert (done.returncode, done.stdout) == (1, f"{out}\n")
    said = done.stderr.splitlines()
    assert f"velnora: {broken}: not a CWA recording (First block is not a metadata block)" in said
    assert any(line.startswith(f"velnora: {damaged}: left out 40 damaged data blocks") for line in said)
    page = out.read_text()
    assert page.count("<tr") == len(paths) + 1 and "://" not in page
    # The method finds a window in each night with worn epochs: every recording that reads.
    assert page.count("<path class='sleep'") == len(paths) - 1


def test_a_sleep_window_is_drawn_across_midnight() -> None:
    # Rows 4 units tall with a gap of 1: a bar along each row's last unit, cut at midnight.
    drawn = _sleep_path("2023-05-01", "2023-05-01T23:00:00/2023-05-02T07:00:00", 2)
    assert drawn == "<path class='sleep' d='M92 3h4v1h-4zM0 8h28v1h-28z'/>"


def test_a_summary_without_epochs_is_refused(tmp_path: pathlib.Path) -> None:
    import pandas as pd

    with pytest.raises(ValueError) as refused:
        quality_page(pd.DataFrame(columns=list(REPORT_NAMES)), tmp_path / "none.html")
    assert str(refused.value) == (
        "the summary lacks the columns calibrated, calibration_error_before_mg, calibration_error_after_mg, worn_hours, "
        "days_16h_worn, enmo_worn_mg, strip_first_day, strip: make it with summarise(..., epochs=True)"
    )
    assert not (tmp_path / "none.html").exists()
    # A summary made before damaged blocks' samples were counted still makes a page.
    earlier = pd.DataFrame([{**dict.fromkeys(NEEDED), **summary_row(damaged_blocks=2), "path": "a.cwa"}]).drop(columns="damaged_samples")
    quality_page(earlier, tmp_path / "earlier.html")
    assert "2 damaged data blocks left out" in (tmp_path / "earlier.html").read_text()


def browser_or_skip() -> None:
    """A browser test needs Debian's chromium and selenium; the sessions that
    install them set VELNORA_TEST_BROWSER, so that their absence fails there."""
    reason = headless_browser.missing() or (None if importlib.util.find_spec("selenium") else "no selenium")
    if reason is None:
        return
    if os.environ.get("VELNORA_TEST_BROWSER") == "1" or (reason == "no selenium" and os.environ.get("VELNORA_TEST_EXTRAS") == "1"):
        pytest.fail(reason)
    pytest.skip(reason)


def test_the_page_in_a_real_browser(study: tuple[list[pathlib.Path], pathlib.Path]) -> None:
    browser_or_skip()
    from selenium.webdriver.common.by import By

    paths, out = study
    summary = quality_page(paths, out, workers=2, min_worn_days=1)
    assert summary["path"].tolist() == [str(path) for path in paths]

    with headless_browser.chromium() as driver:
        driver.get(out.as_uri())
        assert headless_browser.first_paint_ms(driver) is not None

        rows = driver.find_elements(By.CSS_SELECTOR, "#recordings tbody tr")
        marked = {}
        for row in rows:
            name = pathlib.Path(row.find_element(By.CSS_SELECTOR, "td").text).stem
            titles = [cell.get_attribute("title") for cell in row.find_elements(By.CSS_SELECTOR, "td.problem")]
            marked[name] = (sorted(titles), "problem" in (row.get_attribute("class") or ""))
        broken = marked.pop(NOT_A_RECORDING)
        assert broken[1] and len(broken[0]) == 1 and broken[0][0].startswith("the read failed: not a CWA recording")
        assert marked == {name: (sorted(cells.values()), bool(cells)) for name, cells in EXPECTED.items()}

        def column(title: str) -> list[str]:
            index = [header.text for header in driver.find_elements(By.CSS_SELECTOR, "#recordings th")].index(title)
            return [row.find_elements(By.CSS_SELECTOR, "td")[index].text for row in driver.find_elements(By.CSS_SELECTOR, "#recordings tbody tr")]

        samples = [int(text) for text in column("samples") if text]
        header = driver.find_element(By.XPATH, "//th[button='samples']")
        header.click()
        assert [int(text) for text in column("samples") if text] == sorted(samples) and column("samples")[-1] == ""
        header.click()
        assert [int(text) for text in column("samples") if text] == sorted(samples, reverse=True)
        assert header.get_attribute("aria-sort") == "descending"

        # The columns a study checks first are in view in a window 1400 px wide, and the path stays in view sideways.
        for title in ("worn (h)", "days worn 16 h", "ENMO worn (mg)", "valid days", "ENMO 24 h (mg)"):
            right = driver.execute_script("return arguments[0].getBoundingClientRect().right", driver.find_element(By.XPATH, f"//th[button='{title}']"))
            assert right <= 1400, title
        driver.execute_script("window.scrollTo(3000, 0)")
        assert driver.execute_script("return document.querySelector('td.path').getBoundingClientRect().left") >= 0
        heights = driver.execute_script("return Array.from(document.querySelectorAll('#recordings tbody tr'), (row) => row.getBoundingClientRect().height)")
        assert max(heights) < 100  # a row as tall as its strip of days, whatever its problems

        driver.find_element(By.ID, "filter").send_keys("calibration failed")
        shown = [row for row in driver.find_elements(By.CSS_SELECTOR, "#recordings tbody tr") if row.is_displayed()]
        assert [pathlib.Path(row.find_element(By.CSS_SELECTOR, "td").text).stem for row in shown] == ["p04-restless"]
        assert driver.find_element(By.ID, "shown").text == f"1 of {len(paths)} shown"
        assert headless_browser.console_errors(driver) == []
