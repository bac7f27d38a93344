"""MinIOPath when the server fails under it: it stops and comes back within the retry
window, it stays down, or it fails half-way through an upload, a recursive delete or the
body of a read.

The store is the embedded moto server of the session (``moto_server``); the tests talk to
it through :class:`FaultProxy`, a small HTTP-aware TCP proxy on loopback that can refuse
connections (as a stopped server does) and come back on the same port, drop the
connection of a chosen request, cut a reply short, or answer 503 itself.  It records every
request it forwards.  What is stored is checked with a raw client that talks to moto
directly.

The paths are :class:`QuickPath`, a MinIOPath whose client comes from :func:`quick_client`:
the SDK's client with its urllib3 retries turned off (``Retry(total=0)``) and a 5 s connect
/ 30 s read timeout.  The SDK's own client retries a refused connection inside urllib3
for about 6 s per attempt; with it off, every attempt that ``quorvex.base.retry`` makes
is one request, so the attempts can be counted (through ``quorvex.retrying._sleep``, which the
``pauses`` fixture replaces) and a dead server fails in well under a second.  One test
keeps the SDK's own client to measure the bound with it.

Retry settings here: 3 attempts, 0.01 s first pause, 0.02 s cap (QUORVEX_RETRY_*).
"""

from __future__ import annotations

import datetime
import hashlib
import io
import socket
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Optional

import pytest
import urllib3
from minio import Minio

import quorvex.base
import quorvex.retrying
from quorvex.base import BasePath
from quorvex.minio.path import MinIOPath
from conftest import remove_bucket_fully, unique_bucket_name
from test_integration_store import stored

pytestmark = pytest.mark.integration

ATTEMPTS = 3
# A member that fails for good against a refused port takes ATTEMPTS refused connects and
# ATTEMPTS - 1 pauses of at most 0.02 s: well under a second.  The bound asserted is
# generous, for a loaded 2-core machine.
DEAD_SERVER_BOUND = 10.0


# -- the proxy ---------------------------------------------------------------------------


@dataclass(eq=False)
class _Link:
    client: socket.socket
    upstream: socket.socket
    truncate: Optional[int] = None  # body bytes of the next reply to pass, then cut


# What a rule may answer for a request: None forwards it.
CUT = "cut"          # the server goes down now: this request is dropped unanswered
DROP = "drop"        # this connection is closed unanswered; the server stays up
BUSY = "busy"        # answered 503 SlowDown by the proxy, not forwarded


