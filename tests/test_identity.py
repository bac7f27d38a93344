"""Identity: bucket_name's exact sequence of lookups and calls, __str__ and __hash__."""

from __future__ import annotations

import pathlib

import pytest

import quorvex.minio.path as module
import standins

Probe = standins.probe_class(module)
EVENTS: list[str] = []


class Failure(Exception):
    pass


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        EVENTS.append("bool")
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Recorder:
    """Logs attribute fetches as 'get <label>.<attr>' and calls as '<attr>(args)'; raises
    Failure at the call or fetch named in `fail`."""

    def __init__(self, label, fail=None, **replies):
        object.__setattr__(self, "_state", (label, fail, replies))

    def __getattribute__(self, attr):
        label, fail, replies = object.__getattribute__(self, "_state")
        EVENTS.append(f"get {label}.{attr}")
        if fail == f"get {attr}":
            raise Failure(attr)

        def method(*args, **kwargs):
            EVENTS.append(f"{attr}{args}{kwargs or ''}")
            if fail == attr:
                raise Failure(attr)
            reply = replies[attr]
            return reply(*args) if callable(reply) else reply
        return method


class Identity(Probe):
    keys = iter(())
    fail = None

    def _section_key_on_thread(self):
        EVENTS.append("_section_key_on_thread")
        if self.fail == "_section_key_on_thread":
            raise Failure("key")
        return next(self.keys)

    def _valid_reset(self):
        EVENTS.append("_valid_reset")
        if self.fail == "_valid_reset":
            raise Failure("reset")
        return Truth(True)  # ignored: never truth-tested


def setup(monkeypatch, present=True, value="bkt", fail=None):
    """A probe whose bucket_name goes through recording Local, EnvConfig and configer."""
    EVENTS.clear()
    configer = Recorder("configer", fail, get=lambda section, key: value)
    local2 = Recorder("Local2", fail, getattr=lambda key: f"section-of-{key}")

    def init_configer():
        # Local is looked up again after this: the second lookup must see the new one.
        module.Local = local2
        return configer

    truth = Truth(Failure("bool") if fail == "bool" else present)
    monkeypatch.setattr(module, "Local", Recorder("Local", fail, hasattr=truth))
    monkeypatch.setattr(module, "EnvConfig",
                        Recorder("EnvConfig", fail, init_configer=init_configer))
    p = Identity("dir/obj")
    p.keys, p.fail = iter(["k1", "k2"]), fail
    return p


SEQUENCE = ["get Local.hasattr", "_section_key_on_thread", "hasattr('k1',)", "bool",
            "_valid_reset", "get EnvConfig.init_configer", "init_configer()",
            "get configer.get", "get Local2.getattr", "_section_key_on_thread",
            "getattr('k2',)", "get('section-of-k2', 'bucket_name')"]


@pytest.mark.parametrize("present", [True, False])
def test_bucket_name_sequence(monkeypatch, present) -> None:
    p = setup(monkeypatch, present)
    assert p.bucket_name == "bkt"
    assert EVENTS == [e for e in SEQUENCE if not (present and e == "_valid_reset")]


@pytest.mark.parametrize("fail, last", [
    ("get hasattr", "get Local.hasattr"), ("_section_key_on_thread", "_section_key_on_thread"),
    ("hasattr", "hasattr('k1',)"), ("bool", "bool"), ("_valid_reset", "_valid_reset"),
    ("get init_configer", "get EnvConfig.init_configer"), ("init_configer", "init_configer()"),
    ("get get", "get configer.get"), ("get getattr", "get Local2.getattr"),
    ("getattr", "getattr('k2',)"), ("get", "get('section-of-k2', 'bucket_name')"),
])
def test_bucket_name_stops_at_the_first_failure(monkeypatch, fail, last) -> None:
    p = setup(monkeypatch, present=False, fail=fail)
    with pytest.raises(Failure):
        p.bucket_name
    assert EVENTS == SEQUENCE[:SEQUENCE.index(last) + 1]


@pytest.mark.parametrize("value, error", [
    ("bkt", None), (None, None),
    (type("MyStr", (str,), {})("bkt"), "Expected unicode, got MyStr"),
    (b"bkt", "Expected unicode, got bytes"),
    (7, "Expected unicode, got int"),
])
def test_bucket_name_must_be_str_or_none(monkeypatch, value, error) -> None:
    p = setup(monkeypatch, value=value)
    if error is None:
        assert p.bucket_name is value
    else:
        with pytest.raises(TypeError) as info:
            p.bucket_name
        assert str(info.value) == error


class Text(str):
    def __format__(self, format_spec):
        return "formatted"


class Posix:
    """A path whose as_posix() returns `text`, and whose hash is its own."""

    def __init__(self, text):
        self.text = text

    def as_posix(self):
        return self.text

    def __hash__(self):
        return 12345


class Plain(Probe):
    bucket = "bkt"
    reads: list[str] = []

    @property
    def bucket_name(self):
        self.reads.append("bucket_name")
        if isinstance(self.bucket, Exception):
            raise self.bucket
        return self.bucket

    @property
    def path(self):
        self.reads.append("path")
        return self.__dict__["path"]

    @path.setter
    def path(self, value):
        self.__dict__["path"] = value


@pytest.mark.parametrize("bucket, path, text", [
    ("bkt", pathlib.PurePosixPath("a/b.txt"), "(bucket='bkt', path='a/b.txt')"),
    (None, pathlib.PurePosixPath("x"), "(bucket='None', path='x')"),
    ("it's", Posix("\"q'\\\n"), "(bucket='it's', path='\"q'\\\n')"),  # nothing escaped
    ("bkt", Posix(Text("ignored")), "(bucket='bkt', path='formatted')"),
    ("bkt", Posix(42), "(bucket='bkt', path='42')"),
])
def test_str(bucket, path, text) -> None:
    p = Plain()
    p.bucket, p.path, p.reads = bucket, path, []
    assert str(p) == text
    assert p.reads == ["bucket_name", "path"]


@pytest.mark.parametrize("dunder", [str, hash])
def test_a_failing_bucket_lookup_reads_no_path(dunder) -> None:
    p = Plain()
    p.bucket, p.path, p.reads = Failure("no bucket"), pathlib.PurePosixPath("a"), []
    with pytest.raises(Failure):
        dunder(p)
    assert p.reads == ["bucket_name"]


@pytest.mark.parametrize("bucket, path", [
    ("bkt", pathlib.PurePosixPath("a/b")), (None, pathlib.PurePosixPath("a")),
    ("bkt", Posix(object())),  # the path object itself is hashed, not its text
])
def test_hash(bucket, path) -> None:
    p = Plain()
    p.bucket, p.path, p.reads = bucket, path, []
    assert hash(p) == hash((bucket, path))
    assert p.reads == ["bucket_name", "path"]


def test_hash_of_an_unhashable_path() -> None:
    p = Plain()
    p.bucket, p.path = "bkt", ["a"]
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        hash(p)
