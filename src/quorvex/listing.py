"""Listings with details: scandir, iterdir, walk, rglob and du, lazily, page by page.

Every method here sends listing requests only, one per 1,000 entries (the store's page),
and none per entry: sizes, ETags and dates come from the listing itself.  The generators
send nothing until their first item is asked for and stop pulling pages when their
consumer stops.  Keys that no path can name (a doubled "/", a leading "/" kept by the
store, a "." or ".." component) are left out of what the listings yield.
"""

from __future__ import annotations

import datetime
import fnmatch
import re
from dataclasses import dataclass
from typing import Callable, Generic, Iterator, Optional, Self, TypeVar

from minio.datatypes import Object
from minio.error import S3Error

from quorvex.metadata import as_utc
from quorvex.path_algebra import REFUSED_COMPONENTS, StorePathMixin, join_key
from quorvex.retrying import retry

__all__ = ["DiskUsage", "Entry", "ListingMixin"]

P = TypeVar("P")


@dataclass(frozen=True, slots=True)
class Entry(Generic[P]):
    """One entry of ``scandir()``: an object, or a prefix with something below it.

    ``size``, ``etag`` (without quotes) and ``last_modified`` (aware UTC) come from the
    listing, and are None for a prefix.
    """

    path: P
    """The entry as a path of the class that was listed."""
    name: str
    """The entry's last component."""
    size: Optional[int]
    etag: Optional[str]
    last_modified: Optional[datetime.datetime]
    _dir: bool

    def is_dir(self) -> bool:
        """Whether the entry is a prefix (a directory); no request."""
        return self._dir

    def is_file(self) -> bool:
        """Whether the entry is an object; no request."""
        return not self._dir


@dataclass(frozen=True, slots=True)
class DiskUsage:
    """What ``du()`` adds up below a path."""

    size: int
    """Total bytes of the objects."""
    count: int
    """Number of objects (folder markers, keys ending in "/", are not counted)."""


def _nameable(relative: str) -> bool:
    # Whether every component is a name a path can hold.
    return REFUSED_COMPONENTS.isdisjoint(relative.split("/"))


_RECURSIVE = "**"


def _matcher(pattern: object) -> Callable[[str], bool]:
    """A test of relative keys against an rglob pattern, as ``pathlib`` matches it.

    ``rglob(p)`` is ``glob("**/" + p)``: "**" as a whole component stands for any number
    of folders, none included, every other component is an ``fnmatch`` pattern of one
    name, and "." components are dropped.  A trailing "**" matches every object below
    (as ``pathlib`` does since 3.13; rglob yields objects only).  A pattern that cannot be
    matched so raises ValueError: an empty one, an empty component (a leading, trailing
    or doubled "/"), a ".." component, or "**" within a component.
    """
    if not isinstance(pattern, str):
        raise TypeError(f"rglob() takes a str pattern, not {type(pattern).__name__}")
    parts = pattern.split("/")
    if "" in parts:
        raise ValueError(f"rglob() takes a pattern of non-empty components, got {pattern!r}")
    if ".." in parts:
        raise ValueError(f"rglob() matches below the path, and {pattern!r} has a '..' "
                         f"component")
    parts = [part for part in parts if part != "."]
    if not parts:
        raise ValueError(f"rglob() takes a pattern that names something, got {pattern!r}")
    for part in parts:
        if _RECURSIVE in part and part != _RECURSIVE:
            raise ValueError(f"rglob(): '**' can only be an entire path component, got "
                             f"{pattern!r}")
    if parts[-1] == _RECURSIVE:
        parts.append("*")  # the objects at any depth below what comes before
    # None stands for "**"; runs of it mean no more than one.
    tests: list[Optional[Callable[[str], object]]] = [None]
    for part in parts:
        if part != _RECURSIVE:
            tests.append(re.compile(fnmatch.translate(part)).match)
        elif tests[-1] is not None:
            tests.append(None)
    end = len(tests)

    def closed(states: set[int]) -> set[int]:
        # A "**" may match no name: the state after it is reached as well.
        return states | {state + 1 for state in states if state < end and tests[state] is None}

    start = closed({0})

    def matches(relative: str) -> bool:
        states = start
        for name in relative.split("/"):
            following: set[int] = set()
            for state in states:
                if state == end:
                    continue  # the whole pattern is used up with names still left
                test = tests[state]
                if test is None:
                    following.add(state)  # "**" takes the name and may take more
                elif test(name) is not None:
                    following.add(state + 1)
            if not following:
                return False
            states = closed(following)
        return end in states

    return matches


# The directories of a walk: path relative to the top ("" for the top) ->
# (dirnames, filenames), each in listing order.
_Tree = dict[str, tuple[list[str], list[str]]]


