"""Fixtures for the tests that run against real S3-compatible servers.

- ``moto_server`` (session): a running ``quorvex.minio.embedded.EmbeddedStore`` (moto).
- ``seaweed_server`` (session): a running ``servers.SeaweedFS`` (``weed mini``).
- ``s3``: one :class:`S3Target` per server, so a test using it runs once on each (its
  items carry the ``integration`` mark).  It gives the server's kind, endpoint and
  credentials, a fresh no-region ``minio.Minio`` client, and a unique bucket name that is
  *not* created; every bucket it named is emptied and removed after the test.
- ``configured``: the same target, with the environment pointing the package's default
  section "minio" at it (``MINIO_ENDPOINT`` ... ``MINIO_BUCKET_NAME``) and the shared SDK
  clients of ``quorvex.base`` dropped before and after, so ``MinIOPath(path=...)`` talks
  to this server.

Choose the servers with ``--servers=moto,seaweedfs`` (or ``QUORVEX_TEST_SERVERS``); the
tests of a server left out are deselected.  Servers differ; see ``test_servers.py`` for
the differences the tests must allow for.
"""

from __future__ import annotations

import os
import re
import secrets
from dataclasses import dataclass, field
from typing import Any, Iterator, Optional

import minio
import pytest
from minio import Minio
from minio.deleteobjects import DeleteObject

from servers import SeaweedFS, ServerInfo, raw_client

SERVER_KINDS = ("moto", "seaweedfs")
SERVERS_VARIABLE = "QUORVEX_TEST_SERVERS"


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption(
        "--servers", default=None,
        help="comma-separated S3 servers for the integration tests: moto, seaweedfs "
             f"(default: ${SERVERS_VARIABLE}, else both)")


def selected_servers(config: pytest.Config) -> tuple[str, ...]:
    text = config.getoption("--servers") or os.environ.get(SERVERS_VARIABLE) or \
        ",".join(SERVER_KINDS)
    chosen = tuple(dict.fromkeys(part.strip().lower() for part in text.split(",")
                                 if part.strip()))
    unknown = [kind for kind in chosen if kind not in SERVER_KINDS]
    if unknown:
        raise pytest.UsageError(f"--servers: unknown server {unknown}; known: "
                                f"{', '.join(SERVER_KINDS)}")
    return chosen


def pytest_configure(config: pytest.Config) -> None:
    selected_servers(config)  # report a bad --servers before collecting


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    chosen = selected_servers(config)
    kept: list[pytest.Item] = []
    dropped: list[pytest.Item] = []
    for item in items:
        callspec = getattr(item, "callspec", None)
        kind = callspec.params.get("s3") if callspec is not None else None
        (dropped if kind is not None and kind not in chosen else kept).append(item)
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


# -- the servers -------------------------------------------------------------------------

@pytest.fixture(scope="session")
def moto_server() -> Iterator[Any]:
    """moto's S3 server on a thread of the test process (an EmbeddedStore)."""
    from quorvex.minio.embedded import EmbeddedStore

    with EmbeddedStore() as store:
        yield store


@pytest.fixture(scope="session")
def seaweed_server() -> Iterator[SeaweedFS]:
    """SeaweedFS (``weed mini``) as a child process; a failed start is an error."""
    with SeaweedFS() as server:
        yield server


def server_info(server: Any, kind: str) -> ServerInfo:
    return ServerInfo(kind, server.endpoint, server.access_key, server.secret_key)


# -- one bucket per test -----------------------------------------------------------------

_BUCKET_CHARS = re.compile(r"[^a-z0-9]+")


def unique_bucket_name(hint: str = "") -> str:
    """A bucket name no other test uses: lower case, 3 to 63 characters."""
    stem = _BUCKET_CHARS.sub("-", hint.lower()).strip("-")[:40].strip("-")
    return f"{stem or 'qt'}-{secrets.token_hex(6)}"


def remove_bucket_fully(client: Minio, bucket: str) -> None:
    """Removes ``bucket`` with every object and object version in it.

    A bucket that does not exist is left alone.  Anything that cannot be removed raises.
    (Unfinished multipart uploads need no care: neither server lets them block the
    removal.)
    """
    if not client.bucket_exists(bucket):
        return
    doomed = [DeleteObject(item.object_name, item.version_id)
              for item in client.list_objects(bucket, recursive=True, include_version=True)]
    errors = list(client.remove_objects(bucket, doomed))
    if errors:
        raise AssertionError(f"cannot empty bucket {bucket!r}: {errors}")
    client.remove_bucket(bucket)


