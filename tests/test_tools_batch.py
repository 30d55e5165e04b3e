"""summarise and convert on a real Dask cluster of two worker processes and on
the local pool, over recordings from the project's writer, a damaged one, a
file that is no recording and a missing path."""

from __future__ import annotations

import dataclasses
import json
import os
import pathlib
import re
import subprocess
import sys
from collections.abc import Iterator
from typing import Any

import pytest

import velnora
from csv_text import without_fields
from cwa_writer import MetadataBlock, steady_recording, write_cwa
from children import ENV

if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("distributed")
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
import pandas as pd  # noqa: E402
import pandas.testing as pdt  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import velnora_tools  # noqa: E402
from velnora_tools import _native, batch  # noqa: E402
from velnora_tools._recording import recording_header  # noqa: E402
from velnora_tools.damaged import naming_damage  # noqa: E402

START = 1_600_000_000


@pytest.fixture(scope="module")
def client() -> Iterator[Client]:
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as connected,
    ):
        yield connected


@pytest.fixture(scope="module")
def recordings(tmp_path_factory: pytest.TempPathFactory) -> list[str]:
    folder = tmp_path_factory.mktemp("recordings")
    write_cwa(folder / "steady.cwa", MetadataBlock(device_id=7, session_id=99), steady_recording(START, 20))
    write_cwa(folder / "gap.cwa", MetadataBlock(), steady_recording(START, 10) + steady_recording(START + 100, 10))
    damaged = steady_recording(START, 20)
    damaged[5].sample_format = 0x77
    write_cwa(folder / "damaged.cwa", MetadataBlock(), damaged)
    (folder / "notes.cwa").write_text("not a recording\n" * 100)
    return [str(folder / name) for name in ("steady.cwa", "gap.cwa", "damaged.cwa", "notes.cwa", "missing.cwa")]


def plain(frame: pd.DataFrame) -> list[dict[str, Any]]:
    return [{key: None if pd.isna(value) else value for key, value in row.items()} for row in frame.astype(object).to_dict("records")]


def test_summary_is_the_report_commands_table_on_either_engine(client: Client, recordings: list[str]) -> None:
    on_cluster = batch.summarise(recordings, client)
    pdt.assert_frame_equal(on_cluster, batch.summarise(recordings, workers=1))
    command = [sys.executable, "-m", "velnora_tools.cli", "report", "--json", *recordings]
    table = json.loads(subprocess.run(command, capture_output=True, text=True, env=ENV, timeout=60).stdout)
    # The command adds its way past a damaged block to the library's message.
    hint = ": --skip-damaged reads past it"
    assert [row["error"].endswith(hint) for row in table if row["error"]] == [True, False, False]
    assert plain(on_cluster) == [{**row, "error": row["error"] and row["error"].removesuffix(hint)} for row in table]
    assert on_cluster["error"].isna().tolist() == [True, True, False, False, False]


@pytest.mark.parametrize(
    ("format", "read_args"),
    [("parquet", {}), ("parquet", {"cut": velnora.blocks(2, 8), "include_light": False}), ("csv", {"resample_hz": 50.0})],
)
def test_conversions_match_the_serial_path_and_the_direct_calls(
    client: Client, recordings: list[str], tmp_path: pathlib.Path, format: str, read_args: dict[str, Any]
) -> None:
    on_cluster = batch.convert(recordings, tmp_path / "cluster", client, format, **read_args)
    local = batch.convert(recordings, tmp_path / "local", None, format, workers=1, **read_args)
    ignored = ["output", "seconds"]
    pdt.assert_frame_equal(on_cluster.drop(columns=ignored), local.drop(columns=ignored))
    assert on_cluster["status"].tolist() == ["written", "written", "failed", "failed", "failed"]
    assert pq.read_table(tmp_path / "cluster" / batch.MANIFEST).to_pandas().equals(on_cluster)
    for index, path in enumerate(recordings):
        direct = tmp_path / f"direct.{format}"
        try:
            # As convert reads: the header first, a damaged block named.
            os.stat(path)
            recording_header(path)
            with naming_damage():
                if format == "csv":
                    _native.write_csv(path, str(direct), **read_args)
                else:
                    velnora_tools.write_parquet(path, direct, **read_args)
        except (RuntimeError, OSError) as error:
            assert on_cluster["error"][index] == str(error)
            continue
        for out in (on_cluster["output"][index], local["output"][index]):
            if format == "csv":
                assert pathlib.Path(out).read_bytes() == without_fields(direct.read_bytes())
            else:
                assert pq.read_table(out).equals(pq.read_table(direct), check_metadata=True)