@dataclass
class FaultProxy:
    """A loopback TCP proxy in front of ``upstream`` (host, port) for HTTP/1.1 clients.

    ``down()`` closes the listening socket and every open connection, so new connections
    are refused as by a stopped server; ``up()`` listens again on the same port.  ``rule``
    is called with (method, target) of each request before it is forwarded and may answer
    CUT, DROP, BUSY, ("truncate", n): forward it, pass the reply's headers and
    ``n`` bytes of its body, then close the connection, or ("reply", raw): answer with the
    bytes ``raw`` instead, then close.  ``requests`` lists what was forwarded.
    """

    upstream: tuple[str, int]
    rule: Optional[Callable[[str, str], Any]] = None
    port: int = 0
    requests: list[tuple[str, str]] = field(default_factory=list)
    _listener: Optional[socket.socket] = None
    _links: set = field(default_factory=set)
    _lock: threading.Lock = field(default_factory=threading.Lock)

    def up(self) -> "FaultProxy":
        with self._lock:
            if self._listener is None:
                listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                listener.bind(("127.0.0.1", self.port))
                listener.listen(64)
                self.port = listener.getsockname()[1]
                self._listener = listener
                threading.Thread(target=self._accept, args=(listener,), daemon=True,
                                 name="fault-proxy").start()
        return self

    def down(self) -> None:
        with self._lock:
            listener, self._listener = self._listener, None
            links, self._links = self._links, set()
        if listener is not None:
            _close(listener)
        for link in links:
            _close(link.client)
            _close(link.upstream)

    @property
    def endpoint(self) -> str:
        return f"127.0.0.1:{self.port}"

    def methods(self) -> list[str]:
        return [method for method, _ in self.requests]

    # -- the connections -----------------------------------------------------------------

    def _accept(self, listener: socket.socket) -> None:
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return  # closed by down()
            try:
                upstream = socket.create_connection(self.upstream, timeout=10)
                upstream.settimeout(None)
            except OSError:
                _close(client)
                continue
            link = _Link(client, upstream)
            with self._lock:
                if self._listener is not listener:
                    _close(client)
                    _close(upstream)
                    return
                self._links.add(link)
            threading.Thread(target=self._requests, args=(link,), daemon=True).start()
            threading.Thread(target=self._replies, args=(link,), daemon=True).start()

    def _end(self, link: _Link) -> None:
        with self._lock:
            self._links.discard(link)
        _close(link.client)
        _close(link.upstream)

    def _requests(self, link: _Link) -> None:
        buffer = b""
        try:
            while True:
                while b"\r\n\r\n" not in buffer:
                    chunk = link.client.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                head, _, buffer = buffer.partition(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                method, target, _ = lines[0].split(" ", 2)
                headers = {name.strip().lower(): value.strip() for name, _, value in
                           (line.partition(":") for line in lines[1:])}
                assert "chunked" not in headers.get("transfer-encoding", ""), \
                    "the proxy handles requests with a Content-Length only"
                length = int(headers.get("content-length", "0"))
                while len(buffer) < length:
                    chunk = link.client.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                body, buffer = buffer[:length], buffer[length:]
                action = self.rule(method, target) if self.rule else None
                if action == CUT:
                    self.down()
                    return
                if action == DROP:
                    return
                if action == BUSY:
                    # A reply to HEAD has the headers only.
                    link.client.sendall(_SLOW_DOWN_HEAD + (b"" if method == "HEAD"
                                                           else _SLOW_DOWN_BODY))
                    continue
                if isinstance(action, tuple) and action[0] == "reply":
                    link.client.sendall(action[1])
                    return
                if isinstance(action, tuple) and action[0] == "truncate":
                    link.truncate = action[1]
                self.requests.append((method, target))
                link.upstream.sendall(head + b"\r\n\r\n" + body)
        except OSError:
            return
        finally:
            self._end(link)

    def _replies(self, link: _Link) -> None:
        pending = b""
        try:
            while True:
                data = link.upstream.recv(65536)
                if not data:
                    return
                if link.truncate is None:
                    link.client.sendall(data)
                    continue
                pending += data
                end = pending.find(b"\r\n\r\n")
                if end >= 0 and len(pending) >= end + 4 + link.truncate:
                    link.client.sendall(pending[:end + 4 + link.truncate])
                    return
        except OSError:
            return
        finally:
            self._end(link)


_SLOW_DOWN_BODY = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>SlowDown</Code>'
                   b'<Message>Please reduce your request rate.</Message></Error>')
_SLOW_DOWN_HEAD = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/xml\r\n"
                   b"Content-Length: " + str(len(_SLOW_DOWN_BODY)).encode() + b"\r\n\r\n")


