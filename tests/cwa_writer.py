"""Byte-exact builder for CWA recordings used by the test suite.

Every field of the metadata block and of a data block is settable, including
values a real device never writes, so that each test states the bytes it
depends on. Nothing here validates a field against the format's rules; it only
refuses values that cannot be stored in the field's width at all.
"""

from __future__ import annotations

import datetime as _dt
import os
import pathlib
import struct
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Iterable, Sequence

METADATA_SIZE = 1024
SECTOR_SIZE = 512
SAMPLE_AREA_OFFSET = 30
SAMPLE_AREA_SIZE = 480
ANNOTATION_OFFSET = 64
ANNOTATION_END = 512

FORMAT_PACKED = 0x30
FORMAT_UNPACKED3 = 0x32
FORMAT_AXIS6 = 0x62
FORMAT_AXIS9 = 0x92

_BYTES_PER_SAMPLE = {
    FORMAT_PACKED: 4,
    FORMAT_UNPACKED3: 6,
    FORMAT_AXIS6: 12,
    FORMAT_AXIS9: 18,
}

_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


# --- packed date-time ------------------------------------------------------


def pack_datetime(
    year: int, month: int, day: int, hour: int = 0, minute: int = 0, second: int = 0
) -> int:
    """Packed 32-bit date-time; fields are masked, never checked, so that
    impossible dates (month 13, second 60, ...) can be written on purpose."""
    return (
        ((year - 2000) & 0x3F) << 26
        | (month & 0x0F) << 22
        | (day & 0x1F) << 17
        | (hour & 0x1F) << 12
        | (minute & 0x3F) << 6
        | (second & 0x3F)
    )


def datetime_from_unix(seconds: int) -> int:
    """Packed date-time of a whole-second Unix time (UTC)."""
    t = _EPOCH + _dt.timedelta(seconds=seconds)
    return pack_datetime(t.year, t.month, t.day, t.hour, t.minute, t.second)


def unix_from_datetime(value: int) -> int:
    """Whole-second Unix time of a packed date-time that names a real instant."""
    t = _dt.datetime(
        2000 + (value >> 26),
        (value >> 22) & 0x0F,
        (value >> 17) & 0x1F,
        (value >> 12) & 0x1F,
        (value >> 6) & 0x3F,
        value & 0x3F,
        tzinfo=_dt.timezone.utc,
    )
    return int((t - _EPOCH).total_seconds())


DEFAULT_BLOCK_UNIX_TIME = 1600000000  # 2020-09-13T12:26:40Z
DEFAULT_BLOCK_TIMESTAMP = datetime_from_unix(DEFAULT_BLOCK_UNIX_TIME)


# --- rates and formats ------------------------------------------------------


def sample_rate(rate_code: int) -> Fraction:
    """Exact sampling rate in Hz selected by the low nibble of a rate code."""
    return Fraction(3200, 1 << (15 - (rate_code & 0x0F)))


def bytes_per_sample(sample_format: int) -> int | None:
    """Sample size of one of the four accepted formats, None for any other."""
    return _BYTES_PER_SAMPLE.get(sample_format)


def _apply_patches(buf: bytearray, patches: dict[int, bytes]) -> None:
    for offset, raw in sorted(patches.items()):
        if offset < 0 or offset + len(raw) > len(buf):
            raise ValueError(f"patch at {offset} of {len(raw)} bytes exceeds {len(buf)} bytes")
        buf[offset : offset + len(raw)] = raw


# --- metadata block ---------------------------------------------------------


