"""MinIOPath given hostile input.

- Argument binding, property-based: random positional and keyword arguments of random
  types, hostile objects among them, to every member through an instance, through the
  class and through a raw vectorcall (non-str keyword names included).  Each call binds as
  ``inspect.signature`` says it should, or raises TypeError before any request; it never
  raises SystemError or crashes.
- The glob generator driven by random next/send/throw/close sequences behaves as a
  Python generator over the same listing.
- Object names with non-ASCII characters, quotes, spaces, control characters, "%" and "+",
  and names of 1024 bytes, round-trip on the real servers; names the SDK refuses give its
  error before any request.
- Credentials appear in nothing that is shown or printed; a non-loopback endpoint gets TLS
  unless the configuration says otherwise.
"""

from __future__ import annotations

import collections.abc
import ctypes
import datetime
import fnmatch
import inspect
import io
import logging
import os
import re
import tempfile
import traceback
import urllib.parse
from pathlib import PurePosixPath
from types import SimpleNamespace as NS
from typing import Any, Iterator

import pytest
import urllib3
from hypothesis import HealthCheck, event, given, settings, strategies as st
from minio import Minio

import quorvex.base
import quorvex.retrying
from quorvex.base import BasePath
from quorvex.minio.path import MinIOPath
from conftest import remove_bucket_fully, unique_bucket_name

MEMBERS = ["bucket_name", "bucket_exists", "create_bucket", "delete_bucket", "exists",
           "is_dir", "read", "write", "upload", "delete", "mkdir", "glob", "mtime", "__str__",
           "__hash__"]
PROPERTIES = {name for name in MEMBERS if isinstance(MinIOPath.__dict__[name], property)}
# The extension's own function objects, under the property and the retry wrapper.
FUNCTIONS = {name: inspect.unwrap(MinIOPath.__dict__[name].fget if name in PROPERTIES
                                  else MinIOPath.__dict__[name]) for name in MEMBERS}
SIGNATURES = {name: inspect.signature(func) for name, func in FUNCTIONS.items()}
EXACT_TYPES = {"data": bytes, "local_path": str, "pattern": str}


# -- the in-process world ----------------------------------------------------------------


class FakeClient:
    """Plausible answers to every call MinIOPath makes; records the calls."""

    LISTING = ["dir/", "dir/a.txt", "dir/b[1].bin", "dir/sub/"]

    def __init__(self) -> None:
        self.calls: list[str] = []

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        answer = {
            "bucket_exists": True,
            "stat_object": NS(last_modified=datetime.datetime(
                2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)),
            "get_object": NS(read=lambda: b"data", close=lambda: None,
                             release_conn=lambda: None),
        }.get(name)

        def method(*args: Any, **kwargs: Any) -> Any:
            self.calls.append(name)
            if name == "list_objects":
                return iter([NS(object_name=n) for n in self.LISTING])
            if name == "remove_objects":
                list(args[1])
                return iter([])
            return answer

        return method


class Probe(MinIOPath):
    """A MinIOPath on the fake client of the running example."""

    fake = FakeClient()

    @property
    def client(self) -> FakeClient:
        return Probe.fake


class Boom(Exception):
    """Raised by the hostile objects."""


class Hostile:
    """Every protocol it is asked for raises Boom (its repr is left alone for reports)."""

    def __repr__(self) -> str:
        return "Hostile()"

    def _boom(self, *args: Any, **kwargs: Any) -> Any:
        raise Boom("hostile")

    __eq__ = __ne__ = __lt__ = __bool__ = __str__ = __index__ = __int__ = __hash__ = _boom
    __format__ = __fspath__ = __len__ = __iter__ = __call__ = __getattr__ = _boom


class EvilStr(str):
    def _boom(self, *args: Any) -> Any:
        raise Boom("str subclass")

    __eq__ = __ne__ = __hash__ = __str__ = __format__ = __len__ = __bool__ = _boom


class EvilBytes(bytes):
    def _boom(self, *args: Any) -> Any:
        raise Boom("bytes subclass")

    __eq__ = __hash__ = __len__ = __bytes__ = __bool__ = _boom


def _a_traceback() -> Any:
    try:
        raise KeyError("for its traceback")
    except KeyError as exc:
        return exc.__traceback__


def safe_text(text: str) -> bool:
    # Strings also reach upload() as local paths: the test runs in an empty directory, and
    # these never name anything outside it.
    return not text.startswith(("/", "~")) and ".." not in text


VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(),
    st.sampled_from([2 ** 200, -(2 ** 63) - 1, float("nan"), float("inf"), -0.0, 1e308]),
    st.text(max_size=12).filter(safe_text), st.binary(max_size=12),
    st.builds(bytearray, st.binary(max_size=8)), st.builds(memoryview, st.binary(max_size=8)),
    st.builds(EvilStr, st.text(max_size=8).filter(safe_text)),
    st.builds(EvilBytes, st.binary(max_size=8)),
    st.builds(Hostile), st.builds(Probe, st.sampled_from(["a/b", "", "dir"])),
    st.sampled_from([MinIOPath, Probe, object(), NotImplemented, Ellipsis, str, bytes,
                     KeyError("k"), _a_traceback(), [], {}, (), {"a": 1}, [b"x"]]),
)
KEYWORDS = st.sampled_from(["self", "data", "local_path", "recursive", "pattern", "path",
                            "x", "", "datа"])  # the last has a Cyrillic "а"


@pytest.fixture(scope="module")
def in_process() -> Iterator[None]:
    """An empty working directory, the bucket "bkt" for section "minio", no endpoint (a
    real MinIOPath among the values fails to build a client), and no pauses."""
    with pytest.MonkeyPatch.context() as mp, tempfile.TemporaryDirectory() as empty:
        mp.chdir(empty)
        for name in [n for n in os.environ if n.startswith("MINIO_")] + ["QUORVEX_CONFIG"]:
            mp.delenv(name, raising=False)
        mp.setenv("MINIO_BUCKET_NAME", "bkt")
        mp.setattr(quorvex.retrying, "_sleep", lambda seconds: None)
        BasePath.reset_clients()
        yield
        BasePath.reset_clients()


def expected_binding(name: str, args: tuple[Any, ...], kwargs: dict[Any, Any]) -> bool:
    """Whether the call binds: the signature takes it and the typed arguments are of
    exactly their types."""
    try:
        bound = SIGNATURES[name].bind(*args, **kwargs)
    except TypeError:
        return False
    return all(type(bound.arguments[p]) is t for p, t in EXACT_TYPES.items()
               if p in bound.arguments)


BINDING_MESSAGE = re.compile(r"^(\w+\(\) (takes|got|keywords)|Argument '\w+' has incorrect type)")


def check_outcome(name: str, call: Any, binds: bool) -> None:
    """Runs the call (draining a generator) on a fresh fake client and checks that it
    failed in binding exactly when it should, and never with SystemError."""
    Probe.fake = fake = FakeClient()
    event("binds" if binds else "refused")
    try:
        result = call()
        if isinstance(result, collections.abc.Generator):
            list(result)
        event("result")
    except BaseException as exc:
        event(f"raised {type(exc).__name__}")
        check_error(name, exc, binds, fake)
    else:
        assert binds, f"{name}: the arguments do not bind, yet the call succeeded"


def check_error(name: str, error: BaseException, binds: bool, fake: FakeClient) -> None:
    try:
        raise error
    except SystemError as exc:
        raise AssertionError(f"{name}: SystemError {exc}") from exc
    except TypeError as exc:
        # This member's binding messages, and only where the arguments do not bind (with
        # an odd self, a member may call another one wrongly: that one's message is fine).
        match = BINDING_MESSAGE.match(str(exc))
        ours = match is not None and (match[1].startswith(f"{name}()") or any(
            match[1] == f"Argument '{param}' has incorrect type"
            for param in SIGNATURES[name].parameters))
        assert ours is not binds, (name, binds, exc)
        if not binds:
            assert fake.calls == [], f"{name} sent {fake.calls} before refusing its arguments"
    except (Boom, AttributeError, ValueError, LookupError, OSError, NotImplementedError,
            RecursionError) as exc:
        assert str(exc) != "PyObject is NULL", f"{name} returned NULL without an exception"
        assert binds, f"{name}: the arguments do not bind, yet the call went on: {exc!r}"


def mostly(typed: Any) -> Any:
    """``typed`` three times in four, anything at all otherwise."""
    return st.integers(0, 3).flatmap(lambda pick: VALUES if pick == 0 else typed)


# What a parameter is given in a plausible call.
TYPED = {
    "self": mostly(st.builds(Probe, st.sampled_from(["dir", "a/b.txt", ""]))),
    "data": mostly(st.binary(max_size=16)),
    "local_path": mostly(st.sampled_from(["", ".", "missing.txt", "a\x00b"])),
    "pattern": mostly(st.text(max_size=8)),
    "recursive": mostly(st.booleans()),
}


