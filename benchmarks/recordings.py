"""The recordings the benchmarks read, and the options every benchmark takes.

NumPy stays out of this module and of every benchmark's own process: a
measured child's peak RSS starts from that of the process that spawned it.
A missing recording is therefore written by generate_recording.py in a child
process of its own."""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import cwa_writer as w  # noqa: E402

DATA_DIR = ROOT / "benchmarks" / "data"
GENERATOR = ROOT / "benchmarks" / "generate_recording.py"
NOMINAL_HZ = 100.0
SAMPLE_FORMATS = {3: w.FORMAT_PACKED, 6: w.FORMAT_AXIS6, 9: w.FORMAT_AXIS9}


def samples_per_block(axes: int) -> int:
    """As many samples as the 480-byte sample area holds: 120, 40 or 26."""
    return w.SAMPLE_AREA_SIZE // w.bytes_per_sample(SAMPLE_FORMATS[axes])


def default_path(days: int, axes: int = 3) -> pathlib.Path:
    suffix = "" if axes == 3 else f"_{axes}axis"
    return DATA_DIR / f"recording_{days}d{suffix}.cwa"


def ensure_recording(days: int, axes: int, path: pathlib.Path | None = None) -> pathlib.Path:
    """The recording at `path` (by default the standard one), generated when
    missing."""
    path = path or default_path(days, axes)
    if not path.exists():
        command = [sys.executable, str(GENERATOR), "--days", str(days), "--axes", str(axes), "--output", str(path)]
        subprocess.run(command, check=True)
    return path


def benchmark_parser(doc: str, repeat: int, days: int = 7) -> argparse.ArgumentParser:
    """The options every benchmark takes: which recording, how many rounds,
    and whether each call runs in a fresh process."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=days)
    parser.add_argument("--axes", type=int, choices=sorted(SAMPLE_FORMATS), default=3)
    parser.add_argument("--repeat", type=int, default=repeat)
    parser.add_argument("--path", type=pathlib.Path, default=None, help="a recording of --axes axes")
    parser.add_argument(
        "--same-process", action="store_true", help="time each call in this process instead (no peak RSS)"
    )
    return parser


def recording_for(args: argparse.Namespace) -> pathlib.Path:
    """The recording a benchmark's arguments name, generated when missing."""
    return ensure_recording(args.days, args.axes, args.path)