@dataclass
class MetadataBlock:
    """The 1024-byte block at the start of a file; reserved bytes are 0x00."""

    packet_header: bytes = b"MD"
    packet_length: int = 0xFFFC
    hardware_type: int = 0x17
    device_id: int = 0
    session_id: int = 0
    upper_device_id: int = 0xFFFF
    logging_start_time: int = 0
    logging_end_time: int = 0
    flash_led: int = 0
    sensor_config: int = 0
    rate_code: int = 0x4A
    last_change_time: int = 0
    firmware_revision: int = 0
    annotation: bytes = b""
    annotation_filler: int = 0x20
    patches: dict[int, bytes] = field(default_factory=dict)

    def to_bytes(self) -> bytes:
        area = ANNOTATION_END - ANNOTATION_OFFSET
        if len(self.annotation) > area:
            raise ValueError(f"annotation of {len(self.annotation)} bytes exceeds {area}")
        if len(self.packet_header) > 4:
            raise ValueError("packet_header overlaps the following fields")
        buf = bytearray(METADATA_SIZE)
        buf[0 : len(self.packet_header)] = self.packet_header
        struct.pack_into("<H", buf, 2, self.packet_length)
        struct.pack_into("<B", buf, 4, self.hardware_type)
        # Only the low half lives here; the high half is upper_device_id.
        struct.pack_into("<H", buf, 5, self.device_id & 0xFFFF)
        struct.pack_into("<I", buf, 7, self.session_id)
        struct.pack_into("<H", buf, 11, self.upper_device_id)
        struct.pack_into("<I", buf, 13, self.logging_start_time)
        struct.pack_into("<I", buf, 17, self.logging_end_time)
        struct.pack_into("<B", buf, 26, self.flash_led)
        struct.pack_into("<B", buf, 35, self.sensor_config)
        struct.pack_into("<B", buf, 36, self.rate_code)
        struct.pack_into("<I", buf, 37, self.last_change_time)
        struct.pack_into("<B", buf, 41, self.firmware_revision)
        text = self.annotation + bytes([self.annotation_filler]) * (area - len(self.annotation))
        buf[ANNOTATION_OFFSET:ANNOTATION_END] = text
        _apply_patches(buf, self.patches)
        return bytes(buf)


# --- data block -------------------------------------------------------------


@dataclass
class DataBlock:
    """One 512-byte data sector; `sample_count` None derives it from the data."""

    packet_header: bytes = b"AX"
    packet_length: int = 508
    fractional_time: int = 0
    session_id: int = 0
    sequence_id: int = 0
    timestamp: int = DEFAULT_BLOCK_TIMESTAMP
    light: int = 0
    temperature: int = 0
    events: int = 0
    battery: int = 0
    rate_code: int = 0x4A
    sample_format: int = FORMAT_PACKED
    timestamp_offset: int = 0
    sample_count: int | None = None
    sample_data: bytes = b""
    checksum: int = 0
    patches: dict[int, bytes] = field(default_factory=dict)

    def resolved_sample_count(self) -> int:
        """The count written at offset 28."""
        if self.sample_count is not None:
            return self.sample_count
        size = bytes_per_sample(self.sample_format)
        if size is None:
            raise ValueError(
                f"sample_format 0x{self.sample_format:02X} needs an explicit sample_count"
            )
        return len(self.sample_data) // size

    def to_bytes(self) -> bytes:
        if len(self.sample_data) > SAMPLE_AREA_SIZE:
            raise ValueError(f"sample_data of {len(self.sample_data)} bytes exceeds 480")
        if len(self.packet_header) > 2:
            raise ValueError("packet_header overlaps packet_length")
        buf = bytearray(SECTOR_SIZE)
        buf[0 : len(self.packet_header)] = self.packet_header
        struct.pack_into(
            "<HHIIIHHBBBBhH",
            buf,
            2,
            self.packet_length,
            self.fractional_time,
            self.session_id,
            self.sequence_id,
            self.timestamp,
            self.light,
            self.temperature,
            self.events,
            self.battery,
            self.rate_code,
            self.sample_format,
            self.timestamp_offset,
            self.resolved_sample_count(),
        )
        start = SAMPLE_AREA_OFFSET
        buf[start : start + len(self.sample_data)] = self.sample_data
        struct.pack_into("<H", buf, 510, self.checksum)
        _apply_patches(buf, self.patches)
        return bytes(buf)


# --- sample encoders --------------------------------------------------------


