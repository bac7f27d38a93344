"""Loading: the create and exec steps, the module body's imports and the assembly of
MinIOPath.  The extension loads once per process, so each scenario runs in a fresh one."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest

import standins

# The members in class-body order, and how each is wrapped there.
WRAPS = {"bucket_name": "property(plain)", "bucket_exists": "property(retry)",
         "create_bucket": "retry", "delete_bucket": "plain", "exists": "property(retry)",
         "is_dir": "retry", "read": "retry", "write": "retry", "upload": "retry",
         "delete": "retry", "mkdir": "plain", "glob": "retry", "mtime": "property(retry)",
         "__str__": "plain", "__hash__": "plain"}
MEMBERS = list(WRAPS)
RETRIED = [m for m in MEMBERS if "retry" in WRAPS[m]]
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into "
                      "one interpreter per process.")


def test_module_namespace_and_import_order() -> None:
    (keys, doc, first_use, fetches), = standins.run("""
        import datetime, fnmatch, io, pathlib, typing, minio, minio.deleteobjects, minio.error
        for name in ["datetime", "fnmatch", "io", "pathlib", "typing", "minio",
                     "minio.deleteobjects", "minio.error"]:
            sys.modules[name].__class__ = standins.RecordingModule
        class Base(standins.RecordingModule):
            def __getattribute__(self, attr):
                names = ["retry", "BasePath", "Local"]
                if attr in names:  # which of them are bound when each one is fetched
                    LOG.append(("fetch", attr, [n for n in names
                                                if n in vars(sys.modules[MODULE])]))
                return super().__getattribute__(attr)
        sys.modules["quorvex.base"].__class__ = Base
        import quorvex.minio.path as m
        order = [e[1] for e in LOG if e[0] == "getattr"]
        emit([list(vars(m)), m.__doc__, sorted(set(order), key=order.index),
              [e[1:] for e in LOG if e[0] == "fetch"]])
    """)
    dunders = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
               "__builtins__"}
    assert dunders <= set(keys) and doc is None
    assert [k for k in keys if k not in dunders] == [
        "datetime", "fnmatch", "io", "pathlib", "Any", "Generator", "Minio", "DeleteObject",
        "S3Error", "retry", "BasePath", "Local", "EnvConfig", "MinIOPath"]
    assert first_use == ["datetime", "fnmatch", "io", "pathlib", "typing", "minio",
                         "minio.deleteobjects", "minio.error", "quorvex.base",
                         "quorvex.config"]
    assert fetches == [["retry", []], ["BasePath", ["retry"]],
                       ["Local", ["retry", "BasePath"]]]


def test_class_assembly() -> None:
    (result,) = standins.run("""
        class LateMinio: pass
        class Meta(type):
            @classmethod
            def __prepare__(mcs, *args, **kwargs):
                if args[0] != "MinIOPath":
                    return {}
                LOG.append(("prepare", args[0], [c.__name__ for c in args[1]], kwargs))
                sys.modules[MODULE].Minio = LateMinio  # _creator is looked up after this
                class Namespace(dict):
                    def __setitem__(self, key, value):
                        LOG.append(("store", key))
                        super().__setitem__(key, value)
                return Namespace()
            def __new__(mcs, *args, **kwargs):
                if args[0] == "MinIOPath":
                    LOG.append(("meta", len(args), kwargs, type(args[2]).__name__))
                return super().__new__(mcs, *args, **kwargs)
        class Base(metaclass=Meta): pass
        sys.modules["quorvex.base"].BasePath = Base
        import inspect
        import quorvex.minio.path as m
        cls = m.MinIOPath
        def kind(value):
            func = value.fget if isinstance(value, property) else value
            inner = "retry" if hasattr(func, "__wrapped__") else "plain"
            assert inspect.unwrap(func).__name__ == func.__name__
            return f"property({inner})" if isinstance(value, property) else inner
        emit({"type": type(cls).__name__, "bases": [b.__name__ for b in cls.__bases__],
              "log": [e for e in LOG if e[0] in ("prepare", "meta", "store")],
              "module": cls.__module__, "qualname": cls.__qualname__,
              "annotations": cls.__annotations__, "section": cls._section,
              "creator_is_late": cls._creator is LateMinio,
              "kinds": {name: kind(cls.__dict__[name]) for name in %r},
              "decorated": [e[1] for e in LOG if e[0] == "decorate"],
              "live_at_retry": [e[1] for e in LOG if e[0] == "retry"]})
    """ % (MEMBERS,))
    log = result["log"]
    assert (result["type"], result["bases"]) == ("Meta", ["Base"])
    assert log[0] == ["prepare", "MinIOPath", ["Base"], {}]
    assert [e[1] for e in log[1:-1]] == ["__module__", "__qualname__", "__annotations__",
                                         "_section", "_creator", *MEMBERS]
    assert log[-1] == ["meta", 3, {}, "Namespace"]
    assert (result["module"], result["qualname"]) == ("quorvex.minio.path", "MinIOPath")
    assert result["annotations"] == {"client": "Minio"} and result["section"] == ["minio"]
    assert result["creator_is_late"]
    assert result["kinds"] == WRAPS
    assert result["decorated"] == RETRIED
    # retry() is called before the member's function exists: at each call exactly the
    # members before it in the class body are alive.
    assert result["live_at_retry"] == [sorted(MEMBERS[:MEMBERS.index(n)]) for n in RETRIED]


def test_mro_entries_base_is_replaced() -> None:
    (result,) = standins.run("""
        class Real: pass
        class Alias:
            def __mro_entries__(self, bases):
                return (Real,)
        alias = sys.modules["quorvex.base"].BasePath = Alias()
        import quorvex.minio.path as m
        emit([[b.__name__ for b in m.MinIOPath.__bases__],
              m.MinIOPath.__dict__["__orig_bases__"] == (alias,)])
    """)
    assert result == [["Real"], True]


def test_metaclass_conflict() -> None:
    (result,) = standins.run("""
        class A(metaclass=type("M1", (type,), {})): pass
        class B(metaclass=type("M2", (type,), {})): pass
        class Both:
            def __mro_entries__(self, bases):
                return (A, B)
        sys.modules["quorvex.base"].BasePath = Both()
        emit(outcome(lambda: __import__(MODULE)))
    """)
    assert result == ["TypeError", "metaclass conflict: the metaclass of a derived class must "
                      "be a (non-strict) subclass of the metaclasses of all its bases"]


@pytest.mark.parametrize("setup, error", [
    ('del sys.modules["quorvex.base"].retry', ["ImportError", "cannot import name retry"]),
    ('del sys.modules["quorvex.base"].Local', ["ImportError", "cannot import name Local"]),
    ('del sys.modules["quorvex.config"].EnvConfig',
     ["ImportError", "cannot import name EnvConfig"]),
    ('sys.modules["minio.deleteobjects"] = type(sys)("x")',
     ["ImportError", "cannot import name DeleteObject"]),
    ("del builtins.property", ["NameError", "name 'property' is not defined"]),
    ("del builtins.print", ["NameError", "name 'print' is not defined"]),
    ("del builtins.NotImplementedError",
     ["NameError", "name 'NotImplementedError' is not defined"]),
    ("standins.retry = lambda: {}[1]", ["KeyError", "1"]),
    ("standins.retry = lambda: (lambda f: 1 / 0)", ["ZeroDivisionError", "division by zero"]),
    ("builtins.property = lambda f: [][1]", ["IndexError", "list index out of range"]),
])
def test_failed_import_is_released_and_retried(setup: str, error: list[str]) -> None:
    # The failure is reported and the module object let go (neither in sys.modules nor
    # kept by the extension); once the cause is gone, a new import runs both steps again.
    first, second = standins.run(f"""
        import builtins, gc, importlib, minio.deleteobjects
        saved = dict(vars(builtins)), sys.modules["minio.deleteobjects"], standins.retry
        sys.modules["quorvex.base"].retry = lambda *a: standins.retry(*a)
        {setup}
        failure = outcome(lambda: importlib.import_module(MODULE))
        gc.collect()
        # issubclass of the type, not isinstance: a cffi library object claims to be a
        # module, and reading its namespace resolves every symbol it declares.
        kept = [o for o in gc.get_objects()
                if issubclass(type(o), type(sys)) and vars(o).get("__name__") == MODULE]
        emit([failure, MODULE in sys.modules, len(kept)])
        vars(builtins).update(saved[0])
        sys.modules["minio.deleteobjects"], standins.retry = saved[1], saved[2]
        standins.install()
        del LOG[:]
        import quorvex.minio.path as m
        emit([sum(e[0] == "retry" for e in LOG), hasattr(m, "MinIOPath")])
    """)
    assert first == [error, False, 0]
    assert second == [10, True]


def test_missing_name_falls_back_to_a_loaded_submodule() -> None:
    (same,) = standins.run("""
        sub = sys.modules["quorvex.base.Local"] = type(sys)("quorvex.base.Local")
        del sys.modules["quorvex.base"].Local
        import quorvex.minio.path as m
        emit(m.Local is sub)
    """)
    assert same is True


@pytest.mark.parametrize("fields, expected", [
    ({"loader": "L", "origin": "/o.so", "parent": "pkg", "submodule_search_locations": ["d"]},
     {"__loader__": "'L'", "__file__": "'/o.so'", "__package__": "'pkg'", "__path__": "['d']"}),
    ({"loader": "L", "origin": "/o.so", "parent": "pkg", "submodule_search_locations": None},
     {"__loader__": "'L'", "__file__": "'/o.so'", "__package__": "'pkg'", "__path__": None}),
    ({"parent": "pkg"},
     {"__loader__": "None", "__file__": None, "__package__": "'pkg'", "__path__": None}),
])
def test_create_copies_the_module_spec(fields: dict, expected: dict) -> None:
    (name, reads, attrs), = standins.run(f"""
        class ModuleSpecStandIn:
            name = "some.name"
            def __getattribute__(self, attr):
                if not attr.startswith("_"):
                    LOG.append(attr)
                return object.__getattribute__(self, attr)
        module_spec = ModuleSpecStandIn()
        vars(module_spec).update({fields!r})
        module = standins.create_from_module_spec(standins.module_def(), module_spec)
        emit([module.__name__, LOG, {{a: repr(getattr(module, a)) if hasattr(module, a)
                                     else None for a in {list(expected)!r}}}])
    """, stand_ins=False)
    assert name == "some.name"
    # CPython itself reads the module spec's name once before calling the create step.
    assert reads == ["name", "name", "loader", "origin", "parent",
                     "submodule_search_locations"]
    assert attrs == expected


def test_one_module_object_per_process() -> None:
    (result,) = standins.run("""
        import importlib
        import quorvex.minio.path as first
        calls = len(LOG)
        del sys.modules[MODULE]
        import quorvex.minio.path as again
        reloaded = importlib.reload(first)
        definition = standins.module_def()
        same = standins.exec_def(first, definition)
        other = outcome(lambda: standins.exec_def(type(sys)("other"), definition))
        emit([again is first, reloaded is first, len(LOG) == calls, same, other])
    """)
    assert result == [True, True, True, 0,
                      ["RuntimeError", "Module 'path' has already been imported. "
                                       "Re-initialisation is not supported."]]


@pytest.mark.parametrize("placeholder", [False, True])
def test_exec_adds_the_sys_modules_entry_only_when_missing(placeholder: bool) -> None:
    (result,) = standins.run(f"""
        import types
        definition = standins.module_def()
        module = standins.create_from_module_spec(definition, types.SimpleNamespace(name=MODULE))
        marker = sys.modules[MODULE] = object()
        if not {placeholder}:
            del sys.modules[MODULE]
        rc = standins.exec_def(module, definition)
        emit([rc, sys.modules[MODULE] is module, sys.modules[MODULE] is marker,
              module.__builtins__ is __builtins__, hasattr(module, "MinIOPath")])
    """)
    assert result == [0, not placeholder, placeholder, True, True]


def test_failed_exec_takes_back_the_sys_modules_entry_it_added() -> None:
    # As with module_from_spec() + exec_module() and no sys.modules entry made beforehand.
    (result,) = standins.run("""
        import importlib, types
        del sys.modules["quorvex.base"].Local
        definition = standins.module_def()
        module = standins.create_from_module_spec(definition, types.SimpleNamespace(name=MODULE))
        failure = outcome(lambda: standins.exec_def(module, definition))
        standins.install()
        emit([failure[0], MODULE in sys.modules,
              hasattr(importlib.import_module(MODULE), "MinIOPath")])
    """)
    assert result == ["ImportError", False, True]


@pytest.mark.parametrize("main_first", [True, False])
def test_second_interpreter_is_refused(main_first: bool) -> None:
    # Whichever interpreter imports first owns the module; the other one is refused.
    # The sub-interpreter shares the process's extension modules (as 3.11's always did): the
    # stand-ins import ctypes, which an isolated one would refuse.  Its failure comes back
    # as [exception class name, message], whichever private module the interpreter has.
    (sub, main), = standins.run(f"""
        try:
            import _interpreters as xi
        except ImportError:
            import _xxsubinterpreters as xi

        def run_in(interp, code):
            if xi.__name__ == "_interpreters":
                failure = xi.run_string(interp, code)
                return ["ok", "None"] if failure is None else [failure.type.__name__,
                                                               failure.msg]
            result = outcome(lambda: xi.run_string(interp, code))
            if result[0] != "RunFailedError":
                return result
            kind, _, message = result[1].partition(": ")
            return [kind.removeprefix("<class '").removesuffix("'>"), message]

        code = ("import sys; sys.path.insert(0, %r); import standins; standins.install(); "
                "import quorvex.minio.path")
        if {main_first}:
            import quorvex.minio.path
        if xi.__name__ == "_interpreters":
            interp = xi.create("legacy")
        elif sys.version_info >= (3, 12):
            interp = xi.create(isolated=False)
        else:
            interp = xi.create()
        sub = run_in(interp, code)
        emit([sub, outcome(lambda: __import__(MODULE))[0]])
        xi.destroy(interp)
    """ % (standins.TESTS_DIR,))
    if main_first:
        assert sub == ["ImportError", INTERPRETER_CHANGE]
        assert main == "ok"
    else:
        assert sub == ["ok", "None"]
        assert main == "ImportError"


@pytest.fixture
def runtime_version(tmp_path):
    """The extension is built for the interpreter that runs the tests, so another runtime
    version is shown to it by replacing the Py_Version it reads (in libpython) with a
    library preloaded in the child."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build a Py_Version replacement")

    def env(version: int) -> dict[str, str]:
        source, library = tmp_path / "version.c", tmp_path / f"version-{version:x}.so"
        source.write_text(f"const unsigned long Py_Version = {version:#x}UL;\n")
        subprocess.run([compiler, "-shared", "-fPIC", "-o", library, source], check=True)
        # After whatever is preloaded already: a sanitizer runtime must stay first.
        return {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"),
                                                     str(library)]))}
    return env


