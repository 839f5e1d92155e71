"""Finds the package's compiled helper when it does not sit in this folder.

An installed package has ``tarnexa/_native<EXTENSION_SUFFIX>`` beside this file, and the import
system tries extension modules before source files, so this file never runs there. Running from a
source tree, the extension is in a build tree's ``tarnexa/`` folder (``PYTHONPATH=build``) or in
an installed copy of the package: the first one in ``sys.path`` order is loaded as
``tarnexa._native`` in place of this module.
"""

import importlib.machinery
import importlib.util
import os
import sys


def _load() -> None:
    for entry in sys.path:
        folder = os.path.join(entry or os.curdir, "tarnexa")
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            path = os.path.join(folder, "_native" + suffix)
            if os.path.isfile(path):
                found = importlib.util.spec_from_file_location(__name__, path)
                assert found is not None and found.loader is not None
                module = importlib.util.module_from_spec(found)
                sys.modules[__name__] = module  # what the import statement hands out
                found.loader.exec_module(module)
                return
    raise ImportError(
        f"tarnexa._native is not built: no tarnexa/_native{importlib.machinery.EXTENSION_SUFFIXES[0]} "
        "on sys.path. Build it (cmake -S . -B build && cmake --build build) and run with "
        "PYTHONPATH=build, or install the package (pip install .)", name=__name__)


_load()
