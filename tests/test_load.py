"""MinIOPath under sustained use.

- ``test_threads_under_load``: 8 threads against the embedded moto server, each in a
  configuration section and bucket of its own, each running a seeded mix of writes,
  read-backs, exists, is_dir, glob and deletes checked against its own model of the
  bucket.  At the end every bucket holds exactly its thread's model.  The resident set
  size is sampled through the run; it must stay flat after the warm-up.
- ``test_soak_of_every_member_with_a_fake_client``: every member and error path, through
  the class as users call it (retry wrappers, sections, settings and shared clients
  included), in a loop against an in-process client.  Reference counts, live objects,
  traced Python memory and the resident set size must not grow.

The CI run is short.  The full run:

    QUORVEX_LOAD_OPS=2000 QUORVEX_SOAK_ROUNDS=20000 .venv/bin/pytest tests/test_load.py -s

(``-s`` shows the figures each test prints.)
"""

from __future__ import annotations

import datetime
import gc
import hashlib
import logging
import os
import random
import sys
import threading
import time
import tracemalloc
from types import SimpleNamespace as NS
from typing import Any, Callable, Iterator, Optional

import pytest
import urllib3
from minio.error import S3Error

import quorvex.base
import quorvex.retrying
import quorvex.minio.path as module
from quorvex.base import BasePath
from quorvex.minio.path import MinIOPath
from conftest import remove_bucket_fully, unique_bucket_name

THREADS = 8
OPS = int(os.environ.get("QUORVEX_LOAD_OPS", "200"))        # per thread; full run 2000
ROUNDS = int(os.environ.get("QUORVEX_SOAK_ROUNDS", "1500"))  # full run 20000
# The snapshot taken before the rounds is itself traced, and grows with every module the
# session has imported: tracemalloc's own blocks are left out of the comparison.
NOT_TRACEMALLOC = [tracemalloc.Filter(False, tracemalloc.__file__)]
MiB = 1024 * 1024


def extension_objects() -> int:
    """Live MinIOPath instances and objects of the extension's own types."""
    return sum(1 for o in gc.get_objects() if type(o).__module__ == module.__name__
               or isinstance(o, MinIOPath))


def under_address_sanitizer() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def rss() -> int:
    """The resident set size of this process, in bytes."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# -- threads against the embedded server -------------------------------------------------


class Worker:
    """One thread's run: its section, its bucket, its model of the bucket, its checks."""

    DIRS = ("d0", "d1", "d2", "d3/s", "d3")
    LIVE = 40  # objects a thread keeps at most

    def __init__(self, index: int, bucket: str, ops: int) -> None:
        self.index = index
        self.section = f"minio.load{index}"
        self.bucket = bucket
        self.ops = ops
        self.done = 0
        self.counts: dict[str, int] = {}
        self.model: dict[str, bytes] = {}
        self.random = random.Random(index)
        self.serial = 0

    def key(self, directory: str) -> str:
        self.serial += 1
        return f"w{self.index}/{directory}/f{self.serial}"

    def path(self, key: str) -> MinIOPath:
        p = MinIOPath(key)
        assert p.bucket_name == self.bucket, (self.section, p.bucket_name)
        return p

    def children(self, directory: str) -> set[str]:
        """What glob("*") on a directory should list: its objects and sub-directories."""
        prefix = f"w{self.index}/{directory}/"
        return {prefix + rest.split("/", 1)[0] for key in self.model if key.startswith(prefix)
                for rest in [key[len(prefix):]]}

    def step(self) -> None:
        r = self.random
        directory = r.choice(self.DIRS)
        existing = sorted(self.model)
        op = r.choices(["write", "read", "exists", "is_dir", "glob", "delete"],
                       [30, 20, 15, 10, 15, 10])[0]
        if op in ("read", "delete") and not existing:
            op = "write"
        elif op == "write" and len(existing) >= self.LIVE:
            op = "delete"  # the live set stays bounded, so memory can stay flat
        if op == "write":
            key = r.choice(existing) if existing and r.random() < 0.2 else self.key(directory)
            data = r.randbytes(r.choice([0, 1, 100, 4096, 70000]))
            self.path(key).write(data)
            self.model[key] = data
        elif op == "read":
            key = r.choice(existing)
            assert self.path(key).read() == self.model[key], f"{key} came back changed"
        elif op == "exists":
            key = r.choice(existing) if existing and r.random() < 0.5 else \
                f"w{self.index}/{directory}/never-{r.random()}"
            assert self.path(key).exists is (key in self.model), key
        elif op == "is_dir":
            expected = any(k.startswith(f"w{self.index}/{directory}/") for k in self.model)
            assert self.path(f"w{self.index}/{directory}").is_dir() is expected
        elif op == "glob":
            found = []
            for p in self.path(f"w{self.index}/{directory}").glob():
                assert p.bucket_name == self.bucket
                found.append(str(p.path))
            assert sorted(found) == sorted(self.children(directory)), directory
        elif r.random() < 0.15:  # delete a directory
            self.path(f"w{self.index}/{directory}").delete()
            for key in [k for k in self.model if k.startswith(f"w{self.index}/{directory}/")]:
                del self.model[key]
        else:
            key = r.choice(existing)
            self.path(key).delete(recursive=False)
            del self.model[key]
        self.counts[op] = self.counts.get(op, 0) + 1
        self.done += 1

    def run(self, failures: list[BaseException]) -> None:
        try:
            with MinIOPath.use_section(self.section):
                for _ in range(self.ops):
                    self.step()
        except BaseException as exc:  # reported by the test
            failures.append(exc)


