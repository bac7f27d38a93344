"""A local S3-compatible store inside the current process, for demos, tests and benchmarks.

:class:`EmbeddedStore` runs moto's S3 server on a thread, bound to the loopback address on
a free port, with fixed dummy credentials::

    from quorvex.minio.embedded import EmbeddedStore

    with EmbeddedStore() as store:
        os.environ.update(store.env(bucket_name="demo"))   # MINIO_ENDPOINT and so on
        store.client().make_bucket("demo")
        ...

It needs the optional dependency ``moto[server]``: ``pip install
'quorvex-minio-path[embedded]'``.  Importing this module does not need it; starting a
store does.

What to know about moto as a store:

- moto keeps its data in process-wide memory, not per server: stores running at the same
  time in one process see the same buckets.  When the last running store of the process
  stops, that memory is reset, so a store started afterwards begins empty.
- It accepts any credentials, and a ``make_bucket`` of an existing bucket succeeds.
- It keeps a leading "/" in object names (``/a/x`` and ``a/x`` are two objects).
- It needs no region or other AWS setting in the environment: the region comes from each
  request's signature.
"""

from __future__ import annotations

import threading
import urllib.request
from types import TracebackType
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from minio import Minio

__all__ = ["EmbeddedStore", "EmbeddedStoreError", "section_variable"]

#: How to install what a store needs, for the error raised when it is missing.
INSTALL_HINT = "pip install 'quorvex-minio-path[embedded]'"

# Seconds a request-handling thread waits on an idle connection.  It bounds how long
# stop() can wait for a client that opened a connection and sent nothing.
_HANDLER_TIMEOUT = 30.0

# Stores started and not yet stopped in this process (moto's data is shared by all).
_running = 0
_running_lock = threading.Lock()


class EmbeddedStoreError(RuntimeError):
    """The embedded store cannot be started, or is used while it is not running."""


def section_variable(section: str, key: str) -> str:
    """The environment variable that holds ``key`` of configuration ``section``.

    ``("minio", "endpoint")`` gives ``MINIO_ENDPOINT`` and ``("minio.archive", "endpoint")``
    gives ``MINIO_ARCHIVE_ENDPOINT``: the two joined by "_", upper-cased, with dots and
    dashes turned into underscores, as ``quorvex.config`` reads them.
    """
    if not section or not key:
        raise ValueError("section and key must not be empty")
    return f"{section}_{key}".upper().replace(".", "_").replace("-", "_")


def _import_moto() -> Any:
    try:
        from moto.moto_server import werkzeug_app
        from moto.server import ThreadedMotoServer
        from werkzeug.serving import make_server
    except ImportError as exc:
        raise ModuleNotFoundError(
            f"the embedded store needs moto's S3 server, which is not installed "
            f"({exc}); install it with: {INSTALL_HINT}",
            name=getattr(exc, "name", None),
        ) from exc
    return ThreadedMotoServer, werkzeug_app, make_server


def _server_class() -> type:
    """ThreadedMotoServer, made quiet and made to report a failed start."""
    threaded_server, werkzeug_app, make_server = _import_moto()

    class QuietHandler(werkzeug_app.MotoRequestHandler):  # type: ignore[misc,name-defined]
        timeout = _HANDLER_TIMEOUT

        def log_request(self, code: Any = "-", size: Any = "-") -> None:
            pass  # one line per request on stderr is noise in a demo or a test run

    class Server(threaded_server):  # type: ignore[misc,valid-type]
        # ThreadedMotoServer.start() waits, without a timeout, for an event that its thread
        # sets only once the socket is bound: a failed bind would hang start() forever.
        # This entry sets the event on failure too and keeps the error for start().
        failure: Optional[BaseException] = None

        def _server_entry(self) -> None:
            try:
                app = werkzeug_app.DomainDispatcherApplication(
                    werkzeug_app.create_backend_app)
                self._server = make_server(self._ip_address, self._port, app, True,
                                           request_handler=QuietHandler)
            except BaseException as exc:
                # werkzeug reports a bind error by printing it and calling sys.exit(1):
                # the OSError is the SystemExit's context.
                context = exc.__context__
                self.failure = (context if isinstance(exc, SystemExit)
                                and isinstance(context, OSError) else exc)
                self._server_ready_event.set()
                return
            self._count_requests(self._server)
            self._server_ready_event.set()
            # A short poll: shutdown() waits up to one interval for the loop to notice.
            self._server.serve_forever(poll_interval=0.05)

        def _count_requests(self, server: Any) -> None:
            # werkzeug answers each connection on a daemon thread that its server never
            # joins; counted here, from the accepting thread before each one starts, so
            # that stop() can wait for the last answer to be finished.
            self.answering = threading.Condition()
            self.in_flight = 0
            accept, answer = server.process_request, server.process_request_thread

            def process_request(request: Any, client_address: Any) -> None:
                with self.answering:
                    self.in_flight += 1
                try:
                    accept(request, client_address)
                except BaseException:
                    self._answered()
                    raise

            def process_request_thread(request: Any, client_address: Any) -> None:
                try:
                    answer(request, client_address)
                finally:
                    self._answered()

            server.process_request = process_request
            server.process_request_thread = process_request_thread

        def _answered(self) -> None:
            with self.answering:
                self.in_flight -= 1
                self.answering.notify_all()

        def join_requests(self, timeout: float) -> None:
            """Waits up to ``timeout`` seconds for every connection's thread to end."""
            with self.answering:
                self.answering.wait_for(lambda: self.in_flight <= 0, timeout)

    return Server


