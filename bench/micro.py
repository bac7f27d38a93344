"""Section 1: what each member of the extension's class costs, next to the pure-Python twin.

Both classes talk to the same in-process fake client (bench/fake.py), whose answers are
prepared in advance, so a call does no I/O beyond what the member itself does locally (the
upload of a file stats it).  Every member is timed in a tight loop (timeit), the module and
the twin in alternation, round after round; the ratio twin/module is taken round by round.

Besides the members as users call them ("full"), each member is timed once more on "lean"
subclasses of both classes, where the shared providers are taken out: ``client`` and
``bucket_name`` are plain class attributes and the retry wrapper is unwrapped.  The
difference full - lean is what the shared providers (BasePath.client, Local, EnvConfig and
retry) cost inside the member; the lean ratio is the speed-up of the bodies alone.
"""

from __future__ import annotations

import gc
import os
import sys
import tempfile
import timeit
from dataclasses import dataclass
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402
import fake  # noqa: E402

# The settings the classes read: the fake ignores the endpoint and keys, but the providers
# read them as they would for a real client.
SETTINGS = {
    "MINIO_ENDPOINT": "fake.invalid:9000",
    "MINIO_ACCESS_KEY": "bench-access",
    "MINIO_SECRET_KEY": "bench-secret",
    "MINIO_SECURE": "false",
    "MINIO_BUCKET_NAME": fake.BUCKET,
    # A second section whose bucket does not exist, for delete_bucket's do-nothing path.
    "BENCH_GONE_ENDPOINT": "fake.invalid:9000",
    "BENCH_GONE_ACCESS_KEY": "bench-access",
    "BENCH_GONE_SECRET_KEY": "bench-secret",
    "BENCH_GONE_BUCKET_NAME": "gone",
}
GONE_SECTION = "bench.gone"

OBJECT = "data/file.txt"
MISSING = "data/missing.txt"
DIRECTORY = "dir"
LISTED = "list"
BODY = bytes(range(256)) * 4  # 1 KiB


@dataclass(frozen=True)
class Case:
    name: str
    expr: str  # evaluated against the namespace: p, m, d, g, body, local_file
    kind: str  # "member" (target 1.5x) or "error" (target 3x)
    raises: Optional[str] = None  # the exception the call ends with, caught in the loop
    section: Optional[str] = None  # a configuration section to run it under
    lean: bool = True  # whether a lean (providers taken out) variant makes sense
    consume: bool = False  # the expression is an iterable to exhaust
    floor: str = "pass"  # what the member must call, done bare (see below)

    @property
    def stmt(self) -> str:
        if self.consume:
            return f"for _ in {self.expr}:\n    pass"
        if self.raises:
            return f"try:\n    {self.expr}\nexcept {self.raises}:\n    pass"
        return self.expr


# Each case's "floor" does only what the member has to call -- the fake's answers, pathlib,
# io, datetime, fnmatch, the path constructor, and an exception reaching the caller -- from
# Python, with the providers as constants (c, B, G).  lean - floor is then what the member's
# own body costs around those calls: compiled C++ in the module, bytecode in the twin.
_IS_DIR = ("d.path.as_posix().strip('/')\n"
           "for o in c.list_objects(B, prefix='dir/', recursive=False):\n"
           "    if o.object_name != 'dir/':\n"
           "        break\n")
_MISSING = ("try:\n"
            "    c.stat_object(B, m.path.as_posix())\n"
            "except S3Error as e:\n"
            "    e.code\n")


def _raised(error: str, message: str = "'x'") -> str:
    return f"try:\n    raise {error}({message})\nexcept {error}:\n    pass\n"


