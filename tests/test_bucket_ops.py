"""Bucket operations against an in-process client: bucket_exists, create_bucket,
delete_bucket.

This module also holds the harness the other member tests import: a subclass of MinIOPath
whose client, bucket name and path are properties noting each read in a shared trace, and
a client that notes each attribute taken from it and each call, so that the order of reads
and requests can be checked.
"""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

import pytest
from fakes import RecordingClient
from minio.error import S3Error

from quorvex.minio.path import MinIOPath

# -- harness ------------------------------------------------------------------------------


class TracingClient(RecordingClient):
    """Notes ".name" when an attribute is taken and "name()" when it is called."""

    def __init__(self, trace: list[str], **replies: Any) -> None:
        super().__init__(**replies)
        self.trace = trace

    def __getattr__(self, name: str) -> Any:
        method = super().__getattr__(name)
        self.trace.append("." + name)

        def traced(*args: Any, **kwargs: Any) -> Any:
            self.trace.append(name + "()")
            return method(*args, **kwargs)

        return traced


class RawPath:
    """Stands for self.path when its text must not be normalised: as_posix() gives the text
    as it is, while str() marks it, to tell f"{self.path}" from self.path.as_posix()."""

    def __init__(self, text: str) -> None:
        self.text = text

    def as_posix(self) -> str:
        return self.text

    def __str__(self) -> str:
        return f"<raw {self.text}>"


def make_path(text: str = "a/b.txt", *, bucket: Any = "bkt", raw: bool = False,
              overrides: dict[str, Any] | None = None, **replies: Any) -> Any:
    """A MinIOPath whose client replies as `replies` says (see RecordingClient).

    `bucket` is the bucket name, or a callable giving the name at each read.  The trace is
    `p.trace`, the client `p.sdk`.  Children made by join share both.
    """
    trace: list[str] = []
    sdk = TracingClient(trace, **replies)

    class FakePath(MinIOPath):
        @property
        def client(self) -> Any:
            trace.append("client")
            return sdk

        @property
        def bucket_name(self) -> Any:
            trace.append("bucket_name")
            return bucket() if callable(bucket) else bucket

        @property
        def path(self) -> Any:
            trace.append("path")
            return self.__dict__["path"]

        @path.setter
        def path(self, value: Any) -> None:
            self.__dict__["path"] = value

    FakePath.trace = trace
    FakePath.sdk = sdk
    for name, value in (overrides or {}).items():
        setattr(FakePath, name, value)
    made = FakePath(text)
    if raw:
        made.path = RawPath(text)
    return made


def entry(name: Any) -> SimpleNamespace:
    """A listing entry as list_objects yields it."""
    return SimpleNamespace(object_name=name)


def s3_error(code: Any, cls: type = S3Error) -> S3Error:
    return cls(None, code, "message", "/bkt/key", "req", "host")


def names_in_sequence(*values: str) -> Any:
    """A bucket name that differs at each read, to tell which read a request used."""
    it = iter(values)
    return lambda: next(it)


class Boom(Exception):
    """An error that nothing retries or catches."""


# -- bucket_exists ------------------------------------------------------------------------


@pytest.mark.parametrize("reply", [True, False, None, 0, "yes", object()])
def test_bucket_exists_returns_the_client_answer_unchanged(reply):
    p = make_path(bucket_exists=reply)
    assert p.bucket_exists is reply
    assert p.sdk.calls == [("bucket_exists", ("bkt",), {})]
    assert p.trace == ["client", ".bucket_exists", "bucket_name", "bucket_exists()"]


# -- create_bucket / delete_bucket -------------------------------------------------------

CHANGES = [("create_bucket", "make_bucket", False), ("delete_bucket", "remove_bucket", True)]


@pytest.mark.parametrize("member, request_name, wanted", CHANGES)
@pytest.mark.parametrize("present", [False, None, 0, "", [], True, 1, "yes", [0]])
def test_bucket_change_is_sent_only_when_needed(member, request_name, wanted, present):
    p = make_path(bucket=names_in_sequence("first", "second"), bucket_exists=present)
    assert getattr(p, member)() is None
    expected = [("bucket_exists", ("first",), {})]
    trace = ["client", ".bucket_exists", "bucket_name", "bucket_exists()"]
    if bool(present) is wanted:
        # The client and the bucket name are read again for the second request.
        expected.append((request_name, ("second",), {}))
        trace += ["client", "." + request_name, "bucket_name", request_name + "()"]
    # No listing or object removal: a bucket with objects is left to the server to refuse.
    assert p.sdk.calls == expected
    assert p.trace == trace


def test_create_bucket_twice_creates_once():
    made: list[str] = []
    p = make_path(bucket_exists=lambda name: name in made, make_bucket=made.append)
    p.create_bucket()
    p.create_bucket()
    assert made == ["bkt"]


class Untruthful:
    def __bool__(self):
        raise Boom("no truth")


@pytest.mark.parametrize("member, request_name, wanted", CHANGES)
def test_bucket_change_errors_propagate(member, request_name, wanted):
    error = s3_error("AccessDenied")
    p = make_path(bucket_exists=Untruthful())
    with pytest.raises(Boom):
        getattr(p, member)()
    assert p.sdk.names() == ["bucket_exists"]
    for replies in [{"bucket_exists": error}, {"bucket_exists": wanted, request_name: error}]:
        with pytest.raises(S3Error) as caught:
            getattr(make_path(**replies), member)()
        assert caught.value is error
