"""Builds the native self-test executable (tests/native/*.cpp and the core sources) and runs it.

With TARNEXA_NATIVE_SANITIZE=1 the executable is built with AddressSanitizer and
UndefinedBehaviorSanitizer.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _working_tool(name):
    """A runnable `name`: the one beside the interpreter (a venv's pip-installed copy), else PATH's."""
    for candidate in (Path(sys.executable).parent / name, shutil.which(name)):
        if not candidate:
            continue
        try:
            subprocess.run([str(candidate), "--version"], check=True, capture_output=True, timeout=60)
        except (OSError, subprocess.SubprocessError):
            continue  # missing, or a shim with no real tool behind it
        return str(candidate)
    return None


def _run(cmd, timeout):
    env = dict(os.environ)
    # Sanitizer runtimes preloaded into the interpreter must not be forced on the compiler or the
    # test executable (a sanitized build links its own).
    env.pop("LD_PRELOAD", None)
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=timeout, env=env)


def test_native_self_tests(tmp_path):
    cmake = _working_tool("cmake")
    if cmake is None:
        pytest.skip("cmake not found (pip install cmake ninja): cannot build the native self-tests")
    ninja = _working_tool("ninja")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    sanitize = os.environ.get("TARNEXA_NATIVE_SANITIZE") == "1"
    build = tmp_path / "build"

    configure = _run(
        [cmake, "-S", ROOT, "-B", build, *generator,
         "-DTARNEXA_NATIVE_TESTS=ON", "-DTARNEXA_BUILD_MODULE=OFF",
         f"-DTARNEXA_SANITIZE={'ON' if sanitize else 'OFF'}",
         f"-DCMAKE_BUILD_TYPE={'RelWithDebInfo' if sanitize else 'Release'}"],
        timeout=600)
    assert configure.returncode == 0, f"configure failed:\n{configure.stdout}\n{configure.stderr}"
    built = _run([cmake, "--build", build, "--target", "tarnexa_native_tests", "--parallel", "2"],
                 timeout=1800)
    assert built.returncode == 0, f"build failed:\n{built.stdout}\n{built.stderr}"

    ran = _run([build / "tarnexa_native_tests"], timeout=900)
    report = ran.stdout + ran.stderr
    print(report)
    assert ran.returncode == 0, f"native self-tests failed (exit status {ran.returncode}):\n{report}"
    summary = re.search(r"^(\d+) passed, 0 failed$", ran.stdout, re.MULTILINE)
    assert summary and int(summary.group(1)) > 0, f"no passing summary line:\n{report}"