# The interpreter running the tests, whose version the extension was built for.
BUILT = sys.version_info[0] << 24 | sys.version_info[1] << 16
BUILT_TEXT = "%d.%d" % sys.version_info[:2]
OTHER_MINOR = BUILT + (1 << 16 if sys.version_info[1] < 13 else -(1 << 16))


@pytest.mark.parametrize("version, warning", [
    (OTHER_MINOR | 0x01F0, "%d.%d" % (OTHER_MINOR >> 24, OTHER_MINOR >> 16 & 0xFF)),
    (BUILT + (1 << 24) | 0xF0, "%d.%d" % (sys.version_info[0] + 1, sys.version_info[1])),
    (BUILT | 0x0FF0, None),  # only the micro version differs
    (BUILT | 0x00A1, None),  # a pre-release of the same minor version
], ids=["other minor", "other major", "other micro", "pre-release"])
def test_version_mismatch_warning(runtime_version, version: int, warning: str | None) -> None:
    (seen, messages), = standins.run("""
        import ctypes, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import quorvex.minio.path
        emit([ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version").value,
              [str(w.message) for w in caught if w.category is RuntimeWarning]])
    """, env=runtime_version(version))
    if seen != version:
        pytest.skip("Py_Version could not be replaced (libpython linked statically?)")
    assert messages == ([] if warning is None else [
        f"compile time Python version {BUILT_TEXT} of module 'quorvex.minio.path' does not "
        f"match runtime version {warning}"])


