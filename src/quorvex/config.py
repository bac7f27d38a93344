"""Settings for the path classes: environment variables first, then an optional INI file.

A setting is addressed by a section and a key.  Its environment variable is the two joined
by ``_``, upper-cased, with dots and dashes turned into underscores::

    section "minio",          key "bucket_name"  ->  MINIO_BUCKET_NAME
    section "minio.archive",  key "endpoint"     ->  MINIO_ARCHIVE_ENDPOINT
    section "quorvex.retry",  key "attempts"     ->  QUORVEX_RETRY_ATTEMPTS

(So section "minio.archive" with key "endpoint" and section "minio" with key
"archive_endpoint" share one variable; pick section names with that in mind.)

The environment is read on every lookup, so a change is seen by the next one.  An empty
variable counts as unset.  A setting that is not in the environment is looked up in the INI
file named by ``QUORVEX_CONFIG``, if that is set::

    [minio]
    endpoint = s3.example.com
    bucket_name = reports

    [minio.archive]
    endpoint = archive.example.com:9000

Option names in the file are case-insensitive and may use dashes for underscores.  The file
is read again when its name, size or modification time changes; that is checked at most once
every ``file_check_interval`` seconds (1 s), so an edit can take that long to show.  A file
that is named but cannot be read or parsed raises :class:`ConfigurationError`.

Keys the S3 client uses, per section: ``endpoint`` (``host`` or ``host:port``, no scheme),
``access_key``, ``secret_key``, ``secure`` (true/false/1/0/yes/no, any case; by default
false for loopback endpoints -- localhost, 127.0.0.0/8, ::1 -- and true for any other),
``region`` (unset by default: with a region set, the SDK cannot tell a missing bucket from
a missing object) and ``bucket_name``.
"""

from __future__ import annotations

import configparser
import ipaddress
import math
import os
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Optional, TypeVar

__all__ = [
    "CONFIG_FILE_VARIABLE",
    "ClientSettings",
    "ConfigurationError",
    "EnvConfig",
    "env_name",
    "is_loopback_endpoint",
    "parse_bool",
]

#: The environment variable that names the optional INI file.
CONFIG_FILE_VARIABLE = "QUORVEX_CONFIG"

_Number = TypeVar("_Number", int, float)

_TRUE_WORDS = frozenset({"true", "1", "yes"})
_FALSE_WORDS = frozenset({"false", "0", "no"})


class ConfigurationError(LookupError):
    """A setting that is needed is missing, or the configuration file cannot be used."""


def env_name(section: str, key: str) -> str:
    """The environment variable that holds ``key`` of ``section``."""
    if not isinstance(section, str) or not isinstance(key, str):
        raise TypeError(
            f"section and key must be str, got {type(section).__name__} "
            f"and {type(key).__name__}"
        )
    if not section or not key:
        raise ValueError("section and key must not be empty")
    joined = f"{section}_{key}"
    return joined.upper().replace(".", "_").replace("-", "_")


def _option_name(key: str) -> str:
    # How an option is spelled once read from the file (and how lookups spell it).
    return key.lower().replace("-", "_")


def parse_bool(text: str, where: str) -> bool:
    """``text`` read as a yes/no setting; ``where`` names its source for the error."""
    word = text.strip().lower()
    if word in _TRUE_WORDS:
        return True
    if word in _FALSE_WORDS:
        return False
    raise ValueError(f"{where} must be one of true/false/1/0/yes/no, got {text!r}")


def endpoint_host(endpoint: str) -> str:
    """The host part of ``host``, ``host:port``, ``[v6]``, ``[v6]:port`` or a bare IPv6."""
    if endpoint.startswith("["):
        close = endpoint.find("]")
        return endpoint[1:close] if close > 0 else endpoint[1:]
    if endpoint.count(":") == 1:
        return endpoint.partition(":")[0]
    return endpoint  # no port, or a bare IPv6 address


def is_loopback_endpoint(endpoint: str) -> bool:
    """Whether ``endpoint`` names this machine: localhost, 127.0.0.0/8 or ::1."""
    host = endpoint_host(endpoint).strip().lower().rstrip(".")
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass(frozen=True)
class ClientSettings:
    """What the S3 client of one section is built from.  The repr leaves out the keys."""

    endpoint: str
    access_key: Optional[str] = field(default=None, repr=False)
    secret_key: Optional[str] = field(default=None, repr=False)
    secure: bool = True
    region: Optional[str] = None


class _FileState:
    """One parsed reading of the configuration file (replaced whole, never changed)."""

    __slots__ = ("path", "stamp", "sections", "next_check")

    def __init__(self, path: str, stamp: tuple[int, int, int],
                 sections: dict[str, dict[str, str]], next_check: float) -> None:
        self.path = path
        self.stamp = stamp
        self.sections = sections
        self.next_check = next_check


_NO_FILE = _FileState("", (0, 0, 0), {}, math.inf)
_NO_OPTIONS: dict[str, str] = {}


