"""tests/numpy_layout.cpp compiled against the headers of the NumPy in use and run: every
offset, slot and number that the module declares by hand instead of including NumPy."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_declared_numpy_layout_matches_numpys_headers(tmp_path):
    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    program = tmp_path / "numpy_layout"
    target = ["-DNPY_TARGET_VERSION=NPY_2_0_API_VERSION"] if int(np.__version__.split(".")[0]) >= 2 else []
    built = subprocess.run(
        [cxx, "-std=c++20", "-Wall", *target, "-I", sysconfig.get_paths()["include"], "-I", np.get_include(),
         "-I", str(ROOT / "src"), str(ROOT / "tests" / "numpy_layout.cpp"), "-o", str(program)],
        capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    ran = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0 and ran.stdout.endswith(" 0 failed\n"), ran.stdout
