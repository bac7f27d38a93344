"""Transfers and streams against moto and SeaweedFS: open(), download_to, upload_from,
copy and move.

The paths talk to the server through the recording FaultProxy of test_faults, with a
client that does not retry inside urllib3, so the tests can count requests and cut or
refuse chosen ones.
"""

from __future__ import annotations

import hashlib
import io
import os
import subprocess
from pathlib import Path
from typing import Any, Iterator, Optional

import minio
import pytest
from minio.deleteobjects import DeleteError

import quorvex.copying
import quorvex.engine
import quorvex.plans
import quorvex.retrying
from quorvex.base import BasePath, TransferError
from quorvex.digests import MD5_METADATA, metadata_md5
from quorvex.minio.embedded import section_variable
from quorvex.minio.path import MinIOPath
from quorvex.streams import PART_SIZE, ObjectChangedError
from test_faults import BUSY, FaultProxy, QuickPath

TREE = {
    "a.txt": b"alpha\n",
    ".hidden": b"dot file",
    "sub/b.bin": bytes(range(256)) * 7,
    "sub/.deep/c": b"",
    "sub/two words/d e.txt": "unicode \u00e9\u00e8".encode(),
}


@pytest.fixture
def proxied(configured: Any, monkeypatch: pytest.MonkeyPatch) -> Iterator[tuple[Any, FaultProxy]]:
    """The test's bucket, created, reached through a recording proxy."""
    configured.make_bucket()
    host, port = configured.endpoint.rsplit(":", 1)
    proxy = FaultProxy((host, int(port))).up()
    monkeypatch.setenv("MINIO_ENDPOINT", proxy.endpoint)
    monkeypatch.setenv("QUORVEX_RETRY_DELAY", "0.01")
    monkeypatch.setenv("QUORVEX_RETRY_MAX_DELAY", "0.02")
    monkeypatch.setattr(quorvex.retrying, "_sleep", lambda seconds: None)
    BasePath.reset_clients()
    try:
        yield configured, proxy
    finally:
        proxy.rule = None
        proxy.down()
        BasePath.reset_clients()


def make_tree(root: Path, files: dict[str, bytes]) -> Path:
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return root


def read_tree(root: Path) -> dict[str, bytes]:
    return {path.relative_to(root).as_posix(): path.read_bytes()
            for path in root.rglob("*") if path.is_file()}


def stored(s3: Any, prefix: str = "") -> dict[str, bytes]:
    found = {}
    for item in s3.client.list_objects(s3.bucket, prefix=prefix or None, recursive=True):
        response = s3.client.get_object(s3.bucket, item.object_name)
        try:
            found[item.object_name] = response.read()
        finally:
            response.close()
            response.release_conn()
    return found


def count(proxy: FaultProxy, method: str) -> int:
    return sum(1 for seen, _ in proxy.requests if seen == method)


def content_gets(proxy: FaultProxy) -> list[str]:
    """The GETs of object content (listings and other queries carry a query string)."""
    return [t for m, t in proxy.requests if m == "GET" and "?" not in t]


def test_tree_round_trip_matches_upload_and_resumes(proxied: Any, tmp_path: Path) -> None:
    s3, proxy = proxied
    files = dict(TREE, **{"big/part.bin": os.urandom(PART_SIZE + 12345)})
    source = make_tree(tmp_path / "src", files)
    (source / "empty" / "inner").mkdir(parents=True)

    QuickPath(path="by-upload").upload(str(source))
    QuickPath(path="tree").upload_from(source, workers=4)
    assert stored(s3, "tree/") == {f"tree/{k}": v for k, v in files.items()}
    assert {k.replace("tree/", "by-upload/", 1) for k in stored(s3, "tree/")} == \
        set(stored(s3, "by-upload/"))

    QuickPath(path="tree").download_to(tmp_path / "dst", workers=3)
    assert read_tree(tmp_path / "dst") == files

    # Nothing changed: one listing, no PUT and no GET of content.
    proxy.requests.clear()
    QuickPath(path="tree").upload_from(str(source), skip_unchanged=True)
    QuickPath(path="tree").download_to(tmp_path / "dst", skip_unchanged=True)
    assert count(proxy, "PUT") == 0 and count(proxy, "POST") == 0
    assert content_gets(proxy) == []

    # One file changed on each side: exactly that file moves.
    (source / "a.txt").write_bytes(b"changed")
    (tmp_path / "dst" / "sub" / "b.bin").write_bytes(b"local edit")
    proxy.requests.clear()
    QuickPath(path="tree").upload_from(source, skip_unchanged=True)
    QuickPath(path="tree").download_to(tmp_path / "dst", skip_unchanged=True)
    puts = [t for m, t in proxy.requests if m == "PUT"]
    assert len(puts) == 1 and puts[0].split("?")[0].endswith("/tree/a.txt")
    assert read_tree(tmp_path / "dst") == dict(files, **{"a.txt": b"changed"})


