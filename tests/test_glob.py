"""glob(): the listing request, what it yields, and its generator's protocol."""

from __future__ import annotations

import collections.abc
import fnmatch
import gc
import inspect
import os
import re
import subprocess
import sys
import textwrap
import types
import warnings
import weakref
from pathlib import PurePosixPath

import pytest
from minio.datatypes import Object

import quorvex.minio.path as module
from fakes import RecordingClient
from quorvex.minio.path import MinIOPath

NAMES = ["a/x.txt", "a/y.bin", "/a/z.txt"]


class Listing:
    """The SDK's listing: a generator of objects that counts what was taken from it."""

    def __init__(self, items):
        self.items, self.taken, self.closed, self.ref = list(items), 0, False, None

    def __call__(self, *args, **kwargs):
        run = self.run()
        self.ref = weakref.ref(run)
        return run

    def run(self):
        try:
            for item in self.items:
                self.taken += 1
                yield Object("bkt", item) if isinstance(item, str) else item
        finally:
            self.closed = True


class FakePath(MinIOPath):
    client = None
    bucket_name = "bkt"


def make(path="/a", items=NAMES):
    listing = Listing(items)
    p = FakePath(path=path)
    p.client = RecordingClient(list_objects=listing)
    return p, p.client, listing


def stop(*args, **kwargs):
    raise StopIteration("inner")


def state(g):
    return inspect.getgeneratorstate(g)[4:]


# -- the request and the items ------------------------------------------------------------

def test_self_is_read_at_the_first_item_only_and_the_bucket_once():
    reads = []

    class Watched(FakePath):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    p = Watched(path="/a")
    p.client = client = RecordingClient(list_objects=Listing(NAMES))
    reads.clear()
    g = p.glob("*")
    assert reads == ["glob"] and client.calls == []
    assert len(list(g)) == 3
    assert reads == ["glob", "path", "client", "bucket_name"]


@pytest.mark.parametrize("path, prefix", [
    ("/", None), ("", None), ("/a/b", "a/b/"), ("a/b", "a/b/"), ("//a/b/", "a/b/")])
def test_listing_request(path, prefix):
    p, client, _ = make(path, [])
    assert list(p.glob()) == []
    assert client.calls == [("list_objects", ("bkt",), {"prefix": prefix, "recursive": False})]
    assert list(client.calls[0][2]) == ["prefix", "recursive"]


@pytest.mark.parametrize("args, matched", [
    ((), [0, 1, 2]), (("*.txt",), [0, 2]), (("x*",), []), (("a/x*",), [0]),
    (("*.bin",), [1])])
def test_patterns_match_full_object_names(args, matched):
    p, _, _ = make()
    found = list(p.glob(*args))
    assert [type(item) for item in found] == [MinIOPath] * len(matched)  # never the subclass
    assert [item.path for item in found] == [PurePosixPath(NAMES[i].lstrip("/")) for i in matched]


@pytest.mark.parametrize("path, listed, expected", [
    # A folder marker is listed under its own prefix: it is not a child of the folder.
    ("w", ["w/", "w/a", "w/sub/"], ["w/a", "w/sub"]),
    ("/w/", ["w/", "w/a"], ["w/a"]),
    # At the top level, names made only of slashes name the root again.
    ("/", ["/", "//", "top", "/a/"], ["top", "a"]),
    # "w//" would be the path "w" again; a subfolder's marker is an entry like any other.
    ("w", ["w//", "w///", "w/sub/", "w/sub//"], ["w/sub", "w/sub"]),
])
def test_the_listed_directory_itself_is_skipped(path, listed, expected):
    p, _, listing = make(path, listed)
    found = list(p.glob("*"))
    assert [str(item.path) for item in found] == expected
    assert listing.taken == len(listed)  # the rest of the listing is still handed out


def test_items_are_built_by_keyword_from_the_names(monkeypatch):
    built = []
    monkeypatch.setattr(module, "MinIOPath", lambda *a, **kw: built.append((a, kw)) or len(built))
    p, _, _ = make("/a", ["a/x", "//b/y", "c"])
    assert list(p.glob()) == [1, 2, 3]
    assert built == [((), {"path": "/a/x"}), ((), {"path": "/b/y"}), ((), {"path": "/c"})]


