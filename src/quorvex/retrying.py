"""Retries of transient failures, for every method of a path that calls the store.

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

import functools
import itertools
import logging
import math
import random
import sys
import time
from pathlib import PurePath
from types import CodeType, FrameType
from typing import Any, Callable, Optional, TypeVar

import urllib3.exceptions
from minio.error import S3Error, ServerError

from quorvex.config import EnvConfig

__all__ = ["backoff_delay", "configured_attempts", "is_transient", "retry"]

_log = logging.getLogger("quorvex.retry")

F = TypeVar("F", bound=Callable[..., Any])

# -- retries ----------------------------------------------------------------------------

RETRY_SECTION = "quorvex.retry"
DEFAULT_ATTEMPTS = 3
DEFAULT_DELAY = 0.2
DEFAULT_MAX_DELAY = 2.0

# Module-level so that tests can replace them.
_sleep = time.sleep
_random = random.random

# The extension's exists raises these codes again (is_transient_code in
# cpp/members_query.cpp) instead of answering False; tests/test_transient_codes.py fails
# when the two lists differ.
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


def configured_attempts() -> int:
    """The number of attempts in all that a failing call gets (``QUORVEX_RETRY_ATTEMPTS``)."""
    return EnvConfig.init_configer().get_int(RETRY_SECTION, "attempts", DEFAULT_ATTEMPTS, 1)


def backoff_delay(index: int, delay: float, max_delay: float) -> float:
    """The pause before retry ``index`` (from 0): in [c/2, c], with
    c = min(max_delay, delay * 2**index)."""
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
        if isinstance(value, _SINGLE_USE_EXEMPT) or \
                hasattr(type(value), "_section_key_on_thread"):
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
    functools.wraps does): it binds as a method and ``__wrapped__`` leads to the original.
    Whatever the function returns, a generator too, is handed back as it is.
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
            attempts = configured_attempts()
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
