"""Tests of quorvex.config and quorvex.base: settings, sections, clients, paths, retries."""

from __future__ import annotations

import inspect
import io
import os
import threading
import time
from pathlib import PurePosixPath
from typing import Any, Iterator

import pytest
import urllib3.exceptions
from minio.error import S3Error, ServerError

from quorvex import base, retrying
from quorvex.base import BasePath, Local, retry
from quorvex.config import ClientSettings, ConfigurationError, EnvConfig, env_name


class Creator:
    """Stands in for the client class: counts how often, and with what, it is called."""

    def __init__(self, pause: float = 0.0) -> None:
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
        self.lock = threading.Lock()
        self.pause = pause

    def __call__(self, *args: Any, **kwargs: Any) -> object:
        with self.lock:
            self.calls.append((args, kwargs))
        time.sleep(self.pause)  # widens the window in which a second creation could start
        return object()


class StorePath(BasePath):
    _section = ("minio",)


class OtherStorePath(BasePath):
    _section = ("other",)


@pytest.fixture(autouse=True)
def clean_settings(monkeypatch: pytest.MonkeyPatch) -> Iterator[EnvConfig]:
    """No MINIO_*/QUORVEX_*/OTHER_* variables, a fresh shared config, no cached clients."""
    for name in list(os.environ):
        if name.startswith(("MINIO_", "QUORVEX_", "OTHER_")):
            monkeypatch.delenv(name)
    config = EnvConfig()
    config.file_check_interval = 0.0
    monkeypatch.setattr(EnvConfig, "_shared", config)
    monkeypatch.setattr(StorePath, "_creator", Creator())
    BasePath.reset_clients()
    yield config
    BasePath.reset_clients()


@pytest.fixture
def creator(monkeypatch: pytest.MonkeyPatch) -> Creator:
    made = Creator()
    monkeypatch.setattr(StorePath, "_creator", made)
    return made


def write_ini(tmp_path: Any, text: str, name: str = "quorvex.ini") -> str:
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def in_thread(func: Any) -> Any:
    result: list[Any] = []
    thread = threading.Thread(target=lambda: result.append(func()))
    thread.start()
    thread.join()
    return result[0]


# -- settings ---------------------------------------------------------------------------


@pytest.mark.parametrize("section, key, expected", [
    ("minio", "bucket_name", "MINIO_BUCKET_NAME"),
    ("minio.archive", "endpoint", "MINIO_ARCHIVE_ENDPOINT"),
    ("quorvex.retry", "max_delay", "QUORVEX_RETRY_MAX_DELAY"),
    ("eu-west.store", "access-key", "EU_WEST_STORE_ACCESS_KEY"),
])
def test_env_name(section: str, key: str, expected: str) -> None:
    assert env_name(section, key) == expected


