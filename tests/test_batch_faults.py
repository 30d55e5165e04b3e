"""Faults in the middle of a batch, in a subprocess as they happen: the
command or `convert` ended by a signal, and a worker process killed under a
recording. A recording with a long sparse tail keeps a worker busy reading it
(its descriptor open, which names the worker) for as long as the test needs."""

from __future__ import annotations

import fcntl
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import velnora
from csv_text import without_fields
from cwa_writer import steady_recording, write_cwa
from children import ENV, default_signals

if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
import pandas as pd  # noqa: E402

START = 1_600_000_000
CONVERT = "import sys; from velnora_tools import batch; batch.convert(sys.argv[2:], sys.argv[1], format='csv', workers=2)"


def busy_recording(path: pathlib.Path, hole_bytes: int) -> pathlib.Path:
    """A recording whose sectors of zeros, screened one by one, keep a reader
    busy for about a second per 2 GiB."""
    write_cwa(path, None, steady_recording(START, 20))
    os.truncate(path, path.stat().st_size + hole_bytes)
    return path


def process_state(pid: int) -> tuple[str, int] | None:
    """A process's state letter and its parent, None once it is gone."""
    try:
        state, parent = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[:2]
    except OSError:
        return None
    return state, int(parent)


def children(parent: int) -> list[int]:
    pids = [int(entry.name) for entry in pathlib.Path("/proc").iterdir() if entry.name.isdigit()]
    return [pid for pid in pids if (state := process_state(pid)) is not None and state[1] == parent]


def reading(pid: int, path: pathlib.Path) -> bool:
    try:
        return any(os.readlink(fd) == str(path) for fd in pathlib.Path(f"/proc/{pid}/fd").iterdir())
    except OSError:
        return False


def wait_for_workers(parent: subprocess.Popen[str], paths: list[pathlib.Path], ignored: frozenset[int] | set[int] = frozenset()) -> list[int]:
    """The worker processes reading each of `paths`, once all of them are."""
    deadline = time.monotonic() + 30
    while parent.poll() is None and time.monotonic() < deadline:
        workers = children(parent.pid)
        found = [next((pid for pid in workers if pid not in ignored and reading(pid, path)), None) for path in paths]
        if None not in found:
            return found  # type: ignore[return-value]
        time.sleep(0.01)
    raise AssertionError(f"no worker read {paths}: {parent.communicate()}")


def gone(pid: int) -> bool:
    state = process_state(pid)
    return state is None or state[0] == "Z"


@pytest.mark.parametrize(
    ("runner", "signum", "status", "stderr"),
    [
        ("command", signal.SIGTERM, 143, "velnora: stopped by SIGTERM\n"),
        ("command", signal.SIGHUP, 129, "velnora: stopped by SIGHUP\n"),
        # Nothing is said, but the workers end with their parent and clean up.
        ("command", signal.SIGKILL, -signal.SIGKILL, ""),
        # The manifest saved, the process then ends by the signal.
        ("convert", signal.SIGTERM, -signal.SIGTERM, ""),
    ],
)
def test_a_signal_stops_the_workers_and_leaves_what_was_finished(
    tmp_path: pathlib.Path, runner: str, signum: int, status: int, stderr: str
) -> None:
    small = write_cwa(tmp_path / "small.cwa", None, steady_recording(START, 20))
    busy = [busy_recording(tmp_path / f"busy{i}.cwa", 32 << 30) for i in range(2)]
    out = tmp_path / "out"
    inputs = [str(path) for path in (small, *busy)]
    if runner == "command":
        command = ["-m", "velnora_tools.cli", "csv", *inputs, "-o", f"{out}/", "-j", "2"]
    else:
        command = ["-c", CONVERT, str(out), *inputs]
    parent = subprocess.Popen([sys.executable, *command], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_signals)
    workers = wait_for_workers(parent, busy)
    parent.send_signal(signum)
    _, said = parent.communicate(timeout=30)
    assert (parent.returncode, said) == (status, stderr)
    deadline = time.monotonic() + 10
    while not all(map(gone, workers)) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert all(map(gone, workers))
    expected = tmp_path / "expected.csv"
    velnora.write_cwa_csv(str(small), str(expected))
    assert (out / "small.csv").read_bytes() == without_fields(expected.read_bytes())
    left = sorted(path.name for path in out.iterdir())
    if runner == "convert":
        manifest = pd.read_parquet(out / "_manifest.parquet")
        assert manifest[["path", "output", "status"]].values.tolist() == [[str(small), str(out / "small.csv"), "written"]]
        assert left == ["_manifest.parquet", "small.csv"]
    else:
        assert left == ["small.csv"]


@pytest.mark.parametrize("kills", [1, 2])
def test_a_dead_worker_costs_only_its_own_recording(tmp_path: pathlib.Path, kills: int) -> None:
    smalls = [write_cwa(tmp_path / f"small{i}.cwa", None, steady_recording(START + i, 20)) for i in range(3)]
    victim = busy_recording(tmp_path / "victim.cwa", 1 << 30)
    out = tmp_path / "out"
    out.mkdir()
    # What a worker killed mid-write in an earlier run left; one that another
    # process is still writing (it holds it locked); and files that are none
    # of this tool's temporaries.
    stale = out / ".victim.csv.0123456789ab.part"
    held = out / ".other.csv.0123456789ab.part"
    others = [held, out / ".victim.csv.part", out / "victim.csv.0123456789ab.part"]
    for path in (stale, *others):
        path.write_text("partial")
        os.utime(path, (time.time() - 60, time.time() - 60))
    command = [sys.executable, "-m", "velnora_tools.cli", "csv", str(victim), *map(str, smalls), "-o", str(out), "-j", "2"]
    began = time.time_ns()
    with open(held) as writing:
        fcntl.flock(writing, fcntl.LOCK_EX)
        parent = subprocess.Popen(command, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_signals)
        killed: set[int] = set()
        for _ in range(kills):
            [worker] = wait_for_workers(parent, [victim], ignored=killed)
            os.kill(worker, signal.SIGKILL)
            killed.add(worker)
        stdout, stderr = parent.communicate(timeout=60)
    written = [out / f"small{i}.csv" for i in range(3)]
    if kills == 1:
        assert (parent.returncode, stderr) == (0, "")
        written.insert(0, out / "victim.csv")
    else:
        assert (parent.returncode, stderr) == (1, f"velnora: {victim}: its worker process died (killed by SIGKILL) on both tries\n")
        assert not (out / "victim.csv").exists()
    assert stdout.split() == list(map(str, written))
    for path in written:
        expected = tmp_path / "expected.csv"
        velnora.write_cwa_csv(str(tmp_path / f"{path.stem}.cwa"), str(expected))
        assert path.read_bytes() == without_fields(expected.read_bytes())
    # The killed workers' own temporaries are newer than the batch: the next one removes them.
    parts = {path for path in out.iterdir() if path.name.endswith(".part")}
    assert not stale.exists() and set(others) <= parts
    assert all(path.stat().st_mtime_ns >= began for path in parts - set(others))
