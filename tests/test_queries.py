"""Queries against an in-process client: exists, is_dir, mtime."""

from __future__ import annotations

import datetime
from types import SimpleNamespace

import pytest
from minio.error import S3Error, ServerError
from test_bucket_ops import Boom, entry, make_path, names_in_sequence, s3_error

import quorvex.minio.path as module

# -- exists -------------------------------------------------------------------------------


def test_exists_sends_one_status_request():
    p = make_path("/a/b/", raw=True, stat_object=SimpleNamespace(size=1))
    assert p.exists is True
    # Two positional arguments, the key as as_posix() gives it: no slash is stripped.
    assert p.sdk.calls == [("stat_object", ("bkt", "/a/b/"), {})]
    assert p.trace == ["client", ".stat_object", "bucket_name", "path", "stat_object()"]


class SubError(S3Error):
    pass


class CodeEqualTo:
    """A non-str error code whose own __eq__ decides."""

    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer

    __hash__ = None


@pytest.mark.parametrize("code", ["NoSuchKey", "AccessDenied", "nosuchbucket", "NoSuchBucket ",
                                  None, CodeEqualTo(0), CodeEqualTo("")])
@pytest.mark.parametrize("cls", [S3Error, SubError])
def test_exists_is_false_for_any_other_s3_error(code, cls):
    p = make_path(stat_object=s3_error(code, cls))
    assert p.exists is False


@pytest.mark.parametrize("code", ["InternalError", "ServiceUnavailable", "SlowDown",
                                  "RequestTimeout"])
def test_exists_raises_a_transient_error_again_rather_than_answer_false(code):
    # A busy or failing server says nothing about the object: the error goes on, unchanged,
    # to the retry around the member instead of being read as "missing".
    error = s3_error(code, S3Error)
    p = make_path(stat_object=error)
    with pytest.raises(S3Error) as caught:
        p.exists
    assert caught.value is error


@pytest.mark.parametrize("code", ["NoSuchBucket", CodeEqualTo(1), CodeEqualTo("yes")])
@pytest.mark.parametrize("cls", [S3Error, SubError])
def test_exists_raises_for_a_missing_bucket(code, cls):
    error = s3_error(code, cls)
    p = make_path(bucket=names_in_sequence("asked", "reported"), stat_object=error)
    with pytest.raises(FileNotFoundError) as caught:
        p.exists
    # The bucket name is read again for the message.
    assert str(caught.value) == "Bucket: 'reported' does not exist."
    assert caught.value.__context__ is error
    assert caught.value.__cause__ is None
    assert not caught.value.__suppress_context__


@pytest.mark.parametrize("failing", ["client", "bucket_name", "path"])
def test_exists_is_false_when_reading_the_request_raises_an_s3_error(failing):
    p = make_path(stat_object=SimpleNamespace())

    def fail(self):
        raise s3_error("AccessDenied")

    setattr(type(p), failing, property(fail))
    assert p.exists is False
    assert p.sdk.calls == []


@pytest.mark.parametrize("error", [Boom("x"), FileNotFoundError("x"), KeyError("NoSuchBucket"),
                                   ServerError("bad gateway", 400)])
def test_exists_lets_other_errors_through(error):
    p = make_path(stat_object=error)
    with pytest.raises(type(error)) as caught:
        p.exists
    assert caught.value is error


def test_exists_catches_what_the_module_level_s3_error_names(monkeypatch):
    class Replacement(Exception):
        code = "NoSuchKey"

    monkeypatch.setattr(module, "S3Error", Replacement)
    assert make_path(stat_object=Replacement()).exists is False
    real = s3_error("NoSuchKey")
    with pytest.raises(S3Error) as caught:
        make_path(stat_object=real).exists
    assert caught.value is real


# -- is_dir -------------------------------------------------------------------------------


