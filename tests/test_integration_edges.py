"""The edges of the path space on both servers: the bucket's root is no object, a path can
be an object and a prefix at once, and a folder is not its own child."""

from __future__ import annotations

import io
from typing import Any

import pytest

from quorvex.minio.path import MinIOPath


def put(target: Any, *names: str) -> None:
    for name in names:
        target.client.put_object(target.bucket, name, io.BytesIO(b"x"), length=1)


def stored(target: Any) -> list[str]:
    return sorted(o.object_name for o in target.client.list_objects(target.bucket,
                                                                    recursive=True))


def walk(path: MinIOPath, limit: int = 50) -> list[str]:
    """Every path below `path`, descending into what glob() yields that is a directory."""
    seen: list[str] = []
    pending = [path]
    while pending:
        for child in pending.pop().glob():
            seen.append(child.path.as_posix())
            assert len(seen) <= limit, f"the walk does not end: {seen[:10]}"
            if child.is_dir():
                pending.append(child)
    return sorted(seen)


def test_the_root_is_refused_and_a_tree_below_it_is_stored(configured: Any,
                                                           tmp_path: Any) -> None:
    configured.make_bucket()
    (tmp_path / "f.txt").write_bytes(b"f")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "g.txt").write_bytes(b"g")
    for text in ("", "/", "//"):
        root = MinIOPath(path=text)
        with pytest.raises(ValueError, match="root"):
            root.write(b"x")
        with pytest.raises(ValueError, match="root"):
            root.upload((tmp_path / "f.txt").as_posix())
        for recursive in (True, False):
            with pytest.raises(ValueError, match=r"glob\(\).*delete_bucket\(\)"):
                root.delete(recursive=recursive)
    assert stored(configured) == []
    MinIOPath(path="/").upload(tmp_path.as_posix())
    assert stored(configured) == ["f.txt", "sub/g.txt"]
    assert walk(MinIOPath(path="/")) == ["f.txt", "sub", "sub/g.txt"]


def test_delete_of_an_object_that_is_also_a_prefix_removes_both(configured: Any,
                                                                capsys: Any) -> None:
    configured.make_bucket()
    put(configured, "d/a.csv/part-1", "d/a.csv/part-2", "d/b.csv")
    try:
        put(configured, "d/a.csv")
    except Exception:  # noqa: BLE001 - a store that keeps folders as directories refuses it
        both = False
    else:
        both = True
    MinIOPath(path="d/a.csv").delete()
    # The batch removed what was below the prefix and the object itself; the neighbour stays.
    assert stored(configured) == ["d/b.csv"]
    assert MinIOPath(path="d/a.csv").exists is False or not both
    # A plain directory goes whole, with no error line for its own (missing) object.
    put(configured, "e/x", "e/y/z")
    MinIOPath(path="e").delete()
    assert stored(configured) == ["d/b.csv"]
    assert capsys.readouterr().out == ""


def test_a_folder_is_not_its_own_child(configured: Any, capsys: Any) -> None:
    configured.make_bucket()
    put(configured, "w/", "w/a.txt", "w/sub/", "w/sub/b.txt", "top.txt")
    assert walk(MinIOPath(path="/")) == ["top.txt", "w", "w/a.txt", "w/sub", "w/sub/b.txt"]
    # A folder emptied of its objects may still be listed by its marker: not as a child.
    MinIOPath(path="w/sub").delete()
    assert [p.path.as_posix() for p in MinIOPath(path="w/sub").glob()] == []
    assert capsys.readouterr().out == ""
