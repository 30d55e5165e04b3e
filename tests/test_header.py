"""read_header: the metadata block as a dictionary."""

from __future__ import annotations

import os
import pathlib
import random
from fractions import Fraction
from typing import Any, Callable

import pytest
import velnora

from cwa_writer import ANNOTATION_END, ANNOTATION_OFFSET, MetadataBlock, pack_datetime

MakeRecording = Callable[..., pathlib.Path]

KEY_TYPES: list[tuple[str, type]] = [
    ("packet_header", str),
    ("packet_length", int),
    ("hardware_type", str),
    ("device_id", int),
    ("session_id", int),
    ("upper_device_id", int),
    ("logging_start_time", str),
    ("logging_end_time", str),
    ("last_change_time", str),
    ("flash_led", int),
    ("sensor_config", int),
    ("sample_rate_hz", float),
    ("accel_range", int),
    ("firmware_revision", int),
    ("annotation", str),
    ("gyro_range", int),
    ("magnetometer_enabled", bool),
]


def header_of(cwa_path: MakeRecording, **fields: Any) -> dict[str, Any]:
    return velnora.read_header(str(cwa_path(MetadataBlock(**fields))))


def header_error(path: str) -> str:
    with pytest.raises(RuntimeError) as excinfo:
        velnora.read_header(path)
    assert excinfo.type is RuntimeError
    return str(excinfo.value)


def test_every_field_in_order_with_exact_types(cwa_path: MakeRecording) -> None:
    block = MetadataBlock(
        packet_length=0x1234,
        hardware_type=0x64,
        device_id=0xBEEF,
        session_id=0xDEADBEEF,
        upper_device_id=0x0102,
        logging_start_time=pack_datetime(2023, 5, 1, 12, 34, 56),
        logging_end_time=pack_datetime(2024, 2, 29, 23, 59, 59),
        last_change_time=pack_datetime(2000, 1, 1, 0, 0, 0),
        flash_led=0xA5,
        sensor_config=0x13,
        rate_code=0x4A,
        firmware_revision=0x2F,
        annotation="Étude 7".encode(),
    )
    header = velnora.read_header(str(cwa_path(block)))
    assert list(header.items()) == [
        ("packet_header", "MD"),
        ("packet_length", 0x1234),
        ("hardware_type", "AX6"),
        ("device_id", 0x0102BEEF),
        ("session_id", 0xDEADBEEF),
        ("upper_device_id", 0x0102),
        ("logging_start_time", "2023-05-01T12:34:56+00:00"),
        ("logging_end_time", "2024-02-29T23:59:59+00:00"),
        ("last_change_time", "2000-01-01T00:00:00+00:00"),
        ("flash_led", 0xA5),
        ("sensor_config", 0x13),
        ("sample_rate_hz", 100.0),
        ("accel_range", 8),
        ("firmware_revision", 0x2F),
        ("annotation", "Étude 7"),
        ("gyro_range", 1000),
        ("magnetometer_enabled", True),
    ]
    assert [(key, type(value)) for key, value in header.items()] == KEY_TYPES


def test_bare_metadata_block_has_all_keys_with_absent_values(cwa_path: MakeRecording) -> None:
    path = cwa_path(MetadataBlock(logging_start_time=0, logging_end_time=0))
    assert path.stat().st_size == 1024
    header = velnora.read_header(str(path))
    assert list(header) == [key for key, _ in KEY_TYPES]
    absent = {key: header[key] for key in ("logging_start_time", "logging_end_time", "gyro_range")}
    assert absent == {"logging_start_time": None, "logging_end_time": None, "gyro_range": None}
    assert header["magnetometer_enabled"] is False


def test_only_the_first_1024_bytes_are_read(cwa_path: MakeRecording) -> None:
    path = cwa_path(MetadataBlock(session_id=7), sectors=[b"\xff" * 512], trailing=b"AX" * 50)
    assert velnora.read_header(str(path))["session_id"] == 7


@pytest.mark.parametrize(
    ("low", "upper", "device_id"),
    [(1234, 0xFFFF, 1234), (0x0002, 0x0001, 65538), (0xFFFF, 0xFFFE, 0xFFFEFFFF), (0, 0, 0)],
)
def test_device_id_combines_both_halves(cwa_path: MakeRecording, low: int, upper: int, device_id: int) -> None:
    header = header_of(cwa_path, device_id=low, upper_device_id=upper)
    assert (header["device_id"], header["upper_device_id"]) == (device_id, upper)


