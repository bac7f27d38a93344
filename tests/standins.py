"""Stand-in sibling modules (quorvex.base, quorvex.config) and a runner for tests that
need a fresh process: the extension loads once per process, so every loading scenario
runs in its own interpreter.

In a child process: ``install()`` puts the stand-ins in sys.modules before the extension
is imported; ``emit(value)`` hands a JSON value back to the parent, which ``run()`` returns.
"""

from __future__ import annotations

import ctypes
import functools
import gc
import importlib.util
import inspect
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import types
from typing import Any, Callable

MODULE = "quorvex.minio.path"
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
_MARK = "@@standins@@ "

#: What the stand-ins observe, in order: ("getattr", module, attribute),
#: ("retry", [names of member functions alive at that moment]), ("decorate", name); a
#: scenario may add entries of its own.
LOG: list[Any] = []


class RecordingModule(types.ModuleType):
    """A module that logs every attribute fetched from it."""

    def __getattribute__(self, attr: str) -> Any:
        LOG.append(("getattr", types.ModuleType.__getattribute__(self, "__name__"), attr))
        return super().__getattribute__(attr)


def live_member_functions() -> list[str]:
    """Names of the extension's function objects alive now (before the class exists too)."""
    return sorted(o.__name__ for o in gc.get_objects()
                  if type(o).__module__ == MODULE and not isinstance(o, type)
                  and hasattr(o, "__qualname__"))


def retry() -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """A decorator factory that records its calls and wraps without changing behaviour."""
    LOG.append(("retry", live_member_functions()))

    def decorate(func: Callable[..., Any]) -> Callable[..., Any]:
        LOG.append(("decorate", func.__name__))

        @functools.wraps(func)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            return func(*args, **kwargs)

        return wrapper

    return decorate


class FixedLocal:
    """A Local with the section "minio" for every key."""

    @staticmethod
    def hasattr(key: Any) -> bool:
        return True

    @staticmethod
    def getattr(key: Any) -> str:
        return "minio"


class FixedConfig:
    """An EnvConfig whose every setting is ``value``."""

    value: Any = "bkt"

    @classmethod
    def init_configer(cls) -> Any:
        return cls

    @classmethod
    def get(cls, section: str, key: str) -> Any:
        return cls.value


class BasePath:
    def __init__(self, path: str = "") -> None:
        self.path = pathlib.PurePosixPath(path)

    def _section_key_on_thread(self) -> str:
        return "section"


def install() -> None:
    """Puts fresh stand-ins for quorvex.base and quorvex.config in sys.modules."""
    base = sys.modules["quorvex.base"] = RecordingModule("quorvex.base")
    base.retry, base.BasePath, base.Local = retry, BasePath, FixedLocal  # type: ignore
    config = sys.modules["quorvex.config"] = RecordingModule("quorvex.config")
    config.EnvConfig = FixedConfig  # type: ignore[attr-defined]


# -- in-process helpers ---------------------------------------------------------------

def member(cls: type, name: str) -> Any:
    """The extension's own function object behind a member: the property's getter, and
    under the retry wrapper."""
    value = cls.__dict__[name]
    if isinstance(value, property):
        value = value.fget
    return inspect.unwrap(value)


def probe_class(module: types.ModuleType) -> type:
    """A MinIOPath whose client and path are plain instance attributes."""

    class Probe(module.MinIOPath):  # type: ignore[name-defined,misc]
        client = None

        def __init__(self, path: str = "dir/obj", client: Any = None) -> None:
            self.path = pathlib.PurePosixPath(path)
            self.client = client

        def join(self, name: str) -> Any:
            return type(self)(f"{self.path}/{name}", self.client)

    return Probe


# -- the child side -------------------------------------------------------------------

def emit(value: Any) -> None:
    # Not print(): some scenarios take it out of the builtins.
    sys.stdout.write(_MARK + json.dumps(value) + "\n")
    sys.stdout.flush()


def outcome(func: Callable[[], Any]) -> list[Any]:
    """["ok", repr(result)] or [exception type name, message]."""
    try:
        return ["ok", repr(func())]
    except BaseException as exc:  # noqa: BLE001 - the test inspects whatever was raised
        return [type(exc).__name__, str(exc)]


def so_path() -> str:
    found = importlib.util.find_spec(MODULE)
    assert found is not None and found.origin, f"{MODULE} is not installed"
    return found.origin


def module_def() -> Any:
    """The extension's module definition, as PyInit_path returns it."""
    init = ctypes.PyDLL(so_path()).PyInit_path
    init.restype = ctypes.py_object
    init.argtypes = []
    definition = init()
    # ctypes takes the result as a new reference, but the definition is a static object
    # that CPython treats as borrowed: keep it from being "freed" when ours is dropped.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(definition))
    return definition


def exec_def(module: types.ModuleType, definition: Any) -> int:
    fn = ctypes.pythonapi.PyModule_ExecDef
    fn.argtypes = [ctypes.py_object, ctypes.py_object]
    fn.restype = ctypes.c_int
    return fn(module, definition)


def create_from_module_spec(definition: Any, module_spec: Any) -> Any:
    fn = ctypes.pythonapi.PyModule_FromDefAndSpec2
    fn.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
    fn.restype = ctypes.py_object
    return fn(definition, module_spec, sys.api_version)


# -- the parent side ------------------------------------------------------------------

_PRELUDE = f"""\
import sys
sys.path.insert(0, {TESTS_DIR!r})
import standins
from standins import LOG, MODULE, emit, outcome
"""


def run(code: str, *, stand_ins: bool = True, env: dict[str, str] | None = None,
        args: tuple[str, ...] = ()) -> list[Any]:
    """Runs `code` in a fresh interpreter and returns what it emitted.  The child must exit
    with status 0; anything else fails the calling test with its stderr."""
    source = _PRELUDE + ("standins.install()\n" if stand_ins else "") + textwrap.dedent(code)
    with tempfile.TemporaryDirectory() as cwd:
        proc = subprocess.run([sys.executable, *args, "-c", source], capture_output=True,
                              text=True, cwd=cwd, timeout=300,
                              env=None if env is None else {**os.environ, **env})
    if proc.returncode != 0:
        raise AssertionError(f"child exited with {proc.returncode}\n--- stdout\n"
                             f"{proc.stdout}\n--- stderr\n{proc.stderr}")
    return [json.loads(line[len(_MARK):]) for line in proc.stdout.splitlines()
            if line.startswith(_MARK)]
