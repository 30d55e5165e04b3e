"""The worker processes of the `velnora` command and of local batches: each
file's work in a worker, a dead worker replaced and its file tried once more,
a progress bar on stderr and a clean stop on Ctrl-C, SIGTERM or SIGHUP."""

from __future__ import annotations

import collections
import contextlib
import ctypes
import multiprocessing
import os
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from types import FrameType
from typing import Any

# Redraws at most this often; each reading call holds its worker's interpreter,
# so the bar lives in the command's own process.
_REDRAW_S = 0.2
_BAR_WIDTH = 30
# Signals that stop the work as Ctrl-C does.
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)
# A file whose worker died under it is tried once more, then failed.
_TRIES = 2
_PR_SET_PDEATHSIG = 1


def processors() -> int:
    """The processors this process may run on (its affinity mask), as the
    core counts them before it starts a helper thread."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


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


class Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where Ctrl-C raises KeyboardInterrupt so that
    the same path stops the work."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class WorkerDied(RuntimeError):
    """A file whose worker process died under it on both tries."""


@contextlib.contextmanager
def stop_signals() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Stopped. Only signals left to
    their default action are taken: nohup's ignored SIGHUP stays ignored and
    a caller's handler stays its own; and only in the main thread, the one
    Python lets set handlers."""
    taken = (
        [signum for signum in STOP_SIGNALS if signal.getsignal(signum) == signal.SIG_DFL]
        if threading.current_thread() is threading.main_thread()
        else []
    )
    for signum in taken:
        signal.signal(signum, _raise_stopped)
    try:
        yield
    finally:
        for signum in taken:
            signal.signal(signum, signal.SIG_DFL)


def _raise_stopped(signum: int, frame: FrameType | None) -> None:
    raise Stopped(signum)


def run(jobs: Sequence[Job], workers: int, progress: Progress, done: Callable[[Outcome], None]) -> list[Outcome]:
    """Runs the jobs in up to `workers` processes and returns their outcomes in
    the jobs' order, calling `done` as each ends. A worker that dies is
    replaced and its job tried once more; a second death fails the job with
    WorkerDied. On Ctrl-C (or Stopped) the workers are stopped, each removing
    the output it was writing, before the exception goes on."""
    outcomes: list[Outcome | None] = [None] * len(jobs)
    waiting = collections.deque(range(len(jobs)))
    tries = [0] * len(jobs)
    pool = _Pool(max(1, min(workers, len(jobs))))
    try:
        while waiting or pool.busy():
            while waiting and (worker := pool.idle()) is not None:
                worker.take(waiting.popleft(), jobs)
            for index, result in pool.wait(_REDRAW_S):
                job = jobs[index]
                if isinstance(result, _Death):
                    tries[index] += 1
                    if tries[index] < _TRIES:
                        waiting.appendleft(index)
                        continue
                    outcome = Outcome(job, error=WorkerDied(f"its worker process died ({result.how}) on both tries"))
                else:
                    outcome = Outcome(job, *result)
                outcomes[index] = outcome
                progress.advance(_size(job.path))
                done(outcome)
            progress.draw()
    finally:
        pool.stop()
    progress.clear()
    return [outcome for outcome in outcomes if outcome is not None]


def input_sizes(paths: Sequence[str]) -> list[int]:
    return [_size(path) for path in paths]


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


@dataclass(frozen=True)
class _Death:
    """How a worker died under its job: "killed by SIGKILL", "exit status 1"."""

    how: str


class _Worker:
    """A worker process and the index of the job it runs, if any."""

    def __init__(self, pool_size: int) -> None:
        # Forked, so that this process is its parent, which PR_SET_PDEATHSIG
        # watches (strictly the calling thread, which run() holds until its
        # workers have stopped). A forkserver would be the parent instead, and
        # it outlives a killed caller while its children hold its lifeline.
        self.connection, theirs = multiprocessing.Pipe()
        self.process: BaseProcess = multiprocessing.get_context("fork").Process(
            target=_serve, args=(theirs, pool_size, os.getpid()), daemon=True
        )
        self.process.start()
        theirs.close()
        self.task: int | None = None

    def take(self, index: int, jobs: Sequence[Job]) -> None:
        self.task = index
        # A worker that died meanwhile shows as dead at the next wait.
        with contextlib.suppress(OSError):
            self.connection.send(jobs[index])

    def result(self) -> tuple[Any, Exception | None] | _Death:
        """The value and the error of its job, or how it died first."""
        try:
            result: tuple[Any, Exception | None] = self.connection.recv()
            return result
        except (EOFError, OSError):
            self.process.join()
            code = self.process.exitcode or 0
            how = f"killed by {signal.Signals(-code).name}" if code < 0 else f"exit status {code}"
            return _Death(how)


