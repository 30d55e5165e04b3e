"""Output files that appear under their final name only when complete."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator


@contextlib.contextmanager
def replacing(out: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a temporary path in the directory of `out` to write to, and renames
    it to `out` when the block succeeds. When the block raises, Ctrl-C included,
    the temporary file is removed and `out` is left as it was."""
    final = os.fspath(out)
    directory, name = os.path.split(os.path.abspath(final))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.part")
    try:
        yield temporary
        os.replace(temporary, final)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.remove(temporary)
        raise