def test_module_level_names_are_looked_up_for_every_item(monkeypatch):
    p, _, _ = make("/a", ["a/x", "a/y", "a/z"])
    g = p.glob("*x")
    assert next(g).path == PurePosixPath("a/x")
    monkeypatch.setattr(module, "fnmatch", types.SimpleNamespace(fnmatch=lambda n, pat: True))
    monkeypatch.setattr(module, "MinIOPath", lambda path: path)
    assert list(g) == ["/a/y", "/a/z"]
    monkeypatch.delattr(module, "fnmatch")
    with pytest.raises(NameError, match="^name 'fnmatch' is not defined$"):
        next(p.glob())


class StrSub(str):
    pass


@pytest.mark.parametrize("pattern, got", [(None, "NoneType"), (b"*", "bytes"),
                                          (StrSub("*"), "StrSub")])
def test_pattern_must_be_exactly_str(pattern, got):
    p, client, _ = make()
    message = rf"^Argument 'pattern' has incorrect type \(expected str, got {got}\)$"
    for call in (lambda: p.glob(pattern), lambda: p.glob(pattern=pattern),
                 lambda: MinIOPath.glob(p, pattern)):
        with pytest.raises(TypeError, match=message):
            call()
    assert client.calls == []


# -- the generator object -----------------------------------------------------------------

def test_generator_attributes():
    p, _, _ = make()
    g = p.glob()
    assert iter(g) is g and isinstance(g, collections.abc.Generator)
    assert type(g).__name__ == "generator"
    assert (g.__name__, g.__qualname__) == ("glob", "MinIOPath.glob")
    assert re.fullmatch(r"<generator object MinIOPath\.glob at 0x[0-9a-f]+>", repr(g))
    assert isinstance(g.gi_code, types.CodeType) and g.gi_code.co_name == "glob"
    assert g.gi_code is p.glob().gi_code
    assert g.gi_yieldfrom is None and g.gi_frame.f_code is g.gi_code
    g.__name__, g.__qualname__ = "other", StrSub("Q.other")
    assert g.__name__ == "other" and repr(g).startswith("<generator object Q.other at 0x")
    for attr in ("__name__", "__qualname__"):
        for change in (lambda: setattr(g, attr, b"x"), lambda: delattr(g, attr)):
            with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
                change()
    with pytest.raises(TypeError):
        type(g)()
    list(g)
    assert g.gi_frame is None


def reference(items):
    for item in items:
        yield item


def outcome(action):
    try:
        value = action()
    except BaseException as exc:  # noqa: BLE001 - every exception is compared
        return (type(exc), exc.args, type(exc.__cause__), type(exc.__context__))
    return str(value.path) if isinstance(value, MinIOPath) else value


SEQUENCES = {
    "send non-None first": ["send 1", "next", "send 5", "next", "next", "send None", "next"],
    "send None first": ["send None", "send None", "send None", "send None"],
    "close created": ["close", "close", "next", "send None", "send 1"],
    "close suspended": ["next", "close", "close", "next", "send 1"],
    "close finished": ["next", "next", "next", "close", "next"],
}