CASES = [
    Case("bucket_name", "p.bucket_name", "member", lean=False),
    Case("__str__", "str(p)", "member", floor="p.path.as_posix()"),
    Case("__hash__", "hash(p)", "member", floor="hash(p.path)"),
    Case("bucket_exists", "p.bucket_exists", "member", floor="c.bucket_exists(B)"),
    Case("create_bucket (existing)", "p.create_bucket()", "member",
         floor="c.bucket_exists(B)"),
    Case("delete_bucket (missing)", "p.delete_bucket()", "member", section=GONE_SECTION,
         floor="c.bucket_exists(G)"),
    Case("exists (present)", "p.exists", "member",
         floor="c.stat_object(B, p.path.as_posix())"),
    Case("is_dir", "d.is_dir()", "member", floor=_IS_DIR),
    Case("mtime", "p.mtime", "member",
         floor="c.stat_object(B, p.path.as_posix())\n"
               "s = c.stat_object(B, p.path.as_posix())\n"
               "datetime.datetime.fromtimestamp(s.last_modified.timestamp())"),
    Case("read (1 KiB)", "p.read()", "member",
         floor="c.stat_object(B, p.path.as_posix())\n"
               "r = c.get_object(B, p.path.as_posix())\n"
               "r.read()\nr.close()\nr.release_conn()"),
    Case("write (1 KiB)", "p.write(body)", "member",
         floor="s = io.BytesIO(body)\ns.seek(0, io.SEEK_END)\nn = s.tell()\ns.seek(0)\n"
               "c.put_object(B, p.path.as_posix(), s, length=n)"),
    Case("upload (a file)", "p.upload(local_file)", "member",
         floor="f = pathlib.Path(local_file)\nf.is_dir()\n"
               "c.fput_object(B, p.path.as_posix(), f.as_posix())"),
    Case("delete (one object)", "p.delete()", "member",
         floor="p.path.as_posix().strip('/')\n"
               "for o in c.list_objects(B, prefix='data/file.txt/', recursive=False):\n"
               "    pass\n"
               "c.remove_object(B, p.path.as_posix())"),
    Case("delete (recursive, 5 objects)", "d.delete()", "member",
         floor=_IS_DIR + "d.path.as_posix().strip('/')\n"
               "x = [DeleteObject(o.object_name)\n"
               "     for o in c.list_objects(B, prefix='dir/', recursive=True)]\n"
               "for e in c.remove_objects(B, x):\n    pass"),
    Case("glob (10 entries)", "g.glob()", "member", consume=True,
         floor="g.path.as_posix().lstrip('/')\n"
               "for o in c.list_objects(B, prefix='list/', recursive=False):\n"
               "    if fnmatch.fnmatch(o.object_name, '*'):\n"
               "        MinIOPath(path='/' + o.object_name.lstrip('/'))"),
    # Argument checks and error paths.
    Case("exists (missing object)", "m.exists", "error", floor=_MISSING),
    Case("read (missing object)", "m.read()", "error", raises="FileNotFoundError",
         floor=_MISSING + "str(m.path)\n" + _raised("FileNotFoundError")),
    Case("mtime (missing object)", "m.mtime", "error", raises="FileNotFoundError",
         floor=_MISSING + "str(m.path)\n" + _raised("FileNotFoundError")),
    Case("write (wrong type)", "p.write('text')", "error", raises="TypeError",
         floor=_raised("TypeError")),
    Case("upload (wrong type)", "p.upload(b'x')", "error", raises="TypeError",
         floor=_raised("TypeError")),
    Case("upload (empty path)", "p.upload('')", "error", raises="ValueError",
         floor=_raised("ValueError")),
    Case("glob (wrong type)", "g.glob(1)", "error", raises="TypeError",
         floor=_raised("TypeError")),
    Case("mkdir (refused)", "p.mkdir()", "error", raises="NotImplementedError",
         floor=_raised("NotImplementedError")),
]

TARGETS = {"member": 1.5, "error": 3.0}


def make_fake() -> fake.FakeMinio:
    children = [f"{LISTED}/f{i:02d}.txt" for i in range(10)]
    tree = [f"{DIRECTORY}/", f"{DIRECTORY}/a.txt"]
    recursive = [f"{DIRECTORY}/{n}" for n in ("a.txt", "b.txt", "c.txt", "s/d.txt", "s/e.txt")]
    listings = {
        (DIRECTORY + "/", False): fake.listing(fake.BUCKET, tree),
        (DIRECTORY + "/", True): fake.listing(fake.BUCKET, recursive),
        (LISTED + "/", False): fake.listing(fake.BUCKET, children),
    }
    return fake.FakeMinio([fake.BUCKET], {OBJECT: BODY}, listings)


def unwrapped(value: Any) -> Any:
    return getattr(value, "__wrapped__", value)


