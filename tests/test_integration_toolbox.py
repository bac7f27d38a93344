"""The path toolbox against both servers: stat, listings with details, walks, text."""

from __future__ import annotations

import datetime
import io
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Iterator

import pytest
from minio.error import S3Error

from quorvex.base import DiskUsage, ObjectInfo
from quorvex.minio.path import MinIOPath

UTC = datetime.timezone.utc


class Sub(MinIOPath):
    """Results must keep the caller's class."""


@pytest.fixture
def store(configured: Any) -> Any:
    configured.make_bucket()
    return configured


def put(target: Any, *names: str, body: bytes = b"x") -> None:
    def one(name: str) -> None:
        target.client.put_object(target.bucket, name, io.BytesIO(body), length=len(body))

    # Folder markers go first: SeaweedFS refuses the marker "a/b/" once an object "a/b"
    # exists (ExistingObjectIsFile), though it takes them the other way round.
    with ThreadPoolExecutor(8) as pool:
        list(pool.map(one, [name for name in names if name.endswith("/")]))
        list(pool.map(one, [name for name in names if not name.endswith("/")]))


def keys(paths: Iterator[MinIOPath]) -> list[str]:
    return sorted(p.path.as_posix() for p in paths)


# -- stat and friends -----------------------------------------------------------------------

def test_stat_reports_what_the_store_holds(store: Any) -> None:
    before = datetime.datetime.now(UTC).replace(microsecond=0) - datetime.timedelta(seconds=5)
    store.client.put_object(store.bucket, "d/a.csv", io.BytesIO(b"1,2\n"), length=4,
                            content_type="text/csv", metadata={"x-amz-meta-Owner": "ana"})
    info = MinIOPath(path="d/a.csv").stat()
    assert isinstance(info, ObjectInfo)
    assert (info.size, info.content_type, info.metadata) == (4, "text/csv", {"owner": "ana"})
    assert info.etag == store.client.stat_object(store.bucket, "d/a.csv").etag
    assert '"' not in info.etag and info.etag
    assert info.last_modified.tzinfo is not None and info.last_modified.utcoffset() == \
        datetime.timedelta(0)
    assert before <= info.last_modified <= datetime.datetime.now(UTC) + \
        datetime.timedelta(seconds=5)
    with pytest.raises(AttributeError):
        info.size = 5  # type: ignore[misc]
    assert MinIOPath(path="d/a.csv").is_file() and not MinIOPath(path="d").is_file()


def test_stat_of_missing_things(store: Any) -> None:
    put(store, "d/x")
    for text in ("nothing", "d", ""):  # absent, a prefix only, the bucket's root
        with pytest.raises(FileNotFoundError) as caught:
            MinIOPath(path=text).stat()
        assert str(caught.value) == f"'{MinIOPath(path=text).path}' does not exist in " \
                                    f"bucket '{store.bucket}'."


def test_stat_and_listings_in_a_missing_bucket(configured: Any) -> None:
    message = f"Bucket: '{configured.bucket}' does not exist."
    for call in (lambda: MinIOPath(path="k").stat(), lambda: MinIOPath(path="").stat(),
                 lambda: list(MinIOPath(path="d").scandir()),
                 lambda: list(MinIOPath(path="").walk()),
                 lambda: list(MinIOPath(path="d").rglob()),
                 lambda: MinIOPath(path="d").du()):
        with pytest.raises(FileNotFoundError) as caught:
            call()
        assert str(caught.value) == message


