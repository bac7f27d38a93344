"""The transfer engine: HTTP through libcurl, request signing, the scheduler of transfers."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, final

curl_version: str
"""The version of the libcurl the engine runs on, e.g. ``"7.88.1"``."""
tls_backend: str
"""libcurl's TLS library, e.g. ``"OpenSSL/3.0.19"`` (``"none"`` without one)."""

@final
class Engine:
    """The transfer engine of one store: its endpoint, credentials and idle connections."""

    def __init__(
        self,
        endpoint: str,
        *,
        secure: bool = True,
        access_key: str | None = None,
        secret_key: str | None = None,
        session_token: str | None = None,
        ca_file: str | None = None,
        max_connections: int = 16,
        connect_timeout: float = 300.0,
        read_timeout: float = 300.0,
        virtual_host: bool = False,
    ) -> None:
        """``endpoint`` is ``"host"`` or ``"host:port"``, without a scheme.

        ``ValueError`` for an endpoint with a scheme, path or space, for ``max_connections``
        below 1 and for a timeout that is not positive.
        """
    def run(
        self,
        tasks: Sequence[dict[str, Any]],
        *,
        workers: int = 1,
        pauses: Sequence[float] = (),
        retried_codes: Iterable[str] = (),
        progress: Callable[[int, list[int]], object] | None = None,
        on_done: Callable[[list[tuple[int, dict[str, Any]]]], object] | None = None,
        stop_on_failure: bool = False,
    ) -> list[dict[str, Any]]:
        """Runs the GET, PUT and copy tasks on up to ``workers`` threads; one result each.

        Each request is tried ``len(pauses) + 1`` times at most, sleeping ``pauses[n]``
        before attempt ``n + 2``, when it fails in a transient way (an S3 error code in
        ``retried_codes``, a reply >= 500 without one, a refused, dropped or timed-out
        connection, a cut reply).  ``progress(bytes_moved, finished_indexes)`` is called
        from the calling thread about every 50 ms while something changed; an exception it
        raises cancels the batch and is raised here, as is ``KeyboardInterrupt``.
        ``on_done([(index, result), ...])`` hears, from the same thread and as often, of
        the tasks finished since, with their results (an exception it raises does the
        same).  With ``stop_on_failure``, the first task that fails cancels every one not
        finished (their results say ``kind == "cancelled"``).  Errors of
        the store never raise: each result dict has ``ok``, ``status``, ``etag``,
        ``bytes``, ``total``, ``reported``, ``attempts``, ``md5``, ``kind``, ``code``,
        ``message``, ``resource``, ``request_id``, ``host_id``, ``errno`` and ``curl_code``.
        ``TypeError``, ``ValueError`` or ``KeyError`` for a malformed task, before any
        request.
        """
    def stream(
        self,
        bucket: str,
        key: str,
        region: str,
        *,
        start: int = 0,
        length: int = -1,
        if_match: str | None = None,
        md5: bool = False,
        capacity: int = 2097152,
        pauses: Sequence[float] = (),
        retried_codes: Iterable[str] = (),
    ) -> Stream:
        """A GET of ``length`` bytes of ``key`` from ``start`` (-1 from 0: the whole
        object), received on a thread of its own into a read-ahead of ``capacity`` bytes.

        The request is retried as a task of :meth:`run` is while no byte of its body has
        come; after that a failure ends the stream.  A ranged reply is checked as a task's
        is; with ``md5``, the result carries the MD5 of the body.
        """

@final
class Stream:
    """One GET whose body is read as it comes (made by :meth:`Engine.stream`)."""

    def readinto(self, buffer: Any, /) -> int:
        """Bytes of the body into ``buffer``, waiting (GIL released) for the first: their
        count; 0 at the end of a GET that succeeded, -1 at the end of one that failed
        (:meth:`result` says why).  ``ValueError`` once closed."""
    def result(self) -> dict[str, Any]:
        """The GET's result (as :meth:`Engine.run` gives them), once it has ended."""
    def close(self) -> None:
        """Cancels what has not come yet; the stream reads no more."""

def sign(
    method: str,
    host: str,
    bucket: str,
    key: str,
    query: dict[str, str],
    headers: dict[str, str],
    region: str,
    access_key: str,
    secret_key: str,
    payload_hash: str,
    amz_date: str,
    virtual_host: bool = False,
) -> tuple[str, str]:
    """The AWS Signature V4 of one request: ``(target, authorization)``.

    ``target`` is the encoded path and query as sent; ``authorization`` the value of the
    ``Authorization`` header for ``headers`` together with the ``host``, ``x-amz-date`` and
    ``x-amz-content-sha256`` headers the engine adds itself, as a request sends them.
    """