@pytest.mark.parametrize("steps", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_next_send_close_match_a_python_generator(steps):
    items = ["a/x", "a/y"]
    p, _, listing = make("/a", items)
    ours, theirs = p.glob(), reference(items)
    actions = {"next": lambda g: next(g), "close": lambda g: g.close(),
               "send None": lambda g: g.send(None), "send 1": lambda g: g.send(1),
               "send 5": lambda g: g.send(5)}
    for step in steps:
        seen = [(outcome(lambda: actions[step](g)), state(g)) for g in (ours, theirs)]
        assert seen[0] == seen[1], step
    assert listing.closed or listing.ref is None


def caught_traceback():
    try:
        raise OSError
    except OSError as exc:
        return exc.__traceback__


THROWS = {
    "class": lambda: (KeyError,), "class and value": lambda: (KeyError, "k"),
    "class and tuple": lambda: (KeyError, ("a", "b")), "instance": lambda: (KeyError("k"),),
    "instance, None, None": lambda: (KeyError("k"), None, None),
    "instance and value": lambda: (KeyError("k"), 1), "bad traceback": lambda: (KeyError, None, 1),
    "traceback": lambda: (KeyError, "k", caught_traceback()), "not an exception": lambda: (1,),
    "no argument": lambda: (), "four arguments": lambda: (KeyError, None, None, None),
    "StopIteration": lambda: (StopIteration,), "GeneratorExit": lambda: (GeneratorExit(),),
}


@pytest.mark.parametrize("args", THROWS.values(), ids=THROWS.keys())
@pytest.mark.parametrize("started", [0, 1, 3], ids=["created", "suspended", "finished"])
def test_throw_matches_a_python_generator(args, started):
    p, client, listing = make("/a", ["a/x", "a/y"])
    ours, theirs = p.glob(), reference(["a/x", "a/y"])
    for g in (ours, theirs):
        for _ in range(started):
            next(g, None)
    seen = [(outcome(lambda: g.throw(*args())), state(g)) for g in (ours, theirs)]
    assert seen[0] == seen[1]
    assert outcome(lambda: ours.throw(value=KeyError)) == outcome(lambda: theirs.throw(value=1))
    assert client.calls == [] if started == 0 else listing.taken == min(started, 2)
    if started == 1:  # thrown in, or refused before reaching the body
        assert listing.closed == (listing.ref() is None) == (state(ours) == "CLOSED")


def test_throw_keeps_the_given_traceback():
    p, _, _ = make()
    g = p.glob()
    next(g)
    tb = caught_traceback()
    with pytest.raises(KeyError) as info:
        g.throw(KeyError, None, tb)
    chain = info.value.__traceback__
    while chain is not None and chain is not tb:
        chain = chain.tb_next
    assert chain is tb


# -- what differs between interpreter versions --------------------------------------------

def test_attributes_are_those_of_the_interpreters_generators():
    # 3.13 added __class_getitem__; ours follows whichever interpreter it was built for.
    ours, theirs = make()[0].glob(), reference([])
    assert set(dir(ours)) ^ set(dir(theirs)) == {"__del__"}  # nothing to finalise here
    generic = [outcome(lambda: t[int, None, None]) for t in (type(ours), types.GeneratorType)]
    if isinstance(generic[1], types.GenericAlias):
        assert isinstance(generic[0], types.GenericAlias)
        assert (generic[0].__origin__, generic[0].__args__) == (type(ours), (int, None, None))
    else:
        assert generic[0][0] is generic[1][0] is TypeError


@pytest.mark.parametrize("args", [THROWS[k] for k in (
    "class", "instance", "class and value", "traceback", "not an exception", "bad traceback",
    "four arguments")])
@pytest.mark.parametrize("started", [0, 1], ids=["created", "suspended"])
def test_throw_warns_as_the_interpreters_own_generators(args, started):
    # 3.12 deprecates throw(type, value, traceback), before the arguments are looked at.
    def pair():
        p, _, _ = make("/a", ["a/x", "a/y"])
        generators = (p.glob(), reference(["a/x", "a/y"]))
        for g in generators:
            for _ in range(started):
                next(g)
        return generators

    recorded = []
    for g in pair():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            thrown = outcome(lambda: g.throw(*args()))
        recorded.append((thrown, state(g),
                         [(w.category, str(w.message), w.filename, w.lineno) for w in caught]))
    assert recorded[0] == recorded[1]
    # With the warning an error, it is what throw() raises, and the generator is untouched.
    as_errors = []
    for g in pair():
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            as_errors.append((outcome(lambda: g.throw(*args())), state(g), outcome(lambda: next(g))))
    assert as_errors[0] == as_errors[1]


REENTRIES = {"next": next, "send": lambda g: g.send(None), "close": lambda g: g.close(),
             "throw": lambda g: g.throw(KeyError)}


@pytest.mark.parametrize("reenter", REENTRIES.values(), ids=REENTRIES.keys())
@pytest.mark.parametrize("where", ["fnmatch", "MinIOPath"])
def test_reentry_is_refused_and_leaves_the_step_intact(monkeypatch, reenter, where):
    p, _, listing = make("/a", ["a/x", "a/y"])
    refused = []

    def hook():
        assert (state(g), g.gi_running, g.gi_suspended) == ("RUNNING", True, False)
        try:
            reenter(g)
        except ValueError as exc:
            refused.append(str(exc))

    real_class = MinIOPath
    if where == "fnmatch":
        matcher = lambda name, pattern: (hook(), fnmatch.fnmatch(name, pattern))[1]  # noqa: E731
        monkeypatch.setattr(module, "fnmatch", types.SimpleNamespace(fnmatch=matcher))
    else:
        monkeypatch.setattr(module, "MinIOPath", lambda **kw: (hook(), real_class(**kw))[1])
    g = p.glob()
    assert [str(item.path) for item in g] == ["a/x", "a/y"]
    assert refused == ["generator already executing"] * 2 and listing.closed
    assert (state(g), g.gi_running, g.gi_suspended) == ("CLOSED", False, False)


class BadName:
    object_name = property(stop)


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError


def break_body(where, p, client, listing, monkeypatch):
    if where == "fnmatch":
        monkeypatch.setattr(module, "fnmatch", types.SimpleNamespace(fnmatch=stop))
    elif where == "MinIOPath":
        monkeypatch.setattr(module, "MinIOPath", stop)
    elif where == "object_name":
        listing.items.insert(1, BadName())
    elif where == "as_posix":
        p.path = types.SimpleNamespace(as_posix=stop)
    elif where == "list_objects":
        client.replies["list_objects"] = stop


@pytest.mark.parametrize("where", ["fnmatch", "MinIOPath", "object_name", "as_posix",
                                   "list_objects"])
def test_stop_iteration_from_the_body_becomes_runtime_error(monkeypatch, where):
    p, client, listing = make()
    break_body(where, p, client, listing, monkeypatch)
    g = p.glob()
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        list(g)
    cause = info.value.__cause__
    assert type(cause) is StopIteration and cause.args == ("inner",)
    assert info.value.__context__ is cause and info.value.__suppress_context__
    assert state(g) == "CLOSED" and next(g, "end") == "end"
    with pytest.raises(StopIteration):
        g.send(None)
    assert listing.ref is None or listing.ref() is None


@pytest.mark.parametrize("error, raise_it", [
    (KeyError, lambda client, listing, mp: client.replies.update(list_objects=KeyError("k"))),
    (ZeroDivisionError, lambda client, listing, mp: mp.setattr(
        module, "fnmatch", types.SimpleNamespace(fnmatch=lambda n, pat: BadTruth())))])
def test_other_errors_propagate_and_finish(monkeypatch, error, raise_it):
    p, client, listing = make()
    raise_it(client, listing, monkeypatch)
    g = p.glob()
    with pytest.raises(error):
        next(g)
    assert state(g) == "CLOSED" and next(g, "end") == "end"


# -- lifetime -----------------------------------------------------------------------------

@pytest.mark.parametrize("how", ["close", "drop", "cycle"])
def test_stopping_half_way_releases_the_listing_unconsumed(how):
    p, _, listing = make("/a", ["a/1", "a/2", "a/3", "a/4"])
    g = p.glob()
    next(g), next(g)
    gone = weakref.ref(g)
    assert listing.taken == 2 and not listing.closed
    if how == "close":
        assert g.close() is None and g.close() is None
    elif how == "cycle":
        p.generator = g  # p -> g -> p
        del p
    del g
    gc.collect()
    assert listing.taken == 2 and listing.closed and listing.ref() is None and gone() is None


def test_no_reference_or_memory_growth():
    objects = [Object("bkt", name) for name in NAMES]
    client = types.SimpleNamespace(list_objects=lambda bucket, prefix, recursive: iter(objects))
    p = FakePath(path="/a")
    p.client = client
    pattern = "".join(["*", ".txt"])

    def exercise():
        assert len(list(p.glob(pattern))) == 2
        g = p.glob(pattern)
        next(g)
        g.close()
        g = p.glob(pattern)
        next(g)
        del g
        for args in ((KeyError,), (1,)):
            with pytest.raises((KeyError, TypeError)):
                p.glob(pattern).throw(*args)
        with pytest.raises(TypeError):
            p.glob(None)

    for _ in range(50):
        exercise()
    gc.collect()
    participants = (p, pattern, client, objects[0], NAMES[0])
    refs = [sys.getrefcount(obj) for obj in participants]
    blocks = sys.getallocatedblocks()
    for _ in range(2000):
        exercise()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in participants] == refs
    assert sys.getallocatedblocks() - blocks < 200