def packed_word(x: int, y: int, z: int, exponent: int = 0) -> int:
    """One packed 3-axis word. Axes are signed -512..511; 512..1023 are also
    accepted as raw 10-bit field patterns (0x200 is -512)."""
    for name, value in (("x", x), ("y", y), ("z", z)):
        if not -512 <= value <= 1023:
            raise ValueError(f"{name}={value} does not fit a 10-bit field")
    if not 0 <= exponent <= 3:
        raise ValueError(f"exponent={exponent} does not fit 2 bits")
    return (x & 0x3FF) | (y & 0x3FF) << 10 | (z & 0x3FF) << 20 | exponent << 30


def packed_samples(samples: Sequence[tuple[int, int, int, int]]) -> bytes:
    """Sample area bytes of packed 3-axis samples given as (x, y, z, exponent)."""
    return b"".join(struct.pack("<I", packed_word(x, y, z, e)) for x, y, z, e in samples)


def unpacked_samples(samples: Sequence[Sequence[int]]) -> bytes:
    """Sample area bytes of unpacked samples: each value a signed int16, in order."""
    return b"".join(struct.pack(f"<{len(s)}h", *s) for s in samples)


def _block(sample_format: int, data: bytes, count: int, fields: dict[str, object]) -> DataBlock:
    values: dict[str, object] = {
        "sample_format": sample_format,
        "sample_data": data,
        "sample_count": count,
    }
    values.update(fields)
    return DataBlock(**values)  # type: ignore[arg-type]


def packed_block(samples: Sequence[tuple[int, int, int, int]], **fields: object) -> DataBlock:
    """Packed 3-axis block (format 0x30); `fields` override any DataBlock field."""
    return _block(FORMAT_PACKED, packed_samples(samples), len(samples), fields)


def unpacked3_block(samples: Sequence[Sequence[int]], **fields: object) -> DataBlock:
    """Unpacked 3-axis block (format 0x32); samples are (ax, ay, az)."""
    return _block(FORMAT_UNPACKED3, unpacked_samples(samples), len(samples), fields)


def axis6_block(samples: Sequence[Sequence[int]], **fields: object) -> DataBlock:
    """6-axis block (format 0x62); samples are (gx, gy, gz, ax, ay, az)."""
    return _block(FORMAT_AXIS6, unpacked_samples(samples), len(samples), fields)


def axis9_block(samples: Sequence[Sequence[int]], **fields: object) -> DataBlock:
    """9-axis block (format 0x92); samples are (gx, gy, gz, ax, ay, az, mx, my, mz)."""
    return _block(FORMAT_AXIS9, unpacked_samples(samples), len(samples), fields)


def encode_samples(sample_format: int, samples: Sequence[Sequence[int]]) -> bytes:
    """Sample area bytes for one of the four accepted formats."""
    if sample_format == FORMAT_PACKED:
        return packed_samples([(s[0], s[1], s[2], s[3]) for s in samples])
    if sample_format in (FORMAT_UNPACKED3, FORMAT_AXIS6, FORMAT_AXIS9):
        return unpacked_samples(samples)
    raise ValueError(f"no encoder for sample_format 0x{sample_format:02X}")


# --- whole files ------------------------------------------------------------


def filler_sector(byte: int = 0x00) -> bytes:
    """A 512-byte sector of one repeated byte."""
    return bytes([byte]) * SECTOR_SIZE


def write_cwa(
    path: str | os.PathLike[str],
    metadata: MetadataBlock | bytes | None = None,
    sectors: Iterable[DataBlock | bytes] = (),
    trailing: bytes = b"",
) -> pathlib.Path:
    """Write metadata, then each sector in order, then `trailing`. Raw bytes
    are written as given, whatever their length, so malformed files can be made."""
    out = pathlib.Path(path)
    head = MetadataBlock() if metadata is None else metadata
    parts = [head.to_bytes() if isinstance(head, MetadataBlock) else head]
    parts += [s.to_bytes() if isinstance(s, DataBlock) else s for s in sectors]
    parts.append(trailing)
    out.write_bytes(b"".join(parts))
    return out


