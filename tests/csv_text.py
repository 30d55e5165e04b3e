"""The CSV text the exports write, made by Python from the arrays."""

from __future__ import annotations


def expected_rows(data: dict) -> list[str]:
    """read_cwa_file's columns as CSV records, formatted by Python."""
    times = ["%.4f" % (t / 1000000.0) for t in data["timestamp"].tolist()]
    columns = [["%.6f" % v for v in data[key].tolist()] for key in data if key != "timestamp"]
    return [",".join(fields) for fields in zip(times, *columns)]
