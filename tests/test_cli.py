"""The `velnora` command, run as a user runs it: in a subprocess, on recordings
from the project's writer."""

from __future__ import annotations

import csv
import io
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

import velnora
from csv_text import ABSENT_ON_3_AXES, without_fields
from cwa_writer import MetadataBlock, steady_recording, write_cwa

from children import ENV, ROOT, default_signals, velnora_command
import velnora_tools  # noqa: E402
from velnora_tools.replacing import OutputError  # noqa: E402
# The sessions that install the test extra set this, so that a missing library fails there.
if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402

START = 1_600_000_000
DAMAGED_BLOCK = 5
DAMAGE = f"data block {DAMAGED_BLOCK} is damaged (Unsupported sample format: 7 axes, packing 7)"
DAMAGE_HINT = f"{DAMAGE}: --skip-damaged reads past it"




@pytest.fixture
def folder(tmp_path: pathlib.Path) -> dict[str, pathlib.Path]:
    """A steady recording, one with a 90-second gap, one with a damaged data
    block, and a file that is no recording at all."""
    steady = write_cwa(tmp_path / "steady.cwa", MetadataBlock(device_id=7, session_id=99), steady_recording(START, 20))
    gap = steady_recording(START, 10) + steady_recording(START + 100, 10)
    damaged = steady_recording(START, 20)
    damaged[DAMAGED_BLOCK].sample_format = 0x77
    notes = tmp_path / "notes.cwa"
    notes.write_text("not a recording\n" * 100)
    return {
        "steady": steady,
        "gap": write_cwa(tmp_path / "gap.cwa", MetadataBlock(device_id=8, session_id=1), gap),
        "damaged": write_cwa(tmp_path / "damaged.cwa", None, damaged),
        "notes": notes,
    }


def test_report_rows_match_velnora_in_every_form(folder: dict[str, pathlib.Path]) -> None:
    files = list(folder.values())
    runs = {form: velnora_command("report", *files, *form.split()) for form in ("--json", "--json -j 2", "--csv", "")}
    assert {run.returncode for run in runs.values()} == {1}
    rows = json.loads(runs["--json"].stdout)
    assert json.loads(runs["--json -j 2"].stdout) == rows
    assert [row["path"] for row in rows] == list(map(str, files))
    for name in ("steady", "gap"):
        row, path = rows[files.index(folder[name])], str(folder[name])
        header, report = velnora.read_header(path), velnora.sampling_consistency_report(path)
        assert row["device_id"] == header["device_id"] and row["session_id"] == header["session_id"]
        assert {key: row[key] for key in report if key in row} == {key: report[key] for key in report if key in row}
        assert row["samples"] == len(velnora.read_cwa_file(path)["timestamp"]) == 2400
        assert (row["blocks"], row["gaps"], row["overlaps"], row["error"]) == (20, int(name == "gap"), 0, None)
    errors = {row["path"]: row["error"] for row in rows if row["error"]}
    assert errors == {
        str(folder["damaged"]): DAMAGE_HINT,
        str(folder["notes"]): "not a CWA recording (First block is not a metadata block)",
    }
    for run in runs.values():
        assert sorted(re.findall(r"^velnora: (\S+): ", run.stderr, re.M)) == sorted(errors)
    as_csv = list(csv.DictReader(io.StringIO(runs["--csv"].stdout)))
    assert as_csv == [{key: "" if value is None else str(value) for key, value in row.items()} for row in rows]
    table = runs[""].stdout.splitlines()
    assert len(table) == 1 + len(files) and table[0].startswith("path") and "Unsupported sample format" in table[3]


