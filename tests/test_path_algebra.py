"""Path algebra, ordering and argument checks of the path toolbox: no server needed."""

from __future__ import annotations

from array import array
from pathlib import PurePosixPath
from typing import Any, Callable

import pytest

from fakes import RecordingClient
from quorvex.minio.path import MinIOPath


class FakePath(MinIOPath):
    client: Any = None
    bucket_name: Any = "bkt"


def P(text: str) -> FakePath:
    return FakePath(path=text)


@pytest.mark.parametrize("text, name, stem, suffix, suffixes, parts, parent", [
    ("a/b/c.tar.gz", "c.tar.gz", "c.tar", ".gz", [".tar", ".gz"], ("a", "b", "c.tar.gz"),
     "a/b"),
    ("/top", "top", "top", "", [], ("top",), ""),
    ("", "", "", "", [], (), ""),
    ("/", "", "", "", [], (), ""),
])
def test_names_parts_and_parent(text: str, name: str, stem: str, suffix: str,
                                suffixes: list[str], parts: tuple[str, ...],
                                parent: str) -> None:
    p = P(text)
    assert (p.name, p.stem, p.suffix, p.suffixes, p.parts) == \
        (name, stem, suffix, suffixes, parts)
    assert p.parent == P(parent) and type(p.parent) is FakePath


def test_parents_end_at_the_root_and_the_root_is_its_own_parent() -> None:
    assert P("a/b/c").parents == (P("a/b"), P("a"), P(""))
    assert P("").parents == ()
    assert P("").parent.parent == P("")


def test_joining_several_components_keeps_the_class() -> None:
    assert P("a") / "b/c" == P("a/b/c") == P("a").joinpath("b", "c")
    assert P("") / "x" == P("x")
    assert P("a").joinpath() == P("a")
    assert type(P("a") / "b") is FakePath
    assert P("a").__truediv__(3) is NotImplemented  # type: ignore[operator]


@pytest.mark.parametrize("part", ["..", "a/../b", ".", "a//b", "/abs", "trail/", ""])
def test_joining_refuses_empty_and_dot_components(part: str) -> None:
    with pytest.raises(ValueError):
        P("a") / part
    with pytest.raises(ValueError):
        P("a").joinpath("ok", part)


@pytest.mark.parametrize("call, expected", [
    (lambda p: p.with_name("z.txt"), "a/z.txt"),
    (lambda p: p.with_stem("y"), "a/y.csv"),
    (lambda p: p.with_suffix(".gz"), "a/x.gz"),
    (lambda p: p.with_suffix(""), "a/x"),
])
def test_with_name_stem_suffix(call: Callable[[FakePath], FakePath], expected: str) -> None:
    result = call(P("a/x.csv"))
    assert result == P(expected) and type(result) is FakePath


@pytest.mark.parametrize("call, error", [
    (lambda: P("a/x").with_name("b/c"), ValueError),
    (lambda: P("a/x").with_name(".."), ValueError),
    (lambda: P("a/x").with_name(""), ValueError),
    (lambda: P("").with_name("x"), ValueError),
    (lambda: P("a/x").with_stem(""), ValueError),
    (lambda: P("a/x").with_suffix("gz"), ValueError),
    (lambda: P("a/x").with_suffix("./"), ValueError),
    (lambda: P("").with_suffix(".gz"), ValueError),
    (lambda: P("a/x").with_name(None), TypeError),
    (lambda: P("a").joinpath(PurePosixPath("b")), TypeError),
    (lambda: P("a").match(None), TypeError),
    (lambda: P("a").relative_to(3), TypeError),
])
def test_bad_arguments_are_refused(call: Callable[[], object], error: type) -> None:
    with pytest.raises(error):
        call()


def test_relative_to_and_is_relative_to() -> None:
    p = P("logs/2026/a.csv")
    assert p.relative_to("logs") == PurePosixPath("2026/a.csv")
    assert p.relative_to(P("/logs/2026/")) == PurePosixPath("a.csv")
    assert p.relative_to(P("")) == PurePosixPath("logs/2026/a.csv")
    assert p.relative_to(p) == PurePosixPath(".")
    with pytest.raises(ValueError):
        p.relative_to("log")            # a neighbour sharing the text is not a parent
    assert p.is_relative_to("logs") and p.is_relative_to("")
    assert not p.is_relative_to("logs/2026/a") and not P("logsbook").is_relative_to("logs")


