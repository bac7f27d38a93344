"""Settings for the path classes: environment variables first, then an optional INI file.

A setting is addressed by a section and a key.  Its environment variable is the two joined
by ``_``, upper-cased, with dots and dashes turned into underscores::

    section "minio",          key "bucket_name"  ->  MINIO_BUCKET_NAME
    section "minio.archive",  key "endpoint"     ->  MINIO_ARCHIVE_ENDPOINT
    section "quorvex.retry",  key "attempts"     ->  QUORVEX_RETRY_ATTEMPTS

(So section "minio.archive" with key "endpoint" and section "minio" with key
"archive_endpoint" share one variable; pick section names with that in mind.)

Values given in code with :func:`configure` come first: they win over the environment and
the file, and never reach ``os.environ`` (which child processes inherit).  The environment
is read on every lookup, so a change is seen by the next one.  An empty variable counts as
unset.  A setting that is in neither is looked up in the INI file named by
``QUORVEX_CONFIG``, if that is set::

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
a missing object), ``max_connections`` (the size of the client's connection pool per host,
an integer of at least 1, 64 by default) and ``bucket_name``.
"""

from __future__ import annotations

import configparser
import ipaddress
import math
import os
import re
import threading
import time
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any, Callable, Optional, TypeVar, Union

from quorvex.errors import ConfigurationError, TLSError

__all__ = [
    "CONFIG_FILE_VARIABLE",
    "DEFAULT_MAX_CONNECTIONS",
    "ClientSettings",
    "ConfigurationError",
    "Configured",
    "EnvConfig",
    "TLSError",
    "check_section_name",
    "configure",
    "env_name",
    "is_loopback_endpoint",
    "parse_bool",
]

#: The environment variable that names the optional INI file.
CONFIG_FILE_VARIABLE = "QUORVEX_CONFIG"

#: Connections the client of a section keeps open per host, unless ``max_connections`` says.
DEFAULT_MAX_CONNECTIONS = 64

#: What :func:`configure` takes as a value (None takes the in-process value away).
SettingValue = Union[str, bool, int, float, None]

_SECTION_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]*\Z")

# os.environ keeps the variables, encoded, in its dict ``_data``.  Reading that dict
# directly skips the Mapping machinery of os.environ.get (most of a lookup's cost); the
# decoded text of the last value seen is kept per setting.  Writes through os.environ
# (and so monkeypatch.setenv, mock.patch.dict) update that dict, so they are seen at once.
_environ_data: Any = getattr(os.environ, "_data", None)
_encode_key: Callable[[str], Any] = getattr(os.environ, "encodekey", None) or str
_decode_value: Callable[[Any], str] = getattr(os.environ, "decodevalue", None) or str
if not isinstance(_environ_data, dict):  # not CPython's os._Environ: take the slow way
    _environ_data, _encode_key, _decode_value = os.environ, str, str
_environ_get: Callable[[Any], Any] = _environ_data.get
_CONFIG_FILE_KEY = _encode_key(CONFIG_FILE_VARIABLE)

_Number = TypeVar("_Number", int, float)

_TRUE_WORDS = frozenset({"true", "1", "yes"})
_FALSE_WORDS = frozenset({"false", "0", "no"})


def check_section_name(section: object) -> str:
    """``section`` if it is a valid section name; TypeError or ValueError otherwise."""
    if not isinstance(section, str):
        raise TypeError(f"a section name must be a str, not {type(section).__name__}")
    if not _SECTION_NAME.match(section):
        raise ValueError("a section name is letters, digits, '_', '.' and '-', starting "
                         f"with a letter or digit; got {section!r}")
    return section


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
    max_connections: int = DEFAULT_MAX_CONNECTIONS


class _FileState:
    """One parsed reading of the configuration file (replaced whole, never changed).

    ``raw`` is the value of QUORVEX_CONFIG as os.environ keeps it, ``path`` its text.
    """

    __slots__ = ("raw", "path", "stamp", "sections", "next_check")

    def __init__(self, raw: Any, path: str, stamp: tuple[int, int, int],
                 sections: dict[str, dict[str, str]], next_check: float) -> None:
        self.raw = raw
        self.path = path
        self.stamp = stamp
        self.sections = sections
        self.next_check = next_check


_NO_FILE = _FileState(None, "", (0, 0, 0), {}, math.inf)
_NO_OPTIONS: dict[str, str] = {}
_UNSEEN = object()  # no raw value is this object
_NOT_IN_ENVIRONMENT = _encode_key("\0")  # no variable has this name

