"""The options a reading takes after its paths, named once for every function
of the package that forwards them to `velnora` or `_native`."""

from __future__ import annotations

from typing import TYPE_CHECKING, TypedDict

if TYPE_CHECKING:
    import velnora


class ReadArguments(TypedDict, total=False):
    """The options `velnora.read_cwa_file` takes after the path; a function that
    forwards them leaves those not given to the reading's own defaults."""

    # read options, as fields (made by tools/read-options)
    cut: velnora.SecondsCut | velnora.BlocksCut | None
    include_magnetometer: bool
    include_temperature: bool
    include_light: bool
    include_battery: bool
    resample_hz: float | None
    resample_method: str
    # end of made options


READ_OPTIONS: tuple[str, ...] = tuple(ReadArguments.__annotations__)
# The optional channels by the short names the command takes.
INCLUDE_FLAGS = {name.removeprefix("include_"): name for name in READ_OPTIONS if name.startswith("include_")}


def check_read_options(function: str, read_args: dict[str, object]) -> None:
    """Raises the TypeError a Python function raises for an unexpected keyword."""
    unknown = sorted(set(read_args) - set(READ_OPTIONS))
    if unknown:
        raise TypeError(f"{function}() got an unexpected keyword argument {unknown[0]!r}")
