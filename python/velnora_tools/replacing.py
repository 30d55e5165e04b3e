"""Output files that appear under their final name only when complete."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
from collections.abc import Iterator


class OutputError(Exception):
    """An output that cannot be made: its final name and the system's reason,
    never the temporary name it was being written under."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: cannot write: {reason}")
        self.path = path
        self.reason = reason

    def __reduce__(self) -> tuple[type[OutputError], tuple[str, str]]:
        # From a worker process to its parent.
        return (OutputError, (self.path, self.reason))


@contextlib.contextmanager
def replacing(out: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a temporary path in the directory of `out` to write to, and renames
    it to `out` when the block succeeds. When the block raises, Ctrl-C included,
    the temporary file is removed and `out` is left as it was. The directory is
    made when missing, and the temporary file created before the block runs, so
    that an output that cannot be made raises OutputError naming `out`."""
    final = os.fspath(out)
    directory, name = os.path.split(os.path.abspath(final))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.part")
    # One try from the temporary file's making on: Ctrl-C may come anywhere.
    try:
        try:
            os.makedirs(directory, exist_ok=True)
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError as error:  # a file where the directory should be
            raise OutputError(final, os.strerror(errno.ENOTDIR)) from error
        except OSError as error:
            raise OutputError(final, error.strerror or str(error)) from error
        yield temporary
        try:
            os.replace(temporary, final)
        except OSError as error:
            raise OutputError(final, error.strerror or str(error)) from error
    except BaseException:
        # Never made, or its directory is no directory: nothing to remove.
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise
