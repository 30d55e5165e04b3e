"""Module surface and argument binding: the interface every function shares."""

import ctypes
import importlib
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velnora

FUNCTION_NAMES = [
    "read_header",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

MISSING = "/nonexistent/velnora/rec.cwa"


def _error_test(exc_type: type[BaseException], message: str, call, *args, **kwargs) -> BaseException:
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


def test_all_lists_the_six_functions_in_order() -> None:
    assert velnora.__all__ == FUNCTION_NAMES
    for name in FUNCTION_NAMES:
        function = getattr(velnora, name)
        assert function.__name__ == name
        assert function.__module__ == "velnora"
        assert function.__self__ is velnora


@pytest.mark.parametrize(
    "name, signature",
    [
        ("read_header", "(file_path)"),
        ("sampling_consistency_report", "(file_path)"),
        ("seconds", "(start=None, end=None)"),
        ("blocks", "(start=None, end=None)"),
        (
            "read_cwa_file",
            '(file_path, cut=None, include_magnetometer=True, include_temperature=True, include_light=True, '
            'include_battery=True, resample_hz=None, resample_method="cubic")',
        ),
        (
            "write_cwa_csv",
            '(file_path, output_path, cut=None, include_magnetometer=True, include_temperature=False, '
            'include_light=False, include_battery=False, resample_hz=None, resample_method="cubic")',
        ),
    ],
)
def test_text_signatures(name: str, signature: str) -> None:
    assert getattr(velnora, name).__text_signature__ == signature


@pytest.mark.parametrize("name", ["read_header", "seconds", "blocks"])
def test_empty_docstring_bodies_are_none(name: str) -> None:
    assert getattr(velnora, name).__doc__ is None


def test_docstring_bodies() -> None:
    assert velnora.read_cwa_file.__doc__ == (
        "Python interface for reading CWA data.\n\nOptional resampling parameters:\n"
        "- `resample_hz`: when set, data is resampled onto a regular grid.\n"
        '- `resample_method`: currently supports `"cubic"`.'
    )
    assert velnora.write_cwa_csv.__doc__ == (
        "Write CWA samples directly to CSV.\n\n"
        "Supports the same optional resampling and time-range controls as `read_cwa_file`."
    )
    report_doc = velnora.sampling_consistency_report.__doc__
    assert report_doc.startswith("Return a sampling consistency report for a CWA file.\n\nThe returned")
    assert report_doc.endswith("  samples or no positive data duration are available.")
    assert len(report_doc.splitlines()) == 22


@pytest.mark.parametrize("name", ["velnora", "velnora_tools._native"])
def test_init_again_returns_the_stored_module(name: str) -> None:
    module = importlib.import_module(name)
    library = ctypes.PyDLL(module.__file__)
    init = getattr(library, "PyInit_" + name.rpartition(".")[2])
    init.restype = ctypes.py_object
    assert init() is module


@pytest.mark.parametrize("name", ["velnora", "velnora_tools._native"])
def test_reimport_gives_the_same_module(name: str) -> None:
    module = importlib.import_module(name)
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = module
    assert again is module


def test_second_interpreter_is_refused() -> None:
    script = textwrap.dedent(
        """
        import velnora
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = "try:\\n import velnora\\nexcept ImportError as e:\\n print('refused:', e)\\n raise"
        try:
            result = interpreters.run_string(interp, code)
        except Exception as e:
            print("failed:", e)
        else:
            print("result:", result)
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if "No module named" in run.stderr:
        pytest.skip("this interpreter has no subinterpreter module")
    output = run.stdout
    assert run.returncode == 0, run.stderr
    # The import in the subinterpreter fails with ImportError, whichever layer refuses it.
    assert "ImportError" in output or "subinterpreters" in output, output
    assert "result: None" not in output


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (velnora.read_header, (), {}, "read_header() missing 1 required positional argument: 'file_path'"),
        (velnora.read_header, ("a", "b"), {}, "read_header() takes 1 positional arguments but 2 were given"),
        (velnora.seconds, (1, 2, 3), {}, "seconds() takes from 0 to 2 positional arguments but 3 were given"),
        (
            velnora.sampling_consistency_report,
            ("a", "b"),
            {},
            "sampling_consistency_report() takes 1 positional arguments but 2 were given",
        ),
        (
            velnora.read_cwa_file,
            tuple(range(9)),
            {},
            "read_cwa_file() takes from 1 to 8 positional arguments but 9 were given",
        ),
        (
            velnora.read_cwa_file,
            (MISSING,),
            {"file_path": MISSING},
            "read_cwa_file() got multiple values for argument 'file_path'",
        ),
        (velnora.read_cwa_file, (MISSING,), {"foo": 1}, "read_cwa_file() got an unexpected keyword argument 'foo'"),
        (
            velnora.write_cwa_csv,
            (),
            {},
            "write_cwa_csv() missing 2 required positional arguments: 'file_path' and 'output_path'",
        ),
        (
            velnora.write_cwa_csv,
            (),
            {"cut": None},
            "write_cwa_csv() missing 2 required positional arguments: 'file_path' and 'output_path'",
        ),
        (
            velnora.write_cwa_csv,
            (MISSING,),
            {},
            "write_cwa_csv() missing 1 required positional argument: 'output_path'",
        ),
        (velnora.blocks, (), {"start": 1, "Start": 2}, "blocks() got an unexpected keyword argument 'Start'"),
        (velnora.seconds, (1,), {"start": 2}, "seconds() got multiple values for argument 'start'"),
    ],
)
def test_binding_errors(call, args: tuple, kwargs: dict, message: str) -> None:
    _error_test(TypeError, message, call, *args, **kwargs)


def test_too_many_positional_is_checked_before_keywords() -> None:
    _error_test(
        TypeError,
        "read_header() takes 1 positional arguments but 2 were given",
        velnora.read_header,
        "a",
        "b",
        foo=1,
    )


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"include_light": 1}, "argument 'include_light': 'int' object cannot be converted to 'PyBool'"),
        ({"include_magnetometer": None}, "argument 'include_magnetometer': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"include_battery": "yes"}, "argument 'include_battery': 'str' object cannot be converted to 'PyBool'"),
        ({"resample_method": None}, "argument 'resample_method': 'NoneType' object cannot be converted to 'PyString'"),
        ({"resample_hz": "30"}, "argument 'resample_hz': must be real number, not str"),
    ],
)
def test_conversion_errors_come_before_file_access(kwargs: dict, message: str) -> None:
    _error_test(TypeError, message, velnora.read_cwa_file, MISSING, **kwargs)


@pytest.mark.parametrize("function", [velnora.read_header, velnora.sampling_consistency_report])
@pytest.mark.parametrize(
    "value, type_name",
    [(pathlib.PurePosixPath("x"), "PurePosixPath"), (b"x", "bytes"), (None, "NoneType"), (3, "int")],
)
def test_paths_must_be_str(function, value: object, type_name: str) -> None:
    _error_test(
        TypeError,
        f"argument 'file_path': '{type_name}' object cannot be converted to 'PyString'",
        function,
        value,
    )


def test_output_path_is_converted_after_file_path() -> None:
    _error_test(
        TypeError,
        "argument 'output_path': 'PosixPath' object cannot be converted to 'PyString'",
        velnora.write_cwa_csv,
        MISSING,
        pathlib.Path("out.csv"),
    )
    _error_test(
        TypeError,
        "argument 'file_path': 'bytes' object cannot be converted to 'PyString'",
        velnora.write_cwa_csv,
        b"in",
        pathlib.Path("out.csv"),
    )


def test_type_names_are_qualified() -> None:
    class Outer:
        class Inner:
            pass

    _error_test(
        TypeError,
        "argument 'file_path': 'test_type_names_are_qualified.<locals>.Outer.Inner' object cannot be converted "
        "to 'PyString'",
        velnora.read_header,
        Outer.Inner(),
    )


def test_str_subclass_is_accepted_as_a_path() -> None:
    class PathText(str):
        pass

    _error_test(RuntimeError, "IO error: No such file or directory (os error 2)", velnora.read_header, PathText(MISSING))


def test_unencodable_path_raises_unicode_encode_error_unchanged() -> None:
    with pytest.raises(UnicodeEncodeError):
        velnora.read_header("bad\udcffpath")


def test_path_with_nul_is_an_io_error() -> None:
    _error_test(RuntimeError, "IO error: file name contained an unexpected NUL byte", velnora.read_header, "a\0b")


def test_numpy_bool_is_a_flag_and_conversion_precedes_file_access() -> None:
    # A NumPy bool passes conversion, so the call reaches the file and fails there.
    for flag in (np.False_, np.True_, np.bool_(True)):
        with pytest.raises(RuntimeError):
            velnora.read_cwa_file(MISSING, include_light=flag)


def test_cause_of_a_conversion_type_error_is_carried_over() -> None:
    class Failing:
        def __float__(self) -> float:
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("no float") from error

    error = _error_test(TypeError, "argument 'start': no float", velnora.seconds, Failing())
    assert isinstance(error.__cause__, KeyError)


def test_subclass_of_type_error_passes_unchanged() -> None:
    class SpecialTypeError(TypeError):
        pass

    class Failing:
        def __float__(self) -> float:
            raise SpecialTypeError("special")

    _error_test(SpecialTypeError, "special", velnora.seconds, Failing())


@pytest.mark.parametrize("value", [-1, 2**64])
def test_blocks_overflow_passes_unchanged(value: int) -> None:
    with pytest.raises(OverflowError) as info:
        velnora.blocks(value)
    assert not str(info.value).startswith("argument")


def test_missing_file_is_a_runtime_error() -> None:
    _error_test(RuntimeError, "IO error: No such file or directory (os error 2)", velnora.read_header, MISSING)
