"""Settings given in code, when clients are built again, sections per thread and call."""

from __future__ import annotations

import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Iterator

import pytest
from minio import Minio

from quorvex.base import BasePath
from quorvex.config import ConfigurationError, EnvConfig, configure
from quorvex.minio.path import MinIOPath


class StorePath(BasePath):
    _section = ("minio",)
    # Stands in for the client class: a new "client" per call, naming its endpoint.
    _creator = staticmethod(lambda endpoint, **options: [endpoint])


@pytest.fixture
def config(monkeypatch: pytest.MonkeyPatch) -> Iterator[EnvConfig]:
    """A fresh shared config without MINIO_*/QUORVEX_* variables, and no clients."""
    for name in [n for n in os.environ if n.startswith(("MINIO_", "QUORVEX_"))]:
        monkeypatch.delenv(name)
    monkeypatch.setattr(EnvConfig, "_shared", EnvConfig())
    BasePath.reset_clients()
    yield EnvConfig.init_configer()
    BasePath.reset_clients()


def in_thread(func: Any) -> Any:
    with ThreadPoolExecutor(1) as pool:
        return pool.submit(func).result()


def test_given_values_win_nest_and_come_back(config, monkeypatch) -> None:
    monkeypatch.setenv("MINIO_BUCKET_NAME", "env-bkt")
    with configure(bucket_name="outer", secure=False, max_connections=8):
        assert [config.get("minio", key) for key in ("bucket_name", "secure",
                                                     "max_connections")] == ["outer", "false", "8"]
        with configure(bucket_name="inner"):
            assert config.get("minio", "bucket_name") == "inner"
        assert config.get("minio", "bucket_name") == "outer"
        configure(bucket_name=None)  # taken away: the environment shows again
        assert config.get("minio", "bucket_name") == "env-bkt"
    assert config.source("minio", "bucket_name") == "MINIO_BUCKET_NAME"
    for bad, error in (({"region": ""}, ValueError), ({"region": b"x"}, TypeError)):
        with pytest.raises(error):
            configure(endpoint="s3.example.com", **bad)
    assert config.get("minio", "endpoint") is None  # nothing of a refused call applied
    configure(endpoint="s3.example.com", max_connections=0)
    with pytest.raises(ValueError, match=r"'max_connections' given to configure\(\)"):
        config.client_settings("minio")


def test_environment_changes_are_seen_at_once(config, monkeypatch) -> None:
    # One-character values are shared objects in CPython, longer ones are new each time.
    for value in ("alpha", "beta", "alpha", "a", "b", "a", "é-ü"):
        monkeypatch.setenv("MINIO_BUCKET_NAME", value)
        assert config.get("minio", "bucket_name") == value
    monkeypatch.setenv("MINIO_BUCKET_NAME", "")
    assert config.get("minio", "bucket_name") is None


def test_lookup_errors_are_not_chained_to_internal_ones(config) -> None:
    class NoSection(BasePath):
        pass

    for call, error in ((lambda: StorePath().client, ConfigurationError),
                        (lambda: NoSection().client, TypeError),
                        (lambda: config.get("minio", 3), TypeError)):
        with pytest.raises(error) as caught:
            call()
        assert caught.value.__context__ is None and caught.value.__cause__ is None


def test_clients_follow_configure_sections_and_resets(config, monkeypatch) -> None:
    monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
    monkeypatch.setenv("MINIO_ARCHIVE_ENDPOINT", "localhost:9001")
    first = StorePath().client
    with StorePath.use_section("minio.archive"):
        archive = StorePath().client
    assert archive == ["localhost:9001"] and in_thread(lambda: StorePath().client) is first
    with configure(endpoint="localhost:9100", bucket_name="b1"):
        given = StorePath().client
        assert given == ["localhost:9100"]
        assert in_thread(lambda: StorePath().client) is given  # other threads too
        configure(bucket_name="b2", endpoint="localhost:9100")  # nothing else changed
        assert StorePath().client is given
        with StorePath.use_section("minio.archive"):
            assert StorePath().client is archive  # another section's client stays
    back = StorePath().client
    assert back == ["localhost:9000"] and back is not first
    in_thread(BasePath.reset_clients)
    assert StorePath().client is not back
    monkeypatch.setattr(StorePath, "_creator", lambda endpoint, **options: ("new", endpoint))
    assert StorePath().client == ("new", "localhost:9000")  # another creator, at once


