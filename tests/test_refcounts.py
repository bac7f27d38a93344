"""Reference-count hygiene: every member and error path, called many times, leaves the
counts of self, the client, the arguments and the results as they were, allocates no
lasting memory and leaves no function or generator objects of the extension behind."""

from __future__ import annotations

import datetime
import gc
import sys
from types import SimpleNamespace as NS

import pytest
from minio.error import S3Error

import quorvex.minio.path as module
import standins
from fakes import RecordingClient

Probe = standins.probe_class(module)
F = {name: standins.member(module.MinIOPath, name) for name in
     ["bucket_name", "bucket_exists", "create_bucket", "delete_bucket", "exists", "is_dir",
      "read", "write", "upload", "delete", "mkdir", "glob", "mtime", "__str__", "__hash__"]}
N = 2000

# Objects made at run time, so that no constant elsewhere shares their counts.
BUCKET = "".join(["bu", "cket"])
DATA = bytes(bytearray(b"payload" * 3))
WHEN = datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)


def response(data):
    return NS(read=lambda: data, close=lambda: None, release_conn=lambda: None)


def raiser(factory):
    def reply(*args, **kwargs):
        raise factory()
    return reply


def s3_error(code):
    return raiser(lambda: S3Error(None, code, "message", "resource", "request", "host"))


LISTING = [NS(object_name=name) for name in ["d/", "d/a", "d/b"]]
STAT = NS(last_modified=WHEN)
FAILURE = NS(name="d/x", message="denied")


@pytest.fixture(autouse=True)
def world(monkeypatch):
    monkeypatch.setattr(module, "Local", standins.FixedLocal)
    monkeypatch.setattr(module, "EnvConfig", standins.FixedConfig)
    monkeypatch.setattr(standins.FixedConfig, "value", BUCKET)
    monkeypatch.setattr(sys, "stdout", NS(write=len, flush=lambda: None))


def live_objects() -> int:
    return sum(1 for o in gc.get_objects()
               if type(o).__module__ == module.__name__ and not isinstance(o, type))


def tree(tmp_path):
    (tmp_path / "one").write_bytes(b"1")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "two").write_bytes(b"2")
    return str(tmp_path)


def at(*args, **kwargs):
    """Arguments after self: a factory of (args, kwargs) given the probe and a tmp dir."""
    return lambda p, tmp: ((p, *args), kwargs)


def upload_arg(sub):
    return lambda p, tmp: ((p, tree(tmp) + sub), {})


# name -> (member, arguments, client replies, expected error)
CASES = {
    "bucket_name": ("bucket_name", at(), {}, None),
    "str": ("__str__", at(), {}, None),
    "hash": ("__hash__", at(), {}, None),
    "bucket_exists": ("bucket_exists", at(), {"bucket_exists": True}, None),
    "create_bucket": ("create_bucket", at(), {"bucket_exists": False}, None),
    "delete_bucket": ("delete_bucket", at(), {"bucket_exists": True}, None),
    "exists": ("exists", at(), {"stat_object": STAT}, None),
    "exists-no-key": ("exists", at(), {"stat_object": s3_error("NoSuchKey")}, None),
    "exists-no-bucket": ("exists", at(), {"stat_object": s3_error("NoSuchBucket")},
                         FileNotFoundError),
    "exists-other-error": ("exists", at(), {"stat_object": raiser(KeyError)}, KeyError),
    "is_dir": ("is_dir", at(), {"list_objects": lambda *a, **k: iter(LISTING)}, None),
    "read": ("read", at(), {"stat_object": STAT, "get_object": response(DATA)}, None),
    "read-missing": ("read", at(), {"stat_object": s3_error("NoSuchKey")}, FileNotFoundError),
    "read-wrong-type": ("read", at(), {"stat_object": STAT, "get_object": response("text")},
                        TypeError),
    "write": ("write", at(DATA), {}, None),
    "upload-file": ("upload", upload_arg("/one"), {}, None),
    "upload-tree": ("upload", upload_arg(""), {}, None),
    "upload-empty": ("upload", at(""), {}, ValueError),
    "delete-tree": ("delete", at(), {"list_objects": lambda *a, **k: iter(LISTING),
                                     "remove_objects": lambda *a: iter([FAILURE])},
                    None),
    "delete-object": ("delete", at(False), {}, None),
    "mkdir": ("mkdir", at(), {}, NotImplementedError),
    "mtime": ("mtime", at(), {"stat_object": STAT}, None),
    "mtime-missing": ("mtime", at(), {"stat_object": s3_error("NoSuchKey")}, FileNotFoundError),
    "glob": ("glob", at("d/*"), {"list_objects": lambda *a, **k: iter(LISTING)}, None),
    "too-many": ("write", at(DATA, DATA), {}, TypeError),
    "no-self": ("delete", lambda p, tmp: ((), {"recursive": DATA}), {}, TypeError),
    "wrong-type": ("write", at(bytearray(DATA)), {}, TypeError),
    "unexpected-keyword": ("read", at(data=DATA), {}, TypeError),
    "multiple-values": ("write", at(DATA, data=DATA), {}, TypeError),
    "name-error": ("write", at(DATA), {}, NameError),  # with module.io deleted
}


def make_call(case, tmp_path):
    member, arguments, replies, error = CASES[case]
    client = RecordingClient(**replies)
    p = Probe("d", client)
    args, kwargs = arguments(p, tmp_path)
    func = F[member]

    def call():
        try:
            result = func(*args, **kwargs)
            if member == "glob":
                result = list(result)
        except Exception as exc:
            if error is None or type(exc) is not error:
                raise
        else:
            assert error is None, f"{case} did not raise {error.__name__}"
        client.calls.clear()

    replied = [v for v in replies.values() if not callable(v) and not isinstance(v, bool)]
    return call, [p, client, *args, *kwargs.values(), *replied]


@pytest.mark.parametrize("case", CASES)
def test_no_leaks(case, tmp_path, monkeypatch) -> None:
    if case == "name-error":
        monkeypatch.delattr(module, "io")
    call, watched = make_call(case, tmp_path)
    watched += [BUCKET, DATA, WHEN, STAT, FAILURE, *LISTING]
    for _ in range(20):  # warm caches: interned names, method caches, type versions
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    live = live_objects()
    for _ in range(N):
        call()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert live_objects() == live
    if blocks:  # 0 under PYTHONMALLOC=malloc, where blocks are not counted
        assert sys.getallocatedblocks() - blocks < N // 10
