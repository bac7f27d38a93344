"""What the path classes are built on: the base class, per-thread state and retries.

``BasePath``
    A handle on one key of a bucket.  Subclasses name their configuration section in
    ``_section`` (its first entry is the default) and the client class in ``_creator``.
    Each thread reads its section from :class:`Local`, so ``with
    MinIOPath.use_section("minio.archive"):`` points that thread alone at other settings.
    ``client`` builds one client per (creator, section) per process, shared by all threads.

``Local``
    Per-thread values under string keys.

``retry``
    Calls a function again after a transient failure: a dropped or refused connection, a
    timeout, an HTTP 5xx, or an S3 error InternalError, ServiceUnavailable, SlowDown or
    RequestTimeout.  Nothing else is retried.  Pauses grow exponentially with jitter: the
    pause before retry ``k`` (from 0) lies between ``c / 2`` and ``c``, where ``c =
    min(max_delay, delay * 2 ** k)``.  The defaults -- 3 attempts in all, 0.2 s initial
    delay, 2 s cap -- are read, when a failure happens, from the section "quorvex.retry":
    ``QUORVEX_RETRY_ATTEMPTS``, ``QUORVEX_RETRY_DELAY`` and ``QUORVEX_RETRY_MAX_DELAY``.

How long a call can take before it fails
    The minio SDK already retries inside its HTTP pool: up to 6 tries per request with
    6.0 s of backoff in all, and a 5-minute connect and read timeout per try.

    * An endpoint that refuses connections or cannot be reached at once: about 6 s per
      attempt, so with the defaults 3 x 6 s + at most 0.2 + 0.4 s of pauses, about 19 s.
    * An endpoint that accepts nothing and answers nothing (packets dropped, or a server
      that hangs): each try waits out the 5-minute timeout, so up to 30 min per attempt and
      about 90 min with the defaults.  Lower ``QUORVEX_RETRY_ATTEMPTS`` where that matters.

    In general: ``attempts x (SDK time per attempt) + sum of the pauses``, the pauses adding
    up to at most ``sum(min(max_delay, delay * 2 ** k) for k in range(attempts - 1))``.

Nested retries
    A retried method may call other retried methods (a directory upload calls upload for
    each entry).  The innermost call that failed is the one that retries; once it gives up,
    the callers around it pass its error on without retrying it again, so a failure costs
    one round of attempts, not one per level.  A failure in the caller's own requests is
    retried by the caller, which re-runs it whole (for an upload: the entries already sent
    are sent again).

What a retry does not cover
    * A generator (``glob``) is handed back as it is; errors raised while it is being
      iterated are not retried, since the items already yielded cannot be taken back.
    * A call with an argument that can be read only once (a file object, an iterator) is
      not retried: what the failed attempt consumed would be missing from the next one.
    * A request whose reply was lost may have taken effect: its retry then sees the new
      state (creating a bucket that the lost attempt created reports that it exists).
"""

from __future__ import annotations

import contextlib
import functools
import itertools
import logging
import math
import os
import random
import re
import sys
import threading
import time
from pathlib import PurePath, PurePosixPath
from types import CodeType, FrameType
from typing import Any, Callable, ClassVar, Iterator, Optional, Self, TypeVar

import urllib3.exceptions
from minio.error import S3Error, ServerError

from quorvex.config import EnvConfig

__all__ = ["BasePath", "Local", "is_transient", "retry"]

_log = logging.getLogger("quorvex.retry")

F = TypeVar("F", bound=Callable[..., Any])

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


# -- retries ----------------------------------------------------------------------------

RETRY_SECTION = "quorvex.retry"
DEFAULT_ATTEMPTS = 3
DEFAULT_DELAY = 0.2
DEFAULT_MAX_DELAY = 2.0

# Module-level so that tests can replace them.
_sleep = time.sleep
_random = random.random

_RETRIED_S3_CODES = frozenset({"InternalError", "ServiceUnavailable", "SlowDown",
                               "RequestTimeout"})
# Never retried, even where such an error also derives from a transport error.
_NEVER_RETRIED = (FileNotFoundError, TypeError, ValueError, NotImplementedError)
# Transport trouble: the connection failed, dropped or timed out.  urllib3's TimeoutError
# covers ReadTimeoutError, ConnectTimeoutError, NewConnectionError and NameResolutionError;
# ResponseError is the cause MaxRetryError names when 5xx replies used up the SDK's tries.
_TRANSPORT_ERRORS = (
    ConnectionError,
    TimeoutError,
    urllib3.exceptions.TimeoutError,
    urllib3.exceptions.ProtocolError,
    urllib3.exceptions.ResponseError,
    urllib3.exceptions.IncompleteRead,
)


