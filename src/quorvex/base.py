"""What the path classes are built on: the base class, per-thread state and retries.

``BasePath``
    A handle on one key of a bucket.  Subclasses name their configuration section in
    ``_section`` (its first entry is the default) and the client class in ``_creator``.
    Each thread reads its section from :class:`Local`, so ``with
    MinIOPath.use_section("minio.archive"):`` points that thread alone at other settings.
    ``client`` builds one client per (creator, section) per process, shared by all threads.

``Local``
    Per-thread values under string keys.

``retry``, ``is_transient``
    Re-exported from :mod:`quorvex.retrying`, where retries of transient failures live.

The toolbox every path has (path algebra, metadata, listings, text, streams and
transfers) lives in modules of its own, one per concern; ``BasePath`` is assembled here.
"""

from __future__ import annotations

import contextlib
import os
import re
import threading
from pathlib import PurePosixPath
from typing import Any, Callable, ClassVar, Iterator, Optional, Self

from quorvex.config import EnvConfig
from quorvex.content import ContentMixin
from quorvex.listing import DiskUsage, Entry, ListingMixin
from quorvex.metadata import MetadataMixin, ObjectInfo
from quorvex.path_algebra import PathAlgebraMixin
from quorvex.retrying import is_transient, retry
from quorvex.streams import StreamsMixin
from quorvex.transfers import TransferError, TransfersMixin

__all__ = ["BasePath", "DiskUsage", "Entry", "Local", "ObjectInfo", "TransferError",
           "is_transient", "retry"]

# -- per-thread values ------------------------------------------------------------------

_thread_values = threading.local()


class Local:
    """Values kept per thread under string keys, used through the class itself.

    ``getattr`` and ``delattr`` raise AttributeError for a key the calling thread has not
    set, as the built-ins of the same names do.  Keys live in a dict of their own, so any
    string is a key (``"__class__"`` too).
    """

    __slots__ = ()

    def __new__(cls) -> "Local":
        raise TypeError("Local is used through the class: Local.getattr(key) and so on")

    @staticmethod
    def hasattr(key: str) -> bool:
        return key in _thread_values.__dict__

    @staticmethod
    def getattr(key: str) -> Any:
        try:
            return _thread_values.__dict__[key]
        except KeyError:
            raise _missing(key) from None

    @staticmethod
    def setattr(key: str, value: Any) -> None:
        if not isinstance(key, str):
            raise TypeError(f"Local keys must be str, not {type(key).__name__}")
        _thread_values.__dict__[key] = value

    @staticmethod
    def delattr(key: str) -> None:
        try:
            del _thread_values.__dict__[key]
        except KeyError:
            raise _missing(key) from None


def _missing(key: object) -> AttributeError:
    thread = threading.current_thread().name
    return AttributeError(f"thread {thread!r} has no value for {key!r}", name=str(key))


# -- paths ------------------------------------------------------------------------------

_ROOT = PurePosixPath("/")
_EMPTY_KEY = PurePosixPath(".")
_SECTION_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]*\Z")

# A class's _section -> the Local key of its threads' current section.  Classes with the
# same default section share the key, so a subclass follows use_section on its base.
_section_keys: dict[Any, str] = {}

# (creator, section) -> the client; created under the lock, read without it.
_clients: dict[tuple[Any, str], Any] = {}
_clients_lock = threading.Lock()


def _check_section_name(section: object) -> str:
    if not isinstance(section, str):
        raise TypeError(f"a section name must be a str, not {type(section).__name__}")
    if not _SECTION_NAME.match(section):
        raise ValueError("a section name is letters, digits, '_', '.' and '-', starting "
                         f"with a letter or digit; got {section!r}")
    return section


def _section_key_of(cls: type) -> str:
    try:
        return _section_keys[cls._section]  # type: ignore[attr-defined]
    except (KeyError, AttributeError, TypeError):
        pass
    sections = getattr(cls, "_section", None)
    if not isinstance(sections, tuple) or not sections or \
            not all(isinstance(section, str) for section in sections):
        raise TypeError(f"{cls.__name__}._section must be a non-empty tuple of section "
                        f"names, not {sections!r}")
    key = "quorvex.section:" + _check_section_name(sections[0])
    _section_keys[sections] = key
    return key


