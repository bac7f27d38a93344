"""glob() against both servers: one level below a path, lazily, page by page."""

from __future__ import annotations

import io
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Iterator

import minio
import pytest

from quorvex.minio.path import MinIOPath


@pytest.fixture
def store(configured: Any) -> Any:
    configured.make_bucket()
    return configured


def put(target: Any, *names: str) -> None:
    def one(name: str) -> None:
        target.client.put_object(target.bucket, name, io.BytesIO(b"x"), length=1)

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(one, names))


def texts(paths: Iterator[MinIOPath]) -> list[str]:
    return sorted(p.path.as_posix() for p in paths)


def test_one_level_with_objects_a_marker_and_sub_levels(store: Any) -> None:
    put(store, "logs/a.txt", "logs/b.log", "logs/", "logs/2026/jan.txt", "logs/old/x.txt",
        "logsbook.txt", "other/c.txt")
    logs = MinIOPath(path="/logs")
    # Objects and the further levels, each once, but not the level's own marker (the level
    # is not its own child); neighbours that only share the name as a prefix are not below it.
    assert texts(logs.glob()) == ["logs/2026", "logs/a.txt", "logs/b.log", "logs/old"]
    # The pattern covers the full name, directory part included.
    assert texts(logs.glob("*.txt")) == ["logs/a.txt"]
    assert texts(logs.glob("a*")) == []
    assert texts(logs.glob("logs/b*")) == ["logs/b.log"]
    assert all(type(p) is MinIOPath for p in logs.glob())
    assert [p.read() for p in logs.glob("*.log")] == [b"x"]


def test_the_top_level_of_a_bucket(store: Any) -> None:
    put(store, "top.txt", "a/x.txt", "b/c/y.txt")
    for root in ("", "/", "///"):
        assert texts(MinIOPath(path=root).glob()) == ["a", "b", "top.txt"]


def test_an_empty_level_and_a_missing_bucket(store: Any) -> None:
    assert list(MinIOPath(path="nothing").glob()) == []
    store.client.remove_bucket(store.bucket)
    listing = MinIOPath(path="a").glob()
    with pytest.raises(minio.error.S3Error) as caught:
        next(listing)
    assert caught.value.code == "NoSuchBucket"
    # An error finishes the generator.
    with pytest.raises(StopIteration):
        next(listing)


def test_a_large_level_is_listed_lazily_page_by_page(
        store: Any, listing_requests: list[dict[str, Any]]) -> None:
    names = [f"big/{index:05d}.dat" for index in range(2500)]
    put(store, *names)
    big = MinIOPath(path="big")

    listing = big.glob("*.dat")
    assert listing_requests == []  # nothing is asked before the first item
    first = [next(listing) for _ in range(10)]
    assert [p.path.as_posix() for p in first] == names[:10]
    assert len(listing_requests) == 1  # one page of up to 1,000 names
    listing.close()
    assert len(listing_requests) == 1  # closing gives the rest up

    listing_requests.clear()
    assert texts(big.glob("*.dat")) == names
    assert len(listing_requests) == 3  # 1,000 + 1,000 + 500
    assert all(query["prefix"] == "big/" and query["delimiter"] == "/"
               for query in listing_requests)


def test_rglob_with_recursive_components(store: Any) -> None:
    put(store, "r/x/a.csv", "r/x/y/z/b.csv", "r/x/y/", "r/x/y/c.txt", "r/w/x/d.csv",
        "r/a.csv", "rx/x/e.csv")
    r = MinIOPath(path="r")
    # Any number of folders, none included, at any depth below the path; never beside it.
    assert texts(r.rglob("x/**/*.csv")) == ["r/w/x/d.csv", "r/x/a.csv", "r/x/y/z/b.csv"]
    assert texts(MinIOPath(path="r/x").rglob("**")) == [
        "r/x/a.csv", "r/x/y/c.txt", "r/x/y/z/b.csv"]  # objects only, not the marker
    with pytest.raises(ValueError, match="entire path component"):
        r.rglob("x**")
