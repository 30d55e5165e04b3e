"""The CSV text the exports write, made by Python from the arrays."""

from __future__ import annotations


def expected_rows(data: dict) -> list[str]:
    """read_cwa_file's columns as CSV records, formatted by Python."""
    times = ["%.4f" % (t / 1000000.0) for t in data["timestamp"].tolist()]
    columns = [["%.6f" % v for v in data[key].tolist()] for key in data if key != "timestamp"]
    return [",".join(fields) for fields in zip(times, *columns)]


# The fields of the sensors a 3-axis recording lacks: the companion's CSV
# leaves them out.
ABSENT_ON_3_AXES = ("gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z")


def without_fields(text: bytes, names: tuple[str, ...] = ABSENT_ON_3_AXES) -> bytes:
    """CSV text without the named fields; names not in its header are ignored."""
    lines = text.split(b"\n")
    keep = [i for i, name in enumerate(lines[0].split(b",")) if name.decode() not in names]
    return b"\n".join(b",".join(line.split(b",")[i] for i in keep) if line else line for line in lines)
