"""Measures the study's quality page at scale: a summary of 1,000 one-week
recordings (synthesised: the summary, not the recordings, is what the page
is made from), the page's size, the time velnora_tools.quality_page takes
beyond loading that summary, and the first paint of the page in Debian's
headless chromium. Targets: under 15 MB, under 1 s, under 2 s.

    PYTHONPATH=build/<name> python3 benchmarks/bench_quality_page.py [--recordings 1000] [--repeat 5]

Contenders, each call in a fresh process, in turn: loading the pickled
summary (the baseline) and loading it and writing the page. The first paint
is timed in a fresh browser each round, from the navigation's start, as the
Performance API's "first-paint" entry gives it, with the end of the load
event beside it."""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

from batch_runner import MB, Contender, literal, measure, median, print_load, print_setup, print_table, print_target

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from headless_browser import chromium, first_paint_ms  # noqa: E402

PAGE_LIMIT = 15 * MB
MAKE_LIMIT_S = 1.0
PAINT_LIMIT_MS = 2000.0

SYNTHESIS = """
import numpy as np, pandas as pd, sys
from velnora_tools._report import EPOCH_COLUMNS, REPORT_COLUMNS
count, out = int(sys.argv[1]), sys.argv[2]
rng = np.random.default_rng(24)
rows = []
for i in range(count):
    start = int(rng.integers(36, 68))  # a cell of the first day, 09:00 to 17:00
    cells = np.full(8 * 96, ord("."), np.uint8)
    cells[start : start + 7 * 96] = ord("w")
    for night in range(7):  # off some nights, and now and then for a day
        if rng.random() < 0.3:
            begin = start + night * 96 + int(rng.integers(40, 60))
            cells[begin : begin + int(rng.integers(8, 40 if rng.random() < 0.9 else 96))] = ord("n")
    if rng.random() < 0.05:
        cells[start + int(rng.integers(0, 600)) : ][:3] = ord("x")
    end_cell = start + 7 * 96 - (int(rng.integers(100, 400)) if rng.random() < 0.05 else 0)
    cells[end_cell : start + 7 * 96] = ord(".")
    day = lambda cell: f"2024-03-{4 + cell // 96:02d}T{cell % 96 // 4:02d}:{cell % 4 * 15:02d}:00+00:00"
    failed = rng.random() < 0.02
    row = {"path": f"/data/study/p{i:04d}.cwa", "error": "not a CWA recording (First block is not a metadata block)" if failed else None}
    if not failed:
        row.update(device_id=40000 + i, session_id=1, start_from_header=day(start), end_from_header=day(start + 7 * 96),
                   start_from_data=day(start), end_from_data=day(end_cell), samplingrate_hz_from_header=100.0,
                   samplingrate_hz_from_data=100.0 + float(rng.normal(0, 0.3)), blocks=504000, samples=60480000,
                   gaps=int(rng.integers(0, 3)), overlaps=0, damaged_blocks=int((cells == ord("x")).sum()),
                   calibrated=bool(rng.random() > 0.04), calibration_error_before_mg=float(rng.uniform(3, 30)),
                   calibration_error_after_mg=float(rng.uniform(0.5, 6)), worn_hours=float((cells == ord("w")).sum() / 4),
                   days_16h_worn=int(((cells.reshape(8, 96) == ord("w")).sum(axis=1) >= 64).sum()),
                   enmo_worn_mg=float(rng.uniform(15, 60)), strip_first_day="2024-03-04", strip=cells.tobytes().decode())
    rows.append(row)
columns = REPORT_COLUMNS + EPOCH_COLUMNS
frame = pd.DataFrame({c.name: pd.Series([row.get(c.name) for row in rows], dtype=c.dtype) for c in columns})
frame.to_pickle(out)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--recordings", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        summary, page = pathlib.Path(scratch, "summary.pkl"), pathlib.Path(scratch, "study.html")
        subprocess.run([sys.executable, "-c", SYNTHESIS, str(args.recordings), str(summary)], check=True)
        load = f"import pandas, velnora_tools; s = pandas.read_pickle({literal(summary)})"
        contenders = [Contender("load summary", load), Contender("load, write page", f"{load}; velnora_tools.quality_page(s, {literal(page)})")]
        print_setup(f"quality page of {args.recordings} one-week recordings", args.repeat, False)
        runs = measure(contenders, args.repeat, False)
        print_table(contenders, runs, {"load, write page": "load summary"})
        making = median(runs["load, write page"]) - median(runs["load summary"])
        timings = [_first_paint_and_load(page) for _ in range(args.repeat)]
        paints, loads = [paint for paint, _ in timings], [load for _, load in timings]
        print(f"first paint: best {min(paints):.0f} ms, median {statistics.median(paints):.0f} ms over {args.repeat} fresh browsers")
        print(f"load event ended (whole table laid out): best {min(loads):.0f} ms, median {statistics.median(loads):.0f} ms")
        print_load("at end")
        print("targets:")
        size = os.path.getsize(page)
        print_target(f"page {size / MB:.2f} MB < {PAGE_LIMIT / MB:.0f} MB", size < PAGE_LIMIT)
        print_target(f"page made in {making:.3f} s beyond loading the summary (median difference) < {MAKE_LIMIT_S:g} s", making < MAKE_LIMIT_S)
        paint = statistics.median(paints)
        print_target(f"first paint {paint:.0f} ms (median) < {PAINT_LIMIT_MS:.0f} ms", paint < PAINT_LIMIT_MS)


def _first_paint_and_load(page: pathlib.Path) -> tuple[float, float]:
    with chromium() as browser:
        browser.get(page.as_uri())
        paint = first_paint_ms(browser)
        load = browser.execute_script("return performance.getEntriesByType('navigation')[0].loadEventEnd;")
    if paint is None:
        raise RuntimeError("the browser reported no first paint")
    return float(paint), float(load)


if __name__ == "__main__":
    main()