# -- registration -------------------------------------------------------------------------

REGISTRATION_FAILS = textwrap.dedent("""
    import collections.abc, sys, warnings
    real = collections.abc.Generator.register
    collections.abc.Generator.register = lambda cls: 1 / 0
    sys.unraisablehook = lambda u: print("unraisable", u.exc_type.__name__)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(sys.argv[1])
        try:
            import quorvex.minio.path as m
        except RuntimeWarning as exc:
            print("import failed", exc)
    print([w.category.__name__ for w in caught])
    registered = []
    collections.abc.Generator.register = lambda cls: registered.append(cls.__name__) or real(cls)
    import quorvex.minio.path as m
    print(registered)
""")


@pytest.mark.parametrize("action, expected", [
    ("always", ["unraisable ZeroDivisionError", "['RuntimeWarning']", "[]"]),
    ("error", ["unraisable ZeroDivisionError", "import failed glob generators could not be "
               "registered with collections.abc.Generator", "[]", "['generator']"])])
def test_failed_registration_is_reported_and_loading_goes_on(action, expected):
    run = subprocess.run([sys.executable, "-c", REGISTRATION_FAILS, action], env=dict(os.environ),
                         capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == expected


# -- rglob patterns, matched as pathlib matches them --------------------------------------

RGLOB_KEYS = ["a.csv", "x/a.csv", "x/b.CSV", "x/y/z/b.csv", "x/y/c.txt", "y/x/d.csv",
              "x/x/e.csv", ".hidden/x/f.csv", "q/x", "a[1].txt", "deep/x/y/x/g.csv"]
RGLOB_PATTERNS = ["*", "*.csv", "x/*.csv", "x/**/*.csv", "**/*.csv", "x/**/x/*.csv",
                  "x/**/y/**/*", "**/x/**/*.csv", "?/*", "x/y/*", "[ax]/*.csv", "a[[]1].txt",
                  "x/./a.csv", "./*.txt", "**/**/*.csv", "x/**/**/*.csv", "*/**/*.txt",
                  "z/*", "x", "deep/**/g.csv"]


def rglob_tree(tmp_path):
    for key in RGLOB_KEYS:
        (tmp_path / key).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / key).write_bytes(b"")
    p, client, _ = make("/root", [f"root/{key}" for key in RGLOB_KEYS] + ["root/x/y/"])
    return p, client