@pytest.mark.integration
def test_threads_under_load(moto_server: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    raw = moto_server.client()
    workers = []
    for index in range(THREADS):
        bucket = unique_bucket_name(f"load{index}")
        raw.make_bucket(bucket)
        workers.append(Worker(index, bucket, OPS))
        for name, value in moto_server.env(f"minio.load{index}", bucket).items():
            monkeypatch.setenv(name, value)
    BasePath.reset_clients()
    gc.collect()
    live = extension_objects()
    failures: list[BaseException] = []
    samples: list[tuple[int, int]] = []  # (operations done, RSS)
    threads = [threading.Thread(target=w.run, args=(failures,), name=f"load-{w.index}")
               for w in workers]
    started = time.monotonic()
    try:
        for thread in threads:
            thread.start()
        # Bounded: a hang fails the test instead of holding up the run (about 30 s for the
        # CI run and 5 min for the full one on a 2-core machine, so the bound is generous).
        deadline = started + 120 + OPS * THREADS * 0.1
        while any(t.is_alive() for t in threads) and time.monotonic() < deadline:
            samples.append((sum(w.done for w in workers), rss()))
            time.sleep(0.25)
        hung = [t.name for t in threads if t.is_alive()]
        assert not hung, f"threads still running after {deadline - started:.0f} s: {hung}"
        elapsed = time.monotonic() - started
        if failures:
            raise failures[0]

        # Every bucket holds exactly its thread's model: nothing lost, corrupted or astray.
        for w in workers:
            stored = {item.object_name: item.etag.strip('"')
                      for item in raw.list_objects(w.bucket, recursive=True)}
            assert stored == {k: hashlib.md5(v).hexdigest() for k, v in w.model.items()}, \
                w.section
        total = sum(w.done for w in workers)
        assert total == THREADS * OPS
        gc.collect()
        assert extension_objects() == live  # no path or generator outlives the run
        # Resident memory is flat after the warm-up (the first tenth of the operations).
        warm = next(size for done, size in samples if done >= total // 10)
        end = rss()
        peak = max(size for _, size in samples)
        mix = {op: sum(w.counts.get(op, 0) for w in workers) for op in workers[0].counts}
        print(f"\nload: {THREADS} threads x {OPS} operations = {total} in {elapsed:.1f} s; "
              f"mix {mix}; RSS after warm-up {warm / MiB:.1f} MiB, peak {peak / MiB:.1f} "
              f"MiB, end {end / MiB:.1f} MiB")
        # The store runs in this process: most of the growth is moto's (see
        # docs/reliability.md); the bound catches a gross leak, the object count above a
        # leak of the extension's own objects.
        assert end - warm < 32 * MiB
    finally:
        BasePath.reset_clients()
        for w in workers:
            remove_bucket_fully(raw, w.bucket)


# -- every member in a loop, in process --------------------------------------------------

WHEN = datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
STAT = NS(last_modified=WHEN)
DATA = bytes(range(256)) * 8
LISTING = [NS(object_name=name) for name in ("dir/", "dir/a", "dir/b.txt", "dir/sub/")]
DENIED = NS(name="dir/a", message="Access Denied")


def s3_error(code: str) -> S3Error:
    return S3Error(None, code, "message", "resource", "request", "host")


class Response:
    def __init__(self, data: bytes, fail: bool = False) -> None:
        self.data, self.fail = data, fail

    def read(self) -> bytes:
        if self.fail:
            raise urllib3.exceptions.ProtocolError("Connection broken: IncompleteRead")
        return self.data

    def close(self) -> None:
        pass

    def release_conn(self) -> None:
        pass


class FakeClient:
    """The calls MinIOPath makes, answered in process.  ``mode`` picks the answers: "ok",
    "missing" (no such key), "no-bucket", "broken-body" (reading get_object's body fails);
    the next ``failures`` calls, whatever they are, raise a transient error first."""

    mode = "ok"
    failures = 0

    def __init__(self, endpoint: str, **options: Any) -> None:
        self.stored: dict[str, int] = {}

    def _trouble(self) -> None:
        if FakeClient.failures:
            FakeClient.failures -= 1
            raise urllib3.exceptions.ProtocolError("Connection aborted.")

    def bucket_exists(self, bucket: str) -> bool:
        self._trouble()
        return self.mode != "no-bucket"

    def make_bucket(self, bucket: str) -> None:
        self._trouble()

    def remove_bucket(self, bucket: str) -> None:
        self._trouble()

    def stat_object(self, bucket: str, name: str) -> Any:
        self._trouble()
        if self.mode == "missing":
            raise s3_error("NoSuchKey")
        if self.mode == "no-bucket":
            raise s3_error("NoSuchBucket")
        return STAT

    def get_object(self, bucket: str, name: str) -> Response:
        self._trouble()
        return Response(DATA, fail=self.mode == "broken-body")

    def put_object(self, bucket: str, name: str, stream: Any, length: int) -> None:
        self._trouble()
        self.stored[name] = len(stream.read(length))

    def fput_object(self, bucket: str, name: str, file_path: str) -> None:
        self._trouble()
        with open(file_path, "rb") as source:
            self.stored[name] = len(source.read())

    def list_objects(self, bucket: str, prefix: Optional[str] = None,
                     recursive: bool = False) -> Iterator[Any]:
        self._trouble()
        return iter(LISTING)

    def remove_objects(self, bucket: str, records: list[Any]) -> Iterator[Any]:
        self._trouble()
        return iter([DENIED])

    def remove_object(self, bucket: str, name: str) -> None:
        self._trouble()


class SoakPath(MinIOPath):
    _creator = FakeClient


def soak_calls(tmp: Any) -> list[tuple[str, str, Callable[[], Any], Any]]:
    """(mode, label, call, expected exception type or None) for every member and path.
    Mode "flaky" is "ok" after one transient failure; "down" fails every time."""
    (tmp / "tree" / "sub").mkdir(parents=True)
    (tmp / "tree" / "one").write_bytes(b"1")
    (tmp / "tree" / "sub" / "two").write_bytes(b"22")
    tree, missing = str(tmp / "tree"), str(tmp / "nothing-here")
    p, d, root = SoakPath("dir/a"), SoakPath("dir"), SoakPath()

    def glob_some() -> None:
        items = d.glob("dir/*")
        next(items)
        items.close()

    calls = [
        ("ok", "bucket_name", lambda: p.bucket_name, None),
        ("ok", "str", lambda: str(p), None),
        ("ok", "hash", lambda: hash(p), None),
        ("ok", "bucket_exists", lambda: p.bucket_exists, None),
        ("no-bucket", "create_bucket", lambda: p.create_bucket(), None),
        ("ok", "delete_bucket", lambda: p.delete_bucket(), None),
        ("ok", "exists", lambda: p.exists, None),
        ("missing", "exists-missing", lambda: p.exists, None),
        ("no-bucket", "exists-no-bucket", lambda: p.exists, FileNotFoundError),
        ("ok", "is_dir", lambda: d.is_dir(), None),
        ("ok", "mtime", lambda: p.mtime, None),
        ("missing", "mtime-missing", lambda: p.mtime, FileNotFoundError),
        ("ok", "read", lambda: p.read(), None),
        ("missing", "read-missing", lambda: p.read(), FileNotFoundError),
        ("broken-body", "read-broken-body", lambda: p.read(),
         urllib3.exceptions.ProtocolError),
        ("ok", "write", lambda: p.write(DATA), None),
        ("ok", "upload-file", lambda: p.upload(tree + "/one"), None),
        ("ok", "upload-tree", lambda: d.upload(tree), None),
        ("ok", "upload-missing", lambda: p.upload(missing), FileNotFoundError),
        ("ok", "upload-empty", lambda: p.upload(""), ValueError),
        ("ok", "delete-tree", lambda: d.delete(), None),
        ("ok", "delete-object", lambda: p.delete(recursive=False), None),
        ("ok", "mkdir", lambda: p.mkdir(), NotImplementedError),
        ("ok", "glob-all", lambda: list(root.glob()), None),
        ("ok", "glob-abandoned", glob_some, None),
        ("flaky", "read-retried", lambda: p.read(), None),
        ("flaky", "upload-tree-retried", lambda: d.upload(tree), None),
        ("flaky", "delete-tree-retried", lambda: d.delete(), None),
        ("down", "write-gives-up", lambda: p.write(DATA), urllib3.exceptions.ProtocolError),
        ("down", "exists-gives-up", lambda: p.exists, urllib3.exceptions.ProtocolError),
        ("down", "glob-fails", lambda: list(d.glob()), urllib3.exceptions.ProtocolError),
        ("ok", "bad-type", lambda: p.write(bytearray(DATA)), TypeError),
        ("ok", "bad-keyword", lambda: p.glob(patern="*"), TypeError),
        ("ok", "too-many", lambda: p.delete(True, False), TypeError),
    ]
    return calls


def test_soak_of_every_member_with_a_fake_client(tmp_path: Any,
                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    for name in [n for n in os.environ if n.startswith("MINIO_")] + ["QUORVEX_CONFIG"]:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("MINIO_ENDPOINT", "fake.invalid:9000")
    monkeypatch.setenv("MINIO_BUCKET_NAME", "soak-bucket")
    monkeypatch.setattr(quorvex.retrying, "_sleep", lambda seconds: None)
    retry_log = logging.getLogger("quorvex.retry")
    monkeypatch.setattr(retry_log, "propagate", False)  # pytest would keep every record
    monkeypatch.setattr(retry_log, "handlers", [logging.NullHandler()])
    report = sys.stdout
    monkeypatch.setattr(sys, "stdout", NS(write=len, flush=lambda: None))  # delete's lines
    BasePath.reset_clients()
    calls = soak_calls(tmp_path)
    client = SoakPath().client

    def one_round() -> None:
        for mode, label, call, error in calls:
            FakeClient.mode = "ok" if mode in ("flaky", "down") else mode
            FakeClient.failures = {"flaky": 1, "down": 1000}.get(mode, 0)
            try:
                call()
            except Exception as exc:
                if error is None or not isinstance(exc, error):
                    raise AssertionError(f"{label}: unexpected {exc!r}") from exc
            else:
                assert error is None, f"{label} did not raise {error.__name__}"

    watched = [client, DATA, STAT, WHEN, DENIED, *LISTING, SoakPath, MinIOPath,
               *(c[2] for c in calls)]
    try:
        for _ in range(50):  # warm every cache
            one_round()
        gc.collect()
        tracemalloc.start()
        for _ in range(50):
            one_round()
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        live = extension_objects()
        before = tracemalloc.take_snapshot().filter_traces(NOT_TRACEMALLOC)
        rss_before = rss()
        started = time.monotonic()
        for _ in range(ROUNDS):
            one_round()
        elapsed = time.monotonic() - started
        gc.collect()
        growth = tracemalloc.take_snapshot().filter_traces(NOT_TRACEMALLOC).compare_to(
            before, "lineno")
        rss_after = rss()
        counts_after, live_after = [sys.getrefcount(o) for o in watched], extension_objects()
    finally:
        tracemalloc.stop()
        FakeClient.mode, FakeClient.failures = "ok", 0
        BasePath.reset_clients()
    new_blocks = sum(max(0, stat.count_diff) for stat in growth)
    new_bytes = sum(stat.size_diff for stat in growth)
    print(f"\nsoak: {ROUNDS} rounds x {len(calls)} calls = {ROUNDS * len(calls)} in "
          f"{elapsed:.1f} s; traced memory {new_bytes / 1024:+.1f} KiB in {new_blocks:+d} "
          f"blocks; RSS {rss_before / MiB:.1f} -> {rss_after / MiB:.1f} MiB", file=report)
    assert counts_after == counts
    assert live_after == live
    # Counted in blocks, not bytes: a table that CPython rebuilds (the interned strings'
    # dict, which pathlib's interning churns) moves megabytes in one block, while a leak
    # of one object per round would add ROUNDS blocks.
    assert new_blocks < 100, [str(stat) for stat in growth[:5]]
    if not under_address_sanitizer():  # its quarantine keeps freed memory resident
        assert rss_after - rss_before < 8 * MiB