def lean_class(cls: type, client: Any, bucket: str) -> type:
    """A subclass of ``cls`` without the shared providers: constant client and bucket name,
    and each retried member unwrapped to its body."""
    namespace: dict[str, Any] = {"client": client, "bucket_name": bucket}
    for name, value in vars(cls).items():
        if name in namespace or name.startswith("__") and name not in ("__str__", "__hash__"):
            continue
        if isinstance(value, property):
            namespace[name] = property(unwrapped(value.fget))
        elif callable(value) and hasattr(value, "__wrapped__"):
            namespace[name] = value.__wrapped__
    return type(f"Lean{cls.__name__}", (cls,), namespace)


class Variant:
    """One class under test, with its instances and the namespace statements run in."""

    def __init__(self, label: str, cls: type, local_file: str) -> None:
        self.label = label
        self.cls = cls
        self.namespace = {
            "p": cls(path=OBJECT),
            "m": cls(path=MISSING),
            "d": cls(path=DIRECTORY),
            "g": cls(path=LISTED),
            "body": BODY,
            "local_file": local_file,
        }

    def timer(self, stmt: str) -> timeit.Timer:
        return timeit.Timer(stmt, globals=self.namespace)


def sample_fn(timer: timeit.Timer, number: int, section: Optional[str],
              use_section: Callable[[str], Any]) -> Callable[[], float]:
    def sample() -> float:
        gc.collect()
        if section is None:
            return timer.timeit(number) / number
        with use_section(section):
            return timer.timeit(number) / number
    return sample


def calibrate(timer: timeit.Timer, section: Optional[str], use_section: Callable[[str], Any],
              target: float) -> int:
    """The loop count that makes one sample last about ``target`` seconds."""
    number = 1
    while True:
        if section is None:
            elapsed = timer.timeit(number)
        else:
            with use_section(section):
                elapsed = timer.timeit(number)
        if elapsed >= target / 4 or number >= 1 << 24:
            break
        number *= 4
    return max(1, int(number * target / max(elapsed, 1e-9)))


def probe(case: Case, variant: Variant) -> Any:
    """What one call of the case gives: its value, or its exception's type and text."""
    try:
        value = eval(case.expr, dict(variant.namespace))  # noqa: S307 - fixed statements
        if case.consume:
            value = [str(item) for item in value]
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return (type(exc).__name__, str(exc))
    if isinstance(value, (bytes, str, bool, int, type(None), list)):
        return value
    return repr(value)


def check_same_behaviour(pair: dict[str, Variant], use_section: Callable) -> None:
    """Both classes must answer alike on the fake before their timings mean anything."""
    for case in CASES:
        outcomes = []
        for variant in (pair["module"], pair["twin"]):
            if case.section:
                with use_section(case.section):
                    outcomes.append(probe(case, variant))
            else:
                outcomes.append(probe(case, variant))
        if outcomes[0] != outcomes[1]:
            raise AssertionError(f"{case.name}: module gives {outcomes[0]!r}, "
                                 f"twin gives {outcomes[1]!r}")
        if case.raises and (not isinstance(outcomes[0], tuple)
                            or outcomes[0][0] != case.raises):
            raise AssertionError(f"{case.name}: expected {case.raises}, got {outcomes[0]!r}")