def local_files(tmp_path, pattern):
    # As a set: pathlib 3.13 yields a file once per way a pattern with two "**" reaches it.
    return sorted({q.relative_to(tmp_path).as_posix() for q in tmp_path.rglob(pattern)
                   if q.is_file()})


def ours(p, pattern):
    return sorted(q.path.as_posix().removeprefix("root/") for q in p.rglob(pattern))


def test_rglob_finds_what_pathlib_finds(tmp_path):
    p, client = rglob_tree(tmp_path)
    for pattern in RGLOB_PATTERNS:
        assert ours(p, pattern) == local_files(tmp_path, pattern), pattern
    assert {"x/a.csv", "x/y/z/b.csv", "deep/x/y/x/g.csv"} <= set(ours(p, "x/**/*.csv"))
    # A trailing "**" is every object below, as "**/*" is (what pathlib 3.13 yields of
    # files; 3.11 and 3.12 yield folders only).
    for pattern in ["**", "x/**", "x/y/**", "x/**/y/**"]:
        assert ours(p, pattern) == local_files(tmp_path, pattern + "/*"), pattern
    # One recursive listing per call, and none for the call itself.
    calls = len(RGLOB_PATTERNS) + 5
    assert [call[2] for call in client.calls] == [{"prefix": "root/", "recursive": True}] * calls
    p.rglob("**")
    assert len(client.calls) == calls


@pytest.mark.parametrize("pattern", ["", ".", "./.", "a**b", "x/**b", "***", "..", "x/../y",
                                     "/x", "x/", "a//b"])
def test_rglob_refuses_what_it_cannot_match_before_any_request(pattern):
    p, client, _ = make()
    with pytest.raises(ValueError):
        p.rglob(pattern)
    assert client.calls == []
