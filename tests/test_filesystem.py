"""The quorvex:// fsspec filesystem: pandas and pyarrow round trips, sections, fsspec's
own suite of copy, get and put tests."""

from __future__ import annotations

import io
import posixpath
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import pytest

fsspec = pytest.importorskip("fsspec")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

from fsspec.tests.abstract import (AbstractCopyTests, AbstractFixtures,  # noqa: E402
                                   AbstractGetTests, AbstractPutTests)

from quorvex.filesystem import ObjectFile, QuorvexFileSystem  # noqa: E402
from test_integration_transfers import add_section  # noqa: E402


@pytest.mark.parametrize("url, key", [
    ("quorvex://a/b.csv", "a/b.csv"), ("quorvex:///a/b/", "a/b"), ("/a", "a"),
    ("quorvex://", ""), ("", ""), ("a/b", "a/b"),
])
def test_a_url_names_a_key_of_the_section_s_bucket(url: str, key: str) -> None:
    assert QuorvexFileSystem._strip_protocol(url) == key
    assert fsspec.get_filesystem_class("quorvex") is QuorvexFileSystem
    if url.startswith("quorvex:"):
        fs, path = fsspec.core.url_to_fs(url, section="minio.archive")
        assert (type(fs), fs.section, path) == (QuorvexFileSystem, "minio.archive", key)


def test_a_bad_section_name_is_refused_at_once() -> None:
    with pytest.raises(ValueError):
        QuorvexFileSystem(section="bad name")


@pytest.fixture
def store(configured: Any) -> Any:
    configured.make_bucket()
    return configured


def put(target: Any, name: str, body: bytes = b"x") -> None:
    target.client.put_object(target.bucket, name, io.BytesIO(body), length=len(body))


def test_pandas_and_pyarrow_round_trip_and_what_fsspec_sees(store: Any) -> None:
    frame = pd.DataFrame({"n": [1, 2, 3], "word": ["a", "b", "c"]})
    frame.to_csv("quorvex://t/frame.csv", index=False)
    frame.to_parquet("quorvex://t/deep/frame.parquet")
    assert pd.read_csv("quorvex://t/frame.csv").equals(frame)
    assert pd.read_parquet("quorvex://t/deep/frame.parquet").equals(frame)

    fs = fsspec.filesystem("quorvex")
    stored = store.client.stat_object(store.bucket, "t/frame.csv")
    info = fs.info("quorvex://t/frame.csv")
    assert (info["name"], info["type"], info["size"]) == ("t/frame.csv", "file", stored.size)
    assert info["etag"] == stored.etag.strip('"')
    assert fs.modified("t/frame.csv") == fs.created("t/frame.csv") == info["last_modified"]
    assert fs.info("t") == {"name": "t", "size": 0, "type": "directory"}
    assert fs.info("quorvex://t/deep/")["type"] == "directory"
    assert fs.info("") == {"name": "", "size": 0, "type": "directory"}
    assert [(e["name"], e["type"]) for e in fs.ls("t")] == \
        [("t/frame.csv", "file"), ("t/deep", "directory")]
    assert fs.ls("t/frame.csv", detail=False) == ["t/frame.csv"]
    assert fs.find("t") == ["t/deep/frame.parquet", "t/frame.csv"]
    assert fs.find("t", withdirs=True, maxdepth=1) == ["t", "t/deep", "t/frame.csv"]
    assert fs.find("", withdirs=True, maxdepth=2) == ["t", "t/deep", "t/frame.csv"]
    assert fs.find("t/frame.csv") == ["t/frame.csv"] and fs.find("nothing") == []
    assert fs.glob("quorvex://t/**/*.parquet") == ["t/deep/frame.parquet"]
    sizes = fs.du("t", total=False)
    assert fs.du("t") == sum(sizes.values()) and set(sizes) == set(fs.find("t"))
    assert fs.du("t/frame.csv") == stored.size

    with fs.open("t/frame.csv", "rb") as stream:
        assert isinstance(stream, ObjectFile) and stream.size == stored.size
        stream.seek(-2, io.SEEK_END)
        assert stream.read() == b"c\n" and stream.tell() == stored.size
    for missing in ("t/nothing", "t/fram"):
        with pytest.raises(FileNotFoundError):
            fs.info(missing)
        assert not fs.exists(missing)
    with pytest.raises(IsADirectoryError):
        fs.modified("t")

    fs.rm("t", recursive=True)
    assert list(store.client.list_objects(store.bucket, recursive=True)) == []
    with pytest.raises(FileNotFoundError):
        fs.rm("never", recursive=True)