def run(quick: bool) -> common.Section:
    for key, value in SETTINGS.items():
        os.environ[key] = value

    from quorvex.base import BasePath, Local, retry
    from quorvex.config import EnvConfig
    from quorvex.minio.path import MinIOPath as ModulePath

    import twin

    TwinPath = twin.MinIOPath
    client = make_fake()
    creator = fake.FakeCreator(client)
    ModulePath._creator = creator
    TwinPath._creator = creator
    BasePath.reset_clients()
    use_section = ModulePath.use_section

    tmp = tempfile.NamedTemporaryFile(prefix="bench-upload-", suffix=".bin", delete=False)
    tmp.write(BODY)
    tmp.close()
    section = common.Section("micro")
    try:
        full = {"module": Variant("module", ModulePath, tmp.name),
                "twin": Variant("twin", TwinPath, tmp.name)}
        lean = {
            "module": Variant("lean module", lean_class(ModulePath, client, fake.BUCKET), tmp.name),
            "twin": Variant("lean twin", lean_class(TwinPath, client, fake.BUCKET), tmp.name),
        }
        lean_gone = {
            "module": Variant("lean module", lean_class(ModulePath, client, "gone"), tmp.name),
            "twin": Variant("lean twin", lean_class(TwinPath, client, "gone"), tmp.name),
        }
        check_same_behaviour(full, use_section)
        check_same_behaviour(lean, use_section)

        repeats = 3 if quick else 21
        target = 0.002 if quick else 0.02
        floor_ns = floor_namespace(lean["module"], client, ModulePath)
        for case in CASES:
            row = measure_case(case, full, repeats, target, use_section)
            if case.lean:
                pair = lean_gone if case.section == GONE_SECTION else lean
                floor_timer = timeit.Timer(case.floor, globals=floor_ns)
                lean_row = measure_case(case, pair, repeats, target, None,
                                        extra={"floor": floor_timer})
                row["lean"] = lean_row
                mod_full = row["module"]["median"]
                mod_lean = lean_row["module"]["median"]
                floor = lean_row["floor"]["median"]
                body_module = max(0.0, mod_lean - floor)
                row["provider_share_module"] = max(0.0, (mod_full - mod_lean) / mod_full)
                row["body_module"] = body_module
                row["body_twin"] = max(0.0, lean_row["twin"]["median"] - floor)
                # The best ratio a body costing nothing could reach against this twin.
                row["ceiling"] = row["twin"]["median"] / max(mod_full - body_module, 1e-12)
            section.rows.append(row)
            goal = TARGETS[case.kind]
            section.targets.append({
                "what": f"micro: {case.name}: module >= {goal}x faster than the twin",
                "measured": row["ratio"]["median"],
                "goal": goal,
                "met": row["ratio"]["median"] >= goal,
            })
        section.rows.extend(measure_providers(full["module"], client, repeats, target,
                                              Local, EnvConfig, retry))
    finally:
        os.unlink(tmp.name)
    return section


def floor_namespace(lean_module: Variant, client: Any, module_class: type) -> dict[str, Any]:
    import datetime
    import fnmatch
    import io
    import pathlib

    from minio.deleteobjects import DeleteObject
    from minio.error import S3Error

    namespace = dict(lean_module.namespace)
    namespace.update(c=client, B=fake.BUCKET, G="gone", io=io, pathlib=pathlib,
                     datetime=datetime, fnmatch=fnmatch, DeleteObject=DeleteObject,
                     S3Error=S3Error, MinIOPath=module_class)
    return namespace


def measure_case(case: Case, pair: dict[str, Variant], repeats: int, target: float,
                 use_section: Optional[Callable],
                 extra: Optional[dict[str, timeit.Timer]] = None) -> dict[str, Any]:
    section = case.section if use_section is not None else None
    timers = {k: v.timer(case.stmt) for k, v in pair.items()}
    number = calibrate(timers["module"], section, use_section, target)
    contenders = [(k, sample_fn(t, number, section, use_section)) for k, t in timers.items()]
    for name, timer in (extra or {}).items():
        contenders.append((name, sample_fn(timer, number, None, use_section)))  # type: ignore[arg-type]
    samples = common.interleave(contenders, repeats, warmup=1)
    row = {
        "name": case.name,
        "kind": case.kind,
        "loops": number,
        "module": common.Spread.of(samples["module"]).as_dict(),
        "twin": common.Spread.of(samples["twin"]).as_dict(),
        "ratio": common.Spread.of(common.ratios(samples["twin"], samples["module"])).as_dict(),
    }
    for name in extra or {}:
        row[name] = common.Spread.of(samples[name]).as_dict()
    return row