class ListingMixin(StorePathMixin):
    """What lies below a path, from the store's listings."""

    __slots__ = ()

    def _listing(self, recursive: bool) -> Iterator[tuple[str, Object]]:
        """(key relative to this path, record) for each listed entry, as pages arrive.

        This path's own folder marker (the key "<path>/") is left out.  A missing bucket
        raises its FileNotFoundError while the listing is consumed.
        """
        prefix = self._prefix()
        objects = iter(self.client.list_objects(self._bucket(), prefix=prefix or None,
                                                recursive=recursive))
        start = len(prefix)
        while True:
            try:
                obj = next(objects)
            except StopIteration:
                return
            except S3Error as exc:
                raise self._store_error(exc) from None
            name = obj.object_name or ""
            if name.startswith(prefix) and len(name) > start:
                yield name[start:], obj

    def scandir(self, recursive: bool = False) -> Iterator[Entry[Self]]:
        """The objects and prefixes directly below this path, in listing order.

        Like ``os.scandir``.  A key that is both an object and a prefix gives two entries,
        one of each kind; this path's own folder marker is not an entry.  With
        ``recursive=True``, every object at every depth below this path instead (no
        prefixes, no folder markers), in key order, each with its listing details.  One
        listing request per 1,000 entries, sent as the iteration needs them.
        """
        if not isinstance(recursive, bool):
            raise TypeError(f"scandir() takes a bool recursive, not "
                            f"{type(recursive).__name__}")
        return self._scandir(recursive)

    def _scandir(self, recursive: bool) -> Iterator[Entry[Self]]:
        base = self._key()
        for relative, obj in self._listing(recursive=recursive):
            if relative.endswith("/"):
                name = relative[:-1]
                if not recursive and _nameable(name):
                    yield Entry(self._at(join_key(base, name)), name, None, None, None, True)
            elif _nameable(relative):
                yield Entry(self._at(join_key(base, relative)), relative.rpartition("/")[2],
                            obj.size, None if obj.etag is None else obj.etag.strip('"'),
                            as_utc(obj.last_modified), False)

    def iterdir(self) -> Iterator[Self]:
        """The paths of ``scandir()``: objects and prefixes directly below this path."""
        for entry in self.scandir():
            yield entry.path

    def walk(self, top_down: bool = True) -> Iterator[tuple[Self, list[str], list[str]]]:
        """``(dirpath, dirnames, filenames)`` for this path and every prefix below it.

        Like ``pathlib.Path.walk``: top-down, the caller may prune ``dirnames`` in place;
        ``top_down=False`` gives children before their parents.  Built from ONE recursive
        listing (one request per 1,000 objects), read whole before the first result, since
        a directory's lists need all of it.  Folder markers (keys ending in "/") make a
        directory but are not files.  A prefix with nothing below it gives nothing; the
        bucket's root always gives itself.
        """
        if not isinstance(top_down, bool):
            raise TypeError(f"walk() takes a bool top_down, not {type(top_down).__name__}")
        return self._walk(top_down)

    def _walk(self, top_down: bool) -> Iterator[tuple[Self, list[str], list[str]]]:
        tree = self._tree()
        if "" not in tree:
            if self._key():
                return
            tree[""] = ([], [])
        base = self._key()
        if top_down:
            pending = [""]
            while pending:
                relative = pending.pop()
                dirnames, filenames = tree[relative]
                yield self._at(join_key(base, relative)), dirnames, filenames
                children = [join_key(relative, name) for name in dirnames]
                pending.extend(child for child in reversed(children) if child in tree)
        else:
            stack = [("", False)]
            while stack:
                relative, children_done = stack.pop()
                dirnames, filenames = tree[relative]
                if children_done:
                    yield self._at(join_key(base, relative)), dirnames, filenames
                else:
                    stack.append((relative, True))
                    stack.extend((join_key(relative, name), False) for name in reversed(dirnames))

    def _tree(self) -> _Tree:
        tree: _Tree = {}
        for relative, _ in self._listing(recursive=True):
            parts = relative.split("/")
            marker = parts[-1] == ""
            if marker:
                parts.pop()  # "a/b/" makes the directory a/b, and no file
            if not REFUSED_COMPONENTS.isdisjoint(parts):
                continue
            folders = parts if marker else parts[:-1]
            node = tree.get("/".join(folders))
            if node is None:
                node = tree.setdefault("", ([], []))
                for depth, name in enumerate(folders, 1):
                    child = tree.get("/".join(folders[:depth]))
                    if child is None:
                        child = tree["/".join(folders[:depth])] = ([], [])
                        node[0].append(name)
                    node = child
            if not marker:
                node[1].append(parts[-1])
        return tree

    def rglob(self, pattern: str = "*") -> Iterator[Self]:
        """Every object at any depth below this path whose name matches ``pattern``.

        Like ``pathlib``'s ``rglob``: a pattern without "/" is matched against the last
        component, one with "/" against as many trailing components ("2026/*.csv"), and
        "**" as a whole component stands for any number of folders, none included
        ("x/**/*.csv" finds "x/a.csv" and "x/y/z/b.csv"; a trailing "**" every object
        below).  One recursive listing, consumed only as far as the iteration goes.  The
        pattern is checked at the call, before any request: an empty one, an empty or
        ".." component, or "**" within a component ("a**b") raises ValueError.
        """
        return self._rglob(_matcher(pattern))

    def _rglob(self, matches: Callable[[str], bool]) -> Iterator[Self]:
        base = self._key()
        for relative, _ in self._listing(recursive=True):
            if not relative.endswith("/") and matches(relative) and _nameable(relative):
                yield self._at(join_key(base, relative))

    @retry()
    def du(self) -> DiskUsage:
        """Total size and number of the objects below this path: one recursive listing.

        Folder markers (keys ending in "/") are not counted.
        """
        size = count = 0
        for relative, obj in self._listing(recursive=True):
            if not relative.endswith("/"):
                size += obj.size or 0
                count += 1
        return DiskUsage(size, count)
