"""The member function objects: their attributes, how they bind as methods, how calls bind
arguments and report mistakes, and the module-level names they resolve at each use."""

from __future__ import annotations

import builtins
import ctypes
import functools
import gc
import inspect
import pathlib
import pydoc
import typing

import pytest

import quorvex.minio.path as module
import standins
from fakes import RecordingClient

MinIOPath = module.MinIOPath
Probe = standins.probe_class(module)

# name -> (annotations, parameters first and "return" last; __defaults__)
TABLE = {
    "bucket_name": ({"return": "str"}, None), "bucket_exists": ({"return": "bool"}, None),
    "create_bucket": ({"return": "None"}, None), "delete_bucket": ({"return": "None"}, None),
    "exists": ({"return": "bool"}, None), "is_dir": ({"return": "bool"}, None),
    "read": ({"return": "bytes"}, None),
    "write": ({"data": "bytes", "return": "None"}, None),
    "upload": ({"local_path": "str", "return": "None"}, None),
    "delete": ({"recursive": "bool", "return": "None"}, (True,)),
    "mkdir": ({"return": "None"}, None),
    "glob": ({"pattern": "str", "return": "Generator['MinIOPath', Any, Any]"}, ("*",)),
    "mtime": ({"return": "datetime.datetime"}, None),
    "__str__": ({"return": "str"}, None), "__hash__": ({"return": "int"}, None),
}
FUNCTIONS = {name: standins.member(MinIOPath, name) for name in TABLE}


class Direct(Probe):
    """The extension's functions as plain class attributes, without the retry wrappers."""


for _name, _func in FUNCTIONS.items():
    if not isinstance(MinIOPath.__dict__[_name], property):
        setattr(Direct, _name, _func)


@pytest.fixture(autouse=True)
def fixed_bucket(monkeypatch):
    monkeypatch.setattr(module, "Local", standins.FixedLocal)
    monkeypatch.setattr(module, "EnvConfig", standins.FixedConfig)


# -- the function objects ---------------------------------------------------------------

@pytest.mark.parametrize("name", TABLE)
def test_function_attributes(name: str) -> None:
    annotations, defaults = TABLE[name]
    func = FUNCTIONS[name]
    assert type(func).__module__ == "quorvex.minio.path"
    assert (func.__name__, func.__qualname__) == (name, f"MinIOPath.{name}")
    assert (func.__module__, func.__doc__, func.__defaults__) == (
        "quorvex.minio.path", None, defaults)
    assert list(func.__annotations__.items()) == list(annotations.items())
    assert func.__annotations__ is func.__annotations__
    # The same signature through the function, the class attribute (a retry wrapper or a
    # property where there is one) and, less self, a bound method.
    names = ["self", *annotations][:-1]
    first_default = len(names) - len(defaults or ())
    expected = inspect.Signature(
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                           annotation=annotations.get(p, inspect.Parameter.empty),
                           default=defaults[i - first_default] if i >= first_default
                           else inspect.Parameter.empty) for i, p in enumerate(names)],
        return_annotation=annotations["return"])
    assert inspect.signature(func) == expected
    outer = MinIOPath.__dict__[name]
    assert inspect.signature(outer.fget if isinstance(outer, property) else outer) == expected
    assert inspect.signature(func.__get__(Probe())) == expected.replace(
        parameters=list(expected.parameters.values())[1:])
    assert inspect.isgeneratorfunction(func) == (name == "glob")


def test_annotation_dicts_are_not_shared() -> None:
    assert len({id(f.__annotations__) for f in FUNCTIONS.values()}) == len(FUNCTIONS)


def test_help_renders_every_member() -> None:
    text = pydoc.render_doc(MinIOPath, renderer=pydoc.plaintext)
    for line in ["delete(self, recursive: 'bool' = True) -> 'None'",
                 "glob(self, pattern: 'str' = '*') -> \"Generator['MinIOPath', Any, Any]\"",
                 "write(self, data: 'bytes') -> 'None'", "__hash__(self) -> 'int'"]:
        assert line in text
    for prop in ["bucket_name", "bucket_exists", "exists", "mtime"]:
        assert f"\n |  {prop}\n" in text


def test_binds_like_a_function_in_a_class_body() -> None:
    p = Direct()
    write = FUNCTIONS["write"]
    assert Direct.write is write
    assert write.__get__(None, Direct) is write
    method = p.write
    assert (method.__self__, method.__func__) == (p, write)


