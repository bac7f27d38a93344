"""open(), the transfer checks and the task runner against an in-memory client: failures
the real servers cannot be made to produce on demand (a part refused mid-upload, a reply
that ends early), and the checks made before any request."""

from __future__ import annotations

import datetime
import hashlib
import io
import threading
from pathlib import Path, PurePosixPath
from types import SimpleNamespace
from typing import Any, Optional

import pytest
from minio.error import S3Error

import quorvex._progress
import quorvex.retrying
from quorvex._progress import Progress
from quorvex.digests import local_matches, sdk_part_size
from quorvex.errors import TransferError, UnexpectedReplyError
from quorvex.plans import Remote, run_tasks
from quorvex.plans import check_workers as _check_workers
from quorvex.sizes import PART_SIZE, READ_BUFFER
from quorvex.streams import ObjectChangedError, ObjectReader, ObjectWriter
from quorvex.transfers import _local_plan, _walk_files
from quorvex.uploads import UploadsMixin


class Reply(io.BytesIO):
    def __init__(self, data: bytes, etag: str, cut: Optional[int] = None, status: int = 200,
                 content_range: Optional[str] = None) -> None:
        super().__init__(data if cut is None else data[:cut])
        self.status = status
        self.headers = {"ETag": f'"{etag}"', "Content-Length": str(len(data))}
        if content_range is not None:
            self.headers["Content-Range"] = content_range
        self.released = False
        self.asked: list[int] = []  # the sizes each readinto asked for

    def readinto(self, buffer: Any) -> int:
        self.asked.append(len(buffer))
        return super().readinto(buffer)

    def release_conn(self) -> None:
        self.released = True


class MemoryClient:
    """The part of minio.Minio that open() uses, over a dict; ``refuse_part`` fails one part.

    A GET from an offset is answered as a server does (206 and its Content-Range), or, by
    ``ranged_reply``, as a proxy that ignores Range ("whole": 200 and every byte) or with a
    made-up Content-Range (any other text).
    """

    def __init__(self) -> None:
        self.objects: dict[str, bytes] = {}
        self.uploads: dict[str, dict[int, bytes]] = {}
        self.upload_keys: dict[str, tuple[str, datetime.datetime]] = {}
        self.listings = 0
        self.refuse_part: Optional[int] = None
        self.cut_next_reply: Optional[int] = None
        self.ranged_reply: Optional[str] = None
        self.replies: list[Reply] = []
        self.gets = 0
        self.lock = threading.Lock()

    def etag(self, key: str) -> str:
        return hashlib.md5(self.objects[key]).hexdigest()

    def stat_object(self, bucket: str, key: str) -> Any:
        if key not in self.objects:
            raise S3Error("NoSuchKey", "missing", key, "", "", None)
        return SimpleNamespace(size=len(self.objects[key]), etag=self.etag(key), metadata={})

    def get_object(self, bucket: str, key: str, offset: int = 0,
                   request_headers: Optional[dict[str, str]] = None) -> Reply:
        self.gets += 1
        cut, self.cut_next_reply = self.cut_next_reply, None
        data = self.objects[key]
        if not offset:
            reply = Reply(data, self.etag(key), cut)
        elif self.ranged_reply == "whole":
            reply = Reply(data, self.etag(key), cut)
        else:
            content_range = self.ranged_reply or f"bytes {offset}-{len(data) - 1}/{len(data)}"
            reply = Reply(data[offset:], self.etag(key), cut, 206, content_range)
        self.replies.append(reply)
        return reply

    def put_object(self, bucket: str, key: str, data: Any, length: int, **_: Any) -> None:
        self.objects[key] = data.read(length)

    def _create_multipart_upload(self, bucket: str, key: str, headers: Any) -> str:
        upload_id = f"u{len(self.upload_keys)}"
        self.uploads[upload_id] = {}
        self.upload_keys[upload_id] = (key, self.started)
        return upload_id

    started = datetime.datetime.now(datetime.timezone.utc)

    def _list_multipart_uploads(self, bucket: str, prefix: str = "",
                                key_marker: Optional[str] = None,
                                upload_id_marker: Optional[str] = None) -> Any:
        # Two uploads a page, and no Next...Marker (as SeaweedFS, and as the SDK reads them).
        self.listings += 1
        after = (key_marker or "", upload_id_marker or "")
        rows = sorted((key, upload_id, started) for upload_id, (key, started)
                      in self.upload_keys.items()
                      if upload_id in self.uploads and key.startswith(prefix)
                      and (key, upload_id) > after)
        return SimpleNamespace(is_truncated=len(rows) > 2, uploads=[
            SimpleNamespace(object_name=key, upload_id=upload_id, initiated_time=started)
            for key, upload_id, started in rows[:2]])

    def _upload_part(self, bucket: str, key: str, data: bytes, headers: Any,
                     upload_id: str, number: int) -> str:
        if number == self.refuse_part:
            raise S3Error("AccessDenied", "refused", key, "", "", None)
        with self.lock:
            self.uploads[upload_id][number] = data
        return hashlib.md5(data).hexdigest()

    def _complete_multipart_upload(self, bucket: str, key: str, upload_id: str,
                                   parts: list[Any]) -> None:
        chunks = self.uploads.pop(upload_id)
        self.objects[key] = b"".join(chunks[part.part_number] for part in parts)

    def _abort_multipart_upload(self, bucket: str, key: str, upload_id: str) -> None:
        if upload_id not in self.uploads:
            raise S3Error("NoSuchUpload", "gone", key, "", "", None)
        del self.uploads[upload_id]


