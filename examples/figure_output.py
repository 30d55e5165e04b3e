"""What every figure script of the documentation does around its drawing:
writes its recording with the project's writer into a scratch folder, draws
the figure from what velnora reads, and saves it as NAME.png in the folder
given on the command line (docs/figures by default)."""

from __future__ import annotations

import pathlib
import sys
import tempfile
from collections.abc import Callable


def make_figure(
    name: str, write_recording: Callable[[pathlib.Path], None], draw: Callable[[pathlib.Path, pathlib.Path], None]
) -> None:
    default = pathlib.Path(__file__).resolve().parent.parent / "docs" / "figures"
    out_dir = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        recording = pathlib.Path(scratch, f"{name}.cwa")
        write_recording(recording)
        draw(recording, out_dir / f"{name}.png")
    print(f"wrote {out_dir / f'{name}.png'}")