def test_info_lists_gaps_and_fails_on_no_recording(folder: dict[str, pathlib.Path]) -> None:
    shown = velnora_command("info", folder["gap"])
    assert shown.returncode == 0 and shown.stderr == ""
    # Block 9 ends at START + 12 s; its last sample is at 11.99 s, the next block starts at 100 s.
    assert "gaps: 1 (88.010000 s in all)\n  after 2020-09-13T12:26:51.990000+00:00: 88.010000 s\n" in shown.stdout
    assert "samples: 2400\n" in shown.stdout and "overlaps: 0\n" in shown.stdout
    assert "damaged blocks: 0\n" in shown.stdout
    failed = velnora_command("info", folder["notes"])
    assert (failed.returncode, failed.stdout) == (1, "")
    assert failed.stderr == f"velnora: {folder['notes']}: not a CWA recording (First block is not a metadata block)\n"


def test_info_lists_damage_and_reads_the_rest(folder: dict[str, pathlib.Path]) -> None:
    shown = velnora_command("info", folder["damaged"])
    assert shown.returncode == 0, shown.stderr
    assert f"damaged blocks: 1\n  block {DAMAGED_BLOCK}: Unsupported sample format: 7 axes, packing 7 (120 samples)\n" in shown.stdout
    assert "samples: 2280\n" in shown.stdout


CSV_OPTIONS = [
    ([], {}),
    (["--seconds", "3.5", "9"], {"cut": velnora.seconds(3.5, 9)}),
    (["--blocks", "4", "-"], {"cut": velnora.blocks(4)}),
    (["--resample", "30", "--include", "temperature,battery"], {"resample_hz": 30.0, "include_magnetometer": False, "include_temperature": True, "include_battery": True}),
    (["--include", "none"], {"include_magnetometer": False}),
    (["--skip-damaged", "--include", "mag,temperature,light,battery"], dict.fromkeys(("include_temperature", "include_light", "include_battery"), True)),
    (["--include", "all"], dict.fromkeys(("include_temperature", "include_light", "include_battery"), True)),
]


@pytest.mark.parametrize("options, arguments", CSV_OPTIONS, ids=lambda value: " ".join(value) if isinstance(value, list) else None)
def test_csv_is_write_cwa_csv(folder: dict[str, pathlib.Path], options: list[str], arguments: dict[str, object]) -> None:
    source = folder["steady"]
    done = velnora_command("csv", source, *options)
    out = source.with_suffix(".csv")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{out}\n", "")
    velnora.write_cwa_csv(str(source), str(source.with_name("expected.csv")), **arguments)
    expected = source.with_name("expected.csv").read_bytes()
    # A 3-axis recording: its gyroscope and magnetometer columns are kept only when asked for.
    assert out.read_bytes() == (expected if "all" in options else without_fields(expected))


def test_csv_skips_a_damaged_block(folder: dict[str, pathlib.Path]) -> None:
    out = folder["damaged"].with_name("good.csv")
    assert velnora_command("csv", folder["damaged"], "-o", out).returncode == 1 and not out.exists()
    done = velnora_command("csv", folder["damaged"], "-o", out, "--skip-damaged")
    assert done.returncode == 0, done.stderr
    assert len(out.read_text().splitlines()) == 1 + 19 * 120


def test_parquet_files_hold_the_reading(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path) -> None:
    outs = tmp_path / "out"
    done = velnora_command("parquet", *folder.values(), "-o", outs, "-j", "2", "--blocks", "2", "15", "--include", "light")
    assert done.returncode == 1
    assert sorted(done.stdout.split()) == [str(outs / "gap.parquet"), str(outs / "steady.parquet")]
    assert sorted(os.listdir(outs)) == ["gap.parquet", "steady.parquet"]
    for name in ("steady", "gap"):
        table = pq.read_table(outs / f"{name}.parquet")
        expected = velnora.read_cwa_file(str(folder[name]), cut=velnora.blocks(2, 15), include_magnetometer=False, include_temperature=False, include_battery=False)
        assert table.column_names == [column for column in expected if column not in ABSENT_ON_3_AXES]
        for column in table.column_names:
            got = table[column].to_numpy()
            assert (got.view("int64") if column == "timestamp" else got).tolist() == expected[column].tolist(), column