@contextlib.contextmanager
def _section_override(key: str, section: str) -> Iterator[str]:
    had_previous = Local.hasattr(key)
    previous = Local.getattr(key) if had_previous else None
    Local.setattr(key, section)
    try:
        yield section
    finally:
        if had_previous:
            Local.setattr(key, previous)
        elif Local.hasattr(key):
            Local.delattr(key)


def _forget_clients_after_fork() -> None:
    # A client's connection pool must not be shared with the parent process.
    global _clients_lock
    _clients.clear()
    _clients_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_clients_after_fork)


class BasePath(PathAlgebraMixin, MetadataMixin, ListingMixin, ContentMixin, StreamsMixin,
               TransfersMixin):
    """A handle on one key of a bucket (or the bucket's root).

    ``path`` is the key as a PurePosixPath without leading slashes; the root is
    ``PurePosixPath("/")``.  Subclasses set ``_section`` (a tuple whose first entry is the
    default configuration section) and ``_creator`` (the client class).
    """

    _section: ClassVar[tuple[str, ...]]
    _creator: ClassVar[Optional[Callable[..., Any]]] = None

    path: PurePosixPath

    def __init__(self, path: str = "") -> None:
        if not isinstance(path, str):
            raise TypeError(f"{type(self).__name__} path must be a str, "
                            f"not {type(path).__name__}")
        if re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", path):
            # "s3://bkt/a" would otherwise become the key "s3:/bkt/a" of the configured
            # bucket.
            raise ValueError(
                f"{type(self).__name__} path {path!r} begins with a URI scheme: a path is "
                "a key inside the bucket, and the bucket comes from the configuration "
                "section (its bucket_name), not from the path")
        key = PurePosixPath(path.lstrip("/"))
        self.path = _ROOT if key == _EMPTY_KEY else key

    # -- identity --------------------------------------------------------------------

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self.path == other.path

    def __hash__(self) -> int:
        return hash((type(self), self.path))

    def __repr__(self) -> str:
        return f"{type(self).__name__}(path={str(self.path)!r})"

    def join(self, name: str) -> Self:
        """The child called ``name``: one path component, not "", ".", ".." or with "/"."""
        if not isinstance(name, str):
            raise TypeError(f"join() takes a str name, not {type(name).__name__}")
        if not name or "/" in name or name in (".", ".."):
            raise ValueError(f"join() takes one path component, got {name!r}")
        if self.path == _ROOT:
            return type(self)(path=name)
        return type(self)(path=f"{self.path.as_posix()}/{name}")

    # -- sections --------------------------------------------------------------------

    def _section_key_on_thread(self) -> str:
        """The Local key of the calling thread's section for this class."""
        try:
            return _section_keys[self._section]
        except (KeyError, AttributeError, TypeError):
            return _section_key_of(type(self))

    def _valid_reset(self) -> None:
        """Puts the calling thread back on the class's default section."""
        Local.setattr(self._section_key_on_thread(), self._section[0])

    def _current_section(self) -> str:
        key = self._section_key_on_thread()
        if not Local.hasattr(key):
            self._valid_reset()
        section: str = Local.getattr(key)
        return section

    @classmethod
    def use_section(cls, section: str) -> contextlib.AbstractContextManager[str]:
        """Within ``with cls.use_section(name):`` the calling thread uses section ``name``.

        The thread's previous section, or its having none, comes back on exit; uses nest.
        Other threads are not affected.
        """
        section = _check_section_name(section)
        return _section_override(_section_key_of(cls), section)

    # -- the client ------------------------------------------------------------------

    @property
    def client(self) -> Any:
        """The client for the calling thread's section, shared by every thread."""
        creator = type(self)._creator
        section = self._current_section()
        try:
            return _clients[creator, section]
        except KeyError:
            return _create_client(type(self), creator, section)

    @staticmethod
    def reset_clients() -> None:
        """Drops every cached client: the next use builds one from the current settings."""
        with _clients_lock:
            _clients.clear()


def _create_client(cls: type, creator: Any, section: str) -> Any:
    if not callable(creator):
        raise TypeError(f"{cls.__name__}._creator must be the client class, not {creator!r}")
    with _clients_lock:
        client = _clients.get((creator, section))
        if client is None:
            settings = EnvConfig.init_configer().client_settings(section)
            options: dict[str, Any] = {
                "access_key": settings.access_key,
                "secret_key": settings.secret_key,
                "secure": settings.secure,
            }
            if settings.region is not None:
                options["region"] = settings.region
            client = creator(settings.endpoint, **options)
            _clients[creator, section] = client
    return client
