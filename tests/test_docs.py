"""The documentation against the code: the error reference names every
message that the C++ sources raise, so a new message cannot go undocumented,
and the pages' Python examples run as written."""

from __future__ import annotations

import os
import pathlib
import re
import shutil

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


def test_the_data_dictionary_is_made_from_the_declarations() -> None:
    from velnora_tools._outcome_columns import dictionary_markdown

    assert (ROOT / "docs" / "data-dictionary.md").read_text() == dictionary_markdown(), "run: python -c 'from velnora_tools._outcome_columns import dictionary_markdown as d; print(d(), end=\"\")' > docs/data-dictionary.md"


def runnable_pages() -> list[pathlib.Path]:
    return [page for page in sorted((ROOT / "docs").glob("*.md")) if "```python\n" in page.read_text()]


# Every ```python block of a page runs as written, in the page's order, in a
# folder holding the files the pages name; ```py blocks (clusters) are shown only.
@pytest.fixture(scope="module")
def day_recording(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """The synthetic day the pages read, written once."""
    import sys

    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from day_recording import write_recording
    finally:
        sys.path.remove(str(ROOT / "examples"))
    path = tmp_path_factory.mktemp("day") / "day.cwa"
    write_recording(path)
    return path


@pytest.mark.parametrize("page", runnable_pages(), ids=lambda page: page.name)
def test_documentation_examples_run(page: pathlib.Path, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, day_recording: pathlib.Path) -> None:
    if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
        for library in ("pandas", "pyarrow", "distributed"):
            pytest.importorskip(library)
    import velnora

    (tmp_path / "examples").mkdir()
    shutil.copy(ROOT / "examples" / "sample.cwa", tmp_path / "examples")
    (tmp_path / "study" / "raw").mkdir(parents=True)
    for name in ("a", "b"):
        shutil.copy(ROOT / "examples" / "sample.cwa", tmp_path / "study" / "raw" / f"{name}.cwa")
    shutil.copy(day_recording, tmp_path / "day.cwa")
    velnora.write_cwa_csv(str(tmp_path / "examples" / "sample.cwa"), str(tmp_path / "sample.csv"))
    monkeypatch.chdir(tmp_path)
    scope: dict[str, object] = {}
    for block in re.findall(r"```python\n(.*?)```", page.read_text(), re.DOTALL):
        exec(compile(block, page.name, "exec"), scope)