def block_with_bounds(
    start_s: int,
    sample_count: int = 120,
    rate_code: int = 0x4A,
    timestamp_offset: int = 0,
    **fields: object,
) -> DataBlock:
    """Packed 3-axis block stamped at whole second `start_s` with the given
    offset; its sample area is zero unless `fields` give sample_data."""
    values: dict[str, object] = {
        "timestamp": datetime_from_unix(start_s),
        "timestamp_offset": timestamp_offset,
        "rate_code": rate_code,
        "sample_format": FORMAT_PACKED,
        "sample_count": sample_count,
    }
    values.update(fields)
    return DataBlock(**values)  # type: ignore[arg-type]


# --- a steady device --------------------------------------------------------


def _triangle(i: int, half: int) -> int:
    """Integer triangle wave 0 -> half -> 0 -> -half -> 0 with period 4*half."""
    p = i % (4 * half)
    if p <= half:
        return p
    if p <= 3 * half:
        return 2 * half - p
    return p - 4 * half


def steady_sample(index: int, sample_format: int = FORMAT_PACKED) -> tuple[int, ...]:
    """Raw counts of sample `index` of a steady recording, in the format's order.

    Each axis is a triangle wave with its own period and phase so that a
    misplaced axis, sample or block shows up as a wrong value."""
    ax = _triangle(index, 200)
    ay = _triangle(index + 37, 150)
    az = 256 + _triangle(index + 11, 100)
    if sample_format == FORMAT_PACKED:
        return (ax, ay, az, 0)
    if sample_format == FORMAT_UNPACKED3:
        return (ax, ay, az)
    gyro = (_triangle(index, 1000), _triangle(index + 250, 700), _triangle(index + 5, 30))
    if sample_format == FORMAT_AXIS6:
        return (*gyro, ax, ay, az)
    if sample_format == FORMAT_AXIS9:
        mag = (_triangle(index, 400), -_triangle(index + 90, 120), 1000 + _triangle(index, 60))
        return (*gyro, ax, ay, az, *mag)
    raise ValueError(f"no steady samples for sample_format 0x{sample_format:02X}")


def steady_samples(first: int, count: int, sample_format: int = FORMAT_PACKED) -> list[tuple[int, ...]]:
    """`steady_sample` for indices first .. first+count-1."""
    return [steady_sample(i, sample_format) for i in range(first, first + count)]


def block_stamp(t_first: Fraction, rate: Fraction) -> tuple[int, int]:
    """(whole second, timestamp offset) that place the first sample at t_first."""
    whole = t_first.numerator // t_first.denominator
    periods = (t_first - whole) * rate
    if periods.denominator == 1:
        return whole, -int(periods)
    j = 1
    while (t_first + j / rate).denominator != 1:
        j += 1
    return int(t_first + j / rate), j


def steady_recording(
    start_s: int,
    blocks: int,
    rate_hz_code: int = 0x4A,
    samples_per_block: int = 120,
    sample_format: int = FORMAT_PACKED,
) -> list[DataBlock]:
    """Consecutive blocks of a device sampling steadily from `start_s`.

    Block b holds samples b*n .. b*n+n-1. A device stamps the whole second at
    or before the block's first sample and records, as a negative offset, how
    many sample periods after that second the first sample falls; that keeps
    the natural bounds of consecutive blocks end to start. At rates that are
    not whole hertz that second may fall between samples; the block is then
    stamped at the first later sample that lies on a whole second, with a
    positive offset, so the bounds stay exact."""
    rate = sample_rate(rate_hz_code)
    result: list[DataBlock] = []
    for b in range(blocks):
        first = b * samples_per_block
        whole, offset = block_stamp(start_s + Fraction(first) / rate, rate)
        result.append(
            DataBlock(
                sequence_id=b,
                timestamp=datetime_from_unix(whole),
                rate_code=rate_hz_code,
                sample_format=sample_format,
                timestamp_offset=offset,
                sample_count=samples_per_block,
                sample_data=encode_samples(
                    sample_format, steady_samples(first, samples_per_block, sample_format)
                ),
            )
        )
    return result
