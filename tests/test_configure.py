"""Settings given in code, when clients are built again, sections per thread and call."""

from __future__ import annotations

import gc
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Iterator

import pytest
from minio import Minio

from quorvex import base
from quorvex.base import BasePath, Local
from quorvex.config import ConfigurationError, EnvConfig, configure
from quorvex.minio.path import MinIOPath


class Creator:
    """Stands in for the client class: each call makes a new client that records its
    endpoint and options."""

    def __init__(self) -> None:
        self.made: list[tuple[str, dict[str, Any]]] = []

    def __call__(self, endpoint: str, **options: Any) -> tuple[str, int]:
        self.made.append((endpoint, options))
        return (endpoint, len(self.made))


class StorePath(BasePath):
    _section = ("minio",)


@pytest.fixture
def config(monkeypatch: pytest.MonkeyPatch) -> Iterator[EnvConfig]:
    """A fresh shared config without MINIO_* variables, a counting creator, no clients."""
    for name in list(os.environ):
        if name.startswith(("MINIO_", "QUORVEX_")):
            monkeypatch.delenv(name)
    shared = EnvConfig()
    shared.file_check_interval = 0.0
    monkeypatch.setattr(EnvConfig, "_shared", shared)
    monkeypatch.setattr(StorePath, "_creator", Creator())
    BasePath.reset_clients()
    yield shared
    BasePath.reset_clients()


def in_thread(func: Any) -> Any:
    with ThreadPoolExecutor(1) as pool:
        return pool.submit(func).result()


class TestGivenValues:
    def test_given_values_win_and_the_previous_ones_come_back(self, config, tmp_path,
                                                              monkeypatch) -> None:
        ini = tmp_path / "q.ini"
        ini.write_text("[minio]\nregion = from-file\nbucket_name = file-bkt\n")
        monkeypatch.setenv("QUORVEX_CONFIG", str(ini))
        monkeypatch.setenv("MINIO_BUCKET_NAME", "env-bkt")
        assert config.get("minio", "bucket_name") == "env-bkt"
        with configure(bucket_name="outer", region="given", secure=False, max_connections=8):
            assert [config.get("minio", key) for key in
                    ("bucket_name", "region", "secure", "max_connections")] == \
                ["outer", "given", "false", "8"]
            assert "configure()" in config.source("minio", "bucket_name")
            with configure(bucket_name="inner"):
                assert config.get("minio", "bucket_name") == "inner"
            assert config.get("minio", "bucket_name") == "outer"
            configure(bucket_name=None)  # taken away: the environment shows again
            assert config.get("minio", "bucket_name") == "env-bkt"
            assert config.get("other", "bucket_name") is None  # other sections untouched
        assert config.get("minio", "bucket_name") == "env-bkt"
        assert config.get("minio", "region") == "from-file"
        assert config.source("minio", "bucket_name") == "MINIO_BUCKET_NAME"

    @pytest.mark.parametrize("settings, error", [
        ({"bucket_name": ""}, ValueError), ({"bucket_name": b"x"}, TypeError),
        ({"secure": float("nan")}, TypeError), ({"endpoint": ["h"]}, TypeError),
    ])
    def test_bad_values_are_refused_and_nothing_is_changed(self, config, settings,
                                                           error) -> None:
        with pytest.raises(error):
            configure(region="r", **settings)
        assert config.get("minio", "region") is None

    def test_bad_section_is_refused(self, config) -> None:
        with pytest.raises(ValueError):
            configure("has space", bucket_name="x")

    def test_a_given_value_that_is_wrong_names_configure(self, config) -> None:
        configure(endpoint="s3.example.com", max_connections=0)
        with pytest.raises(ValueError, match=r"'max_connections' given to configure\(\)"):
            config.client_settings("minio")

    def test_environment_changes_are_seen_at_once(self, config, monkeypatch) -> None:
        # One-character values are shared objects in CPython, longer ones are new each time.
        for value in ("alpha", "beta", "alpha", "a", "b", "a", "é-ü"):
            monkeypatch.setenv("MINIO_BUCKET_NAME", value)
            assert config.get("minio", "bucket_name") == value
        monkeypatch.setenv("MINIO_BUCKET_NAME", "")
        assert config.get("minio", "bucket_name") is None
        monkeypatch.delenv("MINIO_BUCKET_NAME")
        assert config.get("minio", "bucket_name") is None

    def test_lookup_errors_are_not_chained_to_internal_ones(self, config) -> None:
        with pytest.raises(ConfigurationError) as caught:
            StorePath().client
        assert caught.value.__context__ is None and caught.value.__cause__ is None
        with pytest.raises(TypeError) as bad_key:
            config.get("minio", 3)  # type: ignore[arg-type]
        assert bad_key.value.__context__ is None

        class NoSection(BasePath):
            pass

        with pytest.raises(TypeError, match="_section must be") as no_section:
            NoSection().client
        assert no_section.value.__context__ is None


