"""The toolbox against a recording client: what no real server shows on demand."""

from __future__ import annotations

import datetime
from typing import Any

import pytest
from minio.datatypes import Object
from minio.error import S3Error

from fakes import RecordingClient
from quorvex.base import DiskUsage
from quorvex.minio.path import MinIOPath


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