def test_single_object_download_into_a_directory(proxied: Any, tmp_path: Path) -> None:
    QuickPath(path="x/report.csv").write(b"a,b\n")
    seen: list[tuple[int, int]] = []
    QuickPath(path="x/report.csv").download_to(tmp_path, progress=lambda d, t: seen.append((d, t)))
    assert (tmp_path / "report.csv").read_bytes() == b"a,b\n"
    assert seen[-1] == (4, 4)
    with pytest.raises(FileNotFoundError):
        QuickPath(path="x/missing").download_to(tmp_path / "m")


def test_download_cut_part_way_leaves_no_partial_file(proxied: Any, tmp_path: Path) -> None:
    s3, proxy = proxied
    data = {f"d/f{i}.bin": os.urandom(50_000) for i in range(6)}
    for name, body in data.items():
        s3.client.put_object(s3.bucket, name, io.BytesIO(body), len(body))
    proxy.rule = lambda method, target: (("truncate", 1000) if method == "GET" and
                                         target.split("?")[0].endswith("/d/f3.bin") else None)
    target = tmp_path / "out"
    with pytest.raises(TransferError) as caught:
        QuickPath(path="d").download_to(target, workers=2)
    error = caught.value
    assert error.failed == ["d/f3.bin"] and error.total == 6
    assert "d/f3.bin" in str(error) and f"{len(error.completed)} of 6" in str(error)
    assert error.__cause__ is not None
    assert not (target / "f3.bin").exists()
    assert [p.name for p in target.iterdir() if p.name.startswith(".")] == []

    proxy.rule = None
    QuickPath(path="d").download_to(target, workers=2)
    assert read_tree(target) == {k[2:]: v for k, v in data.items()}


# -- what download_to writes, and what is checked before anything changes ----------------

def temp_names(root: Path) -> list[str]:
    return [p.name for p in root.rglob("*") if p.name.endswith(".part")]


def test_download_writes_nowhere_it_must_not(configured: Any, tmp_path: Path) -> None:
    s3 = configured
    s3.make_bucket()
    for key in ("t/", "t/empty/", "t/sub/"):  # markers first: SeaweedFS refuses them after
        s3.client.put_object(s3.bucket, key, io.BytesIO(b""), 0)
    long_name = "n" * 250
    for key in ("t/top", "t/sub/x", f"t/{long_name}"):
        MinIOPath(path=key).write(key.encode())
    outside, root = tmp_path / "outside", tmp_path / "root"
    outside.mkdir()
    root.mkdir()
    (root / "sub").symlink_to(outside)
    with pytest.raises(ValueError, match="sub"):
        MinIOPath(path="t").download_to(root)
    assert list(outside.iterdir()) == [] and [p.name for p in root.iterdir()] == ["sub"]

    # A link inside the target is followed; one on the file itself is replaced.
    (root / "sub").unlink()
    (root / "real").mkdir()
    (root / "sub").symlink_to(root / "real")
    (root / "top").symlink_to(outside / "kept")
    (outside / "kept").write_bytes(b"kept")
    dead = _ended_pid()
    leftovers = [root / f".quorvex-{dead}-{'a' * 16}.part",
                 root / "real" / f".quorvex-{dead}-{'b' * 16}.part"]
    live = root / f".quorvex-{os.getpid()}-{'c' * 16}.part"
    for leftover in [*leftovers, live]:
        leftover.write_bytes(b"half")
    MinIOPath(path="t").download_to(root)
    assert (root / "real" / "x").read_bytes() == b"t/sub/x"
    assert (root / long_name).read_bytes() == f"t/{long_name}".encode()
    assert not (root / "top").is_symlink() and (outside / "kept").read_bytes() == b"kept"
    assert (root / "empty").is_dir() and not any((root / "empty").iterdir())
    assert not any(p.exists() for p in leftovers) and live.exists()
    (tmp_path / "by-open").write_bytes(b"")  # the mode open() gives a new file
    mode = (tmp_path / "by-open").stat().st_mode
    assert {(root / name).stat().st_mode for name in ("top", long_name)} == {mode}

    MinIOPath(path="back").upload_from(root)  # the live download's file is not sent
    assert not [k for k in stored(s3, "back/") if ".quorvex-" in k]


