"""Content against an in-process client: read, write, upload."""

from __future__ import annotations

import io
import pathlib
from types import SimpleNamespace

import pytest
from minio.error import S3Error
from fakes import RecordingClient
from test_bucket_ops import Boom, RawPath, make_path, s3_error

import quorvex.minio.path as module

# -- read ---------------------------------------------------------------------------------


def readable_path(read=b"", close=None, release_conn=None):
    """A path whose get_object answers with a response that replies, or raises, as told."""
    p = make_path(overrides={"exists": True})
    p.response = RecordingClient(read=read, close=close, release_conn=release_conn)
    p.sdk.replies["get_object"] = p.response
    return p


@pytest.mark.parametrize("data", [b"", b"\x00content", None])
def test_read_returns_the_body_and_gives_the_connection_back(data):
    p = readable_path(read=data)
    assert p.read() is data
    assert p.sdk.calls == [("get_object", ("bkt", "a/b.txt"), {})]
    assert p.trace == ["client", ".get_object", "bucket_name", "path", "get_object()"]
    assert p.response.calls == [("read", (), {}), ("close", (), {}), ("release_conn", (), {})]


@pytest.mark.parametrize("raw, shown", [(False, "a/b.txt"), (True, "<raw a/b.txt>")])
def test_read_of_a_missing_object_sends_no_get(raw, shown):
    p = make_path(raw=raw, stat_object=s3_error("NoSuchKey"))
    with pytest.raises(FileNotFoundError) as caught:
        p.read()
    assert str(caught.value) == f"'{shown}' does not exist in bucket 'bkt'."
    assert p.sdk.names() == ["stat_object"]
    # The message reads the path before the bucket name.
    assert p.trace[p.trace.index("stat_object()") + 1:] == ["path", "bucket_name"]


def test_read_propagates_a_failing_get():
    error = s3_error("AccessDenied")
    p = make_path(overrides={"exists": True}, get_object=error)
    with pytest.raises(S3Error) as caught:
        p.read()
    assert caught.value is error


class NotQuiteBytes(bytes):
    pass


@pytest.mark.parametrize("data", [bytearray(b"x"), "text", memoryview(b"x"),
                                  NotQuiteBytes(b"x"), 0])
def test_read_refuses_a_body_that_is_not_bytes(data):
    p = readable_path(read=data)
    with pytest.raises(TypeError, match=rf"\AExpected bytes, got {type(data).__name__}\Z"):
        p.read()
    assert p.response.names() == ["read", "close", "release_conn"]


@pytest.mark.parametrize("read_fails", [False, True])
@pytest.mark.parametrize("close_fails", [False, True])
@pytest.mark.parametrize("release_fails", [False, True])
def test_read_cleanup_errors_chain_as_nested_finally_blocks(read_fails, close_fails,
                                                           release_fails):
    read_error = Boom("read") if read_fails else None
    close_error = Boom("close") if close_fails else None
    release_error = Boom("release") if release_fails else None
    p = readable_path(read=read_error or b"body", close=close_error,
                      release_conn=release_error)
    expected = release_error or close_error or read_error
    if expected is None:
        assert p.read() == b"body"
    else:
        with pytest.raises(Boom) as caught:
            p.read()
        assert caught.value is expected
    # Each cleanup step runs exactly once, whatever failed before it.
    assert p.response.names() == ["read", "close", "release_conn"]
    if close_error is not None:
        assert close_error.__context__ is read_error
    if release_error is not None:
        assert release_error.__context__ is (close_error or read_error)


def test_read_type_error_becomes_the_context_of_a_close_error():
    close_error = Boom("close")
    p = readable_path(read=bytearray(b"x"), close=close_error)
    with pytest.raises(Boom) as caught:
        p.read()
    assert caught.value is close_error
    assert isinstance(close_error.__context__, TypeError)
    assert p.response.names() == ["read", "close", "release_conn"]


