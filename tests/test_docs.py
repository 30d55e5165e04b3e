"""The error reference of the documentation names every message that the C++
sources raise, so a new message cannot go undocumented."""

from __future__ import annotations

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
REFERENCE = ROOT / "docs" / "errors.md"
# The first string literal given to whatever builds an error or sets a Python exception.
RAISED = re.compile(
    r'(?:\bfail|CwaError::message|io_text|out_of_memory|reject_cut|PyErr_SetString\(\w+,|PyErr_Format\(\w+,)'
    r'\(?\s*"((?:[^"\\]|\\.)+)"'
)
PLACEHOLDER = re.compile(r"%(?:zd|s|U|d)")


def fixed_parts() -> list[str]:
    """The texts between placeholders of every raised message, 4 characters or longer."""
    parts: set[str] = set()
    for source in sorted((ROOT / "src").rglob("*.[ch]pp")):
        for literal in RAISED.findall(source.read_text()):
            parts.update(part for part in PLACEHOLDER.split(literal) if len(part.strip()) >= 4)
    return sorted(parts)


# Without the source tree (a run against an installed wheel) the set is empty and pytest skips.
@pytest.mark.parametrize("part", fixed_parts())
def test_error_reference_names_every_message(part: str) -> None:
    assert part in REFERENCE.read_text()
