"""What the path classes are built on: the base class, per-thread state and retries.

``BasePath``
    A handle on one key of a bucket.  Subclasses name their configuration section in
    ``_section`` (its first entry is the default) and the client class in ``_creator``.
    Each thread reads its section from :class:`Local`, so ``with
    MinIOPath.use_section("minio.archive"):`` points that thread alone at other settings
    (``@MinIOPath.use_section(...)`` does the same for each call of a function).
    ``client`` builds one client per (creator, section) per process, shared by all threads;
    see :attr:`BasePath.client` for when it is built again.

``Local``
    Per-thread values under string keys.

``retry``, ``is_transient``
    Re-exported from :mod:`quorvex.retrying`, where retries of transient failures live.

The toolbox every path has (path algebra, metadata, listings, text, streams, transfers
and the clean-up of uncompleted uploads) lives in modules of its own, one per concern;
``BasePath`` is assembled here.
"""

from __future__ import annotations

import contextlib
import functools
import os
import re
import ssl
import threading
import weakref
from pathlib import PurePosixPath
from types import TracebackType
from typing import Any, Callable, ClassVar, Optional, ParamSpec, Self, TypeVar

import certifi
import urllib3
from minio import Minio

from quorvex import config as _config
from quorvex.config import ClientSettings, EnvConfig, TLSError, check_section_name
from quorvex.content import ContentMixin
from quorvex.copying import CopyingMixin
from quorvex.listing import DiskUsage, Entry, ListingMixin
from quorvex.metadata import MetadataMixin, ObjectInfo
from quorvex.path_algebra import REFUSED_COMPONENTS, ROOT, PathAlgebraMixin
from quorvex.retrying import is_transient, retry
from quorvex.streams import StreamsMixin
from quorvex.errors import TransferError
from quorvex.transfers import TransfersMixin
from quorvex.uploads import UploadsMixin

__all__ = ["BasePath", "DiskUsage", "Entry", "Local", "ObjectInfo", "SectionUse", "TransferError",
           "is_transient", "retry"]

_P = ParamSpec("_P")
_R = TypeVar("_R")

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
        _forget_thread_clients()  # the thread's section may have changed

    @staticmethod
    def delattr(key: str) -> None:
        try:
            del _thread_values.__dict__[key]
        except KeyError:
            raise _missing(key) from None
        _forget_thread_clients()


def _missing(key: object) -> AttributeError:
    thread = threading.current_thread().name
    return AttributeError(f"thread {thread!r} has no value for {key!r}", name=str(key))


# -- paths ------------------------------------------------------------------------------

_URI_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
_EMPTY_KEY = PurePosixPath(".")

# A class's _section -> the Local key of its threads' current section.  Classes with the
# same default section share the key, so a subclass follows use_section on its base.
_section_keys: dict[Any, str] = {}

# (creator, section) -> the client; changed under the lock, read without it.
_clients: dict[tuple[Any, str], Any] = {}
_clients_lock = threading.Lock()


class _ThreadClients:
    """One thread's clients by path class, for the sections the thread is on now.

    ``client`` answers from ``clients`` (also reachable as ``_thread_clients.clients``)
    with one lookup, where the class's ``_creator`` is still the one the client came
    from.  It is emptied when the thread's section changes (Local.setattr, Local.delattr)
    and, for every thread, when clients are dropped (reset_clients,
    configure, fork); otherwise only the holder of _clients_lock fills it.
    """

    __slots__ = ("clients", "__weakref__")

    def __init__(self) -> None:
        self.clients: dict[type, tuple[Any, Any]] = {}  # class -> (its creator, client)


_thread_clients = threading.local()  # .clients and .holder: the calling thread's
# id -> each living thread's _ThreadClients (a thread's goes when the thread ends).
_every_thread_clients: "weakref.WeakValueDictionary[int, _ThreadClients]" = \
    weakref.WeakValueDictionary()


def _forget_thread_clients() -> None:
    clients = _thread_clients.__dict__.get("clients")
    if clients:
        clients.clear()


def _forget_every_thread_clients() -> None:
    # Called with _clients_lock held.
    for holder in list(_every_thread_clients.values()):
        holder.clients.clear()


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
    key = "quorvex.section:" + check_section_name(sections[0])
    _section_keys[sections] = key
    return key