def test_sdk_client_gets_a_pool_of_max_connections(config, monkeypatch) -> None:
    monkeypatch.setattr(StorePath, "_creator", Minio)
    monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
    monkeypatch.setenv("MINIO_MAX_CONNECTIONS", "3")
    assert StorePath().client._http.connection_pool_kw["maxsize"] == 3
    monkeypatch.setenv("MINIO_MAX_CONNECTIONS", "many")
    with pytest.raises(ValueError, match="MINIO_MAX_CONNECTIONS must be an integer"):
        config.client_settings("minio")


def test_pool_workers_keep_the_section_they_were_wrapped_with(config, monkeypatch) -> None:
    monkeypatch.setenv("MINIO_BUCKET_NAME", "main-bkt")
    monkeypatch.setenv("MINIO_ARCHIVE_BUCKET_NAME", "archive-bkt")
    bucket = MinIOPath.use_section("minio.archive")(lambda: MinIOPath().bucket_name)
    with ThreadPoolExecutor(3) as pool:
        with MinIOPath.use_section("minio.archive"):  # not inherited by the workers
            assert {pool.submit(lambda: MinIOPath().bucket_name).result()} == {"main-bkt"}
        assert {pool.submit(bucket).result() for _ in range(8)} == {"archive-bkt"}
        # each call put the worker's own section back when it ended
        assert {pool.submit(lambda: MinIOPath().bucket_name).result()} == {"main-bkt"}


def test_one_use_entered_in_two_threads_at_once_restores_each(config) -> None:
    use = MinIOPath.use_section("minio.cold")
    inside = threading.Barrier(3)  # two workers and this thread

    def hold(start_on: str) -> str:
        with MinIOPath.use_section(start_on):
            with use:
                inside.wait(5)
                inside.wait(5)  # the other worker is in the block all the while
            return MinIOPath()._current_section()

    with ThreadPoolExecutor(2) as pool:
        results = [pool.submit(hold, name) for name in ("minio.one", "minio.two")]
        inside.wait(5)
        inside.wait(5)
        assert [result.result() for result in results] == ["minio.one", "minio.two"]


def test_configure_overrides_the_environment(configured, monkeypatch) -> None:
    s3 = configured
    s3.make_bucket()
    given_bucket = s3.make_bucket(s3.new_bucket_name("given"))
    MinIOPath(path="k.txt").write(b"from the environment")
    monkeypatch.setenv("MINIO_ENDPOINT", "127.0.0.1:1")  # nothing listens there
    MinIOPath.reset_clients()
    with configure(endpoint=s3.endpoint, bucket_name=given_bucket):
        MinIOPath(path="k.txt").write(b"given in code")
        assert MinIOPath(path="k.txt").read() == b"given in code"
    assert MinIOPath().bucket_name == s3.bucket
    for bucket, body in ((s3.bucket, b"from the environment"), (given_bucket, b"given in code")):
        assert s3.client.get_object(bucket, "k.txt").data == body


def test_no_message_shows_a_secret_key(config, monkeypatch, tmp_path) -> None:
    secret = "s3cr3t-Value-42"
    with pytest.raises(TypeError) as caught:
        configure(secret_key=secret.encode())
    assert secret not in str(caught.value) and "bytes" in str(caught.value)
    for text in (f"secret_key = {secret}\n[minio]\n",             # before any header
                 f"[minio]\nendpoint = h\n{secret}\n"):           # a line with no '='
        (tmp_path / "q.ini").write_text(text)
        monkeypatch.setenv("QUORVEX_CONFIG", str(tmp_path / "q.ini"))
        with pytest.raises(ConfigurationError, match=r"line") as caught:
            config.get("minio", "endpoint")
        assert secret not in str(caught.value)
        monkeypatch.delenv("QUORVEX_CONFIG")
        config.get("minio", "endpoint")  # forget the file before the next one
