"""Pins the byte layout of the test writer, so a writer bug cannot silently
make every test that builds recordings with it wrong."""

from __future__ import annotations

import pathlib
from fractions import Fraction

import pytest

import cwa_writer as w


def test_packed_datetime_worked_example() -> None:
    value = w.pack_datetime(2023, 5, 1, 12, 34, 56)
    assert value == 0x5D42C8B8
    head = w.MetadataBlock(logging_start_time=value).to_bytes()
    assert head[13:17] == bytes.fromhex("B8C8425D")


def test_packed_datetime_keeps_impossible_fields() -> None:
    assert w.pack_datetime(2023, 13, 1) == (23 << 26) | (13 << 22) | (1 << 17)
    assert w.pack_datetime(2023, 5, 1, 24, 60, 60) & 0x1FFFF == (24 << 12) | (60 << 6) | 60
    # Masking keeps one field from spilling into its neighbour.
    assert w.pack_datetime(2000, 16, 0) == 0


def test_datetime_from_unix() -> None:
    assert w.unix_from_datetime(0x5D42C8B8) == 1682944496
    assert w.unix_from_datetime(w.datetime_from_unix(1600000123)) == 1600000123
    assert w.datetime_from_unix(1600000000) == w.pack_datetime(2020, 9, 13, 12, 26, 40)
    assert w.DataBlock().timestamp == w.pack_datetime(2020, 9, 13, 12, 26, 40)
    assert w.datetime_from_unix(946684800) == w.pack_datetime(2000, 1, 1)


def test_metadata_field_offsets() -> None:
    block = w.MetadataBlock(
        packet_length=0x1234,
        hardware_type=0x64,
        device_id=0xABCD1234,
        session_id=0x11223344,
        upper_device_id=0x0001,
        logging_start_time=0x01020304,
        logging_end_time=0x05060708,
        flash_led=0x09,
        sensor_config=0x12,
        rate_code=0xCF,
        last_change_time=0x0A0B0C0D,
        firmware_revision=0x2B,
        annotation=b"abc",
    ).to_bytes()
    assert len(block) == 1024
    assert block[0:42] == bytes.fromhex(
        "4D44 3412 64 3412 44332211 0100 04030201 08070605"
        "0000000000 09 0000000000000000 12 CF 0D0C0B0A 2B"
    )
    assert block[42:64] == bytes(22)
    assert block[64:512] == b"abc" + b" " * 445
    assert block[512:1024] == bytes(512)


def test_metadata_filler_and_patches() -> None:
    block = w.MetadataBlock(
        packet_header=b"\xff\xff", annotation_filler=0xFF, patches={21: b"\xee", 1000: b"zz"}
    ).to_bytes()
    assert block[0:2] == b"\xff\xff"
    assert block[64:512] == b"\xff" * 448
    assert block[21] == 0xEE
    assert block[1000:1002] == b"zz"
    with pytest.raises(ValueError):
        w.MetadataBlock(annotation=b"x" * 449).to_bytes()


def test_data_block_field_offsets() -> None:
    block = w.DataBlock(
        packet_length=0x01FC,
        fractional_time=0x1234,
        session_id=0x11223344,
        sequence_id=0x55667788,
        timestamp=0x5D42C8B8,
        light=0xA3FF,
        temperature=0x0100,
        events=0x07,
        battery=0xAA,
        rate_code=0x4A,
        sample_format=0x30,
        timestamp_offset=-2,
        sample_count=3,
        sample_data=b"\x01\x02",
        checksum=0xBEEF,
    ).to_bytes()
    assert len(block) == 512
    assert block[0:30] == bytes.fromhex(
        "4158 FC01 3412 44332211 88776655 B8C8425D FFA3 0001 07 AA 4A 30 FEFF 0300"
    )
    assert block[30:32] == b"\x01\x02"
    assert block[32:510] == bytes(478)
    assert block[510:512] == bytes.fromhex("EFBE")


def test_data_block_patches_are_written_last() -> None:
    block = w.DataBlock(sample_count=1, patches={0: b"AY", 28: b"\x00\x00"}).to_bytes()
    assert block[0:2] == b"AY"
    assert block[28:30] == b"\x00\x00"


def test_packed_words() -> None:
    assert w.packed_samples([(511, 0, 0, 3)]) == bytes.fromhex("FF0100C0")
    assert w.packed_samples([(-512, 0, 0, 0)]) == w.packed_samples([(0x200, 0, 0, 0)])
    assert w.packed_samples([(-512, 0, 0, 0)]) == bytes.fromhex("00020000")
    assert w.packed_samples([(-1, 0, 0, 0)]) == bytes.fromhex("FF030000")
    assert w.packed_samples([(0, -1, 1, 2)]) == (
        (0x3FF << 10 | 1 << 20 | 2 << 30).to_bytes(4, "little")
    )
    with pytest.raises(ValueError):
        w.packed_samples([(-513, 0, 0, 0)])
    with pytest.raises(ValueError):
        w.packed_samples([(0, 0, 0, 4)])


def test_unpacked_samples_are_int16_little_endian() -> None:
    assert w.unpacked_samples([(256, -1, -32768)]) == bytes.fromhex("0001FFFF0080")
    assert len(w.unpacked_samples([tuple(range(9))] * 2)) == 36