def test_packed_date_time_bytes_of_worked_example(cwa_path: MakeRecording) -> None:
    block = MetadataBlock(logging_start_time=0x5D42C8B8)
    assert block.to_bytes()[13:17] == bytes.fromhex("B8C8425D")
    assert velnora.read_header(str(cwa_path(block)))["logging_start_time"] == "2023-05-01T12:34:56+00:00"


@pytest.mark.parametrize(
    ("packed", "text"),
    [
        (0x5D42C8B8, "2023-05-01T12:34:56+00:00"),
        (pack_datetime(2024, 2, 29, 0, 0, 0), "2024-02-29T00:00:00+00:00"),
        (pack_datetime(2063, 12, 31, 23, 59, 59), "2063-12-31T23:59:59+00:00"),
        (pack_datetime(2000, 1, 1, 0, 0, 1), "2000-01-01T00:00:01+00:00"),
        (0, None),
        (0xFFFFFFFF, None),
        (pack_datetime(2023, 13, 1), None),
        (pack_datetime(2023, 0, 1), None),
        (pack_datetime(2023, 1, 0), None),
        (pack_datetime(2023, 4, 31), None),
        (pack_datetime(2023, 2, 29), None),
        (pack_datetime(2000, 2, 29), "2000-02-29T00:00:00+00:00"),
        (pack_datetime(2023, 5, 1, 24, 0, 0), None),
        (pack_datetime(2023, 5, 1, 12, 60, 0), None),
        (pack_datetime(2023, 5, 1, 12, 0, 60), None),
    ],
)
def test_date_times(cwa_path: MakeRecording, packed: int, text: str | None) -> None:
    header = header_of(cwa_path, logging_start_time=packed, logging_end_time=packed, last_change_time=packed)
    times = [header[key] for key in ("logging_start_time", "logging_end_time", "last_change_time")]
    assert times == [text] * 3


@pytest.mark.parametrize(
    ("rate_code", "rate", "accel_range"),
    [(0x4A, 100.0, 8), (0x0A, 100.0, 16), (0x8A, 100.0, 4), (0xCF, 3200.0, 2), (0x30, 0.09765625, 16)],
)
def test_rate_code_examples(cwa_path: MakeRecording, rate_code: int, rate: float, accel_range: int) -> None:
    header = header_of(cwa_path, rate_code=rate_code)
    assert (header["sample_rate_hz"], header["accel_range"]) == (rate, accel_range)


@pytest.mark.parametrize("nibble", range(16))
def test_every_rate_nibble_is_exact(cwa_path: MakeRecording, nibble: int) -> None:
    # Bits 4 and 5 of the code select nothing.
    rate = header_of(cwa_path, rate_code=0x30 | nibble)["sample_rate_hz"]
    assert Fraction(rate) == Fraction(3200, 2 ** (15 - nibble))


@pytest.mark.parametrize(
    ("hardware", "sensor_config", "hardware_type", "gyro_range", "magnetometer"),
    [
        (0x64, 0x12, "AX6", 2000, True),
        (0x64, 0x02, "AX6", 2000, False),
        (0x64, 0x03, "AX6", 1000, False),
        (0x64, 0x04, "AX6", 500, False),
        (0x64, 0x05, "AX6", 250, False),
        (0x64, 0xF6, "AX6", 125, True),
        (0x64, 0x01, "AX6", None, False),
        (0x64, 0x07, "AX6", None, False),
        (0x64, 0x1F, "AX6", None, True),
        (0x64, 0x10, "AX6", None, True),
        (0x64, 0xFF, "AX6", None, False),
        (0x64, 0x00, "AX6", None, False),
        (0x17, 0x12, "AX3", None, False),
        (0x65, 0x12, "AX3", None, False),
        (0x00, 0x02, "AX3", None, False),
    ],
)
def test_gyro_and_magnetometer(
    cwa_path: MakeRecording,
    hardware: int,
    sensor_config: int,
    hardware_type: str,
    gyro_range: int | None,
    magnetometer: bool,
) -> None:
    header = header_of(cwa_path, hardware_type=hardware, sensor_config=sensor_config)
    decoded = [header[key] for key in ("hardware_type", "sensor_config", "gyro_range", "magnetometer_enabled")]
    assert decoded == [hardware_type, sensor_config, gyro_range, magnetometer]
    assert header["magnetometer_enabled"] is magnetometer


