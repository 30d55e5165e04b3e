"""Runs benchmark contenders the way a study's batch job runs velnora: each
measured call in a fresh interpreter (start, import, one call, exit), the
contenders taking turns round by round (ABAB...), so that a burst of load
elsewhere on the machine hits them alike. Wall time is taken around the whole
child; its user and system CPU and its peak resident set come from the rusage
that os.wait4 returns. With --same-process the same code runs in this process
instead: no interpreter start or import in the figures, and no peak RSS.

This module never imports NumPy or velnora: a child's peak resident set
starts from that of the process that spawned it, which must stay small."""

from __future__ import annotations

import json
import os
import resource
import shlex
import statistics
import subprocess
import sys
import time
from collections.abc import Mapping
from dataclasses import dataclass, field

MB = 1e6
# A child's peak RSS is at least this process's at the spawn; beyond this the
# children's peaks would be this process's, not their own.
PARENT_PEAK_LIMIT = 64 * MB


@dataclass(frozen=True)
class Contender:
    """One measured call: Python code with its imports and literal paths,
    and the variables its child sets over this process's environment (such
    as the PYTHONPATH of one build), so that the printed command line reruns
    it exactly."""

    name: str
    code: str
    env: dict[str, str] = field(default_factory=dict, hash=False)

    def argv(self) -> list[str]:
        return [sys.executable, "-c", self.code]

    def command_line(self) -> str:
        return command_line(self.argv(), self.env)


@dataclass(frozen=True)
class Run:
    wall: float
    user: float
    system: float
    peak_bytes: int | None


def literal(path: object) -> str:
    """A path as a Python string literal in double quotes, which the shell
    quoting of the printed command lines leaves readable."""
    return json.dumps(str(path))


def command_line(argv: list[str], env: Mapping[str, str] | None = None) -> str:
    """A child's command as a shell runs it, its environment variables first."""
    return shlex.join([f"{key}={value}" for key, value in (env or {}).items()] + argv)


IMPORTS_ONLY = Contender("imports only", "import numpy, velnora")


def run_fresh(code: str, env: Mapping[str, str] | None = None) -> Run:
    """One child interpreter, its stdout discarded, with `env` set over this
    process's environment."""
    argv = [sys.executable, "-c", code]
    quiet = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    began = time.perf_counter()
    pid = os.posix_spawn(sys.executable, argv, {**os.environ, **(env or {})}, file_actions=quiet)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - began
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"child failed ({os.waitstatus_to_exitcode(status)}): {command_line(argv, env)}")
    return Run(wall, usage.ru_utime, usage.ru_stime, usage.ru_maxrss * 1024)


def run_here(code: str) -> Run:
    """The code in this process; dropping its results is part of the call,
    as the exit is for a child."""
    namespace: dict[str, object] = {}
    before = resource.getrusage(resource.RUSAGE_SELF)
    began = time.perf_counter()
    exec(code, namespace)
    namespace.clear()
    wall = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_SELF)
    return Run(wall, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime, None)


def probe(code: str, env: Mapping[str, str] | None = None) -> dict:
    """Runs code in a fresh interpreter, untimed, with `env` set over this
    process's environment, and returns the JSON object that its last line of
    output holds."""
    environment = {**os.environ, **(env or {})}
    done = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def measure(contenders: list[Contender], repeat: int, same_process: bool) -> dict[str, list[Run]]:
    """`repeat` rounds, every contender once per round, in the given order in
    even rounds and reversed in odd ones, so that no contender always runs
    first after another's memory was freed. In this process an untimed round
    first pays for the imports."""
    if same_process and any(contender.env for contender in contenders):
        raise ValueError("a contender with environment variables of its own needs a fresh process")
    parent_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    if not same_process and parent_peak > PARENT_PEAK_LIMIT:
        raise RuntimeError(f"this process peaked at {parent_peak / MB:.0f} MB: its children's peaks would hide theirs")
    if same_process:
        for contender in contenders:
            run_here(contender.code)
    runs: dict[str, list[Run]] = {contender.name: [] for contender in contenders}
    for round_number in range(repeat):
        for contender in contenders if round_number % 2 == 0 else reversed(contenders):
            run = run_here(contender.code) if same_process else run_fresh(contender.code, contender.env)
            runs[contender.name].append(run)
    return runs


