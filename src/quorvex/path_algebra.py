"""Path algebra: names, parents, joins, ordering and URIs of paths, without any request.

A path is a key inside the bucket, held as ``self.path`` (a ``PurePosixPath`` with no
leading "/"; the bucket's root is ``PurePosixPath("/")``).  Everything here is computed
from that value alone, except ``as_uri()``, which also reads the calling thread's bucket
name.  Derived paths are made as ``type(self)(path=...)``, so they keep the caller's class.
"""

from __future__ import annotations

from pathlib import PurePosixPath
from typing import TYPE_CHECKING, Optional, Self, Union

from quorvex.config import CONFIG_FILE_VARIABLE, env_name
from quorvex.errors import BucketNotConfiguredError, RootIsNotAnObjectError, translate

if TYPE_CHECKING:
    from contextlib import AbstractContextManager

    from minio import Minio

__all__ = ["PathAlgebraMixin", "REFUSED_COMPONENTS", "ROOT", "StorePathMixin", "join_key"]

#: The path of the bucket's root.
ROOT = PurePosixPath("/")
#: Components that name no object of their own: a key never has one of them.
REFUSED_COMPONENTS = frozenset({"", ".", ".."})


def join_key(base: str, relative: str) -> str:
    """``relative`` below the key ``base`` ("" is the root on either side)."""
    return f"{base}/{relative}" if base and relative else base or relative


class StorePathMixin:
    """What the toolbox mixins rely on the assembled path class for.

    Declared for type checkers only: ``BasePath`` supplies the constructor, ``path`` and
    ``client`` and the thread's section; the store class (``MinIOPath``) supplies
    ``bucket_name``, ``exists``, ``read`` and ``write``.
    """

    __slots__ = ()

    if TYPE_CHECKING:
        path: PurePosixPath

        def __init__(self, path: str = "") -> None: ...

        @property
        def client(self) -> Minio: ...

        @property
        def bucket_name(self) -> Optional[str]: ...

        @property
        def exists(self) -> bool: ...

        def read(self) -> bytes: ...

        def write(self, data: bytes) -> None: ...

        def _current_section(self) -> str: ...

        @classmethod
        def use_section(cls, section: str) -> AbstractContextManager[str]: ...

    def _key(self) -> str:
        """The object key: the POSIX text of the path, "" for the bucket's root."""
        return "" if self.path == ROOT else self.path.as_posix()

    def _object_key(self, what: str) -> str:
        """The object key, where an object name is needed: the root is refused."""
        key = self._key()
        if not key:
            raise RootIsNotAnObjectError(what)
        return key

    def _prefix(self) -> str:
        """The listing prefix of everything below this path: "key/", "" for the root."""
        key = self._key()
        return key + "/" if key else ""

    def _bucket(self) -> str:
        """The calling thread's bucket name.

        ConfigurationError, naming the variable to set, when the thread's section names
        none; checked before any request.
        """
        bucket = self.bucket_name
        if bucket is None:
            section = self._current_section()
            raise BucketNotConfiguredError(
                f"no bucket_name is configured for section {section!r}: set "
                f"{env_name(section, 'bucket_name')} (or 'bucket_name' in the [{section}] "
                f"section of the file named by {CONFIG_FILE_VARIABLE})")
        return bucket

    def _store_error(self, exc: BaseException, key: Optional[str] = None) -> BaseException:
        """``exc`` as the toolbox reports it: FileNotFoundError for a missing bucket or
        object (``key``, by default this path's), anything else as it is."""
        return translate(exc, self.bucket_name, self._key() if key is None else key)

    def _at(self, key: str) -> Self:
        """The path of the caller's class for ``key``."""
        return type(self)(path=key)


def _components(text: object, what: str) -> list[str]:
    # One or more "/"-separated components, each a real name (not "", "." or "..").
    if not isinstance(text, str):
        raise TypeError(f"{what} takes str components, not {type(text).__name__}")
    parts = text.split("/")
    for part in parts:
        if part in REFUSED_COMPONENTS:
            raise ValueError(f"{what}: {text!r} has an empty, '.' or '..' component")
    return parts


def _check_name(name: object, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} takes a str, not {type(name).__name__}")
    if name in REFUSED_COMPONENTS or "/" in name:
        raise ValueError(f"{what} takes one path component, got {name!r}")
    return name