def test_version_warning_as_error_fails_the_import(runtime_version) -> None:
    (result,) = standins.run("""
        emit([outcome(lambda: __import__(MODULE))[0], MODULE in sys.modules,
              any(e[0] == "retry" for e in LOG)])
    """, env=runtime_version(OTHER_MINOR | 0xF0), args=("-W", "error::RuntimeWarning"))
    assert result == ["RuntimeWarning", False, False]


def test_builtins_are_captured_at_load_time() -> None:
    (result,) = standins.run("""
        import builtins, contextlib, io
        originals = builtins.property, builtins.print, builtins.NotImplementedError
        class LoadProperty(property): pass
        class LoadNotImplemented(NotImplementedError): pass
        printed = []
        builtins.property, builtins.NotImplementedError = LoadProperty, LoadNotImplemented
        builtins.print = lambda *args, **kwargs: printed.append(args)
        import quorvex.minio.path as m
        builtins.property, builtins.print, builtins.NotImplementedError = originals
        class Failure:
            name, message = "a/b", "denied"
        class Client:
            def list_objects(self, *args, **kwargs):
                return [type("Obj", (), {"object_name": "d/x"})()]
            def remove_objects(self, *args):
                return iter([Failure()])
        class Probe(m.MinIOPath):
            client, bucket_name = Client(), "bkt"
            def is_dir(self):
                return True
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            Probe("d").delete()
        emit([sorted({type(v).__name__ for v in vars(m.MinIOPath).values()
                      if isinstance(v, property)}),
              outcome(lambda: m.MinIOPath.mkdir(None)), printed, out.getvalue()])
    """)
    kinds, mkdir, printed, out = result
    assert kinds == ["LoadProperty"]
    assert mkdir == ["LoadNotImplemented", "MinIOPath does not support the 'mkdir' method."]
    # The failure line goes to the print of load time, not to the current one.
    assert printed == [["Error deleting object 'a/b' from bucket 'bkt': denied"]]
    assert out == ""