# What one (section, key) lookup needs, made on its first use and replaced whole (a plain
# tuple, read by index, for speed):
# 0. the variable's name as os.environ keeps it; _NOT_IN_ENVIRONMENT while a value given
#    in code wins, so that the environment answers "not set" for it;
# 1. the raw value last seen in the environment, or _UNSEEN;
# 2. that value's decoded text;
# 3. the value given to configure(), or None;
# 4. the option name in the file.
_Slot = tuple[Any, Any, Optional[str], Optional[str], str]

# Called with a section's name after configure() changed any of its settings other than
# the bucket name (quorvex.base drops the clients built from the old ones).
_connection_listeners: list[Callable[[str], None]] = []


class EnvConfig:
    """The process's settings.  Use :meth:`init_configer` for the shared instance."""

    #: Seconds between checks whether the configuration file changed.
    file_check_interval = 1.0

    _shared: Optional["EnvConfig"] = None
    _shared_lock = threading.Lock()

    def __init__(self) -> None:
        # section -> key -> what its lookup needs; filled on first use.
        self._slots: dict[str, dict[str, _Slot]] = {}
        # section -> option -> the value given to configure().
        self._given: dict[str, dict[str, str]] = {}
        self._lock = threading.Lock()  # for changes of _slots and _given
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
        """The value of ``key`` in ``section`` as a str, or None where it is not set.

        Looked up afresh each time: the value given to :func:`configure`, then the
        environment variable, then the file.
        """
        try:
            slot = self._slots[section][key]
        except KeyError:
            slot = None
        if slot is None:
            slot = self._new_slot(section, key)
        raw = _environ_get(slot[0])
        if raw is slot[1]:  # the value seen last time: its text is known
            return slot[2]
        if slot[3] is not None:
            return slot[3]
        if raw:
            return self._seen(section, key, slot, raw)
        return self._file_sections().get(section, _NO_OPTIONS).get(slot[4])

    def _seen(self, section: str, key: str, slot: _Slot, raw: Any) -> str:
        """The text of a new raw value of the variable, remembered in the slot."""
        text = _decode_value(raw)
        with self._lock:
            keys = self._slots[section]
            if keys.get(key) is slot:  # else configure() replaced it meanwhile
                keys[key] = (slot[0], raw, text, None, slot[4])
        return text

    def _new_slot(self, section: str, key: str) -> _Slot:
        name = env_name(section, key)
        option = _option_name(key)
        with self._lock:
            keys = self._slots.setdefault(section, {})
            slot = keys.get(key)
            if slot is None:
                slot = keys[key] = _make_slot(name, option,
                                              self._given.get(section, _NO_OPTIONS).get(option))
        return slot

    def source(self, section: str, key: str) -> str:
        """Where ``key`` of ``section`` is, or would be, read from: for error messages."""
        name = env_name(section, key)
        option = _option_name(key)
        if option in self._given.get(section, _NO_OPTIONS):
            return f"{key!r} given to configure() for section {section!r}"
        if os.environ.get(name):
            return name
        sections = self._file_sections()
        if option in sections.get(section, _NO_OPTIONS):
            return f"{key!r} in the [{section}] section of {self._file.path}"
        return name

    # -- configuration in code -------------------------------------------------------

    def configure(self, section: str = "minio", **settings: SettingValue) -> "Configured":
        """Gives settings of ``section`` values in code that win over environment and file.

        See :func:`configure`, which does this on the shared instance.
        """
        section = check_section_name(section)
        values = {_option_name(key): _setting_text(key, value)
                  for key, value in settings.items()}
        return Configured(self, section, self._replace_given(section, values))

    def _replace_given(self, section: str,
                       values: dict[str, Optional[str]]) -> dict[str, Optional[str]]:
        """Sets the given values of ``section`` (None removes one); returns the old ones."""
        with self._lock:
            given = self._given.setdefault(section, {})
            previous = {option: given.get(option) for option in values}
            for option, value in values.items():
                if value is None:
                    given.pop(option, None)
                else:
                    given[option] = value
            keys = self._slots.get(section, {})
            for key, slot in keys.items():
                if slot[4] in values:
                    keys[key] = _make_slot(env_name(section, key), slot[4], values[slot[4]])
        changed = any(previous[option] != value for option, value in values.items()
                      if option != "bucket_name")
        if changed:
            for listener in list(_connection_listeners):
                listener(section)
        return previous

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
        max_connections = self.get_int(section, "max_connections", DEFAULT_MAX_CONNECTIONS, 1)
        return ClientSettings(endpoint, access_key, secret_key, secure,
                              self.get(section, "region"), max_connections)

    # -- the file --------------------------------------------------------------------

    def _file_sections(self) -> dict[str, dict[str, str]]:
        raw = _environ_get(_CONFIG_FILE_KEY)
        state = self._file
        if not raw:
            if state is not _NO_FILE:
                self._file = _NO_FILE
            return _NO_FILE.sections
        if raw is state.raw and time.monotonic() < state.next_check:
            return state.sections
        path = _decode_value(raw)
        with self._file_lock:
            state = self._file
            now = time.monotonic()
            if path == state.path and now < state.next_check:
                return state.sections
            stamp = self._stamp(path)
            if path != state.path or stamp != state.stamp:
                state = _FileState(raw, path, stamp, self._read(path), 0.0)
            self._file = _FileState(raw, path, stamp, state.sections,
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
                f"cannot be used: {_file_problem(exc)}"
            ) from None
        return {name: dict(parser.items(name)) for name in parser.sections()}