class PathAlgebraMixin(StorePathMixin):
    """What every path can say about its own name, computed from ``self.path`` alone.

    Follows ``pathlib.PurePosixPath``; the bucket's root has the empty name, no parts, and
    is its own parent.
    """

    __slots__ = ()

    # -- joining -------------------------------------------------------------------------

    def joinpath(self, *parts: str) -> Self:
        """This path with ``parts`` appended; each may hold several "/"-separated components.

        An empty, "." or ".." component (so also a leading, doubled or trailing "/") raises
        ValueError, a part that is not a str TypeError.  No request.
        """
        names = [self._key()] if self.path != ROOT else []
        for part in parts:
            names.extend(_components(part, "joinpath()"))
        return self._at("/".join(names))

    def __truediv__(self, other: str) -> Self:
        """``p / "a/b"``: the same as ``p.joinpath("a/b")``."""
        if not isinstance(other, str):
            return NotImplemented
        return self.joinpath(other)

    # -- names ---------------------------------------------------------------------------

    @property
    def name(self) -> str:
        """The last component ("" for the root)."""
        return self.path.name

    @property
    def stem(self) -> str:
        """The last component without its suffix."""
        return self.path.stem

    @property
    def suffix(self) -> str:
        """The last component's final suffix (".gz" for "a.tar.gz"), or ""."""
        return self.path.suffix

    @property
    def suffixes(self) -> list[str]:
        """Every suffix of the last component ([".tar", ".gz"] for "a.tar.gz")."""
        return self.path.suffixes

    @property
    def parts(self) -> tuple[str, ...]:
        """The key's components (``()`` for the root)."""
        return () if self.path == ROOT else self.path.parts

    @property
    def parent(self) -> Self:
        """The path one level up; the root is its own parent."""
        key = self._key()
        return self._at(key.rpartition("/")[0])

    @property
    def parents(self) -> tuple[Self, ...]:
        """Every ancestor, nearest first and ending with the root (``()`` for the root)."""
        parts = self.parts
        return tuple(self._at("/".join(parts[:end])) for end in range(len(parts) - 1, -1, -1))

    def with_name(self, name: str) -> Self:
        """This path with its last component replaced by ``name`` (one component)."""
        _check_name(name, "with_name()")
        if self.path == ROOT:
            raise ValueError("the root of the bucket has no name to replace")
        return self.parent.joinpath(name)

    def with_stem(self, stem: str) -> Self:
        """This path with the stem of its last component replaced, the suffix kept."""
        if not isinstance(stem, str):
            raise TypeError(f"with_stem() takes a str, not {type(stem).__name__}")
        if not stem:
            raise ValueError("with_stem() takes a non-empty stem")
        return self.with_name(stem + self.suffix)

    def with_suffix(self, suffix: str) -> Self:
        """This path with its final suffix replaced by ``suffix`` ("" removes it).

        ValueError where the new name would be "", "." or ".." (``"..bak"`` without its
        suffix), which would name the parent or the path itself.
        """
        if not isinstance(suffix, str):
            raise TypeError(f"with_suffix() takes a str, not {type(suffix).__name__}")
        if self.path == ROOT:
            raise ValueError("the root of the bucket has no name to give a suffix")
        self.path.with_suffix(suffix)  # pathlib checks the suffix: a leading ".", no "/"
        name = self.path.stem + suffix
        if name in REFUSED_COMPONENTS:
            raise ValueError(f"with_suffix({suffix!r}) of {self._key()!r} gives the name "
                             f"{name!r}, which is not a name of its own")
        return self.parent.joinpath(name)

    # -- relations -----------------------------------------------------------------------

    def _other_key(self, other: Union[str, "PathAlgebraMixin"], what: str) -> str:
        if isinstance(other, PathAlgebraMixin):
            return other._key()
        if isinstance(other, str):
            return self._at(other)._key()
        raise TypeError(f"{what} takes a str or a path, not {type(other).__name__}")

    def relative_to(self, other: Union[str, "PathAlgebraMixin"]) -> PurePosixPath:
        """The part of this key below ``other``, as a relative ``PurePosixPath``.

        ``PurePosixPath(".")`` when both name the same key; ValueError when this path is
        not ``other`` or below it.  (The result is relative, so it is not a store path.)
        """
        base = self._other_key(other, "relative_to()")
        key = self._key()
        if key == base:
            return PurePosixPath(".")
        if not base:
            return PurePosixPath(key)
        if key.startswith(base + "/"):
            return PurePosixPath(key[len(base) + 1:])
        raise ValueError(f"{key!r} is not below {base!r}")

    def is_relative_to(self, other: Union[str, "PathAlgebraMixin"]) -> bool:
        """Whether this path is ``other`` or lies below it."""
        base = self._other_key(other, "is_relative_to()")
        key = self._key()
        return not base or key == base or key.startswith(base + "/")

    def match(self, pattern: str) -> bool:
        """Whether the key matches the shell-style ``pattern``, as ``PurePosixPath.match``.

        A relative pattern matches the trailing components ("*.csv", "2026/*.csv") and
        needs at least as many components as it has; a pattern starting with "/" must
        match the whole key ("/logs/*").  The root has no components: only "/" matches it.
        """
        if not isinstance(pattern, str):
            raise TypeError(f"match() takes a str pattern, not {type(pattern).__name__}")
        if pattern.startswith("/"):
            return PurePosixPath("/" + self._key()).match(pattern)
        key = self._key()
        return bool(key) and PurePosixPath(key).match(pattern)

    # -- ordering ------------------------------------------------------------------------

    def _ordering_keys(self, other: object) -> Optional[tuple[str, str]]:
        # Paths order by key text, and only against paths of exactly the same class.
        if type(other) is type(self) and isinstance(other, PathAlgebraMixin):
            return self._key(), other._key()
        return None

    def __lt__(self, other: object) -> bool:
        keys = self._ordering_keys(other)
        return NotImplemented if keys is None else keys[0] < keys[1]

    def __le__(self, other: object) -> bool:
        keys = self._ordering_keys(other)
        return NotImplemented if keys is None else keys[0] <= keys[1]

    def __gt__(self, other: object) -> bool:
        keys = self._ordering_keys(other)
        return NotImplemented if keys is None else keys[0] > keys[1]

    def __ge__(self, other: object) -> bool:
        keys = self._ordering_keys(other)
        return NotImplemented if keys is None else keys[0] >= keys[1]

    # -- URIs ----------------------------------------------------------------------------

    def as_uri(self) -> str:
        """``s3://<bucket>/<key>``, with the calling thread's bucket name.

        ValueError when the thread's configuration section names no bucket.
        """
        return f"s3://{self._bucket()}/{self._key()}"