@pytest.mark.parametrize(
    ("annotation", "filler", "text"),
    [
        (b"", 0xFF, ""),
        (b"", 0x00, ""),
        (b"abc", 0x20, "abc"),
        (b"abc", 0x00, "abc"),
        (b" abc", 0x20, " abc"),
        (b"abc \x00\xff \x00", 0xFF, "abc"),
        (b"a\x00 b", 0x00, "a\x00 b"),
        (b"\xff\x00 x", 0x20, "\ufffd\x00 x"),
        (b"a\xffb", 0x20, "a\ufffdb"),
        ("€ 😀".encode(), 0x20, "€ 😀"),
        (b"\xe0\x80", 0x20, "\ufffd\ufffd"),
        (b"\xf0\x9f\x98A", 0x20, "\ufffdA"),
        (b"\xc0\xaf\xc1", 0x20, "\ufffd\ufffd\ufffd"),
        (b"\xf5\xfe", 0x20, "\ufffd\ufffd"),
        (b"\xed\xa0\x80", 0x20, "\ufffd\ufffd\ufffd"),
        (b"\xf4\x90\x80\x80", 0x20, "\ufffd\ufffd\ufffd\ufffd"),
        # Filler is dropped before decoding: the cut-short sequence is one U+FFFD.
        (b"x\xe2\x82\xff", 0x20, "x\ufffd"),
        (b"a" * (ANNOTATION_END - ANNOTATION_OFFSET), 0x20, "a" * (ANNOTATION_END - ANNOTATION_OFFSET)),
    ],
)
def test_annotation(cwa_path: MakeRecording, annotation: bytes, filler: int, text: str) -> None:
    block = MetadataBlock(annotation=annotation, annotation_filler=filler, patches={63: b"Q", 512: b"zz"})
    assert velnora.read_header(str(cwa_path(block)))["annotation"] == text


def test_annotation_matches_python_decoder_on_random_bytes(cwa_path: MakeRecording) -> None:
    rng = random.Random(20231)
    alphabet = [0x00, 0x20, 0x41, 0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF]
    for index in range(60):
        raw = bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 40)))
        path = cwa_path(MetadataBlock(annotation=raw), name=f"r{index}.cwa")
        expected = raw.rstrip(b"\x00\x20\xff").decode("utf-8", "replace")
        assert velnora.read_header(str(path))["annotation"] == expected, raw


@pytest.mark.parametrize(
    ("first_bytes", "message"),
    [
        (b"\xff\xff", "Invalid packet header format"),
        (b"\xc3\x28", "Invalid packet header format"),
        (b"\xe2\x82", "Invalid packet header format"),
        (b"\xed\xa0", "Invalid packet header format"),
        (b"AX", "First block is not a metadata block"),
        (b"md", "First block is not a metadata block"),
        (b"\xc3\xa9", "First block is not a metadata block"),
        (b"\x00\x00", "First block is not a metadata block"),
    ],
)
def test_packet_header_check(cwa_path: MakeRecording, first_bytes: bytes, message: str) -> None:
    assert header_error(str(cwa_path(MetadataBlock(packet_header=first_bytes)))) == message


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"", "IO error: failed to fill whole buffer"),
        (MetadataBlock().to_bytes()[:1023], "IO error: failed to fill whole buffer"),
    ],
)
def test_short_files(tmp_path: pathlib.Path, content: bytes, message: str) -> None:
    path = tmp_path / "short.cwa"
    path.write_bytes(content)
    assert header_error(str(path)) == message


def test_unopenable_paths(tmp_path: pathlib.Path) -> None:
    assert header_error(str(tmp_path / "missing.cwa")) == "IO error: No such file or directory (os error 2)"
    assert header_error(str(tmp_path)) == "IO error: Is a directory (os error 21)"
    assert header_error(str(tmp_path) + "/a\0b") == "IO error: file name contained an unexpected NUL byte"


def test_no_descriptor_is_left_open(tmp_path: pathlib.Path, cwa_path: MakeRecording) -> None:
    good = str(cwa_path(MetadataBlock()))
    bad_header = str(cwa_path(MetadataBlock(packet_header=b"AX"), name="ax.cwa"))
    short = tmp_path / "short.cwa"
    short.write_bytes(b"MD" * 100)
    failing = [bad_header, str(short), str(tmp_path), str(tmp_path / "missing.cwa"), "a\0b"]
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(20):
        velnora.read_header(good)
        for path in failing:
            with pytest.raises(RuntimeError):
                velnora.read_header(path)
    assert len(os.listdir("/proc/self/fd")) == before