class TestClientsFollowSettings:
    def test_configure_rebuilds_the_client_of_its_section_only(self, config,
                                                               monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        monkeypatch.setenv("MINIO_ARCHIVE_ENDPOINT", "localhost:9001")
        first = StorePath().client
        with StorePath.use_section("minio.archive"):
            archive = StorePath().client
        other_thread = in_thread(lambda: StorePath().client)
        assert other_thread is first

        with configure(endpoint="localhost:9100", bucket_name="b1"):
            given = StorePath().client
            assert given != first and given[0] == "localhost:9100"
            assert in_thread(lambda: StorePath().client) is given
            configure(bucket_name="b2")  # the bucket name alone: the same client
            configure(endpoint="localhost:9100")  # the same value again: the same client
            assert StorePath().client is given
            with StorePath.use_section("minio.archive"):
                assert StorePath().client is archive
        back = StorePath().client
        assert back[0] == "localhost:9000" and back is not first
        made = StorePath._creator.made  # type: ignore[attr-defined]
        assert [endpoint for endpoint, _ in made] == \
            ["localhost:9000", "localhost:9001", "localhost:9100", "localhost:9000"]

    def test_a_thread_sees_its_own_section_and_every_reset(self, config,
                                                          monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        monkeypatch.setenv("MINIO_COLD_ENDPOINT", "localhost:9002")
        default = StorePath().client
        Local.setattr(StorePath()._section_key_on_thread(), "minio.cold")
        try:
            assert StorePath().client[0] == "localhost:9002"
        finally:
            Local.delattr(StorePath()._section_key_on_thread())
        assert StorePath().client is default
        in_thread(BasePath.reset_clients)
        assert StorePath().client is not default

    def test_ended_threads_leave_no_client_table_behind(self, config, monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        for _ in range(20):
            thread = threading.Thread(target=lambda: StorePath().client)
            thread.start()
            thread.join()
        gc.collect()
        assert len(base._every_thread_clients) <= 1  # at most the calling thread's

    def test_sdk_client_gets_a_pool_of_max_connections(self, config, monkeypatch) -> None:
        monkeypatch.setattr(StorePath, "_creator", Minio)
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        monkeypatch.setenv("MINIO_MAX_CONNECTIONS", "3")
        client = StorePath().client
        assert isinstance(client._http, base._StorePool)
        assert client._http.connection_pool_kw["maxsize"] == 3
        assert config.client_settings("minio").max_connections == 3
        monkeypatch.setenv("MINIO_MAX_CONNECTIONS", "many")
        with pytest.raises(ValueError, match="MINIO_MAX_CONNECTIONS must be an integer"):
            config.client_settings("minio")


class TestSectionDecorator:
    def test_pool_workers_keep_the_section_they_were_wrapped_with(self, config,
                                                                  monkeypatch) -> None:
        monkeypatch.setenv("MINIO_BUCKET_NAME", "main-bkt")
        monkeypatch.setenv("MINIO_ARCHIVE_BUCKET_NAME", "archive-bkt")

        @MinIOPath.use_section("minio.archive")
        def bucket_of(name: str) -> str:
            """The bucket a path names in this call."""
            return f"{MinIOPath(path=name).bucket_name}:{threading.current_thread().name}"

        def plain(name: str) -> Any:
            return MinIOPath(path=name).bucket_name

        assert bucket_of.__name__ == "bucket_of" and bucket_of.__doc__
        with ThreadPoolExecutor(3) as pool:
            with MinIOPath.use_section("minio.archive"):  # not inherited by the workers
                assert set(pool.map(plain, "abcdef")) == {"main-bkt"}
            seen = list(pool.map(bucket_of, "abcdefgh"))
            assert {entry.split(":")[0] for entry in seen} == {"archive-bkt"}
            assert all("MainThread" not in entry for entry in seen)
            # each call put the worker's own section back when it ended
            assert set(pool.map(plain, "abcdef")) == {"main-bkt"}
        assert MinIOPath(path="x").bucket_name == "main-bkt"

    def test_one_use_entered_in_two_threads_at_once_restores_each(self, config,
                                                                  monkeypatch) -> None:
        monkeypatch.setenv("MINIO_COLD_BUCKET_NAME", "cold-bkt")
        use = MinIOPath.use_section("minio.cold")
        inside, leave = threading.Barrier(3), threading.Event()  # two workers and this thread

        def hold(start_on: str) -> tuple[Any, Any]:
            with MinIOPath.use_section(start_on):
                with use:
                    inside.wait(5)
                    seen = MinIOPath(path="x").bucket_name
                    leave.wait(5)
                return seen, MinIOPath(path="x")._current_section()

        with ThreadPoolExecutor(2) as pool:
            first = pool.submit(hold, "minio.one")
            second = pool.submit(hold, "minio.two")
            inside.wait(5)  # both threads are in the block now
            leave.set()
            assert first.result() == ("cold-bkt", "minio.one")
            assert second.result() == ("cold-bkt", "minio.two")


# -- on the servers -----------------------------------------------------------------------


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
        assert MinIOPath(path="").bucket_name == given_bucket
    assert MinIOPath(path="").bucket_name == s3.bucket
    for bucket, body in ((s3.bucket, b"from the environment"),
                         (given_bucket, b"given in code")):
        response = s3.client.get_object(bucket, "k.txt")
        try:
            assert response.read() == body
        finally:
            response.close()
            response.release_conn()