class EnvConfig:
    """The process's settings.  Use :meth:`init_configer` for the shared instance."""

    #: Seconds between checks whether the configuration file changed.
    file_check_interval = 1.0

    _shared: Optional["EnvConfig"] = None
    _shared_lock = threading.Lock()

    def __init__(self) -> None:
        # (section, key) -> environment variable name; filled as keys are first asked for.
        self._names: dict[tuple[str, str], str] = {}
        self._file = _NO_FILE
        self._file_lock = threading.Lock()

    @classmethod
    def init_configer(cls) -> "EnvConfig":
        """The one instance shared by the whole process, created on first use."""
        shared = cls._shared
        if shared is None:
            with cls._shared_lock:
                shared = cls._shared
                if shared is None:
                    shared = cls._shared = cls()
        return shared

    # -- lookups ---------------------------------------------------------------------

    def get(self, section: str, key: str) -> Optional[str]:
        """The value of ``key`` in ``section`` as a str, or None where it is not set."""
        try:
            name = self._names[section, key]
        except KeyError:
            name = self._names[section, key] = env_name(section, key)
        value = os.environ.get(name)
        if value:
            return value
        return self._file_sections().get(section, _NO_OPTIONS).get(_option_name(key))

    def source(self, section: str, key: str) -> str:
        """Where ``key`` of ``section`` is, or would be, read from: for error messages."""
        name = env_name(section, key)
        if os.environ.get(name):
            return name
        sections = self._file_sections()
        if _option_name(key) in sections.get(section, _NO_OPTIONS):
            return f"{key!r} in the [{section}] section of {self._file.path}"
        return name

    def get_bool(self, section: str, key: str, default: bool) -> bool:
        text = self.get(section, key)
        return default if text is None else parse_bool(text, self.source(section, key))

    def get_int(self, section: str, key: str, default: int, minimum: int) -> int:
        return self._get_number(section, key, default, minimum, int, "an integer")

    def get_float(self, section: str, key: str, default: float, minimum: float) -> float:
        return self._get_number(section, key, default, minimum, float, "a number")

    def _get_number(self, section: str, key: str, default: _Number, minimum: _Number,
                    convert: Callable[[str], _Number], kind: str) -> _Number:
        text = self.get(section, key)
        if text is None:
            return default
        try:
            value: Optional[_Number] = convert(text.strip())
        except ValueError:
            value = None
        if value is None or not (math.isfinite(value) and value >= minimum):
            raise ValueError(f"{self.source(section, key)} must be {kind} of at least "
                             f"{minimum}, got {text!r}")
        return value

    def client_settings(self, section: str) -> ClientSettings:
        """The client settings of ``section``; raises ConfigurationError without an endpoint."""
        endpoint = self.get(section, "endpoint")
        if endpoint is None or not endpoint.strip():
            raise ConfigurationError(
                f"no endpoint configured for section {section!r}: set "
                f"{env_name(section, 'endpoint')} (or 'endpoint' in the [{section}] section "
                f"of the file named by {CONFIG_FILE_VARIABLE})"
            )
        endpoint = endpoint.strip()
        if "://" in endpoint or "/" in endpoint:
            raise ValueError(
                f"{self.source(section, 'endpoint')} must be host or host:port, without a "
                f"scheme or path (use {env_name(section, 'secure')} to choose https), "
                f"got {endpoint!r}"
            )
        access_key = self.get(section, "access_key")
        secret_key = self.get(section, "secret_key")
        if (access_key is None) != (secret_key is None):
            missing = "secret_key" if secret_key is None else "access_key"
            raise ConfigurationError(
                f"section {section!r} has only one of access_key and secret_key: set "
                f"{env_name(section, missing)} too, or neither for anonymous access"
            )
        secure = self.get_bool(section, "secure", not is_loopback_endpoint(endpoint))
        return ClientSettings(endpoint, access_key, secret_key, secure,
                              self.get(section, "region"))

    # -- the file --------------------------------------------------------------------

    def _file_sections(self) -> dict[str, dict[str, str]]:
        path = os.environ.get(CONFIG_FILE_VARIABLE) or ""
        state = self._file
        if path == state.path and time.monotonic() < state.next_check:
            return state.sections
        if not path:
            self._file = _NO_FILE
            return _NO_FILE.sections
        with self._file_lock:
            state = self._file
            now = time.monotonic()
            if path == state.path and now < state.next_check:
                return state.sections
            stamp = self._stamp(path)
            if path != state.path or stamp != state.stamp:
                state = _FileState(path, stamp, self._read(path), 0.0)
            self._file = _FileState(path, stamp, state.sections,
                                    now + self.file_check_interval)
            return state.sections

    @staticmethod
    def _stamp(path: str) -> tuple[int, int, int]:
        try:
            info = os.stat(path)
        except OSError as exc:
            raise ConfigurationError(
                f"{CONFIG_FILE_VARIABLE} names {path!r}, which cannot be read: {exc}"
            ) from None
        return (info.st_mtime_ns, info.st_size, info.st_ino)

    @staticmethod
    def _read(path: str) -> dict[str, dict[str, str]]:
        # No interpolation: a '%' in a secret key is just a character.
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = _option_name  # type: ignore[assignment,method-assign]
        try:
            with open(path, encoding="utf-8") as stream:
                parser.read_file(stream, source=path)
        except (OSError, UnicodeDecodeError, configparser.Error) as exc:
            raise ConfigurationError(
                f"the configuration file {path!r} (named by {CONFIG_FILE_VARIABLE}) "
                f"cannot be used: {exc}"
            ) from None
        return {name: dict(parser.items(name)) for name in parser.sections()}