def test_wrong_credentials(store: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    put(store, "d/obj")
    monkeypatch.setenv("MINIO_SECRET_KEY", "not-the-secret-key")
    MinIOPath.reset_clients()
    obj, folder = MinIOPath(path="d/obj"), MinIOPath(path="d")
    if store.kind == "moto":  # moto checks no signature
        assert obj.exists and obj.read() == b"x" and obj.stat().size == 1
        assert keys(folder.iterdir()) == ["d/obj"]
        return
    # A HEAD reply carries no error code: exists and read() take the refusal for "missing".
    assert obj.exists is False
    with pytest.raises(FileNotFoundError, match="'d/obj' does not exist"):
        obj.read()
    for call in (obj.stat, lambda: list(folder.iterdir()), lambda: list(folder.glob()),
                 lambda: obj.open("rb")):
        with pytest.raises(S3Error) as caught:
            call()
        assert caught.value.code == "SignatureDoesNotMatch"


def test_touch_and_unlink(store: Any) -> None:
    put(store, "t/keep", body=b"data")
    put(store, "t/keep/below")
    keep, fresh = MinIOPath(path="t/keep"), MinIOPath(path="t/fresh")
    keep.touch()                         # an existing object keeps its content
    assert keep.read() == b"data"
    with pytest.raises(FileExistsError):
        keep.touch(exist_ok=False)
    fresh.touch(exist_ok=False)
    assert fresh.stat().size == 0
    keep.unlink()                        # exactly this object, nothing below it
    assert not keep.exists and MinIOPath(path="t/keep/below").exists
    with pytest.raises(FileNotFoundError, match="does not exist in bucket"):
        keep.unlink()
    keep.unlink(missing_ok=True)
    fresh.unlink()
    assert keys(MinIOPath(path="t").rglob()) == ["t/keep/below"]
    # An emptied folder may linger as a listing entry of its own level (SeaweedFS): it is
    # not an entry below itself, and a recursive listing has nothing.
    MinIOPath(path="t/keep/below").unlink()
    assert list(MinIOPath(path="t/keep").scandir()) == []
    assert list(MinIOPath(path="t").walk()) == [] and MinIOPath(path="t").du().count == 0


def test_text_and_bytes_round_trip(store: Any) -> None:
    p = Sub(path="txt/hello.txt")
    text = "héllo, wörld\r\nline 2\n"
    assert p.write_text(text) == len(text)
    assert p.read_text() == text and p.read_bytes() == text.encode()
    assert p.write_text(text, encoding="latin-1") == len(text)
    assert p.read_bytes() == text.encode("latin-1")
    with pytest.raises(UnicodeDecodeError):
        p.read_text()
    assert p.read_text(errors="replace").startswith("h\ufffdllo")
    assert p.write_bytes(memoryview(bytearray(b"0123456789"))[2:5]) == 3
    assert p.read_bytes() == b"234"
    with pytest.raises(FileNotFoundError):
        Sub(path="txt/none").read_text()


# -- listings ---------------------------------------------------------------------------------

TREE = ["top.txt", "a/x.txt", "a/b", "a/b/", "a/b/y", "a/b/c/z.csv", "a/bc", "a/e/",
        "ab/w"]


def test_scandir_gives_listing_details(store: Any, listing_requests: list[dict[str, Any]]) -> None:
    put(store, *TREE, body=b"12345")
    entries = list(Sub(path="a").scandir())
    assert len(listing_requests) == 1
    seen = sorted((e.name, e.is_dir(), e.is_file()) for e in entries)
    # a/b is an object and a prefix: one entry of each kind.
    assert seen == [("b", False, True), ("b", True, False), ("bc", False, True),
                    ("e", True, False), ("x.txt", False, True)]
    for entry in entries:
        assert type(entry.path) is Sub and entry.path == Sub(path="a") / entry.name
        if entry.is_file():
            info = entry.path.stat()
            assert (entry.size, entry.etag) == (5, info.etag)
            # A listing's dates carry milliseconds, a HEAD reply's whole seconds.
            assert entry.last_modified is not None
            assert abs(entry.last_modified - info.last_modified) < datetime.timedelta(seconds=1)
        else:
            assert (entry.size, entry.etag, entry.last_modified) == (None, None, None)
    assert keys(Sub(path="a").iterdir()) == ["a/b", "a/b", "a/bc", "a/e", "a/x.txt"]
    # The level's own folder marker is no entry of its own.
    assert keys(Sub(path="a/e").iterdir()) == []
    assert keys(Sub(path="").iterdir()) == ["a", "ab", "top.txt"]
    # Recursive: every object at every depth, from one more listing, markers left out.
    deep = list(Sub(path="a").scandir(recursive=True))
    assert len(listing_requests) == 5
    assert [(e.path.path.as_posix(), e.name, e.size, e.is_file()) for e in deep] == [
        ("a/b", "b", 5, True), ("a/b/c/z.csv", "z.csv", 5, True), ("a/b/y", "y", 5, True),
        ("a/bc", "bc", 5, True), ("a/x.txt", "x.txt", 5, True)]
    assert all(e.etag and e.last_modified is not None for e in deep)
    with pytest.raises(TypeError):
        Sub(path="a").scandir(recursive="yes")  # type: ignore[arg-type]


def test_walk_over_several_levels(store: Any, listing_requests: list[dict[str, Any]]) -> None:
    put(store, *TREE)
    walked = [(d.path.as_posix(), sorted(dirs), sorted(files))
              for d, dirs, files in Sub(path="a").walk()]
    assert len(listing_requests) == 1 and listing_requests[0].get("delimiter") in (None, "")
    assert walked == [("a", ["b", "e"], ["b", "bc", "x.txt"]),
                      ("a/b", ["c"], ["y"]),
                      ("a/b/c", [], ["z.csv"]),
                      ("a/e", [], [])]
    bottom_up = [d.path.as_posix() for d, _, _ in Sub(path="a").walk(top_down=False)]
    assert sorted(bottom_up) == sorted(w[0] for w in walked)
    for parent, _, _ in walked:    # every directory after all of its descendants
        below = [i for i, d in enumerate(bottom_up) if d.startswith(parent + "/")]
        assert all(i < bottom_up.index(parent) for i in below)
    assert all(type(d) is Sub for d, _, _ in Sub(path="").walk())
    root = [(d.path.as_posix(), sorted(dirs), sorted(files))
            for d, dirs, files in Sub(path="").walk()][0]
    assert root == ("/", ["a", "ab"], ["top.txt"])


def test_walk_prunes_in_place_and_skips_missing_prefixes(store: Any) -> None:
    put(store, *TREE)
    seen = []
    for dirpath, dirnames, _ in Sub(path="a").walk():
        seen.append(dirpath.path.as_posix())
        if "b" in dirnames:
            dirnames.remove("b")
    assert seen == ["a", "a/e"]
    assert list(Sub(path="nothing").walk()) == []


def test_rglob_with_and_without_slash(store: Any) -> None:
    put(store, *TREE, "a/b/c/x.txt")
    a = Sub(path="a")
    assert keys(a.rglob("*.txt")) == ["a/b/c/x.txt", "a/x.txt"]
    assert keys(a.rglob("c/*")) == ["a/b/c/x.txt", "a/b/c/z.csv"]
    assert keys(a.rglob("b/*")) == ["a/b/y"]
    assert keys(a.rglob("a/b")) == []           # matched below "a", not from the bucket's root
    assert keys(a.rglob()) == ["a/b", "a/b/c/x.txt", "a/b/c/z.csv", "a/b/y", "a/bc",
                               "a/x.txt"]
    assert all(type(p) is Sub for p in a.rglob())
    assert a.du() == DiskUsage(size=6, count=6)


def test_large_listings_are_paged_and_lazy(store: Any,
                                           listing_requests: list[dict[str, Any]]) -> None:
    names = [f"big/p{i % 3}/k{i:04d}" for i in range(1002)]
    put(store, *names)
    big = MinIOPath(path="big")
    first = next(big.rglob())
    assert first.path.as_posix().startswith("big/p") and len(listing_requests) == 1
    del listing_requests[:]
    assert big.du() == DiskUsage(size=1002, count=1002) and len(listing_requests) == 2
    del listing_requests[:]
    walked = {d.path.as_posix(): len(files) for d, _, files in big.walk()}
    assert walked == {"big": 0, "big/p0": 334, "big/p1": 334, "big/p2": 334}
    assert len(listing_requests) == 2


# -- one answer per question, whatever the door ------------------------------------------

def test_every_door_gives_the_same_error(configured: Any, tmp_path: Any,
                                         monkeypatch: pytest.MonkeyPatch) -> None:
    from quorvex.errors import BucketNotConfiguredError, RootIsNotAnObjectError

    local = tmp_path / "f.txt"
    local.write_bytes(b"data")
    doors = {
        "open": lambda p: p.open("wb"), "touch": lambda p: p.touch(),
        "write_text": lambda p: p.write_text("x"), "write_bytes": lambda p: p.write_bytes(b"x"),
        "upload_from": lambda p: p.upload_from(local), "stat": lambda p: p.stat(),
        "read_text": lambda p: p.read_text(), "download_to": lambda p: p.download_to(tmp_path),
        "copy": lambda p: p.copy("elsewhere"), "du": lambda p: p.du(),
        "scandir": lambda p: list(p.scandir()), "unlink": lambda p: p.unlink(),
    }
    # A missing bucket: FileNotFoundError naming it, never the SDK's error.
    def write_through_open(p: Any) -> None:
        with p.open("wb") as stream:
            stream.write(b"x")

    for name in ("stat", "read_text", "download_to", "copy", "du", "scandir", "open",
                 "write_text", "write_bytes", "upload_from", "write_through_open"):
        door = {"open": lambda p: p.open("rb"),
                "write_through_open": write_through_open}.get(name) or doors[name]
        with pytest.raises(FileNotFoundError, match=configured.bucket):
            door(MinIOPath(path="k"))
    configured.make_bucket()
    # The root, wherever an object name is needed: one refusal, nothing stored.
    for name in ("open", "touch", "write_text", "write_bytes", "upload_from", "unlink"):
        with pytest.raises(RootIsNotAnObjectError) as caught:
            doors[name](MinIOPath(path=""))
        assert isinstance(caught.value, ValueError), name
    assert list(configured.client.list_objects(configured.bucket, recursive=True)) == []
    # No bucket configured: one ConfigurationError naming the variable, before any request.
    monkeypatch.delenv("MINIO_BUCKET_NAME")
    for name, door in doors.items():
        with pytest.raises(BucketNotConfiguredError, match="MINIO_BUCKET_NAME"):
            door(MinIOPath(path="k"))


def test_du_leaves_out_the_folder_markers(store: Any) -> None:
    put(store, "L/m/", "L/m/n/", "L/m/n/x", body=b"abc")
    assert MinIOPath(path="L/m").du() == DiskUsage(size=3, count=1)
    put(store, "L/e/")
    assert MinIOPath(path="L/e").du() == DiskUsage(size=0, count=0)
