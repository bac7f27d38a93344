"""The toolbox against a recording client: what no real server shows on demand."""

from __future__ import annotations

import datetime
from typing import Any

import pytest
from minio.commonconfig import CopySource
from minio.datatypes import Object
from minio.deleteobjects import DeleteError, DeleteObject
from minio.error import S3Error
from minio.helpers import genheaders

from fakes import RecordingClient
from quorvex.base import DiskUsage, TransferError
from quorvex.minio.path import MinIOPath
from quorvex.sizes import SINGLE_COPY_LIMIT


class FakePath(MinIOPath):
    client: Any = None
    bucket_name: Any = "bkt"


def listed(*names: str) -> Any:
    def list_objects(bucket: str, prefix: Any = None, recursive: bool = False) -> Any:
        for name in names:
            yield Object(bucket, name, size=len(name), etag='"e"',
                         last_modified=datetime.datetime(2026, 1, 2, 3, 4, 5))
    return list_objects


def at(text: str, client: RecordingClient) -> FakePath:
    path = FakePath(path=text)
    path.client = client
    return path


def test_keys_no_path_can_name_are_left_out_of_listings() -> None:
    # Kept by some stores: a leading "/", a doubled "/", "." and ".." components.
    names = ("a/ok", "a//x", "a/./y", "a/../z", "a/d/", "a/d/f", "a/.")
    client = RecordingClient(list_objects=listed(*names))
    a = at("a", client)
    assert [(d.path.as_posix(), dirs, files) for d, dirs, files in a.walk()] == \
        [("a", ["d"], ["ok"]), ("a/d", [], ["f"])]
    assert [p.path.as_posix() for p in a.rglob()] == ["a/ok", "a/d/f"]
    # du counts what is stored, folder markers aside.
    assert a.du() == DiskUsage(size=sum(map(len, names)) - len("a/d/"), count=6)
    top = at("", RecordingClient(list_objects=listed("/", "//", "top", "d/")))
    assert [(e.name, e.is_dir()) for e in top.scandir()] == [("top", False), ("d", True)]


def test_listings_send_nothing_before_the_first_item() -> None:
    client = RecordingClient(list_objects=listed("a/x"))
    a = at("a", client)
    pending = [a.walk(), a.walk(top_down=False), a.rglob("*.txt"), a.scandir(), a.iterdir()]
    assert client.calls == []
    entry = next(pending[3])
    assert (entry.etag, entry.last_modified) == \
        ("e", datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc))
    assert client.calls == [("list_objects", ("bkt",), {"prefix": "a/", "recursive": False})]


def error(code: str) -> S3Error:
    return S3Error(code, code, "/bkt/k", "r", "h", None)


@pytest.mark.parametrize("code, raised, text", [
    ("NoSuchKey", FileNotFoundError, "'k' does not exist in bucket 'bkt'."),
    ("NoSuchBucket", FileNotFoundError, "Bucket: 'bkt' does not exist."),
    ("AccessDenied", S3Error, "AccessDenied"),   # a refusal is not reported as "missing"
])
def test_stat_errors(code: str, raised: type, text: str) -> None:
    client = RecordingClient(stat_object=error(code))
    with pytest.raises(raised, match=text):
        at("k", client).stat()
    assert client.names() == ["stat_object"]


def test_unlink_of_a_missing_bucket_is_not_missing_ok() -> None:
    client = RecordingClient(remove_object=error("NoSuchBucket"))
    with pytest.raises(FileNotFoundError, match="Bucket: 'bkt'"):
        at("k", client).unlink(missing_ok=True)


def stats(sizes: dict[str, int]) -> Any:
    """A stat_object answering for ``sizes`` (a CSV with ``md5`` metadata), else NoSuchKey."""
    def stat_object(bucket: str, key: str) -> Object:
        if key not in sizes:
            raise error("NoSuchKey")
        return Object(bucket, key, size=sizes[key], etag='"e-2"', content_type="text/csv",
                      metadata={"Content-Type": "text/csv", "X-Amz-Meta-Md5": "0f" * 16,
                                "ETag": '"e-2"'})
    return stat_object


