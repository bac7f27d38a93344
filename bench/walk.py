"""Section 4: recursive listings (walk, rglob, scandir, du) against the embedded moto store.

One tree of objects spread evenly over 100 prefixes (10,000 objects; --quick: 300 in 10).
For each job the contenders do the same work against the same server:

* module        -- the path toolbox (walk(), rglob(), scandir(), du());
* sdk listing   -- the minio SDK's listing that the module consumes, drained by hand;
* s3fs          -- find(detail=True), walk(), ls(detail=True), du();
* cloudpathlib  -- rglob(), walk(), iterdir();
* glob walk     -- what a user wrote before the toolbox: glob() level by level, asking
                   is_dir() of every entry.

A contender that sends one request per object (the glob walk; s3fs's du(), which asks
info() of every file) is timed once, in the untimed pass's place: at full size each of its
calls takes minutes.

Contenders run in rotating order round after round.  The server counts the requests each
contender makes for one job, in a separate, untimed pass.  ``--job NAME`` runs one job only
(``python bench/walk.py --job 'scandir(recursive=True)'``), on the same tree.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402
from e2e import Server, World  # noqa: E402

CONTENDERS = ("module", "sdk listing", "s3fs", "cloudpathlib", "glob walk")
TREE = "walk"


@dataclass
class Sizes:
    prefixes: int
    per_prefix: int
    rounds: int
    warmup: int


FULL = Sizes(prefixes=100, per_prefix=100, rounds=5, warmup=1)
QUICK = Sizes(prefixes=10, per_prefix=30, rounds=1, warmup=0)


def glob_walk(top: Any) -> list[tuple[str, list[str], list[str]]]:
    """A walk from glob() and is_dir(): one listing per directory, one per entry."""
    found = []
    pending = [top]
    while pending:
        here = pending.pop()
        dirs, files = [], []
        for child in here.glob("*"):
            (dirs if child.is_dir() else files).append(child)
        found.append((str(here.path), [d.path.name for d in dirs],
                      [f.path.name for f in files]))
        pending.extend(dirs)
    return found


@dataclass
class Job:
    name: str
    run: dict[str, Optional[Callable[[], Any]]]  # contender -> one call of the job
    count: Callable[[Any], int]                  # a result -> the objects it shows
    once: tuple[str, ...] = ()                   # contenders timed by one call only


def build_jobs(w: World, s: Sizes) -> list[Job]:
    top = w.MinIOPath(path=TREE)
    fs, cloud_top = w.fs, w.s3path(TREE)
    first = f"{TREE}/p00"

    def sdk_listing(prefix: str) -> list[Any]:
        return list(w.client.list_objects(w.bucket, prefix=prefix, recursive=True))

    def files_of(walked: Any) -> int:
        return sum(len(files) for _, _, files in walked)

    def scandir_all() -> list[Any]:
        return [entry for prefix in top.iterdir() for entry in prefix.scandir()]

    def s3fs_ls_all() -> list[Any]:
        return [item for prefix in fs.ls(w.s3fs_path(TREE), detail=False)
                for item in fs.ls(prefix, detail=True)]

    def cloud_iterdir_all() -> list[Any]:
        return [child for prefix in cloud_top.iterdir() for child in prefix.iterdir()]

    return [
        Job("walk", {
            "module": lambda: list(top.walk()),
            "sdk listing": lambda: sdk_listing(TREE + "/"),
            "s3fs": lambda: list(fs.walk(w.s3fs_path(TREE))),
            "cloudpathlib": lambda: list(cloud_top.walk()),
            "glob walk": lambda: glob_walk(top),
        }, lambda r: files_of(r) if isinstance(r[0], tuple) else len(r), once=("glob walk",)),
        Job("rglob('*')", {
            "module": lambda: list(top.rglob("*")),
            "sdk listing": lambda: sdk_listing(TREE + "/"),
            "s3fs": lambda: fs.find(w.s3fs_path(TREE), detail=True),
            "cloudpathlib": lambda: list(cloud_top.rglob("*")),
            "glob walk": None,
        }, len),
        Job("scandir(recursive=True)", {
            "module": lambda: list(top.scandir(recursive=True)),
            "sdk listing": lambda: sdk_listing(TREE + "/"),
            "s3fs": lambda: fs.find(w.s3fs_path(TREE), detail=True),
            "cloudpathlib": None,
            "glob walk": None,
        }, len),
        Job("scandir of every prefix", {
            "module": scandir_all,
            "sdk listing": None,
            "s3fs": s3fs_ls_all,
            "cloudpathlib": cloud_iterdir_all,
            "glob walk": None,
        }, len),
        Job("du", {
            "module": lambda: top.du().count,
            "sdk listing": lambda: len(sdk_listing(TREE + "/")),
            "s3fs": lambda: len(fs.du(w.s3fs_path(TREE), total=False)),
            "cloudpathlib": None,
            "glob walk": None,
        }, lambda r: r, once=("s3fs",)),
        Job(f"rglob, first of one prefix ({s.per_prefix})", {
            "module": lambda: next(w.MinIOPath(path=first).rglob("*")),
            "sdk listing": lambda: next(iter(w.client.list_objects(
                w.bucket, prefix=first + "/", recursive=True))),
            "s3fs": None,
            "cloudpathlib": lambda: next(iter(w.s3path(first).rglob("*"))),
            "glob walk": None,
        }, lambda r: 1),
    ]


def measure(w: World, job: Job, s: Sizes, total: int) -> dict[str, Any]:
    active = [(who, fn) for who, fn in job.run.items() if fn is not None]
    requests: dict[str, int] = {}
    shown: dict[str, int] = {}
    slow: dict[str, float] = {}
    for who, fn in active:
        before = w.server.requests()[0]
        started = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - started
        requests[who] = w.server.requests()[0] - before
        shown[who] = job.count(result)
        if who in job.once:
            slow[who] = elapsed
    timed = [(who, _sample(fn)) for who, fn in active if who not in slow]
    samples = common.interleave(timed, s.rounds, warmup=s.warmup,
                                between=common.collect_garbage)
    row: dict[str, Any] = {"name": job.name, "requests": requests, "objects": shown,
                           "total": total}
    for who, values in samples.items():
        row[who] = common.Spread.of(values).as_dict()
    for who, seconds in slow.items():
        row[who] = common.Spread.of([seconds]).as_dict()
    for peer in ("s3fs", "cloudpathlib", "glob walk"):
        if peer in slow:
            ratio = [row[peer]["median"] / row["module"]["median"]]
            row[f"{peer}/module"] = common.Spread.of(ratio).as_dict()
        elif peer in row:
            row[f"{peer}/module"] = common.Spread.of(
                common.ratios(samples[peer], samples["module"])).as_dict()
    return row


def _sample(fn: Callable[[], Any]) -> Callable[[], float]:
    def sample() -> float:
        started = time.perf_counter()
        fn()
        return time.perf_counter() - started
    return sample


def run(quick: bool, only: Optional[str] = None) -> common.Section:
    s = QUICK if quick else FULL
    section = common.Section("walk")
    bucket = f"quorvex-bench-walk-{os.getpid()}"
    total = s.prefixes * s.per_prefix
    with Server() as server:
        w = World(server, bucket, None)  # type: ignore[arg-type]
        try:
            w.client.make_bucket(bucket)
            try:
                w.put_many([f"{TREE}/p{i:02d}/k{j:04d}" for i in range(s.prefixes)
                            for j in range(s.per_prefix)])
                jobs = build_jobs(w, s)
                if only is not None:
                    jobs = [job for job in jobs if job.name == only]
                    if not jobs:
                        raise SystemExit(f"no job named {only!r}")
                for job in jobs:
                    section.rows.append(measure(w, job, s, total))
                    print(f"  measured {job.name}", file=sys.stderr, flush=True)
            finally:
                w.remove_prefix("")
                w.client.remove_bucket(bucket)
        finally:
            w.close()
    pages = -(-total // 1000)
    for row in section.rows:
        if row["name"] in ("walk", "rglob('*')", "scandir(recursive=True)", "du"):
            section.targets.append({
                "what": f"walk: {row['name']}: at most {pages} listing requests for "
                        f"{total} objects",
                "measured": row["requests"]["module"], "goal": pages,
                "met": row["requests"]["module"] <= pages})
        for peer, goal in (("s3fs", 1.0), ("cloudpathlib", 1.0), ("glob walk", 10.0)):
            key = f"{peer}/module"
            if key in row:
                section.targets.append({
                    "what": f"walk: {row['name']}: module ahead of {peer}"
                            + (" by 10x" if goal > 1 else ""),
                    "measured": row[key]["median"], "goal": goal,
                    "met": row[key]["median"] > goal})
    return section


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        cells = [row["name"]]
        for who in CONTENDERS:
            cells.append(common.fmt_spread_time(common.Spread(**row[who]))
                         if who in row else "n/a")
        for peer in ("s3fs", "cloudpathlib", "glob walk"):
            key = f"{peer}/module"
            cells.append(common.fmt_ratio(common.Spread(**row[key])) if key in row else "n/a")
        cells.append("/".join(str(row["requests"].get(w, "-")) for w in CONTENDERS))
        rows.append(cells)
    total = section.rows[0]["total"] if section.rows else 0
    common.print_table(
        f"4. Recursive listings over {total} objects in prefixes of equal share "
        "(median [min-max] per call)",
        ["job", *CONTENDERS, "s3fs/module", "cloudpathlib/module", "glob walk/module",
         "requests mod/sdk/s3fs/cpl/glob"],
        rows, note="peer/module > 1: the module is faster.  The glob walk and s3fs's du() "
                   "are timed by one call (one request per object).  cloudpathlib's "
                   "rglob yields the prefixes too.")


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--job", help="run only the job of this name, e.g. "
                                      "'scandir(recursive=True)'")
    known, rest = parser.parse_known_args(argv)
    return common.section_main(__doc__, lambda quick: run(quick, known.job), report, rest)


if __name__ == "__main__":
    sys.exit(main())