@pytest.mark.parametrize(
    ("sample_format", "data_len", "count"),
    [(0x30, 480, 120), (0x32, 480, 80), (0x62, 480, 40), (0x92, 468, 26), (0x30, 7, 1)],
)
def test_sample_count_derivation(sample_format: int, data_len: int, count: int) -> None:
    block = w.DataBlock(sample_format=sample_format, sample_data=bytes(data_len))
    assert block.to_bytes()[28:30] == count.to_bytes(2, "little")


def test_sample_count_needs_explicit_value_for_other_formats() -> None:
    with pytest.raises(ValueError):
        w.DataBlock(sample_format=0x31, sample_data=bytes(8)).to_bytes()
    block = w.DataBlock(sample_format=0x31, sample_count=5).to_bytes()
    assert block[25] == 0x31 and block[28:30] == b"\x05\x00"
    with pytest.raises(ValueError):
        w.DataBlock(sample_data=bytes(481)).to_bytes()


def test_convenience_blocks_set_format_and_count() -> None:
    cases = [
        (w.packed_block([(1, 2, 3, 0)] * 4), 0x30, 4),
        (w.unpacked3_block([(1, 2, 3)] * 5), 0x32, 5),
        (w.axis6_block([(1, 2, 3, 4, 5, 6)] * 2), 0x62, 2),
        (w.axis9_block([tuple(range(9))] * 3, rate_code=0x4F), 0x92, 3),
    ]
    for block, sample_format, count in cases:
        raw = block.to_bytes()
        assert raw[25] == sample_format
        assert int.from_bytes(raw[28:30], "little") == count
    assert cases[3][0].to_bytes()[24] == 0x4F
    assert cases[1][0].to_bytes()[30:36] == bytes.fromhex("010002000300")
    # Fields given by the caller win over the derived ones.
    assert w.packed_block([(0, 0, 0, 0)], sample_count=9).to_bytes()[28] == 9


def test_block_with_bounds() -> None:
    raw = w.block_with_bounds(1600000000, sample_count=60, timestamp_offset=37).to_bytes()
    assert raw[14:18] == w.datetime_from_unix(1600000000).to_bytes(4, "little")
    assert raw[24:30] == bytes.fromhex("4A 30 2500 3C00")
    assert raw[30:510] == bytes(480)


def test_write_cwa_layout(tmp_path: pathlib.Path) -> None:
    path = w.write_cwa(
        tmp_path / "f.cwa",
        w.MetadataBlock(session_id=7),
        [w.DataBlock(sample_count=1), w.filler_sector(0xFF), b"AX\x01"],
        trailing=b"tail",
    )
    raw = path.read_bytes()
    assert len(raw) == 1024 + 512 + 512 + 3 + 4
    assert raw[:1024] == w.MetadataBlock(session_id=7).to_bytes()
    assert raw[1024:1536] == w.DataBlock(sample_count=1).to_bytes()
    assert raw[1536:2048] == b"\xff" * 512
    assert raw[2048:] == b"AX\x01tail"
    assert w.write_cwa(tmp_path / "g.cwa").read_bytes() == w.MetadataBlock().to_bytes()


def test_cwa_path_fixture(cwa_path) -> None:  # type: ignore[no-untyped-def]
    path = cwa_path(sectors=[w.filler_sector()], name="x.cwa")
    assert path.name == "x.cwa"
    assert path.stat().st_size == 1536


def test_steady_recording_tiles_exactly() -> None:
    blocks = w.steady_recording(1600000000, 6)
    stamps = [(b.timestamp, b.timestamp_offset) for b in blocks]
    assert stamps == [
        (w.datetime_from_unix(1600000000), 0),
        (w.datetime_from_unix(1600000001), -20),
        (w.datetime_from_unix(1600000002), -40),
        (w.datetime_from_unix(1600000003), -60),
        (w.datetime_from_unix(1600000004), -80),
        (w.datetime_from_unix(1600000006), 0),
    ]
    # Exact start of each block: stamped second plus -offset sample periods.
    for b, block in enumerate(blocks):
        second = 1600000000 + [0, 1, 2, 3, 4, 6][b]
        assert second + Fraction(-block.timestamp_offset, 100) == 1600000000 + Fraction(6, 5) * b
    assert blocks[1].sample_data == w.packed_samples(
        [(s[0], s[1], s[2], s[3]) for s in w.steady_samples(120, 120)]
    )


@pytest.mark.parametrize("rate_code", range(0x40, 0x50))
def test_steady_recording_is_exact_at_every_rate(rate_code: int) -> None:
    rate = w.sample_rate(rate_code)
    for b, block in enumerate(w.steady_recording(1600000000, 7, rate_code, samples_per_block=120)):
        stamped = w.unix_from_datetime(block.timestamp)
        assert stamped + Fraction(-block.timestamp_offset) / rate == 1600000000 + 120 * b / rate


def test_steady_samples_vary_per_axis() -> None:
    first = w.steady_sample(0, 0x92)
    assert len(first) == 9 and len(set(first)) > 3
    later = w.steady_samples(0, 400, 0x30)
    assert len({s[:3] for s in later}) == 400
    for fmt in (0x32, 0x62, 0x92):
        blocks = w.steady_recording(1600000000, 2, samples_per_block=20, sample_format=fmt)
        assert blocks[1].to_bytes()[25] == fmt
        assert blocks[1].to_bytes()[28:30] == b"\x14\x00"