class TestSources:
    def test_environment_wins_over_file_and_changes_are_seen(self, clean_settings, tmp_path,
                                                             monkeypatch) -> None:
        config = clean_settings
        monkeypatch.setenv("QUORVEX_CONFIG", write_ini(tmp_path, "[minio]\nbucket_name = f\n"))
        assert config.get("minio", "bucket_name") == "f"
        monkeypatch.setenv("MINIO_BUCKET_NAME", "e1")
        assert config.get("minio", "bucket_name") == "e1"
        monkeypatch.setenv("MINIO_BUCKET_NAME", "e2")
        assert config.get("minio", "bucket_name") == "e2"
        monkeypatch.setenv("MINIO_BUCKET_NAME", "")  # empty counts as unset
        assert config.get("minio", "bucket_name") == "f"
        monkeypatch.delenv("MINIO_BUCKET_NAME")
        assert config.get("minio", "bucket_name") == "f"
        assert config.get("minio", "region") is None
        assert config.get("absent", "bucket_name") is None

    def test_file_edits_and_a_new_file_name_are_seen(self, clean_settings, tmp_path,
                                                     monkeypatch) -> None:
        config = clean_settings
        path = write_ini(tmp_path, "[minio]\nbucket_name = one\n")
        monkeypatch.setenv("QUORVEX_CONFIG", path)
        assert config.get("minio", "bucket_name") == "one"
        with open(path, "w") as stream:
            stream.write("[minio]\nbucket_name = second\n")
        assert config.get("minio", "bucket_name") == "second"
        monkeypatch.setenv("QUORVEX_CONFIG", write_ini(tmp_path, "[minio]\nbucket_name = x\n",
                                                       "other.ini"))
        assert config.get("minio", "bucket_name") == "x"
        monkeypatch.delenv("QUORVEX_CONFIG")
        assert config.get("minio", "bucket_name") is None

    def test_file_sections_keys_and_literal_percent(self, clean_settings, tmp_path,
                                                    monkeypatch) -> None:
        config = clean_settings
        monkeypatch.setenv("QUORVEX_CONFIG", write_ini(
            tmp_path, "[minio.archive]\nEndpoint = a:1\nsecret-key = p%w%(x)s\n"))
        assert config.get("minio.archive", "endpoint") == "a:1"
        assert config.get("minio.archive", "secret_key") == "p%w%(x)s"
        assert config.get("minio", "endpoint") is None

    @pytest.mark.parametrize("content", [None, "no section header\n", "[minio]\n[minio]\n"])
    def test_unusable_file_is_a_configuration_error(self, clean_settings, tmp_path,
                                                    monkeypatch, content) -> None:
        path = str(tmp_path / "missing.ini") if content is None else write_ini(tmp_path, content)
        monkeypatch.setenv("QUORVEX_CONFIG", path)
        with pytest.raises(ConfigurationError, match="QUORVEX_CONFIG"):
            clean_settings.get("minio", "bucket_name")

    def test_shared_instance_is_one_across_threads(self, monkeypatch) -> None:
        monkeypatch.setattr(EnvConfig, "_shared", None)
        seen = [in_thread(EnvConfig.init_configer) for _ in range(4)]
        seen.append(EnvConfig.init_configer())
        assert all(config is seen[0] for config in seen)
        assert isinstance(seen[0], EnvConfig)


class TestClientSettings:
    @pytest.mark.parametrize("endpoint, secure", [
        ("localhost:9000", False), ("LOCALHOST", False), ("127.0.0.1:9000", False),
        ("127.5.5.5", False), ("[::1]:9000", False), ("::1", False),
        ("s3.example.com", True), ("10.0.0.1:9000", True), ("localhost.example.com:9000", True),
        ("[2001:db8::1]:443", True), ("128.0.0.1:80", True),
    ])
    def test_secure_default_depends_on_loopback(self, clean_settings, monkeypatch, endpoint,
                                                secure) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", endpoint)
        assert clean_settings.client_settings("minio").secure is secure

    @pytest.mark.parametrize("text, secure", [
        ("true", True), ("YES", True), ("1", True), ("False", False), ("no", False),
        ("0", False), (" yes ", True),
    ])
    def test_secure_values(self, clean_settings, monkeypatch, text, secure) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000" if secure else "s3.example.com")
        monkeypatch.setenv("MINIO_SECURE", text)
        assert clean_settings.client_settings("minio").secure is secure

    @pytest.mark.parametrize("text", ["maybe", "on", "2", "tru"])
    def test_bad_secure_value_names_the_variable(self, clean_settings, monkeypatch, text) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "s3.example.com")
        monkeypatch.setenv("MINIO_SECURE", text)
        with pytest.raises(ValueError, match=f"MINIO_SECURE.*{text!r}"):
            clean_settings.client_settings("minio")

    def test_missing_endpoint_message(self, clean_settings) -> None:
        with pytest.raises(ConfigurationError) as caught:
            clean_settings.client_settings("minio.archive")
        assert isinstance(caught.value, LookupError)
        assert str(caught.value) == (
            "no endpoint configured for section 'minio.archive': set MINIO_ARCHIVE_ENDPOINT "
            "(or 'endpoint' in the [minio.archive] section of the file named by QUORVEX_CONFIG)")

    @pytest.mark.parametrize("endpoint", ["http://localhost:9000", "host:9000/bucket"])
    def test_endpoint_with_scheme_or_path_is_refused(self, clean_settings, monkeypatch,
                                                     endpoint) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", endpoint)
        with pytest.raises(ValueError, match="MINIO_ENDPOINT must be host or host:port"):
            clean_settings.client_settings("minio")

    def test_one_key_without_the_other_is_refused(self, clean_settings, monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "s3.example.com")
        monkeypatch.setenv("MINIO_ACCESS_KEY", "AKIA")
        with pytest.raises(ConfigurationError, match="MINIO_SECRET_KEY"):
            clean_settings.client_settings("minio")

    def test_settings_from_file_and_repr_hides_keys(self, clean_settings, tmp_path,
                                                    monkeypatch) -> None:
        monkeypatch.setenv("QUORVEX_CONFIG", write_ini(
            tmp_path, "[minio]\nendpoint = s3.example.com\naccess_key = AKIA-id\n"
                      "secret_key = hunter2-secret\nregion = eu-1\n"))
        settings = clean_settings.client_settings("minio")
        assert settings == ClientSettings("s3.example.com", "AKIA-id", "hunter2-secret", True,
                                          "eu-1")
        assert "AKIA-id" not in repr(settings) and "hunter2" not in repr(settings)