@st.composite
def arguments(draw: Any, name: str, bound_self: bool) -> tuple[list[Any], list[tuple[Any, Any]]]:
    """(positional arguments, keyword (name, value) pairs): half the time anything at
    all, half the time each parameter given by position, by keyword or not at all."""
    if draw(st.booleans()):
        return draw(st.lists(VALUES, max_size=3)), draw(st.lists(st.tuples(KEYWORDS, VALUES),
                                                                 max_size=2))
    params = list(SIGNATURES[name].parameters)[1 if bound_self else 0:]
    args: list[Any] = []
    keywords: list[tuple[Any, Any]] = []
    for param in params:
        how = draw(st.sampled_from(["position"] * 3 + ["keyword"] * 2 + ["left out"]))
        value = draw(TYPED[param])
        if how == "position" and not keywords:
            args.append(value)
        elif how != "left out":
            keywords.append((param, value))
    if draw(st.integers(0, 9)) == 0:
        args.append(draw(VALUES))  # one too many
    return args, keywords


# delete(recursive=NotImplemented) tests its truth, which CPython deprecates.
@pytest.mark.filterwarnings("ignore:NotImplemented should not be used:DeprecationWarning")
@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(name=st.sampled_from(MEMBERS), route=st.sampled_from(["instance", "class"]),
       data=st.data())
def test_argument_binding(in_process: None, name: str, route: str, data: Any) -> None:
    if route == "instance" and name in PROPERTIES:
        probe = Probe("dir")
        check_outcome(name, lambda: getattr(probe, name), True)
        return
    args, keywords = data.draw(arguments(name, route == "instance"))
    kwargs = dict(keywords)
    if route == "instance":
        method = getattr(Probe("dir"), name)
        check_outcome(name, lambda: method(*args, **kwargs),
                      expected_binding(name, (Probe("dir"), *args), kwargs))
    else:
        attribute = MinIOPath.__dict__[name]
        func = attribute.fget if name in PROPERTIES else attribute
        check_outcome(name, lambda: func(*args, **kwargs),
                      expected_binding(name, tuple(args), kwargs))


# A function pointer of our own: ctypes.pythonapi.PyObject_Vectorcall is one object shared
# by every test, and others set its argument types differently.
_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                                ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                                ctypes.c_void_p)(("PyObject_Vectorcall", ctypes.pythonapi))
ODD_NAMES = st.one_of(st.builds(EvilStr, KEYWORDS), st.builds(Hostile),
                      st.sampled_from([1, None, b"data", 2 ** 70, ("data",)]))


@pytest.mark.filterwarnings("ignore:NotImplemented should not be used:DeprecationWarning")
@settings(max_examples=400, deadline=None)
@given(name=st.sampled_from(MEMBERS), data=st.data())
def test_raw_vectorcall_with_any_keyword_names(in_process: None, name: str, data: Any) -> None:
    """Keyword names that no Python-level call can pass: non-str, duplicated, str
    subclasses whose __eq__ and __hash__ raise."""
    func = FUNCTIONS[name]
    args, keywords = data.draw(arguments(name, False))
    keywords = [(data.draw(st.one_of(st.just(k), ODD_NAMES)) if data.draw(st.booleans())
                 else k, v) for k, v in keywords]
    keywords += data.draw(st.lists(st.tuples(ODD_NAMES, VALUES), max_size=1))
    kwnames = tuple(k for k, _ in keywords)
    values = [*args, *(v for _, v in keywords)]
    argv = (ctypes.py_object * max(len(values), 1))(*values)
    plain = [str.__str__(k) for k in kwnames if isinstance(k, str)]
    if len(plain) == len(kwnames) == len(set(plain)):
        binds = expected_binding(name, tuple(args), dict(zip(plain, (v for _, v in keywords))))
    else:
        binds = False  # a non-str or repeated name
    check_outcome(name, lambda: _vectorcall(func, argv, len(args),
                                            id(kwnames) if kwnames else None), binds)


# -- the glob generator against a Python generator ---------------------------------------


def reference_glob(pattern: str) -> Iterator[str]:
    for name in FakeClient.LISTING:
        if name != "dir/" and fnmatch.fnmatch(name, pattern):  # not the directory itself
            yield str(PurePosixPath(name.lstrip("/")))


EXCEPTIONS = st.one_of(
    st.sampled_from([ValueError, KeyError, StopIteration, GeneratorExit, Boom, Exception,
                     BaseException, KeyboardInterrupt, RuntimeError("x"),
                     StopIteration("s"), GeneratorExit(), Boom("instance")]),
    VALUES)