class EmbeddedStore:
    """moto's S3 server on a thread of this process, for use as a context manager.

    ``host`` is the address to bind, the loopback address unless told otherwise (moto's
    own default would be every interface); ``port`` 0 picks a free port.
    """

    #: The dummy credentials every store is given (moto accepts any).
    ACCESS_KEY = "quorvex-embedded"
    SECRET_KEY = "quorvex-embedded-secret"

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *,
                 access_key: str = ACCESS_KEY, secret_key: str = SECRET_KEY) -> None:
        if not isinstance(port, int) or isinstance(port, bool) or not 0 <= port <= 65535:
            raise ValueError(f"port must be an int from 0 to 65535, got {port!r}")
        if host in ("", "0.0.0.0", "::"):
            # The endpoint must be an address a client can connect to.
            raise ValueError(f"bind the store to one address, not the wildcard {host!r}")
        self.host = host
        self.access_key = access_key
        self.secret_key = secret_key
        self._requested_port = port
        self._server: Any = None
        self._port: Optional[int] = None
        self._lock = threading.Lock()

    # -- life cycle ------------------------------------------------------------------

    def start(self) -> "EmbeddedStore":
        """Starts serving; returns the store.  Starting a running store is an error."""
        global _running
        with self._lock:
            if self._server is not None:
                raise EmbeddedStoreError("the embedded store is already running")
            server = _server_class()(ip_address=self.host, port=self._requested_port,
                                     verbose=False)
            server.start()
            if server.failure is not None:
                server._thread.join()
                raise EmbeddedStoreError(
                    f"the embedded store cannot listen on {self.host}:"
                    f"{self._requested_port}: {server.failure}") from server.failure
            self._port = int(server.get_host_and_port()[1])
            self._server = server
            with _running_lock:
                _running += 1
        return self

    def stop(self) -> None:
        """Stops serving and frees the port; waits for every request thread to end.

        Stopping a store that is not running does nothing.
        """
        global _running
        with self._lock:
            server, self._server = self._server, None
            if server is None:
                return
            with _running_lock:
                _running -= 1
                last = _running == 0
            try:
                if last:
                    self._reset_moto()
            finally:
                # shutdown() ends serve_forever, which closes the socket and joins the
                # threads of requests still being answered; stop() joins the server thread.
                server.stop()
                server.join_requests(_HANDLER_TIMEOUT)
                self._port = None

    def _reset_moto(self) -> None:
        # moto's data outlives its servers; drop it so that the next store starts empty.
        # Through moto's documented reset endpoint, with no proxy in the way.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        request = urllib.request.Request(f"http://{self.endpoint}/moto-api/reset",
                                         method="POST")
        with opener.open(request, timeout=10) as reply:
            reply.read()

    def __enter__(self) -> "EmbeddedStore":
        return self.start()

    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.stop()

    def __del__(self) -> None:
        if getattr(self, "_server", None) is not None:
            try:
                self.stop()
            except Exception:
                pass

    # -- where it is -----------------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._server is not None

    @property
    def port(self) -> int:
        if self._port is None:
            raise EmbeddedStoreError("the embedded store is not running")
        return self._port

    @property
    def endpoint(self) -> str:
        """``host:port`` of the running store, as the SDK and the configuration take it."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port}"

    def env(self, section: str = "minio", bucket_name: Optional[str] = None) -> dict[str, str]:
        """The environment variables that point configuration ``section`` at this store.

        For section "minio": ``MINIO_ENDPOINT``, ``MINIO_ACCESS_KEY``, ``MINIO_SECRET_KEY``
        and ``MINIO_SECURE=false``, plus ``MINIO_BUCKET_NAME`` when ``bucket_name`` is given.
        For "minio.archive" the names start with ``MINIO_ARCHIVE_``.
        """
        values = {
            "endpoint": self.endpoint,
            "access_key": self.access_key,
            "secret_key": self.secret_key,
            "secure": "false",
        }
        if bucket_name is not None:
            values["bucket_name"] = bucket_name
        return {section_variable(section, key): value for key, value in values.items()}

    def client(self, **options: Any) -> "Minio":
        """A new ``minio.Minio`` client for this store (plain HTTP, no region unless given)."""
        from minio import Minio

        options.setdefault("secure", False)
        return Minio(self.endpoint, access_key=self.access_key, secret_key=self.secret_key,
                     **options)

    def __repr__(self) -> str:
        where = self.endpoint if self.running else "stopped"
        return f"<{type(self).__name__} {where}>"