# -- write --------------------------------------------------------------------------------


def capture_stream(stored):
    def put_object(bucket, name, stream, **kwargs):
        stored.update(type=type(stream), position=stream.tell(), content=stream.read())
    return put_object


@pytest.mark.parametrize("data", [b"", b"\x00", b"line\n" * 1000])
def test_write_sends_the_whole_stream_from_its_start(data):
    stored: dict = {}
    p = make_path(put_object=capture_stream(stored))
    assert p.write(data) is None
    [(name, args, kwargs)] = p.sdk.calls
    assert (name, args[:2], len(args), kwargs) == ("put_object", ("bkt", "a/b.txt"), 3,
                                                   {"length": len(data)})
    assert stored == {"type": io.BytesIO, "position": 0, "content": data}
    assert p.trace == ["client", ".put_object", "bucket_name", "path", "put_object()"]


@pytest.mark.parametrize("text", ["", "/", "//"])
def test_write_to_the_root_is_refused_before_any_request(text):
    p = make_path(text, raw=True, put_object=None)
    with pytest.raises(ValueError, match=r"^write\(\): the bucket's root is not an object"):
        p.write(b"x")
    assert p.sdk.calls == []
    # The argument check still comes first.
    with pytest.raises(TypeError, match="^Argument 'data'"):
        p.write("x")


def test_a_name_that_is_not_text_goes_on_to_the_client():
    p = make_path("x", put_object=None)
    p.path = RawPath(b"/")
    p.write(b"x")
    assert [(name, args[:2]) for name, args, _ in p.sdk.calls] == [("put_object", ("bkt", b"/"))]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("data", [bytearray(b"x"), memoryview(b"x"), "x", None,
                                  BytesSubclass(b"x")])
def test_write_refuses_anything_but_bytes(data):
    p = make_path()
    expected = (f"Argument 'data' has incorrect type (expected bytes, got "
                f"{type(data).__name__})")
    with pytest.raises(TypeError) as caught:
        p.write(data)
    assert str(caught.value) == expected
    assert p.trace == []


def test_write_uses_the_module_level_io(monkeypatch):
    events = []
    seek_end = object()

    class TracingBytesIO(io.BytesIO):
        def __init__(self, data):
            events.append(("BytesIO", data))
            super().__init__(data)

        def seek(self, *args):
            events.append(("seek", *args))
            return super().seek(*[io.SEEK_END if a is seek_end else a for a in args])

        def tell(self):
            events.append(("tell",))
            return super().tell()

    monkeypatch.setattr(module, "io", SimpleNamespace(BytesIO=TracingBytesIO,
                                                      SEEK_END=seek_end))
    p = make_path(put_object=lambda *args, **kwargs: events.append(("put_object",)))
    p.write(b"abcd")
    assert events == [("BytesIO", b"abcd"), ("seek", 0, seek_end), ("tell",), ("seek", 0),
                      ("put_object",)]
    assert p.sdk.calls[0][2] == {"length": 4}


# -- upload -------------------------------------------------------------------------------


class StrSubclass(str):
    pass


@pytest.mark.parametrize("local_path, error, message", [
    (pathlib.Path("x"), TypeError,
     "Argument 'local_path' has incorrect type (expected str, got PosixPath)"),
    (StrSubclass("x"), TypeError,
     "Argument 'local_path' has incorrect type (expected str, got StrSubclass)"),
    (None, TypeError, "Argument 'local_path' has incorrect type (expected str, got NoneType)"),
    (b"", TypeError, "Argument 'local_path' has incorrect type (expected str, got bytes)"),
    ("", ValueError, "Argument 'local_path' must not be empty"),
])
def test_upload_refuses_bad_local_paths_before_any_request(local_path, error, message):
    p = make_path("dst")
    with pytest.raises(error) as caught:
        p.upload(local_path)
    assert str(caught.value) == message
    assert p.trace == []