@pytest.mark.parametrize(
    ("change", "status"),
    [("nothing", "skipped"), ("recording touched", "written"), ("output removed", "written"), ("other options", "written"), ("every channel", "written")],
)
def test_a_rerun_skips_only_what_is_current(
    client: Client, recordings: list[str], tmp_path: pathlib.Path, change: str, status: str
) -> None:
    steady = tmp_path / "steady.cwa"
    steady.write_bytes(pathlib.Path(recordings[0]).read_bytes())
    paths = [str(steady), recordings[2]]
    first = batch.convert(paths, tmp_path / "out", client)
    output = first["output"][0]
    written_at = os.stat(output).st_mtime_ns
    options: dict[str, Any] = {}
    if change == "recording touched":
        os.utime(steady, ns=(written_at, written_at + 1))
    elif change == "output removed":
        os.remove(output)
    elif change == "other options":
        options = {"resample_hz": 25.0}
    elif change == "every channel":
        options = {"channels": "all"}
    again = batch.convert(paths, tmp_path / "out", client, **options)
    assert again["status"].tolist() == [status, "failed"]
    # A 3-axis recording: its gyroscope and magnetometer columns are written only when asked for.
    assert ("gyro_x" in pq.read_schema(output).names) == (change == "every channel")
    assert (os.stat(output).st_mtime_ns == written_at) == (status == "skipped")
    if status == "skipped":
        pdt.assert_series_equal(again.iloc[0].drop("status"), first.iloc[0].drop("status"))