def test_writes_store_at_close_and_nothing_on_an_error(store: Any) -> None:
    fs = fsspec.filesystem("quorvex")
    with pytest.raises(RuntimeError):
        with fs.open("w/broken.bin", "wb") as stream:
            stream.write(b"half")
            raise RuntimeError("stop")
    assert not fs.exists("w/broken.bin")
    with pytest.raises(RuntimeError):                       # text, as pandas writes
        with fs.open("w/broken.txt", "w", encoding="utf-8") as text:
            text.write("half")
            raise RuntimeError("stop")
    assert not fs.exists("w/broken.txt")
    with fs.open("w/whole.txt", "w", encoding="utf-8") as text:
        text.write("héllo")
    assert fs.cat_file("w/whole.txt") == "héllo".encode()
    fs.pipe_file("w/one.bin", b"one")
    with pytest.raises(FileExistsError):
        fs.open("w/one.bin", "xb")
    with pytest.raises(ValueError):
        fs.open("w/one.bin", "ab")
    assert fs.cat_file("w/one.bin") == b"one" and fs.cat_file("w/one.bin", 1, 2) == b"n"
    with pytest.raises(FileNotFoundError):
        fs.open("w/none.bin", "rb")


def test_copies_transfers_and_removals(store: Any, tmp_path: Any) -> None:
    fs = fsspec.filesystem("quorvex")
    put(store, "s/a.txt", b"alpha")
    put(store, "s/sub/b.txt", b"beta")
    put(store, "marker/", b"")  # a folder marker alone makes an empty directory
    assert fs.ls("", detail=False) == ["marker", "s"] and fs.ls("marker") == []
    assert fs.isdir("marker") and fs.find("marker") == [] and not fs.exists("marke")

    fs.cp_file("s/a.txt", "c/a.txt")
    fs.cp_file("s/sub", "c/sub")  # a directory copies nothing by itself
    assert fs.find("c") == ["c/a.txt"]
    fs.copy("s", "r", recursive=True)
    assert fs.cat("r/sub/b.txt") == b"beta"
    with pytest.raises(FileNotFoundError):
        fs.cp_file("s/none.txt", "c/none.txt")

    fs.get("s", str(tmp_path / "down"), recursive=True)
    assert (tmp_path / "down" / "sub" / "b.txt").read_bytes() == b"beta"
    (tmp_path / "up" / "empty").mkdir(parents=True)
    (tmp_path / "up" / "x.txt").write_bytes(b"ex")
    fs.put(str(tmp_path / "up"), "u", recursive=True)
    assert fs.find("u") == ["u/x.txt"] and fs.cat("u/x.txt") == b"ex"
    with pytest.raises(FileExistsError):
        fs.put_file(str(tmp_path / "up" / "x.txt"), "u/x.txt", mode="create")
    sink = io.BytesIO()
    fs.get_file("s/a.txt", sink)
    assert sink.getvalue() == b"alpha"

    with pytest.raises(IsADirectoryError):
        fs.rm("s")
    fs.rm("r/*.txt")
    assert fs.find("r") == ["r/sub/b.txt"]
    fs.rm(["c/a.txt", "u"], recursive=True)
    fs.rm_file("s/a.txt")
    with pytest.raises(FileNotFoundError):
        fs.rm_file("s/a.txt")
    assert fs.find("") == ["r/sub/b.txt", "s/sub/b.txt"]  # the marker is no file
    fs.makedirs("made/deep", exist_ok=False)
    fs.mkdir("made")
    assert not fs.exists("made")


def test_a_section_applies_in_every_thread_that_calls(store: Any,
                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    archive = store.make_bucket(store.new_bucket_name("archive"))
    add_section(store, monkeypatch, "minio.archive", archive)
    put(store, "k.txt", b"default")
    store.client.put_object(archive, "k.txt", io.BytesIO(b"archived"), length=8)
    fs = fsspec.filesystem("quorvex", section="minio.archive")

    def read(url: str, options: dict[str, str]) -> bytes:
        with fsspec.open(url, "rb", **options) as stream:
            return bytes(stream.read())

    with ThreadPoolExecutor(2) as pool:
        got = list(pool.map(read, ["quorvex://k.txt"] * 2,
                            [{}, {"section": "minio.archive"}]))
    assert got == [b"default", b"archived"]
    assert pd.read_csv("quorvex://k.txt", storage_options={"section": "minio.archive"},
                       header=None)[0][0] == "archived"
    result: list[Any] = []
    thread = threading.Thread(target=lambda: result.append(fs.ls("", detail=False)))
    thread.start()
    thread.join()
    assert result == [["k.txt"]]


# -- fsspec's suite, on moto ---------------------------------------------------------------

@pytest.mark.integration
@pytest.mark.parametrize("s3", ["moto"], indirect=True)
class SuiteFixtures(AbstractFixtures):  # type: ignore[misc]
    @pytest.fixture
    def fs(self, configured: Any) -> QuorvexFileSystem:
        configured.make_bucket()
        return QuorvexFileSystem()

    @pytest.fixture
    def fs_join(self) -> Any:
        return posixpath.join

    @pytest.fixture
    def fs_path(self) -> str:
        return "suite"

    @pytest.fixture
    def supports_empty_directories(self) -> bool:
        return False  # a prefix exists only while an object lies below it


class TestSuiteCopy(AbstractCopyTests, SuiteFixtures):  # type: ignore[misc]
    pass


class TestSuiteGet(AbstractGetTests, SuiteFixtures):  # type: ignore[misc]
    pass


class TestSuitePut(AbstractPutTests, SuiteFixtures):  # type: ignore[misc]
    pass
