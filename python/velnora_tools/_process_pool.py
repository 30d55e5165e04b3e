"""The `velnora` command's pool of worker processes: each file's work in a
worker, a progress bar on stderr and a clean stop on Ctrl-C."""

from __future__ import annotations

import multiprocessing
import os
import shutil
import signal
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass
from types import FrameType
from typing import Any

# Redraws at most this often; each reading call holds its worker's interpreter,
# so the bar lives in the command's own process.
_REDRAW_S = 0.2
_BAR_WIDTH = 30


class Progress:
    """One line on stderr: a bar of the input bytes of finished files, their
    count and the time taken. With a single file the fraction is unknown until
    it ends (a reading call reports nothing while it runs), so a block sweeps
    the bar instead. Disabled, it draws nothing."""

    def __init__(self, label: str, sizes: Sequence[int], enabled: bool) -> None:
        self._label = label
        self._total = max(sum(sizes), 1)
        self._files = len(sizes)
        self._done_bytes = 0
        self._done_files = 0
        self._enabled = enabled
        self._start = time.monotonic()
        self._drawn = 0.0

    def advance(self, size: int) -> None:
        self._done_bytes += size
        self._done_files += 1
        self.draw(force=True)

    def draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not self._enabled or (not force and now - self._drawn < _REDRAW_S):
            return
        self._drawn = now
        elapsed = now - self._start
        if self._files == 1 and self._done_files == 0:
            where = int(elapsed * 8) % (2 * _BAR_WIDTH - 6)
            where = min(where, 2 * _BAR_WIDTH - 6 - where)
            bar = " " * where + "<=>" + " " * (_BAR_WIDTH - 3 - where)
        else:
            filled = _BAR_WIDTH * self._done_bytes // self._total
            bar = "#" * filled + "-" * (_BAR_WIDTH - filled)
        line = f"{self._label} [{bar}] {self._done_files}/{self._files} files {int(elapsed) // 60}:{int(elapsed) % 60:02d}"
        width = shutil.get_terminal_size((80, 24)).columns - 1
        sys.stderr.write("\r" + line[:width].ljust(width))
        sys.stderr.flush()

    def message(self, text: str) -> None:
        """Writes a line to stderr above the bar."""
        self.clear()
        print(text, file=sys.stderr)
        self.draw(force=True)

    def clear(self) -> None:
        if self._enabled:
            width = shutil.get_terminal_size((80, 24)).columns - 1
            sys.stderr.write("\r" + " " * width + "\r")
            sys.stderr.flush()


@dataclass(frozen=True)
class Job:
    """One call of `work(path, *args)` on a recording."""

    path: str
    work: Callable[..., Any]
    args: tuple[Any, ...] = ()


@dataclass(frozen=True)
class Outcome:
    job: Job
    value: Any = None
    error: Exception | None = None


def run(jobs: Sequence[Job], workers: int, progress: Progress, done: Callable[[Outcome], None]) -> list[Outcome]:
    """Runs the jobs in up to `workers` processes and returns their outcomes in
    the jobs' order, calling `done` as each ends. On Ctrl-C the workers are
    stopped (each removes the output it was writing) before KeyboardInterrupt
    goes on."""
    outcomes: list[Outcome | None] = [None] * len(jobs)
    size = max(1, min(workers, len(jobs)))
    started: multiprocessing.SimpleQueue[int] = multiprocessing.SimpleQueue()
    pool = ProcessPoolExecutor(max_workers=size, initializer=_worker_started, initargs=(size, started))
    try:
        running: dict[Future[Any], int] = {
            pool.submit(_call, job.work, job.path, *job.args): index for index, job in enumerate(jobs)
        }
        pending = set(running)
        while pending:
            finished, pending = wait(pending, timeout=_REDRAW_S, return_when=FIRST_COMPLETED)
            for future in finished:
                job = jobs[running[future]]
                error = future.exception()
                outcome = Outcome(job, error=error) if isinstance(error, Exception) else Outcome(job, future.result())
                outcomes[running[future]] = outcome
                progress.advance(_size(job.path))
                done(outcome)
            progress.draw()
    except BaseException:
        _stop_workers(started)
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    progress.clear()
    return [outcome for outcome in outcomes if outcome is not None]


def input_sizes(paths: Sequence[str]) -> list[int]:
    return [_size(path) for path in paths]


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _stop_workers(started: multiprocessing.SimpleQueue[int]) -> None:
    """Asks the pool's workers to stop (SIGTERM, which a busy worker turns into
    KeyboardInterrupt inside its call); the pool's shutdown then waits for them
    to clean up. Only this pool's, as each said when it started: a caller's
    other child processes are none of its business."""
    while not started.empty():
        try:
            os.kill(started.get(), signal.SIGTERM)
        except ProcessLookupError:  # a worker that has ended already
            pass


_busy = False


def _worker_started(pool_size: int, started: multiprocessing.SimpleQueue[int]) -> None:
    started.put(os.getpid())
    # A pool that keeps the processors busy leaves no room for the helper
    # thread a long call would start: it would only compete with the others.
    if pool_size > 1 and 2 * pool_size > (os.cpu_count() or 1):
        os.environ.setdefault("VELNORA_THREADS", "1")
    # Ctrl-C at a terminal reaches the whole process group; the command alone
    # decides to stop, and then says so to its workers with SIGTERM.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _on_terminate)


def _on_terminate(signum: int, frame: FrameType | None) -> None:
    if _busy:
        # The pool terminates the workers still running once one has exited;
        # this one's output must be removed first, so later signals wait.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        raise KeyboardInterrupt
    os._exit(128 + signum)


def _call(work: Callable[..., Any], *args: Any) -> Any:
    global _busy
    _busy = True
    try:
        return work(*args)
    except KeyboardInterrupt:
        # Only the command's SIGTERM gets here, once the call has removed its
        # unfinished output; the pool is being shut down.
        os._exit(128 + signal.SIGTERM)
    finally:
        _busy = False
