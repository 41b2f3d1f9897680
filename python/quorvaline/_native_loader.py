"""Loads `quorvaline._native`, the package's native face, from the library of `_quorvaline`.

Both modules live in one shared library (PEP 489: several modules in one library), so they
share one engine state and one set of classes. Importing this module registers the face
under its name; `from quorvaline import _native` then works as for any submodule.
"""
import importlib.machinery
import importlib.util
import sys

import _quorvaline

NAME = "quorvaline._native"


def _load() -> None:
    if NAME in sys.modules:
        return
    path = _quorvaline.__file__
    loader = importlib.machinery.ExtensionFileLoader(NAME, path)
    spec = importlib.util.spec_from_file_location(NAME, path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[NAME] = module


_load()