def is_transient(exc: BaseException) -> bool:
    """Whether ``exc`` is a failure that trying again may cure."""
    if isinstance(exc, _NEVER_RETRIED):
        return False
    if isinstance(exc, S3Error):
        return exc.code in _RETRIED_S3_CODES
    if isinstance(exc, ServerError):
        return exc.status_code >= 500
    if isinstance(exc, urllib3.exceptions.MaxRetryError):
        # The SDK's pool gave up; its cause says why.  A certificate or proxy problem
        # will not go away by itself.
        return exc.reason is None or is_transient(exc.reason)
    return isinstance(exc, _TRANSPORT_ERRORS)


def backoff_delay(index: int, delay: float, max_delay: float) -> float:
    """The pause before retry ``index`` (from 0): in [c/2, c], c = min(max_delay, delay*2**index)."""
    cap = min(max_delay, delay * 2.0 ** min(index, 64))
    return cap * (0.5 + 0.5 * _random())


def _check_setting(name: str, value: Any, minimum: float, integral: bool) -> None:
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            (integral and isinstance(value, float)):
        raise TypeError(f"retry {name} must be {'an int' if integral else 'a number'}, "
                        f"not {type(value).__name__}")
    if not (math.isfinite(value) and value >= minimum):
        raise ValueError(f"retry {name} must be at least {minimum} and finite, got {value!r}")


# The code of every retry wrapper and of the retry loop.  An error whose traceback passes
# through one of them, in a call that has returned, was already retried there.
_retry_codes: set[CodeType] = set()


def _retried_inside(exc: BaseException) -> bool:
    # Frames still running are left out: the caller's own, and those that an exception
    # raised again and again (the same object, as fakes do) keeps from its earlier attempts.
    running = set()
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None:
        running.add(id(frame))
        frame = frame.f_back
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code in _retry_codes and id(tb.tb_frame) not in running:
            return True
        tb = tb.tb_next
    return False


_SINGLE_USE_EXEMPT = (str, bytes, bytearray, memoryview, int, float, type(None), PurePath)


def _replayable(args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
    # False where an argument can be consumed only once (a stream or an iterator).
    for value in itertools.chain(args, kwargs.values()):
        if isinstance(value, _SINGLE_USE_EXEMPT) or isinstance(value, BasePath):
            continue
        if hasattr(value, "read") or hasattr(value, "__next__"):
            return False
    return True


def retry(attempts: Optional[int] = None, delay: Optional[float] = None,
          max_delay: Optional[float] = None) -> Callable[[F], F]:
    """A decorator that retries transient failures of the function it wraps.

    ``attempts`` counts every call, the first one too; ``delay`` is the first pause and
    ``max_delay`` the longest, in seconds.  Those left as None are read from the section
    "quorvex.retry" when a failure happens (defaults 3, 0.2 and 2.0).  The wrapper is a
    plain function given the wrapped one's metadata by functools.update_wrapper (as
    functools.wraps does): it binds as a method and ``__wrapped__`` leads to the original.  Whatever the function returns, a generator too, is
    handed back as it is.
    """
    _check_setting("attempts", attempts, 1, True)
    _check_setting("delay", delay, 0, False)
    _check_setting("max_delay", max_delay, 0, False)

    def decorate(func: F) -> F:
        if not callable(func):
            raise TypeError(f"retry() wraps a callable, not {type(func).__name__}")

        def wrapper(*args: Any, **kwargs: Any) -> Any:
            try:
                return func(*args, **kwargs)
            except Exception as exc:
                if not is_transient(exc) or _retried_inside(exc) or \
                        not _replayable(args, kwargs):
                    raise
                return _retry_call(func, args, kwargs, exc, attempts, delay, max_delay)

        _retry_codes.add(wrapper.__code__)
        return functools.update_wrapper(wrapper, func)  # type: ignore[return-value]

    return decorate


def _retry_call(func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any],
                error: Exception, attempts: Optional[int], delay: Optional[float],
                max_delay: Optional[float]) -> Any:
    # Runs inside the wrapper's except block: an error raised here has the first failure
    # as its __context__.
    if attempts is None or delay is None or max_delay is None:
        config = EnvConfig.init_configer()
        if attempts is None:
            attempts = config.get_int(RETRY_SECTION, "attempts", DEFAULT_ATTEMPTS, 1)
        if delay is None:
            delay = config.get_float(RETRY_SECTION, "delay", DEFAULT_DELAY, 0.0)
        if max_delay is None:
            max_delay = config.get_float(RETRY_SECTION, "max_delay", DEFAULT_MAX_DELAY, 0.0)
    name = getattr(func, "__qualname__", None) or repr(func)
    for index in range(attempts - 1):
        pause = backoff_delay(index, delay, max_delay)
        _log.warning("%s failed (%s: %s); attempt %d of %d in %.2f s", name,
                     type(error).__name__, error, index + 2, attempts, pause)
        _sleep(pause)
        try:
            return func(*args, **kwargs)
        except Exception as exc:
            if not is_transient(exc) or _retried_inside(exc):
                raise
            error = exc
    raise error


_retry_codes.add(_retry_call.__code__)

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


class BasePath:
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