@pytest.mark.parametrize("local, sent", [
    ("x//./f.txt", [("dst", "x/f.txt")]),
    (".", [("dst/x/f.txt", "x/f.txt")]),
    ("./x/", [("dst/f.txt", "x/f.txt")]),
])
def test_upload_sends_the_normalised_local_name(tmp_path, monkeypatch, local, sent):
    (tmp_path / "x").mkdir()
    (tmp_path / "x" / "f.txt").write_bytes(b"1")
    monkeypatch.chdir(tmp_path)
    p = make_path("dst")
    assert p.upload(local) is None
    assert p.sdk.calls == [("fput_object", ("bkt", name, file), {}) for name, file in sent]
    assert p.trace[-5:] == ["client", ".fput_object", "bucket_name", "path", "fput_object()"]


def test_upload_of_a_missing_file_lets_the_sdk_fail(tmp_path):
    missing = (tmp_path / "missing").as_posix()
    error = FileNotFoundError(missing)
    p = make_path("dst", fput_object=error)
    with pytest.raises(FileNotFoundError) as caught:
        p.upload(missing)
    assert caught.value is error
    assert p.sdk.calls == [("fput_object", ("bkt", "dst", missing), {})]


def expected_walk(local, remote):
    """What a depth-first walk in iterdir order sends, as (object name, file name)."""
    for item in local.iterdir():
        if item.is_dir():
            yield from expected_walk(item, f"{remote}/{item.name}")
        else:
            yield f"{remote}/{item.name}", item.as_posix()


def test_upload_of_a_tree_sends_each_file_depth_first(tmp_path):
    for name in ["b.txt", ".hidden", "a/1", "a/deep/2", "c/3", "z"]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(name.encode())
    (tmp_path / "empty").mkdir()
    p = make_path("dst")
    p.upload(str(tmp_path))
    expected = [("fput_object", ("bkt", name, file), {})
                for name, file in expected_walk(tmp_path, "dst")]
    assert p.sdk.calls == expected and len(expected) == 6


def test_upload_hands_each_entry_to_the_upload_of_its_child(tmp_path):
    (tmp_path / "f").write_bytes(b"1")
    (tmp_path / "sub").mkdir()
    handed = []

    class Child:
        def __init__(self, name):
            self.name = name

        def upload(self, *args, **kwargs):
            handed.append((self.name, args, kwargs))

    p = make_path("dst", overrides={"join": lambda self, name: Child(name)})
    p.upload(str(tmp_path))
    expected = [(item.name, (item.as_posix(),), {}) for item in tmp_path.iterdir()]
    assert handed == expected
    # A directory is never sent as an object.
    assert p.sdk.calls == []


def test_upload_stops_at_the_first_failing_entry(tmp_path):
    for i in range(5):
        (tmp_path / f"f{i}").write_bytes(b"1")
    error = Boom("refused")
    count = iter(range(10))

    def fput_object(*args):
        if next(count) == 1:
            raise error

    p = make_path("dst", fput_object=fput_object)
    with pytest.raises(Boom) as caught:
        p.upload(str(tmp_path))
    assert caught.value is error
    # The entry sent before the failure stays; nothing after it is sent.
    assert p.sdk.names() == ["fput_object", "fput_object"]


def test_upload_of_a_file_to_the_root_is_refused_but_a_tree_below_it_goes(tmp_path):
    (tmp_path / "f").write_bytes(b"1")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "g").write_bytes(b"2")
    p = make_path("/")
    with pytest.raises(ValueError, match=r"^upload\(\) of a file: the bucket's root"):
        p.upload((tmp_path / "f").as_posix())
    assert p.sdk.calls == []
    with pytest.raises(TypeError):
        p.upload(pathlib.Path("f"))
    # A directory's entries are stored below the root under their own names.
    p.upload(tmp_path.as_posix())
    assert sorted(args[1] for _, args, _ in p.sdk.calls) == ["f", "sub/g"]