def _close(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


# -- the client and the fixtures ---------------------------------------------------------


class TrackingMinio(Minio):
    """The SDK's client, keeping every response that get_object handed out, with the
    calls made to its close() and release_conn() in ``response.calls``."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.responses: list[Any] = []

    def get_object(self, *args: Any, **kwargs: Any) -> Any:
        response = super().get_object(*args, **kwargs)
        response.calls = []
        for name in ("close", "release_conn"):
            def recorded(*a: Any, _name: str = name, _method: Any = getattr(response, name),
                         **k: Any) -> Any:
                response.calls.append(_name)
                return _method(*a, **k)
            setattr(response, name, recorded)
        self.responses.append(response)
        return response


def quick_client(endpoint: str, **options: Any) -> TrackingMinio:
    """The SDK's client without urllib3's own retries (see the module's docstring)."""
    http = urllib3.PoolManager(
        timeout=urllib3.Timeout(connect=5, read=30), maxsize=10,
        retries=urllib3.Retry(total=0, redirect=0, raise_on_status=False))
    return TrackingMinio(endpoint, http_client=http, **options)


class QuickPath(MinIOPath):
    _creator = quick_client


def checked_out(client: Minio, port: int) -> int:
    """How many connections of the client's pool to 127.0.0.1:port are in use."""
    pool = client._http.connection_from_host("127.0.0.1", port, "http")
    return pool.pool.maxsize - pool.pool.qsize()


@dataclass
class Pauses:
    """Stands in for quorvex.retrying._sleep: records each pause (and still sleeps it), and
    runs the next queued action first, if there is one."""

    seen: list[float] = field(default_factory=list)
    then: list[Callable[[], None]] = field(default_factory=list)

    def __call__(self, seconds: float) -> None:
        self.seen.append(seconds)
        if self.then:
            self.then.pop(0)()
        time.sleep(seconds)

    @property
    def attempts(self) -> int:
        return len(self.seen) + 1


@dataclass
class World:
    proxy: FaultProxy
    client: Minio       # straight to moto (test_integration_store.stored reads with it)
    bucket: str
    pauses: Pauses
    monkeypatch: pytest.MonkeyPatch
    buckets: list[str] = field(default_factory=list)
    extra: str = ""      # a bucket a member creates or deletes

    def put(self, name: str, data: bytes) -> None:
        self.client.put_object(self.bucket, name, io.BytesIO(data), len(data))

    def put_all(self, contents: dict[str, bytes]) -> None:
        for name, data in contents.items():
            self.put(name, data)

    def stored(self) -> dict[str, bytes]:
        return stored(self)

    def digests(self) -> dict[str, str]:
        """name -> ETag of every object (the MD5 of its content: no multipart here)."""
        return {item.object_name: item.etag.strip('"')
                for item in self.client.list_objects(self.bucket, recursive=True)}

    def new_bucket(self, create: bool) -> str:
        """Another bucket, removed at the end; the path's section now names it."""
        name = unique_bucket_name("faults")
        self.buckets.append(name)
        if create:
            self.client.make_bucket(name)
        self.monkeypatch.setenv("MINIO_BUCKET_NAME", name)
        return name


@pytest.fixture
def world(moto_server: Any, monkeypatch: pytest.MonkeyPatch) -> Iterator[World]:
    proxy = FaultProxy(("127.0.0.1", moto_server.port)).up()
    raw = moto_server.client()
    bucket = unique_bucket_name("faults")
    raw.make_bucket(bucket)
    for name in ("ENDPOINT", "ACCESS_KEY", "SECRET_KEY", "SECURE", "BUCKET_NAME", "REGION"):
        monkeypatch.delenv(f"MINIO_{name}", raising=False)
    monkeypatch.delenv("QUORVEX_CONFIG", raising=False)
    for name, value in moto_server.env(bucket_name=bucket).items():
        monkeypatch.setenv(name, value)
    monkeypatch.setenv("MINIO_ENDPOINT", proxy.endpoint)
    monkeypatch.setenv("QUORVEX_RETRY_ATTEMPTS", str(ATTEMPTS))
    monkeypatch.setenv("QUORVEX_RETRY_DELAY", "0.01")
    monkeypatch.setenv("QUORVEX_RETRY_MAX_DELAY", "0.02")
    pauses = Pauses()
    monkeypatch.setattr(quorvex.retrying, "_sleep", pauses)
    BasePath.reset_clients()
    state = World(proxy, raw, bucket, pauses, monkeypatch, [bucket])
    try:
        yield state
    finally:
        proxy.rule = None
        proxy.down()
        BasePath.reset_clients()
        for name in state.buckets:
            remove_bucket_fully(raw, name)


def tree(root: Any, files: dict[str, bytes]) -> str:
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return str(root)


TREE = {"a.txt": b"alpha", "sub/b.bin": b"\x00\x01beta", "sub/deeper/c.txt": b"gamma" * 999,
        "z.txt": b""}
DIRECTORY = {"d/one": b"1", "d/two/three": b"3", "d/two/four": b"4" * 5000}
NEIGHBOURS = {"dd/kept": b"k", "d.txt": b"kept too"}


# -- every member, for the two scenarios -------------------------------------------------

# name -> (set up the store and return the call, check what it returned and what is stored)
# A call returns what the member returned; the check raises on anything wrong.
Member = tuple[Callable[[World, Any], Callable[[], Any]], Callable[[World, Any, Any], None]]


def _exists_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.put("obj.txt", b"here")
    return lambda: QuickPath("obj.txt").exists


def _create_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.extra = w.new_bucket(create=False)
    return lambda: QuickPath("x").create_bucket()


def _delete_bucket_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.extra = w.new_bucket(create=True)
    return lambda: QuickPath("x").delete_bucket()


def _read_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.put("obj.bin", bytes(range(256)) * 40)
    return lambda: QuickPath("obj.bin").read()


def _delete_tree_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.put_all({**DIRECTORY, **NEIGHBOURS})
    return lambda: QuickPath("d").delete()


def _delete_object_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.put_all({"obj.txt": b"x", **NEIGHBOURS})
    return lambda: QuickPath("obj.txt").delete(recursive=False)


def _is_dir_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.put_all(DIRECTORY)
    return lambda: QuickPath("d/two").is_dir()


def _mtime_setup(w: World, tmp: Any) -> Callable[[], Any]:
    w.put("obj.txt", b"x")
    return lambda: QuickPath("obj.txt").mtime


def _expect(value: Any) -> Callable[[World, Any, Any], None]:
    def check(w: World, tmp: Any, result: Any) -> None:
        assert result == value
    return check


def _stored_is(contents: Callable[[Any], dict[str, bytes]]) -> Callable[[World, Any, Any], None]:
    def check(w: World, tmp: Any, result: Any) -> None:
        assert result is None
        assert w.stored() == contents(tmp)
    return check


def _recent(w: World, tmp: Any, result: Any) -> None:
    assert isinstance(result, datetime.datetime) and result.tzinfo is None
    assert abs(result - datetime.datetime.now()) < datetime.timedelta(minutes=5)


def _bucket_now(present: bool) -> Callable[[World, Any, Any], None]:
    def check(w: World, tmp: Any, result: Any) -> None:
        assert result is None
        assert w.client.bucket_exists(w.extra) is present
    return check


MEMBERS: dict[str, Member] = {
    "bucket_exists": (lambda w, tmp: lambda: QuickPath("x").bucket_exists, _expect(True)),
    "create_bucket": (_create_setup, _bucket_now(True)),
    "delete_bucket": (_delete_bucket_setup, _bucket_now(False)),
    "exists": (_exists_setup, _expect(True)),
    "is_dir": (_is_dir_setup, _expect(True)),
    "mtime": (_mtime_setup, _recent),
    "read": (_read_setup, _expect(bytes(range(256)) * 40)),
    "write": (lambda w, tmp: lambda: QuickPath("new/obj").write(b"written"),
              _stored_is(lambda tmp: {"new/obj": b"written"})),
    "upload-file": (lambda w, tmp: lambda: QuickPath("up/a.txt").upload(
        tree(tmp, TREE) + "/a.txt"), _stored_is(lambda tmp: {"up/a.txt": b"alpha"})),
    "upload-tree": (lambda w, tmp: lambda: QuickPath("up").upload(tree(tmp, TREE)),
                    _stored_is(lambda tmp: {f"up/{k}": v for k, v in TREE.items()})),
    "delete-object": (_delete_object_setup, _stored_is(lambda tmp: NEIGHBOURS)),
    "delete-tree": (_delete_tree_setup, _stored_is(lambda tmp: NEIGHBOURS)),
}


@pytest.mark.parametrize("member", MEMBERS)
def test_server_back_within_the_retry_window(world: World, tmp_path: Any, member: str) -> None:
    """The server is down at the call and back at the first pause: one retry recovers."""
    setup, check = MEMBERS[member]
    call = setup(world, tmp_path)
    world.proxy.down()
    world.pauses.then.append(world.proxy.up)
    result = call()
    assert world.pauses.attempts == 2
    assert world.proxy.requests, "the second attempt reached the server"
    check(world, tmp_path, result)


@pytest.mark.parametrize("member", MEMBERS)
def test_server_that_stays_down(world: World, tmp_path: Any, member: str) -> None:
    """Every attempt is refused: a clear error within the bound, after ATTEMPTS attempts,
    and nothing stored or removed."""
    setup, _ = MEMBERS[member]
    call = setup(world, tmp_path)
    buckets_before = {b.name for b in world.client.list_buckets()}
    stored_before = world.stored()
    world.proxy.down()
    started = time.monotonic()
    with pytest.raises(urllib3.exceptions.MaxRetryError) as caught:
        call()
    elapsed = time.monotonic() - started
    assert elapsed < DEAD_SERVER_BOUND
    assert "Connection refused" in str(caught.value)
    assert world.pauses.attempts == ATTEMPTS  # nested retries do not multiply
    assert world.proxy.requests == []
    world.proxy.up()
    assert {b.name for b in world.client.list_buckets()} == buckets_before
    assert world.stored() == stored_before


def test_members_without_requests_do_not_need_the_server(world: World) -> None:
    world.proxy.down()
    p = QuickPath("a/b")
    assert (p.bucket_name, str(p)) == (world.bucket, f"(bucket='{world.bucket}', path='a/b')")
    assert hash(p) == hash((world.bucket, p.path))
    with pytest.raises(NotImplementedError):
        p.mkdir()
    assert world.pauses.seen == []


def test_glob_is_not_retried_once_iterated(world: World) -> None:
    """glob hands its generator back untouched: a failure while it is iterated reaches
    the caller at once, and a new glob after the server is back lists everything."""
    world.put_all(DIRECTORY)
    listing = QuickPath("d").glob()  # nothing is sent before the first item
    world.proxy.down()
    with pytest.raises(urllib3.exceptions.MaxRetryError):
        next(listing)
    assert world.pauses.seen == []
    world.proxy.up()
    assert sorted(str(p.path) for p in QuickPath("d").glob()) == ["d/one", "d/two"]


KINDS = {
    "location": lambda method, target: target.endswith("?location="),
    "stat": lambda method, target: method == "HEAD",
    "get": lambda method, target: method == "GET" and "?" not in target,
}


@pytest.mark.parametrize("kind", KINDS)
def test_slow_down_replies_are_retried(world: World, kind: str) -> None:
    """Two 503 SlowDown answers to one kind of request, then the store answers: read()
    recovers on its third attempt, whichever request was refused."""
    world.put("obj.txt", b"content")
    refusals = [2]

    def rule(method: str, target: str) -> Any:
        if KINDS[kind](method, target) and refusals[0]:
            refusals[0] -= 1
            return BUSY
        return None

    world.proxy.rule = rule
    assert QuickPath("obj.txt").read() == b"content"
    assert world.pauses.attempts == 3
    assert refusals == [0]


def test_bound_with_the_sdk_default_client(world: World, monkeypatch: pytest.MonkeyPatch) -> None:
    """With the SDK's own client each attempt against a refused port takes its urllib3
    retries (about 6 s); with 2 attempts the call fails in about 12 s."""
    monkeypatch.setenv("QUORVEX_RETRY_ATTEMPTS", "2")
    world.proxy.down()
    started = time.monotonic()
    with pytest.raises(urllib3.exceptions.MaxRetryError):
        MinIOPath("obj.txt").exists
    elapsed = time.monotonic() - started
    assert world.pauses.attempts == 2
    # 2 x 6.0 s of SDK backoff + 0.01 s of pause; the bound allows for a loaded machine.
    assert elapsed < 2 * 6.0 * 1.5 + 5


# -- failures half-way -------------------------------------------------------------------


def on_nth(count: int, matches: Callable[[str, str], bool], action: Any) -> Callable[..., Any]:
    """A rule that answers ``action`` to the count-th request that ``matches``, once."""
    seen = [0]

    def rule(method: str, target: str) -> Any:
        if matches(method, target):
            seen[0] += 1
            if seen[0] == count:
                return action
        return None

    return rule


def object_put(method: str, target: str) -> bool:
    return method == "PUT" and target.count("/") >= 2  # /bucket/key, not /bucket


BIG_TREE = {f"f{index}.txt": f"file {index}\n".encode() * (index + 1) for index in range(4)}
BIG_TREE.update({f"sub/g{index}.bin": bytes([index]) * 3000 for index in range(4)})


@pytest.mark.parametrize("back", [False, True], ids=["stays-down", "back-at-first-pause"])
def test_upload_of_a_tree_interrupted_half_way(world: World, tmp_path: Any, back: bool) -> None:
    local = tree(tmp_path, BIG_TREE)
    expected = {f"up/{name}": data for name, data in BIG_TREE.items()}
    world.proxy.rule = on_nth(4, object_put, CUT)  # three files are stored first
    if back:
        world.pauses.then.append(world.proxy.up)
        QuickPath("up").upload(local)
        assert world.pauses.attempts == 2
        assert world.stored() == expected
        return
    with pytest.raises(urllib3.exceptions.MaxRetryError):
        QuickPath("up").upload(local)
    assert world.pauses.attempts == ATTEMPTS  # the failing file's; the tree's not again
    world.proxy.rule = None
    world.proxy.up()
    partial = world.stored()
    assert len(partial) == 3
    assert partial == {name: expected[name] for name in partial}  # stored whole
    QuickPath("up").upload(local)
    assert world.stored() == expected


MANY = 1005  # more than one page of a listing and one batch of a multi-object delete


def fill_many(w: World) -> dict[str, bytes]:
    contents = {f"big/{index:05d}": f"object {index}".encode() for index in range(MANY)}
    w.put_all({**contents, **NEIGHBOURS})
    return {**contents, **NEIGHBOURS}


def md5s(contents: dict[str, bytes]) -> dict[str, str]:
    return {name: hashlib.md5(data).hexdigest() for name, data in contents.items()}


def test_recursive_delete_interrupted_while_listing_removes_nothing(world: World) -> None:
    contents = fill_many(world)
    # The second page of the recursive listing never comes.
    world.proxy.rule = on_nth(1, lambda m, t: "continuation-token" in t, CUT)
    with pytest.raises(urllib3.exceptions.MaxRetryError):
        QuickPath("big").delete()
    assert "POST" not in world.proxy.methods()
    world.proxy.rule = None
    world.proxy.up()
    assert world.digests() == md5s(contents)


@pytest.mark.parametrize("back", [False, True], ids=["stays-down", "back-at-first-pause"])
def test_recursive_delete_interrupted_between_batches(world: World, back: bool) -> None:
    contents = fill_many(world)
    world.proxy.rule = on_nth(2, lambda m, t: m == "POST" and t.endswith("?delete="), CUT)
    if back:
        # The retry runs the whole delete again, which lists what is left and removes it.
        world.pauses.then.append(world.proxy.up)
        QuickPath("big").delete()
        assert world.pauses.attempts == 2
        assert world.stored() == NEIGHBOURS
        return
    with pytest.raises(urllib3.exceptions.MaxRetryError):
        QuickPath("big").delete()
    world.proxy.rule = None
    world.proxy.up()
    # The first batch (the first 1000 names in listing order) went; the rest is intact.
    gone = sorted(name for name in contents if name.startswith("big/"))[:1000]
    assert world.digests() == md5s({k: v for k, v in contents.items() if k not in gone})
    QuickPath("big").delete()
    assert world.stored() == NEIGHBOURS


def test_delete_bucket_interrupted_at_its_delete(world: World) -> None:
    """The removal request itself is dropped and the server stays down: the error reaches
    the caller, the bucket is still there, and a second call removes it."""
    bucket = world.new_bucket(create=True)
    world.proxy.rule = on_nth(1, lambda m, t: m == "DELETE", CUT)
    with pytest.raises(urllib3.exceptions.MaxRetryError):  # the dropped connection
        QuickPath("x").delete_bucket()
    world.proxy.rule = None
    world.proxy.up()
    assert world.client.bucket_exists(bucket)
    QuickPath("x").delete_bucket()
    assert not world.client.bucket_exists(bucket)


BODY = bytes(range(256)) * 1024  # 256 KiB


@pytest.mark.parametrize("cuts", [1, ATTEMPTS], ids=["once", "every-attempt"])
def test_read_whose_connection_drops_mid_body(world: World, cuts: int) -> None:
    """The reply is cut after 1000 bytes of body: the error reaches the caller (or the
    retry reads it whole), and every response was closed and its connection given back."""
    world.put("obj.bin", BODY)
    left = [cuts]

    def rule(method: str, target: str) -> Any:
        if method == "GET" and target.endswith("/obj.bin") and left[0]:
            left[0] -= 1
            return ("truncate", 1000)
        return None

    world.proxy.rule = rule
    p = QuickPath("obj.bin")
    if cuts == 1:
        assert p.read() == BODY
        assert world.pauses.attempts == 2
    else:
        with pytest.raises(urllib3.exceptions.ProtocolError) as caught:
            p.read()
        assert "IncompleteRead" in repr(caught.value) or "Connection broken" in str(caught.value)
        assert world.pauses.attempts == ATTEMPTS
    client = p.client
    assert len(client.responses) == cuts + (cuts == 1)
    for response in client.responses:
        assert response.calls[-2:] == ["close", "release_conn"]  # ours, after urllib3's own
        assert response.closed and response.connection is None
    assert checked_out(client, world.proxy.port) == 0
