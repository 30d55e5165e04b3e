"""Output files that appear under their final name only when complete."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import secrets
import stat
from collections.abc import Iterator

# The temporary name of an output being written, hidden beside its final name:
# the final name, random bytes in hex and ".part".
_TOKEN_BYTES = 6
_TEMPORARY = re.compile(rf"\..+\.[0-9a-f]{{{2 * _TOKEN_BYTES}}}\.part")
_KINDS = {stat.S_IFIFO: "a FIFO", stat.S_IFCHR: "a character device", stat.S_IFBLK: "a block device", stat.S_IFSOCK: "a socket"}


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


def check_output(path: str | os.PathLike[str], out: str | os.PathLike[str], stream: bool = False) -> None:
    """Refuses, before any work, an output that is the recording at `path`
    itself, also through a link (in `velnora.write_cwa_csv`'s words), and,
    unless the output is a `stream`, one that `replacing` would refuse."""
    with contextlib.suppress(OSError):  # a path that cannot be examined fails where it is opened
        if os.path.samefile(path, out):
            raise RuntimeError(f"Output path '{os.fspath(out)}' is the input recording '{os.fspath(path)}'; refusing to overwrite it")
    if not stream:
        _refuse_special(os.fspath(out))


@contextlib.contextmanager
def replacing(out: str | os.PathLike[str], stream: bool = False) -> Iterator[str]:
    """Yields a temporary path in the directory of `out` to write to, and renames
    it to `out` when the block succeeds. When the block raises, Ctrl-C included,
    the temporary file is removed and `out` is left as it was. The directory is
    made when missing, and the temporary file created before the block runs, so
    that an output that cannot be made raises OutputError naming `out`.

    An existing `out` that is no regular file (a FIFO, a device) is never
    replaced: a `stream`, written from start to end, goes into it directly,
    as into a pipe; any other output raises OutputError."""
    final = os.fspath(out)
    if stream and _special_kind(final) is not None:
        yield final
        return
    _refuse_special(final)
    directory, name = os.path.split(os.path.abspath(final))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(_TOKEN_BYTES)}.part")
    # One try from the temporary file's making on: Ctrl-C may come anywhere.
    try:
        try:
            os.makedirs(directory, exist_ok=True)
            held = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError as error:  # a file where the directory should be
            raise OutputError(final, os.strerror(errno.ENOTDIR)) from error
        except OSError as error:
            raise OutputError(final, error.strerror or str(error)) from error
        # Locked while it is written, and unlocked by the system whatever ends
        # this process: a temporary nobody holds is stale.
        try:
            fcntl.flock(held, fcntl.LOCK_EX)
            yield temporary
            try:
                os.replace(temporary, final)
            except OSError as error:
                raise OutputError(final, error.strerror or str(error)) from error
        finally:
            os.close(held)
    except BaseException:
        # Never made, or its directory is no directory: nothing to remove.
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def remove_stale_temporaries(directory: str, began_ns: int) -> None:
    """Removes the temporaries that `replacing` left in `directory` when its
    process was killed: last changed before `began_ns` (time.time_ns() at the
    start of a batch) and held by no process, as one being written is."""
    with contextlib.suppress(OSError), os.scandir(directory) as entries:
        for entry in entries:
            if _TEMPORARY.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
                with contextlib.suppress(OSError):
                    _remove_stale(entry, began_ns)


def _remove_stale(entry: os.DirEntry[str], began_ns: int) -> None:
    if entry.stat(follow_symlinks=False).st_mtime_ns >= began_ns:
        return
    held = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW)
    try:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)  # BlockingIOError: being written
        os.remove(entry.path)
    finally:
        os.close(held)


def _special_kind(path: str) -> str | None:
    """What an existing file that is neither a regular file nor a directory
    is; None for anything else."""
    try:
        return _KINDS.get(stat.S_IFMT(os.stat(path).st_mode))
    except OSError:
        return None


def _refuse_special(final: str) -> None:
    if (kind := _special_kind(final)) is not None:
        raise OutputError(final, f"not a regular file ({kind}); only a regular file is replaced by the finished output")
