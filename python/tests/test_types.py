# The package's types: its stubs name exactly what the modules have, and code using every public name as a user
# would passes mypy --strict (the test python_mypy) and runs over the simulated world.
from __future__ import annotations

import ast
import asyncio
import datetime
import os
import signal
import types
from typing import Iterator, List, Set

import pytest

import tavrin
import tavrin.aio
import tavrin.logging
import tavrin.pytest_plugin
import tavrin.testing
from tavrin import _tavrin

PLUG = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13"
PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"
ECHO = "7E57B17E-0000-4000-8000-00000000EC40"
ECHO_SERVICE = "7e570001-0000-4000-8000-000000000000"
ECHO_VALUE = "7e570002-0000-4000-8000-000000000000"
ECHO_DESCRIPTOR = "7e570003-0000-4000-8000-000000000000"

# The special names a stub must give where the class has them, and only those. (__init__ is left out: a class
# the module makes but a program may not has one too, which refuses.)
_DUNDERS = {"__eq__", "__ne__", "__hash__", "__int__", "__index__", "__len__", "__members__"}


def _compared(names: Set[str], private: bool = True) -> Set[str]:
    return {n for n in names if (private or not n.startswith("_")) and (not n.startswith("__") or n in _DUNDERS)}


def _stub_names(body: List[ast.stmt]) -> Set[str]:
    names: Set[str] = set()
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            # The stubs' own aliases are underscored and are not the module's: _Bytes, _Duration, _Sink ...
            names.update(t.id for t in node.targets
                         if isinstance(t, ast.Name) and not (t.id.startswith("_") and t.id[1:2].isupper()))
    return names


def _compare(runtime: object, body: List[ast.stmt], where: str, problems: List[str], private: bool = True) -> None:
    """Compares what ``runtime`` (a module or a class) has with what its stub ``body`` says, its classes' too;
    ``private``: the underscored names too (what the package uses of the extension)."""
    own = vars(runtime)
    stub = _compared(_stub_names(body), private)
    actual = _compared(set(own), private)
    if isinstance(runtime, types.ModuleType):
        # What a module imports for itself is not its API.
        actual = {n for n in actual if not isinstance(own[n], types.ModuleType) or n.startswith("_")}
    for name in sorted(actual - stub):
        problems.append("%s.%s is missing from the stub" % (where, name))
    for name in sorted(stub - actual):
        problems.append("%s.%s is in the stub but not in the module" % (where, name))
    for node in body:
        if isinstance(node, ast.ClassDef) and node.name in own:
            _compare(own[node.name], node.body, where + "." + node.name, problems)


def test_the_stubs_name_what_the_modules_have() -> None:
    problems: List[str] = []
    folder = os.path.dirname(tavrin.__file__)
    for module, stub, private in ((_tavrin, "_tavrin.pyi", True), (tavrin.logging, "logging.pyi", False)):
        with open(os.path.join(folder, stub)) as f:
            _compare(module, ast.parse(f.read()).body, module.__name__, problems, private)
    assert problems == [], "\n".join(problems)
    # The package re-exports the extension's public names, and its logger.
    assert sorted(tavrin.__all__) == sorted([n for n in vars(_tavrin) if not n.startswith("_")] + ["logging"])
    assert all(hasattr(tavrin, n) for n in tavrin.__all__)
    for module in (tavrin.aio, tavrin.testing, tavrin.pytest_plugin):
        assert all(hasattr(module, n) for n in module.__all__)