def test_manifest_keeps_earlier_recordings_before_this_calls(client: Client, recordings: list[str], tmp_path: pathlib.Path) -> None:
    batch.convert(recordings[:2], tmp_path, client)
    manifest = batch.convert([recordings[1], recordings[2]], tmp_path, client)
    assert manifest["path"].tolist() == [recordings[0], recordings[1], recordings[2]]
    assert manifest["status"].tolist() == ["written", "skipped", "failed"]


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda c, r, o: batch.summarise(["rec.cwa"], c), ValueError, "absolute paths, not rec.cwa"),
        (lambda c, r, o: batch.convert(r[:1], "out", c), ValueError, "absolute paths, not out"),
        (lambda c, r, o: batch.convert([r[0], r[0]], o), ValueError, "several recordings would be written to"),
        (lambda c, r, o: batch.convert([o / "_manifest.cwa"], o), ValueError, "written over the manifest"),
        (lambda c, r, o: batch.convert(r, o, format="json"), ValueError, "format must be one of parquet, csv"),
        (lambda c, r, o: batch.convert(r, o, resample=50), TypeError, "unexpected keyword argument 'resample'"),
        (lambda c, r, o: batch.convert(r, o, channels="gyro"), ValueError, 'channels must be "present" or "all"'),
        (lambda c, r, o: batch.summarise(r, c, workers=2), ValueError, "workers sizes the local pool"),
        (lambda c, r, o: batch.convert([], o / "out"), ValueError, r"convert\(\) was given no recordings"),
        (lambda c, r, o: batch.summarise([]), ValueError, r"summarise\(\) was given no recordings"),
    ],
)
def test_misuse_is_refused_before_any_work(
    client: Client, recordings: list[str], tmp_path: pathlib.Path, call: Any, error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=message):
        call(client, recordings, tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_a_batch_that_writes_nothing_leaves_no_folder(tmp_path: pathlib.Path) -> None:
    manifest = batch.convert([tmp_path / "nosuch.cwa"], tmp_path / "out", workers=1)
    assert list(manifest["status"]) == ["failed"] and list(tmp_path.iterdir()) == []


def test_a_client_without_dask_names_the_extra(recordings: list[str], monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=re.escape("pip install 'dask[distributed]>=")):
        batch.summarise(recordings, client=object())  # type: ignore[arg-type]


def test_epochs_in_the_summary_and_as_conversions(recordings: list[str], tmp_path: pathlib.Path) -> None:
    from velnora_tools.activity import epoch_summary

    table = batch.summarise(recordings, epochs=True, workers=2)
    steady = velnora_tools.epochs(recordings[0])
    expected = epoch_summary(steady, 5.0)
    got = [None if pd.isna(value) else value for value in table.loc[0, list(expected)]]
    assert got == [None if value is None or value != value else value for value in expected.values()]
    assert table["error"].notna().tolist() == [False, False, True, True, True]
    manifest = batch.convert(recordings[:2], tmp_path / "epochs", format="epochs", workers=1)
    assert manifest["status"].tolist() == ["written", "written"]
    written = pq.read_table(manifest["output"][0])
    assert written.to_pandas().set_index("start").equals(steady)
    assert json.loads(written.schema.metadata[b"velnora.calibration"]) == json.loads(json.dumps(steady.attrs["calibration"]))
    minutes = velnora_tools.EpochOptions(epoch_seconds=60.0, calibration=False, nonwear=False)
    rerun = batch.convert(recordings[:1], tmp_path / "epochs", format="epochs", workers=1, epoch_options=minutes)
    assert rerun["status"].iloc[-1] == "written"  # other options than the earlier conversion's
    got = pq.read_table(rerun["output"].iloc[-1]).to_pandas().set_index("start")
    assert got.equals(velnora_tools.epochs(recordings[0], epoch_seconds=60.0, calibration=False, nonwear=False))
    for changed, status in ((minutes, "skipped"), (dataclasses.replace(minutes, nonwear=velnora_tools.Nonwear(rule="2013")), "written")):
        again = batch.convert(recordings[:1], tmp_path / "epochs", format="epochs", workers=1, epoch_options=changed)
        assert again["status"].iloc[-1] == status
    assert json.loads(pq.read_table(again["output"].iloc[-1]).schema.metadata[b"velnora.nonwear_rule"])["rule"] == "2013"
    for wrong in ({"format": "csv"}, {"format": "epochs", "epoch_options": velnora_tools.EpochOptions(skip_damaged=True)}):
        with pytest.raises(ValueError, match="epoch_options"):
            batch.convert(recordings[:1], tmp_path / "epochs", **{"epoch_options": minutes, **wrong})  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="^format 'epochs' takes the read option cut alone, not include_light, resample_hz$"):
        batch.convert(recordings[:1], tmp_path / "epochs", format="epochs", resample_hz=25.0, include_light=False)


@pytest.mark.parametrize("format", ["parquet", "csv", "epochs", "days"])
def test_convert_reads_past_damage_when_asked(recordings: list[str], tmp_path: pathlib.Path, format: str) -> None:
    damaged = recordings[2]
    plain = batch.convert(damaged, tmp_path / "plain", format=format, workers=1)
    assert plain["status"].tolist() == ["failed"] and "data block 5 is damaged" in plain["error"][0]
    past = batch.convert(damaged, tmp_path / "past", format=format, workers=1, skip_damaged=True)
    assert past["status"].tolist() == ["written"] and json.loads(past["options"][0])["skip_damaged"] is True