def test_copies_in_parts_keep_the_content_type_and_metadata(
        monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("MINIO_ENDPOINT", "127.0.0.1:9")
    huge = SINGLE_COPY_LIMIT + 1
    client = RecordingClient(stat_object=stats({"big": huge}), bucket_exists=True)
    at("big", client).copy("copy")
    [(_, args, kwargs)] = [call for call in client.calls if call[0] == "copy_object"]
    assert args[:2] == ("bkt", "copy")
    # The SDK turns these into the headers of the multipart upload it starts.
    assert genheaders(kwargs["metadata"], None, None, None, False) == \
        {"Content-Type": "text/csv", "X-Amz-Meta-Md5": "0f" * 16}
    # A copy in one request keeps the metadata by itself.
    client = RecordingClient(stat_object=stats({}), list_objects=listed("t/a"))
    at("t", client).copy("u")
    assert [call[2] for call in client.calls if call[0] == "copy_object"] == [{}]


def test_a_move_removes_only_what_was_copied_and_reports_refusals(
        monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("MINIO_ENDPOINT", "127.0.0.1:9")
    removed: list[list[str]] = []

    def remove_objects(bucket: str, doomed: list[DeleteObject]) -> Any:
        names = [item.name for item in doomed]
        removed.append(names)
        yield from (DeleteError("AccessDenied", "denied", name, None) for name in names
                    if name.endswith("x"))

    def copy_object(bucket: str, key: str, source: CopySource) -> None:
        if source.object_name == "a/y":
            raise error("AccessDenied")

    client = RecordingClient(stat_object=stats({}), list_objects=listed("a/x", "a/y", "a/z"),
                             copy_object=copy_object, remove_objects=remove_objects)
    with pytest.raises(TransferError) as caught:
        at("a", client).move("b", workers=1)
    assert caught.value.failed == ["a/y"]
    assert removed == [caught.value.completed] and "a/y" not in removed[0]
    # Every copy succeeds; the store refuses to remove one source.
    client.replies["copy_object"] = None
    removed.clear()
    with pytest.raises(TransferError, match="'a/x' \\(AccessDenied: denied\\)") as caught:
        at("a", client).move("b", workers=2)
    assert sorted(removed[0]) == ["a/x", "a/y", "a/z"]
    assert caught.value.failed == ["a/x"] and isinstance(caught.value, OSError)


def test_a_folder_marker_moved_onto_the_root(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("MINIO_ENDPOINT", "127.0.0.1:9")

    def marker_and(size: int) -> Any:
        return lambda bucket, prefix=None, recursive=False: iter(
            [Object(bucket, "m/", size=size, etag='"e"'),
             Object(bucket, "m/a", size=1, etag='"e"')])

    client = RecordingClient(stat_object=stats({}), list_objects=marker_and(0),
                             remove_objects=lambda bucket, doomed: iter([]))
    at("m", client).move("")
    assert [call[1][:2] for call in client.calls if call[0] == "copy_object"] == [("bkt", "a")]
    [(_, (_, doomed), _)] = [call for call in client.calls if call[0] == "remove_objects"]
    assert sorted(item.name for item in doomed) == ["m/", "m/a"]
    # A "marker" holding bytes has nowhere to go: refused before anything is copied.
    client = RecordingClient(stat_object=stats({}), list_objects=marker_and(5))
    with pytest.raises(ValueError, match="onto the bucket's root"):
        at("m", client).copy("")
    assert "copy_object" not in client.names()


def test_download_plan_of_folder_markers(tmp_path: Any) -> None:
    from quorvex.plans import Remote
    from quorvex.transfers import _local_plan

    keys = ("p/", "p/a/", "p/b", "p/b/", "p/b/c/", "p/d/e/", "p/d/f")
    plan, folders = _local_plan([Remote(k, 0, "e") for k in keys], "p/", tmp_path)
    # Markers make only folders; one where a file goes yields to the file.
    assert sorted(str(t.relative_to(tmp_path)) for _, t in plan) == ["b", "d/f"]
    assert [str(f.relative_to(tmp_path)) for f in folders] == ["d", "a", "d/e"]
    with pytest.raises(ValueError, match="as a file and as a folder"):
        _local_plan([Remote(k, 0, "e") for k in ("p/b", "p/b/x")], "p/", tmp_path)
