"""The default providers alone: ``BasePath.client`` and ``EnvConfig.get`` per call.

Every path member reads ``self.client`` and, through ``bucket_name``, calls
``EnvConfig.init_configer().get(section, "bucket_name")`` at least once, so these two
dominate a member's own cost.  Each is timed in a tight loop (timeit), round after round.

With ``--baseline REV`` (by default the revision before the providers' per-thread client
lookup and direct environment read), ``quorvex/base.py`` and ``quorvex/config.py`` of that
revision are loaded from git as a second package and timed in the same rounds, so the
ratio before/after is taken round by round on one machine in one run.  Without git or the
revision, only the current providers are timed.

    python bench/providers.py [--quick] [--json out.json] [--baseline REV | --baseline '']
"""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import re
import subprocess
import sys
import tempfile
import timeit
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402
import fake  # noqa: E402
from micro import SETTINGS  # noqa: E402 - the settings the member timings run with

DEFAULT_BASELINE = "d873fae0545d2db9e3e6fb4cfcdcc03d1315ab17"
TARGET = 3.0  # each provider at least this many times cheaper than at the baseline
PROBES = [
    ("BasePath.client", "p.client"),
    ("EnvConfig.get: set in the environment", "configer.get('minio', 'bucket_name')"),
    ("EnvConfig.get: not set, no file", "configer.get('minio', 'region')"),
]


def load_baseline(revision: str) -> Optional[Any]:
    """``quorvex.base`` of ``revision`` as the module ``before_quorvex.base``.

    Every Python module of the revision's package is written out under the package name
    ``before_quorvex`` (its imports of ``quorvex`` rewritten to match), so the revision's
    providers run with the toolbox they were written against, beside today's.  None when
    git or the revision is not available.
    """
    root = subprocess.run(["git", "-C", HERE, "rev-parse", "--show-toplevel"],
                          capture_output=True, text=True, check=False).stdout.strip()
    if not root:
        return None
    listed = subprocess.run(["git", "-C", root, "ls-tree", "--name-only", revision,
                             "src/quorvex/"], capture_output=True, text=True, check=False)
    if listed.returncode != 0:
        return None
    folder = tempfile.mkdtemp(prefix="quorvex-baseline-")
    package = os.path.join(folder, "before_quorvex")
    os.mkdir(package)
    for name in listed.stdout.split():
        if not name.endswith(".py"):
            continue
        shown = subprocess.run(["git", "-C", root, "show", f"{revision}:{name}"],
                               capture_output=True, text=True, check=False)
        if shown.returncode != 0:
            return None
        text = re.sub(r"\b(from|import) quorvex\b", r"\1 before_quorvex", shown.stdout)
        with open(os.path.join(package, os.path.basename(name)), "w",
                  encoding="utf-8") as stream:
            stream.write(text)
    sys.path.insert(0, folder)
    return importlib.import_module("before_quorvex.base")


def timers(base: Any, config: Any, creator: Callable[..., Any]) -> dict[str, timeit.Timer]:
    class BenchPath(base.BasePath):  # type: ignore[misc, name-defined]
        _section = ("minio",)
        _creator = creator

    p = BenchPath(path="a/b.csv")
    p.client  # built once, outside the timing
    namespace = {"p": p, "configer": config.EnvConfig.init_configer()}
    return {label: timeit.Timer(stmt, globals=namespace) for label, stmt in PROBES}


def per_call(timer: timeit.Timer, number: int) -> Callable[[], float]:
    def sample() -> float:
        gc.collect()
        return timer.timeit(number) / number
    return sample


def run(quick: bool, baseline: str) -> common.Section:
    os.environ.update(SETTINGS)
    from quorvex import base, config

    creator = fake.FakeCreator(fake.FakeMinio({fake.BUCKET}, {}, {}))
    contenders = {("now", label): timer
                  for label, timer in timers(base, config, creator).items()}
    before = load_baseline(baseline) if baseline else None
    if before is not None:
        contenders.update({("before", label): timer for label, timer in
                           timers(before, sys.modules["before_quorvex.config"], creator).items()})
    number = 20_000 if quick else 200_000
    rounds = 5 if quick else 25
    names = {key: f"{key[0]}: {key[1]}" for key in contenders}
    samples = common.interleave([(names[key], per_call(timer, number))
                                 for key, timer in contenders.items()], rounds, warmup=1)
    section = common.Section("providers")
    for label, _ in PROBES:
        now = samples[names["now", label]]
        row: dict[str, Any] = {"name": label, "now": common.Spread.of(now).as_dict()}
        if before is not None:
            then = samples[names["before", label]]
            ratio = common.Spread.of(common.ratios(then, now))
            row["before"] = common.Spread.of(then).as_dict()
            row["ratio"] = ratio.as_dict()
            section.targets.append({"what": f"{label}: before/now", "goal": TARGET,
                                    "measured": ratio.median,
                                    "met": ratio.median >= TARGET})
        section.rows.append(row)
    section.notes.append(f"baseline {baseline or '-'}: "
                         f"{'loaded' if before is not None else 'not available'}")
    return section


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        before = row.get("before")
        ratio = row.get("ratio")
        rows.append([row["name"],
                     common.fmt_spread_time(common.Spread(**before)) if before else "-",
                     common.fmt_spread_time(common.Spread(**row["now"])),
                     common.fmt_ratio(common.Spread(**ratio)) if ratio else "-",
                     (f">={TARGET:.0f}x " + ("met" if ratio["median"] >= TARGET else "MISSED"))
                     if ratio else "-"])
    common.print_table("Default providers per call (median [min-max])",
                       ["what", "before", "now", "before/now", "target"], rows,
                       note="; ".join(section.notes))


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--baseline", default=DEFAULT_BASELINE)
    known, rest = parser.parse_known_args(argv)
    return common.section_main(__doc__, lambda quick: run(quick, known.baseline), report, rest)


if __name__ == "__main__":
    sys.exit(main())
