"""Cut dictionaries, their parsing, and the resampling options checked before a read."""

from __future__ import annotations

import math
import sys

import pytest

import velnora

INF = float("inf")
NAN = float("nan")

FINITE = "seconds cut values must be finite"
NEGATIVE = "seconds cut values must be >= 0"
SECONDS_ORDER = "seconds end must be greater than start"
BLOCKS_ORDER = "blocks end must be greater than start"
NOT_A_CUT = "cut must be created by seconds() or blocks()"
MISSING_TYPE = "cut is missing type"
BAD_TYPE = "cut type must be 'seconds' or 'blocks'"
NOT_INDEX = "'float' object cannot be interpreted as an integer"
BAD_RATE = "resample_hz must be a finite value > 0"
RATE_TOO_HIGH = "resample_hz must be <= 10000"


def _unsupported(method: str) -> str:
    return f"Unsupported resample_method '{method}'. Supported: cubic"


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Real:
    def __float__(self) -> float:
        return 2.5


class ExplodingKey:
    """Hashes like `name`, so a dict lookup of `name` compares with it and fails."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        raise LookupError("comparison failed")


class LyingDict(dict):
    """Answers item access with a different cut from the one it stores."""

    def __getitem__(self, key):
        return {"type": "seconds", "start": 1.0, "end": 2.0}[key]

    def get(self, key, default=None):
        return self[key]


class Text(str):
    pass


# --- builders -------------------------------------------------------------


@pytest.mark.parametrize(
    "make, kind, start, end",
    [
        (lambda: velnora.seconds(), "seconds", None, None),
        (lambda: velnora.blocks(), "blocks", None, None),
        (lambda: velnora.seconds(0, 1.5), "seconds", 0.0, 1.5),
        (lambda: velnora.seconds(1, 2), "seconds", 1.0, 2.0),
        (lambda: velnora.seconds(end=True), "seconds", None, 1.0),
        (lambda: velnora.seconds(Real()), "seconds", 2.5, None),
        (lambda: velnora.seconds(Index(3)), "seconds", 3.0, None),
        (lambda: velnora.blocks(True), "blocks", 1, None),
        (lambda: velnora.blocks(5, 6), "blocks", 5, 6),
        (lambda: velnora.blocks(end=0), "blocks", None, 0),
        (lambda: velnora.blocks(start=1000000), "blocks", 1000000, None),
        (lambda: velnora.blocks(Index(7), 2**64 - 1), "blocks", 7, 2**64 - 1),
        (lambda: velnora.blocks(None, None), "blocks", None, None),
    ],
)
def test_builder_dict(make, kind, start, end):
    cut = make()
    assert list(cut) == ["type", "start", "end"]
    assert type(cut["type"]) is str and cut["type"] == kind
    # Exact types: 1 == 1.0 == True would hide an unnormalised value.
    value_type = float if kind == "seconds" else int
    for got, want in ((cut["start"], start), (cut["end"], end)):
        assert got is None if want is None else (type(got) is value_type and got == want)


def test_seconds_keeps_negative_zero():
    start = velnora.seconds(-0.0)["start"]
    assert start == 0.0 and math.copysign(1.0, start) == -1.0


def test_builders_return_new_dicts():
    first = velnora.blocks(1)
    first["start"] = 9
    assert velnora.blocks(1)["start"] == 1


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: velnora.seconds(5, 5), ValueError, SECONDS_ORDER),
        (lambda: velnora.seconds(6, 5), ValueError, SECONDS_ORDER),
        (lambda: velnora.blocks(5, 5), ValueError, BLOCKS_ORDER),
        (lambda: velnora.blocks(6, 5), ValueError, BLOCKS_ORDER),
        (lambda: velnora.seconds(INF), ValueError, FINITE),
        (lambda: velnora.seconds(NAN), ValueError, FINITE),
        (lambda: velnora.seconds(end=-INF), ValueError, FINITE),
        (lambda: velnora.seconds(2, INF), ValueError, FINITE),
        (lambda: velnora.seconds(-1), ValueError, NEGATIVE),
        (lambda: velnora.seconds(end=-5e-324), ValueError, NEGATIVE),
        (lambda: velnora.seconds(-1, NAN), ValueError, NEGATIVE),
        (lambda: velnora.seconds(NAN, -1), ValueError, FINITE),
        (lambda: velnora.seconds(1, -1), ValueError, NEGATIVE),
        (lambda: velnora.blocks(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: velnora.blocks(end=2**64), OverflowError, "int too big to convert"),
        (lambda: velnora.blocks(1.5), TypeError, f"argument 'start': {NOT_INDEX}"),
        (
            lambda: velnora.blocks(end=[3]),
            TypeError,
            "argument 'end': 'list' object cannot be interpreted as an integer",
        ),
        (lambda: velnora.blocks(1.5, -1), TypeError, f"argument 'start': {NOT_INDEX}"),
        (lambda: velnora.seconds("1"), TypeError, "argument 'start': must be real number, not str"),
        (lambda: velnora.seconds(end=10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_builder_error(make, error, message):
    with pytest.raises(Exception) as caught:
        make()
    assert type(caught.value) is error
    assert str(caught.value) == message


# --- cuts given to the reading functions ----------------------------------
# The path does not exist, so an exception other than the failed open's
# RuntimeError shows that the cut or option was rejected before the file was
# looked at.


@pytest.fixture(params=["read_cwa_file", "write_cwa_csv"])
def read_call(request, tmp_path):
    missing = str(tmp_path / "missing.cwa")
    output = tmp_path / "out.csv"

    def call(**options):
        try:
            if request.param == "read_cwa_file":
                return velnora.read_cwa_file(missing, **options)
            return velnora.write_cwa_csv(missing, str(output), **options)
        finally:
            assert not output.exists()

    return call


def _rejected(call, error, message, **options):
    with pytest.raises(Exception) as caught:
        call(**options)
    assert type(caught.value) is error
    assert str(caught.value) == message


def _accepted(call, **options):
    _rejected(call, RuntimeError, "IO error: No such file or directory (os error 2)", **options)


@pytest.mark.parametrize(
    "cut, error, message",
    [
        ([], ValueError, NOT_A_CUT),
        ("blocks", ValueError, NOT_A_CUT),
        ((("type", "blocks"),), ValueError, NOT_A_CUT),
        (0, ValueError, NOT_A_CUT),
        ({}, ValueError, MISSING_TYPE),
        ({"start": 1}, ValueError, MISSING_TYPE),
        ({"Type": "blocks"}, ValueError, MISSING_TYPE),
        ({"type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"type": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"type": b"blocks"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({"type": "Blocks"}, ValueError, BAD_TYPE),
        ({"type": "second"}, ValueError, BAD_TYPE),
        ({"type": "seconds "}, ValueError, BAD_TYPE),
        ({"type": "blocks\x00"}, ValueError, BAD_TYPE),
        ({"type": ""}, ValueError, BAD_TYPE),
        ({"type": "blocks", "start": 5, "end": 5}, ValueError, BLOCKS_ORDER),
        ({"type": "blocks", "start": 6, "end": 2}, ValueError, BLOCKS_ORDER),
        ({"type": "seconds", "start": 3, "end": 2}, ValueError, SECONDS_ORDER),
        ({"type": "seconds", "end": INF}, ValueError, FINITE),
        ({"type": "seconds", "start": -1, "end": NAN}, ValueError, NEGATIVE),
        ({"type": "seconds", "start": NAN, "end": -1}, ValueError, FINITE),
        ({"type": "seconds", "start": "1"}, TypeError, "must be real number, not str"),
        ({"type": "seconds", "end": 10**400}, OverflowError, "int too large to convert to float"),
        ({"type": "blocks", "start": 1.5}, TypeError, NOT_INDEX),
        ({"type": "blocks", "start": 1.5, "end": -1}, TypeError, NOT_INDEX),
        ({"type": "blocks", "end": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({ExplodingKey("type"): "blocks"}, LookupError, "comparison failed"),
        ({"type": "blocks", ExplodingKey("end"): 1}, LookupError, "comparison failed"),
        (LyingDict(type="blocks", start=5, end=5), ValueError, BLOCKS_ORDER),
        (LyingDict(start=1), ValueError, MISSING_TYPE),
    ],
)
def test_rejected_cut(read_call, cut, error, message):
    _rejected(read_call, error, message, cut=cut)


@pytest.mark.parametrize(
    "cut",
    [
        None,
        {"type": "blocks", "start": 2},
        {"type": "blocks", "start": 2, "end": None, "extra": 1},
        {"type": "blocks", "start": True, "end": Index(3)},
        {"type": "seconds"},
        {"type": "seconds", "start": -0.0, "end": Real()},
        {"type": Text("seconds"), "start": 1},
        LyingDict(type="blocks", start=2, end=3),
        velnora.seconds(10, 20),
        velnora.blocks(end=0),
    ],
)
def test_accepted_cut(read_call, cut):
    _accepted(read_call, cut=cut)


def test_cut_is_checked_before_the_rate(read_call):
    _rejected(read_call, ValueError, MISSING_TYPE, cut={}, resample_hz=NAN, resample_method="linear")


def test_arguments_are_converted_before_the_cut(read_call):
    _rejected(read_call, TypeError, "argument 'include_light': 'str' object cannot be converted to 'PyBool'",
              cut=[], include_light="yes")


def test_parsing_keeps_reference_counts(read_call):
    start = Index(2)
    type_text = Text("blocks")
    good = {"type": type_text, "start": start, "end": None}
    bad = {"type": type_text, "start": start, "end": 2}
    before = [sys.getrefcount(obj) for obj in (good, bad, type_text, start)]
    for _ in range(50):
        with pytest.raises(RuntimeError):
            read_call(cut=good)
        with pytest.raises(ValueError):
            read_call(cut=bad)
    assert [sys.getrefcount(obj) for obj in (good, bad, type_text, start)] == before


# --- resampling options ---------------------------------------------------


@pytest.mark.parametrize(
    "rate, method, message",
    [
        (0, "cubic", BAD_RATE),
        (-0.0, "cubic", BAD_RATE),
        (-1, "cubic", BAD_RATE),
        (-5e-324, "cubic", BAD_RATE),
        (NAN, "cubic", BAD_RATE),
        (INF, "cubic", BAD_RATE),
        (-INF, "cubic", BAD_RATE),
        (NAN, "linear", BAD_RATE),
        (10000.5, "cubic", RATE_TOO_HIGH),
        (10000.000000000002, "cubic", RATE_TOO_HIGH),
        (1e308, "nearest", RATE_TOO_HIGH),
        (50, "Cubic", _unsupported("Cubic")),
        (50, "", _unsupported("")),
        (50, " cubic", _unsupported(" cubic")),
        (50, "c\u00fcbic", _unsupported("c\u00fcbic")),
        (50, "cu\x00bic", _unsupported("cu\x00bic")),
        (50, "\U0001f600", _unsupported("\U0001f600")),
    ],
)
def test_rejected_resample_options(read_call, rate, method, message):
    _rejected(read_call, ValueError, message, resample_hz=rate, resample_method=method)


@pytest.mark.parametrize(
    "rate, method",
    [
        (None, "cubic"),
        (None, "no such method"),
        (None, ""),
        (10000, "cubic"),
        (5e-324, "cubic"),
        (True, "cubic"),
        (Real(), "cubic"),
    ],
)
def test_accepted_resample_options(read_call, rate, method):
    _accepted(read_call, resample_hz=rate, resample_method=method)
