"""How read_cwa_file hands its columns to NumPy: no copy, one owner per
buffer that frees it once the last array over it is gone, NumPy loaded only
for the first array."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import velnora
from cwa_writer import steady_recording



@pytest.fixture
def path(cwa_path) -> str:
    return str(cwa_path(sectors=steady_recording(1600000000, 3)))


def mapped(address: int) -> bool:
    """Whether `address` lies in a mapping of this process."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            low, high = (int(part, 16) for part in line.split()[0].split("-"))
            if low <= address < high:
                return True
    return False


def test_arrays_sit_on_their_own_buffers(path) -> None:
    data = velnora.read_cwa_file(path)
    for key, array in data.items():
        assert array.dtype == (np.int64 if key == "timestamp" else np.float32)
        assert array.ndim == 1 and array.shape == (360,)
        assert array.strides == (array.itemsize,)
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.aligned
        assert not array.flags.owndata
        assert type(array.base).__name__ == "ColumnBuffer"
    # Every column has a buffer of its own, so writing one changes no other.
    bases = {id(array.base) for array in data.values()}
    assert len(bases) == len(data)
    data["acc_x"][:] = 7.0
    assert data["acc_y"].tolist() != data["acc_x"].tolist()


def test_buffer_is_freed_once_when_the_last_view_goes(path) -> None:
    data = velnora.read_cwa_file(path)
    array = data.pop("acc_z")
    del data
    address = array.ctypes.data
    expected = array[10:20].tolist()
    owner = weakref.ref(array.base)
    view = array[10:20]
    del array
    gc.collect()
    # The view keeps the owner, and with it the memory.
    assert owner() is not None and mapped(address)
    assert view.tolist() == expected
    del view
    assert owner() is None
    assert not mapped(address)


def _run(script: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )


def test_numpy_is_imported_by_the_first_read_only(path, tmp_path) -> None:
    result = _run(
        f"""
        import sys, velnora
        assert "numpy" not in sys.modules
        velnora.write_cwa_csv({path!r}, {str(tmp_path / "out.csv")!r})
        assert "numpy" not in sys.modules
        data = velnora.read_cwa_file({path!r})
        assert "numpy" in sys.modules
        print(type(data["acc_x"]).__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ndarray\n"


def test_numpy_that_cannot_load_fails_the_call_not_the_process(path) -> None:
    result = _run(
        f"""
        import sys, velnora
        sys.modules["numpy"] = None  # makes every import of numpy fail
        try:
            velnora.read_cwa_file({path!r})
        except ImportError as error:
            print("failed with an ImportError:", isinstance(error, ImportError))
        del sys.modules["numpy"]
        print(len(velnora.read_cwa_file({path!r})["timestamp"]))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "failed with an ImportError: True\n360\n"