@pytest.mark.parametrize(
    "args, status, message",
    [
        ([], 2, "required: COMMAND"),
        (["csv", "{steady}", "--seconds", "5", "1"], 2, "seconds end must be greater than start"),
        (["csv", "{steady}", "--include", "gyro"], 2, "unknown column gyro"),
        (["report", "{steady}", "-j", "0"], 2, "must be 1 or more"),
        (["csv", "{steady}", "--seconds", "0", "1", "--blocks", "0", "1"], 2, "not allowed with argument"),
        (["parquet", "{steady}", "{steady}", "-o", "x"], 2, "several files would be written"),
        (["csv", "{steady}", "-o", "{steady}"], 1, "is the input recording"),
    ],
)
def test_usage_and_refusals(folder: dict[str, pathlib.Path], args: list[str], status: int, message: str) -> None:
    before = folder["steady"].read_bytes()
    done = velnora_command(*(arg.format(**folder) for arg in args))
    assert (done.returncode, done.stdout) == (status, "") and message in done.stderr
    assert folder["steady"].read_bytes() == before


@pytest.mark.parametrize("command", ["", "info", "report", "csv", "parquet", "page"])
def test_help_has_examples(command: str) -> None:
    done = velnora_command(*command.split(), "--help")
    assert done.returncode == 0 and re.search(r"^examples?:\n  velnora ", done.stdout, re.M)


def test_version() -> None:
    assert velnora_command("--version").stdout == f"velnora {velnora_tools.__version__}\n"


@pytest.mark.parametrize("command", [["csv", "{0}", "-o", "{out}/big.csv"], ["parquet", "{0}", "{1}", "-o", "{out}", "-j", "2"]])
def test_ctrl_c_leaves_no_output(tmp_path: pathlib.Path, command: list[str]) -> None:
    # 480 k samples, from copies of 100 blocks: the export outlasts the signal.
    blocks = b"".join(block.to_bytes() for block in steady_recording(START, 100)) * 40
    inputs = [write_cwa(tmp_path / f"big{i}.cwa", None, [blocks]) for i in range(2)]
    out = tmp_path / "out"
    out.mkdir()
    args = [arg.format(*inputs, out=out) for arg in command]
    export = subprocess.Popen(
        [sys.executable, "-m", "velnora_tools.cli", *args], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_signals
    )
    deadline = time.monotonic() + 30
    while not list(out.iterdir()) and export.poll() is None and time.monotonic() < deadline:
        time.sleep(0.005)
    export.send_signal(signal.SIGINT)
    _, stderr = export.communicate(timeout=60)
    assert export.returncode == 130 and stderr.endswith("velnora: interrupted\n")
    assert list(out.iterdir()) == []


def readme_shell_blocks() -> list[str]:
    section = (ROOT / "README.md").read_text().split("## Command line\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```sh\n(.*?)```", section, re.S)