# -- what differs between interpreter versions --------------------------------------------

def python_function(self):
    """A function defined in a class body: the running interpreter's own, for comparison."""


def test_attributes_are_those_of_the_interpreters_functions() -> None:
    # Functions gained __type_params__ in 3.12; ours have exactly what the interpreter's
    # have, less what only Python code has.
    for func in FUNCTIONS.values():
        assert set(dir(func)) ^ set(dir(python_function)) == {
            "__builtins__", "__closure__", "__globals__"}


@pytest.mark.parametrize("name", ["write", "glob"])
def test_type_params_behave_as_the_interpreters_own(name: str) -> None:
    typevar = typing.TypeVar("typevar")

    def steps(func):
        ours = f"'{type(func).__module__}.{type(func).__qualname__}' object"

        def attempt(action):
            outcome = standins.outcome(action)
            return [outcome[0], outcome[1].replace(ours, "'function' object")]
        return [attempt(lambda: func.__type_params__),
                attempt(lambda: setattr(func, "__type_params__", (typevar,))),
                attempt(lambda: func.__type_params__),
                attempt(lambda: functools.wraps(func)(lambda: None).__type_params__),
                attempt(lambda: setattr(func, "__type_params__", [typevar])),
                attempt(lambda: delattr(func, "__type_params__")),
                attempt(lambda: func.__type_params__),
                "__type_params__" in func.__dict__]

    def fresh(self):
        """Another function of the interpreter's own."""

    func = FUNCTIONS[name]
    try:
        assert steps(func) == steps(fresh)
        # Whether held in a field or in __dict__, the garbage collector sees the value.
        marker = (typevar,)
        func.__type_params__ = marker
        assert any(ref is marker or (isinstance(ref, dict) and marker in ref.values())
                   for ref in gc.get_referents(func))
    finally:
        func.__dict__.pop("__type_params__", None)
        if hasattr(func, "__type_params__"):
            func.__type_params__ = ()


@pytest.mark.parametrize("name", ["mkdir", "delete_bucket", "__str__", "__hash__", "read"])
def test_members_pickle_and_copy_by_reference(name: str) -> None:
    import copy
    import pickle

    member = getattr(module.MinIOPath, name)
    assert pickle.loads(pickle.dumps(member)) is member
    assert copy.copy(member) is member and copy.deepcopy(member) is member


@pytest.mark.parametrize("name", ["bucket_name", "bucket_exists", "exists", "mtime"])
def test_properties_are_read_only(name: str) -> None:
    p = object.__new__(MinIOPath)
    with pytest.raises(AttributeError):
        setattr(p, name, 1)
    with pytest.raises(AttributeError):
        delattr(p, name)


# -- argument binding ---------------------------------------------------------------------

def spellings(p, name):
    """p.name(...), Class.name(p, ...) and m = p.name; m(...): each takes the arguments
    after self.  The first is compiled as written, so that CPython calls the function with
    self prepended and makes no bound method."""
    def method_call(*args, **kwargs):
        text = ", ".join([*(f"a[{i}]" for i in range(len(args))),
                          *(f"{key}=k[{key!r}]" for key in kwargs)])
        return eval(f"p.{name}({text})", {"p": p, "a": args, "k": kwargs})
    return [method_call, lambda *a, **k: getattr(Direct, name)(p, *a, **k), getattr(p, name)]


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("mkdir", (1,), {}, "mkdir() takes exactly 1 positional argument (2 given)"),
    ("write", (), {}, "write() takes exactly 2 positional arguments (1 given)"),
    ("write", (b"", b""), {}, "write() takes exactly 2 positional arguments (3 given)"),
    ("write", (b"", b""), {"data": b""},
     "write() takes exactly 2 positional arguments (3 given)"),
    ("delete", (True, 1), {}, "delete() takes at most 2 positional arguments (3 given)"),
    ("glob", ("*", 1), {}, "glob() takes at most 2 positional arguments (3 given)"),
    ("write", (b"",), {"data": b""},
     "write() got multiple values for keyword argument 'data'"),
    ("write", (), {"data": b"", "self": 1},
     "write() got multiple values for keyword argument 'self'"),
    ("delete", (False,), {"recursive": True},
     "delete() got multiple values for keyword argument 'recursive'"),
    ("upload", (), {"path": "x"}, "upload() got an unexpected keyword argument 'path'"),
    ("write", (), {"bogus": 1, "data": "not bytes"},
     "write() got an unexpected keyword argument 'bogus'"),
    ("write", ("text",), {}, "Argument 'data' has incorrect type (expected bytes, got str)"),
    ("write", (), {"data": bytearray(b"x")},
     "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    ("write", (type("MyBytes", (bytes,), {})(b"x"),), {},
     "Argument 'data' has incorrect type (expected bytes, got MyBytes)"),
    ("upload", (pathlib.Path("x"),), {},
     "Argument 'local_path' has incorrect type (expected str, got PosixPath)"),
    ("upload", (), {"local_path": type("MyStr", (str,), {})("")},
     "Argument 'local_path' has incorrect type (expected str, got MyStr)"),
    ("glob", (b"*",), {}, "Argument 'pattern' has incorrect type (expected str, got bytes)"),
    ("glob", (), {"pattern": None},
     "Argument 'pattern' has incorrect type (expected str, got NoneType)"),
])
def test_argument_errors(name, args, kwargs, message) -> None:
    client = RecordingClient()
    p = Direct(client=client)
    for call in spellings(p, name):
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        assert str(info.value) == message
    assert client.calls == []