# -- per-thread state and sections ------------------------------------------------------


class TestLocal:
    def test_values_are_per_thread(self) -> None:
        Local.setattr("t-key", "main")
        try:
            assert in_thread(lambda: Local.hasattr("t-key")) is False
            assert in_thread(lambda: (Local.setattr("t-key", "other"),
                                      Local.getattr("t-key"))[1]) == "other"
            assert Local.getattr("t-key") == "main"
        finally:
            Local.delattr("t-key")
        assert not Local.hasattr("t-key")

    def test_missing_key_raises_attribute_error(self) -> None:
        with pytest.raises(AttributeError, match="no value for 'absent-key'"):
            Local.getattr("absent-key")
        with pytest.raises(AttributeError):
            Local.delattr("absent-key")
        assert Local.hasattr("__class__") is False  # keys do not meet the store's attributes


class TestSections:
    def key(self, cls: type = StorePath) -> str:
        return cls()._section_key_on_thread()

    def test_keys_are_stable_and_follow_the_default_section(self) -> None:
        class Sub(StorePath):
            pass

        assert self.key() == self.key() == self.key(Sub)
        assert self.key() != self.key(OtherStorePath)

    def test_reset_sets_the_default_section(self) -> None:
        path = StorePath()

        def reset_and_read() -> str:
            path._valid_reset()
            return Local.getattr(path._section_key_on_thread())

        assert in_thread(reset_and_read) == "minio"

    def test_use_section_nests_and_restores_absence(self) -> None:
        key = self.key()

        def run() -> list[Any]:
            seen = []
            with StorePath.use_section("minio.archive"):
                seen.append(Local.getattr(key))
                with StorePath.use_section("minio.cold"):
                    seen.append(Local.getattr(key))
                seen.append(Local.getattr(key))
            seen.append(Local.hasattr(key))
            return seen

        assert in_thread(run) == ["minio.archive", "minio.cold", "minio.archive", False]

    def test_use_section_restores_after_an_error(self) -> None:
        key = self.key()
        StorePath()._valid_reset()
        with pytest.raises(RuntimeError):
            with StorePath.use_section("minio.archive"):
                raise RuntimeError
        assert Local.getattr(key) == "minio"

    def test_other_threads_keep_their_section(self) -> None:
        entered, release = threading.Event(), threading.Event()

        def hold() -> None:
            with StorePath.use_section("minio.archive"):
                entered.set()
                release.wait(5)

        holder = threading.Thread(target=hold)
        holder.start()
        try:
            assert entered.wait(5)
            assert StorePath()._current_section() == "minio"
        finally:
            release.set()
            holder.join()

    @pytest.mark.parametrize("section, error", [
        ("", ValueError), ("has space", ValueError), (".x", ValueError), (3, TypeError),
    ])
    def test_bad_section_names_are_refused(self, section, error) -> None:
        with pytest.raises(error):
            StorePath.use_section(section)

    def test_class_without_section_is_a_clear_error(self) -> None:
        with pytest.raises(TypeError, match="_section must be a non-empty tuple"):
            BasePath()._section_key_on_thread()