class _Pool:
    """Up to `size` workers, each running one job at a time, started as work
    needs them; a dead one is replaced by the next start."""

    def __init__(self, size: int) -> None:
        self._size = size
        self._workers: list[_Worker] = []

    def busy(self) -> bool:
        return any(worker.task is not None for worker in self._workers)

    def idle(self) -> _Worker | None:
        worker = next((worker for worker in self._workers if worker.task is None), None)
        if worker is None and len(self._workers) < self._size:
            worker = _Worker(self._size)
            self._workers.append(worker)
        return worker

    def wait(self, timeout: float) -> list[tuple[int, tuple[Any, Exception | None] | _Death]]:
        """The jobs that ended within `timeout`, each with its result; the
        workers found dead are dropped."""
        busy = [worker for worker in self._workers if worker.task is not None]
        waited: dict[Connection | int, _Worker] = {worker.connection: worker for worker in busy}
        waited.update({worker.process.sentinel: worker for worker in busy})
        ended: list[tuple[int, tuple[Any, Exception | None] | _Death]] = []
        for ready in wait(list(waited), timeout):
            worker = waited[ready]  # type: ignore[index]  # wait() returns what it was given
            if worker.task is not None:  # not seen already through its other handle
                ended.append((worker.task, worker.result()))
                worker.task = None
        for worker in [worker for worker in self._workers if not worker.process.is_alive()]:
            worker.connection.close()
            self._workers.remove(worker)
        return ended

    def stop(self) -> None:
        """Stops every worker with SIGTERM, which a busy one turns into
        KeyboardInterrupt inside its call, and waits for them to clean up."""
        for worker in self._workers:
            worker.process.terminate()
        for worker in self._workers:
            worker.process.join()
            worker.connection.close()


_busy = False


def _serve(connection: Connection, pool_size: int, parent: int) -> None:
    """A worker's life: each job received, run, and its result sent back."""
    # Ended with its parent, whatever ends that: SIGTERM stops a call as it
    # stops one on Ctrl-C, removing its unfinished output.
    ctypes.CDLL(None).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    if os.getppid() != parent:  # the parent died before it was watched
        os._exit(128 + signal.SIGTERM)
    # A pool that keeps the processors busy leaves no room for the helper
    # thread a long call would start: it would only compete with the others.
    if pool_size > 1 and 2 * pool_size > processors():
        os.environ.setdefault("VELNORA_THREADS", "1")
    # Ctrl-C and a hangup at a terminal reach the whole process group; the
    # command alone decides to stop, and then says so to its workers with
    # SIGTERM.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _on_terminate)
    while True:
        job: Job = connection.recv()
        try:
            result: tuple[Any, Exception | None] = (_call(job.work, job.path, *job.args), None)
        except Exception as error:
            result = (None, error)
        try:
            connection.send(result)
        except Exception as unsent:  # a value or an error that does not pickle
            connection.send((None, RuntimeError(str(result[1] or unsent))))


def _on_terminate(signum: int, frame: FrameType | None) -> None:
    if _busy:
        # The call must remove its output before the worker ends, so later
        # signals wait.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        raise KeyboardInterrupt
    os._exit(128 + signum)


def _call(work: Callable[..., Any], *args: Any) -> Any:
    global _busy
    _busy = True
    try:
        return work(*args)
    except KeyboardInterrupt:
        # Only the pool's SIGTERM gets here, once the call has removed its
        # unfinished output; the pool is being stopped.
        os._exit(128 + signal.SIGTERM)
    finally:
        _busy = False