@dataclass
class S3Target:
    """One test's view of one server: where it is, a client, and its own bucket name."""

    kind: str
    endpoint: str
    access_key: str
    secret_key: str
    client: Minio
    bucket: str
    section: str = "minio"
    _buckets: list[str] = field(default_factory=list, repr=False)

    def new_bucket_name(self, hint: str = "") -> str:
        """Another unique bucket name (not created), removed with its objects at the end."""
        name = unique_bucket_name(hint or self.bucket.rsplit("-", 1)[0])
        self._buckets.append(name)
        return name

    def make_bucket(self, name: Optional[str] = None) -> str:
        """Creates the test's bucket (or ``name``, which must come from new_bucket_name)."""
        name = self.bucket if name is None else name
        if name not in self._buckets:
            raise ValueError(f"{name!r} is not a bucket of this test: use new_bucket_name()")
        self.client.make_bucket(name)
        return name

    def new_client(self, **options: Any) -> Minio:
        """A new client for this server (say ``region=...`` for one with a region)."""
        return raw_client(ServerInfo(self.kind, self.endpoint, self.access_key,
                                     self.secret_key), **options)

    def env(self, section: Optional[str] = None,
            bucket_name: Optional[str] = None) -> dict[str, str]:
        """The environment that points configuration ``section`` at this server."""
        from quorvex.minio.embedded import section_variable

        values = {"endpoint": self.endpoint, "access_key": self.access_key,
                  "secret_key": self.secret_key, "secure": "false",
                  "bucket_name": self.bucket if bucket_name is None else bucket_name}
        section = section or self.section
        return {section_variable(section, key): value for key, value in values.items()}

    def cleanup(self) -> None:
        """Removes every bucket this test named, with everything in it."""
        client = self.new_client()  # no region cached from the test's own requests
        for name in self._buckets:
            remove_bucket_fully(client, name)


@pytest.fixture(params=[pytest.param(kind, marks=pytest.mark.integration)
                        for kind in SERVER_KINDS])
def s3(request: pytest.FixtureRequest) -> Iterator[S3Target]:
    """A real server (each in turn) and a unique, not yet created bucket name."""
    kind = request.param
    server = request.getfixturevalue("moto_server" if kind == "moto" else "seaweed_server")
    if not server.running:
        log = server.log() if hasattr(server, "log") else ""
        pytest.fail(f"the {kind} server of this session is no longer running\n{log}")
    info = server_info(server, kind)
    bucket = unique_bucket_name(getattr(request.node, "originalname", request.node.name))
    target = S3Target(kind, info.endpoint, info.access_key, info.secret_key,
                      raw_client(info), bucket, _buckets=[bucket])
    yield target
    target.cleanup()


def _reset_shared_clients() -> None:
    from quorvex.base import BasePath

    BasePath.reset_clients()


@pytest.fixture
def configured(s3: S3Target, monkeypatch: pytest.MonkeyPatch) -> Iterator[S3Target]:
    """``s3``, with ``MinIOPath(path=...)`` pointed at its server and bucket.

    Every ``MINIO_*`` variable and ``QUORVEX_CONFIG`` is cleared first, so nothing of the
    developer's own setup (a region, another bucket) leaks in.  The SDK clients that
    ``quorvex.base`` shares per (client class, section) are dropped before and after, as
    each server's leg needs its own.
    """
    for name in list(os.environ):
        if name.startswith("MINIO_") or name == "QUORVEX_CONFIG":
            monkeypatch.delenv(name)
    for name, value in s3.env().items():
        monkeypatch.setenv(name, value)
    _reset_shared_clients()
    yield s3
    _reset_shared_clients()


@pytest.fixture
def listing_requests(monkeypatch: pytest.MonkeyPatch) -> list[dict[str, Any]]:
    """The query of every listing request the SDK sends."""
    seen: list[dict[str, Any]] = []
    original = minio.Minio._url_open

    def counting(self: Any, method: str, region: str, *args: Any, **kwargs: Any) -> Any:
        query = kwargs.get("query_params") or {}
        if method == "GET" and "list-type" in query:
            seen.append(dict(query))
        return original(self, method, region, *args, **kwargs)

    monkeypatch.setattr(minio.Minio, "_url_open", counting)
    return seen