def _file_problem(exc: BaseException) -> str:
    """What is wrong with the file, without the text of any of its lines.

    configparser quotes the offending line, and a line of this file may hold a secret key.
    """
    if isinstance(exc, configparser.MissingSectionHeaderError):
        return f"line {exc.lineno} comes before the first [section] header"
    if isinstance(exc, configparser.ParsingError):
        lines = ", ".join(str(lineno) for lineno, _ in exc.errors)
        return f"line(s) {lines} are neither a [section] header nor 'option = value'"
    if isinstance(exc, UnicodeDecodeError):
        return f"it is not UTF-8 text (byte {exc.start})"
    return str(exc)


def _is_secret(key: str) -> bool:
    return "secret" in key.lower() or "password" in key.lower()


def _make_slot(name: str, option: str, given: Optional[str]) -> _Slot:
    variable = _NOT_IN_ENVIRONMENT if given is not None else _encode_key(name)
    return (variable, _UNSEEN, None, given, option)


def _setting_text(key: str, value: SettingValue) -> Optional[str]:
    # How a value given in code is kept: as the text an environment variable would hold.
    if value is None or isinstance(value, str):
        if value == "":
            raise ValueError(f"configure(): {key} must not be empty (None takes a value "
                             f"given in code away)")
        return value
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float) and math.isfinite(value):
        return repr(value)
    shown = f"a {type(value).__name__}" if _is_secret(key) else repr(value)
    raise TypeError(f"configure(): {key} must be a str, bool, int, finite float or None, "
                    f"not {shown}")


class Configured:
    """What :func:`configure` returns: its values are in force already; as a context
    manager, leaving the ``with`` block puts back the values given in code before it."""

    __slots__ = ("_config", "_section", "_previous")

    def __init__(self, config: EnvConfig, section: str,
                 previous: dict[str, Optional[str]]) -> None:
        self._config = config
        self._section = section
        self._previous = previous

    @property
    def section(self) -> str:
        """The section whose settings were given."""
        return self._section

    def restore(self) -> None:
        """Puts back the values given in code that these replaced (None: none was)."""
        self._config._replace_given(self._section, self._previous)

    def __enter__(self) -> "Configured":
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.restore()

    def __repr__(self) -> str:
        return f"<Configured section={self._section!r} keys={sorted(self._previous)}>"


def configure(section: str = "minio", **settings: SettingValue) -> Configured:
    """Gives settings of ``section`` values in code, for this process only.

    ``configure(endpoint="s3.example.com", access_key=..., secret_key=...,
    bucket_name="reports")`` applies at once; any key may be given.  Such a value wins over
    the environment and the file, and is not put into ``os.environ``, so child processes
    do not inherit it.  ``None`` takes a value given in code away again.  A bool becomes
    "true"/"false" and a number its text, as an environment variable would hold them.

    Used as a context manager (``with configure(bucket_name="scratch"):``) the values
    given before come back when the block is left.  When a section's settings other than
    ``bucket_name`` change, the next ``client`` of that section is built from the new ones.
    """
    return EnvConfig.init_configer().configure(section, **settings)
