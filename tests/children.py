"""The processes the suite starts: the environment that finds velnora where
this run finds it, the `velnora` command, and signal dispositions reset to
the defaults for the children a test signals, whatever the suite itself was
started under (nohup ignores SIGHUP, a background job SIGINT)."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import signal
import subprocess
import sys

import velnora

ROOT = pathlib.Path(__file__).resolve().parent.parent
if importlib.util.find_spec("velnora_tools") is None:  # a build tree, not an install
    sys.path.insert(0, str(ROOT / "python"))

import velnora_tools  # noqa: E402


def _environment() -> dict[str, str]:
    """Finds velnora and velnora_tools where this test run finds them."""
    paths = [str(pathlib.Path(module.__file__).parent) for module in (velnora, velnora_tools)]
    paths[1] = str(pathlib.Path(paths[1]).parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")])}


ENV = _environment()
SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGQUIT)


def default_signals() -> None:
    """For `preexec_fn`: the child starts with every stop signal's default disposition."""
    for signum in SIGNALS:
        signal.signal(signum, signal.SIG_DFL)


def velnora_command(*args: str | os.PathLike[str], cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "velnora_tools.cli", *map(str, args)], capture_output=True, text=True, cwd=cwd, env=ENV, timeout=60)
