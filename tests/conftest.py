"""Shared fixtures; also makes `import cwa_writer` work from every test file."""

from __future__ import annotations

import pathlib
import sys
from typing import Callable, Iterable

import pytest
from hypothesis import settings

_TESTS_DIR = str(pathlib.Path(__file__).resolve().parent)
if _TESTS_DIR not in sys.path:
    sys.path.insert(0, _TESTS_DIR)

from cwa_writer import DataBlock, MetadataBlock, write_cwa  # noqa: E402

# Property tests draw the same modest set of examples on every run, so a run
# repeats; `--hypothesis-profile=long` sweeps far wider with fresh examples.
settings.register_profile("quick", max_examples=50, derandomize=True, database=None, deadline=None)
settings.register_profile("long", max_examples=1000, deadline=None)
settings.load_profile("quick")

MakeRecording = Callable[..., pathlib.Path]


@pytest.fixture
def cwa_path(tmp_path: pathlib.Path) -> MakeRecording:
    """Returns make(metadata=None, sectors=(), trailing=b"", name="rec.cwa"),
    which writes a recording into the test's temporary directory."""

    def make(
        metadata: MetadataBlock | bytes | None = None,
        sectors: Iterable[DataBlock | bytes] = (),
        trailing: bytes = b"",
        name: str = "rec.cwa",
    ) -> pathlib.Path:
        return write_cwa(tmp_path / name, metadata, sectors, trailing)

    return make