@pytest.mark.parametrize("name, kwargs, message", [
    ("mkdir", {}, "mkdir() takes exactly 1 positional argument (0 given)"),
    ("write", {"data": b""}, "write() takes exactly 2 positional arguments (0 given)"),
    ("delete", {}, "delete() takes at least 1 positional argument (0 given)"),
    ("delete", {"recursive": False}, "delete() takes at least 1 positional argument (0 given)"),
    ("glob", {"pattern": "*"}, "glob() takes at least 1 positional argument (0 given)"),
])
def test_missing_self(name, kwargs, message) -> None:
    with pytest.raises(TypeError) as info:
        FUNCTIONS[name](**kwargs)
    assert str(info.value) == message


def test_every_parameter_can_be_given_by_keyword() -> None:
    client = RecordingClient()
    p = Direct("dir/obj", client)
    key = "".join(["da", "ta"])  # not interned: matched by value
    FUNCTIONS["write"](**{"self": p, key: b"xyz"})
    assert client.names() == ["put_object"]
    assert client.calls[0][1][:2] == ("bkt", "dir/obj")
    with pytest.raises(NotImplementedError):
        FUNCTIONS["mkdir"](self=p)


def test_upload_refuses_an_empty_path_before_any_request() -> None:
    client = RecordingClient()
    for call in spellings(Direct(client=client), "upload"):
        with pytest.raises(ValueError, match=r"^Argument 'local_path' must not be empty$"):
            call("")
    assert client.calls == []


def test_non_str_keywords() -> None:
    mkdir = FUNCTIONS["mkdir"]
    # Through a dict CPython refuses the key before the function is reached ...
    with pytest.raises(TypeError, match=r"keywords must be strings"):
        mkdir(Direct(), **{1: 2})
    # ... so the function's own check is reached only by a raw vectorcall.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    vectorcall.restype = ctypes.py_object
    argv = (ctypes.py_object * 2)(Direct(), 2)
    with pytest.raises(TypeError) as info:
        vectorcall(mkdir, argv, 1, (1,))
    assert str(info.value) == "mkdir() keywords must be strings"


def test_defaults_are_read_at_each_call(monkeypatch) -> None:
    delete, glob = FUNCTIONS["delete"], FUNCTIONS["glob"]
    client = RecordingClient(list_objects=lambda *a, **k: iter(()), remove_objects=[])
    p = Direct("d", client)
    monkeypatch.setattr(delete, "__defaults__", (False,))
    delete(p)
    assert client.names() == ["remove_object"]
    monkeypatch.setattr(delete, "__defaults__", (0, True))  # aligned to the last parameters
    client.calls.clear()
    delete(p)
    assert client.names()[0] == "list_objects"  # is_dir() asked first
    monkeypatch.setattr(delete, "__defaults__", None)
    with pytest.raises(TypeError, match=r"^delete\(\) takes exactly 2 positional arguments "
                                        r"\(1 given\)$"):
        delete(p)
    monkeypatch.setattr(glob, "__defaults__", (b"*",))
    with pytest.raises(TypeError, match=r"expected str, got bytes"):
        glob(p)
    with pytest.raises(TypeError, match=r"__defaults__ must be set to a tuple"):
        delete.__defaults__ = [True]