def _ended_pid() -> int:
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


def test_a_raising_progress_leaves_no_temporary_file(configured: Any, tmp_path: Path) -> None:
    configured.make_bucket()
    for key in ("p/a", "p/b"):
        MinIOPath(path=key).write(b"x" * 100)

    def refuse(done: int, total: int) -> None:
        raise KeyError("stop")

    with pytest.raises(KeyError, match="stop"):
        MinIOPath(path="p/a").download_to(tmp_path, progress=refuse)
    with pytest.raises(TransferError) as caught:
        MinIOPath(path="p").download_to(tmp_path / "tree", progress=refuse)
    assert isinstance(caught.value.__cause__, KeyError)
    assert temp_names(tmp_path) == [] and not (tmp_path / "a").exists()
    (tmp_path / "f").write_bytes(b"y" * 100)
    with pytest.raises(KeyError, match="stop"):
        MinIOPath(path="q/a").upload_from(tmp_path / "f", progress=refuse)
    # Stored whole (the engine reports bytes once they are sent) or not at all.
    assert not MinIOPath(path="q/a").exists or MinIOPath(path="q/a").read() == b"y" * 100


def test_arguments_and_names_are_checked_before_any_change(
        configured: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    s3 = configured
    s3.make_bucket()
    MinIOPath(path="d/x").write(b"x")
    target = tmp_path / "new"
    with pytest.raises(TypeError, match="progress"):
        MinIOPath(path="d").download_to(target, progress=5)
    with pytest.raises(TypeError, match="skip_unchanged"):
        MinIOPath(path="d").download_to(target, skip_unchanged="no")
    assert not target.exists()

    source = make_tree(tmp_path / "src", {f"f{i}": b"data" for i in range(5)})
    with open(os.path.join(os.fsencode(source), b"\xff.bin"), "wb") as odd:
        odd.write(b"not text")
    with pytest.raises(ValueError, match="UTF-8"):
        MinIOPath(path="u").upload_from(source, workers=1)
    with pytest.raises(TypeError, match="progress"):
        MinIOPath(path="u").upload_from(source / "f0", progress=5)
    assert stored(s3, "u/") == {}

    missing = s3.new_bucket_name("missing")
    monkeypatch.setenv("MINIO_BUCKET_NAME", missing)
    BasePath.reset_clients()
    for call in (lambda: MinIOPath(path="d/x").download_to(target),
                 lambda: MinIOPath(path="d").download_to(target),
                 lambda: MinIOPath(path="d/x").upload_from(source / "f0")):
        with pytest.raises(FileNotFoundError, match=f"Bucket: '{missing}' does not exist"):
            call()
    assert not target.exists()


def test_skip_unchanged_knows_what_every_door_stored(configured: Any, tmp_path: Path,
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    configured.make_bucket()
    data = os.urandom(12 * 1024 * 1024)  # in parts by every door, cut differently
    source = make_tree(tmp_path / "src", {"f.bin": data})
    MinIOPath(path="upload/f.bin").upload(str(source / "f.bin"))
    MinIOPath(path="write/f.bin").write(data)
    MinIOPath(path="upload_from").upload_from(source)
    with MinIOPath(path="open/f.bin").open("wb") as stream:
        stream.write(data)
    sent: list[str] = []
    original = minio.Minio._url_open

    def counting(self: Any, method: str, *args: Any, **kwargs: Any) -> Any:
        if method in ("PUT", "POST"):
            sent.append(f"{method} {kwargs.get('object_name')}")
        return original(self, method, *args, **kwargs)

    monkeypatch.setattr(minio.Minio, "_url_open", counting)
    for door in ("upload", "write", "upload_from", "open"):
        MinIOPath(path=door).upload_from(source, skip_unchanged=True)
        MinIOPath(path=f"{door}/f.bin").upload_from(source / "f.bin", skip_unchanged=True)
    assert sent == []


def test_writer_stores_nothing_on_error(proxied: Any) -> None:
    s3, proxy = proxied
    for size in (10, PART_SIZE + 10):  # one PUT, and a multipart upload with a part sent
        with pytest.raises(RuntimeError):
            with QuickPath(path="w/obj").open("wb") as stream:
                stream.write(b"x" * size)
                raise RuntimeError("stop")
        assert not QuickPath(path="w/obj").exists
    assert count(proxy, "DELETE") == 1  # the abort of the multipart upload
    assert s3.client._list_multipart_uploads(s3.bucket).uploads == []

    with QuickPath(path="w/text.txt").open("w", newline="\n") as text:
        text.write("line one\nline two\n")
    assert QuickPath(path="w/text.txt").read() == b"line one\nline two\n"


def test_reader_streams_seeks_and_refuses_a_replaced_object(proxied: Any) -> None:
    s3, proxy = proxied
    lines = [f"line {i}\n".encode() for i in range(2000)]
    QuickPath(path="r/log.txt").write(b"".join(lines))
    with QuickPath(path="r/log.txt").open("rb", buffering=4096) as stream:
        assert stream.readline() == lines[0]
        stream.seek(-len(lines[-1]), io.SEEK_END)
        assert stream.read() == lines[-1]
        stream.seek(len(lines[0]))
        assert list(stream) == lines[1:]
    with QuickPath(path="r/log.txt").open("r") as text:
        assert text.readline() == "line 0\n"

    stream = QuickPath(path="r/log.txt").open("rb", buffering=1024)
    assert stream.read(10) == b"".join(lines)[:10]
    QuickPath(path="r/log.txt").write(b"another version " * 1000)
    with pytest.raises(ObjectChangedError):
        stream.seek(5000)
        stream.read(100)
    stream.close()
    with pytest.raises(FileNotFoundError):
        QuickPath(path="r/none").open()


def test_copy_and_move_are_server_side_and_move_keeps_what_failed(proxied: Any) -> None:
    s3, proxy = proxied
    data = {f"m/k{i}": f"value {i}".encode() for i in range(5)}
    for name, body in data.items():
        s3.client.put_object(s3.bucket, name, io.BytesIO(body), len(body))

    proxy.requests.clear()
    copied = QuickPath(path="m").copy(QuickPath(path="c"))
    assert copied == QuickPath(path="c")
    assert content_gets(proxy) == [] and count(proxy, "PUT") == len(data)
    assert stored(s3, "c/") == {k.replace("m/", "c/"): v for k, v in data.items()}
    assert QuickPath(path="c/k1").copy("single").read() == b"value 1"

    proxy.rule = lambda method, target: BUSY if method == "PUT" and \
        target.split("?")[0].endswith("/moved/k2") else None
    with pytest.raises(TransferError) as caught:
        QuickPath(path="m").move("moved", workers=2)
    assert caught.value.failed == ["m/k2"]
    left = stored(s3, "m/")
    assert left["m/k2"] == data["m/k2"]
    for name in caught.value.completed:
        assert name not in left and stored(s3, "moved/")[name.replace("m/", "moved/")]
    with pytest.raises(ValueError):
        QuickPath(path="m").move("m")


def test_single_file_transfers_with_a_bar(proxied: Any, tmp_path: Path,
                                          capsys: pytest.CaptureFixture[str]) -> None:
    s3, proxy = proxied
    data = os.urandom(2 * PART_SIZE + 1)
    (tmp_path / "big.bin").write_bytes(data)
    QuickPath(path="one/big.bin").upload_from(str(tmp_path / "big.bin"), progress=True)
    assert "files 1/1" in capsys.readouterr().err
    assert count(proxy, "POST") == 2  # the multipart upload: created, then completed
    proxy.requests.clear()
    QuickPath(path="one/big.bin").upload_from(tmp_path / "big.bin", skip_unchanged=True)
    assert count(proxy, "PUT") == 0

    moved = QuickPath(path="one/big.bin").move(QuickPath(path="two/big.bin"))
    assert not QuickPath(path="one/big.bin").exists
    moved.download_to(tmp_path / "back.bin")
    assert (tmp_path / "back.bin").read_bytes() == data
    with pytest.raises(ValueError, match="MINIO_MAX_CONNECTIONS"):
        moved.download_to(tmp_path / "again.bin", workers=0)


def test_a_transient_failure_is_retried_for_that_file_alone(proxied: Any,
                                                             tmp_path: Path) -> None:
    s3, proxy = proxied
    source = make_tree(tmp_path / "src", {f"f{i}": bytes([i]) * 100 for i in range(8)})
    dropped: list[str] = []

    def drop_once(method: str, target: str) -> Any:
        if method == "PUT" and target.split("?")[0].endswith("/r/f5") and not dropped:
            dropped.append(target)
            return BUSY
        return None

    proxy.rule = drop_once
    QuickPath(path="r").upload_from(source, workers=4)
    puts = [t.split("?")[0].rsplit("/", 1)[1] for m, t in proxy.requests if m == "PUT"]
    # The proxy answered f5's first PUT with 503; its retry, and only it, went through.
    assert dropped and sorted(puts) == [f"f{i}" for i in range(8)]
    assert stored(s3, "r/") == {f"r/{p.name}": p.read_bytes() for p in source.iterdir()}


# -- copy and move: overlapping prefixes, other sections, batch removal -------------------

def refill(s3: Any, data: dict[str, bytes]) -> None:
    """The test's bucket holding exactly ``data``."""
    for name in stored(s3):
        s3.client.remove_object(s3.bucket, name)
    for name, body in data.items():
        s3.client.put_object(s3.bucket, name, io.BytesIO(body), len(body))


def mapped(data: dict[str, bytes], source: str, target: str, move: bool) -> dict[str, bytes]:
    """What ``data`` becomes when every key below ``source`` is copied (moved) to below
    ``target``, each copy taking the source's bytes from before the call."""
    below = {name: body for name, body in data.items() if name.startswith(source + "/")}
    result = {name: body for name, body in data.items() if not (move and name in below)}
    result.update({target + name[len(source):]: body for name, body in below.items()})
    return result


def test_copy_and_move_between_overlapping_prefixes(configured: Any) -> None:
    s3 = configured
    s3.make_bucket()
    data = {"d/s/z": b"A", "d/s/s/z": b"B", "d/s/s/s/z": b"C", "d/y": b"D", "e/x": b"E"}
    refill(s3, data)
    MinIOPath(path="d/s").move(MinIOPath(path="d"), workers=1)
    assert stored(s3) == {"d/z": b"A", "d/s/z": b"B", "d/s/s/z": b"C", "d/y": b"D",
                          "e/x": b"E"}
    for verb, source, target in [("move", "d/s", "d"), ("copy", "d/s", "d"),
                                 ("move", "d", "d/s"), ("copy", "d", "d/s"),
                                 ("copy", "d/s/s", "d")]:
        for workers in (1, 4):
            refill(s3, data)
            getattr(MinIOPath(path=source), verb)(target, workers=workers)
            assert stored(s3) == mapped(data, source, target, verb == "move"), \
                (verb, source, target, workers)
    for verb in ("copy", "move"):
        with pytest.raises(ValueError, match="onto itself"):
            getattr(MinIOPath(path="d"), verb)("d")
    assert stored(s3) == mapped(data, "d/s/s", "d", False)


@pytest.fixture
def gets(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    """The key of every get_object of the SDK (the reads of object bytes), of every object
    the transfer engine GETs (once per object: a reader reads it in ranges), and of every
    GET the engine streams to a reader."""
    seen: list[str] = []
    original = minio.Minio.get_object
    original_run = quorvex.engine.run

    def counting(self: Any, bucket: str, key: str, *args: Any, **kwargs: Any) -> Any:
        seen.append(key)
        return original(self, bucket, key, *args, **kwargs)

    def counting_run(engine: Any, tasks: Any, *args: Any, **kwargs: Any) -> Any:
        seen.extend(key for key in {task["key"] for task in tasks if task["op"] == "get"}
                    if key not in seen)
        return original_run(engine, tasks, *args, **kwargs)

    def counting_stream(engine: Any, client: Any, bucket: str, key: str, *args: Any,
                        **kwargs: Any) -> Any:
        seen.append(key)
        return original_stream(engine, client, bucket, key, *args, **kwargs)

    original_stream = quorvex.engine.stream
    monkeypatch.setattr(minio.Minio, "get_object", counting)
    monkeypatch.setattr(quorvex.engine, "run", counting_run)
    monkeypatch.setattr(quorvex.engine, "stream", counting_stream)
    return seen


def put_typed(s3: Any, bucket: str, data: dict[str, bytes]) -> None:
    for name, body in data.items():
        s3.client.put_object(bucket, name, io.BytesIO(body), len(body),
                             content_type="text/csv",
                             metadata={MD5_METADATA: hashlib.md5(body).hexdigest()})


def described(s3: Any, bucket: str, prefix: str) -> dict[str, tuple[bytes, str, Any]]:
    """Every object below ``prefix``: its bytes, content type and ``md5`` metadata."""
    found = {}
    for item in s3.client.list_objects(bucket, prefix=prefix, recursive=True):
        stat = s3.client.stat_object(bucket, item.object_name)
        response = s3.client.get_object(bucket, item.object_name)
        try:
            found[item.object_name[len(prefix):]] = (response.read(), stat.content_type,
                                                     metadata_md5(stat.metadata))
        finally:
            response.close()
            response.release_conn()
    return found


def add_section(s3: Any, monkeypatch: pytest.MonkeyPatch, section: str, bucket: str,
                endpoint: Optional[str] = None) -> None:
    """Configuration ``section`` pointing at ``bucket`` on the test's server."""
    for name, value in s3.env(section, bucket).items():
        monkeypatch.setenv(name, value)
    if endpoint is not None:
        monkeypatch.setenv(section_variable(section, "endpoint"), endpoint)


def test_copy_and_move_to_another_section_on_the_same_store(
        configured: Any, monkeypatch: pytest.MonkeyPatch, gets: list[str]) -> None:
    s3 = configured
    s3.make_bucket()
    archive = s3.make_bucket(s3.new_bucket_name("archive"))
    add_section(s3, monkeypatch, "minio.archive", archive)
    add_section(s3, monkeypatch, "minio.nowhere", s3.new_bucket_name("nowhere"))
    put_typed(s3, s3.bucket, {"t/a.csv": b"1,2\n", "t/sub/b.csv": b"3,4\n"})
    before = described(s3, s3.bucket, "t/")
    gets.clear()

    MinIOPath(path="t").copy("kept", section="minio.archive")
    with MinIOPath.use_section("minio.archive"):
        MinIOPath(path="kept").move("back", section="minio")
    assert gets == []  # server-side both ways
    assert described(s3, s3.bucket, "back/") == before == described(s3, s3.bucket, "t/")
    assert list(s3.client.list_objects(archive, recursive=True)) == []
    with pytest.raises(FileNotFoundError, match="nowhere"):
        MinIOPath(path="t").move("x", section="minio.nowhere")
    assert described(s3, s3.bucket, "t/") == before


def test_copy_and_move_to_another_endpoint_stream(
        configured: Any, monkeypatch: pytest.MonkeyPatch, gets: list[str]) -> None:
    s3 = configured
    s3.make_bucket()
    far = s3.make_bucket(s3.new_bucket_name("far"))
    # The same server under another name: to the client, another store.
    add_section(s3, monkeypatch, "minio.far", far,
                endpoint=s3.endpoint.replace("127.0.0.1", "localhost"))
    big = os.urandom(PART_SIZE + 12345)
    put_typed(s3, s3.bucket, {"s/big.csv": big, "s/small.csv": b"x,y\n", "s/empty": b""})
    before = described(s3, s3.bucket, "s/")
    gets.clear()
    copies: list[Any] = []
    monkeypatch.setattr(minio.Minio, "copy_object",
                        lambda *args, **kwargs: copies.append(args))
    reports: list[tuple[int, int]] = []

    MinIOPath(path="s").copy("out", section="minio.far", workers=2,
                             progress=lambda done, total: reports.append((done, total)))
    assert reports[-1] == (len(big) + 4, len(big) + 4) and copies == []
    assert sorted(gets) == ["s/big.csv", "s/small.csv"]  # the empty one needs no GET
    with MinIOPath.use_section("minio.far"):
        assert described(s3, far, "out/") == before
        MinIOPath(path="out/big.csv").move("one/big.csv", section="minio")
    assert described(s3, s3.bucket, "one/")["big.csv"] == before["big.csv"]
    assert sorted(described(s3, far, "out/")) == ["empty", "small.csv"]


def test_a_move_removes_its_sources_in_batches(configured: Any,
                                               monkeypatch: pytest.MonkeyPatch) -> None:
    s3 = configured
    s3.make_bucket()
    data = {f"b/k{i}": bytes([i]) for i in range(7)}
    refill(s3, data)
    monkeypatch.setattr(quorvex.plans, "DELETE_BATCH", 3)
    requests: list[tuple[str, Any]] = []
    original = minio.Minio._url_open

    def counting(self: Any, method: str, region: str, *args: Any, **kwargs: Any) -> Any:
        requests.append((method, kwargs.get("query_params") or {}))
        return original(self, method, region, *args, **kwargs)

    monkeypatch.setattr(minio.Minio, "_url_open", counting)
    MinIOPath(path="b").move("c", workers=3)
    assert [method for method, query in requests if "delete" in query] == ["POST"] * 3
    assert not any(method == "DELETE" for method, _ in requests)
    assert stored(s3) == {name.replace("b/", "c/"): body for name, body in data.items()}


# -- mirroring with delete=True ---------------------------------------------------------

def test_upload_mirror_removes_exactly_what_the_tree_no_longer_has(configured: Any,
                                                                   tmp_path: Path) -> None:
    s3 = configured
    s3.make_bucket()
    source = make_tree(tmp_path / "src", {"keep.txt": b"v1", "gone.txt": b"x",
                                          "old/deep/x": b"x", "sub/y": b"y"})
    (source / "empty").mkdir()
    MinIOPath(path="p").upload_from(source)
    refill(s3, {"p/": b"", "p/empty/": b"", "p/stale-marker/": b"", "p2/gone.txt": b"s",
                "pgone.txt": b"s"})
    (source / "gone.txt").unlink()
    (source / "old" / "deep" / "x").unlink()
    (source / "keep.txt").write_bytes(b"v2")

    MinIOPath(path="p").upload_from(source, delete=True, skip_unchanged=True)
    # The folder "old" is still there locally, its marker would stay; it has none.
    assert stored(s3) == {"p/": b"", "p/empty/": b"", "p/keep.txt": b"v2", "p/sub/y": b"y",
                          "p2/gone.txt": b"s", "pgone.txt": b"s"}


def test_download_mirror_removes_exactly_the_stale_local_files(configured: Any,
                                                               tmp_path: Path) -> None:
    s3 = configured
    s3.make_bucket()
    refill(s3, {"p/a.txt": b"a", "p/sub/b": b"b", "p/marked/": b""})
    outside = make_tree(tmp_path / "outside", {"o.txt": b"o"})
    above = make_tree(tmp_path, {"above.txt": b"up"}) / "above.txt"
    target = make_tree(tmp_path / "dst", {"a.txt": b"old", "stale.txt": b"s",
                                          "sub/stale": b"s", "gone/deep/x": b"s",
                                          "marked/stale": b"s"})
    (target / "empty-before").mkdir()
    (target / "link").symlink_to(outside)
    (target / "file-link").symlink_to(outside / "o.txt")
    live = target / "sub" / f".quorvex-{os.getpid()}-{'0' * 16}.part"  # this process's
    live.write_bytes(b"t")
    ended = target / "gone" / f".quorvex-{_ended_pid()}-{'1' * 16}.part"
    ended.write_bytes(b"t")

    MinIOPath(path="p").download_to(target, delete=True)
    left = sorted(os.path.relpath(os.path.join(folder, name), target)
                  for folder, dirs, names in os.walk(target) for name in dirs + names)
    assert left == sorted(["a.txt", "empty-before", "file-link", "link", "marked", "sub",
                           "sub/b", f"sub/{live.name}"])
    assert (target / "a.txt").read_bytes() == b"a"
    assert read_tree(outside) == {"o.txt": b"o"} and above.read_bytes() == b"up"


def test_a_mirror_removes_nothing_unless_every_transfer_went(
        configured: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    s3 = configured
    s3.make_bucket()
    refill(s3, {"p/a": b"a" * 10, "p/b": b"b" * 10, "p/stale": b"s"})
    source = make_tree(tmp_path / "src", {"a": b"new a", "b": b"new b"})
    target = make_tree(tmp_path / "dst", {"stale": b"s"})
    before = stored(s3)

    def refuse(done: int, total: int) -> None:
        raise KeyError("stop")

    for call, error in [
            (lambda: MinIOPath(path="p").upload_from(source, progress=refuse, delete=True),
             TransferError),
            (lambda: MinIOPath(path="p").download_to(target, progress=refuse, delete=True),
             TransferError),
            (lambda: MinIOPath(path="p").upload_from(source, delete=1), TypeError),
            (lambda: MinIOPath(path="p").download_to(target, delete="yes"), TypeError),
            (lambda: MinIOPath(path="p/a").download_to(target, delete=True), ValueError),
            (lambda: MinIOPath(path="p/a").upload_from(source / "a", delete=True),
             ValueError)]:
        with pytest.raises(error):
            call()
        # Nothing is removed; a file sent before the failure may have been stored whole.
        assert stored(s3).keys() == before.keys() and read_tree(target) == {"stale": b"s"}
        assert all(stored(s3)[key] in (before[key], b"new " + key[-1:].encode())
                   for key in before if key != "p/stale")

    # Keys the store refuses to remove are reported; the others are removed.
    original = minio.Minio.remove_objects

    def refusing(self: Any, bucket: str, objects: Any, *args: Any, **kwargs: Any) -> Any:
        objects = list(objects)
        yield from original(self, bucket, [item for item in objects if item.name != "p/b"])
        for item in objects:
            if item.name == "p/b":
                yield DeleteError("AccessDenied", "Access Denied", item.name, None)

    monkeypatch.setattr(minio.Minio, "remove_objects", refusing)
    kept_b = stored(s3)["p/b"]
    (source / "b").unlink()
    with pytest.raises(TransferError, match="refused to remove 1 of 2") as caught:
        MinIOPath(path="p").upload_from(source, delete=True)
    assert caught.value.failed == ["p/b"] and caught.value.completed == ["p/stale"]
    assert stored(s3) == {"p/a": b"new a", "p/b": kept_b}


def test_copy_above_the_single_copy_limit_goes_in_part_copies(
        configured: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    s3 = configured
    s3.make_bucket()
    monkeypatch.setattr(quorvex.copying, "SINGLE_COPY_LIMIT", 1024 * 1024)
    monkeypatch.setattr(quorvex.copying, "COPY_PART_SIZE", 5 * 1024 * 1024)
    body = os.urandom(11 * 1024 * 1024 + 7)
    s3.client.put_object(s3.bucket, "big/x.bin", io.BytesIO(body), len(body),
                         content_type="text/csv", metadata={MD5_METADATA: "m" * 32})
    MinIOPath(path="big/x.bin").copy("copied/x.bin")
    assert described(s3, s3.bucket, "copied/") == {"x.bin": (body, "text/csv", "m" * 32)}
    assert list(s3.client.list_objects(s3.bucket, recursive=True)) and \
        not list(s3.client._list_multipart_uploads(s3.bucket).uploads)
