"""Makes docs/figures/quality-page.html, the quality page of a small study of
week-long recordings (tests/study_recordings.py: one good, one damaged, one
ending early, one without still postures, one left off, one no recording),
and docs/figures/quality-page.png, its screenshot in Debian's headless
chromium.

    python examples/figure_quality_page.py [OUT_DIR]     # default docs/figures
"""

from __future__ import annotations

import contextlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import velnora_tools  # noqa: E402
from figure_output import make_figure  # noqa: E402
from headless_browser import chromium, console_errors  # noqa: E402
from study_recordings import write_study  # noqa: E402


def write_recordings(scratch: pathlib.Path) -> None:
    """The study, in the scratch recording's folder."""
    write_study(scratch.parent)


def draw(scratch: pathlib.Path, png: pathlib.Path) -> None:
    page = png.resolve().with_suffix(".html")
    # Relative paths, so that the page names the recordings as a study's folder would.
    with contextlib.chdir(scratch.parent):
        velnora_tools.quality_page(sorted(path.name for path in scratch.parent.glob("p*.cwa")), page)
    with chromium(1400, 1150) as browser:
        browser.get(page.as_uri())
        if errors := console_errors(browser):
            raise RuntimeError(f"the page logged errors: {errors}")
        browser.save_screenshot(str(png))


if __name__ == "__main__":
    make_figure("quality-page", write_recordings, draw)