@pytest.mark.parametrize("text, prefix", [
    ("/", "/"), ("", "/"), ("/a/b/", "a/b/"), ("a/b//", "a/b/"), ("a", "a/"),
    ("//a//b//", "a//b/"), (" a/ ", " a/ /"),
])
def test_is_dir_lists_one_level_below_the_directory_prefix(text, prefix):
    p = make_path(text, raw=True, list_objects=[])
    assert p.is_dir() is False
    assert p.sdk.calls == [("list_objects", ("bkt",), {"prefix": prefix, "recursive": False})]
    assert list(p.sdk.calls[0][2]) == ["prefix", "recursive"]
    assert p.sdk.calls[0][2]["recursive"] is False
    # The prefix is computed before the client is read.
    assert p.trace == ["path", "client", ".list_objects", "bucket_name", "list_objects()"]


def pulled_listing(names, pulled, error=None):
    """Yields an entry per name, noting each name as it is pulled; then raises `error`."""
    for name in names:
        pulled.append(name)
        yield entry(name)
    if error is not None:
        raise error


@pytest.mark.parametrize("names, expected, pulled", [
    ((), False, 0), (("d/", "d/"), False, 2), (("d/x", "d/y"), True, 1),
    (("d/", "d/sub/", "d/y"), True, 2),
])
def test_is_dir_stops_at_the_first_entry_other_than_the_prefix(names, expected, pulled):
    seen = []
    p = make_path("d", list_objects=pulled_listing(names, seen))
    assert p.is_dir() is expected
    assert seen == list(names[:pulled])


def test_is_dir_propagates_listing_errors():
    error = s3_error("NoSuchBucket")
    with pytest.raises(S3Error) as caught:
        make_path("d", list_objects=pulled_listing(["d/"], [], error)).is_dir()
    assert caught.value is error


# -- mtime --------------------------------------------------------------------------------

UTC_STAMP = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=datetime.timezone.utc)


@pytest.mark.parametrize("modified", [
    UTC_STAMP,
    UTC_STAMP.astimezone(datetime.timezone(datetime.timedelta(hours=-5))),
    SimpleNamespace(timestamp=lambda: 1_700_000_000.25),
])
def test_mtime_is_the_local_naive_time_of_the_second_status(modified):
    stat = SimpleNamespace(last_modified=modified)
    p = make_path(stat_object=stat)
    result = p.mtime
    assert type(result) is datetime.datetime and result.tzinfo is None
    assert result == datetime.datetime.fromtimestamp(modified.timestamp())
    assert p.sdk.calls == [("stat_object", ("bkt", "a/b.txt"), {})] * 2


@pytest.mark.parametrize("raw, code, message", [
    (False, "NoSuchKey", "'a/b.txt' does not exist."),
    (True, "NoSuchKey", "'<raw a/b.txt>' does not exist."),
    (False, "NoSuchBucket", "Bucket: 'bkt' does not exist."),
])
def test_mtime_of_a_missing_object(raw, code, message):
    p = make_path(raw=raw, stat_object=s3_error(code))
    with pytest.raises(FileNotFoundError) as caught:
        p.mtime
    assert str(caught.value) == message
    assert p.sdk.names() == ["stat_object"]


def test_mtime_of_an_object_removed_between_the_requests():
    gone = s3_error("NoSuchKey")
    replies = iter([SimpleNamespace(), gone])

    def stat(*args):
        reply = next(replies)
        if isinstance(reply, BaseException):
            raise reply
        return reply

    p = make_path(stat_object=stat)
    with pytest.raises(S3Error) as caught:
        p.mtime
    assert caught.value is gone


def test_mtime_looks_datetime_up_in_the_module(monkeypatch):
    seen = []
    fake = SimpleNamespace(datetime=SimpleNamespace(fromtimestamp=lambda t: seen.append(t) or "x"))
    monkeypatch.setattr(module, "datetime", fake)
    stat = SimpleNamespace(last_modified=SimpleNamespace(timestamp=lambda: 12.5))
    assert make_path(stat_object=stat).mtime == "x"
    assert seen == [12.5]