THROW_ARGS = st.lists(st.one_of(EXCEPTIONS, st.just(_a_traceback()), st.none()),
                      min_size=0, max_size=4)
STEPS = st.lists(st.one_of(
    st.just(("next",)), st.just(("close",)), st.tuples(st.just("send"), VALUES),
    st.tuples(st.just("throw"), THROW_ARGS), st.tuples(st.just("rename"), VALUES)),
    max_size=8)


def outcome(action: Any) -> tuple[Any, ...]:
    try:
        value = action()
    except BaseException as exc:  # noqa: BLE001 - compared between the two generators
        try:
            text = str(exc)
        except Boom:  # an exception made from a hostile value
            text = "<unprintable>"
        return ("raised", type(exc), text)
    if isinstance(value, MinIOPath):
        value = str(value.path)
    return ("returned", value)


@settings(max_examples=300, deadline=None)
@given(pattern=st.sampled_from(["*", "dir/*", "*.txt", "[", "dir/b[[]1]*", "nothing"]),
       steps=STEPS)
def test_glob_generator_behaves_as_a_python_generator(in_process: None, pattern: str,
                                                      steps: list[tuple[Any, ...]]) -> None:
    ours, theirs = Probe("dir").glob(pattern), reference_glob(pattern)
    for step in steps:
        kind, *rest = step
        results = []
        for gen in (ours, theirs):
            if kind == "next":
                action = gen.__next__
            elif kind == "close":
                action = gen.close
            elif kind == "send":
                action = lambda gen=gen: gen.send(rest[0])
            elif kind == "throw":
                action = lambda gen=gen: gen.throw(*rest[0])
            else:
                action = lambda gen=gen: setattr(gen, "__name__", rest[0])
            results.append(outcome(action))
        assert results[0] == results[1], (step, results)
        assert ours.gi_running is False and ours.gi_suspended == theirs.gi_suspended


# -- object names on the real servers ----------------------------------------------------