def measure_providers(module_v: Variant, client: fake.FakeMinio, repeats: int, target: float,
                      Local: Any, EnvConfig: Any, retry: Any) -> list[dict[str, Any]]:
    """The shared providers alone, and the fake's own answers, each timed bare."""

    def plain(self: Any) -> None:
        return None

    def plain_raise(self: Any) -> None:
        raise FileNotFoundError("missing")

    p = module_v.namespace["p"]
    ns = {
        "p": p,
        "key": p._section_key_on_thread(),
        "Local": Local,
        "configer": EnvConfig.init_configer(),
        "plain": plain,
        "wrapped": retry()(plain),
        "plain_raise": plain_raise,
        "wrapped_raise": retry()(plain_raise),
        "c": client,
        "OBJECT": OBJECT,
        "MISSING": MISSING,
    }
    probes = [
        ("BasePath.client (property)", "p.client"),
        ("BasePath._section_key_on_thread()", "p._section_key_on_thread()"),
        ("Local.hasattr(key)", "Local.hasattr(key)"),
        ("Local.getattr(key)", "Local.getattr(key)"),
        ("EnvConfig.init_configer().get(section, 'bucket_name')",
         "configer.get('minio', 'bucket_name')"),
        ("self.path.as_posix()", "p.path.as_posix()"),
        ("a plain function call (no retry)", "plain(p)"),
        ("the same call through retry()", "wrapped(p)"),
        ("a plain function raising FileNotFoundError, caught",
         "try:\n    plain_raise(p)\nexcept FileNotFoundError:\n    pass"),
        ("the same through retry(), caught",
         "try:\n    wrapped_raise(p)\nexcept FileNotFoundError:\n    pass"),
        ("fake stat_object (present)", "c.stat_object('bkt', OBJECT)"),
        ("fake stat_object (missing: raises S3Error), caught",
         "try:\n    c.stat_object('bkt', MISSING)\nexcept Exception:\n    pass"),
        ("fake list_objects", "c.list_objects('bkt', prefix='list/', recursive=False)"),
    ]
    timers = [(label, timeit.Timer(stmt, globals=ns)) for label, stmt in probes]
    numbers = {label: calibrate(t, None, None, target) for label, t in timers}  # type: ignore[arg-type]
    contenders = [(label, sample_fn(t, numbers[label], None, None))  # type: ignore[arg-type]
                  for label, t in timers]
    samples = common.interleave(contenders, max(3, repeats // 2), warmup=1)
    return [{"name": label, "kind": "provider", "loops": numbers[label],
             "time": common.Spread.of(samples[label]).as_dict()} for label, _ in probes]


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        if row["kind"] == "provider":
            continue
        goal = TARGETS[row["kind"]]
        ratio = common.Spread(**row["ratio"])
        lean = row.get("lean")
        rows.append([
            row["name"],
            common.fmt_spread_time(common.Spread(**row["module"])),
            common.fmt_spread_time(common.Spread(**row["twin"])),
            common.fmt_ratio(ratio),
            f">={goal}x " + ("met" if ratio.median >= goal else "MISSED"),
            common.fmt_ratio(common.Spread(**lean["ratio"])) if lean else "-",
            f"{100 * row['provider_share_module']:.0f}%" if lean else "-",
            common.fmt_time(lean["floor"]["median"]) if lean else "-",
            (f"{common.fmt_time(row['body_module'])} / {common.fmt_time(row['body_twin'])}"
             if lean else "-"),
            f"{row['ceiling']:.2f}x" if lean else "-",
        ])
    common.print_table(
        "1. Per-call cost against an in-process fake client (median [min-max] per call)",
        ["member", "module", "twin (pure Python)", "twin/module", "target",
         "lean twin/module", "providers", "floor", "body mod/twin", "ceiling"],
        rows,
        note="lean: the same bodies with client and bucket_name as constants and no retry "
             "wrapper.\nproviders: (full - lean) / full of the module's time (BasePath.client, "
             "bucket_name via Local/EnvConfig, retry).\nfloor: only the calls the member must "
             "make (fake, pathlib, io, ...), from Python, providers as constants.\nbody: lean "
             "- floor, the member's own code around those calls.\nceiling: twin / (module - "
             "module body): the ratio if the module's body cost nothing.")
    prov = [[row["name"], common.fmt_spread_time(common.Spread(**row["time"]))]
            for row in section.rows if row["kind"] == "provider"]
    common.print_table("1b. Shared providers and the fake, timed bare (median [min-max])",
                       ["what", "time per call"], prov)


def main(argv: Optional[list[str]] = None) -> int:
    return common.section_main(__doc__, run, report, argv)


if __name__ == "__main__":
    sys.exit(main())