class SectionUse(contextlib.ContextDecorator):
    """What ``use_section(name)`` returns: a context manager and a decorator.

    ``with`` it, the calling thread is on section ``name`` until the block ends; then the
    thread's previous section, or its having none, comes back.  As a decorator, every call
    of the decorated function runs on section ``name`` in the thread that makes the call,
    which is how a function handed to a thread pool keeps its section.
    """

    __slots__ = ("_key", "_section", "_saved")

    def __init__(self, key: str, section: str) -> None:
        self._key = key
        self._section = section
        # thread id -> (had a section, that section) per entry not yet left, innermost
        # last: one object may be entered again, and in several threads at once.
        self._saved: dict[int, list[tuple[bool, Any]]] = {}

    @property
    def section(self) -> str:
        """The section this puts the calling thread on."""
        return self._section

    def _recreate_cm(self) -> "SectionUse":
        # Each decorated call gets its own, so calls in many threads at once do not meet.
        return SectionUse(self._key, self._section)

    def __call__(self, func: Callable[_P, _R]) -> Callable[_P, _R]:  # type: ignore[override]
        @functools.wraps(func)
        def on_section(*args: _P.args, **kwargs: _P.kwargs) -> _R:
            with self._recreate_cm():
                return func(*args, **kwargs)
        return on_section

    def __enter__(self) -> str:
        key = self._key
        had = Local.hasattr(key)
        saved = self._saved.setdefault(threading.get_ident(), [])
        saved.append((had, Local.getattr(key) if had else None))
        Local.setattr(key, self._section)
        return self._section

    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        ident = threading.get_ident()
        saved = self._saved[ident]
        had, previous = saved.pop()
        if not saved:
            del self._saved[ident]
        if had:
            Local.setattr(self._key, previous)
        elif Local.hasattr(self._key):
            Local.delattr(self._key)

    def __repr__(self) -> str:
        return f"<SectionUse {self._section!r}>"


def _forget_clients_after_fork() -> None:
    # A client's connection pool must not be shared with the parent process.
    global _clients_lock
    _clients.clear()
    _clients_lock = threading.Lock()
    _forget_every_thread_clients()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_clients_after_fork)


def _forget_section_clients(section: str) -> None:
    """Drops the clients of ``section``: its connection settings were given new values."""
    with _clients_lock:
        for key in [key for key in _clients if key[1] == section]:
            del _clients[key]
        _forget_every_thread_clients()


_config._connection_listeners.append(_forget_section_clients)


class BasePath(PathAlgebraMixin, MetadataMixin, ListingMixin, ContentMixin, StreamsMixin,
               TransfersMixin, CopyingMixin, UploadsMixin):
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
        if "://" in path and _URI_SCHEME.match(path):
            # "s3://bkt/a" would otherwise become the key "s3:/bkt/a" of the configured
            # bucket.
            raise ValueError(
                f"{type(self).__name__} path {path!r} begins with a URI scheme: a path is "
                "a key inside the bucket, and the bucket comes from the configuration "
                "section (its bucket_name), not from the path")
        key = PurePosixPath(path.lstrip("/"))
        self.path = ROOT if key == _EMPTY_KEY else key

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
        if name in REFUSED_COMPONENTS or "/" in name:
            raise ValueError(f"join() takes one path component, got {name!r}")
        if self.path == ROOT:
            return type(self)(path=name)
        return type(self)(path=f"{self.path.as_posix()}/{name}")

    # -- sections --------------------------------------------------------------------

    def _section_key_on_thread(self) -> str:
        """The Local key of the calling thread's section for this class."""
        try:
            return _section_keys[self._section]
        except (KeyError, AttributeError, TypeError):
            pass
        return _section_key_of(type(self))  # outside the except: no lookup failure chained

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
    def use_section(cls, section: str) -> SectionUse:
        """Within ``with cls.use_section(name):`` the calling thread uses section ``name``.

        The thread's previous section, or its having none, comes back on exit; uses nest.
        Other threads are not affected: a section belongs to a thread, and threads started
        inside the block (a pool's workers) are on their own default section.  As a
        decorator, ``@cls.use_section(name)`` runs each call of the function on section
        ``name`` in whichever thread makes the call.
        """
        section = check_section_name(section)
        return SectionUse(_section_key_of(cls), section)

    # -- the client ------------------------------------------------------------------

    @property
    def client(self) -> Any:
        """The client for the calling thread's section, shared by every thread.

        It is built on first use from the section's settings and the class's
        ``_creator``, and kept for the process.  Built again: after
        :func:`quorvex.config.configure` changes a setting of the section other than
        ``bucket_name``, when the class's ``_creator`` is another, and after
        :meth:`reset_clients`.  Changes of the connection settings in the environment or
        the file are not seen until :meth:`reset_clients` is called.
        """
        cls = type(self)
        try:
            creator, client = _thread_clients.clients[cls]
            if creator is cls._creator:
                return client
        except (AttributeError, KeyError):
            pass
        return _shared_client(self)

    @staticmethod
    def reset_clients() -> None:
        """Drops every cached client: the next use builds one from the current settings."""
        with _clients_lock:
            _clients.clear()
            _forget_every_thread_clients()


