"""The transfer engine as the toolbox uses it: which clients it serves, its retry policy,
and the one translation of its results into the errors of this package.

The engine (``quorvex._engine``, C++) moves the bytes of transfers: GETs into files,
PUTs of files and parts, server-side copies.  It talks to the store the section's client
talks to, with the same endpoint, credentials, ``secure``, CA bundle (``SSL_CERT_FILE``,
else certifi's) and number of connections, and it is used only for a client of the
``minio.Minio`` class itself built by this package (a section whose client class is
another, such as a fake in tests, keeps the Python path), for a store that is not
Amazon's own (whose host names the SDK builds per bucket and region), and unless the
section "quorvex" says ``engine = false`` (``QUORVEX_ENGINE=false``).

Every request the engine sends is retried on its own as :func:`quorvex.retrying.retry`
retries a call: the same number of attempts, the same pauses and the same S3 error codes.
"""

from __future__ import annotations

import errno as errno_codes
import os
import threading
import weakref
from typing import Any, Callable, Iterable, Optional, Sequence

from minio import Minio
from minio.error import InvalidResponseError, S3Error, ServerError

from quorvex import _engine
from quorvex._progress import Progress
from quorvex.config import EnvConfig, TLSError
from quorvex.errors import UnexpectedReplyError, translate
from quorvex.retrying import (DEFAULT_DELAY, DEFAULT_MAX_DELAY, RETRY_SECTION,
                              _RETRIED_S3_CODES, backoff_delay, configured_attempts)

__all__ = ["EngineError", "Result", "Task", "engine_for", "error_of", "run", "stream"]

Task = dict[str, Any]
Result = dict[str, Any]

ENGINE_SECTION = "quorvex"

_engines: "weakref.WeakKeyDictionary[Minio, _engine.Engine]" = weakref.WeakKeyDictionary()
_engines_lock = threading.Lock()


class EngineError(ConnectionError):
    """A request of the engine that failed in the network: refused, dropped or timed out
    (after its retries).  A ``ConnectionError``, as the SDK's pool reports the same."""


def engine_for(client: Minio) -> Optional[_engine.Engine]:
    """The engine that moves the bytes of ``client``'s store, or None where the Python path
    keeps them (see the module's docstring)."""
    if type(client) is not Minio:
        return None
    if not EnvConfig.init_configer().get_bool(ENGINE_SECTION, "engine", True):
        return None
    engine = _engines.get(client)
    if engine is not None:
        return engine
    from quorvex.base import POOL_TIMEOUT, StorePool  # base builds the clients

    pool = getattr(client, "_http", None)
    base_url = client._base_url
    if not isinstance(pool, StorePool) or base_url.is_aws_host:
        return None
    with _engines_lock:
        engine = _engines.get(client)
        if engine is None:
            provider = client._provider
            credentials = provider.retrieve() if provider is not None else None
            engine = _engine.Engine(
                base_url.host, secure=base_url.is_https,
                access_key=credentials.access_key if credentials else None,
                secret_key=credentials.secret_key if credentials else None,
                session_token=credentials.session_token if credentials else None,
                ca_file=pool.ca_certs, max_connections=pool.max_connections,
                connect_timeout=POOL_TIMEOUT, read_timeout=POOL_TIMEOUT)
            _engines[client] = engine
    return engine


def region_of(client: Minio, bucket: str) -> str:
    """The region requests for ``bucket`` are signed for: the client's, or the bucket's
    (asked of the store once and remembered by the SDK).  FileNotFoundError for a bucket
    that does not exist."""
    try:
        region: str = client._get_region(bucket)
    except S3Error as exc:
        raise translate(exc, bucket, "") from None
    return region


def _pauses() -> list[float]:
    config = EnvConfig.init_configer()
    delay = config.get_float(RETRY_SECTION, "delay", DEFAULT_DELAY, 0.0)
    max_delay = config.get_float(RETRY_SECTION, "max_delay", DEFAULT_MAX_DELAY, 0.0)
    return [backoff_delay(index, delay, max_delay) for index in range(configured_attempts() - 1)]


def run(engine: _engine.Engine, tasks: Sequence[Task], workers: int,
        meter: Optional[Progress] = None,
        on_done: Optional[Callable[[list[tuple[int, Result]]], object]] = None,
        stop_on_failure: bool = False) -> list[Result]:
    """Runs ``tasks`` on up to ``workers`` connections; their results, in order.

    The bytes moved reach ``meter`` in batches; ``on_done`` hears of the tasks that have
    finished, with their results, in batches, on the calling thread.
    """
    progress = None
    if meter is not None and meter.active:
        def progress(moved: int, _finished: list[int]) -> None:
            meter.advance(moved)
    results: list[Result] = engine.run(
        tasks, workers=workers, pauses=_pauses(), retried_codes=sorted(_RETRIED_S3_CODES),
        progress=progress, on_done=on_done, stop_on_failure=stop_on_failure)
    return results


def stream(engine: _engine.Engine, client: Minio, bucket: str, key: str, start: int,
           length: int, etag: str, md5: bool, capacity: int) -> _engine.Stream:
    """A GET of ``length`` bytes of ``key`` from ``start`` (-1 from 0: the whole object),
    pinned to ``etag``, streaming into a read-ahead of ``capacity`` bytes; with ``md5``, its
    result carries the MD5 of the whole body.  It is retried as a task is until its first
    byte has come; after that a failure ends it."""
    return engine.stream(bucket, key, region_of(client, bucket), start=start, length=length,
                         if_match=f'"{etag}"', md5=md5, capacity=capacity, pauses=_pauses(),
                         retried_codes=sorted(_RETRIED_S3_CODES))


def error_of(result: Result, client: Minio, bucket: str, key: str) -> BaseException:
    """The exception a failed task's ``result`` stands for, as the SDK's path raises it
    (a missing bucket or object is a FileNotFoundError)."""
    kind = result["kind"]
    message = result["message"]
    if kind == "s3":
        error = S3Error(result["code"], message, result["resource"] or None,
                        result["request_id"] or None, result["host_id"] or None, None,
                        bucket_name=bucket, object_name=key or None)
        return translate(error, bucket, key)
    if kind == "http":
        if result["status"] >= 500:
            return ServerError(f"server failed with HTTP status code {result['status']} "
                               f"for '{key}'", result["status"])
        return InvalidResponseError(result["status"], None, message or None)
    if kind == "tls":
        from quorvex.base import StorePool

        pool = client._http
        if isinstance(pool, StorePool):
            return pool.tls_error(message, verification="certificate" in message.lower())
        return TLSError(message)
    if kind == "transport":
        if result["curl_code"] == 28:  # CURLE_OPERATION_TIMEDOUT
            return TimeoutError(f"'{key}': {message}")
        return EngineError(f"'{key}': {message}")
    if kind == "local":
        number = result["errno"]
        if number:
            return OSError(number, os.strerror(number), message)
        return OSError(errno_codes.EIO, message)
    if kind == "reply":
        return UnexpectedReplyError(f"'{key}': {message}")
    return InterruptedError(f"'{key}': {message}")


def first_failure(results: Iterable[Result]) -> Optional[Result]:
    """The first result of a task that failed for a reason of its own (not cancelled)."""
    for result in results:
        if not result["ok"] and result["kind"] != "cancelled":
            return result
    return None