def test_readme_examples_run(tmp_path: pathlib.Path) -> None:
    (tmp_path / "data").mkdir()
    for name in ("rec.cwa", "data/a.cwa", "data/b.cwa"):
        (tmp_path / name).write_bytes((ROOT / "examples" / "sample.cwa").read_bytes())
    blocks = readme_shell_blocks()
    assert blocks
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "velnora").write_text(f"#!/bin/sh\nexec {sys.executable} -m velnora_tools.cli \"$@\"\n")
    (bin_dir / "velnora").chmod(0o755)
    env = {**ENV, "PATH": f"{bin_dir}{os.pathsep}{ENV['PATH']}"}
    for block in blocks:
        done = subprocess.run(["/bin/sh", "-e", "-c", block], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, (block, done.stderr)


@pytest.mark.skipif("VELNORA_THREADS" in os.environ, reason="the caller's own setting is kept")
def test_a_busy_pool_keeps_each_call_on_one_thread() -> None:
    from velnora_tools import _process_pool

    cpus = os.cpu_count() or 1
    jobs = [_process_pool.Job("VELNORA_THREADS", os.getenv)] * cpus
    outcomes = _process_pool.run(jobs, cpus, _process_pool.Progress("", [], enabled=False), lambda outcome: None)
    assert [outcome.value for outcome in outcomes] == (["1"] if cpus > 1 else [None]) * cpus


def assert_no_traceback(done: subprocess.CompletedProcess[str]) -> None:
    assert "Traceback" not in done.stderr and ".part" not in done.stderr, done.stderr


def test_damage_is_named_with_the_way_past_it(folder: dict[str, pathlib.Path]) -> None:
    damaged = folder["damaged"]
    for command in (["csv", damaged], ["parquet", damaged], ["report", damaged, "--csv"]):
        done = velnora_command(*command)
        assert done.returncode == 1 and f"velnora: {damaged}: {DAMAGE_HINT}\n" in done.stderr, done.stderr
        assert_no_traceback(done)
    row = next(csv.DictReader(io.StringIO(done.stdout)))
    assert (row["device_id"], row["session_id"], row["samples"]) == ("0", "0", "")
    skipped = velnora_command("report", damaged, "--csv", "--skip-damaged")
    row = next(csv.DictReader(io.StringIO(skipped.stdout)))
    assert (skipped.returncode, row["damaged_blocks"], row["damaged_samples"], row["samples"], row["error"]) == (0, "1", "120", "2280", "")
    assert skipped.stderr == f"velnora: {damaged}: left out 1 damaged data block and its 120 samples\n"
    exported = velnora_command("csv", damaged, "--skip-damaged")
    assert exported.stderr == f"velnora: {damaged}: left out 1 damaged data block ({DAMAGED_BLOCK}) and its 120 samples\n"
    assert velnora_command("csv", damaged, "--skip-damaged", "-q").stderr == ""
    after = velnora_command("csv", damaged, "--skip-damaged", "--blocks", str(DAMAGED_BLOCK + 1), str(DAMAGED_BLOCK + 3))
    assert after.stderr == f"velnora: {damaged}: passed 1 damaged data block ({DAMAGED_BLOCK}) outside the range read\n"


@pytest.mark.parametrize("text, reason", [("notes\n" * 5, "IO error: failed to fill whole buffer"), ("notes\n" * 1300, "First block is not a metadata block")])
def test_a_file_that_is_no_recording_gets_one_sentence(tmp_path: pathlib.Path, text: str, reason: str) -> None:
    notes = tmp_path / "notes.txt"
    notes.write_text(text)
    for command in ("info", "report", "csv", "parquet"):
        done = velnora_command(command, notes)
        assert done.returncode == 1 and f"velnora: {notes}: not a CWA recording ({reason})\n" in done.stderr, done.stderr
        assert_no_traceback(done)
    with pytest.raises(RuntimeError) as plain:
        velnora.read_header(str(notes))
    assert type(plain.value) is RuntimeError and str(plain.value) == reason


@pytest.mark.parametrize("command", ["csv", "parquet"])
def test_an_output_that_cannot_be_made_is_named(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path, command: str) -> None:
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the output's directory should be")
    out = blocker / f"out.{command}"
    done = velnora_command(command, folder["steady"], "-o", out)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"velnora: {out}: cannot write: Not a directory\n"


REFUSED_SPECIAL = "cannot write: not a regular file (a FIFO); only a regular file is replaced by the finished output"


@pytest.mark.parametrize(
    ("command", "naming"),
    [("write_parquet", "symlink"), ("parquet", "symlink"), ("csv", "symlink"), ("epochs", "hard link"), ("page", "symlink")],
)
def test_an_output_that_is_the_input_is_refused(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path, command: str, naming: str) -> None:
    source = folder["steady"]
    before = source.read_bytes()
    out = tmp_path / "out"
    os.symlink(source, out) if naming == "symlink" else os.link(source, out)
    message = f"Output path '{out}' is the input recording '{source}'; refusing to overwrite it"
    if command == "write_parquet":
        with pytest.raises(RuntimeError) as refused:
            velnora_tools.write_parquet(source, out)
        assert str(refused.value) == message
    else:
        done = velnora_command(command, source, "-o", out)
        named = "" if command == "page" else f"{source}: "  # the page is of all the recordings
        assert (done.returncode, done.stdout, done.stderr) == (1, "", f"velnora: {named}{message}\n")
    assert out.is_symlink() == (naming == "symlink") and source.read_bytes() == before


@pytest.mark.parametrize("command", ["csv", "parquet", "write_parquet"])
def test_a_fifo_output_is_written_into_or_refused_never_replaced(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path, command: str) -> None:
    fifo = tmp_path / "fifos" / "fifo"
    fifo.parent.mkdir()
    os.mkfifo(fifo)
    if command == "write_parquet":
        with pytest.raises(OutputError) as refused:
            velnora_tools.write_parquet(folder["steady"], fifo)
        assert str(refused.value) == f"{fifo}: {REFUSED_SPECIAL}"
    elif command == "parquet":
        done = velnora_command(command, folder["steady"], "-o", fifo)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", f"velnora: {fifo}: {REFUSED_SPECIAL}\n")
    else:
        received = tmp_path / "received.csv"
        with open(received, "wb") as sink:
            # A Python child, not cat: the installed-wheel runs put only their venv on PATH.
            copy = "import shutil, sys; shutil.copyfileobj(open(sys.argv[1], 'rb'), sys.stdout.buffer)"
            reader = subprocess.Popen([sys.executable, "-c", copy, str(fifo)], stdout=sink)
        try:
            done = velnora_command(command, folder["steady"], "-o", fifo)
            reader.wait(timeout=30)
        finally:
            reader.kill()
        expected = tmp_path / "expected.csv"
        velnora.write_cwa_csv(str(folder["steady"]), str(expected))
        assert (done.returncode, done.stdout, done.stderr) == (0, f"{fifo}\n", "")
        assert received.read_bytes() == without_fields(expected.read_bytes())
    assert fifo.is_fifo() and list(fifo.parent.iterdir()) == [fifo]


@pytest.mark.parametrize("command", [["report", "--json"], ["csv", "-o", "-"], ["csv", "-o", "/dev/stdout"], ["epochs", "--csv", "-o", "-"]])
def test_a_reader_that_goes_away_ends_the_command_quietly(folder: dict[str, pathlib.Path], command: list[str]) -> None:
    ended = subprocess.Popen([sys.executable, "-m", "velnora_tools.cli", command[0], folder["steady"], *command[1:]], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert ended.stdout is not None
    ended.stdout.close()
    _, stderr = ended.communicate(timeout=60)
    assert (ended.returncode, stderr) == (141, "")


def test_a_failure_says_the_next_step(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path) -> None:
    directory = velnora_command("report", tmp_path)
    assert directory.stderr == f"velnora: {tmp_path}: a directory, not a recording: name the recordings in it, as {tmp_path}/*.cwa\n"
    (folder["steady"].with_suffix(".csv")).mkdir()  # where the output would go beside its recording
    beside = velnora_command("csv", folder["steady"])
    assert beside.stderr == f"velnora: {folder['steady'].with_suffix('.csv')}: cannot write: Is a directory (-o writes the outputs elsewhere)\n"
    late = velnora_command("csv", folder["steady"], "--seconds", "100", "200", "-o", tmp_path / "late.csv")
    assert late.stderr == f"velnora: {folder['steady']}: No samples remain after applying seconds cut (its data last 23.99 s from the first block's start)\n"
    assert (directory.returncode, beside.returncode, late.returncode) == (1, 1, 1)


def test_o_names_a_file_for_one_input_and_a_directory_otherwise(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path) -> None:
    steady, gap = folder["steady"], folder["gap"]
    existing = tmp_path / "existing"
    existing.mkdir()
    cases = [
        (["parquet", steady, "-o", tmp_path / "one.parquet"], [tmp_path / "one.parquet"]),
        (["csv", steady, "-o", f"{tmp_path / 'new'}/"], [tmp_path / "new" / "steady.csv"]),
        (["csv", steady, "-o", existing], [existing / "steady.csv"]),
        (["parquet", gap, steady, "-o", tmp_path / "many", "-j", "2"], [tmp_path / "many" / "gap.parquet", tmp_path / "many" / "steady.parquet"]),
    ]
    for command, outputs in cases:
        done = velnora_command(*command)
        assert (done.returncode, done.stdout) == (0, "".join(f"{out}\n" for out in outputs)), done.stderr
        assert all(out.is_file() for out in outputs)


@pytest.mark.parametrize(
    "args, message",
    [
        (["csv", "{steady}", "--resample", "0"], ("usage: velnora csv ", "argument --resample: must be a positive number of Hz")),
        (["parquet", "{steady}", "--resample", "20000"], ("usage: velnora parquet ", "--resample: resample_hz must be <= 10000")),
        (["csv", "{steady}", "--resampel", "5"], ("usage: velnora csv ", "unrecognized arguments: --resampel 5")),
    ],
)
def test_usage_errors_name_the_option_under_the_subcommands_usage(folder: dict[str, pathlib.Path], args: list[str], message: tuple[str, str]) -> None:
    done = velnora_command(*(arg.format(**folder) for arg in args))
    assert done.returncode == 2 and done.stderr.startswith(message[0]) and message[1] in done.stderr, done.stderr


def test_nothing_is_made_for_an_input_that_is_missing(tmp_path: pathlib.Path) -> None:
    done = velnora_command("parquet", tmp_path / "nosuch.cwa", "-o", tmp_path / "pq")
    assert done.returncode == 1 and f"velnora: {tmp_path / 'nosuch.cwa'}: " in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_info_shows_each_recording(folder: dict[str, pathlib.Path]) -> None:
    done = velnora_command("info", folder["steady"], folder["notes"], folder["gap"])
    assert done.returncode == 1 and f"velnora: {folder['notes']}: " in done.stderr
    assert [line for line in done.stdout.splitlines() if line.endswith(".cwa")] == [str(folder["steady"]), str(folder["gap"])]


def test_epochs_are_written_per_recording(folder: dict[str, pathlib.Path], tmp_path: pathlib.Path) -> None:
    done = velnora_command("epochs", folder["steady"], folder["gap"], "-o", tmp_path / "epochs", "--epoch", "2", "--no-calibration")
    outputs = [tmp_path / "epochs" / f"{name}.epochs.parquet" for name in ("steady", "gap")]
    assert (done.returncode, done.stdout) == (0, "".join(f"{out}\n" for out in outputs)), done.stderr
    expected = velnora_tools.epochs(folder["gap"], epoch_seconds=2.0, calibration=False)
    assert pq.read_table(outputs[1]).to_pandas().set_index("start").equals(expected)
    as_csv = velnora_command("epochs", folder["steady"], "--csv", "--no-nonwear", "--seconds", "0", "10")
    assert as_csv.returncode == 0 and folder["steady"].with_suffix(".epochs.csv").read_text().startswith("start,enmo,mad,anglez,nonwear,samples\n")
    sidecar = json.loads(folder["steady"].with_suffix(".epochs.json").read_text())
    assert (sidecar["nonwear"], sidecar["damaged"], sidecar["calibration"]["calibrated"]) == (None, [], False)
    assert velnora_command("epochs", folder["steady"], "--epoch", "0").returncode == 2