def _shared_client(path: BasePath) -> Any:
    """The process's client for ``path``'s class and section, remembered for the thread."""
    cls = type(path)
    creator = cls._creator
    section = path._current_section()
    client = _clients.get((creator, section))
    if client is None:
        client = _create_client(cls, creator, section)
    with _clients_lock:
        if _clients.get((creator, section)) is client:  # not dropped in the meantime
            clients = _thread_clients.__dict__.get("clients")
            if clients is None:
                holder = _thread_clients.holder = _ThreadClients()
                clients = _thread_clients.clients = holder.clients
                _every_thread_clients[id(holder)] = holder
            clients[cls] = (creator, client)
    return client


def _create_client(cls: type, creator: Any, section: str) -> Any:
    if not callable(creator):
        raise TypeError(f"{cls.__name__}._creator must be the client class, not {creator!r}")
    with _clients_lock:
        client = _clients.get((creator, section))
        if client is None:
            config = EnvConfig.init_configer()
            settings = config.client_settings(section)
            options: dict[str, Any] = {
                "access_key": settings.access_key,
                "secret_key": settings.secret_key,
                "secure": settings.secure,
            }
            if settings.region is not None:
                options["region"] = settings.region
            if isinstance(creator, type) and issubclass(creator, Minio):
                # Any other creator is a factory that makes its own connection pool.
                options["http_client"] = StorePool(settings, section,
                                                    config.source(section, "secure"))
            client = creator(settings.endpoint, **options)
            _clients[creator, section] = client
    return client


# -- the connection pool ----------------------------------------------------------------

POOL_TIMEOUT = 300.0  # seconds, to connect and per read, as the SDK's own pool


class StorePool(urllib3.PoolManager):
    """The SDK's own connection pool, with two changes.

    Its size per host is the section's ``max_connections``.  A failed TLS handshake is not
    tried again (the SDK's pool would try it six times over about 6 s: a server that
    speaks no TLS, or a certificate that does not verify, does not change its mind); it
    is raised at once as :class:`quorvex.config.TLSError`, which says which setting to
    look at.  Refused connections, timeouts and 5xx replies are retried as by the SDK.
    The transfer engine (quorvex.engine) takes its CA bundle and its number of connections
    from here.
    """

    def __init__(self, settings: ClientSettings, section: str, secure_source: str) -> None:
        self.ca_certs: str = os.environ.get("SSL_CERT_FILE") or certifi.where()
        self.max_connections = settings.max_connections
        super().__init__(
            timeout=urllib3.Timeout(connect=POOL_TIMEOUT, read=POOL_TIMEOUT),
            maxsize=settings.max_connections,
            cert_reqs="CERT_REQUIRED",
            ca_certs=self.ca_certs,
            retries=urllib3.Retry(total=5, backoff_factor=0.2,
                                  status_forcelist=[500, 502, 503, 504],
                                  other=0),  # "other" errors are the TLS ones
        )
        self._endpoint = settings.endpoint
        self._section = section
        self._secure_source = secure_source

    def urlopen(  # type: ignore[override]  # as PoolManager.urlopen itself
            self, method: str, url: str, redirect: bool = True,
            **kw: Any) -> urllib3.BaseHTTPResponse:
        try:
            return super().urlopen(method, url, redirect, **kw)
        except urllib3.exceptions.MaxRetryError as exc:
            if not isinstance(exc.reason, urllib3.exceptions.SSLError):
                raise
            raise self._tls_error(exc.reason) from exc
        except urllib3.exceptions.SSLError as exc:
            raise self._tls_error(exc) from exc

    def _tls_error(self, exc: urllib3.exceptions.SSLError) -> TLSError:
        return self.tls_error(str(exc), _is_verification_failure(exc))

    def tls_error(self, detail: str, verification: bool) -> TLSError:
        """The error for a failed TLS handshake with this pool's store, saying which
        setting to look at; ``verification`` when the certificate did not verify."""
        exc = detail
        if verification:
            return TLSError(
                f"the TLS certificate of {self._endpoint} (section {self._section!r}) does "
                f"not verify against the CA bundle {self.ca_certs}: set SSL_CERT_FILE to "
                f"a file holding the CA that signed it (and call reset_clients()) ({exc})")
        return TLSError(
            f"the TLS handshake with {self._endpoint} (section {self._section!r}) failed: "
            f"if the server speaks plain HTTP, set {self._secure_source} to false ({exc})")


def _is_verification_failure(exc: BaseException) -> bool:
    """Whether an SSL error, or one it wraps, says the certificate did not verify."""
    seen: set[int] = set()
    todo: list[object] = [exc]
    while todo:
        error = todo.pop()
        if not isinstance(error, BaseException) or id(error) in seen:
            continue
        seen.add(id(error))
        if isinstance(error, (ssl.SSLCertVerificationError, ssl.CertificateError)):
            return True
        todo.extend([error.__cause__, error.__context__, *error.args])
    return "CERTIFICATE_VERIFY_FAILED" in str(exc)