# -- clients ----------------------------------------------------------------------------


class TestClient:
    def test_built_once_and_shared_by_threads(self, monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        creator = Creator(pause=0.05)
        monkeypatch.setattr(StorePath, "_creator", creator)
        barrier = threading.Barrier(8)

        def fetch() -> object:
            barrier.wait(5)
            return StorePath().client

        results: list[object] = []
        threads = [threading.Thread(target=lambda: results.append(fetch())) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(results) == 8 and all(client is results[0] for client in results)
        assert StorePath(path="x").client is results[0]
        assert creator.calls == [(("localhost:9000",), {
            "access_key": None, "secret_key": None, "secure": False})]

    def test_one_client_per_section_with_its_settings(self, monkeypatch, creator) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        monkeypatch.setenv("MINIO_ARCHIVE_ENDPOINT", "archive.example.com:443")
        monkeypatch.setenv("MINIO_ARCHIVE_ACCESS_KEY", "id")
        monkeypatch.setenv("MINIO_ARCHIVE_SECRET_KEY", "secret")
        monkeypatch.setenv("MINIO_ARCHIVE_REGION", "eu-1")
        default = StorePath().client
        with StorePath.use_section("minio.archive"):
            archive = StorePath().client
            assert StorePath().client is archive
        assert default is not archive and StorePath().client is default
        assert creator.calls[1] == (("archive.example.com:443",), {
            "access_key": "id", "secret_key": "secret", "secure": True, "region": "eu-1"})

    def test_missing_endpoint_and_failed_creation_are_not_cached(self, monkeypatch,
                                                                 creator) -> None:
        with pytest.raises(ConfigurationError, match="set MINIO_ENDPOINT"):
            StorePath().client
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        monkeypatch.setattr(creator, "pause", "not a number")  # the creator fails once
        with pytest.raises(TypeError):
            StorePath().client
        monkeypatch.setattr(creator, "pause", 0.0)
        assert StorePath().client is StorePath().client
        assert len(creator.calls) == 2

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_forked_child_builds_its_own(self, monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        parent = StorePath().client
        pid = os.fork()
        if pid == 0:  # the child: a new client, built afresh
            os._exit(0 if StorePath().client is not parent else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert StorePath().client is parent


# -- paths ------------------------------------------------------------------------------


class TestPath:
    @pytest.mark.parametrize("text, key", [
        ("a/b.txt", "a/b.txt"), ("/a/b.txt", "a/b.txt"), ("///a//b/", "a/b"),
        ("", "/"), ("/", "/"), ("///", "/"), (".", "/"), ("a/./b", "a/b"),
    ])
    def test_key_normalisation(self, text: str, key: str) -> None:
        assert StorePath(path=text).path == PurePosixPath(key)
        assert StorePath().path == PurePosixPath("/")

    @pytest.mark.parametrize("value", [b"a", PurePosixPath("a"), None, 3])
    def test_non_str_path_is_refused(self, value) -> None:
        with pytest.raises(TypeError, match="path must be a str"):
            StorePath(path=value)

    def test_join(self) -> None:
        assert StorePath().join("x") == StorePath(path="x")
        assert StorePath(path="/a/b").join("c.txt") == StorePath(path="a/b/c.txt")
        assert type(StorePath().join("x")) is StorePath

    @pytest.mark.parametrize("name, error", [
        ("", ValueError), ("a/b", ValueError), (".", ValueError), ("..", ValueError),
        (b"x", TypeError), (None, TypeError),
    ])
    def test_join_refuses(self, name, error) -> None:
        with pytest.raises(error):
            StorePath(path="a").join(name)

    def test_equality_and_hash(self) -> None:
        class Sub(StorePath):
            pass

        assert StorePath(path="/a") == StorePath(path="a")
        assert hash(StorePath(path="/a")) == hash(StorePath(path="a"))
        assert StorePath(path="a") != StorePath(path="b")
        assert StorePath(path="a") != Sub(path="a")
        assert StorePath(path="a") != OtherStorePath(path="a")
        assert StorePath(path="a") != "a"
        assert len({StorePath(path="a"), StorePath(path="/a"), Sub(path="a")}) == 2

    def test_repr_shows_the_key_only(self, monkeypatch) -> None:
        monkeypatch.setenv("MINIO_ENDPOINT", "localhost:9000")
        monkeypatch.setenv("MINIO_ACCESS_KEY", "AKIA-id")
        monkeypatch.setenv("MINIO_SECRET_KEY", "hunter2-secret")
        path = StorePath(path="/a/b.txt")
        path.client
        assert repr(path) == "StorePath(path='a/b.txt')"
        assert repr(StorePath()) == "StorePath(path='/')"


# -- retries ----------------------------------------------------------------------------


def s3_error(code: str) -> S3Error:
    return S3Error(None, code, "message", "/bucket/key", "request", "host")  # type: ignore[arg-type]


# The errors are built without a pool or connection, which their annotations ask for.
u3: Any = urllib3.exceptions


TRANSIENT = [
    ConnectionRefusedError(), ConnectionResetError(), TimeoutError(),
    u3.NewConnectionError(None, "refused"),
    u3.ReadTimeoutError(None, "/", "timed out"),
    u3.ConnectTimeoutError(),
    u3.ProtocolError("connection aborted"),
    u3.MaxRetryError(None, "/", u3.NewConnectionError(None, "x")),
    u3.MaxRetryError(None, "/", u3.ResponseError("too many 503")),
    ServerError("server failed", 503),
    s3_error("InternalError"), s3_error("ServiceUnavailable"), s3_error("SlowDown"),
    s3_error("RequestTimeout"),
]

NEVER = [
    FileNotFoundError(), TypeError(), ValueError(), NotImplementedError(), KeyError("k"),
    RuntimeError(), PermissionError(), s3_error("NoSuchKey"), s3_error("AccessDenied"),
    ServerError("not modified", 304),
    u3.MaxRetryError(None, "/", u3.SSLError("bad cert")),
    u3.ResponseNotChunked("also a ValueError"),
    ConfigurationError("missing"),
]


class Failing:
    """A callable that raises the given errors in turn, then returns "done"."""

    def __init__(self, *errors: BaseException) -> None:
        self.errors = list(errors)
        self.calls = 0

    def __call__(self, *args: Any, **kwargs: Any) -> str:
        self.calls += 1
        if self.errors:
            raise self.errors.pop(0)
        return "done"


@pytest.fixture
def sleeps(monkeypatch) -> list[float]:
    recorded: list[float] = []
    monkeypatch.setattr(retrying, "_sleep", recorded.append)
    return recorded


class TestRetry:
    @pytest.mark.parametrize("error", TRANSIENT, ids=lambda e: type(e).__name__)
    def test_transient_errors_are_retried(self, sleeps, error) -> None:
        func = Failing(error)
        assert retry()(func)() == "done"
        assert func.calls == 2 and len(sleeps) == 1

    @pytest.mark.parametrize("error", NEVER, ids=lambda e: type(e).__name__)
    def test_other_errors_are_raised_at_once(self, sleeps, error) -> None:
        func = Failing(error)
        with pytest.raises(type(error)) as caught:
            retry()(func)()
        assert caught.value is error and func.calls == 1 and sleeps == []

    def test_gives_up_after_three_attempts_with_the_last_error(self, sleeps) -> None:
        errors = [ConnectionResetError(i) for i in range(4)]
        func = Failing(*errors)
        with pytest.raises(ConnectionResetError) as caught:
            retry()(func)()
        assert func.calls == 3 and len(sleeps) == 2
        assert caught.value is errors[2] and caught.value.__context__ is errors[0]

    def test_a_lasting_error_after_a_transient_one_ends_the_retries(self, sleeps) -> None:
        func = Failing(TimeoutError(), s3_error("NoSuchKey"), TimeoutError())
        with pytest.raises(S3Error, match="NoSuchKey"):
            retry(attempts=5)(func)()
        assert func.calls == 2

    def test_backoff_doubles_up_to_the_cap_with_jitter(self, sleeps, monkeypatch) -> None:
        monkeypatch.setattr(retrying, "_random", lambda: 1.0)
        with pytest.raises(TimeoutError):
            retry(attempts=6, delay=0.5, max_delay=3.0)(Failing(*[TimeoutError()] * 6))()
        assert sleeps == [0.5, 1.0, 2.0, 3.0, 3.0]
        sleeps.clear()
        monkeypatch.setattr(retrying, "_random", lambda: 0.0)
        with pytest.raises(TimeoutError):
            retry(attempts=4, delay=0.5, max_delay=3.0)(Failing(*[TimeoutError()] * 4))()
        assert sleeps == [0.25, 0.5, 1.0]

    def test_default_pauses_stay_within_bounds(self, sleeps) -> None:
        for _ in range(50):
            with pytest.raises(TimeoutError):
                retry()(Failing(*[TimeoutError()] * 3))()
        first, second = sleeps[0::2], sleeps[1::2]
        assert all(0.1 <= pause <= 0.2 for pause in first)
        assert all(0.2 <= pause <= 0.4 for pause in second)
        assert len(set(sleeps)) > 2  # jittered, not fixed

    def test_settings_come_from_the_environment_on_failure(self, sleeps, monkeypatch) -> None:
        monkeypatch.setenv("QUORVEX_RETRY_ATTEMPTS", "5")
        monkeypatch.setenv("QUORVEX_RETRY_DELAY", "1")
        monkeypatch.setenv("QUORVEX_RETRY_MAX_DELAY", "1")
        monkeypatch.setattr(retrying, "_random", lambda: 1.0)
        func = Failing(*[TimeoutError()] * 9)
        wrapped = retry()(func)
        with pytest.raises(TimeoutError):
            wrapped()
        assert func.calls == 5 and sleeps == [1.0] * 4
        monkeypatch.setenv("QUORVEX_RETRY_ATTEMPTS", "1")
        with pytest.raises(TimeoutError):
            wrapped()
        assert func.calls == 6
        func = Failing(*[TimeoutError()] * 9)
        with pytest.raises(TimeoutError):
            retry(attempts=2)(func)()
        assert func.calls == 2

    @pytest.mark.parametrize("name, text", [
        ("QUORVEX_RETRY_ATTEMPTS", "0"), ("QUORVEX_RETRY_ATTEMPTS", "2.5"),
        ("QUORVEX_RETRY_DELAY", "-1"), ("QUORVEX_RETRY_DELAY", "soon"),
        ("QUORVEX_RETRY_MAX_DELAY", "inf"), ("QUORVEX_RETRY_MAX_DELAY", "nan"),
    ])
    def test_bad_settings_are_read_only_on_failure(self, sleeps, monkeypatch, name,
                                                   text) -> None:
        monkeypatch.setenv(name, text)
        assert retry()(Failing())() == "done"
        first = TimeoutError()
        with pytest.raises(ValueError, match=f"{name} must be .*{text!r}") as caught:
            retry()(Failing(first))()
        assert caught.value.__context__ is first and sleeps == []

    @pytest.mark.parametrize("kwargs, error", [
        ({"attempts": 0}, ValueError), ({"attempts": 2.0}, TypeError),
        ({"attempts": True}, TypeError), ({"delay": -1}, ValueError),
        ({"max_delay": float("nan")}, ValueError), ({"delay": "1"}, TypeError),
    ])
    def test_bad_arguments_are_refused(self, kwargs, error) -> None:
        with pytest.raises(error):
            retry(**kwargs)

    def test_nested_retries_do_not_multiply(self, sleeps) -> None:
        failing = Failing(*[ConnectionResetError()] * 9)
        inner = retry()(failing)
        outer_calls = []

        @retry()
        def outer() -> str:
            outer_calls.append(1)
            return inner()

        with pytest.raises(ConnectionResetError):
            outer()
        assert failing.calls == 3 and len(outer_calls) == 1

    def test_a_caller_retries_its_own_failures(self, sleeps) -> None:
        succeeding = Failing()
        inner = retry()(succeeding)
        own = Failing(ConnectionResetError())
        outer = retry()(lambda: inner() + own())
        assert outer() == "donedone" and own.calls == 2 and succeeding.calls == 2

    def test_the_same_error_object_raised_again_is_still_retried(self, sleeps) -> None:
        error = s3_error("SlowDown")
        func = Failing(error, error, error)
        with pytest.raises(S3Error):
            retry()(func)()
        assert func.calls == 3

    def test_single_use_arguments_are_not_replayed(self, sleeps) -> None:
        func = Failing(TimeoutError())
        with pytest.raises(TimeoutError):
            retry()(func)(StorePath(path="a"), io.BytesIO(b"data"))
        assert func.calls == 1
        func = Failing(TimeoutError())
        assert retry()(func)(StorePath(path="a"), b"data", data="text") == "done"
        func = Failing(TimeoutError())
        with pytest.raises(TimeoutError):
            retry()(func)(StorePath(path="a"), data=iter([b"x"]))
        assert func.calls == 1


class FunctionLike:
    """Mimics the extension's function type: the attributes wraps copies, and binding."""

    def __init__(self, impl: Any) -> None:
        self.impl = impl
        self.__name__ = "exists"
        self.__qualname__ = "StorePath.exists"
        self.__module__ = "quorvex.minio.path"
        self.__doc__ = "Whether the object exists."
        self.__annotations__ = {"return": "bool"}
        self.__defaults__ = None
        self.marker = "kept"

    def __call__(self, *args: Any) -> Any:
        return self.impl(*args)

    def __get__(self, obj: Any, owner: Any = None) -> Any:
        return self if obj is None else (lambda *args: self(obj, *args))


class TestWrapper:
    def test_metadata_and_binding(self) -> None:
        func = FunctionLike(lambda self, suffix="": f"{self.path}{suffix}")
        wrapper = retry()(func)
        assert getattr(wrapper, "__wrapped__") is func
        assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
            "exists", "StorePath.exists", "quorvex.minio.path", "Whether the object exists.")
        assert wrapper.__annotations__ == {"return": "bool"} and wrapper.marker == "kept"
        assert inspect.isfunction(wrapper)

        class Holder(StorePath):
            exists = wrapper
            size = property(retry()(FunctionLike(lambda self: len(str(self.path)))))

        holder = Holder(path="a/b")
        assert holder.exists() == "a/b" and holder.exists("!") == "a/b!"
        assert Holder.exists(holder, "?") == "a/b?" and holder.size == 3

    def test_signature_follows_wrapped(self) -> None:
        def read(self, length: int = -1) -> bytes:
            return b""

        assert str(inspect.signature(retry()(read))) == str(inspect.signature(read))

    def test_generator_is_handed_back_untouched(self) -> None:
        started = []

        def glob(self, pattern):
            started.append(pattern)
            yield from ("a", "b")

        gen = glob(None, "*")
        wrapped = retry()(lambda *args: gen)
        assert wrapped(None, "*") is gen and started == []
        assert list(retry()(glob)(None, "*.txt")) == ["a", "b"] and started == ["*.txt"]
