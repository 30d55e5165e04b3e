"""What a path holds: a recording's header, or the one sentence every part of
the package gives for a file that is no recording, the reason after it; and
the text of any failure as a row or a notice shows it."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from velnora_tools import _native

if TYPE_CHECKING:
    import velnora


class NotARecording(RuntimeError):
    """A file that is no CWA recording at all: another kind of file, or one
    too short to hold a metadata block."""


def recording_header(path: str | os.PathLike[str]) -> velnora.Header:
    """`velnora.read_header`, with a file that is no recording refused as
    NotARecording: "not a CWA recording (<velnora's message>)", and a
    directory named with the way to its recordings."""
    if os.path.isdir(path):
        raise NotARecording(f"a directory, not a recording: name the recordings in it, as {os.path.join(os.fspath(path), '*.cwa')}")
    try:
        return _native.read_header(os.fspath(path))
    except _native.NotARecording as error:
        raise NotARecording(f"not a CWA recording ({error})") from None


def failure_text(error: BaseException) -> str:
    """The message of a failure, never empty: a MemoryError without one (the
    interpreter's own, when an allocation failed) says what it is."""
    if text := str(error):
        return text
    return "out of memory" if isinstance(error, MemoryError) else type(error).__name__