# -- module-level names -------------------------------------------------------------------

class Used(Exception):
    pass


class Tripwire:
    """Raises Used on any attribute access or call: proves it was looked up and used."""

    def __init__(self, name):
        self.name = name

    def __getattr__(self, attr):
        raise Used(self.name)

    def __call__(self, *args, **kwargs):
        raise Used(self.name)


def _stat(*args):
    return type("Stat", (), {"last_modified": None})()


def _object(name):
    return type("Obj", (), {"object_name": name})()


USES = {
    "io": ("write", (b"x",), {}),
    "pathlib": ("upload", ("somefile",), {}),
    "datetime": ("mtime", (), {"stat_object": _stat}),
    "DeleteObject": ("delete", (), {"list_objects": lambda *a, **k: [_object("d/x")]}),
    "fnmatch": ("glob", ("*",), {"list_objects": lambda *a, **k: iter([_object("d/x")])}),
    "MinIOPath": ("glob", ("*",), {"list_objects": lambda *a, **k: iter([_object("d/x")])}),
    "Local": ("bucket_name", (), {}),
    "EnvConfig": ("bucket_name", (), {}),
}


@pytest.mark.parametrize("name", USES)
def test_module_names_are_resolved_at_each_use(name, monkeypatch) -> None:
    member, args, replies = USES[name]
    p = Probe("d", RecordingClient(**replies))
    if name == "DeleteObject":
        monkeypatch.setattr(Probe, "is_dir", lambda self: True, raising=False)

    def call():
        return list(FUNCTIONS[member](p, *args)) if member == "glob" else \
            FUNCTIONS[member](p, *args)

    monkeypatch.setattr(module, name, Tripwire("module"))
    with pytest.raises(Used, match="module"):
        call()
    monkeypatch.delattr(module, name)
    monkeypatch.setattr(builtins, name, Tripwire("builtins"), raising=False)
    with pytest.raises(Used, match="builtins"):
        call()
    monkeypatch.delattr(builtins, name)
    with pytest.raises(NameError) as info:
        call()
    assert str(info.value) == f"name '{name}' is not defined"


def test_s3error_is_resolved_only_once_something_was_raised(monkeypatch) -> None:
    class Other(Exception):
        code = "NoSuchKey"

    def stat(*args):
        raise Other("gone")

    exists = FUNCTIONS["exists"]
    p = Probe("d", RecordingClient(stat_object=stat))
    with pytest.raises(Other):
        exists(p)  # not an S3Error: passed on
    monkeypatch.setattr(module, "S3Error", Other)
    assert exists(p) is False
    monkeypatch.delattr(module, "S3Error")
    assert exists(Probe("d", RecordingClient(stat_object=_stat))) is True
    with pytest.raises(NameError, match=r"^name 'S3Error' is not defined$") as info:
        exists(p)
    assert type(info.value.__context__) is Other


# -- recursion ----------------------------------------------------------------------------

@pytest.mark.parametrize("setup, trigger", [
    # bucket_name -> self._section_key_on_thread() -> bucket_name -> ... with no Python frame
    ("Probe._section_key_on_thread = standins.member(m.MinIOPath, 'bucket_name')",
     "p.bucket_name"),
    # hash(p) -> hash((bucket, p.path)) -> hash(p) -> ...
    ("Probe.path = property(lambda self: self)", "hash(p)"),
    # str(p) -> format(p.path.as_posix()) -> str(p) ...
    ("Probe.path = property(lambda self: self); Probe.as_posix = "
     "standins.member(m.MinIOPath, '__str__')", "str(p)"),
])
def test_deep_recursion_ends_in_recursion_error(setup, trigger) -> None:
    (result,) = standins.run(f"""
        import quorvex.minio.path as m
        m.Local, m.EnvConfig = standins.FixedLocal, standins.FixedConfig
        Probe = standins.probe_class(m)
        {setup}
        p = object.__new__(Probe)
        emit(outcome(lambda: {trigger})[0])
    """)
    assert result == "RecursionError"