def test_writer_parts_order_and_refused_part() -> None:
    client = MemoryClient()
    data = bytes(range(256)) * ((2 * PART_SIZE + 999) // 256)
    writer = ObjectWriter(client, "bkt", "k")
    for start in range(0, len(data), 3_000_001):  # writes that straddle parts
        writer.write(data[start:start + 3_000_001])
    assert "k" not in client.objects
    writer.close()
    assert client.objects["k"] == data and client.uploads == {}

    client.refuse_part = 2
    writer = ObjectWriter(client, "bkt", "refused")
    with pytest.raises(S3Error):
        with writer:
            for _ in range(4):
                writer.write(b"y" * PART_SIZE)
    assert "refused" not in client.objects and client.uploads == {}
    with pytest.raises(ValueError):
        writer.write(b"more")


def test_writer_dropped_without_close_stores_nothing() -> None:
    client = MemoryClient()
    writer = ObjectWriter(client, "bkt", "k")
    writer.write(b"z" * (PART_SIZE + 1))
    del writer
    assert client.objects == {} and client.uploads == {}


def test_reader_resumes_a_cut_reply_and_notices_a_new_version(monkeypatch: Any) -> None:
    monkeypatch.setattr(quorvex.retrying, "_sleep", lambda seconds: None)
    client = MemoryClient()
    client.objects["k"] = data = bytes(range(200)) * 50
    reader = ObjectReader(client, "bkt", "k", len(data), client.etag("k"))
    client.cut_next_reply = 123
    assert reader.readall() == data
    assert client.gets == 2  # the second GET starts where the first one ended
    reader.seek(0)
    client.objects["k"] = b"new"
    with pytest.raises(ObjectChangedError):
        reader.read(10)


def test_a_large_read_asks_the_reply_for_a_buffer_at_a_time() -> None:
    # urllib3 reads into a temporary of the size asked and copies it: a read(n) of tens of
    # MiB (pyarrow reads whole column chunks) asked at once would hold twice n.
    client = MemoryClient()
    client.objects["k"] = data = bytes(range(256)) * (3 * READ_BUFFER // 256 + 7)
    reader = io.BufferedReader(ObjectReader(client, "bkt", "k", len(data), client.etag("k")),
                               buffer_size=READ_BUFFER)
    reader.seek(5)
    assert reader.read(len(data)) == data[5:]
    assert client.gets == 1 and max(client.replies[0].asked) <= READ_BUFFER


def test_reader_checks_where_a_ranged_reply_starts(monkeypatch: Any) -> None:
    monkeypatch.setattr(quorvex.retrying, "_sleep", lambda seconds: None)
    client = MemoryClient()
    client.objects["k"] = data = bytes(range(256)) * 12_000  # more than READ_BUFFER
    etag = client.etag("k")
    client.ranged_reply = "whole"  # a proxy that ignores Range
    reader = ObjectReader(client, "bkt", "k", len(data), etag)
    for offset in (7, len(data) - 3, 1_100_000):
        reader.seek(offset)
        assert reader.read(5) == data[offset:offset + 5]
    client.cut_next_reply = 500_000  # the whole-object reply drops before the offset
    reader.seek(600_000)
    assert reader.read(4) == data[600_000:600_004]

    for made_up, error in (("bytes 0-9/10", ObjectChangedError),
                           (f"bytes 0-{len(data) - 1}/{len(data)}", UnexpectedReplyError),
                           ("bytes */123", UnexpectedReplyError)):
        client.ranged_reply = made_up
        reader = ObjectReader(client, "bkt", "k", len(data), etag)
        reader.seek(100)
        with pytest.raises(error):
            reader.read(5)
        assert client.replies[-1].released  # the refused reply's connection went back
    assert reader.seek(0) == 0 and reader.read(3) == data[:3]  # offset 0 sends no Range


class UploadsProbe(UploadsMixin):
    bucket_name = "bkt"

    def __init__(self, path: str, client: MemoryClient) -> None:
        self.path = PurePosixPath(path or "/")
        self.client = client  # type: ignore[misc]


def test_abort_uploads_follows_the_pages_and_keeps_what_is_not_below() -> None:
    client = MemoryClient()
    hour = datetime.timedelta(hours=1)
    for key in ("a", "a/x", "a/x", "a/y/z", "ab", "b", "a/q"):
        client._create_multipart_upload("bkt", key, {})
    client.upload_keys["u6"] = ("a/q", client.started + hour)  # started after "now"
    for bad, error in ((True, TypeError), ("1h", TypeError), (-1, ValueError),
                       (float("nan"), ValueError), (-hour, ValueError)):
        with pytest.raises(error):
            UploadsProbe("a", client).abort_uploads(bad)
    with pytest.raises(TypeError):
        UploadsProbe("a", client).abort_uploads(0, dry_run=1)  # type: ignore[arg-type]
    assert client.listings == 0

    would = UploadsProbe("a", client).abort_uploads(0, dry_run=True)
    assert [(u.key, u.upload_id) for u in would] == [
        ("a", "u0"), ("a/x", "u1"), ("a/x", "u2"), ("a/y/z", "u3")]
    assert len(client.uploads) == 7 and client.listings == 3  # 6 keys start "a", 2 a page
    assert UploadsProbe("a", client).abort_uploads(hour) == []
    client.started -= 2 * hour
    for upload_id in ("u0", "u1", "u2", "u3"):
        client.upload_keys[upload_id] = (client.upload_keys[upload_id][0], client.started)
    client._abort_multipart_upload("bkt", "a/x", "u2")  # ended by someone else meanwhile
    client.listings = 0
    aborted = UploadsProbe("a", client).abort_uploads(hour)
    assert [u.upload_id for u in aborted] == ["u0", "u1", "u3"]
    assert sorted(client.uploads) == ["u4", "u5", "u6"]
    assert [u.key for u in UploadsProbe("", client).abort_uploads(0)] == ["ab", "b"]


def test_local_plan_refuses_unsafe_keys_before_anything(tmp_path: Path) -> None:
    def plan(*keys: str) -> Any:
        return _local_plan([Remote(k, 1, "e") for k in keys], "p/", tmp_path)

    files, folders = plan("p/a", "p/s/b", "p/empty/")
    assert sorted(str(t.relative_to(tmp_path)) for _, t in files) == ["a", "s/b"]
    assert sorted(str(f.relative_to(tmp_path)) for f in folders) == ["empty", "s"]
    for bad in ("p/../x", "p//etc/passwd", "p/a/./b", "p/a/../../y"):
        with pytest.raises(ValueError, match="cannot be stored"):
            plan("p/fine", bad)
    with pytest.raises(ValueError, match="p/a/b"):
        plan("p/a", "p/a/b")
    assert list(tmp_path.iterdir()) == []


def test_workers_bounded_by_the_pool(monkeypatch: Any) -> None:
    monkeypatch.setenv("MINIO_ENDPOINT", "127.0.0.1:9")
    assert _check_workers(64, "minio") == 64
    for bad in (0, 65):
        with pytest.raises(ValueError, match="MINIO_MAX_CONNECTIONS"):
            _check_workers(bad, "minio")
    for wrong in (True, 2.0):
        with pytest.raises(TypeError, match="workers must be an int"):
            _check_workers(wrong, "minio")


def test_run_tasks_stops_at_the_first_failure() -> None:
    started: list[int] = []
    gate = threading.Event()

    def task(i: int) -> Any:
        def run() -> None:
            started.append(i)
            if i == 1:
                raise KeyError("boom")
            gate.wait(0.05)
        return run

    with pytest.raises(TransferError) as caught:
        run_tasks([(f"n{i}", task(i)) for i in range(50)], 2, "copy", Progress(None, 0, 50, ""))
    error = caught.value
    assert error.failed == ["n1"] and error.total == 50 and isinstance(error.__cause__, KeyError)
    assert len(started) < 10 and len(error.completed) == len(started) - 1


def test_digests_and_progress(tmp_path: Path, monkeypatch: Any) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"a" * (PART_SIZE + 1))
    size = PART_SIZE + 1
    md5 = hashlib.md5(path.read_bytes()).hexdigest()
    expected = hashlib.md5(hashlib.md5(b"a" * PART_SIZE).digest() +
                           hashlib.md5(b"a").digest()).hexdigest() + "-2"
    assert local_matches(path, size, f'"{expected}"') is True
    assert local_matches(path, size, md5) is True
    assert local_matches(path, size, "0" * 32) is False
    assert local_matches(path, size + 1, md5) is False
    assert local_matches(path, size, "abc-3") is None
    assert local_matches(path, size, "abc-3", md5=md5) is True
    # The SDK's own layout (5 MiB parts for this size) is recognised too.
    sdk = sdk_part_size(size)
    sdk_etag = hashlib.md5(b"".join(
        hashlib.md5(b"a" * min(sdk, size - start)).digest()
        for start in range(0, size, sdk))).hexdigest() + "-2"
    assert sdk == 5 * 1024 * 1024 and local_matches(path, size, sdk_etag) is True

    def no_tqdm(name: str) -> Any:
        raise ImportError(name)

    monkeypatch.setattr(quorvex._progress.importlib, "import_module", no_tqdm)
    with pytest.raises(ImportError, match=r"\[progress\]"):
        Progress(True, 1, 1, "x")
    with pytest.raises(TypeError):
        Progress("yes", 1, 1, "x")  # type: ignore[arg-type]


def test_walk_follows_links_but_not_loops(tmp_path: Path) -> None:
    (tmp_path / "real" / "in").mkdir(parents=True)
    (tmp_path / "real" / "in" / "f").write_bytes(b"f")
    (tmp_path / "top").mkdir()
    (tmp_path / "top" / "link").symlink_to(tmp_path / "real", target_is_directory=True)
    assert [name for name, _ in _walk_files(tmp_path / "top")] == ["link/in/f"]
    (tmp_path / "real" / "in" / "back").symlink_to(tmp_path / "real",
                                                   target_is_directory=True)
    with pytest.raises(ValueError, match="links back"):
        _walk_files(tmp_path / "top")
    (tmp_path / "real" / "in" / "back").unlink()
    (tmp_path / "real" / "dangling").symlink_to(tmp_path / "nowhere")
    with pytest.raises(ValueError, match="dangling"):
        _walk_files(tmp_path / "top")
