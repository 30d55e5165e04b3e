"""A study's afternoon as a research assistant spends it: writer-made
recordings, one damaged, a directory given as a recording, a folder the
outputs cannot go into, text piped into `head`, and runs again."""

from __future__ import annotations

import json
import os
import pathlib
import pickle
import subprocess
import sys

import pandas as pd
import pytest

from children import ENV
from cwa_writer import MetadataBlock, steady_recording, write_cwa

import velnora_tools
from velnora_tools import DamagedRecording

if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pyarrow")

START = 1_600_000_000
DAMAGE = "data block 5 is damaged (Unsupported sample format: 7 axes, packing 7)"


def velnora(*args: object, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "velnora_tools.cli", *map(str, args)], capture_output=True, text=True, cwd=cwd, env=ENV, timeout=120
    )


def shell(line: str, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    velnora_line = line.replace("velnora ", f"{sys.executable} -m velnora_tools.cli ")
    return subprocess.run(["bash", "-c", velnora_line + "; exit ${PIPESTATUS[0]}"], capture_output=True, text=True, cwd=cwd, env=ENV, timeout=120)


@pytest.fixture
def study(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "raw").mkdir()
    for name in ("sub01", "sub02"):
        write_cwa(tmp_path / "raw" / f"{name}.cwa", MetadataBlock(device_id=7), steady_recording(START, 30))
    damaged = steady_recording(START, 30)
    damaged[5].sample_format = 0x77
    write_cwa(tmp_path / "raw" / "sub03.cwa", MetadataBlock(device_id=8), damaged)
    return tmp_path


def test_a_study_afternoon(study: pathlib.Path) -> None:
    raw = sorted(f"raw/{path.name}" for path in (study / "raw").iterdir())
    # Parquet for all: the damaged one fails with its block and the way past it.
    first = velnora("parquet", *raw, "-j", "2", cwd=study)
    assert (first.returncode, first.stderr) == (1, f"velnora: raw/sub03.cwa: {DAMAGE}: --skip-damaged reads past it\n")
    # Run again past the damage: the complete outputs are kept, the failed one is written.
    again = velnora("parquet", *raw, "--skip-damaged", cwd=study)
    outputs = [f"raw/sub0{n}.parquet" for n in (1, 2, 3)]
    assert (again.returncode, again.stdout.split()) == (0, outputs), again.stderr
    assert "raw/sub03.cwa: left out 1 damaged data block (5) and its 120 samples" in again.stderr
    assert "kept" not in again.stderr  # --skip-damaged is another set of options
    files = [(study / out).stat().st_ino for out in outputs]
    kept = velnora("parquet", *raw, "--skip-damaged", "-q", cwd=study)
    assert (kept.returncode, kept.stdout.split(), kept.stderr) == (0, outputs, "")
    assert [(study / out).stat().st_ino for out in outputs] == files

    # Epochs in Python: the damaged recording is named, the frame's attrs survive a file.
    with pytest.raises(DamagedRecording, match="^" + DAMAGE.replace("(", r"\(").replace(")", r"\)")):
        velnora_tools.epochs(study / "raw" / "sub03.cwa", calibration=False)
    frame = velnora_tools.epochs(study / "raw" / "sub03.cwa", calibration=False, skip_damaged=True)
    frame.to_parquet(study / "epochs.parquet")
    as_json = json.loads(json.dumps(frame.attrs))
    assert pd.read_parquet(study / "epochs.parquet").attrs == as_json == json.loads(json.dumps(pickle.loads(pickle.dumps(frame)).attrs))

    # One recording named as a string is one recording.
    assert velnora_tools.summarise(str(study / "raw" / "sub01.cwa"))["path"].tolist() == [str(study / "raw" / "sub01.cwa")]

    # Text into `head`: three lines, then a quiet end by SIGPIPE's status; Parquet refuses standard output.
    head = shell("velnora csv raw/sub01.cwa -o - | head -3", study)
    assert (head.returncode, len(head.stdout.splitlines()), head.stderr) == (141, 3, "")
    assert "Parquet cannot go to standard output" in velnora("parquet", "raw/sub01.cwa", "-o", "-", cwd=study).stderr

    # Mistakes, each with the next step.
    directory = velnora("report", "raw", cwd=study)
    assert directory.stderr == "velnora: raw: a directory, not a recording: name the recordings in it, as raw/*.cwa\n"
    locked = study / "locked"
    locked.mkdir()
    (locked / "sub04.cwa").write_bytes((study / "raw" / "sub01.cwa").read_bytes())
    locked.chmod(0o555)
    if os.access(locked, os.W_OK):  # a superuser writes anywhere: a directory in the output's place stops it instead
        locked.chmod(0o755)
        (locked / "sub04.csv").mkdir()
    beside = velnora("csv", "locked/sub04.cwa", cwd=study)
    assert beside.returncode == 1 and beside.stderr.endswith("(-o writes the outputs elsewhere)\n"), beside.stderr
    late = velnora("csv", "raw/sub01.cwa", "--seconds", "100", "200", "-o", "late.csv", cwd=study)
    assert late.stderr.endswith("(its data last 35.99 s from the first block's start)\n"), late.stderr

    # The page from recordings that are all missing: no page, and why.
    page = velnora("page", "gone1.cwa", "gone2.cwa", "-o", "page.html", "-q", cwd=study)
    assert page.returncode == 1 and page.stderr.endswith("no recording could be read: no page written\n")
    assert not (study / "page.html").exists()


@pytest.mark.parametrize(
    "command, output",
    [(["parquet"], "sub01.parquet"), (["epochs", "--no-calibration"], "sub01.epochs.parquet"), (["epochs", "--no-calibration", "--csv"], "sub01.epochs.csv")],
)
def test_a_complete_output_is_kept_until_its_recording_or_options_change(study: pathlib.Path, command: list[str], output: str) -> None:
    recording, out = study / "raw" / "sub01.cwa", study / "raw" / output

    def made_anew(*extra: str) -> bool:
        before = out.stat().st_ino if out.exists() else None
        done = velnora(*command, recording, *extra, cwd=study)
        assert (done.returncode, done.stdout) == (0, f"{out}\n"), done.stderr
        return out.stat().st_ino != before

    assert made_anew()
    assert not made_anew() and not made_anew("-q")
    assert made_anew("--force")
    assert made_anew("--seconds", "0", "20") and not made_anew("--seconds", "0", "20")
    status = recording.stat()
    os.utime(recording, ns=(status.st_atime_ns, status.st_mtime_ns + 1_000_000_000))
    assert made_anew("--seconds", "0", "20")
    if output.endswith(".csv"):
        out.with_suffix(".json").unlink()  # the record of the table's source
    else:
        out.write_bytes(out.read_bytes()[:-100])  # cut short: no footer
    assert made_anew("--seconds", "0", "20")
    said = velnora(*command, recording, "--seconds", "0", "20", cwd=study).stderr
    assert said == f"velnora: {recording}: kept {out}, made of it earlier with the same options (--force writes it again)\n"