def long_name(total: int) -> str:
    """A name of exactly ``total`` UTF-8 bytes in segments of at most 255 bytes (the
    segment limit of SeaweedFS), with two-byte characters."""
    segments, size = [], 0
    while total - size > 255:
        segments.append("é" * 120 + "x")  # 241 bytes
        size += 242
    rest = total - size
    segments.append("é" * (rest // 2) + "x" * (rest % 2))
    name = "/".join(segments)
    assert len(name.encode()) == total
    return name


NAMES_ON_SERVERS = {
    "non-ascii": "ünïcødé/名前 ✓ 🚀.txt",
    "quotes": "quotes/it's \"quoted\" `back`",
    "spaces": "spaces/ leading and trailing ",
    "control": "control/new\nline tab\t cr\r",
    "percent": "percent/100% %41 %2F %zz",
    "plus": "plus/a+b c+ %2B",
    "reserved": "reserved/a?b&c=d#e;f,g@h:i$j!k",
    "glob-chars": "glob/[x]*?{y}",
    "xml": "xml/<tag a=\"v\">&amp;</tag>",
    "backslash": "back\\slash/x\\y",
    "1024-bytes": long_name(1024),
}
SERVER_QUIRKS = {
    ("moto", "control"): "moto's server answers 404 (not S3 XML) for a key with a newline",
    ("seaweedfs", "backslash"): "SeaweedFS turns '\\' into '/' in keys",
}


@pytest.fixture
def bucket(configured: Any) -> Any:
    configured.make_bucket()
    return configured


def keys(target: Any) -> list[str]:
    return [o.object_name for o in target.client.list_objects(target.bucket, recursive=True)]


@pytest.mark.parametrize("label", NAMES_ON_SERVERS)
def test_names_round_trip(bucket: Any, label: str) -> None:
    if (bucket.kind, label) in SERVER_QUIRKS:
        pytest.skip(SERVER_QUIRKS[bucket.kind, label])
    name = NAMES_ON_SERVERS[label]
    p = MinIOPath(name)
    assert str(p.path) == name  # the name is kept as it is
    data = name.encode() + b"\x00 payload"
    p.write(data)
    assert keys(bucket) == [name]
    assert p.exists and p.read() == data
    parent = MinIOPath(name.rpartition("/")[0])
    assert parent.is_dir()
    assert [str(q.path) for q in parent.glob()] == [name]
    p.delete()
    assert keys(bucket) == [] and not p.exists


def test_name_over_the_length_limit(bucket: Any) -> None:
    """1025 bytes: the store's own error, and nothing stored (moto sets no limit)."""
    if bucket.kind == "moto":
        pytest.skip("moto stores keys of any length")
    p = MinIOPath(long_name(1025))
    with pytest.raises(Exception) as caught:
        p.write(b"x")
    assert getattr(caught.value, "code", None) == "KeyTooLongError"
    assert keys(bucket) == []


class CountingPool(urllib3.PoolManager):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.requests: list[str] = []

    def urlopen(self, method: str, url: str, *args: Any, **kwargs: Any) -> Any:
        self.requests.append(f"{method} {url}")
        return super().urlopen(method, url, *args, **kwargs)


def counting_client(endpoint: str, **options: Any) -> Minio:
    return Minio(endpoint, http_client=CountingPool(retries=False), **options)


class CountedPath(MinIOPath):
    _creator = counting_client


@pytest.mark.parametrize("name", ["..", "a/..", "../b", "a/../b", "a/b/..", "   "])
def test_names_the_sdk_refuses(monkeypatch: pytest.MonkeyPatch, tmp_path: Any, name: str) -> None:
    """The SDK refuses ".." segments and blank names before any request; none is retried.
    (A "." segment or an empty name never gets that far: the path drops "." and the root
    is "/".)"""
    for variable in [n for n in os.environ if n.startswith("MINIO_")]:
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.setenv("MINIO_ENDPOINT", "127.0.0.1:1")  # nothing listens there
    monkeypatch.setenv("MINIO_BUCKET_NAME", "bkt")
    pauses: list[float] = []
    monkeypatch.setattr(quorvex.retrying, "_sleep", pauses.append)
    BasePath.reset_clients()
    (tmp_path / "file").write_bytes(b"x")
    p = CountedPath(name)
    calls = {"exists": lambda: p.exists, "mtime": lambda: p.mtime, "read": p.read,
             "write": lambda: p.write(b"x"), "upload": lambda: p.upload(str(tmp_path / "file")),
             "delete-object": lambda: p.delete(recursive=False)}
    try:
        for label, call in calls.items():
            with pytest.raises(ValueError) as caught:
                call()
            if name.strip():
                assert "'.' or '..'" in str(caught.value), label
        assert p.client._http.requests == [] and pauses == []
    finally:
        BasePath.reset_clients()


# -- credentials and transport security --------------------------------------------------

ACCESS_KEY = "AKIACANARY7Q2XW"
SECRET_KEY = "canary/Secret+Key=9zQ%"
SECRETS = [ACCESS_KEY, SECRET_KEY, urllib.parse.quote(SECRET_KEY, safe=""),
           urllib.parse.quote(ACCESS_KEY), "Secret+Key", "CANARY7Q2"]


def assert_clean(text: str, where: str) -> None:
    found = [s for s in SECRETS if s.lower() in text.lower()]
    assert not found, f"{where} shows {found}: {text[:500]}"


def shown(exc: BaseException) -> str:
    """Everything a report of the exception shows: its chain, repr and traceback."""
    return "".join(traceback.format_exception(exc)) + repr(exc) + repr(exc.args)


@pytest.mark.integration
def test_credentials_are_never_shown(moto_server: Any, monkeypatch: pytest.MonkeyPatch,
                                     capfd: Any, caplog: Any) -> None:
    from test_faults import ATTEMPTS, BUSY, FaultProxy, QuickPath

    raw = moto_server.client()
    bucket = unique_bucket_name("canary")
    raw.make_bucket(bucket)
    proxy = FaultProxy(("127.0.0.1", moto_server.port)).up()
    for variable in [n for n in os.environ if n.startswith("MINIO_")]:
        monkeypatch.delenv(variable, raising=False)
    for section in ("minio", "minio.dead"):
        monkeypatch.setenv(f"{section.upper().replace('.', '_')}_ACCESS_KEY", ACCESS_KEY)
        monkeypatch.setenv(f"{section.upper().replace('.', '_')}_SECRET_KEY", SECRET_KEY)
        monkeypatch.setenv(f"{section.upper().replace('.', '_')}_BUCKET_NAME", bucket)
    monkeypatch.setenv("MINIO_ENDPOINT", proxy.endpoint)  # moto takes any credentials
    monkeypatch.setenv("MINIO_DEAD_ENDPOINT", "127.0.0.1:1")
    monkeypatch.setenv("QUORVEX_RETRY_DELAY", "0")
    monkeypatch.setattr(quorvex.retrying, "_sleep", lambda seconds: None)
    caplog.set_level(logging.WARNING, logger="quorvex.retry")
    BasePath.reset_clients()
    errors: list[BaseException] = []

    def failing(call: Any) -> None:
        with pytest.raises(Exception) as caught:
            call()
        errors.append(caught.value)

    try:
        p = MinIOPath("dir/obj.txt")
        assert_clean(str(p) + repr(p) + repr(p.client), "str/repr")
        failing(p.read)                                   # no such key
        monkeypatch.setenv("MINIO_BUCKET_NAME", "no-such-bucket-canary")
        failing(lambda: p.exists)                         # no such bucket
        monkeypatch.setenv("MINIO_BUCKET_NAME", bucket)
        with MinIOPath.use_section("minio.dead"):
            failing(QuickPath("x").read)                  # connection refused, retried
        busy = iter([BUSY] * ATTEMPTS)
        proxy.rule = lambda method, target: next(busy, None)
        failing(lambda: QuickPath("x").write(b"data"))    # SlowDown, retried
        proxy.rule = None
        # A per-object failure of a recursive delete is printed.
        raw.put_object(bucket, "dir/keep/1", io.BytesIO(b"k"), 1)
        raw.set_bucket_policy(bucket, (
            '{"Version":"2012-10-17","Statement":[{"Effect":"Deny","Principal":"*",'
            f'"Action":"s3:DeleteObject","Resource":"arn:aws:s3:::{bucket}/dir/keep/*"}}]}}'))
        capfd.readouterr()
        MinIOPath("dir").delete()
        raw.delete_bucket_policy(bucket)
    finally:
        proxy.down()
        BasePath.reset_clients()
        remove_bucket_fully(raw, bucket)
    out, err = capfd.readouterr()
    assert "Error deleting object 'dir/keep/1'" in out
    assert_clean(out + err, "printed output")
    assert [type(e).__name__ for e in errors] == [
        "FileNotFoundError", "FileNotFoundError", "MaxRetryError", "S3Error"]
    for error in errors:
        assert_clean(shown(error), f"{type(error).__name__}")
    records = [r for r in caplog.records if r.name == "quorvex.retry"]
    assert len(records) == 4  # 2 pauses for the dead endpoint, 2 for SlowDown
    for record in records:
        assert_clean(logging.Formatter().format(record), "the retry log")


def test_credentials_a_server_refuses_are_not_shown(configured: Any,
                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    """Unknown keys, then a known access key with a wrong secret: the server's refusals
    name neither."""
    if configured.kind == "moto":
        pytest.skip("moto takes any credentials")
    configured.make_bucket()
    for access_key in (ACCESS_KEY, configured.access_key):
        monkeypatch.setenv("MINIO_ACCESS_KEY", access_key)
        monkeypatch.setenv("MINIO_SECRET_KEY", SECRET_KEY)
        BasePath.reset_clients()
        p = MinIOPath("dir/obj.txt")
        for call in (lambda: p.write(b"x"), lambda: p.bucket_exists, lambda: list(p.glob())):
            with pytest.raises(Exception) as caught:
                call()
            assert getattr(caught.value, "code", None) in (
                "InvalidAccessKeyId", "SignatureDoesNotMatch", "AccessDenied")
            assert_clean(shown(caught.value), caught.value.code)
    BasePath.reset_clients()


@pytest.mark.parametrize("endpoint, secure, https", [
    ("s3.example.com", None, True), ("s3.example.com:9000", None, True),
    ("10.1.2.3:9000", None, True), ("[2001:db8::1]:9000", None, True),
    ("localhost.example.com", None, True), ("127.0.0.1.nip.io:9000", None, True),
    ("127.0.0.1:9000", None, False), ("127.8.9.10", None, False),
    ("localhost:9000", None, False), ("[::1]:9000", None, False),
    ("s3.example.com", "false", False), ("127.0.0.1:9000", "true", True),
])
def test_tls_unless_loopback_or_told_otherwise(monkeypatch: pytest.MonkeyPatch, endpoint: str,
                                               secure: Any, https: bool) -> None:
    for variable in [n for n in os.environ if n.startswith("MINIO_")] + ["QUORVEX_CONFIG"]:
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.setenv("MINIO_ENDPOINT", endpoint)
    if secure is not None:
        monkeypatch.setenv("MINIO_SECURE", secure)
    BasePath.reset_clients()
    try:
        assert MinIOPath("x").client._base_url.is_https is https  # built, not connected
    finally:
        BasePath.reset_clients()