@pytest.mark.parametrize("pattern, expected", [
    ("*.csv", True), ("2026/*.csv", True), ("/logs/*/a.csv", True), ("/2026/*.csv", False),
    ("*.CSV", False), ("a.*", True), ("logs/*.csv", False),
])
def test_match_from_the_right(pattern: str, expected: bool) -> None:
    assert P("logs/2026/a.csv").match(pattern) is expected


def test_no_derived_name_names_the_parent_and_match_counts_components() -> None:
    # "..bak" without its suffix would be ".": the parent, which delete() would empty.
    for derive in (lambda: P("logs/..bak").with_suffix(""), lambda: P("logs/x").with_stem("."),
                   lambda: P("logs/x").with_name(".."), lambda: P("logs/..").with_stem("")):
        with pytest.raises(ValueError):
            derive()
    assert P("logs/..bak").with_suffix(".old") == P("logs/..old")
    assert P("logs/.bashrc").with_suffix(".x") == P("logs/.bashrc.x")
    # The root is not a component: a one-component key has no parent directory to match.
    assert not P("x.csv").match("*/*.csv") and P("d/x.csv").match("*/*.csv")
    assert not P("").match("*") and P("").match("/")


def test_ordering_by_key_text_only_against_the_same_class() -> None:
    paths = [P("b"), P("a/z"), P(""), P("a.txt"), P("a")]
    assert [p.path.as_posix() for p in sorted(paths)] == ["/", "a", "a.txt", "a/z", "b"]
    assert P("a") <= P("a") and P("b") >= P("a") and P("b") > P("a") and not P("a") < P("a")
    assert P("a").__lt__(MinIOPath(path="b")) is NotImplemented
    with pytest.raises(TypeError):
        P("a") < "b"  # type: ignore[operator]


def test_as_uri_uses_the_threads_bucket() -> None:
    assert P("a/b.txt").as_uri() == "s3://bkt/a/b.txt"
    assert P("").as_uri() == "s3://bkt/"


class NoBucket(FakePath):
    bucket_name = None


def test_as_uri_without_a_bucket() -> None:
    with pytest.raises(ValueError, match="bucket_name"):
        NoBucket(path="a").as_uri()


@pytest.mark.parametrize("text", ["s3://bkt/a", "S3://x", "http://host/k", "minio+s3://b"])
def test_uri_texts_are_refused_at_construction(text: str) -> None:
    with pytest.raises(ValueError, match="configuration section"):
        MinIOPath(path=text)


@pytest.mark.parametrize("text", ["s3:/x", "a/s3://b", "s3", "a:b"])
def test_texts_that_only_look_like_uris_are_keys(text: str) -> None:
    assert MinIOPath(path=text).path == PurePosixPath(text)


# -- argument checks come before any request ----------------------------------------------

@pytest.mark.parametrize("call, error", [
    (lambda p: p.rglob(None), TypeError),
    (lambda p: p.rglob(b"*"), TypeError),
    (lambda p: p.rglob(""), ValueError),
    (lambda p: p.rglob("/a"), ValueError),
    (lambda p: p.rglob("a//b"), ValueError),
    (lambda p: p.walk("yes"), TypeError),
    (lambda p: p.write_bytes("text"), TypeError),
    (lambda p: p.write_bytes(None), TypeError),
    (lambda p: p.write_text(b"bytes"), TypeError),
    (lambda p: p.write_text("x", encoding="no-such-codec"), LookupError),
    (lambda p: p.read_text(errors="no-such-handler"), LookupError),
    (lambda p: p.read_text(encoding=None), TypeError),
    (lambda p: p.touch(exist_ok="no"), TypeError),
    (lambda p: p.unlink(missing_ok=1), TypeError),
    (lambda p: FakePath(path="").unlink(), IsADirectoryError),
    (lambda p: FakePath(path="").touch(), IsADirectoryError),
])
def test_bad_arguments_send_nothing(call: Callable[[FakePath], object], error: type) -> None:
    p = P("a")
    p.client = RecordingClient()
    with pytest.raises(error):
        call(p)
    assert p.client.calls == []


@pytest.mark.parametrize("data", [
    bytearray(b"abc"), memoryview(b"xabcx")[1:4], array("b", b"abc"),
    memoryview(bytearray(b"a-b-c"))[::2],
])
def test_write_bytes_accepts_any_bytes_like(data: Any) -> None:
    p = P("a")
    p.client = RecordingClient()
    assert p.write_bytes(data) == 3
    (name, args, kwargs), = p.client.calls
    assert name == "put_object" and args[2].getvalue() == b"abc"