def best(runs: list[Run]) -> float:
    return min(run.wall for run in runs)


def median(runs: list[Run], field: str = "wall") -> float:
    return statistics.median(getattr(run, field) for run in runs)


def peak(runs: list[Run]) -> int | None:
    peaks = [run.peak_bytes for run in runs if run.peak_bytes is not None]
    return max(peaks) if peaks else None


def pair_ratio(runs: list[Run], base: list[Run]) -> float:
    """Median over the rounds of one contender's wall over its base's in the
    same round."""
    return statistics.median(run.wall / other.wall for run, other in zip(runs, base))


def print_load(when: str) -> None:
    one, five, fifteen = os.getloadavg()
    print(f"load {when}: {one:.2f} {five:.2f} {fifteen:.2f} (1, 5, 15 min; {os.cpu_count()} CPUs)")


def print_setup(title: str, repeat: int, same_process: bool) -> None:
    mode = "same process" if same_process else "a fresh process per call"
    print(f"== {title}: {repeat} alternating rounds, {mode}")
    print(f"PYTHONPATH={os.environ.get('PYTHONPATH', '')}")
    print_load("at start")


def print_table(contenders: list[Contender], runs: dict[str, list[Run]], bases: dict[str, str]) -> None:
    """One row per contender; `bases` names the contender each ratio is
    taken against (median of pairs, then the ratio of the bests)."""
    if any(peak(own) is not None for own in runs.values()):
        own_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(f"peak RSS of this process, under every child's: {own_peak / MB:.0f} MB")
    print(f"{'contender':<22} {'best s':>7} {'median s':>8} {'user s':>7} {'sys s':>7} {'peak MB':>8}  ratio")
    for contender in contenders:
        own = runs[contender.name]
        peak_bytes = peak(own)
        peak_text = f"{peak_bytes / MB:8,.0f}" if peak_bytes is not None else f"{'-':>8}"
        line = (
            f"{contender.name:<22} {best(own):7.3f} {median(own):8.3f} {median(own, 'user'):7.3f} "
            f"{median(own, 'system'):7.3f} {peak_text}"
        )
        base = bases.get(contender.name)
        if base is not None:
            line += f"  {pair_ratio(own, runs[base]):5.2f} ({best(own) / best(runs[base]):.2f}) x {base}"
        print(line)
    print("commands:")
    for contender in contenders:
        print(f"  {contender.name}: {contender.command_line()}")


def print_target(text: str, passed: bool | None) -> None:
    """One target line; None when this run cannot tell (no peak RSS)."""
    mark = {True: "pass", False: "FAIL", None: "n/a "}[passed]
    print(f"  [{mark}] {text}")


def rss_target(name: str, runs: list[Run], nonzero_bytes: int) -> None:
    """Peak RSS within 1.1 x the bytes of the non-zero columns + 100 MB."""
    limit = 1.1 * nonzero_bytes + 100 * MB
    peak_bytes = peak(runs)
    shown = f"{peak_bytes / MB:,.0f} MB" if peak_bytes is not None else "not measured"
    passed = None if peak_bytes is None else peak_bytes <= limit
    print_target(
        f"{name} peak RSS {shown} <= 1.1 x {nonzero_bytes / MB:,.0f} MB non-zero + 100 MB = {limit / MB:,.0f} MB",
        passed,
    )


def ratio_target(name: str, runs: list[Run], base_name: str, base: list[Run], limit: float) -> None:
    """Wall within `limit` x the base's, median of alternating pairs."""
    ratio = pair_ratio(runs, base)
    print_target(f"{name} wall {ratio:.2f} x {base_name} (median of pairs) <= {limit}", ratio <= limit)
